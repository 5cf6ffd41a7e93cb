// Finding a microscope's information bar (text, scale bar, settings on a black or white band)
// in the picture itself, for files whose metadata does not give its height.
#pragma once

#include <cstdint>

#include "image/grey_image.h"

// Rows of an information bar at the top and at the bottom of a picture.
struct DatabarRows {
    int32_t top = 0;     // rows 1 .. top belong to a bar; 0 when there is none
    int32_t bottom = 0;  // rows height - bottom + 1 .. height belong to a bar; 0 when none
};

// Looks for an information bar at the bottom and at the top of `grid` (grey levels 0..255, row
// 0 the top of the picture). A bar row is a row of which at least 75 % of the pixels are
// saturated (level <= 24 or >= 231): a black or white band with text. The bar is the unbroken
// run of bar rows from the last (first) row inwards, when
//   - it holds marks: in at least one of its rows at least 0.5 % of the pixels are saturated at
//     the other end of the scale from the row's majority (text, scale bar);
//   - it is 8 to height / 3 rows high (a saturated picture, or a band without marks, is not a
//     bar).
// Grids under 16 rows or 16 columns have no bar.
DatabarRows detectDatabar(const GreyImage& grid);

// Rows of an information bar at the bottom of `grid` (detectDatabar(grid).bottom); 0 when none.
int32_t detectDatabarRows(const GreyImage& grid);
