#include "run/quality_flags.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "run/image_analysis.h"
#include "run/image_result.h"
#include "stats/line_residuals.h"

namespace {

bool touchesBorder(const MetrologyEdge& edge, int32_t gridWidth) {
    for (double p : edge.positions) {
        if (!std::isfinite(p)) continue;
        if (p - 0.5 < kFlagBorderPx || gridWidth + 0.5 - p < kFlagBorderPx) return true;
    }
    return false;
}

// Squared height-height correlation of the edges in the spectra at `lag` rows: the mean of
// (r(i + lag) - r(i))^2 over every pair of found rows of every such edge, r the positions less
// the edge's least-squares line (px^2). NaN without a pair.
double pooledHhcfSquared(const std::vector<std::vector<double>>& residuals, size_t lag) {
    double sum = 0.0;
    double pairs = 0.0;
    for (const std::vector<double>& r : residuals) {
        for (size_t i = 0; i + lag < r.size(); ++i) {
            if (!std::isfinite(r[i]) || !std::isfinite(r[i + lag])) continue;
            const double d = r[i + lag] - r[i];
            sum += d * d;
            pairs += 1.0;
        }
    }
    return pairs > 0.0 ? sum / pairs : NAN;
}

// True when the edges are still correlated over a tenth of their rows. For an exponential
// correlation of length xi the squared HHCF is 2 sigma^2 (1 - exp(-lag / xi)): it reaches
// 1 - 1/e of its level at lag xi. The rule compares the squared HHCF at lag rows / 10 with its
// mean level over lags rows / 4 .. rows / 2 (kFlagHhcfLevelLags lags); below 1 - 1/e of it, the
// correlation length exceeds a tenth of the rows. Unlike a fitted correlation length, which a
// short line biases low (its least-squares line takes the longest waves), this does not need
// the corner of the spectrum inside the measured band. Edges of fewer than kFlagHhcfMinRows rows
// are not judged.
bool correlatedOverATenth(const MetrologyResult& m) {
    std::vector<std::vector<double>> residuals;
    size_t n = 0;
    for (const MetrologyEdge& edge : m.edges) {
        if (!edge.inSpectrum) continue;
        const std::vector<double>& p = edge.positions;
        std::vector<double> r;
        if (lineResiduals(p, r) < 3) continue;
        n = std::max(n, p.size());
        residuals.push_back(std::move(r));
    }
    if (residuals.empty() || n < kFlagHhcfMinRows) return false;
    const size_t tenth =
        static_cast<size_t>(std::ceil(static_cast<double>(n) / kFlagCorrelationLengths));
    double level = 0.0;
    int32_t levels = 0;
    for (int32_t j = 0; j < kFlagHhcfLevelLags; ++j) {
        const size_t lag = n / 4 + static_cast<size_t>(j) * (n / 4) / (kFlagHhcfLevelLags - 1);
        const double h2 = pooledHhcfSquared(residuals, lag);
        if (!std::isfinite(h2)) continue;
        level += h2;
        ++levels;
    }
    const double atTenth = pooledHhcfSquared(residuals, tenth);
    if (levels == 0 || !(level > 0.0) || !std::isfinite(atTenth)) return false;
    return atTenth < kFlagHhcfShare * (level / levels);
}

bool noiseAboveRoughness(const MetrologyResult& m, const RoughnessFigure& f) {
    if (!f.fit.ok || !std::isfinite(f.sigma3UnbiasedNm)) return false;
    const double noiseVariance = f.fit.noiseFloor * m.bandwidthPerNm;
    const double unbiasedVariance = (f.sigma3UnbiasedNm / 3.0) * (f.sigma3UnbiasedNm / 3.0);
    return noiseVariance > unbiasedVariance;
}

// Whether most of the sub-pixel lines of `result` have their centre (the mean of their edges'
// mean columns) outside every whole-pixel line (consecutive coarse edges of processedEdgeRange),
// or the two mean CDs differ by more than kFlagCdRatio times; false unless both found lines.
bool linesDisagree(const ImageResult& result) {
    const MetrologyResult& m = result.metrology;
    const CoarseEdges& coarse = result.analysis.coarse;
    if (!hasWholePixelFigures(result) || !(m.pixelSizeNm > 0.0)) return false;
    const double wholeCd = result.analysis.widths.cdAverage;
    if (wholeCd > 0.0 && m.cdNm > 0.0 &&
        (wholeCd > kFlagCdRatio * m.cdNm || m.cdNm > kFlagCdRatio * wholeCd)) {
        return true;
    }
    int32_t first = 0;
    int32_t last = 0;
    processedEdgeRange(result.pairing, coarse.count, first, last);
    int32_t inside = 0;
    int32_t counted = 0;
    for (const MetrologyLine& line : m.lines) {
        const double centre = 0.5 *
                              (m.edges[static_cast<size_t>(line.leftEdge)].meanNm +
                               m.edges[static_cast<size_t>(line.rightEdge)].meanNm) /
                              m.pixelSizeNm;
        if (!std::isfinite(centre)) continue;
        ++counted;
        for (int32_t k = first; k + 1 <= last; k += 2) {  // 1-based edges k, k + 1
            if (centre > coarse.columns[static_cast<size_t>(k - 1)] &&
                centre < coarse.columns[static_cast<size_t>(k)]) {
                ++inside;
                break;
            }
        }
    }
    return counted > 0 && 2 * inside < counted;
}

// Whether the lines of `m` (at least kFlagCommonMinLines, over the rows where every one has a
// centre, at least half of them) move together: the variance of the row-by-row mean of their
// detrended centres exceeds max(kFlagCommonShare, 2 / n, q / n) of the mean of their own
// variances. n independent lines share 1 / n of it on average; over few independent rows that
// share scatters as chi-square / k with k the rows' independent samples, and q is its 99.9 %
// point, so that a short picture of independent lines is not flagged by chance. k is taken
// from the row-to-row correlation rho of what is each line's own (its centres less the mean
// course): rows x (1 - rho^2) / (1 + rho^2), at least 1 (the independent samples of a
// variance of a first-order autoregressive series).
bool linesMoveTogether(const MetrologyResult& m) {
    const size_t n = m.lines.size();
    if (n < static_cast<size_t>(kFlagCommonMinLines)) return false;
    const size_t rows = m.lines[0].centresNm.size();
    std::vector<size_t> common;
    for (size_t y = 0; y < rows; ++y) {
        bool all = true;
        for (const MetrologyLine& line : m.lines)
            all = all && y < line.centresNm.size() && std::isfinite(line.centresNm[y]);
        if (all) common.push_back(y);
    }
    if (common.size() < 8 || 2 * common.size() < rows) return false;
    std::vector<double> shared(common.size(), 0.0);
    double ownVariance = 0.0;
    std::vector<double> centres(rows);
    std::vector<std::vector<double>> detrended(n, std::vector<double>(common.size()));
    std::vector<double> residuals;
    for (size_t l = 0; l < n; ++l) {
        // The centres over the common rows about their least-squares line.
        std::fill(centres.begin(), centres.end(), std::nan(""));
        for (size_t y : common) centres[y] = m.lines[l].centresNm[y];
        lineResiduals(centres, residuals);
        double variance = 0.0;
        for (size_t i = 0; i < common.size(); ++i) {
            const double r = residuals[common[i]];
            detrended[l][i] = r;
            variance += r * r;
            shared[i] += r / static_cast<double>(n);
        }
        ownVariance += variance / static_cast<double>(common.size()) / static_cast<double>(n);
    }
    double sharedVariance = 0.0;
    for (double s : shared) sharedVariance += s * s;
    sharedVariance /= static_cast<double>(common.size());
    if (!(ownVariance > 0.0)) return false;

    // The lines' own parts and their correlation between neighbouring common rows.
    double products = 0.0;
    double squares = 0.0;
    for (const std::vector<double>& r : detrended) {
        for (size_t i = 0; i < common.size(); ++i) {
            const double own = r[i] - shared[i];
            squares += own * own;
            if (i + 1 < common.size() && common[i + 1] == common[i] + 1)
                products += own * (r[i + 1] - shared[i + 1]);
        }
    }
    const double rho = squares > 0.0 ? std::clamp(products / squares, 0.0, 0.999) : 0.0;
    const double samples =
        std::max(1.0, static_cast<double>(common.size()) * (1.0 - rho * rho) / (1.0 + rho * rho));
    // The 99.9 % point of chi-square / k by Wilson and Hilferty's cube-root normal form (within
    // 3 % of the exact point from k = 1 on; 3.090 is the normal's 99.9 % point).
    const double spread = std::sqrt(2.0 / (9.0 * samples));
    const double cube = 1.0 - spread * spread + kFlagCommonNormalPoint * spread;
    const double scatter = cube * cube * cube;
    const double share = std::max(
        {kFlagCommonShare, 2.0 / static_cast<double>(n), scatter / static_cast<double>(n)});
    return sharedVariance > share * ownVariance;
}

}  // namespace

bool linesDriftIntoEachOther(const MetrologyResult& m, int32_t rows) {
    if (m.turnedTooFar) return true;
    if (!std::isfinite(m.tiltDegrees)) return false;
    std::vector<double> means;
    for (const MetrologyEdge& edge : m.edges)
        if (std::isfinite(edge.meanNm)) means.push_back(edge.meanNm);
    if (means.size() < 2) return false;
    std::sort(means.begin(), means.end());
    double gap = HUGE_VAL;
    for (size_t e = 1; e < means.size(); ++e) gap = std::min(gap, means[e] - means[e - 1]);
    const double drift = std::fabs(std::tan(m.tiltDegrees * (3.14159265358979323846 / 180.0))) *
                         rows * m.rowSpacingNm;
    return drift > kFlagTiltGapShare * gap;
}

std::string flagRule(const std::string& flag) {
    const auto number = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return std::string(text);
    };
    const auto percent = [&](double fraction) { return number(100.0 * fraction) + " %"; };
    const std::pair<const char*, std::string> rules[] = {
        {"edge_rows_missing",
         "more than " + percent(kFlagMissingFraction) +
             " of the sub-pixel edge rows have no position (a particle, a line end, no "
             "contrast), or one edge misses over " +
             percent(MetrologySettings().maxMissingFraction) +
             " of its rows, which leaves it out of the spectra"},
        {"bridge_or_break",
         "both edges of a space (a bridge, or a particle across it) or of a line (a break) "
         "vanish together over " +
             number(kMinGapRows) +
             " or more consecutive rows inside the lines (report.json: defects): a defect to "
             "look at; the figures bridge the gap by interpolation"},
        {"spikes_replaced",
         "more than " + percent(kFlagSpikeFraction) +
             " of the whole-pixel trace samples were replaced as spikes: the whole-pixel sigma "
             "and HHCF hide jumps in the edges"},
        {"noise_above_roughness",
         "the noise floor's share of the LWR or LER variance exceeds the unbiased "
         "variance: the unbiased figure is a small difference of two large ones, and xi and "
         "alpha drift"},
        {"edges_at_detection_limit",
         "more than " + percent(kFlagPooledFraction) +
             " of the edge rows were found only on the mean of the row and its two neighbours: "
             "the unbiased figures may run high, xi long and alpha low"},
        {"short_for_correlation",
         "fewer rows than " + number(kFlagCorrelationLengths) +
             " correlation lengths, or the edges still correlated over a tenth of their rows: "
             "xi, alpha, a and ksi are not trustworthy and sigma is low"},
        {"line_touches_border",
         "an edge comes within " + number(kFlagBorderPx) +
             " px of the picture's border, where its levels and course are less certain"},
        {"lines_tilted",
         "the lines drift over the analysed rows (line_tilt_deg) by more than " +
             number(kFlagTiltGapShare) +
             " of the narrowest gap between neighbouring edges: the whole-pixel analysis "
             "takes its edges from column sums over all rows, where they smear into each "
             "other, and may pair the wrong ones; the sub-pixel edges follow the tilt"},
        {"lines_disagree",
         "most sub-pixel lines lie where the whole-pixel analysis has spaces, or the two mean "
         "CDs differ by more than " +
             number(kFlagCdRatio) +
             " times: the two sets of figures measure different features. The sub-pixel path "
             "takes the darker side of each edge band as the space; the whole-pixel path pairs "
             "the edges from the first (or, with --first-edge-opens-line no, the second) "
             "detected one. Check which are the lines"},
        {"lines_move_together",
         "more of the lines' placement variance than chance gives (a quarter, or 2 / n of n "
         "lines if more, or more still over rows too few for chance to even out) is shared by "
         "every line row by row: the lines move together, as when the picture drifted or "
         "jittered during the scan or "
         "the scan is distorted. That motion is in LER and LPR (and in xi and alpha), not in "
         "LWR; look at the picture and the microscope before judging the edges"},
        {"contrast_guessed",
         "the picture is a plain step between lines and spaces, and its left and right borders "
         "lie in different phases (a line cut by one of them), so nothing in it tells the lines "
         "from the spaces: the narrower phase was taken as the line. Check the lines in the "
         "picture; give --contrast bright-line or dark-line where it took the spaces"},
        {"grey_levels_clipped",
         "in at least " + percent(kFlagClippedShare) +
             " of the analysed picture the signal lies at the bottom (0) or the top (255) of "
             "the grey scale: more than half of the levels of a column over " +
             number(kFlagClipCellRows) +
             " rows are there "
             "(clipped_dark_share, clipped_bright_share in report.json). The detector or the "
             "contrast and brightness settings clipped it. Clipped line tops or edge bands move "
             "the edges' crossing level outwards, so the CD reads high. Take the picture again "
             "with the signal inside the scale"},
        {"pixel_size_missing",
         "no pixel size from the options, the parameter file or the file's metadata: "
         "lengths are in px"},
        {"setting_contradicted",
         "a given orientation, contrast or pixel size is not what the picture or its "
         "metadata shows, a given region of interest runs past the picture, or the whole-pixel "
         "edge search window reaches across the spaces between the lines (the image's notes "
         "say which, and for the window which to give): the figures follow the setting and may "
         "describe no lines, be scaled wrongly, come from less of the picture than asked, or "
         "(whole-pixel) come from the next line's edge"},
        {"databar_found", "an information bar was left out of the analysis (databar_rows)"},
    };
    for (const auto& [name, rule] : rules)
        if (flag == name) return rule;
    return std::string();
}

std::vector<std::string> edgeFlags(const MetrologyEdge& edge,
                                   int32_t gridWidth,
                                   int32_t spikesReplaced,
                                   int32_t rows) {
    std::vector<std::string> flags;
    const size_t n = edge.positions.size();
    if (n > 0 && edge.missingRows > kFlagMissingFraction * static_cast<double>(n))
        flags.push_back("edge_rows_missing");
    if (rows > 0 && spikesReplaced > kFlagSpikeFraction * rows) flags.push_back("spikes_replaced");
    if (touchesBorder(edge, gridWidth)) flags.push_back("line_touches_border");
    return flags;
}

std::vector<std::string> qualityFlags(const ImageResult& result) {
    std::vector<std::string> flags;
    if (!wasLoaded(result)) return flags;
    const MetrologyResult& m = result.metrology;
    int64_t edgeRows = 0;
    for (const MetrologyEdge& edge : m.edges)
        edgeRows += static_cast<int64_t>(edge.positions.size());
    // One edge left out of the spectra for its missing rows is worth a word however few rows
    // the others miss: it takes its line's roughness with it.
    const double leftOut = MetrologySettings().maxMissingFraction;
    bool edgeMissing = false;
    for (const MetrologyEdge& edge : m.edges) {
        const double rows = static_cast<double>(edge.positions.size());
        edgeMissing = edgeMissing || (rows > 0.0 && edge.missingRows > leftOut * rows);
    }
    if ((edgeRows > 0 &&
         m.missingEdgeRows > kFlagMissingFraction * static_cast<double>(edgeRows)) ||
        edgeMissing)
        flags.push_back("edge_rows_missing");
    if (!m.gaps.empty()) flags.push_back("bridge_or_break");

    const ImageAnalysis& a = result.analysis;
    int64_t spikes = 0;
    for (const EdgeFigures& edge : a.processed) spikes += edge.spikesReplaced;
    const int64_t samples = static_cast<int64_t>(a.processed.size()) * a.rowCount;
    if (samples > 0 && spikes > kFlagSpikeFraction * static_cast<double>(samples))
        flags.push_back("spikes_replaced");

    if (noiseAboveRoughness(m, m.lwr) || noiseAboveRoughness(m, m.ler))
        flags.push_back("noise_above_roughness");
    if (edgeRows > 0 && m.pooledEdgeRows > kFlagPooledFraction * static_cast<double>(edgeRows))
        flags.push_back("edges_at_detection_limit");

    const int32_t rows = result.setup.lastRow - result.setup.firstRow + 1;
    const double along = alongScale(result.setup);
    bool shortRows = false;
    if (m.ler.fit.ok && along > 0.0)
        shortRows = rows < kFlagCorrelationLengths * (m.ler.fit.xi / along);
    if (hasWholePixelFigures(result) && a.fit.ksi > 0.0)
        shortRows = shortRows || rows < kFlagCorrelationLengths * a.fit.ksi;
    shortRows = shortRows || correlatedOverATenth(m);
    if (shortRows) flags.push_back("short_for_correlation");

    const int32_t width =
        result.setup.horizontal ? result.setup.area.height : result.setup.area.width;
    for (const MetrologyEdge& edge : m.edges) {
        if (touchesBorder(edge, width)) {
            flags.push_back("line_touches_border");
            break;
        }
    }
    if (result.wholePixelApplicable && linesDriftIntoEachOther(m, rows))
        flags.push_back("lines_tilted");
    if (linesDisagree(result)) flags.push_back("lines_disagree");
    if (linesMoveTogether(m)) flags.push_back("lines_move_together");
    if (result.setup.contrastGuessed) flags.push_back("contrast_guessed");
    if (result.setup.darkClippedShare >= kFlagClippedShare ||
        result.setup.brightClippedShare >= kFlagClippedShare)
        flags.push_back("grey_levels_clipped");
    if (result.setup.figuresInPixels) flags.push_back("pixel_size_missing");
    if (!result.setup.settingNotes.empty()) flags.push_back("setting_contradicted");
    if (result.setup.databarRows > 0) flags.push_back("databar_found");
    if (result.status != ImageStatus::kMeasured) {
        static const std::set<std::string> kAboutFigures = {
            "spikes_replaced",       "noise_above_roughness", "edges_at_detection_limit",
            "short_for_correlation", "lines_disagree",        "lines_move_together"};
        flags.erase(std::remove_if(flags.begin(), flags.end(),
                                   [](const std::string& f) { return kAboutFigures.count(f) > 0; }),
                    flags.end());
    }
    return flags;
}

std::string joinFlags(const std::vector<std::string>& flags) {
    std::string text;
    for (const std::string& flag : flags) {
        if (!text.empty()) text += ';';
        text += flag;
    }
    return text;
}
