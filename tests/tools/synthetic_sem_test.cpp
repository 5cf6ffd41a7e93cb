// The synthetic SEM images: the same images as ever for the original settings, roughness of
// the asked-for spectrum and edge correlation, step contrast and shot noise of known level,
// and a truth file that agrees with the drawn edges.
#include "synthetic/synthetic_sem.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

// FNV-1a over the pixels and the edge positions' bytes.
uint64_t fingerprint(const SyntheticSem& image) {
    uint64_t h = 0xcbf29ce484222325ULL;
    auto mix = [&h](const void* data, size_t bytes) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
    };
    mix(image.pixels.data(), image.pixels.size());
    for (const SyntheticEdge& e : image.edges)
        mix(e.positions.data(), e.positions.size() * sizeof(double));
    return h;
}

TEST(SyntheticSem, OriginalSettingsDrawTheImagesTheyAlwaysDrew) {
    // Fingerprints taken from the generator before the spectral model, step contrast, edge
    // correlation and shot noise were added; tests and bundled examples rely on them.
    SyntheticSemSettings plain;
    SyntheticSemSettings odd;
    odd.width = 300;
    odd.height = 200;
    odd.pitch = 50;
    odd.cd = 20;
    odd.cutLastLine = true;
    odd.seed = 3;
    odd.noiseSigma = 0;
    SyntheticSemSettings lone;
    lone.width = 400;
    lone.height = 100;
    lone.leadingLoneBand = lone.trailingLoneBand = true;
    lone.blurSigma = 0;
    lone.correlationLength = 0;
    lone.seed = 99;
    const std::pair<SyntheticSemSettings, uint64_t> cases[] = {{plain, 0x533e1c99ab42fe35ULL},
                                                               {odd, 0x972747da8ba66285ULL},
                                                               {lone, 0xc7d4d68e3b8918bdULL}};
    for (const auto& [settings, expected] : cases) {
        SyntheticSem image;
        ASSERT_TRUE(makeSyntheticSem(settings, image));
        EXPECT_EQ(fingerprint(image), expected) << std::hex << fingerprint(image);
    }
}

// Correlation at `lag` rows of the model spectrum PSD(f) ~ (1 + (2 pi f xi)^2)^-(alpha + 1/2):
// 2^(1 - alpha) / Gamma(alpha) (x / xi)^alpha K_alpha(x / xi), exp(-x / xi) for alpha = 1/2.
double modelCorrelation(double lag, double xi, double alpha) {
    const double z = lag / xi;
    return std::pow(2.0, 1.0 - alpha) / std::tgamma(alpha) * std::pow(z, alpha) *
           std::cyl_bessel_k(alpha, z);
}

// Tall images with many lines and neither blur nor noise, for the statistics of the edges.
SyntheticSemSettings tallLines(uint64_t seed) {
    SyntheticSemSettings s;
    s.width = 1000;
    s.height = 4096;
    s.pitch = 60;
    s.cd = 28;
    s.blurSigma = 0;
    s.noiseSigma = 0;
    s.roughnessSigma = 1.5;
    s.correlationLength = 10;
    s.seed = seed;
    return s;
}

// Deviation of every edge from its nominal course.
std::vector<std::vector<double>> deviations(const SyntheticSem& image) {
    std::vector<std::vector<double>> out;
    for (const SyntheticEdge& e : image.edges) {
        out.emplace_back(e.positions);
        for (double& v : out.back()) v -= e.nominal;
    }
    return out;
}

// Mean of d(y) * d(y + lag) over every series and row.
double meanProduct(const std::vector<std::vector<double>>& series, size_t lag) {
    double sum = 0.0;
    double count = 0.0;
    for (const std::vector<double>& d : series)
        for (size_t y = 0; y + lag < d.size(); ++y) {
            sum += d[y] * d[y + lag];
            count += 1.0;
        }
    return sum / count;
}

TEST(SyntheticSem, BandsOfANarrowLineMeetInItsMiddleAndStayInsideIt) {
    // A line of 9 px with bands of 4 px and edges of sigma 1.5 px is narrower than its two bands
    // in about a third of its rows: they meet at its middle rather than add up past the band
    // level, and no band reaches past the line's other edge.
    SyntheticSemSettings s;
    s.width = 400;
    s.height = 200;
    s.pitch = 40;
    s.cd = 9;
    s.bandWidth = 4;
    s.roughnessSigma = 1.5;
    s.blurSigma = 0;
    s.noiseSigma = 0;
    s.seed = 21;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(s, image));
    int32_t brighter = 0;
    int32_t outside = 0;
    for (int32_t y = 0; y < image.height; ++y) {
        for (int32_t x = 1; x <= image.width; ++x) {
            const double v = image.pixels[static_cast<size_t>(y) * image.width + (x - 1)];
            brighter += v > s.bandLevel + 0.5 ? 1 : 0;
            bool inLine = false;
            for (size_t e = 0; e + 1 < image.edges.size(); e += 2)
                inLine = inLine || (x + 0.5 > image.edges[e].positions[static_cast<size_t>(y)] &&
                                    x - 0.5 < image.edges[e + 1].positions[static_cast<size_t>(y)]);
            outside += !inLine && std::fabs(v - s.backgroundLevel) > 0.5 ? 1 : 0;
        }
    }
    EXPECT_EQ(brighter, 0);
    EXPECT_EQ(outside, 0);
}

TEST(SyntheticSem, SpectralRoughnessHasTheModelCorrelationAndSigma) {
    // About 30 edges of 4096 rows: the correlation at lags up to 4 xi is estimated to about
    // 0.01, the variance to about 2 %.
    for (const double alpha : {0.5, 0.8}) {
        SyntheticSemSettings s = tallLines(501);
        s.roughnessModel = SyntheticRoughness::kSpectral;
        s.roughnessExponent = alpha;
        SyntheticSem image;
        ASSERT_TRUE(makeSyntheticSem(s, image));
        const std::vector<std::vector<double>> d = deviations(image);
        ASSERT_GE(d.size(), 28u);
        const double variance = meanProduct(d, 0);
        EXPECT_NEAR(std::sqrt(variance), s.roughnessSigma, 0.03 * s.roughnessSigma);
        for (const size_t lag : {1u, 3u, 10u, 20u, 40u})
            EXPECT_NEAR(meanProduct(d, lag) / variance,
                        modelCorrelation(static_cast<double>(lag), s.correlationLength, alpha),
                        0.04)
                << "alpha " << alpha << ", lag " << lag;
        // The noise is filtered on a longer periodic grid: the last rows do not wrap onto the
        // first ones.
        double wrap = 0.0;
        for (const std::vector<double>& e : d) wrap += e.front() * e.back();
        EXPECT_LT(std::fabs(wrap / static_cast<double>(d.size()) / variance), 0.5);
        EXPECT_EQ(image.truth.roughnessExponent, alpha);
    }
}

TEST(SyntheticSem, EdgeCorrelationSetsWidthAndPlacementRoughness) {
    for (const auto model : {SyntheticRoughness::kAutoregressive, SyntheticRoughness::kSpectral}) {
        for (const double rho : {-0.5, 0.6}) {
            SyntheticSemSettings s = tallLines(77);
            s.roughnessModel = model;
            s.edgeCorrelation = rho;
            SyntheticSem image;
            ASSERT_TRUE(makeSyntheticSem(s, image));
            const SyntheticTruth& t = image.truth;
            EXPECT_EQ(t.lineCount, 16);
            EXPECT_NEAR(t.edgeCorrelation, rho, 0.05);
            EXPECT_NEAR(t.edgeSigma, t.modelEdgeSigma, 0.05 * t.modelEdgeSigma);
            EXPECT_NEAR(t.widthSigma, t.modelWidthSigma, 0.05 * t.modelWidthSigma);
            EXPECT_NEAR(t.centreSigma, t.modelCentreSigma, 0.05 * t.modelCentreSigma);
            EXPECT_NEAR(t.meanCd, s.cd, 0.2);  // about 4 standard errors
            // The truth of widths and centres is that of the drawn edges.
            const double leftRight = t.edgeCorrelation * t.edgeSigma * t.edgeSigma;
            EXPECT_NEAR(t.widthSigma * t.widthSigma,
                        2.0 * t.edgeSigma * t.edgeSigma - 2.0 * leftRight,
                        0.03 * t.widthSigma * t.widthSigma);
        }
    }
}

// Column where row `y` (0-based) of `image` crosses `level` between columns a and b (1-based),
// interpolated linearly; NaN when it does not.
double crossing(const SyntheticSem& image, int32_t y, int32_t a, int32_t b, double level) {
    const unsigned char* row = &image.pixels[static_cast<size_t>(y) * image.width];
    for (int32_t x = a; x < b; ++x) {
        const double v0 = row[x - 1];
        const double v1 = row[x];
        if ((v0 - level) * (v1 - level) <= 0.0 && v0 != v1) return x + (level - v0) / (v1 - v0);
    }
    return std::nan("");
}

TEST(SyntheticSem, StepImagesHaveTheirEdgesAtTheHalfLevelCrossings) {
    for (const auto contrast : {SyntheticContrast::kBrightLine, SyntheticContrast::kDarkLine}) {
        SyntheticSemSettings s;
        s.width = 256;
        s.height = 128;
        s.contrast = contrast;
        // Smooth edges, so that the blur mixes rows of nearly one position.
        s.roughnessModel = SyntheticRoughness::kSpectral;
        s.roughnessExponent = 2.0;
        s.correlationLength = 40;
        s.noiseSigma = 0;
        s.blurSigma = 1.0;
        SyntheticSem image;
        ASSERT_TRUE(makeSyntheticSem(s, image));
        ASSERT_EQ(image.edges.size(), 8u);
        const bool bright = contrast == SyntheticContrast::kBrightLine;
        const size_t mid = static_cast<size_t>(64) * image.width;
        // Line centres and space centres at the asked-for levels, no bands.
        for (size_t e = 0; e < image.edges.size(); e += 2) {
            const int32_t centre = static_cast<int32_t>(image.edges[e].nominal + s.cd / 2);
            const int32_t gap = static_cast<int32_t>(image.edges[e].nominal - (s.pitch - s.cd) / 2);
            EXPECT_EQ(image.pixels[mid + centre - 1], bright ? 200 : 40);
            EXPECT_EQ(image.pixels[mid + gap - 1], bright ? 40 : 200);
            EXPECT_EQ(image.pixels[mid + centre - 1 + 8], image.pixels[mid + centre - 1]);
        }
        double worst = 0.0;
        for (const SyntheticEdge& e : image.edges)
            for (int32_t y = 0; y < image.height; ++y) {
                const int32_t a = static_cast<int32_t>(e.nominal) - 8;
                const double x = crossing(image, y, a, a + 16, 120.0);
                worst = std::fmax(worst, std::fabs(x - e.positions[static_cast<size_t>(y)]));
            }
        EXPECT_LT(worst, 0.08);
    }
}

TEST(SyntheticSem, ShotNoiseHasTheVarianceOfTheFrameMean) {
    // Wide lines and spaces of flat level; each region's pixels have variance
    // level / (frames * electrons) plus 1/12 from rounding to whole grey levels.
    SyntheticSemSettings s;
    s.width = 512;
    s.height = 512;
    s.pitch = 120;
    s.cd = 60;
    s.contrast = SyntheticContrast::kBrightLine;
    s.bandLevel = 150;
    s.noiseSigma = 0;
    s.roughnessSigma = 0;
    s.electronsPerLevel = 0.1;
    double previous = 1e9;
    for (const int32_t frames : {1, 4, 16}) {
        s.shotNoiseFrames = frames;
        SyntheticSem image;
        ASSERT_TRUE(makeSyntheticSem(s, image));
        for (const bool onLine : {true, false}) {
            double sum = 0.0;
            double squares = 0.0;
            double count = 0.0;
            for (size_t e = 0; e < image.edges.size(); e += 2) {
                const double from = image.edges[e].nominal + (onLine ? 10 : s.cd + 10);
                for (int32_t y = 0; y < s.height; ++y)
                    for (int32_t x = static_cast<int32_t>(from); x < from + 40; ++x) {
                        const double v = image.pixels[static_cast<size_t>(y) * s.width + x - 1];
                        sum += v;
                        squares += v * v;
                        count += 1.0;
                    }
            }
            const double level = onLine ? s.bandLevel : s.backgroundLevel;
            const double mean = sum / count;
            const double variance = squares / count - mean * mean;
            const double expected = level / (frames * s.electronsPerLevel);
            EXPECT_NEAR(mean, level, 0.5);
            EXPECT_NEAR(variance, expected + 1.0 / 12.0, 0.04 * expected) << frames;
            const double truthSigma =
                onLine ? image.truth.noiseSigmaAtBand : image.truth.noiseSigmaAtBackground;
            EXPECT_NEAR(truthSigma * truthSigma, expected, 1e-9 * expected);
        }
        EXPECT_LT(image.truth.noiseSigmaAtBand, previous);
        previous = image.truth.noiseSigmaAtBand;
    }
    // Seeded: the same settings give the same noise, another seed other noise.
    SyntheticSem a;
    SyntheticSem b;
    ASSERT_TRUE(makeSyntheticSem(s, a));
    ASSERT_TRUE(makeSyntheticSem(s, b));
    EXPECT_EQ(a.pixels, b.pixels);
    s.seed = 2;
    ASSERT_TRUE(makeSyntheticSem(s, b));
    EXPECT_NE(a.pixels, b.pixels);
}

TEST(SyntheticSem, RefusesSettingsThatDescribeNoImage) {
    std::vector<SyntheticSemSettings> bad(9);
    bad[0].edgeCorrelation = 1.5;
    bad[1].roughnessExponent = -0.1;
    bad[2].roughnessExponent = std::nan("");
    bad[3].contrast = SyntheticContrast::kDarkLine;
    bad[3].leadingLoneBand = true;
    bad[4].shotNoiseFrames = -1;
    bad[5].shotNoiseFrames = 2;
    bad[5].electronsPerLevel = 0;
    bad[6].shotNoiseFrames = 1000000;
    bad[6].electronsPerLevel = 1e6;
    bad[7].blurSigma = 1e9;  // its kernel's radius overflowed and crashed the generator
    bad[8].width = bad[8].height = 65536;  // 32 GB to draw
    const char* named[] = {"edge correlation",   "alpha",  "alpha",
                           "lone bands",         "frames", "electrons",
                           "frames x electrons", "blur",   "width x height"};
    for (size_t i = 0; i < bad.size(); ++i) {
        SyntheticSem image;
        EXPECT_FALSE(makeSyntheticSem(bad[i], image)) << i;
        EXPECT_TRUE(image.pixels.empty() && image.edges.empty()) << i;
        EXPECT_NE(syntheticSettingsProblem(bad[i]).find(named[i]), std::string::npos)
            << syntheticSettingsProblem(bad[i]);
    }
    EXPECT_EQ(syntheticSettingsProblem(SyntheticSemSettings()), "");
    // Step images need no band: a cd of twice the band width or less is fine there.
    SyntheticSemSettings narrow;
    narrow.contrast = SyntheticContrast::kBrightLine;
    narrow.cd = 6;
    SyntheticSem image;
    EXPECT_TRUE(makeSyntheticSem(narrow, image));
}

// Reads a whole text file.
std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(SyntheticSem, GeneratorWritesTruthThatAgreesWithItsEdgeFile) {
    const std::string base = ::testing::TempDir() + "rugon_gen_truth";
    const std::string command = std::string(RUGON_GEN_SEM) + " --output " + base +
                                ".pgm --width 400 --height 300 --alpha 0.8 "
                                "--correlation-length 15 --sigma 1.2 --edge-correlation 0.3 "
                                "--contrast dark-line --frames 8 --electrons 0.2 --seed 31 "
                                "> /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const nlohmann::json truth = nlohmann::json::parse(readText(base + "_truth.json"));
    EXPECT_EQ(truth["image"]["contrast"], "dark-line");
    EXPECT_EQ(truth["roughness"]["model"], "spectral");
    EXPECT_EQ(truth["model"]["alpha"], 0.8);
    EXPECT_EQ(truth["noise"]["shot_noise_frames"], 8);

    // Recompute the realised edge sigma and mean CD from the CSV, independently: each column
    // less its least-squares line over the rows.
    std::istringstream csv(readText(base + "_edges.csv"));
    std::string line;
    std::getline(csv, line);
    std::vector<std::vector<double>> columns;
    while (std::getline(csv, line)) {
        std::istringstream cells(line);
        std::string cell;
        std::getline(cells, cell, ',');
        for (size_t c = 0; std::getline(cells, cell, ','); ++c) {
            if (columns.size() <= c) columns.emplace_back();
            columns[c].push_back(std::stod(cell));
        }
    }
    ASSERT_EQ(columns.size() % 2, 0u);
    ASSERT_EQ(columns[0].size(), 300u);
    double squares = 0.0;
    double widths = 0.0;
    for (size_t c = 0; c < columns.size(); ++c) {
        const std::vector<double>& v = columns[c];
        const double n = static_cast<double>(v.size());
        double sy = 0, sv = 0, syy = 0, syv = 0;
        for (size_t i = 0; i < v.size(); ++i) {
            const double y = static_cast<double>(i + 1);
            sy += y;
            sv += v[i];
            syy += y * y;
            syv += y * v[i];
        }
        const double slope = (n * syv - sy * sv) / (n * syy - sy * sy);
        const double offset = (sv - slope * sy) / n;
        for (size_t i = 0; i < v.size(); ++i) {
            const double r = v[i] - slope * static_cast<double>(i + 1) - offset;
            squares += r * r;
            if (c % 2 == 1) widths += v[i] - columns[c - 1][i];
        }
    }
    const double cells = static_cast<double>(columns.size() * columns[0].size());
    EXPECT_NEAR(truth["realised"]["edge_sigma_px"].get<double>(), std::sqrt(squares / cells), 1e-5);
    EXPECT_NEAR(truth["realised"]["cd_px"].get<double>(), widths / (cells / 2), 1e-5);
    EXPECT_EQ(truth["line_count"].get<size_t>(), columns.size() / 2);
    std::remove((base + ".pgm").c_str());
    std::remove((base + "_edges.csv").c_str());
    std::remove((base + "_truth.json").c_str());
}

}  // namespace
