// The batch report's tables (summary, edges, lines, length dependence, HHCF) as CSV text, and the
// whole run as one JSON document. The CSV columns and the JSON keys carry the same names.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "report/report_files.h"
#include "run/image_result.h"

// One cell of a table: nothing, a text, an integer or a real number.
struct TableCell {
    enum class Kind { kEmpty, kText, kInteger, kReal };
    Kind kind = Kind::kEmpty;
    std::string text;
    int64_t integer = 0;
    double real = 0.0;
};

TableCell emptyCell();
// A cell as JSON: its text or number, null when empty or not a finite number.
nlohmann::ordered_json cellJson(const TableCell& cell);
TableCell textCell(const std::string& text);
TableCell integerCell(int64_t value);
TableCell realCell(double value);

// Column names (units as suffixes: _nm nanometres, _px pixels, _pct percent) and rows of cells,
// each row as long as `columns`.
struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<TableCell>> rows;
};

// The tables of a run. Every table starts with the columns image_number (1-based list
// position) and image (the name as listed). Lengths are in nm, or in px for an image without a
// pixel size (its length_unit column says which); docs/report.md lists every column.
//  kSummary: one row per listed image: status, the edge and line counts, the setup (pixel
//            size and source, rows used, orientation, contrast, data bar rows, flags), the
//            whole-pixel figures (cd_average_nm .. kurtosis_mean, the very values the console
//            report prints) and the sub-pixel and unbiased figures (cd_subpixel_nm ..
//            pooled_edge_rows). Figures are empty unless the image was measured (and, for the
//            whole-pixel ones, unless that method applies); the counts and the setup are empty
//            unless it was decoded.
//  kEdges:   one row per processed edge of a loaded image: edge (1-based k), scan_direction
//            (+1 left to right, -1 right to left), mean_position_nm, spread_nm, sigma_nm,
//            skewness, kurtosis.
//  kLines:   one row per measured line: line, first_edge, second_edge, mean_width_nm,
//            width_sigma_nm.
//  kLength:  one row per division of the lines into equal segments: segments_per_line,
//            length_nm, lwr_3sigma_nm, cd_variation_3sigma_nm, sigma_lwr_uncertainty_pct (the
//            plotted curves).
//  kHhcf:    one row per lag of the average HHCF: lag_px, lag_nm, hhcf_nm, fit_hhcf_nm (the
//            fitted model 10^line times the pixel size, empty beyond the fitted lags or when
//            the fit failed).
//  kPsd:     one row per frequency of the averaged power spectra: frequency (1/nm), edge,
//            width and placement PSD with their fitted models and floors (nm^3).
enum class TableKind { kSummary, kEdges, kLines, kLength, kHhcf, kPsd };

// Every table, in the order a report writes them.
constexpr TableKind kTableKinds[] = {TableKind::kSummary, TableKind::kEdges, TableKind::kLines,
                                     TableKind::kLength,  TableKind::kHhcf,  TableKind::kPsd};

// "summary.csv", "edges.csv", "lines.csv", "length.csv", "hhcf.csv" or "psd.csv".
const char* tableFileName(TableKind kind);

// A defect of MetrologyResult::gaps as the report gives it: "bridge" or "break", its two
// sub-pixel edges (1-based from the left, as subpixel_edge) and its first and last rows as
// rows_used counts them (file rows; file columns for horizontal lines).
struct DefectPlace {
    const char* kind = "break";
    int32_t firstEdge = 0;
    int32_t secondEdge = 0;
    int32_t firstRow = 0;
    int32_t lastRow = 0;
};
DefectPlace defectPlace(const ImageResult& result, const EdgeGap& gap);

// The lines' tilt as the file's picture shows them (top row first): degrees counter-clockwise
// from their nominal direction (vertical, or horizontal for turned pictures), from the
// metrology's tilt in the analysed grid (MetrologyResult::tiltDegrees), whose rows may run
// bottom-up and whose columns may be the file's rows. NaN where that is NaN.
double lineTiltDegrees(const ImageResult& result);

// Why each figure of the image's summary row that is empty is empty: (column, reason) in the
// order of the columns. Every empty figure of a measured image has one; nothing for an image
// that was not measured (its status and reason say why).
std::vector<std::pair<std::string, std::string>> emptyFigureReasons(const ImageResult& result);

// The table `kind` over all `results` in order.
Table makeTable(TableKind kind, const std::vector<ImageResult>& results);

// A real number in the fewest digits that read back as the same double (2.86, not
// 2.8599999999999999), with a point whatever the locale; an empty text for NaN and infinities.
std::string formatNumber(double value);

// A CSV field: the text itself, or in double quotes (inner quotes doubled) when it holds a
// comma, a double quote, a carriage return or a line feed.
std::string csvField(const std::string& text);

// The table as CSV: a header line of the column names, then one line per row, fields separated
// by commas, every line ending in a line feed. Empty cells stay empty.
std::string formatCsv(const Table& table);

// The whole run as JSON: program, version, parameter file, the parameters, a legend of the
// unit suffixes and, per image, its status, sizes, summary, edges, lines, length, hhcf (the
// table rows without image_number and image, as objects keyed by column name), every series of
// its display record with its unit, and its picture file names. NaN and infinities are null.
nlohmann::ordered_json reportJson(const RunDescription& run,
                                  const std::vector<ImageResult>& results);

// One image's entry of report.json (also the Python module's to_dict()).
nlohmann::ordered_json imageJson(const ImageResult& result);

// The document as indented JSON text ending in a line feed. Text that is not valid UTF-8 (a
// file name in another encoding) is written with U+FFFD in place of the bad bytes.
std::string formatJson(const nlohmann::ordered_json& document);
