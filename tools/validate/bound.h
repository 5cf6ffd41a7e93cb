// How closely xi and alpha can be known at all: the Cramer-Rao bound of the validation's edge
// spectra, set beside the scatter of the measurement's own fit on the same random series.
#pragma once

#include <cstdint>
#include <limits>

// Edges of one kind: Gaussian series drawn, like the generator's spectral edges, from the model
// PSD(f) ~ (1 + (2 pi f xi)^2)^-(alpha + 1/2) on a periodic grid 8 rows long per row (the
// first `rows` kept), blurred along the line by a Gaussian roll-off exp(-(2 pi f r)^2), plus
// white detector noise. Lengths in rows (px).
struct BoundCase {
    double xiRows = 10.0;
    double alpha = 0.5;
    double sigmaRows = 1.5;       // standard deviation of the unblurred course
    double resolutionRows = 1.0;  // r of the roll-off, > 0
    double noiseSigma = 0.1;      // detector noise per row, > 0 (a noiseless series is singular)
    int32_t rows = 1024;          // >= 16
    int32_t series = 32;          // independent series averaged, >= 1
};

// One standard deviation of xi over the true xi and of alpha, and their correlation.
struct ParameterSpread {
    double xiRelative = std::numeric_limits<double>::quiet_NaN();
    double alpha = std::numeric_limits<double>::quiet_NaN();
    double correlation = std::numeric_limits<double>::quiet_NaN();
};

// The bound for an unbiased estimator of the five parameters (variance, xi, alpha, roll-off and
// noise) from the series' exact Gaussian likelihood, their mean and slope removed (restricted
// likelihood, as the measurement detrends): Fisher information (series / 2) tr(P C_i P C_j),
// P the inverse covariance projected off the line, C_i the covariance's derivatives.
struct CramerRaoBound {
    ParameterSpread rollOffFitted;  // the roll-off a free parameter, as the measurement fits it
    ParameterSpread rollOffKnown;   // the roll-off known (the microscope's resolution given)
};

// False when the case is out of range or the covariance is not positive definite. Cost: a few
// dense products of rows x rows matrices (seconds at 1024 rows).
bool cramerRaoBound(const BoundCase& c, CramerRaoBound& out);

// The measurement's fit (its options and bounds at pixel size 1, the roll-off fitted) on
// `images` sets of c.series random series of the case, seeded.
struct FitScatter {
    int32_t images = 0;
    int32_t fits = 0;                                               // sets whose fit converged
    double xiMeanRatio = std::numeric_limits<double>::quiet_NaN();  // mean of fitted / true xi
    double alphaMeanError = std::numeric_limits<double>::quiet_NaN();
    ParameterSpread spread;     // sample standard deviations over the fits
    int32_t withinTargets = 0;  // fits with xi within xiTolerance and alpha within alphaTolerance
};

FitScatter fitScatter(
    const BoundCase& c, int32_t images, uint64_t seed, double xiTolerance, double alphaTolerance);

// The chance that an unbiased Gaussian estimate of the given spread lands within +-xiTolerance
// (relative) of xi and +-alphaTolerance of alpha together.
double chanceWithin(const ParameterSpread& spread, double xiTolerance, double alphaTolerance);
