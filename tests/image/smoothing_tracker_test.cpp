#include "image/smoothing_tracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace {

bool sameBits(const GreyImage& a, const GreyImage& b) {
    if (a.width != b.width || a.height != b.height) return false;
    return a.size() == 0 || std::memcmp(a.data, b.data, sizeof(double) * a.size()) == 0;
}

bool sameBits(const Series& a, const Series& b) {
    if (a.count != b.count) return false;
    return a.count == 0 ||
           std::memcmp(a.data, b.data, sizeof(double) * static_cast<size_t>(a.count)) == 0;
}

GreyImage randomGrid(int32_t w, int32_t h, std::mt19937& random, double low, double high) {
    GreyImage g;
    g.allocate(w, h);
    std::uniform_int_distribution<int> level(static_cast<int>(low), static_cast<int>(high));
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = level(random);
    return g;
}

// A kernel whose sum depends on the order of its terms on a uniform grid of 1: weight 1e16 at
// kernel row 0, column 0, then 3 at row 1, column 0, and -1e16 at row 0, column 1, the rest
// small. Summed column of the kernel by column, 1e16 + 3 rounds to an even number before the
// large terms cancel; summed row by row, they cancel first and the 3 survives exactly.
Kernel orderSensitiveKernel(int32_t rows, int32_t columns, std::mt19937& random) {
    Kernel k;
    k.rows = rows;
    k.columns = columns;
    std::uniform_int_distribution<int> quarter(0, 8);
    for (int32_t i = 0; i < rows * columns; ++i) k.weights.push_back(0.25 * quarter(random));
    k.weights[0] = 1e16;
    if (rows > 1) k.weights[static_cast<size_t>(columns)] = 3.0;
    if (columns > 1) k.weights[1] = -1e16;
    return k;
}

GreyImage uniformGrid(int32_t w, int32_t h, double v) {
    GreyImage g;
    g.allocate(w, h);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = v;
    return g;
}

// What the tracker must reproduce: the full smoothing, rounded, and its column minima.
void plainSmoothing(const GreyImage& g,
                    const Kernel& k,
                    int32_t rows,
                    int32_t columns,
                    GreyImage& out,
                    Series& minima) {
    g.convolve(out, k, rows, columns);
    out.roundValues();
    out.columnMinima(minima);
}

TEST(SmoothRounded, GivesTheRoundedConvolutionForKernelsOfEveryShape) {
    std::mt19937 random(5);
    // Odd, even and lopsided kernels, one larger than the grid, and sizes convolve does not
    // apply (beyond the kernel's own, zero, negative): every one must match bit for bit.
    const std::pair<int32_t, int32_t> shapes[] = {{5, 5}, {3, 7}, {4, 6}, {1, 1},
                                                  {2, 1}, {1, 9}, {7, 2}, {9, 9}};
    const std::pair<int32_t, int32_t> grids[] = {{37, 23}, {8, 5}, {3, 2}, {1, 12}, {16, 1}};
    for (const auto& shape : shapes) {
        const Kernel gaussian = gaussianKernel(shape.first, shape.second, 1.3);
        const Kernel sensitive = orderSensitiveKernel(shape.first, shape.second, random);
        for (const auto& size : grids) {
            for (const Kernel* k : {&gaussian, &sensitive}) {
                const GreyImage g = k == &gaussian
                                        ? randomGrid(size.first, size.second, random, -20, 300)
                                        : uniformGrid(size.first, size.second, 1.0);
                GreyImage expected;
                Series expectedMinima;
                plainSmoothing(g, *k, shape.first, shape.second, expected, expectedMinima);
                GreyImage out;
                Series minima;
                smoothRounded(g, *k, shape.first, shape.second, out, minima);
                EXPECT_TRUE(sameBits(out, expected)) << shape.first << "x" << shape.second << " on "
                                                     << size.first << "x" << size.second;
                EXPECT_TRUE(sameBits(minima, expectedMinima));
            }
        }
    }
    // Sizes the kernel cannot serve smooth to zeros, as convolve does.
    const Kernel small = gaussianKernel(3, 3, 1.0);
    const GreyImage g = randomGrid(20, 10, random, 0, 255);
    for (const auto& sizes : {std::make_pair(5, 3), std::make_pair(3, 0), std::make_pair(-1, 3)}) {
        GreyImage expected;
        Series expectedMinima;
        plainSmoothing(g, small, sizes.first, sizes.second, expected, expectedMinima);
        GreyImage out;
        Series minima;
        smoothRounded(g, small, sizes.first, sizes.second, out, minima);
        EXPECT_TRUE(sameBits(out, expected));
        EXPECT_TRUE(sameBits(minima, expectedMinima));
    }
}

TEST(SmoothRounded, RoundsHalvesUpAndKeepsAnEmptyGridEmpty) {
    // Weights 0.5 and 0.5 across two columns make every interior value a whole or a half.
    Kernel k;
    k.rows = 1;
    k.columns = 2;
    k.weights = {0.5, 0.5};
    GreyImage g;
    g.allocate(4, 1);
    const double values[] = {1, 2, 5, 5};
    for (int32_t x = 0; x < 4; ++x) g.at(x, 0) = values[x];
    GreyImage out;
    Series minima;
    smoothRounded(g, k, 1, 2, out, minima);
    // Column x sums 0.5 * g(x - 1) + 0.5 * g(x); column 0 has no left neighbour.
    EXPECT_EQ(out.at(0, 0), 1.0);  // 0.5 rounds up
    EXPECT_EQ(out.at(1, 0), 2.0);  // 1.5
    EXPECT_EQ(out.at(2, 0), 4.0);  // 3.5
    EXPECT_EQ(out.at(3, 0), 5.0);
    EXPECT_EQ(minima.count, 4);

    GreyImage empty;
    smoothRounded(empty, k, 1, 2, out, minima);
    EXPECT_EQ(out.size(), 0u);
    EXPECT_EQ(minima.count, 0);
}

// Marks columns q and q + 1 of every row of `trace` in `working`, as edge tracing does.
void markTrace(const EdgeTrace& trace, int32_t firstRow, GreyImage& working) {
    for (int32_t i = 0; i < trace.positions.count; ++i) {
        const double rounded = roundNearest(trace.positions[i]);
        if (!(std::fabs(rounded) < 1e9)) continue;
        const int32_t q = static_cast<int32_t>(rounded);
        const int32_t y = firstRow - 1 + i;
        for (int32_t column = q; column <= q + 1; ++column)
            if (column >= 1 && column <= working.width && y >= 0 && y < working.height)
                working.at(column - 1, y) = 0.0;
    }
}

TEST(SmoothingTracker, KeepsTheSmoothedGridEqualToAFullSmoothingAfterEveryEdge) {
    std::mt19937 random(9);
    const int32_t w = 41;
    const int32_t h = 30;
    for (const auto& shape : {std::make_pair(5, 5), std::make_pair(4, 6), std::make_pair(7, 3)}) {
        GreyImage working = randomGrid(w, h, random, 30, 250);
        const Kernel k = gaussianKernel(shape.first, shape.second, 1.5);
        SmoothingTracker tracker;
        tracker.start(working, k, shape.first, shape.second);
        // Edges along the left and right borders (positions 0, 0.6 and W), one wandering
        // through the middle, one off the grid, and a NaN sample; the last one starts at row 5.
        std::uniform_real_distribution<double> wander(-3.0, 3.0);
        const double centres[] = {0.2, 0.6, 20.0, 41.0, 60.0, 33.5};
        for (double centre : centres) {
            EdgeTrace trace;
            const int32_t firstRow = centre == 33.5 ? 5 : 1;
            trace.positions.allocate(h - firstRow + 1);
            for (int32_t i = 0; i < trace.positions.count; ++i)
                trace.positions[i] = centre == 20.0 ? centre + wander(random) : centre;
            if (centre == 33.5) trace.positions[3] = NAN;
            markTrace(trace, firstRow, working);
            tracker.noteMarks(trace, firstRow);

            GreyImage expected;
            Series expectedMinima;
            plainSmoothing(working, k, shape.first, shape.second, expected, expectedMinima);
            EXPECT_TRUE(sameBits(tracker.smoothed(), expected)) << "edge at " << centre;
            EXPECT_EQ(tracker.background(), expectedMinima.mean());
        }
    }
}

}  // namespace
