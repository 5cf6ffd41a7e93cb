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
        sigmas.zero();
        means.zero();
        int32_t j = 0;
        for (int32_t k = 0; k < lineCount; ++k) {
            for (int32_t part = 0; part < i; ++part) {
                // Rows part * L + 1 .. (part + 1) * L of column k + 1, in nm.
                const int32_t firstRow = part * l;
                for (int32_t s = 0; s < l; ++s) segment[s] = widthGrid.at(k, firstRow + s);
                segment.scale(pixelSize);
                sigmas[j] = segment.standardDeviation(true);
                means[j] = segment.mean();
                ++j;
            }
        }
        result.meanSigmas[i - 1] = sigmas.mean();
        result.sigmaOfSigmas[i - 1] = sigmas.standardDeviation(true);
        result.sigmaOfMeans[i - 1] = means.standardDeviation(true);
    }
    return result;
}
