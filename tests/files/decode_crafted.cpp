#include "decode_crafted.h"

#include <cstring>

void put16le(Bytes& b, uint32_t v) {
    b.push_back(static_cast<unsigned char>(v & 0xFF));
    b.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}
void put32le(Bytes& b, uint32_t v) {
    put16le(b, v & 0xFFFF);
    put16le(b, v >> 16);
}
void put16be(Bytes& b, uint32_t v) {
    b.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
    b.push_back(static_cast<unsigned char>(v & 0xFF));
}
void put32be(Bytes& b, uint32_t v) {
    put16be(b, v >> 16);
    put16be(b, v & 0xFFFF);
}

namespace {

void append(Bytes& b, const std::string& text) { b.insert(b.end(), text.begin(), text.end()); }
void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

uint32_t crc32(const unsigned char* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c ^ 0xFFFFFFFFu;
}

void pngChunk(Bytes& png, const char* type, const Bytes& data) {
    put32be(png, static_cast<uint32_t>(data.size()));
    Bytes typed(type, type + 4);
    append(typed, data);
    append(png, typed);
    put32be(png, crc32(typed.data(), typed.size()));
}

// A zlib stream of stored blocks holding `raw`.
Bytes storedZlib(const Bytes& raw) {
    Bytes z = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
        z.push_back(at + n == raw.size() ? 1 : 0);
        put16le(z, static_cast<uint32_t>(n));
        put16le(z, static_cast<uint32_t>(~n & 0xFFFF));
        z.insert(z.end(), raw.begin() + static_cast<long>(at),
                 raw.begin() + static_cast<long>(at + n));
        at += n;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char v : raw) {
        a = (a + v) % 65521u;
        b = (b + a) % 65521u;
    }
    put32be(z, (b << 16) | a);
    return z;
}

// GIF image data for `indices` with 8-bit codes: a clear code every 254 literals keeps every
// code 9 bits wide, so no compression is needed.
Bytes gifLzw(const Bytes& indices) {
    Bytes packed;
    uint32_t buffer = 0;
    int bits = 0;
    auto emit = [&](uint32_t code) {
        buffer |= code << bits;
        bits += 9;
        while (bits >= 8) {
            packed.push_back(static_cast<unsigned char>(buffer & 0xFF));
            buffer >>= 8;
            bits -= 8;
        }
    };
    for (size_t i = 0; i < indices.size(); ++i) {
        if (i % 254 == 0) emit(256);
        emit(indices[i]);
    }
    emit(257);
    if (bits > 0) packed.push_back(static_cast<unsigned char>(buffer & 0xFF));
    Bytes out = {8};
    for (size_t at = 0; at < packed.size(); at += 255) {
        const size_t n = packed.size() - at < 255 ? packed.size() - at : 255;
        out.push_back(static_cast<unsigned char>(n));
        out.insert(out.end(), packed.begin() + static_cast<long>(at),
                   packed.begin() + static_cast<long>(at + n));
    }
    out.push_back(0);
    return out;
}

// A GIF of a `width` x `height` screen with a global palette of `colours` (a power of two from
// 2) and one frame at (left, top) of frameWidth x frameHeight pixels, all of index `index`.
Bytes gifFile(uint32_t width,
              uint32_t height,
              uint32_t colours,
              uint32_t left,
              uint32_t top,
              uint32_t frameWidth,
              uint32_t frameHeight,
              unsigned char index) {
    Bytes b;
    append(b, std::string("GIF89a"));
    put16le(b, width);
    put16le(b, height);
    uint32_t sizeBits = 0;
    while ((2u << sizeBits) < colours) ++sizeBits;
    b.push_back(static_cast<unsigned char>(0x80 | sizeBits));
    b.push_back(0);
    b.push_back(0);
    for (uint32_t i = 0; i < (2u << sizeBits); ++i) {
        const unsigned char level = static_cast<unsigned char>(i * 255 / ((2u << sizeBits) - 1));
        b.insert(b.end(), {level, level, level});
    }
    b.push_back(0x2C);
    put16le(b, left);
    put16le(b, top);
    put16le(b, frameWidth);
    put16le(b, frameHeight);
    b.push_back(0);
    append(b, gifLzw(Bytes(static_cast<size_t>(frameWidth) * frameHeight, index)));
    b.push_back(0x3B);
    return b;
}

// A colour-mapped TGA (top row first) of `width` x `height` indices `index`, with a colour map
// of `colours` grey entries.
Bytes colourMappedTga(uint32_t width, uint32_t height, uint32_t colours, unsigned char index) {
    Bytes b = {0, 1, 1};  // no identification, a colour map, colour-mapped pixels
    put16le(b, 0);        // first colour map entry
    put16le(b, colours);
    b.push_back(24);
    put16le(b, 0);
    put16le(b, 0);
    put16le(b, width);
    put16le(b, height);
    b.push_back(8);
    b.push_back(0x20);
    for (uint32_t i = 0; i < colours; ++i) {
        const unsigned char level = static_cast<unsigned char>(60 + i);
        b.insert(b.end(), {level, level, level});
    }
    b.insert(b.end(), static_cast<size_t>(width) * height, index);
    return b;
}

// A DXT1 DDS header of `width` x `height` followed by `dataBytes` bytes; `linearSize` as the
// header's data size; `depth` > 1 makes it a volume.
Bytes dds(
    uint32_t width, uint32_t height, uint32_t linearSize, uint32_t dataBytes, uint32_t depth = 0) {
    Bytes b;
    append(b, std::string("DDS "));
    put32le(b, 124);
    put32le(b, 0x1007 | 0x80000 | (depth > 1 ? 0x800000 : 0));  // caps, size, format, linear size
    put32le(b, height);
    put32le(b, width);
    put32le(b, linearSize);
    put32le(b, depth);
    put32le(b, 0);             // mipmaps
    b.insert(b.end(), 44, 0);  // reserved
    put32le(b, 32);            // pixel format size
    put32le(b, 0x4);           // four-character code
    append(b, std::string("DXT1"));
    b.insert(b.end(), 20, 0);  // bit count and masks
    put32le(b, 0x1000 | (depth > 1 ? 0x8 : 0));
    put32le(b, depth > 1 ? 0x200000 : 0);  // a volume
    b.insert(b.end(), 12, 0);
    b.insert(b.end(), dataBytes, 0x55);
    return b;
}

Bytes bmpHeader(int32_t width, int32_t height, uint32_t bits) {
    Bytes b = {'B', 'M'};
    put32le(b, 54 + 16);
    put32le(b, 0);
    put32le(b, 54);
    put32le(b, 40);
    put32le(b, static_cast<uint32_t>(width));
    put32le(b, static_cast<uint32_t>(height));
    put16le(b, 1);
    put16le(b, bits);
    put32le(b, 0);
    put32le(b, 16);
    put32le(b, 2835);
    put32le(b, 2835);
    put32le(b, 0);
    put32le(b, 0);
    b.insert(b.end(), 16, 0x40);
    return b;
}

// A cursor file holding `image` (a PNG stream or a bitmap) as its one image.
Bytes cursor(const Bytes& image) {
    Bytes b;
    put16le(b, 0);
    put16le(b, 2);  // a cursor
    put16le(b, 1);
    b.insert(b.end(), {0, 0, 0, 0});
    put16le(b, 0);  // hot spot
    put16le(b, 0);
    put32le(b, static_cast<uint32_t>(image.size()));
    put32le(b, 22);
    append(b, image);
    return b;
}

// An 8-bit PCX with a grey palette, rows of level 16 y each stored as one run.
Bytes greyPcx(uint32_t width, uint32_t height) {
    Bytes b = {10, 5, 1, 8};
    put16le(b, 0);
    put16le(b, 0);
    put16le(b, width - 1);
    put16le(b, height - 1);
    put16le(b, 72);
    put16le(b, 72);
    b.insert(b.end(), 48, 0);
    b.insert(b.end(), {0, 1});
    put16le(b, width);
    put16le(b, 1);
    b.insert(b.end(), 128 - b.size(), 0);
    for (uint32_t y = 0; y < height; ++y)
        b.insert(b.end(),
                 {static_cast<unsigned char>(0xC0 | width), static_cast<unsigned char>(16 * y)});
    b.push_back(12);
    for (int i = 0; i < 256; ++i) b.insert(b.end(), 3, static_cast<unsigned char>(i));
    return b;
}

const char kTooLarge[] = "is larger than the limit of 67108864 pixels";

}  // namespace

Bytes pngFile(uint32_t width,
              const std::vector<Bytes>& rows,
              int bitDepth,
              int colourType,
              const std::vector<Bytes>& palette,
              uint32_t declaredHeight) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header;
    put32be(header, width);
    put32be(header, declaredHeight > 0 ? declaredHeight : static_cast<uint32_t>(rows.size()));
    header.insert(header.end(), {static_cast<unsigned char>(bitDepth),
                                 static_cast<unsigned char>(colourType), 0, 0, 0});
    pngChunk(out, "IHDR", header);
    if (!palette.empty()) {
        Bytes plte;
        for (const Bytes& c : palette) append(plte, c);
        pngChunk(out, "PLTE", plte);
    }
    Bytes raw;
    for (const Bytes& row : rows) {
        raw.push_back(0);  // no filter
        append(raw, row);
    }
    pngChunk(out, "IDAT", storedZlib(raw));
    pngChunk(out, "IEND", {});
    return out;
}

Bytes paletteBmp(int32_t width,
                 const std::vector<Bytes>& rows,
                 const std::vector<Bytes>& palette,
                 uint32_t colorsUsed) {
    const uint32_t stride = (static_cast<uint32_t>(width) + 3u) & ~3u;
    const uint32_t paletteBytes = 4u * static_cast<uint32_t>(palette.size());
    const uint32_t offset = 14u + 40u + paletteBytes;
    const uint32_t imageBytes = stride * static_cast<uint32_t>(rows.size());
    Bytes b = {'B', 'M'};
    put32le(b, offset + imageBytes);
    put32le(b, 0);
    put32le(b, offset);
    put32le(b, 40);
    put32le(b, static_cast<uint32_t>(width));
    put32le(b, static_cast<uint32_t>(rows.size()));
    put16le(b, 1);
    put16le(b, 8);
    put32le(b, 0);
    put32le(b, imageBytes);
    put32le(b, 2835);
    put32le(b, 2835);
    put32le(b, colorsUsed > 0 ? colorsUsed : static_cast<uint32_t>(palette.size()));
    put32le(b, 0);
    for (const Bytes& c : palette) b.insert(b.end(), {c[2], c[1], c[0], 0});
    for (const Bytes& row : rows) {
        append(b, row);
        for (uint32_t pad = static_cast<uint32_t>(row.size()); pad < stride; ++pad) b.push_back(0);
    }
    return b;
}

Bytes greyTga(uint32_t width, uint32_t height, bool runs) {
    Bytes b = {0, 0, static_cast<unsigned char>(runs ? 11 : 3)};
    b.insert(b.end(), 9, 0);
    put16le(b, width);
    put16le(b, height);
    b.insert(b.end(), {8, 0x20});
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char level = static_cast<unsigned char>(16 * y);
        if (!runs) {
            b.insert(b.end(), width, level);
            continue;
        }
        for (uint32_t x = 0; x < width; x += 128) {
            const uint32_t n = width - x < 128 ? width - x : 128;
            b.insert(b.end(), {static_cast<unsigned char>(0x80 | (n - 1)), level});
        }
    }
    return b;
}

Bytes greyTiff(const std::vector<uint32_t>& widths,
               const std::vector<uint32_t>& heights,
               const std::vector<uint32_t>& stripBytes,
               uint32_t bits,
               uint32_t sampleFormat) {
    const uint32_t entries = sampleFormat != 0 ? 10 : 9;
    const uint32_t ifdBytes = 2 + entries * 12 + 4;
    const uint32_t pages = static_cast<uint32_t>(widths.size());
    auto bytesOf = [&](uint32_t p) {
        return p < stripBytes.size() && stripBytes[p] > 0 ? stripBytes[p]
                                                          : widths[p] * heights[p] * bits / 8;
    };
    Bytes b = {'I', 'I', 42, 0};
    put32le(b, 8);
    uint32_t data = 8 + pages * ifdBytes;
    for (uint32_t p = 0; p < pages; ++p) {
        const uint32_t bytes = bytesOf(p);
        put16le(b, entries);
        auto entry = [&](uint32_t tag, uint32_t type, uint32_t value) {
            put16le(b, tag);
            put16le(b, type);
            put32le(b, 1);
            if (type == 3) {
                put16le(b, value);
                put16le(b, 0);
            } else {
                put32le(b, value);
            }
        };
        entry(256, 4, widths[p]);
        entry(257, 4, heights[p]);
        entry(258, 3, bits);
        entry(259, 3, 1);
        entry(262, 3, 1);
        entry(273, 4, data);
        entry(277, 3, 1);
        entry(278, 4, heights[p]);
        entry(279, 4, bytes);
        if (sampleFormat != 0) entry(339, 3, sampleFormat);
        put32le(b, p + 1 < pages ? 8 + (p + 1) * ifdBytes : 0);
        data += bytes;
    }
    for (uint32_t p = 0; p < pages; ++p) b.insert(b.end(), bytesOf(p), 100);
    return b;
}

std::vector<CraftedFile> craftedFiles() {
    std::vector<CraftedFile> files;
    const std::vector<Bytes> tinyRows = {{9, 9, 9, 9, 9, 9, 9, 9}};

    // Declared sizes whose byte count overflows 32 bits, or far above the pixel limit.
    const Bytes hugePng = pngFile(65536, {{0, 0, 0, 0}}, 8, 6, {}, 16385);
    files.push_back({"rgba_65536x16385.png", hugePng, "picture of 65536 x 16385 pixels "});
    files.push_back({"png_in_cursor.cur", cursor(hugePng), "picture of 65536 x 16385 pixels "});
    files.push_back({"huge_first_page.tif", greyTiff({65536}, {16385}, {4}),
                     "picture of 65536 x 16385 pixels "});
    files.push_back({"huge_second_page.tif", greyTiff({2, 65536}, {2, 16385}, {4, 4}),
                     "picture of 65536 x 16385 pixels "});
    // A strip that runs past the end of a cut file.
    Bytes cutStrip = greyTiff({8}, {8}, {});
    cutStrip.resize(cutStrip.size() - 32);
    files.push_back({"cut_strip.tif", cutStrip,
                     "damaged TIFF file: the file ends before the data its headers announce"});
    // Samples the library would read as unsigned integers: half floats, signed 16-bit levels.
    files.push_back({"half_float.tif", greyTiff({8}, {8}, {}, 16, 3),
                     "TIFF of 16-bit floating-point samples: only unsigned integer grey levels"});
    files.push_back({"signed_16.tif", greyTiff({8}, {8}, {}, 16, 2),
                     "TIFF of 16-bit signed integer samples: only unsigned integer grey levels"});
    // Two-byte PNM samples, of which the library would read every other byte.
    Bytes wide;
    append(wide, std::string("P5\n4 2\n4095\n"));
    wide.insert(wide.end(), 16, 0x0F);
    files.push_back(
        {"twelve_bit.pgm", wide, "PNM file of 16-bit samples: the image decoder reads"});
    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 8};
    put16be(jpeg, 37838);
    put16be(jpeg, 37838);
    jpeg.insert(jpeg.end(), {3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1, 0xFF, 0xD9});
    files.push_back({"frame_37838.jpg", jpeg, "picture of 37838 x 37838 pixels "});
    // A small frame whose scan was cut before the end marker.
    Bytes cutScan = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 8, 0, 16, 0, 16};
    cutScan.insert(cutScan.end(), {3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1, 0xFF, 0xDA, 0, 8});
    cutScan.insert(cutScan.end(), 40, 0x55);
    files.push_back({"cut_scan.jpg", cutScan,
                     "damaged JPEG file: the file ends before the data its headers announce"});
    Bytes hdr;
    append(hdr, std::string("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 30000 +X 30000\n"));
    hdr.insert(hdr.end(), 64, 0x80);
    files.push_back({"radiance_30000.hdr", hdr, "picture of 30000 x 30000 pixels "});
    Bytes gifScreen;
    append(gifScreen, std::string("GIF89a"));
    put16le(gifScreen, 65535);
    put16le(gifScreen, 65535);
    gifScreen.insert(gifScreen.end(), {0, 0, 0, 0x2C, 0, 0, 0, 0, 0xFF, 0xFF});
    files.push_back({"screen_65535.gif", gifScreen, "picture of 65535 x 65535 pixels "});
    files.push_back({"grey_16384.png", pngFile(16384, {Bytes(64, 7)}, 8, 0, {}, 16384),
                     "picture of 16384 x 16384 pixels "});
    files.push_back(
        {"bitmap_50000.bmp", bmpHeader(50000, 50000, 8), "picture of 50000 x 50000 pixels "});
    // Rows the file does not hold: 16 of the 256 bytes 16 x 16 pixels need, and an info header
    // that runs past the file.
    files.push_back({"cut_rows.bmp", bmpHeader(16, 16, 8),
                     "damaged BMP file: the file ends before the data its headers announce"});
    Bytes longInfo = bmpHeader(4, 4, 8);
    longInfo[14] = 0xF0;
    longInfo[17] = 0xFF;
    files.push_back({"long_info.bmp", longInfo,
                     "damaged BMP file: the file ends before the data its headers announce"});
    files.push_back({"top_down_min.bmp", bmpHeader(16, INT32_MIN, 8),
                     "picture of 16 x 2147483648 pixels is wider or taller than 65536"});
    Bytes psd;
    append(psd, std::string("8BPS"));
    put16be(psd, 1);
    psd.insert(psd.end(), 6, 0);
    put16be(psd, 3);
    put32be(psd, 30000);
    put32be(psd, 30000);
    put16be(psd, 8);
    put16be(psd, 3);
    psd.insert(psd.end(), 32, 0);
    files.push_back({"layers_30000.psd", psd, "picture of 30000 x 30000 pixels "});
    Bytes tga = {0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put16le(tga, 65535);
    put16le(tga, 65535);
    tga.insert(tga.end(), {8, 0x20, 1, 2, 3, 4});
    files.push_back({"grey_65535.tga", tga, "picture of 65535 x 65535 pixels "});
    files.push_back({"volume_1024.dds", dds(1024, 1024, 8 * 256 * 256, 64, 1024),
                     "picture of 1024 x 1024 pixels in 1024 slices "});
    files.push_back({"ascii_90000.pgm",
                     Bytes({'P', '2', '\n', '9', '0', '0', '0',  '0', ' ', '9', '0', '0',
                            '0', '0', '\n', '2', '5', '5', '\n', '1', ' ', '2', '\n'}),
                     "picture of 90000 x 90000 pixels is wider or taller than 65536"});
    for (CraftedFile& f : files)
        if (f.reason.back() == ' ') f.reason += kTooLarge;

    // Damaged structures.
    Bytes negative;
    append(negative, std::string("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y -5 +X 10\n"));
    negative.insert(negative.end(), 64, 0x80);
    files.push_back({"negative.hdr", negative,
                     "damaged HDR file: the header declares a picture "
                     "size of 0, a negative one"});
    files.push_back({"dxt1_short.dds", dds(256, 256, 8 * 64 * 64, 100),
                     "damaged DDS file: the file ends before"});
    files.push_back({"dxt1_small_data_size.dds", dds(64, 64, 8, 8 * 16 * 16),
                     "damaged DDS file: the file's structure is damaged"});
    files.push_back({"frame_outside.gif", gifFile(10, 10, 2, 8, 8, 10, 10, 1),
                     "damaged GIF file: a frame lies outside the picture's screen"});
    const Bytes wholeGif = gifFile(16, 16, 4, 0, 0, 16, 16, 1);
    files.push_back({"cut_in_frame.gif", Bytes(wholeGif.begin(), wholeGif.end() - 20),
                     "damaged GIF file: the file ends before"});
    const Bytes wholePng = pngFile(8, tinyRows, 8, 0);
    files.push_back({"cut_before_end.png", Bytes(wholePng.begin(), wholePng.end() - 12),
                     "damaged PNG file: the file ends before"});
    Bytes lying = wholePng;
    lying[33] = 0x7F;  // the IDAT chunk's length
    files.push_back({"lying_chunk_length.png", lying, "damaged PNG file: the file ends before"});
    files.push_back({"zero_width.png", pngFile(0, tinyRows, 8, 0),
                     "damaged PNG file: the header declares a picture size of 0"});
    files.push_back({"zero_width.bmp", bmpHeader(0, 16, 8),
                     "damaged BMP file: the header declares a picture size of 0"});
    files.push_back({"cut_in_frame_header.jpg", Bytes({0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 8}),
                     "damaged JPEG file: the file ends before"});
    files.push_back({"scan_before_frame.jpg",
                     Bytes({0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 63, 0, 0xFF, 0xD9}),
                     "damaged JPEG file: the file's structure is damaged"});
    Bytes farIfd = {'I', 'I', 42, 0};
    put32le(farIfd, 0x7FFFFFF0);
    farIfd.insert(farIfd.end(), 16, 0);
    files.push_back(
        {"directory_past_end.tif", farIfd, "damaged TIFF file: the file's structure is damaged"});
    files.push_back({"many_pages.tif",
                     greyTiff(std::vector<uint32_t>(1100, 1), std::vector<uint32_t>(1100, 1)),
                     "damaged TIFF file: the file declares more than 1024 pages"});
    Bytes icons;
    put16le(icons, 0);
    put16le(icons, 1);
    put16le(icons, 4000);
    icons.insert(icons.end(), 32, 0);
    files.push_back(
        {"many_icons.ico", icons, "damaged ICO file: the file declares more than 1024 pages"});
    Bytes farIcon;
    put16le(farIcon, 0);
    put16le(farIcon, 1);
    put16le(farIcon, 1);
    farIcon.insert(farIcon.end(), {16, 16, 0, 0, 1, 0, 32, 0});
    put32le(farIcon, 1128);
    put32le(farIcon, 100000);
    farIcon.insert(farIcon.end(), 40, 0);
    files.push_back({"icon_past_end.ico", farIcon, "damaged ICO file: the file ends before"});
    Bytes noChannels = psd;
    noChannels[13] = 0;
    noChannels[17] = 16;  // 16 x 16 pixels, no channel
    noChannels[14] = noChannels[15] = noChannels[16] = 0;
    noChannels[21] = 16;
    noChannels[18] = noChannels[19] = noChannels[20] = 0;
    files.push_back(
        {"no_channels.psd", noChannels, "damaged PSD file: the file's structure is damaged"});
    Bytes scanlines;
    append(scanlines, std::string("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 8\n"));
    for (int y = 0; y < 2; ++y) {  // two of the four scanlines
        scanlines.insert(scanlines.end(), {2, 2, 0, 8});
        for (int c = 0; c < 4; ++c) scanlines.insert(scanlines.end(), {128 + 8, 100});
    }
    files.push_back({"cut_scanlines.hdr", scanlines, "damaged HDR file: the file ends before"});
    Bytes endless;
    append(endless, std::string("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n"));
    endless.insert(endless.end(), 200, 'x');
    files.push_back({"no_blank_line.hdr", endless, "damaged HDR file: the file ends before"});

    // Palettes shorter than the indices the pixels use.
    std::vector<Bytes> twoColours = {{0, 0, 0}, {255, 255, 255}};
    files.push_back({"two_colours.bmp",
                     paletteBmp(8, {Bytes(8, 200), Bytes(8, 1), Bytes(8, 0)}, twoColours),
                     "palette shorter than the indices it uses"});
    files.push_back({"short_colour_map.tga", colourMappedTga(8, 4, 2, 200),
                     "palette shorter than the indices it uses"});
    files.push_back({"short_palette.gif", gifFile(8, 4, 2, 0, 0, 8, 4, 200),
                     "palette shorter than the indices it uses"});
    return files;
}

std::vector<CraftedFile> shortPictures() {
    std::vector<CraftedFile> files;
    const Bytes tga = greyTga(16, 16, false);
    files.push_back({"short_data.tga", Bytes(tga.begin(), tga.begin() + 18 + 16 * 6), ""});
    const Bytes runs = greyTga(16, 16, true);
    files.push_back({"short_runs.tga", Bytes(runs.begin(), runs.begin() + 18 + 2 * 6), ""});
    const Bytes pcx = greyPcx(16, 16);
    files.push_back({"short_data.pcx", Bytes(pcx.begin(), pcx.begin() + 128 + 2 * 6), ""});
    return files;
}
