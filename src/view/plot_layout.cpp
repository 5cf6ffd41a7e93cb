#include "view/plot_layout.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr float kPositionLimit = 1e6f;   // logical units; anything beyond is off the window
constexpr float kLengthLimitNm = 1e9f;   // keeps 5 * step inside int
constexpr float kDecadeLimit = 1000.0f;  // log10 lags beyond this cannot come from an image
constexpr double kStepLimit = 1e7;       // multiples of s: float(k) stays exact below 2^24

std::string formatInt(int v) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "%d", v);
    return buffer;
}

std::string formatOneDecimal(float v) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(v));
    return buffer;
}

// Adds a label when its position can be truncated; a label off every window is dropped.
void addLabel(std::vector<PlotLabel>& labels, float x, float y, std::string text) {
    PlotLabel label;
    if (truncatePosition(x, label.x) && truncatePosition(y, label.y)) {
        label.text = std::move(text);
        labels.push_back(std::move(label));
    }
}

// Appends a vertex, or marks a gap when its position is not finite.
void addVertex(std::vector<PlotVertex>& out, float x, float y, bool& gap) {
    if (!std::isfinite(x) || !std::isfinite(y)) {
        gap = true;
        return;
    }
    out.push_back(PlotVertex{x, y, gap || out.empty()});
    gap = false;
}

// Smallest k >= kMin with float(k) * s > v (finite v, finite s > 0). The counting loop this
// replaces ("k = kMin, kMin + 1, ... until k s > v") is monotone in k, so starting next to the
// quotient and stepping a few times gives the same k without walking from kMin. False when k
// would lie beyond kStepLimit.
bool firstMultipleAbove(float s, float v, int kMin, int& k) {
    const double estimate = std::floor(static_cast<double>(v) / static_cast<double>(s)) + 1.0;
    if (!(estimate <= kStepLimit)) return false;
    int n = estimate < kMin ? kMin : static_cast<int>(estimate);
    auto above = [s, v](int m) { return static_cast<float>(m) * s > v; };
    for (int guard = 0; guard < 8 && n > kMin && above(n - 1); ++guard) --n;
    for (int guard = 0; guard < 8 && !above(n); ++guard) ++n;
    if (!above(n) || (n > kMin && above(n - 1))) return false;
    k = n;
    return true;
}

// Larger / smaller of two values of which either may be NaN (no finite value).
double largerFinite(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b > a ? b : a;
}

double smallerFinite(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b < a ? b : a;
}

ValueAxis valueAxis(float ymax) {
    ValueAxis axis;
    if (!std::isfinite(ymax) || !(ymax > 0.0f)) return axis;
    axis.usable = true;
    axis.ymax = ymax;
    for (int j = 0; j <= 5; ++j) {
        addLabel(axis.labels, 45.0f, lengthTickY(j),
                 formatOneDecimal(static_cast<float>(j) * ymax * 0.2f));
    }
    return axis;
}

}  // namespace

bool truncatePosition(float v, int& out) {
    if (!std::isfinite(v) || v > kPositionLimit || v < -kPositionLimit) return false;
    out = static_cast<int>(v);
    return true;
}

double finiteMaximum(const Series& s) {
    double best = NAN;
    for (int32_t i = 0; i < s.count; ++i) {
        const double v = s.data[i];
        if (std::isfinite(v) && (std::isnan(best) || v > best)) best = v;
    }
    return best;
}

double finiteMinimum(const Series& s) {
    double best = NAN;
    for (int32_t i = 0; i < s.count; ++i) {
        const double v = s.data[i];
        if (std::isfinite(v) && (std::isnan(best) || v < best)) best = v;
    }
    return best;
}

LengthAxis lengthAxis(const Series& lengthNm) {
    LengthAxis axis;
    const double largest = finiteMaximum(lengthNm);
    if (std::isnan(largest)) return axis;
    const float xmax = static_cast<float>(roundNearest(largest) + 50.0);
    if (!std::isfinite(xmax) || !(xmax > 0.0f) || xmax > kLengthLimitNm) return axis;

    int step = 200;
    float ratio = xmax * 0.005f;
    if (ratio > 5.0f) {
        // Smallest multiple k of 200 (k >= 2) with xmax / (200 k) <= 5, the end of the loop
        // "step += 200; ratio = xmax / step". The quotient is monotone in k, so start next to
        // xmax / 1000 and step a few times.
        auto fits = [xmax](int k) { return xmax / static_cast<float>(200 * k) <= 5.0f; };
        const double estimate = std::ceil(static_cast<double>(xmax) / 1000.0);
        int k = estimate < 2.0 ? 2 : static_cast<int>(estimate);
        for (int guard = 0; guard < 8 && k > 2 && fits(k - 1); ++guard) --k;
        for (int guard = 0; guard < 8 && !fits(k); ++guard) ++k;
        if (!fits(k) || (k > 2 && fits(k - 1))) return axis;
        step = 200 * k;
        ratio = xmax / static_cast<float>(step);
    }
    axis.usable = true;
    axis.xmax = xmax;
    axis.step = step;
    axis.ratio = ratio;
    axis.nTicks = static_cast<int>(ratio);  // 0 .. 5 after the loop
    for (int i = 0; i <= axis.nTicks; ++i) {
        const float x = 90.0f + static_cast<float>(422 * i) / ratio;
        axis.tickX.push_back(x);
        addLabel(axis.labels, x, 30.0f, formatInt(i * step));
    }
    return axis;
}

float lengthTickY(int j) { return 60.0f + 84.4f * static_cast<float>(j); }

ValueAxis uncertaintyAxis(const Series& sigmaUncertaintyPct) {
    const double largest = finiteMaximum(sigmaUncertaintyPct);
    if (std::isnan(largest)) return ValueAxis();
    return valueAxis(static_cast<float>(std::ceil(largest)) + 1.0f);
}

ValueAxis roughnessAxis(const Series& lwr3Sigma,
                        const Series& cdVariation3Sigma,
                        const Series& lwr3SigmaInfinite) {
    double m = largerFinite(finiteMaximum(lwr3Sigma), finiteMaximum(cdVariation3Sigma));
    m = largerFinite(m, finiteMaximum(lwr3SigmaInfinite));
    if (std::isnan(m)) return ValueAxis();
    return valueAxis(static_cast<float>(std::ceil(m)) + 0.5f);
}

std::vector<PlotVertex> lengthPlotPoints(const LengthAxis& x,
                                         const ValueAxis& y,
                                         const Series& lengthNm,
                                         const Series& values) {
    std::vector<PlotVertex> out;
    if (!x.usable || !y.usable) return out;
    const int32_t n = lengthNm.count < values.count ? lengthNm.count : values.count;
    bool gap = false;
    for (int32_t i = 0; i < n; ++i) {
        addVertex(out, 90.0f + 422.0f * static_cast<float>(lengthNm[i]) / x.xmax,
                  60.0f + 422.0f * static_cast<float>(values[i]) / y.ymax, gap);
    }
    return out;
}

std::vector<PlotVertex> lengthPlotLevel(const LengthAxis& x,
                                        const ValueAxis& y,
                                        const Series& lengthNm,
                                        double level) {
    std::vector<PlotVertex> out;
    if (!x.usable || !y.usable) return out;
    const float levelY = 60.0f + 422.0f * static_cast<float>(level) / y.ymax;
    bool gap = false;
    for (int32_t i = 0; i < lengthNm.count; ++i) {
        addVertex(out, 90.0f + 422.0f * static_cast<float>(lengthNm[i]) / x.xmax, levelY, gap);
    }
    return out;
}

bool infiniteLabel(const ValueAxis& y, const Series& lwr3SigmaInfinite, PlotLabel& out) {
    if (!y.usable || lwr3SigmaInfinite.count < 1) return false;
    const double inf = finiteMaximum(lwr3SigmaInfinite);
    if (std::isnan(inf)) return false;
    const float labelY = 422.0f * static_cast<float>(inf) / y.ymax + 67.0f;
    PlotLabel label;
    label.x = 100;
    if (!truncatePosition(labelY, label.y)) return false;
    label.text = "3sigma infinite";
    out = label;
    return true;
}

float hhcfTickY(int j) { return 40.0f + 92.4f * static_cast<float>(j); }

HhcfAxes hhcfAxes(const Series& logLag,
                  const Series& logHhcf,
                  const Series& fitLogLag,
                  const Series& fitLogHhcf) {
    HhcfAxes axes;

    const float xLargest =
        static_cast<float>(largerFinite(finiteMaximum(logLag), finiteMaximum(fitLogLag)));
    const float decades = std::ceil(xLargest);
    if (std::isfinite(decades) && std::fabs(decades) <= kDecadeLimit) {
        axes.xUsable = true;
        // A single lag of 1 pixel gives X = 0, which the mapping cannot divide by: one decade.
        axes.xDecades = decades == 0.0f ? 1.0f : decades;
        if (axes.xDecades >= 0.0f) {
            const int last = static_cast<int>(axes.xDecades);
            for (int k = 0; k <= last; ++k) {
                const float x = 90.0f + 422.0f * static_cast<float>(k) / axes.xDecades;
                axes.tickX.push_back(x);
                addLabel(axes.xLabels, x, 20.0f, formatInt(k));
            }
        }
    }

    const float ymax =
        static_cast<float>(largerFinite(finiteMaximum(logHhcf), finiteMaximum(fitLogHhcf)));
    const float ymin =
        static_cast<float>(smallerFinite(finiteMinimum(logHhcf), finiteMinimum(fitLogHhcf)));
    if (!std::isfinite(ymax) || !std::isfinite(ymin)) return axes;
    float whole = std::ceil(ymax - ymin);
    // Equal values: step as for any range of at most 1, so the axis straddles the value.
    if (whole == 0.0f) whole = 1.0f;
    const float s = whole * 0.2f;
    if (!std::isfinite(s) || !(s > 0.0f)) return axes;

    float yLow = 0.0f;
    int k = 0;
    if (ymin < 0.0f) {
        if (!firstMultipleAbove(s, -ymin, 1, k)) return axes;
        yLow = -(static_cast<float>(k) * s);
    } else {
        if (!firstMultipleAbove(s, ymin, 0, k)) return axes;
        yLow = static_cast<float>(k - 1) * s;
    }
    float yHigh = 0.0f;
    if (ymax >= 0.0f) {
        if (!firstMultipleAbove(s, ymax, 1, k)) return axes;
        yHigh = static_cast<float>(k) * s;
    }
    const float range = yHigh - yLow;
    if (!std::isfinite(range) || !(range > 0.0f)) return axes;

    axes.yUsable = true;
    axes.s = s;
    axes.yLow = yLow;
    axes.yHigh = yHigh;
    axes.range = range;
    axes.tick = range * 0.2f;
    for (int j = 0; j <= 5; ++j) {
        addLabel(axes.yLabels, 45.0f, hhcfTickY(j),
                 formatOneDecimal(yLow + static_cast<float>(j) * axes.tick));
    }
    return axes;
}

std::vector<PlotVertex> hhcfPoints(const HhcfAxes& axes, const Series& xs, const Series& ys) {
    std::vector<PlotVertex> out;
    if (!axes.xUsable || !axes.yUsable) return out;
    const int32_t n = xs.count < ys.count ? xs.count : ys.count;
    bool gap = false;
    for (int32_t i = 0; i < n; ++i) {
        addVertex(out, 90.0f + 422.0f * static_cast<float>(xs[i]) / axes.xDecades,
                  40.0f + 462.0f * (static_cast<float>(ys[i]) - axes.yLow) / axes.range, gap);
    }
    return out;
}

int textureSide(int side) {
    if (side < 1) return 0;
    // p is the smallest whole number with 2^p >= side, compared in floating point; the
    // texture side is 2^(p - 1). A side of 1 gives p = 0, which has no smaller power: keep 1.
    int p = 0;
    while (p < 31 && std::pow(2.0, p) < static_cast<double>(side)) ++p;
    if (p == 0) return 1;
    return 1 << (p - 1);
}

std::string imageCaption(const std::string& name) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "%s : SEM image", name.c_str());
    return buffer;
}

std::array<QuadCorner, 4> imageQuad(bool pictureTopDown) {
    const float bottomT = pictureTopDown ? 1.0f : 0.0f;
    const float topT = pictureTopDown ? 0.0f : 1.0f;
    return {QuadCorner{0.0f, bottomT, 0.0f, 0.0f}, QuadCorner{0.0f, topT, 0.0f, 502.0f},
            QuadCorner{1.0f, topT, 512.0f, 502.0f}, QuadCorner{1.0f, bottomT, 512.0f, 0.0f}};
}
