#include "metrology/subpixel_edges.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_fit.h>
#include <gsl/gsl_multifit.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "metrology/psd_fit.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int32_t kMedianHalfSpan = 7;    // rows either side for the jump check's median
constexpr int32_t kRefineHalfSpan = 3;    // rows either side for the refined search's centre
constexpr double kMaxBlockStepPx = 2.0;   // largest move of the track from one block to the next
constexpr double kMinTrackBoundPx = 5.0;  // blocks this close to the track's line are kept
constexpr int32_t kPrefetchRows = 4;      // rows ahead whose window is fetched early
constexpr int32_t kMaxDriftPx = 3;        // largest shift sought between neighbouring blocks
constexpr double kMinDriftPx = 0.1;       // smaller drifts are taken as none
// Block profiles whose products over the shifts sought vary by less than this share of their
// largest are without lines to line up (a noisy ramp: about 1e-5; faint lines on a strong ramp,
// 1e-2).
constexpr double kMinShiftContrast = 1e-3;
constexpr double kMinBendPx = 3.0;  // lines bending less are followed by the drift alone
// A bend must also stand out of the running sum's own wander: kBendNoiseFactor times the robust
// sigma of the pair shifts about the cubic's steps, times the square root of the blocks.
constexpr double kBendNoiseFactor = 2.0;
// Lines turned beyond the tracking's reach (EdgeGrid::turnedDriftPx): the wider shift sought
// between neighbouring blocks (26.6 degrees at 16 rows), and how close to their median the
// shifts of at least half of the pairs, and of kMinTurnedPairs at least, must lie for the move
// to be the lines' own (shifts of noise spread over the whole range; of a picture of 2 to 4
// blocks, 1 or 2 of them agree by chance: 64 rows of noise were refused as lines turned by 23
// degrees).
constexpr int32_t kTurnedSearchPx = 8;
constexpr double kTurnedAgreementPx = 1.0;
constexpr int32_t kMinTurnedPairs = 3;
// Band location on the middle rows (locateEdgeBands).
constexpr int32_t kBandBlocks = 10;          // blocks of rows (16 rows each by default)
constexpr double kMinBandProminence = 0.1;   // of the profile's range
constexpr double kMinSideDifference = 0.15;  // of the band's height above its lower side
constexpr double kNoiseSigmas = 4.0;
// A band without a side in a space, at least this many times as wide as the sided bands (at half
// its height above its feet), is a narrow line whose two bands merged into one peak.
constexpr double kMergedBandWidths = 1.6;
constexpr double kMergedBandHeight = 0.5;
constexpr int32_t kNoiseColumnStep = 4;
// Step-line profiles: pictures of noise alone span 4-6 of their noise sigmas between the 5th and
// 95th percentiles, plain lines of contrast 160 under noise 200 (contrast to noise 0.8) 23-25.
constexpr double kMinStepSpanSigmas = 10.0;
// Shading across a profile is followed when it moves the level by more than this share of the
// contrast from one side to the other: less is harmless to where lines are found, and an evenly
// lit profile keeps its one level.
constexpr double kMinShadingShare = 0.1;
// Windows whose quantiles lie less than this share of the contrast apart hold no line and
// space (a bare margin) and do not say where the level lies.
constexpr double kMinWindowContrastShare = 0.5;
// Step lines whose pitch varies by more than kIrregularPitch (coefficient of variation; rough
// edges of 1.5 px at a 60 px pitch give 0.02-0.04) are looked for again at Otsu's level, and a
// split at shaded levels must not vary more than kMaxPitchVariation (locateStepLines).
constexpr double kIrregularPitch = 0.05;
constexpr double kMaxPitchVariation = 0.1;
// Brightness trends down an edge (traceSubpixelEdge): segments of rows whose levels are fitted,
// how many at least, and how significant and large the fitted trend must be to be followed.
constexpr int32_t kTrendSegmentRows = 64;
constexpr int32_t kMinTrendSegments = 4;
constexpr double kTrendSignificance = 8.0;
constexpr double kMinTrendFraction = 0.05;
// Shading that is not a straight trend (a bright centre, a dark corner): the segments' levels
// are followed row by row when they bend away from the straight line smoothly (the mean square
// of the steps between neighbouring segments' residuals at most kMaxShapeStepRatio of their
// own, where independent scatter gives about 2) and by more than their own noise (from the
// difference of each segment's halves) by kShapeMeanSquareRatio in mean squares, one of them at
// least kMinTrendFraction of the contrast off the line, over at least kMinShapeSegments.
constexpr double kShapeMeanSquareRatio = 4.0;
constexpr double kMaxShapeStepRatio = 1.0;
constexpr int32_t kMinShapeSegments = 6;

// Normalised Gaussian taps of standard deviation `sigma`, radius ceil(3 sigma); one tap of 1
// for sigma 0.
std::vector<double> gaussianTaps(double sigma) {
    if (!(sigma > 0.0)) return {1.0};
    const int32_t radius = static_cast<int32_t>(std::ceil(3.0 * sigma));
    std::vector<double> taps(static_cast<size_t>(2 * radius + 1));
    double total = 0.0;
    for (int32_t k = -radius; k <= radius; ++k) {
        const double v = std::exp(-0.5 * k * k / (sigma * sigma));
        taps[static_cast<size_t>(k + radius)] = v;
        total += v;
    }
    for (double& v : taps) v /= total;
    return taps;
}

// The sum of the squared taps: smoothing white noise of variance v leaves v times it.
double tapPower(const std::vector<double>& taps) {
    double power = 0.0;
    for (double t : taps) power += t * t;
    return power;
}

// Smooths `in` (n values) into `out` with `taps`, the border values repeated outwards.
void smoothLine(const double* in, int32_t n, const std::vector<double>& taps, double* out) {
    const int32_t radius = static_cast<int32_t>(taps.size() / 2);
    const double* t = taps.data() + radius;
    auto clamped = [&](int32_t i) {
        double s = 0.0;
        for (int32_t k = -radius; k <= radius; ++k) {
            int32_t j = i + k;
            if (j < 0) j = 0;
            if (j >= n) j = n - 1;
            s += t[k] * in[j];
        }
        return s;
    };
    int32_t i = 0;
    for (; i < n && i < radius; ++i) out[i] = clamped(i);
    for (; i < n - radius; ++i) {
        double s = 0.0;
        for (int32_t k = -radius; k <= radius; ++k) s += t[k] * in[i + k];
        out[i] = s;
    }
    for (; i < n; ++i) out[i] = clamped(i);
}

// Value of `p` (n samples, 0-based) at real position x by linear interpolation; NaN outside.
double sampleAt(const double* p, int32_t n, double x) {
    if (!(x >= 0.0) || !(x <= n - 1)) return kNaN;
    const int32_t i = static_cast<int32_t>(x);
    if (i >= n - 1) return p[n - 1];
    const double t = x - i;
    return p[i] + t * (p[i + 1] - p[i]);
}

// Clamped integer column range [lo, hi] for real bounds a .. b (0-based), inside 0 .. n - 1.
void columnRange(double a, double b, int32_t n, int32_t& lo, int32_t& hi) {
    const double ca = std::ceil(a);
    const double fb = std::floor(b);
    lo = ca < 0.0 ? 0 : (ca > n - 1 ? n : static_cast<int32_t>(ca));
    hi = fb > n - 1 ? n - 1 : (fb < 0.0 ? -1 : static_cast<int32_t>(fb));
}

// The low and high levels of profile p around x (0-based): for polarity +1 the minimum left of
// x and the maximum right of it, within hw; mirrored for -1. False without samples.
bool localLevels(
    const double* p, int32_t n, double x, int32_t polarity, double hw, double& low, double& high) {
    int32_t lo = 0;
    int32_t hi = 0;
    columnRange(x - hw, x + hw, n, lo, hi);
    if (hi - lo < 2) return false;
    const int32_t centre = static_cast<int32_t>(std::floor(x));
    low = HUGE_VAL;
    high = -HUGE_VAL;
    for (int32_t i = lo; i <= hi; ++i) {
        const bool lowSide = polarity > 0 ? i <= centre + 1 : i >= centre;
        const bool highSide = polarity > 0 ? i >= centre : i <= centre + 1;
        if (lowSide) low = std::min(low, p[i]);
        if (highSide) high = std::max(high, p[i]);
    }
    return std::isfinite(low) && std::isfinite(high) && high > low;
}

// Crossings of `level` by p in the direction of `polarity` between a and b (0-based). With
// `nearest`, the one nearest to `x` is returned; otherwise the mean of all. NaN when none.
double crossing(const double* p,
                int32_t n,
                double level,
                int32_t polarity,
                double a,
                double b,
                bool nearest,
                double x) {
    // Every pair of samples whose crossing can lie in a .. b; the crossing itself must.
    int32_t lo = 0;
    int32_t hi = 0;
    columnRange(std::floor(a), std::ceil(b), n, lo, hi);
    double sum = 0.0;
    int32_t count = 0;
    double best = kNaN;
    double bestDistance = HUGE_VAL;
    for (int32_t i = lo; i < hi; ++i) {
        const double v0 = polarity * (p[i] - level);
        const double v1 = polarity * (p[i + 1] - level);
        if (!(v0 < 0.0 && v1 >= 0.0)) continue;
        const double position = i + (-v0) / (v1 - v0);
        if (position < a || position > b) continue;
        sum += position;
        ++count;
        if (std::fabs(position - x) < bestDistance) {
            bestDistance = std::fabs(position - x);
            best = position;
        }
    }
    if (count == 0) return kNaN;
    return nearest ? best : sum / count;
}

// Where p (n samples) first falls below `level` walking from `from` in the direction of `step`
// (+1 or -1), interpolated linearly between the last sample at or above it and the first below;
// NaN when it does not within maxDistance samples of `from` (checked after each step's test).
double fallsBelow(
    const double* p, int32_t n, int32_t from, int32_t step, double level, double maxDistance) {
    for (int32_t i = from; i + step >= 0 && i + step < n; i += step) {
        if (p[i + step] < level) {
            // Between i + step (below) and i (at or above).
            const double t = (p[i] - level) / (p[i] - p[i + step]);
            return i + step * t;
        }
        if (std::abs(i - from) > maxDistance) break;
    }
    return kNaN;
}

// The start of a band edge in block profile p: the band's brightest point within hw of the
// coarse column c (0-based), then the crossing of half way to the low side's minimum, walking
// from the peak to the low side. NaN when not found.
double bandStart(
    const double* p, int32_t n, double c, int32_t polarity, double hw, double edgeLevel) {
    int32_t lo = 0;
    int32_t hi = 0;
    columnRange(c - hw, c + hw, n, lo, hi);
    if (hi - lo < 2) return kNaN;
    int32_t peak = lo;
    for (int32_t i = lo + 1; i <= hi; ++i)
        if (p[i] > p[peak]) peak = i;
    // The low side is left of the peak for a rising edge.
    int32_t lowLo = 0;
    int32_t lowHi = 0;
    if (polarity > 0)
        columnRange(peak - 2.0 * hw, peak, n, lowLo, lowHi);
    else
        columnRange(peak, peak + 2.0 * hw, n, lowLo, lowHi);
    double low = HUGE_VAL;
    for (int32_t i = lowLo; i <= lowHi; ++i) low = std::min(low, p[i]);
    const double level = low + edgeLevel * (p[peak] - low);
    if (!(p[peak] > low)) return kNaN;
    return fallsBelow(p, n, peak, polarity > 0 ? -1 : 1, level, 2.0 * hw);
}

// Median of the n <= 16 values of v (reordered): insertion sort, fast for these few.
double smallMedian(double* v, int32_t n) {
    for (int32_t i = 1; i < n; ++i) {
        const double t = v[i];
        int32_t j = i - 1;
        while (j >= 0 && v[j] > t) {
            v[j + 1] = v[j];
            --j;
        }
        v[j + 1] = t;
    }
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// For every index y, the median of the non-NaN values v[k] with |k - y| <= halfSpan (v[y]
// itself left out unless withSelf) into median[y], and their number into count[y]; NaN where
// there are none. The same medians as sorting each neighbourhood (as smallMedian does), from
// one sorted window slid along v.
void neighbourMedians(const std::vector<double>& v,
                      int32_t halfSpan,
                      bool withSelf,
                      std::vector<double>& median,
                      std::vector<int32_t>& count) {
    const int32_t n = static_cast<int32_t>(v.size());
    median.assign(v.size(), kNaN);
    count.assign(v.size(), 0);
    // The window, sorted, in a fixed array: it holds a few values, which a walk places faster
    // than bisection and a shift moves faster than vector insert and erase.
    std::vector<double> store(static_cast<size_t>(2 * halfSpan + 2));
    double* window = store.data();
    int32_t size = 0;
    auto firstAtLeast = [&](double value) {
        int32_t i = 0;
        while (i < size && window[i] < value) ++i;
        return i;
    };
    auto add = [&](int32_t k) {
        if (k < 0 || k >= n || std::isnan(v[static_cast<size_t>(k)])) return;
        const double value = v[static_cast<size_t>(k)];
        int32_t i = size;  // after the values equal to it
        while (i > 0 && value < window[i - 1]) {
            window[i] = window[i - 1];
            --i;
        }
        window[i] = value;
        ++size;
    };
    auto remove = [&](int32_t k) {
        if (k < 0 || k >= n || std::isnan(v[static_cast<size_t>(k)])) return;
        for (int32_t i = firstAtLeast(v[static_cast<size_t>(k)]); i + 1 < size; ++i)
            window[i] = window[i + 1];
        --size;
    };
    for (int32_t k = 0; k < halfSpan && k < n; ++k) add(k);
    for (int32_t y = 0; y < n; ++y) {
        remove(y - halfSpan - 1);
        add(y + halfSpan);
        const double self = v[static_cast<size_t>(y)];
        const bool skip = !withSelf && !std::isnan(self);
        const int32_t c = size - (skip ? 1 : 0);
        count[static_cast<size_t>(y)] = c;
        if (c <= 0) continue;
        // Rank r of the window without v[y] (at index p when it is left out).
        const int32_t p = skip ? firstAtLeast(self) : c;
        auto at = [&](int32_t r) { return window[r < p ? r : r + 1]; };
        median[static_cast<size_t>(y)] = c % 2 == 1 ? at(c / 2) : 0.5 * (at(c / 2 - 1) + at(c / 2));
    }
}

double medianOf(std::vector<double>& v) {
    if (v.empty()) return kNaN;
    const size_t m = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m), v.end());
    const double upper = v[m];
    if (v.size() % 2 == 1) return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m));
    return 0.5 * (lower + upper);
}

// A local maximum of a profile: a band of locateEdgeBands.
struct ProfilePeak {
    int32_t column = 0;     // 0-based
    double leftFoot = 0.0;  // see setPeakSides
    double rightFoot = 0.0;
    int32_t side = 0;  // as EdgeBand::side
};

// The local maxima of `p` (strictly above the left neighbour, at least the right one) whose
// prominence is at least `minProminence`, left to right. Prominence: the height above the
// higher of the lowest points on either side before a higher point; a side that reaches the
// border without one does not bound it (unless neither side has a higher point).
std::vector<ProfilePeak> profilePeaks(const std::vector<double>& p, double minProminence) {
    std::vector<ProfilePeak> peaks;
    const int32_t w = static_cast<int32_t>(p.size());
    for (int32_t i = 1; i + 1 < w; ++i) {
        const double v = p[static_cast<size_t>(i)];
        if (!(v > p[static_cast<size_t>(i - 1)] && v >= p[static_cast<size_t>(i + 1)])) continue;
        double leftLow = v;
        int32_t j = i;
        while (j > 0 && p[static_cast<size_t>(j - 1)] <= v)
            leftLow = std::min(leftLow, p[static_cast<size_t>(--j)]);
        double rightLow = v;
        int32_t k = i;
        while (k + 1 < w && p[static_cast<size_t>(k + 1)] <= v)
            rightLow = std::min(rightLow, p[static_cast<size_t>(++k)]);
        const bool leftBounded = j > 0;
        const bool rightBounded = k + 1 < w;
        double base = std::min(leftLow, rightLow);
        if (leftBounded && rightBounded) {
            base = std::max(leftLow, rightLow);
        } else if (leftBounded) {
            base = leftLow;
        } else if (rightBounded) {
            base = rightLow;
        }
        if (v - base < minProminence) continue;
        ProfilePeak peak;
        peak.column = i;
        peaks.push_back(peak);
    }
    return peaks;
}

// The feet and side of each of `peaks` (bands on `p`, left to right). A foot: walking away
// from the band, the lowest level before the profile climbs more than kNoiseSigmas `noise`
// above it, within half the way (rounded up) to the neighbouring band or all the way to the
// border. The side: the feet differ by max(kMinSideDifference of the band's height above the
// lower one, kNoiseSigmas `noise`), the darker one being the space. Feet, not the lowest levels
// between the bands: where a neighbour's partner band was not found, the way to that neighbour
// crosses a trench of its own.
void setPeakSides(const std::vector<double>& p, std::vector<ProfilePeak>& peaks, double noise) {
    const int32_t last = static_cast<int32_t>(p.size()) - 1;
    const double climb = kNoiseSigmas * noise;
    auto foot = [&](int32_t i, int32_t end, int32_t step) {
        double low = p[static_cast<size_t>(i)];
        for (int32_t j = i + step; j != end + step; j += step) {
            const double v = p[static_cast<size_t>(j)];
            if (v > low + climb) break;
            low = std::min(low, v);
        }
        return low;
    };
    for (size_t a = 0; a < peaks.size(); ++a) {
        ProfilePeak& peak = peaks[a];
        const int32_t i = peak.column;
        const int32_t from = a > 0 ? i - (i - peaks[a - 1].column + 1) / 2 : 0;
        const int32_t to = a + 1 < peaks.size() ? i + (peaks[a + 1].column - i + 1) / 2 : last;
        peak.leftFoot = foot(i, from, -1);
        peak.rightFoot = foot(i, to, 1);
        const double height = p[static_cast<size_t>(i)] - std::min(peak.leftFoot, peak.rightFoot);
        const double needed = std::max(kMinSideDifference * height, climb);
        peak.side = 0;
        if (peak.rightFoot - peak.leftFoot >= needed) peak.side = 1;
        if (peak.leftFoot - peak.rightFoot >= needed) peak.side = -1;
    }
}

// The line edges missing between two neighbouring sided bands `a` and `c` of `p` (see
// locateEdgeBands), appended to `edges` as step edges: a left edge after a trench between two
// right-edge bands, a right edge before a trench between two left-edge bands, and both around
// a trench inside a line (a left-edge band, then a right-edge one). The trench is the lowest
// point between the bands; each step climbs from it to the line it opens or closes, whose level
// is the foot of that line's band on the line's side. The climb must be as high as a side needs
// (max(kMinSideDifference of the band's height above the bottom, kNoiseSigmas `noise`)), and
// the edge is where the profile crosses half way, walking from the bottom towards the band.
void addMissingEdges(const std::vector<double>& p,
                     const ProfilePeak& a,
                     const ProfilePeak& c,
                     double noise,
                     std::vector<EdgeBand>& edges) {
    const int32_t bottom = static_cast<int32_t>(
        std::min_element(p.begin() + a.column, p.begin() + c.column + 1) - p.begin());
    const double low = p[static_cast<size_t>(bottom)];
    // The step towards `band` (direction +1: rightwards, a left edge) up to `line`.
    auto climbs = [&](const ProfilePeak& band, double line) {
        const double height = p[static_cast<size_t>(band.column)] - low;
        return line - low >= std::max(kMinSideDifference * height, kNoiseSigmas * noise);
    };
    auto addStep = [&](int32_t direction, double line) {
        const double level = 0.5 * (low + line);
        int32_t i = bottom;
        while (p[static_cast<size_t>(i + direction)] < level) i += direction;
        const double t = (level - p[static_cast<size_t>(i)]) /
                         (p[static_cast<size_t>(i + direction)] - p[static_cast<size_t>(i)]);
        EdgeBand edge;
        edge.column = i + direction * t + 1.0;
        edge.side = direction;
        edge.step = true;
        edges.push_back(edge);
    };
    if (a.side < 0 && c.side < 0) {
        if (climbs(c, c.leftFoot)) addStep(1, c.leftFoot);
    } else if (a.side > 0 && c.side > 0) {
        if (climbs(a, a.rightFoot)) addStep(-1, a.rightFoot);
    } else if (a.side > 0 && c.side < 0) {
        if (climbs(a, a.rightFoot) && climbs(c, c.leftFoot)) {
            addStep(-1, a.rightFoot);
            addStep(1, c.leftFoot);
        }
    }
}

// The columns (0-based, real) where `p` crosses half way from the feet of `peak` up to it,
// walking out from it; false when either side does not come down that far.
bool halfHeightFlanks(const std::vector<double>& p,
                      const ProfilePeak& peak,
                      double& left,
                      double& right) {
    const int32_t n = static_cast<int32_t>(p.size());
    const double top = p[static_cast<size_t>(peak.column)];
    left = fallsBelow(p.data(), n, peak.column, -1, 0.5 * (top + peak.leftFoot), n);
    right = fallsBelow(p.data(), n, peak.column, 1, 0.5 * (top + peak.rightFoot), n);
    return std::isfinite(left) && std::isfinite(right);
}

// Narrow lines whose two bands merged into one peak under blur: peaks without a side whose feet
// both lie nearer the space's level than the line body's (the medians of the sided bands'
// lower and higher feet; a grain on a line's body stands on the body), that stand above the
// higher foot by at least kMergedBandHeight of the sided bands' median height above the space
// (not a bump of noise or shading in a space) and that are at least kMergedBandWidths times as
// wide at half height as the median of the sided bands. Marks them
// in `merged` and appends their flanks there to `edges` as a left and a right step edge.
void findMergedLines(const std::vector<double>& p,
                     const std::vector<ProfilePeak>& peaks,
                     std::vector<char>& merged,
                     std::vector<EdgeBand>& edges) {
    merged.assign(peaks.size(), 0);
    std::vector<double> widths;
    std::vector<double> spaces;
    std::vector<double> bodies;
    std::vector<double> heights;
    for (const ProfilePeak& peak : peaks) {
        double left = 0.0;
        double right = 0.0;
        if (peak.side == 0 || !halfHeightFlanks(p, peak, left, right)) continue;
        widths.push_back(right - left);
        spaces.push_back(std::min(peak.leftFoot, peak.rightFoot));
        bodies.push_back(std::max(peak.leftFoot, peak.rightFoot));
        heights.push_back(p[static_cast<size_t>(peak.column)] - spaces.back());
    }
    if (widths.empty()) return;
    const double bandWidth = medianOf(widths);
    const double cut = 0.5 * (medianOf(spaces) + medianOf(bodies));
    const double minHeight = kMergedBandHeight * medianOf(heights);
    for (size_t i = 0; i < peaks.size(); ++i) {
        const ProfilePeak& peak = peaks[i];
        double left = 0.0;
        double right = 0.0;
        if (peak.side != 0 || peak.leftFoot >= cut || peak.rightFoot >= cut ||
            p[static_cast<size_t>(peak.column)] - std::max(peak.leftFoot, peak.rightFoot) <
                minHeight ||
            !halfHeightFlanks(p, peak, left, right) || right - left < kMergedBandWidths * bandWidth)
            continue;
        merged[i] = 1;
        EdgeBand edge;
        edge.step = true;
        edge.column = left + 1.0;
        edge.side = 1;
        edges.push_back(edge);
        edge.column = right + 1.0;
        edge.side = -1;
        edges.push_back(edge);
    }
}

// The best shift of the profile `b` against `a` (both mean-free, w columns) within +-limit: the
// whole shift d that maximises the sum over columns limit .. w - limit - 1 of a[x] b[x + d],
// refined by a parabola through its neighbours; NaN when it lies at the limit, or when the sums
// differ by less than kMinShiftContrast of their largest magnitude: profiles without lines (a
// picture shaded from one side to the other) match equally at every shift, and the noise would
// pick one.
double bestShift(const std::vector<double>& a,
                 const std::vector<double>& b,
                 int32_t w,
                 int32_t limit) {
    // Four shifts at a time: each sum still runs over x in order, so every sum is the same as
    // alone, but the four independent chains of additions keep the processor busy.
    std::vector<double> c(static_cast<size_t>(2 * limit + 1));
    int32_t d = -limit;
    for (; d + 3 <= limit; d += 4) {
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        const double* ap = a.data() + limit;
        const double* bp = b.data() + (limit + d);  // b[x + d] at x = limit
        for (int32_t i = 0; i < w - 2 * limit; ++i) {
            const double ax = ap[i];
            s0 += ax * bp[i];
            s1 += ax * bp[i + 1];
            s2 += ax * bp[i + 2];
            s3 += ax * bp[i + 3];
        }
        double* out = c.data() + (d + limit);
        out[0] = s0;
        out[1] = s1;
        out[2] = s2;
        out[3] = s3;
    }
    for (; d <= limit; ++d) {
        double sum = 0.0;
        for (int32_t x = limit; x < w - limit; ++x)
            sum += a[static_cast<size_t>(x)] * b[static_cast<size_t>(x + d)];
        c[static_cast<size_t>(d + limit)] = sum;
    }
    const auto [lowest, highest] = std::minmax_element(c.begin(), c.end());
    if (!(*highest - *lowest >
          kMinShiftContrast * std::max(std::fabs(*lowest), std::fabs(*highest))))
        return kNaN;
    size_t best = 0;
    for (size_t i = 1; i < c.size(); ++i)
        if (c[i] > c[best]) best = i;
    if (best == 0 || best + 1 == c.size()) return kNaN;
    const double curvature = c[best - 1] - 2.0 * c[best] + c[best + 1];
    const double offset = curvature < 0.0 ? 0.5 * (c[best - 1] - c[best + 1]) / curvature : 0.0;
    return static_cast<double>(best) - limit + offset;
}

// The least-squares polynomial of `terms` coefficients through (t[i], y[i]), constant term
// first, into `coefficients`; t should lie within about -1..1 for a well-conditioned fit. False
// (and `coefficients` untouched) with fewer points than terms or when GSL fails.
bool polynomialFit(const std::vector<double>& t,
                   const std::vector<double>& y,
                   int32_t terms,
                   std::vector<double>& coefficients) {
    const size_t n = t.size();
    if (terms < 1 || y.size() != n || n < static_cast<size_t>(terms)) return false;
    const size_t k = static_cast<size_t>(terms);
    disableGslAbort();  // a failure is an answer here (no fit), not the end of the program
    gsl_matrix* x = gsl_matrix_alloc(n, k);
    gsl_vector* v = gsl_vector_alloc(n);
    gsl_vector* c = gsl_vector_alloc(k);
    gsl_matrix* cov = gsl_matrix_alloc(k, k);
    gsl_multifit_linear_workspace* work = gsl_multifit_linear_alloc(n, k);
    bool fitted = false;
    if (x != nullptr && v != nullptr && c != nullptr && cov != nullptr && work != nullptr) {
        for (size_t i = 0; i < n; ++i) {
            double power = 1.0;
            for (size_t j = 0; j < k; ++j, power *= t[i]) gsl_matrix_set(x, i, j, power);
            gsl_vector_set(v, i, y[i]);
        }
        double chiSquare = 0.0;
        if (gsl_multifit_linear(x, v, c, cov, &chiSquare, work) == GSL_SUCCESS) {
            coefficients.assign(k, 0.0);
            for (size_t j = 0; j < k; ++j) coefficients[j] = gsl_vector_get(c, j);
            fitted = true;
        }
    }
    if (work != nullptr) gsl_multifit_linear_free(work);
    if (cov != nullptr) gsl_matrix_free(cov);
    if (c != nullptr) gsl_vector_free(c);
    if (v != nullptr) gsl_vector_free(v);
    if (x != nullptr) gsl_matrix_free(x);
    return fitted;
}

// The polynomial of `coefficients` (constant term first) at t.
double polynomialAt(const std::vector<double>& coefficients, double t) {
    double value = 0.0;
    for (size_t j = coefficients.size(); j-- > 0;) value = value * t + coefficients[j];
    return value;
}

// EdgeGrid::bendPx of `edges` from the best shifts of its neighbouring blocks' profiles
// (`pairShifts`, pair k being blocks k and k + 1; NaN at the search limit, counted as `drift`).
void lineBend(EdgeGrid& edges, const std::vector<double>& pairShifts, double drift) {
    const int32_t nb = edges.blockCount;
    constexpr int32_t kTerms = 4;  // a cubic
    if (nb < 2 * kTerms) return;
    std::vector<double> t(static_cast<size_t>(nb));
    std::vector<double> y(static_cast<size_t>(nb));
    double sum = 0.0;
    const double middle = nb / 2;
    for (int32_t b = 0; b < nb; ++b) {
        if (b > 0) {
            const double s = pairShifts[static_cast<size_t>(b - 1)];
            sum += std::isfinite(s) ? s : drift;
        }
        t[static_cast<size_t>(b)] = (b - middle) / nb;  // scaled for a well-conditioned fit
        y[static_cast<size_t>(b)] = sum;
    }
    std::vector<double> coefficients;
    if (!polynomialFit(t, y, kTerms, coefficients)) return;
    std::vector<double> cubic(static_cast<size_t>(nb));
    for (size_t b = 0; b < cubic.size(); ++b) cubic[b] = polynomialAt(coefficients, t[b]);
    // The noise of the pair shifts about the cubic's steps: a running sum of noise wanders by
    // about its sigma times the square root of the blocks, and a cubic follows part of it.
    std::vector<double> residuals;
    for (int32_t k = 0; k + 1 < nb; ++k) {
        const double s = pairShifts[static_cast<size_t>(k)];
        if (std::isfinite(s))
            residuals.push_back(
                std::fabs(s - (cubic[static_cast<size_t>(k + 1)] - cubic[static_cast<size_t>(k)])));
    }
    const double noise = residuals.empty() ? 0.0 : 1.4826 * medianOf(residuals);
    const double limit = std::max(kMinBendPx, kBendNoiseFactor * noise * std::sqrt(nb));
    // The straight line that the cubic's bend is measured from: through the cubic's value at
    // the middle block with the drift's slope.
    const double centre = cubic[static_cast<size_t>(nb / 2)];
    bool bent = false;
    for (int32_t b = 0; b < nb; ++b) {
        cubic[static_cast<size_t>(b)] -= centre;
        bent = bent ||
               std::fabs(cubic[static_cast<size_t>(b)] - (b - nb / 2) * edges.driftPx) >= limit;
    }
    if (bent) edges.bendPx = std::move(cubic);
}

// EdgeGrid::driftPx and turnedDriftPx of `edges`, whose blocks are filled. Drift: per pair of
// neighbouring blocks, the best shift (bestShift) of the second mean-free profile within
// kMaxDriftPx; pairs whose best shift is at the limit are left out. The median of the rest, or 0
// when it is under kMinDriftPx (0.36 degrees at 16 rows): the tracker's step limit covers that.
// Turned: the same within kTurnedSearchPx; their median when it lies beyond kMaxDriftPx and the
// shifts of at least half of all pairs, and of kMinTurnedPairs, lie within kTurnedAgreementPx of
// it, 0 otherwise.
void blockDrift(EdgeGrid& edges) {
    edges.driftPx = 0.0;
    edges.turnedDriftPx = 0.0;
    edges.bendPx.clear();
    const int32_t w = edges.width;
    const int32_t nb = edges.blockCount;
    if (nb < 2 || w <= 2 * kMaxDriftPx + 4) return;
    const bool wide = w > 2 * kTurnedSearchPx + 4;
    std::vector<double> shifts;
    std::vector<double> pairShifts;  // every pair's, NaN at the limit
    std::vector<double> wideShifts;
    std::vector<double> a(static_cast<size_t>(w));
    std::vector<double> b(static_cast<size_t>(w));
    auto meanFree = [&](int32_t block, std::vector<double>& out) {
        const double* p = edges.blocks.data() + static_cast<size_t>(block) * static_cast<size_t>(w);
        double sum = 0.0;
        for (int32_t x = 0; x < w; ++x) sum += p[x];
        const double mean = sum / w;
        for (int32_t x = 0; x < w; ++x) out[static_cast<size_t>(x)] = p[x] - mean;
    };
    meanFree(0, b);
    for (int32_t k = 0; k + 1 < nb; ++k) {
        std::swap(a, b);
        meanFree(k + 1, b);
        const double shift = bestShift(a, b, w, kMaxDriftPx);
        if (std::isfinite(shift)) shifts.push_back(shift);
        pairShifts.push_back(shift);
        const double wideShift = wide ? bestShift(a, b, w, kTurnedSearchPx) : kNaN;
        if (std::isfinite(wideShift)) wideShifts.push_back(wideShift);
    }
    if (!shifts.empty()) {
        const double drift = medianOf(shifts);
        edges.driftPx = std::fabs(drift) >= kMinDriftPx ? drift : 0.0;
        lineBend(edges, pairShifts, drift);
    }
    if (wideShifts.empty()) return;
    std::vector<double> sorted = wideShifts;
    const double turned = medianOf(sorted);
    if (!(std::fabs(turned) > kMaxDriftPx)) return;
    int32_t agreeing = 0;
    for (double shift : wideShifts)
        if (std::fabs(shift - turned) <= kTurnedAgreementPx) ++agreeing;
    if (2 * agreeing >= nb - 1 && agreeing >= kMinTurnedPairs) edges.turnedDriftPx = turned;
}

// The whole columns by which block b's profile is moved to line up with the middle block's
// (block count / 2) under the grid's drift.
int32_t blockShift(const EdgeGrid& edges, int32_t b) {
    if (!edges.bendPx.empty()) return static_cast<int32_t>(std::lround(blockOffsetPx(edges, b)));
    return static_cast<int32_t>(std::lround((b - edges.blockCount / 2) * edges.driftPx));
}

// Element x of block b's profile moved by `shift` columns, the border columns repeated outwards.
double shiftedBlockValue(const EdgeGrid& edges, int32_t b, int32_t x, int32_t shift) {
    const int32_t c = std::min(edges.width - 1, std::max(0, x + shift));
    return edges
        .blocks[static_cast<size_t>(b) * static_cast<size_t>(edges.width) + static_cast<size_t>(c)];
}

}  // namespace

double blockOffsetPx(const EdgeGrid& edges, int32_t b) {
    if (!edges.bendPx.empty() && b >= 0 && b < static_cast<int32_t>(edges.bendPx.size()))
        return edges.bendPx[static_cast<size_t>(b)];
    return (b - edges.blockCount / 2) * edges.driftPx;
}

bool prepareEdgeGrid(const GreyImage& grid, const SubpixelSettings& settings, EdgeGrid& out) {
    out = EdgeGrid();
    if (grid.width < 4 || grid.height < 1 || grid.data == nullptr) return false;
    if (settings.blockRows < 1 || !std::isfinite(settings.rowSmoothingPx) ||
        settings.rowSmoothingPx < 0.0)
        return false;
    const int32_t w = grid.width;
    const int32_t h = grid.height;
    out.taps = gaussianTaps(settings.rowSmoothingPx);
    out.values = grid.data;
    out.width = w;
    out.height = h;
    out.blockRows = settings.blockRows < h ? settings.blockRows : h;
    out.blockCount = (h + out.blockRows - 1) / out.blockRows;
    out.blocks.assign(static_cast<size_t>(out.blockCount) * static_cast<size_t>(w), 0.0);
    // Smoothing along the row commutes with the mean over rows: the block means are smoothed.
    std::vector<double> mean(static_cast<size_t>(w));
    for (int32_t b = 0; b < out.blockCount; ++b) {
        const int32_t first = b * out.blockRows;
        const int32_t last = std::min(h, first + out.blockRows);
        std::fill(mean.begin(), mean.end(), 0.0);
        for (int32_t y = first; y < last; ++y) {
            const double* row = grid.data + grid.index(0, y);
            for (int32_t x = 0; x < w; ++x) mean[static_cast<size_t>(x)] += row[x];
        }
        const double scale = 1.0 / (last - first);
        for (double& v : mean) v *= scale;
        smoothLine(mean.data(), w, out.taps,
                   out.blocks.data() + static_cast<size_t>(b) * static_cast<size_t>(w));
    }
    blockDrift(out);
    return true;
}

namespace {

// The edge's column (0-based) in every block of `edges` into `track`, NaN where it is not found:
// acquired in the middle block near the seed's column, followed block by block up and down,
// sought again from the picture's ends where the tracking lost it, and cleared in blocks far from
// a robust straight line through the rest. Returns why the edge could not be tracked, or "".
std::string trackEdgeBlocks(const EdgeGrid& edges,
                            const EdgeSeed& seed,
                            const SubpixelSettings& settings,
                            std::vector<double>& track) {
    const int32_t w = edges.width;
    const int32_t polarity = seed.polarity < 0 ? -1 : 1;
    const double hw = seed.halfWindowPx;
    const double radius = std::min(settings.searchRadiusPx, hw);
    const int32_t nb = edges.blockCount;
    const int32_t middle = nb / 2;
    track.assign(static_cast<size_t>(nb), kNaN);
    auto block = [&](int32_t b) {
        return edges.blocks.data() + static_cast<size_t>(b) * static_cast<size_t>(w);
    };
    // The edge in block b within hw of x, found without a track: a band by its brightest point,
    // a plain edge by the level crossing nearest to x. NaN when not found.
    const auto acquire = [&](int32_t b, double x) {
        if (seed.band) return bandStart(block(b), w, x, polarity, hw, settings.edgeLevel);
        double low = 0.0;
        double high = 0.0;
        if (!localLevels(block(b), w, x, polarity, hw, low, high)) return kNaN;
        return crossing(block(b), w, low + settings.edgeLevel * (high - low), polarity, x - hw,
                        x + hw, true, x);
    };
    const double start = acquire(middle, seed.column - 1.0);
    if (!std::isfinite(start)) return "no edge near the start column";
    // The edge's contrast on the middle block: a block whose levels around the track differ by
    // less than minContrastFraction of it holds no edge there (the track has left the flank
    // for a flat stretch, where the local levels are noise and every crossing is one).
    double minBlockRange = 0.0;
    {
        double low = 0.0;
        double high = 0.0;
        if (localLevels(block(middle), w, start, polarity, hw, low, high))
            minBlockRange = settings.minContrastFraction * (high - low);
    }
    // A block may move by kMaxBlockStepPx from the last tracked one (more after untracked
    // blocks), so that noise cannot walk the track onto a neighbouring flank. Blocks first ..
    // last are tracked one after the other from `previous` (in the order of `direction`).
    const auto follow = [&](int32_t first, int32_t last, int32_t direction, double previous) {
        int32_t since = 1;  // blocks since the last tracked one
        for (int32_t b = first; b != last + direction; b += direction) {
            const double* p = block(b);
            const double reach = std::min(radius, kMaxBlockStepPx * since);
            // Where the lines' drift (or bend) takes the edge from the last tracked block.
            const double expected = edges.bendPx.empty()
                                        ? previous + direction * edges.driftPx * since
                                        : previous + blockOffsetPx(edges, b) -
                                              blockOffsetPx(edges, b - direction * since);
            double low = 0.0;
            double high = 0.0;
            double x = kNaN;
            if (localLevels(p, w, expected, polarity, hw, low, high) && high - low >= minBlockRange)
                x = crossing(p, w, low + settings.edgeLevel * (high - low), polarity,
                             expected - reach, expected + reach, true, expected);
            if (std::isfinite(x)) {
                track[static_cast<size_t>(b)] = x;
                previous = x;
                since = 1;
            } else {
                ++since;
            }
        }
    };
    follow(middle, 0, -1, start);
    follow(middle + 1, nb - 1, 1, start);
    // An edge that steps further within a few blocks than the tracking follows (a sharp kink of
    // a rough edge) is lost from there to the picture's end, where no tracked block lies beyond
    // to carry the course back to it. It is sought again block by block from the end, as at
    // the start, within hw of where the track left off (moved on by the drift), and the blocks
    // from there back to the track are followed as before.
    // A band is sought around its own column, which lies inside the line from its edge.
    const double bandOffset = seed.band ? seed.column - 1.0 - start : 0.0;
    for (int32_t direction = -1; direction <= 1; direction += 2) {
        const int32_t end = direction < 0 ? 0 : nb - 1;
        int32_t lastTracked = middle;
        for (int32_t b = middle; b != end + direction; b += direction)
            if (std::isfinite(track[static_cast<size_t>(b)])) lastTracked = b;
        for (int32_t b = end; std::abs(b - lastTracked) >= 2; b -= direction) {
            const double expected =
                track[static_cast<size_t>(lastTracked)] +
                (edges.bendPx.empty()
                     ? direction * edges.driftPx * std::abs(b - lastTracked)
                     : blockOffsetPx(edges, b) - blockOffsetPx(edges, lastTracked));
            const double x = acquire(b, expected + bandOffset);
            double low = 0.0;
            double high = 0.0;
            if (!std::isfinite(x) || !localLevels(block(b), w, x, polarity, hw, low, high) ||
                high - low < minBlockRange) {
                continue;
            }
            track[static_cast<size_t>(b)] = x;
            follow(b - direction, lastTracked + direction, -direction, x);
            break;
        }
    }
    // Blocks far from a robust straight line through the track are dropped: lines are straight
    // to within their roughness, while a track that slipped onto another flank is far off. Far
    // is beyond the level window too (kept short of the neighbouring edges), so that a kink as
    // wide as the window, which the search from the end finds, stays.
    {
        std::vector<double> bs;
        std::vector<double> xs;
        for (int32_t b = 0; b < nb; ++b) {
            if (!std::isfinite(track[static_cast<size_t>(b)])) continue;
            bs.push_back(b);
            // Bent lines: the track's departure from the lines' common course.
            xs.push_back(track[static_cast<size_t>(b)] -
                         (edges.bendPx.empty() ? 0.0 : blockOffsetPx(edges, b)));
        }
        // Theil-Sen slope over pairs a block apart by at least a quarter of the blocks.
        std::vector<double> slopes;
        const size_t m = bs.size();
        const size_t stride = m / 4 > 0 ? m / 4 : 1;
        for (size_t i = 0; i + stride < m; ++i)
            slopes.push_back((xs[i + stride] - xs[i]) / (bs[i + stride] - bs[i]));
        const double slope = slopes.empty() ? 0.0 : medianOf(slopes);
        std::vector<double> offsets(m);
        for (size_t i = 0; i < m; ++i) offsets[i] = xs[i] - slope * bs[i];
        std::vector<double> scratch = offsets;
        const double offset = medianOf(scratch);
        std::vector<double> deviations(m);
        for (size_t i = 0; i < m; ++i) deviations[i] = std::fabs(offsets[i] - offset);
        scratch = deviations;
        const double bound = std::max({kMinTrackBoundPx, hw, 5.0 * 1.4826 * medianOf(scratch)});
        for (size_t i = 0; i < m; ++i)
            if (deviations[i] > bound) track[static_cast<size_t>(bs[i])] = kNaN;
    }
    bool tracked = false;
    for (double v : track) tracked = tracked || std::isfinite(v);
    return tracked ? std::string() : "the edge could not be tracked";
}

// The column (0-based) of the edge in every row from its block track (trackEdgeBlocks, at least
// one block tracked): linear between the centres of the tracked blocks and, beyond the first and
// last, carried on by the grid's drift, so that a tilted edge that leaves the picture through its
// side leaves the course with it (its rows then have no window and stay missing) instead of the
// course waiting at the border for another edge's flank.
std::vector<double> rowCourse(const EdgeGrid& edges, const std::vector<double>& track) {
    const int32_t h = edges.height;
    const int32_t nb = edges.blockCount;
    std::vector<double> course(static_cast<size_t>(h), kNaN);
    const double driftPerRow = edges.driftPx / edges.blockRows;
    int32_t previousBlock = -1;
    for (int32_t b = 0; b < nb; ++b) {
        if (!std::isfinite(track[static_cast<size_t>(b)])) continue;
        const double centre = b * edges.blockRows + 0.5 * (edges.blockRows - 1);
        if (previousBlock < 0) {
            for (int32_t y = 0; y < h && y <= centre; ++y)
                course[static_cast<size_t>(y)] =
                    track[static_cast<size_t>(b)] + driftPerRow * (y - centre);
        } else {
            const double c0 = previousBlock * edges.blockRows + 0.5 * (edges.blockRows - 1);
            const double x0 = track[static_cast<size_t>(previousBlock)];
            const double x1 = track[static_cast<size_t>(b)];
            for (int32_t y = static_cast<int32_t>(std::ceil(c0)); y < h && y <= centre; ++y)
                course[static_cast<size_t>(y)] = x0 + (x1 - x0) * (y - c0) / (centre - c0);
        }
        previousBlock = b;
    }
    const double last = track[static_cast<size_t>(previousBlock)];
    const double lastCentre = previousBlock * edges.blockRows + 0.5 * (edges.blockRows - 1);
    for (int32_t y = h - 1; y >= 0 && !std::isfinite(course[static_cast<size_t>(y)]); --y)
        course[static_cast<size_t>(y)] = last + driftPerRow * (y - lastCentre);
    return course;
}

// Every row's stretch of the grid around the course, smoothed along the row with the grid's taps:
// columns first[y] .. first[y] + count[y] - 1 (0-based, within the row; count 0 where the
// course leaves the grid), `length` values apart in `values`.
struct RowWindows {
    int32_t length = 0;
    std::vector<double> values;
    std::vector<int32_t> first;
    std::vector<int32_t> count;
    const double* row(int32_t y) const {
        return values.data() + static_cast<size_t>(y) * static_cast<size_t>(length);
    }
};

// The windows of `reach` columns either side of every row's course.
RowWindows smoothedRowWindows(const EdgeGrid& edges,
                              const std::vector<double>& course,
                              int32_t reach) {
    const int32_t w = edges.width;
    const int32_t h = edges.height;
    RowWindows out;
    const int32_t windowLength = 2 * reach + 1;
    out.length = windowLength;
    const int32_t tapRadius = static_cast<int32_t>(edges.taps.size() / 2);
    const double* taps = edges.taps.data() + tapRadius;
    std::vector<double>& windows = out.values;
    std::vector<int32_t>& windowFirst = out.first;
    std::vector<int32_t>& windowCount = out.count;
    windows.assign(static_cast<size_t>(h) * static_cast<size_t>(windowLength), 0.0);
    windowFirst.assign(static_cast<size_t>(h), 0);
    windowCount.assign(static_cast<size_t>(h), 0);
    for (int32_t y = 0; y < h; ++y) {
        const double e = course[static_cast<size_t>(y)];
        int32_t first = 0;
        int32_t last = 0;
        columnRange(e - reach, e + reach, w, first, last);
        windowFirst[static_cast<size_t>(y)] = first;
        windowCount[static_cast<size_t>(y)] = last >= first ? last - first + 1 : 0;
    }
    for (int32_t y = 0; y < h; ++y) {
        const double* row = edges.values + static_cast<size_t>(y) * static_cast<size_t>(w);
        if (y + kPrefetchRows < h) {
            // The rows lie a whole grid row apart, too far for the processor to fetch them
            // ahead by itself: ask for the window (with the taps' reach) a few rows on.
            const size_t ahead = static_cast<size_t>(y + kPrefetchRows);
            const int32_t a = std::max(0, windowFirst[ahead] - tapRadius);
            const int32_t b =
                std::min(w - 1, windowFirst[ahead] + windowCount[ahead] - 1 + tapRadius);
            const double* next = edges.values + ahead * static_cast<size_t>(w);
            for (int32_t i = a; i <= b; i += 8) __builtin_prefetch(next + i);
            if (b >= a) __builtin_prefetch(next + b);
        }
        const int32_t first = windowFirst[static_cast<size_t>(y)];
        const int32_t last = first + windowCount[static_cast<size_t>(y)] - 1;
        double* dst = windows.data() + static_cast<size_t>(y) * static_cast<size_t>(windowLength);
        if (first - tapRadius >= 0 && last + tapRadius < w) {
            // Tap after tap over the whole window: every sum adds its terms in the same order
            // as below, and the inner loop runs over the columns.
            const int32_t count = last - first + 1;
            const double* in = row + first;
            std::fill(dst, dst + count, 0.0);
            for (int32_t k = -tapRadius; k <= tapRadius; ++k) {
                const double tap = taps[k];
                for (int32_t i = 0; i < count; ++i) dst[i] += tap * in[i + k];
            }
            continue;
        }
        for (int32_t x = first; x <= last; ++x) {
            double sum = 0.0;
            for (int32_t k = -tapRadius; k <= tapRadius; ++k)
                sum += taps[k] * row[std::min(w - 1, std::max(0, x + k))];
            dst[x - first] = sum;
        }
    }
    return out;
}

// Clears the crossings `x` (0-based, one per row) that lie beyond the jump bound from the
// median of the neighbouring rows (settings.jumpLimitSigmas robust sigmas, at least
// jumpLimitMinPx). Then rows without a crossing that are neither flat nor jumped take the
// crossing of `rowLevel` on the mean of their windows within settings.pooledHalfRows rows, within
// `refine` of that median and within the bound. Returns how many rows were so pooled.
int32_t clearJumpsAndPoolRows(std::vector<double>& x,
                              const std::vector<bool>& flat,
                              const std::vector<double>& rowLevel,
                              int32_t polarity,
                              double refine,
                              const RowWindows& windows,
                              const SubpixelSettings& settings) {
    const int32_t h = static_cast<int32_t>(x.size());
    const std::vector<int32_t>& windowFirst = windows.first;
    const std::vector<int32_t>& windowCount = windows.count;
    // Jumps: far from the median of the neighbouring rows, by a robust bound.
    std::vector<double> deviation(static_cast<size_t>(h), kNaN);
    std::vector<double> absolute;
    std::vector<double> medians;
    std::vector<int32_t> neighbours;
    neighbourMedians(x, kMedianHalfSpan, false, medians, neighbours);
    for (int32_t y = 0; y < h; ++y) {
        if (std::isnan(x[static_cast<size_t>(y)]) || neighbours[static_cast<size_t>(y)] < 3)
            continue;
        deviation[static_cast<size_t>(y)] =
            x[static_cast<size_t>(y)] - medians[static_cast<size_t>(y)];
        absolute.push_back(std::fabs(deviation[static_cast<size_t>(y)]));
    }
    const double robustSigma = 1.4826 * medianOf(absolute);
    const double bound =
        std::max(settings.jumpLimitSigmas * (std::isnan(robustSigma) ? 0.0 : robustSigma),
                 settings.jumpLimitMinPx);
    std::vector<bool> jumped(static_cast<size_t>(h), false);
    for (int32_t y = 0; y < h; ++y) {
        double& v = x[static_cast<size_t>(y)];
        if (!std::isnan(v) && std::fabs(deviation[static_cast<size_t>(y)]) > bound) {
            v = kNaN;
            jumped[static_cast<size_t>(y)] = true;
        }
    }
    // Rows without a crossing near their neighbours (noise hid the edge in that row alone, but
    // the row is not flat): the crossing on the mean of the row and its neighbours, when it
    // lies within the jump bound of the neighbouring rows' median. Rows whose own crossing
    // jumped stay missing: they show something else there, not nothing.
    int32_t pooled = 0;
    const int32_t halfRows = settings.pooledHalfRows;
    if (halfRows > 0) {
        std::vector<double> mean;
        for (int32_t y = 0; y < h; ++y) {
            if (!std::isnan(x[static_cast<size_t>(y)]) || flat[static_cast<size_t>(y)] ||
                jumped[static_cast<size_t>(y)] || neighbours[static_cast<size_t>(y)] < 3)
                continue;
            const double m = medians[static_cast<size_t>(y)];
            if (std::isnan(m)) continue;
            const int32_t a = static_cast<int32_t>(std::floor(m - refine)) - 1;
            const int32_t b = static_cast<int32_t>(std::ceil(m + refine)) + 1;
            // Columns a .. b, which every row's window must hold.
            const int32_t r0 = std::max(0, y - halfRows);
            const int32_t r1 = std::min(h - 1, y + halfRows);
            bool inside = true;
            for (int32_t r = r0; r <= r1; ++r)
                inside =
                    inside && a >= windowFirst[static_cast<size_t>(r)] &&
                    b < windowFirst[static_cast<size_t>(r)] + windowCount[static_cast<size_t>(r)];
            if (!inside) continue;
            mean.assign(static_cast<size_t>(b - a + 1), 0.0);
            for (int32_t r = r0; r <= r1; ++r) {
                const double* row = windows.row(r) + (a - windowFirst[static_cast<size_t>(r)]);
                for (size_t i = 0; i < mean.size(); ++i) mean[i] += row[i];
            }
            for (double& v : mean) v /= r1 - r0 + 1;
            const double v = crossing(mean.data(), b - a + 1, rowLevel[static_cast<size_t>(y)],
                                      polarity, m - refine - a, m + refine - a, false, m - a) +
                             a;
            if (std::isnan(v) || std::fabs(v - m) > bound) continue;
            x[static_cast<size_t>(y)] = v;
            ++pooled;
        }
    }
    return pooled;
}

}  // namespace

void traceSubpixelEdge(const EdgeGrid& edges,
                       const EdgeSeed& seed,
                       const SubpixelSettings& settings,
                       SubpixelEdge& out) {
    out = SubpixelEdge();
    const int32_t w = edges.width;
    const int32_t h = edges.height;
    out.positions.assign(static_cast<size_t>(h > 0 ? h : 0), kNaN);
    out.missingRows = h;
    if (w < 4 || h < 1 || edges.blockCount < 1) {
        out.failure = "empty grid";
        return;
    }
    if (!(settings.edgeLevel > 0.0 && settings.edgeLevel < 1.0) ||
        !(settings.searchRadiusPx > 0.0) || !(seed.halfWindowPx >= 2.0) ||
        !std::isfinite(seed.column)) {
        out.failure = "settings out of range";
        return;
    }
    const int32_t polarity = seed.polarity < 0 ? -1 : 1;
    const double hw = seed.halfWindowPx;
    const double radius = std::min(settings.searchRadiusPx, hw);

    std::vector<double> track;
    out.failure = trackEdgeBlocks(edges, seed, settings, track);
    if (!out.failure.empty()) return;
    const std::vector<double> course = rowCourse(edges, track);

    // The smoothed row around the course, per row: columns first .. first + count - 1.
    const int32_t span = static_cast<int32_t>(std::floor(hw));
    const int32_t reach = span + static_cast<int32_t>(std::ceil(radius)) + 2;
    const RowWindows windows = smoothedRowWindows(edges, course, reach);
    const std::vector<int32_t>& windowFirst = windows.first;
    const std::vector<int32_t>& windowCount = windows.count;
    auto windowOf = [&](int32_t y) { return windows.row(y); };

    // Levels from the profile averaged along the course, over the rows y0 .. y1 - 1 not (yet)
    // found flat; false when they show no contrast.
    std::vector<double>& x = out.positions;
    std::vector<double> first(static_cast<size_t>(h), kNaN);
    std::vector<bool> flat(static_cast<size_t>(h), false);
    std::vector<double> rowLevel(static_cast<size_t>(h));     // the crossing level of every row
    std::vector<double> rowMinRange(static_cast<size_t>(h));  // and its least contrast
    // Every row's profile at the course's offsets -span .. span (sampleAt: NaN outside the
    // window), sampled once for the many row ranges whose levels are taken.
    const size_t alignedLength = static_cast<size_t>(2 * span + 1);
    std::vector<double> alignedSamples(static_cast<size_t>(h) * alignedLength);
    for (int32_t y = 0; y < h; ++y) {
        const double* row = windowOf(y);
        const int32_t count = windowCount[static_cast<size_t>(y)];
        const double e = course[static_cast<size_t>(y)] - windowFirst[static_cast<size_t>(y)];
        double* samples = alignedSamples.data() + static_cast<size_t>(y) * alignedLength;
        for (int32_t u = -span; u <= span; ++u) samples[u + span] = sampleAt(row, count, e + u);
    }
    auto alignedLevels = [&](int32_t y0, int32_t y1, double& low, double& high) {
        std::vector<double> aligned(alignedLength, 0.0);
        std::vector<int32_t> counts(alignedLength, 0);
        for (int32_t y = y0; y < y1; ++y) {
            if (flat[static_cast<size_t>(y)]) continue;
            const double* samples = alignedSamples.data() + static_cast<size_t>(y) * alignedLength;
            // NaN samples add nothing: +0 leaves every sum as it is (none is ever -0).
            for (size_t i = 0; i < alignedLength; ++i) {
                const double v = samples[i];
                const bool sampled = v == v;
                aligned[i] += sampled ? v : 0.0;
                counts[i] += sampled ? 1 : 0;
            }
        }
        low = HUGE_VAL;
        high = -HUGE_VAL;
        for (int32_t u = -span; u <= span; ++u) {
            const size_t i = static_cast<size_t>(u + span);
            if (counts[i] == 0) continue;
            const double v = aligned[i] / counts[i];
            const bool lowSide = polarity > 0 ? u <= 0 : u >= 0;
            if (lowSide) low = std::min(low, v);
            if (!lowSide || u == 0) high = std::max(high, v);
        }
        return std::isfinite(low) && std::isfinite(high) && high > low;
    };
    auto levels = [&]() {
        double low = 0.0;
        double high = 0.0;
        if (!alignedLevels(0, h, low, high)) return false;
        out.low = low;
        out.high = high;
        out.level = low + settings.edgeLevel * (high - low);
        rowLevel.assign(static_cast<size_t>(h), out.level);
        rowMinRange.assign(static_cast<size_t>(h), settings.minContrastFraction * (high - low));
        return true;
    };
    // A brightness trend down the edge (charging, a drifting beam current) moves a fixed
    // level up or down the edge's flank: the level follows it. The levels of segments of
    // kTrendSegmentRows rows are fitted by a straight line in the row; where its slope is
    // significant (kTrendSignificance standard errors) and carries the level by at least
    // kMinTrendFraction of the contrast over the rows, every row's level is the edge's level
    // plus the slope times the row's distance from the mean row of the levels' rows, which
    // keeps their mean, and the least contrast of a row follows the contrast's own fitted
    // slope. Where the levels bend away from that line smoothly (shading that is not a straight
    // trend: kShapeMeanSquareRatio, kMaxShapeStepRatio), every row's level and least contrast are
    // those of the segments, linear between their mean rows and carried on beyond the first and
    // last. Otherwise (pictures of even brightness) the level stays one.
    // The mean of the rows y0 .. y1 - 1 not found flat; `rows` receives their count.
    auto meanRow = [&](int32_t y0, int32_t y1, double& rows) {
        rows = 0.0;
        double sum = 0.0;
        for (int32_t y = y0; y < y1; ++y)
            if (!flat[static_cast<size_t>(y)]) {
                rows += 1.0;
                sum += y;
            }
        return rows > 0.0 ? sum / rows : kNaN;
    };
    auto followTrend = [&]() {
        std::vector<double> centres;
        std::vector<double> segmentLevels;
        std::vector<double> segmentContrasts;
        std::vector<int32_t> starts;  // each segment's first row
        for (int32_t y0 = 0; y0 + kTrendSegmentRows <= h; y0 += kTrendSegmentRows) {
            const int32_t y1 = y0 + kTrendSegmentRows;
            double rows = 0.0;
            const double centre = meanRow(y0, y1, rows);
            double low = 0.0;
            double high = 0.0;
            if (rows < 0.5 * kTrendSegmentRows || !alignedLevels(y0, y1, low, high)) continue;
            centres.push_back(centre);
            segmentLevels.push_back(low + settings.edgeLevel * (high - low));
            segmentContrasts.push_back(high - low);
            starts.push_back(y0);
        }
        const size_t n = centres.size();
        if (n < static_cast<size_t>(kMinTrendSegments)) return false;
        // Least-squares lines; the slope's variance from the levels' scatter about their line.
        double c0 = 0.0;
        double slope = 0.0;
        double cov00 = 0.0;
        double cov01 = 0.0;
        double slopeVariance = 0.0;
        double residuals = 0.0;
        gsl_fit_linear(centres.data(), 1, segmentLevels.data(), 1, n, &c0, &slope, &cov00, &cov01,
                       &slopeVariance, &residuals);
        const double levelAt0 = c0;
        double contrastSlope = 0.0;
        double unused[4];
        gsl_fit_linear(centres.data(), 1, segmentContrasts.data(), 1, n, &c0, &contrastSlope,
                       &unused[0], &unused[1], &unused[2], &unused[3]);
        // Shading beyond a straight trend: residuals about the line, smooth and above noise.
        if (settings.followBentShading && n >= static_cast<size_t>(kMinShapeSegments)) {
            std::vector<double> off(n);
            double largestOff = 0.0;
            for (size_t i = 0; i < n; ++i) {
                off[i] = segmentLevels[i] - (levelAt0 + slope * centres[i]);
                largestOff = std::max(largestOff, std::fabs(off[i]));
            }
            double steps = 0.0;
            for (size_t i = 1; i < n; ++i) steps += (off[i] - off[i - 1]) * (off[i] - off[i - 1]);
            const double meanSquare = residuals / static_cast<double>(n);
            bool shaped = steps / (n - 1.0) <= kMaxShapeStepRatio * meanSquare &&
                          largestOff >= kMinTrendFraction * (out.high - out.low);
            // The levels' noise (only for edges that pass the above): half the difference of
            // the levels of each segment's halves.
            double noiseSquare = 0.0;
            for (size_t i = 0; shaped && i < n; ++i) {
                const int32_t half = starts[i] + kTrendSegmentRows / 2;
                double lowA = 0.0, highA = 0.0, lowB = 0.0, highB = 0.0;
                shaped = alignedLevels(starts[i], half, lowA, highA) &&
                         alignedLevels(half, starts[i] + kTrendSegmentRows, lowB, highB);
                const double d = 0.5 * ((lowA + settings.edgeLevel * (highA - lowA)) -
                                        (lowB + settings.edgeLevel * (highB - lowB)));
                noiseSquare += d * d;
            }
            shaped = shaped && meanSquare > kShapeMeanSquareRatio * noiseSquare / n;
            if (shaped) {
                size_t next = 0;  // the first segment whose mean row lies past y
                for (int32_t y = 0; y < h; ++y) {
                    while (next < n && centres[next] <= y) ++next;
                    // Between the segments around y; beyond the first or last, on the line
                    // through the two nearest.
                    const size_t a = next == 0 ? 0 : (next == n ? n - 2 : next - 1);
                    const size_t b = a + 1;
                    const double t = (y - centres[a]) / (centres[b] - centres[a]);
                    const double level =
                        segmentLevels[a] + t * (segmentLevels[b] - segmentLevels[a]);
                    const double contrast =
                        segmentContrasts[a] + t * (segmentContrasts[b] - segmentContrasts[a]);
                    rowLevel[static_cast<size_t>(y)] = level;
                    rowMinRange[static_cast<size_t>(y)] =
                        settings.minContrastFraction * std::max(0.0, contrast);
                }
                out.levelSlope = slope;
                out.levelShaped = true;
                flat.assign(static_cast<size_t>(h), false);
                return true;
            }
        }
        const double standardError = std::sqrt(slopeVariance);
        if (!(std::fabs(slope) > kTrendSignificance * standardError) ||
            !(std::fabs(slope) * h >= kMinTrendFraction * (out.high - out.low)))
            return false;
        double rows = 0.0;
        const double centre = meanRow(0, h, rows);
        for (int32_t y = 0; y < h; ++y) {
            rowLevel[static_cast<size_t>(y)] = out.level + slope * (y - centre);
            rowMinRange[static_cast<size_t>(y)] =
                settings.minContrastFraction *
                std::max(0.0, out.high - out.low + contrastSlope * (y - centre));
        }
        out.levelSlope = slope;
        // Rows found flat against the edge's mean contrast are looked at again against their own.
        flat.assign(static_cast<size_t>(h), false);
        return true;
    };

    // Per row, first the crossing nearest to the course within the search radius; then the
    // mean of the crossings within the refine radius of the median of those of the rows around
    // (which follows the edge closely, so that far noise crossings stay out and the edge's own
    // excursions stay in). Rows without the edge's contrast are flat. When there are such rows
    // (a line end, a band of rows without lines), the levels are taken again without them, as
    // they would pull the levels towards their own, and the rows searched again.
    auto firstCrossings = [&]() {
        bool anyFlat = false;
        for (int32_t y = 0; y < h; ++y) {
            first[static_cast<size_t>(y)] = kNaN;
            const double* row = windowOf(y);
            const int32_t count = windowCount[static_cast<size_t>(y)];
            const int32_t offset = windowFirst[static_cast<size_t>(y)];
            const double e = course[static_cast<size_t>(y)] - offset;
            int32_t lo = 0;
            int32_t hi = 0;
            columnRange(e - hw, e + hw, count, lo, hi);
            if (hi - lo < 2) continue;
            double rowMin = HUGE_VAL;
            double rowMax = -HUGE_VAL;
            for (int32_t i = lo; i <= hi; ++i) {
                rowMin = std::min(rowMin, row[i]);
                rowMax = std::max(rowMax, row[i]);
            }
            if (rowMax - rowMin < rowMinRange[static_cast<size_t>(y)]) {
                flat[static_cast<size_t>(y)] = true;
                anyFlat = true;
                continue;
            }
            first[static_cast<size_t>(y)] = crossing(row, count, rowLevel[static_cast<size_t>(y)],
                                                     polarity, e - radius, e + radius, true, e) +
                                            offset;
        }
        return anyFlat;
    };
    if (!levels()) {
        out.failure = "no contrast across the edge";
        return;
    }
    if (firstCrossings() && levels()) firstCrossings();
    if (followTrend()) firstCrossings();
    const double refine = std::min(settings.refineRadiusPx, radius);
    std::vector<double> centres;
    std::vector<int32_t> neighbours;
    neighbourMedians(first, kRefineHalfSpan, true, centres, neighbours);
    for (int32_t y = 0; y < h; ++y) {
        if (flat[static_cast<size_t>(y)]) centres[static_cast<size_t>(y)] = kNaN;
        const double m = centres[static_cast<size_t>(y)];
        if (std::isnan(m)) continue;
        const int32_t offset = windowFirst[static_cast<size_t>(y)];
        const double centre = m - offset;
        x[static_cast<size_t>(y)] = crossing(windowOf(y), windowCount[static_cast<size_t>(y)],
                                             rowLevel[static_cast<size_t>(y)], polarity,
                                             centre - refine, centre + refine, false, centre) +
                                    offset;
    }

    out.pooledRows = clearJumpsAndPoolRows(x, flat, rowLevel, polarity, refine, windows, settings);
    int32_t missing = 0;
    for (int32_t y = 0; y < h; ++y) {
        double& v = x[static_cast<size_t>(y)];
        if (std::isnan(v)) {
            ++missing;
        } else {
            v += 1.0;  // 0-based sample to 1-based column
        }
    }
    out.missingRows = missing;
}

namespace {

// The noise sigma of the first block's mean profile (smoothed along the row as the blocks are)
// from the scatter of its own rows about their column means, for a grid of one block, where no
// second block shows it: the rows' robust sigma (every kNoiseColumnStep-th column) times the
// row smoothing's noise gain, over the square root of the rows. Infinite for a block of one row,
// where nothing tells lines from noise.
double oneBlockNoise(const EdgeGrid& edges) {
    const int32_t rows = std::min(edges.blockRows, edges.height);
    if (rows < 2 || edges.values == nullptr) return HUGE_VAL;
    std::vector<double> deviations;
    for (int32_t x = 0; x < edges.width; x += kNoiseColumnStep) {
        double sum = 0.0;
        for (int32_t y = 0; y < rows; ++y)
            sum += edges.values[static_cast<size_t>(y) * edges.width + x];
        const double mean = sum / rows;
        for (int32_t y = 0; y < rows; ++y)
            deviations.push_back(
                std::fabs(edges.values[static_cast<size_t>(y) * edges.width + x] - mean));
    }
    const double rowSigma = 1.4826 * medianOf(deviations) / std::sqrt((rows - 1.0) / rows);
    return rowSigma * std::sqrt(tapPower(edges.taps) / rows);
}

// Per column of `p`, the `share` and 1 - `share` quantiles (lower rank) of the values within
// `reach` columns either side (fewer at the borders), into `low` and `high`. False (nothing
// set) when `p` is empty, `reach` < 1 or `share` is outside [0, 0.5). One sorted window is slid
// along p (a value in, a value out per column) instead of selecting in a fresh copy of each
// window: the same values, without the copy and selection over wide windows (a pitch of
// 1500 px) for every column of every block.
bool localQuantiles(const std::vector<double>& p,
                    int32_t reach,
                    double share,
                    std::vector<double>& low,
                    std::vector<double>& high) {
    const int32_t w = static_cast<int32_t>(p.size());
    if (w < 1 || reach < 1 || !(share >= 0.0 && share < 0.5)) return false;
    low.assign(p.size(), 0.0);
    high.assign(p.size(), 0.0);
    std::vector<double> window(p.begin(), p.begin() + std::min(w, reach + 1));
    std::sort(window.begin(), window.end());
    for (int32_t x = 0; x < w; ++x) {
        if (x > 0) {
            // Column x + reach comes in, column x - reach - 1 goes out.
            if (x + reach < w) {
                const double in = p[static_cast<size_t>(x + reach)];
                window.insert(std::upper_bound(window.begin(), window.end(), in), in);
            }
            if (x - reach - 1 >= 0) {
                const double out = p[static_cast<size_t>(x - reach - 1)];
                window.erase(std::lower_bound(window.begin(), window.end(), out));
            }
        }
        const size_t n = window.size() - 1;
        low[static_cast<size_t>(x)] = window[static_cast<size_t>(share * n)];
        high[static_cast<size_t>(x)] = window[static_cast<size_t>((1.0 - share) * n)];
    }
    return true;
}

// Splits `profile` at `level` (one per column): every run of the line phase (above the level
// for bright lines) at least 3 columns wide that touches neither border is a line, its edges
// the interpolated crossings. `lines` is replaced.
void splitIntoLines(const std::vector<double>& profile,
                    const std::vector<double>& level,
                    bool bright,
                    std::vector<StepLine>& lines) {
    lines.clear();
    const int32_t w = static_cast<int32_t>(profile.size());
    auto inLine = [&](int32_t x) {
        return (profile[static_cast<size_t>(x)] > level[static_cast<size_t>(x)]) == bright;
    };
    auto cross = [&](int32_t i) {  // crossing between samples i and i + 1, 1-based column
        const double a = profile[static_cast<size_t>(i)] - level[static_cast<size_t>(i)];
        const double b = profile[static_cast<size_t>(i + 1)] - level[static_cast<size_t>(i + 1)];
        return (b != a ? i - a / (b - a) : i + 0.5) + 1.0;
    };
    int32_t x = 0;
    while (x < w) {
        if (!inLine(x)) {
            ++x;
            continue;
        }
        const int32_t first = x;
        while (x < w && inLine(x)) ++x;
        const int32_t last = x - 1;
        if (first > 0 && last < w - 1 && last - first + 1 >= 3)
            lines.push_back({cross(first - 1), cross(last)});
    }
}

// The coefficient of variation of the distances between neighbouring lines' left edges; 0 for
// fewer than three lines.
double pitchVariation(const std::vector<StepLine>& lines) {
    if (lines.size() < 3) return 0.0;
    double sum = 0.0;
    double squares = 0.0;
    const double n = static_cast<double>(lines.size() - 1);
    for (size_t i = 1; i < lines.size(); ++i) {
        const double d = lines[i].left - lines[i - 1].left;
        sum += d;
        squares += d * d;
    }
    const double mean = sum / n;
    const double variance = std::max(0.0, squares / n - mean * mean);
    return mean > 0.0 ? std::sqrt(variance) / mean : 0.0;
}

// Otsu's level of `p`: the split of its values (in 256 bins between their least and greatest)
// into two classes of the greatest between-class variance; the middle of the bins for a flat p.
double otsuLevel(const std::vector<double>& p) {
    const auto [lowest, highest] = std::minmax_element(p.begin(), p.end());
    const double low = *lowest;
    const double span = *highest - low;
    if (!(span > 0.0)) return low;
    constexpr int32_t kBins = 256;
    std::vector<double> count(kBins, 0.0);
    for (double v : p)
        count[static_cast<size_t>(
            std::min(kBins - 1, static_cast<int32_t>((v - low) / span * kBins)))] += 1.0;
    double total = 0.0;
    double weighted = 0.0;
    for (int32_t b = 0; b < kBins; ++b) {
        total += count[static_cast<size_t>(b)];
        weighted += b * count[static_cast<size_t>(b)];
    }
    double below = 0.0;
    double belowWeighted = 0.0;
    double best = -1.0;
    int32_t split = kBins / 2;
    for (int32_t b = 0; b + 1 < kBins; ++b) {
        below += count[static_cast<size_t>(b)];
        belowWeighted += b * count[static_cast<size_t>(b)];
        const double above = total - below;
        if (below <= 0.0 || above <= 0.0) continue;
        const double difference = belowWeighted / below - (weighted - belowWeighted) / above;
        const double between = below * above * difference * difference;
        if (between > best) {
            best = between;
            split = b;
        }
    }
    return low + (split + 1.0) / kBins * span;
}

}  // namespace

bool locateStepLines(const EdgeGrid& edges, Contrast contrast, std::vector<StepLine>& lines) {
    lines.clear();
    if (contrast == Contrast::kBrightEdge || edges.blockCount < 1) return true;
    const int32_t w = edges.width;
    const int32_t nb = edges.blockCount;
    const int32_t middle = nb / 2;
    // The middle block with two blocks either side, smoothed again.
    const int32_t firstBlock = std::max(0, middle - 2);
    const int32_t lastBlock = std::min(nb - 1, middle + 2);
    const int32_t count = lastBlock - firstBlock + 1;
    std::vector<double> mean(static_cast<size_t>(w), 0.0);
    std::vector<double> deviations;  // of every kNoiseColumnStep-th column from the blocks' mean
    deviations.reserve(static_cast<size_t>(w / kNoiseColumnStep + 1) * static_cast<size_t>(count));
    int32_t shifts[5];
    for (int32_t b = firstBlock; b <= lastBlock; ++b) shifts[b - firstBlock] = blockShift(edges, b);
    for (int32_t x = 0; x < w; ++x) {
        double column[5];
        for (int32_t b = firstBlock; b <= lastBlock; ++b)
            column[b - firstBlock] = shiftedBlockValue(edges, b, x, shifts[b - firstBlock]);
        double sum = 0.0;
        for (int32_t b = 0; b < count; ++b) sum += column[b];
        mean[static_cast<size_t>(x)] = sum;
        if (count > 1 && x % kNoiseColumnStep == 0)
            for (int32_t b = 0; b < count; ++b)
                deviations.push_back(std::fabs(column[b] - sum / count));
    }
    const std::vector<double> taps = gaussianTaps(1.0);
    std::vector<double> profile(static_cast<size_t>(w));
    smoothLine(mean.data(), w, taps, profile.data());
    std::vector<double> sorted = profile;
    std::sort(sorted.begin(), sorted.end());
    double p5 = sorted[static_cast<size_t>(0.05 * (w - 1))];
    double p95 = sorted[static_cast<size_t>(0.95 * (w - 1))];
    // A profile whose 5th and 95th percentiles lie less than kMinStepSpanSigmas of its noise
    // apart holds no line, only noise (a picture without lines: out of focus, off the pattern).
    // Its noise: the blocks' robust sigma about their mean (whose deviations carry
    // (count - 1) / count of it), summed over the blocks and smoothed.
    // One block: the noise from the scatter of its rows (none can be told from a single row).
    const double noise = count > 1
                             ? 1.4826 * medianOf(deviations) / std::sqrt((count - 1.0) / count) *
                                   std::sqrt(static_cast<double>(count) * tapPower(taps))
                             : oneBlockNoise(edges) * std::sqrt(tapPower(taps));
    // Lines that cover under 5 % of the profile (one line in a wide field) leave the 5th and
    // 95th percentiles both in the space: then the 1st and 99th are taken.
    if (!(p95 - p5 >= kMinStepSpanSigmas * noise)) {
        p5 = sorted[static_cast<size_t>(0.01 * (w - 1))];
        p95 = sorted[static_cast<size_t>(0.99 * (w - 1))];
    }
    if (!(p95 > p5) || !(p95 - p5 >= kMinStepSpanSigmas * noise)) return false;
    std::vector<double> level(static_cast<size_t>(w), 0.5 * (p5 + p95));
    splitIntoLines(profile, level, contrast == Contrast::kBrightLine, lines);
    // Lines of two brightnesses (every other line dimmer, as the two kinds of line of double
    // patterning can be): the dim ones may sit on the half-way level and break into pieces at
    // an irregular pitch. The profile's own two-class split (Otsu's level, which weighs the
    // share of each level) then takes them whole, and is used when it gives a pitch at most half
    // as irregular (the pitches' coefficient of variation) as one past kIrregularPitch.
    if (pitchVariation(lines) > kIrregularPitch) {
        std::vector<StepLine> twoClass;
        const std::vector<double> otsu(static_cast<size_t>(w), otsuLevel(profile));
        splitIntoLines(profile, otsu, contrast == Contrast::kBrightLine, twoClass);
        if (pitchVariation(twoClass) <= 0.5 * pitchVariation(lines)) {
            lines = std::move(twoClass);
            level = otsu;
        }
    }
    // Shading across the picture (a brighter side) lifts the lines on one side above the ones
    // on the other, and one level misses some of them: the split is made again at a level that
    // follows the shading (shadedLevels, within a pitch, the median distance between the lines
    // found, of each column).
    if (lines.size() >= 2) {
        std::vector<double> pitches;
        for (size_t i = 1; i < lines.size(); ++i)
            pitches.push_back(lines[i].left - lines[i - 1].left);
        const int32_t pitch = static_cast<int32_t>(std::lround(medianOf(pitches)));
        // Lines of two brightnesses also move the local levels; a split that breaks the pitch
        // (more irregular than kMaxPitchVariation and than the one level's) is not shading's.
        std::vector<StepLine> shaded;
        if (shadedLevels(profile, pitch, 0.05, level[0], p95 - p5, level)) {
            splitIntoLines(profile, level, contrast == Contrast::kBrightLine, shaded);
            if (pitchVariation(shaded) <= std::max(kMaxPitchVariation, pitchVariation(lines)))
                lines = std::move(shaded);
        }
    }
    return true;
}

bool shadedLevels(const std::vector<double>& p,
                  int32_t reach,
                  double share,
                  double level,
                  double contrast,
                  std::vector<double>& levels) {
    levels.assign(p.size(), level);
    std::vector<double> low;
    std::vector<double> high;
    if (p.size() < 3 || !localQuantiles(p, reach, share, low, high)) return false;
    // Only windows that hold a line and a space say where the level lies: a wide bare margin
    // (or a dark frame beside it) would pull the level off the lines'. A window holds them when
    // its quantiles lie apart by half the profile's contrast, or by half its contrast relative to
    // its top (shading that scales the levels scales the contrast with them).
    const double n = static_cast<double>(p.size());
    const double top = level + 0.5 * contrast;
    const double relative = top > 0.0 ? contrast / top : 0.0;
    std::vector<double> t;
    std::vector<double> mid;
    for (size_t x = 0; x < p.size(); ++x) {
        const double spread = high[x] - low[x];
        if (!(spread >= kMinWindowContrastShare * contrast ||
              (high[x] > 0.0 && spread >= kMinWindowContrastShare * relative * high[x])))
            continue;
        t.push_back(2.0 * x / (n - 1.0) - 1.0);
        mid.push_back(0.5 * (low[x] + high[x]));
    }
    std::vector<double> coefficients;
    if (t.size() <= static_cast<size_t>(reach) || !polynomialFit(t, mid, 3, coefficients))
        return false;
    // Beyond the first and last such window the level stays at theirs.
    std::vector<double> fitted(p.size());
    for (size_t x = 0; x < p.size(); ++x) {
        const double at = std::min(t.back(), std::max(t.front(), 2.0 * x / (n - 1.0) - 1.0));
        fitted[x] = polynomialAt(coefficients, at);
    }
    const auto [lowest, highest] = std::minmax_element(fitted.begin(), fitted.end());
    if (!(*highest - *lowest > kMinShadingShare * contrast)) return false;
    levels = std::move(fitted);
    return true;
}

void locateEdgeBands(const EdgeGrid& edges, std::vector<EdgeBand>& bands) {
    bands.clear();
    const int32_t w = edges.width;
    const int32_t h = edges.height;
    if (w < 4 || h < 1 || edges.blockCount < 1) return;
    // The middle kBandBlocks blocks of rows (their means are already smoothed along the row).
    const int32_t count = std::min(edges.blockCount, kBandBlocks);
    const int32_t firstBlock = (edges.blockCount - count) / 2;
    std::vector<double> median(static_cast<size_t>(w));
    std::vector<double> deviations;  // of every kNoiseColumnStep-th column: plenty, and quick
    deviations.reserve(static_cast<size_t>(w / kNoiseColumnStep + 1) * static_cast<size_t>(count));
    double column[kBandBlocks];
    int32_t shifts[kBandBlocks];
    for (int32_t b = 0; b < count; ++b) shifts[b] = blockShift(edges, firstBlock + b);
    for (int32_t x = 0; x < w; ++x) {
        for (int32_t b = 0; b < count; ++b)
            column[b] = shiftedBlockValue(edges, firstBlock + b, x, shifts[b]);
        double sorted[kBandBlocks];
        std::copy(column, column + count, sorted);
        const double m = smallMedian(sorted, count);
        median[static_cast<size_t>(x)] = m;
        if (x % kNoiseColumnStep == 0)
            for (int32_t b = 0; b < count; ++b) deviations.push_back(std::fabs(column[b] - m));
    }
    const std::vector<double> taps = gaussianTaps(1.0);
    std::vector<double> p(static_cast<size_t>(w));
    smoothLine(median.data(), w, taps, p.data());
    // Noise of the profile: the block means' robust sigma, times the median's efficiency loss
    // sqrt(pi / 2), over sqrt(blocks), times the second smoothing's noise gain sqrt(sum taps^2).
    // One block: the noise from the scatter of its rows (a single row gives no band at all).
    const double blockSigma = 1.4826 * medianOf(deviations);
    const double noise = count > 1 ? blockSigma * 1.2533 / std::sqrt(static_cast<double>(count)) *
                                         std::sqrt(tapPower(taps))
                                   : oneBlockNoise(edges) * std::sqrt(tapPower(taps));
    if (!std::isfinite(noise)) return;
    std::vector<double> sorted = p;
    std::sort(sorted.begin(), sorted.end());
    const double range =
        sorted[static_cast<size_t>(0.98 * (w - 1))] - sorted[static_cast<size_t>(0.02 * (w - 1))];
    if (!(range > 0.0)) return;
    // A profile whose highest point stands less than kMinStepSpanSigmas of its noise above its
    // median holds no band, only noise (about 3-4 sigmas): single peaks of 4 sigmas stand out
    // of the noise of a wide picture by chance (a flat 1536-column picture gave 8 "lines"). The
    // highest point, not a percentile: the bands of one line may cover under 2 % of a wide
    // picture.
    if (!(sorted.back() - sorted[static_cast<size_t>(w / 2)] >= kMinStepSpanSigmas * noise)) return;

    std::vector<ProfilePeak> peaks =
        profilePeaks(p, std::max(kMinBandProminence * range, kNoiseSigmas * noise));
    setPeakSides(p, peaks, noise);
    std::vector<EdgeBand> stepEdges;
    std::vector<char> merged;
    findMergedLines(p, peaks, merged, stepEdges);
    const ProfilePeak* previous = nullptr;
    ProfilePeak closing;  // a merged line, as the right-edge band it ends with
    for (size_t k = 0; k < peaks.size(); ++k) {
        const ProfilePeak& peak = peaks[k];
        EdgeBand band;
        band.column = peak.column + 1.0;
        band.side = peak.side;
        bands.push_back(band);
        if (merged[k] != 0) {
            // A merged line opens like a left-edge band and closes like a right-edge one.
            ProfilePeak opening = peak;
            opening.side = 1;
            if (previous != nullptr) addMissingEdges(p, *previous, opening, noise, stepEdges);
            closing = peak;
            closing.side = -1;
            previous = &closing;
            continue;
        }
        if (peak.side == 0) continue;
        if (previous != nullptr) {
            addMissingEdges(p, *previous, peak, noise, stepEdges);
        } else if (peak.side < 0) {
            // A right-edge band first: its line's left edge may be a step from a space at the
            // left border (lines with a band at one edge only).
            ProfilePeak border;
            border.side = -1;
            addMissingEdges(p, border, peak, noise, stepEdges);
        }
        previous = &peak;
    }
    if (previous != nullptr && previous->side > 0) {
        // A left-edge band last: likewise its line's right edge before the right border.
        ProfilePeak border;
        border.column = w - 1;
        border.side = 1;
        addMissingEdges(p, *previous, border, noise, stepEdges);
    }
    if (!stepEdges.empty()) {
        bands.insert(bands.end(), stepEdges.begin(), stepEdges.end());
        std::sort(bands.begin(), bands.end(),
                  [](const EdgeBand& x, const EdgeBand& y) { return x.column < y.column; });
    }
}

void pairEdgeBands(const std::vector<EdgeBand>& bands, std::vector<BandLine>& lines) {
    lines.clear();
    const int32_t n = static_cast<int32_t>(bands.size());
    for (int32_t i = 0; i < n; ++i) {
        if (bands[static_cast<size_t>(i)].side != 1) continue;
        int32_t j = i + 1;
        while (j < n && bands[static_cast<size_t>(j)].side == 0) ++j;
        if (j < n && bands[static_cast<size_t>(j)].side == -1) lines.push_back({i, j});
    }
}
