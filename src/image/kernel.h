// Gaussian smoothing kernel applied to the working image before edges are searched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A kernel of `rows` x `columns` weights, row after row: weight(l, m) is the weight of kernel
// row l (vertical offset l - rows / 2) and column m (horizontal offset m - columns / 2).
// An empty kernel (0 rows or columns) smooths every grid to zeros.
struct Kernel {
    int32_t rows = 0;
    int32_t columns = 0;
    std::vector<double> weights;  // rows * columns values

    double weight(int32_t l, int32_t m) const {
        return weights[static_cast<size_t>(l) * static_cast<size_t>(columns) +
                       static_cast<size_t>(m)];
    }
};

// Builds the normalised Gaussian kernel of `rows` (A) x `columns` (B) weights of width `sigma`
// pixels: raw weight exp(-(dx^2 + dy^2) / (sigma^2 + sigma^2)) at offsets dy = l - A / 2,
// dx = m - B / 2 (integer quotients, the centre `convolve` applies the kernel at; for odd sizes
// this is (A - 1) / 2), summed row after row into S and multiplied by the reciprocal 1 / S when
// S is not 0. sigma 0 gives NaN weights (which smooth to zeros). Sizes of 0 or below, or a
// kernel of more than kMaxKernelWeights weights, give an empty kernel (smoothing to zeros),
// so that a mistyped size cannot exhaust memory or stall the analysis.
constexpr int64_t kMaxKernelWeights = 65536;
Kernel gaussianKernel(int32_t rows, int32_t columns, double sigma);
