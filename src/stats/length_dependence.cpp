#include "stats/length_dependence.h"

#include <cmath>

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
    Series segment;
    for (int32_t i = 1; i <= n; ++i) {
        const double length = std::floor(static_cast<double>(sampleCount) / i);
        result.segmentLengths[i - 1] = length;
        const int32_t l = static_cast<int32_t>(length);
        if (!sigmas.allocate(i * lineCount) || !means.allocate(i * lineCount) ||
            !segment.allocate(l))
            return LengthDependence();
        int32_t j = 0;
        for (int32_t k = 0; k < lineCount; ++k) {
            for (int32_t part = 0; part < i; ++part) {
                // Rows part * L + 1 .. (part + 1) * L of column k + 1, in nm. The segment's
                // mean and population sigma are formed as Series::mean and
                // Series::standardDeviation form them (the sum first to last, divided by the
                // count; the squared deviations from that mean, divided by the count), the
                // mean once for both.
                const int32_t firstRow = part * l;
                double* values = segment.data;
                double sum = 0.0;
                for (int32_t s = 0; s < l; ++s) {
                    const double v = pixelSize * widthGrid.at(k, firstRow + s);
                    values[s] = v;
                    sum += v;
                }
                const double mean = sum / l;
                double squares = 0.0;
                for (int32_t s = 0; s < l; ++s) {
                    const double d = values[s] - mean;
                    squares += d * d;
                }
                sigmas[j] = std::sqrt(squares / l);
                means[j] = mean;
                ++j;
            }
        }
        result.meanSigmas[i - 1] = sigmas.mean();
        result.sigmaOfSigmas[i - 1] = sigmas.standardDeviation(true);
        result.sigmaOfMeans[i - 1] = means.standardDeviation(true);
    }
    return result;
}
