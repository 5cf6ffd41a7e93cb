#include "files/decode.h"

#include <IL/il.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "decode_crafted.h"
#include "files/decode_protocol.h"
#include "sem_samples.h"
#include "synthetic/synthetic_sem.h"

namespace {

namespace fs = std::filesystem;

class Decode : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = fs::temp_directory_path() /
                  ("rugon_decode_" + std::to_string(static_cast<long long>(::getpid())));
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
    static std::string run(const std::string& command) {
        std::string out;
        std::FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return out;
        char buffer[65536];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
        return out;
    }
    static fs::path folder_;
};
fs::path Decode::folder_;

DecodeLimits withDecoder(const std::string& decoder, double seconds = 60.0) {
    DecodeLimits limits;
    limits.decoder = decoder;
    limits.timeoutSeconds = seconds;
    return limits;
}

GreyImage sentinel() {
    GreyImage g;
    g.allocate(1, 1);
    g.data[0] = 42.0;
    return g;
}

// The picture as the image library delivers it in this very process, brought to grey levels
// the way the program did before decoding moved into a child: the reference for the decoder's
// bytes. Only for files the library reads safely.
bool decodeInProcess(const std::string& path, GreyImage& grid, bool& topRowFirst) {
    // The library's settings are shared by the whole process and other tests change them; the
    // program never did. They are set aside here and restored at the end.
    const ILenum modes[] = {IL_ORIGIN_SET, IL_FORMAT_SET, IL_TYPE_SET, IL_CONV_PAL};
    bool enabled[4];
    for (int i = 0; i < 4; ++i) {
        enabled[i] = ilIsEnabled(modes[i]) == IL_TRUE;
        ilDisable(modes[i]);
    }
    ILuint image = 0;
    ilGenImages(1, &image);
    ilBindImage(image);
    bool ok = ilLoadImage(path.c_str()) == IL_TRUE;
    if (ok) {
        topRowFirst = ilGetInteger(IL_IMAGE_ORIGIN) == IL_ORIGIN_UPPER_LEFT;
        const ILint format = ilGetInteger(IL_IMAGE_FORMAT);
        const ILint type = ilGetInteger(IL_IMAGE_TYPE);
        if (format == IL_COLOUR_INDEX)
            ok = ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE) == IL_TRUE;
        else if (type != IL_UNSIGNED_BYTE && type != IL_BYTE && type != IL_UNSIGNED_SHORT)
            ok = ilConvertImage(static_cast<ILenum>(format), IL_UNSIGNED_BYTE) == IL_TRUE;
    }
    if (ok) {
        const int32_t width = ilGetInteger(IL_IMAGE_WIDTH);
        const int32_t height = ilGetInteger(IL_IMAGE_HEIGHT);
        const size_t stride = static_cast<size_t>(ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL));
        const bool wide = ilGetInteger(IL_IMAGE_BPC) == 2;
        const unsigned char* bytes = ilGetData();
        ok = grid.allocate(width, height);
        for (size_t i = 0; ok && i < grid.size(); ++i) {
            uint16_t value = 0;
            if (wide) std::memcpy(&value, bytes + i * stride, sizeof value);
            grid.data[i] = wide ? value >> 8 : bytes[i * stride];
        }
    }
    ilDeleteImages(1, &image);
    for (int i = 0; i < 4; ++i)
        if (enabled[i]) ilEnable(modes[i]);
    return ok;
}

void expectSameGrid(const GreyImage& a, const GreyImage& b, const std::string& what) {
    ASSERT_EQ(a.width, b.width) << what;
    ASSERT_EQ(a.height, b.height) << what;
    size_t differing = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a.data[i] != b.data[i]) ++differing;
    EXPECT_EQ(differing, 0u) << what;
}

TEST_F(Decode, CraftedFilesAreRefusedWithTheirReasonAndTheGridIsLeftAlone) {
    for (const CraftedFile& crafted : craftedFiles()) {
        const std::string path = write(crafted.name, crafted.bytes);
        GreyImage grid = sentinel();
        LoadedImageInfo info;
        std::string reason;
        const bool decoded = decodeImageFile(path, DecodeLimits(), grid, info, reason);
        EXPECT_FALSE(decoded) << crafted.name;
        EXPECT_EQ(reason.rfind(crafted.reason, 0), 0u)
            << crafted.name << ": " << reason << "\n  expected: " << crafted.reason;
        EXPECT_EQ(grid.width, 1) << crafted.name;
        EXPECT_EQ(grid.data[0], 42.0) << crafted.name;
    }
    // No decoder grew large on them: the largest child of this process stays far below 1 GiB.
    struct rusage children;
    getrusage(RUSAGE_CHILDREN, &children);
    EXPECT_LT(children.ru_maxrss, 512L * 1024) << "KiB";
}

TEST_F(Decode, ThePixelLimitIsTheCallersAndAppliesToTheDeliveredPictureToo) {
    // 300 x 200 pixels: refused under a limit of 59999 pixels from the header (PNG) and after
    // decoding for a format whose header is not read here (PCX).
    const std::string source = (folder_ / "limit.pgm").string();
    SyntheticSemSettings settings;
    settings.width = 300;
    settings.height = 200;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(settings, image));
    ASSERT_TRUE(writePgm(image, source));
    run("cd '" + folder_.string() +
        "' && convert limit.pgm limit.png && convert limit.pgm limit.pcx");
    DecodeLimits limits;
    limits.maxPixels = 59999;
    for (const char* name : {"limit.png", "limit.pcx"}) {
        GreyImage grid;
        LoadedImageInfo info;
        std::string reason;
        EXPECT_FALSE(decodeImageFile((folder_ / name).string(), limits, grid, info, reason));
        EXPECT_EQ(reason, "picture of 300 x 200 pixels is larger than the limit of 59999 pixels")
            << name;
        limits.maxPixels = 60000;
        EXPECT_TRUE(decodeImageFile((folder_ / name).string(), limits, grid, info, reason))
            << name << ": " << reason;
        limits.maxPixels = 59999;
    }
}

TEST_F(Decode, TheDecodersMemoryLimitStopsAPictureThatNeedsMore) {
    // 4096 x 4096 pixels from a 262 KB file: 16 MiB for the library's picture.
    const std::string path = write("runs.tga", greyTga(4096, 4096, true));
    GreyImage grid;
    LoadedImageInfo info;
    std::string reason;
    DecodeLimits limits;
    limits.memoryBytes = 24 << 20;
    EXPECT_FALSE(decodeImageFile(path, limits, grid, info, reason));
    EXPECT_EQ(reason, "the image decoder exceeded the memory limit");
    limits.memoryBytes = 0;
    ASSERT_TRUE(decodeImageFile(path, limits, grid, info, reason)) << reason;
    EXPECT_EQ(grid.width, 4096);
    EXPECT_EQ(grid.at(4095, 4095), (16 * 4095) % 256);
    EXPECT_GT(info.decoderPeakKib, 16 << 10);
}

TEST_F(Decode, ValidFilesDecodeToTheSameBytesAsTheLibraryGivesInProcess) {
    ilInit();
    SyntheticSemSettings settings;
    settings.width = 203;
    settings.height = 97;
    settings.pitch = 40;
    settings.cd = 16;
    settings.firstEdge = 14;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(settings, image));
    ASSERT_TRUE(writePgm(image, (folder_ / "lines.pgm").string()));
    // The formats the program meets, and others the library reads, written by ImageMagick.
    const struct {
        const char* name;
        const char* options;
    } conversions[] = {
        {"grey.png", "-colorspace gray"},
        {"grey16.png", "-colorspace gray -depth 16"},
        {"rgb.png", "-type TrueColor"},
        {"palette.png", "-colors 16 -type Palette"},
        {"grey.jpg", "-colorspace gray"},
        {"progressive.jpg", "-interlace Plane -type TrueColor"},
        {"lzw.tif", "-compress lzw"},
        {"zip16.tif", "-depth 16 -compress zip"},
        {"tiled.tif", "-define tiff:tile-geometry=32x32"},
        {"jpeg.tif", "-compress jpeg"},
        {"palette.bmp", "-type Palette"},
        {"rgb.bmp", "-type TrueColor"},
        {"rle.bmp", "-colors 100 -compress rle"},
        {"grey.gif", ""},
        {"grey.tga", ""},
        {"rle.tga", "-compress rle"},
        {"grey.psd", ""},
        {"rgb.hdr", ""},
        {"dxt1.dds", "-define dds:compression=dxt1"},
        {"grey.pcx", "-crop 200x97+0+0"},  // the library misreads PCX rows of odd length
        {"grey.sgi", ""},
        {"rgb.ppm", ""},
        {"icon.ico", "-resize 64x64"},
    };
    std::vector<std::string> paths = {(folder_ / "lines.pgm").string()};
    for (const auto& c : conversions) {
        // BMP files in the version the library reads (a 40-byte header).
        const std::string out =
            std::string(fs::path(c.name).extension() == ".bmp" ? "bmp3:" : "") + c.name;
        run("cd '" + folder_.string() + "' && convert lines.pgm " + c.options + " " + out);
        paths.push_back((folder_ / c.name).string());
    }
    // The last row of a BMP without its padding (203 x 3 bytes of 204 x 3), as some writers
    // leave it: the library reads it.
    const std::string rgbBmp = readBytes((folder_ / "rgb.bmp").string());
    ASSERT_GT(rgbBmp.size(), 3u);
    paths.push_back(write("rgb_unpadded.bmp", Bytes(rgbBmp.begin(), rgbBmp.end() - 3)));
    paths.push_back(write("two_pages.tif", greyTiff({5, 7}, {3, 2})));
    paths.push_back(write("palette_ramp.bmp", paletteBmp(3, {{0, 1, 2}, {2, 1, 0}},
                                                         {{5, 1, 1}, {6, 1, 1}, {7, 1, 1}})));
    for (const char* example : {"mpa_A6_001_crop.png", "generated_lines.png"})
        paths.push_back(std::string(RUGON_EXAMPLES) + "/" + example);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(RUGON_SHARED_SEM, ec))
        if (entry.path().extension() != ".md") paths.push_back(entry.path().string());

    std::string unreadable;
    for (const std::string& path : paths) {
        ASSERT_TRUE(fs::exists(path)) << path;
        GreyImage reference;
        bool referenceTop = false;
        const bool readable = decodeInProcess(path, reference, referenceTop);
        GreyImage decoded;
        LoadedImageInfo info;
        std::string reason;
        ASSERT_EQ(decodeImageFile(path, DecodeLimits(), decoded, info, reason), readable)
            << path << ": " << reason;
        if (!readable) {
            unreadable += " " + path;
            continue;
        }
        expectSameGrid(decoded, reference, path);
        EXPECT_EQ(info.topRowFirst, referenceTop) << path;
        EXPECT_FALSE(info.format.empty()) << path;
        EXPECT_GT(info.decoderPeakKib, 0) << path;
    }
    // Files the library itself cannot read stay unread; they are the exception.
    EXPECT_EQ(unreadable, "");
    // A tiled TIFF whose later tiles lie past the end (their offsets moved there).
    std::string tiled = readBytes((folder_ / "tiled.tif").string());
    ASSERT_EQ(tiled.substr(0, 2), "II");
    auto u16 = [&tiled](size_t at) {
        return static_cast<uint32_t>(static_cast<unsigned char>(tiled[at])) |
               static_cast<uint32_t>(static_cast<unsigned char>(tiled[at + 1])) << 8;
    };
    auto u32 = [&u16](size_t at) { return u16(at) | u16(at + 2) << 16; };
    const size_t directory = u32(4);
    size_t moved = 0;
    for (size_t k = 0; k < u16(directory); ++k) {
        const size_t entry = directory + 2 + 12 * k;
        if (u16(entry) != 324 || u16(entry + 2) != 4) continue;  // TileOffsets, LONG
        const size_t count = u32(entry + 4);
        ASSERT_GT(count, 4u);
        for (size_t t = count / 2; t < count; ++t, ++moved) {
            const size_t at = u32(entry + 8) + 4 * t;
            tiled[at + 2] = tiled[at + 3] = '\x7f';  // about 2 GB on
        }
    }
    ASSERT_GT(moved, 0u);
    const std::string cut = write("tiled_past_end.tif", Bytes(tiled.begin(), tiled.end()));
    GreyImage none;
    LoadedImageInfo noInfo;
    std::string why;
    EXPECT_FALSE(decodeImageFile(cut, DecodeLimits(), none, noInfo, why));
    EXPECT_EQ(why, "damaged TIFF file: the file ends before the data its headers announce");
    // BMP files as ImageMagick and GIMP write them by default (version 4 and 5 headers) are not
    // read by the library; the reason says what they are and what to save instead (before: "not
    // an image the decoder can read").
    for (const char* options : {"-type TrueColor", "-type Palette"}) {
        run("cd '" + folder_.string() + "' && convert lines.pgm " + options + " later.bmp");
        GreyImage decoded;
        LoadedImageInfo info;
        std::string reason;
        EXPECT_FALSE(decodeImageFile((folder_ / "later.bmp").string(), DecodeLimits(), decoded,
                                     info, reason));
        EXPECT_EQ(reason.rfind("BMP with a 1", 0), 0u) << reason;
        EXPECT_NE(reason.find("-byte info header (BITMAPV"), std::string::npos) << reason;
        EXPECT_NE(reason.find("save it as PNG or TIFF"), std::string::npos) << reason;
    }
}

TEST_F(Decode, FormatAndFileTypeDescribeThePixelsAsStored) {
    const std::string grey = write("f.png", pngFile(2, {{1, 2}}, 8, 0));
    const std::string grey16 = write("f16.png", pngFile(1, {{0x12, 0x34}}, 16, 0));
    const std::string rgb = write("frgb.png", pngFile(1, {{1, 2, 3}}, 8, 2));
    const std::string palette = write("fpal.bmp", paletteBmp(1, {{0}}, {{9, 9, 9}}));
    const struct {
        std::string path, format, type;
    } cases[] = {{grey, "8-bit grey", "PNG"},
                 {grey16, "16-bit grey, values in 13 bits", "PNG"},
                 {rgb, "24-bit RGB", "PNG"},
                 {palette, "8-bit palette", "BMP"}};
    for (const auto& c : cases) {
        GreyImage grid;
        LoadedImageInfo info;
        std::string reason;
        ASSERT_TRUE(decodeImageFile(c.path, DecodeLimits(), grid, info, reason)) << reason;
        EXPECT_EQ(info.format, c.format) << c.path;
        EXPECT_EQ(info.fileType, c.type) << c.path;
    }
}

TEST_F(Decode, FilesThatAreNotRegularOrEmptyAreRefusedWithoutWaiting) {
    const std::string fifo = (folder_ / "pipe.png").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path, reason;
    } cases[] = {{(folder_ / "missing.png").string(), "file not found"},
                 {folder_.string(), "not a regular file"},
                 {fifo, "not a regular file"},
                 {write("empty.png", {}), "empty file"},
                 {write("text.png", Bytes(40, 'x')), "not an image the decoder can read"}};
    for (const auto& c : cases) {
        GreyImage grid = sentinel();
        LoadedImageInfo info;
        std::string reason;
        EXPECT_FALSE(decodeImageFile(c.path, DecodeLimits(), grid, info, reason)) << c.path;
        EXPECT_EQ(reason, c.reason) << c.path;
        EXPECT_EQ(grid.data[0], 42.0);
    }
}

// A stand-in decoder: a shell script that writes `answer` to the answer descriptor, then runs
// `then` (empty: ends normally).
std::string fakeDecoder(const std::string& folder,
                        const std::string& name,
                        const Bytes& answer,
                        const std::string& then) {
    const std::string answerPath = folder + "/" + name + ".answer";
    std::FILE* f = std::fopen(answerPath.c_str(), "wb");
    if (f != nullptr) {
        if (!answer.empty()) std::fwrite(answer.data(), 1, answer.size(), f);
        std::fclose(f);
    }
    const std::string script = folder + "/" + name;
    f = std::fopen(script.c_str(), "w");
    if (f != nullptr) {
        std::fprintf(f, "#!/bin/sh\ncat '%s' >&3\n%s\n", answerPath.c_str(), then.c_str());
        std::fclose(f);
    }
    chmod(script.c_str(), 0755);
    return script;
}

Bytes answerBytes(const DecodeAnswer& answer, const Bytes& pixels) {
    Bytes b(sizeof answer + pixels.size());
    std::memcpy(b.data(), &answer, sizeof answer);
    for (size_t i = 0; i < pixels.size(); ++i) b[sizeof answer + i] = pixels[i];
    return b;
}

DecodeAnswer pictureAnswer(int64_t width, int64_t height) {
    DecodeAnswer a;
    a.magic = kDecodeAnswerMagic;
    a.outcome = static_cast<uint32_t>(DecodeOutcome::kPicture);
    a.topRowFirst = 1;
    a.width = width;
    a.height = height;
    a.pixels = width * height;
    a.fileType = 1;
    a.pixelKind = static_cast<uint32_t>(PixelKind::kRgb);
    a.bitsPerPixel = 24;
    a.byteCount = static_cast<uint64_t>(width * height);
    return a;
}

TEST_F(Decode, TheParentTakesOnlyAWellFormedAnswerAndSurvivesABrokenDecoder) {
    const std::string folder = folder_.string();
    const std::string image = write("any.png", pngFile(2, {{1, 2}}, 8, 0));

    // A well-formed answer is taken as it is.
    const Bytes pixels = {10, 20, 30, 40, 50, 60};
    GreyImage grid;
    LoadedImageInfo info;
    std::string reason;
    ASSERT_TRUE(decodeImageFile(
        image,
        withDecoder(fakeDecoder(folder, "good", answerBytes(pictureAnswer(3, 2), pixels), "")),
        grid, info, reason))
        << reason;
    ASSERT_EQ(grid.width, 3);
    ASSERT_EQ(grid.height, 2);
    for (size_t i = 0; i < pixels.size(); ++i) EXPECT_EQ(grid.data[i], pixels[i]);
    EXPECT_TRUE(info.topRowFirst);
    EXPECT_EQ(info.format, "24-bit RGB");

    DecodeAnswer huge = pictureAnswer(65536, 65535);
    DecodeAnswer wrongCount = pictureAnswer(3, 2);
    wrongCount.byteCount = 5;
    DecodeAnswer badOrigin = pictureAnswer(3, 2);
    badOrigin.topRowFirst = 7;
    DecodeAnswer badKind = pictureAnswer(3, 2);
    badKind.pixelKind = 99;
    DecodeAnswer badFault;
    badFault.magic = kDecodeAnswerMagic;
    badFault.outcome = static_cast<uint32_t>(DecodeOutcome::kFileFault);
    badFault.fault = 1000;
    Bytes extra = answerBytes(pictureAnswer(3, 2), pixels);
    extra.push_back(1);
    const struct {
        const char* name;
        Bytes answer;
        std::string then;
        double seconds;
        std::string reason;
    } cases[] = {
        {"crash", {}, "kill -SEGV $$", 60, "the image decoder crashed (signal 11)"},
        {"status", {}, "exit 3", 60, "the image decoder failed (exit status 3)"},
        {"silent", {}, "", 60, "the image decoder gave a malformed answer"},
        {"garbage", Bytes(64, 0xAB), "", 60, "the image decoder gave a malformed answer"},
        {"huge", answerBytes(huge, {}), "", 60, "the image decoder gave a malformed answer"},
        {"count", answerBytes(wrongCount, Bytes(5, 1)), "", 60,
         "the image decoder gave a malformed answer"},
        {"origin", answerBytes(badOrigin, pixels), "", 60,
         "the image decoder gave a malformed answer"},
        {"kind", answerBytes(badKind, pixels), "", 60, "the image decoder gave a malformed answer"},
        {"fault", answerBytes(badFault, {}), "", 60, "the image decoder gave a malformed answer"},
        {"short", answerBytes(pictureAnswer(3, 2), {1, 2}), "", 60,
         "the image decoder gave a malformed answer"},
        {"extra", extra, "", 60, "the image decoder gave a malformed answer"},
        {"hang", {}, "exec sleep 30", 0.5, "the image decoder took longer than 0.5 s"},
        // The answer is complete but the decoder does not end.
        {"linger", answerBytes(pictureAnswer(3, 2), pixels), "exec 3>&-; exec sleep 30", 0.5,
         "the image decoder took longer than 0.5 s"},
    };
    for (const auto& c : cases) {
        GreyImage untouched = sentinel();
        LoadedImageInfo unused;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(decodeImageFile(
            image, withDecoder(fakeDecoder(folder, c.name, c.answer, c.then), c.seconds), untouched,
            unused, reason))
            << c.name;
        EXPECT_EQ(reason, c.reason) << c.name;
        EXPECT_EQ(untouched.data[0], 42.0) << c.name;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  10.0)
            << c.name;
    }
    EXPECT_FALSE(
        decodeImageFile(image, withDecoder(folder + "/no-such-decoder"), grid, info, reason));
    EXPECT_EQ(reason,
              "the image decoder (rugon-decode) was not found; set RUGON_DECODER to its path");
}

TEST_F(Decode, TheDecoderIsFoundThroughTheEnvironmentFirst) {
    const std::string fake = fakeDecoder(folder_.string(), "by_environment", {}, "exit 4");
    ASSERT_EQ(setenv("RUGON_DECODER", fake.c_str(), 1), 0);
    EXPECT_EQ(findImageDecoder(DecodeLimits()), fake);
    GreyImage grid;
    LoadedImageInfo info;
    std::string reason;
    EXPECT_FALSE(decodeImageFile(write("e.png", pngFile(1, {{1}}, 8, 0)), DecodeLimits(), grid,
                                 info, reason));
    EXPECT_EQ(reason, "the image decoder failed (exit status 4)");
    unsetenv("RUGON_DECODER");
    EXPECT_EQ(findImageDecoder(DecodeLimits()), std::string(RUGON_DECODER_BINARY));
}

TEST_F(Decode, SeveralThreadsDecodeAtOnceWithTheResultsOfOneThread) {
    std::vector<std::string> paths;
    for (int i = 0; i < 8; ++i) {
        std::vector<Bytes> rows;
        for (int y = 0; y < 5 + i; ++y)
            rows.push_back(Bytes(7, static_cast<unsigned char>(10 * i + y)));
        paths.push_back(write("thread" + std::to_string(i) + ".png", pngFile(7, rows, 8, 0)));
    }
    paths.push_back(write("refused.cur", craftedFiles()[1].bytes));
    std::vector<GreyImage> alone(paths.size());
    std::vector<std::string> aloneReasons(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        LoadedImageInfo info;
        decodeImageFile(paths[i], DecodeLimits(), alone[i], info, aloneReasons[i]);
    }
    constexpr int kThreads = 4;
    std::vector<std::vector<GreyImage>> grids(kThreads, std::vector<GreyImage>(paths.size()));
    std::vector<std::vector<std::string>> reasons(kThreads, std::vector<std::string>(paths.size()));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (size_t i = 0; i < paths.size(); ++i) {
                    LoadedImageInfo info;
                    decodeImageFile(paths[i], DecodeLimits(), grids[t][i], info, reasons[t][i]);
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        for (size_t i = 0; i < paths.size(); ++i) {
            EXPECT_EQ(reasons[t][i], aloneReasons[i]) << paths[i];
            expectSameGrid(grids[t][i], alone[i], paths[i]);
        }
    }
}

TEST_F(Decode, DamagedPicturesGiveTheSameBytesWhateverTheDecodersMemoryHeld) {
    // Files the library decodes although their data falls short: what it leaves unwritten
    // must not come from uninitialised memory. glibc's MALLOC_PERTURB_ fills fresh
    // allocations with a pattern; every pattern must give the same answer.
    std::vector<std::string> paths;
    for (const CraftedFile& crafted : shortPictures())
        paths.push_back(write(crafted.name, crafted.bytes));
    for (const std::string& path : paths) {
        std::string first;
        for (const char* pattern : {"0", "85", "170"}) {
            const std::string answer = run(std::string("MALLOC_PERTURB_=") + pattern + " '" +
                                           RUGON_DECODER_BINARY + "' 67108864 60 2415919104 '" +
                                           path + "' < '" + path + "' 3>&1 >/dev/null 2>&1");
            ASSERT_GT(answer.size(), sizeof(DecodeAnswer)) << path << ": no picture";
            if (first.empty()) first = answer;
            EXPECT_TRUE(answer == first) << path << " with MALLOC_PERTURB_=" << pattern;
        }
    }
}

}  // namespace
