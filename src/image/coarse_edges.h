// Coarse edge location: one approximate column per edge from the column brightness profile.
#pragma once

#include <cstdint>
#include <vector>

#include "image/grey_image.h"

// Approximate edge columns with the row range to analyse.
struct CoarseEdges {
    int32_t count = 0;     // entries in `columns` (the number of bright bands)
    int32_t firstRow = 0;  // 1-based, always 1
    int32_t lastRow = 0;   // 1-based, always the image height
    // 1-based columns in increasing order: even entries are the first column of a band, odd
    // entries the last column of the next band.
    std::vector<int32_t> columns;

    void release() {
        columns.clear();
        count = firstRow = lastRow = 0;
    }
};

// Locates the bright bands of `grid` (grey levels) at `bandLevel` (fraction of the normalised
// profile; the pipeline passes 0.3). Profile p(x) = sum over rows, first to last, of
// (1 / max) * grid(x, y); normalised by subtracting half its maximum, clamping negatives and
// dividing by the new maximum. Columns 10 .. W - 10 (1-based) whose value reaches the lowest
// level tried (100, 95, ... down to trunc(100 * bandLevel)) are marked; marked columns more
// than 2 apart start a new band, except across the last gap. No marked column gives `count` 0
// (with firstRow 1 and lastRow = height).
CoarseEdges locateCoarseEdges(const GreyImage& grid, double bandLevel);
