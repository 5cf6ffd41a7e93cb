// Helpers of the batch-report tests: a CSV reader, test images and reading pictures back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Splits CSV text into rows of fields (RFC 4180: quoted fields may hold commas, doubled quotes
// and line ends). A trailing line feed gives no extra empty row.
std::vector<std::vector<std::string>> parseCsv(const std::string& text);

// Position of `name` in a header row, or -1.
int columnOf(const std::vector<std::string>& header, const std::string& name);

// Writes an 8-bit binary PGM (top row first).
bool writePgm(const std::string& path,
              int32_t width,
              int32_t height,
              const std::vector<unsigned char>& grey);

// Writes a test image of `lines` vertical bright-edged lines with rough edges (seeded, so the
// same seed gives the same image), `width` x `height` pixels, as PGM.
bool writeLineImage(
    const std::string& path, int32_t width, int32_t height, int32_t lines, uint32_t seed);

// An RGB picture read back from a PNG file.
struct RgbPicture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<unsigned char> rgb;  // 3 bytes a pixel, top row first

    const unsigned char* at(int32_t x, int32_t y) const {
        return &rgb[3 *
                    (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x))];
    }
};
bool readPng(const std::string& path, RgbPicture& out);

// Number of pixels in the rectangle x0 <= x < x1, y0 <= y < y1 close to the colour (r, g, b):
// every channel within `tolerance`.
int countColour(const RgbPicture& picture,
                int32_t x0,
                int32_t y0,
                int32_t x1,
                int32_t y1,
                int r,
                int g,
                int b,
                int tolerance = 40);
