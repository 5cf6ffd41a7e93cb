// Sub-pixel edges, unbiased figures and intervals on images of known edges; the contrast of the
// real SEM crops.
#include "metrology/metrology.h"

#include <gsl/gsl_cdf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "image/coarse_edges.h"
#include "metrology/contrast.h"
#include "png_grey.h"
#include "stats/line_residuals.h"
#include "synthetic/synthetic_sem.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A step-contrast grid: `lines` lines of `cd` px at `pitch`, blurred by a Gaussian of `blur` px
// across the edge (sampled at pixel centres), each edge following a sine of `wiggle` px with its
// own phase, rows `height`. Edge k of the truth: positions per row, 1-based columns.
struct StepGrid {
    GreyImage grid;
    std::vector<std::vector<double>> truth;
};

StepGrid makeStepGrid(int32_t width,
                      int32_t height,
                      int32_t lines,
                      double pitch,
                      double cd,
                      double blur,
                      double wiggle,
                      bool brightLine) {
    StepGrid s;
    s.grid.allocate(width, height);
    const double space = 40.0;
    const double line = 190.0;
    for (int32_t l = 0; l < 2 * lines; ++l) s.truth.emplace_back(static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t l = 0; l < lines; ++l) {
            const double left = 30.0 + l * pitch;
            s.truth[static_cast<size_t>(2 * l)][static_cast<size_t>(y)] =
                left + wiggle * std::sin(2.0 * kPi * y / 97.0 + l);
            s.truth[static_cast<size_t>(2 * l + 1)][static_cast<size_t>(y)] =
                left + cd + wiggle * std::sin(2.0 * kPi * y / 61.0 + 2.0 * l);
        }
        for (int32_t x = 0; x < width; ++x) {
            const double column = x + 1.0;
            double inside = 0.0;
            for (int32_t l = 0; l < lines; ++l) {
                const double a = s.truth[static_cast<size_t>(2 * l)][static_cast<size_t>(y)];
                const double b = s.truth[static_cast<size_t>(2 * l + 1)][static_cast<size_t>(y)];
                inside += 0.5 * (std::erf((column - a) / (blur * std::sqrt(2.0))) -
                                 std::erf((column - b) / (blur * std::sqrt(2.0))));
            }
            const double v = space + (line - space) * inside;
            s.grid.at(x, y) = brightLine ? v : space + line - v;
        }
    }
    return s;
}

SyntheticSemSettings lineImage(double noise, uint64_t seed) {
    SyntheticSemSettings s;
    s.width = 1024;
    s.height = 512;
    s.lineCount = 16;
    s.pitch = 60.0;
    s.cd = 28.0;
    s.firstEdge = 30.0;
    s.roughnessSigma = 1.5;
    s.correlationLength = 20.0;
    s.noiseSigma = noise;
    s.seed = seed;
    return s;
}

// The grid of a generated image (kept in `image` for its truth).
GreyImage drawnGrid(const SyntheticSemSettings& s, SyntheticSem& image) {
    GreyImage grid;
    EXPECT_TRUE(makeSyntheticSem(s, image));
    toGreyImage(image, grid);
    return grid;
}

// `upright` with row y moved right by shift(y) whole columns (the border column repeated): its
// lines lean while their widths along the rows stay as drawn.
template <typename Shift>
GreyImage shearedRows(const GreyImage& upright, Shift shift) {
    GreyImage out = upright;
    for (int32_t y = 0; y < upright.height; ++y) {
        const int32_t d = shift(y);
        for (int32_t x = 0; x < upright.width; ++x)
            out.at(x, y) = upright.at(std::min(upright.width - 1, std::max(0, x - d)), y);
    }
    return out;
}

void measureGenerated(const SyntheticSemSettings& s,
                      const MetrologySettings& settings,
                      SyntheticSem& image,
                      MetrologyResult& result) {
    ASSERT_TRUE(makeSyntheticSem(s, image));
    GreyImage grid;
    toGreyImage(image, grid);
    const CoarseEdges coarse = locateCoarseEdges(grid, 0.3);
    measureMetrology(grid, coarse, settings, result);
}

// One line of 60 px in a field of 1536 x 384 px (its edges 4 % of the columns), at noise 6.
SyntheticSemSettings oneLineInAWideField(SyntheticContrast kind) {
    SyntheticSemSettings s = lineImage(6.0, 41);
    s.contrast = kind;
    s.width = 1536;
    s.height = 384;
    s.lineCount = 1;
    s.pitch = 100.0;
    s.cd = 60.0;
    s.firstEdge = 700.0;
    return s;
}

// The metrology's contrast for a generated image's.
Contrast contrastOf(SyntheticContrast c) {
    switch (c) {
        case SyntheticContrast::kBrightLine:
            return Contrast::kBrightLine;
        case SyntheticContrast::kDarkLine:
            return Contrast::kDarkLine;
        case SyntheticContrast::kBrightEdges:
            break;
    }
    return Contrast::kBrightEdge;
}

const std::string kSemData = RUGON_SEM_DATA;

// Measures `grid` (steps, bright or dark lines) and expects every edge in every row within
// `tolerance` px of `truth`.
void expectStepEdgesOnTruth(const GreyImage& grid,
                            const std::vector<std::vector<double>>& truth,
                            bool bright,
                            double tolerance) {
    MetrologySettings settings;
    settings.contrast = bright ? Contrast::kBrightLine : Contrast::kDarkLine;
    settings.bootstrapResamples = 0;
    MetrologyResult r;
    measureMetrology(grid, CoarseEdges(), settings, r);
    ASSERT_EQ(r.edges.size(), truth.size()) << r.reason;
    EXPECT_EQ(r.missingEdgeRows, 0);
    for (size_t e = 0; e < r.edges.size(); ++e) {
        double worst = 0.0;
        for (size_t y = 0; y < truth[e].size(); ++y)
            worst = std::fmax(worst, std::fabs(r.edges[e].positions[y] - truth[e][y]));
        EXPECT_LT(worst, tolerance) << "edge " << e << (bright ? " bright" : " dark");
    }
}

}  // namespace

TEST(SubpixelEdges, StepEdgesAreFoundWithinASmallFractionOfAPixel) {
    for (bool bright : {true, false}) {
        const StepGrid s = makeStepGrid(400, 300, 4, 90.0, 40.0, 1.2, 1.3, bright);
        expectStepEdgesOnTruth(s.grid, s.truth, bright, 0.05);
    }
}

TEST(SubpixelEdges, ABrightnessTrendDownTheEdgesIsFollowed) {
    // The picture darkens towards the top: row y at 0.5 + 0.8 y / height of its brightness (a
    // charging or drifting beam). One level for all rows sat too high on the dim rows' flanks:
    // steps came out 0.5 px narrow with 763 rows lost, band-edged lines 0.2 px.
    auto shaded = [](GreyImage grid) {
        for (int32_t y = 0; y < grid.height; ++y)
            for (int32_t x = 0; x < grid.width; ++x) grid.at(x, y) *= 0.5 + 0.8 * y / grid.height;
        return grid;
    };
    for (bool bright : {true, false}) {
        const StepGrid s = makeStepGrid(400, 512, 4, 90.0, 40.0, 1.2, 1.3, bright);
        expectStepEdgesOnTruth(shaded(s.grid), s.truth, bright, 0.1);
    }
    SyntheticSem image;
    const GreyImage upright = drawnGrid(lineImage(20.0, 17), image);
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    MetrologyResult even;
    MetrologyResult trend;
    measureMetrology(upright, locateCoarseEdges(upright, 0.3), settings, even);
    const GreyImage dimmed = shaded(upright);
    measureMetrology(dimmed, locateCoarseEdges(dimmed, 0.3), settings, trend);
    ASSERT_EQ(trend.lines.size(), even.lines.size());
    EXPECT_NEAR(trend.cdNm, even.cdNm, 0.02);
    EXPECT_EQ(trend.missingEdgeRows, even.missingEdgeRows);
    EXPECT_NEAR(trend.lwr.sigma3UnbiasedNm, even.lwr.sigma3UnbiasedNm,
                0.01 * even.lwr.sigma3UnbiasedNm);
}

TEST(SubpixelEdges, ARowWithoutItsOwnCrossingIsFoundOnItsNeighboursButNotAFlatOrJumpedOne) {
    // Three rows of the first edge are spoiled within 12 px of it: row 100 falls across the
    // edge instead of rising (contrast, but no crossing of its own: as when noise hides the
    // edge), row 150 is flat (no edge there), row 200 shows its edge 3 px off (a jump). Only row
    // 100 is found, on the mean with rows 99 and 101, whose levels its own inverted ones balance
    // so that the mean's crossing stays on the edge.
    StepGrid s = makeStepGrid(400, 300, 4, 90.0, 40.0, 1.2, 1.3, true);
    const std::vector<double>& truth = s.truth[0];
    auto spoil = [&](int32_t y, double shift, double left, double right) {
        const double t = truth[static_cast<size_t>(y)];
        for (int32_t x = 0; x < 60; ++x) {
            const double column = x + 1.0;
            if (std::fabs(column - t) > 12.0) continue;
            const double step =
                0.5 * (1.0 + std::erf((column - t - shift) / (1.2 * std::sqrt(2.0))));
            s.grid.at(x, y) = left + (right - left) * step;
        }
    };
    spoil(100, 0.0, 190.0, 40.0);
    spoil(150, 0.0, 40.0, 40.0);
    spoil(200, 3.0, 40.0, 190.0);
    for (int32_t halfRows : {1, 0}) {
        MetrologySettings settings;
        settings.contrast = Contrast::kBrightLine;
        settings.bootstrapResamples = 0;
        settings.edges.pooledHalfRows = halfRows;
        MetrologyResult r;
        measureMetrology(s.grid, CoarseEdges(), settings, r);
        ASSERT_EQ(r.edges.size(), s.truth.size()) << r.reason;
        const MetrologyEdge& edge = r.edges[0];
        EXPECT_TRUE(std::isnan(edge.positions[150]));
        EXPECT_TRUE(std::isnan(edge.positions[200]));
        if (halfRows == 1) {
            EXPECT_NEAR(edge.positions[100], truth[100], 0.05);
            EXPECT_EQ(edge.pooledRows, 1);
            EXPECT_EQ(edge.missingRows, 2);
        } else {
            EXPECT_TRUE(std::isnan(edge.positions[100]));
            EXPECT_EQ(edge.pooledRows, 0);
            EXPECT_EQ(edge.missingRows, 3);
        }
        EXPECT_EQ(r.pooledEdgeRows, edge.pooledRows);
        EXPECT_EQ(r.missingEdgeRows, edge.missingRows);
    }
}

TEST(SubpixelEdges, GeneratedBandEdgesFollowTheTrueEdgesAtAConstantOffset) {
    // The 50 % crossing of the outer band flank lies a constant distance outside the drawn
    // edge (the blurred band's peak is below its drawn level); the roughness is followed. The
    // image's blur (sigma 1 px, also along the line) smooths the drawn course, so the detected
    // one is compared with the drawn one smoothed the same way.
    SyntheticSemSettings s = lineImage(3.0, 21);
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    SyntheticSem image;
    MetrologyResult r;
    measureGenerated(s, settings, image, r);
    ASSERT_EQ(r.edges.size(), image.edges.size());
    EXPECT_LE(r.missingEdgeRows, 0.001 * s.height * static_cast<double>(r.edges.size()));
    const int32_t n = s.height;
    double weights[7];
    double total = 0.0;
    for (int32_t k = -3; k <= 3; ++k) total += weights[k + 3] = std::exp(-0.5 * k * k);
    for (size_t e = 0; e < r.edges.size(); ++e) {
        const std::vector<double>& drawn = image.edges[e].positions;
        double sum = 0.0;
        double sumSquares = 0.0;
        int32_t count = 0;
        for (int32_t y = 0; y < n; ++y) {
            if (std::isnan(r.edges[e].positions[static_cast<size_t>(y)])) continue;
            double seen = 0.0;
            for (int32_t k = -3; k <= 3; ++k)
                seen += weights[k + 3] / total *
                        drawn[static_cast<size_t>(std::min(n - 1, std::max(0, y + k)))];
            const double d = r.edges[e].positions[static_cast<size_t>(y)] - seen;
            sum += d;
            sumSquares += d * d;
            ++count;
        }
        const double offset = sum / count;
        const double spread = std::sqrt(sumSquares / count - offset * offset);
        const double outward = r.edges[e].leftEdge ? -offset : offset;
        EXPECT_GT(outward, 0.2) << "edge " << e;
        EXPECT_LT(outward, 0.6) << "edge " << e;
        EXPECT_LT(spread, 0.1) << "edge " << e;
    }
}

TEST(SubpixelEdges, ABandOfRowsWithoutLinesDoesNotMoveTheEdges) {
    // 30 rows of bare background across the picture (a scan glitch, a strip without pattern):
    // the levels of the edges come from the rows that show them, so the other rows' edges stay
    // where they were and the CD with them.
    for (SyntheticContrast contrast :
         {SyntheticContrast::kBrightEdges, SyntheticContrast::kBrightLine}) {
        SyntheticSemSettings s = lineImage(10.0, 41);
        s.width = 768;
        s.lineCount = 12;
        s.contrast = contrast;
        SyntheticSem image;
        const GreyImage whole = drawnGrid(s, image);
        GreyImage gap = whole;
        for (int32_t y = 200; y < 230; ++y)
            for (int32_t x = 0; x < s.width; ++x) gap.at(x, y) = s.backgroundLevel;
        MetrologySettings settings;
        settings.bootstrapResamples = 0;
        MetrologyResult a;
        MetrologyResult b;
        measureMetrology(whole, locateCoarseEdges(whole, 0.3), settings, a);
        measureMetrology(gap, locateCoarseEdges(gap, 0.3), settings, b);
        ASSERT_EQ(b.lines.size(), a.lines.size());
        for (const MetrologyEdge& edge : b.edges)
            for (size_t y = 200; y < 230; ++y) EXPECT_TRUE(std::isnan(edge.positions[y]));
        // The lines' mean widths over the remaining rows, against the gap's.
        double shift = 0.0;
        for (size_t l = 0; l < a.lines.size(); ++l) {
            double sum = 0.0;
            int32_t rows = 0;
            for (size_t y = 0; y < a.lines[l].widthsNm.size(); ++y) {
                if (std::isnan(b.lines[l].widthsNm[y])) continue;
                sum += b.lines[l].widthsNm[y] - a.lines[l].widthsNm[y];
                ++rows;
            }
            shift += sum / rows / static_cast<double>(a.lines.size());
        }
        EXPECT_LT(std::fabs(shift), 0.02) << static_cast<int>(contrast);
    }
}

TEST(Metrology, DenseStepGratingsBesideABareMarginGiveEveryLine) {
    // Lines of 5 and 6 px at pitches of 10 and 12 px, blurred by 1 px, with 20 px of bare space
    // on the left: the lines are located on the middle rows' profile, which must keep their
    // modulation (a profile smoothed by 2 px lost much of it: at pitch 10, 40 of 47 lines with a
    // CD of 7.1 px; at pitch 8 the grating read as one line of 233 px).
    for (SyntheticContrast contrast :
         {SyntheticContrast::kBrightLine, SyntheticContrast::kDarkLine}) {
        for (double pitch : {10.0, 12.0}) {
            SyntheticSemSettings s = lineImage(10.0, 43);
            s.width = 512;
            s.contrast = contrast;
            s.pitch = pitch;
            s.cd = pitch / 2.0;
            s.lineCount = 0;  // as many as fit
            s.roughnessSigma = 0.5;
            SyntheticSem image;
            const GreyImage grid = drawnGrid(s, image);
            MetrologySettings settings;
            settings.contrast = contrastOf(contrast);
            settings.bootstrapResamples = 0;
            MetrologyResult r;
            measureMetrology(grid, CoarseEdges(), settings, r);
            EXPECT_GE(r.lines.size() + 1, static_cast<size_t>(image.truth.lineCount)) << pitch;
            EXPECT_NEAR(r.cdNm, image.truth.meanCd, 0.15) << pitch;
        }
    }
}

TEST(Metrology, TiltedLinesWhoseBandsMergeInTheColumnSumsAreStillMeasured) {
    // Narrow spaces (16 px between the bands of neighbouring lines) and a tilt of 14 px over the
    // image: in the whole grid's column sums the two bands of a space merge into one, so the
    // coarse edges pair the wrong bands. Every row is shifted by a whole number of columns, so
    // the drawn widths stay the truth.
    SyntheticSemSettings s = lineImage(10.0, 23);
    s.width = 512;
    s.lineCount = 8;
    s.pitch = 52.0;
    s.cd = 36.0;
    s.firstEdge = 24.0;
    s.roughnessSigma = 1.0;
    s.correlationLength = 10.0;
    SyntheticSem image;
    const GreyImage straight = drawnGrid(s, image);
    const GreyImage tilted = shearedRows(straight, [&](int32_t y) { return 14 * y / s.height; });
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    const CoarseEdges coarse = locateCoarseEdges(tilted, 0.3);
    MetrologyResult r;
    measureMetrology(tilted, coarse, settings, r);
    EXPECT_FALSE(r.edgeOrigin.empty()) << "the coarse edges were not found wrong";
    ASSERT_EQ(r.lines.size(), static_cast<size_t>(s.lineCount)) << r.edgeOrigin;
    EXPECT_LE(r.missingEdgeRows, 0.002 * s.height * static_cast<double>(r.edges.size()));
    // Band edges lie 0.3-0.5 px outside the drawn ones (see above): the CD is about 0.8 px
    // wider than drawn.
    EXPECT_NEAR(r.cdNm, image.truth.meanCd + 0.8, 0.3);
    for (const MetrologyLine& line : r.lines)
        EXPECT_NEAR(line.meanWidthNm, image.truth.meanCd + 0.8, 1.0);
    EXPECT_NEAR(r.lwr.sigma3UnbiasedNm, 3.0 * image.truth.widthSigma,
                0.1 * 3.0 * image.truth.widthSigma);

    // Untilted, the coarse edges hold and number the edges as the whole-pixel analysis does.
    MetrologyResult plain;
    measureMetrology(straight, locateCoarseEdges(straight, 0.3), settings, plain);
    EXPECT_TRUE(plain.edgeOrigin.empty()) << plain.edgeOrigin;
    ASSERT_EQ(plain.lines.size(), r.lines.size());
    for (size_t e = 0; e < plain.edges.size(); ++e)
        EXPECT_EQ(plain.edges[e].edgeNumber, static_cast<int32_t>(e) + 1);
    EXPECT_NEAR(plain.lwr.sigma3UnbiasedNm, r.lwr.sigma3UnbiasedNm,
                0.03 * plain.lwr.sigma3UnbiasedNm);
}

TEST(Metrology, LinesTiltedBySeveralDegreesAreMeasuredAsUprightOnes) {
    // Rows shifted by whole columns (the drawn widths stay the truth) to 3, 6 and 10 degrees: the
    // edges then move 0.8, 1.7 and 2.8 px from one block of 16 rows to the next, on top of their
    // roughness. At 14 and 20 degrees (3.9 and 5.8 px) they move beyond the tracking's reach.
    SyntheticSemSettings s = lineImage(10.0, 31);
    s.width = 640;
    s.height = 704;  // the contrast's blocks of a sixth of it smear over 20 px at 10 degrees
    s.lineCount = 8;
    s.pitch = 64.0;
    s.firstEdge = 60.0;
    SyntheticSem image;
    const GreyImage upright = drawnGrid(s, image);
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    MetrologyResult reference;
    measureMetrology(upright, locateCoarseEdges(upright, 0.3), settings, reference);
    ASSERT_EQ(reference.lines.size(), static_cast<size_t>(s.lineCount));
    EXPECT_NEAR(reference.tiltDegrees, 0.0, 0.3);  // the edges' roughness alone
    for (double degrees : {3.0, 6.0, 10.0, 14.0, 20.0}) {
        const double slope = std::tan(degrees * kPi / 180.0);
        const GreyImage tilted = shearedRows(upright, [&](int32_t y) {
            return static_cast<int32_t>(std::lround(slope * (y - s.height / 2)));
        });
        MetrologyResult r;
        measureMetrology(tilted, locateCoarseEdges(tilted, 0.3), settings, r);
        if (degrees > 10.6) {
            // Beyond the tracking's reach: nothing measured, and the reason says how far.
            EXPECT_TRUE(r.turnedTooFar) << degrees;
            EXPECT_TRUE(r.lines.empty());
            EXPECT_NEAR(r.tiltDegrees, degrees, 2.5);
            EXPECT_NE(r.reason.find("turned by about"), std::string::npos) << r.reason;
            continue;
        }
        EXPECT_FALSE(r.turnedTooFar) << degrees;
        // Blocks of rows lined up by the drift still show the bands.
        EXPECT_EQ(detectContrast(tilted), Contrast::kBrightEdge) << degrees;
        ASSERT_EQ(r.lines.size(), static_cast<size_t>(s.lineCount)) << degrees << r.reason;
        EXPECT_LE(r.missingEdgeRows, 0.005 * s.height * static_cast<double>(r.edges.size()))
            << degrees;
        // Sheared, the lines keep their widths along the rows: across them they are narrower.
        EXPECT_NEAR(r.cdNm, reference.cdNm * std::cos(degrees * kPi / 180.0), 0.1) << degrees;
        EXPECT_NEAR(r.tiltDegrees - reference.tiltDegrees, degrees, 0.02);
        EXPECT_NEAR(r.lwr.sigma3UnbiasedNm, reference.lwr.sigma3UnbiasedNm,
                    0.05 * reference.lwr.sigma3UnbiasedNm)
            << degrees;
    }
    // Four blocks of lines turned by 20 degrees are still seen turned; two to four blocks of
    // noise are not (one or two of their neighbouring blocks' shifts agreed by chance, and 32 or
    // 64 rows of noise were refused as lines turned by 16 or 23 degrees).
    const double slope = std::tan(20.0 * kPi / 180.0);
    const GreyImage turned = shearedRows(upright, [&](int32_t y) {
        return static_cast<int32_t>(std::lround(slope * (y - s.height / 2)));
    });
    GreyImage strip;
    ASSERT_TRUE(strip.allocate(turned.width, 64));
    for (int32_t y = 0; y < strip.height; ++y)
        for (int32_t x = 0; x < strip.width; ++x) strip.at(x, y) = turned.at(x, y + 320);
    EdgeGrid lined;
    ASSERT_TRUE(prepareEdgeGrid(strip, SubpixelSettings(), lined));
    EXPECT_NEAR(lined.turnedDriftPx, 16.0 * slope, 0.5);
    std::mt19937_64 random(17);
    std::normal_distribution<double> noise(120.0, 30.0);
    int32_t turnedNoise = 0;
    for (int32_t rows : {32, 48, 64}) {
        for (int32_t k = 0; k < 10; ++k) {
            GreyImage field;
            ASSERT_TRUE(field.allocate(400, rows));
            for (size_t i = 0; i < field.size(); ++i) field.data[i] = noise(random);
            ASSERT_TRUE(prepareEdgeGrid(field, SubpixelSettings(), lined));
            turnedNoise += lined.turnedDriftPx != 0.0 ? 1 : 0;
        }
    }
    EXPECT_EQ(turnedNoise, 0);
}

TEST(Metrology, TiltedLinesLeavingThroughTheSidesKeepTheRowsOfTheOthers) {
    // Lines across the whole width, sheared by 8 degrees: the outer edges leave through the
    // sides part of the way down. The spectra keep every row of the edges that run the whole
    // picture, rather than cutting all edges to the few rows every one of them spans (which
    // read a 3-sigma LWR 15-20 % low: the roughness over fewer rows is smaller).
    SyntheticSemSettings s = lineImage(20.0, 33);
    s.width = 640;
    s.height = 704;
    s.lineCount = 10;
    s.pitch = 64.0;
    s.firstEdge = 6.0;
    SyntheticSem image;
    const GreyImage upright = drawnGrid(s, image);
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    MetrologyResult reference;
    measureMetrology(upright, locateCoarseEdges(upright, 0.3), settings, reference);
    const double slope = std::tan(8.0 * kPi / 180.0);
    const GreyImage tilted = shearedRows(upright, [&](int32_t y) {
        return static_cast<int32_t>(std::lround(slope * (y - s.height / 2)));
    });
    MetrologyResult r;
    measureMetrology(tilted, locateCoarseEdges(tilted, 0.3), settings, r);
    ASSERT_GE(r.lines.size(), 6u) << r.reason;
    EXPECT_GE(r.lastSpectrumRow - r.firstSpectrumRow + 1, s.height * 9 / 10);
    EXPECT_NEAR(r.lwr.sigma3UnbiasedNm, reference.lwr.sigma3UnbiasedNm,
                0.07 * reference.lwr.sigma3UnbiasedNm);
    EXPECT_NEAR(r.ler.sigma3UnbiasedNm, reference.ler.sigma3UnbiasedNm,
                0.07 * reference.ler.sigma3UnbiasedNm);
}

TEST(Metrology, TurnedLinesAreMeasuredAcrossTheirEdgesNotAlongTheRows) {
    // Straight bright lines of 20 px turned by 0, 3 and 6 degrees (drawn from the distance across
    // each edge, blurred by 1 px): the rows cut them 20 / cos wide, 0.15 px more at 6 degrees.
    // Edges that wiggle by a sine of 1 px across the line keep that amplitude.
    const int32_t width = 400;
    const int32_t height = 512;
    for (double degrees : {0.0, 3.0, 6.0}) {
        const double angle = degrees * kPi / 180.0;
        GreyImage grid;
        ASSERT_TRUE(grid.allocate(width, height));
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const double across =
                    (x + 1 - 60.0 - (y - height / 2) * std::tan(angle)) * std::cos(angle);
                const double along = (y - height / 2) / std::cos(angle);
                double level = 40.0;
                for (int32_t k = 0; k < 6; ++k) {
                    const double left = 50.0 * k + std::sin(2.0 * kPi * along / 64.0 + k);
                    const double right = 50.0 * k + 20.0 + std::sin(2.0 * kPi * along / 64.0 - k);
                    level += 80.0 * (std::erf((across - left) / std::sqrt(2.0)) -
                                     std::erf((across - right) / std::sqrt(2.0)));
                }
                grid.at(x, y) = level;
            }
        MetrologySettings settings;
        settings.contrast = Contrast::kBrightLine;
        settings.bootstrapResamples = 0;
        MetrologyResult r;
        measureMetrology(grid, locateCoarseEdges(grid, 0.3), settings, r);
        ASSERT_EQ(r.lines.size(), 6u) << degrees << r.reason;
        EXPECT_NEAR(r.tiltDegrees, degrees, 0.02);
        EXPECT_NEAR(r.cdNm, 20.0, 0.03) << degrees;
        // A sine of amplitude 1: sigma 1 / sqrt 2 across the edge (blur takes a little).
        EXPECT_NEAR(r.ler.sigma3BiasedNm / 3.0, 1.0 / std::sqrt(2.0), 0.03) << degrees;
        // Its period, 64 px along the line, is the spectrum's peak.
        const auto peak = std::max_element(r.ler.psdNm3.begin(), r.ler.psdNm3.end());
        EXPECT_NEAR(1.0 / r.frequencyPerNm[static_cast<size_t>(peak - r.ler.psdNm3.begin())], 64.0,
                    2.0)
            << degrees;
    }
}

TEST(Metrology, EdgesThatLeaveThePictureThroughItsSideAreMissingThereNotInvented) {
    // Straight dark lines of 20 px on a bright space (blur 1 px, noise 3) turned by 8 degrees;
    // the first line's left edge runs out through the left border over the top 140 rows, and its
    // right edge comes within 4 px of it.
    const int32_t width = 360;
    const int32_t height = 512;
    const double angle = 8.0 * kPi / 180.0;
    // Edge k's true column in row y (1-based): across = 50 (k / 2) + 20 (k % 2).
    const auto truth = [&](int32_t k, int32_t y) {
        return 20.0 + (50.0 * (k / 2) + 20.0 * (k % 2)) / std::cos(angle) +
               (y - height / 2) * std::tan(angle);
    };
    std::mt19937_64 random(11);
    std::normal_distribution<double> noise(0.0, 3.0);
    GreyImage grid;
    ASSERT_TRUE(grid.allocate(width, height));
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            double level = 200.0 + noise(random);
            for (int32_t k = 0; k < 12; k += 2)
                level -=
                    80.0 * (std::erf((x + 1 - truth(k, y)) * std::cos(angle) / std::sqrt(2.0)) -
                            std::erf((x + 1 - truth(k + 1, y)) * std::cos(angle) / std::sqrt(2.0)));
            grid.at(x, y) = level;
        }
    MetrologySettings settings;
    settings.contrast = Contrast::kDarkLine;
    settings.bootstrapResamples = 0;
    MetrologyResult r;
    measureMetrology(grid, locateCoarseEdges(grid, 0.3), settings, r);
    ASSERT_EQ(r.edges.size(), 12u) << r.reason;
    int32_t outside = 0;
    for (int32_t y = 0; y < height; ++y) outside += truth(0, y) < 0.5 ? 1 : 0;
    EXPECT_GE(r.edges[0].missingRows, outside);
    for (size_t k = 0; k < r.edges.size(); ++k)
        for (int32_t y = 0; y < height; ++y) {
            const double found = r.edges[k].positions[static_cast<size_t>(y)];
            if (std::isnan(found)) continue;
            ASSERT_NEAR(found, truth(static_cast<int32_t>(k), y), 0.3)
                << "edge " << k << " row " << y;
        }
    for (const MetrologyLine& line : r.lines) EXPECT_NEAR(line.meanWidthNm, 20.0, 0.05);
}

TEST(Metrology, EdgesThatKinkNearTheEndOfThePictureAreFollowedToIt) {
    // The picture moves 6 px sideways within 40 rows (a sharp kink of every edge, as a stage
    // jump or a rough edge's own excursion gives) near one end. The tracking follows at most
    // 2 px per block of 16 rows, and beyond the kink no tracked block brings it back: past the
    // kink the edges must still be found, where they are.
    const int32_t height = 512;
    const auto kink = [](int32_t y, int32_t at) {
        return std::min(6, std::max(0, (y - at) * 6 / 40));
    };
    for (SyntheticContrast contrast :
         {SyntheticContrast::kBrightEdges, SyntheticContrast::kBrightLine}) {
        SyntheticSemSettings s = lineImage(3.0, 7);
        s.width = 768;
        s.lineCount = 12;
        s.roughnessSigma = 1.0;
        s.contrast = contrast;
        SyntheticSem image;
        const GreyImage upright = drawnGrid(s, image);
        // Band edges kink near the bottom, plain ones near the top.
        const bool atBottom = contrast == SyntheticContrast::kBrightEdges;
        const auto shift = [&](int32_t y) {
            return atBottom ? kink(y, height - 90) : kink(height - 1 - y, height - 90);
        };
        const GreyImage kinked = shearedRows(upright, shift);
        MetrologySettings settings;
        settings.bootstrapResamples = 0;
        MetrologyResult a;
        MetrologyResult b;
        measureMetrology(upright, locateCoarseEdges(upright, 0.3), settings, a);
        measureMetrology(kinked, locateCoarseEdges(kinked, 0.3), settings, b);
        ASSERT_EQ(b.edges.size(), a.edges.size()) << b.reason;
        EXPECT_LE(b.missingEdgeRows, a.missingEdgeRows + 2) << static_cast<int>(contrast);
        for (size_t e = 0; e < b.edges.size(); ++e)
            for (int32_t y = 0; y < height; ++y) {
                const double found = b.edges[e].positions[static_cast<size_t>(y)];
                const double before = a.edges[e].positions[static_cast<size_t>(y)];
                if (std::isnan(found) || std::isnan(before)) continue;
                ASSERT_NEAR(found - shift(y), before, 0.3)
                    << "edge " << e << " row " << y << " contrast " << static_cast<int>(contrast);
            }
    }
}

TEST(Metrology, LinesThatBendTogetherAreFollowed) {
    // The picture drifted during the scan: every line bows by 24 px over 900 rows, half a sine.
    // Far from any straight line, the edges must still be followed in every row.
    SyntheticSemSettings s = lineImage(10.0, 12);
    s.width = 640;
    s.height = 900;
    s.lineCount = 9;
    SyntheticSem image;
    const GreyImage upright = drawnGrid(s, image);
    const auto bow = [&](int32_t y) {
        return static_cast<int32_t>(std::lround(24.0 * std::sin(kPi * y / (s.height - 1))));
    };
    const GreyImage bowed = shearedRows(upright, bow);
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    MetrologyResult a;
    MetrologyResult b;
    measureMetrology(upright, locateCoarseEdges(upright, 0.3), settings, a);
    measureMetrology(bowed, locateCoarseEdges(bowed, 0.3), settings, b);
    ASSERT_EQ(b.edges.size(), a.edges.size()) << b.reason;
    EXPECT_LE(b.missingEdgeRows, a.missingEdgeRows + 2);
    for (size_t e = 0; e < b.edges.size(); ++e)
        for (int32_t y = 0; y < s.height; ++y) {
            const double found = b.edges[e].positions[static_cast<size_t>(y)];
            const double before = a.edges[e].positions[static_cast<size_t>(y)];
            if (std::isnan(found) || std::isnan(before)) continue;
            ASSERT_NEAR(found - bow(y), before, 0.3) << "edge " << e << " row " << y;
        }
    EXPECT_NEAR(b.lwr.sigma3UnbiasedNm, a.lwr.sigma3UnbiasedNm, 0.02 * a.lwr.sigma3UnbiasedNm);
}

TEST(Metrology, LinesWithABandAtOneEdgeOnlyAreRecognisedAndMeasuredWhole) {
    // Charging lights the left edge of each line: its right band is dimmed to a share of its
    // height above the body, or gone (the body then steps down to the space). The bright runs
    // are then one narrow band per line at an even pitch, like thin bright lines, but with the
    // space on one side and the line body on the other.
    SyntheticSemSettings s = lineImage(10.0, 73);
    s.width = 768;
    s.lineCount = 12;
    s.firstEdge = 40.0;
    SyntheticSem image;
    const GreyImage both = drawnGrid(s, image);
    MetrologySettings settings;
    settings.contrast = Contrast::kBrightEdge;
    settings.bootstrapResamples = 0;
    MetrologyResult reference;
    measureMetrology(both, locateCoarseEdges(both, 0.3), settings, reference);
    ASSERT_EQ(reference.lines.size(), 12u);
    for (double share : {0.15, 0.0}) {
        GreyImage dimmed = both;
        for (int32_t y = 0; y < s.height; ++y)
            for (size_t e = 0; e + 1 < image.edges.size(); e += 2) {
                const double left = image.edges[e].positions[static_cast<size_t>(y)];
                const double right = image.edges[e + 1].positions[static_cast<size_t>(y)];
                for (int32_t x = static_cast<int32_t>(0.5 * (left + right));
                     x < std::min(s.width, static_cast<int32_t>(right) + 4); ++x) {
                    double& v = dimmed.at(x, y);
                    if (v > s.bodyLevel) v = s.bodyLevel + share * (v - s.bodyLevel);
                }
            }
        EXPECT_EQ(detectContrast(dimmed), Contrast::kBrightEdge) << share;
        MetrologyResult r;
        measureMetrology(dimmed, CoarseEdges(), settings, r);
        // Every line from the bands alone (no coarse edges), the last one's right edge before
        // the border included.
        ASSERT_EQ(r.lines.size(), 12u) << share;
        EXPECT_NEAR(r.cdNm, reference.cdNm, 1.2) << share;
    }
}

TEST(Metrology, NarrowLinesWhoseTwoBandsMergeAreStillLines) {
    // Lines of 10.8 px with bands of 3 px at a 20 px pitch under a blur of 1.5 px: on some lines
    // the two bands merge into one peak without a side, which is a line, not a lone band.
    SyntheticSemSettings s = lineImage(0.0, 9125);
    s.width = 768;
    s.lineCount = 0;
    s.pitch = 20.0;
    s.cd = 10.8;
    s.bandWidth = 3.0;
    s.blurSigma = 1.5;
    s.roughnessSigma = 1.0;
    s.correlationLength = 40.0;
    s.firstEdge = 24.0;
    SyntheticSem image;
    const GreyImage grid = drawnGrid(s, image);
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    MetrologyResult r;
    measureMetrology(grid, locateCoarseEdges(grid, 0.3), settings, r);
    const size_t drawn = image.edges.size() / 2;
    ASSERT_GE(drawn, 30u);
    ASSERT_EQ(r.lines.size(), drawn) << r.reason;
    for (size_t l = 0; l < drawn; ++l) {
        const double centre = 0.5 * (r.edges[static_cast<size_t>(r.lines[l].leftEdge)].meanNm +
                                     r.edges[static_cast<size_t>(r.lines[l].rightEdge)].meanNm);
        EXPECT_NEAR(centre, image.edges[2 * l].nominal + 0.5 * s.cd, 1.0) << "line " << l;
    }
}

TEST(Metrology, ABrightCentreDoesNotMoveTheEdgesOrWidenTheLines) {
    // Shading that bends (a Gaussian bump of +-30 and +-60 grey levels on the band contrast of
    // 160): a fixed crossing level would slide along the flanks with it, in and out over the
    // rows (unbiased LWR 12 % and 52 % high); the level follows the edges' own.
    SyntheticSemSettings s = lineImage(10.0, 61);
    s.width = 512;
    s.lineCount = 8;
    s.pitch = 60.0;
    SyntheticSem image;
    const GreyImage even = drawnGrid(s, image);
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    MetrologyResult reference;
    measureMetrology(even, locateCoarseEdges(even, 0.3), settings, reference);
    ASSERT_EQ(reference.lines.size(), 8u);
    for (double amplitude : {60.0, 120.0}) {
        GreyImage shaded = even;
        for (int32_t y = 0; y < shaded.height; ++y)
            for (int32_t x = 0; x < shaded.width; ++x) {
                const double dx = x - shaded.width / 2.0;
                const double dy = y - shaded.height / 2.0;
                const double spread = shaded.width / 3.0;
                shaded.at(x, y) +=
                    amplitude * (std::exp(-(dx * dx + dy * dy) / (2.0 * spread * spread)) - 0.5);
            }
        MetrologyResult r;
        measureMetrology(shaded, locateCoarseEdges(shaded, 0.3), settings, r);
        ASSERT_EQ(r.lines.size(), 8u) << amplitude;
        EXPECT_NEAR(r.lwr.sigma3UnbiasedNm, reference.lwr.sigma3UnbiasedNm,
                    0.02 * reference.lwr.sigma3UnbiasedNm)
            << amplitude;
        EXPECT_NEAR(r.ler.sigma3UnbiasedNm, reference.ler.sigma3UnbiasedNm,
                    0.02 * reference.ler.sigma3UnbiasedNm)
            << amplitude;
        EXPECT_NEAR(r.cdNm, reference.cdNm, 0.05) << amplitude;
    }
}

TEST(Metrology, ShadingAcrossThePictureLosesNoPlainLine) {
    // The picture's brightness rising from left to right, 0.6 to 1.4 and 0.5 to 1.5 times: under
    // one level for the whole profile the dim side's lines fell below the bright side's spaces.
    // Before, one line of eight was lost (bright lines at 0.6-1.4), a line's left edge was put
    // 12 px inside it (0.5-1.5), and dark lines were read by a guess (their spaces at the dim
    // border fell below the level, as if a line were cut there).
    // Faint lines (60 over 90, noise 25) at 0.4 to 1.6 times: the dim side's lines and spaces
    // differ by less than half the bright side's contrast, and lost two lines as well.
    struct Shading {
        SyntheticContrast kind;
        double background, line, noise, gain;
    };
    const Shading cases[] = {{SyntheticContrast::kDarkLine, 40.0, 200.0, 8.0, 0.8},
                             {SyntheticContrast::kDarkLine, 40.0, 200.0, 8.0, 1.0},
                             {SyntheticContrast::kBrightLine, 40.0, 200.0, 8.0, 0.8},
                             {SyntheticContrast::kBrightLine, 40.0, 200.0, 8.0, 1.0},
                             {SyntheticContrast::kBrightLine, 90.0, 150.0, 25.0, 1.2}};
    for (const Shading& c : cases) {
        const SyntheticContrast kind = c.kind;
        const double gain = c.gain;
        SyntheticSemSettings s = lineImage(c.noise, 63);
        s.width = 512;
        s.lineCount = 8;
        s.contrast = kind;
        s.backgroundLevel = c.background;
        s.bandLevel = c.line;
        SyntheticSem image;
        const GreyImage even = drawnGrid(s, image);
        MetrologySettings settings;
        settings.contrast = contrastOf(kind);
        settings.bootstrapResamples = 0;
        MetrologyResult reference;
        measureMetrology(even, CoarseEdges(), settings, reference);
        ASSERT_EQ(reference.lines.size(), 8u);
        {
            GreyImage shaded = even;
            for (int32_t y = 0; y < shaded.height; ++y)
                for (int32_t x = 0; x < shaded.width; ++x)
                    shaded.at(x, y) *= 1.0 - 0.5 * gain + gain * x / (shaded.width - 1.0);
            EdgeGrid lined;
            ASSERT_TRUE(prepareEdgeGrid(shaded, SubpixelSettings(), lined));
            bool guessed = true;
            EXPECT_EQ(detectContrast(shaded, lined, &guessed), contrastOf(kind)) << gain;
            EXPECT_FALSE(guessed) << gain;
            MetrologyResult r;
            measureMetrology(shaded, CoarseEdges(), settings, r);
            ASSERT_EQ(r.lines.size(), 8u) << gain;
            EXPECT_EQ(r.missingEdgeRows, 0) << gain;
            EXPECT_NEAR(r.cdNm, reference.cdNm, 0.1) << gain;
            EXPECT_NEAR(r.lwr.sigma3UnbiasedNm, reference.lwr.sigma3UnbiasedNm,
                        0.02 * reference.lwr.sigma3UnbiasedNm)
                << gain;
        }
    }
    // Shading without lines moves nothing: its blocks match equally at every shift, and the
    // noise picked one (a drift of 0.8 px per block; a plain ramp was refused as lines turned by
    // 13 degrees).
    GreyImage ramp;
    ASSERT_TRUE(ramp.allocate(300, 300));
    std::mt19937_64 random(3);
    std::normal_distribution<double> noise(0.0, 2.0);
    for (int32_t y = 0; y < ramp.height; ++y)
        for (int32_t x = 0; x < ramp.width; ++x) ramp.at(x, y) = 20.0 + 0.6 * x + noise(random);
    EdgeGrid lined;
    ASSERT_TRUE(prepareEdgeGrid(ramp, SubpixelSettings(), lined));
    EXPECT_EQ(lined.turnedDriftPx, 0.0);
    EXPECT_LT(std::fabs(lined.driftPx), 0.5);
}

TEST(Metrology, PlainLinesOfTwoBrightnessesAreFoundWhole) {
    // Every other line at half the contrast: the dim lines sat on the half-way level and broke
    // into pieces (19 "lines" of 21 px for 16 of 28, and 17 of 25 px for dark lines). Dark lines
    // at 0.65 of it were read as bands (the spaces between dark runs of two levels): 7 "lines"
    // of 77 px.
    struct Case {
        SyntheticContrast kind;
        double share;
    };
    for (const Case& c :
         {Case{SyntheticContrast::kBrightLine, 0.5}, Case{SyntheticContrast::kDarkLine, 0.5},
          Case{SyntheticContrast::kDarkLine, 0.65}}) {
        const SyntheticContrast kind = c.kind;
        SyntheticSemSettings s = lineImage(10.0, 501);
        s.contrast = kind;
        SyntheticSem image;
        const GreyImage even = drawnGrid(s, image);
        GreyImage alternating = even;
        const double space =
            kind == SyntheticContrast::kBrightLine ? s.backgroundLevel : s.bandLevel;
        for (int32_t k = 1; k < s.lineCount; k += 2) {
            const int32_t from = static_cast<int32_t>(s.firstEdge + k * s.pitch) - 10;
            const int32_t to = static_cast<int32_t>(s.firstEdge + k * s.pitch + s.cd) + 10;
            for (int32_t y = 0; y < even.height; ++y)
                for (int32_t x = std::max(0, from); x < std::min(even.width, to); ++x)
                    alternating.at(x, y) = space + c.share * (even.at(x, y) - space);
        }
        // (At half the contrast the dim dark lines reach the blocks' level, and with the spaces
        // beside them form wide bright runs whose ends stand above their middle, as a ridge's
        // bands do: auto reads bands there, and --contrast dark-line is needed.)
        if (kind == SyntheticContrast::kBrightLine || c.share > 0.6) {
            EXPECT_EQ(detectContrast(alternating), contrastOf(kind)) << c.share;
        }
        MetrologySettings settings;
        settings.contrast = contrastOf(kind);
        settings.bootstrapResamples = 0;
        MetrologyResult reference;
        measureMetrology(even, CoarseEdges(), settings, reference);
        MetrologyResult r;
        measureMetrology(alternating, CoarseEdges(), settings, r);
        ASSERT_EQ(r.lines.size(), static_cast<size_t>(s.lineCount)) << c.share;
        EXPECT_NEAR(r.cdNm, reference.cdNm, 0.05) << c.share;
        EXPECT_NEAR(r.lwr.sigma3UnbiasedNm, reference.lwr.sigma3UnbiasedNm,
                    0.02 * reference.lwr.sigma3UnbiasedNm);
    }
}

TEST(Metrology, TrenchesWithABandOnOneSideOnlyStillGiveEveryLine) {
    // Wide ridges (136) between narrow trenches (120, 5 px), pitch 24 px; a bright band marks
    // only the trench's left side (the ridge's right edge), and a faint one (1 grey level) its
    // right side in every third trench, as in low-voltage images of dense gratings. Each
    // ridge's left edge is then a plain step from the trench.
    const int32_t width = 480;
    const int32_t height = 320;
    const int32_t trenches = 19;
    std::vector<std::vector<double>> left(trenches), right(trenches);  // trench sides per row
    std::mt19937_64 random(7);
    std::normal_distribution<double> noise(0.0, 3.0);
    GreyImage grid;
    ASSERT_TRUE(grid.allocate(width, height));
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t k = 0; k < trenches; ++k) {
            const double a = 12.0 + 24.0 * k + 0.8 * std::sin(2.0 * kPi * y / 53.0 + k);
            left[static_cast<size_t>(k)].push_back(a);
            right[static_cast<size_t>(k)].push_back(a + 5.0 +
                                                    0.8 * std::sin(2.0 * kPi * y / 37.0 + 2.0 * k));
        }
        for (int32_t x = 0; x < width; ++x) {
            const double c = x + 1.0;
            double v = 136.0;
            for (int32_t k = 0; k < trenches; ++k) {
                const double a = left[static_cast<size_t>(k)].back();
                const double b = right[static_cast<size_t>(k)].back();
                v -= 16.0 * 0.5 * (std::erf((c - a) / 1.0) - std::erf((c - b) / 1.0));
                v += 16.0 * std::exp(-0.5 * (c - a + 1.5) * (c - a + 1.5));
                if (k % 3 == 0) v += 1.0 * std::exp(-0.5 * (c - b - 1.5) * (c - b - 1.5));
            }
            grid.at(x, y) = v + noise(random);
        }
    }
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    MetrologyResult r;
    measureMetrology(grid, locateCoarseEdges(grid, 0.3), settings, r);
    // Every ridge between two trenches, each 19 px wide as drawn (its right edge the band's
    // outer flank, a little into the trench).
    ASSERT_EQ(r.lines.size(), static_cast<size_t>(trenches - 1)) << r.edgeOrigin << r.reason;
    EXPECT_LE(r.missingEdgeRows, 0.005 * height * static_cast<double>(r.edges.size()));
    for (size_t l = 0; l < r.lines.size(); ++l) {
        EXPECT_NEAR(r.lines[l].meanWidthNm, 19.0, 0.8) << "line " << l;
        // The step edge follows the drawn one row by row, to within the noise.
        double sum = 0.0;
        double squares = 0.0;
        int32_t rows = 0;
        for (int32_t y = 0; y < height; ++y) {
            const double d =
                r.edges[2 * l].positions[static_cast<size_t>(y)] - right[l][static_cast<size_t>(y)];
            if (std::isnan(d)) continue;
            sum += d;
            squares += d * d;
            ++rows;
        }
        ASSERT_GT(rows, 0);
        EXPECT_LT(std::fabs(sum / rows), 0.2) << "line " << l;
        EXPECT_LT(std::sqrt(squares / rows), 0.4) << "line " << l;
    }

    // The real low-voltage crop of such a grating: about 55 trenches, every ridge alike.
    GreyImage crop;
    if (!readGreyPng(kSemData + "/mpa_N5_P475_006_crop.png", crop))
        GTEST_SKIP() << "the real SEM crops are not in " << kSemData;
    MetrologyResult real;
    measureMetrology(crop, locateCoarseEdges(crop, 0.3), settings, real);
    EXPECT_GE(real.lines.size(), 52u) << real.edgeOrigin << real.reason;
    std::vector<double> widths;
    for (const MetrologyLine& line : real.lines) widths.push_back(line.meanWidthNm);
    std::sort(widths.begin(), widths.end());
    ASSERT_FALSE(widths.empty());
    const double typical = widths[widths.size() / 2];
    EXPECT_GT(widths.front(), 0.9 * typical);
    EXPECT_LT(widths.back(), 1.1 * typical);
}

TEST(Metrology, NoiseRaisesTheBiasedLwrButNotTheUnbiasedOne) {
    MetrologySettings settings;
    settings.bootstrapResamples = 50;
    SyntheticSem clean;
    SyntheticSem noisy;
    MetrologyResult a;
    MetrologyResult b;
    measureGenerated(lineImage(0.0, 31), settings, clean, a);
    measureGenerated(lineImage(60.0, 31), settings, noisy, b);
    ASSERT_TRUE(a.lwr.fit.ok) << a.lwr.fit.status;
    ASSERT_TRUE(b.lwr.fit.ok) << b.lwr.fit.status;
    EXPECT_GT(b.lwr.sigma3BiasedNm, 1.08 * a.lwr.sigma3BiasedNm);
    EXPECT_NEAR(b.lwr.sigma3UnbiasedNm, a.lwr.sigma3UnbiasedNm, 0.05 * a.lwr.sigma3UnbiasedNm);
    EXPECT_NEAR(b.ler.sigma3UnbiasedNm, a.ler.sigma3UnbiasedNm, 0.05 * a.ler.sigma3UnbiasedNm);
    // Against the drawn edges (the blur of the image takes a few per cent off the roughness).
    const double trueLwr = 3.0 * noisy.truth.widthSigma;
    EXPECT_NEAR(b.lwr.sigma3UnbiasedNm, trueLwr, 0.1 * trueLwr);
    EXPECT_LT(std::fabs(b.cdNm - a.cdNm), 0.3);
    EXPECT_GT(b.lwr.ci95Nm, 0.0);
    EXPECT_LT(b.lwr.ci95Nm, 0.2 * b.lwr.sigma3UnbiasedNm);
    EXPECT_GT(b.ler.fit.noiseFloor, 0.0);
    EXPECT_LE(b.lwr.sigma3UnbiasedNm, b.lwr.sigma3BiasedNm);

    // Each line's own width sigma with the image's noise taken away follows that line's drawn
    // widths; its biased sigma carries the noise.
    std::vector<const SyntheticEdge*> lefts;
    for (size_t e = 0; e + 1 < noisy.edges.size(); ++e)
        if (noisy.edges[e].kind == SyntheticEdgeKind::kLineLeft) lefts.push_back(&noisy.edges[e]);
    ASSERT_EQ(b.lines.size(), lefts.size());
    double biasedRatio = 0.0;
    double unbiasedRatio = 0.0;
    for (size_t l = 0; l < b.lines.size(); ++l) {
        const SyntheticEdge& left = *lefts[l];
        const SyntheticEdge& right = *(lefts[l] + 1);
        std::vector<double> drawn(left.positions.size());
        for (size_t y = 0; y < drawn.size(); ++y) drawn[y] = right.positions[y] - left.positions[y];
        const double truth = residualSigma(drawn);
        const MetrologyLine& line = b.lines[l];
        EXPECT_NEAR(line.widthSigmaUnbiasedNm, truth, 0.12 * truth) << "line " << l;
        EXPECT_LT(line.widthSigmaUnbiasedNm, line.widthSigmaBiasedNm);
        for (const SyntheticEdge* drawnEdge : {&left, &right}) {
            const MetrologyEdge& edge =
                b.edges[static_cast<size_t>(drawnEdge == &left ? line.leftEdge : line.rightEdge)];
            const double edgeTruth = residualSigma(drawnEdge->positions);
            EXPECT_NEAR(edge.sigmaUnbiasedNm, edgeTruth, 0.12 * noisy.truth.edgeSigma)
                << "line " << l;
            EXPECT_LT(edge.sigmaUnbiasedNm, edge.sigmaBiasedNm);
        }
        biasedRatio += line.widthSigmaBiasedNm / truth / static_cast<double>(b.lines.size());
        unbiasedRatio += line.widthSigmaUnbiasedNm / truth / static_cast<double>(b.lines.size());
    }
    EXPECT_GT(biasedRatio, 1.06);
    EXPECT_NEAR(unbiasedRatio, 1.0, 0.05);
}

TEST(Metrology, NoiseCorrelationReadAboveTheRoughnessKeepsAlphaFromSinkingAtHighNoise) {
    // Noise 120 on a contrast of 160, where a few per cent of the rows are found only on their
    // neighbours' mean and the detector's errors correlate over a few rows. Fitted with the
    // roughness, the noise term's row correlation came out too small and its low-frequency
    // excess was read as roughness: alpha about 0.3 low, xi long, the unbiased LER high. Read
    // from the high bands it removes half of that, over four images of each kind (a single image
    // scatters by about 0.1 in alpha).
    double alphaBand = 0.0;
    double alphaJoint = 0.0;
    double lerBand = 0.0;
    double lerJoint = 0.0;
    int32_t images = 0;
    for (const SyntheticContrast kind :
         {SyntheticContrast::kBrightEdges, SyntheticContrast::kBrightLine}) {
        for (uint64_t seed = 1; seed <= 4; ++seed) {
            SyntheticSemSettings s = lineImage(120.0, seed);
            s.height = 1024;
            s.pitch = 64.0;
            s.firstEdge = 24.0;
            s.contrast = kind;
            s.correlationLength = 40.0;
            s.roughnessModel = SyntheticRoughness::kSpectral;
            s.roughnessExponent = 0.8;
            MetrologySettings settings;
            settings.contrast = contrastOf(kind);
            settings.bootstrapResamples = 0;
            SyntheticSem image;
            MetrologyResult band;
            MetrologyResult joint;
            measureGenerated(s, settings, image, band);
            settings.noiseCorrelationBand = 0.0;
            measureGenerated(s, settings, image, joint);
            ASSERT_TRUE(band.ler.fit.ok && joint.ler.fit.ok);
            const double trueLer = 3.0 * image.truth.edgeSigma;
            alphaBand += band.ler.fit.alpha - 0.8;
            alphaJoint += joint.ler.fit.alpha - 0.8;
            lerBand += std::fabs(band.ler.sigma3UnbiasedNm / trueLer - 1.0);
            lerJoint += std::fabs(joint.ler.sigma3UnbiasedNm / trueLer - 1.0);
            ++images;
        }
    }
    alphaBand /= images;
    alphaJoint /= images;
    EXPECT_LT(alphaJoint, -0.25);
    EXPECT_GT(alphaBand, -0.2);
    EXPECT_GT(alphaBand, alphaJoint + 0.08);
    EXPECT_LT(lerBand, 0.7 * lerJoint);
}

TEST(Metrology, UnbiasedIsNeverNegativeOnEdgesOfPureNoiseAndZeroOnStraightOnes) {
    for (uint64_t seed : {1, 2, 3}) {
        SyntheticSemSettings s = lineImage(40.0, seed);
        s.roughnessSigma = 0.0;
        MetrologySettings settings;
        settings.bootstrapResamples = 20;
        SyntheticSem image;
        MetrologyResult r;
        measureGenerated(s, settings, image, r);
        for (const RoughnessFigure* f : {&r.ler, &r.lwr, &r.lpr}) {
            ASSERT_FALSE(std::isnan(f->sigma3UnbiasedNm)) << f->reason;
            EXPECT_GE(f->sigma3UnbiasedNm, 0.0);
            EXPECT_LT(f->sigma3UnbiasedNm, 0.5 * f->sigma3BiasedNm);
        }
    }
    // Straight edges without noise (a drawn pattern) have no spectrum to fit: their roughness is
    // 0, biased and unbiased, with an interval of 0 (it was empty, "the fit diverged").
    SyntheticSemSettings s = lineImage(0.0, 1);
    s.roughnessSigma = 0.0;
    s.contrast = SyntheticContrast::kDarkLine;
    MetrologySettings settings;
    settings.contrast = Contrast::kDarkLine;
    settings.bootstrapResamples = 20;
    SyntheticSem image;
    MetrologyResult r;
    measureGenerated(s, settings, image, r);
    for (const RoughnessFigure* f : {&r.ler, &r.lwr, &r.lpr}) {
        EXPECT_EQ(f->sigma3BiasedNm, 0.0);
        EXPECT_EQ(f->sigma3UnbiasedNm, 0.0) << f->reason;
        EXPECT_EQ(f->ci95Nm, 0.0) << f->ciReason;
        EXPECT_EQ(f->fit.status, "no roughness: every series is a straight line");
    }
}

TEST(Metrology, IntervalsRepeatWithTheSeedAndNeedTwoLinesAndTwentyResamples) {
    MetrologySettings settings;
    settings.bootstrapResamples = 40;
    SyntheticSemSettings s = lineImage(20.0, 41);
    s.height = 256;
    SyntheticSem image;
    MetrologyResult first;
    MetrologyResult second;
    measureGenerated(s, settings, image, first);
    measureGenerated(s, settings, image, second);
    EXPECT_EQ(first.lwr.ci95Nm, second.lwr.ci95Nm);
    EXPECT_EQ(first.cdCi95Nm, second.cdCi95Nm);
    EXPECT_GT(first.cdCi95Nm, 0.0);

    // One resample gave intervals of width 0.
    settings.bootstrapResamples = 1;
    MetrologyResult once;
    measureGenerated(s, settings, image, once);
    ASSERT_TRUE(std::isfinite(once.lwr.sigma3UnbiasedNm));
    for (double ci : {once.cdCi95Nm, once.ler.ci95Nm, once.lwr.ci95Nm, once.lpr.ci95Nm})
        EXPECT_TRUE(std::isnan(ci));
    EXPECT_EQ(once.lwr.ciReason,
              "too few bootstrap resamples for a 95 % interval (1; at least 20)");
    EXPECT_EQ(once.cdCiReason, once.lwr.ciReason);
    settings.bootstrapResamples = 40;

    s.lineCount = 1;
    MetrologyResult single;
    measureGenerated(s, settings, image, single);
    ASSERT_EQ(single.lines.size(), 1u);
    EXPECT_TRUE(std::isnan(single.lwr.ci95Nm));
    EXPECT_FALSE(single.lwr.ciReason.empty());
    EXPECT_TRUE(std::isnan(single.cdCi95Nm));
    EXPECT_FALSE(std::isnan(single.cdNm));
}

TEST(Metrology, AGridWithoutLinesGivesReasonsNotFigures) {
    GreyImage flat;
    ASSERT_TRUE(flat.allocate(64, 64));
    for (size_t i = 0; i < flat.size(); ++i) flat.data[i] = 100.0;
    MetrologySettings settings;
    MetrologyResult r;
    measureMetrology(flat, locateCoarseEdges(flat, 0.3), settings, r);
    EXPECT_FALSE(r.reason.empty());
    EXPECT_TRUE(std::isnan(r.ler.sigma3UnbiasedNm));
    EXPECT_TRUE(std::isnan(r.cdNm));
    EXPECT_FALSE(r.cdReason.empty());
}

TEST(Metrology, PureNoiseHoldsNoStepLineWhileLinesUnderMoreNoiseThanContrastStillDo) {
    // Pictures of noise alone (a field without pattern, out of focus) gave 18-37 "lines" of
    // 7-9 px, with CDs and LERs. Lines whose contrast (160) is below the noise (200), the most
    // the validation reaches, must keep every line.
    for (SyntheticContrast contrast :
         {SyntheticContrast::kBrightLine, SyntheticContrast::kDarkLine}) {
        for (uint64_t seed : {1, 2, 3}) {
            SyntheticSemSettings s = lineImage(200.0, seed);
            s.contrast = contrast;
            MetrologySettings settings;
            settings.contrast = contrastOf(contrast);
            settings.bootstrapResamples = 0;
            SyntheticSem image;
            MetrologyResult lines;
            measureGenerated(s, settings, image, lines);
            EXPECT_EQ(lines.lines.size(), static_cast<size_t>(s.lineCount)) << seed;

            s.noiseSigma = 40.0;
            s.bandLevel = s.backgroundLevel = 120.0;
            MetrologyResult noise;
            measureGenerated(s, settings, image, noise);
            EXPECT_TRUE(noise.lines.empty()) << seed << ": " << noise.lines.size();
            EXPECT_TRUE(std::isnan(noise.cdNm));
            EXPECT_EQ(noise.reason,
                      "no line stands out of the noise of the middle rows (a picture of noise, or "
                      "lines tilted by more than about 10 degrees)");
        }
    }
}

TEST(Metrology, AWideFieldOfQuietNoiseHoldsNoBand) {
    // Peaks of 4 noise sigmas stand out of a profile of 1536 columns by chance: fields of grey
    // level 40 under noise 3 gave 2-16 "lines" read as bands. Its span is that of noise.
    std::mt19937_64 random(31);
    std::normal_distribution<double> noise(40.0, 3.0);
    int32_t found = 0;
    for (int32_t field = 0; field < 6; ++field) {
        GreyImage wide;
        ASSERT_TRUE(wide.allocate(1536, 384));
        for (size_t i = 0; i < wide.size(); ++i) wide.data[i] = std::round(noise(random));
        MetrologySettings settings;
        settings.contrast = Contrast::kBrightEdge;
        settings.bootstrapResamples = 0;
        MetrologyResult r;
        measureMetrology(wide, locateCoarseEdges(wide, 0.5), settings, r);
        found += static_cast<int32_t>(r.lines.size());
    }
    EXPECT_EQ(found, 0);
    // One line in such a field (its bands 2 % of the columns) stands out of it.
    SyntheticSem image;
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    MetrologyResult one;
    measureGenerated(oneLineInAWideField(SyntheticContrast::kBrightEdges), settings, image, one);
    EXPECT_EQ(one.lines.size(), 1u) << one.reason;
}

TEST(Metrology, AFewRowsOfNoiseHoldNoLineWhileAFewRowsOfLinesDo) {
    // A picture of one block of rows (16 or fewer) had no second block to show its noise: every
    // wiggle of a field of noise was a band or a line (8 and 16 rows: 14 and 16 "lines" of
    // 13 px). Its noise now comes from the scatter of its rows; a single row shows none, and
    // gives no line.
    std::mt19937_64 random(23);
    std::normal_distribution<double> noise(120.0, 30.0);
    for (int32_t rows : {1, 8, 16}) {
        GreyImage field;
        ASSERT_TRUE(field.allocate(400, rows));
        for (size_t i = 0; i < field.size(); ++i) field.data[i] = noise(random);
        for (Contrast contrast : {Contrast::kBrightEdge, Contrast::kBrightLine}) {
            MetrologySettings settings;
            settings.contrast = contrast;
            settings.bootstrapResamples = 0;
            MetrologyResult r;
            measureMetrology(field, locateCoarseEdges(field, 0.3), settings, r);
            EXPECT_TRUE(r.lines.empty()) << rows << " rows: " << r.lines.size() << " lines";
            EXPECT_FALSE(r.reason.empty());
        }
    }
    for (SyntheticContrast kind :
         {SyntheticContrast::kBrightEdges, SyntheticContrast::kBrightLine}) {
        SyntheticSemSettings s = lineImage(10.0, 29);
        s.height = 8;
        s.contrast = kind;
        MetrologySettings settings;
        settings.contrast = contrastOf(kind);
        settings.bootstrapResamples = 0;
        SyntheticSem image;
        MetrologyResult r;
        measureGenerated(s, settings, image, r);
        EXPECT_EQ(r.lines.size(), static_cast<size_t>(s.lineCount)) << r.reason;
    }
}

TEST(Metrology, ThreadsMeasuringAtOnceGetTheSameFigures) {
    SyntheticSemSettings s = lineImage(30.0, 51);
    s.height = 256;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(s, image));
    GreyImage grid;
    toGreyImage(image, grid);
    const CoarseEdges coarse = locateCoarseEdges(grid, 0.3);
    MetrologySettings settings;
    settings.bootstrapResamples = 20;
    MetrologyResult alone;
    measureMetrology(grid, coarse, settings, alone);
    std::vector<MetrologyResult> results(4);
    std::vector<std::thread> threads;
    for (MetrologyResult& r : results)
        threads.emplace_back(
            [&grid, &coarse, &settings, &r] { measureMetrology(grid, coarse, settings, r); });
    for (std::thread& t : threads) t.join();
    for (const MetrologyResult& r : results) {
        EXPECT_EQ(r.lwr.sigma3UnbiasedNm, alone.lwr.sigma3UnbiasedNm);
        EXPECT_EQ(r.ler.ci95Nm, alone.ler.ci95Nm);
    }
}

TEST(Metrology, PoolingImagesAveragesTheirLinesAndResamplesTheImages) {
    MetrologySettings settings;
    settings.bootstrapResamples = 30;
    SyntheticSemSettings s = lineImage(20.0, 61);
    s.height = 256;
    SyntheticSem image;
    MetrologyResult a;
    MetrologyResult b;
    measureGenerated(s, settings, image, a);
    s.seed = 62;
    measureGenerated(s, settings, image, b);
    const PooledRoughness pooled = pooledRoughness({&a, &b, nullptr}, settings);
    EXPECT_EQ(pooled.imageCount, 2);
    EXPECT_EQ(pooled.lineCount, static_cast<int32_t>(a.lines.size() + b.lines.size()));
    EXPECT_NEAR(pooled.cdNm, 0.5 * (a.cdNm + b.cdNm), 1e-9);
    EXPECT_NEAR(pooled.lwr.biasedVarianceNm2,
                0.5 * (a.lwr.biasedVarianceNm2 + b.lwr.biasedVarianceNm2), 1e-9);
    ASSERT_TRUE(pooled.lwr.fit.ok) << pooled.lwr.fit.status;
    EXPECT_GT(pooled.cdu3SigmaNm, 0.0);
    EXPECT_GT(pooled.lwr.ci95Nm, 0.0);

    // Images whose CDs differ (26, 28 and 30 px, 8 lines each): the interval of the group's CD
    // resamples the images, so it holds their spread (Student's interval of the three image
    // means: +- 5.0 px), not only the scatter of lines within them (about +- 0.2 px).
    MetrologyResult r[3];
    for (int32_t i = 0; i < 3; ++i) {
        s = lineImage(20.0, static_cast<uint64_t>(64 + i));
        s.height = 256;
        s.width = 512;
        s.lineCount = 8;
        s.cd = 26.0 + 2.0 * i;
        measureGenerated(s, settings, image, r[i]);
    }
    const PooledRoughness spread = pooledRoughness({&r[0], &r[1], &r[2]}, settings);
    EXPECT_NEAR(spread.cdNm, (r[0].cdNm + r[1].cdNm + r[2].cdNm) / 3.0, 1e-9);
    // Student's interval of the image means, to the resampling's scatter (about 5 %), for three
    // images and for two (whose resamples' percentiles are just the two means).
    const auto student = [&](std::vector<double> cds) {
        const double n = static_cast<double>(cds.size());
        double mean = 0.0;
        for (double cd : cds) mean += cd / n;
        double sum = 0.0;
        for (double cd : cds) sum += (cd - mean) * (cd - mean);
        return gsl_cdf_tdist_Pinv(0.975, n - 1.0) * std::sqrt(sum / (n - 1.0) / n);
    };
    MetrologySettings many = settings;
    many.bootstrapResamples = 2000;
    const double three = student({r[0].cdNm, r[1].cdNm, r[2].cdNm});
    EXPECT_NEAR(pooledRoughness({&r[0], &r[1], &r[2]}, many).cdCi95Nm, three, 0.05 * three);
    const double two = student({r[0].cdNm, r[2].cdNm});
    EXPECT_NEAR(pooledRoughness({&r[0], &r[2]}, many).cdCi95Nm, two, 0.05 * two);
    // One image alone keeps the interval over its lines.
    const PooledRoughness alone = pooledRoughness({&r[1]}, settings);
    EXPECT_EQ(alone.cdCi95Nm, r[1].cdCi95Nm);
    EXPECT_EQ(alone.lwr.ci95Nm, r[1].lwr.ci95Nm);
}

TEST(Metrology, PoolingTakesThePixelSizeMostHaveAndTheLengthThatPoolsTheMostRows) {
    // 256 and 320 rows pool over the fewer rows (the middle ones of the longer image), 512 rows
    // in all; 120 rows would pool 360 and add their lines to the CD only.
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    SyntheticSem image;
    MetrologyResult r[3];
    const int32_t heights[3] = {256, 320, 120};
    for (int32_t i = 0; i < 3; ++i) {
        SyntheticSemSettings s = lineImage(20.0, static_cast<uint64_t>(70 + i));
        s.height = heights[i];
        measureGenerated(s, settings, image, r[i]);
    }
    const PooledRoughness pooled = pooledRoughness({&r[0], &r[1], &r[2]}, settings);
    EXPECT_EQ(pooled.imageCount, 3);
    EXPECT_EQ(pooled.spectrumImageCount, 2);
    EXPECT_EQ(pooled.lineCount,
              static_cast<int32_t>(r[0].lines.size() + r[1].lines.size() + r[2].lines.size()));
    const int32_t n = std::min(r[0].lastSpectrumRow - r[0].firstSpectrumRow,
                               r[1].lastSpectrumRow - r[1].firstSpectrumRow) +
                      1;
    ASSERT_GE(n, 200);
    EXPECT_EQ(pooled.lwr.psdNm3.size(), static_cast<size_t>(n / 2));
    // The pooled biased width variance is the mean over the lines of the variance of their
    // widths about a straight line, over the common rows.
    double sum = 0.0;
    int32_t lines = 0;
    for (int32_t i = 0; i < 2; ++i) {
        const int32_t rows = r[i].lastSpectrumRow - r[i].firstSpectrumRow + 1;
        const size_t first = static_cast<size_t>(r[i].firstSpectrumRow - 1 + (rows - n) / 2);
        for (const MetrologyLine& line : r[i].lines) {
            if (!line.inSpectrum) continue;
            const std::vector<double> widths(line.widthsNm.begin() + first,
                                             line.widthsNm.begin() + first + n);
            for (double w : widths) ASSERT_TRUE(std::isfinite(w));
            sum += residualSigma(widths) * residualSigma(widths);
            ++lines;
        }
    }
    EXPECT_EQ(pooled.spectrumLineCount, lines);
    EXPECT_NEAR(pooled.lwr.biasedVarianceNm2, sum / lines, 1e-9 * sum / lines);
    ASSERT_TRUE(pooled.lwr.fit.ok) << pooled.lwr.fit.status;
    EXPECT_LE(pooled.lwr.sigma3UnbiasedNm, pooled.lwr.sigma3BiasedNm);
    EXPECT_EQ(pooled.spectrumRows, n);
    ASSERT_EQ(pooled.spectrumNotes.size(), 2u);
    EXPECT_EQ(pooled.spectrumNotes[0].rfind("1 image shorter than the " + std::to_string(n) +
                                                " rows pooled: left out of the spectra",
                                            0),
              0u)
        << pooled.spectrumNotes[0];
    EXPECT_EQ(pooled.spectrumNotes[1].rfind("1 image longer than the", 0), 0u);

    // An image left out of the spectra is no unit of their resamples: one image of 320 rows
    // with one of 120 keeps the interval of the long one alone.
    MetrologySettings resampled = settings;
    resampled.bootstrapResamples = 60;
    const PooledRoughness withShort = pooledRoughness({&r[2], &r[1]}, resampled);
    const PooledRoughness longAlone = pooledRoughness({&r[1]}, resampled);
    ASSERT_TRUE(std::isfinite(longAlone.lwr.ci95Nm)) << longAlone.lwr.ciReason;
    EXPECT_NEAR(withShort.lwr.ci95Nm, longAlone.lwr.ci95Nm, 1e-9) << withShort.lwr.ciReason;
    EXPECT_NEAR(withShort.ler.ci95Nm, longAlone.ler.ci95Nm, 1e-9) << withShort.ler.ciReason;
    EXPECT_TRUE(std::isfinite(withShort.cdCi95Nm)) << withShort.cdCiReason;

    // One short image among long ones leaves their length alone: three of 320 rows pool 960
    // rows, with the one of 120 rows only 480.
    const PooledRoughness longest = pooledRoughness({&r[2], &r[1], &r[1], &r[1]}, settings);
    EXPECT_EQ(longest.spectrumImageCount, 3);
    EXPECT_EQ(longest.spectrumRows, r[1].lastSpectrumRow - r[1].firstSpectrumRow + 1);
    EXPECT_NEAR(longest.lwr.biasedVarianceNm2, r[1].lwr.biasedVarianceNm2,
                1e-12 * r[1].lwr.biasedVarianceNm2);

    // An image at another pixel size leaves the spectra, whether it is listed first or last.
    MetrologyResult coarser = r[0];
    coarser.pixelSizeNm *= 2.0;
    coarser.rowSpacingNm *= 2.0;
    const PooledRoughness first = pooledRoughness({&coarser, &r[0], &r[1]}, settings);
    const PooledRoughness last = pooledRoughness({&r[0], &r[1], &coarser}, settings);
    EXPECT_EQ(first.spectrumImageCount, 2);
    EXPECT_EQ(first.lwr.biasedVarianceNm2, last.lwr.biasedVarianceNm2);
    EXPECT_EQ(first.lwr.sigma3UnbiasedNm, last.lwr.sigma3UnbiasedNm);
    ASSERT_FALSE(first.spectrumNotes.empty());
    EXPECT_EQ(first.spectrumNotes[0].rfind("1 image of 3 with spectra at another pixel size", 0),
              0u)
        << first.spectrumNotes[0];
}

TEST(Metrology, EdgeCorrelationIsFreeOfNoiseCommonToBothEdgesOfARow) {
    // Scan jitter shifts a whole row: white noise in the placement, none in the widths. The
    // edges' covariance holds it (0.49 became 0.66 here); the figure must not.
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    for (double c : {-0.5, 0.5}) {
        SyntheticSemSettings s = lineImage(20.0, c > 0.0 ? 81 : 82);
        s.edgeCorrelation = c;
        SyntheticSem image;
        ASSERT_TRUE(makeSyntheticSem(s, image));
        GreyImage still;
        toGreyImage(image, still);
        GreyImage jittered = still;
        std::mt19937_64 random(7);
        std::normal_distribution<double> shift(0.0, 0.6);
        for (int32_t y = 0; y < s.height; ++y) {
            const double d = shift(random);
            for (int32_t x = 0; x < s.width; ++x) {
                const double at = std::clamp(x + d, 0.0, s.width - 1.0);
                const int32_t left = std::min(static_cast<int32_t>(at), s.width - 2);
                const double t = at - left;
                jittered.at(x, y) = (1.0 - t) * still.at(left, y) + t * still.at(left + 1, y);
            }
        }
        const double truth = image.truth.edgeCorrelation;
        for (const GreyImage* grid : {&still, &jittered}) {
            MetrologyResult r;
            measureMetrology(*grid, locateCoarseEdges(*grid, 0.3), settings, r);
            ASSERT_TRUE(std::isfinite(r.edgeCorrelation)) << r.edgeCorrelationReason;
            EXPECT_NEAR(r.edgeCorrelation, truth, 0.05) << c << (grid == &still ? "" : " jittered");
        }
    }
}

TEST(Metrology, CdIntervalsOfThreeLinesHoldTheLotsCdAsOftenAsTheySay) {
    // 40 images of 3 lines from one lot: their 95 % intervals must hold the lot's CD (the mean of
    // all 120 lines) in about 38. Percentiles of resamples alone held it in about 31.
    MetrologySettings settings;
    SyntheticSem image;
    std::vector<MetrologyResult> results(40);
    double sum = 0.0;
    int32_t lines = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        SyntheticSemSettings s = lineImage(20.0, 300 + i);
        s.width = 220;
        s.lineCount = 3;
        s.height = 256;
        measureGenerated(s, settings, image, results[i]);
        ASSERT_EQ(results[i].lines.size(), 3u) << i;
        for (const MetrologyLine& line : results[i].lines) {
            sum += line.meanWidthNm;
            ++lines;
        }
    }
    const double lot = sum / lines;
    int32_t held = 0;
    for (const MetrologyResult& r : results) held += std::fabs(r.cdNm - lot) <= r.cdCi95Nm;
    EXPECT_GE(held, 36) << "of " << results.size();
}

TEST(Contrast, NamesParseBackAndAutoIsNotAContrast) {
    for (Contrast c : {Contrast::kBrightEdge, Contrast::kBrightLine, Contrast::kDarkLine}) {
        Contrast parsed = Contrast::kBrightEdge;
        EXPECT_TRUE(parseContrast(contrastName(c), parsed));
        EXPECT_EQ(parsed, c);
    }
    Contrast unchanged = Contrast::kDarkLine;
    EXPECT_FALSE(parseContrast("auto", unchanged));
    EXPECT_EQ(unchanged, Contrast::kDarkLine);
}

TEST(Contrast, OneStepLineInAWideFieldIsReadAndMeasured) {
    // A bright line (4 % of the columns) left the 5th and 95th percentiles of the profile in the
    // space: "no line stands out". A dark line on a bright field had no bright run between dark
    // ones to vote on and was taken for bands (a CD of the whole field).
    for (SyntheticContrast kind : {SyntheticContrast::kBrightLine, SyntheticContrast::kDarkLine}) {
        MetrologySettings settings;
        settings.contrast = contrastOf(kind);
        settings.bootstrapResamples = 0;
        SyntheticSem image;
        MetrologyResult r;
        measureGenerated(oneLineInAWideField(kind), settings, image, r);
        GreyImage grid;
        toGreyImage(image, grid);
        EXPECT_EQ(detectContrast(grid), contrastOf(kind));
        ASSERT_EQ(r.lines.size(), 1u) << r.reason;
        EXPECT_NEAR(r.cdNm, 60.0, 1.0);
    }
}

TEST(Contrast, GeneratedImagesOfEachKindAreRecognised) {
    const SyntheticContrast kinds[] = {SyntheticContrast::kBrightEdges,
                                       SyntheticContrast::kBrightLine,
                                       SyntheticContrast::kDarkLine};
    const Contrast expected[] = {Contrast::kBrightEdge, Contrast::kBrightLine, Contrast::kDarkLine};
    for (int32_t k = 0; k < 3; ++k) {
        for (double noise : {0.0, 60.0}) {
            SyntheticSemSettings s;
            s.contrast = kinds[k];
            s.noiseSigma = noise;
            s.seed = 71;
            SyntheticSem image;
            ASSERT_TRUE(makeSyntheticSem(s, image));
            GreyImage grid;
            toGreyImage(image, grid);
            EXPECT_EQ(detectContrast(grid), expected[k]) << "kind " << k << " noise " << noise;
        }
    }
    // Bands on a body hardly brighter than the space: the bright runs are the bands alone, narrow
    // and alternately a line body and a space apart. Narrow bright lines at an even pitch stay
    // lines.
    for (double body : {45.0, 65.0}) {
        SyntheticSemSettings s;
        s.bodyLevel = body;
        s.noiseSigma = 10.0;
        s.seed = 72;
        SyntheticSem image;
        ASSERT_TRUE(makeSyntheticSem(s, image));
        GreyImage grid;
        toGreyImage(image, grid);
        EXPECT_EQ(detectContrast(grid), Contrast::kBrightEdge) << "body " << body;
    }
    SyntheticSemSettings narrow;
    narrow.contrast = SyntheticContrast::kBrightLine;
    narrow.cd = 6.0;
    narrow.pitch = 30.0;
    narrow.noiseSigma = 10.0;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(narrow, image));
    GreyImage grid;
    toGreyImage(image, grid);
    EXPECT_EQ(detectContrast(grid), Contrast::kBrightLine);
    // Narrow bright lines whose pitch alternates 50 and 70 px (pitch walking): alternating
    // spacing as band pairs have, but the dark runs between them all at one level.
    for (double noise : {15.0, 60.0}) {
        std::mt19937_64 random(5);
        std::normal_distribution<double> normal(0.0, noise);
        GreyImage walked;
        ASSERT_TRUE(walked.allocate(600, 400));
        for (int32_t y = 0; y < walked.height; ++y)
            for (int32_t x = 0; x < walked.width; ++x) {
                double level = 40.0 + normal(random);
                for (double left = 30.0; left < 570.0; left += 120.0)
                    for (double l : {left, left + 50.0})
                        level += 75.0 * (std::erf((x + 1 - l) / std::sqrt(2.0)) -
                                         std::erf((x + 1 - l - 8.0) / std::sqrt(2.0)));
                walked.at(x, y) = level;
            }
        EXPECT_EQ(detectContrast(walked), Contrast::kBrightLine) << noise;
    }
    // Plain lines with one more cut by the right border: the borders lie in different phases,
    // and the narrower phase is the line (a guess, said so); with both borders in the space,
    // no guess.
    for (SyntheticContrast kind : {SyntheticContrast::kBrightLine, SyntheticContrast::kDarkLine}) {
        for (bool cut : {false, true}) {
            SyntheticSemSettings s;
            s.contrast = kind;
            s.cutLastLine = cut;
            s.noiseSigma = 30.0;
            SyntheticSem drawn;
            ASSERT_TRUE(makeSyntheticSem(s, drawn));
            GreyImage picture;
            toGreyImage(drawn, picture);
            EdgeGrid lined;
            ASSERT_TRUE(prepareEdgeGrid(picture, SubpixelSettings(), lined));
            bool guessed = !cut;
            EXPECT_EQ(detectContrast(picture, lined, &guessed), contrastOf(kind)) << cut;
            EXPECT_EQ(guessed, cut);
        }
    }
}

TEST(Contrast, BandsUnderShadingOrOnABodyNearTheLevelAreRecognised) {
    struct Case {
        const char* what;
        double pitch, cd, bandWidth, sigma, xi, space, body, band, noise;
        uint64_t seed;
        double (*gain)(double x, double y);  // x, y: 0..1 across the picture
    };
    const Case cases[] = {
        // Under one level per block the dim sides' bands fell below it, their steps were
        // measured against the bright centre's range: 24 plain bright lines of 4.7 px.
        {"bands on a faint body, a bright centre (sides at 0.6)", 40.0, 17.8, 4.0, 1.048, 20.0,
         40.0, 56.0, 122.0, 30.0, 9533,
         [](double x, double y) {
             return 1.0 - 1.6 * ((x - 0.5) * (x - 0.5) + (y - 0.5) * (y - 0.5));
         }},
        // The noise lifted the body, 3 grey levels under the blocks' level, above it here and
        // there, and those wobbles broke the bands' alternation: 9 plain lines of 20 px for 5
        // of 37 px.
        {"narrow bands, a body just under the level", 100.0, 36.9, 3.0, 1.314, 10.0, 75.0, 98.0,
         158.0, 30.0, 9517, [](double, double) { return 1.0; }},
        // The band-pair rule judged the bands' width against the median distance between them,
        // the short one (11 px) when every line is whole, not half the pitch.
        {"bands round a 7 px body hardly brighter than the space", 48.0, 15.0, 4.0, 1.0, 20.0, 40.0,
         45.0, 200.0, 10.0, 73, [](double, double) { return 1.0; }},
        // A body 18 above the space (0.19 of the range) at even spacing: the dark runs
        // alternate, the spacing not.
        {"bands at even spacing, brighter to the right", 100.0, 55.6, 4.0, 1.197, 40.0, 52.0, 70.0,
         175.0, 15.0, 9606, [](double x, double) { return 0.6 + 0.8 * x; }},
    };
    for (const Case& c : cases) {
        SyntheticSemSettings s;
        s.pitch = c.pitch;
        s.cd = c.cd;
        s.bandWidth = c.bandWidth;
        s.roughnessSigma = c.sigma;
        s.correlationLength = c.xi;
        s.backgroundLevel = c.space;
        s.bodyLevel = c.body;
        s.bandLevel = c.band;
        s.noiseSigma = c.noise;
        s.seed = c.seed;
        SyntheticSem image;
        GreyImage grid = drawnGrid(s, image);
        for (int32_t y = 0; y < grid.height; ++y)
            for (int32_t x = 0; x < grid.width; ++x)
                grid.at(x, y) *= c.gain(x / (grid.width - 1.0), y / (grid.height - 1.0));
        EXPECT_EQ(detectContrast(grid), Contrast::kBrightEdge) << c.what;
    }
}

TEST(Contrast, TheRealSemCropsAreRecognised) {
    struct Crop {
        const char* name;
        Contrast contrast;
    };
    const Crop crops[] = {
        {"mpa_A1_001_crop.png", Contrast::kBrightEdge},
        {"mpa_A3_001_crop.png", Contrast::kBrightEdge},
        {"mpa_A6_001_crop.png", Contrast::kBrightEdge},
        {"mpa_N5_P340_001_crop.png", Contrast::kBrightEdge},
        {"mpa_N5_P440_003_crop.png", Contrast::kBrightEdge},
        {"mpa_N5_P475_006_crop.png", Contrast::kBrightEdge},
        {"ptl_legacy_analysis_test_crop.png", Contrast::kBrightLine},
        {"ptl_test_analysis_lines_rot90.png", Contrast::kDarkLine},
    };
    GreyImage probe;
    if (!readGreyPng(kSemData + "/" + crops[0].name, probe))
        GTEST_SKIP() << "the real SEM crops are not in " << kSemData;
    for (const Crop& c : crops) {
        GreyImage grid;
        ASSERT_TRUE(readGreyPng(kSemData + "/" + c.name, grid)) << c.name;
        EXPECT_EQ(detectContrast(grid), c.contrast) << c.name;
    }
}
