// Width statistics against line length: every line cut into 1, 2, ... n equal segments.
#pragma once

#include <cstdint>

#include "image/grey_image.h"
#include "stats/series.h"

// Element i (1-based) belongs to the division of each line into i segments of
// floor(N / i) samples.
struct LengthDependence {
    Series sigmaOfMeans;    // population sigma of the segment mean widths, nm
    Series segmentLengths;  // floor(N / i), samples
    Series meanSigmas;      // mean of the segment width sigmas, nm
    Series sigmaOfSigmas;   // population sigma of the segment width sigmas, nm
};

// n = floor(N * 0.1) divisions of the `lineCount` columns of `widthGrid` (N = sampleCount
// rows, pixels); widths are multiplied by `pixelSize` before any statistic. N < 10, no line
// (M < 1) or a grid smaller than N rows by M columns gives four empty Series.
LengthDependence lengthDependence(int32_t sampleCount,
                                  int32_t lineCount,
                                  const GreyImage& widthGrid,
                                  double pixelSize);
