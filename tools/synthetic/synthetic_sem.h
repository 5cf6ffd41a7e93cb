// Synthetic top-down SEM images of vertical lines with known rough edges, for tests and for the
// command-line generator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/grey_image.h"

// How the rough course of an edge is drawn.
enum class SyntheticRoughness {
    // Stationary first-order autoregression: correlation exp(-lag / correlationLength) at whole
    // row lags. The original model; a seed gives the same image as ever.
    kAutoregressive,
    // Gaussian noise shaped in the frequency domain (FFTW) to the spectrum
    // PSD(f) = PSD(0) / (1 + (2 pi f xi)^2)^(alpha + 1/2), xi = correlationLength rows,
    // alpha = roughnessExponent; alpha 0.5 is the exponentially correlated case. PSD(0) makes
    // the variance of a row-sampled path roughnessSigma^2: the spectrum up to half a cycle per
    // row carries all of it (the continuous model has 2 % of its power beyond that for
    // alpha 0.5 and xi 10 rows, 0.2 % for alpha 0.8; that part is not drawn).
    kSpectral,
};

// What the lines look like.
enum class SyntheticContrast {
    // A bright band just inside each line edge on a darker body; spaces darker still.
    kBrightEdges,
    // Plain (blurred) steps: the line at bandLevel on spaces at backgroundLevel.
    kBrightLine,
    // Plain steps: the line at backgroundLevel on spaces at bandLevel.
    kDarkLine,
};

// "bright-edges", "bright-line" or "dark-line", as the generator's options and truth files name
// the contrasts; parseSyntheticContrast reads those names back (false for any other text,
// `contrast` then untouched).
const char* syntheticContrastName(SyntheticContrast contrast);
bool parseSyntheticContrast(const std::string& name, SyntheticContrast& contrast);

// What to draw. Positions are 1-based column coordinates: pixel column X covers X - 0.5 to
// X + 0.5, so an edge at 20.0 runs through the centre of column 20.
struct SyntheticSemSettings {
    int32_t width = 512;   // columns
    int32_t height = 512;  // rows
    double pitch = 64.0;   // distance from one line's left edge to the next one's, pixels
    double cd = 28.0;      // line width, pixels
    // Nominal left edge of the first line, pixels; lines follow every `pitch` to the right.
    double firstEdge = 24.0;
    // Number of lines; 0 draws the lines from `firstEdge` on whose bands lie inside columns
    // 12 .. W - 12 (the coarse edge location never marks columns 1 .. 9 and the last 10),
    // leaving room there for the band of a cut last line or a trailing lone band.
    int32_t lineCount = 0;
    double bandWidth = 4.0;  // width of the bright band just inside each line edge, pixels
    SyntheticContrast contrast = SyntheticContrast::kBrightEdges;
    // Edge roughness: every edge follows its nominal position plus a stationary Gaussian
    // deviation of standard deviation `roughnessSigma` pixels, correlation length
    // `correlationLength` rows (0: uncorrelated), drawn by `roughnessModel`.
    double roughnessSigma = 1.0;
    double correlationLength = 20.0;
    SyntheticRoughness roughnessModel = SyntheticRoughness::kAutoregressive;
    double roughnessExponent = 0.5;  // alpha of the spectral model, 0 .. 4; unused otherwise
    // Correlation coefficient of the deviations of each line's left and right edges, -1 .. 1:
    // right = rho * left + sqrt(1 - rho^2) * an independent deviation of the same kind.
    double edgeCorrelation = 0.0;
    uint64_t seed = 1;  // the same seed and settings give the same image
    // Grey levels before blur and noise, 0..255.
    double backgroundLevel = 40.0;
    double bodyLevel = 80.0;  // band images only
    double bandLevel = 200.0;
    double blurSigma = 1.0;   // isotropic Gaussian blur, pixels; 0 for none
    double noiseSigma = 3.0;  // additive Gaussian noise, grey levels; 0 for none
    // Shot noise of an image averaged over `shotNoiseFrames` frames (0: none): a pixel of
    // blurred level g is the mean of that many frames of Poisson electron counts of mean
    // g * electronsPerLevel, divided by electronsPerLevel, so its variance is
    // g / (frames * electronsPerLevel). The Gaussian noise, if any, is added after it.
    int32_t shotNoiseFrames = 0;
    double electronsPerLevel = 0.1;  // mean electrons per frame and grey level, above 0
    // One more line after the last one, reaching past the right border: its right band is cut
    // off, so its left band has no partner (an odd number of edges).
    bool cutLastLine = false;
    // A lone bright band (no line body) in the middle of the space after the last line
    // (ignored with cutLastLine). Band images only.
    bool trailingLoneBand = false;
    // A lone bright band in the middle of the space before the first line, so that the first
    // detected edge opens no line (images analysed with pairing 0). Band images only.
    bool leadingLoneBand = false;
};

// What an edge of the image is.
enum class SyntheticEdgeKind { kLineLeft, kLineRight, kLone };

// "left", "right" or "lone", as the edges file names the kinds.
const char* syntheticEdgeKindName(SyntheticEdgeKind kind);

// One drawn edge: its true course. For line edges this is the line edge, the outer flank of the
// band; for a lone band, its left flank.
struct SyntheticEdge {
    SyntheticEdgeKind kind = SyntheticEdgeKind::kLineLeft;
    double nominal = 0.0;           // position without roughness, pixels
    std::vector<double> positions;  // per row, top row first, pixels (1-based columns)
};

// The true roughness of a generated image, in pixels, over its whole lines (a left and a right
// edge both inside the image; lone bands and a cut last line are left out). "Realised" figures
// are taken from the drawn edges: each edge, width (right - left) and centre ((left + right) / 2)
// series, top row to bottom, minus its least-squares line over the row numbers; sigma is the
// square root of the mean over the series of their mean squared residual (divisor: rows).
// "Model" figures are what the settings ask for. NaN where there is no whole line.
struct SyntheticTruth {
    int32_t lineCount = 0;              // whole lines
    double meanCd = 0.0;                // realised, mean of right - left over lines and rows
    double edgeSigma = 0.0;             // realised
    double widthSigma = 0.0;            // realised
    double centreSigma = 0.0;           // realised
    double edgeCorrelation = 0.0;       // realised: sum of left * right residuals over every
                                        // line and row / sqrt(sum of left^2 * sum of right^2)
    double modelCd = 0.0;               // settings' cd
    double modelEdgeSigma = 0.0;        // roughnessSigma
    double modelWidthSigma = 0.0;       // roughnessSigma * sqrt(2 (1 - rho))
    double modelCentreSigma = 0.0;      // roughnessSigma * sqrt((1 + rho) / 2)
    double modelEdgeCorrelation = 0.0;  // rho
    double correlationLength = 0.0;     // xi of the model, rows
    double roughnessExponent = 0.0;     // alpha of the model (0.5 for the autoregressive model)
    // Standard deviation of the pixel noise, grey levels, on backgroundLevel and on bandLevel
    // (levels before blur): sqrt(noiseSigma^2 + level / (frames * electronsPerLevel)).
    double noiseSigmaAtBackground = 0.0;
    double noiseSigmaAtBand = 0.0;
};

// A generated image with its edges.
struct SyntheticSem {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<unsigned char> pixels;  // grey levels, row after row, top row first
    std::vector<SyntheticEdge> edges;   // every band drawn inside the image, left to right
    SyntheticSemSettings settings;      // what it was drawn from
    SyntheticTruth truth;
};

// The first rule `settings` break, in words, or an empty text when they describe an image:
// sizes 1 .. 65536 and at most 2^28 pixels; cd above 0 and pitch above it; in band images band
// width above 0 and cd above twice it; lone bands only with bands; levels, sigmas and lengths
// finite and not negative, the blur at most 1000 px; alpha 0 .. 4; edge correlation -1 .. 1;
// frames not negative, and with frames electronsPerLevel above 0 and the largest expected count
// at most 1e9.
std::string syntheticSettingsProblem(const SyntheticSemSettings& settings);

// Draws the image described by `settings` into `out` (replaced), with its truth. Returns false,
// with `out` empty, when syntheticSettingsProblem names a problem.
// The spectral model uses FFTW, whose planner must not run in two threads at once: calls from
// several threads are serialised here, but not against other users of FFTW in the process.
bool makeSyntheticSem(const SyntheticSemSettings& settings, SyntheticSem& out);

// `grid` becomes the image's grey levels, top row as grid row 0.
void toGreyImage(const SyntheticSem& image, GreyImage& grid);

// Writes the image as a binary 8-bit PGM file (top row first). False when the file cannot be
// written.
bool writePgm(const SyntheticSem& image, const std::string& path);

// Writes the true edge positions as CSV: a header "row,edge1_left,edge2_right,..." (kind
// left, right or lone), then one line per row: the 1-based row and every edge's position in
// 1-based columns, with 6 decimals. False when the file cannot be written.
bool writeEdgeCsv(const SyntheticSem& image, const std::string& path);

// Writes the settings and the truth of `image` as a JSON object: "image" (size, contrast,
// levels, blur), "roughness" (model, sigma, xi, alpha, rho, seed), "noise" (Gaussian sigma,
// frames, electrons per level, the resulting sigma on the dark and bright levels), "model" and
// "realised" (cd, edge, width and centre sigma, edge correlation) and "line_count"; lengths in
// pixels, NaN written as null. False when the file cannot be written.
bool writeTruthJson(const SyntheticSem& image, const std::string& path);
