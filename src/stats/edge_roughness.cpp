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
    for (int32_t lag = 1; lag <= lagCount; ++lag) {
        // n - lag - 1 pairs: the pair that would end at the last sample is left out.
        const int32_t pairs = n - lag - 1;
        double sum = 0.0;
        for (int32_t j = 0; j < pairs; ++j) {
            const double d = r[j] - r[j + lag];
            sum += d * d;
        }
        stats.hhcf[lag - 1] = std::sqrt(sum / pairs);
    }
    return stats;
}
