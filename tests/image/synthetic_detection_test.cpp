// Edge detection on synthetic SEM images whose true edges are known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "image/coarse_edges.h"
#include "image/edge_trace.h"
#include "synthetic/synthetic_sem.h"

namespace {

struct EdgeScore {
    double offset = 0.0;     // median of traced minus true position, pixels
    double withinOne = 0.0;  // share of rows within one pixel of true + offset
    double tracedSigma = 0.0;
    double trueSigma = 0.0;
};

// Population standard deviation of `v` about its least-squares line over the row numbers.
double sigmaAboutLine(const std::vector<double>& v) {
    const double n = static_cast<double>(v.size());
    double sh = 0, sp = 0, shh = 0, shp = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const double h = static_cast<double>(i + 1);
        sh += h;
        sp += v[i];
        shh += h * h;
        shp += h * v[i];
    }
    const double b = (n * shp - sp * sh) / (n * shh - sh * sh);
    const double a = sp / n - b * sh / n;
    double ss = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const double r = v[i] - (b * static_cast<double>(i + 1) + a);
        ss += r * r;
    }
    return std::sqrt(ss / n);
}

EdgeScore score(const EdgeTrace& trace, const Series& residuals, const SyntheticEdge& truth) {
    EdgeScore s;
    const size_t n = truth.positions.size();
    std::vector<double> d(n);
    for (size_t i = 0; i < n; ++i)
        d[i] = trace.positions[static_cast<int32_t>(i)] - truth.positions[i];
    std::vector<double> sorted = d;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(n / 2), sorted.end());
    s.offset = sorted[n / 2];
    size_t good = 0;
    for (double v : d)
        if (std::fabs(v - s.offset) <= 1.0) ++good;
    s.withinOne = static_cast<double>(good) / static_cast<double>(n);
    s.tracedSigma = residuals.standardDeviation(true);
    s.trueSigma = sigmaAboutLine(truth.positions);
    return s;
}

// Traces the edges that `pairing` selects, as the analysis does: increasing order, the first
// processed edge left to right and the directions alternating. Returns the traces by edge
// number (1-based slot k - 1); unprocessed slots stay empty.
void traceAll(GreyImage& working,
              const CoarseEdges& edges,
              int32_t pairing,
              std::vector<EdgeTrace>& traces,
              std::vector<Series>& residuals) {
    Picture picture;
    picture.allocate(working.width, working.height);
    const Kernel kernel = gaussianKernel(5, 7, 1.0);
    const int32_t e = edges.count;
    traces.assign(static_cast<size_t>(e), EdgeTrace());
    residuals.assign(static_cast<size_t>(e), Series());
    const int32_t first = pairing == 1 ? 1 : 2;
    const int32_t last = pairing == 1 ? e - e % 2 : e - (e - 1) % 2;
    for (int32_t k = first; k <= last; ++k) {
        TraceSettings s;
        s.column = edges.columns[static_cast<size_t>(k - 1)];
        s.direction = (pairing + k) % 2 == 0 ? 1 : -1;
        s.firstRow = edges.firstRow;
        s.lastRow = edges.lastRow;
        s.halfWindow = 10;
        s.threshold = 0.5;
        traceEdge(working, picture, kernel, s, traces[static_cast<size_t>(k - 1)],
                  residuals[static_cast<size_t>(k - 1)]);
    }
}

// Checks every traced edge against the true edge of the same band.
void expectTracesFollowTruth(const SyntheticSem& image,
                             const std::vector<EdgeTrace>& traces,
                             const std::vector<Series>& residuals) {
    ASSERT_EQ(traces.size(), image.edges.size());
    for (size_t k = 0; k < traces.size(); ++k) {
        if (traces[k].positions.count == 0) continue;
        ASSERT_EQ(traces[k].positions.count, image.height);
        const EdgeScore s = score(traces[k], residuals[k], image.edges[k]);
        EXPECT_GE(s.withinOne, 0.99) << "edge " << k + 1;
        EXPECT_LE(std::fabs(s.offset), 2.0) << "edge " << k + 1;
        EXPECT_NEAR(s.tracedSigma, s.trueSigma, 0.15 * s.trueSigma) << "edge " << k + 1;
    }
}

// Coarse columns are the outer ends of the bands: the first column of even-numbered bands
// (0-based) near their left flank, the last column of odd-numbered ones near their right.
void expectOneColumnPerBand(const SyntheticSem& image, const CoarseEdges& edges, double bandWidth) {
    ASSERT_EQ(static_cast<size_t>(edges.count), image.edges.size());
    for (size_t i = 0; i < image.edges.size(); ++i) {
        const SyntheticEdge& e = image.edges[i];
        // The outer end of band i: a line's left edge or a lone band's left flank; a right
        // edge; or the far side of a left or lone band when i is odd.
        double expected = e.nominal;
        if (i % 2 == 1 && e.kind != SyntheticEdgeKind::kLineRight) expected = e.nominal + bandWidth;
        if (i % 2 == 0 && e.kind == SyntheticEdgeKind::kLineRight) expected = e.nominal - bandWidth;
        EXPECT_NEAR(edges.columns[i], expected, 4.0) << "band " << i;
    }
}

// Low noise, and a roughness that changes little from row to row: the traced positions are
// whole columns and the 5-row smoothing averages the course over a few rows, so the threshold
// crossing follows the true edge within half a pixel plus that averaging.
SyntheticSemSettings lowNoise(int32_t size, double pitch, double cd, uint64_t seed) {
    SyntheticSemSettings s;
    s.width = size;
    s.height = size;
    s.pitch = pitch;
    s.cd = cd;
    s.firstEdge = 30;
    s.bandWidth = 4;
    s.roughnessSigma = 1.0;
    s.correlationLength = 30;
    s.seed = seed;
    s.blurSigma = 1.0;
    s.noiseSigma = 3.0;
    return s;
}

TEST(SyntheticDetection, FindsAndFollowsEveryEdgeOf512Image) {
    const SyntheticSemSettings s = lowNoise(512, 64, 28, 11);
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(s, image));
    ASSERT_EQ(image.edges.size(), 14u);
    GreyImage working;
    toGreyImage(image, working);
    const CoarseEdges edges = locateCoarseEdges(working, 0.3);
    expectOneColumnPerBand(image, edges, s.bandWidth);
    std::vector<EdgeTrace> traces;
    std::vector<Series> residuals;
    traceAll(working, edges, 1, traces, residuals);
    expectTracesFollowTruth(image, traces, residuals);
}

TEST(SyntheticDetection, FindsAndFollowsEveryEdgeOf1024Image) {
    const SyntheticSemSettings s = lowNoise(1024, 128, 48, 12);
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(s, image));
    ASSERT_EQ(image.edges.size(), 16u);
    GreyImage working;
    toGreyImage(image, working);
    const CoarseEdges edges = locateCoarseEdges(working, 0.3);
    expectOneColumnPerBand(image, edges, s.bandWidth);
    std::vector<EdgeTrace> traces;
    std::vector<Series> residuals;
    traceAll(working, edges, 1, traces, residuals);
    expectTracesFollowTruth(image, traces, residuals);
}

TEST(SyntheticDetection, LeadingLoneBandIsSkippedWithPairingZero) {
    SyntheticSemSettings s = lowNoise(512, 80, 32, 13);
    s.firstEdge = 48;
    s.lineCount = 3;
    s.leadingLoneBand = true;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(s, image));
    ASSERT_EQ(image.edges.size(), 7u);
    EXPECT_EQ(image.edges[0].kind, SyntheticEdgeKind::kLone);
    GreyImage working;
    toGreyImage(image, working);
    const CoarseEdges edges = locateCoarseEdges(working, 0.3);
    expectOneColumnPerBand(image, edges, s.bandWidth);
    std::vector<EdgeTrace> traces;
    std::vector<Series> residuals;
    traceAll(working, edges, 0, traces, residuals);
    EXPECT_EQ(traces[0].positions.count, 0);
    for (size_t k = 1; k < traces.size(); ++k) EXPECT_EQ(traces[k].positions.count, 512);
    expectTracesFollowTruth(image, traces, residuals);
}

TEST(SyntheticDetection, CutLastLineOrTrailingLoneBandLeavesAnUnpairedLastEdge) {
    for (const bool cut : {true, false}) {
        SyntheticSemSettings s = lowNoise(512, 80, 32, 14);
        s.lineCount = 3;
        s.cutLastLine = cut;
        s.trailingLoneBand = !cut;
        s.firstEdge = cut ? 200 : 30;
        SyntheticSem image;
        ASSERT_TRUE(makeSyntheticSem(s, image));
        ASSERT_EQ(image.edges.size(), 7u);
        GreyImage working;
        toGreyImage(image, working);
        const CoarseEdges edges = locateCoarseEdges(working, 0.3);
        expectOneColumnPerBand(image, edges, s.bandWidth);
        std::vector<EdgeTrace> traces;
        std::vector<Series> residuals;
        traceAll(working, edges, 1, traces, residuals);
        EXPECT_EQ(traces[6].positions.count, 0);
        expectTracesFollowTruth(image, traces, residuals);
    }
}

TEST(SyntheticDetection, SameSeedGivesTheSameImage) {
    SyntheticSem a;
    SyntheticSem b;
    SyntheticSem c;
    ASSERT_TRUE(makeSyntheticSem(lowNoise(64, 30, 12, 5), a));
    ASSERT_TRUE(makeSyntheticSem(lowNoise(64, 30, 12, 5), b));
    ASSERT_TRUE(makeSyntheticSem(lowNoise(64, 30, 12, 6), c));
    EXPECT_EQ(a.pixels, b.pixels);
    EXPECT_NE(a.pixels, c.pixels);
    SyntheticSemSettings bad = lowNoise(64, 30, 8, 5);  // cd not above twice the band width
    EXPECT_FALSE(makeSyntheticSem(bad, a));
    EXPECT_TRUE(a.pixels.empty());
}

}  // namespace
