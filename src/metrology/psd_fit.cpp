#include "metrology/psd_fit.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_fit.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gsl/gsl_vector.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "metrology/psd.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The two-sided 95 % point of the normal distribution.
constexpr double kZ95 = 1.959963984540054;
constexpr int32_t kMinBands = 6;
constexpr int32_t kMaxIterations = 200;
// A run that reaches kMaxIterations while its cost has fallen by less than kStalledCostChange
// over the last kStalledIterations has reached the minimum's cost: the cost is a chi-square
// (each band adds about 1 at the truth), so 1e-3 is far below what the data can tell apart.
// What still moves are parameters the cost hardly depends on (on a flat spectrum: xi, alpha
// and the roll-off crawling towards their bounds), which convergedStatus names.
constexpr int32_t kStalledIterations = 50;
constexpr double kStalledCostChange = 1e-3;
// Grouping of bins into bands: a band spans about this fraction of its lowest frequency.
constexpr double kBandFraction = 0.08;

struct FitData {
    const BinnedPsd* binned;
    PsdFitOptions options;
    int32_t parameters;  // 4: the plain model; +1 with the roll-off, +1 with rho
    bool withResolution;
    bool withCorrelation;         // rho is fitted
    bool shaped;                  // the noise term is correlated (rho fitted or held)
    std::vector<double> target;   // logTarget of every band
    std::vector<double> cosines;  // lagCosines of every band (with the correlated noise term)
    // Expectation factors of the roughness part per band (expectationFactors); empty: 1.
    const std::vector<double>* factor;
};

// A value bounded to 0 .. top by a logistic function of the free parameter s, and its slope.
struct Bounded {
    double value;
    double slope;
};

Bounded bounded(double s, double top) {
    const double sigmoid = 1.0 / (1.0 + std::exp(-s));
    return {top * sigmoid, top * sigmoid * (1.0 - sigmoid)};
}

// True when the noise term is correlated between rows; then rho is held at a given value or
// fitted (correlatedNoise).
bool shapedNoise(const PsdFitOptions& o) {
    return o.noiseLags > 0 && o.noiseLagSpacing > 0.0 && o.noiseCorrelationMax > 0.0;
}
bool noiseCorrelationIsHeld(const PsdFitOptions& o) { return o.noiseCorrelationHeld >= 0.0; }
bool correlatedNoise(const PsdFitOptions& o) {
    return shapedNoise(o) && !noiseCorrelationIsHeld(o);
}

// The roll-off: held at a known value, fitted in 0 .. resolutionMax, or none (0).
bool resolutionIsHeld(const PsdFitOptions& o) { return o.resolutionHeld >= 0.0; }
bool resolutionIsFitted(const PsdFitOptions& o) {
    return !resolutionIsHeld(o) && o.resolutionMax > 0.0;
}

// True when xi has both bounds: it then moves in log space between them.
bool xiBounded(const PsdFitOptions& o) { return o.xiMin > 0.0 && o.xiMax > o.xiMin; }

// xi and d xi / d q from its free parameter q: exp(ln xiMin + (ln xiMax - ln xiMin)
// logistic(q)) with both bounds, else xiMin + exp(q).
Bounded xiOf(double q, const PsdFitOptions& o) {
    if (xiBounded(o)) {
        const Bounded b = bounded(q, std::log(o.xiMax / o.xiMin));
        const double xi = o.xiMin * std::exp(b.value);
        return {xi, xi * b.slope};
    }
    return {o.xiMin + std::exp(q), std::exp(q)};
}

double unbounded(double value, double top) {
    if (!(top > 0.0)) return 0.0;
    const double v = std::fmin(std::fmax(value, 0.02 * top), 0.98 * top);
    return std::log(v / (top - v));
}

// The free parameter of xi for a start value (held inside its bounds).
double freeXi(double xi, const PsdFitOptions& o) {
    if (xiBounded(o)) return unbounded(std::log(xi / o.xiMin), std::log(o.xiMax / o.xiMin));
    return std::log(std::fmax(xi - o.xiMin, 0.05 * (o.xiMin > 0.0 ? o.xiMin : xi)));
}

// The free parameters in the fit's order: ln psd0, xi's, alpha's, ln N, then the roll-off's and
// rho's when they are fitted.
std::vector<double> freeParameters(double lnPsd0,
                                   double xi,
                                   double alpha,
                                   double lnFloor,
                                   double resolution,
                                   double rho,
                                   const PsdFitOptions& o) {
    std::vector<double> x = {lnPsd0, xi, alpha, lnFloor};
    if (resolutionIsFitted(o)) x.push_back(resolution);
    if (correlatedNoise(o)) x.push_back(rho);
    return x;
}

// The free parameters at a fitted `fit` (a floor reported as 0 taken as 1e-12 of psd0).
std::vector<double> freeParametersOf(const PsdFit& fit, const PsdFitOptions& o) {
    const double floor = fit.noiseFloor > 0.0 ? fit.noiseFloor : 1e-12 * fit.psd0;
    return freeParameters(std::log(fit.psd0), freeXi(fit.xi, o), unbounded(fit.alpha, o.alphaMax),
                          std::log(floor), unbounded(fit.resolution, o.resolutionMax),
                          unbounded(fit.noiseCorrelation, o.noiseCorrelationMax), o);
}

// Where xi and alpha count as ended at a bound.
bool alphaAtUpperBound(const PsdFit& fit, const PsdFitOptions& o) {
    return fit.alpha >= 0.97 * o.alphaMax;
}
bool alphaAtLowerBound(const PsdFit& fit, const PsdFitOptions& o) {
    return fit.alpha <= 0.03 * o.alphaMax;
}
bool xiAtUpperBound(const PsdFit& fit, const PsdFitOptions& o) {
    return xiBounded(o) && fit.xi >= 0.9 * o.xiMax;
}
bool xiAtLowerBound(const PsdFit& fit, const PsdFitOptions& o) {
    return o.xiMin > 0.0 && fit.xi <= 1.1 * o.xiMin;
}

// "converged", with a note for every parameter that ended at a bound (its value then says
// only that the data do not fix it within the bounds).
std::string convergedStatus(const PsdFit& fit, const PsdFitOptions& o) {
    std::string notes;
    auto note = [&notes](const char* text) {
        notes += notes.empty() ? "; " : ", ";
        notes += text;
    };
    if (alphaAtUpperBound(fit, o)) note("alpha at its upper bound");
    if (alphaAtLowerBound(fit, o)) note("alpha at its lower bound");
    if (xiAtUpperBound(fit, o)) note("xi at its upper bound (the line length)");
    if (xiAtLowerBound(fit, o)) note("xi at its lower bound");
    if (shapedNoise(o) && fit.noiseCorrelation >= 0.97 * o.noiseCorrelationMax)
        note("noise correlation at its upper bound");
    return "converged" + notes;
}

// psi(x) - ln x, the mean of ln(chi-square_2x / 2x), x > 0: by its asymptotic series for
// x >= 10 (error below 1e-12); below, shifted up with psi(x) = psi(x + 1) - 1 / x.
double logMeanBias(double x) {
    double shift = 0.0;
    double y = x;
    while (y < 10.0) {
        shift -= 1.0 / y;
        y += 1.0;
    }
    const double r = 1.0 / (y * y);
    const double asymptotic = -0.5 / y - r * (1.0 / 12.0 - r * (1.0 / 120.0 - r * (1.0 / 252.0)));
    return y == x ? asymptotic : asymptotic + std::log(y / x) + shift;
}

// The data term of band j: ln v_j minus the mean of the logarithm of a chi-square average.
double logTarget(const BinnedPsd& b, size_t j) {
    return std::log(b.value[j]) - logMeanBias(0.5 * b.dof[j]);
}

struct Parameters {
    double psd0;
    double xi;
    double xiSlope;  // d xi / d q
    Bounded alpha;
    double floor;
    Bounded resolution;
    Bounded rho;
};

// sum_{k=1..lags} cos(2 pi f k spacing).
double lagCosines(double f, int32_t lags, double spacing) {
    double s = 0.0;
    for (int32_t k = 1; k <= lags; ++k) s += std::cos(2.0 * kPi * f * k * spacing);
    return s;
}

// The noise term's shape from rho and the band's lagCosines.
double noiseFactor(double rho, double cosines) { return 1.0 + 2.0 * rho * cosines; }

Parameters unpack(const gsl_vector* x, const FitData& data) {
    Parameters p;
    p.psd0 = std::exp(gsl_vector_get(x, 0));
    const Bounded xi = xiOf(gsl_vector_get(x, 1), data.options);
    p.xi = xi.value;
    p.xiSlope = xi.slope;
    p.alpha = bounded(gsl_vector_get(x, 2), data.options.alphaMax);
    p.floor = std::exp(gsl_vector_get(x, 3));
    p.resolution =
        data.withResolution
            ? bounded(gsl_vector_get(x, 4), data.options.resolutionMax)
            : Bounded{resolutionIsHeld(data.options) ? data.options.resolutionHeld : 0.0, 0.0};
    if (data.withCorrelation)
        p.rho = bounded(gsl_vector_get(x, static_cast<size_t>(data.parameters - 1)),
                        data.options.noiseCorrelationMax);
    else
        p.rho = {data.shaped ? data.options.noiseCorrelationHeld : 0.0, 0.0};
    return p;
}

int residuals(const gsl_vector* x, void* params, gsl_vector* f) {
    const FitData* data = static_cast<const FitData*>(params);
    const BinnedPsd& b = *data->binned;
    const Parameters p = unpack(x, *data);
    for (size_t j = 0; j < b.frequency.size(); ++j) {
        const double shape = data->shaped ? noiseFactor(p.rho.value, data->cosines[j]) : 1.0;
        const double factor = data->factor != nullptr ? (*data->factor)[j] : 1.0;
        const double m = factor * psdModel(b.frequency[j], p.psd0, p.xi, p.alpha.value, 0.0,
                                           p.resolution.value) +
                         p.floor * shape;
        gsl_vector_set(f, j, std::log(m) - data->target[j]);
    }
    return GSL_SUCCESS;
}

int jacobian(const gsl_vector* x, void* params, gsl_matrix* jac) {
    const FitData* data = static_cast<const FitData*>(params);
    const BinnedPsd& b = *data->binned;
    const Parameters p = unpack(x, *data);
    for (size_t j = 0; j < b.frequency.size(); ++j) {
        const double u = 2.0 * kPi * b.frequency[j] * p.xi;
        const double g = 1.0 + u * u;
        const double q = 2.0 * kPi * b.frequency[j];
        const double roll = std::exp(-(q * p.resolution.value) * (q * p.resolution.value));
        const double factor = data->factor != nullptr ? (*data->factor)[j] : 1.0;
        const double signal = factor * p.psd0 * std::pow(g, -(p.alpha.value + 0.5)) * roll;
        const double cosines = data->shaped ? data->cosines[j] : 0.0;
        const double noise = p.floor * noiseFactor(p.rho.value, cosines);
        const double m = signal + noise;
        const double share = signal / m;
        gsl_matrix_set(jac, j, 0, share);
        // d ln M / d ln xi, times d ln xi / d q.
        gsl_matrix_set(jac, j, 1,
                       -share * (2.0 * p.alpha.value + 1.0) * (u * u) / g * (p.xiSlope / p.xi));
        gsl_matrix_set(jac, j, 2, -share * std::log(g) * p.alpha.slope);
        gsl_matrix_set(jac, j, 3, noise / m);
        if (data->withResolution)
            gsl_matrix_set(jac, j, 4,
                           -share * 2.0 * q * q * p.resolution.value * p.resolution.slope);
        if (data->withCorrelation)
            gsl_matrix_set(jac, j, static_cast<size_t>(data->parameters - 1),
                           p.floor * 2.0 * cosines * p.rho.slope / m);
    }
    return GSL_SUCCESS;
}

// The cost after every iteration of a run.
void recordCost(const size_t, void* params, const gsl_multifit_nlinear_workspace* w) {
    const gsl_vector* f = gsl_multifit_nlinear_residual(w);
    double cost = 0.0;
    gsl_blas_ddot(f, f, &cost);
    static_cast<std::vector<double>*>(params)->push_back(cost);
}

// One trust-region run from `start` (the free parameters). Returns the fit and its weighted
// cost (sum of w r^2) in `cost`. With `iterate` false the fit stays at `start` and only its
// cost and intervals are worked out there.
PsdFit runFit(const BinnedPsd& binned,
              const PsdFitOptions& options,
              const std::vector<double>* factor,
              const double* start,
              double& cost,
              bool iterate = true) {
    PsdFit fit;
    cost = HUGE_VAL;
    const size_t n = binned.frequency.size();
    const bool withResolution = resolutionIsFitted(options);
    const bool withCorrelation = correlatedNoise(options);
    FitData data{&binned,
                 options,
                 4 + (withResolution ? 1 : 0) + (withCorrelation ? 1 : 0),
                 withResolution,
                 withCorrelation,
                 shapedNoise(options),
                 {},
                 {},
                 factor};
    const size_t np = static_cast<size_t>(data.parameters);
    data.target.resize(n);
    for (size_t j = 0; j < n; ++j) data.target[j] = logTarget(binned, j);
    if (data.shaped) {
        data.cosines.resize(n);
        for (size_t j = 0; j < n; ++j)
            data.cosines[j] =
                lagCosines(binned.frequency[j], options.noiseLags, options.noiseLagSpacing);
    }
    gsl_multifit_nlinear_fdf fdf;
    fdf.f = residuals;
    fdf.df = jacobian;
    fdf.fvv = nullptr;
    fdf.n = n;
    fdf.p = np;
    fdf.params = &data;
    gsl_multifit_nlinear_parameters parameters = gsl_multifit_nlinear_default_parameters();
    gsl_multifit_nlinear_workspace* work =
        gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &parameters, n, np);
    gsl_vector* x = gsl_vector_alloc(np);
    gsl_vector* weights = gsl_vector_alloc(n);
    if (work == nullptr || x == nullptr || weights == nullptr) {
        if (work != nullptr) gsl_multifit_nlinear_free(work);
        if (x != nullptr) gsl_vector_free(x);
        if (weights != nullptr) gsl_vector_free(weights);
        fit.status = "no memory for the fit";
        return fit;
    }
    for (size_t i = 0; i < np; ++i) gsl_vector_set(x, i, start[i]);
    for (size_t j = 0; j < n; ++j) gsl_vector_set(weights, j, 0.5 * binned.dof[j]);
    int info = 0;
    std::vector<double> costs;
    costs.reserve(static_cast<size_t>(kMaxIterations));
    int status = gsl_multifit_nlinear_winit(x, weights, &fdf, work);
    if (status == GSL_SUCCESS && iterate)
        status = gsl_multifit_nlinear_driver(kMaxIterations, 1e-8, 1e-8, 0.0, recordCost, &costs,
                                             &info, work);
    if (status == GSL_EMAXITER && costs.size() > static_cast<size_t>(kStalledIterations)) {
        const double earlier = costs[costs.size() - 1 - static_cast<size_t>(kStalledIterations)];
        if (earlier - costs.back() <= kStalledCostChange) status = GSL_ENOPROG;
    }
    const gsl_vector* best = gsl_multifit_nlinear_position(work);
    const Parameters p = unpack(best, data);
    const double lnPsd0 = gsl_vector_get(best, 0);
    const double lnFloor = gsl_vector_get(best, 3);
    fit.iterations = static_cast<int32_t>(gsl_multifit_nlinear_niter(work));
    double chisq = HUGE_VAL;
    gsl_blas_ddot(gsl_multifit_nlinear_residual(work), gsl_multifit_nlinear_residual(work), &chisq);
    // Standard errors of ln xi and alpha from the weighted Jacobian at the solution (the
    // weights are the inverse variances of the log band values, so (J^T W J)^-1 is the
    // parameters' covariance), times max(1, chi-square per degree of freedom) so that a model
    // the data do not follow widens them; carried from the free parameters by their slopes.
    double lnXiError = kNaN;
    double alphaError = kNaN;
    if (n > np) {
        gsl_matrix* covariance = gsl_matrix_alloc(np, np);
        if (covariance != nullptr && gsl_multifit_nlinear_covar(gsl_multifit_nlinear_jac(work), 0.0,
                                                                covariance) == GSL_SUCCESS) {
            const double scale = std::fmax(1.0, chisq / static_cast<double>(n - np));
            lnXiError = std::sqrt(gsl_matrix_get(covariance, 1, 1) * scale) * (p.xiSlope / p.xi);
            alphaError = std::sqrt(gsl_matrix_get(covariance, 2, 2) * scale) * p.alpha.slope;
        }
        if (covariance != nullptr) gsl_matrix_free(covariance);
    }
    gsl_multifit_nlinear_free(work);
    gsl_vector_free(x);
    gsl_vector_free(weights);

    fit.psd0 = p.psd0;
    fit.xi = p.xi;
    fit.alpha = p.alpha.value;
    fit.resolution = p.resolution.value;
    fit.resolutionHeld = resolutionIsHeld(options);
    fit.noiseCorrelation = p.rho.value;
    fit.noiseLags = data.shaped ? options.noiseLags : 0;
    fit.noiseLagSpacing = data.shaped ? options.noiseLagSpacing : 0.0;
    // A floor many decades below the roughness part is no floor: the fit drives ln N down
    // without bound and it is reported as 0.
    fit.noiseFloor = lnFloor < lnPsd0 - 40.0 ? 0.0 : p.floor;
    const bool finite = std::isfinite(fit.psd0) && std::isfinite(fit.xi) &&
                        std::isfinite(fit.alpha) && std::isfinite(fit.noiseFloor) &&
                        std::isfinite(fit.resolution) && std::isfinite(chisq);
    double weightSum = 0.0;
    for (size_t j = 0; j < n; ++j) weightSum += 0.5 * binned.dof[j];
    // The residual GSL keeps is already weighted (sqrt(w) r).
    fit.rmsLogResidual = std::sqrt(chisq / weightSum);
    if (!finite) {
        fit.status = "the fit diverged (non-finite parameters)";
    } else if (status == GSL_SUCCESS || status == GSL_ENOPROG) {
        // GSL_ENOPROG: no step lowers the cost any more, i.e. the minimum is reached to the
        // precision of the arithmetic.
        fit.ok = true;
        fit.status = convergedStatus(fit, options);
        cost = chisq;
        // At a bound the linearised errors say nothing (the bound, not the data, holds the
        // parameter there).
        std::string atBound;
        if (alphaAtUpperBound(fit, options)) atBound = "alpha at its upper bound";
        if (alphaAtLowerBound(fit, options)) atBound = "alpha at its lower bound";
        if (xiAtUpperBound(fit, options) || xiAtLowerBound(fit, options))
            atBound += std::string(atBound.empty() ? "" : " and ") + "xi at its " +
                       (xiAtUpperBound(fit, options) ? "upper" : "lower") + " bound";
        if (!atBound.empty()) {
            fit.intervalReason =
                atBound + ", held there by the bound, not by the data: no interval";
        } else if (std::isfinite(lnXiError) && std::isfinite(alphaError)) {
            fit.xiCi95 = kZ95 * fit.xi * lnXiError;
            fit.alphaCi95 = kZ95 * alphaError;
        } else {
            fit.intervalReason = "the fit's covariance could not be had: no interval";
        }
    } else if (status == GSL_EMAXITER) {
        fit.status = "did not converge in " + std::to_string(kMaxIterations) + " iterations";
    } else {
        fit.status = std::string("the fit failed: ") + gsl_strerror(status);
    }
    if (!fit.ok) fit.intervalReason = fit.status;
    return fit;
}

}  // namespace

void disableGslAbort() {
    static std::once_flag once;
    std::call_once(once, [] { gsl_set_error_handler_off(); });
}

double psdModel(double f, double psd0, double xi, double alpha, double floor, double resolution) {
    const double u = 2.0 * kPi * f * xi;
    const double q = 2.0 * kPi * f * resolution;
    return psd0 * std::pow(1.0 + u * u, -(alpha + 0.5)) * std::exp(-q * q) + floor;
}

double noiseShape(double f, const PsdFit& fit) {
    if (fit.noiseLags < 1 || !(fit.noiseCorrelation > 0.0)) return 1.0;
    return noiseFactor(fit.noiseCorrelation, lagCosines(f, fit.noiseLags, fit.noiseLagSpacing));
}

double fittedPsd(double f, const PsdFit& fit) {
    return psdModel(f, fit.psd0, fit.xi, fit.alpha, 0.0, fit.resolution) +
           fit.noiseFloor * noiseShape(f, fit);
}

namespace {

// Variance of the mean of `count` neighbouring bins over that of as many independent ones:
// 1 + 2 sum over d of (1 - d / count) rho(d) for the pairs d bins apart.
double meanVarianceFactor(int32_t count) {
    const double c = count;
    double factor = 1.0;
    for (int32_t d = 1; d < count; ++d)
        factor += 2.0 * (1.0 - d / c) * periodogramBinCorrelation(d);
    return factor;
}

}  // namespace

double bandDof(int32_t count, double seriesCount) {
    // Tabulated once for the band widths that occur (up to 512 bins: spectra of 12800 rows);
    // bandDof runs for every band of every bootstrap resample.
    constexpr int32_t kTabulated = 512;
    static const std::vector<double> factors = [] {
        std::vector<double> t(static_cast<size_t>(kTabulated) + 1, 1.0);
        for (int32_t c = 1; c <= kTabulated; ++c) t[static_cast<size_t>(c)] = meanVarianceFactor(c);
        return t;
    }();
    const double factor = count >= 1 && count <= kTabulated ? factors[static_cast<size_t>(count)]
                                                            : meanVarianceFactor(count);
    return 2.0 * seriesCount * count / factor;
}

void binPsd(const double* f,
            const double* psd,
            int32_t n,
            double seriesCount,
            BinnedPsd& out,
            const BinnedPsd* layoutFrom) {
    if (layoutFrom != nullptr && layoutFrom != &out) {
        out.firstBin = layoutFrom->firstBin;
        out.binCount = layoutFrom->binCount;
    } else if (layoutFrom == nullptr) {
        out.firstBin.clear();
        out.binCount.clear();
        int32_t k = 0;
        while (k < n) {
            // Bins are numbered from 1 at the lowest frequency kept here.
            int32_t count = static_cast<int32_t>(kBandFraction * (k + 1));
            if (count < 1) count = 1;
            if (k + count > n) count = n - k;
            // A short remainder joins the band before it.
            if (n - (k + count) > 0 && n - (k + count) < count / 2) count = n - k;
            out.firstBin.push_back(k);
            out.binCount.push_back(count);
            k += count;
        }
    }
    const size_t bands = out.firstBin.size();
    out.frequency.resize(bands);
    out.value.resize(bands);
    out.dof.resize(bands);
    for (size_t j = 0; j < bands; ++j) {
        const int32_t first = out.firstBin[j];
        const int32_t count = out.binCount[j];
        double sf = 0.0;
        double sp = 0.0;
        for (int32_t k = first; k < first + count; ++k) {
            sf += f[k];
            sp += psd[k];
        }
        out.frequency[j] = sf / count;
        out.value[j] = sp / count;
        out.dof[j] = bandDof(count, seriesCount);
    }
}

namespace {

// The fit of the model (times `factor` per band, when given) from `start` or from the data.
PsdFit fitModel(const BinnedPsd& binned,
                const PsdFitOptions& options,
                const PsdFit* start,
                const std::vector<double>* factor) {
    PsdFit fit;
    const size_t n = binned.frequency.size();
    if (n < static_cast<size_t>(kMinBands)) {
        fit.status = "too few points to fit (" + std::to_string(n) + " bands, at least " +
                     std::to_string(kMinBands) + " needed)";
        return fit;
    }
    for (size_t j = 0; j < n; ++j) {
        if (!(binned.value[j] > 0.0) || !std::isfinite(binned.value[j]) ||
            !(binned.frequency[j] > 0.0) || !(binned.dof[j] > 0.0)) {
            fit.status = "the spectrum has zero or non-finite values";
            return fit;
        }
    }
    if (!(options.alphaMax > 0.0) || !(options.resolutionMax >= 0.0) || !(options.xiMin >= 0.0) ||
        std::isinf(options.resolutionHeld) ||
        options.noiseCorrelationHeld > options.noiseCorrelationMax) {
        fit.status = "no valid parameter range";
        return fit;
    }
    if (start != nullptr && start->ok && start->psd0 > 0.0 && start->xi > 0.0) {
        double cost = 0.0;
        const std::vector<double> x = freeParametersOf(*start, options);
        return runFit(binned, options, factor, x.data(), cost);
    }

    // Start values from the data.
    const size_t lowCount = n < 3 ? n : 3;
    double low = 0.0;
    for (size_t j = 0; j < lowCount; ++j) low += binned.value[j];
    low /= static_cast<double>(lowCount);
    const size_t highCount = n / 10 > 0 ? n / 10 : 1;
    double high = 0.0;
    for (size_t j = n - highCount; j < n; ++j) high += binned.value[j];
    high /= static_cast<double>(highCount);
    const double floor0 = 0.5 * high;
    const double psd00 = low > floor0 ? low - floor0 : low;
    double corner = binned.frequency[n - 1];
    for (size_t j = 0; j < n; ++j) {
        if (binned.value[j] - floor0 < 0.5 * psd00) {
            corner = binned.frequency[j];
            break;
        }
    }
    const double xi0 = 1.0 / (2.0 * kPi * corner);
    const double alphas[] = {0.5, 1.0, 0.25};
    PsdFit bestFit;
    double bestCost = HUGE_VAL;
    std::string firstFailure;
    for (double alpha0 : alphas) {
        if (alpha0 >= options.alphaMax) continue;
        const std::vector<double> x = freeParameters(
            std::log(psd00), freeXi(xi0, options), unbounded(alpha0, options.alphaMax),
            std::log(floor0), unbounded(0.25 * options.resolutionMax, options.resolutionMax),
            unbounded(0.25 * options.noiseCorrelationMax, options.noiseCorrelationMax), options);
        double cost = HUGE_VAL;
        PsdFit trial = runFit(binned, options, factor, x.data(), cost);
        if (trial.ok && cost < bestCost) {
            bestCost = cost;
            bestFit = trial;
        } else if (!trial.ok && firstFailure.empty()) {
            firstFailure = trial.status;
        }
    }
    if (!bestFit.ok) bestFit.status = firstFailure.empty() ? "the fit failed" : firstFailure;
    return bestFit;
}

// Per band, the mean of the expected periodogram's bins (expectedPeriodogram of the roughness
// part of `fit`) over the model at the band's frequency. Empty when it cannot be had.
std::vector<double> expectationFactors(const BinnedPsd& binned,
                                       const PsdFitOptions& options,
                                       const PsdFit& fit) {
    const int32_t n = options.periodogramRows;
    const double dy = options.periodogramSpacing;
    auto roughness = [&fit](double f) {
        return psdModel(f, fit.psd0, fit.xi, fit.alpha, 0.0, fit.resolution);
    };
    std::vector<double> expected;
    if (!expectedPeriodogram(n, dy, roughness, expected)) return {};
    const size_t bands = binned.frequency.size();
    if (binned.binCount.size() != bands) return {};
    std::vector<double> factor(bands, 1.0);
    for (size_t j = 0; j < bands; ++j) {
        // The band's bins are consecutive; their mean frequency is the band's.
        const int32_t count = binned.binCount[j];
        const long first = std::lround(binned.frequency[j] * n * dy - 0.5 * (count - 1));
        if (first < 1 || first + count - 1 > n / 2) return {};
        double sum = 0.0;
        for (long k = first; k < first + count; ++k) sum += expected[static_cast<size_t>(k)];
        const double model = roughness(binned.frequency[j]);
        if (!(model > 0.0)) return {};
        factor[j] = sum / count / model;
    }
    return factor;
}

// rho of the noise term read from the bands at and above options.noiseCorrelationBand cycles
// per row: there the data less the roughness part of `fit` are N (1 + 2 rho c_j), c_j the
// band's lagCosines, so a weighted straight line through them against 2 c_j has intercept N
// and slope N rho. Weights dof_j / (the fit's noise term)^2, the inverse variances of the band
// means. False (rho untouched) without a band, with fewer than 3 bands in it, or when the line
// gives no positive N; rho is kept within 0 .. noiseCorrelationMax.
bool upperBandCorrelation(const BinnedPsd& binned,
                          const PsdFitOptions& options,
                          const PsdFit& fit,
                          double& rho) {
    const double start = options.noiseCorrelationBand;
    if (!(start > 0.0 && start < 0.5)) return false;
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> w;
    for (size_t j = 0; j < binned.frequency.size(); ++j) {
        const double f = binned.frequency[j];
        if (f * options.noiseLagSpacing < start) continue;
        const double c = lagCosines(f, options.noiseLags, options.noiseLagSpacing);
        const double noise = fit.noiseFloor * noiseFactor(fit.noiseCorrelation, c);
        if (!(noise > 0.0)) return false;
        x.push_back(2.0 * c);
        y.push_back(binned.value[j] -
                    psdModel(f, fit.psd0, fit.xi, fit.alpha, 0.0, fit.resolution));
        w.push_back(binned.dof[j] / (noise * noise));
    }
    if (x.size() < 3) return false;
    double intercept = 0.0;
    double slope = 0.0;
    double c00 = 0.0;
    double c01 = 0.0;
    double c11 = 0.0;
    double chisq = 0.0;
    if (gsl_fit_wlinear(x.data(), 1, w.data(), 1, y.data(), 1, x.size(), &intercept, &slope, &c00,
                        &c01, &c11, &chisq) != GSL_SUCCESS ||
        !(intercept > 0.0) || !std::isfinite(slope))
        return false;
    rho = std::fmin(std::fmax(slope / intercept, 0.0), options.noiseCorrelationMax);
    return true;
}

}  // namespace

PsdFit fitPsd(const BinnedPsd& binned, const PsdFitOptions& options, const PsdFit* start) {
    disableGslAbort();
    PsdFit fit = fitModel(binned, options, start, nullptr);
    if (!fit.ok) {
        fit.intervalReason = fit.status;
        return fit;
    }
    // rho read from the high bands, then held.
    PsdFitOptions held = options;
    double rho = 0.0;
    const bool read = correlatedNoise(options) && upperBandCorrelation(binned, options, fit, rho);
    if (read) held.noiseCorrelationHeld = rho;
    // The model against the periodogram's expectation, not its own value. The factors depend a
    // little on the parameters; made once from the plain fit they leave no bias that a second
    // round would take away (xi of 10 and 40 rows in 1024, alpha 0.5 and 0.8: within 1 %).
    std::vector<double> factor;
    if (options.periodogramRows >= 4 && options.periodogramSpacing > 0.0)
        factor = expectationFactors(binned, options, fit);
    if (factor.empty() && !read) return fit;
    const std::vector<double>* factors = factor.empty() ? nullptr : &factor;
    PsdFit refined = fitModel(binned, held, &fit, factors);
    if (!refined.ok) return fit;
    if (read && std::isfinite(refined.xiCi95)) {
        // The intervals of xi and alpha as if rho were free at its read value, so that they hold
        // what the read's own scatter does to them (rho trades with alpha).
        const std::vector<double> x = freeParametersOf(refined, options);
        double cost = 0.0;
        const PsdFit spread = runFit(binned, options, factors, x.data(), cost, false);
        refined.xiCi95 = spread.xiCi95;
        refined.alphaCi95 = spread.alphaCi95;
        refined.intervalReason = spread.intervalReason;
    }
    refined.expectationFactor = std::move(factor);
    return refined;
}

BandShapes bandShapes(const BinnedPsd& layout, const PsdFit& shape) {
    BandShapes out;
    const bool factors = shape.expectationFactor.size() == layout.frequency.size();
    for (size_t j = 0; j < layout.frequency.size(); ++j) {
        const double f = layout.frequency[j];
        out.roughness.push_back((factors ? shape.expectationFactor[j] : 1.0) *
                                psdModel(f, 1.0, shape.xi, shape.alpha, 0.0, shape.resolution));
        out.noise.push_back(noiseShape(f, shape));
    }
    return out;
}

PsdFit refitLevels(const BinnedPsd& binned, const PsdFit& shape, const BandShapes* atBands) {
    PsdFit fit = shape;
    fit.ok = false;
    fit.iterations = 0;
    const size_t n = binned.frequency.size();
    if (!shape.ok || n < static_cast<size_t>(kMinBands)) {
        fit.status = shape.ok ? "too few points to fit" : "no shape to refit";
        return fit;
    }
    const bool cached = atBands != nullptr && atBands->roughness.size() == n;
    const BandShapes own = cached ? BandShapes() : bandShapes(binned, shape);
    const std::vector<double>& s = cached ? atBands->roughness : own.roughness;
    const std::vector<double>& noise = cached ? atBands->noise : own.noise;
    std::vector<double> y(n);
    std::vector<double> w(n);
    for (size_t j = 0; j < n; ++j) {
        if (!(binned.value[j] > 0.0) || !std::isfinite(binned.value[j]) || !(binned.dof[j] > 0.0)) {
            fit.status = "the spectrum has zero or non-finite values";
            return fit;
        }
        y[j] = logTarget(binned, j);
        w[j] = 0.5 * binned.dof[j];
    }
    double u = std::log(shape.psd0);
    // A floor of 0 is held just above 0, where it changes nothing.
    double v = std::log(shape.noiseFloor > 0.0 ? shape.noiseFloor : 1e-12 * shape.psd0);
    // One pass gives the cost, the gradient and the Gauss-Newton matrix at (uu, vv).
    struct Pass {
        double cost = 0.0;
        double h11 = 0.0;
        double h12 = 0.0;
        double h22 = 0.0;
        double g1 = 0.0;
        double g2 = 0.0;
    };
    auto passAt = [&](double uu, double vv) {
        Pass p;
        const double a = std::exp(uu);
        const double b = std::exp(vv);
        for (size_t j = 0; j < n; ++j) {
            const double m = a * s[j] + b * noise[j];
            const double r = std::log(m) - y[j];
            const double j1 = a * s[j] / m;
            const double j2 = b * noise[j] / m;
            p.cost += w[j] * r * r;
            p.h11 += w[j] * j1 * j1;
            p.h12 += w[j] * j1 * j2;
            p.h22 += w[j] * j2 * j2;
            p.g1 += w[j] * j1 * r;
            p.g2 += w[j] * j2 * r;
        }
        return p;
    };
    Pass here = passAt(u, v);
    double lambda = 1e-3;
    bool converged = false;
    int32_t iteration = 0;
    int32_t rejected = 0;
    while (iteration < 100 && !converged) {
        const double d11 = here.h11 * (1.0 + lambda);
        const double d22 = here.h22 * (1.0 + lambda);
        const double det = d11 * d22 - here.h12 * here.h12;
        if (!(det > 0.0)) {
            lambda *= 10.0;
            if (++rejected > 30) break;
            continue;
        }
        const double du = -(d22 * here.g1 - here.h12 * here.g2) / det;
        const double dv = -(d11 * here.g2 - here.h12 * here.g1) / det;
        const bool small = std::fabs(du) < 1e-5 && std::fabs(dv) < 1e-5;
        const Pass there = passAt(u + du, v + dv);
        if (there.cost <= here.cost) {
            u += du;
            v += dv;
            // Converged also when the cost no longer moves, or when the floor has sunk many
            // decades below the roughness part (where it changes nothing: reported as 0).
            converged = small || here.cost - there.cost <= 1e-10 * here.cost || v < u - 40.0;
            here = there;
            lambda = std::fmax(lambda / 3.0, 1e-12);
            rejected = 0;
            ++iteration;
        } else if (small || ++rejected > 30) {
            converged = true;  // no step lowers the cost: at the minimum
        } else {
            lambda *= 4.0;
        }
    }
    const double cost = here.cost;
    fit.iterations = iteration;
    fit.psd0 = std::exp(u);
    fit.noiseFloor = v < u - 40.0 ? 0.0 : std::exp(v);
    double weightSum = 0.0;
    for (size_t j = 0; j < n; ++j) weightSum += w[j];
    fit.rmsLogResidual = std::sqrt(cost / weightSum);
    if (!std::isfinite(fit.psd0) || !std::isfinite(fit.noiseFloor)) {
        fit.status = "the fit diverged (non-finite parameters)";
    } else if (!converged) {
        fit.status = "did not converge in 100 iterations";
    } else {
        fit.ok = true;
        fit.status = "converged (xi and alpha held)";
    }
    return fit;
}
