// Residuals of a per-row series with missing rows about its least-squares line: the edge,
// width and centre series of the sub-pixel edges, whose missing rows are NaN.
#pragma once

#include <cstdint>
#include <vector>

// The least-squares line of the finite values of `x` (index = row) through centred sums (the mean
// row and value first): value = meanValue + slope (row - meanRow). `count` finite values; with
// fewer than 2 the means and the slope are NaN.
struct RowLine {
    int32_t count = 0;
    double meanRow = 0.0;
    double meanValue = 0.0;
    double slope = 0.0;  // x's unit per row
};
RowLine rowLine(const std::vector<double>& x);

// Residuals of the finite values of `x` about their least-squares line (rowLine) into
// `residuals` (x's length; NaN where x is NaN). Returns the number of finite values; with fewer
// than 2 every residual is NaN.
int32_t lineResiduals(const std::vector<double>& x, std::vector<double>& residuals);

// Population sigma of those residuals (divisor: the finite values), in x's unit; NaN with fewer
// than 2 finite values.
double residualSigma(const std::vector<double>& x);
