// Loading SEM image files into grey-level grids through the DevIL image library.
#pragma once

#include "image/coarse_edges.h"
#include "image/grey_image.h"

// How the library delivered the rows of a loaded file.
struct LoadedImageInfo {
    bool topRowFirst = false;  // true when grid row 0 is the top of the picture (PNG, TIFF...)
};

// Loads `name` into `grid` as grey levels 0..255, one element per pixel, in the library's own
// row order (no origin mode is set): element i is the first byte of pixel i for 8-bit grey and
// colour files, the high byte of each 16-bit value for 16-bit files, and the first channel of
// the palette colour for palette files. The image library must be initialised (ilInit).
// Returns false, leaving `grid` untouched, when the file cannot be loaded or its grid cannot
// be stored. `info` (optional) receives the row order.
bool loadGreyImage(const char* name, GreyImage& grid, LoadedImageInfo* info = nullptr);

// Loads `name` again and locates its coarse edges (locateCoarseEdges with `bandLevel`).
// False when the file cannot be loaded; `edges` is then untouched.
bool findCoarseEdges(const char* name, double bandLevel, CoarseEdges& edges);
