// The SEM image view: the marked picture as a mipmapped texture, drawn under its caption.
#pragma once

#include "run/result_store.h"

// Makes a mipmapped GL_TEXTURE_2D from a packed pixel buffer and returns its GL name.
//
// pixels         height rows of width pixels, row after row, bytesPerPixel bytes each; only
//                read, and the caller keeps it.
// bytesPerPixel  3 is taken as RGB, 4 as RGBA, 1 or 2 as luminance.
// Each side is scaled (image library, default filter) to the largest power of two strictly
// below it (1000 -> 512, 512 -> 256; a side of 1 stays 1). Filters: GL_LINEAR_MIPMAP_LINEAR /
// GL_LINEAR; wrap GL_CLAMP_TO_EDGE in s and t. Needs a current GL context and an initialised
// image library. On return the texture is bound to GL_TEXTURE_2D. Returns 0 (no texture) when
// `pixels` is null, a side is below 1, bytesPerPixel is outside 1..4 or the image library
// cannot build or scale the image.
unsigned int makeTexture(const unsigned char* pixels, int width, int height, int bytesPerPixel);

// Draws the image view in viewport (15, 276, 241, 236): the caption "<name> : SEM image" in
// black at logical (0, 512), in the grey strip above the image, then the record's texture
// stretched over 512 x 502 logical units, upright whatever row order the picture has
// (record.pictureTopDown). Leaves texturing off and the colour white.
void drawImageView(const DisplayRecord& record);
