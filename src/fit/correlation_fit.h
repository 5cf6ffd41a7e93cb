// Correlation length ksi and roughness exponent a from the average HHCF.
#pragma once

#include "stats/series.h"

struct CorrelationFit {
    double alpha = 0.0;   // roughness exponent a
    double ksi = 0.0;     // correlation length, lags (pixels)
    Series curveLogLag;   // log10 r, r = 1 .. 2 ksi
    Series curveLogHhcf;  // fitted line at those abscissae
};

// Fits the correlation model to `hhcf` (G(k + 1) at element k, pixels) with `lags` (element k
// the lag of hhcf element k) and the edge sigma `sigma` (pixels). ksi = number of leading lags
// with G < 1.125 sigma; a = robust slope of log10 G against log10 r over the best window of
// lags 1 .. 2 ksi. Failure (no lag below, selected lags not leading, ksi < 5, or 2 ksi beyond
// the HHCF) gives alpha 0, ksi 0 and one-element curves holding 0.0.
CorrelationFit fitCorrelationModel(const Series& hhcf, const Series& lags, double sigma);
