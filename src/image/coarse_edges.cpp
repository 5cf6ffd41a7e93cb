#include "image/coarse_edges.h"

#include "stats/series.h"

namespace {

// Columns this close to either border are never marked: 1 .. 9 on the left, the last 10 on
// the right.
constexpr int32_t kFirstMarkableColumn = 10;
constexpr int32_t kRightMargin = 10;

// The lowest of the levels 100, 95, 90, ... that is not below trunc(100 * bandLevel), in
// percent of the normalised profile. False when no level is tried (the truncated value is above
// 100, or bandLevel is not a number). Any value at or below 0 marks every column that is a
// number, so very low levels are held at -5 before the truncation, which keeps it defined.
bool lowestLevel(double bandLevel, int32_t& level) {
    const double percent = 100.0 * bandLevel;
    if (!(percent < 101.0)) return false;  // NaN, or a truncation above 100
    const int32_t floorPercent = percent < -5.0 ? -5 : static_cast<int32_t>(percent);
    if (floorPercent > 100) return false;
    level = 100;
    while (level - 5 >= floorPercent) level -= 5;
    return true;
}

}  // namespace

CoarseEdges locateCoarseEdges(const GreyImage& grid, double bandLevel) {
    CoarseEdges edges;
    edges.firstRow = 1;
    edges.lastRow = grid.height;
    const int32_t w = grid.width;
    if (w < kFirstMarkableColumn + kRightMargin || grid.height < 1) return edges;

    // Column profile, each column summed from the first row down, in units of the brightest
    // pixel. An all-black grid gives 0 * inf = NaN everywhere, which marks nothing below.
    const double reciprocalMax = 1.0 / grid.maxValue();
    Series profile;
    if (!profile.allocate(w)) return edges;
    // The grid is read row by row, every column's sum advancing one row at a time: each sum
    // still adds its column's terms from the first row down.
    profile.zero();
    double* sums = profile.data;
    for (int32_t y = 0; y < grid.height; ++y) {
        const double* row = grid.data + grid.index(0, y);
        for (int32_t x = 0; x < w; ++x) sums[x] += reciprocalMax * row[x];
    }
    profile.subtract(0.5 * profile.maximum());
    profile.clampNegatives();
    profile.divide(profile.maximum());

    int32_t level = 0;
    if (!lowestLevel(bandLevel, level)) return edges;
    const double threshold = level * 0.01;

    // Bands are grown from the marked columns in increasing order. A band ends at a marked
    // column that is followed by at least two unmarked ones, except that the gap after the
    // next-to-last marked column is never examined: the last marked column always closes the
    // band that is open.
    std::vector<int32_t> starts;
    std::vector<int32_t> ends;
    int32_t previous = 0;    // last marked column seen, 1-based
    int32_t beforeLast = 0;  // the marked column before `previous`
    int32_t markedCount = 0;
    for (int32_t column = kFirstMarkableColumn; column <= w - kRightMargin; ++column) {
        if (!(profile[column - 1] >= threshold)) continue;
        if (markedCount == 0) starts.push_back(column);
        // The gap from beforeLast to previous is examined once a third column is known to
        // follow it, so that the gap between the last two marked columns never is.
        if (markedCount >= 2 && previous - beforeLast > 2) {
            starts.push_back(previous);
            ends.push_back(beforeLast);
        }
        beforeLast = previous;
        previous = column;
        ++markedCount;
    }
    if (markedCount == 0) return edges;
    ends.push_back(previous);

    const int32_t bands = static_cast<int32_t>(starts.size());
    edges.columns.resize(static_cast<size_t>(bands));
    for (int32_t i = 0; i < bands; ++i)
        edges.columns[static_cast<size_t>(i)] =
            (i % 2 == 0) ? starts[static_cast<size_t>(i)] : ends[static_cast<size_t>(i)];
    edges.count = bands;
    return edges;
}
