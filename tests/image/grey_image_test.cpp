#include "image/grey_image.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <vector>

namespace {

// A grid of `w` columns filled row after row with `values`.
GreyImage grid(int32_t w, int32_t h, std::initializer_list<double> values) {
    GreyImage g;
    g.allocate(w, h);
    size_t i = 0;
    for (double v : values) g.data[i++] = v;
    return g;
}

GreyImage uniform(int32_t w, int32_t h, double v) {
    GreyImage g;
    g.allocate(w, h);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = v;
    return g;
}

Kernel kernelOf(int32_t rows, int32_t columns, std::vector<double> weights) {
    Kernel k;
    k.rows = rows;
    k.columns = columns;
    k.weights = std::move(weights);
    return k;
}

TEST(GreyImage, AllocateRefusesNegativeSizesAndStaysEmpty) {
    GreyImage g = uniform(3, 2, 1.0);
    EXPECT_FALSE(g.allocate(-1, 4));
    EXPECT_EQ(g.width, 0);
    EXPECT_EQ(g.height, 0);
    EXPECT_EQ(g.data, nullptr);
    EXPECT_TRUE(g.allocate(0, 0));
    EXPECT_EQ(g.size(), 0u);
}

TEST(GreyImage, CopiesAreDeep) {
    GreyImage a = grid(2, 1, {1, 2});
    GreyImage b(a);
    b.at(0, 0) = 9;
    EXPECT_EQ(a.at(0, 0), 1.0);
    GreyImage c;
    c = b;
    c.at(1, 0) = 7;
    EXPECT_EQ(b.at(1, 0), 2.0);
    EXPECT_EQ(c.at(0, 0), 9.0);
}

TEST(GreyImage, ColumnExtremesReportTheFirstRowOfATie) {
    // One column holding 5, 9, 9, 1 in rows 1 to 4, next to one holding 3, 3, 8, 3.
    const GreyImage g = grid(2, 4, {5, 3, 9, 3, 9, 8, 1, 3});
    Series values;
    Series rows;
    g.columnMaxima(values, &rows);
    ASSERT_EQ(values.count, 2);
    EXPECT_EQ(values[0], 9.0);
    EXPECT_EQ(rows[0], 2.0);
    EXPECT_EQ(values[1], 8.0);
    EXPECT_EQ(rows[1], 3.0);
    g.columnMinima(values, &rows);
    EXPECT_EQ(values[0], 1.0);
    EXPECT_EQ(rows[0], 4.0);
    EXPECT_EQ(values[1], 3.0);
    EXPECT_EQ(rows[1], 1.0);
    g.columnMinima(values);
    EXPECT_EQ(values.count, 2);
    EXPECT_EQ(g.maxValue(), 9.0);
}

TEST(GreyImage, RowStatisticsUseTheRowWidth) {
    const GreyImage g = grid(4, 2, {1, 2, 3, 4, 2, 2, 2, 2});
    Series means;
    g.rowMeans(means);
    ASSERT_EQ(means.count, 2);
    EXPECT_EQ(means[0], 2.5);
    EXPECT_EQ(means[1], 2.0);
    Series sd;
    g.rowStdDevs(sd, true);
    EXPECT_DOUBLE_EQ(sd[0], std::sqrt(1.25));
    EXPECT_EQ(sd[1], 0.0);
    g.rowStdDevs(sd, false);
    EXPECT_DOUBLE_EQ(sd[0], std::sqrt(5.0 / 3.0));
}

TEST(GreyImage, RowStdDevsOfOneColumnIsZeroWhateverTheFlag) {
    const GreyImage g = grid(1, 3, {4, 8, 15});
    Series sd;
    g.rowStdDevs(sd, false);
    ASSERT_EQ(sd.count, 3);
    for (int32_t y = 0; y < 3; ++y) EXPECT_EQ(sd[y], 0.0);
    g.rowStdDevs(sd, true);
    for (int32_t y = 0; y < 3; ++y) EXPECT_EQ(sd[y], 0.0);
}

TEST(GreyImage, ColumnSegmentTakesOneBasedRowsOfOneColumn) {
    const GreyImage g = grid(2, 4, {1, 10, 2, 20, 3, 30, 4, 40});
    Series s;
    g.columnSegment(s, 2, 2, 4);
    ASSERT_EQ(s.count, 3);
    EXPECT_EQ(s[0], 20.0);
    EXPECT_EQ(s[2], 40.0);
}

TEST(GreyImage, CropClampsOnlyTheColumnRange) {
    GreyImage g;
    g.allocate(10, 3);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 10; ++x) g.at(x, y) = 100 * (y + 1) + x + 1;
    GreyImage out;
    g.crop(out, 8, 2, 5, 1);
    ASSERT_EQ(out.width, 3);
    ASSERT_EQ(out.height, 2);
    EXPECT_EQ(out.at(0, 0), 208.0);
    EXPECT_EQ(out.at(2, 0), 210.0);
    EXPECT_EQ(out.at(2, 1), 310.0);
}

TEST(GreyImage, ConvolveClampsToTheGreyRange) {
    const GreyImage g = grid(3, 1, {-5, 100, 300});
    GreyImage out;
    g.convolve(out, kernelOf(1, 1, {1.0}), 1, 1);
    ASSERT_EQ(out.width, 3);
    EXPECT_EQ(out.at(0, 0), 0.0);
    EXPECT_EQ(out.at(1, 0), 100.0);
    EXPECT_EQ(out.at(2, 0), 255.0);
}

TEST(GreyImage, ConvolveLeavesNeighboursOutsideTheGridOut) {
    const GreyImage g = uniform(4, 3, 80.0);
    GreyImage out;
    g.convolve(out, kernelOf(3, 3, std::vector<double>(9, 0.125)), 3, 3);
    EXPECT_EQ(out.at(0, 0), 40.0);
    EXPECT_EQ(out.at(3, 2), 40.0);
    EXPECT_EQ(out.at(1, 0), 60.0);
    EXPECT_EQ(out.at(0, 1), 60.0);
    EXPECT_EQ(out.at(3, 1), 60.0);
    EXPECT_EQ(out.at(1, 1), 90.0);
    EXPECT_EQ(out.at(2, 1), 90.0);
}

TEST(GreyImage, ConvolveAppliesTheKernelWithoutMirroring) {
    // The only weight sits in kernel row 0 (one row up) and column 2 (one column right), so
    // each output takes the element up and to the right of it.
    GreyImage g;
    g.allocate(4, 4);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = static_cast<double>(i + 1);
    GreyImage out;
    g.convolve(out, kernelOf(3, 3, {0, 0, 1, 0, 0, 0, 0, 0, 0}), 3, 3);
    EXPECT_EQ(out.at(1, 1), g.at(2, 0));
    EXPECT_EQ(out.at(2, 3), g.at(3, 2));
    EXPECT_EQ(out.at(3, 1), 0.0);  // right neighbour outside
    EXPECT_EQ(out.at(1, 0), 0.0);  // row above outside
}

TEST(GreyImage, ConvolveWithoutUsableWeightsGivesZeros) {
    const GreyImage g = uniform(3, 3, 50.0);
    GreyImage out;
    g.convolve(out, Kernel(), 0, 0);
    ASSERT_EQ(out.width, 3);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out.data[i], 0.0);
    g.convolve(out, kernelOf(1, 1, {NAN}), 1, 1);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out.data[i], 0.0);
    // Sizes beyond the kernel's own would read past its weights.
    g.convolve(out, kernelOf(1, 1, {1.0}), 5, 7);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out.data[i], 0.0);
}

TEST(GreyImage, SubtractTransposeAndRound) {
    const GreyImage g = grid(3, 2, {1, 2, 3, 4, 5, 6});
    GreyImage shifted;
    g.subtractInto(shifted, 1.5);
    EXPECT_EQ(shifted.at(2, 1), 4.5);
    GreyImage t;
    g.transpose(t);
    ASSERT_EQ(t.width, 2);
    ASSERT_EQ(t.height, 3);
    EXPECT_EQ(t.at(1, 0), 4.0);
    EXPECT_EQ(t.at(0, 2), 3.0);
    GreyImage back;
    t.transpose(back);
    ASSERT_EQ(back.width, 3);
    for (size_t i = 0; i < g.size(); ++i) EXPECT_EQ(back.data[i], g.data[i]);

    GreyImage r = grid(4, 1, {0.5, 1.49, -0.5, -2.5});
    r.roundValues();
    EXPECT_EQ(r.at(0, 0), 1.0);
    EXPECT_EQ(r.at(1, 0), 1.0);
    EXPECT_EQ(r.at(2, 0), -1.0);
    EXPECT_EQ(r.at(3, 0), -3.0);
}

TEST(FillRange, FillsAnArithmeticSequenceUpToTheLastValue) {
    Series s;
    fillRange(s, 1, 5, 1);
    ASSERT_EQ(s.count, 5);
    EXPECT_EQ(s[4], 5.0);
    fillRange(s, 1, 10, 3);
    ASSERT_EQ(s.count, 4);
    EXPECT_EQ(s[0], 1.0);
    EXPECT_EQ(s[3], 10.0);
    fillRange(s, 5, 1, 1);
    EXPECT_EQ(s.count, 0);
    fillRange(s, 1, 5, 0);
    EXPECT_EQ(s.count, 0);
}

}  // namespace
