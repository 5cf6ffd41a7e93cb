#include "metrology/metrology.h"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <random>

#include "metrology/psd.h"
#include "stats/line_residuals.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;
constexpr int32_t kMinSpectrumRows = 32;
// Resamples whose fit fails beyond this share make the interval unreliable: it is not given.
constexpr double kMaxFailedResampleShare = 0.1;
// Fewer resamples leave the 2.5 and 97.5 % percentiles to the few extreme ones (one resample
// gave an interval of width 0).
constexpr int32_t kMinResamples = 20;

// The processed edge range of the specified analysis (run/image_analysis.h,
// processedEdgeRange), repeated here so that metrology does not depend on the run layer.
void pairedEdgeRange(int32_t pairing, int32_t edgeCount, int32_t& first, int32_t& last) {
    if (pairing == 0) {
        first = 2;
        last = edgeCount < 1 ? 0 : edgeCount - ((edgeCount - 1) % 2);
    } else {
        first = 1;
        last = edgeCount < 1 ? 0 : edgeCount - (edgeCount % 2);
    }
}

double finiteMean(const std::vector<double>& x) {
    double s = 0.0;
    int32_t n = 0;
    for (double v : x) {
        if (std::isnan(v)) continue;
        s += v;
        ++n;
    }
    return n > 0 ? s / n : kNaN;
}

// Linear-interpolation percentile (p in 0..1) of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return kNaN;
    const double h = p * static_cast<double>(sorted.size() - 1);
    const size_t i = static_cast<size_t>(h);
    if (i + 1 >= sorted.size()) return sorted.back();
    return sorted[i] + (h - static_cast<double>(i)) * (sorted[i + 1] - sorted[i]);
}

// Half the width of the 2.5 .. 97.5 % percentile interval of bootstrap `values` over `lines`
// resampled lines, widened for their small number: the spread of resamples of n lines is that
// of the mean with divisor n, not n - 1, and its quantiles those of the normal distribution, not
// Student's t with n - 1 degrees of freedom, so that percentiles alone held the true mean of 2
// lines in about half of the images and of 4-6 lines in about 80 %. The factor sqrt(n / (n - 1))
// t(0.975, n - 1) / z(0.975) makes the interval of a mean the Student one (the expanded percentile
// interval): 9.2 for 2 lines, 1.87 for 4, 1.22 for 10, 1.03 for 60. NaN for fewer than 2 lines.
// Resamples of 2 or 3 lines take only 3 or 10 distinct values, whose percentiles lie inside the
// spread (for 2 lines they are the two lines themselves): there the half-width is z(0.975)
// times the resamples' standard deviation instead, which the widening makes Student's interval
// of a mean (the percentiles gave 0.72 of it for 2 images of a group, 0.64-0.73 for 3).
double halfWidth95(std::vector<double> values, int32_t lines) {
    if (lines < 2) return kNaN;
    const double n = static_cast<double>(lines);
    const double z = gsl_cdf_ugaussian_Pinv(0.975);
    const double widening = std::sqrt(n / (n - 1.0)) * gsl_cdf_tdist_Pinv(0.975, n - 1.0) / z;
    if (values.empty()) return kNaN;
    if (lines <= 3) {
        double mean = 0.0;
        for (double v : values) mean += v;
        mean /= static_cast<double>(values.size());
        double sum = 0.0;
        for (double v : values) sum += (v - mean) * (v - mean);
        return widening * z * std::sqrt(sum / static_cast<double>(values.size()));
    }
    std::sort(values.begin(), values.end());
    return widening * 0.5 * (percentile(values, 0.975) - percentile(values, 0.025));
}

// A line's spectra reduced to the fit's bands (binning is linear, so the bands of a mean are the
// mean of the bands).
struct BandedLine {
    std::vector<double> edge;  // sum over the line's edges in the spectra
    int32_t edges = 0;
    std::vector<double> width;  // empty unless the line is in the spectra
    std::vector<double> placement;
    double edgeVariance = 0.0;  // sum over its edges
    double widthVariance = 0.0;
    double placementVariance = 0.0;
    double covariance = 0.0;
    double meanWidth = kNaN;
    int32_t cluster = 0;  // the image of a pooled line; lines of one image share it
};

// Whether `line` carries figure `what`: 0 edges, 1 widths, 2 placement (in the spectra), 3 the
// CD (a measured mean width).
bool carries(const BandedLine& line, int32_t what) {
    switch (what) {
        case 0:
            return line.edges > 0;
        case 1:
            return !line.width.empty();
        case 2:
            return !line.placement.empty();
        default:
            return !std::isnan(line.meanWidth);
    }
}

// The three spectra of a set of lines (with repeats), averaged, with their variances.
struct Aggregate {
    BinnedPsd band[3];  // LER, LWR, LPR
    double variance[3] = {0.0, 0.0, 0.0};
    int32_t series[3] = {0, 0, 0};
    double cd = kNaN;
    double covariance = kNaN;           // mean over lines with both edges
    double edgeVarianceOfPairs = kNaN;  // mean edge variance over the same lines
};

void aggregate(const std::vector<BandedLine>& lines,
               const std::vector<int32_t>& pick,
               const BinnedPsd& layout,
               Aggregate& a) {
    const size_t bands = layout.frequency.size();
    for (BinnedPsd& b : a.band) {
        if (b.frequency.size() != bands) {
            b.frequency = layout.frequency;
            b.firstBin = layout.firstBin;
            b.binCount = layout.binCount;
        }
        b.value.assign(bands, 0.0);
        b.dof.assign(bands, 0.0);
    }
    double variance[3] = {0.0, 0.0, 0.0};
    int32_t series[3] = {0, 0, 0};
    double cdSum = 0.0;
    int32_t cdCount = 0;
    double covarianceSum = 0.0;
    double pairVarianceSum = 0.0;
    for (int32_t i : pick) {
        const BandedLine& line = lines[static_cast<size_t>(i)];
        if (!std::isnan(line.meanWidth)) {
            cdSum += line.meanWidth;
            ++cdCount;
        }
        if (line.edges > 0) {
            for (size_t j = 0; j < bands; ++j) a.band[0].value[j] += line.edge[j];
            variance[0] += line.edgeVariance;
            series[0] += line.edges;
        }
        if (!line.width.empty()) {
            for (size_t j = 0; j < bands; ++j) {
                a.band[1].value[j] += line.width[j];
                a.band[2].value[j] += line.placement[j];
            }
            variance[1] += line.widthVariance;
            variance[2] += line.placementVariance;
            ++series[1];
            ++series[2];
            covarianceSum += line.covariance;
            pairVarianceSum += 0.5 * line.edgeVariance;
        }
    }
    for (int32_t f = 0; f < 3; ++f) {
        a.series[f] = series[f];
        a.variance[f] = series[f] > 0 ? variance[f] / series[f] : kNaN;
        BinnedPsd& b = a.band[f];
        for (size_t j = 0; j < bands; ++j) {
            b.value[j] = series[f] > 0 ? b.value[j] / series[f] : kNaN;
            b.dof[j] = bandDof(layout.binCount[j], series[f]);
        }
    }
    a.cd = cdCount > 0 ? cdSum / cdCount : kNaN;
    a.covariance = series[1] > 0 ? covarianceSum / series[1] : kNaN;
    a.edgeVarianceOfPairs = series[1] > 0 ? pairVarianceSum / series[1] : kNaN;
}

// Unbiased 3 sigma from a variance and a fit: 3 sqrt(max(0, variance - floor x bandwidth)). The
// noise term's correlated part averages to 0 over the band, so floor x bandwidth is its variance.
double unbiasedSigma3(double variance, const PsdFit& fit, double bandwidth) {
    const double v = variance - fit.noiseFloor * bandwidth;
    return 3.0 * std::sqrt(v > 0.0 ? v : 0.0);
}

const char* const kFigureNames[3] = {"edge", "width", "placement"};

// Fits, figures and bootstrap intervals of a set of banded lines: fills the three figures (not
// their unbinned spectra), the CD and its interval, and the correlation.
struct SetFigures {
    double cd = kNaN;
    double cdCi95 = kNaN;
    std::string cdReason;
    std::string cdCiReason;
    double covariance = kNaN;
    double pairEdgeVariance = kNaN;
};

void measureSet(const std::vector<BandedLine>& lines,
                const BinnedPsd& layout,
                int32_t spectrumRows,
                double bandwidth,
                const MetrologySettings& settings,
                RoughnessFigure* figures[3],
                SetFigures& set) {
    const int32_t count = static_cast<int32_t>(lines.size());
    std::vector<int32_t> all(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) all[static_cast<size_t>(i)] = i;
    Aggregate full;
    aggregate(lines, all, layout, full);
    set.cd = full.cd;
    if (std::isnan(set.cd)) set.cdReason = "no line with a measured width";
    set.covariance = full.covariance;
    set.pairEdgeVariance = full.edgeVarianceOfPairs;
    for (int32_t f = 0; f < 3; ++f) {
        RoughnessFigure& r = *figures[f];
        r.seriesCount = full.series[f];
        r.biasedVarianceNm2 = full.variance[f];
        r.sigma3BiasedNm = kNaN;
        r.sigma3UnbiasedNm = kNaN;
        r.ci95Nm = kNaN;
        if (full.series[f] == 0) {
            r.reason = std::string("no ") + kFigureNames[f] +
                       " series in the spectra (edges not found, or too many missing rows)";
            r.fit.status = "no spectrum";
            continue;
        }
        r.sigma3BiasedNm = 3.0 * std::sqrt(full.variance[f]);
        if (full.variance[f] == 0.0) {
            // Straight series (a drawn pattern): no spectrum to fit and no noise to take away.
            r.fit.status = "no roughness: every series is a straight line";
            r.sigma3UnbiasedNm = 0.0;
            continue;
        }
        r.fit = fitPsd(full.band[f], spectrumFitOptions(settings, layout, spectrumRows));
        if (!r.fit.ok) {
            r.reason = std::string("the fit of the ") + kFigureNames[f] +
                       " spectrum failed: " + r.fit.status;
            continue;
        }
        r.sigma3UnbiasedNm = unbiasedSigma3(full.variance[f], r.fit, bandwidth);
    }

    // Bootstrap over lines, or over images when the lines come from several (pooled): lines of
    // one image share its focus, dose and noise, so resampling lines alone would take the
    // differences between images for no scatter at all. A unit is a list of lines drawn
    // together: one line, or all lines of one image. The figures resample the images that
    // carry spectra and the CD those with a measured width; where only one image does, its
    // lines are resampled, as that image's own interval is.
    using Units = std::vector<std::vector<int32_t>>;
    auto singles = [](const std::vector<int32_t>& members) {
        Units units;
        for (int32_t i : members) units.push_back({i});
        return units;
    };
    std::map<int32_t, std::vector<int32_t>> images;  // by cluster, in its order
    for (int32_t i = 0; i < count; ++i) images[lines[static_cast<size_t>(i)].cluster].push_back(i);
    const bool byImage = images.size() >= 2;
    Units figureUnits;
    Units cdUnits;
    bool figuresByImage = false;
    bool cdByImage = false;
    if (!byImage) {
        figureUnits = singles(all);
    } else {
        Units spectral;
        Units widths;
        for (const auto& [cluster, image] : images) {
            bool hasSpectra = false;
            bool hasWidth = false;
            for (int32_t k : image) {
                const BandedLine& line = lines[static_cast<size_t>(k)];
                hasSpectra = hasSpectra || carries(line, 0) || carries(line, 1) || carries(line, 2);
                hasWidth = hasWidth || carries(line, 3);
            }
            if (hasSpectra) spectral.push_back(image);
            if (hasWidth) widths.push_back(image);
        }
        figuresByImage = spectral.size() >= 2;
        cdByImage = widths.size() >= 2;
        figureUnits = spectral.size() == 1 ? singles(spectral[0]) : spectral;
        cdUnits = widths.size() == 1 ? singles(widths[0]) : widths;
    }
    // Per image, one set of draws serves the figures and the CD, as it always has.
    const bool sharedDraws = !byImage;
    std::string noInterval;
    if (count < 2) {
        noInterval = "fewer than 2 lines: no interval";
    } else if (settings.bootstrapResamples < 1) {
        noInterval = "no bootstrap resamples requested";
    } else if (settings.bootstrapResamples < kMinResamples) {
        noInterval = "too few bootstrap resamples for a 95 % interval (" +
                     std::to_string(settings.bootstrapResamples) + "; at least " +
                     std::to_string(kMinResamples) + ")";
    }
    if (!noInterval.empty()) {
        for (RoughnessFigure* r : {figures[0], figures[1], figures[2]}) r->ciReason = noInterval;
        set.cdCiReason = noInterval;
        return;
    }
    const int32_t resamples = settings.bootstrapResamples;
    std::mt19937_64 engine(settings.seed);
    std::vector<int32_t> pick;
    auto draw = [&engine, &pick](const Units& units) {
        pick.clear();
        const int32_t n = static_cast<int32_t>(units.size());
        for (int32_t i = 0; i < n; ++i) {
            // 53 random bits to a uniform index, the same with every standard library.
            const double u = static_cast<double>(engine() >> 11) * 0x1.0p-53;
            int32_t index = static_cast<int32_t>(u * n);
            if (index >= n) index = n - 1;
            const std::vector<int32_t>& unit = units[static_cast<size_t>(index)];
            pick.insert(pick.end(), unit.begin(), unit.end());
        }
    };
    std::vector<double> values[3];
    int32_t failed[3] = {0, 0, 0};
    std::vector<double> cds;
    Aggregate a;
    BandShapes shapes[3];
    for (int32_t f = 0; f < 3; ++f)
        if (figures[f]->fit.ok) shapes[f] = bandShapes(layout, figures[f]->fit);
    for (int32_t b = 0; b < resamples && !figureUnits.empty(); ++b) {
        draw(figureUnits);
        aggregate(lines, pick, layout, a);
        if (sharedDraws && !std::isnan(a.cd)) cds.push_back(a.cd);
        for (int32_t f = 0; f < 3; ++f) {
            const RoughnessFigure& r = *figures[f];
            if (!r.fit.ok) continue;
            if (a.series[f] == 0) {
                ++failed[f];
                continue;
            }
            const PsdFit fit = refitLevels(a.band[f], r.fit, &shapes[f]);
            if (!fit.ok) {
                ++failed[f];
                continue;
            }
            values[f].push_back(unbiasedSigma3(a.variance[f], fit, bandwidth));
        }
    }
    for (int32_t b = 0; b < resamples && !sharedDraws && !cdUnits.empty(); ++b) {
        draw(cdUnits);
        aggregate(lines, pick, layout, a);
        if (!std::isnan(a.cd)) cds.push_back(a.cd);
    }
    // The units each figure is made of: the resampled lines, or images, that carry it.
    auto carrying = [&lines](const Units& units, int32_t what) {
        int32_t n = 0;
        for (const std::vector<int32_t>& unit : units)
            n +=
                std::any_of(unit.begin(), unit.end(),
                            [&](int32_t i) { return carries(lines[static_cast<size_t>(i)], what); })
                    ? 1
                    : 0;
        return n;
    };
    for (int32_t f = 0; f < 3; ++f) {
        RoughnessFigure& r = *figures[f];
        const int32_t carriers = carrying(figureUnits, f);
        if (r.sigma3UnbiasedNm == 0.0 && r.biasedVarianceNm2 == 0.0) {
            r.ci95Nm = 0.0;  // every resample of straight series is straight
        } else if (!r.fit.ok) {
            r.ciReason = r.reason;
        } else if (failed[f] > kMaxFailedResampleShare * resamples) {
            r.ciReason = "the fit failed in " + std::to_string(failed[f]) + " of " +
                         std::to_string(resamples) + " bootstrap resamples";
        } else if (carriers < 2) {
            r.ciReason = std::string("fewer than 2 ") + (figuresByImage ? "images" : "lines") +
                         " with " + kFigureNames[f] + " series: no interval";
        } else {
            r.ci95Nm = halfWidth95(values[f], carriers);
        }
    }
    const Units& cdResampled = sharedDraws ? figureUnits : cdUnits;
    const int32_t widthCarriers = carrying(cdResampled, 3);
    if (cds.size() < 2 || widthCarriers < 2) {
        set.cdCiReason = std::string("fewer than 2 ") + (cdByImage ? "images" : "lines") +
                         " with a measured width: no interval";
    } else {
        set.cdCi95 = halfWidth95(cds, widthCarriers);
    }
}

// Fills the unbinned averaged spectra and the model curves of the three figures.
void averagedSpectra(const std::vector<const MetrologyLine*>& lines,
                     const std::vector<double>& frequency,
                     RoughnessFigure* figures[3]) {
    const size_t n = frequency.size();
    for (int32_t f = 0; f < 3; ++f) {
        RoughnessFigure& r = *figures[f];
        r.psdNm3.assign(n, 0.0);
        int32_t series = 0;
        for (const MetrologyLine* line : lines) {
            const std::vector<double>& psd =
                f == 0 ? line->edgePsdSum : (f == 1 ? line->widthPsd : line->placementPsd);
            if (psd.size() != n) continue;
            for (size_t k = 0; k < n; ++k) r.psdNm3[k] += psd[k];
            series += f == 0 ? line->spectrumEdges : 1;
        }
        if (series == 0) {
            r.psdNm3.clear();
        } else {
            for (double& v : r.psdNm3) v /= series;
        }
        r.modelNm3.clear();
        r.noiseNm3.clear();
        if (r.fit.ok) {
            r.modelNm3.resize(n);
            r.noiseNm3.resize(n);
            for (size_t k = 0; k < n; ++k) {
                r.modelNm3[k] = fittedPsd(frequency[k], r.fit);
                r.noiseNm3[k] = r.fit.noiseFloor * noiseShape(frequency[k], r.fit);
            }
        }
    }
}

// Bands of one line's spectra for the layout of `frequency`.
BandedLine bandLine(const MetrologyLine& line,
                    const std::vector<double>& frequency,
                    const BinnedPsd& layout) {
    BandedLine b;
    b.meanWidth = line.meanWidthNm;
    const int32_t n = static_cast<int32_t>(frequency.size());
    BinnedPsd banded;
    if (line.spectrumEdges > 0 && static_cast<int32_t>(line.edgePsdSum.size()) == n) {
        binPsd(frequency.data(), line.edgePsdSum.data(), n, 1.0, banded, &layout);
        b.edge = banded.value;
        b.edges = line.spectrumEdges;
        b.edgeVariance = line.edgeVarianceSum;
    }
    if (line.inSpectrum && static_cast<int32_t>(line.widthPsd.size()) == n &&
        static_cast<int32_t>(line.placementPsd.size()) == n) {
        binPsd(frequency.data(), line.widthPsd.data(), n, 1.0, banded, &layout);
        b.width = banded.value;
        binPsd(frequency.data(), line.placementPsd.data(), n, 1.0, banded, &layout);
        b.placement = banded.value;
        b.widthVariance = line.widthVariance;
        b.placementVariance = line.placementVariance;
        b.covariance = line.edgeCovariance;
    }
    return b;
}

// The band nearest to `column` (1-based) within `reach` px, or -1.
int32_t nearestBand(const std::vector<EdgeBand>& bands, double column, double reach) {
    int32_t best = -1;
    double bestDistance = reach;
    for (size_t b = 0; b < bands.size(); ++b) {
        const double d = std::fabs(bands[b].column - column);
        if (d <= bestDistance) {
            bestDistance = d;
            best = static_cast<int32_t>(b);
        }
    }
    return best;
}

// Why the coarse lines of `seeds` (consecutive pairs) cannot be the lines of `bands`, or empty
// when none of them is contradicted. `bandOf` receives each seed's nearest band (-1: none).
std::string coarseContradiction(const std::vector<EdgeSeed>& seeds,
                                const std::vector<EdgeBand>& bands,
                                double reach,
                                std::vector<int32_t>& bandOf) {
    bandOf.assign(seeds.size(), -1);
    for (size_t e = 0; e < seeds.size(); ++e)
        bandOf[e] = nearestBand(bands, seeds[e].column, reach);
    for (size_t e = 0; e + 1 < seeds.size(); e += 2) {
        const int32_t left = bandOf[e];
        const int32_t right = bandOf[e + 1];
        if ((left >= 0 && bands[static_cast<size_t>(left)].side < 0) ||
            (right >= 0 && bands[static_cast<size_t>(right)].side > 0))
            return "a coarse edge lies on a band of the other side of a line";
        if (left >= 0 && left == right) return "both coarse edges of a line lie on one band";
        bool rightEdgeSeen = false;
        for (const EdgeBand& band : bands) {
            if (band.column < seeds[e].column || band.column > seeds[e + 1].column) continue;
            if (band.side < 0) rightEdgeSeen = true;
            if (band.side > 0 && rightEdgeSeen) return "a coarse line holds a space between bands";
        }
    }
    return std::string();
}

void setAllNaN(MetrologyResult& out, const std::string& reason) {
    out.reason = reason;
    for (RoughnessFigure* r : {&out.ler, &out.lwr, &out.lpr}) {
        r->sigma3BiasedNm = r->sigma3UnbiasedNm = r->ci95Nm = kNaN;
        r->biasedVarianceNm2 = kNaN;
        r->reason = reason;
        r->ciReason = reason;
        r->fit.status = "no spectrum";
    }
    out.cdNm = out.cdCi95Nm = kNaN;
    out.cdReason = out.cdCiReason = reason;
    out.edgeCorrelation = out.edgeCorrelationBiased = kNaN;
    out.edgeCorrelationReason = reason;
    out.tiltDegrees = kNaN;
    out.tiltReason = reason;
}

// Runs of kMinGapRows or more rows in which `a` and `b` (per row, NaN where missing) are both
// missing, with either found in some row above and some row below, appended to `gaps`.
void appendGaps(const std::vector<double>& a,
                const std::vector<double>& b,
                EdgeGap gap,
                std::vector<EdgeGap>& gaps) {
    const int32_t n = static_cast<int32_t>(std::min(a.size(), b.size()));
    int32_t start = -1;  // first row of the current run, -1 above the first found row
    bool found = false;
    for (int32_t y = 0; y < n; ++y) {
        const size_t i = static_cast<size_t>(y);
        if (std::isnan(a[i]) && std::isnan(b[i])) {
            if (found && start < 0) start = y;
            continue;
        }
        if (start >= 0 && y - start >= kMinGapRows) {
            gap.firstRow = start;
            gap.lastRow = y - 1;
            gaps.push_back(gap);
        }
        start = -1;
        found = true;
    }
}

// MetrologyResult::gaps: broken lines and bridged spaces. Rows in which half or more of the
// lines and spaces (at least 3) lose both their edges at once are a streak across the picture
// (a saturated or dark band of rows, charging), not defects of the pattern: a gap mostly in
// such rows is left out.
void findGaps(MetrologyResult& out) {
    const auto positions = [&out](int32_t edge) -> const std::vector<double>& {
        return out.edges[static_cast<size_t>(edge)].positions;
    };
    std::vector<EdgeGap> gaps;
    int32_t pairs = 0;
    for (size_t l = 0; l < out.lines.size(); ++l) {
        const MetrologyLine& line = out.lines[l];
        EdgeGap gap;
        gap.line = static_cast<int32_t>(l);
        appendGaps(positions(line.leftEdge), positions(line.rightEdge), gap, gaps);
        ++pairs;
        if (l + 1 == out.lines.size() || out.lines[l + 1].leftEdge != line.rightEdge + 1) continue;
        gap.bridge = true;
        appendGaps(positions(line.rightEdge), positions(out.lines[l + 1].leftEdge), gap, gaps);
        ++pairs;
    }
    std::vector<int32_t> losing(static_cast<size_t>(std::max(out.rowCount, 0)), 0);
    for (const EdgeGap& gap : gaps)
        for (int32_t y = gap.firstRow; y <= gap.lastRow && y < out.rowCount; ++y)
            ++losing[static_cast<size_t>(y)];
    const int32_t acrossPicture = std::max(3, (pairs + 1) / 2);
    for (const EdgeGap& gap : gaps) {
        int32_t streakRows = 0;
        for (int32_t y = gap.firstRow; y <= gap.lastRow && y < out.rowCount; ++y)
            streakRows += losing[static_cast<size_t>(y)] >= acrossPicture ? 1 : 0;
        if (2 * streakRows < gap.lastRow - gap.firstRow + 1) out.gaps.push_back(gap);
    }
}

// One series' sigma with the noise variance of `figure` (its floor x the bandwidth) taken away,
// never below 0; 0 for straight series (nothing to fit), NaN without a fit or a sigma.
double unbiasedSeriesSigma(double biased, const RoughnessFigure& figure, double bandwidth) {
    if (!std::isfinite(biased)) return kNaN;
    if (figure.fit.ok) return unbiasedSigma3(biased * biased, figure.fit, bandwidth) / 3.0;
    return figure.sigma3UnbiasedNm == 0.0 && figure.biasedVarianceNm2 == 0.0 ? 0.0 : kNaN;
}

// The edges' and lines' own unbiased sigmas, from the image's fits.
void seriesUnbiased(MetrologyResult& out) {
    for (MetrologyEdge& edge : out.edges)
        edge.sigmaUnbiasedNm = unbiasedSeriesSigma(edge.sigmaBiasedNm, out.ler, out.bandwidthPerNm);
    for (MetrologyLine& line : out.lines) {
        line.widthSigmaUnbiasedNm =
            unbiasedSeriesSigma(line.widthSigmaBiasedNm, out.lwr, out.bandwidthPerNm);
        line.placementSigmaUnbiasedNm =
            unbiasedSeriesSigma(line.placementSigmaBiasedNm, out.lpr, out.bandwidthPerNm);
    }
}

// MetrologyResult::tiltDegrees and tiltCos from the edges found in at least half of the rows.
void lineTilt(MetrologyResult& out) {
    std::vector<double> slopes;
    for (const MetrologyEdge& edge : out.edges) {
        if (2 * edge.missingRows > out.rowCount) continue;
        const RowLine line = rowLine(edge.positions);
        if (line.count >= 2) slopes.push_back(line.slope);
    }
    out.tiltCos = 1.0;
    if (slopes.empty()) {
        out.tiltDegrees = kNaN;
        out.tiltReason = "no edge found in half of the rows";
        return;
    }
    std::sort(slopes.begin(), slopes.end());
    const double angle = std::atan(percentile(slopes, 0.5) * (out.pixelSizeNm / out.rowSpacingNm));
    out.tiltDegrees = angle * (180.0 / kPi);
    out.tiltCos = std::cos(angle);
    out.tiltReason.clear();
}

// Edge correlation from the unbiased width and placement variances. With w = R - L and
// p = (L + R) / 2 of a line, var p - var w / 4 is the covariance of its edges and
// var p + var w / 4 their mean variance. Noise common to both edges of a row (the scan's
// jitter) lies in the placement spectrum's floor and is taken away with it, and cancels from the
// widths; the edges' own covariance would keep it (0.6 px of jitter moved that ratio from -0.54
// to -0.36 on a generated image).
void edgeCorrelation(const SetFigures& set,
                     const RoughnessFigure& lwr,
                     const RoughnessFigure& lpr,
                     MetrologyResult& out) {
    out.edgeCorrelation = out.edgeCorrelationBiased = kNaN;
    if (std::isnan(set.covariance)) {
        out.edgeCorrelationReason = "no line with both edges in the spectra";
        return;
    }
    if (set.pairEdgeVariance > 0.0)
        out.edgeCorrelationBiased = set.covariance / set.pairEdgeVariance;
    for (const RoughnessFigure* f : {&lwr, &lpr}) {
        if (std::isnan(f->sigma3UnbiasedNm)) {
            out.edgeCorrelationReason = std::string("no unbiased ") +
                                        (f == &lwr ? "width" : "placement") +
                                        " variance: " + f->reason;
            return;
        }
    }
    const double width = (lwr.sigma3UnbiasedNm / 3.0) * (lwr.sigma3UnbiasedNm / 3.0);
    const double placement = (lpr.sigma3UnbiasedNm / 3.0) * (lpr.sigma3UnbiasedNm / 3.0);
    const double edge = placement + 0.25 * width;
    if (!(edge > 0.0)) {
        out.edgeCorrelationReason = "the unbiased width and placement variances are 0";
        return;
    }
    out.edgeCorrelation = (placement - 0.25 * width) / edge;
}

// True when a line of `r` has a series in its spectra.
bool hasSpectra(const MetrologyResult& r) {
    for (const MetrologyLine& line : r.lines)
        if (line.inSpectrum || line.spectrumEdges > 0) return true;
    return false;
}

// The spectra and variances of `line` over rows first .. first + n - 1 (0-based) of its edges'
// positions (px; gaps filled), in nm: px nm per px across the lines, rows dy nm apart. An edge
// is used where usable[e] and it misses at most maxMissingFraction of those rows (used[side]
// says which were); widths and placement need both. `workspace` is prepared for n.
void lineSpectra(const std::vector<MetrologyEdge>& edges,
                 const std::vector<bool>& usable,
                 int32_t first,
                 int32_t n,
                 double px,
                 double dy,
                 double maxMissingFraction,
                 PsdWorkspace& workspace,
                 MetrologyLine& line,
                 bool used[2]) {
    const int32_t last = first + n - 1;
    std::vector<double> psd(static_cast<size_t>(n / 2 + 1));
    std::vector<double> series(static_cast<size_t>(n));
    auto spectrumOf = [&](std::vector<double>& target) {
        workspace.periodogram(series.data(), dy, psd.data());
        target.assign(psd.begin() + 1, psd.end());
    };
    std::vector<double> filled[2];
    for (int32_t side = 0; side < 2; ++side) {
        const size_t e = static_cast<size_t>(side == 0 ? line.leftEdge : line.rightEdge);
        const std::vector<double>& x = edges[e].positions;
        int32_t missing = 0;
        for (int32_t y = first; y <= last; ++y)
            if (std::isnan(x[static_cast<size_t>(y)])) ++missing;
        if (!usable[e] || missing > maxMissingFraction * n) continue;
        std::vector<double> full = x;
        fillGaps(full);
        filled[side].assign(full.begin() + first, full.begin() + last + 1);
        for (double& v : filled[side]) v *= px;
        used[side] = true;
        series = filled[side];
        detrend(series.data(), n);
        line.edgeVarianceSum += populationVariance(series.data(), n);
        std::vector<double> edgePsd;
        spectrumOf(edgePsd);
        if (line.edgePsdSum.empty()) {
            line.edgePsdSum = edgePsd;
        } else {
            for (size_t k = 0; k < edgePsd.size(); ++k) line.edgePsdSum[k] += edgePsd[k];
        }
        ++line.spectrumEdges;
    }
    if (!(used[0] && used[1])) return;
    line.inSpectrum = true;
    std::vector<double> left = filled[0];
    std::vector<double> right = filled[1];
    detrend(left.data(), n);
    detrend(right.data(), n);
    double covariance = 0.0;
    for (int32_t i = 0; i < n; ++i)
        covariance += left[static_cast<size_t>(i)] * right[static_cast<size_t>(i)];
    line.edgeCovariance = covariance / n;
    for (int32_t i = 0; i < n; ++i)
        series[static_cast<size_t>(i)] =
            filled[1][static_cast<size_t>(i)] - filled[0][static_cast<size_t>(i)];
    detrend(series.data(), n);
    line.widthVariance = populationVariance(series.data(), n);
    spectrumOf(line.widthPsd);
    for (int32_t i = 0; i < n; ++i)
        series[static_cast<size_t>(i)] =
            0.5 * (filled[0][static_cast<size_t>(i)] + filled[1][static_cast<size_t>(i)]);
    detrend(series.data(), n);
    line.placementVariance = populationVariance(series.data(), n);
    spectrumOf(line.placementPsd);
}

}  // namespace

double rowSpacingOf(const MetrologySettings& settings) {
    return settings.rowSpacingNm > 0.0 ? settings.rowSpacingNm : settings.pixelSizeNm;
}

PsdFitOptions spectrumFitOptions(const MetrologySettings& settings,
                                 const BinnedPsd& layout,
                                 int32_t spectrumRows) {
    const double dy = rowSpacingOf(settings);
    PsdFitOptions options;
    options.alphaMax = settings.alphaMax;
    options.resolutionMax = settings.resolutionMaxPx * dy;
    options.resolutionHeld = settings.resolutionNm;
    options.xiMin = settings.xiMinPx * dy;
    // The spectrum's length n dy = 1 / (its lowest frequency).
    if (!layout.frequency.empty() && !layout.binCount.empty() && layout.binCount[0] == 1)
        options.xiMax = 1.0 / layout.frequency[0];
    options.noiseLags = settings.noiseLagRows;
    options.noiseLagSpacing = dy;
    options.noiseCorrelationBand = settings.noiseCorrelationBand;
    options.periodogramRows = spectrumRows;
    options.periodogramSpacing = dy;
    return options;
}

void measureMetrology(const GreyImage& grid,
                      const CoarseEdges& coarse,
                      const MetrologySettings& settings,
                      MetrologyResult& out) {
    EdgeGrid edgeGrid;
    prepareEdgeGrid(grid, settings.edges, edgeGrid);
    measureMetrology(edgeGrid, grid, coarse, settings, out);
}

namespace {

// The edges to trace: their seeds in pairs (left, right) per line, each with the number of its
// coarse edge (0 for an edge the coarse edges lack) and a level half-window kept short of the
// neighbouring edges. Band contrast starts from the coarse edges, or from the bands of the
// middle rows where those contradict them (`origin` then says why); plain steps start from the
// step lines. With fewer than two seeds, `noLine` says why there is no line.
struct LineSeeds {
    std::vector<EdgeSeed> seeds;
    std::vector<int32_t> numbers;
    std::string noLine = "no line found";
    std::string origin;
};

LineSeeds lineSeeds(const EdgeGrid& edgeGrid,
                    const CoarseEdges& coarse,
                    const MetrologySettings& settings) {
    LineSeeds out;
    std::string& noLine = out.noLine;
    std::vector<EdgeSeed>& seeds = out.seeds;
    std::vector<int32_t>& numbers = out.numbers;
    std::vector<double> neighbours;  // every edge's column, for the window limits
    if (settings.contrast == Contrast::kBrightEdge) {
        int32_t first = 0;
        int32_t last = 0;
        pairedEdgeRange(settings.pairing, coarse.count, first, last);
        for (int32_t k = 1; k <= coarse.count; ++k)
            neighbours.push_back(coarse.columns[static_cast<size_t>(k - 1)]);
        for (int32_t k = first; k <= last && k <= coarse.count; ++k) {
            EdgeSeed s;
            s.column = coarse.columns[static_cast<size_t>(k - 1)];
            s.polarity = (settings.pairing + k) % 2 == 0 ? 1 : -1;
            s.band = true;
            seeds.push_back(s);
            numbers.push_back(k);
        }
        // The column sums the coarse edges come from merge the bands of a narrow space when the
        // lines are tilted, and miss faint bands; the bands of the middle rows show it.
        std::vector<EdgeBand> bands;
        locateEdgeBands(edgeGrid, bands);
        // Coarse edges without a single band that stands out of the middle rows' noise are the
        // noise's own (a field of noise, a picture of a few rows of it).
        if (bands.empty()) {
            seeds.clear();
            noLine = "no band stands out of the noise of the middle rows (a picture of noise)";
        }
        std::vector<BandLine> bandLines;
        pairEdgeBands(bands, bandLines);
        std::vector<int32_t> bandOf;
        std::string why =
            coarseContradiction(seeds, bands, 2.0 * settings.edges.levelHalfWindowPx, bandOf);
        if (seeds.size() < 2) why = "the coarse edges give no line";
        if (why.empty() && bandLines.size() > seeds.size() / 2)
            why = "the bands show more lines than the coarse edges";
        if (!why.empty() && !bandLines.empty()) {
            out.origin = why + ": the edges were started from the bands of the middle rows";
            std::vector<EdgeSeed> coarseSeeds = std::move(seeds);
            std::vector<int32_t> coarseNumbers = std::move(numbers);
            seeds.clear();
            numbers.clear();
            neighbours.clear();
            for (const EdgeBand& band : bands) neighbours.push_back(band.column);
            for (const BandLine& line : bandLines) {
                // The coarse numbers stay with a line the coarse edges have too.
                int32_t numberLeft = 0;
                int32_t numberRight = 0;
                for (size_t e = 0; e + 1 < coarseSeeds.size(); e += 2) {
                    if (bandOf[e] == line.left && bandOf[e + 1] == line.right) {
                        numberLeft = coarseNumbers[e];
                        numberRight = coarseNumbers[e + 1];
                    }
                }
                for (int32_t side = 0; side < 2; ++side) {
                    const EdgeBand& band =
                        bands[static_cast<size_t>(side == 0 ? line.left : line.right)];
                    EdgeSeed s;
                    s.column = band.column;
                    s.polarity = side == 0 ? 1 : -1;
                    s.band = !band.step;
                    seeds.push_back(s);
                    numbers.push_back(side == 0 ? numberLeft : numberRight);
                }
            }
        }
    } else {
        std::vector<StepLine> stepLines;
        if (!locateStepLines(edgeGrid, settings.contrast, stepLines))
            noLine =
                "no line stands out of the noise of the middle rows (a picture of noise, or lines "
                "tilted by more than about 10 degrees)";
        const int32_t rising = settings.contrast == Contrast::kBrightLine ? 1 : -1;
        for (const StepLine& line : stepLines) {
            EdgeSeed left;
            left.column = line.left;
            left.polarity = rising;
            EdgeSeed right;
            right.column = line.right;
            right.polarity = -rising;
            seeds.push_back(left);
            seeds.push_back(right);
            numbers.push_back(static_cast<int32_t>(numbers.size()) + 1);
            numbers.push_back(static_cast<int32_t>(numbers.size()) + 1);
            neighbours.push_back(line.left);
            neighbours.push_back(line.right);
        }
    }
    for (EdgeSeed& s : seeds) {
        double gap = HUGE_VAL;
        for (double c : neighbours)
            if (c != s.column) gap = std::fmin(gap, std::fabs(c - s.column));
        s.halfWindowPx = std::fmax(2.0, std::fmin(settings.edges.levelHalfWindowPx, 0.45 * gap));
    }
    return out;
}

}  // namespace

void measureMetrology(const EdgeGrid& edgeGrid,
                      const GreyImage& grid,
                      const CoarseEdges& coarse,
                      const MetrologySettings& settings,
                      MetrologyResult& out) {
    out = MetrologyResult();
    out.contrast = settings.contrast;
    out.pixelSizeNm = settings.pixelSizeNm;
    out.rowSpacingNm = rowSpacingOf(settings);
    out.rowCount = grid.height;
    const double px = settings.pixelSizeNm;
    const double dy = out.rowSpacingNm;
    if (!(px > 0.0) || !std::isfinite(px) || !std::isfinite(dy)) {
        setAllNaN(out, "the pixel size is not a positive number");
        return;
    }
    if (edgeGrid.width == 0 || edgeGrid.values != grid.data) {
        setAllNaN(out, "the grid is empty or the edge settings are out of range");
        return;
    }
    if (edgeGrid.turnedDriftPx != 0.0) {
        const double perRow = edgeGrid.turnedDriftPx / edgeGrid.blockRows;
        const double degrees = std::atan(perRow * (px / dy)) * (180.0 / kPi);
        char text[300];
        std::snprintf(text, sizeof text,
                      "the lines are turned by about %.0f degrees from the columns (they move "
                      "%.1f px every %d rows); their edges are followed up to about 10 degrees: "
                      "turn the picture upright",
                      degrees, edgeGrid.turnedDriftPx, edgeGrid.blockRows);
        setAllNaN(out, text);
        out.tiltDegrees = degrees;
        out.tiltReason.clear();
        out.turnedTooFar = true;
        return;
    }

    const LineSeeds started = lineSeeds(edgeGrid, coarse, settings);
    out.edgeOrigin = started.origin;
    if (started.seeds.size() < 2) {
        setAllNaN(out, started.noLine);
        return;
    }
    const std::vector<EdgeSeed>& seeds = started.seeds;
    const std::vector<int32_t>& numbers = started.numbers;

    // Sub-pixel edges.
    const int32_t h = grid.height;
    out.edges.resize(seeds.size());
    std::vector<SubpixelEdge> tracedEdges(seeds.size());
    int32_t found = 0;
    int32_t shaped = 0;
    for (size_t e = 0; e < seeds.size(); ++e) {
        traceSubpixelEdge(edgeGrid, seeds[e], settings.edges, tracedEdges[e]);
        if (tracedEdges[e].failure.empty()) ++found;
        if (tracedEdges[e].levelShaped) ++shaped;
    }
    // Shading lies over the picture, not on one edge: where fewer than half of the edges show
    // it, the bent levels of those that do come from something of their own (a particle, a
    // changing flank), and they are traced again on a straight trend.
    if (shaped > 0 && 2 * shaped < found) {
        SubpixelSettings straight = settings.edges;
        straight.followBentShading = false;
        for (size_t e = 0; e < seeds.size(); ++e)
            if (tracedEdges[e].levelShaped)
                traceSubpixelEdge(edgeGrid, seeds[e], straight, tracedEdges[e]);
    }
    for (size_t e = 0; e < seeds.size(); ++e) {
        SubpixelEdge& traced = tracedEdges[e];
        MetrologyEdge& edge = out.edges[e];
        edge.edgeNumber = numbers[e];
        edge.leftEdge = e % 2 == 0;
        edge.positions = std::move(traced.positions);
        edge.missingRows = traced.missingRows;
        edge.pooledRows = traced.pooledRows;
        edge.failure = traced.failure;
        edge.meanNm = finiteMean(edge.positions) * px;
        out.missingEdgeRows += edge.missingRows;
        out.pooledEdgeRows += edge.pooledRows;
    }
    // The lines' tilt. From here on widths and deviations are taken across the lines (the row's
    // px x cos), and rows lie dy / cos apart along them.
    lineTilt(out);
    const double across = px * out.tiltCos;
    const double along = dy / out.tiltCos;
    for (MetrologyEdge& edge : out.edges)
        edge.sigmaBiasedNm = residualSigma(edge.positions) * across;
    for (size_t l = 0; l + 1 < out.edges.size(); l += 2) {
        MetrologyLine line;
        line.leftEdge = static_cast<int32_t>(l);
        line.rightEdge = static_cast<int32_t>(l + 1);
        const std::vector<double>& a = out.edges[l].positions;
        const std::vector<double>& b = out.edges[l + 1].positions;
        line.widthsNm.resize(static_cast<size_t>(h));
        line.centresNm.resize(static_cast<size_t>(h));
        for (size_t y = 0; y < static_cast<size_t>(h); ++y) {
            line.widthsNm[y] = (b[y] - a[y]) * across;
            line.centresNm[y] = 0.5 * (a[y] + b[y]) * px;
        }
        line.meanWidthNm = finiteMean(line.widthsNm);
        line.widthSigmaBiasedNm = residualSigma(line.widthsNm);
        line.placementSigmaBiasedNm = residualSigma(line.centresNm) * out.tiltCos;
        out.lines.push_back(std::move(line));
    }

    findGaps(out);

    // The spectrum rows: the span that holds the most edge rows, its length times the edges
    // that cover it whole (of those found in all but maxMissingFraction of their own span);
    // the longer of equals. Where every edge runs the whole picture that is every edge over
    // every row; where tilted lines enter and leave through the sides, the edges that cover
    // only part of the rows are left out rather than cutting every edge to the part they
    // share.
    std::vector<int32_t> spanFirst(out.edges.size(), -1);
    std::vector<int32_t> spanLast(out.edges.size(), -1);
    std::vector<size_t> candidates;
    for (size_t e = 0; e < out.edges.size(); ++e) {
        const std::vector<double>& x = out.edges[e].positions;
        for (int32_t y = 0; y < h; ++y) {
            if (std::isnan(x[static_cast<size_t>(y)])) continue;
            if (spanFirst[e] < 0) spanFirst[e] = y;
            spanLast[e] = y;
        }
        if (spanFirst[e] < 0) continue;
        const int32_t length = spanLast[e] - spanFirst[e] + 1;
        const int32_t missingInside = length - (h - out.edges[e].missingRows);
        if (missingInside <= settings.maxMissingFraction * length) candidates.push_back(e);
    }
    // Over the edges in the order of their first rows: at each first row, the edges that start
    // by it sorted by how far down they reach, the k-th of them down to the last row that k
    // edges cover. Spans under kMinSpectrumRows give no spectrum and are not taken.
    std::sort(candidates.begin(), candidates.end(), [&](size_t a, size_t b) {
        return spanFirst[a] != spanFirst[b] ? spanFirst[a] < spanFirst[b] : a < b;
    });
    int32_t rangeFirst = 0;
    int32_t rangeLast = -1;
    int64_t mostRows = 0;
    std::vector<int32_t> lasts;  // of the edges started so far, farthest first
    for (size_t i = 0; i < candidates.size(); ++i) {
        const int32_t reach = spanLast[candidates[i]];
        lasts.insert(std::upper_bound(lasts.begin(), lasts.end(), reach, std::greater<int32_t>()),
                     reach);
        const int32_t first = spanFirst[candidates[i]];
        if (i + 1 < candidates.size() && spanFirst[candidates[i + 1]] == first) continue;
        for (size_t k = 0; k < lasts.size() && lasts[k] - first + 1 >= kMinSpectrumRows; ++k) {
            const int32_t last = lasts[k];
            const int64_t rows = static_cast<int64_t>(k + 1) * (last - first + 1);
            if (rows > mostRows || (rows == mostRows && last - first > rangeLast - rangeFirst)) {
                mostRows = rows;
                rangeFirst = first;
                rangeLast = last;
            }
        }
    }
    if (candidates.empty()) rangeLast = h - 1;  // no edge: the reasons speak of every row
    std::vector<bool> usable(out.edges.size(), false);
    for (size_t e : candidates) usable[e] = spanFirst[e] <= rangeFirst && spanLast[e] >= rangeLast;
    const int32_t n = rangeLast - rangeFirst + 1;
    std::vector<std::vector<double>> residuals(out.edges.size());
    PsdWorkspace workspace;
    const bool haveRange = n >= kMinSpectrumRows && workspace.prepare(n);
    if (haveRange) {
        out.firstSpectrumRow = rangeFirst + 1;
        out.lastSpectrumRow = rangeLast + 1;
        out.frequencyPerNm.resize(static_cast<size_t>(n / 2));
        for (int32_t k = 1; k <= n / 2; ++k)
            out.frequencyPerNm[static_cast<size_t>(k - 1)] = k / (n * along);
        out.bandwidthPerNm = 1.0 / (2.0 * along);
    }
    for (MetrologyLine& line : out.lines) {
        if (!haveRange) break;
        bool used[2] = {false, false};
        lineSpectra(out.edges, usable, rangeFirst, n, across, along, settings.maxMissingFraction,
                    workspace, line, used);
        if (used[0]) out.edges[static_cast<size_t>(line.leftEdge)].inSpectrum = true;
        if (used[1]) out.edges[static_cast<size_t>(line.rightEdge)].inSpectrum = true;
    }

    // Figures, fits and intervals.
    BinnedPsd layout;
    std::vector<BandedLine> banded;
    if (haveRange) {
        std::vector<double> ones(out.frequencyPerNm.size(), 1.0);
        binPsd(out.frequencyPerNm.data(), ones.data(),
               static_cast<int32_t>(out.frequencyPerNm.size()), 1.0, layout);
    }
    for (const MetrologyLine& line : out.lines) {
        if (haveRange) {
            banded.push_back(bandLine(line, out.frequencyPerNm, layout));
        } else {
            BandedLine b;
            b.meanWidth = line.meanWidthNm;
            banded.push_back(b);
        }
    }
    RoughnessFigure* figures[3] = {&out.ler, &out.lwr, &out.lpr};
    SetFigures set;
    MetrologySettings acrossLines = settings;  // the fit's bounds in rows along the lines
    acrossLines.pixelSizeNm = across;
    acrossLines.rowSpacingNm = along;
    measureSet(banded, layout, haveRange ? n : 0, out.bandwidthPerNm, acrossLines, figures, set);
    if (!haveRange) {
        const std::string why =
            "no edge covers " + std::to_string(kMinSpectrumRows) +
            " rows or more without missing over " +
            std::to_string(static_cast<int>(100.0 * settings.maxMissingFraction + 0.5)) +
            " % of them: no spectra";
        for (RoughnessFigure* r : figures) {
            r->reason = r->ciReason = why;
        }
    }
    if (haveRange && out.ler.seriesCount == 0) {
        // Say how far the edges are from usable (particles on the edges break them up).
        double fewest = HUGE_VAL;
        for (const MetrologyEdge& edge : out.edges)
            if (edge.failure.empty()) fewest = std::fmin(fewest, edge.missingRows);
        if (std::isfinite(fewest)) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "every edge misses more than %.0f %% of the rows it spans (the "
                          "fewest missing: %.1f %% of %d rows)",
                          100.0 * settings.maxMissingFraction, 100.0 * fewest / h, h);
            for (int32_t f = 0; f < 3; ++f) {
                figures[f]->reason =
                    std::string("no ") + kFigureNames[f] + " series in the spectra: " + text;
                figures[f]->ciReason = figures[f]->reason;
            }
        }
    }
    std::vector<const MetrologyLine*> linePointers;
    for (const MetrologyLine& line : out.lines) linePointers.push_back(&line);
    if (haveRange) averagedSpectra(linePointers, out.frequencyPerNm, figures);
    out.cdNm = set.cd;
    out.cdCi95Nm = set.cdCi95;
    out.cdReason = set.cdReason;
    out.cdCiReason = set.cdCiReason;
    edgeCorrelation(set, out.lwr, out.lpr, out);
    seriesUnbiased(out);
}

PooledRoughness pooledRoughness(const std::vector<const MetrologyResult*>& results,
                                const MetrologySettings& settings) {
    PooledRoughness pooled;
    auto withSpectra = [](const MetrologyResult* r) {
        return r != nullptr && !r->frequencyPerNm.empty() && hasSpectra(*r);
    };
    auto spacingOf = [](const MetrologyResult* r, const MetrologyResult* other) {
        return r->pixelSizeNm == other->pixelSizeNm && r->rowSpacingNm == other->rowSpacingNm;
    };
    // The spectra pool at the pixel size and row spacing most images with spectra have (the
    // first listed of equals), whatever the list's order.
    const MetrologyResult* reference = nullptr;
    int32_t most = 0;
    int32_t spectraImages = 0;
    for (const MetrologyResult* r : results) {
        if (!withSpectra(r)) continue;
        ++spectraImages;
        int32_t alike = 0;
        for (const MetrologyResult* other : results)
            alike += withSpectra(other) && spacingOf(r, other) ? 1 : 0;
        if (alike > most) {
            most = alike;
            reference = r;
        }
    }
    auto rowsOf = [](const MetrologyResult& r) {
        return r.lastSpectrumRow - r.firstSpectrumRow + 1;
    };
    auto sameSpacing = [&](const MetrologyResult* r) {
        return reference != nullptr && withSpectra(r) && spacingOf(r, reference);
    };
    // Over n rows, the middle rows of each image at least n long: n is the length that pools
    // the most rows (n times the images at least n long; the longer of equals), so that one
    // short image does not shorten the others, nor many short ones drop out for one long.
    int32_t n = 0;
    int64_t pooledRows = 0;
    for (const MetrologyResult* r : results) {
        if (!sameSpacing(r)) continue;
        const int32_t candidate = rowsOf(*r);
        int64_t images = 0;
        for (const MetrologyResult* other : results)
            images += sameSpacing(other) && rowsOf(*other) >= candidate ? 1 : 0;
        if (images * candidate > pooledRows ||
            (images * candidate == pooledRows && candidate > n)) {
            pooledRows = images * candidate;
            n = candidate;
        }
    }
    auto pools = [&](const MetrologyResult* r) { return sameSpacing(r) && rowsOf(*r) >= n; };
    if (reference != nullptr) {
        pooled.spectrumRows = n;
        int32_t otherSpacing = 0;
        int32_t shorter = 0;
        int32_t longer = 0;
        for (const MetrologyResult* r : results) {
            if (!withSpectra(r)) continue;
            otherSpacing += sameSpacing(r) ? 0 : 1;
            shorter += sameSpacing(r) && rowsOf(*r) < n ? 1 : 0;
            longer += pools(r) && rowsOf(*r) > n ? 1 : 0;
        }
        auto images = [](int32_t k) { return std::to_string(k) + (k == 1 ? " image" : " images"); };
        if (otherSpacing > 0)
            pooled.spectrumNotes.push_back(
                images(otherSpacing) + " of " + std::to_string(spectraImages) +
                " with spectra at another pixel size or row spacing than the most have: left "
                "out of the spectra (their lines count for the CD and CDU)");
        if (shorter > 0)
            pooled.spectrumNotes.push_back(images(shorter) + " shorter than the " +
                                           std::to_string(n) +
                                           " rows pooled: left out of the spectra (their lines "
                                           "count for the CD and CDU)");
        if (longer > 0)
            pooled.spectrumNotes.push_back(images(longer) + " longer than the " +
                                           std::to_string(n) +
                                           " rows pooled: their spectra taken over their middle " +
                                           std::to_string(n) + " rows");
    }
    PsdWorkspace workspace;
    if (reference != nullptr && !workspace.prepare(n)) reference = nullptr;
    // Rows along the lines as the reference's; each image's positions across its own lines.
    const double along = reference != nullptr ? reference->rowSpacingNm / reference->tiltCos : 0.0;
    std::vector<double> grid;
    BinnedPsd layout;
    if (reference != nullptr) {
        // As measureMetrology makes it, so that images of n rows keep their own spectra.
        grid.resize(static_cast<size_t>(n / 2));
        for (int32_t k = 1; k <= n / 2; ++k) grid[static_cast<size_t>(k - 1)] = k / (n * along);
        std::vector<double> ones(grid.size(), 1.0);
        binPsd(grid.data(), ones.data(), static_cast<int32_t>(ones.size()), 1.0, layout);
    }
    std::deque<MetrologyLine> cut;  // lines whose spectra were made again over n rows
    std::vector<BandedLine> banded;
    std::vector<const MetrologyLine*> spectrumLines;
    std::vector<double> widths;
    for (const MetrologyResult* r : results) {
        if (r == nullptr) continue;
        ++pooled.imageCount;
        const bool in = reference != nullptr && pools(r);
        const bool asMeasured = in && rowsOf(*r) == n;
        if (in) ++pooled.spectrumImageCount;
        std::vector<bool> usable;
        for (const MetrologyEdge& edge : r->edges) usable.push_back(edge.inSpectrum);
        const int32_t first = r->firstSpectrumRow - 1 + (in ? (rowsOf(*r) - n) / 2 : 0);
        for (const MetrologyLine& line : r->lines) {
            if (!std::isnan(line.meanWidthNm)) widths.push_back(line.meanWidthNm);
            if (!in) {
                BandedLine b;
                b.meanWidth = line.meanWidthNm;
                b.cluster = pooled.imageCount;
                banded.push_back(b);
                continue;
            }
            const MetrologyLine* source = &line;
            if (!asMeasured) {
                MetrologyLine shorter;
                shorter.leftEdge = line.leftEdge;
                shorter.rightEdge = line.rightEdge;
                shorter.meanWidthNm = line.meanWidthNm;
                bool used[2] = {false, false};
                lineSpectra(r->edges, usable, first, n, r->pixelSizeNm * r->tiltCos, along,
                            settings.maxMissingFraction, workspace, shorter, used);
                cut.push_back(std::move(shorter));
                source = &cut.back();
            }
            banded.push_back(bandLine(*source, grid, layout));
            banded.back().cluster = pooled.imageCount;
            if (source->inSpectrum || source->spectrumEdges > 0) spectrumLines.push_back(source);
            if (source->inSpectrum) ++pooled.spectrumLineCount;
        }
    }
    pooled.lineCount = static_cast<int32_t>(widths.size());
    RoughnessFigure* figures[3] = {&pooled.ler, &pooled.lwr, &pooled.lpr};
    SetFigures set;
    // The fit's bounds and the noise term's lag are in rows: those of the pooled spectra's own
    // pixel size, not of whatever `settings` holds.
    MetrologySettings own = settings;
    if (reference != nullptr) {
        own.pixelSizeNm = reference->pixelSizeNm * reference->tiltCos;
        own.rowSpacingNm = along;
        // A resolution the images' fits held is held here too.
        for (const RoughnessFigure* f : {&reference->ler, &reference->lwr, &reference->lpr})
            if (f->fit.resolutionHeld) own.resolutionNm = f->fit.resolution;
    }
    measureSet(banded, layout, reference != nullptr ? n : 0,
               reference != nullptr ? reference->bandwidthPerNm : 0.0, own, figures, set);
    if (reference != nullptr) averagedSpectra(spectrumLines, grid, figures);
    pooled.cdNm = set.cd;
    pooled.cdCi95Nm = set.cdCi95;
    pooled.cdReason = set.cdReason;
    pooled.cdCiReason = set.cdCiReason;
    if (widths.size() >= 2) {
        double s = 0.0;
        for (double v : widths) s += v;
        const double mean = s / static_cast<double>(widths.size());
        double ss = 0.0;
        for (double v : widths) ss += (v - mean) * (v - mean);
        pooled.cdu3SigmaNm = 3.0 * std::sqrt(ss / static_cast<double>(widths.size() - 1));
    } else {
        pooled.cdu3SigmaNm = kNaN;
    }
    if (widths.empty())
        pooled.reason = "no line with a measured width";
    else if (reference == nullptr)
        pooled.reason = "no image with spectra";
    return pooled;
}
