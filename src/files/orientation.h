// Telling whether the lines of a picture run across it (horizontal) or down it (vertical).
#pragma once

#include "image/grey_image.h"

// True when the lines of `grid` (grey levels, row 0 the top) run horizontally. Rows of an
// information bar found by detectDatabar are left out. Compares how much the picture changes
// across columns with how much it changes across rows, on the mean profiles:
//   C(x) = mean of column x, R(y) = mean of row y;
//   Ec = mean of (C(x + 4) - C(x))^2, Er = mean of (R(y + 4) - R(y))^2;
// horizontal when Er >= 2 Ec and Er > 0. Averaging along the lines keeps their edges and
// averages the noise away, also noise that runs along the scan lines; comparing values 4 pixels
// apart counts edges blurred over a few pixels fully. A picture without a clear direction is
// taken as vertical. Grids under 16 rows or columns (after leaving out a bar) give false.
bool linesAreHorizontal(const GreyImage& grid);
