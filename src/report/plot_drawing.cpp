#include "report/plot_drawing.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace {

// Length of the valid UTF-8 sequence at p (1 .. 4), or 0 when it is not one.
size_t utf8SequenceLength(const unsigned char* p, size_t remaining) {
    auto continuation = [&](size_t i, unsigned char low, unsigned char high) {
        return i < remaining && p[i] >= low && p[i] <= high;
    };
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return continuation(1, 0x80, 0xBF) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned char low = c == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = c == 0xED ? 0x9F : 0xBF;
        return continuation(1, low, high) && continuation(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned char low = c == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = c == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, low, high) && continuation(2, 0x80, 0xBF) &&
                       continuation(3, 0x80, 0xBF)
                   ? 4
                   : 0;
    }
    return 0;
}

}  // namespace

void setColour(cairo_t* cr, const Colour& colour) {
    cairo_set_source_rgb(cr, colour.r, colour.g, colour.b);
}

std::string validUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8SequenceLength(bytes + i, text.size() - i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

double textWidth(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, validUtf8(text).c_str(), &extents);
    return extents.x_advance;
}

void drawText(cairo_t* cr, const std::string& text, double x, double y, double anchor) {
    cairo_move_to(cr, x - anchor * textWidth(cr, text), y);
    cairo_show_text(cr, validUtf8(text).c_str());
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
    ticks.values = {0.0, 1.0};
    if (!std::isfinite(low) || !std::isfinite(high)) return ticks;
    if (low > high) std::swap(low, high);
    if (high - low <= 0.0) {
        const double half = std::fmax(1.0, 0.05 * std::fabs(low));
        low -= half;
        high += half;
    }
    if (maxTicks < 1) maxTicks = 1;
    const double span = (high - low) / maxTicks;
    if (!std::isfinite(span) || !(span > 0.0)) return ticks;
    // The smallest 1, 2, 5 x 10^k step whose rounded-out range needs at most maxTicks steps;
    // with two or more steps allowed, one of the first two powers always does.
    int32_t power = static_cast<int32_t>(std::floor(std::log10(span)));
    for (int32_t attempt = 0; attempt < 2; ++attempt, ++power) {
        for (double mantissa : {1.0, 2.0, 5.0}) {
            const double step = mantissa * std::pow(10.0, power);
            const double first = std::floor(low / step);
            const double last = std::ceil(high / step);
            // Far from zero, low and high can round to one multiple of a step that is below
            // their precision: such a step does not make an axis.
            if (!(last - first <= maxTicks) || !(last > first)) continue;
            const int32_t count = static_cast<int32_t>(last - first);
            ticks.step = step;
            ticks.low = first * step;
            ticks.high = last * step;
            ticks.values.clear();
            for (int32_t i = 0; i <= count; ++i) ticks.values.push_back((first + i) * step);
            ticks.decimals = power < 0 ? -power : 0;
            return ticks;
        }
    }
    // No round step tells the ends apart: the range itself.
    ticks.low = low;
    ticks.high = high;
    ticks.step = high - low;
    ticks.values = {low, high};
    ticks.decimals = 0;
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
