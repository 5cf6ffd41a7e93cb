#include "stats/length_dependence.h"

#include <cmath>
#include <vector>

namespace {

// For every line k < lineCount, adds to out[k] the terms of the samples firstRow .. firstRow +
// count - 1 (0-based rows of the grid) in order: v = pixelSize * width, and the term is v
// itself, or (v - means[k])^2 when `means` is given. Four samples are added per step with the
// partial sum held in a register, one term after the other as a plain loop adds them.
void addSegmentSums(const GreyImage& grid,
                    int32_t firstRow,
                    int32_t count,
                    int32_t lineCount,
                    double pixelSize,
                    const double* means,
                    double* __restrict out) {
    const auto term = [&](const double* row, int32_t k) {
        const double v = pixelSize * row[k];
        if (means == nullptr) return v;
        const double d = v - means[k];
        return d * d;
    };
    int32_t s = 0;
    for (; s + 4 <= count; s += 4) {
        const double* r0 = grid.data + grid.index(0, firstRow + s);
        const double* r1 = r0 + grid.width;
        const double* r2 = r1 + grid.width;
        const double* r3 = r2 + grid.width;
        for (int32_t k = 0; k < lineCount; ++k) {
            double sum = out[k];
            sum += term(r0, k);
            sum += term(r1, k);
            sum += term(r2, k);
            sum += term(r3, k);
            out[k] = sum;
        }
    }
    for (; s < count; ++s) {
        const double* row = grid.data + grid.index(0, firstRow + s);
        for (int32_t k = 0; k < lineCount; ++k) out[k] += term(row, k);
    }
}

}  // namespace

LengthDependence lengthDependence(int32_t sampleCount,
                                  int32_t lineCount,
                                  const GreyImage& widthGrid,
                                  double pixelSize) {
    LengthDependence result;
    // With no line every statistic would be 0 / 0; a grid smaller than N x M cannot be cut.
    if (lineCount < 1 || widthGrid.height < sampleCount || widthGrid.width < lineCount)
        return result;
    const double divisions = std::floor(sampleCount * 0.1);
    if (!(divisions >= 1.0)) return result;
    const int32_t n = static_cast<int32_t>(divisions);
    if (!result.sigmaOfMeans.allocate(n) || !result.segmentLengths.allocate(n) ||
        !result.meanSigmas.allocate(n) || !result.sigmaOfSigmas.allocate(n))
        return LengthDependence();

    Series sigmas;
    Series means;
    // Per line, the running sums of the segments being cut: the M lines' values of one sample
    // lie side by side in the grid, so the M segments of one part are summed together, each
    // still over its own samples in order.
    std::vector<double> sumStorage(static_cast<size_t>(lineCount));
    std::vector<double> squareStorage(static_cast<size_t>(lineCount));
    double* sums = sumStorage.data();
    double* squares = squareStorage.data();
    for (int32_t i = 1; i <= n; ++i) {
        const double length = std::floor(static_cast<double>(sampleCount) / i);
        result.segmentLengths[i - 1] = length;
        const int32_t l = static_cast<int32_t>(length);
        if (!sigmas.allocate(i * lineCount) || !means.allocate(i * lineCount))
            return LengthDependence();
        for (int32_t part = 0; part < i; ++part) {
            // Rows part * L + 1 .. (part + 1) * L of every line, in nm (pixelSize * width).
            // Mean and population sigma of each segment are formed as Series::mean and
            // Series::standardDeviation form them: the sum first to last divided by the count,
            // then the squared deviations from that mean, first to last, divided by the count.
            const int32_t firstRow = part * l;
            for (int32_t k = 0; k < lineCount; ++k) sums[k] = 0.0;
            addSegmentSums(widthGrid, firstRow, l, lineCount, pixelSize, nullptr, sums);
            for (int32_t k = 0; k < lineCount; ++k) {
                sums[k] = sums[k] / l;  // the mean
                squares[k] = 0.0;
            }
            addSegmentSums(widthGrid, firstRow, l, lineCount, pixelSize, sums, squares);
            // Segment j = k * i + part: line by line, parts in order within a line.
            for (int32_t k = 0; k < lineCount; ++k) {
                sigmas[k * i + part] = std::sqrt(squares[k] / l);
                means[k * i + part] = sums[k];
            }
        }
        result.meanSigmas[i - 1] = sigmas.mean();
        result.sigmaOfSigmas[i - 1] = sigmas.standardDeviation(true);
        result.sigmaOfMeans[i - 1] = means.standardDeviation(true);
    }
    return result;
}
