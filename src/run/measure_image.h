// The one entry point that measures an image, from a file or from grey levels in memory:
// decoding in a child process, setup (pixel size, data bar, orientation, region, contrast), the
// whole-pixel analysis, the metrology and the quality flags, into one ImageResult.
#pragma once

#include <string>

#include "image/grey_image.h"
#include "run/analysis_settings.h"
#include "run/image_result.h"

// Measures the image file `result.path` with `settings` into `result` (its position, name,
// path, group and pairing are kept; everything else is replaced). A missing file, a file that
// cannot be decoded (with the decoder's one-line reason) and an image without a measurable
// line end with that status and a reason; nothing is thrown or printed.
void measureImageFile(const AnalysisSettings& settings, ImageResult& result);

// Measures grey levels already in memory (`grid`, row 0 the top of the picture, levels 0..255)
// as `measureImageFile` does, without file metadata: the pixel size is the settings' or none.
void measureGreyImage(const GreyImage& grid, const AnalysisSettings& settings, ImageResult& result);

// True when `settings` keep the picture as the file delivers it: vertical lines, no data bar,
// no region and no ROI. The whole-pixel figures are then exactly those of the console program.
bool keepsFileOrder(const AnalysisSettings& settings);
