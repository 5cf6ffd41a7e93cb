// Metrology of one image beyond the specified figures: sub-pixel edges, power spectra of edges,
// widths and line centres, their fits with a noise floor, unbiased LER/LWR/LPR with bootstrap
// intervals, and the pooling of several images' lines.
//
// Which fit gives the summary figures psd_xi_nm, psd_alpha, psd0_nm3 and noise_floor_nm3: the
// fit of the averaged edge (LER) spectrum, MetrologyResult::ler.fit (see summaryFit).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/coarse_edges.h"
#include "image/grey_image.h"
#include "metrology/contrast.h"
#include "metrology/psd_fit.h"
#include "metrology/subpixel_edges.h"

struct MetrologySettings {
    Contrast contrast = Contrast::kBrightEdge;  // already resolved (never "auto")
    // nm per pixel across the lines (the grid's columns: positions, widths, roughness); 1.0 when
    // unknown: px figures. rowSpacingNm: nm between the grid's rows, along the lines (lags,
    // frequencies, xi, resolution); 0 or less, or NaN, for square pixels (pixelSizeNm).
    double pixelSizeNm = 1.0;
    double rowSpacingNm = 0.0;
    // Bright-edge images: 1 = the first coarse edge opens a line (edges 1-2, 3-4 ...),
    // 0 = edges 2-3, 4-5 ... (as the specified analysis). Ignored for step contrast.
    int32_t pairing = 1;
    int32_t bootstrapResamples = 200;  // 0 for no intervals; under 20 give none either
    uint64_t seed = 1;                 // of the bootstrap: the same seed gives the same intervals
    SubpixelSettings edges;            // the sub-pixel edge detector
    // An edge with more missing rows than this fraction of the spectrum's rows stays out of the
    // spectra (its positions and mean are still reported); so does its line's width and centre.
    double maxMissingFraction = 0.1;
    double alphaMax = 1.5;  // upper bound of the fitted roughness exponent
    // Upper bound, px, of the imaging resolution roll-off fitted with the spectra (psd_fit.h);
    // 0 fits the standard model without it.
    double resolutionMaxPx = 3.0;
    // The microscope's resolution when it is known (Gaussian sigma of its blur along the lines,
    // nm; px when pixelSizeNm is 1 for want of a pixel size): the roll-off of every spectrum is
    // held at it instead of fitted. Negative: fitted. With the noise above the roll-off the fit
    // cannot tell the roll-off from a larger alpha and a shorter xi, so a known resolution
    // steadies alpha (not xi on the validation grid: docs/validation.md).
    double resolutionNm = -1.0;
    // Lower bound, px, of the fitted correlation length: shorter ones are indistinguishable
    // from the white noise floor (psd_fit.h).
    double xiMinPx = 2.0;
    // The edge detector chooses each row's crossing around the median of the rows up to this
    // many rows away, so its errors are correlated over those lags; the noise term of the fit
    // has that shape (psd_fit.h). 0 fits a white floor.
    int32_t noiseLagRows = 3;
    // The noise term's row correlation is read from the spectrum's bands at and above this
    // many cycles per row, where the noise outweighs the roughness, and held in the final fit
    // (PsdFitOptions::noiseCorrelationBand); 0 fits it with the roughness.
    double noiseCorrelationBand = 0.3;
};

// One edge.
struct MetrologyEdge {
    // Bright-edge images: the coarse edge number k (1-based, as the specified analysis), or 0
    // when the edges were started from the bands of the middle rows (MetrologyResult::
    // edgeOrigin) and this edge's line is not a line of the coarse edges; step contrast: the
    // edge's number counted from the left (1-based).
    int32_t edgeNumber = 0;
    bool leftEdge = true;           // the left edge of its line
    std::vector<double> positions;  // per grid row, px, 1-based columns; NaN where missing
    int32_t missingRows = 0;        // NaN rows among all grid rows
    int32_t pooledRows = 0;         // rows found on the mean of themselves and their neighbours
    bool inSpectrum = false;        // used for the spectra
    double meanNm = 0.0;            // mean position over the found rows, x pixel size (1-based)
    double sigmaBiasedNm = 0.0;     // sigma of the found positions about their LS line, x tiltCos
    // sqrt(max(0, sigmaBiased^2 - the edge (LER) fit's floor x bandwidth)): the image noise's
    // variance taken from this edge alone; NaN without that fit.
    double sigmaUnbiasedNm = 0.0;
    std::string failure;  // why the edge was not found at all (empty otherwise)
};

// One line: its two edges and what follows from them.
struct MetrologyLine {
    int32_t leftEdge = 0;  // indices (0-based) into MetrologyResult::edges
    int32_t rightEdge = 0;
    // Per grid row, NaN where either edge is missing: right - left across the line (x tiltCos),
    // and (left + right) / 2 as a row position (1-based columns x pixel size).
    std::vector<double> widthsNm;
    std::vector<double> centresNm;
    double meanWidthNm = 0.0;  // mean of widthsNm over its finite rows (NaN when none)
    // Population sigmas of widthsNm and centresNm about their least-squares lines over the rows
    // with both edges, and the same with the width (LWR) and placement (LPR) fits' floor x
    // bandwidth taken away as for the image's figures (never below 0; NaN without that fit).
    double widthSigmaBiasedNm = 0.0;
    double placementSigmaBiasedNm = 0.0;
    double widthSigmaUnbiasedNm = 0.0;
    double placementSigmaUnbiasedNm = 0.0;
    bool inSpectrum = false;  // both edges in the spectra
    // Spectra over the spectrum rows (empty unless inSpectrum; edge spectra of edges in the
    // spectra also when the other edge is not): at MetrologyResult::frequencyPerNm, nm^3.
    std::vector<double> edgePsdSum;  // sum of the PSDs of this line's edges in the spectra
    int32_t spectrumEdges = 0;       // how many edges edgePsdSum holds (0 .. 2)
    std::vector<double> widthPsd;
    std::vector<double> placementPsd;
    // Variances of the same detrended series the spectra are made of, nm^2.
    double edgeVarianceSum = 0.0;
    double widthVariance = 0.0;
    double placementVariance = 0.0;
    double edgeCovariance = 0.0;  // mean of left x right residual products
};

// Rows in which both edges of a line (a break) or the facing edges of two neighbouring lines (a
// bridge across the space between them, or a particle) are missing together.
struct EdgeGap {
    bool bridge = false;   // a space between lines `line` and `line` + 1; else line `line` broken
    int32_t line = 0;      // index (0-based) into MetrologyResult::lines
    int32_t firstRow = 0;  // grid rows, 0-based, inclusive
    int32_t lastRow = 0;
};

// Fewest consecutive rows of an EdgeGap.
constexpr int32_t kMinGapRows = 3;

// One roughness figure (LER, LWR or LPR) with its averaged spectrum and fit.
struct RoughnessFigure {
    int32_t seriesCount = 0;       // series averaged (edges, or lines)
    std::vector<double> psdNm3;    // averaged PSD at MetrologyResult::frequencyPerNm
    PsdFit fit;                    // psd0 nm^3, xi nm, alpha, noiseFloor nm^3
    std::vector<double> modelNm3;  // fitted model at the frequencies (empty without a fit)
    std::vector<double> noiseNm3;  // its noise term there: floor x noiseShape (psd_fit.h)
    double biasedVarianceNm2 = 0.0;
    double sigma3BiasedNm = 0.0;    // 3 sqrt(mean variance of the series)
    double sigma3UnbiasedNm = 0.0;  // 3 sqrt(max(0, variance - floor x bandwidth))
    double ci95Nm = 0.0;            // half-width of the 95 % interval of sigma3UnbiasedNm
    std::string reason;             // why sigma3 figures are NaN (empty when measured)
    std::string ciReason;           // why ci95Nm is NaN
};

struct MetrologyResult {
    Contrast contrast = Contrast::kBrightEdge;
    double pixelSizeNm = 1.0;   // nm per px across the lines
    double rowSpacingNm = 1.0;  // nm per row along them (dy)
    int32_t rowCount = 0;       // grid rows
    std::vector<MetrologyEdge> edges;
    std::vector<MetrologyLine> lines;
    int32_t missingEdgeRows = 0;  // sum of the edges' missingRows
    int32_t pooledEdgeRows = 0;   // sum of the edges' pooledRows
    // Runs of kMinGapRows or more rows in which both edges of a line or of a space are missing,
    // with either edge found in some row above and some row below (a defect, not a line end),
    // line by line from the left, each line's break before the bridge to its right.
    std::vector<EdgeGap> gaps;
    // Bright-edge images: empty when the edges were started from the coarse edges; otherwise
    // why they were started from the bands of the middle rows instead (locateEdgeBands).
    std::string edgeOrigin;
    // The rows the spectra use (1-based, inclusive): the span that holds the most edge rows
    // (its length times the edges covering it whole); every edge in the spectra spans them.
    int32_t firstSpectrumRow = 0;
    int32_t lastSpectrumRow = 0;
    std::vector<double> frequencyPerNm;  // k / (n dy / tiltCos), k = 1 .. n / 2 (0 left: detrended)
    double bandwidthPerNm = 0.0;         // 1 / (2 dy / tiltCos): the biased variance's span
    RoughnessFigure ler;                 // edges
    RoughnessFigure lwr;                 // widths
    RoughnessFigure lpr;                 // line centres (placement)
    double cdNm = 0.0;                   // mean of the lines' meanWidthNm
    double cdCi95Nm = 0.0;               // half-width of its 95 % interval
    std::string cdReason;
    std::string cdCiReason;
    // Correlation of left and right edges, -1 .. 1, from the unbiased width and placement
    // variances: (var p - var w / 4) / (var p + var w / 4), free of the noise whether or not
    // it is common to both edges of a row; the plain coefficient of the found edges
    // (covariance / biased variance) beside it.
    double edgeCorrelation = 0.0;
    double edgeCorrelationBiased = 0.0;
    std::string edgeCorrelationReason;
    // The lines' tilt in the upright picture, degrees: atan of the median over the edges found
    // in at least half of the rows of their least-squares slope (px per row), taken in nm
    // (pixelSizeNm / dy); positive when the lines run to the right going down. NaN, with the
    // reason, when no edge is found so far. Widths, CD and every roughness figure are taken
    // across the lines: row-wise px x pixelSizeNm x tiltCos; rows lie dy / tiltCos apart along
    // them (frequencyPerNm, xi). Edge and centre positions (meanNm, centresNm) stay row-wise.
    double tiltDegrees = 0.0;
    double tiltCos = 1.0;  // cos of the tilt; 1 when it is NaN
    std::string tiltReason;
    // True when the lines are turned beyond what the edges can be followed to (EdgeGrid::
    // turnedDriftPx): nothing is measured, `reason` says so and tiltDegrees holds the angle
    // the blocks of rows show.
    bool turnedTooFar = false;
    std::string reason;  // why nothing was measured (no line found), empty otherwise
};

// The fit the summary figures come from: the edge (LER) fit.
inline const PsdFit& summaryFit(const MetrologyResult& r) { return r.ler.fit; }

// Measures everything on `grid` (grey levels; all rows, lines along the rows; never modified).
// Bright-edge: `coarse` (locateCoarseEdges(grid, 0.3)) gives the edges; the processed range of
// `settings.pairing` (processedEdgeRange) pairs them into lines, edge k being a left edge when
// (pairing + k) is even. The bands of the middle rows (locateEdgeBands, pairEdgeBands) check
// them: when a coarse line holds a space (a right-edge band followed by a left-edge band
// between its edges: a missed or merged pair of bands), when an edge lies on a band of the
// other side or both on one band (bands merged in the column sums of tilted lines), when the
// bands show more lines than the coarse edges (lines tilted so far that their bands smear out of
// the column sums) or when the coarse edges give no line, the lines of the bands are measured
// instead and `edgeOrigin` says why. Step contrast: `coarse` is not used; the lines are located by
// locateStepLines. Figures in nm (px when pixelSizeNm is 1), PSD in nm^3, frequency in 1/nm.
// Spectra: per edge, width and centre series over the spectrum rows, gaps filled linearly,
// detrended (least-squares line), taper-windowed periodogram (psd.h); averaged over the series;
// fitted (psd_fit.h). Intervals: bootstrap over lines (settings.bootstrapResamples resamples,
// seeded), every resample's spectra refitted from the full fit; percentile interval, half of its
// width. Anything that cannot be measured is NaN with the reason in the matching text. `out` is
// replaced. Safe to call from several threads at once.
void measureMetrology(const GreyImage& grid,
                      const CoarseEdges& coarse,
                      const MetrologySettings& settings,
                      MetrologyResult& out);

// The same on `edges`, prepared from `grid` with settings.edges (prepareEdgeGrid) by a caller that
// uses it before (detectContrast); an empty one (its preparation failed) measures nothing.
void measureMetrology(const EdgeGrid& edges,
                      const GreyImage& grid,
                      const CoarseEdges& coarse,
                      const MetrologySettings& settings,
                      MetrologyResult& out);

// The lines of several images taken together.
struct PooledRoughness {
    int32_t imageCount = 0;  // images whose lines were pooled
    int32_t lineCount = 0;   // lines with a mean width
    int32_t spectrumLineCount = 0;
    int32_t spectrumImageCount = 0;  // images whose spectra were pooled (the same grid)
    int32_t spectrumRows = 0;        // rows of each pooled spectrum (0 without spectra)
    // What the spectra left out or cut, one sentence each (images at another pixel size,
    // shorter or longer than spectrumRows); empty when every image with spectra pooled whole.
    std::vector<std::string> spectrumNotes;
    double cdNm = 0.0;  // mean of the lines' mean widths
    double cdCi95Nm = 0.0;
    double cdu3SigmaNm = 0.0;  // 3 x sample sigma (n - 1) of the lines' mean widths
    std::string cdReason;      // why cdNm is NaN
    std::string cdCiReason;    // why cdCi95Nm is NaN
    RoughnessFigure ler;
    RoughnessFigure lwr;
    RoughnessFigure lpr;
    std::string reason;  // why figures are NaN
};

// The row spacing dy of `settings`: rowSpacingNm, or pixelSizeNm when that is not above 0.
double rowSpacingOf(const MetrologySettings& settings);

// The fit options of a spectrum of spectrumRows rows spaced rowSpacingOf(settings), banded as
// `layout`: the settings' bounds (lengths in rows taken at the row spacing), xi at most the
// spectrum's length when its first band is one bin, the noise's row correlation, and the
// comparison with the periodogram's expectation.
PsdFitOptions spectrumFitOptions(const MetrologySettings& settings,
                                 const BinnedPsd& layout,
                                 int32_t spectrumRows);

// Pools the lines of `results` (null entries skipped). Spectra are pooled from the results
// with spectra at the pixel size and row spacing most of them have (the first listed of
// equals), over n rows: the middle n rows of each result at least n long (a result with more
// has its lines' spectra made again over them, from the same edges), n the length that pools
// the most rows (n times the results at least n long; the longer of equals). The others add
// their lines to the CD and CDU only (spectrumImageCount says how many pooled, spectrumNotes
// which were left out or cut and why). Fits,
// unbiased figures and intervals as in measureMetrology, with the settings' bootstrap, seed and fit
// bounds, except that the bootstrap resamples whole images (all their lines) when there are two
// or more, and widens for their number; their lengths in px (resolutionMaxPx, xiMinPx,
// noiseLagRows) are taken at the row spacing of the pooled spectra (settings' pixel size and
// spacing are not used), and a resolution held in their fits (resolutionNm) is held in the pooled
// fits.
PooledRoughness pooledRoughness(const std::vector<const MetrologyResult*>& results,
                                const MetrologySettings& settings);
