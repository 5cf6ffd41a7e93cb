// A reader of 8-bit greyscale PNG files for the metrology tests, so that they read the real SEM
// crops without the image library (zlib only).
#pragma once

#include <string>

#include "image/grey_image.h"

// Reads `path`, an 8-bit greyscale non-interlaced PNG, into `grid` (top row first, levels
// 0..255). False for any other file or a damaged one; `grid` is then untouched.
bool readGreyPng(const std::string& path, GreyImage& grid);
