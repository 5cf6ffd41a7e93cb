// Synthetic top-down SEM images of vertical lines with known rough edges, for tests and for the
// command-line generator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/grey_image.h"

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
    // Edge roughness: every edge follows its nominal position plus an exponentially
    // correlated Gaussian deviation of standard deviation `roughnessSigma` pixels and
    // correlation length `correlationLength` rows (correlation exp(-lag / length)).
    double roughnessSigma = 1.0;
    double correlationLength = 20.0;
    uint64_t seed = 1;  // the same seed and settings give the same image
    // Grey levels before blur and noise, 0..255.
    double backgroundLevel = 40.0;
    double bodyLevel = 80.0;
    double bandLevel = 200.0;
    double blurSigma = 1.0;   // isotropic Gaussian blur, pixels; 0 for none
    double noiseSigma = 3.0;  // additive Gaussian noise, grey levels; 0 for none
    // One more line after the last one, reaching past the right border: its right band is cut
    // off, so its left band has no partner (an odd number of edges).
    bool cutLastLine = false;
    // A lone bright band (no line body) in the middle of the space after the last line
    // (ignored with cutLastLine).
    bool trailingLoneBand = false;
    // A lone bright band in the middle of the space before the first line, so that the first
    // detected edge opens no line (images analysed with pairing 0).
    bool leadingLoneBand = false;
};

// What an edge of the image is.
enum class SyntheticEdgeKind { kLineLeft, kLineRight, kLone };

// One drawn edge: its true course. For line edges this is the line edge, the outer flank of the
// band; for a lone band, its left flank.
struct SyntheticEdge {
    SyntheticEdgeKind kind = SyntheticEdgeKind::kLineLeft;
    double nominal = 0.0;           // position without roughness, pixels
    std::vector<double> positions;  // per row, top row first, pixels (1-based columns)
};

// A generated image with its edges, left to right.
struct SyntheticSem {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<unsigned char> pixels;  // grey levels, row after row, top row first
    std::vector<SyntheticEdge> edges;   // every band drawn inside the image, left to right
};

// Draws the image described by `settings` into `out` (replaced). Returns false, with `out`
// empty, when a size is below 1 or above 65536, the pitch, cd or band width is not positive,
// the cd is not more than twice the band width, or a level, sigma or length is not finite or
// negative.
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
