// Finding the rows of a picture of vertical lines in which every line runs, so that line ends
// inside the picture (and their rounded corners) stay out of the measurement.
#pragma once

#include <cstdint>

#include "image/grey_image.h"

// Rows first .. last of a grid, 1-based, inclusive.
struct RowRange {
    int32_t first = 0;
    int32_t last = 0;
};

// The rows of `grid` (grey levels, row 0 the top, lines vertical and running through its middle
// row) in which every line runs with straight edges. Rows of an information bar found by
// detectDatabar are left out, and so are blank rows at the top and bottom (each row's 5 %-95 %
// spread, after the smoothing below, under 0.25 of that of the middle fifth's mean profile: a
// strip where the scan stopped, a bar without marks) with 4 rows beyond them. The grid is smoothed
// (5 x 5 mean); the profile of the middle rows (the middle fifth) is compared with the profile of
// the 8 rows at the top (and at the bottom): a line that ends inside the picture shows there as a
// run of at least max(24, width / 64) columns that differ from the middle by more than T = max(8,
// 0.4 x the middle profile's 5 %-95 % spread), flat on both sides (a line body against background;
// spread of each under 0.15 x the difference), at the border as bright as the 16 columns beside it
// (within 0.25 x the difference: the line is gone, the background goes on), as wide as the line
// body in the middle rows (within 25 %), and whose columns change over at nearly the same row
// (interquartile range at most max(8, width of the run / 4)). Runs that are not like this
// (particles or defects at the border, tilt, shading) are passed over. A line with a bright band
// inside each edge ends as two such narrow runs (its bands) joined by its body, which differs
// by less than T: runs of the same sign are joined across columns that differ by more than
// max(8, T / 4), and the joined run is judged the same way except that its middle profile
// (band, body, band) need not be flat; its rows count as straight only once the middle third
// of the run is back within half the difference of the middle's level (past the band that
// closes the line's end). From where such a line's
// body ends, the range begins where the body is back to its full width (within max(3, 3 %) pixels)
// for 8 rows in a row, so that rounded corners are cut away too. Without such runs, the range is
// every row outside a bar; a grid under 32 x 32 is taken whole.
RowRange detectLineRows(const GreyImage& grid);
