#include "validate/bound.h"

#include <fftw3.h>
#include <gsl/gsl_blas.h>
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "metrology/fftw_planner.h"
#include "metrology/metrology.h"
#include "metrology/psd_fit.h"
#include "validate/validation.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int32_t kParameters = 5;  // variance, xi, alpha, roll-off, noise variance
constexpr int32_t kGridPerRow = 8;

struct Theta {
    double variance, xi, alpha, resolution, noiseVariance;
};

Theta thetaOf(const BoundCase& c) {
    return {c.sigmaRows * c.sigmaRows, c.xiRows, c.alpha, c.resolutionRows,
            c.noiseSigma * c.noiseSigma};
}

double& component(Theta& t, int32_t i) {
    double* p[kParameters] = {&t.variance, &t.xi, &t.alpha, &t.resolution, &t.noiseVariance};
    return *p[i];
}

bool validCase(const BoundCase& c) {
    return c.rows >= 16 && c.series >= 1 && c.xiRows > 0.0 && c.alpha > 0.0 && c.sigmaRows > 0.0 &&
           c.resolutionRows > 0.0 && c.noiseSigma > 0.0 &&
           std::isfinite(c.xiRows + c.alpha + c.sigmaRows + c.resolutionRows + c.noiseSigma);
}

// Per frequency bin k = 0 .. grid / 2 of the periodic grid, the share of the roughness variance
// (two-sided: the bins k and grid - k both carry it), so that the sum over all grid bins is
// the variance of the unblurred course; the roll-off then takes its share away.
std::vector<double> binVariances(const Theta& t, int32_t grid) {
    std::vector<double> g(static_cast<size_t>(grid / 2 + 1));
    double total = 0.0;
    for (int32_t k = 0; k <= grid / 2; ++k) {
        const double u = 2.0 * kPi * k / grid * t.xi;
        g[static_cast<size_t>(k)] = std::pow(1.0 + u * u, -(t.alpha + 0.5));
        total +=
            (k == 0 || k == grid / 2) ? g[static_cast<size_t>(k)] : 2.0 * g[static_cast<size_t>(k)];
    }
    for (int32_t k = 0; k <= grid / 2; ++k) {
        const double v = 2.0 * kPi * k / grid * t.resolution;
        g[static_cast<size_t>(k)] *= t.variance / total * std::exp(-v * v);
    }
    return g;
}

// Autocovariance of the rows at lags 0 .. rows - 1, detector noise included.
std::vector<double> rowCovariance(const Theta& t, int32_t rows, RealFft& grid, int32_t n) {
    const std::vector<double> g = binVariances(t, n);
    for (int32_t k = 0; k <= n / 2; ++k) {
        grid.spectrum[k][0] = g[static_cast<size_t>(k)];
        grid.spectrum[k][1] = 0.0;
    }
    grid.executeBackward();  // sum over all n bins of g cos(2 pi k m / n)
    std::vector<double> c(grid.real, grid.real + rows);
    c[0] += t.noiseVariance;
    return c;
}

using Matrix = std::unique_ptr<gsl_matrix, decltype(&gsl_matrix_free)>;

Matrix makeMatrix(size_t rows, size_t columns) {
    return Matrix(gsl_matrix_alloc(rows, columns), &gsl_matrix_free);
}

void fillToeplitz(const std::vector<double>& c, gsl_matrix* m) {
    const int32_t n = static_cast<int32_t>(m->size1);
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j)
            gsl_matrix_set(m, static_cast<size_t>(i), static_cast<size_t>(j),
                           c[static_cast<size_t>(std::abs(i - j))]);
}

// Spread of xi / xi and alpha from the inverse of the Fisher information over `used`
// parameters (indices into the five, xi and alpha among them).
bool spreadFrom(const double fisher[kParameters][kParameters],
                const std::vector<int32_t>& used,
                double xi,
                ParameterSpread& out) {
    const size_t m = used.size();
    Matrix f = makeMatrix(m, m);
    for (size_t i = 0; i < m; ++i)
        for (size_t j = 0; j < m; ++j) gsl_matrix_set(f.get(), i, j, fisher[used[i]][used[j]]);
    if (gsl_linalg_cholesky_decomp1(f.get()) != GSL_SUCCESS) return false;
    if (gsl_linalg_cholesky_invert(f.get()) != GSL_SUCCESS) return false;
    size_t ix = m;
    size_t ia = m;
    for (size_t i = 0; i < m; ++i) {
        if (used[i] == 1) ix = i;
        if (used[i] == 2) ia = i;
    }
    if (ix == m || ia == m) return false;
    const double vx = gsl_matrix_get(f.get(), ix, ix);
    const double va = gsl_matrix_get(f.get(), ia, ia);
    out.xiRelative = std::sqrt(vx) / xi;
    out.alpha = std::sqrt(va);
    out.correlation = gsl_matrix_get(f.get(), ix, ia) / std::sqrt(vx * va);
    return true;
}

}  // namespace

bool cramerRaoBound(const BoundCase& c, CramerRaoBound& out) {
    out = CramerRaoBound();
    if (!validCase(c)) return false;
    gsl_set_error_handler_off();
    const int32_t n = c.rows;
    const size_t un = static_cast<size_t>(n);
    const int32_t gridLength = kGridPerRow * n;
    RealFft grid(gridLength);
    if (!grid.ok()) return false;
    const Theta theta = thetaOf(c);

    // Sigma^-1, then P = Sigma^-1 - Sigma^-1 X (X' Sigma^-1 X)^-1 X' Sigma^-1, X = [1, i].
    Matrix sigma = makeMatrix(un, un);
    fillToeplitz(rowCovariance(theta, n, grid, gridLength), sigma.get());
    if (gsl_linalg_cholesky_decomp1(sigma.get()) != GSL_SUCCESS) return false;
    if (gsl_linalg_cholesky_invert(sigma.get()) != GSL_SUCCESS) return false;
    Matrix x = makeMatrix(un, 2);
    for (size_t i = 0; i < un; ++i) {
        gsl_matrix_set(x.get(), i, 0, 1.0);
        gsl_matrix_set(x.get(), i, 1, (static_cast<double>(i) - 0.5 * (n - 1)) / n);
    }
    Matrix sx = makeMatrix(un, 2);
    gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, sigma.get(), x.get(), 0.0, sx.get());
    Matrix xsx = makeMatrix(2, 2);
    gsl_blas_dgemm(CblasTrans, CblasNoTrans, 1.0, x.get(), sx.get(), 0.0, xsx.get());
    if (gsl_linalg_cholesky_decomp1(xsx.get()) != GSL_SUCCESS) return false;
    if (gsl_linalg_cholesky_invert(xsx.get()) != GSL_SUCCESS) return false;
    Matrix t = makeMatrix(un, 2);
    gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, sx.get(), xsx.get(), 0.0, t.get());
    Matrix& p = sigma;
    gsl_blas_dgemm(CblasNoTrans, CblasTrans, -1.0, t.get(), sx.get(), 1.0, p.get());

    // A_i = P C_i, C_i by central differences (exact for the noise variance: the identity).
    std::vector<Matrix> a;
    Matrix derivative = makeMatrix(un, un);
    for (int32_t i = 0; i < kParameters; ++i) {
        std::vector<double> dc(un, 0.0);
        if (i == kParameters - 1) {
            dc[0] = 1.0;
        } else {
            Theta up = theta;
            Theta down = theta;
            const double h = 1e-4 * component(up, i);
            component(up, i) += h;
            component(down, i) -= h;
            const std::vector<double> cu = rowCovariance(up, n, grid, gridLength);
            const std::vector<double> cd = rowCovariance(down, n, grid, gridLength);
            for (size_t k = 0; k < un; ++k) dc[k] = (cu[k] - cd[k]) / (2.0 * h);
        }
        fillToeplitz(dc, derivative.get());
        a.push_back(makeMatrix(un, un));
        gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, p.get(), derivative.get(), 0.0,
                       a.back().get());
    }
    double fisher[kParameters][kParameters];
    for (int32_t i = 0; i < kParameters; ++i) {
        for (int32_t j = i; j < kParameters; ++j) {
            double trace = 0.0;
            for (size_t r = 0; r < un; ++r)
                for (size_t s = 0; s < un; ++s)
                    trace += gsl_matrix_get(a[i].get(), r, s) * gsl_matrix_get(a[j].get(), s, r);
            fisher[i][j] = fisher[j][i] = 0.5 * c.series * trace;
        }
    }
    return spreadFrom(fisher, {0, 1, 2, 3, 4}, c.xiRows, out.rollOffFitted) &&
           spreadFrom(fisher, {0, 1, 2, 4}, c.xiRows, out.rollOffKnown);
}

FitScatter fitScatter(
    const BoundCase& c, int32_t images, uint64_t seed, double xiTolerance, double alphaTolerance) {
    FitScatter out;
    out.images = images;
    if (!validCase(c) || images < 1) return out;
    const int32_t n = c.rows;
    const int32_t gridLength = kGridPerRow * n;
    RealFft grid(gridLength);
    if (!grid.ok()) return out;
    // Filter gain sqrt(gridLength g(k)): the inverse transform over gridLength of the shaped
    // white noise then has the variance sum of g over all bins.
    std::vector<double> gain = binVariances(thetaOf(c), gridLength);
    for (double& g : gain) g = std::sqrt(gridLength * g);
    std::mt19937_64 engine(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    const MetrologySettings settings;  // the measurement's defaults, pixel size 1
    double sx = 0.0, sxx = 0.0, sa = 0.0, saa = 0.0, sxa = 0.0;
    std::vector<std::vector<double>> series(static_cast<size_t>(c.series));
    for (int32_t image = 0; image < images; ++image) {
        for (std::vector<double>& s : series) {
            for (int32_t i = 0; i < gridLength; ++i) grid.real[i] = normal(engine);
            grid.executeForward();
            for (int32_t k = 0; k <= gridLength / 2; ++k) {
                grid.spectrum[k][0] *= gain[static_cast<size_t>(k)];
                grid.spectrum[k][1] *= gain[static_cast<size_t>(k)];
            }
            grid.executeBackward();
            s.assign(grid.real, grid.real + n);
            for (double& v : s) v = v / gridLength + c.noiseSigma * normal(engine);
        }
        BinnedPsd banded;
        if (!meanBandedSpectrum(series, 1.0, banded)) continue;
        const PsdFit fit = fitPsd(banded, spectrumFitOptions(settings, banded, n));
        if (!fit.ok) continue;
        const double x = fit.xi / c.xiRows;
        const double a = fit.alpha - c.alpha;
        ++out.fits;
        sx += x;
        sxx += x * x;
        sa += a;
        saa += a * a;
        sxa += x * a;
        if (std::fabs(x - 1.0) <= xiTolerance && std::fabs(a) <= alphaTolerance)
            ++out.withinTargets;
    }
    if (out.fits < 2) return out;
    const double k = out.fits;
    out.xiMeanRatio = sx / k;
    out.alphaMeanError = sa / k;
    const double vx = (sxx - sx * sx / k) / (k - 1.0);
    const double va = (saa - sa * sa / k) / (k - 1.0);
    out.spread.xiRelative = std::sqrt(vx);
    out.spread.alpha = std::sqrt(va);
    out.spread.correlation = (sxa - sx * sa / k) / (k - 1.0) / std::sqrt(vx * va);
    return out;
}

double chanceWithin(const ParameterSpread& spread, double xiTolerance, double alphaTolerance) {
    const double sx = spread.xiRelative;
    const double sa = spread.alpha;
    const double rho = spread.correlation;
    if (!(sx > 0.0) || !(sa > 0.0) || !(std::fabs(rho) < 1.0)) return std::nan("");
    // Integral over the xi error e of its density times the chance of alpha given e
    // (Simpson's rule on 400 intervals).
    const int32_t steps = 400;
    const double h = 2.0 * xiTolerance / steps;
    const double conditionalSd = sa * std::sqrt(1.0 - rho * rho);
    double sum = 0.0;
    for (int32_t i = 0; i <= steps; ++i) {
        const double e = -xiTolerance + i * h;
        const double mean = rho * sa / sx * e;
        const double inside = gsl_cdf_gaussian_P(alphaTolerance - mean, conditionalSd) -
                              gsl_cdf_gaussian_P(-alphaTolerance - mean, conditionalSd);
        const double density = std::exp(-0.5 * e * e / (sx * sx)) / (sx * std::sqrt(2.0 * kPi));
        const double weight = (i == 0 || i == steps) ? 1.0 : (i % 2 == 1 ? 4.0 : 2.0);
        sum += weight * density * inside;
    }
    return sum * h / 3.0;
}
