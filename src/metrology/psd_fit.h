// The roughness spectrum model with an imaging roll-off and a noise term (white, or correlated
// between neighbouring rows), fitted to an averaged PSD with GSL's nonlinear least squares
// (gsl_multifit_nlinear, trust region).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// PSD(f) = psd0 / (1 + (2 pi f xi)^2)^(alpha + 1/2) exp(-(2 pi f resolution)^2) + floor (a white
// floor; the fit's correlated noise term is fittedPsd below).
// f in 1/length, xi and resolution in length, psd0 and floor in the PSD's unit. Resolution 0
// is the standard model; a positive one is the Gaussian roll-off that the imaging blur (the
// beam and its blur along the line, of standard deviation `resolution`) puts on the edges'
// spectrum.
double psdModel(
    double f, double psd0, double xi, double alpha, double floor, double resolution = 0.0);

// An averaged one-sided PSD reduced to logarithmically spaced bands for the fit: bins are kept
// one by one while the band would hold one bin, then grouped so that each band spans about
// 8 % of its lowest frequency. Band value = mean of its bins' PSD, frequency = mean of their
// frequencies; `dof` = equivalent chi-square degrees of freedom of the band value.
struct BinnedPsd {
    std::vector<double> frequency;
    std::vector<double> value;
    std::vector<double> dof;
    std::vector<int32_t> firstBin;  // 0-based index into the unbinned arrays
    std::vector<int32_t> binCount;
};

// Equivalent chi-square degrees of freedom of the mean of `count` neighbouring periodogram bins,
// each averaged over `seriesCount` independent series: 2 seriesCount count over the variance
// factor that the bins' correlation (periodogramBinCorrelation) gives (see BinnedPsd).
double bandDof(int32_t count, double seriesCount);

// Fills `out` from the unbinned PSD psd[0 .. n - 1] at frequencies f[0 .. n - 1] (increasing,
// all > 0), averaged over `seriesCount` independent series (each bin then has 2 seriesCount
// degrees of freedom; averaging c neighbouring bins multiplies them by a little less than c,
// the neighbours being slightly correlated: bandDof). Only the band layout depends
// on n, so `layoutFrom` (optional, made for the same n) is copied instead of recomputed.
void binPsd(const double* f,
            const double* psd,
            int32_t n,
            double seriesCount,
            BinnedPsd& out,
            const BinnedPsd* layoutFrom = nullptr);

// The outcome of one fit.
struct PsdFit {
    bool ok = false;              // the parameters are usable (converged)
    std::string status;           // "converged", or why not
    double psd0 = 0.0;            // PSD(0) of the roughness part, PSD unit
    double xi = 0.0;              // correlation length, frequency unit^-1
    double alpha = 0.0;           // roughness exponent, 0 < alpha < alphaMax
    double noiseFloor = 0.0;      // N, PSD unit
    double resolution = 0.0;      // sigma of the roll-off, frequency unit^-1 (0: none fitted)
    bool resolutionHeld = false;  // the roll-off was held at a known value (PsdFitOptions)
    // The noise term is noiseFloor x noiseShape(f): white (noiseCorrelation 0) or correlated
    // between rows up to noiseLags rows apart (see PsdFitOptions).
    double noiseCorrelation = 0.0;
    int32_t noiseLags = 0;
    double noiseLagSpacing = 0.0;  // frequency unit^-1
    int32_t iterations = 0;
    double rmsLogResidual = 0.0;  // sqrt(weighted mean of (ln model - ln data)^2)
    // Half-widths of the 95 % intervals of xi (frequency unit^-1) and alpha: 1.96 standard
    // errors from the fit's covariance (the linearised least squares, widened by the
    // chi-square per degree of freedom where it exceeds 1). They hold the spectrum's own
    // scatter, i.e. the finite number and length of the edges, and the noise; not a bias of
    // the edges (the detector's) or of the model. NaN when not ok, when xi or alpha ended at a
    // bound (status notes) or the covariance could not be had.
    double xiCi95 = std::numeric_limits<double>::quiet_NaN();
    double alphaCi95 = std::numeric_limits<double>::quiet_NaN();
    std::string intervalReason;  // why xiCi95 and alphaCi95 are NaN (empty when they are not)
    // Per band of the fitted spectrum: the periodogram's expectation over the model's value,
    // by which the roughness part was multiplied (PsdFitOptions::periodogramRows); empty when
    // the model was compared as it is.
    std::vector<double> expectationFactor;
};

// What the fit may vary.
struct PsdFitOptions {
    double alphaMax = 1.5;  // alpha lies in 0 .. alphaMax
    // Upper bound of the resolution roll-off, frequency unit^-1; 0 fits the standard model (no
    // roll-off), a positive value adds the roll-off as a fifth parameter in 0 .. resolutionMax.
    double resolutionMax = 0.0;
    // A known roll-off (the microscope's resolution, frequency unit^-1): when >= 0 it is held
    // at this value, not fitted, and resolutionMax is unused; negative (or NaN) fits it.
    double resolutionHeld = -1.0;
    // Lower bound of xi, frequency unit^-1. A roughness spectrum with a much shorter
    // correlation length is flat over the band and cannot be told from the noise floor; the
    // bound makes a flat spectrum a floor.
    double xiMin = 0.0;
    // Upper bound of xi (the length of the series is the natural one: a longer correlation
    // length shows no corner in the spectrum); 0 or below xiMin for none.
    double xiMax = 0.0;
    // Noise correlated between rows: with noiseLags > 0 and noiseLagSpacing (the row spacing,
    // frequency unit^-1) > 0, the noise term is N (1 + 2 rho sum_{k=1..noiseLags} cos(2 pi f k
    // noiseLagSpacing)), errors of rows up to noiseLags apart correlated by rho, fitted in
    // 0 .. noiseCorrelationMax. Its mean over the band 0 .. 1 / (2 noiseLagSpacing) is N, so N
    // times the bandwidth stays the noise's variance. Otherwise the floor is white.
    int32_t noiseLags = 0;
    double noiseLagSpacing = 0.0;
    double noiseCorrelationMax = 0.15;
    // Where rho is read (with the correlated noise term): a band start above 0 (and below 0.5),
    // in cycles per row (f x noiseLagSpacing), reads rho from the bands at and above it, where
    // the noise outweighs the roughness: the data less the roughness part of a first fit with
    // rho free, weighted-regressed (GSL gsl_fit_wlinear) on the noise term's shape; rho is then
    // held there (within 0 .. noiseCorrelationMax) in the final fit. A fit with rho free bends
    // its roughness part to the noise's excess at low frequencies where the noise is not quite
    // of the term's shape; the high bands have no roughness to trade with. 0: rho is fitted
    // with the rest.
    double noiseCorrelationBand = 0.0;
    // rho held at this value (>= 0) instead of fitted or read from the high bands; negative (or
    // NaN): not held. Above noiseCorrelationMax the fit fails ("no valid parameter range").
    double noiseCorrelationHeld = -1.0;
    // The spectrum is the periodogram (PsdWorkspace) of detrended series of periodogramRows
    // rows spaced periodogramSpacing (frequency unit^-1), averaged: with both set (rows >= 4),
    // the roughness part is compared with that periodogram's expectation under the model
    // (expectedPeriodogram: the window's leakage and the detrend's loss at the lowest
    // frequencies, which otherwise shorten xi), through per-band factors made from the plain
    // fit, then the fit is made again (PsdFit::expectationFactor). The noise term is taken as
    // it is. When the factors cannot be had or the second fit fails, the plain fit is kept.
    int32_t periodogramRows = 0;
    double periodogramSpacing = 0.0;
};

// The noise term's shape at f: 1 + 2 rho sum_{k=1..lags} cos(2 pi f k spacing) of `fit`; 1 for
// white noise.
double noiseShape(double f, const PsdFit& fit);

// The fitted spectrum at f: the roughness part of psdModel plus noiseFloor x noiseShape(f).
double fittedPsd(double f, const PsdFit& fit);

// Fits the model to `binned` by weighted least squares on the logarithm: residual of band j is
// ln(model(f_j)) - (ln v_j - b_j), weight dof_j / 2, where b_j = psi(dof_j / 2) - ln(dof_j / 2)
// is the mean of the logarithm of a chi-square average (so the fit is not pulled below the
// data). Free parameters ln psd0, ln N, logistic transforms of alpha, of the resolution and
// of ln xi between ln xiMin and ln xiMax (without xiMax: ln(xi - xiMin)), so that
// xiMin < xi (< xiMax), N > 0 and the other bounds hold without constraints. Start values
// from the data (level of the first bands, the frequency where the data fall to half of it, floor
// from the highest bands, resolution a quarter of its bound; a held resolution is no free
// parameter), tried from alpha 0.5, 1 and 0.25,
// the lowest cost kept; or, when `start` is given and ok, from it alone (warm start). Then, as
// the options ask, rho is read from the high bands and held (noiseCorrelationBand) and the model
// is compared with the periodogram's expectation (periodogramRows) in one more fit from the
// first; with rho read, the intervals of xi and alpha come from the covariance with rho free at
// its read value. Fewer than 6 bands or a non-finite or non-positive value gives ok false with
// the reason in `status`.
PsdFit fitPsd(const BinnedPsd& binned, const PsdFitOptions& options, const PsdFit* start = nullptr);

// The held shapes of a fit at the bands of `layout`: the roughness part psdModel(f_j, 1, xi,
// alpha, 0, resolution) (times the fit's expectationFactor when it has one per band of
// `layout`) and the noise term's noiseShape(f_j).
struct BandShapes {
    std::vector<double> roughness;
    std::vector<double> noise;
};
BandShapes bandShapes(const BinnedPsd& layout, const PsdFit& shape);

// Refits only psd0 and the floor of `shape` to `binned`, its xi, alpha, resolution and noise
// shape held (the cheap refit of the bootstrap resamples): the same weighted least squares on
// the logarithm, in ln psd0 and ln N, by a damped Gauss-Newton iteration started from `shape`,
// stopped when both move by less than 1e-5 in a step (or no step lowers the cost). ok false
// when `shape` is not ok or the data are unusable (as fitPsd); "did not converge" after 100
// iterations. `atBands` (optional): bandShapes(binned, shape), when the caller refits many
// spectra on the same bands.
PsdFit refitLevels(const BinnedPsd& binned,
                   const PsdFit& shape,
                   const BandShapes* atBands = nullptr);

// Turns GSL's default error handler (which aborts) off for the process, once; every GSL call
// here then reports failures by status. Called by fitPsd; safe from several threads.
void disableGslAbort();
