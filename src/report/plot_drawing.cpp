#include "report/plot_drawing.h"

#include <cmath>
#include <cstdio>
#include <utility>

void setColour(cairo_t* cr, const Colour& colour) {
    cairo_set_source_rgb(cr, colour.r, colour.g, colour.b);
}

double textWidth(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

void drawText(cairo_t* cr, const std::string& text, double x, double y, double anchor) {
    cairo_move_to(cr, x - anchor * textWidth(cr, text), y);
    cairo_show_text(cr, text.c_str());
}

void drawPieces(cairo_t* cr, const std::vector<TextPiece>& pieces, double centreX, double y) {
    double total = 0.0;
    for (const TextPiece& piece : pieces) total += textWidth(cr, piece.text);
    double x = centreX - total / 2.0;
    for (const TextPiece& piece : pieces) {
        setColour(cr, piece.colour);
        drawText(cr, piece.text, x, y, 0.0);
        x += textWidth(cr, piece.text);
    }
}

AxisTicks linearTicks(double low, double high, int32_t maxTicks) {
    AxisTicks ticks;
    if (!std::isfinite(low) || !std::isfinite(high)) {
        ticks.values = {0.0, 1.0};
        ticks.decimals = 0;
        return ticks;
    }
    if (low > high) std::swap(low, high);
    if (high - low <= 0.0) {
        const double half = std::fmax(1.0, 0.05 * std::fabs(low));
        low -= half;
        high += half;
    }
    if (maxTicks < 1) maxTicks = 1;
    // The smallest 1, 2, 5 x 10^k step whose rounded-out range needs at most maxTicks steps.
    int32_t power = static_cast<int32_t>(std::floor(std::log10((high - low) / maxTicks)));
    double step = 0.0;
    double first = 0.0;
    double last = 0.0;
    for (int32_t attempt = 0; attempt < 8; ++attempt, ++power) {
        bool found = false;
        for (double mantissa : {1.0, 2.0, 5.0}) {
            step = mantissa * std::pow(10.0, power);
            first = std::floor(low / step);
            last = std::ceil(high / step);
            if (last - first <= maxTicks) {
                found = true;
                break;
            }
        }
        if (found) break;
    }
    ticks.step = step;
    ticks.low = first * step;
    ticks.high = last * step;
    for (double k = first; k <= last; k += 1.0) ticks.values.push_back(k * step);
    ticks.decimals = power < 0 ? -power : 0;
    return ticks;
}

std::string tickLabel(double value, int32_t decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", static_cast<int>(decimals), value);
    std::string label = text;
    // A tick at zero reached from below prints as "-0.0".
    bool allZero = true;
    for (char c : label)
        if (c != '-' && c != '0' && c != '.') allZero = false;
    if (allZero && !label.empty() && label[0] == '-') label.erase(0, 1);
    return label;
}
