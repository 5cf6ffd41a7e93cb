#include "stats/line_residuals.h"

#include <cmath>
#include <limits>

RowLine rowLine(const std::vector<double>& x) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    RowLine line;
    line.meanRow = line.meanValue = line.slope = kNaN;
    double n = 0.0;
    double si = 0.0;
    double sx = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        if (std::isnan(x[i])) continue;
        n += 1.0;
        si += static_cast<double>(i);
        sx += x[i];
    }
    line.count = static_cast<int32_t>(n);
    if (n < 2.0) return line;
    const double mi = si / n;
    const double mx = sx / n;
    double sii = 0.0;
    double six = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        if (std::isnan(x[i])) continue;
        sii += (static_cast<double>(i) - mi) * (static_cast<double>(i) - mi);
        six += (static_cast<double>(i) - mi) * (x[i] - mx);
    }
    line.meanRow = mi;
    line.meanValue = mx;
    line.slope = sii > 0.0 ? six / sii : 0.0;
    return line;
}

int32_t lineResiduals(const std::vector<double>& x, std::vector<double>& residuals) {
    residuals.assign(x.size(), std::numeric_limits<double>::quiet_NaN());
    const RowLine line = rowLine(x);
    if (line.count < 2) return line.count;
    for (size_t i = 0; i < x.size(); ++i) {
        if (std::isnan(x[i])) continue;
        residuals[i] = x[i] - line.meanValue - line.slope * (static_cast<double>(i) - line.meanRow);
    }
    return line.count;
}

double residualSigma(const std::vector<double>& x) {
    std::vector<double> r;
    const int32_t n = lineResiduals(x, r);
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    double ss = 0.0;
    for (double v : r)
        if (!std::isnan(v)) ss += v * v;
    return std::sqrt(ss / n);
}
