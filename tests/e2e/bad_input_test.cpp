// Hostile and degenerate inputs, run through the real program: every run must end with exit
// status 0 and the documented console text, and show the result window exactly when an image
// was measured. Each test covers one family of the tables in docs/bad-inputs.md.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "run_support.h"
#include "synthetic/synthetic_sem.h"

namespace {

using namespace std::string_literals;

// A run of the program with what it showed: "drawn" when the result window was drawn (and
// then closed with Escape), "none" when the program ended by itself without drawing it.
struct WatchedRun {
    int status = -1;
    std::string out;
    std::string window;
    double seconds = 0.0;
};

WatchedRun runWatched(const std::string& folder, int timeoutSeconds = 300) {
    const std::string verdict = folder + "/.window";
    const std::string command = std::string("'") + RUGON_XRUN + "' --verdict '" + verdict +
                                "' --settle 0 --timeout " + std::to_string(timeoutSeconds) + " '" +
                                RUGON_BINARY + "'";
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = runCommand(folder, command);
    WatchedRun watched;
    watched.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    watched.status = run.status;
    watched.out = run.out;
    const std::vector<std::string> verdictLines = splitLines(readTextFile(verdict));
    watched.window = verdictLines.empty() ? "" : verdictLines[0];
    return watched;
}

// One image's console block.
enum class Outcome { kNotLoaded, kNoLine, kMeasured };

struct Block {
    std::string name;
    Outcome outcome = Outcome::kNotLoaded;
    int edgesFound = -1;            // from a "no line measured" report
    std::vector<int> edgeNumbers;   // per-edge lines, in order
    std::vector<double> meansNm;    // position of each edge line
    std::vector<double> spreadsNm;  // spread of each edge line
    double cdAverage = 0.0, cdVariation = 0.0, lwr = 0.0, lwrSpread = 0.0, lwrInfinite = 0.0;
    double a = 0.0, ksi = 0.0;
    std::string skewness, kurtosis;  // as printed ("nan" for an edge without roughness)
};

// Splits the console text into image blocks, checking the layout of each line; a line out of
// place fails the test and ends the parse.
std::vector<Block> parseRun(const std::string& out) {
    static const std::string number = R"((-?(?:\d+\.\d+|nan|inf)))";
    static const std::regex imageLine(R"(Image : (.*))");
    static const std::regex edgeLine(R"(<x\((\d+)\)>= )" + number + R"( \( )" + number +
                                     R"( \)nm)");
    static const std::regex noLine(R"(Results: no line measured \((\d+) edges found\))");
    static const std::regex results("Results: CD_average=" + number + "nm CD_variation=" + number +
                                    "nm");
    static const std::regex lwr("\t3sigma_LWR=" + number + R"(\()" + number +
                                R"(\)nm 3sigma_LWR_inf=)" + number + "nm");
    static const std::regex fit("\ta=" + number + ", ksi=" + number + "nm");
    static const std::regex moments("\tskewness=" + number + " kyrtosis=" + number);

    const std::vector<std::string> lines = splitLines(out);
    std::vector<Block> blocks;
    size_t at = 0;
    std::smatch m;
    auto next = [&](const std::regex& pattern) {
        if (at < lines.size() && std::regex_match(lines[at], m, pattern)) {
            ++at;
            return true;
        }
        ADD_FAILURE() << "line " << at + 1
                      << " out of place: " << (at < lines.size() ? lines[at] : "<end>");
        at = lines.size();
        return false;
    };
    auto nextIs = [&](const std::string& expected) {
        if (at < lines.size() && lines[at] == expected) {
            ++at;
            return true;
        }
        ADD_FAILURE() << "line " << at + 1 << " is not \"" << expected
                      << "\": " << (at < lines.size() ? lines[at] : "<end>");
        at = lines.size();
        return false;
    };
    while (at < lines.size()) {
        Block b;
        if (!next(imageLine)) break;
        b.name = m[1];
        if (at < lines.size() && lines[at].empty()) {
            ++at;
            blocks.push_back(b);
            continue;
        }
        while (at < lines.size() && std::regex_match(lines[at], m, edgeLine)) {
            b.edgeNumbers.push_back(std::stoi(m[1]));
            b.meansNm.push_back(std::stod(m[2]));
            b.spreadsNm.push_back(std::stod(m[3]));
            ++at;
        }
        if (!nextIs("Image: " + b.name)) break;
        if (at < lines.size() && std::regex_match(lines[at], m, noLine)) {
            ++at;
            b.outcome = Outcome::kNoLine;
            b.edgesFound = std::stoi(m[1]);
        } else {
            if (!next(results)) break;
            b.cdAverage = std::stod(m[1]);
            b.cdVariation = std::stod(m[2]);
            if (!next(lwr)) break;
            b.lwr = std::stod(m[1]);
            b.lwrSpread = std::stod(m[2]);
            b.lwrInfinite = std::stod(m[3]);
            if (!next(fit)) break;
            b.a = std::stod(m[1]);
            b.ksi = std::stod(m[2]);
            if (!next(moments)) break;
            b.skewness = m[1];
            b.kurtosis = m[2];
            b.outcome = Outcome::kMeasured;
        }
        if (!nextIs("")) break;
        blocks.push_back(b);
    }
    return blocks;
}

// A grey-level PGM of `width` x `height` with pixel (x, y) = level(x, y).
template <typename Level>
void writeGrey(const std::string& path, int32_t width, int32_t height, Level level) {
    SyntheticSem image;
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            image.pixels[static_cast<size_t>(y) * width + x] =
                static_cast<unsigned char>(level(x, y));
    ASSERT_TRUE(writePgm(image, path));
}

// Rough vertical lines of known width: two lines (four edges) on 160 columns.
SyntheticSemSettings twoLines(int32_t height, uint64_t seed) {
    SyntheticSemSettings s;
    s.width = 160;
    s.height = height;
    s.pitch = 64.0;
    s.cd = 30.0;
    s.firstEdge = 30.0;
    s.lineCount = 2;
    s.roughnessSigma = 1.0;
    s.correlationLength = 10.0;
    s.noiseSigma = 1.0;
    s.seed = seed;
    return s;
}

void writeLines(const std::string& path, const SyntheticSemSettings& settings) {
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(settings, image));
    ASSERT_TRUE(writePgm(image, path));
}

// The folder of a run with the two-line image "lines.pgm" of 320 rows.
std::string folderWithLines() {
    const std::string folder = makeTempFolder();
    writeLines(folder + "/lines.pgm", twoLines(320, 7));
    return folder;
}

// A measured block of the two-line image: four edges, all figures finite.
void expectTwoLinesMeasured(const Block& b) {
    ASSERT_EQ(b.outcome, Outcome::kMeasured) << b.name;
    EXPECT_EQ(b.edgeNumbers, (std::vector<int>{1, 2, 3, 4}));
}

bool allZero(const std::vector<double>& values) {
    for (double v : values)
        if (v != 0.0) return false;
    return !values.empty();
}

std::string repeated(char c, size_t n) { return std::string(n, c); }

// ---------------------------------------------------------------------------------------------
// The parameter file.

TEST(BadParameterFile, MissingOrDirectoryIsReportedAndNothingIsAnalysed) {
    const std::string message = "(x) Error opening \"input.txt\" for reading.\n";
    const std::string missing = makeTempFolder();
    WatchedRun run = runWatched(missing);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, message);
    EXPECT_EQ(run.window, "none");

    const std::string directory = makeTempFolder();
    runCommand(directory, "mkdir input.txt");
    run = runWatched(directory);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, message);
    EXPECT_EQ(run.window, "none");
}

TEST(BadParameterFile, EmptyOrBinaryContentReadsNoImage) {
    const std::string folder = makeTempFolder();
    writeTextFile(folder + "/input.txt", "");
    WatchedRun run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.window, "none");

    // Every byte value, NUL and control characters included, over several kilobytes.
    std::string bytes;
    for (int i = 0; i < 4096; ++i) bytes += static_cast<char>((i * 7 + i / 256) % 256);
    writeTextFile(folder + "/input.txt", bytes);
    run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.window, "none");
}

TEST(BadParameterFile, ValueThatDoesNotConvertStopsTheReadingBeforeTheImages) {
    const std::string folder = folderWithLines();
    RunSettings letters;
    letters.kernelRows = "three";
    RunSettings outOfRange;
    outOfRange.imageCount = "99999999999";
    RunSettings notFinite;
    notFinite.threshold = "1e999";
    for (const RunSettings& settings : {letters, outOfRange, notFinite}) {
        writeTextFile(folder + "/input.txt", parameterFile({{"lines.pgm", "s"}}, settings));
        const WatchedRun run = runWatched(folder);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.window, "none");
    }
}

TEST(BadParameterFile, EarlyEndKeepsTheCompleteEntriesAndAHugeCountReservesNothing) {
    const std::string folder = makeTempFolder();
    // Ends inside the values: nothing to analyse.
    const std::string full = parameterFile({{"a.pgm", "s"}});
    writeTextFile(folder + "/input.txt", full.substr(0, full.find("pixel")));
    WatchedRun run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");

    // A negative count reads no entry.
    RunSettings negative;
    negative.imageCount = "-5";
    writeTextFile(folder + "/input.txt", parameterFile({{"a.pgm", "s"}}, negative));
    run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");

    // A count of 2^31 - 1 with two entries, the second without its flag: the first is kept.
    RunSettings settings;
    settings.imageCount = "2147483647";
    std::string text = parameterFile({{"a.pgm", "s"}}, settings) + "b.pgm";
    writeTextFile(folder + "/input.txt", text);
    run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Image : a.pgm\n\n");
    EXPECT_EQ(run.window, "none");
}

TEST(BadParameterFile, NameOf255CharactersIsAnalysedAndLongerNamesAreReadInPieces) {
    const std::string folder = folderWithLines();
    const std::string name255 = repeated('n', 251) + ".pgm";
    runCommand(folder, "cp lines.pgm " + name255);
    writeTextFile(folder + "/input.txt", parameterFile({{name255, "s"}}));
    WatchedRun run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.window, "drawn");
    std::vector<Block> blocks = parseRun(run.out);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].name, name255);
    expectTwoLinesMeasured(blocks[0]);

    // A 300-character token gives a 255-character name, a 31-character flag and a 14-character
    // name with the next token as its flag; the line after it is never reached.
    const std::string name300 = repeated('m', 296) + ".pgm";
    RunSettings settings;
    settings.imageCount = "2";
    writeTextFile(folder + "/input.txt",
                  parameterFile({{name300, "s"}, {"lines.pgm", "s"}}, settings));
    run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Image : " + name300.substr(0, 255) +
                           "\n\nImage : " + name300.substr(255 + 31) + "\n\n");
    EXPECT_EQ(run.window, "none");
}

// ---------------------------------------------------------------------------------------------
// Image files that cannot be analysed: each prints only its "Image : " line and the empty line.

TEST(BadImageFile, UnloadableFilesArePassedOverAndTheRunGoesOn) {
    const std::string folder = makeTempFolder();
    writeLines(folder + "/whole.pgm", twoLines(320, 3));
    const std::string whole = readTextFile(folder + "/whole.pgm");
    writeTextFile(folder + "/truncated.pgm", whole.substr(0, whole.size() / 2));
    runCommand(folder, "convert whole.pgm whole.png");
    const std::string png = readTextFile(folder + "/whole.png");
    ASSERT_GT(png.size(), 100u);
    writeTextFile(folder + "/truncated.png", png.substr(0, png.size() / 2));
    runCommand(folder, "convert whole.pgm whole.webp");
    ASSERT_GT(readTextFile(folder + "/whole.webp").size(), 10u);
    writeTextFile(folder + "/empty.png", "");
    writeTextFile(folder + "/text.png", "these are not the pixels you are looking for\n");
    // A farbfeld picture: a well-formed format the image library does not read.
    writeTextFile(
        folder + "/picture.ff",
        std::string("farbfeld") + std::string("\0\0\0\2\0\0\0\2", 8) + repeated('\x7f', 32));
    runCommand(folder, "mkdir folder.png");
    // PNM files on which the image library itself goes wrong (frees a buffer twice, writes
    // past its pixels, or allocates for a picture the file does not hold).
    writeTextFile(folder + "/junk_header.pgm",
                  "P5\0\0\0\3P5\n64 64\n255\n"s + repeated('\x11', 40));
    writeTextFile(folder + "/leading_blank.pgm", " P5\n64 64\n255\nabc");
    writeTextFile(folder + "/comment.pgm", "P5#x\n64 64\n255\nabc");
    std::string values;
    for (int i = 0; i < 40; ++i) values += "200 ";
    writeTextFile(folder + "/too_many_values.pgm", "P2\n2 2\n255\n" + values + "\n");
    writeTextFile(folder + "/blank_line.pgm", "P2\n2 2\n255\n1 2\r\n\r\n3 4\n");
    writeTextFile(folder + "/huge_bitmap.pbm", "P4\n22222\n11111\n\0\1"s);
    const std::vector<std::string> names = {
        "missing.png",     "truncated.pgm",  "truncated.png",     "empty.png",
        "text.png",        "picture.ff",     "whole.webp",        "folder.png",
        "junk_header.pgm", "comment.pgm",    "leading_blank.pgm", "too_many_values.pgm",
        "blank_line.pgm",  "huge_bitmap.pbm"};
    std::vector<Entry> entries;
    std::string expected;
    for (const std::string& name : names) {
        entries.push_back({name, "s"});
        expected += "Image : " + name + "\n\n";
    }
    writeTextFile(folder + "/input.txt", parameterFile(entries));
    const WatchedRun run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.window, "none");
}

// ---------------------------------------------------------------------------------------------
// Image shapes and contents.

TEST(BadImageShape, GridsTooNarrowForEdgesReportNoLine) {
    const std::string folder = makeTempFolder();
    auto bands = [](int32_t x, int32_t) { return x % 8 < 3 ? 220 : 40; };
    writeGrey(folder + "/one_pixel.pgm", 1, 1, bands);
    writeGrey(folder + "/one_column.pgm", 1, 320, bands);
    writeGrey(folder + "/nineteen_columns.pgm", 19, 320, bands);
    writeTextFile(folder + "/input.txt", parameterFile({{"one_pixel.pgm", "s"},
                                                        {"one_column.pgm", "s"},
                                                        {"nineteen_columns.pgm", "l"}}));
    const WatchedRun run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.window, "none");
    const std::vector<Block> blocks = parseRun(run.out);
    ASSERT_EQ(blocks.size(), 3u);
    for (const Block& b : blocks) {
        EXPECT_EQ(b.outcome, Outcome::kNoLine) << b.name;
        EXPECT_EQ(b.edgesFound, 0) << b.name;
    }
}

TEST(BadImageShape, SingleRowNineRowsAndThreeHundredOneRowsAreMeasuredAndShown) {
    // One row: every edge is a single position without roughness.
    std::string folder = makeTempFolder();
    writeLines(folder + "/one_row.pgm", twoLines(1, 5));
    writeTextFile(folder + "/input.txt", parameterFile({{"one_row.pgm", "s"}}));
    WatchedRun run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.window, "drawn");
    std::vector<Block> blocks = parseRun(run.out);
    ASSERT_EQ(blocks.size(), 1u);
    expectTwoLinesMeasured(blocks[0]);
    EXPECT_TRUE(allZero(blocks[0].spreadsNm));
    EXPECT_EQ(blocks[0].lwr, 0.0);
    EXPECT_EQ(blocks[0].lwrSpread, 0.0);
    EXPECT_NE(blocks[0].skewness.find("nan"), std::string::npos);
    EXPECT_EQ(blocks[0].a, 0.0);
    EXPECT_EQ(blocks[0].ksi, 0.0);
    EXPECT_NEAR(blocks[0].cdAverage, 30.0, 2.0);

    // Nine rows give no segment lengths for the plots, 301 rows no correlation lags: the
    // figures that need them are 0 and the window still draws.
    for (int32_t height : {9, 301}) {
        folder = makeTempFolder();
        writeLines(folder + "/short.pgm", twoLines(height, 6));
        writeTextFile(folder + "/input.txt", parameterFile({{"short.pgm", "s"}}));
        run = runWatched(folder);
        EXPECT_EQ(run.status, 0) << height;
        EXPECT_EQ(run.window, "drawn") << height;
        blocks = parseRun(run.out);
        ASSERT_EQ(blocks.size(), 1u);
        expectTwoLinesMeasured(blocks[0]);
        EXPECT_NEAR(blocks[0].cdAverage, 30.0, 2.0) << height;
        EXPECT_EQ(blocks[0].a, 0.0) << height;
        EXPECT_EQ(blocks[0].ksi, 0.0) << height;
    }
}

TEST(BadImageContent, BlackWhiteBlankAndSingleEdgeImagesReportNoLine) {
    const std::string folder = makeTempFolder();
    writeGrey(folder + "/black.pgm", 128, 320, [](int32_t, int32_t) { return 0; });
    writeGrey(folder + "/white.pgm", 128, 320, [](int32_t, int32_t) { return 255; });
    // No line: a bright frame in the outer columns, which are never searched for edges.
    writeGrey(folder + "/no_line.pgm", 128, 320,
              [](int32_t x, int32_t) { return x < 6 || x > 121 ? 230 : 60; });
    // One edge: a step from dark to bright.
    writeGrey(folder + "/one_edge.pgm", 128, 320,
              [](int32_t x, int32_t) { return x < 64 ? 40 : 220; });
    writeTextFile(folder + "/input.txt", parameterFile({{"black.pgm", "s"},
                                                        {"white.pgm", "s"},
                                                        {"no_line.pgm", "s"},
                                                        {"one_edge.pgm", "s"},
                                                        {"one_edge.pgm", "l"}}));
    const WatchedRun run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.window, "none");
    const std::vector<Block> blocks = parseRun(run.out);
    ASSERT_EQ(blocks.size(), 5u);
    const std::vector<int> edges = {0, 1, 0, 1, 1};
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].outcome, Outcome::kNoLine) << blocks[i].name;
        EXPECT_EQ(blocks[i].edgesFound, edges[i]) << blocks[i].name;
    }
}

// ---------------------------------------------------------------------------------------------
// Parameter values.

WatchedRun runLinesWith(const std::string& folder, const RunSettings& settings) {
    writeTextFile(folder + "/input.txt", parameterFile({{"lines.pgm", "s"}}, settings));
    return runWatched(folder);
}

Block measuredLines(const WatchedRun& run) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.window, "drawn");
    const std::vector<Block> blocks = parseRun(run.out);
    EXPECT_EQ(blocks.size(), 1u);
    if (blocks.empty()) return Block();
    expectTwoLinesMeasured(blocks[0]);
    return blocks[0];
}

TEST(BadParameterValue, PixelSizeZeroZeroesTheFiguresAndANegativeOneFlipsTheirSign) {
    const std::string folder = folderWithLines();
    RunSettings settings;
    const Block unit = measuredLines(runLinesWith(folder, settings));
    settings.pixelSize = "0";
    const Block zero = measuredLines(runLinesWith(folder, settings));
    EXPECT_TRUE(allZero(zero.meansNm));
    EXPECT_EQ(zero.cdAverage, 0.0);
    EXPECT_EQ(zero.lwr, 0.0);
    settings.pixelSize = "-2";
    const Block negative = measuredLines(runLinesWith(folder, settings));
    ASSERT_EQ(negative.meansNm.size(), unit.meansNm.size());
    for (size_t i = 0; i < unit.meansNm.size(); ++i)
        EXPECT_NEAR(negative.meansNm[i], -2.0 * unit.meansNm[i], 0.002);
    EXPECT_NEAR(negative.cdAverage, -2.0 * unit.cdAverage, 0.02);
}

TEST(BadParameterValue, KernelsThatSmoothToZerosGiveStraightEdges) {
    const std::string folder = folderWithLines();
    RunSettings zeroSize;
    zeroSize.kernelRows = "0";
    RunSettings overCap;  // 300 x 300 weights: more than 65536, taken as an empty kernel
    overCap.kernelRows = "300";
    overCap.kernelColumns = "300";
    RunSettings zeroSigma;
    zeroSigma.kernelSigma = "0";
    for (const RunSettings& settings : {zeroSize, overCap, zeroSigma}) {
        const Block b = measuredLines(runLinesWith(folder, settings));
        EXPECT_TRUE(allZero(b.spreadsNm)) << settings.kernelRows << " " << settings.kernelSigma;
        EXPECT_EQ(b.lwr, 0.0);
        EXPECT_NE(b.skewness.find("nan"), std::string::npos);
    }
}

TEST(BadParameterValue, EvenKernelMeasuresTheLinesAndALargerThanImageKernelEndsQuickly) {
    std::string folder = folderWithLines();
    RunSettings even;
    even.kernelRows = "4";
    even.kernelColumns = "6";
    const Block b = measuredLines(runLinesWith(folder, even));
    EXPECT_NEAR(b.cdAverage, 30.0, 2.0);
    EXPECT_GT(b.lwr, 0.0);

    // 255 x 255 weights (under the cap) over a 40 x 24 picture of one line.
    folder = makeTempFolder();
    SyntheticSemSettings small = twoLines(24, 8);
    small.width = 40;
    small.lineCount = 1;
    small.cd = 14.0;
    small.bandWidth = 3.0;
    small.firstEdge = 12.0;
    writeLines(folder + "/small.pgm", small);
    RunSettings large;
    large.kernelRows = "255";
    large.kernelColumns = "255";
    large.kernelSigma = "50";
    writeTextFile(folder + "/input.txt", parameterFile({{"small.pgm", "s"}}, large));
    const WatchedRun run = runWatched(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.window, "drawn");
    EXPECT_LT(run.seconds, 60.0);
    const std::vector<Block> blocks = parseRun(run.out);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].outcome, Outcome::kMeasured);
    EXPECT_EQ(blocks[0].edgeNumbers, (std::vector<int>{1, 2}));
}

TEST(BadParameterValue, SearchWindowOfZeroOrNegativeHalfWidthKeepsTheCoarseColumns) {
    const std::string folder = folderWithLines();
    RunSettings zero;
    zero.halfWindow = "0";
    const Block atZero = measuredLines(runLinesWith(folder, zero));
    EXPECT_TRUE(allZero(atZero.spreadsNm));
    RunSettings negative;
    negative.halfWindow = "-40";
    const Block atNegative = measuredLines(runLinesWith(folder, negative));
    EXPECT_EQ(atNegative.meansNm, atZero.meansNm);
    EXPECT_EQ(atNegative.cdAverage, atZero.cdAverage);

    // A window wider than the picture is cut at its borders.
    RunSettings wide;
    wide.halfWindow = "2147483647";
    const Block atWide = measuredLines(runLinesWith(folder, wide));
    for (double meanNm : atWide.meansNm) {
        EXPECT_GE(meanNm, 1.0);
        EXPECT_LE(meanNm, 160.0);
    }
}

TEST(BadParameterValue, ThresholdsOutsideZeroToOneGiveStraightEdgesAndZeroStillMeasures) {
    const std::string folder = folderWithLines();
    RunSettings zero;
    zero.threshold = "0";
    const Block atZero = measuredLines(runLinesWith(folder, zero));
    EXPECT_GT(atZero.cdAverage, 20.0);
    RunSettings negative;
    negative.threshold = "-0.5";
    RunSettings above;
    above.threshold = "1.5";
    for (const RunSettings& settings : {negative, above}) {
        const Block b = measuredLines(runLinesWith(folder, settings));
        EXPECT_TRUE(allZero(b.spreadsNm)) << settings.threshold;
        EXPECT_EQ(b.lwr, 0.0) << settings.threshold;
    }
}

}  // namespace
