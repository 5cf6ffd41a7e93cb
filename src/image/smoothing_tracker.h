// The smoothed working image kept up to date across the edges of one image.
//
// Edge tracing smooths the working image anew for every edge because the marks of the edges
// traced before change it. The marks touch two pixels per row, so only the smoothed values
// whose kernel footprint covers a new mark change; recomputing just those, with the same
// arithmetic, gives exactly the grid a full smoothing would give, and with it the same column
// minima and background.
#pragma once

#include <cstdint>
#include <vector>

#include "image/edge_trace.h"
#include "image/grey_image.h"
#include "image/kernel.h"
#include "stats/series.h"

// Smooths `working` with the first `rows` x `columns` weights of `kernel` and rounds the result:
// `out` receives exactly the values of working.convolve(out, kernel, rows, columns) followed by
// out.roundValues() (clamped to 0..255, then rounded halves away from zero), and `minima` the
// column minima of `out` (as out.columnMinima(minima)). Every value is formed with the same
// products and sums in the same order as convolve forms it; only the order in which the values
// are visited differs (row by row, the kernel applied to a whole row at a time), which keeps the
// rows being read in the cache. `out` and `minima` are reallocated; both are empty for an empty
// grid.
void smoothRounded(const GreyImage& working,
                   const Kernel& kernel,
                   int32_t rows,
                   int32_t columns,
                   GreyImage& out,
                   Series& minima);

// Working storage of the row-by-row smoothing, kept between rows and between edges.
struct SpanScratch {
    std::vector<double> weights;         // the kernel's weights in summation order
    std::vector<const double*> sources;  // per weight, where its terms start in the grid
    std::vector<double> sums;            // the sums of one stretch of a row
};

class SmoothingTracker {
public:
    // Smooths `working` in full (smoothRounded: convolve, then roundNearest) and takes its
    // column minima.
    // `working` must outlive the tracker and change only through traced marks.
    void start(const GreyImage& working, const Kernel& kernel, int32_t rows, int32_t columns);

    // Brings the smoothed grid up to date with the marks of `trace` (columns q and q + 1 of
    // every sample, q its rounded position, rows from `firstRow`) made in the working image.
    void noteMarks(const EdgeTrace& trace, int32_t firstRow);

    const GreyImage& smoothed() const { return smoothed_; }
    // Mean of the smoothed grid's column minima.
    double background() const { return minima_.mean(); }

private:
    const GreyImage* working_ = nullptr;
    const Kernel* kernel_ = nullptr;
    int32_t rows_ = 0;
    int32_t columns_ = 0;
    GreyImage smoothed_;
    Series minima_;
    std::vector<int32_t> dirtyFirst_;         // per row, first column to recompute (or INT32_MAX)
    std::vector<int32_t> dirtyLast_;          // per row, last column to recompute
    std::vector<unsigned char> columnDirty_;  // per column, its minimum must be taken anew
    SpanScratch scratch_;
};
