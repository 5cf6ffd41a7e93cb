// Pictures for the image-setup tests: synthetic lines with an information bar added, turned,
// sheared, or with line ends painted in.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "image/grey_image.h"
#include "synthetic/synthetic_sem.h"

// A synthetic picture of vertical lines, `width` x `height`, top row first.
inline GreyImage syntheticLines(int32_t width,
                                int32_t height,
                                SyntheticContrast contrast = SyntheticContrast::kBrightEdges,
                                SyntheticSem* drawn = nullptr) {
    SyntheticSemSettings settings;
    settings.width = width;
    settings.height = height;
    settings.contrast = contrast;
    if (contrast != SyntheticContrast::kBrightEdges) {
        // Wide plain lines like those of a desktop microscope.
        settings.pitch = 120.0;
        settings.cd = 64.0;
        settings.firstEdge = 40.0;
        settings.backgroundLevel = 110.0;
        settings.bandLevel = 170.0;
        settings.noiseSigma = 8.0;
    }
    SyntheticSem image;
    EXPECT_TRUE(makeSyntheticSem(settings, image));
    GreyImage grid;
    toGreyImage(image, grid);
    if (drawn != nullptr) *drawn = image;
    return grid;
}

// `picture` with an information bar of `rows` rows added at the bottom (or the top): black with
// white marks like text on every other group of rows, or white with black marks.
inline GreyImage withBar(const GreyImage& picture,
                         int32_t rows,
                         bool atTop = false,
                         bool marks = true,
                         bool white = false) {
    GreyImage out;
    EXPECT_TRUE(out.allocate(picture.width, picture.height + rows));
    const int32_t barStart = atTop ? 0 : picture.height;
    const int32_t pictureStart = atTop ? rows : 0;
    for (int32_t y = 0; y < picture.height; ++y) {
        for (int32_t x = 0; x < picture.width; ++x) out.at(x, pictureStart + y) = picture.at(x, y);
    }
    const double ground = white ? 255.0 : 0.0;
    for (int32_t y = 0; y < rows; ++y) {
        const bool textRow = marks && (y / 6) % 2 == 1;
        for (int32_t x = 0; x < picture.width; ++x) {
            const bool mark = textRow && x % 40 < 6;
            out.at(x, barStart + y) = mark ? 255.0 - ground : ground;
        }
    }
    return out;
}

inline GreyImage transposed(const GreyImage& grid) {
    GreyImage out;
    grid.transpose(out);
    return out;
}

// Every row shifted right by row / `rowsPerColumn` columns (wrapping round): lines tilted by
// one column per `rowsPerColumn` rows.
inline GreyImage sheared(const GreyImage& grid, int32_t rowsPerColumn) {
    GreyImage out;
    EXPECT_TRUE(out.allocate(grid.width, grid.height));
    for (int32_t y = 0; y < grid.height; ++y) {
        const int32_t shift = y / rowsPerColumn;
        for (int32_t x = 0; x < grid.width; ++x)
            out.at((x + shift) % grid.width, y) = grid.at(x, y);
    }
    return out;
}

// Paints background (with noise) over columns first .. last (0-based) of rows y0 .. y1 - 1.
inline void paintBackground(GreyImage& grid,
                            int32_t first,
                            int32_t last,
                            int32_t y0,
                            int32_t y1,
                            double level,
                            double noise,
                            uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, noise);
    for (int32_t y = y0; y < y1; ++y) {
        for (int32_t x = std::max(0, first); x <= last && x < grid.width; ++x)
            grid.at(x, y) = level + normal(random);
    }
}
