// Loading SEM image files into grey-level grids through the DevIL image library, which runs in
// a child process under limits (files/decode.h).
#pragma once

#include <cstdint>
#include <string>

#include "files/sixteen_bit.h"
#include "image/coarse_edges.h"
#include "image/grey_image.h"

// What is known about a loaded file besides its grey levels.
struct LoadedImageInfo {
    bool topRowFirst = false;    // true when grid row 0 is the top of the picture (PNG, TIFF...)
    std::string format;          // the pixels as stored: "8-bit grey", "8-bit palette", "24-bit
                                 // RGB", "16-bit grey", "96-bit float RGB", ...
    std::string fileType;        // "PNG", "TIFF", "BMP", ... from the headers; "" for others
    int64_t decoderPeakKib = 0;  // peak resident memory of the decoding process, KiB
    int32_t pictures = 0;  // pages, frames, faces or slices the file declares; the first is read
    // 16-bit files: the smallest and largest value of the first channel, before they were
    // brought to 0..255 by `sixteenBit` (files/sixteen_bit.h); -1 for other files.
    int32_t sixteenBitLowest = -1;
    int32_t sixteenBitHighest = -1;
    SixteenBitReduction sixteenBit;
};

// Loads `name` into `grid` as grey levels 0..255, one element per pixel, in the library's own
// row order (no origin mode is set): element i is the first byte of pixel i for 8-bit grey and
// colour files, for 16-bit files each value brought to 0..255 as sixteenBitReduction says
// (files/sixteen_bit.h: the high byte when the picture uses all 16 bits), and the first channel of
// the palette colour for palette files. Decodes with decodeImageFile and its default limits
// (pictures of up to 64 Mi pixels). Returns false, leaving `grid` untouched, when the file
// cannot be decoded or its grid cannot be stored. `info` (optional) receives the row order and
// the file's format.
bool loadGreyImage(const char* name, GreyImage& grid, LoadedImageInfo* info = nullptr);

// Loads `name` (as loadGreyImage) and locates its coarse edges (locateCoarseEdges with
// `bandLevel`). False when the file cannot be loaded; `edges` is then untouched.
bool findCoarseEdges(const char* name, double bandLevel, CoarseEdges& edges);
