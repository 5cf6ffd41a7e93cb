#include "report/batch_plots.h"

#include <cairo.h>
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_sort.h>
#include <gsl/gsl_statistics_double.h>

#include <algorithm>

#include "report/plot_drawing.h"
#include "report/svg_file.h"

namespace {

constexpr Colour kAxis = {0.25, 0.25, 0.25};
constexpr Colour kLightGrid = {0.88, 0.88, 0.88};
constexpr Colour kBoxFill = {0.84, 0.89, 0.95};
constexpr Colour kBoxLine = {0.16, 0.32, 0.55};
constexpr Colour kDot = {0.20, 0.20, 0.20};
constexpr Colour kFlagged = {0.91, 0.45, 0.0};
constexpr Colour kMean = {0.72, 0.09, 0.09};
constexpr Colour kStripe = {0.965, 0.965, 0.965};

constexpr double kPi = 3.14159265358979323846;
constexpr double kLabelSize = 11.0;
constexpr double kTitleSize = 12.0;

// Runs `draw` on an SVG surface of width x height px on a white ground, sans-serif selected,
// and returns the document (svgDocument: ids renumbered, empty when Cairo reports an error).
template <typename Draw>
std::string drawSvg(double width, double height, Draw draw) {
    return svgDocument(width, height, true, [&](cairo_t* cr) {
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
        setColour(cr, kWhite);
        cairo_paint(cr);
        draw(cr);
    });
}

// A horizontal value axis mapped onto left .. right.
struct ValueScale {
    AxisTicks ticks;
    double left = 0.0;
    double right = 1.0;
    double x(double value) const {
        return left + (value - ticks.low) / (ticks.high - ticks.low) * (right - left);
    }
};

// Grid lines from top to bottom at every tick, the axis line at `bottom` and the tick labels
// below it.
void drawValueAxis(cairo_t* cr, const ValueScale& scale, double top, double bottom) {
    cairo_set_line_width(cr, 1.0);
    setColour(cr, kLightGrid);
    for (double value : scale.ticks.values) {
        const double x = std::round(scale.x(value)) + 0.5;
        cairo_move_to(cr, x, top);
        cairo_line_to(cr, x, bottom);
    }
    cairo_stroke(cr);
    setColour(cr, kAxis);
    cairo_move_to(cr, scale.left, bottom + 0.5);
    cairo_line_to(cr, scale.right, bottom + 0.5);
    for (double value : scale.ticks.values) {
        const double x = std::round(scale.x(value)) + 0.5;
        cairo_move_to(cr, x, bottom);
        cairo_line_to(cr, x, bottom + 4.0);
    }
    cairo_stroke(cr);
    cairo_set_font_size(cr, kLabelSize);
    for (double value : scale.ticks.values)
        drawText(cr, tickLabel(value, scale.ticks.decimals), scale.x(value), bottom + 16.0, 0.5);
}

// A horizontal interval bar with end caps and a diamond at the estimate.
void drawEstimate(cairo_t* cr, const ValueScale& scale, double value, double ci95, double y) {
    if (!std::isfinite(value)) return;
    setColour(cr, kMean);
    cairo_set_line_width(cr, 1.8);
    if (std::isfinite(ci95)) {
        const double low = scale.x(value - ci95);
        const double high = scale.x(value + ci95);
        cairo_move_to(cr, low, y);
        cairo_line_to(cr, high, y);
        cairo_move_to(cr, low, y - 5.0);
        cairo_line_to(cr, low, y + 5.0);
        cairo_move_to(cr, high, y - 5.0);
        cairo_line_to(cr, high, y + 5.0);
        cairo_stroke(cr);
    }
    const double x = scale.x(value);
    cairo_move_to(cr, x, y - 5.5);
    cairo_line_to(cr, x + 5.5, y);
    cairo_line_to(cr, x, y + 5.5);
    cairo_line_to(cr, x - 5.5, y);
    cairo_close_path(cr);
    cairo_fill(cr);
}

void drawDot(cairo_t* cr, double x, double y, bool flagged) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x, y, flagged ? 4.0 : 3.5, 0.0, 2.0 * kPi);
    if (flagged) {
        setColour(cr, kFlagged);
        cairo_fill_preserve(cr);
        setColour(cr, kBlack);
        cairo_set_line_width(cr, 0.8);
        cairo_stroke(cr);
    } else {
        cairo_set_source_rgba(cr, kDot.r, kDot.g, kDot.b, 0.6);
        cairo_fill(cr);
    }
}

// `text` cut with an ellipsis so that it is at most `width` wide in the current font.
std::string fitText(cairo_t* cr, const std::string& text, double width) {
    if (textWidth(cr, text) <= width) return text;
    std::string cut = text;
    while (!cut.empty()) {
        // Remove a whole UTF-8 character: its continuation bytes, then its lead byte.
        while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xC0) == 0x80)
            cut.pop_back();
        if (!cut.empty()) cut.pop_back();
        if (textWidth(cr, cut + "\u2026") <= width) break;
    }
    return cut + "\u2026";
}

}  // namespace

SampleSummary summarizeSample(const std::vector<double>& values) {
    SampleSummary s;
    std::vector<double> finite;
    for (double v : values)
        if (std::isfinite(v)) finite.push_back(v);
    s.count = static_cast<int32_t>(finite.size());
    if (finite.empty()) return s;
    const size_t n = finite.size();
    s.mean = gsl_stats_mean(finite.data(), 1, n);
    gsl_sort(finite.data(), 1, n);
    s.minimum = finite.front();
    s.maximum = finite.back();
    s.q1 = gsl_stats_quantile_from_sorted_data(finite.data(), 1, n, 0.25);
    s.median = gsl_stats_median_from_sorted_data(finite.data(), 1, n);
    s.q3 = gsl_stats_quantile_from_sorted_data(finite.data(), 1, n, 0.75);
    if (n >= 2) {
        s.sd = gsl_stats_sd_m(finite.data(), 1, n, s.mean);
        const double t = gsl_cdf_tdist_Pinv(0.975, static_cast<double>(n - 1));
        s.ci95 = t * s.sd / std::sqrt(static_cast<double>(n));
    }
    return s;
}

std::string distributionSvg(const std::string& axisTitle, const std::vector<PlotSample>& samples) {
    std::vector<double> values;
    for (const PlotSample& sample : samples) values.push_back(sample.value);
    const SampleSummary s = summarizeSample(values);
    if (s.count == 0) return std::string();

    const double width = kBatchPlotWidth;
    const double height = 190.0;
    double low = s.minimum;
    double high = s.maximum;
    if (std::isfinite(s.ci95)) {
        low = std::min(low, s.mean - s.ci95);
        high = std::max(high, s.mean + s.ci95);
    }
    ValueScale scale;
    scale.ticks = linearTicks(low, high, 8);
    scale.left = 120.0;
    scale.right = width - 24.0;
    const double top = 34.0;
    const double bottom = height - 46.0;
    const double stripY = top + 38.0;
    const double meanY = bottom - 14.0;

    return drawSvg(width, height, [&](cairo_t* cr) {
        drawValueAxis(cr, scale, top, bottom);
        cairo_set_font_size(cr, kLabelSize);
        setColour(cr, kAxis);
        drawText(cr, axisTitle, (scale.left + scale.right) / 2.0, bottom + 34.0, 0.5);
        drawText(cr, "images", scale.left - 10.0, stripY + 4.0, 1.0);
        drawText(cr, "mean, 95 % CI", scale.left - 10.0, meanY + 4.0, 1.0);

        // Box from the first to the third quartile, whiskers to the extremes.
        const double boxHalf = 20.0;
        cairo_set_line_width(cr, 1.2);
        setColour(cr, kBoxLine);
        cairo_move_to(cr, scale.x(s.minimum), stripY);
        cairo_line_to(cr, scale.x(s.q1), stripY);
        cairo_move_to(cr, scale.x(s.q3), stripY);
        cairo_line_to(cr, scale.x(s.maximum), stripY);
        for (double end : {s.minimum, s.maximum}) {
            cairo_move_to(cr, scale.x(end), stripY - boxHalf / 2.0);
            cairo_line_to(cr, scale.x(end), stripY + boxHalf / 2.0);
        }
        cairo_stroke(cr);
        const double boxLeft = scale.x(s.q1);
        const double boxWidth = std::max(1.0, scale.x(s.q3) - boxLeft);
        cairo_rectangle(cr, boxLeft, stripY - boxHalf, boxWidth, 2.0 * boxHalf);
        setColour(cr, kBoxFill);
        cairo_fill_preserve(cr);
        setColour(cr, kBoxLine);
        cairo_stroke(cr);
        cairo_set_line_width(cr, 2.5);
        cairo_move_to(cr, scale.x(s.median), stripY - boxHalf);
        cairo_line_to(cr, scale.x(s.median), stripY + boxHalf);
        cairo_stroke(cr);

        // One dot per image, spread over the box height by a fixed low-discrepancy sequence so
        // that equal values stay apart and the picture is the same on every run. Flagged dots
        // come last, on top.
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t i = 0; i < samples.size(); ++i) {
                if (!std::isfinite(samples[i].value) || samples[i].flagged != (pass == 1)) continue;
                const double fraction = std::fmod(0.5 + 0.6180339887498949 * i, 1.0);
                const double y = stripY + (fraction - 0.5) * 1.6 * boxHalf;
                drawDot(cr, scale.x(samples[i].value), y, samples[i].flagged);
            }
        }
        drawEstimate(cr, scale, s.mean, s.ci95, meanY);

        // Legend, top right.
        cairo_set_font_size(cr, kLabelSize);
        double x = width - 24.0;
        const double y = 18.0;
        const std::string meanText = "mean and 95 % t-interval";
        x -= textWidth(cr, meanText);
        setColour(cr, kAxis);
        drawText(cr, meanText, x, y + 4.0, 0.0);
        ValueScale unit;
        unit.ticks.low = 0.0;
        unit.ticks.high = 1.0;
        unit.left = x - 34.0;
        unit.right = x - 8.0;
        drawEstimate(cr, unit, 0.5, 0.5, y);
        x = unit.left - 22.0;
        const std::string flaggedText = "flagged image";
        x -= textWidth(cr, flaggedText);
        setColour(cr, kAxis);
        drawText(cr, flaggedText, x, y + 4.0, 0.0);
        drawDot(cr, x - 9.0, y, true);
        x -= 30.0;
        const std::string imageText = "image";
        x -= textWidth(cr, imageText);
        setColour(cr, kAxis);
        drawText(cr, imageText, x, y + 4.0, 0.0);
        drawDot(cr, x - 9.0, y, false);
        cairo_set_font_size(cr, kTitleSize);
        drawText(cr, "n = " + std::to_string(s.count), 16.0, y + 4.0, 0.0);
    });
}

std::string groupComparisonSvg(const std::vector<std::string>& groupNames,
                               const std::vector<GroupQuantity>& quantities) {
    if (groupNames.empty() || quantities.empty()) return std::string();
    const double width = kBatchPlotWidth;
    const double nameColumn = 170.0;
    const double rowHeight = 26.0;
    const double top = 40.0;
    const double bottom = top + rowHeight * static_cast<double>(groupNames.size());
    const double height = bottom + 30.0;
    const double panelWidth = (width - nameColumn - 8.0) / static_cast<double>(quantities.size());

    return drawSvg(width, height, [&](cairo_t* cr) {
        for (size_t g = 0; g < groupNames.size(); g += 2) {
            setColour(cr, kStripe);
            cairo_rectangle(cr, 0.0, top + rowHeight * static_cast<double>(g), width, rowHeight);
            cairo_fill(cr);
        }
        cairo_set_font_size(cr, kLabelSize);
        setColour(cr, kAxis);
        for (size_t g = 0; g < groupNames.size(); ++g) {
            const double y = top + rowHeight * (static_cast<double>(g) + 0.5);
            drawText(cr, fitText(cr, groupNames[g], nameColumn - 20.0), nameColumn - 10.0, y + 4.0,
                     1.0);
        }
        for (size_t q = 0; q < quantities.size(); ++q) {
            const GroupQuantity& quantity = quantities[q];
            double low = INFINITY;
            double high = -INFINITY;
            for (size_t g = 0; g < groupNames.size() && g < quantity.value.size(); ++g) {
                const double v = quantity.value[g];
                if (!std::isfinite(v)) continue;
                const double ci = g < quantity.ci95.size() && std::isfinite(quantity.ci95[g])
                                      ? quantity.ci95[g]
                                      : 0.0;
                low = std::min(low, v - ci);
                high = std::max(high, v + ci);
            }
            ValueScale scale;
            scale.ticks = linearTicks(low, high, 4);
            // Room between panels for the end labels of neighbouring axes.
            scale.left = nameColumn + panelWidth * static_cast<double>(q) + 22.0;
            scale.right = scale.left + panelWidth - 44.0;
            drawValueAxis(cr, scale, top, bottom);
            cairo_set_font_size(cr, kTitleSize);
            setColour(cr, kAxis);
            drawText(cr, quantity.title, (scale.left + scale.right) / 2.0, top - 14.0, 0.5);
            for (size_t g = 0; g < groupNames.size() && g < quantity.value.size(); ++g) {
                const double ci = g < quantity.ci95.size() ? quantity.ci95[g] : NAN;
                const double y = top + rowHeight * (static_cast<double>(g) + 0.5);
                drawEstimate(cr, scale, quantity.value[g], ci, y);
            }
        }
    });
}
