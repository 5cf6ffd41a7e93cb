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

// The partner search of one sample i of the first edge a: among the samples j of the second
// edge b, the first whose criterion
//   D(j) = (b.pos(j) - a.pos(i)) / (b.row(j) - a.row(i)) + c,  D = c on the same row,
// has the smallest square; the segment to it is the one closest to the normal of the mean
// slope 1 / c. Squares are compared as the plain search compares them: the first value stands
// until a strictly smaller one replaces it, so NaN never does.
struct PartnerSearch {
    const double* bPositions;
    const double* bRows;
    int32_t n;
    double c;
    double aPosition;
    double aRow;

    double square(int32_t j) const {
        const double d = bRows[j] == aRow ? c : (bPositions[j] - aPosition) / (bRows[j] - aRow) + c;
        return d * d;
    }

    // First smallest square over j = first .. last, in increasing j; its j and square.
    int32_t firstSmallest(int32_t first, int32_t last, double& best) const {
        int32_t p = first;
        best = square(first);
        for (int32_t j = first + 1; j <= last; ++j) {
            const double s = square(j);
            if (s < best) {
                best = s;
                p = j;
            }
        }
        return p;
    }
};

// Half-width of the first band of samples searched around the same row.
constexpr int32_t kFirstBand = 8;

// What makes a line's partner search by bands exact: finite positions on both edges, sample
// rows 1 .. n on both (so that b.row(j) - a.row(i) is exactly j - i), and a finite, moderate c.
struct BandBounds {
    bool usable = false;
    double bLowest = 0.0;  // smallest position of b
    double bHighest = 0.0;
};

BandBounds bandBounds(const EdgeTrace& a, const EdgeTrace& b, int32_t n, double c) {
    BandBounds bounds;
    if (!(std::fabs(c) < 1e100)) return bounds;
    double lowest = b.positions[0];
    double highest = b.positions[0];
    for (int32_t j = 0; j < n; ++j) {
        const double expectedRow = j + 1;
        if (a.rows[j] != expectedRow || b.rows[j] != expectedRow) return bounds;
        if (!std::isfinite(a.positions[j]) || !std::isfinite(b.positions[j])) return bounds;
        if (b.positions[j] < lowest) lowest = b.positions[j];
        if (b.positions[j] > highest) highest = b.positions[j];
    }
    bounds.usable = true;
    bounds.bLowest = lowest;
    bounds.bHighest = highest;
    return bounds;
}

// The partner the whole search would find, searching first only the samples less than K rows
// from sample i and proving that none farther can win. A sample j at least K rows away has
// |b.pos(j) - a.pos(i)| <= m, the larger distance of a.pos(i) to b's extreme positions, so its
// quotient is at most m / K in magnitude and |D(j)| >= |c| - m / K = L. Rounding is monotonic,
// so the computed values keep these bounds: when L > 0 and the band's best square is below
// L * L, every farther square is larger and the band's first smallest is the first smallest of
// all. Otherwise the band is widened once to what the bound asks for, and failing that the
// whole edge is searched.
int32_t bandedPartner(const PartnerSearch& search, const BandBounds& bounds, int32_t i) {
    const int32_t n = search.n;
    const double m = std::fmax(std::fabs(bounds.bHighest - search.aPosition),
                               std::fabs(bounds.bLowest - search.aPosition));
    int32_t k = kFirstBand;
    for (int32_t attempt = 0; attempt < 2; ++attempt) {
        const int32_t first = i - k + 1 > 0 ? i - k + 1 : 0;
        const int32_t last = i + k - 1 < n - 1 ? i + k - 1 : n - 1;
        if (first == 0 && last == n - 1) break;
        double best = 0.0;
        const int32_t p = search.firstSmallest(first, last, best);
        const double l = std::fabs(search.c) - m / k;
        // The factor below 1 leaves room beyond the monotonic bound.
        if (l > 0.0 && best < l * l * 0.999999) return p;
        const double margin = std::fabs(search.c) - std::sqrt(best);
        if (!(margin > 0.0)) break;
        const double needed = m / margin + 2.0;
        if (!(needed < n)) break;
        const int32_t widened = static_cast<int32_t>(std::ceil(needed));
        k = widened > 2 * k ? widened : 2 * k;
    }
    double best = 0.0;
    return search.firstSmallest(0, n - 1, best);
}

// Local widths of one line into row `line` of `w` (one column per sample). With `banded` the
// partner search runs by bands (bandedPartner) where that is exact, else over all samples.
void measureLine(
    const EdgeTrace& a, const EdgeTrace& b, int32_t n, bool banded, GreyImage& w, int32_t line) {
    const double c = 1.0 / ((a.slope + b.slope) * 0.5);
    // A mean slope of 0 makes c infinite and every D alike; the normal of a vertical mean
    // direction is the row itself, so the partner is on the same row.
    const bool vertical = std::isinf(c);
    const BandBounds bounds = banded && !vertical ? bandBounds(a, b, n, c) : BandBounds();
    PartnerSearch search{b.positions.data, b.rows.data, n, c, 0.0, 0.0};
    for (int32_t i = 0; i < n; ++i) {
        int32_t p = i;
        if (!vertical) {
            search.aPosition = a.positions[i];
            search.aRow = a.rows[i];
            double best = 0.0;
            p = bounds.usable ? bandedPartner(search, bounds, i)
                              : search.firstSmallest(0, n - 1, best);
        }
        // A best partner at the last sample of b repeats the width of the preceding sample;
        // the first sample has none before it in its line and is measured instead.
        if (!vertical && p == n - 1 && i > 0)
            w.at(i, line) = w.at(i - 1, line);
        else
            w.at(i, line) = distance(a, i, b, p);
    }
}

WidthMeasurement measure(
    int32_t pairing, int32_t edgeCount, const EdgeTrace* edges, double pixelSize, bool banded) {
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
        measureLine(edges[first], edges[first + 1], n, banded, w, m - 1);
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
    return measure(pairing, edgeCount, edges, pixelSize, true);
}

WidthMeasurement measureWidthsReference(int32_t pairing,
                                        int32_t edgeCount,
                                        const EdgeTrace* edges,
                                        double pixelSize) {
    return measure(pairing, edgeCount, edges, pixelSize, false);
}
