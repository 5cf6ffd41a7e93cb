#include "report/psd_figure.h"

#include <cairo.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

#include "report/plot_drawing.h"
#include "report/svg_file.h"

namespace {

constexpr Colour kEdgeColour = {0.0, 0.35, 0.8};
constexpr Colour kWidthColour = {0.0, 0.6, 0.2};
constexpr Colour kPlacementColour = {0.85, 0.4, 0.0};

struct Series3 {
    const char* name;
    const RoughnessFigure* figure;
    Colour colour;
};

// Decades spanned by the finite positive values of `values`.
bool logRange(const std::vector<const std::vector<double>*>& all, double& low, double& high) {
    low = INFINITY;
    high = -INFINITY;
    for (const std::vector<double>* values : all)
        for (double v : *values)
            if (std::isfinite(v) && v > 0.0) {
                low = std::min(low, std::log10(v));
                high = std::max(high, std::log10(v));
            }
    if (!std::isfinite(low)) return false;
    low = std::floor(low);
    high = std::ceil(high);
    if (high <= low) high = low + 1.0;
    return true;
}

// `text` broken at spaces into lines no wider than `width` in the current font.
std::vector<std::string> wrapText(cairo_t* cr, const std::string& text, double width) {
    std::vector<std::string> lines(1);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        const std::string joined = lines.back().empty() ? word : lines.back() + " " + word;
        if (!lines.back().empty() && textWidth(cr, joined) > width)
            lines.push_back(word);
        else
            lines.back() = joined;
        start = end + 1;
    }
    return lines;
}

void drawPsdFigure(cairo_t* cr, const ImageResult& result) {
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    const MetrologyResult& m = result.metrology;
    const bool px = result.setup.figuresInPixels;
    const double left = 90.0, right = kPsdFigureWidth - 30.0, top = 60.0,
                 bottom = kPsdFigureHeight - 70.0;

    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    cairo_set_font_size(cr, 15.0);
    drawText(cr, "Power spectra of edges, widths and line centres", kPsdFigureWidth / 2.0, 28.0,
             0.5);
    cairo_set_font_size(cr, 12.0);
    drawText(cr, px ? "frequency (1/px)" : "frequency (1/nm)", (left + right) / 2.0,
             kPsdFigureHeight - 25.0, 0.5);
    cairo_save(cr);
    cairo_translate(cr, 24.0, (top + bottom) / 2.0);
    cairo_rotate(cr, -M_PI / 2.0);
    drawText(cr, px ? "PSD (px^3)" : "PSD (nm^3)", 0.0, 0.0, 0.5);
    cairo_restore(cr);

    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, left, top, right - left, bottom - top);
    cairo_stroke(cr);

    const Series3 series[] = {{"edges (LER)", &m.ler, kEdgeColour},
                              {"widths (LWR)", &m.lwr, kWidthColour},
                              {"centres (LPR)", &m.lpr, kPlacementColour}};
    double xLow = 0.0, xHigh = 0.0, yLow = 0.0, yHigh = 0.0;
    std::vector<const std::vector<double>*> ys;
    for (const Series3& s : series) {
        ys.push_back(&s.figure->psdNm3);
        ys.push_back(&s.figure->modelNm3);
        if (s.figure->fit.ok && s.figure->fit.noiseFloor > 0.0) ys.push_back(&s.figure->noiseNm3);
    }
    const bool usable = logRange({&m.frequencyPerNm}, xLow, xHigh) && logRange(ys, yLow, yHigh);
    if (!usable) {
        // Why, in the words of report.json: the image's reason, else that of its edge figure.
        const std::string note =
            result.status == ImageStatus::kMeasured ? "no spectrum" : "no line measured";
        const std::string& reason = m.reason.empty() ? m.ler.reason : m.reason;
        const std::vector<std::string> lines =
            wrapText(cr, reason.empty() ? note : note + ": " + reason, 0.8 * (right - left));
        double y = (top + bottom) / 2.0 - 8.0 * static_cast<double>(lines.size() - 1);
        for (const std::string& line : lines) {
            drawText(cr, line, (left + right) / 2.0, y, 0.5);
            y += 16.0;
        }
        return;
    }
    auto X = [&](double f) {
        return left + (std::log10(f) - xLow) / (xHigh - xLow) * (right - left);
    };
    auto Y = [&](double v) {
        return bottom - (std::log10(v) - yLow) / (yHigh - yLow) * (bottom - top);
    };
    // Decade grid and labels.
    cairo_set_font_size(cr, 11.0);
    for (double d = xLow; d <= xHigh + 0.5; d += 1.0) {
        const double x = left + (d - xLow) / (xHigh - xLow) * (right - left);
        cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
        cairo_move_to(cr, x, top);
        cairo_line_to(cr, x, bottom);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
        char label[32];
        std::snprintf(label, sizeof label, "1e%d", static_cast<int>(d));
        drawText(cr, label, x, bottom + 16.0, 0.5);
    }
    const double yStep = yHigh - yLow > 8.0 ? 2.0 : 1.0;
    for (double d = yLow; d <= yHigh + 0.5; d += yStep) {
        const double y = bottom - (d - yLow) / (yHigh - yLow) * (bottom - top);
        cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
        cairo_move_to(cr, left, y);
        cairo_line_to(cr, right, y);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
        char label[32];
        std::snprintf(label, sizeof label, "1e%d", static_cast<int>(d));
        drawText(cr, label, left - 6.0, y + 4.0, 1.0);
    }

    cairo_save(cr);
    cairo_rectangle(cr, left, top, right - left, bottom - top);
    cairo_clip(cr);
    const std::vector<double>& f = m.frequencyPerNm;
    // Every series' dots first, then the models and floors over them, so that no series' dots
    // hide another's fit.
    for (const Series3& s : series) {
        const RoughnessFigure& fig = *s.figure;
        cairo_set_source_rgb(cr, s.colour.r, s.colour.g, s.colour.b);
        for (size_t i = 0; i < f.size() && i < fig.psdNm3.size(); ++i) {
            if (!(fig.psdNm3[i] > 0.0) || !(f[i] > 0.0)) continue;
            cairo_arc(cr, X(f[i]), Y(fig.psdNm3[i]), 1.6, 0.0, 2.0 * M_PI);
            cairo_fill(cr);
        }
    }
    for (const Series3& s : series) {
        const RoughnessFigure& fig = *s.figure;
        cairo_set_source_rgb(cr, s.colour.r, s.colour.g, s.colour.b);
        cairo_set_line_width(cr, 2.0);
        bool open = false;
        for (size_t i = 0; i < f.size() && i < fig.modelNm3.size(); ++i) {
            if (!(fig.modelNm3[i] > 0.0) || !(f[i] > 0.0)) {
                open = false;
                continue;
            }
            if (open)
                cairo_line_to(cr, X(f[i]), Y(fig.modelNm3[i]));
            else
                cairo_move_to(cr, X(f[i]), Y(fig.modelNm3[i]));
            open = true;
        }
        cairo_stroke(cr);
        if (fig.fit.ok && fig.fit.noiseFloor > 0.0) {
            // The noise term: flat for a white floor, rippled where the rows' errors correlate.
            const double dashes[] = {6.0, 4.0};
            cairo_set_dash(cr, dashes, 2, 0.0);
            cairo_set_line_width(cr, 1.0);
            bool started = false;
            for (size_t i = 0; i < f.size() && i < fig.noiseNm3.size(); ++i) {
                if (!(fig.noiseNm3[i] > 0.0) || !(f[i] > 0.0)) continue;
                if (started)
                    cairo_line_to(cr, X(f[i]), Y(fig.noiseNm3[i]));
                else
                    cairo_move_to(cr, X(f[i]), Y(fig.noiseNm3[i]));
                started = true;
            }
            cairo_stroke(cr);
            cairo_set_dash(cr, nullptr, 0, 0.0);
        }
    }
    cairo_restore(cr);

    // Legend with the unbiased figures, on a white ground over the data.
    cairo_set_source_rgba(cr, 1.0, 1.0, 1.0, 0.85);
    cairo_rectangle(cr, right - 376.0, top + 4.0, 372.0, 4.0 * 17.0 + 4.0);
    cairo_fill(cr);
    cairo_set_font_size(cr, 12.0);
    double y = top + 18.0;
    const char* unit = px ? "px" : "nm";
    for (const Series3& s : series) {
        const RoughnessFigure& fig = *s.figure;
        cairo_set_source_rgb(cr, s.colour.r, s.colour.g, s.colour.b);
        cairo_rectangle(cr, right - 370.0, y - 9.0, 12.0, 10.0);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
        char text[200];
        std::snprintf(text, sizeof text, "%s: 3\u03c3 %.2f biased, %.2f unbiased %s", s.name,
                      fig.sigma3BiasedNm, fig.sigma3UnbiasedNm, unit);
        drawText(cr, text, right - 352.0, y, 0.0);
        y += 17.0;
    }
    drawText(cr, "dots: PSD; lines: model; dashed: noise floor", right - 370.0, y, 0.0);
}

}  // namespace

bool writePsdFigurePng(const ImageResult& result, const std::string& path) {
    if (!wasLoaded(result)) return false;
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPsdFigureWidth, kPsdFigureHeight);
    cairo_t* cr = cairo_create(surface);
    drawPsdFigure(cr, result);
    bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
    cairo_destroy(cr);
    errno = 0;  // what a failure leaves is its own reason
    if (ok) ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok;
}

bool writePsdFigureSvg(const ImageResult& result, const std::string& path) {
    if (!wasLoaded(result)) return false;
    return writeSvgFile(path, kPsdFigureWidth, kPsdFigureHeight,
                        [&result](cairo_t* cr) { drawPsdFigure(cr, result); });
}
