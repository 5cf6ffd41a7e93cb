// The picture of one analysed image, drawn with Cairo with the content of the result window:
// the marked SEM image upright with its edges in red (upper left), the average HHCF with the
// fitted line on log-log axes (upper right), the 3-sigma LWR, 3-sigma CD variation and
// infinite-length LWR against line length (lower left) and the % uncertainty of sigma LWR
// against line length (lower right).
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>
#include <vector>

#include "image/picture.h"
#include "run/image_result.h"

// Size of the whole picture and of each of its four square panels, in pixels.
constexpr int32_t kFigureSide = 800;
constexpr int32_t kPanelSide = kFigureSide / 2;

// The plot box of the panel whose upper-left corner is (panelX, panelY), in picture pixels:
// left, top, right, bottom.
struct PixelBox {
    double left = 0.0;
    double top = 0.0;
    double right = 0.0;
    double bottom = 0.0;
};
PixelBox plotBox(int32_t panelX, int32_t panelY);

// An RGB picture scaled for a panel: width x height pixels of 3 bytes, top row first.
struct PanelImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<unsigned char> rgb;
};

// Scales `picture` to fit within maxWidth x maxHeight pixels, keeping its aspect ratio, and turns
// it upright: row 0 of the result is the top of the image (the picture's row 0 when
// `topRowFirst`, its last row otherwise). Each result pixel covers a block of picture pixels:
// it is kBandEdgeMark when any pixel of the block has that colour, else kEdgeMark when any has
// that one, otherwise the rounded mean grey level of the block, so that one-pixel edges stay
// visible when the image is shrunk. False, with `out` empty, for an empty picture or a bound
// below 1.
bool fitPicture(
    const Picture& picture, bool topRowFirst, int32_t maxWidth, int32_t maxHeight, PanelImage& out);

// The image panel's caption "<name> : SEM image" as the window writes it, or, when that is
// wider than `width` (user units, the current font of `cr`), with the name's folders left out
// and then its first characters replaced by "...", whole UTF-8 characters only, so that the file
// name's end and the caption's words stay readable.
std::string fittedCaption(cairo_t* cr, const std::string& name, double width);

// Draws the picture of `report` (loaded images only: its analysis picture and display record)
// and writes it as a PNG of kFigureSide x kFigureSide pixels, or as SVG of the same size.
// False when the image was not loaded or the file cannot be written.
bool writeFigurePng(const ImageResult& report, const std::string& path);
bool writeFigureSvg(const ImageResult& report, const std::string& path);

// Frees the font and surface caches the drawing library keeps for the life of the process, so
// that a leak checker sees only real leaks. Call once, after the last picture.
void releaseFigureCaches();
