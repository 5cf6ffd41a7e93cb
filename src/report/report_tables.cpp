#include "report/report_tables.h"

#include <cmath>
#include <cstdio>

#include "run/version.h"

namespace {

const std::vector<std::string>& columnsOf(TableKind kind) {
    static const std::vector<std::string> summary = {"image_number",
                                                     "image",
                                                     "status",
                                                     "edges_found",
                                                     "edges_processed",
                                                     "lines",
                                                     "pixel_size_nm",
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
                                                     "psd_alpha",
                                                     "psd0_nm3",
                                                     "noise_floor_nm3",
                                                     "psd_fit_status",
                                                     "missing_edge_rows"};
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
                                                   "missing_rows",
                                                   "flags"};
    static const std::vector<std::string> lines = {"image_number",
                                                   "image",
                                                   "line",
                                                   "first_edge",
                                                   "second_edge",
                                                   "mean_width_nm",
                                                   "width_sigma_nm",
                                                   "subpixel_mean_width_nm",
                                                   "subpixel_width_sigma_biased_nm",
                                                   "subpixel_placement_sigma_biased_nm"};
    static const std::vector<std::string> psd = {"image_number",
                                                 "image",
                                                 "frequency_per_nm",
                                                 "edge_psd_nm3",
                                                 "edge_model_nm3",
                                                 "edge_floor_nm3",
                                                 "width_psd_nm3",
                                                 "width_model_nm3",
                                                 "width_floor_nm3",
                                                 "placement_psd_nm3",
                                                 "placement_model_nm3",
                                                 "placement_floor_nm3"};
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

// Element `index` of `s`, or an empty cell when the series is shorter.
TableCell elementCell(const Series& s, int32_t index) {
    return index >= 0 && index < s.count ? realCell(s[index]) : emptyCell();
}

std::vector<TableCell> rowStart(const ImageResult& report) {
    return {integerCell(report.position), textCell(report.name)};
}

void appendSummary(const ImageResult& report, double pixelSize, Table& table) {
    std::vector<TableCell> row = rowStart(report);
    row.push_back(textCell(statusName(report.status)));
    const ImageAnalysis& a = report.analysis;
    if (wasLoaded(report)) {
        row.push_back(integerCell(a.coarse.count));
        row.push_back(integerCell(static_cast<int64_t>(a.processed.size())));
        row.push_back(integerCell(a.lineCount));
    }
    if (report.status == ImageStatus::kMeasured) {
        // The same expressions as the console report, so that rounding these values gives
        // its very digits.
        const WidthMeasurement& w = a.widths;
        row.push_back(realCell(w.cdAverage));
        row.push_back(realCell(w.cdVariation));
        row.push_back(realCell(3.0 * w.meanLineSigma));
        row.push_back(realCell(3.0 * a.lineSigmaSpread));
        row.push_back(realCell(3.0 * a.lwrInfinite));
        row.push_back(realCell(a.fit.alpha));
        row.push_back(realCell(pixelSize * a.fit.ksi));
        row.push_back(realCell(a.meanSkewness));
        row.push_back(realCell(a.meanKurtosis));
    }
    row.resize(table.columns.size());
    table.rows.push_back(std::move(row));
}

void appendEdges(const ImageResult& report, Table& table) {
    if (!wasLoaded(report)) return;
    const ImageAnalysis& a = report.analysis;
    for (const EdgeFigures& edge : a.processed) {
        const int32_t slot = edge.edgeNumber - 1;
        std::vector<TableCell> row = rowStart(report);
        row.push_back(integerCell(edge.edgeNumber));
        row.push_back(integerCell(edge.direction));
        row.push_back(elementCell(a.edgeMeans, slot));
        row.push_back(elementCell(a.edgeSpreads, slot));
        row.push_back(elementCell(a.edgeSigmas, slot));
        row.push_back(elementCell(a.edgeSkewness, slot));
        row.push_back(elementCell(a.edgeKurtosis, slot));
        table.rows.push_back(std::move(row));
    }
}

void appendLines(const ImageResult& report, Table& table) {
    if (report.status != ImageStatus::kMeasured) return;
    const WidthMeasurement& w = report.analysis.widths;
    // Line m is bounded by edges 2m - 1 and 2m (pairing 1) or 2m and 2m + 1 (pairing 0).
    const int32_t firstOfFirstLine = report.pairing == 0 ? 2 : 1;
    for (int32_t i = 0; i < w.lineMeans.count; ++i) {
        std::vector<TableCell> row = rowStart(report);
        row.push_back(integerCell(i + 1));
        row.push_back(integerCell(firstOfFirstLine + 2 * i));
        row.push_back(integerCell(firstOfFirstLine + 2 * i + 1));
        row.push_back(realCell(w.lineMeans[i]));
        row.push_back(elementCell(w.lineSigmas, i));
        table.rows.push_back(std::move(row));
    }
}

void appendLength(const ImageResult& report, Table& table) {
    if (report.status != ImageStatus::kMeasured) return;
    const DisplayRecord& d = report.display;
    for (int32_t i = 0; i < d.lengthNm.count; ++i) {
        std::vector<TableCell> row = rowStart(report);
        row.push_back(integerCell(i + 1));
        row.push_back(realCell(d.lengthNm[i]));
        row.push_back(elementCell(d.lwr3Sigma, i));
        row.push_back(elementCell(d.cdVariation3Sigma, i));
        row.push_back(elementCell(d.sigmaUncertaintyPct, i));
        table.rows.push_back(std::move(row));
    }
}

void appendHhcf(const ImageResult& report, double pixelSize, Table& table) {
    if (report.status != ImageStatus::kMeasured) return;
    const ImageAnalysis& a = report.analysis;
    // A failed fit leaves a one-point placeholder curve that is no model value.
    const int32_t fitted = a.fit.ksi > 0.0 ? a.fit.curveLogHhcf.count : 0;
    const int32_t lags = a.averageHhcf.count > fitted ? a.averageHhcf.count : fitted;
    for (int32_t i = 0; i < lags; ++i) {
        std::vector<TableCell> row = rowStart(report);
        row.push_back(integerCell(i + 1));
        row.push_back(realCell(static_cast<double>(i + 1) * pixelSize));
        row.push_back(i < a.averageHhcf.count ? realCell(a.averageHhcf[i] * pixelSize)
                                              : emptyCell());
        row.push_back(i < fitted ? realCell(std::pow(10.0, a.fit.curveLogHhcf[i]) * pixelSize)
                                 : emptyCell());
        table.rows.push_back(std::move(row));
    }
}

void appendRows(TableKind kind, const ImageResult& report, double pixelSize, Table& table) {
    switch (kind) {
        case TableKind::kSummary:
            appendSummary(report, pixelSize, table);
            break;
        case TableKind::kEdges:
            appendEdges(report, table);
            break;
        case TableKind::kLines:
            appendLines(report, table);
            break;
        case TableKind::kLength:
            appendLength(report, table);
            break;
        case TableKind::kHhcf:
            appendHhcf(report, pixelSize, table);
            break;
    }
}

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

// The rows of one image as objects keyed by column name, without image_number and image.
nlohmann::ordered_json rowsJson(TableKind kind, const ImageResult& report, double pixelSize) {
    Table table;
    table.columns = columnsOf(kind);
    appendRows(kind, report, pixelSize, table);
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

nlohmann::ordered_json displayJson(const DisplayRecord& d) {
    return {
        {"logLag", seriesJson(d.logLag, "log10(px)", "log10 of the lag r = 1 .. L")},
        {"logHhcf", seriesJson(d.logHhcf, "log10(px)", "log10 of the average HHCF at those lags")},
        {"fitLogLag", seriesJson(d.fitLogLag, "log10(px)", "log10 of the lags of the fitted line")},
        {"fitLogHhcf", seriesJson(d.fitLogHhcf, "log10(px)", "the fitted model line")},
        {"lengthNm", seriesJson(d.lengthNm, "nm", "segment length")},
        {"sigmaUncertaintyPct",
         seriesJson(d.sigmaUncertaintyPct, "%", "uncertainty of sigma LWR per segment length")},
        {"lwr3Sigma", seriesJson(d.lwr3Sigma, "nm", "3-sigma LWR per segment length")},
        {"cdVariation3Sigma",
         seriesJson(d.cdVariation3Sigma, "nm", "3-sigma CD variation per segment length")},
        {"lwr3SigmaInfinite",
         seriesJson(d.lwr3SigmaInfinite, "nm", "3-sigma LWR of an infinitely long line")},
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

}  // namespace

TableCell emptyCell() { return TableCell{}; }

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
            break;
    }
    return "hhcf.csv";
}

Table makeTable(TableKind kind, const std::vector<ImageResult>& reports, double pixelSize) {
    Table table;
    table.columns = columnsOf(kind);
    for (const ImageResult& report : reports) appendRows(kind, report, pixelSize, table);
    return table;
}

std::string formatNumber(double value) {
    if (!std::isfinite(value)) return std::string();
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
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

nlohmann::ordered_json reportJson(const RunParameters& params,
                                  const std::string& parameterFile,
                                  const std::vector<ImageResult>& reports) {
    const double pixelSize = params.pixelSize;
    nlohmann::ordered_json images = nlohmann::ordered_json::array();
    for (const ImageResult& report : reports) {
        const ImageAnalysis& a = report.analysis;
        nlohmann::ordered_json summary = rowsJson(TableKind::kSummary, report, pixelSize)[0];
        summary.erase("status");
        nlohmann::ordered_json image = {
            {"image_number", report.position},
            {"image", report.name},
            {"path", report.path},
            {"pairing", report.pairing},
            {"status", statusName(report.status)},
            {"reason", report.reason},
        };
        if (wasLoaded(report)) {
            image["width_px"] = a.width;
            image["height_px"] = a.height;
            image["rows_analysed"] = a.rowCount;
        }
        image["summary"] = std::move(summary);
        image["edges"] = rowsJson(TableKind::kEdges, report, pixelSize);
        image["lines"] = rowsJson(TableKind::kLines, report, pixelSize);
        image["length"] = rowsJson(TableKind::kLength, report, pixelSize);
        image["hhcf"] = rowsJson(TableKind::kHhcf, report, pixelSize);
        image["display"] = displayJson(report.display);
        nlohmann::ordered_json pictures = nlohmann::ordered_json::object();
        if (!report.pngFile.empty()) pictures["png"] = report.pngFile;
        if (!report.svgFile.empty()) pictures["svg"] = report.svgFile;
        image["pictures"] = std::move(pictures);
        images.push_back(std::move(image));
    }
    return {
        {"program", "rugon-report"},
        {"version", rugonVersion()},
        {"parameter_file", parameterFile},
        {"parameters", parametersJson(params)},
        {"units",
         {{"_nm", "nanometres"},
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
