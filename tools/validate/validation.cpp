#include "validate/validation.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "image/coarse_edges.h"
#include "image/grey_image.h"
#include "metrology/psd.h"
#include "metrology/psd_fit.h"
#include "run/analysis_settings.h"
#include "run/image_analysis.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Levels of every image: spaces (or dark side) 40, bands (or bright side) 200, body 80.
constexpr double kDark = 40.0;
constexpr double kBright = 200.0;
// Gaussian noise of the full grid, grey levels on an edge contrast of kBright - kDark = 160.
// Up to about 120 a person still sees the edges in a 1024 x 1024 view; beyond lies the range
// where the method is expected to break.
constexpr double kGaussianLevels[] = {0, 10, 20, 40, 60, 80, 100, 120, 140, 160, 200};
// Shot-noise series: frames of 0.05 electrons per grey level and frame.
constexpr int32_t kFrames[] = {32, 8, 4, 2, 1};
constexpr double kElectronsPerLevel = 0.05;

// The quick run: a clean and a noisy image of each series.
struct QuickSeries {
    SyntheticContrast contrast;
    double alpha;
    double xi;
    double noise;
};
constexpr QuickSeries kQuickSeries[] = {{SyntheticContrast::kBrightEdges, 0.8, 20, 70},
                                        {SyntheticContrast::kBrightLine, 0.8, 20, 70},
                                        {SyntheticContrast::kDarkLine, 0.8, 20, 70}};
constexpr double kQuickMinBiasPercent = 15.0;

SyntheticSemSettings baseImage(int32_t side, SyntheticContrast contrast, double alpha, double xi) {
    SyntheticSemSettings s;
    s.width = side;
    s.height = side;
    s.pitch = 64;
    s.cd = 28;
    s.firstEdge = 24;
    s.bandWidth = 4;
    s.contrast = contrast;
    s.roughnessSigma = 1.5;
    s.correlationLength = xi;
    s.roughnessModel = SyntheticRoughness::kSpectral;
    s.roughnessExponent = alpha;
    s.backgroundLevel = kDark;
    s.bodyLevel = 80;
    s.bandLevel = kBright;
    s.blurSigma = 1.0;
    s.noiseSigma = 0.0;
    return s;
}

Contrast measuredContrast(SyntheticContrast c) {
    if (c == SyntheticContrast::kBrightLine) return Contrast::kBrightLine;
    if (c == SyntheticContrast::kDarkLine) return Contrast::kDarkLine;
    return Contrast::kBrightEdge;
}

std::string seriesName(SyntheticContrast c, double alpha, double xi, const char* noise) {
    char text[96];
    std::snprintf(text, sizeof text, "%s a%.1f xi%.0f%s", contrastName(measuredContrast(c)), alpha,
                  xi, noise);
    return text;
}

double percentError(double measured, double truth) { return 100.0 * (measured - truth) / truth; }

double elapsedSeconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

FigureRecovery recovery(double truthSigmaPx, double px, const RoughnessFigure& measured) {
    FigureRecovery f;
    f.truth = 3.0 * truthSigmaPx * px;
    f.biased = measured.sigma3BiasedNm;
    f.unbiased = measured.sigma3UnbiasedNm;
    f.ci95 = measured.ci95Nm;
    f.reason = measured.reason;
    return f;
}

// Fits the spectrum model to the edges of the whole lines of `image` as drawn: each edge in nm,
// detrended, its periodogram (bin 0 left out, as the measurement does), averaged over the edges,
// banded and fitted with the measurement's functions and default options.
void fitDrawnEdges(const SyntheticSem& image, double px, double& xiNm, double& alpha) {
    xiNm = alpha = kNaN;
    std::vector<std::vector<double>> series;
    for (size_t e = 0; e + 1 < image.edges.size(); ++e) {
        if (image.edges[e].kind != SyntheticEdgeKind::kLineLeft ||
            image.edges[e + 1].kind != SyntheticEdgeKind::kLineRight)
            continue;
        for (const SyntheticEdge* edge : {&image.edges[e], &image.edges[e + 1]}) {
            series.emplace_back(edge->positions);
            for (double& v : series.back()) v *= px;
        }
        ++e;
    }
    BinnedPsd banded;
    if (!meanBandedSpectrum(series, px, banded)) return;
    PsdFitOptions options;
    options.periodogramRows = static_cast<int32_t>(series.front().size());
    options.periodogramSpacing = px;
    const PsdFit fit = fitPsd(banded, options);
    if (!fit.ok) return;
    xiNm = fit.xi;
    alpha = fit.alpha;
}

bool withinPercent(double measured, double truth, double percent) {
    return std::isfinite(measured) && std::fabs(percentError(measured, truth)) <= percent;
}

}  // namespace

bool meanBandedSpectrum(std::vector<std::vector<double>> series, double spacing, BinnedPsd& out) {
    out = BinnedPsd();
    if (series.empty() || !(spacing > 0.0)) return false;
    const int32_t n = static_cast<int32_t>(series.front().size());
    PsdWorkspace workspace;
    if (!workspace.prepare(n)) return false;
    const size_t bins = static_cast<size_t>(workspace.binCount());
    std::vector<double> sum(bins, 0.0);
    std::vector<double> psd(bins);
    for (std::vector<double>& x : series) {
        if (static_cast<int32_t>(x.size()) != n) return false;
        for (double v : x)
            if (!std::isfinite(v)) return false;
        detrend(x.data(), n);
        workspace.periodogram(x.data(), spacing, psd.data());
        for (size_t k = 0; k < bins; ++k) sum[k] += psd[k];
    }
    std::vector<double> frequency(bins - 1);
    std::vector<double> mean(bins - 1);
    for (size_t k = 1; k < bins; ++k) {
        frequency[k - 1] = static_cast<double>(k) / (n * spacing);
        mean[k - 1] = sum[k] / static_cast<double>(series.size());
    }
    binPsd(frequency.data(), mean.data(), static_cast<int32_t>(bins - 1),
           static_cast<double>(series.size()), out);
    return true;
}

double FigureRecovery::biasedErrorPercent() const { return percentError(biased, truth); }
double FigureRecovery::unbiasedErrorPercent() const { return percentError(unbiased, truth); }
double RecoveryRow::wholePixelLwrErrorPercent() const {
    return percentError(wholePixelLwrNm, lwr.truth);
}
bool FigureRecovery::truthInInterval() const {
    return std::isfinite(unbiased) && std::isfinite(ci95) && std::fabs(unbiased - truth) <= ci95;
}

std::vector<ValidationCase> validationCases(const ValidationPlan& plan) {
    std::vector<ValidationCase> cases;
    uint64_t series = 0;
    // Every image of a series has the same edges (the same seed); only the noise grows.
    auto add = [&](const std::string& name, SyntheticSemSettings s, double noiseSigma) {
        if (cases.empty() || cases.back().series != name) ++series;
        ValidationCase c;
        c.series = name;
        s.seed = plan.baseSeed + series - 1;
        c.image = s;
        c.contrast = measuredContrast(s.contrast);
        c.noiseSigma = noiseSigma;
        cases.push_back(c);
    };
    if (plan.quick) {
        for (const QuickSeries& q : kQuickSeries)
            for (const double noise : {0.0, q.noise}) {
                SyntheticSemSettings s = baseImage(plan.side, q.contrast, q.alpha, q.xi);
                s.noiseSigma = noise;
                add(seriesName(q.contrast, q.alpha, q.xi, ""), s, noise);
            }
        return cases;
    }
    const SyntheticContrast contrasts[] = {SyntheticContrast::kBrightEdges,
                                           SyntheticContrast::kBrightLine,
                                           SyntheticContrast::kDarkLine};
    for (const SyntheticContrast contrast : contrasts)
        for (const double alpha : {0.5, 0.8})
            for (const double xi : {10.0, 40.0})
                for (const double noise : kGaussianLevels) {
                    SyntheticSemSettings s = baseImage(plan.side, contrast, alpha, xi);
                    s.noiseSigma = noise;
                    add(seriesName(contrast, alpha, xi, ""), s, noise);
                }
    // Shot noise, clean image first.
    for (const SyntheticContrast contrast : contrasts) {
        const double alpha = 0.5;
        const double xi = 10.0;
        const std::string name = seriesName(contrast, alpha, xi, " shot");
        add(name, baseImage(plan.side, contrast, alpha, xi), 0.0);
        for (const int32_t frames : kFrames) {
            SyntheticSemSettings s = baseImage(plan.side, contrast, alpha, xi);
            s.shotNoiseFrames = frames;
            s.electronsPerLevel = kElectronsPerLevel;
            add(name, s, std::sqrt(kBright / (frames * kElectronsPerLevel)));
        }
    }
    return cases;
}

void runCase(const ValidationCase& c,
             const ValidationPlan& plan,
             RecoveryRow& row,
             MetrologyResult* measured) {
    row = RecoveryRow();
    row.input = c;
    row.pixelSizeNm = plan.pixelSizeNm;
    const double px = plan.pixelSizeNm;

    auto start = std::chrono::steady_clock::now();
    SyntheticSem image;
    if (!makeSyntheticSem(c.image, image)) {
        row.failure = "the generator refused the settings";
        return;
    }
    row.generateSeconds = elapsedSeconds(start);
    row.truth = image.truth;
    row.trueLines = image.truth.lineCount;
    GreyImage grid;
    toGreyImage(image, grid);
    if (grid.size() != image.pixels.size()) {
        row.failure = "no memory for the image grid";
        return;
    }

    start = std::chrono::steady_clock::now();
    MetrologySettings settings;
    settings.contrast = c.contrast;
    settings.pixelSizeNm = px;
    settings.pairing = 1;
    settings.bootstrapResamples = plan.bootstrapResamples;
    settings.seed = c.image.seed;
    // One coarse location for both analyses, as in rugon-report: the metrology leaves the grid
    // as it is, and the whole-pixel tracing, which marks it, comes last.
    const AnalysisSettings defaults;
    const CoarseEdges coarse = locateCoarseEdges(grid, defaults.detectionFloor);
    MetrologyResult result;
    measureMetrology(grid, coarse, settings, result);
    row.xiGivenNm = kNaN;
    row.alphaGiven = kNaN;
    if (plan.compareGivenResolution && !plan.quick) {
        MetrologySettings given = settings;
        given.resolutionNm = c.image.blurSigma * px;
        given.bootstrapResamples = 0;
        MetrologyResult told;
        measureMetrology(grid, coarse, given, told);
        if (summaryFit(told).ok) {
            row.xiGivenNm = summaryFit(told).xi;
            row.alphaGiven = summaryFit(told).alpha;
        }
    }
    row.measureSeconds = elapsedSeconds(start);
    row.wholePixelLwrNm = kNaN;
    if (c.contrast == Contrast::kBrightEdge) {
        ImageAnalysis analysis;
        analyseGrid(grid, coarse, 1, parametersFromSettings(defaults, px), AnalysisPath::kFast,
                    analysis);
        if (analysis.status == AnalysisStatus::kMeasured)
            row.wholePixelLwrNm = 3.0 * analysis.widths.meanLineSigma;
    }

    const SyntheticTruth& t = image.truth;
    row.measuredLines = static_cast<int32_t>(result.lines.size());
    double foundRows = 0.0;
    double pooledRows = 0.0;
    for (const MetrologyEdge& e : result.edges) {
        foundRows += image.height - e.missingRows;
        pooledRows += e.pooledRows;
    }
    const double trueRows = 2.0 * t.lineCount * image.height;
    row.foundFraction = t.lineCount > 0 ? foundRows / trueRows : kNaN;
    row.pooledFraction = t.lineCount > 0 ? pooledRows / trueRows : kNaN;
    row.ler = recovery(t.edgeSigma, px, result.ler);
    row.lwr = recovery(t.widthSigma, px, result.lwr);
    row.lpr = recovery(t.centreSigma, px, result.lpr);
    const PsdFit& fit = summaryFit(result);
    row.xiTrueNm = t.correlationLength * px;
    row.alphaTrue = t.roughnessExponent;
    row.xiFitNm = fit.ok ? fit.xi : kNaN;
    row.alphaFit = fit.ok ? fit.alpha : kNaN;
    row.xiCi95Nm = fit.ok ? fit.xiCi95 : kNaN;
    row.alphaCi95 = fit.ok ? fit.alphaCi95 : kNaN;
    row.noiseFloorNm3 = fit.ok ? fit.noiseFloor : kNaN;
    row.fitStatus = fit.status;
    fitDrawnEdges(image, px, row.xiDrawnNm, row.alphaDrawn);
    row.cdTrueNm = t.meanCd * px;
    row.cdNm = result.cdNm;
    if (!result.reason.empty()) row.failure = result.reason;
    if (measured != nullptr) *measured = std::move(result);
}

void setCdShifts(std::vector<RecoveryRow>& rows) {
    std::map<std::string, double> clean;
    for (RecoveryRow& row : rows) {
        auto found = clean.find(row.input.series);
        if (found == clean.end()) {
            clean[row.input.series] = row.cdNm;
            row.cdShiftPx = std::isfinite(row.cdNm) ? 0.0 : kNaN;
            continue;
        }
        row.cdShiftPx = std::fabs(row.cdNm - found->second) / row.pixelSizeNm;
    }
}

bool rowFound(const RecoveryRow& row, const RecoveryTargets& targets) {
    return row.failure.empty() && row.measuredLines == row.trueLines &&
           row.foundFraction >= targets.minFoundFraction;
}

namespace {

bool xiWithin(double xiNm, const RecoveryRow& row, const RecoveryTargets& t) {
    return withinPercent(xiNm, row.xiTrueNm, t.maxXiErrorPercent);
}

bool alphaWithin(double alpha, const RecoveryRow& row, const RecoveryTargets& t) {
    return std::isfinite(alpha) && std::fabs(alpha - row.alphaTrue) <= t.maxAlphaError;
}

}  // namespace

std::vector<NoiseLevelSummary> summariseByNoise(const std::vector<RecoveryRow>& rows,
                                                const RecoveryTargets& targets) {
    std::map<double, NoiseLevelSummary> levels;
    for (const RecoveryRow& row : rows) {
        if (row.input.image.shotNoiseFrames > 0) continue;
        NoiseLevelSummary& l = levels[row.input.noiseSigma];
        if (l.images == 0) {
            l.noise = row.input.noiseSigma;
            l.minFound = row.foundFraction;
        }
        ++l.images;
        const double found = std::isfinite(row.foundFraction) ? row.foundFraction : 0.0;
        l.minFound = std::fmin(l.minFound, found);
        l.meanFound += found;
        l.meanPooled += std::isfinite(row.pooledFraction) ? row.pooledFraction : 0.0;
        if (rowFound(row, targets)) {
            ++l.found;
            l.xiAlphaPass +=
                xiWithin(row.xiFitNm, row, targets) && alphaWithin(row.alphaFit, row, targets);
            l.xiAlphaGivenPass +=
                xiWithin(row.xiGivenNm, row, targets) && alphaWithin(row.alphaGiven, row, targets);
        }
        const bool measured = std::isfinite(row.ler.unbiased) && std::isfinite(row.lwr.unbiased);
        if (!measured) continue;
        ++l.measured;
        l.meanBiasedLwrErrorPercent += row.lwr.biasedErrorPercent();
        if (std::isfinite(row.wholePixelLwrNm)) {
            l.meanWholePixelLwrErrorPercent += row.wholePixelLwrErrorPercent();
            ++l.wholePixelMeasured;
        }
        l.worstUnbiasedErrorPercent = std::fmax(
            l.worstUnbiasedErrorPercent, std::fmax(std::fabs(row.ler.unbiasedErrorPercent()),
                                                   std::fabs(row.lwr.unbiasedErrorPercent())));
        // A failed fit counts as the worst error.
        auto worst = [](double& sofar, double error) {
            sofar = std::isnan(error) || std::isnan(sofar) ? kNaN : std::fmax(sofar, error);
        };
        worst(l.worstXiErrorPercent, std::fabs(percentError(row.xiFitNm, row.xiTrueNm)));
        worst(l.worstAlphaError, std::fabs(row.alphaFit - row.alphaTrue));
        worst(l.worstXiDrawnErrorPercent, std::fabs(percentError(row.xiFitNm, row.xiDrawnNm)));
        worst(l.worstAlphaDrawnError, std::fabs(row.alphaFit - row.alphaDrawn));
    }
    std::vector<NoiseLevelSummary> out;
    for (auto& [noise, l] : levels) {
        l.meanFound /= l.images;
        l.meanPooled /= l.images;
        l.meanBiasedLwrErrorPercent =
            l.measured > 0 ? l.meanBiasedLwrErrorPercent / l.measured : kNaN;
        l.meanWholePixelLwrErrorPercent =
            l.wholePixelMeasured > 0 ? l.meanWholePixelLwrErrorPercent / l.wholePixelMeasured
                                     : kNaN;
        if (l.measured == 0)
            l.worstUnbiasedErrorPercent = l.worstXiErrorPercent = l.worstAlphaError =
                l.worstXiDrawnErrorPercent = l.worstAlphaDrawnError = kNaN;
        out.push_back(l);
    }
    return out;
}

RecoveryVerdict judgeRecovery(const std::vector<RecoveryRow>& rows,
                              const RecoveryTargets& targets) {
    RecoveryVerdict v;
    const double maxError = targets.maxUnbiasedErrorPercent;
    char text[256];
    auto fail = [&](const RecoveryRow& row, const char* what, double value, double target) {
        std::snprintf(text, sizeof text, "%s, noise %.0f: %s %.3g (target %.3g)",
                      row.input.series.c_str(), row.input.noiseSigma, what, value, target);
        v.failures.push_back(text);
    };
    // Per series: the noisiest image found, for the CD shift.
    std::map<std::string, const RecoveryRow*> noisiestFound;
    for (const RecoveryRow& row : rows) {
        const bool ler = withinPercent(row.ler.unbiased, row.ler.truth, maxError);
        const bool lwr = withinPercent(row.lwr.unbiased, row.lwr.truth, maxError);
        const bool found = rowFound(row, targets);
        if (row.lwr.biasedErrorPercent() >= 40.0) {
            ++v.heavilyBiasedRows;
            v.heavilyBiasedFound += found;
            v.heavilyBiasedPass += ler && lwr;
        }
        if (row.wholePixelLwrErrorPercent() >= 40.0) {
            ++v.wholePixelBiasedRows;
            v.wholePixelBiasedFound += found;
            v.wholePixelBiasedPass += ler && lwr;
        }
        if (!found) continue;
        ++v.foundRows;
        noisiestFound[row.input.series] = &row;
        const bool xi = xiWithin(row.xiFitNm, row, targets);
        const bool alpha = alphaWithin(row.alphaFit, row, targets);
        v.xiGivenPass += xiWithin(row.xiGivenNm, row, targets);
        v.alphaGivenPass += alphaWithin(row.alphaGiven, row, targets);
        v.lerPass += ler;
        v.lwrPass += lwr;
        v.xiPass += xi;
        v.alphaPass += alpha;
        v.xiDrawnPass += withinPercent(row.xiFitNm, row.xiDrawnNm, targets.maxXiErrorPercent);
        v.alphaDrawnPass += std::isfinite(row.alphaFit) &&
                            std::fabs(row.alphaFit - row.alphaDrawn) <= targets.maxAlphaError;
        v.lerInInterval += row.ler.truthInInterval();
        v.lwrInInterval += row.lwr.truthInInterval();
        v.lerWithInterval += std::isfinite(row.ler.ci95) ? 1 : 0;
        v.lwrWithInterval += std::isfinite(row.lwr.ci95) ? 1 : 0;
        v.xiInInterval += std::fabs(row.xiFitNm - row.xiTrueNm) <= row.xiCi95Nm;
        v.alphaInInterval += std::fabs(row.alphaFit - row.alphaTrue) <= row.alphaCi95;
        if (!ler) fail(row, "unbiased LER error %", row.ler.unbiasedErrorPercent(), maxError);
        if (!lwr) fail(row, "unbiased LWR error %", row.lwr.unbiasedErrorPercent(), maxError);
        if (!xi)
            fail(row, "xi error %", percentError(row.xiFitNm, row.xiTrueNm),
                 targets.maxXiErrorPercent);
        if (!alpha) fail(row, "alpha error", row.alphaFit - row.alphaTrue, targets.maxAlphaError);
    }
    std::map<std::string, bool> seen;
    for (const RecoveryRow& row : rows) {
        if (seen[row.input.series]) continue;
        seen[row.input.series] = true;
        ++v.seriesCount;
        auto n = noisiestFound.find(row.input.series);
        if (n == noisiestFound.end()) {
            fail(row, "no image of the series found, CD shift", kNaN, targets.maxCdShiftPx);
            continue;
        }
        const double shift = n->second->cdShiftPx;
        v.worstCdShiftPx = std::fmax(v.worstCdShiftPx, shift);
        if (shift < targets.maxCdShiftPx)
            ++v.cdShiftPass;
        else
            fail(*n->second, "CD shift from the clean image, px", shift, targets.maxCdShiftPx);
    }

    // The limits: levels in increasing order; the first image that fails at a level ends the
    // range.
    std::map<double, std::pair<std::string, std::string>> problems;  // detection, accuracy
    for (const RecoveryRow& row : rows) {
        if (row.input.image.shotNoiseFrames > 0) continue;
        auto& [detection, accuracy] = problems[row.input.noiseSigma];
        if (detection.empty() && !rowFound(row, targets)) {
            std::snprintf(text, sizeof text, "%s: edges found in %.1f %% of rows, %d of %d lines",
                          row.input.series.c_str(), 100.0 * row.foundFraction, row.measuredLines,
                          row.trueLines);
            detection = text;
        }
        if (accuracy.empty() && (!withinPercent(row.ler.unbiased, row.ler.truth, maxError) ||
                                 !withinPercent(row.lwr.unbiased, row.lwr.truth, maxError))) {
            std::snprintf(text, sizeof text, "%s: unbiased LER %+.1f %%, LWR %+.1f %%",
                          row.input.series.c_str(), row.ler.unbiasedErrorPercent(),
                          row.lwr.unbiasedErrorPercent());
            accuracy = text;
        }
    }
    v.detectionLimit = v.accuracyLimit = v.reliableLimit = kNaN;
    bool detecting = true;
    bool accurate = true;
    for (const auto& [noise, problem] : problems) {
        if (detecting && !problem.first.empty()) {
            detecting = false;
            std::snprintf(text, sizeof text, "at %.0f, %s", noise, problem.first.c_str());
            v.detectionFailure = text;
        }
        if (accurate && !problem.second.empty()) {
            accurate = false;
            std::snprintf(text, sizeof text, "at %.0f, %s", noise, problem.second.c_str());
            v.accuracyFailure = text;
        }
        if (v.reliableFailure.empty() && !(detecting && accurate))
            v.reliableFailure = !detecting ? v.detectionFailure : v.accuracyFailure;
        if (detecting) v.detectionLimit = noise;
        if (accurate) v.accuracyLimit = noise;
        if (detecting && accurate) v.reliableLimit = noise;
    }
    return v;
}

RecoveryVerdict judgeQuick(const std::vector<RecoveryRow>& rows,
                           const std::vector<MetrologyResult>& results,
                           const RecoveryTargets& targets) {
    RecoveryVerdict v;
    const double maxError = targets.maxUnbiasedErrorPercent;
    char text[256];
    auto fail = [&](const RecoveryRow& row, const char* what, double value, double target) {
        std::snprintf(text, sizeof text, "%s, noise %.0f: %s %.3g (target %.3g)",
                      row.input.series.c_str(), row.input.noiseSigma, what, value, target);
        v.failures.push_back(text);
    };
    std::vector<const MetrologyResult*> noisy;
    for (size_t i = 0; i < rows.size(); ++i) {
        const RecoveryRow& row = rows[i];
        if (!rowFound(row, targets)) {
            fail(row, "share of rows found", row.foundFraction, targets.minFoundFraction);
            continue;
        }
        ++v.foundRows;
        if (!withinPercent(row.ler.unbiased, row.ler.truth, maxError))
            fail(row, "unbiased LER error %", row.ler.unbiasedErrorPercent(), maxError);
        else
            ++v.lerPass;
        if (!withinPercent(row.lwr.unbiased, row.lwr.truth, maxError))
            fail(row, "unbiased LWR error %", row.lwr.unbiasedErrorPercent(), maxError);
        else
            ++v.lwrPass;
        v.lerInInterval += row.ler.truthInInterval();
        v.lwrInInterval += row.lwr.truthInInterval();
        v.lerWithInterval += std::isfinite(row.ler.ci95) ? 1 : 0;
        v.lwrWithInterval += std::isfinite(row.lwr.ci95) ? 1 : 0;
        v.xiInInterval += std::fabs(row.xiFitNm - row.xiTrueNm) <= row.xiCi95Nm;
        v.alphaInInterval += std::fabs(row.alphaFit - row.alphaTrue) <= row.alphaCi95;
        if (row.input.noiseSigma == 0.0) continue;
        if (!(row.lwr.biasedErrorPercent() >= kQuickMinBiasPercent))
            fail(row, "biased LWR error % (too little noise to test)", row.lwr.biasedErrorPercent(),
                 kQuickMinBiasPercent);
        if (!(row.cdShiftPx < targets.maxCdShiftPx))
            fail(row, "CD shift from the clean image, px", row.cdShiftPx, targets.maxCdShiftPx);
        ++v.seriesCount;
        v.cdShiftPass += row.cdShiftPx < targets.maxCdShiftPx;
        v.worstCdShiftPx = std::fmax(v.worstCdShiftPx, row.cdShiftPx);
        if (i < results.size()) noisy.push_back(&results[i]);
    }
    MetrologySettings settings;
    settings.bootstrapResamples = 0;
    const PooledRoughness pooled = pooledRoughness(noisy, settings);
    const PsdFit& fit = pooled.ler.fit;
    v.pooledXiNm = fit.ok ? fit.xi : kNaN;
    v.pooledAlpha = fit.ok ? fit.alpha : kNaN;
    if (rows.empty() || noisy.empty()) {
        v.failures.push_back("no noisy image measured");
        return v;
    }
    const RecoveryRow& first = rows.front();
    if (!withinPercent(v.pooledXiNm, first.xiTrueNm, targets.maxXiErrorPercent))
        fail(first, "pooled xi error %", percentError(v.pooledXiNm, first.xiTrueNm),
             targets.maxXiErrorPercent);
    if (!(std::fabs(v.pooledAlpha - first.alphaTrue) <= targets.maxAlphaError))
        fail(first, "pooled alpha error", v.pooledAlpha - first.alphaTrue, targets.maxAlphaError);
    v.detectionLimit = v.accuracyLimit = v.reliableLimit = kNaN;
    return v;
}
