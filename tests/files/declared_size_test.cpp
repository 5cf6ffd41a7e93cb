#include "files/declared_size.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "decode_crafted.h"

namespace {

// Reads `bytes` from storage of exactly their size, so that the sanitizers see a read past it.
DeclaredSize read(const Bytes& bytes, const std::string& name) {
    std::unique_ptr<unsigned char[]> exact(
        new unsigned char[bytes.size() + (bytes.empty() ? 1 : 0)]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    return readDeclaredSize(exact.get(), bytes.size(), name);
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An HDR file of `width` x `height` in run-length scanlines of one value each.
Bytes hdrFile(uint32_t width, uint32_t height) {
    Bytes b = text("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(height) + " +X " +
                   std::to_string(width) + "\n");
    for (uint32_t y = 0; y < height; ++y) {
        b.insert(b.end(), {2, 2, static_cast<unsigned char>(width >> 8),
                           static_cast<unsigned char>(width & 0xFF)});
        for (int c = 0; c < 4; ++c) {
            for (uint32_t x = 0; x < width; x += 127)
                b.insert(b.end(), {static_cast<unsigned char>(128 + std::min(127u, width - x)), 9});
        }
    }
    return b;
}

// A cursor file of a PNG and a 16 x 16 bitmap icon.
Bytes twoIcons() {
    const Bytes png = pngFile(5, {{1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}}, 8, 0);
    Bytes bitmap;
    put32le(bitmap, 40);
    put32le(bitmap, 16);
    put32le(bitmap, 32);  // colour and mask rows
    bitmap.insert(bitmap.end(), 28 + 16 * 16 * 4 + 64, 0);
    Bytes b;
    put16le(b, 0);
    put16le(b, 1);
    put16le(b, 2);
    const uint32_t first = 6 + 2 * 16;
    for (const Bytes* image : {&png, static_cast<const Bytes*>(&bitmap)}) {
        b.insert(b.end(), {16, 16, 0, 0, 1, 0, 32, 0});
        put32le(b, static_cast<uint32_t>(image->size()));
        put32le(b, image == &png ? first : first + static_cast<uint32_t>(png.size()));
    }
    b.insert(b.end(), png.begin(), png.end());
    b.insert(b.end(), bitmap.begin(), bitmap.end());
    return b;
}

TEST(DeclaredSize, HeadersOfEveryFormatGiveTheirPicturesSizes) {
    const struct {
        const char* name;
        Bytes bytes;
        ImageFileType type;
        int64_t width, height, total;
        int32_t pictures;
    } cases[] = {
        {"a.png", pngFile(7, std::vector<Bytes>(3, Bytes(7, 1)), 8, 0), ImageFileType::kPng, 7, 3,
         21, 1},
        {"a.tif", greyTiff({5, 7}, {3, 2}), ImageFileType::kTiff, 5, 3, 29, 2},
        {"a.bmp", paletteBmp(3, {{0, 1, 2}, {2, 1, 0}}, {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}}),
         ImageFileType::kBmp, 3, 2, 6, 1},
        {"a.pgm", text("P5\n3 2\n255\nabcdef"), ImageFileType::kPnm, 3, 2, 6, 1},
        {"a.hdr", hdrFile(300, 4), ImageFileType::kHdr, 300, 4, 1200, 1},
        {"a.cur", twoIcons(), ImageFileType::kIco, 16, 16, 256 + 10, 2},
    };
    for (const auto& c : cases) {
        const DeclaredSize d = read(c.bytes, c.name);
        EXPECT_EQ(d.type, c.type) << c.name;
        EXPECT_EQ(d.fault, FileFault::kNone) << c.name << " " << fileFaultText(d.fault);
        EXPECT_EQ(d.width, c.width) << c.name;
        EXPECT_EQ(d.height, c.height) << c.name;
        EXPECT_EQ(d.largestPixels, c.width * c.height) << c.name;
        EXPECT_EQ(d.totalPixels, c.total) << c.name;
        EXPECT_EQ(d.pictures, c.pictures) << c.name;
    }
    // A GIF holds every frame as a picture of its screen.
    const std::vector<CraftedFile> crafted = craftedFiles();
    for (const CraftedFile& f : crafted) {
        if (f.name != "short_palette.gif") continue;
        const DeclaredSize d = read(f.bytes, f.name);
        EXPECT_EQ(d.type, ImageFileType::kGif);
        EXPECT_EQ(d.width, 8);
        EXPECT_EQ(d.height, 4);
        EXPECT_EQ(d.pictures, 1);
    }
    EXPECT_EQ(read(text("plain text, no picture"), "a.png").type, ImageFileType::kUnknown);
    EXPECT_EQ(read(Bytes(), "a.png").type, ImageFileType::kUnknown);
}

TEST(DeclaredSize, FormatsTheLibraryChoosesByNameAreReadByName) {
    Bytes tga = {0, 0, 3};
    tga.insert(tga.end(), 9, 0);
    put16le(tga, 640);
    put16le(tga, 480);
    tga.insert(tga.end(), {8, 0x20});
    const DeclaredSize asTga = read(tga, "picture.TGA");
    EXPECT_EQ(asTga.type, ImageFileType::kTga);
    EXPECT_EQ(asTga.largestPixels, 640 * 480);
    EXPECT_EQ(read(tga, "picture.dat").type, ImageFileType::kUnknown);
    // The library reads a ".pgm" file as PNM whatever it holds, and a PNG as such would be
    // misread: the PNM reading wins.
    const DeclaredSize png = read(pngFile(2, {{1, 2}}, 8, 0), "picture.Pgm");
    EXPECT_EQ(png.type, ImageFileType::kPnm);
    EXPECT_EQ(png.fault, FileFault::kUnsafeForLibrary);
}

TEST(DeclaredSize, EveryCutOfAFileIsReadInsideItsBytesAndACutPngIsTruncated) {
    std::vector<CraftedFile> files = craftedFiles();
    const std::vector<CraftedFile> shortOnes = shortPictures();
    files.insert(files.end(), shortOnes.begin(), shortOnes.end());
    files.push_back({"whole.png", pngFile(9, std::vector<Bytes>(4, Bytes(9, 5)), 8, 0), ""});
    files.push_back({"whole.hdr", hdrFile(20, 3), ""});
    files.push_back({"whole.cur", twoIcons(), ""});
    files.push_back({"whole.tif", greyTiff({5, 7}, {3, 2}), ""});
    for (const CraftedFile& f : files) {
        const size_t size = f.bytes.size();
        // Every cut in the first kilobyte, then 64 more spread over the file.
        const size_t step = size > 1024 ? size / 64 : 1;
        for (size_t cut = 0; cut < size; cut += cut < 1024 ? 1 : step) {
            const DeclaredSize d = read(Bytes(f.bytes.begin(), f.bytes.begin() + cut), f.name);
            if (f.name == "whole.png" && cut >= 8) {
                EXPECT_EQ(d.fault, FileFault::kTruncated) << f.name << " cut at " << cut;
            }
            if (f.name == "whole.hdr" && cut >= 50) {
                EXPECT_NE(d.fault, FileFault::kNone) << f.name << " cut at " << cut;
            }
        }
    }
}

}  // namespace
