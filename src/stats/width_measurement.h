// Local widths between paired edges and the per-line and per-image width figures.
#pragma once

#include <cstdint>

#include "image/edge_trace.h"
#include "image/grey_image.h"
#include "stats/series.h"

struct WidthMeasurement {
    double cdVariation = 0.0;    // population standard deviation of lineMeans, nm
    double meanLineSigma = 0.0;  // mean of lineSigmas, nm
    double cdAverage = 0.0;      // mean of lineMeans, nm
    GreyImage widthGrid;         // N rows (samples) x M columns (lines), pixels
    Series lineSigmas;           // per line, population sigma of its widths, nm
    Series lineMeans;            // per line, mean width, nm
};

// Pairs the traces (pairing 1: edges 1-2, 3-4, ...; 0: edges 2-3, 4-5, ...) and measures, for
// every sample of a pair's first edge, the distance to the sample of the second edge whose
// connecting segment is closest to the normal of the pair's mean slope. `edges` holds
// `edgeCount` traces in detection order. A pairing other than 0 or 1 gives the all-zero
// record. With no line (M = 0) the grid and Series are empty and the three figures are 0.
WidthMeasurement measureWidths(int32_t pairing,
                               int32_t edgeCount,
                               const EdgeTrace* edges,
                               double pixelSize);

// Number of lines M that `measureWidths` forms from `edgeCount` edges with `pairing`.
int32_t lineCountFor(int32_t pairing, int32_t edgeCount);
