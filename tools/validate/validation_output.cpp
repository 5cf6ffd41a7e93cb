#include "validate/validation_output.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <tuple>

namespace {

// A number for a table cell: fixed decimals, empty for NaN.
std::string cell(double v, int decimals) {
    if (!std::isfinite(v)) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// A number for a CSV cell: all significant digits, empty for NaN.
std::string full(double v) {
    if (!std::isfinite(v)) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

// "a / b (e %)" style cells of the Markdown table; a dash for NaN.
std::string md(double v, int decimals) {
    const std::string s = cell(v, decimals);
    return s.empty() ? "–" : s;
}

std::string signedPercent(double v) {
    if (!std::isfinite(v)) return "–";
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f", v);
    return text;
}

std::string figureMd(const FigureRecovery& f) {
    std::string ci = std::isfinite(f.ci95) ? " ± " + cell(f.ci95, 2) : "";
    return md(f.truth, 2) + " | " + md(f.biased, 2) + " (" + signedPercent(f.biasedErrorPercent()) +
           ") | " + md(f.unbiased, 2) + ci + " (" + signedPercent(f.unbiasedErrorPercent()) + ")";
}

}  // namespace

bool writeRecoveryCsv(const std::vector<RecoveryRow>& rows, const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok =
        std::fputs(
            "series,contrast,alpha_model,xi_model_px,gaussian_noise,shot_noise_frames,"
            "noise_sigma_on_band,seed,found_fraction,pooled_fraction,true_lines,measured_lines,"
            "ler_true_nm,ler_biased_nm,ler_unbiased_nm,ler_ci95_nm,ler_biased_error_pct,"
            "ler_unbiased_error_pct,lwr_true_nm,lwr_biased_nm,lwr_unbiased_nm,lwr_ci95_nm,"
            "lwr_biased_error_pct,lwr_unbiased_error_pct,lpr_true_nm,lpr_biased_nm,"
            "lpr_unbiased_nm,lpr_ci95_nm,lpr_biased_error_pct,lpr_unbiased_error_pct,"
            "lwr_whole_pixel_nm,lwr_whole_pixel_error_pct,"
            "xi_true_nm,xi_drawn_nm,xi_fit_nm,xi_fit_ci95_nm,alpha_true,alpha_drawn,alpha_fit,"
            "alpha_fit_ci95,xi_fit_given_nm,"
            "alpha_fit_given,noise_floor_nm3,"
            "fit_status,"
            "cd_true_nm,cd_nm,cd_shift_px,generate_s,measure_s,failure\n",
            f) >= 0;
    for (const RecoveryRow& r : rows) {
        if (!ok) break;
        const SyntheticSemSettings& s = r.input.image;
        std::string line = "\"" + r.input.series + "\"," + contrastName(r.input.contrast) + "," +
                           full(r.alphaTrue) + "," + full(s.correlationLength) + "," +
                           full(s.noiseSigma) + "," + std::to_string(s.shotNoiseFrames) + "," +
                           full(r.input.noiseSigma) + "," + std::to_string(s.seed) + "," +
                           full(r.foundFraction) + "," + full(r.pooledFraction) + "," +
                           std::to_string(r.trueLines) + "," + std::to_string(r.measuredLines);
        for (const FigureRecovery* fig : {&r.ler, &r.lwr, &r.lpr})
            line += "," + full(fig->truth) + "," + full(fig->biased) + "," + full(fig->unbiased) +
                    "," + full(fig->ci95) + "," + full(fig->biasedErrorPercent()) + "," +
                    full(fig->unbiasedErrorPercent());
        line += "," + full(r.wholePixelLwrNm) + "," + full(r.wholePixelLwrErrorPercent());
        line += "," + full(r.xiTrueNm) + "," + full(r.xiDrawnNm) + "," + full(r.xiFitNm) + "," +
                full(r.xiCi95Nm) + "," + full(r.alphaTrue) + "," + full(r.alphaDrawn) + "," +
                full(r.alphaFit) + "," + full(r.alphaCi95) + "," + full(r.xiGivenNm) + "," +
                full(r.alphaGiven) + "," + full(r.noiseFloorNm3) + ",\"" + r.fitStatus + "\"," +
                full(r.cdTrueNm) + "," + full(r.cdNm) + "," + full(r.cdShiftPx) + "," +
                cell(r.generateSeconds, 3) + "," + cell(r.measureSeconds, 3) + ",\"" + r.failure +
                "\"\n";
        ok = std::fputs(line.c_str(), f) >= 0;
    }
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

void printRecoveryMarkdown(const std::vector<RecoveryRow>& rows, FILE* out) {
    std::fputs(
        "| series | noise | found % | LER true | LER biased (err %) | LER unbiased ± CI95 "
        "(err %) | LWR true | LWR biased (err %) | LWR unbiased ± CI95 (err %) | LPR true | "
        "LPR biased (err %) | LPR unbiased ± CI95 (err %) | ξ model / drawn / measured ± CI95 / "
        "resolution given | α model / drawn / measured ± CI95 / resolution given | "
        "CD shift px |\n",
        out);
    std::fputs("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n", out);
    for (const RecoveryRow& r : rows) {
        std::string noise = md(r.input.noiseSigma, 0);
        if (r.input.image.shotNoiseFrames > 0)
            noise += " (" + std::to_string(r.input.image.shotNoiseFrames) + " fr)";
        const std::string line =
            "| " + r.input.series + " | " + noise + " | " + md(100.0 * r.foundFraction, 1) + " | " +
            figureMd(r.ler) + " | " + figureMd(r.lwr) + " | " + figureMd(r.lpr) + " | " +
            md(r.xiTrueNm, 1) + " / " + md(r.xiDrawnNm, 1) + " / " + md(r.xiFitNm, 1) + " ± " +
            md(r.xiCi95Nm, 1) + " / " + md(r.xiGivenNm, 1) + " | " + md(r.alphaTrue, 2) + " / " +
            md(r.alphaDrawn, 2) + " / " + md(r.alphaFit, 2) + " ± " + md(r.alphaCi95, 2) + " / " +
            md(r.alphaGiven, 2) + " | " + md(r.cdShiftPx, 3) + " |\n";
        std::fputs(line.c_str(), out);
    }
}

void printNoiseLevels(const std::vector<NoiseLevelSummary>& levels, FILE* out) {
    std::fputs(
        "| Gaussian noise | contrast / noise | images | rows found: least, mean % (pooled, mean %) "
        "| biased LWR "
        "error, mean %: sub-pixel, whole-pixel | worst unbiased LER or LWR error % | worst ξ error "
        "%: of the model, "
        "of the drawn edges | worst α error: of the model, of the drawn edges "
        "| found images with ξ and α within the targets: fitted, resolution given "
        "|\n|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n",
        out);
    for (const NoiseLevelSummary& l : levels) {
        const std::string cnr = l.noise > 0.0 ? md(160.0 / l.noise, 2) : "∞";
        const std::string line =
            "| " + md(l.noise, 0) + " | " + cnr + " | " + std::to_string(l.images) + " | " +
            md(100.0 * l.minFound, 1) + ", " + md(100.0 * l.meanFound, 1) + " (" +
            md(100.0 * l.meanPooled, 1) + ") | " + signedPercent(l.meanBiasedLwrErrorPercent) +
            ", " + signedPercent(l.meanWholePixelLwrErrorPercent) + " | " +
            md(l.worstUnbiasedErrorPercent, 1) + " | " + md(l.worstXiErrorPercent, 1) + ", " +
            md(l.worstXiDrawnErrorPercent, 1) + " | " + md(l.worstAlphaError, 2) + ", " +
            md(l.worstAlphaDrawnError, 2) + " | " + std::to_string(l.xiAlphaPass) + ", " +
            std::to_string(l.xiAlphaGivenPass) + " of " + std::to_string(l.found) + " |\n";
        std::fputs(line.c_str(), out);
    }
}

void printVerdict(
    const RecoveryVerdict& v, const RecoveryTargets& t, int32_t rowCount, bool quick, FILE* out) {
    std::fprintf(out, "Images: %d; edges found in at least %.0f %% of rows (all lines): %d.\n\n",
                 rowCount, 100.0 * t.minFoundFraction, v.foundRows);
    std::fprintf(out, "| target | met by |\n|---|---|\n");
    std::fprintf(out, "| unbiased 3σ LER within %.0f %% | %d of %d found images |\n",
                 t.maxUnbiasedErrorPercent, v.lerPass, v.foundRows);
    std::fprintf(out, "| unbiased 3σ LWR within %.0f %% | %d of %d found images |\n",
                 t.maxUnbiasedErrorPercent, v.lwrPass, v.foundRows);
    if (quick) {
        std::fprintf(out, "| pooled ξ within %.0f %% | %s nm |\n", t.maxXiErrorPercent,
                     md(v.pooledXiNm, 2).c_str());
        std::fprintf(out, "| pooled α within %.2f | %s |\n", t.maxAlphaError,
                     md(v.pooledAlpha, 2).c_str());
    } else {
        std::fprintf(out,
                     "| both, where the biased LWR is 40 %% or more too high | %d of %d images "
                     "(%d of them found) |\n",
                     v.heavilyBiasedPass, v.heavilyBiasedRows, v.heavilyBiasedFound);
        std::fprintf(out,
                     "| both, where the whole-pixel LWR is 40 %% or more too high | %d of %d "
                     "images (%d of them found) |\n",
                     v.wholePixelBiasedPass, v.wholePixelBiasedRows, v.wholePixelBiasedFound);
        // The rows of xi and alpha: the targets, then against the drawn edges' own and with
        // the resolution given (neither a target).
        const std::string xi = "ξ within " + md(t.maxXiErrorPercent, 0) + " %";
        const std::string alpha = "α within " + md(t.maxAlphaError, 2);
        const struct {
            std::string target;
            int32_t pass;
            const char* count;
        } shapeRows[] = {
            {xi, v.xiPass, " found images"},
            {alpha, v.alphaPass, " found images"},
            {xi + " of the drawn edges' own (not a target)", v.xiDrawnPass, ""},
            {alpha + " of the drawn edges' own (not a target)", v.alphaDrawnPass, ""},
            {xi + " with the microscope's resolution given (not a target)", v.xiGivenPass, ""},
            {alpha + " with the microscope's resolution given (not a target)", v.alphaGivenPass,
             ""},
        };
        for (const auto& r : shapeRows)
            std::fprintf(out, "| %s | %d of %d%s |\n", r.target.c_str(), r.pass, v.foundRows,
                         r.count);
    }
    std::fprintf(out,
                 "| CD shift, clean to noisiest found image, below %.1f px | %d of %d series "
                 "(largest %.3f px) |\n",
                 t.maxCdShiftPx, v.cdShiftPass, v.seriesCount, v.worstCdShiftPx);
    // Without resamples (--resamples under 20) no image has an interval to hold anything.
    for (const auto& [what, inside, with] : {std::tuple{"LER", v.lerInInterval, v.lerWithInterval},
                                             std::tuple{"LWR", v.lwrInInterval, v.lwrWithInterval}})
        std::fprintf(out, "| true %s inside the 95 %% interval (not a target) | %s |\n", what,
                     with == 0 ? "no intervals made"
                               : (std::to_string(inside) + " of " + std::to_string(with) +
                                  (with < v.foundRows ? " with an interval" : ""))
                                     .c_str());
    std::fprintf(out, "| model's ξ inside the fit's 95 %% interval (not a target) | %d of %d |\n",
                 v.xiInInterval, v.foundRows);
    std::fprintf(out, "| model's α inside the fit's 95 %% interval (not a target) | %d of %d |\n\n",
                 v.alphaInInterval, v.foundRows);
    if (!quick) {
        auto limit = [&](const char* what, double level, const std::string& failure) {
            if (std::isfinite(level))
                std::fprintf(out, "- %s up to Gaussian noise %.0f (contrast-to-noise %s)", what,
                             level, level > 0 ? md(160.0 / level, 2).c_str() : "∞");
            else
                std::fprintf(out, "- %s not even on clean images", what);
            if (!failure.empty())
                std::fprintf(out, "; first failure %s.\n", failure.c_str());
            else
                std::fprintf(out, ", the noisiest level of the grid.\n");
        };
        limit("Edges found in every image (≥ 99 % of rows, every line):", v.detectionLimit,
              v.detectionFailure);
        limit("Unbiased LER and LWR within 10 % in every image:", v.accuracyLimit,
              v.accuracyFailure);
        limit("Both (reliable):", v.reliableLimit, v.reliableFailure);
        std::fputs("\n", out);
    }
    if (v.pass()) {
        std::fprintf(out, "Every target met.\n");
        return;
    }
    std::fprintf(out, "Missed targets (%zu):\n\n", v.failures.size());
    for (const std::string& f : v.failures) std::fprintf(out, "- %s\n", f.c_str());
}

namespace {

struct Box {
    double left, top, right, bottom;
    double x0, x1, y0, y1;  // data ranges
    double x(double v) const { return left + (v - x0) / (x1 - x0) * (right - left); }
    double y(double v) const { return bottom - (v - y0) / (y1 - y0) * (bottom - top); }
};

void text(cairo_t* cr, double x, double y, const std::string& s, double alignX, double alignY) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_move_to(cr, x - alignX * e.width - e.x_bearing, y - alignY * e.height - e.y_bearing);
    cairo_show_text(cr, s.c_str());
}

// Frame, ticks every `dx` and `dy`, labels and title.
void axes(cairo_t* cr,
          const Box& b,
          double dx,
          double dy,
          const std::string& xLabel,
          const std::string& yLabel,
          const std::string& title) {
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 1.0);
    cairo_rectangle(cr, b.left, b.top, b.right - b.left, b.bottom - b.top);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 12);
    char label[32];
    for (double v = b.x0; v <= b.x1 + 1e-9; v += dx) {
        cairo_move_to(cr, b.x(v), b.bottom);
        cairo_line_to(cr, b.x(v), b.bottom - 5);
        cairo_stroke(cr);
        std::snprintf(label, sizeof label, "%g", v);
        text(cr, b.x(v), b.bottom + 6, label, 0.5, 0.0);
    }
    for (double v = b.y0; v <= b.y1 + 1e-9; v += dy) {
        cairo_move_to(cr, b.left, b.y(v));
        cairo_line_to(cr, b.left + 5, b.y(v));
        cairo_stroke(cr);
        std::snprintf(label, sizeof label, "%g", v);
        text(cr, b.left - 6, b.y(v), label, 1.0, 0.5);
    }
    cairo_set_font_size(cr, 13);
    text(cr, 0.5 * (b.left + b.right), b.bottom + 26, xLabel, 0.5, 0.0);
    cairo_save(cr);
    cairo_translate(cr, b.left - 46, 0.5 * (b.top + b.bottom));
    cairo_rotate(cr, -M_PI / 2);
    text(cr, 0, 0, yLabel, 0.5, 1.0);
    cairo_restore(cr);
    cairo_set_font_size(cr, 14);
    text(cr, 0.5 * (b.left + b.right), b.top - 10, title, 0.5, 1.0);
}

// A measured point; drawn hollow when the image's edges were not found well enough.
struct PlotPoint {
    double x;
    double y;
    bool found;
};

void polyline(cairo_t* cr, const Box& b, const std::vector<PlotPoint>& points) {
    for (size_t i = 0; i < points.size(); ++i) {
        if (i == 0)
            cairo_move_to(cr, b.x(points[i].x), b.y(points[i].y));
        else
            cairo_line_to(cr, b.x(points[i].x), b.y(points[i].y));
    }
    cairo_stroke(cr);
    cairo_save(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    cairo_set_line_width(cr, 1.2);
    for (const PlotPoint& p : points) {
        cairo_arc(cr, b.x(p.x), b.y(p.y), 3.0, 0, 2 * M_PI);
        if (p.found) {
            cairo_fill(cr);
        } else {
            cairo_stroke(cr);
        }
    }
    cairo_restore(cr);
}

void legend(
    cairo_t* cr, double x, double y, const char* name, double r, double g, double bl, bool dashed) {
    cairo_set_source_rgb(cr, r, g, bl);
    if (dashed) {
        const double dash[] = {6.0, 4.0};
        cairo_set_dash(cr, dash, 2, 0);
    }
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x + 28, y);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_font_size(cr, 12);
    text(cr, x + 34, y, name, 0.0, 0.5);
}

}  // namespace

bool writeLwrPlot(const std::vector<RecoveryRow>& rows,
                  const RecoveryTargets& targets,
                  const std::string& featured,
                  const std::string& path) {
    double noiseMax = 0.0;
    for (const RecoveryRow& r : rows)
        if (r.input.image.shotNoiseFrames == 0) noiseMax = std::fmax(noiseMax, r.input.noiseSigma);
    const double xMax = noiseMax > 0.0 ? std::ceil(noiseMax / 40.0) * 40.0 : 40.0;

    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1200, 500);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

    // Left: absolute LWR of the featured series.
    std::vector<PlotPoint> truth, biased, unbiased;
    std::vector<double> ci;
    double yMax = 0.0;
    for (const RecoveryRow& r : rows) {
        if (r.input.series != featured || !r.failure.empty()) continue;
        const bool found = rowFound(r, targets);
        truth.push_back({r.input.noiseSigma, r.lwr.truth, true});
        yMax = std::fmax(yMax, r.lwr.truth);
        if (std::isfinite(r.lwr.biased)) {
            biased.push_back({r.input.noiseSigma, r.lwr.biased, found});
            yMax = std::fmax(yMax, r.lwr.biased);
        }
        if (std::isfinite(r.lwr.unbiased)) {
            unbiased.push_back({r.input.noiseSigma, r.lwr.unbiased, found});
            ci.push_back(r.lwr.ci95);
        }
    }
    const double yStep = yMax > 8 ? 2.0 : 1.0;
    const Box left{80, 50,   560, 430,
                   0,  xMax, 0,   std::fmax(yStep, std::ceil(yMax * 1.1 / yStep) * yStep)};
    axes(cr, left, 40, yStep, "Gaussian noise sigma (grey levels; edge contrast 160)",
         "3-sigma LWR (nm)", "LWR of " + featured);
    cairo_set_line_width(cr, 2.0);
    cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
    polyline(cr, left, truth);
    cairo_set_source_rgb(cr, 0.85, 0.1, 0.1);
    polyline(cr, left, biased);
    cairo_set_source_rgb(cr, 0.1, 0.2, 0.85);
    polyline(cr, left, unbiased);
    cairo_set_line_width(cr, 1.2);
    for (size_t i = 0; i < unbiased.size(); ++i) {
        if (!std::isfinite(ci[i])) continue;
        const double x = left.x(unbiased[i].x);
        cairo_move_to(cr, x, left.y(unbiased[i].y - ci[i]));
        cairo_line_to(cr, x, left.y(unbiased[i].y + ci[i]));
        cairo_stroke(cr);
    }
    cairo_set_line_width(cr, 2.0);
    legend(cr, 100, 70, "true", 0.4, 0.4, 0.4, false);
    legend(cr, 100, 88, "biased", 0.85, 0.1, 0.1, false);
    legend(cr, 100, 106, "unbiased, 95 % interval", 0.1, 0.2, 0.85, false);
    cairo_set_font_size(cr, 12);
    text(cr, 100, 124, "hollow: edges found in fewer than 99 % of rows", 0.0, 0.5);

    // Right: measured over true LWR for every Gaussian series.
    const Box right{700, 50, 1180, 430, 0, xMax, 0.6, 2.2};
    cairo_set_source_rgb(cr, 0.88, 0.93, 0.88);
    const double band = targets.maxUnbiasedErrorPercent / 100.0;
    cairo_rectangle(cr, right.left, right.y(1.0 + band), right.right - right.left,
                    right.y(1.0 - band) - right.y(1.0 + band));
    cairo_fill(cr);
    axes(cr, right, 40, 0.2, "Gaussian noise sigma (grey levels; edge contrast 160)",
         "measured / true 3-sigma LWR", "All series: biased (dashed), unbiased (solid)");
    std::map<std::string, std::pair<std::vector<PlotPoint>, std::vector<PlotPoint>>> series;
    for (const RecoveryRow& r : rows) {
        if (r.input.image.shotNoiseFrames > 0 || !r.failure.empty()) continue;
        const bool found = rowFound(r, targets);
        auto& s = series[r.input.series];
        if (std::isfinite(r.lwr.biased))
            s.first.push_back(
                {r.input.noiseSigma, std::fmin(r.lwr.biased / r.lwr.truth, right.y1), found});
        if (std::isfinite(r.lwr.unbiased))
            s.second.push_back(
                {r.input.noiseSigma,
                 std::fmax(right.y0, std::fmin(r.lwr.unbiased / r.lwr.truth, right.y1)), found});
    }
    cairo_set_line_width(cr, 1.5);
    for (const auto& [name, s] : series) {
        double red = 0.1, green = 0.2, blue = 0.85;  // bright edges
        if (name.rfind("bright-line", 0) == 0) red = 0.85, green = 0.45, blue = 0.0;
        if (name.rfind("dark-line", 0) == 0) red = 0.1, green = 0.6, blue = 0.2;
        cairo_set_source_rgb(cr, red, green, blue);
        const double dash[] = {6.0, 4.0};
        cairo_set_dash(cr, dash, 2, 0);
        polyline(cr, right, s.first);
        cairo_set_dash(cr, nullptr, 0, 0);
        polyline(cr, right, s.second);
    }
    cairo_set_line_width(cr, 2.0);
    legend(cr, 720, 70, "bright-edge", 0.1, 0.2, 0.85, false);
    legend(cr, 720, 88, "bright-line", 0.85, 0.45, 0.0, false);
    legend(cr, 720, 106, "dark-line", 0.1, 0.6, 0.2, false);
    char note[96];
    std::snprintf(note, sizeof note, "shaded: within %.0f %% of the truth",
                  targets.maxUnbiasedErrorPercent);
    cairo_set_font_size(cr, 12);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(cr, 720, 124, note, 0.0, 0.5);

    cairo_destroy(cr);
    const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok;
}
