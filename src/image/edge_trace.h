// Edge tracing: the exact course of one edge, row by row, around its coarse column.
#pragma once

#include <cstdint>

#include "image/grey_image.h"
#include "image/kernel.h"
#include "image/picture.h"
#include "stats/series.h"

// One traced edge: position = slope * row + intercept for its straight line.
struct EdgeTrace {
    Series positions;            // n across-line positions, pixels (1-based columns), cleaned
    Series rows;                 // sample numbers 1 .. n
    double intercept = 0.0;      // of the least-squares line through the raw positions
    double slope = 0.0;          // position change per sample
    int32_t spikesReplaced = 0;  // samples whose spike was replaced by its neighbours' mean
};

// Settings of one edge's row scan.
struct TraceSettings {
    int32_t column = 0;      // coarse column c, 1-based
    int32_t direction = 1;   // +1 scans left to right, -1 right to left
    int32_t firstRow = 1;    // 1-based
    int32_t lastRow = 0;     // 1-based
    int32_t halfWindow = 0;  // edgeHalfWindow m, pixels
    double threshold = 1.0;  // edgeThreshold T, fraction of the row's window maximum
};

// Traces one edge: smooths `working` with `kernel` (convolve, then roundValues), takes the
// background bg as the mean of the smoothed column minima, finds in every row the first
// column of the scan window where (S - bg) / (row maximum in the window) reaches the
// threshold (first-row fallback: one third of the way along the scan; later rows repeat the
// previous position), fits the least-squares line, takes perpendicular residuals, replaces
// isolated 3-sigma spikes, and stores the cleaned positions in `trace` and the cleaned
// residuals in `residuals`. Finally marks columns q and q + 1 (q = rounded position) of every
// row in `working` (0.0) and `picture` (red), each only where the pixel exists.
//
// Unusual settings: rows are clipped to the grid (nothing left: empty outputs, no marks); a
// coarse column outside 1..W is taken as the nearest border column; a negative half-window
// counts as 0 and a window past the border is cut there; a single row gives slope 0 (a
// vertical line through its one position, residual 0).
void traceEdge(GreyImage& working,
               Picture& picture,
               const Kernel& kernel,
               const TraceSettings& settings,
               EdgeTrace& trace,
               Series& residuals);

// The same trace on an already smoothed and rounded grid `smoothed` with the given
// background `background` (the mean of its column minima): the part of traceEdge after the
// smoothing. Marks `working` and `picture` as traceEdge does; `smoothed` is not changed.
void traceEdgeSmoothed(const GreyImage& smoothed,
                       double background,
                       GreyImage& working,
                       Picture& picture,
                       const TraceSettings& settings,
                       EdgeTrace& trace,
                       Series& residuals);
