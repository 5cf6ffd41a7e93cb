#include "image/edge_trace.h"

#include <cmath>
#include <utility>

namespace {

// A double that converts to a 32-bit integer without undefined behaviour.
bool fitsInt32(double v) { return v >= -2147483648.0 && v < 2147483648.0; }

void clearOutputs(EdgeTrace& trace, Series& residuals) {
    trace.positions.release();
    trace.rows.release();
    trace.intercept = 0.0;
    trace.slope = 0.0;
    residuals.release();
}

// Blacks out column `column`, row `row` (both 1-based) in the working image and paints it red in
// the picture, each only where the pixel exists.
void markPixel(GreyImage& working, Picture& picture, int32_t column, int32_t row) {
    if (column >= 1 && column <= working.width && row >= 1 && row <= working.height)
        working.at(column - 1, row - 1) = 0.0;
    if (picture.bytes != nullptr && column >= 1 && column <= picture.width && row >= 1 &&
        row <= picture.height) {
        unsigned char* p = picture.pixel(column - 1, row - 1);
        p[0] = 255;
        p[1] = 0;
        p[2] = 0;
    }
}

}  // namespace

void traceEdge(GreyImage& working,
               Picture& picture,
               const Kernel& kernel,
               const TraceSettings& settings,
               EdgeTrace& trace,
               Series& residuals) {
    // The smoothing is redone for every edge because the marks of the edges traced before
    // this one change the grey levels it reads.
    GreyImage smoothed;
    working.convolve(smoothed, kernel, kernel.rows, kernel.columns);
    smoothed.roundValues();
    Series minima;
    smoothed.columnMinima(minima);
    const double background = minima.mean();
    traceEdgeSmoothed(smoothed, background, working, picture, settings, trace, residuals);
}

void traceEdgeSmoothed(const GreyImage& smoothed,
                       double background,
                       GreyImage& working,
                       Picture& picture,
                       const TraceSettings& settings,
                       EdgeTrace& trace,
                       Series& residuals) {
    clearOutputs(trace, residuals);
    const int32_t w = smoothed.width;
    const int32_t h = smoothed.height;
    if (w < 1 || h < 1) return;

    // Rows outside the grid are left out; a coarse column outside it is taken as the nearest
    // border column, and a negative half-window as 0.
    const int32_t firstRow = settings.firstRow < 1 ? 1 : settings.firstRow;
    const int32_t lastRow = settings.lastRow > h ? h : settings.lastRow;
    if (lastRow < firstRow) return;
    const int32_t n = lastRow - firstRow + 1;
    int32_t c = settings.column;
    if (c < 1) c = 1;
    if (c > w) c = w;
    const int64_t m = settings.halfWindow < 0 ? 0 : settings.halfWindow;
    const int32_t direction = settings.direction < 0 ? -1 : 1;

    // Scan range, cut by the image border.
    const int64_t left = c - m;
    const int64_t right = c + m;
    const int32_t leftEnd = left <= 0 ? 1 : static_cast<int32_t>(left);
    const int32_t rightEnd = right > w ? w : static_cast<int32_t>(right);
    const int32_t scanStart = direction > 0 ? leftEnd : rightEnd;
    const int32_t scanEnd = direction > 0 ? rightEnd : leftEnd;

    Series p;  // raw positions, 1-based columns
    Series hAxis;
    if (!p.allocate(n) || !hAxis.allocate(n)) return;

    for (int32_t i = 1; i <= n; ++i) {
        const int32_t y = firstRow + i - 1;
        const double* row = smoothed.data + smoothed.index(0, y - 1);
        // The row maximum of S - bg within the window, the window's columns taken left to
        // right and replaced only by a strictly larger value.
        double rowMax = row[leftEnd - 1] - background;
        for (int32_t x = leftEnd + 1; x <= rightEnd; ++x) {
            const double b = row[x - 1] - background;
            if (b > rowMax) rowMax = b;
        }
        bool found = false;
        double position = 0.0;
        for (int32_t x = scanStart;; x += direction) {
            const double v = (row[x - 1] - background) / rowMax;
            if (v >= settings.threshold) {
                found = true;
                position = x;
                break;
            }
            if (x == scanEnd) break;
        }
        if (!found) {
            // One third of the way from the scan start to the scan end in the first row; later
            // rows keep the previous row's position.
            position = (i == 1) ? static_cast<double>(2 * int64_t{scanStart} + scanEnd) *
                                      0.3333333333333333
                                : p[i - 2];
        }
        p[i - 1] = position;
        hAxis[i - 1] = i;
    }

    // Least-squares line position = b * h + a through the raw positions.
    double sh = 0.0;
    double sp = 0.0;
    double shh = 0.0;
    double shp = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        sh += hAxis[k];
        sp += p[k];
        shh += hAxis[k] * hAxis[k];
        shp += hAxis[k] * p[k];
    }
    const double nd = n;
    const double denominator = nd * shh - sh * sh;
    // A single row determines no slope: the line is taken vertical through it.
    double slope = 0.0;
    if (denominator != 0.0) slope = (nd * shp - sp * sh) / denominator;
    const double intercept = p.mean() - slope * hAxis.mean();

    // Residuals measured perpendicular to the line.
    const double cosine = std::cos(std::atan(slope));
    Series r;
    if (!r.allocate(n)) return;
    for (int32_t k = 0; k < n; ++k) r[k] = (p[k] - (slope * hAxis[k] + intercept)) * cosine;

    // Isolated spikes beyond three standard deviations are replaced by the mean of their
    // neighbours; mu and sigma are taken once, before any replacement, and a replaced value
    // serves as the left neighbour of the next sample.
    const double mu = r.mean();
    const double sigma = r.standardDeviation(true);
    const double upper = mu + 3.0 * sigma;
    const double lower = mu - 3.0 * sigma;
    int32_t replaced = 0;
    if (n >= 3) {
        for (int32_t k = 1; k <= n - 2; ++k) {
            if (r[k] >= upper || r[k] <= lower) {
                r[k] = (r[k - 1] + r[k + 1]) * 0.5;
                ++replaced;
            }
        }
    }

    Series positions;
    if (!positions.allocate(n)) return;
    const double reciprocalCosine = 1.0 / cosine;
    for (int32_t k = 0; k < n; ++k)
        positions[k] = r[k] * reciprocalCosine + (slope * hAxis[k] + intercept);

    // Each edge is drawn two pixels wide, to the right of its rounded position.
    for (int32_t k = 0; k < n; ++k) {
        const double rounded = roundNearest(positions[k]);
        if (!fitsInt32(rounded)) continue;
        const int32_t q = static_cast<int32_t>(rounded);
        const int32_t y = firstRow + k;
        markPixel(working, picture, q, y);
        if (q < 2147483647) markPixel(working, picture, q + 1, y);
    }

    trace.positions = std::move(positions);
    trace.rows = std::move(hAxis);
    trace.intercept = intercept;
    trace.spikesReplaced = replaced;
    trace.slope = slope;
    residuals = std::move(r);
}
