#include "image/smoothing_tracker.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace {

// The clamp convolve applies to a sum: not above 0 (or NaN) gives 0, not below 255 gives 255.
inline double clampSmoothed(double s) {
    if (!(s > 0.0)) return 0.0;
    if (!(s < 255.0)) return 255.0;
    return s;
}

// roundNearest of a clamped value v of 0..255: for such v the truncation is the floor, and a
// value at least half above its floor is not integral, so its ceiling is the floor plus one.
// The same comparison as roundNearest, so the same result, down to the sign of zero (+0 here).
// The step is added as 0.0 or 1.0 rather than chosen by a branch, which the half-way test
// would mispredict for every other pixel; f + 0.0 is f, zero keeping its positive sign.
inline double roundClamped(double v) {
    const double f = static_cast<double>(static_cast<int32_t>(v));
    const double step = static_cast<double>(!(v - f < 0.5));
    return f + step;
}

// Sums of the interior elements x = 0 .. n - 1 of one output row: sums[x] = the sum over the
// kernel terms t = 0 .. terms - 1, in that order, of weights[t] * sources[t][x], starting from
// 0.0. Eight neighbouring elements are summed side by side, so that their partial sums stay in
// registers (and pair into vector operations); each element still receives its terms one by
// one in the order given.
void sumKernelTerms(const double* weights,
                    const double* const* sources,
                    int32_t terms,
                    int32_t n,
                    double* __restrict sums) {
    int32_t x = 0;
    for (; x + 8 <= n; x += 8) {
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0, s5 = 0.0, s6 = 0.0, s7 = 0.0;
        for (int32_t t = 0; t < terms; ++t) {
            const double w = weights[t];
            const double* src = sources[t] + x;
            s0 += w * src[0];
            s1 += w * src[1];
            s2 += w * src[2];
            s3 += w * src[3];
            s4 += w * src[4];
            s5 += w * src[5];
            s6 += w * src[6];
            s7 += w * src[7];
        }
        sums[x] = s0;
        sums[x + 1] = s1;
        sums[x + 2] = s2;
        sums[x + 3] = s3;
        sums[x + 4] = s4;
        sums[x + 5] = s5;
        sums[x + 6] = s6;
        sums[x + 7] = s7;
    }
    for (; x < n; ++x) {
        double s = 0.0;
        for (int32_t t = 0; t < terms; ++t) s += weights[t] * sources[t][x];
        sums[x] = s;
    }
}

// The smoothed and rounded values of row y, columns xFrom .. xTo (0-based, inside the grid),
// into row[xFrom .. xTo]. Where every kernel term lands in the grid, convolve sums all of
// them, column of the kernel by column and row by row within it: those values are summed here
// for the whole stretch at once (sumKernelTerms) with the same terms in the same order. The
// other values, and every value of a kernel convolve does not apply in full, come from
// convolveAt itself.
void smoothSpan(const GreyImage& working,
                const Kernel& kernel,
                int32_t rows,
                int32_t columns,
                int32_t y,
                int32_t xFrom,
                int32_t xTo,
                double* row,
                SpanScratch& scratch) {
    const bool wholeKernel =
        rows >= 1 && columns >= 1 && rows <= kernel.rows && columns <= kernel.columns;
    const int32_t halfA = rows / 2;
    const int32_t halfB = columns / 2;
    const bool interiorRow =
        wholeKernel && y >= halfA && y <= working.height - 1 - (rows - 1 - halfA);
    const int32_t midFrom = std::max(xFrom, halfB);
    const int32_t midTo = std::min(xTo, working.width - 1 - (columns - 1 - halfB));
    if (!interiorRow || midFrom > midTo) {
        for (int32_t x = xFrom; x <= xTo; ++x)
            row[x] = roundClamped(working.convolveAt(kernel, rows, columns, x, y));
        return;
    }
    for (int32_t x = xFrom; x < midFrom; ++x)
        row[x] = roundClamped(working.convolveAt(kernel, rows, columns, x, y));
    const int32_t count = midTo - midFrom + 1;
    const size_t terms = static_cast<size_t>(rows) * static_cast<size_t>(columns);
    if (scratch.weights.size() < terms) {
        scratch.weights.resize(terms);
        scratch.sources.resize(terms);
    }
    if (scratch.sums.size() < static_cast<size_t>(count))
        scratch.sums.resize(static_cast<size_t>(count));
    // The kernel terms in convolve's order: kernel column k, then kernel row l.
    size_t t = 0;
    for (int32_t k = 0; k < columns; ++k) {
        for (int32_t l = 0; l < rows; ++l, ++t) {
            scratch.weights[t] = kernel.weight(l, k);
            scratch.sources[t] = working.data + working.index(midFrom + k - halfB, y + l - halfA);
        }
    }
    double* sums = scratch.sums.data();
    sumKernelTerms(scratch.weights.data(), scratch.sources.data(), static_cast<int32_t>(terms),
                   count, sums);
    for (int32_t i = 0; i < count; ++i) row[midFrom + i] = roundClamped(clampSmoothed(sums[i]));
    for (int32_t x = midTo + 1; x <= xTo; ++x)
        row[x] = roundClamped(working.convolveAt(kernel, rows, columns, x, y));
}

}  // namespace

void smoothRounded(const GreyImage& working,
                   const Kernel& kernel,
                   int32_t rows,
                   int32_t columns,
                   GreyImage& out,
                   Series& minima) {
    if (!out.allocate(working.width, working.height) || !minima.allocate(out.width)) {
        minima.release();
        return;
    }
    const int32_t width = out.width;
    const int32_t height = out.height;
    if (width == 0 || height == 0) return;
    SpanScratch scratch;
    double* m = minima.data;
    for (int32_t y = 0; y < height; ++y) {
        double* row = out.data + out.index(0, y);
        smoothSpan(working, kernel, rows, columns, y, 0, width - 1, row, scratch);
        // Column minima row by row: each column still sees its rows top to bottom and keeps
        // the first of equal values, as columnMinima does.
        if (y == 0) {
            for (int32_t x = 0; x < width; ++x) m[x] = row[x];
        } else {
            for (int32_t x = 0; x < width; ++x)
                if (row[x] < m[x]) m[x] = row[x];
        }
    }
}

void SmoothingTracker::start(const GreyImage& working,
                             const Kernel& kernel,
                             int32_t rows,
                             int32_t columns) {
    working_ = &working;
    kernel_ = &kernel;
    rows_ = rows;
    columns_ = columns;
    smoothRounded(working, kernel, rows, columns, smoothed_, minima_);
    dirtyFirst_.assign(static_cast<size_t>(working.height), INT32_MAX);
    dirtyLast_.assign(static_cast<size_t>(working.height), INT32_MIN);
    columnDirty_.assign(static_cast<size_t>(working.width), 0);
}

void SmoothingTracker::noteMarks(const EdgeTrace& trace, int32_t firstRow) {
    const int32_t width = smoothed_.width;
    const int32_t height = smoothed_.height;
    if (width == 0 || height == 0) return;
    // A mark at column mx, row my changes the smoothed values at columns
    // mx - (B - 1) + B/2 .. mx + B/2 and rows my - (A - 1) + A/2 .. my + A/2 (0-based).
    const int32_t left = columns_ - 1 - columns_ / 2;
    const int32_t right = columns_ / 2;
    const int32_t up = rows_ - 1 - rows_ / 2;
    const int32_t down = rows_ / 2;
    bool any = false;
    for (int32_t i = 0; i < trace.positions.count; ++i) {
        const double position = trace.positions[i];
        if (!(std::fabs(position) < 1e9)) continue;
        const int32_t q = static_cast<int32_t>(roundNearest(position));  // 1-based column
        const int32_t my = firstRow - 1 + i;
        if (my < 0 || my >= height) continue;
        // Columns q and q + 1 are marked where they lie inside the image.
        const int32_t markFirst = std::max(q, 1) - 1;
        const int32_t markLast = std::min(q + 1, width) - 1;
        if (markFirst > markLast) continue;
        const int32_t yFirst = std::max(0, my - up);
        const int32_t yLast = std::min(height - 1, my + down);
        const int32_t xFirst = std::max(0, markFirst - left);
        const int32_t xLast = std::min(width - 1, markLast + right);
        for (int32_t y = yFirst; y <= yLast; ++y) {
            dirtyFirst_[static_cast<size_t>(y)] =
                std::min(dirtyFirst_[static_cast<size_t>(y)], xFirst);
            dirtyLast_[static_cast<size_t>(y)] =
                std::max(dirtyLast_[static_cast<size_t>(y)], xLast);
        }
        any = true;
    }
    if (!any) return;
    int32_t columnFirst = INT32_MAX;
    int32_t columnLast = INT32_MIN;
    for (int32_t y = 0; y < height; ++y) {
        int32_t& first = dirtyFirst_[static_cast<size_t>(y)];
        int32_t& last = dirtyLast_[static_cast<size_t>(y)];
        if (first <= last) {
            smoothSpan(*working_, *kernel_, rows_, columns_, y, first, last,
                       smoothed_.data + smoothed_.index(0, y), scratch_);
            for (int32_t x = first; x <= last; ++x) columnDirty_[static_cast<size_t>(x)] = 1;
            columnFirst = std::min(columnFirst, first);
            columnLast = std::max(columnLast, last);
        }
        first = INT32_MAX;
        last = INT32_MIN;
    }
    // The minima of the changed columns, taken row by row over the stretch of columns that
    // holds them (each column still from the top row down, as columnMinima takes it).
    for (int32_t x = columnFirst; x <= columnLast; ++x)
        if (columnDirty_[static_cast<size_t>(x)] != 0) minima_[x] = smoothed_.at(x, 0);
    for (int32_t y = 1; y < height; ++y) {
        const double* row = smoothed_.data + smoothed_.index(0, y);
        for (int32_t x = columnFirst; x <= columnLast; ++x)
            if (columnDirty_[static_cast<size_t>(x)] != 0 && row[x] < minima_[x])
                minima_[x] = row[x];
    }
    for (int32_t x = columnFirst; x <= columnLast; ++x) columnDirty_[static_cast<size_t>(x)] = 0;
}
