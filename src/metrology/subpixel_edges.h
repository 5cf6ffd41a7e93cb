// Sub-pixel edge positions: per row, the crossing of a fixed fraction between an edge's low
// and high grey levels, found by linear interpolation near a tracked course of the edge.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/grey_image.h"
#include "metrology/contrast.h"

// How edges are found. Distances in pixels.
struct SubpixelSettings {
    double edgeLevel = 0.5;       // crossing at low + edgeLevel (high - low), 0 < level < 1
    double rowSmoothingPx = 1.0;  // Gaussian sigma of the smoothing along each row; 0 for none
    int32_t blockRows = 16;       // rows averaged per block of the coarse tracking (>= 1)
    // Per row, the crossing nearest to the block track within searchRadiusPx is found first;
    // the position is then the mean of the crossings within refineRadiusPx of the median of
    // those first crossings over the row and the 3 rows either side.
    double searchRadiusPx = 6.0;
    double refineRadiusPx = 3.5;
    double levelHalfWindowPx = 8.0;  // low and high levels sought within this distance
    // A row is missing when the grey-level range within the level window is below this
    // fraction of the edge's contrast (high - low): no edge there (line end, particle).
    double minContrastFraction = 0.5;
    // A row is missing when its position is further than max(jumpLimitSigmas robust sigmas,
    // jumpLimitMinPx) from the median of the rows within +-7 of it.
    double jumpLimitSigmas = 6.0;
    double jumpLimitMinPx = 2.0;
    // A row with contrast but no crossing near its neighbours' median (not one whose own
    // crossing jumped) is located on the mean of itself and pooledHalfRows rows either side,
    // within the jump bound (0: such rows stay missing).
    int32_t pooledHalfRows = 1;
    // Whether the crossing level may follow brightness that bends along the edge (see
    // traceSubpixelEdge); measureMetrology turns it off again for the edges that show it when
    // fewer than half of the picture's edges do.
    bool followBentShading = true;
};

// The row profiles the edges are found on: the grid's rows, smoothed along themselves where an
// edge is sought, and the smoothed means of blocks of rows for the tracking. 0-based column
// coordinates inside.
struct EdgeGrid {
    int32_t width = 0;
    int32_t height = 0;
    const double* values = nullptr;  // the grid's elements (not owned: the grid outlives this)
    std::vector<double> taps;        // smoothing along the row, centre tap in the middle
    int32_t blockRows = 0;
    int32_t blockCount = 0;
    std::vector<double> blocks;  // block mean profiles, smoothed, block after block
    // How far the lines move to the right from one block to the next, px: the median over
    // neighbouring blocks of the shift (within +-3 px) that best aligns their profiles; 0 for
    // fewer than two blocks or a drift under 0.1 px. Lines tilted by a degree move 0.28 px per
    // block of 16 rows. The band and line location lines the middle blocks up by it, and the
    // tracking expects the edge where the drift takes it (lines up to about 10 degrees).
    double driftPx = 0.0;
    // Lines turned further than that: the median over neighbouring blocks of the best shift
    // within +-8 px, when it lies beyond 3 px (10.6 degrees at 16 rows) and at least half of the
    // pairs, and 3 at least, agree with it within 1 px; 0 otherwise (also for noise, whose shifts
    // scatter).
    // Their edges cannot be tracked.
    double turnedDriftPx = 0.0;
    // Lines that bend as a whole (the picture drifted during a slow scan, or the scan is
    // distorted): where the lines stand in each block against the middle block, px, from a cubic
    // fitted by least squares to the running sum of the neighbouring blocks' best shifts (those
    // of driftPx, a pair at its search limit counted as driftPx). Empty unless that cubic departs
    // from the straight line of driftPx in some block by 3 px or more, and by twice the robust
    // sigma of the pair shifts about the cubic's steps times the square root of the blocks (the
    // wander of a running sum of noise): straight and tilted lines are followed by driftPx
    // alone.
    std::vector<double> bendPx;
};

// Where the lines of `edges` stand in block b against the middle block (blockCount / 2), px:
// bendPx[b] for bent lines, else (b - blockCount / 2) driftPx.
double blockOffsetPx(const EdgeGrid& edges, int32_t b);

// Fills `out` from `grid`, which must outlive it. False (and `out` empty) when the grid is empty
// or the settings are out of range (blockRows < 1, negative or non-finite smoothing).
bool prepareEdgeGrid(const GreyImage& grid, const SubpixelSettings& settings, EdgeGrid& out);

// Where to look for one edge.
struct EdgeSeed {
    double column = 0.0;   // first estimate in the middle block of rows, 1-based column
    int32_t polarity = 1;  // +1: grey level rises left to right across the edge; -1: falls
    // True for a bright-edge image: `column` is the band's coarse column and the edge is the
    // outer flank of the band (its brightest point is sought within the window first).
    bool band = false;
    double halfWindowPx = 8.0;  // level window and start search, kept short of neighbours
};

// One traced edge.
struct SubpixelEdge {
    std::vector<double> positions;  // per grid row, 1-based columns; NaN where missing
    int32_t missingRows = 0;
    int32_t pooledRows = 0;  // rows located on the mean of themselves and their neighbours
    double low = 0.0;        // grey levels of the two sides (from the edge-aligned mean profile)
    double high = 0.0;
    double level = 0.0;  // the crossing level (its mean over the rows, when it follows a trend)
    // Grey levels per row by which the crossing level follows a brightness trend down the edge
    // (0: the picture's brightness is even along the edge, one level for every row).
    double levelSlope = 0.0;
    // True when the level follows shading that bends away from a straight trend (a bright
    // centre, say): each row's level is then that of its segment of 64 rows, interpolated.
    bool levelShaped = false;
    std::string failure;  // why the edge was not found at all (then every row is missing)
};

// Traces the edge of `seed` on `edges` (see SubpixelSettings for each step): block tracking from
// the middle block up and down (an edge lost before an end of the picture sought again from that
// end and followed back), the levels from the mean profile aligned on the track (over the
// rows with contrast, when some have none), then per row the mean of the crossings of the level
// in the edge's direction within the search radius of the track; rows without one, without
// contrast, or jumping are NaN and counted. The crossing level is one for the edge, or follows
// the levels of segments of 64 rows where they show a brightness trend: a straight one, or,
// with followBentShading, one that bends smoothly away from it by more than their noise
// (levelShaped).
void traceSubpixelEdge(const EdgeGrid& edges,
                       const EdgeSeed& seed,
                       const SubpixelSettings& settings,
                       SubpixelEdge& out);

// A line of a step-contrast image, located in the middle block of rows.
struct StepLine {
    double left = 0.0;   // 1-based column of the left edge (level crossing)
    double right = 0.0;  // right edge
};

// Levels for splitting a profile `p` (grey levels, 0 or more) that follow shading across it, into
// `levels`: per column the level half way between the `share` and 1 - `share` quantiles of the
// values within `reach` columns either side, smoothed by the least-squares quadratic in the
// column over the columns whose window holds a line and a space (quantiles at least half of
// `contrast` apart, or half of contrast / (level + contrast / 2) times their upper quantile:
// shading that scales the levels scales the contrast too), held at its value at the first and
// last of them beyond. Returns true when it does; false, with every column at `level`, when
// that quadratic spans at most a tenth of `contrast` (an evenly lit profile) or cannot be had
// (`reach` < 1, no more than `reach` such columns).
bool shadedLevels(const std::vector<double>& p,
                  int32_t reach,
                  double share,
                  double level,
                  double contrast,
                  std::vector<double>& levels);

// Finds the lines of a bright-line or dark-line grid: the mean profile of the middle rows (lined
// up for the grid's drift), smoothed by a Gaussian of 1 px (more would flatten gratings of 10 px
// pitch), split at half way between its 5th and 95th percentiles; every run of the line phase
// (bright for kBrightLine, dark for kDarkLine) at least 3 columns wide that touches neither
// border is a line. With two lines or more, the split is made again at the shaded levels
// (shadedLevels, share 0.05, within their median pitch), so that shading across the picture
// loses no line. kBrightEdge gives no line. `lines` is replaced, left to right. Returns false
// (no line) when the profile is flat or holds only noise: its 5th and 95th percentiles lie less
// than 10 of its noise sigmas apart, and so do its 1st and 99th, which then set the split (one
// line in a wide field covers under 5 % of it) (the noise from the scatter of the middle 5
// blocks of rows about their mean; pictures of noise alone span 4-6, lines at a contrast to
// noise of 0.8 about 24). True otherwise, lines or none.
bool locateStepLines(const EdgeGrid& edges, Contrast contrast, std::vector<StepLine>& lines);

// A bright band of a bright-edge grid, found on its middle rows.
struct EdgeBand {
    double column = 0.0;  // 1-based column of the band's brightest point on the middle rows
    // Which edge of a line the band marks, from the grey levels on its two sides: +1 a left
    // edge (the darker side, the space, lies left of it), -1 a right edge, 0 neither (both
    // sides alike: a lone band, or a grain on a line's body).
    int32_t side = 0;
    // True for a line edge without a band: the step from a trench to a line, at half its height
    // (`column` is that crossing). Such an edge is traced as a plain edge, not from a band.
    bool step = false;
};

// Finds the bright bands of a bright-edge grid on the profile of its middle rows: the
// per-column median of the means of its middle 10 blocks of rows (EdgeGrid::blocks: 160 rows
// by default, all of a lower grid; smoothed along the row), smoothed again by a Gaussian of
// 1 px. A median, so that particles sitting on a few blocks neither make nor hide a band; 160
// rows, so that a line tilted by a degree smears by less than 3 px (the whole-grid column sums
// merge the two bands of a narrow space when the lines are tilted by less). A band is a local
// maximum standing above the higher of the lowest points on either side before a higher point (its
// prominence) by max(0.1 of the profile's range (98th - 2nd percentile), 4 profile noise sigmas);
// the profile's noise comes from the block means' robust scatter about the median. Its side: its
// feet differ by at least max(0.15 of the band's height above the lower one, 4 noise sigmas), the
// darker one being the space; a foot is the lowest level walking away from the band before the
// profile climbs 4 noise sigmas above it, within half the way to the neighbouring band (all the
// way to the border). Between two bands
// of one side with no band of the other side between them (a trench whose far side shows no
// band), or a line holds a trench, the missing edge is added as a step edge (EdgeBand::step)
// where the profile crosses half way from the trench's bottom (the lowest point between the
// bands) to the line's level (the foot of the line's band on the line's side), when that step is
// at least max(0.15 of that band's height above the bottom, 4 noise sigmas) high. The first
// band, when a right-edge one, and the last, when a left-edge one, are treated so against the
// grid's border. A band without a side whose feet both lie nearer the sided bands' space level
// than their body level, at least half as high above its feet as they stand above the space,
// and 1.6 times as wide at half height, is a narrow line whose two bands merged: its flanks at
// half height are added as a left and a right step edge (and it bounds the trenches above).
// `bands` is replaced, left to right; empty for a grid narrower than 4 columns or without rows.
void locateEdgeBands(const EdgeGrid& edges, std::vector<EdgeBand>& bands);

// A line of a bright-edge grid from its bands: indices (0-based) into the bands of
// locateEdgeBands.
struct BandLine {
    int32_t left = 0;
    int32_t right = 0;
};

// Pairs every left-edge band with the next band that has a side, when that band is a
// right-edge band; bands without a side in between are passed over. `lines` is replaced, left
// to right.
void pairEdgeBands(const std::vector<EdgeBand>& bands, std::vector<BandLine>& lines);
