#include "run/image_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "image/coarse_edges.h"

namespace {

// A grid of vertical lines: each line is bounded by two bright bands (3 columns of 230 with
// 150 shoulders) on a background of 20 and a line body of 60; every band edge wanders by a
// seeded random walk so the edges are rough.
GreyImage linesGrid(int32_t width,
                    int32_t height,
                    int32_t lines,
                    int32_t firstLeft,
                    int32_t pitch,
                    int32_t cd,
                    unsigned seed) {
    GreyImage g;
    g.allocate(width, height);
    std::mt19937 random(seed);
    std::normal_distribution<double> step(0.0, 0.35);
    std::vector<double> offset(static_cast<size_t>(2 * lines), 0.0);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) g.at(x, y) = 20.0;
        for (int32_t line = 0; line < lines; ++line) {
            for (int side = 0; side < 2; ++side) {
                double& o = offset[static_cast<size_t>(2 * line + side)];
                o = 0.9 * o + step(random);
            }
            const int32_t left =
                firstLeft + line * pitch + static_cast<int32_t>(std::lround(offset[2 * line]));
            const int32_t right = firstLeft + line * pitch + cd - 1 +
                                  static_cast<int32_t>(std::lround(offset[2 * line + 1]));
            for (int32_t x = left; x <= right; ++x)
                if (x >= 0 && x < width) g.at(x, y) = 60.0;
            const int32_t bands[2][5] = {{left, left + 1, left + 2, left + 3, left + 4},
                                         {right - 4, right - 3, right - 2, right - 1, right}};
            const double levels[5] = {150, 230, 230, 230, 150};
            for (int side = 0; side < 2; ++side)
                for (int i = 0; i < 5; ++i) {
                    const int32_t x = bands[side][i];
                    const double level = side == 0 ? levels[i] : levels[4 - i];
                    if (x >= 0 && x < width) g.at(x, y) = level;
                }
        }
    }
    return g;
}

RunParameters testParameters() {
    RunParameters p;
    p.detectionFloor = 0.3;
    p.edgeThreshold = 0.5;
    p.kernelRows = 3;
    p.kernelColumns = 3;
    p.kernelSigma = 1.0;
    p.pixelSize = 2.0;
    p.edgeHalfWindow = 6;
    return p;
}

void analyse(const GreyImage& source,
             int32_t pairing,
             const RunParameters& params,
             AnalysisPath path,
             ImageAnalysis& result) {
    GreyImage grid = source;
    const CoarseEdges coarse = locateCoarseEdges(grid, params.detectionFloor);
    analyseGrid(grid, coarse, pairing, params, path, result);
}

std::string consoleText(const ImageAnalysis& a, double pixelSize) {
    std::string text;
    for (const EdgeFigures& e : a.processed) text += formatEdgeLine(a, e.edgeNumber);
    return text + formatReport("lines.png", a, pixelSize);
}

TEST(ProcessedEdgeRange, PairingDecidesWhichEdgesAreTraced) {
    int32_t first = 0, last = 0;
    processedEdgeRange(1, 6, first, last);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(last, 6);
    processedEdgeRange(1, 5, first, last);
    EXPECT_EQ(last, 4);
    processedEdgeRange(0, 5, first, last);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(last, 5);
    processedEdgeRange(0, 4, first, last);
    EXPECT_EQ(last, 3);
    processedEdgeRange(0, 0, first, last);
    EXPECT_LT(last, first);
    processedEdgeRange(1, 1, first, last);
    EXPECT_LT(last, first);
    processedEdgeRange(0, 2, first, last);
    EXPECT_LT(last, first);
}

TEST(AnalyseGrid, DirectionsAlternateFromLeftToRight) {
    const RunParameters params = testParameters();
    ImageAnalysis a;
    analyse(linesGrid(260, 320, 3, 30, 70, 30, 1), 1, params, AnalysisPath::kFast, a);
    ASSERT_EQ(a.status, AnalysisStatus::kMeasured);
    ASSERT_EQ(a.coarse.count, 6);
    ASSERT_EQ(a.processed.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(a.processed[i].edgeNumber, static_cast<int32_t>(i + 1));
        EXPECT_EQ(a.processed[i].direction, i % 2 == 0 ? 1 : -1);
    }
    EXPECT_EQ(a.lineCount, 3);
    // Lines 30 px wide at 2 nm per pixel, edges found on the bands' outer flanks.
    EXPECT_NEAR(a.widths.cdAverage, 2.0 * 29.0, 6.0);
    // 320 rows: 160 lags for the fit, 10 HHCF lags.
    EXPECT_EQ(a.lags.count, 160);
    EXPECT_EQ(a.averageHhcf.count, 10);
}

TEST(AnalyseGrid, OddEdgeCountDividesAveragesByAllCoarseEdges) {
    RunParameters params = testParameters();
    // Two full lines and the left band of a third cut by the border: five bands.
    GreyImage g = linesGrid(190, 320, 3, 30, 70, 60, 2);
    ImageAnalysis a;
    analyse(g, 1, params, AnalysisPath::kFast, a);
    ASSERT_EQ(a.coarse.count, 5);
    ASSERT_EQ(a.processed.size(), 4u);
    EXPECT_EQ(a.edgeSkewness[4], 0.0);
    double skewSum = 0.0;
    for (int32_t i = 0; i < 5; ++i) skewSum += a.edgeSkewness[i];
    EXPECT_EQ(a.meanSkewness, skewSum / 5.0);
    // The average HHCF is the sum over four traced edges times 1/5.
    const double fifth = 1.0 / 5;
    for (int32_t i = 0; i < a.averageHhcf.count; ++i)
        EXPECT_EQ(a.averageHhcf[i], fifth * a.hhcfSum[i]);

    // With pairing 0 the first edge is left out and slot 0 stays 0.
    ImageAnalysis b;
    analyse(g, 0, params, AnalysisPath::kFast, b);
    ASSERT_EQ(b.processed.size(), 4u);
    EXPECT_EQ(b.processed[0].edgeNumber, 2);
    EXPECT_EQ(b.processed[0].direction, 1);
    EXPECT_EQ(b.edgeMeans[0], 0.0);
    EXPECT_EQ(b.lineCount, 2);
}

TEST(AnalyseGrid, FastPathGivesTheReferenceFiguresBitForBit) {
    for (unsigned seed = 3; seed < 6; ++seed) {
        RunParameters params = testParameters();
        params.kernelRows = 5;
        params.kernelColumns = 7;
        const GreyImage g = linesGrid(330, 340, 4, 25, 75, 34, seed);
        ImageAnalysis fast, reference;
        analyse(g, 1, params, AnalysisPath::kFast, fast);
        analyse(g, 1, params, AnalysisPath::kReference, reference);
        ASSERT_EQ(fast.status, AnalysisStatus::kMeasured);
        EXPECT_EQ(consoleText(fast, params.pixelSize), consoleText(reference, params.pixelSize));
        ASSERT_EQ(fast.picture.width, reference.picture.width);
        EXPECT_EQ(std::memcmp(fast.picture.bytes, reference.picture.bytes,
                              3 * fast.picture.width * fast.picture.height),
                  0);
        for (int32_t i = 0; i < fast.edgeSigmas.count; ++i)
            EXPECT_EQ(fast.edgeSigmas[i], reference.edgeSigmas[i]);
    }
}

TEST(AnalyseGrid, NoLineGivesAReportThatIsNotAMeasurement) {
    const RunParameters params = testParameters();
    GreyImage dark;
    dark.allocate(100, 320);
    for (size_t i = 0; i < dark.size(); ++i) dark.data[i] = 0.0;
    ImageAnalysis a;
    analyse(dark, 1, params, AnalysisPath::kFast, a);
    EXPECT_EQ(a.status, AnalysisStatus::kNoLine);
    EXPECT_EQ(formatReport("dark.png", a, 1.0),
              "Image: dark.png\nResults: no line measured (0 edges found)\n");
    // One line band only: one edge, nothing paired.
    ImageAnalysis single;
    analyse(linesGrid(120, 320, 1, 30, 70, 60, 1), 0, params, AnalysisPath::kFast, single);
    EXPECT_EQ(single.status, AnalysisStatus::kNoLine);
    EXPECT_TRUE(single.processed.empty());
}

TEST(AnalyseGrid, ShortImagesReportTheDefinedFiguresOnly) {
    const RunParameters params = testParameters();
    ImageAnalysis a;
    analyse(linesGrid(260, 9, 3, 30, 70, 30, 1), 1, params, AnalysisPath::kFast, a);
    ASSERT_EQ(a.status, AnalysisStatus::kMeasured);
    EXPECT_EQ(a.length.segmentLengths.count, 0);
    EXPECT_EQ(a.lwrInfiniteByLength.count, 0);
    EXPECT_EQ(a.fit.ksi, 0.0);
    DisplayRecord record;
    fillDisplaySeries(a, params.pixelSize, record);
    EXPECT_EQ(record.lengthNm.count, 0);
    EXPECT_EQ(record.lwr3SigmaInfinite.count, 0);
    EXPECT_EQ(record.logLag.count, 0);
    EXPECT_TRUE(std::isfinite(a.widths.cdAverage));
}

TEST(FormatReport, PrintsEveryFigureInItsPlace) {
    ImageAnalysis a;
    a.status = AnalysisStatus::kMeasured;
    a.widths.cdAverage = 31.234;
    a.widths.cdVariation = 0.456;
    a.widths.meanLineSigma = 1.5;
    a.lineSigmaSpread = 0.25;
    a.lwrInfinite = 2.0;
    a.fit.alpha = 0.6789;
    a.fit.ksi = 12.0;
    a.meanSkewness = -0.123;
    a.meanKurtosis = 2.987;
    EXPECT_EQ(formatReport("x.png", a, 0.5),
              "Image: x.png\nResults: CD_average=31.23nm CD_variation=0.46nm\n"
              "\t3sigma_LWR=4.50(0.75)nm 3sigma_LWR_inf=6.00nm\n\ta=0.679, ksi=6.00nm\n"
              "\tskewness=-0.12 kyrtosis=2.99\n");
    a.edgeMeans.allocate(2);
    a.edgeSpreads.allocate(2);
    a.edgeMeans[1] = 123.4567;
    a.edgeSpreads[1] = 0.0004;
    EXPECT_EQ(formatEdgeLine(a, 2), "<x(2)>= 123.457 ( 0.000 )nm\n");
}

}  // namespace
