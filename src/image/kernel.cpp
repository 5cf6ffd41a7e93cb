#include "image/kernel.h"

#include <cmath>

Kernel gaussianKernel(int32_t rows, int32_t columns, double sigma) {
    Kernel kernel;
    if (rows <= 0 || columns <= 0) return kernel;
    if (static_cast<int64_t>(rows) * static_cast<int64_t>(columns) > kMaxKernelWeights)
        return kernel;
    kernel.rows = rows;
    kernel.columns = columns;
    kernel.weights.resize(static_cast<size_t>(rows) * static_cast<size_t>(columns));
    // Offsets are taken from the centre at which convolve applies the kernel (size / 2); for
    // odd sizes that equals (size - 1) / 2, and even sizes get a defined weight in every cell.
    const int32_t hr = rows / 2;
    const int32_t hc = columns / 2;
    const double twoSigmaSquared = sigma * sigma + sigma * sigma;
    double s = 0.0;
    size_t i = 0;
    for (int32_t l = 0; l < rows; ++l) {
        const double dy = l - hr;
        for (int32_t m = 0; m < columns; ++m) {
            const double dx = m - hc;
            const double w = std::exp(-(dx * dx + dy * dy) / twoSigmaSquared);
            kernel.weights[i++] = w;
            s += w;
        }
    }
    if (s != 0.0) {
        const double reciprocal = 1.0 / s;
        for (double& w : kernel.weights) w = reciprocal * w;
    }
    return kernel;
}
