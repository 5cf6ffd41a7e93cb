#include "report/report_figure.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "report/plot_drawing.h"
#include "report/svg_file.h"
#include "view/plot_layout.h"

namespace {

constexpr Colour kWindowGrey = {0.75, 0.75, 0.75};

constexpr double kPi = 3.14159265358979323846;
constexpr double kLabelSize = 12.0;
constexpr double kTitleSize = 13.0;

// The logical range of a plot box, in the units of the window's 512 x 512 square.
struct LogicalBox {
    float xLow;
    float xHigh;
    float yLow;
    float yHigh;
};
constexpr LogicalBox kLengthBox = {90.0f, 512.0f, 60.0f, 482.0f};
constexpr LogicalBox kHhcfBox = {90.0f, 512.0f, 40.0f, 502.0f};

double pixelX(const PixelBox& box, const LogicalBox& frame, double x) {
    return box.left + (x - frame.xLow) / (frame.xHigh - frame.xLow) * (box.right - box.left);
}

double pixelY(const PixelBox& box, const LogicalBox& frame, double y) {
    return box.bottom - (y - frame.yLow) / (frame.yHigh - frame.yLow) * (box.bottom - box.top);
}

// Everything of a plot but its curves.
struct PlotFrame {
    std::vector<TextPiece> title;
    std::string xTitle;
    std::string yTitle;
    LogicalBox logical;
    std::vector<float> tickX;        // logical x of the vertical grid lines
    std::vector<float> tickY;        // logical y of the horizontal grid lines
    std::vector<PlotLabel> xLabels;  // logical positions as the window places them
    std::vector<PlotLabel> yLabels;
    std::string emptyNote;  // shown in the box when there is nothing to plot
};

void drawFrame(cairo_t* cr, const PixelBox& box, const PlotFrame& frame) {
    const double boxWidth = box.right - box.left;
    const double boxHeight = box.bottom - box.top;
    setColour(cr, kWhite);
    cairo_rectangle(cr, box.left, box.top, boxWidth, boxHeight);
    cairo_fill(cr);

    cairo_set_line_width(cr, 1.0);
    setColour(cr, kGrid);
    for (float x : frame.tickX) {
        const double px = std::round(pixelX(box, frame.logical, x)) + 0.5;
        cairo_move_to(cr, px, box.top);
        cairo_line_to(cr, px, box.bottom);
    }
    for (float y : frame.tickY) {
        const double py = std::round(pixelY(box, frame.logical, y)) + 0.5;
        cairo_move_to(cr, box.left, py);
        cairo_line_to(cr, box.right, py);
    }
    cairo_stroke(cr);

    setColour(cr, kBlack);
    cairo_set_line_width(cr, 1.5);
    cairo_move_to(cr, box.left, box.top);
    cairo_line_to(cr, box.left, box.bottom);
    cairo_line_to(cr, box.right, box.bottom);
    cairo_stroke(cr);

    cairo_set_font_size(cr, kLabelSize);
    for (const PlotLabel& label : frame.xLabels)
        drawText(cr, label.text, pixelX(box, frame.logical, label.x), box.bottom + 16.0, 0.5);
    for (const PlotLabel& label : frame.yLabels)
        drawText(cr, label.text, box.left - 6.0, pixelY(box, frame.logical, label.y) + 4.0, 1.0);
    drawText(cr, frame.xTitle, (box.left + box.right) / 2.0, box.bottom + 36.0, 0.5);

    cairo_save(cr);
    cairo_translate(cr, box.left - 44.0, (box.top + box.bottom) / 2.0);
    cairo_rotate(cr, -kPi / 2.0);
    drawText(cr, frame.yTitle, 0.0, 0.0, 0.5);
    cairo_restore(cr);

    cairo_set_font_size(cr, kTitleSize);
    drawPieces(cr, frame.title, (box.left + box.right) / 2.0, box.top - 14.0);
    if (!frame.emptyNote.empty()) {
        setColour(cr, kBlack);
        drawText(cr, frame.emptyNote, (box.left + box.right) / 2.0, (box.top + box.bottom) / 2.0,
                 0.5);
    }
}

void clipToBox(cairo_t* cr, const PixelBox& box) {
    cairo_save(cr);
    cairo_rectangle(cr, box.left, box.top, box.right - box.left, box.bottom - box.top);
    cairo_clip(cr);
}

void drawPoints(cairo_t* cr,
                const PixelBox& box,
                const LogicalBox& frame,
                const std::vector<PlotVertex>& vertices,
                double side,
                const Colour& colour) {
    setColour(cr, colour);
    for (const PlotVertex& v : vertices) {
        cairo_rectangle(cr, pixelX(box, frame, v.x) - side / 2.0,
                        pixelY(box, frame, v.y) - side / 2.0, side, side);
    }
    cairo_fill(cr);
}

// A line strip through the vertices, broken where a vertex starts a new run.
void drawStrip(cairo_t* cr,
               const PixelBox& box,
               const LogicalBox& frame,
               const std::vector<PlotVertex>& vertices,
               const Colour& colour) {
    setColour(cr, colour);
    cairo_set_line_width(cr, 2.0);
    for (const PlotVertex& v : vertices) {
        const double x = pixelX(box, frame, v.x);
        const double y = pixelY(box, frame, v.y);
        if (v.startsRun)
            cairo_move_to(cr, x, y);
        else
            cairo_line_to(cr, x, y);
    }
    cairo_stroke(cr);
}

std::vector<float> lengthTicksY() {
    std::vector<float> ticks;
    for (int j = 0; j <= 5; ++j) ticks.push_back(lengthTickY(j));
    return ticks;
}

// `unit` is "nm", or "px" for an image without a pixel size.
PlotFrame lengthFrame(const LengthAxis& x,
                      const ValueAxis& y,
                      const char* emptyNote,
                      const std::string& unit) {
    PlotFrame frame;
    frame.xTitle = "Line length L (" + unit + ")";
    frame.logical = kLengthBox;
    frame.tickX = x.tickX;
    frame.tickY = lengthTicksY();
    frame.xLabels = x.labels;
    frame.yLabels = y.labels;
    if (!x.usable || !y.usable) frame.emptyNote = emptyNote;
    return frame;
}

void drawRoughnessPanel(cairo_t* cr,
                        const DisplayRecord& d,
                        const PixelBox& box,
                        const char* emptyNote,
                        const std::string& unit) {
    const LengthAxis x = lengthAxis(d.lengthNm);
    const ValueAxis y = roughnessAxis(d.lwr3Sigma, d.cdVariation3Sigma, d.lwr3SigmaInfinite);
    PlotFrame frame = lengthFrame(x, y, emptyNote, unit);
    frame.title = {{"Average ", kBlack},
                   {"3\u03c3 LWR", kGreen},
                   {" and ", kBlack},
                   {"3\u03c3 CD variation", kRed}};
    frame.yTitle = "3\u03c3 LWR, 3\u03c3 CD variation (" + unit + ")";
    drawFrame(cr, box, frame);

    const double infinite = d.lwr3SigmaInfinite.count > 0 ? d.lwr3SigmaInfinite[0] : std::nan("");
    const std::vector<PlotVertex> lwr = lengthPlotPoints(x, y, d.lengthNm, d.lwr3Sigma);
    const std::vector<PlotVertex> cd = lengthPlotPoints(x, y, d.lengthNm, d.cdVariation3Sigma);
    const std::vector<PlotVertex> level = lengthPlotLevel(x, y, d.lengthNm, infinite);
    clipToBox(cr, box);
    drawPoints(cr, box, kLengthBox, lwr, 3.0, kBlack);
    drawPoints(cr, box, kLengthBox, cd, 3.0, kBlack);
    drawPoints(cr, box, kLengthBox, level, 3.0, kBlack);
    drawStrip(cr, box, kLengthBox, lwr, kGreen);
    drawStrip(cr, box, kLengthBox, level, kBlue);
    drawStrip(cr, box, kLengthBox, cd, kRed);
    cairo_restore(cr);

    PlotLabel label;
    if (infiniteLabel(y, d.lwr3SigmaInfinite, label) && x.usable) {
        setColour(cr, kBlack);
        cairo_set_font_size(cr, kLabelSize);
        drawText(cr, "3\u03c3 LWR of an infinite line", box.left + 6.0,
                 pixelY(box, kLengthBox, label.y), 0.0);
    }
}

void drawUncertaintyPanel(cairo_t* cr,
                          const DisplayRecord& d,
                          const PixelBox& box,
                          const char* emptyNote,
                          const std::string& unit) {
    const LengthAxis x = lengthAxis(d.lengthNm);
    const ValueAxis y = uncertaintyAxis(d.sigmaUncertaintyPct);
    PlotFrame frame = lengthFrame(x, y, emptyNote, unit);
    frame.title = {{"% Uncertainty of \u03c3LWR", kBlack}};
    frame.yTitle = "Uncertainty of \u03c3LWR (%)";
    drawFrame(cr, box, frame);

    const std::vector<PlotVertex> points =
        lengthPlotPoints(x, y, d.lengthNm, d.sigmaUncertaintyPct);
    clipToBox(cr, box);
    drawPoints(cr, box, kLengthBox, points, 3.0, kBlack);
    drawStrip(cr, box, kLengthBox, points, kBlack);
    cairo_restore(cr);
}

void drawHhcfPanel(cairo_t* cr,
                   const DisplayRecord& d,
                   const PixelBox& box,
                   const char* emptyNote) {
    const HhcfAxes axes = hhcfAxes(d.logLag, d.logHhcf, d.fitLogLag, d.fitLogHhcf);
    PlotFrame frame;
    frame.title = {{"Average HHCF", kBlack}};
    frame.xTitle = "log10 r (r in pixels)";
    frame.yTitle = "log10 HHCF (HHCF in pixels)";
    frame.logical = kHhcfBox;
    frame.tickX = axes.tickX;
    for (int j = 0; j <= 5; ++j) frame.tickY.push_back(hhcfTickY(j));
    frame.xLabels = axes.xLabels;
    frame.yLabels = axes.yLabels;
    if (!axes.xUsable || !axes.yUsable) frame.emptyNote = emptyNote;
    drawFrame(cr, box, frame);

    clipToBox(cr, box);
    drawPoints(cr, box, kHhcfBox, hhcfPoints(axes, d.logLag, d.logHhcf), 4.0, kBlue);
    drawStrip(cr, box, kHhcfBox, hhcfPoints(axes, d.fitLogLag, d.fitLogHhcf), kRed);
    cairo_restore(cr);
}

bool isMark(const unsigned char* pixel, const MarkColour& colour) {
    return pixel[0] == colour.r && pixel[1] == colour.g && pixel[2] == colour.b;
}

void drawImagePanel(cairo_t* cr, const ImageResult& report, double panelX, double panelY) {
    cairo_save(cr);
    cairo_rectangle(cr, panelX, panelY, kPanelSide, kPanelSide);
    cairo_clip(cr);
    setColour(cr, kBlack);
    cairo_set_font_size(cr, kTitleSize);
    drawText(cr, fittedCaption(cr, report.name, kPanelSide - 12.0), panelX + kPanelSide / 2.0,
             panelY + 22.0, 0.5);

    const int32_t areaTop = 32;
    const int32_t margin = 10;
    PanelImage image;
    if (fitPicture(report.picture, report.pictureTopDown, kPanelSide - 2 * margin,
                   kPanelSide - areaTop - margin, image)) {
        cairo_surface_t* surface =
            cairo_image_surface_create(CAIRO_FORMAT_RGB24, image.width, image.height);
        if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
            cairo_surface_flush(surface);
            unsigned char* data = cairo_image_surface_get_data(surface);
            const int stride = cairo_image_surface_get_stride(surface);
            for (int32_t y = 0; y < image.height; ++y) {
                for (int32_t x = 0; x < image.width; ++x) {
                    const unsigned char* p =
                        &image.rgb[3 * (static_cast<size_t>(y) * image.width + x)];
                    const uint32_t value = (static_cast<uint32_t>(p[0]) << 16) |
                                           (static_cast<uint32_t>(p[1]) << 8) | p[2];
                    std::memcpy(data + static_cast<size_t>(y) * stride + 4 * x, &value,
                                sizeof value);
                }
            }
            cairo_surface_mark_dirty(surface);
            // Whole-pixel placement: the scaled image is copied, not resampled again.
            const double x0 = panelX + (kPanelSide - image.width) / 2;
            const double y0 = panelY + areaTop + (kPanelSide - areaTop - margin - image.height) / 2;
            cairo_set_source_surface(cr, surface, x0, y0);
            cairo_paint(cr);
        }
        cairo_surface_destroy(surface);
    }
    cairo_restore(cr);
}

void drawFigure(cairo_t* cr, const ImageResult& report) {
    setColour(cr, kWindowGrey);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    drawImagePanel(cr, report, 0.0, 0.0);
    const char* emptyNote = report.status == ImageStatus::kNoLine ? "no line measured" : "no data";
    // Measured from the sub-pixel edges alone: say why these plots of the whole-pixel figures
    // stay empty (the spectrum picture holds the image's roughness).
    if (report.status == ImageStatus::kMeasured && !report.wholePixelApplicable)
        emptyNote = report.setup.contrast == "bright-edge" ? "whole-pixel analysis: no line"
                                                           : "no whole-pixel figures on a step";
    drawHhcfPanel(cr, report.display, plotBox(kPanelSide, 0), emptyNote);
    // The console's plots are in nm; an image without a pixel size has its lengths in px.
    const std::string unit = report.setup.figuresInPixels ? "px" : "nm";
    drawRoughnessPanel(cr, report.display, plotBox(0, kPanelSide), emptyNote, unit);
    drawUncertaintyPanel(cr, report.display, plotBox(kPanelSide, kPanelSide), emptyNote, unit);
}

}  // namespace

std::string fittedCaption(cairo_t* cr, const std::string& name, double width) {
    std::string caption = imageCaption(name);
    if (textWidth(cr, caption) <= width) return caption;
    const size_t slash = name.find_last_of('/');
    std::string shown = slash == std::string::npos ? name : name.substr(slash + 1);
    caption = imageCaption(shown);
    while (textWidth(cr, caption) > width && shown.size() > 1) {
        shown.erase(0, 1);
        // Never start inside a UTF-8 sequence.
        while (!shown.empty() && (static_cast<unsigned char>(shown[0]) & 0xC0) == 0x80)
            shown.erase(0, 1);
        caption = imageCaption("..." + shown);
    }
    return caption;
}

PixelBox plotBox(int32_t panelX, int32_t panelY) {
    PixelBox box;
    box.left = panelX + 66.0;
    box.right = panelX + kPanelSide - 16.0;
    box.top = panelY + 40.0;
    box.bottom = panelY + kPanelSide - 50.0;
    return box;
}

bool fitPicture(const Picture& picture,
                bool topRowFirst,
                int32_t maxWidth,
                int32_t maxHeight,
                PanelImage& out) {
    out = PanelImage();
    const int64_t w = picture.width;
    const int64_t h = picture.height;
    if (picture.bytes == nullptr || w < 1 || h < 1 || maxWidth < 1 || maxHeight < 1) return false;
    // Largest size of the image's aspect ratio inside the bounds, at least one pixel.
    const double scale = std::fmin(static_cast<double>(maxWidth) / static_cast<double>(w),
                                   static_cast<double>(maxHeight) / static_cast<double>(h));
    const int64_t outW = std::max<int64_t>(
        1, std::min<int64_t>(maxWidth, static_cast<int64_t>(std::floor(w * scale + 0.5))));
    const int64_t outH = std::max<int64_t>(
        1, std::min<int64_t>(maxHeight, static_cast<int64_t>(std::floor(h * scale + 0.5))));
    out.width = static_cast<int32_t>(outW);
    out.height = static_cast<int32_t>(outH);
    out.rgb.assign(static_cast<size_t>(outW * outH * 3), 0);

    for (int64_t oy = 0; oy < outH; ++oy) {
        // Rows oy * h / outH up to (but not including) the next block's start, at least one.
        const int64_t y0 = oy * h / outH;
        const int64_t y1 = std::max(y0 + 1, ((oy + 1) * h + outH - 1) / outH);
        for (int64_t ox = 0; ox < outW; ++ox) {
            const int64_t x0 = ox * w / outW;
            const int64_t x1 = std::max(x0 + 1, ((ox + 1) * w + outW - 1) / outW);
            const MarkColour* mark = nullptr;
            int64_t sum = 0;
            int64_t count = 0;
            for (int64_t y = y0; y < y1 && y < h; ++y) {
                const int64_t row = topRowFirst ? y : h - 1 - y;
                const unsigned char* p = picture.bytes + 3 * (row * w + x0);
                for (int64_t x = x0; x < x1 && x < w; ++x, p += 3) {
                    // A band-started edge outranks a whole-pixel one where both fall.
                    if (isMark(p, kBandEdgeMark))
                        mark = &kBandEdgeMark;
                    else if (mark == nullptr && isMark(p, kEdgeMark))
                        mark = &kEdgeMark;
                    sum += p[0];
                    ++count;
                }
            }
            unsigned char* q = &out.rgb[static_cast<size_t>(3 * (oy * outW + ox))];
            if (mark != nullptr) {
                q[0] = mark->r;
                q[1] = mark->g;
                q[2] = mark->b;
            } else {
                const unsigned char grey =
                    static_cast<unsigned char>(count > 0 ? (sum + count / 2) / count : 0);
                q[0] = q[1] = q[2] = grey;
            }
        }
    }
    return true;
}

bool writeFigurePng(const ImageResult& report, const std::string& path) {
    if (!wasLoaded(report)) return false;
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, kFigureSide, kFigureSide);
    cairo_t* cr = cairo_create(surface);
    drawFigure(cr, report);
    bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
    cairo_destroy(cr);
    errno = 0;  // what a failure leaves is its own reason
    if (ok) ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok;
}

bool writeFigureSvg(const ImageResult& report, const std::string& path) {
    if (!wasLoaded(report)) return false;
    return writeSvgFile(path, kFigureSide, kFigureSide,
                        [&report](cairo_t* cr) { drawFigure(cr, report); });
}

void releaseFigureCaches() {
    cairo_debug_reset_static_data();
    FcFini();
}
