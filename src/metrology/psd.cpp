#include "metrology/psd.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

#include "metrology/fftw_planner.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Bins apart beyond which two periodogram bins are taken as uncorrelated (their correlation
// is below 1e-5 there).
constexpr int32_t kCorrelatedBins = 1024;

}  // namespace

std::vector<double> periodogramWindow(int32_t n, double& power) {
    power = 0.0;
    if (n < 1) return {};
    std::vector<double> w(static_cast<size_t>(n), 1.0);
    const int32_t taper =
        std::max<int32_t>(1, static_cast<int32_t>(std::lround(kTaperFraction * n)));
    for (int32_t i = 0; i < taper; ++i) {
        const double v = 0.5 - 0.5 * std::cos(kPi * (i + 0.5) / taper);
        // Short series: the two tapers may meet; the lower value holds.
        w[static_cast<size_t>(i)] = std::min(w[static_cast<size_t>(i)], v);
        w[static_cast<size_t>(n - 1 - i)] = std::min(w[static_cast<size_t>(n - 1 - i)], v);
    }
    for (double v : w) power += v * v;
    return w;
}

int32_t fillGaps(std::vector<double>& x) {
    const int32_t n = static_cast<int32_t>(x.size());
    int32_t previous = -1;  // index of the last finite value seen
    int32_t filled = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[static_cast<size_t>(i)])) continue;
        const int32_t gap = i - previous - 1;
        if (gap > 0) {
            const double right = x[static_cast<size_t>(i)];
            const double left = previous >= 0 ? x[static_cast<size_t>(previous)] : right;
            for (int32_t j = previous + 1; j < i; ++j) {
                const double t = static_cast<double>(j - previous) / static_cast<double>(gap + 1);
                x[static_cast<size_t>(j)] = previous >= 0 ? left + (right - left) * t : right;
            }
            filled += gap;
        }
        previous = i;
    }
    if (previous < 0) return n;
    for (int32_t j = previous + 1; j < n; ++j) {
        x[static_cast<size_t>(j)] = x[static_cast<size_t>(previous)];
        ++filled;
    }
    return filled;
}

void detrend(double* x, int32_t n) {
    if (n < 1) return;
    double si = 0.0;
    double sx = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        si += i;
        sx += x[i];
    }
    const double meanI = si / n;
    const double meanX = sx / n;
    double sii = 0.0;
    double six = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const double di = i - meanI;
        sii += di * di;
        six += di * (x[i] - meanX);
    }
    const double slope = sii > 0.0 ? six / sii : 0.0;
    for (int32_t i = 0; i < n; ++i) x[i] -= meanX + slope * (i - meanI);
}

double populationVariance(const double* x, int32_t n) {
    if (n < 1) return std::numeric_limits<double>::quiet_NaN();
    double s = 0.0;
    for (int32_t i = 0; i < n; ++i) s += x[i];
    const double mean = s / n;
    double ss = 0.0;
    for (int32_t i = 0; i < n; ++i) ss += (x[i] - mean) * (x[i] - mean);
    return ss / n;
}

PsdWorkspace::PsdWorkspace() = default;

PsdWorkspace::~PsdWorkspace() { release(); }

void PsdWorkspace::release() {
    fft_.reset();
    n_ = 0;
    window_.clear();
    windowPower_ = 0.0;
}

bool PsdWorkspace::prepare(int32_t n) {
    if (n == n_ && fft_ != nullptr) return true;
    release();
    if (n < 4) return false;
    fft_ = std::make_unique<RealFft>(n, true, false);
    if (!fft_->ok()) {
        release();
        return false;
    }
    n_ = n;
    window_ = periodogramWindow(n, windowPower_);
    return true;
}

void PsdWorkspace::periodogram(const double* x, double dy, double* psd) {
    const int32_t n = n_;
    double* in = fft_->real;
    for (int32_t i = 0; i < n; ++i) in[i] = window_[static_cast<size_t>(i)] * x[i];
    fft_->executeForward();
    const fftw_complex* out = fft_->spectrum;
    const double scale = dy / windowPower_;
    const int32_t bins = n / 2 + 1;
    for (int32_t k = 0; k < bins; ++k) {
        const double power = out[k][0] * out[k][0] + out[k][1] * out[k][1];
        const bool single = k == 0 || (n % 2 == 0 && k == n / 2);
        psd[k] = (single ? 1.0 : 2.0) * power * scale;
    }
}

double periodogramBinCorrelation(int32_t d) {
    // |transform of w^2 at d bins|^2 / (sum of w^2)^2, tabulated once for n = 4 kCorrelatedBins
    // (the window's shape does not depend on n). Empty when no plan could be had: then bins
    // count as uncorrelated.
    static const std::vector<double> table = [] {
        const int32_t n = 4 * kCorrelatedBins;
        double power = 0.0;
        const std::vector<double> w = periodogramWindow(n, power);
        RealFft squared(n, true, false);
        if (!squared.ok()) return std::vector<double>();
        for (int32_t i = 0; i < n; ++i)
            squared.real[i] = w[static_cast<size_t>(i)] * w[static_cast<size_t>(i)];
        squared.executeForward();
        std::vector<double> rho(static_cast<size_t>(kCorrelatedBins) + 1);
        for (int32_t k = 0; k <= kCorrelatedBins; ++k) {
            const double re = squared.spectrum[k][0];
            const double im = squared.spectrum[k][1];
            rho[static_cast<size_t>(k)] = (re * re + im * im) / (power * power);
        }
        return rho;
    }();
    if (d < 0) d = -d;
    if (d == 0) return 1.0;
    if (d > kCorrelatedBins || table.empty()) return 0.0;
    return table[static_cast<size_t>(d)];
}

bool expectedPeriodogram(int32_t n,
                         double dy,
                         const std::function<double(double)>& psd,
                         std::vector<double>& expected) {
    if (n < 4 || !(dy > 0.0)) return false;
    const size_t un = static_cast<size_t>(n);
    const int32_t bins = n / 2 + 1;
    const int32_t fine = 8 * n;
    RealFft toLag(fine, false, true);
    RealFft toFrequency(n, true, false);
    if (!toLag.ok() || !toFrequency.ok()) return false;

    // Autocovariance r(tau dy) = integral over 0 .. 1 / (2 dy) of psd(f) cos(2 pi f tau dy) df,
    // trapezoid rule with step df = 1 / (fine dy): the inverse real transform of psd df / 2.
    const double df = 1.0 / (fine * dy);
    for (int32_t k = 0; k <= fine / 2; ++k) {
        toLag.spectrum[k][0] = 0.5 * psd(k * df) * df;
        toLag.spectrum[k][1] = 0.0;
    }
    toLag.executeBackward();
    const double* r = toLag.real;  // r[tau], tau = 0 .. n - 1 used

    double windowPower = 0.0;
    const std::vector<double> w = periodogramWindow(n, windowPower);
    // The detrend's two orthonormal vectors: the constant and the centred ramp.
    std::vector<double> u[2] = {std::vector<double>(un, 1.0 / std::sqrt(double(n))),
                                std::vector<double>(un)};
    double rampNorm = 0.0;
    for (int32_t i = 0; i < n; ++i) rampNorm += (i - 0.5 * (n - 1)) * (i - 0.5 * (n - 1));
    for (int32_t i = 0; i < n; ++i)
        u[1][static_cast<size_t>(i)] = (i - 0.5 * (n - 1)) / std::sqrt(rampNorm);

    auto transform = [&](const std::vector<double>& x, std::vector<std::complex<double>>& out) {
        for (size_t i = 0; i < un; ++i) toFrequency.real[i] = x[i];
        toFrequency.executeForward();
        out.resize(static_cast<size_t>(bins));
        for (int32_t k = 0; k < bins; ++k)
            out[static_cast<size_t>(k)] = {toFrequency.spectrum[k][0], toFrequency.spectrum[k][1]};
    };

    // Products with the covariance and the window's own correlation, by transforms of length
    // 2 n: the covariance's first row embedded in a circulant (r(0) .. r(n - 1), 0, r(n - 1) ..
    // r(1)), whose transform is real.
    const int32_t twice = 2 * n;
    RealFft forward(twice, true, false);
    RealFft backward(twice, false, true);
    if (!forward.ok() || !backward.ok()) return false;
    const size_t circulantBins = static_cast<size_t>(n + 1);
    std::vector<double> circulant(circulantBins);
    for (int32_t i = 0; i < twice; ++i)
        forward.real[i] = i < n ? r[i] : (i == n ? 0.0 : r[twice - i]);
    forward.executeForward();
    for (size_t k = 0; k < circulantBins; ++k) circulant[k] = forward.spectrum[k][0];
    // (C x)[0 .. n - 1] for x of n values.
    auto covarianceTimes = [&](const std::vector<double>& x, std::vector<double>& out) {
        for (int32_t i = 0; i < twice; ++i)
            forward.real[i] = i < n ? x[static_cast<size_t>(i)] : 0.0;
        forward.executeForward();
        for (size_t k = 0; k < circulantBins; ++k) {
            backward.spectrum[k][0] = forward.spectrum[k][0] * circulant[k] / twice;
            backward.spectrum[k][1] = forward.spectrum[k][1] * circulant[k] / twice;
        }
        backward.executeBackward();
        out.assign(backward.real, backward.real + n);
    };
    // The window's correlation sum over i of w(i) w(i + tau), tau = 0 .. n - 1.
    for (int32_t i = 0; i < twice; ++i) forward.real[i] = i < n ? w[static_cast<size_t>(i)] : 0.0;
    forward.executeForward();
    for (size_t k = 0; k < circulantBins; ++k) {
        const double re = forward.spectrum[k][0];
        const double im = forward.spectrum[k][1];
        backward.spectrum[k][0] = (re * re + im * im) / twice;
        backward.spectrum[k][1] = 0.0;
    }
    backward.executeBackward();

    // v_k^T C v_k*: sum over lags of r(tau) times the window's correlation at tau, folded to
    // one period of the transform (the cosines repeat every n lags).
    std::vector<double> folded(un, 0.0);
    for (int32_t tau = 0; tau < n; ++tau) {
        const double term = r[tau] * backward.real[tau];
        folded[static_cast<size_t>(tau)] += term;
        if (tau > 0) folded[static_cast<size_t>(n - tau)] += term;
    }
    std::vector<std::complex<double>> whole;
    transform(folded, whole);

    // a_m = v_k^T u_m, b_m = v_k^T C u_m and G = U^T C U.
    std::vector<std::complex<double>> a[2];
    std::vector<std::complex<double>> b[2];
    std::vector<double> cu[2];
    std::vector<double> weighted(un);
    for (int m = 0; m < 2; ++m) {
        covarianceTimes(u[m], cu[m]);
        for (size_t i = 0; i < un; ++i) weighted[i] = w[i] * u[m][i];
        transform(weighted, a[m]);
        for (size_t i = 0; i < un; ++i) weighted[i] = w[i] * cu[m][i];
        transform(weighted, b[m]);
    }
    double g[2][2];
    for (int m = 0; m < 2; ++m)
        for (int l = 0; l < 2; ++l) {
            double s = 0.0;
            for (size_t i = 0; i < un; ++i) s += u[m][i] * cu[l][i];
            g[m][l] = s;
        }

    expected.assign(static_cast<size_t>(bins), 0.0);
    const double scale = dy / windowPower;
    for (int32_t k = 0; k < bins; ++k) {
        const size_t uk = static_cast<size_t>(k);
        double value = whole[uk].real();
        for (int m = 0; m < 2; ++m) {
            value -= 2.0 * (a[m][uk] * std::conj(b[m][uk])).real();
            for (int l = 0; l < 2; ++l) value += g[m][l] * (a[m][uk] * std::conj(a[l][uk])).real();
        }
        const bool single = k == 0 || (n % 2 == 0 && k == n / 2);
        expected[uk] = (single ? 1.0 : 2.0) * value * scale;
    }
    return true;
}
