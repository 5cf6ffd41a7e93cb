#include "image/coarse_edges.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// A grid of `w` columns and `h` rows, dark except for the listed 1-based columns, which are
// at full brightness in every row.
GreyImage brightColumns(int32_t w, int32_t h, const std::vector<int32_t>& columns) {
    GreyImage g;
    g.allocate(w, h);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = 0.0;
    for (int32_t c : columns)
        for (int32_t y = 0; y < h; ++y) g.at(c - 1, y) = 255.0;
    return g;
}

// Adds the columns first .. last (1-based) to `columns`.
void addRange(std::vector<int32_t>& columns, int32_t first, int32_t last) {
    for (int32_t c = first; c <= last; ++c) columns.push_back(c);
}

std::vector<int32_t> columnsOf(const CoarseEdges& e) { return e.columns; }

TEST(CoarseEdges, BandsAlternateFirstAndLastColumns) {
    std::vector<int32_t> marked;
    addRange(marked, 20, 24);
    addRange(marked, 40, 44);
    addRange(marked, 70, 75);
    addRange(marked, 90, 94);
    const CoarseEdges e = locateCoarseEdges(brightColumns(120, 6, marked), 0.3);
    EXPECT_EQ(e.count, 4);
    EXPECT_EQ(e.firstRow, 1);
    EXPECT_EQ(e.lastRow, 6);
    EXPECT_EQ(columnsOf(e), (std::vector<int32_t>{20, 44, 70, 94}));
}

TEST(CoarseEdges, OddNumberOfBandsEndsWithAnOpeningColumn) {
    std::vector<int32_t> marked;
    addRange(marked, 20, 22);
    addRange(marked, 30, 33);
    addRange(marked, 50, 52);
    const CoarseEdges e = locateCoarseEdges(brightColumns(100, 3, marked), 0.3);
    EXPECT_EQ(e.count, 3);
    EXPECT_EQ(columnsOf(e), (std::vector<int32_t>{20, 33, 50}));
}

TEST(CoarseEdges, OneUnmarkedColumnDoesNotSplitABandButTwoDo) {
    EXPECT_EQ(columnsOf(locateCoarseEdges(brightColumns(80, 2, {30, 31, 33, 34}), 0.3)),
              (std::vector<int32_t>{30}));
    EXPECT_EQ(columnsOf(locateCoarseEdges(brightColumns(80, 2, {30, 31, 34, 35}), 0.3)),
              (std::vector<int32_t>{30, 35}));
    EXPECT_EQ(columnsOf(locateCoarseEdges(brightColumns(80, 2, {30, 31, 33, 34, 36, 40, 41}), 0.3)),
              (std::vector<int32_t>{30, 41}));
}

TEST(CoarseEdges, TheGapBeforeTheLastMarkedColumnIsNotExamined) {
    std::vector<int32_t> marked;
    addRange(marked, 30, 35);
    marked.push_back(50);
    const CoarseEdges e = locateCoarseEdges(brightColumns(80, 2, marked), 0.3);
    EXPECT_EQ(columnsOf(e), (std::vector<int32_t>{30}));
    // Exactly two marked columns make one band, whatever their distance.
    EXPECT_EQ(columnsOf(locateCoarseEdges(brightColumns(90, 2, {15, 70}), 0.3)),
              (std::vector<int32_t>{15}));
    // A single marked column is a band of its own.
    EXPECT_EQ(columnsOf(locateCoarseEdges(brightColumns(90, 2, {44}), 0.3)),
              (std::vector<int32_t>{44}));
}

TEST(CoarseEdges, ColumnsNearTheBordersAreNeverMarked) {
    // Columns 9 and W - 9 are bright but outside 10 .. W - 10.
    EXPECT_EQ(locateCoarseEdges(brightColumns(60, 2, {9, 51}), 0.3).count, 0);
    EXPECT_EQ(columnsOf(locateCoarseEdges(brightColumns(60, 2, {9, 10, 11, 49, 50, 51}), 0.3)),
              (std::vector<int32_t>{10, 50}));
}

TEST(CoarseEdges, UniformImageIsOneBandFromColumnTen) {
    GreyImage g = brightColumns(40, 3, {});
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = 77.0;
    const CoarseEdges e = locateCoarseEdges(g, 0.3);
    EXPECT_EQ(columnsOf(e), (std::vector<int32_t>{10}));
    // At width 20 only column 10 can be marked; below 20 none can.
    GreyImage narrow = brightColumns(20, 3, {});
    for (size_t i = 0; i < narrow.size(); ++i) narrow.data[i] = 77.0;
    EXPECT_EQ(columnsOf(locateCoarseEdges(narrow, 0.3)), (std::vector<int32_t>{10}));
    GreyImage narrower = brightColumns(19, 3, {});
    for (size_t i = 0; i < narrower.size(); ++i) narrower.data[i] = 77.0;
    const CoarseEdges none = locateCoarseEdges(narrower, 0.3);
    EXPECT_EQ(none.count, 0);
    EXPECT_TRUE(none.columns.empty());
    EXPECT_EQ(none.firstRow, 1);
    EXPECT_EQ(none.lastRow, 3);
}

TEST(CoarseEdges, BlackOrEmptyImageMarksNothing) {
    const CoarseEdges black = locateCoarseEdges(brightColumns(64, 5, {}), 0.3);
    EXPECT_EQ(black.count, 0);
    EXPECT_TRUE(black.columns.empty());
    EXPECT_EQ(black.firstRow, 1);
    EXPECT_EQ(black.lastRow, 5);
    const CoarseEdges empty = locateCoarseEdges(GreyImage(), 0.3);
    EXPECT_EQ(empty.count, 0);
    EXPECT_TRUE(empty.columns.empty());
}

TEST(CoarseEdges, BandLevelPicksTheLowestFivePercentStep) {
    // One row, brightest 200: a grey level g has the normalised value 2 g / 200 - 1, so 136
    // and 134 sit at 0.36 and 0.34.
    GreyImage g = brightColumns(80, 1, {});
    g.at(19, 0) = 200.0;  // column 20
    g.at(29, 0) = 136.0;  // column 30
    g.at(39, 0) = 134.0;  // column 40
    g.at(49, 0) = 200.0;  // column 50
    g.at(59, 0) = 200.0;  // column 60
    // Bands 20 | 30 | 40 | 50 .. 60 (the last gap is not examined).
    EXPECT_EQ(columnsOf(locateCoarseEdges(g, 0.3)), (std::vector<int32_t>{20, 30, 40, 60}));
    // 0.33 truncates to 33, so the lowest level is 35 and column 40 drops out.
    EXPECT_EQ(columnsOf(locateCoarseEdges(g, 0.33)), (std::vector<int32_t>{20, 30, 50}));
    EXPECT_EQ(columnsOf(locateCoarseEdges(g, 0.37)), (std::vector<int32_t>{20, 60}));
    EXPECT_EQ(columnsOf(locateCoarseEdges(g, 1.0)), (std::vector<int32_t>{20, 60}));
    // Above 1 there is no level at all.
    EXPECT_EQ(locateCoarseEdges(g, 1.2).count, 0);
    EXPECT_EQ(locateCoarseEdges(g, NAN).count, 0);
    // A level at or below 0 marks every column from 10 to W - 10.
    EXPECT_EQ(columnsOf(locateCoarseEdges(g, 0.0)), (std::vector<int32_t>{10}));
    EXPECT_EQ(columnsOf(locateCoarseEdges(g, -1e300)), (std::vector<int32_t>{10}));
}

}  // namespace
