#include "run/quality_flags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "run/image_result.h"

namespace {

bool has(const std::vector<std::string>& flags, const std::string& flag) {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

double meanOf(const std::vector<double>& values) {
    double sum = 0.0;
    for (double v : values) sum += v;
    return sum / static_cast<double>(values.size());
}

// A measured image of `edges` vertical edges, `rows` rows each, 2 nm pixels, 200 px wide. Edge
// e runs at column 20 + 20 e plus `course(e, row)` (px). No fit and no whole-pixel figures,
// so that only the edges' own positions decide.
template <typename Course>
ImageResult imageOfEdges(int32_t edges, int32_t rows, Course course) {
    ImageResult r;
    r.status = ImageStatus::kMeasured;
    r.wholePixelApplicable = false;
    r.setup.pixelSizeNm = 2.0;
    r.setup.pixelSizeSource = "option";
    r.setup.area = PixelRect{0, 0, 200, rows};
    r.setup.firstRow = 1;
    r.setup.lastRow = rows;
    r.metrology.rowCount = rows;
    for (int32_t e = 0; e < edges; ++e) {
        MetrologyEdge edge;
        edge.edgeNumber = e + 1;
        edge.leftEdge = e % 2 == 0;
        edge.inSpectrum = true;
        for (int32_t row = 0; row < rows; ++row)
            edge.positions.push_back(20.0 + 20.0 * e + course(e, row));
        edge.meanNm = meanOf(edge.positions) * r.metrology.pixelSizeNm;
        r.metrology.edges.push_back(edge);
    }
    return r;
}

// Positions of an exponentially correlated course (first-order autoregression) of correlation
// length `xi` rows and sigma 1 px, one independent course per edge.
std::vector<std::vector<double>> correlatedCourses(int32_t edges,
                                                   int32_t rows,
                                                   double xi,
                                                   uint64_t seed = 7) {
    std::mt19937_64 random(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double rho = std::exp(-1.0 / xi);
    std::vector<std::vector<double>> courses(static_cast<size_t>(edges));
    for (std::vector<double>& c : courses) {
        double x = normal(random);
        for (int32_t row = 0; row < rows; ++row) {
            c.push_back(x);
            x = rho * x + std::sqrt(1.0 - rho * rho) * normal(random);
        }
    }
    return courses;
}

ImageResult imageOfCourses(const std::vector<std::vector<double>>& courses) {
    return imageOfEdges(static_cast<int32_t>(courses.size()),
                        static_cast<int32_t>(courses[0].size()), [&](int32_t e, int32_t row) {
                            return courses[static_cast<size_t>(e)][static_cast<size_t>(row)];
                        });
}

}  // namespace

TEST(QualityFlags, EdgesCorrelatedOverATenthOfTheirRowsAreShort) {
    // 512 rows: a correlation length of 10 rows is 51 lengths, one of 500 rows is one.
    EXPECT_FALSE(has(qualityFlags(imageOfCourses(correlatedCourses(8, 512, 10.0))),
                     "short_for_correlation"));
    EXPECT_TRUE(has(qualityFlags(imageOfCourses(correlatedCourses(8, 512, 500.0))),
                    "short_for_correlation"));
    // A course far longer than the edges looks the same at every length; so does a tilt of
    // every edge, which the least-squares line takes away.
    EXPECT_TRUE(has(qualityFlags(imageOfCourses(correlatedCourses(8, 64, 5000.0))),
                    "short_for_correlation"));
    std::vector<std::vector<double>> tilted = correlatedCourses(8, 512, 10.0);
    for (std::vector<double>& c : tilted)
        for (size_t row = 0; row < c.size(); ++row) c[row] += 0.05 * static_cast<double>(row);
    EXPECT_TRUE(qualityFlags(imageOfCourses(tilted)).empty());
    // Edges under 40 rows are left to the fitted lengths.
    EXPECT_FALSE(has(qualityFlags(imageOfCourses(correlatedCourses(8, 39, 5000.0))),
                     "short_for_correlation"));
}

TEST(QualityFlags, FittedCorrelationLengthsInNanometresAreComparedInRows) {
    ImageResult r = imageOfCourses(correlatedCourses(8, 400, 5.0));
    r.metrology.ler.fit.ok = true;
    r.metrology.ler.fit.xi = 90.0;  // nm: 45 px, 400 rows are 8.9 lengths
    EXPECT_TRUE(has(qualityFlags(r), "short_for_correlation"));
    r.metrology.ler.fit.xi = 70.0;  // 35 px: 11.4 lengths
    EXPECT_FALSE(has(qualityFlags(r), "short_for_correlation"));
    r.setup.figuresInPixels = true;  // then xi is in px: 70 px
    EXPECT_TRUE(has(qualityFlags(r), "short_for_correlation"));
    EXPECT_TRUE(has(qualityFlags(r), "pixel_size_missing"));
    // An image without a line reports no xi: nothing is short for it. Its picture's flags stay.
    r.status = ImageStatus::kNoLine;
    EXPECT_FALSE(has(qualityFlags(r), "short_for_correlation"));
    EXPECT_TRUE(has(qualityFlags(r), "pixel_size_missing"));
}

TEST(QualityFlags, AnImageTakesSharesOverAllEdgesAndAnEdgeOverItsOwnRows) {
    ImageResult r = imageOfCourses(correlatedCourses(8, 500, 5.0));
    // One edge loses 40 of its 500 rows (8 %), 1 % of the image's 4000 edge rows.
    MetrologyEdge& first = r.metrology.edges[0];
    for (size_t row = 100; row < 140; ++row) first.positions[row] = NAN;
    first.missingRows = 40;
    r.metrology.missingEdgeRows = 40;
    EXPECT_FALSE(has(qualityFlags(r), "edge_rows_missing"));
    EXPECT_TRUE(has(edgeFlags(first, 200, -1, -1), "edge_rows_missing"));
    EXPECT_FALSE(has(edgeFlags(r.metrology.edges[1], 200, -1, -1), "edge_rows_missing"));
    // One edge losing 60 rows (12 %: left out of the spectra) flags it at 1.5 % of its rows.
    first.missingRows = 60;
    r.metrology.missingEdgeRows = 60;
    EXPECT_TRUE(has(qualityFlags(r), "edge_rows_missing"));
    first.missingRows = 40;
    r.metrology.missingEdgeRows = 40;
    // Every edge losing 11 rows (2.2 %) flags the image too.
    for (MetrologyEdge& edge : r.metrology.edges) edge.missingRows = 11;
    r.metrology.missingEdgeRows = 88;
    EXPECT_TRUE(has(qualityFlags(r), "edge_rows_missing"));

    // Whole-pixel spikes: more than 3 % of the samples.
    r.wholePixelApplicable = true;
    r.analysis.rowCount = 500;
    for (int32_t k = 1; k <= 8; ++k) r.analysis.processed.push_back({k, 1, k == 1 ? 100 : 0});
    EXPECT_FALSE(has(qualityFlags(r), "spikes_replaced"));  // 100 of 4000
    EXPECT_TRUE(has(edgeFlags(first, 200, 100, 500), "spikes_replaced"));
    EXPECT_FALSE(has(edgeFlags(first, 200, 15, 500), "spikes_replaced"));  // exactly 3 %
    for (EdgeFigures& edge : r.analysis.processed) edge.spikesReplaced = 16;
    EXPECT_TRUE(has(qualityFlags(r), "spikes_replaced"));
}

TEST(QualityFlags, EdgesWithinThreePixelsOfEitherBorderTouchIt) {
    ImageResult r = imageOfCourses(correlatedCourses(2, 100, 5.0));
    EXPECT_FALSE(has(qualityFlags(r), "line_touches_border"));
    r.metrology.edges[0].positions[50] = 3.6;  // 3.1 px from the left border (column 0.5)
    EXPECT_FALSE(has(qualityFlags(r), "line_touches_border"));
    r.metrology.edges[0].positions[50] = 3.4;
    EXPECT_TRUE(has(qualityFlags(r), "line_touches_border"));
    EXPECT_TRUE(has(edgeFlags(r.metrology.edges[0], 200, -1, -1), "line_touches_border"));
    EXPECT_FALSE(has(edgeFlags(r.metrology.edges[1], 200, -1, -1), "line_touches_border"));
    r.metrology.edges[0].positions[50] = 20.0;
    r.metrology.edges[1].positions[10] = 197.6;  // 2.9 px from the right border (200.5)
    EXPECT_TRUE(has(qualityFlags(r), "line_touches_border"));
    // An image that was not decoded has no flags at all.
    r.status = ImageStatus::kMissing;
    EXPECT_TRUE(qualityFlags(r).empty());
}

TEST(QualityFlags, LinesDriftingHalfTheNarrowestGapFlagTheWholePixelAnalysisOnly) {
    // Edges at columns 20, 40 and 52: the narrowest gap is 12 px, so 6 px of drift over the
    // 500 rows is the limit.
    ImageResult r = imageOfCourses(correlatedCourses(3, 500, 5.0));
    MetrologyEdge& close = r.metrology.edges[2];
    for (double& x : close.positions) x -= 8.0;
    close.meanNm = meanOf(close.positions) * r.metrology.pixelSizeNm;
    r.wholePixelApplicable = true;
    r.metrology.tiltDegrees = 0.65;  // 5.7 px over 500 rows
    EXPECT_FALSE(has(qualityFlags(r), "lines_tilted"));
    r.metrology.tiltDegrees = -0.72;  // 6.3 px
    EXPECT_TRUE(has(qualityFlags(r), "lines_tilted"));
    r.wholePixelApplicable = false;  // plain steps: no column sums to smear
    EXPECT_FALSE(has(qualityFlags(r), "lines_tilted"));
    // Without the close edge the narrowest gap is 20 px: the same tilt is within it.
    r.wholePixelApplicable = true;
    r.metrology.edges.pop_back();
    EXPECT_FALSE(has(qualityFlags(r), "lines_tilted"));
}

TEST(QualityFlags, SubpixelLinesInWholePixelSpacesAreFlagged) {
    // Sub-pixel lines between edges at 20-40 and 60-80 px; the whole-pixel analysis pairs its
    // coarse edges from the first (pairing 1) or the second (pairing 0).
    ImageResult r = imageOfEdges(4, 100, [](int32_t, int32_t) { return 0.0; });
    for (int32_t l = 0; l < 2; ++l) {
        MetrologyLine line;
        line.leftEdge = 2 * l;
        line.rightEdge = 2 * l + 1;
        r.metrology.lines.push_back(line);
    }
    r.wholePixelApplicable = true;
    r.analysis.coarse.columns = {20, 40, 60, 80};
    r.analysis.coarse.count = 4;
    EXPECT_FALSE(has(qualityFlags(r), "lines_disagree"));
    r.pairing = 0;  // lines 40-60 only: both sub-pixel lines lie in its spaces
    EXPECT_TRUE(has(qualityFlags(r), "lines_disagree"));
    r.analysis.coarse.columns = {2, 20, 40, 60, 80, 98};  // a band at each border
    r.analysis.coarse.count = 6;
    EXPECT_FALSE(has(qualityFlags(r), "lines_disagree"));
    r.pairing = 1;
    EXPECT_TRUE(has(qualityFlags(r), "lines_disagree"));
    // Lines with a band at one edge only: the whole-pixel path pairs band to band, over a line
    // and a space, while the sub-pixel lines sit inside its lines.
    r.analysis.coarse.columns = {20, 40, 60, 80};
    r.analysis.coarse.count = 4;
    r.metrology.cdNm = 20.0;
    r.analysis.widths.cdAverage = 21.0;
    EXPECT_FALSE(has(qualityFlags(r), "lines_disagree"));
    r.analysis.widths.cdAverage = 41.0;
    EXPECT_TRUE(has(qualityFlags(r), "lines_disagree"));
    r.wholePixelApplicable = false;  // no whole-pixel lines to disagree with
    EXPECT_FALSE(has(qualityFlags(r), "lines_disagree"));
}

TEST(QualityFlags, LinesThatMoveTogetherAreFlaggedAndIndependentOnesAreNot) {
    // Eight lines (16 edges, independent rough courses of sigma 1 px and correlation length 5
    // rows) over 600 rows: they share 1 / 8 of their placement variance by chance. Then every
    // edge also follows one slow course of sigma 0.8 px (a drift during the scan): 0.64 of the
    // lines' 1.14 px^2.
    auto moveTogether = [](int32_t edges, int32_t rows, double xi, uint64_t seed, double common,
                           double period) {
        const std::vector<std::vector<double>> own = correlatedCourses(edges, rows, xi, seed);
        ImageResult r = imageOfEdges(edges, rows, [&](int32_t e, int32_t row) {
            return own[static_cast<size_t>(e)][static_cast<size_t>(row)] +
                   common * std::sin(row / period) * 1.41421356;
        });
        for (int32_t l = 0; 2 * l + 1 < edges; ++l) {
            MetrologyLine line;
            line.leftEdge = 2 * l;
            line.rightEdge = 2 * l + 1;
            for (int32_t row = 0; row < rows; ++row)
                line.centresNm.push_back(0.5 *
                                         (r.metrology.edges[static_cast<size_t>(2 * l)]
                                              .positions[static_cast<size_t>(row)] +
                                          r.metrology.edges[static_cast<size_t>(2 * l + 1)]
                                              .positions[static_cast<size_t>(row)]) *
                                         2.0);
            r.metrology.lines.push_back(line);
        }
        return has(qualityFlags(r), "lines_move_together");
    };
    for (double common : {0.0, 0.8})
        EXPECT_EQ(moveTogether(16, 600, 5.0, 7, common, 40.0), common > 0.0) << common;

    // Short pictures of independent lines: 24 to 64 rows of a correlation length of 10 hold a
    // few independent samples, over which the chance share scatters far above 2 / n. Without
    // that scatter in the rule, 10 of these 300 pictures of 4 lines were flagged.
    int32_t flagged = 0;
    for (uint64_t seed = 1; seed <= 300; ++seed)
        flagged +=
            moveTogether(8, 24 + static_cast<int32_t>(seed % 5) * 10, 10.0, seed, 0.0, 1.0) ? 1 : 0;
    EXPECT_LE(flagged, 3);
    // A shared course twice the lines' own roughness is still seen over 64 rows.
    EXPECT_TRUE(moveTogether(16, 64, 10.0, 7, 2.0, 12.0));
}
