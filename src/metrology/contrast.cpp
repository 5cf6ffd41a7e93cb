#include "metrology/contrast.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "metrology/subpixel_edges.h"

namespace {

constexpr int32_t kBlockRows = 32;
constexpr int32_t kMaxBlocks = 24;
constexpr int32_t kBorderColumns = 8;
// Bright-edge evidence (fractions of the block's grey-level range): the dark runs on the two
// sides of a bright run differ (line body or ridge on one side, space or trench on the other),
// alternately left and right; or the ends of wide bright runs stand above their middle.
constexpr double kMinAlternatingAsymmetry = 0.2;
// ... unless the bright runs are wider than this share of the mean distance between them: then
// they are the spaces between dark lines of two darknesses (every other line at 0.65 of the
// contrast was read as bands, 7 "lines" of 77 px for 16 of 28).
constexpr double kMaxAlternatingRunShare = 0.5;
constexpr double kMinEndExcess = 0.08;
// Or the bright runs are narrow (their median width at most this share of the median distance
// between neighbouring runs' centres) and those distances alternate short and long (line body,
// space) by at least this share: the bands of lines whose body is about as dark as the space.
constexpr double kMaxBandWidthShare = 0.35;
constexpr double kMinAlternatingSpacing = 0.1;
// The dark runs beside such bands must still alternate in level by this share of the range (the
// body a little brighter than the space; a body 3 grey levels above the space under bands 160
// above it gives 0.005-0.026 per block at noise 60): thin bright lines whose pitch alternates
// (pitch walking of double patterning) have bright runs of the same shape, but dark runs of one
// level (under 0.005 at noise 60).
constexpr double kMinBodyAsymmetry = 0.008;
// Narrow bright runs whose dark runs alternate in level by this share of the range are bands
// round line bodies, whatever their spacing: bands of 4 px round a body 18 grey levels above the
// space (0.19 of the range, under kMinAlternatingAsymmetry) at even spacing were read as thin
// bright lines. Thin bright lines at an even pitch have dark runs of one level.
constexpr double kMinNarrowBandAsymmetry = 0.1;
// Or the levels just beside the bright runs differ by at least kMinFootStep of the range, the
// darker side being the same side (left or right) for at least three quarters of the runs: a
// band at one edge of each line only, between the space and the line body (charging lights
// one edge of a line more than the other). The feet are the medians of kFootColumns columns
// from kFootGap columns beyond the run (past its blurred flank).
constexpr double kMinFootStep = 0.2;
constexpr double kOneSidedShare = 0.75;
constexpr int32_t kFootGap = 2;
constexpr int32_t kFootColumns = 6;
// Runs that reach no further than this share of the range beyond the threshold are noise about
// it and join their neighbours: a line body 3 grey levels under the level, under noise of 2 in
// the block's profile, otherwise splits into runs that break the bands' alternation.
constexpr double kRunMargin = 0.1;

double medianOf(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

struct Run {
    int32_t first;
    int32_t last;
    bool bright;
    double level;  // median of the middle half
};

enum class Vote { kNone, kBrightEdge, kBrightLine, kDarkLine };

// The runs of `p` above (bright) and not above `threshold`, each with the median of its middle
// half. A run that reaches no further than `margin` beyond the threshold (a wobble of the noise
// about it: a line body just below the level rising above it for a few columns) belongs to the
// runs around it.
std::vector<Run> runsOf(const std::vector<double>& p, double threshold, double margin) {
    const int32_t w = static_cast<int32_t>(p.size());
    std::vector<char> bright(p.size());
    for (size_t x = 0; x < p.size(); ++x) bright[x] = p[x] > threshold ? 1 : 0;
    for (int32_t x = 0; x < w;) {
        const int32_t first = x;
        double reach = 0.0;
        while (x < w && bright[static_cast<size_t>(x)] == bright[static_cast<size_t>(first)]) {
            reach = std::max(reach, std::fabs(p[static_cast<size_t>(x)] - threshold));
            ++x;
        }
        if (reach <= margin && (first > 0 || x < w))
            for (int32_t k = first; k < x; ++k) bright[static_cast<size_t>(k)] ^= 1;
    }
    std::vector<Run> runs;
    for (int32_t x = 0; x < w;) {
        const int32_t first = x;
        while (x < w && bright[static_cast<size_t>(x)] == bright[static_cast<size_t>(first)]) ++x;
        const int32_t last = x - 1;
        const int32_t q = (last - first + 1) / 4;
        std::vector<double> middle(p.begin() + first + q, p.begin() + last - q + 1);
        runs.push_back({first, last, bright[static_cast<size_t>(first)] != 0, medianOf(middle)});
    }
    return runs;
}

// How `v` alternates: per pair of neighbours with opposite signs the smaller magnitude, per pair
// with the same sign 0; the median of those (NaN for fewer than two values).
double alternationOf(const std::vector<double>& v) {
    std::vector<double> alternating;
    for (size_t i = 0; i + 1 < v.size(); ++i) {
        const double a = v[i];
        const double b = v[i + 1];
        alternating.push_back(a * b < 0.0 ? std::min(std::fabs(a), std::fabs(b)) : 0.0);
    }
    return medianOf(alternating);
}

// The 2nd and 98th percentiles of `p` and the level half way between them.
struct Spread {
    double low = 0.0;
    double high = 0.0;
    double threshold = 0.0;
};
Spread spreadOf(const std::vector<double>& p) {
    std::vector<double> sorted = p;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size() - 1;
    Spread s;
    s.low = sorted[static_cast<size_t>(0.02 * n)];
    s.high = sorted[static_cast<size_t>(0.98 * n)];
    s.threshold = 0.5 * (s.low + s.high);
    return s;
}

// `p` divided by its shading into `flat`: when the level that follows shading across it
// (shadedLevels within a pitch, the median distance between the starts of its bright runs
// `runs`, taken at `s`) moves by more than a tenth of its range, each column is scaled by the
// mean level over its own, as if the detector's gain were even. False (`flat` untouched) when
// it does not, where `p` stands as it is. Shading scales the levels of one part of the picture
// against another's, so that one level splits the bands or lines of the dim part wrongly and
// measures their steps against the bright part's range.
bool withoutShading(const std::vector<double>& p,
                    const Spread& s,
                    const std::vector<Run>& runs,
                    std::vector<double>& flat) {
    const int32_t w = static_cast<int32_t>(p.size());
    std::vector<double> starts;
    for (size_t i = 1; i + 1 < runs.size(); ++i)
        if (runs[i].bright) starts.push_back(runs[i].first);
    if (starts.size() < 2 || !(s.high > s.low)) return false;
    std::vector<double> pitches;
    for (size_t i = 1; i < starts.size(); ++i) pitches.push_back(starts[i] - starts[i - 1]);
    std::vector<double> level;
    if (!shadedLevels(p, static_cast<int32_t>(std::lround(medianOf(pitches))), 0.02, s.threshold,
                      s.high - s.low, level))
        return false;
    double mean = 0.0;
    for (double v : level) {
        if (!(v > 0.0)) return false;
        mean += v;
    }
    mean /= w;
    flat.resize(p.size());
    for (size_t x = 0; x < p.size(); ++x) flat[x] = p[x] * (mean / level[x]);
    return true;
}

// The vote of one block's mean profile `shaded` (w columns, smoothed), taken on it without its
// shading (withoutShading); `range` receives H - L of that, and `guessed` whether a step vote
// had to guess the line phase (its borders in different phases).
Vote voteOf(const std::vector<double>& shaded, double& range, bool& guessed) {
    guessed = false;
    Spread spread = spreadOf(shaded);
    std::vector<Run> runs =
        runsOf(shaded, spread.threshold, kRunMargin * (spread.high - spread.low));
    // The spread and runs of an evenly lit profile serve as they are; a flattened one's are
    // taken again.
    std::vector<double> flat;
    const bool flattened = withoutShading(shaded, spread, runs, flat);
    const std::vector<double>& p = flattened ? flat : shaded;
    if (flattened) {
        spread = spreadOf(p);
        runs = runsOf(p, spread.threshold, kRunMargin * (spread.high - spread.low));
    }
    const int32_t w = static_cast<int32_t>(p.size());
    range = spread.high - spread.low;
    if (!(range > 0.0)) return Vote::kNone;
    const double threshold = spread.threshold;
    // Runs touching a border are cut: they serve only as neighbours.
    std::vector<double> signedAsymmetry;  // per bright run with dark runs on both sides
    std::vector<double> excess;
    for (size_t i = 1; i + 1 < runs.size(); ++i) {
        const Run& r = runs[i];
        if (!r.bright) continue;
        signedAsymmetry.push_back((runs[i + 1].level - runs[i - 1].level) / range);
        const int32_t width = r.last - r.first + 1;
        if (width >= 10) {
            // The end zones: up to 10 columns, at most a quarter of the run.
            const int32_t zone = std::min(10, width / 4);
            const double left = *std::max_element(p.begin() + r.first, p.begin() + r.first + zone);
            const double right =
                *std::max_element(p.begin() + r.last + 1 - zone, p.begin() + r.last + 1);
            excess.push_back((left - r.level) / range);
            excess.push_back((right - r.level) / range);
        }
    }
    // Alternation: neighbouring bright runs whose asymmetries have opposite signs (a line body
    // or ridge between them) count with the smaller magnitude; same signs (a drift of the
    // level across the image) count as none.
    const double alternation = alternationOf(signedAsymmetry);
    const double endExcess = medianOf(excess);
    // The interior runs' widths and the distances between the bright ones' centres.
    std::vector<double> brightWidths;
    std::vector<double> darkWidths;
    std::vector<double> spacings;
    double previousCentre = NAN;
    for (size_t i = 1; i + 1 < runs.size(); ++i) {
        (runs[i].bright ? brightWidths : darkWidths).push_back(runs[i].last - runs[i].first + 1);
        if (!runs[i].bright) continue;
        const double centre = 0.5 * (runs[i].first + runs[i].last);
        if (!std::isnan(previousCentre)) spacings.push_back(centre - previousCentre);
        previousCentre = centre;
    }
    // The mean distance between the bright runs' centres: half the pitch of band pairs (the
    // median is the short or the long one, by the parity of their count: bands 5 px wide round
    // a 10 px body at a 48 px pitch were judged against the body's 13.5 px and taken for lines).
    double spacing = 0.0;
    for (double d : spacings) spacing += d;
    if (!spacings.empty()) spacing /= static_cast<double>(spacings.size());
    // Dark runs that alternate between bright runs wider than half their spacing are dark lines
    // of two darknesses between spaces, not line bodies and spaces between bands.
    const bool wideBright =
        spacings.size() >= 2 && medianOf(brightWidths) > kMaxAlternatingRunShare * spacing;
    if ((alternation >= kMinAlternatingAsymmetry && !wideBright) || (endExcess >= kMinEndExcess))
        return Vote::kBrightEdge;
    // One band per line: the feet of the bright runs, each the median of a few columns of the
    // dark run beside it.
    std::vector<double> footSteps;
    for (size_t i = 1; i + 1 < runs.size(); ++i) {
        if (!runs[i].bright) continue;
        const auto foot = [&](const Run& dark, bool leftSide) {
            const int32_t a = leftSide
                                  ? std::max(dark.first, runs[i].first - kFootGap - kFootColumns)
                                  : runs[i].last + kFootGap;
            const int32_t end =
                leftSide ? runs[i].first - kFootGap : std::min(dark.last + 1, a + kFootColumns);
            if (end - a < 2) return std::nan("");
            return medianOf(std::vector<double>(p.begin() + a, p.begin() + end));
        };
        const double left = foot(runs[i - 1], true);
        const double right = foot(runs[i + 1], false);
        if (std::isfinite(left) && std::isfinite(right))
            footSteps.push_back((right - left) / range);
    }
    if (footSteps.size() >= 3) {
        size_t rising = 0;
        size_t falling = 0;
        for (double d : footSteps) {
            rising += d >= kMinFootStep ? 1 : 0;
            falling += d <= -kMinFootStep ? 1 : 0;
        }
        if (std::max(rising, falling) >= kOneSidedShare * static_cast<double>(footSteps.size()))
            return Vote::kBrightEdge;
    }
    if (spacings.size() >= 3) {
        std::vector<double> steps;  // short, long, short...: alternating signs
        for (size_t i = 0; i + 1 < spacings.size(); ++i)
            steps.push_back(spacings[i + 1] - spacings[i]);
        const bool narrow = medianOf(brightWidths) <= kMaxBandWidthShare * spacing;
        if (narrow && alternationOf(steps) >= kMinAlternatingSpacing * spacing &&
            alternation >= kMinBodyAsymmetry)
            return Vote::kBrightEdge;
        if (narrow && alternation >= kMinNarrowBandAsymmetry) return Vote::kBrightEdge;
    }
    // No bright run between dark ones: nothing to vote on, unless a dark run lies between
    // bright ones (one dark line on a bright field), which the borders then read as a step.
    if (signedAsymmetry.empty() && excess.empty() && darkWidths.empty()) return Vote::kNone;
    // A step: the space lies at the left and right borders. When one border cuts a line, the
    // two borders lie in different phases and tell nothing: the narrower phase (the median
    // width of the runs that touch no border) is taken as the line, bright on a tie.
    double left = 0.0;
    double right = 0.0;
    const int32_t columns = std::min(kBorderColumns, w / 4);
    for (int32_t x = 0; x < columns; ++x) {
        left += p[static_cast<size_t>(x)];
        right += p[static_cast<size_t>(w - 1 - x)];
    }
    left /= columns;
    right /= columns;
    if ((left < threshold) == (right < threshold))
        return left < threshold ? Vote::kBrightLine : Vote::kDarkLine;
    if (brightWidths.empty() || darkWidths.empty()) return Vote::kNone;
    guessed = true;
    return medianOf(darkWidths) < medianOf(brightWidths) ? Vote::kDarkLine : Vote::kBrightLine;
}

void smooth(const double* in, int32_t n, double* out) {
    // Gaussian of sigma 1, radius 3, border values repeated.
    static const double kTaps[7] = {0.00443, 0.05400, 0.24203, 0.39905, 0.24203, 0.05400, 0.00443};
    for (int32_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (int32_t k = -3; k <= 3; ++k) {
            const int32_t j = std::min(n - 1, std::max(0, i + k));
            s += kTaps[k + 3] * in[j];
        }
        out[i] = s;
    }
}

}  // namespace

const char* contrastName(Contrast c) {
    switch (c) {
        case Contrast::kBrightEdge:
            return "bright-edge";
        case Contrast::kBrightLine:
            return "bright-line";
        case Contrast::kDarkLine:
            return "dark-line";
    }
    return "bright-edge";
}

bool parseContrast(const std::string& text, Contrast& c) {
    for (Contrast k : {Contrast::kBrightEdge, Contrast::kBrightLine, Contrast::kDarkLine}) {
        if (text == contrastName(k)) {
            c = k;
            return true;
        }
    }
    return false;
}

Contrast detectContrast(const GreyImage& grid) {
    EdgeGrid lined;
    prepareEdgeGrid(grid, SubpixelSettings(), lined);
    return detectContrast(grid, lined);
}

Contrast detectContrast(const GreyImage& grid, const EdgeGrid& lined, bool* lineGuessed) {
    if (lineGuessed != nullptr) *lineGuessed = false;
    const int32_t w = grid.width;
    const int32_t h = grid.height;
    if (w < 16 || h < 4 || grid.data == nullptr) return Contrast::kBrightEdge;
    // Blocks of a sixth of the height (at least kBlockRows rows): long enough that the noise of a
    // block's profile stays well below the band contrast, short enough for tilted lines.
    const int32_t rows = std::min(h, std::max(kBlockRows, h / 6));
    const int32_t blocks = std::min(kMaxBlocks, h / rows);
    // Tilted lines smear over a block's rows: each row is moved by the lines' drift
    // (EdgeGrid::driftPx) from the block's middle row, its border columns repeated.
    const double driftPerRow = lined.blockRows > 0 ? lined.driftPx / lined.blockRows : 0.0;
    std::vector<double> mean(static_cast<size_t>(w));
    std::vector<double> profile(static_cast<size_t>(w));
    std::vector<Vote> votes;
    std::vector<double> ranges;
    std::vector<char> guesses;
    for (int32_t b = 0; b < blocks; ++b) {
        // Blocks spread evenly over the height.
        const int32_t first =
            blocks > 1 ? static_cast<int32_t>(static_cast<int64_t>(h - rows) * b / (blocks - 1))
                       : 0;
        std::fill(mean.begin(), mean.end(), 0.0);
        for (int32_t y = first; y < first + rows; ++y) {
            const double* row = grid.data + grid.index(0, y);
            const int32_t shift =
                static_cast<int32_t>(std::lround(driftPerRow * (y - (first + rows / 2))));
            if (shift == 0) {
                for (int32_t x = 0; x < w; ++x) mean[static_cast<size_t>(x)] += row[x];
                continue;
            }
            for (int32_t x = 0; x < w; ++x)
                mean[static_cast<size_t>(x)] += row[std::min(w - 1, std::max(0, x + shift))];
        }
        for (double& v : mean) v /= rows;
        smooth(mean.data(), w, profile.data());
        double range = 0.0;
        bool guessed = false;
        votes.push_back(voteOf(profile, range, guessed));
        ranges.push_back(range);
        guesses.push_back(guessed ? 1 : 0);
    }
    // Blocks with little contrast (beyond the line ends, say) do not vote.
    const double typical = medianOf(ranges);
    int32_t count[4] = {0, 0, 0, 0};
    int32_t guessedSteps = 0;
    for (size_t i = 0; i < votes.size(); ++i) {
        if (ranges[i] < 0.5 * typical) continue;
        ++count[static_cast<int>(votes[i])];
        guessedSteps += guesses[i];
    }
    const int32_t edge = count[static_cast<int>(Vote::kBrightEdge)];
    const int32_t bright = count[static_cast<int>(Vote::kBrightLine)];
    const int32_t dark = count[static_cast<int>(Vote::kDarkLine)];
    if (edge >= bright && edge >= dark) return Contrast::kBrightEdge;
    if (lineGuessed != nullptr) *lineGuessed = 2 * guessedSteps >= bright + dark;
    return bright >= dark ? Contrast::kBrightLine : Contrast::kDarkLine;
}
