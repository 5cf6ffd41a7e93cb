// Per-edge roughness statistics: sigma, skewness, kurtosis and the height-height correlation.
#pragma once

#include "stats/series.h"

struct EdgeStatistics {
    double sigma = 0.0;     // population standard deviation of the residuals, pixels
    double skewness = 0.0;  // mean((r - mu)^3) / sigma^3
    double kurtosis = 0.0;  // mean((r - mu)^4) / sigma^4 (3 for a normal distribution)
    Series hhcf;            // HHCF at lags 1 .. L, pixels
};

// Statistics of the residuals r(1..n) of one edge (pixels); r is not changed. Moments use
// Series::subtract/power/mean in that order with the library pow. HHCF: L = floor(n/2) - 150
// lags; hhcf(l) = sqrt(sum_{j=1}^{n-l-1} (r(j) - r(j+l))^2 / (n - l - 1)); empty when L < 1
// (fewer than 302 residuals). Constant residuals give skewness and kurtosis NaN (0 / 0);
// empty residuals NaN for all three figures.
EdgeStatistics edgeRoughness(const Series& residuals);
