#include "fit/robust_line.h"

#include <algorithm>
#include <cmath>

double kthSmallest(int32_t k, double* values, int32_t n) {
    if (k < 0 || k >= n) return NAN;
    // NaN ranks above every number; a plain `<` would not be a strict weak ordering and
    // nth_element could then run past the array.
    const auto less = [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); };
    std::nth_element(values, values + k, values + n, less);
    return values[k];
}

double signSum(RobustFitState& state, double b) {
    const int32_t n = state.n;
    const double* x = state.x;
    const double* y = state.y;
    double* d = state.scratch;
    if (n < 1) {
        state.intercept = NAN;
        state.absDeviation = 0.0;
        return 0.0;
    }
    for (int32_t i = 0; i < n; ++i) d[i] = y[i] - b * x[i];
    double m;
    if (n % 2 == 1) {
        m = kthSmallest(n / 2, d, n);
    } else {
        // Both middle values come from the same, already reordered scratch.
        const double lower = kthSmallest((n - 1) / 2, d, n);
        const double upper = kthSmallest((n - 1) / 2 + 1, d, n);
        m = 0.5 * (lower + upper);
    }
    state.intercept = m;
    state.absDeviation = 0.0;
    double s = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        double r = y[i] - (m + b * x[i]);
        state.absDeviation += std::fabs(r);
        if (y[i] != 0.0) r /= std::fabs(y[i]);
        if (std::fabs(r) > 1e-7) {
            if (r >= 0.0)
                s += x[i];
            else
                s -= x[i];
        }
    }
    return s;
}

void robustLineFitWithScratch(const double* x,
                              const double* y,
                              int32_t n,
                              double* scratch,
                              double& intercept,
                              double& slope,
                              double& meanAbsDeviation) {
    if (n < 1 || scratch == nullptr) {
        intercept = NAN;
        slope = NAN;
        meanAbsDeviation = NAN;
        return;
    }
    RobustFitState state;
    state.n = n;
    state.x = x;
    state.y = y;
    state.scratch = scratch;

    double sx = 0.0;
    double sy = 0.0;
    double sxy = 0.0;
    double sxx = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        sx += x[i];
        sy += y[i];
        sxy += x[i] * y[i];
        sxx += x[i] * x[i];
    }
    const double count = n;
    const double r = 1.0 / (count * sxx - sx * sx);
    state.intercept = (sy * sxx - sxy * sx) * r;
    const double bLeastSquares = (count * sxy - sx * sy) * r;
    double chisq = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const double residual = y[i] - (state.intercept + bLeastSquares * x[i]);
        chisq += residual * residual;
    }
    const double sigb = std::sqrt(r * chisq);

    double b1 = bLeastSquares;
    double f1 = signSum(state, b1);
    // A NaN sign sum counts as negative.
    double b2 = f1 >= 0.0 ? b1 + 3.0 * sigb : b1 - 3.0 * sigb;
    double f2 = signSum(state, b2);
    double b = bLeastSquares;
    if (b2 != b1) {
        // NaN products compare false: bracketing stops, bisection moves b2.
        while (f1 * f2 > 0.0) {
            b = b2 + 1.6 * (b2 - b1);
            b1 = b2;
            f1 = f2;
            b2 = b;
            f2 = signSum(state, b);
        }
        const double tolerance = 0.01 * sigb;
        while (std::fabs(b2 - b1) > tolerance) {
            b = b1 + 0.5 * (b2 - b1);
            if (b == b1 || b == b2) break;
            const double f = signSum(state, b);
            if (f * f1 >= 0.0) {
                f1 = f;
                b1 = b;
            } else {
                b2 = b;
            }
        }
    }
    slope = b;
    // The median of the last sign sum, which need not belong to the reported slope.
    intercept = state.intercept;
    meanAbsDeviation = state.absDeviation / count;
}

void robustLineFit(const double* x,
                   const double* y,
                   int32_t n,
                   double& intercept,
                   double& slope,
                   double& meanAbsDeviation) {
    Series scratch;
    if (n < 1 || !scratch.allocate(n)) {
        intercept = NAN;
        slope = NAN;
        meanAbsDeviation = NAN;
        return;
    }
    robustLineFitWithScratch(x, y, n, scratch.data, intercept, slope, meanAbsDeviation);
}

void evaluateLine(double intercept, double slope, const double* x, int32_t n, Series& out) {
    if (!out.allocate(n)) return;
    for (int32_t i = 0; i < n; ++i) out[i] = intercept + slope * x[i];
}
