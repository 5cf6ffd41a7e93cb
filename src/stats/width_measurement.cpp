#include "stats/width_measurement.h"

#include <cmath>

namespace {

// 0-based index of the first edge of line m (1-based).
int32_t firstEdgeIndex(int32_t pairing, int32_t m) { return 2 * (m - 1) + (pairing == 0 ? 1 : 0); }

int32_t sampleCountOf(const EdgeTrace& edge) {
    return edge.positions.count < edge.rows.count ? edge.positions.count : edge.rows.count;
}

// Distance between sample i of edge a and sample j of edge b (0-based).
double distance(const EdgeTrace& a, int32_t i, const EdgeTrace& b, int32_t j) {
    return std::sqrt(std::pow(b.positions[j] - a.positions[i], 2.0) +
                     std::pow(b.rows[j] - a.rows[i], 2.0));
}

// Local widths of one line into row `line` of `w` (one column per sample). For each sample i
// of `a` the partner is the sample p of `b` whose criterion
//   D(j) = (b.pos(j) - a.pos(i)) / (b.row(j) - a.row(i)) + c,  D = c on the same row,
// has the first smallest square: the segment closest to the normal of the mean slope 1 / c.
void measureLine(const EdgeTrace& a, const EdgeTrace& b, int32_t n, GreyImage& w, int32_t line) {
    const double c = 1.0 / ((a.slope + b.slope) * 0.5);
    // A mean slope of 0 makes c infinite and every D alike; the normal of a vertical mean
    // direction is the row itself, so the partner is on the same row.
    const bool vertical = std::isinf(c);
    const double* bPositions = b.positions.data;
    const double* bRows = b.rows.data;
    for (int32_t i = 0; i < n; ++i) {
        int32_t p = i;
        if (!vertical) {
            const double aPosition = a.positions[i];
            const double aRow = a.rows[i];
            // Same choice as squaring all D and taking the first minimum: the first value
            // stands until a strictly smaller square replaces it, so NaN never does.
            const auto criterion = [&](int32_t j) {
                return bRows[j] == aRow ? c : (bPositions[j] - aPosition) / (bRows[j] - aRow) + c;
            };
            const double first = criterion(0);
            double best = first * first;
            p = 0;
            for (int32_t j = 1; j < n; ++j) {
                const double d = criterion(j);
                const double square = d * d;
                if (square < best) {
                    best = square;
                    p = j;
                }
            }
        }
        // A best partner at the last sample of b repeats the width of the preceding sample;
        // the first sample has none before it in its line and is measured instead.
        if (!vertical && p == n - 1 && i > 0)
            w.at(i, line) = w.at(i - 1, line);
        else
            w.at(i, line) = distance(a, i, b, p);
    }
}

}  // namespace

int32_t lineCountFor(int32_t pairing, int32_t edgeCount) {
    if (pairing == 0) return edgeCount >= 2 ? (edgeCount - 1) / 2 : 0;
    if (pairing == 1) return edgeCount >= 2 ? edgeCount / 2 : 0;
    return 0;
}

WidthMeasurement measureWidths(int32_t pairing,
                               int32_t edgeCount,
                               const EdgeTrace* edges,
                               double pixelSize) {
    WidthMeasurement result;
    const int32_t lines = lineCountFor(pairing, edgeCount);
    if (lines == 0 || edges == nullptr) return result;

    // Samples per line: the length of the first edge of the first line, cut to the shortest
    // used trace so that no trace is read past its end.
    int32_t n = sampleCountOf(edges[firstEdgeIndex(pairing, 1)]);
    for (int32_t m = 1; m <= lines; ++m) {
        const int32_t first = firstEdgeIndex(pairing, m);
        for (int32_t k = first; k <= first + 1; ++k) {
            const int32_t count = sampleCountOf(edges[k]);
            if (count < n) n = count;
        }
    }
    if (n == 0) return result;

    GreyImage w;  // one row per line, one column per sample
    if (!w.allocate(n, lines)) return result;
    for (int32_t m = 1; m <= lines; ++m) {
        const int32_t first = firstEdgeIndex(pairing, m);
        measureLine(edges[first], edges[first + 1], n, w, m - 1);
    }

    w.transpose(result.widthGrid);
    w.rowMeans(result.lineMeans);
    result.lineMeans.scale(pixelSize);
    result.cdAverage = result.lineMeans.mean();
    result.cdVariation = result.lineMeans.standardDeviation(true);
    w.rowStdDevs(result.lineSigmas, true);
    result.lineSigmas.scale(pixelSize);
    result.meanLineSigma = result.lineSigmas.mean();
    return result;
}
