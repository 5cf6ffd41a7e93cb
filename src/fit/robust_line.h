// Least-absolute-deviation straight-line fit, resistant to stray points.
#pragma once

#include <cstdint>

#include "stats/series.h"

// Working state shared by the fit and its sign-sum function.
struct RobustFitState {
    int32_t n = 0;
    const double* x = nullptr;
    const double* y = nullptr;
    double intercept = 0.0;     // median of the last signSum call
    double absDeviation = 0.0;  // sum of |residual| of the last signSum call
    double* scratch = nullptr;  // n doubles
};

// k-th smallest (0-based) of values[0..n-1]; reorders `values`. NaN values rank above every
// number, so the result is exact whenever k selects a number. k outside 0..n-1 gives NaN and
// leaves `values` untouched.
double kthSmallest(int32_t k, double* values, int32_t n);

// Sign sum at trial slope b: intercept = median of y - b x; returns the sum of x over points
// whose relative residual exceeds 1e-7, with the residual's sign. Updates `state`; its
// scratch holds n doubles and is overwritten. With n < 1 the intercept becomes NaN, the
// deviation sum 0 and the result 0.
double signSum(RobustFitState& state, double b);

// Fits y = intercept + slope x to n points by least absolute deviation: bracketing outward
// from the least-squares slope in steps of 3 sigma(b), then bisection to 0.01 sigma(b).
// meanAbsDeviation = sum |residual| / n of the last sign-sum call. Needs two distinct x.
// n < 1, or scratch storage that cannot be had, gives three NaN results.
void robustLineFit(const double* x,
                   const double* y,
                   int32_t n,
                   double& intercept,
                   double& slope,
                   double& meanAbsDeviation);

// The same fit with the caller's `scratch` of at least n doubles (overwritten) instead of
// storage of its own, for callers that fit many windows in a row; results are identical.
void robustLineFitWithScratch(const double* x,
                              const double* y,
                              int32_t n,
                              double* scratch,
                              double& intercept,
                              double& slope,
                              double& meanAbsDeviation);

// out[i] = intercept + slope * x[i], i = 0..n-1 (`out` reallocated; empty for n = 0).
void evaluateLine(double intercept, double slope, const double* x, int32_t n, Series& out);
