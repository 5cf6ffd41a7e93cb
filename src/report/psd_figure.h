// The power-spectrum picture of one image: the averaged edge, width and placement PSDs on
// log-log axes with their fitted models and noise floors.
#pragma once

#include <cstdint>
#include <string>

#include "run/image_result.h"

constexpr int32_t kPsdFigureWidth = 800;
constexpr int32_t kPsdFigureHeight = 560;

// Writes the picture of `result` (decoded images only; an image without spectra shows empty
// axes with the reason) as PNG or SVG. False when the image was not decoded or the file cannot
// be written.
bool writePsdFigurePng(const ImageResult& result, const std::string& path);
bool writePsdFigureSvg(const ImageResult& result, const std::string& path);
