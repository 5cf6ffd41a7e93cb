// Drawing helpers shared by the batch report's Cairo pictures: colours, text placed by an
// anchor, and round tick values for linear axes.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>
#include <vector>

// An RGB colour, each channel 0 .. 1.
struct Colour {
    double r, g, b;
};
constexpr Colour kBlack = {0.0, 0.0, 0.0};
constexpr Colour kRed = {1.0, 0.0, 0.0};
constexpr Colour kGreen = {0.0, 1.0, 0.0};
constexpr Colour kBlue = {0.0, 0.0, 1.0};
constexpr Colour kGrid = {0.72, 0.72, 0.72};
constexpr Colour kWhite = {1.0, 1.0, 1.0};

void setColour(cairo_t* cr, const Colour& colour);

// `text` with every byte that does not start a valid UTF-8 sequence replaced by U+FFFD. Cairo
// fails on invalid UTF-8 (a Latin-1 file name, say) and draws nothing more on that surface.
std::string validUtf8(const std::string& text);

// Advance width of `text` (UTF-8; invalid bytes count as U+FFFD) in the current font, in user
// units.
double textWidth(cairo_t* cr, const std::string& text);

// Draws `text` (UTF-8, as textWidth) in the current font and colour with its horizontal anchor at
// x: 0 left, 0.5 centre, 1 right; y is the baseline.
void drawText(cairo_t* cr, const std::string& text, double x, double y, double anchor);

// A piece of text in one colour; titles are made of several.
struct TextPiece {
    std::string text;
    Colour colour;
};

// Draws the pieces one after another, each in its colour, the whole centred on centreX; y is
// the baseline.
void drawPieces(cairo_t* cr, const std::vector<TextPiece>& pieces, double centreX, double y);

// Ticks of a linear axis: the axis runs from `low` to `high` (both multiples of the step) and
// carries a tick at every value of `values`, in increasing order.
struct AxisTicks {
    double low = 0.0;
    double high = 1.0;
    double step = 1.0;
    std::vector<double> values;
    int32_t decimals = 0;  // digits after the point that tell the ticks apart
};

// Ticks covering `low` .. `high` (any order) with a step of 1, 2 or 5 times a power of ten,
// the smallest such step that needs at most `maxTicks` intervals (at least 1). A range of zero
// width is widened to the value +- 1 (or +- 5 % of it when larger); a non-finite bound gives
// the axis 0 .. 1. Where no such step exists (one interval over a range that holds a multiple
// of every step, or a range below the precision of its values) the axis is the range itself
// with ticks at its two ends.
AxisTicks linearTicks(double low, double high, int32_t maxTicks);

// `value` with `decimals` digits after the point ("%.*f"), "-0" shown as "0".
std::string tickLabel(double value, int32_t decimals);
