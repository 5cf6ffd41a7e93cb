#include "files/orientation.h"

#include <vector>

#include "files/databar.h"

namespace {

constexpr int32_t kLag = 4;
constexpr double kDominance = 2.0;
constexpr int32_t kMinSide = 16;

double lagEnergy(const std::vector<double>& profile) {
    double sum = 0.0;
    const size_t n = profile.size();
    for (size_t i = kLag; i < n; ++i) {
        const double d = profile[i] - profile[i - kLag];
        sum += d * d;
    }
    return sum / static_cast<double>(n - kLag);
}

}  // namespace

bool linesAreHorizontal(const GreyImage& grid) {
    if (grid.data == nullptr) return false;
    const DatabarRows bar = detectDatabar(grid);
    const int32_t first = bar.top;
    const int32_t end = grid.height - bar.bottom;
    if (grid.width < kMinSide || end - first < kMinSide) return false;
    std::vector<double> columns(static_cast<size_t>(grid.width), 0.0);
    std::vector<double> rows(static_cast<size_t>(end - first), 0.0);
    for (int32_t y = first; y < end; ++y) {
        double rowSum = 0.0;
        for (int32_t x = 0; x < grid.width; ++x) {
            const double v = grid.at(x, y);
            rowSum += v;
            columns[static_cast<size_t>(x)] += v;
        }
        rows[static_cast<size_t>(y - first)] = rowSum / grid.width;
    }
    for (double& c : columns) c /= (end - first);
    const double acrossColumns = lagEnergy(columns);
    const double acrossRows = lagEnergy(rows);
    return acrossRows > 0.0 && acrossRows >= kDominance * acrossColumns;
}
