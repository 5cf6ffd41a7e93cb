#include "stats/length_dependence.h"

#include <gtest/gtest.h>

#include <cmath>

#include "stats/width_measurement.h"

namespace {

// A width grid of `rows` samples by `columns` lines filled from f(row, column), 1-based.
template <typename F>
GreyImage gridOf(int32_t rows, int32_t columns, F f) {
    GreyImage g;
    g.allocate(columns, rows);
    for (int32_t y = 1; y <= rows; ++y)
        for (int32_t x = 1; x <= columns; ++x) g.at(x - 1, y - 1) = f(y, x);
    return g;
}

TEST(LengthDependence, CutsOneHundredSamplesIntoTenDivisions) {
    const GreyImage grid = gridOf(100, 1, [](int32_t, int32_t) { return 5.0; });
    const LengthDependence ld = lengthDependence(100, 1, grid, 1.0);
    ASSERT_EQ(ld.segmentLengths.count, 10);
    const double expected[] = {100, 50, 33, 25, 20, 16, 14, 12, 11, 10};
    for (int32_t i = 0; i < 10; ++i) EXPECT_EQ(ld.segmentLengths[i], expected[i]);
    EXPECT_EQ(ld.meanSigmas.count, 10);
    EXPECT_EQ(ld.sigmaOfSigmas.count, 10);
    EXPECT_EQ(ld.sigmaOfMeans.count, 10);
}

TEST(LengthDependence, LeavesTheRemainderOfEachLineOut) {
    // Only sample 100 differs: three segments of 33 cover samples 1..99.
    const GreyImage grid =
        gridOf(100, 1, [](int32_t row, int32_t) { return row == 100 ? 1000.0 : 5.0; });
    const LengthDependence ld = lengthDependence(100, 1, grid, 1.0);
    EXPECT_GT(ld.meanSigmas[0], 0.0);
    EXPECT_EQ(ld.meanSigmas[2], 0.0);
    EXPECT_EQ(ld.sigmaOfMeans[2], 0.0);
    EXPECT_EQ(ld.meanSigmas[6], 0.0);  // 7 x 14 = 98 samples
}

TEST(LengthDependence, ReproducesTheTwentySampleRamp) {
    const GreyImage grid = gridOf(20, 1, [](int32_t row, int32_t) { return double(row); });
    const LengthDependence ld = lengthDependence(20, 1, grid, 1.0);
    ASSERT_EQ(ld.meanSigmas.count, 2);
    EXPECT_EQ(ld.segmentLengths[0], 20.0);
    EXPECT_EQ(ld.meanSigmas[0], std::sqrt(33.25));
    EXPECT_EQ(ld.sigmaOfSigmas[0], 0.0);
    EXPECT_EQ(ld.sigmaOfMeans[0], 0.0);
    EXPECT_EQ(ld.segmentLengths[1], 10.0);
    EXPECT_EQ(ld.meanSigmas[1], std::sqrt(8.25));
    EXPECT_EQ(ld.sigmaOfSigmas[1], 0.0);
    EXPECT_EQ(ld.sigmaOfMeans[1], 5.0);
}

TEST(LengthDependence, ScalesEveryStatisticWithThePixelSize) {
    const GreyImage grid = gridOf(
        60, 3, [](int32_t row, int32_t column) { return 20.0 + column + std::sin(row * 0.7); });
    const LengthDependence one = lengthDependence(60, 3, grid, 1.5);
    const LengthDependence two = lengthDependence(60, 3, grid, 3.0);
    ASSERT_EQ(one.meanSigmas.count, 6);
    for (int32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(two.segmentLengths[i], one.segmentLengths[i]);
        EXPECT_EQ(two.meanSigmas[i], 2.0 * one.meanSigmas[i]);
        EXPECT_EQ(two.sigmaOfSigmas[i], 2.0 * one.sigmaOfSigmas[i]);
        EXPECT_EQ(two.sigmaOfMeans[i], 2.0 * one.sigmaOfMeans[i]);
    }
}

TEST(LengthDependence, SeparatesWidthScatterAlongALineFromScatterBetweenLines) {
    // Every line constant, at 10, 12 and 14: no roughness, the lines differ by sqrt(8/3).
    const GreyImage grid = gridOf(40, 3, [](int32_t, int32_t column) { return 8.0 + 2 * column; });
    const LengthDependence ld = lengthDependence(40, 3, grid, 1.0);
    for (int32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(ld.meanSigmas[i], 0.0);
        EXPECT_EQ(ld.sigmaOfSigmas[i], 0.0);
        EXPECT_DOUBLE_EQ(ld.sigmaOfMeans[i], std::sqrt(8.0 / 3.0));
    }
}

TEST(LengthDependence, IsEmptyForShortLinesNoLinesOrATooSmallGrid) {
    const GreyImage grid = gridOf(9, 2, [](int32_t, int32_t) { return 1.0; });
    const LengthDependence shortLines = lengthDependence(9, 2, grid, 1.0);
    EXPECT_EQ(shortLines.segmentLengths.count, 0);
    EXPECT_EQ(shortLines.meanSigmas.count, 0);
    EXPECT_EQ(shortLines.sigmaOfSigmas.count, 0);
    EXPECT_EQ(shortLines.sigmaOfMeans.count, 0);

    const LengthDependence noLines = lengthDependence(512, 0, GreyImage(), 1.0);
    EXPECT_EQ(noLines.segmentLengths.count, 0);
    EXPECT_EQ(noLines.meanSigmas.count, 0);

    const GreyImage small = gridOf(50, 2, [](int32_t, int32_t) { return 1.0; });
    EXPECT_EQ(lengthDependence(100, 2, small, 1.0).meanSigmas.count, 0);
    EXPECT_EQ(lengthDependence(50, 3, small, 1.0).meanSigmas.count, 0);
}

TEST(LengthDependence, WholeLineFiguresAgreeWithTheWidthMeasurement) {
    // Two lines between vertical edges whose widths wobble differently.
    EdgeTrace edges[4];
    const int32_t n = 64;
    for (EdgeTrace& e : edges) {
        e.positions.allocate(n);
        fillRange(e.rows, 1, n, 1);
    }
    for (int32_t j = 0; j < n; ++j) {
        edges[0].positions[j] = 10.0;
        edges[1].positions[j] = 30.0 + std::sin(0.3 * j);
        edges[2].positions[j] = 50.0 + 0.5 * std::cos(0.2 * j);
        edges[3].positions[j] = 75.0;
    }
    const WidthMeasurement widths = measureWidths(1, 4, edges, 2.5);
    const LengthDependence ld = lengthDependence(n, 2, widths.widthGrid, 2.5);
    EXPECT_NEAR(ld.meanSigmas[0], widths.meanLineSigma, 1e-12);
    EXPECT_NEAR(ld.sigmaOfMeans[0], widths.cdVariation, 1e-12);
}

TEST(LengthDependence, SegmentFiguresAreThoseOfTheSeriesStatistics) {
    // Irregular widths, three lines, 157 samples (segments that leave remainders): every
    // figure must equal the one formed with Series operations on the segment in nm.
    const GreyImage grid =
        gridOf(157, 3, [](int32_t y, int32_t x) { return 20.0 + std::sin(0.7 * y * x) + 0.1 * x; });
    const double pixelSize = 1.7;
    const LengthDependence ld = lengthDependence(157, 3, grid, pixelSize);
    ASSERT_EQ(ld.meanSigmas.count, 15);
    for (int32_t i = 1; i <= 15; ++i) {
        const int32_t l = 157 / i;
        Series sigmas;
        Series means;
        sigmas.allocate(3 * i);
        means.allocate(3 * i);
        int32_t j = 0;
        for (int32_t k = 0; k < 3; ++k) {
            for (int32_t part = 0; part < i; ++part, ++j) {
                Series segment;
                grid.columnSegment(segment, k + 1, part * l + 1, (part + 1) * l);
                segment.scale(pixelSize);
                sigmas[j] = segment.standardDeviation(true);
                means[j] = segment.mean();
            }
        }
        EXPECT_EQ(ld.meanSigmas[i - 1], sigmas.mean());
        EXPECT_EQ(ld.sigmaOfSigmas[i - 1], sigmas.standardDeviation(true));
        EXPECT_EQ(ld.sigmaOfMeans[i - 1], means.standardDeviation(true));
    }
}

}  // namespace
