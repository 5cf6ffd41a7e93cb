#include <IL/il.h>
#include <IL/ilu.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "image/image_load.h"
#include "synthetic/synthetic_sem.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// Files written by the tests live in one temporary folder per run.
class ImageLoad : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ilInit();
        iluInit();
        folder_ = fs::temp_directory_path() /
                  ("rugon_image_load_" + std::to_string(static_cast<long long>(::getpid())));
        fs::create_directories(folder_);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    static std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = (folder_ / name).string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f != nullptr) {
            if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
        return path;
    }
    static std::string write(const std::string& name, const std::string& text) {
        return write(name, Bytes(text.begin(), text.end()));
    }

    static fs::path folder_;
};
fs::path ImageLoad::folder_;

Bytes pnm(const std::string& header, const Bytes& samples) {
    Bytes out(header.begin(), header.end());
    out.insert(out.end(), samples.begin(), samples.end());
    return out;
}

void put16le(Bytes& b, uint32_t v) {
    b.push_back(static_cast<unsigned char>(v & 0xFF));
    b.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}
void put32le(Bytes& b, uint32_t v) {
    put16le(b, v & 0xFFFF);
    put16le(b, v >> 16);
}
void put32be(Bytes& b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(static_cast<unsigned char>((v >> shift) & 0xFF));
}

// An 8-bit palette BMP (bottom-up, BITMAPINFOHEADER): `rows` in file order, each a row of
// palette indices; `palette` as red, green, blue triples.
Bytes paletteBmp(int32_t width, const std::vector<Bytes>& rows, const std::vector<Bytes>& palette) {
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
    put16le(b, 1);  // planes
    put16le(b, 8);  // bits per pixel
    put32le(b, 0);  // no compression
    put32le(b, imageBytes);
    put32le(b, 2835);
    put32le(b, 2835);
    put32le(b, static_cast<uint32_t>(palette.size()));
    put32le(b, 0);
    for (const Bytes& c : palette) {
        b.push_back(c[2]);  // blue, green, red, reserved
        b.push_back(c[1]);
        b.push_back(c[0]);
        b.push_back(0);
    }
    for (const Bytes& row : rows) {
        b.insert(b.end(), row.begin(), row.end());
        for (uint32_t pad = static_cast<uint32_t>(row.size()); pad < stride; ++pad) b.push_back(0);
    }
    return b;
}

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
    typed.insert(typed.end(), data.begin(), data.end());
    png.insert(png.end(), typed.begin(), typed.end());
    put32be(png, crc32(typed.data(), typed.size()));
}

// A PNG file of `rows` (top row first, raw sample bytes of each row) with the given bit depth
// and colour type (0 grey, 2 colour, 3 palette), stored without compression.
Bytes png(int32_t width,
          const std::vector<Bytes>& rows,
          int bitDepth,
          int colourType,
          const std::vector<Bytes>& palette = {}) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header;
    put32be(header, static_cast<uint32_t>(width));
    put32be(header, static_cast<uint32_t>(rows.size()));
    header.insert(header.end(), {static_cast<unsigned char>(bitDepth),
                                 static_cast<unsigned char>(colourType), 0, 0, 0});
    pngChunk(out, "IHDR", header);
    if (!palette.empty()) {
        Bytes plte;
        for (const Bytes& c : palette) plte.insert(plte.end(), c.begin(), c.end());
        pngChunk(out, "PLTE", plte);
    }
    Bytes raw;
    for (const Bytes& row : rows) {
        raw.push_back(0);  // no filter
        raw.insert(raw.end(), row.begin(), row.end());
    }
    Bytes z = {0x78, 0x01, 0x01};  // one final stored block
    put16le(z, static_cast<uint32_t>(raw.size()));
    put16le(z, static_cast<uint32_t>(~raw.size() & 0xFFFF));
    z.insert(z.end(), raw.begin(), raw.end());
    uint32_t a = 1, b = 0;
    for (unsigned char v : raw) {
        a = (a + v) % 65521u;
        b = (b + a) % 65521u;
    }
    put32be(z, (b << 16) | a);
    pngChunk(out, "IDAT", z);
    pngChunk(out, "IEND", {});
    return out;
}

// An uncompressed little-endian 16-bit grey TIFF, one strip, samples row after row.
Bytes grey16Tiff(uint32_t width, uint32_t height, const std::vector<uint16_t>& samples) {
    Bytes b = {'I', 'I', 42, 0};
    put32le(b, 8);
    const uint32_t entries = 9;
    const uint32_t dataOffset = 8 + 2 + entries * 12 + 4;
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
    entry(256, 4, width);
    entry(257, 4, height);
    entry(258, 3, 16);  // bits per sample
    entry(259, 3, 1);   // no compression
    entry(262, 3, 1);   // black is zero
    entry(273, 4, dataOffset);
    entry(277, 3, 1);  // one sample per pixel
    entry(278, 4, height);
    entry(279, 4, 2 * width * height);
    put32le(b, 0);
    for (uint16_t v : samples) put16le(b, v);
    return b;
}

std::vector<double> row(const GreyImage& g, int32_t y) {
    std::vector<double> out;
    for (int32_t x = 0; x < g.width; ++x) out.push_back(g.at(x, y));
    return out;
}

GreyImage sentinel() {
    GreyImage g;
    g.allocate(1, 1);
    g.data[0] = 42.0;
    return g;
}

TEST_F(ImageLoad, GreyFileLoadsRowsInDeliveredOrder) {
    const std::string path = write("grey.pgm", pnm("P5\n3 2\n255\n", {10, 20, 30, 40, 50, 60}));
    GreyImage g;
    LoadedImageInfo info;
    ASSERT_TRUE(loadGreyImage(path.c_str(), g, &info));
    EXPECT_EQ(g.width, 3);
    EXPECT_EQ(g.height, 2);
    EXPECT_EQ(row(g, 0), (std::vector<double>{10, 20, 30}));
    EXPECT_EQ(row(g, 1), (std::vector<double>{40, 50, 60}));
    EXPECT_TRUE(info.topRowFirst);
}

TEST_F(ImageLoad, ColourFileTakesTheFirstByteOfEachPixel) {
    const std::string path =
        write("colour.ppm", pnm("P6\n2 2\n255\n", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    GreyImage g;
    ASSERT_TRUE(loadGreyImage(path.c_str(), g));
    EXPECT_EQ(row(g, 0), (std::vector<double>{1, 4}));
    EXPECT_EQ(row(g, 1), (std::vector<double>{7, 10}));
    const std::string rgbPng = write("colour.png", png(2, {{9, 8, 7, 6, 5, 4}}, 8, 2));
    ASSERT_TRUE(loadGreyImage(rgbPng.c_str(), g));
    EXPECT_EQ(row(g, 0), (std::vector<double>{9, 6}));
}

TEST_F(ImageLoad, SixteenBitFilesUseTheEightBitsFromTheirHighestUsedBit) {
    // Pictures that use bit 15 give the high byte. 0x12AB: the first byte in memory is the low
    // byte 0xAB = 171; the picture is 0x12 = 18.
    const std::string tiff =
        write("grey16.tif", grey16Tiff(3, 2, {0x12AB, 0xFF01, 0x0080, 0x8000, 0x7FFF, 0x0000}));
    GreyImage g;
    LoadedImageInfo info;
    ASSERT_TRUE(loadGreyImage(tiff.c_str(), g, &info));
    EXPECT_EQ(row(g, 0), (std::vector<double>{0x12, 0xFF, 0x00}));
    EXPECT_EQ(row(g, 1), (std::vector<double>{0x80, 0x7F, 0x00}));
    EXPECT_TRUE(info.topRowFirst);
    EXPECT_EQ(info.format, "16-bit grey");
    const std::string grey16Png =
        write("grey16.png", png(2, {{0x12, 0xAB, 0xC0, 0x01}, {0x00, 0xFF, 0x01, 0x00}}, 16, 0));
    ASSERT_TRUE(loadGreyImage(grey16Png.c_str(), g));
    EXPECT_EQ(row(g, 0), (std::vector<double>{0x12, 0xC0}));
    EXPECT_EQ(row(g, 1), (std::vector<double>{0x00, 0x01}));

    // 12-bit data (largest 4095): the top 8 of its 12 bits, not the 16 grey levels of the high
    // byte. An 8-bit picture saved as 16 bits: its own levels, not black.
    const std::string twelve = write("grey12.tif", grey16Tiff(3, 1, {4095, 0x0ABC, 15}));
    ASSERT_TRUE(loadGreyImage(twelve.c_str(), g, &info));
    EXPECT_EQ(row(g, 0), (std::vector<double>{255, 0xAB, 0}));
    EXPECT_EQ(info.format, "16-bit grey, values in 12 bits");
    const std::string eight = write("grey8in16.tif", grey16Tiff(3, 1, {200, 40, 255}));
    ASSERT_TRUE(loadGreyImage(eight.c_str(), g, &info));
    EXPECT_EQ(row(g, 0), (std::vector<double>{200, 40, 255}));
    EXPECT_EQ(info.format, "16-bit grey, values in 8 bits");

    // 16 bits per channel in colour: the first channel's largest value sets the shift (0x3456
    // uses 14 bits: shift 6), whatever the other channels hold.
    const std::string rgb16Png =
        write("rgb16.png", png(1, {{0x34, 0x56, 0x00, 0x00, 0xFF, 0xFF}}, 16, 2));
    ASSERT_TRUE(loadGreyImage(rgb16Png.c_str(), g));
    EXPECT_EQ(row(g, 0), (std::vector<double>{0x3456 >> 6}));
}

TEST_F(ImageLoad, SixteenBitPnmThatTheLibraryMisreadsIsRefused) {
    // DevIL 1.7.8 fills one byte per pixel from half of the samples of a 16-bit PNM file.
    const std::string path = write("grey16.pgm", pnm("P5\n2 1\n65535\n", {0x12, 0x34, 0xAB, 0xCD}));
    GreyImage g = sentinel();
    EXPECT_FALSE(loadGreyImage(path.c_str(), g));
    EXPECT_EQ(g.width, 1);
    EXPECT_EQ(g.data[0], 42.0);
}

TEST_F(ImageLoad, PaletteFilesTakeThePaletteColourAndKeepTheirRowOrder) {
    // Palette entry i is red 10 i + 5, green 1, blue 2; the index is never the answer.
    std::vector<Bytes> palette;
    for (int i = 0; i < 8; ++i) palette.push_back({static_cast<unsigned char>(10 * i + 5), 1, 2});
    const std::string bmp = write("palette.bmp", paletteBmp(3, {{0, 1, 2}, {5, 6, 7}}, palette));
    GreyImage g;
    LoadedImageInfo info;
    info.topRowFirst = true;
    ASSERT_TRUE(loadGreyImage(bmp.c_str(), g, &info));
    ASSERT_EQ(g.width, 3);
    ASSERT_EQ(g.height, 2);
    // A BMP is stored bottom row first, and the library delivers it so.
    EXPECT_EQ(row(g, 0), (std::vector<double>{5, 15, 25}));
    EXPECT_EQ(row(g, 1), (std::vector<double>{55, 65, 75}));
    EXPECT_FALSE(info.topRowFirst);

    const std::string palettePng = write("palette.png", png(2, {{3, 0}, {1, 7}}, 8, 3, palette));
    ASSERT_TRUE(loadGreyImage(palettePng.c_str(), g, &info));
    EXPECT_EQ(row(g, 0), (std::vector<double>{35, 5}));
    EXPECT_EQ(row(g, 1), (std::vector<double>{15, 75}));
    EXPECT_TRUE(info.topRowFirst);
}

TEST_F(ImageLoad, IdentityGreyPaletteGivesTheIndices) {
    std::vector<Bytes> ramp;
    for (int i = 0; i < 256; ++i) {
        const unsigned char v = static_cast<unsigned char>(i);
        ramp.push_back({v, v, v});
    }
    const std::string bmp =
        write("ramp.bmp", paletteBmp(5, {{0, 1, 127, 254, 255}, {9, 8, 7, 6, 5}}, ramp));
    GreyImage g;
    ASSERT_TRUE(loadGreyImage(bmp.c_str(), g));
    EXPECT_EQ(row(g, 0), (std::vector<double>{0, 1, 127, 254, 255}));
    EXPECT_EQ(row(g, 1), (std::vector<double>{9, 8, 7, 6, 5}));
}

TEST_F(ImageLoad, TinyImagesLoad) {
    GreyImage g;
    ASSERT_TRUE(loadGreyImage(write("one.pgm", pnm("P5\n1 1\n255\n", {7})).c_str(), g));
    EXPECT_EQ(g.width, 1);
    EXPECT_EQ(g.height, 1);
    EXPECT_EQ(g.data[0], 7.0);
    ASSERT_TRUE(loadGreyImage(write("column.pgm", pnm("P5\n1 2\n255\n", {1, 2})).c_str(), g));
    EXPECT_EQ(g.width, 1);
    EXPECT_EQ(g.height, 2);
}

TEST_F(ImageLoad, BadFilesReportFailureAndLeaveTheGridAlone) {
    const Bytes fullPgm = pnm("P5\n20 10\n255\n", Bytes(200, 100));
    const Bytes fullPpm = pnm("P6\n20 10\n255\n", Bytes(600, 100));
    std::vector<Bytes> rows(10, Bytes(20, 90));
    const Bytes fullPng = png(20, rows, 8, 0);
    std::vector<std::string> paths = {
        write("empty.pgm", Bytes()),
        write("empty.png", Bytes()),
        write("short.pgm", Bytes(fullPgm.begin(), fullPgm.end() - 1)),
        write("short.ppm", Bytes(fullPpm.begin(), fullPpm.begin() + 100)),
        write("header.pgm", std::string("P5\n20 10\n")),
        write("short.dat", Bytes(fullPgm.begin(), fullPgm.begin() + 50)),
        write("zero.pgm", pnm("P5\n0 5\n255\n", {})),
        write("text.png", std::string("not a picture\n")),
        write("text.pgm", std::string("not a picture\n")),
        write("text.bmp", std::string("BM not a picture\n")),
        (folder_ / "missing.pgm").string(),
        folder_.string(),
    };
    // PNG files cut inside a chunk header, inside the pixel data and before the end chunk.
    for (size_t cut : {size_t{12}, size_t{41}, fullPng.size() / 2, fullPng.size() - 12})
        paths.push_back(write("cut" + std::to_string(cut) + ".png",
                              Bytes(fullPng.begin(), fullPng.begin() + cut)));
    for (const std::string& path : paths) {
        GreyImage g = sentinel();
        EXPECT_FALSE(loadGreyImage(path.c_str(), g)) << path;
        EXPECT_EQ(g.width, 1) << path;
        EXPECT_EQ(g.data[0], 42.0) << path;
    }
    GreyImage g;
    EXPECT_FALSE(loadGreyImage(nullptr, g));
    // The complete files load.
    ASSERT_TRUE(loadGreyImage(write("full.pgm", fullPgm).c_str(), g));
    EXPECT_EQ(g.width, 20);
    ASSERT_TRUE(loadGreyImage(write("full.png", fullPng).c_str(), g));
    EXPECT_EQ(g.height, 10);
    EXPECT_EQ(g.at(19, 9), 90.0);
}

TEST_F(ImageLoad, SyntheticImageRoundTripsThroughItsPgmFile) {
    SyntheticSemSettings s;
    s.width = 96;
    s.height = 40;
    s.pitch = 40;
    s.cd = 16;
    s.firstEdge = 14;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(s, image));
    const std::string path = (folder_ / "synthetic.pgm").string();
    ASSERT_TRUE(writePgm(image, path));
    GreyImage loaded;
    LoadedImageInfo info;
    ASSERT_TRUE(loadGreyImage(path.c_str(), loaded, &info));
    EXPECT_TRUE(info.topRowFirst);
    GreyImage direct;
    toGreyImage(image, direct);
    ASSERT_EQ(loaded.width, direct.width);
    ASSERT_EQ(loaded.height, direct.height);
    for (size_t i = 0; i < direct.size(); ++i) ASSERT_EQ(loaded.data[i], direct.data[i]);

    CoarseEdges edges;
    ASSERT_TRUE(findCoarseEdges(path.c_str(), 0.3, edges));
    const CoarseEdges expected = locateCoarseEdges(direct, 0.3);
    EXPECT_EQ(edges.count, expected.count);
    EXPECT_EQ(edges.columns, expected.columns);
    EXPECT_EQ(edges.lastRow, 40);
    EXPECT_EQ(edges.count, 4);

    CoarseEdges untouched;
    untouched.count = 3;
    EXPECT_FALSE(findCoarseEdges((folder_ / "missing.pgm").string().c_str(), 0.3, untouched));
    EXPECT_EQ(untouched.count, 3);
}

// Real SEM pictures, when they are present on this machine.
const char kSemFolder[] = "/work/shared/data/sem/";

TEST_F(ImageLoad, RealPaletteBmpMatchesItsCroppedPngUpsideDown) {
    const std::string bmp = std::string(kSemFolder) + "mpa_N5_P440_003.bmp";
    const std::string crop = std::string(kSemFolder) + "mpa_N5_P440_003_crop.png";
    if (!fs::exists(bmp) || !fs::exists(crop)) GTEST_SKIP() << "no SEM pictures here";
    GreyImage full;
    GreyImage top;
    LoadedImageInfo fullInfo;
    LoadedImageInfo topInfo;
    ASSERT_TRUE(loadGreyImage(bmp.c_str(), full, &fullInfo));
    ASSERT_TRUE(loadGreyImage(crop.c_str(), top, &topInfo));
    ASSERT_EQ(full.width, 1280);
    ASSERT_EQ(full.height, 1024);
    ASSERT_EQ(top.width, 1280);
    ASSERT_EQ(top.height, 960);
    EXPECT_FALSE(fullInfo.topRowFirst);
    EXPECT_TRUE(topInfo.topRowFirst);
    // The BMP's first delivered row is the bottom of the picture; the crop holds rows 0 .. 959
    // from the top.
    for (int32_t y = 0; y < 960; y += 97)
        EXPECT_EQ(row(full, 1023 - y), row(top, y)) << "picture row " << y;

    // Each trench shows as two bright bands, about 18 trenches across.
    const CoarseEdges edges = locateCoarseEdges(top, 0.3);
    EXPECT_GE(edges.count, 20);
    EXPECT_EQ(edges.lastRow, 960);
    for (int32_t i = 1; i < edges.count; ++i)
        EXPECT_LT(edges.columns[static_cast<size_t>(i - 1)], edges.columns[static_cast<size_t>(i)]);
}

TEST_F(ImageLoad, RealJpegAndRotatedPngLoad) {
    const std::string jpeg = std::string(kSemFolder) + "ptl_legacy_analysis_test.jpg";
    const std::string rotated = std::string(kSemFolder) + "ptl_test_analysis_lines_rot90.png";
    if (!fs::exists(jpeg) || !fs::exists(rotated)) GTEST_SKIP() << "no SEM pictures here";
    GreyImage g;
    ASSERT_TRUE(loadGreyImage(jpeg.c_str(), g));
    EXPECT_EQ(g.width, 2048);
    EXPECT_EQ(g.height, 2168);
    ASSERT_TRUE(loadGreyImage(rotated.c_str(), g));
    EXPECT_EQ(g.width, 1036);
    EXPECT_EQ(g.height, 956);
}

}  // namespace
