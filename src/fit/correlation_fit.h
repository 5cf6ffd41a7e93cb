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
// lags 1 .. 2 ksi, chosen in up to 11 rounds of falling quality threshold.
//
// Failure gives alpha 0, ksi 0 and one-element curves holding 0.0. It happens when no lag is
// below the threshold (also for an empty HHCF, images under 302 rows, and for a NaN sigma),
// when the selected lags are not the leading ones, when ksi < 5, and when 2 ksi exceeds the
// number of HHCF values (more than half of them below the threshold: the HHCF has not
// levelled off within its range, so ksi is not determined). Only the first
// min(hhcf.count, lags.count) values take part.
//
// Window qualities are evaluated only as far as the search reads them and kept across rounds,
// and a start whose longest possible span cannot beat the best span found before it is not
// searched at all; the result is that of fitCorrelationModelReference, bit for bit.
CorrelationFit fitCorrelationModel(const Series& hhcf, const Series& lags, double sigma);

// The same fit with the whole quality table computed first, every window from scratch. Gives
// bit-identical results; kept as the plain statement of the method, to check the fast one.
CorrelationFit fitCorrelationModelReference(const Series& hhcf, const Series& lags, double sigma);
