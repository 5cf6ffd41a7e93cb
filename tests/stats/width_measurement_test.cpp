#include "stats/width_measurement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

// An edge trace on rows 1..n at position(row), with the given slope field.
template <typename F>
EdgeTrace traceOf(int32_t n, double slope, F position) {
    EdgeTrace e;
    e.positions.allocate(n);
    fillRange(e.rows, 1, n, 1);
    for (int32_t row = 1; row <= n; ++row) e.positions[row - 1] = position(row);
    e.slope = slope;
    return e;
}

EdgeTrace constantTrace(int32_t n, double slope, double position) {
    return traceOf(n, slope, [position](int32_t) { return position; });
}

TEST(WidthMeasurement, TakesThePartnerOneRowUpForASmallPositiveMeanSlope) {
    const int32_t n = 40;
    const EdgeTrace edges[2] = {constantTrace(n, 0.001, 10.0), constantTrace(n, 0.001, 30.0)};
    const WidthMeasurement w = measureWidths(1, 2, edges, 1.0);
    ASSERT_EQ(w.widthGrid.width, 1);
    ASSERT_EQ(w.widthGrid.height, n);
    EXPECT_EQ(w.widthGrid.at(0, 0), 20.0);
    for (int32_t i = 1; i < n; ++i) EXPECT_EQ(w.widthGrid.at(0, i), std::sqrt(401.0));
}

TEST(WidthMeasurement, RepeatsThePrecedingWidthWhenThePartnerIsTheLastSample) {
    // Negative mean slope: the partner is one row down, so samples N - 1 and N find the last
    // sample of the second edge and repeat the width of sample N - 2. The second edge drifts
    // slightly so that every measured width differs.
    const int32_t n = 30;
    const auto drift = [](int32_t row) { return 30.0 + 0.01 * row; };
    const EdgeTrace edges[2] = {constantTrace(n, -0.001, 10.0), traceOf(n, -0.001, drift)};
    const WidthMeasurement w = measureWidths(1, 2, edges, 1.0);
    ASSERT_EQ(w.widthGrid.height, n);
    for (int32_t i = 1; i <= n - 2; ++i) {
        const double across = drift(i + 1) - 10.0;
        EXPECT_EQ(w.widthGrid.at(0, i - 1), std::sqrt(across * across + 1.0)) << "sample " << i;
    }
    EXPECT_EQ(w.widthGrid.at(0, n - 2), w.widthGrid.at(0, n - 3));
    EXPECT_EQ(w.widthGrid.at(0, n - 1), w.widthGrid.at(0, n - 3));
}

TEST(WidthMeasurement, MeasuresAFirstSampleWhosePartnerIsTheLastSample) {
    // With two samples the first one's partner is the last sample of the second edge; it is
    // measured, not borrowed from the line before.
    const EdgeTrace edges[4] = {constantTrace(2, -0.001, 10.0), constantTrace(2, -0.001, 30.0),
                                constantTrace(2, -0.001, 50.0), constantTrace(2, -0.001, 95.0)};
    const WidthMeasurement w = measureWidths(1, 4, edges, 1.0);
    ASSERT_EQ(w.widthGrid.width, 2);
    ASSERT_EQ(w.widthGrid.height, 2);
    EXPECT_EQ(w.widthGrid.at(0, 0), std::sqrt(401.0));
    EXPECT_EQ(w.widthGrid.at(0, 1), std::sqrt(401.0));
    EXPECT_EQ(w.widthGrid.at(1, 0), std::sqrt(45.0 * 45.0 + 1.0));
    EXPECT_EQ(w.widthGrid.at(1, 1), std::sqrt(45.0 * 45.0 + 1.0));
}

TEST(WidthMeasurement, PairsSameRowsBetweenPerfectlyVerticalEdges) {
    const int32_t n = 25;
    const auto wobble = [](int32_t row) { return 30.0 + 0.5 * std::sin(row); };
    const EdgeTrace edges[2] = {constantTrace(n, 0.0, 10.0), traceOf(n, 0.0, wobble)};
    const WidthMeasurement w = measureWidths(1, 2, edges, 1.0);
    ASSERT_EQ(w.widthGrid.height, n);
    for (int32_t i = 1; i <= n; ++i) EXPECT_EQ(w.widthGrid.at(0, i - 1), wobble(i) - 10.0);

    const EdgeTrace straight[2] = {constantTrace(n, 0.0, 10.0), constantTrace(n, 0.0, 30.0)};
    const WidthMeasurement s = measureWidths(1, 2, straight, 2.0);
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(s.widthGrid.at(0, i), 20.0);
    EXPECT_EQ(s.cdAverage, 40.0);
    EXPECT_EQ(s.meanLineSigma, 0.0);
}

TEST(WidthMeasurement, CountsLinesForEachPairing) {
    EXPECT_EQ(lineCountFor(0, 5), 2);
    EXPECT_EQ(lineCountFor(0, 6), 2);
    EXPECT_EQ(lineCountFor(1, 5), 2);
    EXPECT_EQ(lineCountFor(1, 6), 3);
    EXPECT_EQ(lineCountFor(0, 2), 0);
    EXPECT_EQ(lineCountFor(0, 1), 0);
    EXPECT_EQ(lineCountFor(0, 0), 0);
    EXPECT_EQ(lineCountFor(1, 1), 0);
    EXPECT_EQ(lineCountFor(1, 0), 0);
    EXPECT_EQ(lineCountFor(1, -3), 0);
    EXPECT_EQ(lineCountFor(2, 6), 0);
}

// Vertical edges at the given columns; slot `empty` (0-based) is left untraced.
std::vector<EdgeTrace> verticalEdges(const std::vector<double>& columns, int32_t empty = -1) {
    std::vector<EdgeTrace> edges;
    for (size_t k = 0; k < columns.size(); ++k)
        edges.push_back(static_cast<int32_t>(k) == empty ? EdgeTrace()
                                                         : constantTrace(12, 0.0, columns[k]));
    return edges;
}

TEST(WidthMeasurement, PairsEdgesFromTheFirstOrTheSecondEdge) {
    const std::vector<double> columns = {5, 10, 30, 50, 90, 100};
    // Pairing 0 with 5 edges: (2, 3) and (4, 5); the unused first slot is empty.
    const std::vector<EdgeTrace> five = verticalEdges(columns, 0);
    const WidthMeasurement fromSecond = measureWidths(0, 5, five.data(), 1.0);
    ASSERT_EQ(fromSecond.lineMeans.count, 2);
    EXPECT_EQ(fromSecond.lineMeans[0], 20.0);
    EXPECT_EQ(fromSecond.lineMeans[1], 40.0);
    // With 6 edges the sixth is left over.
    const std::vector<EdgeTrace> six = verticalEdges(columns, 0);
    EXPECT_EQ(measureWidths(0, 6, six.data(), 1.0).lineMeans.count, 2);
    // Pairing 1 with 5 edges: (1, 2) and (3, 4).
    const std::vector<EdgeTrace> all = verticalEdges(columns);
    const WidthMeasurement fromFirst = measureWidths(1, 5, all.data(), 1.0);
    ASSERT_EQ(fromFirst.lineMeans.count, 2);
    EXPECT_EQ(fromFirst.lineMeans[0], 5.0);
    EXPECT_EQ(fromFirst.lineMeans[1], 20.0);
}

void expectEmpty(const WidthMeasurement& w) {
    EXPECT_EQ(w.widthGrid.width, 0);
    EXPECT_EQ(w.widthGrid.height, 0);
    EXPECT_EQ(w.lineMeans.count, 0);
    EXPECT_EQ(w.lineSigmas.count, 0);
    EXPECT_EQ(w.cdAverage, 0.0);
    EXPECT_EQ(w.cdVariation, 0.0);
    EXPECT_EQ(w.meanLineSigma, 0.0);
}

TEST(WidthMeasurement, GivesAnEmptyRecordOfZerosWithoutLines) {
    const std::vector<EdgeTrace> edges = verticalEdges({10, 30, 50});
    expectEmpty(measureWidths(2, 3, edges.data(), 1.0));
    expectEmpty(measureWidths(0, 2, edges.data(), 1.0));
    expectEmpty(measureWidths(1, 1, edges.data(), 1.0));
    expectEmpty(measureWidths(1, 0, nullptr, 1.0));
}

TEST(WidthMeasurement, NeverReadsPastAShortOrEmptyTrace) {
    // The second edge has 8 samples where the first has 12: every line is cut to 8.
    std::vector<EdgeTrace> edges = verticalEdges({10, 30, 50, 70});
    edges[3] = constantTrace(8, 0.0, 70.0);
    const WidthMeasurement cut = measureWidths(1, 4, edges.data(), 1.0);
    EXPECT_EQ(cut.widthGrid.height, 8);
    EXPECT_EQ(cut.widthGrid.width, 2);
    EXPECT_EQ(cut.lineMeans[1], 20.0);
    // Rows shorter than positions count as well.
    edges[3] = constantTrace(12, 0.0, 70.0);
    edges[2].rows.allocate(5);
    for (int32_t j = 0; j < 5; ++j) edges[2].rows[j] = j + 1;
    EXPECT_EQ(measureWidths(1, 4, edges.data(), 1.0).widthGrid.height, 5);
    // An empty trace in a pair leaves nothing to measure.
    edges[1] = EdgeTrace();
    expectEmpty(measureWidths(1, 4, edges.data(), 1.0));
}

TEST(WidthMeasurement, ReportsLineFiguresInNanometresAndTheGridInPixels) {
    // Line 1 alternates between widths 20 and 22 (mean 21, sigma 1); line 2 is 40 wide.
    const int32_t n = 10;
    const EdgeTrace edges[4] = {
        constantTrace(n, 0.0, 10.0),
        traceOf(n, 0.0, [](int32_t row) { return row % 2 == 0 ? 32.0 : 30.0; }),
        constantTrace(n, 0.0, 50.0), constantTrace(n, 0.0, 90.0)};
    const WidthMeasurement w = measureWidths(1, 4, edges, 2.0);
    EXPECT_EQ(w.widthGrid.at(0, 0), 20.0);
    EXPECT_EQ(w.widthGrid.at(0, 1), 22.0);
    EXPECT_EQ(w.widthGrid.at(1, 0), 40.0);
    ASSERT_EQ(w.lineMeans.count, 2);
    EXPECT_EQ(w.lineMeans[0], 42.0);
    EXPECT_EQ(w.lineMeans[1], 80.0);
    EXPECT_EQ(w.lineSigmas[0], 2.0);
    EXPECT_EQ(w.lineSigmas[1], 0.0);
    EXPECT_EQ(w.cdAverage, 61.0);
    EXPECT_EQ(w.cdVariation, 19.0);
    EXPECT_EQ(w.meanLineSigma, 1.0);
}

TEST(WidthMeasurement, FollowsTheNormalOfTiltedEdges) {
    // Parallel edges of slope 0.5 (half a column per row), 20 columns apart: the normal meets
    // the second edge 8 rows up and 16 columns across, a width of sqrt(320), wherever such a
    // partner exists on the edge.
    const int32_t n = 60;
    const EdgeTrace edges[2] = {traceOf(n, 0.5, [](int32_t row) { return 10.0 + 0.5 * row; }),
                                traceOf(n, 0.5, [](int32_t row) { return 30.0 + 0.5 * row; })};
    const WidthMeasurement w = measureWidths(1, 2, edges, 1.0);
    for (int32_t i = 9; i <= n; ++i)
        EXPECT_NEAR(w.widthGrid.at(0, i - 1), std::sqrt(320.0), 1e-12) << "sample " << i;
}

bool sameBits(const GreyImage& a, const GreyImage& b) {
    if (a.width != b.width || a.height != b.height) return false;
    return a.size() == 0 || std::memcmp(a.data, b.data, sizeof(double) * a.size()) == 0;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Four rough edges (two lines) of n samples: edge k wanders around base[k] + slope[k] * row by
// a seeded random walk, with occasional spikes of `spike` columns.
std::vector<EdgeTrace> roughEdges(
    int32_t n, const double base[4], const double slope[4], double spike, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> step(0.0, 0.4);
    std::uniform_int_distribution<int> rare(0, 40);
    std::vector<EdgeTrace> edges;
    for (int k = 0; k < 4; ++k) {
        double offset = 0.0;
        edges.push_back(traceOf(n, slope[k], [&](int32_t row) {
            offset = 0.9 * offset + step(random);
            const double spikeNow = rare(random) == 0 ? spike : 0.0;
            return base[k] + slope[k] * row + offset + spikeNow;
        }));
    }
    return edges;
}

void expectSameMeasurement(const WidthMeasurement& a, const WidthMeasurement& b) {
    EXPECT_TRUE(sameBits(a.widthGrid, b.widthGrid));
    EXPECT_TRUE(sameBits(a.cdAverage, b.cdAverage));
    EXPECT_TRUE(sameBits(a.cdVariation, b.cdVariation));
    EXPECT_TRUE(sameBits(a.meanLineSigma, b.meanLineSigma));
}

TEST(WidthMeasurement, FindsTheSamePartnersAsTheSearchOverAllSamples) {
    // Nearly vertical edges (partners a row or two away), steep and crossing edges (partners
    // far away), slopes of opposite sign whose mean is tiny, edges whose second lies left of
    // its first, short traces and large spikes: the banded search must pick exactly the
    // partner of the full search everywhere.
    struct Case {
        int32_t n;
        double base[4];
        double slope[4];
        double spike;
    };
    const Case cases[] = {
        {300, {20, 60, 100, 140}, {0.001, 0.002, -0.001, 0.0015}, 0.0},
        {300, {20, 60, 100, 140}, {0.001, -0.0009, 0.003, -0.003}, 15.0},
        {250, {20, 60, 100, 180}, {0.3, 0.31, -0.4, -0.35}, 0.0},
        {250, {20, 90, 100, 300}, {2.0, 2.2, -5.0, -4.5}, 40.0},
        {200, {50, 20, 100, 60}, {0.01, 0.012, 0.05, -0.02}, 0.0},
        {200, {20, 60, 100, 140}, {1e-9, 2e-9, -1e-12, 3e-12}, 500.0},
        {9, {20, 60, 100, 140}, {0.02, 0.03, -0.1, 0.1}, 0.0},
        {1, {20, 60, 100, 140}, {0.02, 0.03, -0.1, 0.1}, 0.0},
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        const std::vector<EdgeTrace> edges = roughEdges(c.n, c.base, c.slope, c.spike, seed++);
        SCOPED_TRACE(seed);
        expectSameMeasurement(measureWidths(1, 4, edges.data(), 1.5),
                              measureWidthsReference(1, 4, edges.data(), 1.5));
    }
}

TEST(WidthMeasurement, SearchesEverySampleWhereBandsWouldNotBeExact) {
    const double base[4] = {20, 60, 100, 140};
    const double slope[4] = {0.01, 0.012, -0.02, -0.01};
    // A NaN position, rows that are not 1 .. n, and an infinite position: the result must
    // still be the full search's.
    std::vector<EdgeTrace> withNan = roughEdges(120, base, slope, 0.0, 7);
    withNan[1].positions[30] = NAN;
    std::vector<EdgeTrace> shiftedRows = roughEdges(120, base, slope, 0.0, 8);
    for (int32_t i = 0; i < 120; ++i) shiftedRows[3].rows[i] = i + 5;
    std::vector<EdgeTrace> withInfinity = roughEdges(120, base, slope, 0.0, 9);
    withInfinity[0].positions[60] = INFINITY;
    for (const std::vector<EdgeTrace>* edges : {&withNan, &shiftedRows, &withInfinity}) {
        const WidthMeasurement banded = measureWidths(1, 4, edges->data(), 1.0);
        const WidthMeasurement full = measureWidthsReference(1, 4, edges->data(), 1.0);
        EXPECT_TRUE(sameBits(banded.widthGrid, full.widthGrid));
    }
}

}  // namespace
