#include "stats/edge_roughness.h"

#include <cmath>
#include <cstdint>

namespace {

constexpr int32_t kLagsWithheld = 150;  // lags = floor(n / 2) - 150

// mean((r - mu)^p) through Series operations, in the order subtract, power, mean.
double centralMoment(const Series& residuals, double mu, double p) {
    Series d(residuals);
    d.subtract(mu);
    d.power(p);
    return d.mean();
}

// out[l - 1] = HHCF at lags l = lag .. lag + 3 of the n residuals r. Each lag's sum runs over
// its own n - l - 1 pairs, first to last, as for a single lag; the four sums advance side by
// side so that they do not wait on one another, and the few pairs the shorter lags lack are
// left out at the end.
void hhcfOfFourLags(const double* r, int32_t n, int32_t lag, double* out) {
    const int32_t pairs0 = n - lag - 1;  // pairs of lag; lag + k has pairs0 - k
    double s0 = 0.0;
    double s1 = 0.0;
    double s2 = 0.0;
    double s3 = 0.0;
    int32_t j = 0;
    for (; j < pairs0 - 3; ++j) {
        const double d0 = r[j] - r[j + lag];
        const double d1 = r[j] - r[j + lag + 1];
        const double d2 = r[j] - r[j + lag + 2];
        const double d3 = r[j] - r[j + lag + 3];
        s0 += d0 * d0;
        s1 += d1 * d1;
        s2 += d2 * d2;
        s3 += d3 * d3;
    }
    for (; j < pairs0; ++j) {
        const double d0 = r[j] - r[j + lag];
        s0 += d0 * d0;
        if (j < pairs0 - 1) {
            const double d1 = r[j] - r[j + lag + 1];
            s1 += d1 * d1;
        }
        if (j < pairs0 - 2) {
            const double d2 = r[j] - r[j + lag + 2];
            s2 += d2 * d2;
        }
    }
    out[lag - 1] = std::sqrt(s0 / pairs0);
    out[lag] = std::sqrt(s1 / (pairs0 - 1));
    out[lag + 1] = std::sqrt(s2 / (pairs0 - 2));
    out[lag + 2] = std::sqrt(s3 / (pairs0 - 3));
}

}  // namespace

EdgeStatistics edgeRoughness(const Series& residuals) {
    EdgeStatistics stats;
    const double mu = residuals.mean();
    const double sigma = residuals.standardDeviation(true);
    stats.sigma = sigma;
    stats.skewness = centralMoment(residuals, mu, 3.0) / std::pow(sigma, 3.0);
    stats.kurtosis = centralMoment(residuals, mu, 4.0) / std::pow(sigma, 4.0);

    const int32_t n = residuals.count;
    const int32_t lagCount = n / 2 - kLagsWithheld;
    if (lagCount < 1 || !stats.hhcf.allocate(lagCount)) return stats;
    const double* r = residuals.data;
    double* out = stats.hhcf.data;
    int32_t lag = 1;
    for (; lag + 3 <= lagCount; lag += 4) hhcfOfFourLags(r, n, lag, out);
    for (; lag <= lagCount; ++lag) {
        // n - lag - 1 pairs: the pair that would end at the last sample is left out.
        const int32_t pairs = n - lag - 1;
        double sum = 0.0;
        for (int32_t j = 0; j < pairs; ++j) {
            const double d = r[j] - r[j + lag];
            sum += d * d;
        }
        out[lag - 1] = std::sqrt(sum / pairs);
    }
    return stats;
}
