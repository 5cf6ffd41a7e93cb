#include "image/edge_trace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

GreyImage filled(int32_t w, int32_t h, double v) {
    GreyImage g;
    g.allocate(w, h);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = v;
    return g;
}

// A dark grid with one bright pixel per row at the given 1-based columns.
GreyImage edgeAt(int32_t w, const std::vector<int32_t>& columns) {
    GreyImage g = filled(w, static_cast<int32_t>(columns.size()), 0.0);
    for (size_t y = 0; y < columns.size(); ++y) g.at(columns[y] - 1, static_cast<int32_t>(y)) = 100;
    return g;
}

Picture greyPicture(int32_t w, int32_t h) {
    Picture p;
    p.allocate(w, h);
    for (size_t i = 0; i < 3 * static_cast<size_t>(w) * static_cast<size_t>(h); ++i)
        p.bytes[i] = 50;
    return p;
}

TraceSettings settingsFor(
    int32_t column, int32_t direction, int32_t rows, int32_t halfWindow, double threshold) {
    TraceSettings s;
    s.column = column;
    s.direction = direction;
    s.firstRow = 1;
    s.lastRow = rows;
    s.halfWindow = halfWindow;
    s.threshold = threshold;
    return s;
}

bool isRed(Picture& p, int32_t column, int32_t row) {
    const unsigned char* px = p.pixel(column - 1, row - 1);
    return px[0] == 255 && px[1] == 0 && px[2] == 0;
}

struct Traced {
    EdgeTrace trace;
    Series residuals;
    GreyImage working;
    Picture picture;
};

// Traces on `smoothed` as it stands (background 0), marking copies of it.
Traced traceOn(const GreyImage& smoothed, const TraceSettings& settings) {
    Traced t;
    t.working = smoothed;
    t.picture = greyPicture(smoothed.width, smoothed.height);
    traceEdgeSmoothed(smoothed, 0.0, t.working, t.picture, settings, t.trace, t.residuals);
    return t;
}

TEST(EdgeTrace, DefaultThresholdFindsTheFirstWindowMaximumInScanDirection) {
    // Every row holds its maximum 9 at columns 4 and 6.
    GreyImage g = filled(9, 4, 1.0);
    for (int32_t y = 0; y < 4; ++y) {
        g.at(3, y) = 9.0;
        g.at(5, y) = 9.0;
    }
    Traced right = traceOn(g, settingsFor(5, +1, 4, 3, 1.0));
    ASSERT_EQ(right.trace.positions.count, 4);
    for (int32_t k = 0; k < 4; ++k) {
        EXPECT_EQ(right.trace.positions[k], 4.0);
        EXPECT_EQ(right.trace.rows[k], k + 1.0);
        EXPECT_EQ(right.residuals[k], 0.0);
    }
    EXPECT_EQ(right.trace.slope, 0.0);
    EXPECT_EQ(right.trace.intercept, 4.0);
    Traced left = traceOn(g, settingsFor(5, -1, 4, 3, 1.0));
    EXPECT_EQ(left.trace.positions[0], 6.0);
}

TEST(EdgeTrace, ThresholdAboveOneGivesTheOneThirdFallbackLine) {
    const GreyImage g = edgeAt(12, {6, 7, 5, 6, 8, 6});
    Traced t = traceOn(g, settingsFor(5, +1, 6, 3, 1.5));
    // Scan 2 .. 8: one third of the way is (2 * 2 + 8) * 0.3333333333333333.
    const double third = 12.0 * 0.3333333333333333;
    ASSERT_EQ(t.trace.positions.count, 6);
    for (int32_t k = 0; k < 6; ++k) {
        EXPECT_NEAR(t.trace.positions[k], third, 1e-14);
        EXPECT_NEAR(t.residuals[k], 0.0, 1e-14);
    }
    EXPECT_NEAR(t.trace.intercept, third, 1e-14);
    EXPECT_NEAR(t.trace.slope, 0.0, 1e-15);
    // The marks go to the rounded position 4 and the column to its right.
    for (int32_t row = 1; row <= 6; ++row) {
        EXPECT_EQ(t.working.at(3, row - 1), 0.0);
        EXPECT_EQ(t.working.at(4, row - 1), 0.0);
        EXPECT_TRUE(isRed(t.picture, 4, row));
        EXPECT_TRUE(isRed(t.picture, 5, row));
        EXPECT_FALSE(isRed(t.picture, 3, row));
        EXPECT_FALSE(isRed(t.picture, 6, row));
    }
    EXPECT_EQ(t.working.at(5, 0), 100.0);  // the bright pixel of row 1, not marked
}

TEST(EdgeTrace, WindowCutByTheBorderScansFromTheBorder) {
    const GreyImage g = edgeAt(20, {10, 10, 10});
    // c = 3, m = 5: from column 1 to 8, or from 8 down to 1.
    Traced forward = traceOn(g, settingsFor(3, +1, 3, 5, 2.0));
    EXPECT_EQ(forward.trace.positions[0], 10.0 * 0.3333333333333333);
    Traced backward = traceOn(g, settingsFor(3, -1, 3, 5, 2.0));
    EXPECT_EQ(backward.trace.positions[0], 17.0 * 0.3333333333333333);
    // On the right border: c = 18, m = 5 scans 13 .. 20.
    Traced right = traceOn(g, settingsFor(18, +1, 3, 5, 2.0));
    EXPECT_EQ(right.trace.positions[0], 46.0 * 0.3333333333333333);
}

TEST(EdgeTrace, ZeroHalfWindowKeepsTheCoarseColumnWhereItIsNotDark) {
    // Column 5 is lit in rows 1 and 2 only; rows 3 and 4 have a window maximum of 0, whose
    // quotient never qualifies, so they repeat the previous row.
    GreyImage g = filled(9, 4, 0.0);
    g.at(4, 0) = 30.0;
    g.at(4, 1) = 60.0;
    g.at(7, 2) = 90.0;
    Traced t = traceOn(g, settingsFor(5, +1, 4, 0, 1.0));
    for (int32_t k = 0; k < 4; ++k) EXPECT_EQ(t.trace.positions[k], 5.0);
    // A negative half window is taken as 0.
    Traced negative = traceOn(g, settingsFor(5, -1, 4, -7, 1.0));
    for (int32_t k = 0; k < 4; ++k) EXPECT_EQ(negative.trace.positions[k], 5.0);
    // A dark first row falls back to one third of the way from c to c.
    GreyImage dark = filled(9, 2, 0.0);
    dark.at(4, 1) = 10.0;
    Traced fallback = traceOn(dark, settingsFor(5, +1, 2, 0, 1.0));
    EXPECT_EQ(fallback.trace.positions[0], 15.0 * 0.3333333333333333);
}

TEST(EdgeTrace, LaterRowsWithoutAQualifyingColumnRepeatThePreviousPosition) {
    GreyImage g = edgeAt(12, {4, 7, 7, 7});
    g.at(6, 1) = 0.0;  // row 2 is dark: it keeps row 1's column 4
    Traced t = traceOn(g, settingsFor(6, +1, 4, 5, 1.0));
    // The straight line is fitted through 4, 4, 7, 7.
    EXPECT_DOUBLE_EQ(t.trace.slope, 1.2);
    EXPECT_DOUBLE_EQ(t.trace.intercept, 2.5);
    EXPECT_NEAR(t.trace.positions[1], 4.0, 1e-14);
    EXPECT_NEAR(t.trace.positions[3], 7.0, 1e-14);
}

TEST(EdgeTrace, BackgroundIsTheMeanOfTheSmoothedColumnMinima) {
    // With the identity kernel the smoothed grid is the grid. Every column's minimum is 10, so
    // the row 10 10 18 30 becomes 0 0 8 20: at threshold 0.5 the edge is column 4, not the
    // column 3 that the raw grey levels (18 / 30 = 0.6) would give.
    GreyImage g = filled(4, 2, 10.0);
    g.at(2, 0) = 18.0;
    g.at(3, 0) = 30.0;
    Kernel identity;
    identity.rows = 1;
    identity.columns = 1;
    identity.weights = {1.0};
    Picture picture = greyPicture(4, 2);
    EdgeTrace trace;
    Series residuals;
    traceEdge(g, picture, identity, settingsFor(2, +1, 1, 3, 0.5), trace, residuals);
    ASSERT_EQ(trace.positions.count, 1);
    EXPECT_EQ(trace.positions[0], 4.0);
    // Row 1 is marked at columns 4 and, outside the grid, 5; row 2 is untouched.
    EXPECT_EQ(g.at(3, 0), 0.0);
    EXPECT_EQ(g.at(2, 0), 18.0);
    EXPECT_EQ(g.at(3, 1), 10.0);
}

TEST(EdgeTrace, TraceEdgeIsSmoothingRoundingAndBackgroundThenTheSmoothedTrace) {
    std::mt19937 random(7);
    GreyImage g = filled(40, 30, 0.0);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = static_cast<double>(random() % 200);
    for (int32_t y = 0; y < 30; ++y) g.at(20 + y % 3, y) = 255.0;
    const Kernel kernel = gaussianKernel(5, 7, 1.0);

    GreyImage workingA = g;
    Picture pictureA = greyPicture(40, 30);
    EdgeTrace traceA;
    Series residualsA;
    const TraceSettings settings = settingsFor(19, +1, 30, 6, 0.8);
    traceEdge(workingA, pictureA, kernel, settings, traceA, residualsA);

    GreyImage smoothed;
    g.convolve(smoothed, kernel, 5, 7);
    smoothed.roundValues();
    Series minima;
    smoothed.columnMinima(minima);
    GreyImage workingB = g;
    Picture pictureB = greyPicture(40, 30);
    EdgeTrace traceB;
    Series residualsB;
    traceEdgeSmoothed(smoothed, minima.mean(), workingB, pictureB, settings, traceB, residualsB);

    ASSERT_EQ(traceA.positions.count, 30);
    ASSERT_EQ(traceB.positions.count, 30);
    for (int32_t k = 0; k < 30; ++k) {
        EXPECT_EQ(traceA.positions[k], traceB.positions[k]);
        EXPECT_EQ(residualsA[k], residualsB[k]);
    }
    EXPECT_EQ(traceA.slope, traceB.slope);
    EXPECT_EQ(traceA.intercept, traceB.intercept);
    for (size_t i = 0; i < g.size(); ++i) EXPECT_EQ(workingA.data[i], workingB.data[i]);
}

// A vertical edge at column 20 over `rows` rows, with the given rows (1-based) at column 30.
std::vector<int32_t> straightWithSpikes(int32_t rows, const std::vector<int32_t>& spikes) {
    std::vector<int32_t> columns(static_cast<size_t>(rows), 20);
    for (int32_t row : spikes) columns[static_cast<size_t>(row - 1)] = 30;
    return columns;
}

// The residual of the raw position p at sample h, perpendicular to the trace's line.
double rawResidual(const EdgeTrace& t, double p, double h) {
    return (p - (t.slope * h + t.intercept)) * std::cos(std::atan(t.slope));
}

TEST(EdgeTrace, SingleSpikeIsReplacedByTheMeanOfItsNeighbours) {
    const GreyImage g = edgeAt(40, straightWithSpikes(30, {10}));
    Traced t = traceOn(g, settingsFor(20, +1, 30, 15, 1.0));
    ASSERT_EQ(t.residuals.count, 30);
    EXPECT_EQ(t.residuals[9], (t.residuals[8] + t.residuals[10]) * 0.5);
    EXPECT_NEAR(t.trace.positions[9], 20.0, 1e-12);
    for (int32_t k = 0; k < 30; ++k) {
        if (k != 9) {
            EXPECT_NEAR(t.trace.positions[k], 20.0, 1e-12);
            EXPECT_EQ(t.residuals[k], rawResidual(t.trace, 20.0, k + 1.0));
        }
    }
    // The line is that of the raw positions, spike included: it is not refitted.
    const double n = 30.0;
    double sh = 0, sp = 0, shh = 0, shp = 0;
    for (int32_t k = 0; k < 30; ++k) {
        const double h = k + 1.0;
        const double p = k == 9 ? 30.0 : 20.0;
        sh += h;
        sp += p;
        shh += h * h;
        shp += h * p;
    }
    EXPECT_EQ(t.trace.slope, (n * shp - sp * sh) / (n * shh - sh * sh));
    EXPECT_NE(t.trace.slope, 0.0);
}

TEST(EdgeTrace, SpikesInTheFirstAndLastRowStay) {
    const GreyImage g = edgeAt(40, straightWithSpikes(30, {1, 30}));
    Traced t = traceOn(g, settingsFor(20, +1, 30, 15, 1.0));
    EXPECT_NEAR(t.trace.positions[0], 30.0, 1e-12);
    EXPECT_NEAR(t.trace.positions[29], 30.0, 1e-12);
}

TEST(EdgeTrace, AdjacentSpikesAreReplacedInTurnAgainstTheFirstStatistics) {
    const GreyImage g = edgeAt(40, straightWithSpikes(60, {10, 11}));
    Traced t = traceOn(g, settingsFor(20, +1, 60, 15, 1.0));
    const double spike11 = rawResidual(t.trace, 30.0, 11.0);
    EXPECT_EQ(t.residuals[9], (t.residuals[8] + rawResidual(t.trace, 30.0, 11.0)) * 0.5);
    // The second spike averages the already replaced first one with its right neighbour.
    EXPECT_EQ(t.residuals[10], (t.residuals[9] + t.residuals[11]) * 0.5);
    EXPECT_LT(t.residuals[10], 0.5 * spike11);
    EXPECT_NEAR(t.trace.positions[9], 25.0, 0.1);
    EXPECT_NEAR(t.trace.positions[10], 22.5, 0.1);
}

TEST(EdgeTrace, EdgesOnTheBordersMarkOnlyColumnsInsideTheImage) {
    Traced right = traceOn(edgeAt(10, {10, 10, 10}), settingsFor(9, +1, 3, 3, 1.0));
    EXPECT_EQ(right.trace.positions[0], 10.0);
    for (int32_t row = 1; row <= 3; ++row) {
        EXPECT_TRUE(isRed(right.picture, 10, row));
        EXPECT_FALSE(isRed(right.picture, 9, row));
        EXPECT_EQ(right.working.at(9, row - 1), 0.0);
    }
    Traced left = traceOn(edgeAt(10, {1, 1, 1}), settingsFor(2, -1, 3, 3, 1.0));
    EXPECT_EQ(left.trace.positions[0], 1.0);
    for (int32_t row = 1; row <= 3; ++row) {
        EXPECT_TRUE(isRed(left.picture, 1, row));
        EXPECT_TRUE(isRed(left.picture, 2, row));
        EXPECT_FALSE(isRed(left.picture, 3, row));
    }
}

TEST(EdgeTrace, SingleRowTakesSlopeZero) {
    Traced t = traceOn(edgeAt(10, {6}), settingsFor(5, +1, 1, 3, 1.0));
    ASSERT_EQ(t.trace.positions.count, 1);
    EXPECT_EQ(t.trace.slope, 0.0);
    EXPECT_EQ(t.trace.intercept, 6.0);
    EXPECT_EQ(t.trace.positions[0], 6.0);
    EXPECT_EQ(t.residuals[0], 0.0);
    // Two rows: no spike test (n < 3), the line goes through both.
    Traced two = traceOn(edgeAt(10, {4, 6}), settingsFor(5, +1, 2, 3, 1.0));
    EXPECT_EQ(two.trace.slope, 2.0);
    EXPECT_EQ(two.trace.intercept, 2.0);
}

TEST(EdgeTrace, OutOfRangeSettingsStayInsideTheImage) {
    const GreyImage g = edgeAt(10, {3, 8, 3, 8});
    // A coarse column beyond either border is taken as the border column.
    Traced beyondRight = traceOn(g, settingsFor(500, -1, 4, 0, 1.0));
    EXPECT_EQ(beyondRight.trace.positions[0], 10.0 * 3 * 0.3333333333333333);
    Traced beyondLeft = traceOn(g, settingsFor(-40, +1, 4, 2, 1.0));
    EXPECT_EQ(beyondLeft.trace.positions[0], 3.0);
    // A window wider than the image is the whole row; direction 0 scans left to right.
    Traced wide = traceOn(g, settingsFor(5, 0, 4, 2147483647, 1.0));
    EXPECT_EQ(wide.trace.positions[1], 8.0);
    // Rows beyond the image are left out.
    TraceSettings rows = settingsFor(5, +1, 99, 9, 1.0);
    rows.firstRow = -3;
    Traced clipped = traceOn(g, rows);
    EXPECT_EQ(clipped.trace.positions.count, 4);
    rows.firstRow = 3;
    rows.lastRow = 2;
    Traced none = traceOn(g, rows);
    EXPECT_EQ(none.trace.positions.count, 0);
    EXPECT_EQ(none.trace.rows.count, 0);
    EXPECT_EQ(none.residuals.count, 0);
    for (size_t i = 0; i < g.size(); ++i) EXPECT_EQ(none.working.data[i], g.data[i]);
    // An empty grid traces nothing.
    Traced empty = traceOn(GreyImage(), settingsFor(1, +1, 1, 1, 1.0));
    EXPECT_EQ(empty.trace.positions.count, 0);
}

}  // namespace
