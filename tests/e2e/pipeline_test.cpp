// The whole program on generated images with known edges: the console layout line by line,
// the figures against the generator's truth, the window and its ending.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>

#include "run_support.h"
#include "synthetic/synthetic_sem.h"

namespace {

// True CD and 3-sigma LWR (pixels) of the lines of a generated image: per row the distance
// between a line's left and right edges.
struct Truth {
    double cd = 0.0;
    double lwr3Sigma = 0.0;
    int lines = 0;
};

Truth truthOf(const SyntheticSem& image) {
    Truth t;
    double cdSum = 0.0;
    double sigmaSum = 0.0;
    for (size_t e = 0; e + 1 < image.edges.size(); ++e) {
        if (image.edges[e].kind != SyntheticEdgeKind::kLineLeft ||
            image.edges[e + 1].kind != SyntheticEdgeKind::kLineRight)
            continue;
        const auto& left = image.edges[e].positions;
        const auto& right = image.edges[e + 1].positions;
        double sum = 0.0;
        for (size_t y = 0; y < left.size(); ++y) sum += right[y] - left[y];
        const double mean = sum / static_cast<double>(left.size());
        double squares = 0.0;
        for (size_t y = 0; y < left.size(); ++y) {
            const double d = right[y] - left[y] - mean;
            squares += d * d;
        }
        cdSum += mean;
        sigmaSum += std::sqrt(squares / static_cast<double>(left.size()));
        ++t.lines;
    }
    t.cd = cdSum / t.lines;
    t.lwr3Sigma = 3.0 * sigmaSum / t.lines;
    return t;
}

SyntheticSem writeImage(const std::string& path, SyntheticSemSettings settings) {
    SyntheticSem image;
    EXPECT_TRUE(makeSyntheticSem(settings, image));
    EXPECT_TRUE(writePgm(image, path));
    return image;
}

SyntheticSemSettings lowNoise(int32_t size, uint64_t seed) {
    SyntheticSemSettings s;
    s.width = size;
    s.height = size;
    s.pitch = 64.0;
    s.cd = 30.0;
    s.firstEdge = 30.0;
    s.roughnessSigma = 1.2;
    s.correlationLength = 15.0;
    s.noiseSigma = 1.0;
    s.seed = seed;
    return s;
}

// The report of one image, parsed from the console text.
struct Report {
    std::vector<int> edgeNumbers;
    double cdAverage = NAN, cdVariation = NAN, lwr = NAN, lwrSpread = NAN, lwrInfinite = NAN;
    double a = NAN, ksi = NAN;
    bool complete = false;
};

// Checks the layout of one image's console block line by line and reads its figures.
Report parseBlock(const std::vector<std::string>& lines, size_t& at, const std::string& name) {
    Report r;
    EXPECT_EQ(lines.at(at++), "Image : " + name);
    static const std::regex edge(R"(<x\((\d+)\)>= -?\d+\.\d{3} \( \d+\.\d{3} \)nm)");
    std::smatch m;
    while (at < lines.size() && std::regex_match(lines[at], m, edge)) {
        r.edgeNumbers.push_back(std::stoi(m[1]));
        ++at;
    }
    EXPECT_EQ(lines.at(at++), "Image: " + name);
    static const std::regex results(
        R"(Results: CD_average=(-?\d+\.\d{2})nm CD_variation=(-?\d+\.\d{2})nm)");
    static const std::regex lwr(
        R"(\t3sigma_LWR=(-?\d+\.\d{2})\((-?\d+\.\d{2})\)nm 3sigma_LWR_inf=(-?\d+\.\d{2})nm)");
    static const std::regex fit(R"(\ta=(-?\d+\.\d{3}), ksi=(-?\d+\.\d{2})nm)");
    static const std::regex moments(R"(\tskewness=-?(\d+\.\d{2}|nan) kyrtosis=-?(\d+\.\d{2}|nan))");
    if (!std::regex_match(lines.at(at++), m, results)) {
        ADD_FAILURE() << "results line: " << lines[at - 1];
        return r;
    }
    r.cdAverage = std::stod(m[1]);
    r.cdVariation = std::stod(m[2]);
    EXPECT_TRUE(std::regex_match(lines.at(at++), m, lwr)) << lines[at - 1];
    r.lwr = std::stod(m[1]);
    r.lwrSpread = std::stod(m[2]);
    r.lwrInfinite = std::stod(m[3]);
    EXPECT_TRUE(std::regex_match(lines.at(at++), m, fit)) << lines[at - 1];
    r.a = std::stod(m[1]);
    r.ksi = std::stod(m[2]);
    EXPECT_TRUE(std::regex_match(lines.at(at++), moments)) << lines[at - 1];
    EXPECT_EQ(lines.at(at++), "");
    r.complete = true;
    return r;
}

// Pixels of a binary PPM (P6) screenshot.
struct Screenshot {
    int width = 0, height = 0;
    std::string rgb;
    bool red(int x, int y) const {
        const size_t i = 3 * (static_cast<size_t>(y) * width + x);
        return static_cast<unsigned char>(rgb[i]) > 200 &&
               static_cast<unsigned char>(rgb[i + 1]) < 80 &&
               static_cast<unsigned char>(rgb[i + 2]) < 80;
    }
};

Screenshot readPpm(const std::string& path) {
    Screenshot s;
    const std::string data = readTextFile(path);
    int maxValue = 0, consumed = 0;
    if (std::sscanf(data.c_str(), "P6 %d %d %d%n", &s.width, &s.height, &maxValue, &consumed) ==
            3 &&
        maxValue == 255) {
        s.rgb = data.substr(static_cast<size_t>(consumed) + 1);
    }
    if (s.rgb.size() < 3u * s.width * s.height) s.width = s.height = 0;
    return s;
}

TEST(Pipeline, MeasuresGeneratedLinesAndShowsTheFirstImage) {
    const std::string folder = makeTempFolder();
    const SyntheticSem small = writeImage(folder + "/small.pgm", lowNoise(512, 11));
    const SyntheticSem large = writeImage(folder + "/large.pgm", lowNoise(1024, 12));
    writeTextFile(folder + "/input.txt",
                  parameterFile({{"small.pgm", "s"}, {"missing.png", "s"}, {"large.pgm", "S"}}));
    const std::string shot = std::string(RUGON_ARTIFACT_DIR) + "/pipeline_window.ppm";
    std::system((std::string("mkdir -p ") + RUGON_ARTIFACT_DIR).c_str());
    std::remove(shot.c_str());
    const RunResult run = runRugon(folder, shot);
    ASSERT_EQ(run.status, 0) << run.err;

    const std::vector<std::string> lines = splitLines(run.out);
    size_t at = 0;
    const Report first = parseBlock(lines, at, "small.pgm");
    EXPECT_EQ(lines.at(at++), "Image : missing.png");
    EXPECT_EQ(lines.at(at++), "");
    const Report second = parseBlock(lines, at, "large.pgm");
    EXPECT_EQ(at, lines.size());

    for (const auto& [report, image] :
         {std::pair<const Report&, const SyntheticSem&>{first, small}, {second, large}}) {
        ASSERT_TRUE(report.complete);
        const Truth truth = truthOf(image);
        ASSERT_EQ(report.edgeNumbers.size(), static_cast<size_t>(2 * truth.lines));
        for (size_t k = 0; k < report.edgeNumbers.size(); ++k)
            EXPECT_EQ(report.edgeNumbers[k], static_cast<int>(k + 1));
        EXPECT_NEAR(report.cdAverage, truth.cd, 1.0);
        EXPECT_NEAR(report.lwr, truth.lwr3Sigma, 0.1 * truth.lwr3Sigma);
        EXPECT_GT(report.ksi, 0.0);
    }

    // The window showed the first image with red edges in the image view (window rows 38 to
    // 274 from the top, columns 15 to 256).
    const Screenshot s = readPpm(shot);
    ASSERT_EQ(s.width, 550);
    int red = 0;
    for (int y = 38; y < 274; ++y)
        for (int x = 15; x < 256; ++x) red += s.red(x, y) ? 1 : 0;
    EXPECT_GT(red, 1000);
}

TEST(Pipeline, PairingZeroAndAnOddEdgeCountLeaveTheUnpairedEdgesOut) {
    const std::string folder = makeTempFolder();
    SyntheticSemSettings settings = lowNoise(512, 21);
    settings.leadingLoneBand = true;
    settings.firstEdge = 60.0;
    const SyntheticSem leading = writeImage(folder + "/leading.pgm", settings);
    settings = lowNoise(512, 22);
    settings.cutLastLine = true;
    const SyntheticSem cut = writeImage(folder + "/cut.pgm", settings);
    writeTextFile(folder + "/input.txt", parameterFile({{"leading.pgm", "l"}, {"cut.pgm", "s"}}));
    const RunResult run = runRugon(folder);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = splitLines(run.out);
    size_t at = 0;
    const Report zero = parseBlock(lines, at, "leading.pgm");
    const Report odd = parseBlock(lines, at, "cut.pgm");
    const Truth zeroTruth = truthOf(leading);
    ASSERT_EQ(zero.edgeNumbers.size(), static_cast<size_t>(2 * zeroTruth.lines));
    EXPECT_EQ(zero.edgeNumbers.front(), 2);
    EXPECT_NEAR(zero.cdAverage, zeroTruth.cd, 1.0);
    const Truth oddTruth = truthOf(cut);
    // The cut line's left band has no partner: edges 1 .. 2M are traced.
    ASSERT_EQ(odd.edgeNumbers.size(), static_cast<size_t>(2 * oddTruth.lines));
    EXPECT_EQ(odd.edgeNumbers.back(), 2 * oddTruth.lines);
    EXPECT_NEAR(odd.cdAverage, oddTruth.cd, 1.0);
}

TEST(Pipeline, ImageWithoutLinesIsReportedAndNoWindowOpens) {
    const std::string folder = makeTempFolder();
    SyntheticSem flat;
    flat.width = 64;
    flat.height = 320;
    flat.pixels.assign(64 * 320, 0);
    ASSERT_TRUE(writePgm(flat, folder + "/black.pgm"));
    writeTextFile(folder + "/input.txt", parameterFile({{"black.pgm", "s"}}));
    const RunResult run = runRugon(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "Image : black.pgm\nImage: black.pgm\nResults: no line measured (0 edges found)\n\n");
}

TEST(Pipeline, PixelSizeZeroGivesZeroFiguresAndEnds) {
    const std::string folder = makeTempFolder();
    writeImage(folder + "/lines.pgm", lowNoise(512, 31));
    RunSettings settings;
    settings.pixelSize = "0";
    writeTextFile(folder + "/input.txt", parameterFile({{"lines.pgm", "s"}}, settings));
    const RunResult run = runRugon(folder);
    ASSERT_EQ(run.status, 0);
    const std::vector<std::string> lines = splitLines(run.out);
    size_t at = 0;
    const Report r = parseBlock(lines, at, "lines.pgm");
    EXPECT_EQ(r.cdAverage, 0.0);
    EXPECT_EQ(r.lwr, 0.0);
    EXPECT_EQ(r.a, 0.0);
    EXPECT_EQ(r.ksi, 0.0);
}

}  // namespace
