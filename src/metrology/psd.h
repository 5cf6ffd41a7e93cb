// Power spectral density of a series along a line edge: detrending, gap filling and the
// one-sided, taper-windowed periodogram normalised so that its sum times the frequency step is
// the variance (Parseval).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct RealFft;  // metrology/fftw_planner.h

// Replaces every NaN of `x` by linear interpolation between the nearest finite values before
// and after it; NaNs before the first or after the last finite value take that value. Returns
// the number of values filled; a series without a finite value is left as it is (all NaN) and
// gives its length.
int32_t fillGaps(std::vector<double>& x);

// Subtracts the least-squares line a + b i (i = 0 .. n - 1, sums first to last) from the n
// values of `x` in place. n < 2 subtracts the mean (n = 1 gives 0). `x` must be finite.
void detrend(double* x, int32_t n);

// Population variance of x[0 .. n - 1]: sum of (x - mean)^2 over n; NaN when n < 1.
double populationVariance(const double* x, int32_t n);

// Share of the series at each end over which the periodogram's window tapers to zero.
constexpr double kTaperFraction = 0.05;

// The periodogram's window for n values: a tapered cosine (Tukey) window, 1 over the middle
// and w(i) = 0.5 - 0.5 cos(pi (i + 0.5) / m) over the first m = max(1, round(kTaperFraction n))
// values, mirrored at the end. `power` receives S2 = sum of w(i)^2. Empty for n < 1.
//
// Why so short a taper: the fit compares the model with this periodogram's expectation
// (expectedPeriodogram), leakage included, so the window need not suppress leakage by itself.
// A full-length (Hann) window would, but its neighbouring bins correlate so strongly that the
// spectrum holds about half as many independent values (the variance of a mean over many bins
// is 1.94 times that of independent ones, against 1.06 here), which widens the scatter of the
// fitted xi and alpha by about 1.4. The short taper keeps the ends' jump (the
// series is not periodic) from leaking a 1 / f^2 tail over steep spectra.
std::vector<double> periodogramWindow(int32_t n, double& power);

// Correlation coefficient of two bins d apart of the periodogram, for a spectrum smooth over a
// few bins: |sum of w(i)^2 exp(-2 pi j d i / n)|^2 / S2^2. 1 at d = 0, 0.0044 at d = 1 and 2,
// 7e-4 at 10, below 1e-4 from 20 on (taken at n = 4096: the window's shape, and so this, hardly
// depends on n); 0 beyond 1024 bins.
double periodogramBinCorrelation(int32_t d);

// The periodogram of series of one length n, with its FFTW plan. Thread use: one workspace per
// thread; plans are made and destroyed under FFTW's own planner lock (fftw_planner.h), which
// every FFTW user of the process shares, while transforms run without it.
//
// Window and normalisation: the window w of periodogramWindow multiplies the series;
// X(k) = sum over i of w(i) x(i) exp(-2 pi j i k / n). With S2 = sum of w(i)^2 (the window's
// power loss, corrected here), the one-sided PSD is
//   P(k) = c(k) |X(k)|^2 dy / S2,  k = 0 .. floor(n / 2),
// c(k) = 1 for k = 0 and (n even) k = n / 2, else 2; frequency f(k) = k / (n dy). Then
//   sum over k of P(k) * df = sum of w^2 x^2 / S2   (df = 1 / (n dy)),
// exactly: the window-weighted mean square, whose expectation for a stationary zero-mean
// series is its variance. White noise of variance s^2 has E P(k) = 2 s^2 dy = s^2 / B for
// 0 < k < n / 2, with B = 1 / (2 dy) the bandwidth (Nyquist frequency).
class PsdWorkspace {
public:
    PsdWorkspace();
    ~PsdWorkspace();
    PsdWorkspace(const PsdWorkspace&) = delete;
    PsdWorkspace& operator=(const PsdWorkspace&) = delete;

    // Prepares for series of length n >= 4 (replacing an earlier plan). False when n < 4 or
    // the storage or plan cannot be had.
    bool prepare(int32_t n);
    int32_t length() const { return n_; }
    // Bins of the one-sided PSD: floor(n / 2) + 1.
    int32_t binCount() const { return n_ / 2 + 1; }

    // Fills psd[0 .. binCount() - 1] with P(k) of the n values of `x` (finite, normally
    // detrended) for row spacing `dy` (> 0; the PSD's unit is x's unit squared times dy's).
    void periodogram(const double* x, double dy, double* psd);

private:
    void release();

    int32_t n_ = 0;
    std::unique_ptr<RealFft> fft_;  // forward only
    std::vector<double> window_;
    double windowPower_ = 0.0;  // S2
};

// The expectation of PsdWorkspace::periodogram for n rows, spaced dy, of a stationary series
// of one-sided PSD `psd` (f in 0 .. 1 / (2 dy)), detrended by detrend() before the window:
//   E P(k) = c(k) dy / S2 x v_k^T (I - H) C (I - H) v_k*,  v_k(i) = w(i) exp(-2 pi j i k / n),
// with C the series' covariance (its autocovariance from `psd` by the trapezoid rule on a grid
// 8 n points long) and H the projection onto a + b i that detrend() removes. It differs from
// psd(f(k)) by the window's leakage and by the variance the detrend takes from the lowest
// frequencies (Sykulski et al., "The debiased Whittle likelihood", Biometrika 2019, make the
// same correction for a mean removed). Fills expected[0 .. n / 2]; false when n < 4, dy <= 0 or
// no FFTW plan can be had. Cost O(n log n): a handful of transforms of 2 n and one of 8 n.
bool expectedPeriodogram(int32_t n,
                         double dy,
                         const std::function<double(double)>& psd,
                         std::vector<double>& expected);
