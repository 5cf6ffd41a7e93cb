// Plot arithmetic of the result window, free of GL: axis ranges, tick positions, label texts and
// the logical positions of the plotted points, all in single precision as they are drawn.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "stats/series.h"

// One text to draw: logical position (already truncated toward zero) and the text.
struct PlotLabel {
    int x = 0;         // logical units
    int y = 0;         // logical units
    std::string text;  // at most 255 characters
};

// One vertex of a point set or line strip in logical units. `startsRun` is true for the first
// vertex and for every vertex that follows a skipped (non-finite) one: a line strip is broken
// there rather than joined across the gap.
struct PlotVertex {
    float x = 0.0f;
    float y = 0.0f;
    bool startsRun = false;
};

// Truncates a logical position toward zero. False (and `out` untouched) when `v` is not finite
// or lies beyond +-1e6 units, where a conversion to int would be meaningless or undefined.
bool truncatePosition(float v, int& out);

// Largest finite element of `s`; NaN when `s` holds no finite element. For a series of finite
// values this is Series::maximum; non-finite elements are left out instead of taking over.
double finiteMaximum(const Series& s);
// As finiteMaximum, for the smallest finite element.
double finiteMinimum(const Series& s);

// ---------------------------------------------------------------------------------------------
// Line-length plots: box x 90..512, y 60..482 in the logical square of a 256 x 256 viewport.

// The x axis shared by the roughness and uncertainty plots.
struct LengthAxis {
    bool usable = false;            // xmax finite, > 0 and at most 1e9 nm
    float xmax = 0.0f;              // nm: roundNearest(largest length) + 50
    int step = 0;                   // nm between labelled ticks, a multiple of 200
    float ratio = 0.0f;             // xmax / step (xmax * 0.005 when step is 200)
    int nTicks = 0;                 // ratio truncated toward zero
    std::vector<float> tickX;       // logical x of ticks 0 .. nTicks: 90 + 422 i / ratio
    std::vector<PlotLabel> labels;  // "%d" of i * step at (tick x truncated, 30)
};

// Builds the x axis from the segment lengths (nm). The step is the smallest multiple of 200 with
// xmax / step <= 5 (found without walking every multiple). Without a finite positive length
// range (empty series, all lengths non-finite, xmax <= 0 or beyond 1e9) the axis is not usable:
// no ticks, no labels.
LengthAxis lengthAxis(const Series& lengthNm);

// The y axis of a line-length plot: 0 .. ymax, six ticks.
struct ValueAxis {
    bool usable = false;  // ymax finite and > 0
    float ymax = 0.0f;
    std::vector<PlotLabel> labels;  // "%.1f" of j * ymax * 0.2 at (45, tick y truncated)
};

// Logical y of y tick j = 0 .. 5: 60 + 84.4 j (the grid is drawn whether or not the axis is
// usable).
float lengthTickY(int j);

// Uncertainty plot: ymax = ceil(largest finite percentage) + 1.
ValueAxis uncertaintyAxis(const Series& sigmaUncertaintyPct);
// Roughness plot: ymax = ceil(m) + 0.5 with m the largest finite value of the three series.
ValueAxis roughnessAxis(const Series& lwr3Sigma,
                        const Series& cdVariation3Sigma,
                        const Series& lwr3SigmaInfinite);

// Points (lengthNm[i], values[i]) mapped to X = 90 + 422 v / xmax, Y = 60 + 422 v / ymax, for
// i below the smaller of the two counts, in index order. Points whose position is not finite are
// left out. Empty when either axis is not usable.
std::vector<PlotVertex> lengthPlotPoints(const LengthAxis& x,
                                         const ValueAxis& y,
                                         const Series& lengthNm,
                                         const Series& values);
// As lengthPlotPoints with the same value `level` at every length (the infinite-length LWR).
std::vector<PlotVertex> lengthPlotLevel(const LengthAxis& x,
                                        const ValueAxis& y,
                                        const Series& lengthNm,
                                        double level);

// The "3sigma infinite" label at (100, 422 inf / ymax + 67 truncated), 7 units above the level
// line. False when the axis is not usable or `lwr3SigmaInfinite` has no finite first value.
bool infiniteLabel(const ValueAxis& y, const Series& lwr3SigmaInfinite, PlotLabel& out);

// ---------------------------------------------------------------------------------------------
// HHCF plot: box x 90..512, y 40..502 in the logical square of a 256 x 256 viewport.

struct HhcfAxes {
    bool xUsable = false;            // a finite largest log10 lag with |X| <= 1000
    float xDecades = 0.0f;           // X = ceil(largest log10 lag); 1 when that is 0
    std::vector<float> tickX;        // logical x of k = 0 .. X: 90 + 422 k / X (none when X < 0)
    std::vector<PlotLabel> xLabels;  // "%d" of k at (tick x truncated, 20)
    bool yUsable = false;            // finite values and a bounded count of steps
    float s = 0.0f;                  // ceil(ymax - ymin) * 0.2; 0.2 when all values are equal
    float yLow = 0.0f;               // whole multiple of s, strictly below a negative ymin
    float yHigh = 0.0f;              // whole multiple of s strictly above ymax; 0 when ymax < 0
    float range = 0.0f;              // yHigh - yLow
    float tick = 0.0f;               // range * 0.2
    std::vector<PlotLabel> yLabels;  // "%.1f" of yLow + j tick at (45, 40 + 92.4 j truncated)
};

// Logical y of HHCF y tick j = 0 .. 5: 40 + 92.4 j.
float hhcfTickY(int j);

// Builds both HHCF axes from the log10 lags and log10 HHCF of the points and of the fitted line.
// Non-finite values (log10 of an HHCF of 0) are left out of the ranges. When all y values are
// equal the step is taken as 0.2, as for any range of at most 1. X = 0 (a single lag of 1
// pixel) is drawn over one decade. Without a finite x value, or without a finite y value, or when
// yLow / yHigh would lie more than 1e7 steps from 0, that axis is not usable.
HhcfAxes hhcfAxes(const Series& logLag,
                  const Series& logHhcf,
                  const Series& fitLogLag,
                  const Series& fitLogHhcf);

// Points (xs[i], ys[i]) mapped to 90 + 422 x / X, 40 + 462 (y - yLow) / range, for i below the
// smaller of the two counts; non-finite positions left out. Empty when an axis is not usable.
std::vector<PlotVertex> hhcfPoints(const HhcfAxes& axes, const Series& xs, const Series& ys);

// ---------------------------------------------------------------------------------------------
// SEM image view.

// Side of the texture made from an image side: the largest power of two strictly below `side`
// (1000 -> 512, 1024 -> 512, 512 -> 256, 513 -> 512). A side of 1 gives 1; a side below 1
// gives 0 (no texture can be made).
int textureSide(int side);

// "%s : SEM image" with `name`, cut to 255 characters (a 256-character buffer with its NUL).
std::string imageCaption(const std::string& name);

// One corner of the image quad: texture coordinate (s, t) and logical position (x, y).
struct QuadCorner {
    float s = 0.0f;
    float t = 0.0f;
    float x = 0.0f;
    float y = 0.0f;
};

// The four corners of the image quad over 512 x 502 logical units, in drawing order: (0, 0),
// (0, 502), (512, 502), (512, 0). Texture row 0 (buffer row 0) lies along the bottom edge,
// unless `pictureTopDown` (buffer row 0 is the top of the image): then t is flipped so that row
// 0 lies along the top edge and the image shows upright.
std::array<QuadCorner, 4> imageQuad(bool pictureTopDown);
