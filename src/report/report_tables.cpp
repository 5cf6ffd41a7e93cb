#include "report/report_tables.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "run/quality_flags.h"
#include "run/version.h"

namespace {

const std::vector<std::string>& columnsOf(TableKind kind) {
    static const std::vector<std::string> summary = {"image_number",
                                                     "image",
                                                     "status",
                                                     "edges_found",
                                                     "edges_processed",
                                                     "lines",
                                                     "subpixel_lines",
                                                     "group",
                                                     "pixel_size_nm",
                                                     "pixel_height_nm",
                                                     "pixel_size_source",
                                                     "length_unit",
                                                     "rows_used",
                                                     "orientation",
                                                     "contrast",
                                                     "databar_rows",
                                                     "flags",
                                                     "cd_average_nm",
                                                     "cd_variation_nm",
                                                     "lwr_3sigma_nm",
                                                     "lwr_3sigma_spread_nm",
                                                     "lwr_3sigma_infinite_nm",
                                                     "a",
                                                     "ksi_nm",
                                                     "skewness_mean",
                                                     "kurtosis_mean",
                                                     "cd_subpixel_nm",
                                                     "cd_subpixel_ci95_nm",
                                                     "ler_3sigma_biased_nm",
                                                     "ler_3sigma_unbiased_nm",
                                                     "ler_3sigma_unbiased_ci95_nm",
                                                     "lwr_3sigma_biased_nm",
                                                     "lwr_3sigma_unbiased_nm",
                                                     "lwr_3sigma_unbiased_ci95_nm",
                                                     "lpr_3sigma_biased_nm",
                                                     "lpr_3sigma_unbiased_nm",
                                                     "lpr_3sigma_unbiased_ci95_nm",
                                                     "edge_correlation",
                                                     "psd_xi_nm",
                                                     "psd_xi_ci95_nm",
                                                     "psd_alpha",
                                                     "psd_alpha_ci95",
                                                     "psd0_nm3",
                                                     "noise_floor_nm3",
                                                     "psd_resolution_nm",
                                                     "psd_fit_status",
                                                     "missing_edge_rows",
                                                     "pooled_edge_rows",
                                                     "line_tilt_deg"};
    static const std::vector<std::string> edges = {"image_number",
                                                   "image",
                                                   "edge",
                                                   "scan_direction",
                                                   "mean_position_nm",
                                                   "spread_nm",
                                                   "sigma_nm",
                                                   "skewness",
                                                   "kurtosis",
                                                   "subpixel_mean_position_nm",
                                                   "subpixel_sigma_biased_nm",
                                                   "subpixel_sigma_unbiased_nm",
                                                   "missing_rows",
                                                   "pooled_rows",
                                                   "flags",
                                                   "subpixel_edge"};
    static const std::vector<std::string> lines = {"image_number",
                                                   "image",
                                                   "line",
                                                   "first_edge",
                                                   "second_edge",
                                                   "mean_width_nm",
                                                   "width_sigma_nm",
                                                   "subpixel_mean_width_nm",
                                                   "subpixel_width_sigma_biased_nm",
                                                   "subpixel_width_sigma_unbiased_nm",
                                                   "subpixel_placement_sigma_biased_nm",
                                                   "subpixel_placement_sigma_unbiased_nm",
                                                   "subpixel_first_edge",
                                                   "subpixel_second_edge"};
    static const std::vector<std::string> psd = {"image_number",        "image",
                                                 "frequency_per_nm",    "edge_psd_nm3",
                                                 "edge_model_nm3",      "edge_floor_nm3",
                                                 "width_psd_nm3",       "width_model_nm3",
                                                 "width_floor_nm3",     "placement_psd_nm3",
                                                 "placement_model_nm3", "placement_floor_nm3"};
    static const std::vector<std::string> length = {"image_number",
                                                    "image",
                                                    "segments_per_line",
                                                    "length_nm",
                                                    "lwr_3sigma_nm",
                                                    "cd_variation_3sigma_nm",
                                                    "sigma_lwr_uncertainty_pct"};
    static const std::vector<std::string> hhcf = {"image_number", "image",   "lag_px",
                                                  "lag_nm",       "hhcf_nm", "fit_hhcf_nm"};
    switch (kind) {
        case TableKind::kSummary:
            return summary;
        case TableKind::kEdges:
            return edges;
        case TableKind::kLines:
            return lines;
        case TableKind::kLength:
            return length;
        case TableKind::kHhcf:
            return hhcf;
        case TableKind::kPsd:
            break;
    }
    return psd;
}

// Position of column `name` in table `kind`.
size_t columnIndex(TableKind kind, const char* name) {
    const std::vector<std::string>& columns = columnsOf(kind);
    for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i] == name) return i;
    return columns.size();
}

// Element `index` of `s`, or an empty cell when the series is shorter.
TableCell elementCell(const Series& s, int32_t index) {
    return index >= 0 && index < s.count ? realCell(s[index]) : emptyCell();
}

std::vector<TableCell> rowStart(const ImageResult& result) {
    return {integerCell(result.position), textCell(result.name)};
}

// A figure that may be NaN: empty then.
TableCell figureCell(double value) { return std::isfinite(value) ? realCell(value) : emptyCell(); }

// "first-last" rows used, 1-based.
std::string rowsUsedText(const ImageSetup& setup) {
    return std::to_string(setup.firstRow) + "-" + std::to_string(setup.lastRow);
}

void appendSummary(const ImageResult& result, Table& table) {
    std::vector<TableCell> row(table.columns.size(), emptyCell());
    auto set = [&row](const char* column, const TableCell& cell) {
        const size_t i = columnIndex(TableKind::kSummary, column);
        if (i < row.size()) row[i] = cell;
    };
    set("image_number", integerCell(result.position));
    set("image", textCell(result.name));
    set("group", textCell(result.group));
    set("status", textCell(statusName(result.status)));
    const ImageAnalysis& a = result.analysis;
    const ImageSetup& setup = result.setup;
    const MetrologyResult& m = result.metrology;
    if (wasLoaded(result)) {
        if (result.wholePixelApplicable) {
            set("edges_found", integerCell(a.coarse.count));
            set("edges_processed", integerCell(static_cast<int64_t>(a.processed.size())));
            set("lines", integerCell(a.lineCount));
        } else {
            set("edges_found", integerCell(static_cast<int64_t>(m.edges.size())));
            set("edges_processed", integerCell(static_cast<int64_t>(m.edges.size())));
            set("lines", integerCell(static_cast<int64_t>(m.lines.size())));
        }
        set("subpixel_lines", integerCell(static_cast<int64_t>(m.lines.size())));
        set("pixel_size_nm", setup.figuresInPixels ? emptyCell() : figureCell(setup.pixelSizeNm));
        set("pixel_height_nm",
            setup.figuresInPixels ? emptyCell() : figureCell(pixelHeight(setup)));
        set("pixel_size_source", textCell(setup.pixelSizeSource));
        set("length_unit", textCell(setup.figuresInPixels ? "px" : "nm"));
        set("rows_used", textCell(rowsUsedText(setup)));
        set("orientation", textCell(setup.horizontal ? "horizontal" : "vertical"));
        set("contrast", textCell(setup.contrast));
        set("databar_rows", integerCell(setup.databarRows));
        set("flags", textCell(joinFlags(result.flags)));
    }
    if (hasWholePixelFigures(result)) {
        // The same expressions as the console report, so that rounding these values gives
        // its very digits.
        const WidthMeasurement& w = a.widths;
        set("cd_average_nm", realCell(w.cdAverage));
        set("cd_variation_nm", realCell(w.cdVariation));
        set("lwr_3sigma_nm", realCell(3.0 * w.meanLineSigma));
        set("lwr_3sigma_spread_nm", realCell(3.0 * a.lineSigmaSpread));
        set("lwr_3sigma_infinite_nm", realCell(3.0 * a.lwrInfinite));
        // A failed fit's zeros are no measurement (the console prints them as they are).
        if (a.fit.ksi > 0.0) {
            set("a", realCell(a.fit.alpha));
            set("ksi_nm", realCell(alongScale(result.setup) * a.fit.ksi));
        }
        set("skewness_mean", realCell(a.meanSkewness));
        set("kurtosis_mean", realCell(a.meanKurtosis));
    }
    if (result.status == ImageStatus::kMeasured) {
        const PsdFit& fit = summaryFit(m);
        set("cd_subpixel_nm", figureCell(m.cdNm));
        set("cd_subpixel_ci95_nm", figureCell(m.cdCi95Nm));
        set("ler_3sigma_biased_nm", figureCell(m.ler.sigma3BiasedNm));
        set("ler_3sigma_unbiased_nm", figureCell(m.ler.sigma3UnbiasedNm));
        set("ler_3sigma_unbiased_ci95_nm", figureCell(m.ler.ci95Nm));
        set("lwr_3sigma_biased_nm", figureCell(m.lwr.sigma3BiasedNm));
        set("lwr_3sigma_unbiased_nm", figureCell(m.lwr.sigma3UnbiasedNm));
        set("lwr_3sigma_unbiased_ci95_nm", figureCell(m.lwr.ci95Nm));
        set("lpr_3sigma_biased_nm", figureCell(m.lpr.sigma3BiasedNm));
        set("lpr_3sigma_unbiased_nm", figureCell(m.lpr.sigma3UnbiasedNm));
        set("lpr_3sigma_unbiased_ci95_nm", figureCell(m.lpr.ci95Nm));
        set("edge_correlation", figureCell(m.edgeCorrelation));
        if (fit.ok) {
            set("psd_xi_nm", figureCell(fit.xi));
            set("psd_xi_ci95_nm", figureCell(fit.xiCi95));
            set("psd_alpha", figureCell(fit.alpha));
            set("psd_alpha_ci95", figureCell(fit.alphaCi95));
            set("psd0_nm3", figureCell(fit.psd0));
            set("noise_floor_nm3", figureCell(fit.noiseFloor));
            set("psd_resolution_nm", figureCell(fit.resolution));
        }
        set("psd_fit_status", textCell(fit.status));
        set("missing_edge_rows", integerCell(m.missingEdgeRows));
        set("pooled_edge_rows", integerCell(m.pooledEdgeRows));
        set("line_tilt_deg", figureCell(lineTiltDegrees(result)));
    }
    table.rows.push_back(std::move(row));
}

// The metrology edge of whole-pixel edge k, or null.
const MetrologyEdge* metrologyEdge(const MetrologyResult& m, int32_t edgeNumber) {
    for (const MetrologyEdge& edge : m.edges)
        if (edge.edgeNumber == edgeNumber) return &edge;
    return nullptr;
}

void appendSubpixelEdge(const ImageResult& result,
                        const MetrologyEdge* edge,
                        int32_t spikes,
                        std::vector<TableCell>& row) {
    if (edge == nullptr) {
        row.resize(row.size() + 6, emptyCell());
        return;
    }
    row.push_back(figureCell(edge->meanNm));
    row.push_back(figureCell(edge->sigmaBiasedNm));
    row.push_back(figureCell(edge->sigmaUnbiasedNm));
    row.push_back(integerCell(edge->missingRows));
    row.push_back(integerCell(edge->pooledRows));
    const int32_t width =
        result.setup.horizontal ? result.setup.area.height : result.setup.area.width;
    const int32_t rows = spikes >= 0 ? result.analysis.rowCount : -1;
    row.push_back(textCell(joinFlags(edgeFlags(*edge, width, spikes, rows))));
}

// A coarse edge number, empty for 0 (a sub-pixel edge that has none).
TableCell edgeNumberCell(int32_t number) { return number > 0 ? integerCell(number) : emptyCell(); }

// 1-based number of a sub-pixel edge, counted from the left.
TableCell subpixelEdgeCell(const MetrologyResult& m, const MetrologyEdge* edge) {
    if (edge == nullptr) return emptyCell();
    return integerCell(static_cast<int64_t>(edge - m.edges.data()) + 1);
}

// Rows: the whole-pixel edges with the sub-pixel edge of the same coarse number beside them,
// then every sub-pixel edge not listed yet (all of them on images without whole-pixel figures;
// on bright-edge images those started from the bands, which have no coarse number).
void appendEdges(const ImageResult& result, Table& table) {
    if (!wasLoaded(result)) return;
    const ImageAnalysis& a = result.analysis;
    const MetrologyResult& m = result.metrology;
    std::vector<bool> listed(m.edges.size(), false);
    if (result.wholePixelApplicable) {
        for (const EdgeFigures& edge : a.processed) {
            const int32_t slot = edge.edgeNumber - 1;
            const MetrologyEdge* subpixel = metrologyEdge(m, edge.edgeNumber);
            std::vector<TableCell> row = rowStart(result);
            row.push_back(integerCell(edge.edgeNumber));
            row.push_back(integerCell(edge.direction));
            row.push_back(elementCell(a.edgeMeans, slot));
            row.push_back(elementCell(a.edgeSpreads, slot));
            row.push_back(elementCell(a.edgeSigmas, slot));
            row.push_back(elementCell(a.edgeSkewness, slot));
            row.push_back(elementCell(a.edgeKurtosis, slot));
            appendSubpixelEdge(result, subpixel, edge.spikesReplaced, row);
            row.push_back(subpixelEdgeCell(m, subpixel));
            if (subpixel != nullptr) listed[static_cast<size_t>(subpixel - m.edges.data())] = true;
            table.rows.push_back(std::move(row));
        }
    }
    for (size_t e = 0; e < m.edges.size(); ++e) {
        if (listed[e]) continue;
        std::vector<TableCell> row = rowStart(result);
        row.push_back(edgeNumberCell(m.edges[e].edgeNumber));
        row.resize(row.size() + 6, emptyCell());
        appendSubpixelEdge(result, &m.edges[e], -1, row);
        row.push_back(subpixelEdgeCell(m, &m.edges[e]));
        table.rows.push_back(std::move(row));
    }
}

void appendSubpixelLine(const MetrologyLine* line, std::vector<TableCell>& row) {
    if (line == nullptr) {
        row.resize(row.size() + 7, emptyCell());
        return;
    }
    row.push_back(figureCell(line->meanWidthNm));
    row.push_back(figureCell(line->widthSigmaBiasedNm));
    row.push_back(figureCell(line->widthSigmaUnbiasedNm));
    row.push_back(figureCell(line->placementSigmaBiasedNm));
    row.push_back(figureCell(line->placementSigmaUnbiasedNm));
    row.push_back(integerCell(line->leftEdge + 1));
    row.push_back(integerCell(line->rightEdge + 1));
}

// Rows: the whole-pixel lines with the sub-pixel line of the same coarse edges beside them, then
// every sub-pixel line not listed yet (numbered in `line` only on images without whole-pixel
// figures, where they are the only lines).
void appendLines(const ImageResult& result, Table& table) {
    if (result.status != ImageStatus::kMeasured) return;
    const MetrologyResult& m = result.metrology;
    std::vector<bool> listed(m.lines.size(), false);
    if (result.wholePixelApplicable) {
        const WidthMeasurement& w = result.analysis.widths;
        // Line m is bounded by edges 2m - 1 and 2m (pairing 1) or 2m and 2m + 1 (pairing 0).
        const int32_t firstOfFirstLine = result.pairing == 0 ? 2 : 1;
        for (int32_t i = 0; i < w.lineMeans.count; ++i) {
            std::vector<TableCell> row = rowStart(result);
            const int32_t left = firstOfFirstLine + 2 * i;
            row.push_back(integerCell(i + 1));
            row.push_back(integerCell(left));
            row.push_back(integerCell(left + 1));
            row.push_back(realCell(w.lineMeans[i]));
            row.push_back(elementCell(w.lineSigmas, i));
            const MetrologyLine* match = nullptr;
            for (size_t k = 0; k < m.lines.size(); ++k)
                if (m.edges[static_cast<size_t>(m.lines[k].leftEdge)].edgeNumber == left) {
                    match = &m.lines[k];
                    listed[k] = true;
                }
            appendSubpixelLine(match, row);
            table.rows.push_back(std::move(row));
        }
    }
    for (size_t i = 0; i < m.lines.size(); ++i) {
        if (listed[i]) continue;
        const MetrologyLine& line = m.lines[i];
        std::vector<TableCell> row = rowStart(result);
        row.push_back(result.wholePixelApplicable ? emptyCell()
                                                  : integerCell(static_cast<int64_t>(i) + 1));
        row.push_back(edgeNumberCell(m.edges[static_cast<size_t>(line.leftEdge)].edgeNumber));
        row.push_back(edgeNumberCell(m.edges[static_cast<size_t>(line.rightEdge)].edgeNumber));
        row.resize(row.size() + 2, emptyCell());
        appendSubpixelLine(&line, row);
        table.rows.push_back(std::move(row));
    }
}

void appendLength(const ImageResult& result, Table& table) {
    if (!hasWholePixelFigures(result)) return;
    const DisplayRecord& d = result.display;
    for (int32_t i = 0; i < d.lengthNm.count; ++i) {
        std::vector<TableCell> row = rowStart(result);
        row.push_back(integerCell(i + 1));
        row.push_back(realCell(d.lengthNm[i]));
        row.push_back(elementCell(d.lwr3Sigma, i));
        row.push_back(elementCell(d.cdVariation3Sigma, i));
        row.push_back(elementCell(d.sigmaUncertaintyPct, i));
        table.rows.push_back(std::move(row));
    }
}

void appendHhcf(const ImageResult& result, Table& table) {
    if (!hasWholePixelFigures(result)) return;
    const ImageAnalysis& a = result.analysis;
    const double across = acrossScale(result.setup);
    const double along = alongScale(result.setup);
    // A failed fit leaves a one-point placeholder curve that is no model value.
    const int32_t fitted = a.fit.ksi > 0.0 ? a.fit.curveLogHhcf.count : 0;
    const int32_t lags = a.averageHhcf.count > fitted ? a.averageHhcf.count : fitted;
    for (int32_t i = 0; i < lags; ++i) {
        std::vector<TableCell> row = rowStart(result);
        row.push_back(integerCell(i + 1));
        row.push_back(realCell(static_cast<double>(i + 1) * along));
        row.push_back(i < a.averageHhcf.count ? realCell(a.averageHhcf[i] * across) : emptyCell());
        row.push_back(i < fitted ? realCell(std::pow(10.0, a.fit.curveLogHhcf[i]) * across)
                                 : emptyCell());
        table.rows.push_back(std::move(row));
    }
}

void appendPsd(const ImageResult& result, Table& table) {
    if (result.status != ImageStatus::kMeasured) return;
    const MetrologyResult& m = result.metrology;
    // An image without any spectrum (every edge left out) has no rows: a frequency alone is not a
    // measurement.
    if (m.ler.psdNm3.empty() && m.lwr.psdNm3.empty() && m.lpr.psdNm3.empty()) return;
    for (size_t i = 0; i < m.frequencyPerNm.size(); ++i) {
        std::vector<TableCell> row = rowStart(result);
        row.push_back(realCell(m.frequencyPerNm[i]));
        for (const RoughnessFigure* f : {&m.ler, &m.lwr, &m.lpr}) {
            row.push_back(i < f->psdNm3.size() ? figureCell(f->psdNm3[i]) : emptyCell());
            row.push_back(i < f->modelNm3.size() ? figureCell(f->modelNm3[i]) : emptyCell());
            row.push_back(i < f->noiseNm3.size() ? figureCell(f->noiseNm3[i]) : emptyCell());
        }
        table.rows.push_back(std::move(row));
    }
}

void appendRows(TableKind kind, const ImageResult& result, Table& table) {
    switch (kind) {
        case TableKind::kSummary:
            appendSummary(result, table);
            break;
        case TableKind::kEdges:
            appendEdges(result, table);
            break;
        case TableKind::kLines:
            appendLines(result, table);
            break;
        case TableKind::kLength:
            appendLength(result, table);
            break;
        case TableKind::kHhcf:
            appendHhcf(result, table);
            break;
        case TableKind::kPsd:
            appendPsd(result, table);
            break;
    }
}

// The rows of one image as objects keyed by column name, without image_number and image.
nlohmann::ordered_json rowsJson(TableKind kind, const ImageResult& report) {
    Table table;
    table.columns = columnsOf(kind);
    appendRows(kind, report, table);
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const std::vector<TableCell>& row : table.rows) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (size_t c = 2; c < table.columns.size() && c < row.size(); ++c)
            object[table.columns[c]] = cellJson(row[c]);
        rows.push_back(std::move(object));
    }
    return rows;
}

nlohmann::ordered_json seriesJson(const Series& s, const char* unit, const char* meaning) {
    nlohmann::ordered_json values = nlohmann::ordered_json::array();
    for (int32_t i = 0; i < s.count; ++i)
        values.push_back(std::isfinite(s[i]) ? nlohmann::ordered_json(s[i])
                                             : nlohmann::ordered_json(nullptr));
    return {{"unit", unit}, {"meaning", meaning}, {"values", std::move(values)}};
}

// `unit`: the image's length unit ("nm", or "px" without a pixel size).
nlohmann::ordered_json displayJson(const DisplayRecord& d, const char* unit) {
    return {
        {"logLag", seriesJson(d.logLag, "log10(px)", "log10 of the lag r = 1 .. L")},
        {"logHhcf", seriesJson(d.logHhcf, "log10(px)", "log10 of the average HHCF at those lags")},
        {"fitLogLag", seriesJson(d.fitLogLag, "log10(px)", "log10 of the lags of the fitted line")},
        {"fitLogHhcf", seriesJson(d.fitLogHhcf, "log10(px)", "the fitted model line")},
        {"lengthNm", seriesJson(d.lengthNm, unit, "segment length")},
        {"sigmaUncertaintyPct",
         seriesJson(d.sigmaUncertaintyPct, "%", "uncertainty of sigma LWR per segment length")},
        {"lwr3Sigma", seriesJson(d.lwr3Sigma, unit, "3-sigma LWR per segment length")},
        {"cdVariation3Sigma",
         seriesJson(d.cdVariation3Sigma, unit, "3-sigma CD variation per segment length")},
        {"lwr3SigmaInfinite",
         seriesJson(d.lwr3SigmaInfinite, unit, "3-sigma LWR of an infinitely long line")},
    };
}

nlohmann::ordered_json parametersJson(const RunParameters& p) {
    auto number = [](double v) { return std::isfinite(v) ? nlohmann::ordered_json(v) : nullptr; };
    return {
        {"edge_threshold", number(p.edgeThreshold)},
        {"kernel_rows", p.kernelRows},
        {"kernel_columns", p.kernelColumns},
        {"kernel_sigma_px", number(p.kernelSigma)},
        {"pixel_size_nm", number(p.pixelSize)},
        {"edge_half_window_px", p.edgeHalfWindow},
        {"detection_floor", number(p.detectionFloor)},
        {"reserved_value", p.reservedValue},
        {"reserved_switch_1", std::string(1, p.reservedSwitch1)},
        {"reserved_switch_2", std::string(1, p.reservedSwitch2)},
        {"image_count", static_cast<int64_t>(p.images.size())},
    };
}

nlohmann::ordered_json settingsJson(const AnalysisSettings& s) {
    auto number = [](double v) { return std::isfinite(v) ? nlohmann::ordered_json(v) : nullptr; };
    nlohmann::ordered_json roi = nullptr;
    if (s.roiSet)
        roi = {{"x", s.roi.x}, {"y", s.roi.y}, {"width", s.roi.width}, {"height", s.roi.height}};
    return {
        {"edge_threshold", number(s.edgeThreshold)},
        {"kernel_rows", s.kernelRows},
        {"kernel_columns", s.kernelColumns},
        {"kernel_sigma_px", number(s.kernelSigma)},
        {"pixel_size_nm", number(s.pixelSizeNm)},
        {"edge_half_window_px", s.edgeHalfWindow},
        {"detection_floor", number(s.detectionFloor)},
        {"first_edge_opens_line", s.pairing == 1},
        {"contrast", contrastChoiceName(s.contrast)},
        {"orientation", orientationChoiceName(s.orientation)},
        {"find_databar", s.findDatabar},
        {"find_region", s.findRegion},
        {"roi", roi},
        {"max_pixels", s.maxPixels},
        {"bootstrap_resamples", s.bootstrapResamples},
        {"bootstrap_seed", s.bootstrapSeed},
        {"resolution_nm", s.resolutionNm >= 0.0 ? nlohmann::ordered_json(s.resolutionNm) : nullptr},
    };
}

// The edges (1-based numbers) whose value is not a number, as "2, 20".
std::string nonFiniteEdges(const Series& values) {
    std::string out;
    for (int32_t k = 0; k < values.count; ++k) {
        if (std::isfinite(values[k])) continue;
        if (!out.empty()) out += ", ";
        out += std::to_string(k + 1);
    }
    return out;
}

}  // namespace

TableCell emptyCell() { return TableCell{}; }

nlohmann::ordered_json cellJson(const TableCell& cell) {
    switch (cell.kind) {
        case TableCell::Kind::kText:
            return cell.text;
        case TableCell::Kind::kInteger:
            return cell.integer;
        case TableCell::Kind::kReal:
            if (std::isfinite(cell.real)) return cell.real;
            return nullptr;
        case TableCell::Kind::kEmpty:
            break;
    }
    return nullptr;
}

TableCell textCell(const std::string& text) {
    TableCell cell;
    cell.kind = TableCell::Kind::kText;
    cell.text = text;
    return cell;
}

TableCell integerCell(int64_t value) {
    TableCell cell;
    cell.kind = TableCell::Kind::kInteger;
    cell.integer = value;
    return cell;
}

TableCell realCell(double value) {
    TableCell cell;
    cell.kind = TableCell::Kind::kReal;
    cell.real = value;
    return cell;
}

const char* tableFileName(TableKind kind) {
    switch (kind) {
        case TableKind::kSummary:
            return "summary.csv";
        case TableKind::kEdges:
            return "edges.csv";
        case TableKind::kLines:
            return "lines.csv";
        case TableKind::kLength:
            return "length.csv";
        case TableKind::kHhcf:
            return "hhcf.csv";
        case TableKind::kPsd:
            break;
    }
    return "psd.csv";
}

// The file's row (1-based; its column for horizontal lines) of row `gridRow` (0-based) of the
// analysed grid.
int32_t fileRowOf(const ImageSetup& s, int32_t gridRow) {
    return s.gridTopRowFirst ? s.firstRow + gridRow : s.lastRow - gridRow;
}

DefectPlace defectPlace(const ImageResult& result, const EdgeGap& gap) {
    const ImageSetup& s = result.setup;
    const MetrologyLine& line = result.metrology.lines[static_cast<size_t>(gap.line)];
    auto fileRow = [&s](int32_t gridRow) { return fileRowOf(s, gridRow); };
    DefectPlace d;
    d.kind = gap.bridge ? "bridge" : "break";
    d.firstEdge = (gap.bridge ? line.rightEdge : line.leftEdge) + 1;
    d.secondEdge = d.firstEdge + 1;
    d.firstRow = std::min(fileRow(gap.firstRow), fileRow(gap.lastRow));
    d.lastRow = std::max(fileRow(gap.firstRow), fileRow(gap.lastRow));
    return d;
}

double lineTiltDegrees(const ImageResult& result) {
    // A grid tilt t (lines running right going down the grid) is a counter-clockwise turn of
    // vertical lines in an upright picture; flipping the rows, or reading the grid's columns
    // as the file's rows (horizontal lines), turns the sense.
    double sense = 1.0;
    if (!result.setup.gridTopRowFirst) sense = -sense;
    if (result.setup.horizontal) sense = -sense;
    return sense * result.metrology.tiltDegrees;
}

Table makeTable(TableKind kind, const std::vector<ImageResult>& reports) {
    Table table;
    table.columns = columnsOf(kind);
    for (const ImageResult& report : reports) appendRows(kind, report, table);
    return table;
}

std::string formatNumber(double value) {
    if (!std::isfinite(value)) return std::string();
    char text[40];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end.ptr);
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string formatCsv(const Table& table) {
    std::string out;
    for (size_t c = 0; c < table.columns.size(); ++c) {
        if (c > 0) out += ',';
        out += csvField(table.columns[c]);
    }
    out += '\n';
    for (const std::vector<TableCell>& row : table.rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            if (c > 0) out += ',';
            const TableCell& cell = row[c];
            switch (cell.kind) {
                case TableCell::Kind::kText:
                    out += csvField(cell.text);
                    break;
                case TableCell::Kind::kInteger:
                    out += std::to_string(cell.integer);
                    break;
                case TableCell::Kind::kReal:
                    out += formatNumber(cell.real);
                    break;
                case TableCell::Kind::kEmpty:
                    break;
            }
        }
        out += '\n';
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> emptyFigureReasons(const ImageResult& report) {
    if (report.status != ImageStatus::kMeasured) return {};
    const nlohmann::ordered_json summary = rowsJson(TableKind::kSummary, report)[0];
    const MetrologyResult& m = report.metrology;
    const PsdFit& fit = summaryFit(m);
    std::vector<std::pair<const char*, std::string>> why;
    if (report.setup.figuresInPixels) {
        const std::string none =
            "no pixel size was given and the file's metadata holds none: lengths are in px";
        why.emplace_back("pixel_size_nm", none);
        why.emplace_back("pixel_height_nm", none);
    }
    if (!report.wholePixelApplicable) {
        for (const char* key :
             {"cd_average_nm", "cd_variation_nm", "lwr_3sigma_nm", "lwr_3sigma_spread_nm",
              "lwr_3sigma_infinite_nm", "a", "ksi_nm", "skewness_mean", "kurtosis_mean"})
            why.emplace_back(key, "no whole-pixel figures: " + report.wholePixelReason);
    } else {
        const std::string skewness = nonFiniteEdges(report.analysis.edgeSkewness);
        const std::string kurtosis = nonFiniteEdges(report.analysis.edgeKurtosis);
        auto flat = [](const std::string& edges, const char* figure) {
            const bool one = edges.find(',') == std::string::npos;
            return std::string(one ? "the whole-pixel trace of edge "
                                   : "the whole-pixel traces of edges ") +
                   edges + (one ? " has" : " have") + " no spread (sigma 0): no " + figure;
        };
        if (!(report.analysis.fit.ksi > 0.0)) {
            const std::string noFit =
                report.analysis.averageHhcf.count == 0
                    ? "no whole-pixel HHCF: too few rows were analysed for its lags"
                    : "the whole-pixel HHCF fit found no correlation length (fewer than 5 "
                      "leading lags below 1.125 sigma, or the HHCF does not level off within "
                      "its lags)";
            why.emplace_back("a", noFit);
            why.emplace_back("ksi_nm", noFit);
        }
        if (!skewness.empty()) why.emplace_back("skewness_mean", flat(skewness, "skewness"));
        if (!kurtosis.empty()) why.emplace_back("kurtosis_mean", flat(kurtosis, "kurtosis"));
    }
    why.emplace_back("cd_subpixel_nm", m.cdReason);
    why.emplace_back("cd_subpixel_ci95_nm", m.cdCiReason);
    why.emplace_back("ler_3sigma_biased_nm", m.ler.reason);
    why.emplace_back("ler_3sigma_unbiased_nm", m.ler.reason);
    why.emplace_back("ler_3sigma_unbiased_ci95_nm", m.ler.ciReason);
    why.emplace_back("lwr_3sigma_biased_nm", m.lwr.reason);
    why.emplace_back("lwr_3sigma_unbiased_nm", m.lwr.reason);
    why.emplace_back("lwr_3sigma_unbiased_ci95_nm", m.lwr.ciReason);
    why.emplace_back("lpr_3sigma_biased_nm", m.lpr.reason);
    why.emplace_back("lpr_3sigma_unbiased_nm", m.lpr.reason);
    why.emplace_back("lpr_3sigma_unbiased_ci95_nm", m.lpr.ciReason);
    why.emplace_back("edge_correlation", m.edgeCorrelationReason);
    why.emplace_back("line_tilt_deg", m.tiltReason);
    for (const char* key :
         {"psd_xi_nm", "psd_alpha", "psd0_nm3", "noise_floor_nm3", "psd_resolution_nm"})
        why.emplace_back(key, fit.ok ? std::string() : fit.status);
    why.emplace_back("psd_xi_ci95_nm", fit.ok ? fit.intervalReason : fit.status);
    why.emplace_back("psd_alpha_ci95", fit.ok ? fit.intervalReason : fit.status);
    std::vector<std::pair<std::string, std::string>> reasons;
    for (auto& [key, text] : why) {
        const auto cell = summary.find(key);
        if (!text.empty() && cell != summary.end() && cell->is_null())
            reasons.emplace_back(key, std::move(text));
    }
    return reasons;
}

nlohmann::ordered_json imageJson(const ImageResult& report) {
    const ImageAnalysis& a = report.analysis;
    const MetrologyResult& m = report.metrology;
    nlohmann::ordered_json summary = rowsJson(TableKind::kSummary, report)[0];
    summary.erase("status");
    nlohmann::ordered_json image = {
        {"image_number", report.position},
        {"image", report.name},
        {"path", report.path},
        {"group", report.group},
        {"pairing", report.pairing},
        {"status", statusName(report.status)},
        {"reason", report.reason},
    };
    if (wasLoaded(report)) {
        const ImageSetup& s = report.setup;
        image["width_px"] = s.fileWidth;
        image["height_px"] = s.fileHeight;
        image["rows_analysed"] = s.lastRow - s.firstRow + 1;
        image["setup"] = {
            {"format", s.format},
            {"pixel_size_nm", s.figuresInPixels ? nlohmann::ordered_json(nullptr)
                                                : nlohmann::ordered_json(s.pixelSizeNm)},
            {"pixel_height_nm", s.figuresInPixels ? nlohmann::ordered_json(nullptr)
                                                  : nlohmann::ordered_json(pixelHeight(s))},
            {"pixel_size_source", s.pixelSizeSource},
            {"length_unit", s.figuresInPixels ? "px" : "nm"},
            {"orientation", s.horizontal ? "horizontal" : "vertical"},
            {"contrast", s.contrast},
            {"databar_rows", s.databarRows},
            {"databar_source", s.databarSource},
            {"clipped_dark_share", s.darkClippedShare},
            {"clipped_bright_share", s.brightClippedShare},
            {"analysed_area_px",
             {{"x", s.area.x},
              {"y", s.area.y},
              {"width", s.area.width},
              {"height", s.area.height}}},
            {"first_row", s.firstRow},
            {"last_row", s.lastRow},
            {"file_row_order", s.fileOrder},
            {"metadata_notes", s.notes},
            {"setting_notes", s.settingNotes},
        };
        image["whole_pixel_applicable"] = report.wholePixelApplicable;
        if (!report.wholePixelApplicable) image["whole_pixel_reason"] = report.wholePixelReason;
        if (!report.metrology.edgeOrigin.empty())
            image["subpixel_edge_origin"] = report.metrology.edgeOrigin;
        image["flags"] = report.flags;
    }
    image["summary"] = std::move(summary);
    if (report.status == ImageStatus::kMeasured) {
        nlohmann::ordered_json reasons = nlohmann::ordered_json::object();
        for (const auto& [key, text] : emptyFigureReasons(report)) reasons[key] = text;
        image["reasons"] = std::move(reasons);
        auto fitJson = [](const RoughnessFigure& f) {
            auto number = [](double v) {
                return std::isfinite(v) ? nlohmann::ordered_json(v) : nullptr;
            };
            return nlohmann::ordered_json{
                {"series", f.seriesCount},
                {"fit_status", f.fit.status},
                {"psd0_nm3", f.fit.ok ? number(f.fit.psd0) : nullptr},
                {"xi_nm", f.fit.ok ? number(f.fit.xi) : nullptr},
                {"xi_ci95_nm", f.fit.ok ? number(f.fit.xiCi95) : nullptr},
                {"alpha", f.fit.ok ? number(f.fit.alpha) : nullptr},
                {"alpha_ci95", f.fit.ok ? number(f.fit.alphaCi95) : nullptr},
                {"noise_floor_nm3", f.fit.ok ? number(f.fit.noiseFloor) : nullptr},
                {"noise_correlation", f.fit.ok ? number(f.fit.noiseCorrelation) : nullptr},
                {"resolution_nm", f.fit.ok ? number(f.fit.resolution) : nullptr},
                {"resolution_held", f.fit.resolutionHeld},
                {"sigma3_biased_nm", number(f.sigma3BiasedNm)},
                {"sigma3_unbiased_nm", number(f.sigma3UnbiasedNm)},
                {"sigma3_unbiased_ci95_nm", number(f.ci95Nm)},
            };
        };
        // The spectra's rows in the file's numbering, as `setup` gives the analysed rows.
        const int32_t spectrumEnds[2] = {fileRowOf(report.setup, m.firstSpectrumRow - 1),
                                         fileRowOf(report.setup, m.lastSpectrumRow - 1)};
        const bool spectrumRows = m.firstSpectrumRow > 0;
        image["spectra"] = {
            {"bandwidth_per_nm", m.bandwidthPerNm},
            {"first_row", spectrumRows
                              ? nlohmann::ordered_json(std::min(spectrumEnds[0], spectrumEnds[1]))
                              : nullptr},
            {"last_row", spectrumRows
                             ? nlohmann::ordered_json(std::max(spectrumEnds[0], spectrumEnds[1]))
                             : nullptr},
            {"ler", fitJson(m.ler)},
            {"lwr", fitJson(m.lwr)},
            {"lpr", fitJson(m.lpr)},
        };
        nlohmann::ordered_json defects = nlohmann::ordered_json::array();
        for (const EdgeGap& gap : m.gaps) {
            const DefectPlace d = defectPlace(report, gap);
            defects.push_back({{"kind", d.kind},
                               {"subpixel_edges", {d.firstEdge, d.secondEdge}},
                               {"rows", {d.firstRow, d.lastRow}}});
        }
        image["defects"] = std::move(defects);
    }
    image["edges"] = rowsJson(TableKind::kEdges, report);
    image["lines"] = rowsJson(TableKind::kLines, report);
    image["length"] = rowsJson(TableKind::kLength, report);
    image["hhcf"] = rowsJson(TableKind::kHhcf, report);
    image["psd"] = rowsJson(TableKind::kPsd, report);
    image["display"] = displayJson(report.display, report.setup.figuresInPixels ? "px" : "nm");
    nlohmann::ordered_json pictures = nlohmann::ordered_json::object();
    if (!report.pngFile.empty()) pictures["png"] = report.pngFile;
    if (!report.svgFile.empty()) pictures["svg"] = report.svgFile;
    if (!report.psdPngFile.empty()) pictures["psd_png"] = report.psdPngFile;
    if (!report.psdSvgFile.empty()) pictures["psd_svg"] = report.psdSvgFile;
    image["pictures"] = std::move(pictures);
    (void)a;
    return image;
}

nlohmann::ordered_json reportJson(const RunDescription& run,
                                  const std::vector<ImageResult>& results) {
    nlohmann::ordered_json images = nlohmann::ordered_json::array();
    for (const ImageResult& result : results) images.push_back(imageJson(result));
    return {
        {"program", "rugon-report"},
        {"version", rugonVersion()},
        {"parameter_file", run.parameterFile},
        {"parameters",
         run.parameters != nullptr ? parametersJson(*run.parameters) : settingsJson(run.settings)},
        {"units",
         {{"_nm", "nanometres (pixels where an image's length_unit is px)"},
          {"_nm3", "nm^3 (PSD; px^3 where an image's length_unit is px)"},
          {"_per_nm", "1/nm (spatial frequency; 1/px where an image's length_unit is px)"},
          {"_px", "pixels"},
          {"_pct", "percent"},
          {"a", "roughness exponent, no unit"},
          {"skewness, kurtosis", "no unit"}}},
        {"images", std::move(images)},
    };
}

std::string formatJson(const nlohmann::ordered_json& document) {
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
