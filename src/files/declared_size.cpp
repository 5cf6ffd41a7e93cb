#include "files/declared_size.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace {

// Saturating product of sizes: a header can declare sides whose product does not fit.
int64_t times(int64_t a, int64_t b) {
    constexpr int64_t kMax = INT64_MAX;
    if (a <= 0 || b <= 0) return 0;
    return a > kMax / b ? kMax : a * b;
}

int64_t plus(int64_t a, int64_t b) { return a > INT64_MAX - b ? INT64_MAX : a + b; }

// The file's bytes with bounds-checked reads; every read is preceded by has().
struct Bytes {
    const unsigned char* p;
    uint64_t n;

    bool has(uint64_t offset, uint64_t length) const { return offset <= n && length <= n - offset; }
    uint32_t u8(uint64_t at) const { return p[at]; }
    uint32_t u16le(uint64_t at) const { return p[at] | (uint32_t{p[at + 1]} << 8); }
    uint32_t u32le(uint64_t at) const { return u16le(at) | (u16le(at + 2) << 16); }
    uint32_t u16be(uint64_t at) const { return (uint32_t{p[at]} << 8) | p[at + 1]; }
    uint32_t u32be(uint64_t at) const { return (u16be(at) << 16) | u16be(at + 2); }
    bool startsWith(uint64_t at, const char* text) const {
        const size_t length = std::strlen(text);
        return has(at, length) && std::memcmp(p + at, text, length) == 0;
    }
};

// Records one declared picture of `width` x `height` (x `slices`).
void addPicture(DeclaredSize& d, int64_t width, int64_t height, int64_t slices = 1) {
    const int64_t pixels = times(times(width, height), slices);
    ++d.pictures;
    d.totalPixels = plus(d.totalPixels, pixels);
    if (pixels > d.largestPixels || d.pictures == 1) {
        d.largestPixels = pixels;
        d.width = width;
        d.height = height;
    }
}

const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool isPng(const Bytes& f, uint64_t at) {
    return f.has(at, 8) && std::memcmp(f.p + at, kPngSignature, 8) == 0;
}

// A PNG stream starting at `at`: IHDR first, then every chunk wholly inside the file up to
// IEND (the library can loop for ever on a PNG cut short).
void readPng(const Bytes& f, uint64_t at, DeclaredSize& d) {
    const uint64_t header = at + 8;
    if (!f.has(header, 8 + 13)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    if (f.u32be(header) != 13 || !f.startsWith(header + 4, "IHDR")) {
        d.fault = FileFault::kBadStructure;
        return;
    }
    const int64_t width = f.u32be(header + 8);
    const int64_t height = f.u32be(header + 12);
    addPicture(d, width, height);
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) {
        d.fault = FileFault::kBadSize;
        return;
    }
    uint64_t pos = header;
    for (;;) {
        if (!f.has(pos, 12)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        const uint64_t length = f.u32be(pos);
        const bool end = f.startsWith(pos + 4, "IEND");
        if (!f.has(pos + 12, length)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        pos += 12 + length;
        if (end) return;
    }
}

// Libjpeg's frame header: markers are found as libjpeg finds them (bytes before a 0xFF are
// skipped, fill bytes 0xFF too); the first SOF gives the size.
void readJpeg(const Bytes& f, DeclaredSize& d) {
    uint64_t pos = 2;
    for (;;) {
        while (f.has(pos, 1) && f.u8(pos) != 0xFF) ++pos;
        while (f.has(pos, 1) && f.u8(pos) == 0xFF) ++pos;
        if (!f.has(pos, 1)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        const uint32_t marker = f.u8(pos++);
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
        if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA || marker == 0x00) {
            // A second start, the end or the scan before any frame header: no picture.
            d.fault = FileFault::kBadStructure;
            return;
        }
        if (!f.has(pos, 2)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        const uint64_t length = f.u16be(pos);
        if (length < 2) {
            d.fault = FileFault::kBadStructure;
            return;
        }
        if (!f.has(pos, length)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 8) {
                d.fault = FileFault::kBadStructure;
                return;
            }
            const int64_t height = f.u16be(pos + 3);
            const int64_t width = f.u16be(pos + 5);
            addPicture(d, width, height);
            if (width == 0 || height == 0) {
                d.fault = FileFault::kBadSize;
                return;
            }
            // The scans end with the end marker (FF D9), which coded data cannot hold: a file
            // without one after its frame header was cut, and the library fails on it. Looked
            // for from the end, where it is in a whole file.
            bool ended = false;
            for (uint64_t at = f.n >= 2 ? f.n - 2 : 0; !ended && at >= pos + length && f.has(at, 2);
                 --at) {
                ended = f.u8(at) == 0xFF && f.u8(at + 1) == 0xD9;
                if (at == 0) break;
            }
            if (!ended) d.fault = FileFault::kTruncated;
            return;
        }
        pos += length;
    }
}

// Skips GIF data sub-blocks from `pos`; false when the file ends first.
bool skipSubBlocks(const Bytes& f, uint64_t& pos) {
    for (;;) {
        if (!f.has(pos, 1)) return false;
        const uint32_t length = f.u8(pos++);
        if (length == 0) return true;
        if (!f.has(pos, length)) return false;
        pos += length;
    }
}

// The GIF's screen and every frame; the library holds each frame as a screen-sized picture.
void readGif(const Bytes& f, DeclaredSize& d) {
    if (!f.has(6, 7)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    const int64_t screenWidth = f.u16le(6);
    const int64_t screenHeight = f.u16le(8);
    d.width = screenWidth;
    d.height = screenHeight;
    d.largestPixels = times(screenWidth, screenHeight);
    if (screenWidth == 0 || screenHeight == 0) {
        d.fault = FileFault::kBadSize;
        return;
    }
    uint64_t pos = 13;
    const uint32_t flags = f.u8(10);
    if (flags & 0x80) pos += 3u << ((flags & 7) + 1);
    if (!f.has(pos, 0)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    int32_t frames = 0;
    for (;;) {
        if (!f.has(pos, 1)) break;  // no trailer: the frames so far
        const uint32_t block = f.u8(pos++);
        if (block == 0x3B) break;
        if (block == 0x21) {
            if (!f.has(pos, 1)) {
                d.fault = FileFault::kTruncated;
                return;
            }
            ++pos;  // the extension's label
            if (!skipSubBlocks(f, pos)) {
                d.fault = FileFault::kTruncated;
                return;
            }
            continue;
        }
        if (block != 0x2C) {
            d.fault = FileFault::kBadStructure;
            return;
        }
        if (!f.has(pos, 9)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        const int64_t left = f.u16le(pos);
        const int64_t top = f.u16le(pos + 2);
        const int64_t width = f.u16le(pos + 4);
        const int64_t height = f.u16le(pos + 6);
        const uint32_t frameFlags = f.u8(pos + 8);
        pos += 9;
        if (width == 0 || height == 0) {
            d.fault = FileFault::kBadSize;
            return;
        }
        if (left + width > screenWidth || top + height > screenHeight) {
            d.fault = FileFault::kFrameOutsideScreen;
            return;
        }
        if (++frames > kMaxDeclaredPictures) {
            d.fault = FileFault::kTooManyPictures;
            return;
        }
        if (frameFlags & 0x80) pos += 3u << ((frameFlags & 7) + 1);
        if (!f.has(pos, 1)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        // LZW starts with 2 .. 8 bits a code (GIF writers use at least 2; 1 is read alike).
        const uint32_t codeSize = f.u8(pos++);
        if (codeSize < 1 || codeSize > 8) {
            d.fault = FileFault::kBadStructure;
            return;
        }
        if (!skipSubBlocks(f, pos)) {
            d.fault = FileFault::kTruncated;
            return;
        }
    }
    if (frames == 0) {
        d.fault = FileFault::kTruncated;
        return;
    }
    d.pictures = frames;
    d.totalPixels = times(d.largestPixels, frames);
}

// A bitmap's info header at `at` (the file header precedes it in a BMP file, not in an icon).
void readBmpInfo(const Bytes& f, uint64_t at, bool icon, DeclaredSize& d) {
    if (!f.has(at, 4)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    const uint32_t infoSize = f.u32le(at);
    if (!icon) d.bmpInfoBytes = static_cast<int32_t>(std::min<uint32_t>(infoSize, INT32_MAX));
    int64_t width = 0;
    int64_t height = 0;
    if (infoSize == 12 && !icon) {
        if (!f.has(at, 12)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        width = f.u16le(at + 4);
        height = f.u16le(at + 6);
    } else if (infoSize >= 16) {
        if (!f.has(at, 16)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        width = static_cast<int32_t>(f.u32le(at + 4));
        height = static_cast<int32_t>(f.u32le(at + 8));
        // Rows are stored bottom up, or top down for a negative height; an icon's height
        // counts its colour and its mask rows.
        if (icon) height = height / 2;
        if (height < 0 && !icon) height = -height;
    } else {
        d.fault = FileFault::kBadStructure;
        return;
    }
    addPicture(d, width > 0 ? width : 0, height > 0 ? height : 0);
    if (width <= 0 || height <= 0) d.fault = FileFault::kBadSize;
}

// A BMP file (not an icon): its info header and, uncompressed, its pixel rows must lie in the
// file; the library fails on a cut file without saying why.
void readBmpFile(const Bytes& f, DeclaredSize& d) {
    readBmpInfo(f, 14, false, d);
    if (d.fault != FileFault::kNone) return;
    const uint32_t infoSize = f.u32le(14);
    if (!f.has(14, infoSize)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    if (infoSize < 40 && infoSize != 12) return;
    const uint32_t bits = f.u16le(infoSize == 12 ? 24 : 28);
    const uint32_t compression = infoSize == 12 ? 0 : f.u32le(30);
    if ((compression != 0 && compression != 3) || bits == 0 || bits > 32) return;
    // Rows of whole 32-bit words, the last one's padding not needed (some writers leave it
    // out, and the library reads such files); sides below 2^31 keep this inside 64 bits.
    const uint64_t rowBytes = (static_cast<uint64_t>(d.width) * bits + 31) / 32 * 4;
    const uint64_t lastRow = (static_cast<uint64_t>(d.width) * bits + 7) / 8;
    if (!f.has(f.u32le(10), rowBytes * static_cast<uint64_t>(d.height - 1) + lastRow))
        d.fault = FileFault::kTruncated;
}

// Icons and cursors: every image of the directory, a PNG stream or a bitmap.
void readIco(const Bytes& f, DeclaredSize& d) {
    if (!f.has(0, 6)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    const uint32_t kind = f.u16le(2);
    const uint32_t count = f.u16le(4);
    if (f.u16le(0) != 0 || (kind != 1 && kind != 2) || count == 0) {
        d.fault = FileFault::kBadStructure;
        return;
    }
    if (count > static_cast<uint32_t>(kMaxDeclaredPictures)) {
        d.fault = FileFault::kTooManyPictures;
        return;
    }
    if (!f.has(6, uint64_t{16} * count)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    for (uint32_t i = 0; i < count && d.fault == FileFault::kNone; ++i) {
        const uint64_t entry = 6 + uint64_t{16} * i;
        const uint64_t length = f.u32le(entry + 8);
        const uint64_t offset = f.u32le(entry + 12);
        if (!f.has(offset, length) || length == 0) {
            d.fault = FileFault::kTruncated;
            return;
        }
        if (isPng(f, offset)) {
            readPng(f, offset, d);
        } else {
            readBmpInfo(f, offset, true, d);
        }
    }
}

// Radiance HDR: text lines up to an empty one, then the size line. Only the usual orientation
// "-Y <rows> +X <columns>" is taken; any other form is refused rather than guessed.
void readHdr(const Bytes& f, DeclaredSize& d) {
    constexpr uint64_t kLongestHeader = 65536;
    uint64_t pos = 0;
    bool blank = false;
    while (!blank) {
        const uint64_t start = pos;
        while (f.has(pos, 1) && f.u8(pos) != '\n') ++pos;
        if (!f.has(pos, 1) || pos > kLongestHeader) {
            d.fault = FileFault::kTruncated;
            return;
        }
        blank = pos == start;
        ++pos;
    }
    int64_t values[2] = {0, 0};
    const char* const kLabels[2] = {"-Y ", " +X "};
    for (int i = 0; i < 2; ++i) {
        if (!f.startsWith(pos, kLabels[i])) {
            d.fault = FileFault::kBadSize;
            return;
        }
        pos += std::strlen(kLabels[i]);
        int digits = 0;
        while (f.has(pos, 1) && f.u8(pos) >= '0' && f.u8(pos) <= '9') {
            if (++digits > 9) {
                d.fault = FileFault::kBadSize;
                return;
            }
            values[i] = values[i] * 10 + (f.u8(pos) - '0');
            ++pos;
        }
        if (digits == 0) {
            d.fault = FileFault::kBadSize;
            return;
        }
    }
    if (!f.has(pos, 1) || f.u8(pos) != '\n') {
        d.fault = FileFault::kBadSize;
        return;
    }
    addPicture(d, values[1], values[0]);
    if (values[0] == 0 || values[1] == 0) {
        d.fault = FileFault::kBadSize;
        return;
    }
    // The scanlines: the library loops for ever on run-length data cut short. Scanlines in the
    // run-length form (2, 2, width) are followed to their end; checking stops at the first
    // scanline in another form.
    ++pos;
    const int64_t width = values[1];
    if (width < 8 || width > 32767) return;
    for (int64_t y = 0; y < values[0]; ++y) {
        if (!f.has(pos, 4)) {
            d.fault = FileFault::kTruncated;
            return;
        }
        if (f.u8(pos) != 2 || f.u8(pos + 1) != 2 || f.u16be(pos + 2) != width) return;
        pos += 4;
        for (int component = 0; component < 4; ++component) {
            for (int64_t x = 0; x < width;) {
                if (!f.has(pos, 1)) {
                    d.fault = FileFault::kTruncated;
                    return;
                }
                uint32_t count = f.u8(pos++);
                const bool run = count > 128;
                if (run) count -= 128;
                if (count == 0 || x + count > width) {
                    d.fault = FileFault::kBadStructure;
                    return;
                }
                const uint32_t stored = run ? 1 : count;
                if (!f.has(pos, stored)) {
                    d.fault = FileFault::kTruncated;
                    return;
                }
                pos += stored;
                x += count;
            }
        }
    }
}

// Bytes of one DDS surface level of `width` x `height` for the pixel format; 0 when the format
// is not one whose size is known here.
int64_t ddsLevelBytes(const Bytes& f, int64_t width, int64_t height) {
    constexpr uint32_t kFourCc = 0x4;
    const uint32_t formatFlags = f.u32le(80);
    if (formatFlags & kFourCc) {
        int64_t blockBytes = 0;
        if (f.startsWith(84, "DXT1") || f.startsWith(84, "ATI1")) blockBytes = 8;
        if (f.startsWith(84, "DXT2") || f.startsWith(84, "DXT3") || f.startsWith(84, "DXT4") ||
            f.startsWith(84, "DXT5") || f.startsWith(84, "ATI2") || f.startsWith(84, "RXGB"))
            blockBytes = 16;
        return times(times((width + 3) / 4, (height + 3) / 4), blockBytes);
    }
    const uint32_t bits = f.u32le(88);
    if (bits == 0 || bits % 8 != 0 || bits > 128) return 0;
    return times(times(width, height), bits / 8);
}

// DirectDraw surfaces: the size, slices, faces and mipmaps, and whether the file holds the data
// they need (the library reads compressed blocks past a short buffer).
void readDds(const Bytes& f, DeclaredSize& d) {
    constexpr uint64_t kHeaderEnd = 4 + 124;
    if (!f.has(0, kHeaderEnd)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    const uint32_t flags = f.u32le(8);
    const int64_t height = f.u32le(12);
    const int64_t width = f.u32le(16);
    const int64_t linearSize = f.u32le(20);
    const int64_t depth = f.u32le(24);
    const uint32_t mipmapCount = f.u32le(28);
    const uint32_t caps2 = f.u32le(112);
    const bool volume = (caps2 & 0x200000u) != 0 && depth > 1;
    const int64_t slices = volume ? depth : 1;
    int32_t faces = 1;
    if (caps2 & 0x200u) {
        faces = 0;
        for (uint32_t face = 0x400u; face <= 0x8000u; face <<= 1)
            if (caps2 & face) ++faces;
        if (faces == 0) faces = 1;
    }
    for (int32_t i = 0; i < faces; ++i) addPicture(d, width, height, slices);
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX || slices > 65536) {
        d.fault = FileFault::kBadSize;
        return;
    }
    const uint32_t levels = (flags & 0x20000u) && mipmapCount > 0 ? mipmapCount : 1;
    if (levels > 32) {
        d.fault = FileFault::kBadStructure;
        return;
    }
    const int64_t topBytes = ddsLevelBytes(f, width, height);
    if (topBytes == 0) return;  // a pixel format whose data size is not known here
    const bool compressed = (f.u32le(80) & 0x4u) != 0;
    if (compressed && (flags & 0x80000u) && linearSize < topBytes) {
        // The header's data size is smaller than its picture needs.
        d.fault = FileFault::kBadStructure;
        return;
    }
    int64_t needed = 0;
    for (uint32_t level = 0; level < levels; ++level) {
        const int64_t w = width >> level > 0 ? width >> level : 1;
        const int64_t h = height >> level > 0 ? height >> level : 1;
        const int64_t s = slices >> level > 0 ? slices >> level : 1;
        needed = plus(needed, times(ddsLevelBytes(f, w, h), s));
    }
    if (!f.has(kHeaderEnd, static_cast<uint64_t>(times(needed, faces))))
        d.fault = FileFault::kTruncated;
}

void readPsd(const Bytes& f, DeclaredSize& d) {
    if (!f.has(0, 26)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    const uint32_t channels = f.u16be(12);
    const int64_t height = f.u32be(14);
    const int64_t width = f.u32be(18);
    addPicture(d, width, height);
    if (f.u16be(4) != 1 || channels == 0 || channels > 56) {
        d.fault = FileFault::kBadStructure;
        return;
    }
    if (width == 0 || height == 0) d.fault = FileFault::kBadSize;
}

void readTga(const Bytes& f, DeclaredSize& d) {
    if (!f.has(0, 18)) {
        d.fault = FileFault::kTruncated;
        return;
    }
    const int64_t width = f.u16le(12);
    const int64_t height = f.u16le(14);
    addPicture(d, width, height);
    if (width == 0 || height == 0) d.fault = FileFault::kBadSize;
}

// True when the extension of `name` (after its last '.') is one of `extensions`.
bool hasExtension(const std::string& name, std::initializer_list<const char*> extensions) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const char* extension = name.c_str() + dot + 1;
    for (const char* e : extensions)
        if (strcasecmp(extension, e) == 0) return true;
    return false;
}

// Keeps the larger picture and the first fault of two readings of one file.
void merge(DeclaredSize& into, const DeclaredSize& other) {
    if (into.type == ImageFileType::kUnknown) {
        into = other;
        return;
    }
    if (into.fault == FileFault::kNone) into.fault = other.fault;
    if (other.largestPixels > into.largestPixels) {
        into.largestPixels = other.largestPixels;
        into.width = other.width;
        into.height = other.height;
    }
    if (other.totalPixels > into.totalPixels) into.totalPixels = other.totalPixels;
    if (other.pictures > into.pictures) into.pictures = other.pictures;
}

}  // namespace

const char* imageFileTypeName(ImageFileType type) {
    switch (type) {
        case ImageFileType::kPng:
            return "PNG";
        case ImageFileType::kJpeg:
            return "JPEG";
        case ImageFileType::kTiff:
            return "TIFF";
        case ImageFileType::kBmp:
            return "BMP";
        case ImageFileType::kGif:
            return "GIF";
        case ImageFileType::kPnm:
            return "PNM";
        case ImageFileType::kHdr:
            return "HDR";
        case ImageFileType::kDds:
            return "DDS";
        case ImageFileType::kPsd:
            return "PSD";
        case ImageFileType::kTga:
            return "TGA";
        case ImageFileType::kIco:
            return "ICO";
        case ImageFileType::kUnknown:
            break;
    }
    return "";
}

const char* fileFaultText(FileFault fault) {
    switch (fault) {
        case FileFault::kBadSize:
            return "the header declares a picture size of 0, a negative one or none that can "
                   "be read";
        case FileFault::kTruncated:
            return "the file ends before the data its headers announce";
        case FileFault::kBadStructure:
            return "the file's structure is damaged (offsets, lengths or counts that do not "
                   "fit)";
        case FileFault::kFrameOutsideScreen:
            return "a frame lies outside the picture's screen";
        case FileFault::kTooManyPictures:
            return "the file declares more than 1024 pages, frames or icons";
        case FileFault::kUnsafeForLibrary:
            return "the image library would read it unsafely";
        case FileFault::kNone:
        case FileFault::kCount:
            break;
    }
    return "";
}

bool samplesReadAsUnsigned(const DeclaredSize& declared) {
    return declared.type != ImageFileType::kTiff || declared.sampleFormat == 1 ||
           declared.sampleFormat == 4;
}

const char* tiffSampleFormatName(int32_t sampleFormat) {
    switch (sampleFormat) {
        case 2:
            return "signed integer";
        case 3:
            return "floating-point";
        case 5:
        case 6:
            return "complex";
        default:
            break;
    }
    return "";
}

DeclaredSize readDeclaredSize(const unsigned char* bytes, size_t size, const std::string& name) {
    const Bytes f{bytes, size};
    // The library reads a PNM file by its extension, or by its content when no other extension
    // names the format.
    if (hasExtension(name, {"pbm", "pgm", "ppm", "pnm"}) ||
        (f.has(0, 2) && f.u8(0) == 'P' && f.u8(1) >= '1' && f.u8(1) <= '6'))
        return readPnmDeclaredSize(bytes, size);

    DeclaredSize declared;
    if (hasExtension(name, {"tga", "vda", "icb", "vst"})) {
        DeclaredSize tga;
        tga.type = ImageFileType::kTga;
        readTga(f, tga);
        merge(declared, tga);
    }
    const bool iconName = hasExtension(name, {"ico", "cur"});
    DeclaredSize content;
    if (isPng(f, 0)) {
        content.type = ImageFileType::kPng;
        readPng(f, 0, content);
    } else if (f.has(0, 2) && f.u8(0) == 0xFF && f.u8(1) == 0xD8) {
        content.type = ImageFileType::kJpeg;
        readJpeg(f, content);
    } else if ((f.startsWith(0, "II") && f.has(0, 4) && (f.u16le(2) == 42 || f.u16le(2) == 43)) ||
               (f.startsWith(0, "MM") && f.has(0, 4) && (f.u16be(2) == 42 || f.u16be(2) == 43))) {
        content = readTiffDeclaredSize(bytes, size);
    } else if (f.startsWith(0, "BM")) {
        content.type = ImageFileType::kBmp;
        readBmpFile(f, content);
    } else if (f.startsWith(0, "GIF87a") || f.startsWith(0, "GIF89a")) {
        content.type = ImageFileType::kGif;
        readGif(f, content);
    } else if (f.startsWith(0, "#?")) {
        content.type = ImageFileType::kHdr;
        readHdr(f, content);
    } else if (f.startsWith(0, "DDS ")) {
        content.type = ImageFileType::kDds;
        readDds(f, content);
    } else if (f.startsWith(0, "8BPS")) {
        content.type = ImageFileType::kPsd;
        readPsd(f, content);
    } else if (iconName ||
               (f.has(0, 22) && f.u16le(0) == 0 && (f.u16le(2) == 1 || f.u16le(2) == 2) &&
                f.u16le(4) >= 1 && f.u32le(18) == 6 + uint32_t{16} * f.u16le(4))) {
        // Icons are named so; the content test (the first image right after the directory)
        // only catches icons under other names.
        content.type = ImageFileType::kIco;
        readIco(f, content);
    }
    if (content.type != ImageFileType::kUnknown) merge(declared, content);
    return declared;
}
