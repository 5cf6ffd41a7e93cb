// SVG files of the report's pictures whose bytes depend only on the drawing, not on what else the
// process drew before or at the same time (pictures are drawn by several workers at once).
#pragma once

#include <cairo.h>

#include <functional>
#include <string>

// `svg` (a document written by Cairo's SVG surface) with the ids that Cairo numbers across the
// whole process ("surfaceN" of drawing groups, "imageN" of embedded pictures) renumbered from 1
// in the order they first appear, every reference ("#surfaceN", "#imageN") with its id. Other
// ids (glyphs, clips, patterns) are numbered per document by Cairo and stay as they are.
std::string withDocumentIds(const std::string& svg);

// Draws a width x height SVG document with `draw` and returns it with its ids renumbered by
// withDocumentIds; an empty text when Cairo reports an error. Sizes are in points, or with
// `pixelUnits` in px (the document's width and height then say "px").
std::string svgDocument(double width,
                        double height,
                        bool pixelUnits,
                        const std::function<void(cairo_t*)>& draw);

// Draws a width x height (points) SVG document with `draw` and writes it to `path`, its ids
// renumbered by withDocumentIds. False when Cairo reports an error (nothing written) or the
// file cannot be written whole.
bool writeSvgFile(const std::string& path,
                  double width,
                  double height,
                  const std::function<void(cairo_t*)>& draw);
