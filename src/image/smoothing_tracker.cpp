#include "image/smoothing_tracker.h"

#include <algorithm>
#include <climits>
#include <cmath>

void SmoothingTracker::start(const GreyImage& working,
                             const Kernel& kernel,
                             int32_t rows,
                             int32_t columns) {
    working_ = &working;
    kernel_ = &kernel;
    rows_ = rows;
    columns_ = columns;
    working.convolve(smoothed_, kernel, rows, columns);
    smoothed_.roundValues();
    smoothed_.columnMinima(minima_);
    dirtyFirst_.assign(static_cast<size_t>(working.height), INT32_MAX);
    dirtyLast_.assign(static_cast<size_t>(working.height), INT32_MIN);
    columnDirty_.assign(static_cast<size_t>(working.width), 0);
}

void SmoothingTracker::refreshColumnMinimum(int32_t x) {
    double best = smoothed_.height > 0 ? smoothed_.at(x, 0) : NAN;
    for (int32_t y = 1; y < smoothed_.height; ++y) {
        const double v = smoothed_.at(x, y);
        if (v < best) best = v;
    }
    minima_[x] = best;
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
    for (int32_t y = 0; y < height; ++y) {
        int32_t& first = dirtyFirst_[static_cast<size_t>(y)];
        int32_t& last = dirtyLast_[static_cast<size_t>(y)];
        for (int32_t x = first; x <= last; ++x) {
            smoothed_.at(x, y) =
                roundNearest(working_->convolveAt(*kernel_, rows_, columns_, x, y));
            columnDirty_[static_cast<size_t>(x)] = 1;
        }
        first = INT32_MAX;
        last = INT32_MIN;
    }
    for (int32_t x = 0; x < width; ++x) {
        if (columnDirty_[static_cast<size_t>(x)] == 0) continue;
        refreshColumnMinimum(x);
        columnDirty_[static_cast<size_t>(x)] = 0;
    }
}
