#include "files/image_region.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "files/databar.h"

namespace {

constexpr int32_t kSmoothRadius = 2;
constexpr int32_t kBorderRows = 8;
constexpr int32_t kMinRunColumns = 24;
constexpr double kThresholdShare = 0.4;
constexpr double kMinThreshold = 8.0;
constexpr double kFlatShare = 0.15;
constexpr double kWidthMatch = 0.25;
constexpr int32_t kStraightRows = 8;
constexpr int32_t kMinGrid = 32;
// Columns beside a run compared with it, and the gap left for the blur of its edges.
constexpr int32_t kBesideColumns = 16;
constexpr int32_t kBesideGap = 3;
constexpr double kBesideShare = 0.25;
// Rows without pattern at the picture's top or bottom: their spread against the middle's, and
// the rows beyond them left out too (the blur of the strip's edge and the 5 x 5 smoothing).
constexpr double kFlatRowShare = 0.25;
constexpr int32_t kFlatMarginRows = 4;

// out = the mean of the (2 r + 1) x (2 r + 1) neighbourhood of each element of rows
// first .. end - 1 of `grid`, the neighbourhood cut at the borders of those rows.
bool boxMean(const GreyImage& grid, int32_t first, int32_t end, GreyImage& out) {
    const int32_t height = end - first;
    GreyImage across;
    if (!across.allocate(grid.width, height) || !out.allocate(grid.width, height)) return false;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < grid.width; ++x) {
            const int32_t x0 = std::max(0, x - kSmoothRadius);
            const int32_t x1 = std::min(grid.width - 1, x + kSmoothRadius);
            double sum = 0.0;
            for (int32_t i = x0; i <= x1; ++i) sum += grid.at(i, first + y);
            across.at(x, y) = sum / (x1 - x0 + 1);
        }
    }
    for (int32_t y = 0; y < height; ++y) {
        const int32_t y0 = std::max(0, y - kSmoothRadius);
        const int32_t y1 = std::min(height - 1, y + kSmoothRadius);
        for (int32_t x = 0; x < grid.width; ++x) {
            double sum = 0.0;
            for (int32_t j = y0; j <= y1; ++j) sum += across.at(x, j);
            out.at(x, y) = sum / (y1 - y0 + 1);
        }
    }
    return true;
}

// The value below which a share `p` (0..1) of `values` lies: element floor(p (n - 1)) of the
// sorted values. `values` is not empty.
double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

// Mean and standard deviation of values[a .. end - 1]; a < end.
double mean(const std::vector<double>& values, int32_t a, int32_t end) {
    double sum = 0.0;
    for (int32_t i = a; i < end; ++i) sum += values[static_cast<size_t>(i)];
    return sum / (end - a);
}

double spread(const std::vector<double>& values, int32_t a, int32_t end) {
    const double m = mean(values, a, end);
    double sum = 0.0;
    for (int32_t i = a; i < end; ++i) {
        const double d = values[static_cast<size_t>(i)] - m;
        sum += d * d;
    }
    return std::sqrt(sum / (end - a));
}

// The smoothed grid with the profiles of its middle band and of one border band.
struct Bands {
    const GreyImage* smooth = nullptr;
    std::vector<double> middle;  // mean of the middle band, per column
    std::vector<double> border;  // mean of the border band, per column
    int32_t middleRow = 0;       // 0-based rows of the smoothed grid
    int32_t halfBand = 0;
    bool fromBottom = false;
    // Row `i` counted from the border (0 = the outermost row).
    int32_t row(int32_t i) const { return fromBottom ? smooth->height - 1 - i : i; }
};

// Width of the run of line-body pixels through column `c` in row `y` (0 when `c` is not in
// the body), the body being the pixels nearer to the middle's level than to the border's.
int32_t bodyWidth(const Bands& bands, int32_t c, int32_t y) {
    const GreyImage& s = *bands.smooth;
    const size_t column = static_cast<size_t>(c);
    const double cut = 0.5 * (bands.middle[column] + bands.border[column]);
    const bool above = bands.middle[column] > cut;
    const auto inBody = [&](int32_t x) { return (s.at(x, y) > cut) == above; };
    if (!inBody(c)) return 0;
    int32_t left = c;
    int32_t right = c;
    while (left > 0 && inBody(left - 1)) --left;
    while (right + 1 < s.width && inBody(right + 1)) ++right;
    return right - left + 1;
}

// For the run of columns a .. end - 1 that differs between the border and the middle: the row,
// counted from the border, from which the line body runs at its full width; -1 when the run is
// not the end of a line.
// `banded`: the run is a line with a bright band inside each edge, whose middle profile is not
// flat by nature; only its border side is asked to be flat.
int32_t straightFrom(const Bands& bands, int32_t a, int32_t end, bool banded) {
    const GreyImage& s = *bands.smooth;
    const int32_t width = end - a;
    double difference = 0.0;
    for (int32_t x = a; x < end; ++x) {
        difference +=
            std::fabs(bands.border[static_cast<size_t>(x)] - bands.middle[static_cast<size_t>(x)]);
    }
    difference /= width;
    // The body and the background are flat away from the run's own edges.
    const int32_t trim = width / 8;
    if ((!banded && spread(bands.middle, a + trim, end - trim) > kFlatShare * difference) ||
        spread(bands.border, a + trim, end - trim) > kFlatShare * difference) {
        return -1;
    }
    // Where a line ends, the border shows the same background across the run and beside it; a
    // particle or defect stands out from its surroundings.
    const double runLevel = mean(bands.border, a, end);
    const int32_t besideLeft = std::max(0, a - kBesideGap - kBesideColumns);
    const int32_t besideRight = std::min(s.width, end + kBesideGap + kBesideColumns);
    if ((a - kBesideGap > besideLeft && std::fabs(mean(bands.border, besideLeft, a - kBesideGap) -
                                                  runLevel) > kBesideShare * difference) ||
        (besideRight > end + kBesideGap &&
         std::fabs(mean(bands.border, end + kBesideGap, besideRight) - runLevel) >
             kBesideShare * difference)) {
        return -1;
    }
    // Where each column turns from the border's level to the middle's.
    const int32_t limit = bands.fromBottom ? s.height - 1 - bands.middleRow : bands.middleRow;
    std::vector<double> turns;
    for (int32_t x = a; x < end; ++x) {
        const size_t column = static_cast<size_t>(x);
        int32_t i = 0;
        for (; i < limit; ++i) {
            const double v = s.at(x, bands.row(i));
            if (std::fabs(v - bands.middle[column]) < std::fabs(v - bands.border[column])) break;
        }
        turns.push_back(i);
    }
    const double quartileRange = percentile(turns, 0.75) - percentile(turns, 0.25);
    if (quartileRange > std::max(8.0, 0.25 * width)) return -1;
    // The body's full width, from the middle band.
    const int32_t centre = a + width / 2;
    std::vector<double> widths;
    for (int32_t y = bands.middleRow - bands.halfBand; y <= bands.middleRow + bands.halfBand; ++y)
        widths.push_back(bodyWidth(bands, centre, y));
    const double fullWidth = percentile(widths, 0.5);
    if (std::fabs(fullWidth - width) > kWidthMatch * fullWidth) return -1;
    const double tolerance = std::max(3.0, 0.03 * fullWidth);
    // A banded line's end is closed by a band across it, as wide as the line: there its middle
    // third must also be back at the middle's level (within half the difference there).
    const int32_t thirdA = a + width / 3;
    const int32_t thirdEnd = end - width / 3;
    const double thirdMiddle = mean(bands.middle, thirdA, thirdEnd);
    const double thirdDifference = std::fabs(mean(bands.border, thirdA, thirdEnd) - thirdMiddle);
    const auto bodyAsInMiddle = [&](int32_t y) {
        if (!banded) return true;
        double sum = 0.0;
        for (int32_t x = thirdA; x < thirdEnd; ++x) sum += s.at(x, y);
        return std::fabs(sum / (thirdEnd - thirdA) - thirdMiddle) <= 0.5 * thirdDifference;
    };
    int32_t straight = 0;
    for (int32_t i = static_cast<int32_t>(percentile(turns, 0.5)); i < limit; ++i) {
        if (bodyWidth(bands, centre, bands.row(i)) >= fullWidth - tolerance &&
            bodyAsInMiddle(bands.row(i))) {
            if (++straight == kStraightRows) return i - kStraightRows + 1;
        } else {
            straight = 0;
        }
    }
    return -1;
}

// A run of columns a .. end - 1 whose border differs from the middle the same way (brighter
// or darker).
struct Run {
    int32_t a = 0;
    int32_t end = 0;
    bool brighter = false;
};

// Rows, counted from the border of `bands`, to cut away so that every line ending there is
// left out with its corners.
int32_t rowsToCut(const Bands& bands) {
    const GreyImage& s = *bands.smooth;
    const double low = percentile(bands.middle, 0.05);
    const double high = percentile(bands.middle, 0.95);
    const double threshold = std::max(kMinThreshold, kThresholdShare * (high - low));
    const int32_t minRun = std::max(kMinRunColumns, s.width / 64);
    const auto difference = [&](int32_t i) {
        return bands.border[static_cast<size_t>(i)] - bands.middle[static_cast<size_t>(i)];
    };
    std::vector<Run> runs;
    for (int32_t x = 0; x < s.width;) {
        if (std::fabs(difference(x)) <= threshold) {
            ++x;
            continue;
        }
        Run run{x, x, difference(x) > 0.0};
        while (x < s.width && std::fabs(difference(x)) > threshold &&
               (difference(x) > 0.0) == run.brighter) {
            ++x;
        }
        run.end = x;
        runs.push_back(run);
    }
    int32_t cut = 0;
    for (const Run& run : runs) {
        if (run.end - run.a >= minRun)
            cut = std::max(cut, straightFrom(bands, run.a, run.end, false));
    }
    // A line with a bright band inside each edge ends as two narrow runs (its bands) joined by
    // its body, which differs from the background by less than the threshold but the same way.
    // Such runs are joined across columns that differ by more than a quarter of the threshold,
    // and the joined run taken out to those columns on both sides.
    const double joinLevel = std::max(kMinThreshold, 0.25 * threshold);
    const auto joins = [&](int32_t x, bool brighter) {
        return std::fabs(difference(x)) > joinLevel && (difference(x) > 0.0) == brighter;
    };
    for (size_t i = 0; i < runs.size();) {
        size_t j = i;
        while (j + 1 < runs.size() && runs[j + 1].brighter == runs[i].brighter) {
            int32_t x = runs[j].end;
            while (x < runs[j + 1].a && joins(x, runs[i].brighter)) ++x;
            if (x < runs[j + 1].a) break;
            ++j;
        }
        if (j > i) {
            int32_t a = runs[i].a;
            int32_t end = runs[j].end;
            while (a > 0 && joins(a - 1, runs[i].brighter)) --a;
            while (end < s.width && joins(end, runs[i].brighter)) ++end;
            if (end - a >= minRun) cut = std::max(cut, straightFrom(bands, a, end, true));
        }
        i = j + 1;
    }
    return cut;
}

// The rows of `smooth` at its top and at its bottom that hold no pattern: a row whose
// 5 %-95 % spread is under kFlatRowShare of that of the mean of the middle fifth of the rows
// (a blank strip where the scan stopped, a bar without marks). 0 and 0 when the middle is flat
// too or every row is.
void flatBorderRows(const GreyImage& smooth, int32_t& top, int32_t& bottom) {
    top = 0;
    bottom = 0;
    const int32_t w = smooth.width;
    const int32_t h = smooth.height;
    std::vector<double> middle(static_cast<size_t>(w), 0.0);
    const int32_t a = 2 * h / 5;
    const int32_t b = std::max(a + 1, 3 * h / 5);
    for (int32_t y = a; y < b; ++y)
        for (int32_t x = 0; x < w; ++x) middle[static_cast<size_t>(x)] += smooth.at(x, y) / (b - a);
    const double level = kFlatRowShare * (percentile(middle, 0.95) - percentile(middle, 0.05));
    if (!(level > 0.0)) return;
    std::vector<double> row(static_cast<size_t>(w));
    const auto flat = [&](int32_t y) {
        for (int32_t x = 0; x < w; ++x) row[static_cast<size_t>(x)] = smooth.at(x, y);
        return percentile(row, 0.95) - percentile(row, 0.05) < level;
    };
    while (top < h && flat(top)) ++top;
    if (top == h) {
        top = 0;
        return;
    }
    while (bottom < h - top && flat(h - 1 - bottom)) ++bottom;
}

}  // namespace

RowRange detectLineRows(const GreyImage& grid) {
    RowRange range{1, grid.height};
    if (grid.data == nullptr || grid.height < 1) return range;
    const DatabarRows bar = detectDatabar(grid);
    int32_t first = bar.top;
    int32_t end = grid.height - bar.bottom;
    range = RowRange{first + 1, end};
    if (grid.width < kMinGrid || end - first < kMinGrid) return range;
    for (size_t i = 0; i < grid.size(); ++i) {
        if (!std::isfinite(grid.data[i])) return range;
    }
    GreyImage smooth;
    if (!boxMean(grid, first, end, smooth)) return range;
    // Blank strips at the top or bottom are left out first, with the rows their edge blurs.
    int32_t flatTop = 0;
    int32_t flatBottom = 0;
    flatBorderRows(smooth, flatTop, flatBottom);
    // (Not when fewer than kMinGrid rows would be left: the picture is then taken as it is.)
    const int32_t keptFirst = flatTop > 0 ? first + flatTop + kFlatMarginRows : first;
    const int32_t keptEnd = flatBottom > 0 ? end - flatBottom - kFlatMarginRows : end;
    if (flatTop + flatBottom > 0 && keptEnd - keptFirst >= kMinGrid) {
        first = keptFirst;
        end = keptEnd;
        range = RowRange{first + 1, end};
        if (!boxMean(grid, first, end, smooth)) return range;
    }
    const int32_t height = end - first;

    Bands bands;
    bands.smooth = &smooth;
    bands.middleRow = height / 2;
    bands.halfBand = std::max(2, height / 10);
    bands.middle.assign(static_cast<size_t>(grid.width), 0.0);
    for (int32_t y = bands.middleRow - bands.halfBand; y <= bands.middleRow + bands.halfBand; ++y) {
        for (int32_t x = 0; x < grid.width; ++x)
            bands.middle[static_cast<size_t>(x)] += smooth.at(x, y);
    }
    for (double& v : bands.middle) v /= 2 * bands.halfBand + 1;

    int32_t cuts[2] = {0, 0};
    for (int side = 0; side < 2; ++side) {
        bands.fromBottom = side == 1;
        bands.border.assign(static_cast<size_t>(grid.width), 0.0);
        for (int32_t i = 0; i < kBorderRows; ++i) {
            for (int32_t x = 0; x < grid.width; ++x)
                bands.border[static_cast<size_t>(x)] += smooth.at(x, bands.row(i));
        }
        for (double& v : bands.border) v /= kBorderRows;
        cuts[side] = rowsToCut(bands);
    }
    range.first = first + cuts[0] + 1;
    range.last = end - cuts[1];
    return range;
}
