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
// `edgeCount` traces in detection order; `pixelSize` is nm per pixel. A pairing other than 0
// or 1 gives the all-zero record. With no line (M = 0) the grid and Series are empty and the
// three figures are 0.
//
// N, the samples per line, is the length of the first edge of the first pair; when a used
// trace is shorter (positions or rows) N is cut to the shortest, and N = 0 is treated as no
// line. When the best partner is the last sample of the second edge, the width of the
// preceding sample is repeated; the first sample of a pair is then measured to that partner.
// A mean slope of exactly 0 (vertical lines) pairs each sample with the same sample of the
// second edge.
//
// The partner of a sample is first sought among the samples of the second edge fewer than a
// few rows from it, and the rest of the edge is searched only when a bound on the criterion
// cannot rule it out; the partners, and so every figure, are those of the search over all
// samples (measureWidthsReference), bit for bit.
WidthMeasurement measureWidths(int32_t pairing,
                               int32_t edgeCount,
                               const EdgeTrace* edges,
                               double pixelSize);

// The same measurement with every sample's partner sought among all N samples of the second
// edge (M * N * N evaluations of the criterion): the plain statement of the method, kept to
// check measureWidths and as the baseline of the benchmark.
WidthMeasurement measureWidthsReference(int32_t pairing,
                                        int32_t edgeCount,
                                        const EdgeTrace* edges,
                                        double pixelSize);

// Number of lines M that `measureWidths` forms from `edgeCount` edges with `pairing`.
int32_t lineCountFor(int32_t pairing, int32_t edgeCount);
