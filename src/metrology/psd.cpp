#include "metrology/psd.h"

#include <fftw3.h>

#include <cmath>
#include <limits>

#include "metrology/fftw_planner.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

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

PsdWorkspace::~PsdWorkspace() { release(); }

void PsdWorkspace::release() {
    // Plans are made only after the planner lock is in place (prepare), so destroying one is
    // serialised by FFTW too.
    if (plan_ != nullptr) fftw_destroy_plan(static_cast<fftw_plan>(plan_));
    plan_ = nullptr;
    fftw_free(in_);
    fftw_free(out_);
    in_ = nullptr;
    out_ = nullptr;
    n_ = 0;
    window_.clear();
    windowPower_ = 0.0;
}

bool PsdWorkspace::prepare(int32_t n) {
    if (n == n_ && plan_ != nullptr) return true;
    release();
    if (n < 4) return false;
    in_ = static_cast<double*>(fftw_malloc(sizeof(double) * static_cast<size_t>(n)));
    out_ = fftw_malloc(sizeof(fftw_complex) * static_cast<size_t>(n / 2 + 1));
    if (in_ == nullptr || out_ == nullptr) {
        release();
        return false;
    }
    makeFftwPlannerThreadSafe();
    plan_ = fftw_plan_dft_r2c_1d(n, in_, static_cast<fftw_complex*>(out_), FFTW_ESTIMATE);
    if (plan_ == nullptr) {
        release();
        return false;
    }
    n_ = n;
    window_.resize(static_cast<size_t>(n));
    windowPower_ = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * kPi * i / n);
        window_[static_cast<size_t>(i)] = w;
        windowPower_ += w * w;
    }
    return true;
}

void PsdWorkspace::periodogram(const double* x, double dy, double* psd) {
    const int32_t n = n_;
    for (int32_t i = 0; i < n; ++i) in_[i] = window_[static_cast<size_t>(i)] * x[i];
    fftw_execute(static_cast<fftw_plan>(plan_));
    const fftw_complex* out = static_cast<const fftw_complex*>(out_);
    const double scale = dy / windowPower_;
    const int32_t bins = n / 2 + 1;
    for (int32_t k = 0; k < bins; ++k) {
        const double power = out[k][0] * out[k][0] + out[k][1] * out[k][1];
        const bool single = k == 0 || (n % 2 == 0 && k == n / 2);
        psd[k] = (single ? 1.0 : 2.0) * power * scale;
    }
}
