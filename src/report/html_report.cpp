#include "report/html_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>

#include "report/batch_plots.h"
#include "report/plot_drawing.h"
#include "report/psd_figure.h"
#include "report/report_figure.h"
#include "report/report_tables.h"
#include "run/quality_flags.h"
#include "run/version.h"

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A figure as a reader wants to see it: four significant digits, no exponent between 0.001
// and 100000; the exact value stays in the CSV files and in the cell's sort key.
std::string displayNumber(double value) {
    if (!std::isfinite(value)) return std::string();
    const double magnitude = std::fabs(value);
    if (magnitude != 0.0 && (magnitude < 1e-3 || magnitude >= 1e5)) return formatted("%.3e", value);
    if (magnitude >= 1000.0) return formatted("%.0f", value);
    return formatted("%.4g", value);
}

// A figure and the half-width of its 95 % interval, both to the decimal place of the
// half-width's second significant digit, as measurements are written (141.97 +- 0.84,
// 12599 +- 45); where that does not serve (no half-width, figures outside the range of
// displayNumber), each as displayNumber gives it.
std::pair<std::string, std::string> displayWithInterval(double value, double halfWidth) {
    const double magnitude = std::fabs(value);
    if (!std::isfinite(value) || !(halfWidth > 0.0) || !std::isfinite(halfWidth) ||
        magnitude >= 1e5 || (magnitude != 0.0 && magnitude < 1e-3) || halfWidth < 1e-4)
        return {displayNumber(value), displayNumber(halfWidth)};
    const int decimals = std::max(0, 1 - static_cast<int>(std::floor(std::log10(halfWidth))));
    char v[64];
    char h[64];
    std::snprintf(v, sizeof v, "%.*f", decimals, value);
    std::snprintf(h, sizeof h, "%.*f", decimals, halfWidth);
    return {v, h};
}

bool isEmpty(const TableCell& cell) {
    return cell.kind == TableCell::Kind::kEmpty ||
           (cell.kind == TableCell::Kind::kReal && !std::isfinite(cell.real)) ||
           (cell.kind == TableCell::Kind::kText && cell.text.empty());
}

// The cell's value as shown (not yet escaped) and as sorted.
std::string cellDisplay(const TableCell& cell) {
    switch (cell.kind) {
        case TableCell::Kind::kText:
            return cell.text;
        case TableCell::Kind::kInteger:
            return std::to_string(cell.integer);
        case TableCell::Kind::kReal:
            return displayNumber(cell.real);
        case TableCell::Kind::kEmpty:
            break;
    }
    return std::string();
}

std::string cellSortKey(const TableCell& cell) {
    if (cell.kind == TableCell::Kind::kReal) return formatNumber(cell.real);
    return cellDisplay(cell);
}

bool isNumeric(const TableCell& cell) {
    return cell.kind == TableCell::Kind::kInteger || cell.kind == TableCell::Kind::kReal;
}

std::vector<std::string> splitFlags(const std::string& text) {
    std::vector<std::string> flags;
    std::string current;
    for (char c : text) {
        if (c == ';') {
            if (!current.empty()) flags.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) flags.push_back(current);
    return flags;
}

std::string flagBadges(const std::vector<std::string>& flags) {
    std::string html;
    for (const std::string& flag : flags)
        html += "<span class=\"flag\" title=\"" + htmlEscape(flagRule(flag)) + "\">" +
                htmlEscape(flag) + "</span> ";
    if (!html.empty()) html.pop_back();
    return html;
}

std::string statusBadge(const std::string& status) {
    const char* kind = status == "measured" ? "ok" : "bad";
    return "<span class=\"status " + std::string(kind) + "\">" + htmlEscape(status) + "</span>";
}

// The unit shown after a figure of an image without a pixel size: "px" after a length,
// "px³" after a spectral density, "1/px" after a frequency; nothing otherwise.
std::string unitSuffix(const std::string& column, bool inPixels) {
    if (!inPixels) return std::string();
    const auto endsWith = [&column](const std::string& end) {
        return column.size() > end.size() &&
               column.compare(column.size() - end.size(), end.size(), end) == 0;
    };
    const char* unit = endsWith("_per_nm") ? "1/px"
                       : endsWith("_nm3")  ? "px\u00b3"
                       : endsWith("_nm")   ? "px"
                                           : nullptr;
    return unit != nullptr ? std::string(" <span class=\"unit\">") + unit + "</span>"
                           : std::string();
}

// A column of the summary shown in the page's main table.
struct ShownColumn {
    const char* column;
    const char* label;
    const char* unit;        // shown under the label; "" for none
    const char* ciColumn;    // column with the half-width of its 95 % interval, or nullptr
    const char* noteColumn;  // text column shown small beside the value, or nullptr
};

// The main table's columns, looked up by name in the summary table; a column the table does
// not have is left out.
constexpr ShownColumn kMainColumns[] = {
    {"image_number", "#", "", nullptr, nullptr},
    {"image", "Image", "", nullptr, nullptr},
    {"group", "Group", "", nullptr, nullptr},
    {"status", "Status", "", nullptr, nullptr},
    {"flags", "Flags", "", nullptr, nullptr},
    {"pixel_size_nm", "Pixel size", "nm, source", nullptr, "pixel_size_source"},
    {"lines", "Lines", "", nullptr, nullptr},
    {"subpixel_lines", "Lines", "sub-pixel", nullptr, nullptr},
    {"cd_average_nm", "CD", "nm, whole-pixel", nullptr, nullptr},
    {"cd_subpixel_nm", "CD sub-pixel", "nm, \u00b1 95 %", "cd_subpixel_ci95_nm", nullptr},
    {"lwr_3sigma_nm", "3\u03c3 LWR", "nm, whole-pixel", nullptr, nullptr},
    {"lwr_3sigma_biased_nm", "3\u03c3 LWR biased", "nm", nullptr, nullptr},
    {"lwr_3sigma_unbiased_nm", "3\u03c3 LWR unbiased", "nm, \u00b1 95 %",
     "lwr_3sigma_unbiased_ci95_nm", nullptr},
    {"ler_3sigma_biased_nm", "3\u03c3 LER biased", "nm", nullptr, nullptr},
    {"ler_3sigma_unbiased_nm", "3\u03c3 LER unbiased", "nm, \u00b1 95 %",
     "ler_3sigma_unbiased_ci95_nm", nullptr},
    {"a", "a", "HHCF", nullptr, nullptr},
    {"ksi_nm", "\u03be", "nm, HHCF", nullptr, nullptr},
    {"psd_xi_nm", "\u03be", "nm, PSD, \u00b1 95 %", "psd_xi_ci95_nm", nullptr},
    {"psd_alpha", "\u03b1", "PSD, \u00b1 95 %", "psd_alpha_ci95", nullptr},
};

// The summary table with its columns by name.
struct Summary {
    Table table;
    std::map<std::string, size_t> index;

    const TableCell* cell(size_t row, const std::string& column) const {
        const auto found = index.find(column);
        if (found == index.end() || row >= table.rows.size()) return nullptr;
        const std::vector<TableCell>& cells = table.rows[row];
        return found->second < cells.size() ? &cells[found->second] : nullptr;
    }
    bool has(const std::string& column) const { return index.count(column) > 0; }
    std::string text(size_t row, const std::string& column) const {
        const TableCell* c = cell(row, column);
        return c == nullptr ? std::string() : cellDisplay(*c);
    }
    double real(size_t row, const std::string& column) const {
        const TableCell* c = cell(row, column);
        if (c == nullptr) return NAN;
        if (c->kind == TableCell::Kind::kReal) return c->real;
        if (c->kind == TableCell::Kind::kInteger) return static_cast<double>(c->integer);
        return NAN;
    }
};

// What marks a figure of summary column `column` (row `row`) that is no measurement, shown under
// it: a fitted xi or alpha that ended at a bound of its fit (as psd_fit_status says), an
// unbiased figure that the noise floor took down to 0. "" for a plain figure.
std::string notMeasuredNote(const Summary& summary, size_t row, const std::string& column) {
    if (column == "psd_xi_nm" || column == "psd_alpha") {
        const std::string status = summary.text(row, "psd_fit_status");
        const std::string which = column == "psd_xi_nm" ? "xi at its " : "alpha at its ";
        for (const char* bound : {"lower bound", "upper bound"})
            if (status.find(which + bound) != std::string::npos)
                return std::string("fit at ") + bound;
        return "";
    }
    // The floor took a spread there was (straight edges have none to take).
    const size_t unbiased = column.find("_unbiased_nm");
    if (unbiased == std::string::npos || summary.real(row, column) != 0.0) return "";
    const std::string biased = column.substr(0, unbiased) + "_biased_nm";
    return summary.real(row, biased) > 0.0 ? "all noise floor" : "";
}

Summary makeSummary(const std::vector<ImageResult>& results) {
    Summary s;
    s.table = makeTable(TableKind::kSummary, results);
    for (size_t c = 0; c < s.table.columns.size(); ++c) s.index[s.table.columns[c]] = c;
    return s;
}

// The flags of the image in `row`: the summary's flags column, or the record's own when the
// table has no such column.
std::vector<std::string> imageFlags(const Summary& summary, size_t row, const ImageResult& result) {
    if (summary.has("flags")) return splitFlags(summary.text(row, "flags"));
    return result.flags;
}

// Whether `flags` hold one that asks the reader to look (databar_found only informs).
bool needsALook(const std::vector<std::string>& flags) {
    return std::any_of(flags.begin(), flags.end(),
                       [](const std::string& flag) { return flag != "databar_found"; });
}

std::string imageAnchor(const ImageResult& result) {
    return "image-" + std::to_string(result.position);
}

bool inPixels(const Summary& summary, size_t row, const ImageResult& result) {
    if (summary.has("length_unit")) return summary.text(row, "length_unit") == "px";
    return result.setup.figuresInPixels;
}

// ----------------------------------------------------------------------------------------------
// Page parts

const char* kStyle = R"CSS(
:root { --ink: #1c232b; --muted: #5d6873; --rule: #d6dce2; --head: #eef2f6;
        --flag: #fff3dc; --flag-edge: #e08a00; --flag-ink: #7a4100;
        --fail: #fdecec; --fail-edge: #c62828; --fail-ink: #8e1b1b; --ok: #1f6b3b; --link: #1a5fa8; }
* { box-sizing: border-box; }
body { margin: 0 auto; max-width: none; padding: 0 28px 56px; color: var(--ink);
       font: 14px/1.45 system-ui, "Segoe UI", "DejaVu Sans", "Liberation Sans", Arial, sans-serif; }
header { border-bottom: 2px solid var(--ink); padding: 22px 0 10px; margin-bottom: 8px; }
h1 { font-size: 24px; margin: 0 0 4px; font-weight: 600; }
h2 { font-size: 19px; margin: 34px 0 10px; padding-bottom: 4px; border-bottom: 1px solid var(--rule);
     font-weight: 600; }
h3 { font-size: 16px; margin: 0 0 8px; font-weight: 600; }
a { color: var(--link); text-decoration: none; }
a:hover { text-decoration: underline; }
.lead { color: var(--muted); margin: 0; }
.counts { display: flex; gap: 10px; flex-wrap: wrap; margin: 12px 0 0; padding: 0; list-style: none; }
.counts li { border: 1px solid var(--rule); border-radius: 4px; padding: 4px 12px; background: #fafbfc; }
.counts b { font-size: 17px; margin-right: 4px; }
.counts .warn { border-color: var(--flag-edge); background: var(--flag); }
.counts .bad { border-color: var(--fail-edge); background: var(--fail); }
nav { position: sticky; top: 0; z-index: 3; background: #fff; border-bottom: 1px solid var(--rule);
      padding: 6px 0; font-size: 13px; }
nav a { margin-right: 18px; }
.note { color: var(--muted); font-size: 13px; margin: 4px 0 10px; max-width: 980px; }
ul.flags { color: var(--muted); font-size: 13px; margin: 0 0 10px; max-width: 980px; }
ul.flags li { margin: 3px 0; }
.table-wrap { display: inline-block; max-width: 100%; overflow-x: auto; border: 1px solid var(--rule); }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; }
th, td { padding: 4px 9px; border-bottom: 1px solid var(--rule); vertical-align: top; text-align: left; }
thead th { background: var(--head); font-weight: 600; font-size: 12.5px; vertical-align: bottom;
           position: sticky; top: 0; }
#summary-table thead th { min-width: 3.5em; max-width: 9em; }
th .unit, td .unit { display: block; font-weight: 400; color: var(--muted); font-size: 11.5px; }
td .unit { display: inline; }
td.num { text-align: right; white-space: nowrap; }
td .ci, td .src { color: var(--muted); font-size: 11.5px; }
td .src { display: block; }
td .bound { display: block; color: var(--flag-ink); font-size: 11.5px; }
table.sortable thead th { cursor: pointer; user-select: none; }
table.sortable thead th:hover { background: #e1e8ef; }
table.sortable thead th[aria-sort="ascending"]::after { content: " \25B2"; font-size: 10px; }
table.sortable thead th[aria-sort="descending"]::after { content: " \25BC"; font-size: 10px; }
#summary-table { width: 100%; font-size: 12.5px; }
#summary-table th, #summary-table td { padding: 4px 6px; }
#summary-table tbody tr:hover { background: #f3f7fb; }
tr.flagged { background: var(--flag); }
tr.flagged td:first-child { box-shadow: inset 4px 0 0 var(--flag-edge); }
tr.failed { background: var(--fail); }
tr.failed td:first-child { box-shadow: inset 4px 0 0 var(--fail-edge); }
.flag { display: inline-block; margin: 1px 2px 1px 0; padding: 0 6px; border-radius: 3px; font-size: 11.5px;
        background: var(--flag-edge); color: #fff; font-weight: 600; white-space: nowrap; }
.status { font-weight: 600; }
.status.ok { color: var(--ok); }
.status.bad { color: var(--fail-ink); }
table.kv th { font-weight: 500; color: var(--muted); white-space: nowrap; background: none; position: static; }
table.kv td { font-variant-numeric: tabular-nums; }
.unmeasured { color: var(--muted); font-size: 12.5px; margin: 10px 0 0; max-width: 980px; }
.unmeasured ul { margin: 4px 0 0; padding-left: 18px; }
.unmeasured code { font-size: 11.5px; }
dl.figures { columns: 4 290px; column-gap: 28px; margin: 14px 0 0; font-size: 12.5px; }
dl.figures div { display: flex; justify-content: space-between; gap: 12px; border-bottom: 1px solid var(--rule);
                 padding: 2px 0; break-inside: avoid; }
dl.figures dt { color: var(--muted); font-family: ui-monospace, "DejaVu Sans Mono", monospace; font-size: 11.5px; }
dl.figures dd { margin: 0; font-variant-numeric: tabular-nums; text-align: right; overflow-wrap: anywhere; }
table.stats { min-width: 760px; }
table.stats td.num, table.stats th { white-space: nowrap; }
svg.plot { display: block; width: 100%; max-width: 760px; height: auto; border: 1px solid var(--rule); }
.plots { display: grid; grid-template-columns: repeat(auto-fill, minmax(560px, 1fr)); gap: 8px 24px;
         margin-top: 14px; }
.plots figure { margin: 0; }
.plots h3 { margin: 6px 0 4px; font-size: 14px; }
#groups svg.plot { margin-top: 14px; }
figcaption { color: var(--muted); font-size: 12.5px; }
ul.failed { padding-left: 20px; }
ul.failed li { margin: 3px 0; }
ul.failed .reason { color: var(--fail-ink); }
section.image { border-top: 1px solid var(--rule); padding: 18px 0 10px; }
section[id] { scroll-margin-top: 40px; }  /* a heading reached by a link stays below the bar */
section.image.flagged h3 { color: var(--flag-ink); }
section.image.failed h3 { color: var(--fail-ink); }
.image-meta { color: var(--muted); font-size: 12.5px; margin: 0 0 8px; word-break: break-all; }
.image-body { display: flex; flex-wrap: wrap; gap: 18px; align-items: flex-start; }
.image-body figure { margin: 0; max-width: 100%; }
.image-body img { display: block; max-width: 100%; height: auto; border: 1px solid var(--rule); background: #fff; }
.image-body figcaption { margin-top: 3px; }
.back { font-size: 12px; }
footer { margin-top: 40px; color: var(--muted); font-size: 12px; border-top: 1px solid var(--rule); padding-top: 8px; }
@media print {
  @page { size: A4 landscape; margin: 12mm; }
  body { max-width: none; padding: 0; font-size: 9pt; }
  nav, .back { display: none; }
  .table-wrap { display: block; overflow: visible; border: none; }
  thead th { position: static; }
  #summary-table { font-size: 7pt; }
  #summary-table td.num { white-space: normal; }
  #summary-table thead th { min-width: 0; max-width: 6em; }
  th, td { padding: 2px 3px; }
  a { color: inherit; }
  tr, figure, svg.plot { break-inside: avoid; }
  .plots { grid-template-columns: 1fr 1fr; }
  section.image { break-before: page; border: none; }
  tr.flagged, tr.failed, .flag, .counts li { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
)CSS";

// Sorts a table.sortable by the clicked column: numbers as numbers (lengths in nm before those
// in px), texts in natural order, empty cells last in either direction; a second click
// reverses. Ties keep list order.
const char* kScript = R"JS(
(function () {
  'use strict';
  function sortBy(table, header, column) {
    var ascending = header.getAttribute('aria-sort') !== 'ascending';
    Array.prototype.forEach.call(header.parentNode.cells, function (h) {
      h.removeAttribute('aria-sort');
    });
    header.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
    var numeric = header.getAttribute('data-type') === 'num';
    var body = table.tBodies[0];
    var rows = Array.prototype.map.call(body.rows, function (row) {
      var cell = row.cells[column];
      var key = cell ? cell.getAttribute('data-v') : null;
      var unit = cell ? cell.getAttribute('data-u') : null;
      return { row: row, n: Number(row.getAttribute('data-n')), key: key === null ? '' : key,
               unit: unit === null ? '' : unit };
    });
    rows.sort(function (a, b) {
      var emptyA = a.key === '', emptyB = b.key === '';
      if (emptyA || emptyB) return emptyA === emptyB ? a.n - b.n : (emptyA ? 1 : -1);
      // Lengths in nm first, then those in px: the two do not compare.
      if (numeric && a.unit !== b.unit) return a.unit === '' ? -1 : 1;
      var d = numeric ? Number(a.key) - Number(b.key)
                      : a.key.localeCompare(b.key, undefined, { numeric: true });
      if (d !== 0 && !isNaN(d)) return ascending ? d : -d;
      return a.n - b.n;
    });
    rows.forEach(function (r) { body.appendChild(r.row); });
  }
  Array.prototype.forEach.call(document.querySelectorAll('table.sortable'), function (table) {
    Array.prototype.forEach.call(table.tHead.rows[0].cells, function (header, column) {
      header.tabIndex = 0;
      header.title = (header.title ? header.title + ': ' : '') + 'click to sort';
      header.addEventListener('click', function () { sortBy(table, header, column); });
      header.addEventListener('keydown', function (e) {
        if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); sortBy(table, header, column); }
      });
    });
  });
  // Pictures further down load when scrolled to; a printout needs them all.
  window.addEventListener('beforeprint', function () {
    Array.prototype.forEach.call(document.images, function (img) { img.loading = 'eager'; });
  });
})();
)JS";

// `svg` (a whole SVG document) as an element of the page: without its XML declaration, with
// every id and every reference to one prefixed by `prefix` so that the plots of one page do not
// take each other's glyphs and clips, and labelled for readers.
std::string embedSvg(const std::string& svg, const std::string& prefix, const std::string& label) {
    const size_t start = svg.find("<svg");
    if (start == std::string::npos) return std::string();
    std::string body = svg.substr(start);
    const std::pair<const char*, const char*> rewrites[] = {
        {"id=\"", "id=\""}, {"href=\"#", "href=\"#"}, {"url(#", "url(#"}};
    for (const auto& rewrite : rewrites) {
        const std::string from = rewrite.first;
        const std::string to = std::string(rewrite.second) + prefix + "-";
        std::string out;
        size_t position = 0;
        for (size_t found = body.find(from); found != std::string::npos;
             found = body.find(from, position)) {
            out.append(body, position, found - position);
            out += to;
            position = found + from.size();
        }
        out.append(body, position, std::string::npos);
        body.swap(out);
    }
    body.insert(4, " class=\"plot\" role=\"img\" aria-label=\"" + htmlEscape(label) + "\"");
    while (!body.empty() && (body.back() == '\n' || body.back() == ' ')) body.pop_back();
    return body + "\n";
}

struct PlotIds {
    int32_t next = 1;
    std::string take() { return "plot" + std::to_string(next++); }
};

std::string keyValueRow(const std::string& key, const std::string& valueHtml) {
    return "<tr><th>" + htmlEscape(key) + "</th><td>" + valueHtml + "</td></tr>\n";
}

std::string onOff(bool on) { return on ? "on" : "off"; }

std::string settingsSection(const RunDescription& run) {
    const AnalysisSettings& s = run.settings;
    std::string html = "<section id=\"settings\">\n<h2>Run</h2>\n<table class=\"kv\">\n";
    html += keyValueRow("Program", "rugon-report " + htmlEscape(rugonVersion()));
    html +=
        keyValueRow("Parameter file", run.parameterFile.empty() ? "none (image files given)"
                                                                : htmlEscape(run.parameterFile));
    std::string pixel;
    if (std::isfinite(s.pixelSizeNm)) {
        pixel = htmlEscape(displayNumber(s.pixelSizeNm)) + " nm, from the " +
                (s.pixelSizeFromFile ? "parameter file" : "command line");
    } else {
        pixel = "from each file's metadata; lengths in px where there is none";
    }
    html += keyValueRow("Pixel size", pixel);
    html += keyValueRow("Edge threshold",
                        htmlEscape(displayNumber(s.edgeThreshold)) + " of the row maximum");
    html +=
        keyValueRow("Smoothing kernel", std::to_string(s.kernelRows) + " rows \u00d7 " +
                                            std::to_string(s.kernelColumns) + " columns, \u03c3 " +
                                            htmlEscape(displayNumber(s.kernelSigma)) + " px");
    html += keyValueRow("Edge half window", std::to_string(s.edgeHalfWindow) + " px");
    html += keyValueRow("Detection floor", htmlEscape(displayNumber(s.detectionFloor)));
    html += keyValueRow("Pairing", s.pairing == 0 ? "0 (the first edge opens no line)"
                                                  : "1 (the first edge opens a line)");
    html += keyValueRow("Contrast", htmlEscape(contrastChoiceName(s.contrast)));
    html += keyValueRow("Orientation", htmlEscape(orientationChoiceName(s.orientation)));
    if (s.roiSet) {
        const PixelRect& r = s.roi;
        html += keyValueRow("Region of interest",
                            std::to_string(r.width) + " \u00d7 " + std::to_string(r.height) +
                                " px at column " + std::to_string(r.x) + ", row " +
                                std::to_string(r.y) + " (0-based, from the top left)");
    } else {
        html += keyValueRow("Data bar search", onOff(s.findDatabar));
        html += keyValueRow("Region search", onOff(s.findRegion));
    }
    html += keyValueRow("Largest picture", std::to_string(s.maxPixels) + " px");
    html += keyValueRow("Intervals", std::to_string(s.bootstrapResamples) +
                                         " bootstrap resamples over lines, seed " +
                                         std::to_string(s.bootstrapSeed));
    html += keyValueRow("Resolution",
                        s.resolutionNm >= 0.0
                            ? displayNumber(s.resolutionNm) + " nm, held in the spectra's fits"
                            : std::string("fitted with the spectra"));
    html += "</table>\n</section>\n";
    return html;
}

std::string summarySection(const Summary& summary, const std::vector<ImageResult>& results) {
    std::vector<const ShownColumn*> shown;
    for (const ShownColumn& column : kMainColumns)
        if (summary.has(column.column)) shown.push_back(&column);

    std::string html =
        "<section id=\"summary\">\n<h2>Summary</h2>\n"
        "<p class=\"note\">One row per listed image. Click a column heading to sort by it, "
        "again to reverse; empty cells stay last. Rows with quality flags to look at are "
        "marked in orange (databar_found alone only informs), images without a measurement in "
        "red. Lengths are in nm; an image without a "
        "pixel size has its lengths in px, marked so. The CSV files hold every column at full "
        "precision.</p>\n<div class=\"table-wrap\">\n"
        "<table id=\"summary-table\" class=\"sortable\">\n<thead><tr>";
    for (const ShownColumn* column : shown) {
        bool numeric = false;
        for (size_t row = 0; row < summary.table.rows.size(); ++row) {
            const TableCell* cell = summary.cell(row, column->column);
            if (cell != nullptr && isNumeric(*cell)) numeric = true;
        }
        if (std::string(column->column) == "image_number") numeric = true;
        html += "<th data-type=\"" + std::string(numeric ? "num" : "text") + "\" title=\"" +
                htmlEscape(column->column) + "\">" + htmlEscape(column->label);
        if (*column->unit != '\0')
            html += "<span class=\"unit\">" + htmlEscape(column->unit) + "</span>";
        html += "</th>";
    }
    html += "</tr></thead>\n<tbody>\n";

    for (size_t row = 0; row < results.size() && row < summary.table.rows.size(); ++row) {
        const ImageResult& result = results[row];
        const std::vector<std::string> flags = imageFlags(summary, row, result);
        std::string rowClass;
        if (result.status != ImageStatus::kMeasured)
            rowClass = "failed";
        else if (needsALook(flags))
            rowClass = "flagged";
        html += "<tr data-n=\"" + std::to_string(row) + "\"" +
                (rowClass.empty() ? "" : " class=\"" + rowClass + "\"") + ">";
        const bool pixels = inPixels(summary, row, result);
        for (const ShownColumn* column : shown) {
            const std::string name = column->column;
            const TableCell* cell = summary.cell(row, name);
            if (cell == nullptr || isEmpty(*cell)) {
                const std::string note = column->noteColumn == nullptr
                                             ? std::string()
                                             : summary.text(row, column->noteColumn);
                html += note.empty()
                            ? "<td></td>"
                            : "<td><span class=\"src\">" + htmlEscape(note) + "</span></td>";
                continue;
            }
            const std::string key = htmlEscape(cellSortKey(*cell));
            const std::string value = htmlEscape(cellDisplay(*cell));
            if (name == "image") {
                html += "<td data-v=\"" + key + "\"><a href=\"#" + imageAnchor(result) + "\">" +
                        value + "</a></td>";
            } else if (name == "status") {
                html += "<td data-v=\"" + key + "\">" + statusBadge(cellDisplay(*cell)) + "</td>";
            } else if (name == "flags") {
                html += "<td data-v=\"" + key + "\">" + flagBadges(flags) + "</td>";
            } else if (isNumeric(*cell)) {
                const double halfWidth = column->ciColumn != nullptr
                                             ? summary.real(row, column->ciColumn)
                                             : std::nan("");
                const auto rounded = displayWithInterval(summary.real(row, name), halfWidth);
                std::string content =
                    (std::isfinite(halfWidth) ? htmlEscape(rounded.first) : value) +
                    unitSuffix(name, pixels);
                // Pixels that are not square: width x height.
                const double height = summary.real(row, "pixel_height_nm");
                if (name == "pixel_size_nm" && std::isfinite(height) &&
                    height != summary.real(row, name))
                    content += " \u00d7 " + htmlEscape(displayNumber(height));
                if (column->noteColumn != nullptr && summary.has(column->noteColumn)) {
                    const std::string note = summary.text(row, column->noteColumn);
                    if (!note.empty())
                        content += " <span class=\"src\">" + htmlEscape(note) + "</span>";
                }
                if (std::isfinite(halfWidth))
                    content +=
                        " <span class=\"ci\">\u00b1 " + htmlEscape(rounded.second) + "</span>";
                const std::string notMeasured = notMeasuredNote(summary, row, name);
                if (!notMeasured.empty())
                    content += " <span class=\"bound\" title=\"not a measurement: " +
                               htmlEscape(notMeasured) + "\">" + htmlEscape(notMeasured) +
                               "</span>";
                // Lengths in px sort apart from those in nm (data-u).
                const bool inPx = !unitSuffix(name, pixels).empty();
                html += "<td class=\"num\" data-v=\"" + key + "\"" +
                        (inPx ? " data-u=\"px\"" : "") + " title=\"" + key + "\">" + content +
                        "</td>";
            } else {
                html += "<td data-v=\"" + key + "\">" + value + "</td>";
            }
        }
        html += "</tr>\n";
    }
    html += "</tbody>\n</table>\n</div>\n";

    // Which flags were raised, and on how many images.
    std::map<std::string, int32_t> raised;
    for (size_t row = 0; row < results.size() && row < summary.table.rows.size(); ++row)
        for (const std::string& flag : imageFlags(summary, row, results[row])) ++raised[flag];
    if (!raised.empty()) {
        html += "<p class=\"note\">Flags raised, and their rules:</p>\n<ul class=\"flags\">\n";
        for (const auto& entry : raised)
            html += "<li>" + flagBadges({entry.first}) + " on " + std::to_string(entry.second) +
                    (entry.second == 1 ? " image: " : " images: ") +
                    htmlEscape(flagRule(entry.first)) + ".</li>\n";
        html += "</ul>\n";
    }
    html += "</section>\n";
    return html;
}

// A figure of the batch section: the first of `columns` that the summary has with at least
// one value.
struct BatchQuantity {
    std::vector<const char*> columns;
    const char* title;
};

std::string batchSection(const Summary& summary,
                         const std::vector<ImageResult>& results,
                         PlotIds& ids) {
    const BatchQuantity quantities[] = {
        {{"cd_subpixel_nm", "cd_average_nm"}, "CD"},
        {{"lwr_3sigma_unbiased_nm", "lwr_3sigma_nm"}, "3\u03c3 LWR"},
        {{"ler_3sigma_unbiased_nm"}, "3\u03c3 LER"},
    };
    std::string html =
        "<section id=\"batch\">\n<h2>Batch</h2>\n"
        "<p class=\"note\">Spread of the figures over the measured images, one value per image. "
        "The box spans the first to the third quartile with the median, the whiskers the "
        "smallest and largest value. The mean carries a 95 % Student-t interval over images, "
        "mean \u00b1 t(0.975, n\u22121)\u00b7s/\u221an: it treats the images as independent "
        "draws of one process and counts each image once whatever its number of lines.";
    int32_t pixelImages = 0;
    int32_t nmImages = 0;
    for (size_t row = 0; row < results.size() && row < summary.table.rows.size(); ++row) {
        if (results[row].status != ImageStatus::kMeasured) continue;
        if (inPixels(summary, row, results[row]))
            ++pixelImages;
        else
            ++nmImages;
    }
    // Lengths in px and in nm do not mix: the nm images, or the px ones when none has a size.
    const bool pixels = nmImages == 0 && pixelImages > 0;
    const std::string unit = pixels ? "px" : "nm";
    if (pixels)
        html += " No image has a pixel size: the lengths are in px.";
    else if (pixelImages > 0)
        html += " " + std::to_string(pixelImages) +
                (pixelImages == 1 ? " image has no pixel size and is left out, as its lengths are"
                                  : " images have no pixel size and are left out, as their "
                                    "lengths are") +
                " in px.";
    html += "</p>\n";

    std::string table =
        "<table class=\"stats\">\n<thead><tr><th>Quantity</th><th>Column</th><th>Images</th>";
    for (const char* label : {"Mean", "95 % CI of the mean", "SD", "Median", "Min", "Max"})
        table += std::string("<th>") + label + "<span class=\"unit\">" + unit + "</span></th>";
    table += "</tr></thead>\n<tbody>\n";
    std::string plots;
    int32_t rowsShown = 0;
    for (const BatchQuantity& quantity : quantities) {
        std::vector<PlotSample> samples;
        const char* used = nullptr;
        for (const char* column : quantity.columns) {
            if (!summary.has(column)) continue;
            samples.clear();
            for (size_t row = 0; row < results.size() && row < summary.table.rows.size(); ++row) {
                const ImageResult& result = results[row];
                if (result.status != ImageStatus::kMeasured ||
                    inPixels(summary, row, result) != pixels)
                    continue;
                const double value = summary.real(row, column);
                if (!std::isfinite(value)) continue;
                PlotSample sample;
                sample.value = value;
                sample.flagged = needsALook(imageFlags(summary, row, result));
                samples.push_back(sample);
            }
            if (!samples.empty()) {
                used = column;
                break;
            }
        }
        if (used == nullptr) continue;
        std::vector<double> values;
        for (const PlotSample& sample : samples) values.push_back(sample.value);
        const SampleSummary s = summarizeSample(values);
        const std::string usedName = used;
        std::string title = quantity.title;
        if (usedName.find("unbiased") != std::string::npos) title += " unbiased";
        if (usedName.find("subpixel") != std::string::npos) title += " sub-pixel";
        if (usedName == "lwr_3sigma_nm") title += " (whole-pixel)";
        const std::string ci = std::isfinite(s.ci95) ? displayNumber(s.mean - s.ci95) + " \u2026 " +
                                                           displayNumber(s.mean + s.ci95)
                                                     : std::string("needs two images");
        table += "<tr><td>" + htmlEscape(title) + "</td><td><code>" + htmlEscape(usedName) +
                 "</code></td><td class=\"num\">" + std::to_string(s.count) +
                 "</td><td class=\"num\">" + htmlEscape(displayNumber(s.mean)) +
                 "</td><td class=\"num\">" + htmlEscape(ci) + "</td><td class=\"num\">" +
                 htmlEscape(displayNumber(s.sd)) + "</td><td class=\"num\">" +
                 htmlEscape(displayNumber(s.median)) + "</td><td class=\"num\">" +
                 htmlEscape(displayNumber(s.minimum)) + "</td><td class=\"num\">" +
                 htmlEscape(displayNumber(s.maximum)) + "</td></tr>\n";
        ++rowsShown;
        const std::string svg = distributionSvg(title + " (" + unit + ")", samples);
        if (!svg.empty()) {
            plots += "<figure>\n<h3>" + htmlEscape(title) + "</h3>\n";
            plots += embedSvg(svg, ids.take(), title + " over the images") + "</figure>\n";
        }
    }
    table += "</tbody>\n</table>\n";
    if (rowsShown == 0)
        html += "<p>No figure was measured on any image, so there is nothing to compare.</p>\n";
    else
        html += table + "<div class=\"plots\">\n" + plots + "</div>\n";
    html += "</section>\n";
    return html;
}

// A table cell with `value` (empty when not a number), its interval's half-width `ci` when that
// is a number, and `suffix` (markup) after them.
std::string valueWithCiCell(double value, double ci, const std::string& suffix = std::string()) {
    if (!std::isfinite(value)) return "<td></td>";
    std::string html = "<td class=\"num\" data-v=\"" + formatNumber(value) + "\">" +
                       htmlEscape(displayNumber(value));
    if (std::isfinite(ci))
        html += " <span class=\"ci\">\u00b1 " + htmlEscape(displayNumber(ci)) + "</span>";
    return html + suffix + "</td>";
}

std::string groupsSection(const std::vector<GroupRow>& groups, PlotIds& ids) {
    std::string html =
        "<section id=\"groups\">\n<h2>Groups</h2>\n"
        "<p class=\"note\">Per group: the mean CD, the CDU (3\u03c3 of the line CDs over all "
        "lines of its images) and the unbiased 3\u03c3 LWR and LER from the pooled spectra, "
        "each with the half-width of its 95 % interval. The CD is the mean over the group's "
        "lines; the intervals come from resampling its images that carry the figure (where "
        "one does: its lines), so they hold the differences between the images, and groups "
        "whose bars do not overlap differ beyond the scatter of their images. With few images "
        "they are wide: Student's factor for 2 images is 9.2. Spectra pool at the pixel size "
        "most images have, over the length that pools the most rows; the last column gives the "
        "images and lines "
        "they hold, and the notes below what they left out.</p>\n<div "
        "class=\"table-wrap\">\n"
        "<table class=\"sortable\">\n<thead><tr><th data-type=\"text\">Group</th>"
        "<th data-type=\"num\">Images</th><th data-type=\"num\">Lines</th>"
        "<th data-type=\"num\">CD mean<span class=\"unit\">nm, \u00b1 95 %</span></th>"
        "<th data-type=\"num\">CDU 3\u03c3<span class=\"unit\">nm</span></th>"
        "<th data-type=\"num\">3\u03c3 LWR unbiased<span class=\"unit\">nm, \u00b1 95 "
        "%</span></th><th data-type=\"num\">3\u03c3 LER unbiased<span class=\"unit\">nm, "
        "\u00b1 95 %</span></th><th data-type=\"num\">Spectra<span class=\"unit\">images, "
        "lines</span></th></tr></thead>\n<tbody>\n";
    // The comparison plot shows the groups in nm, or in px when none is in nm.
    bool anyNm = false;
    for (const GroupRow& g : groups) anyNm = anyNm || g.lengthUnit == "nm";
    const std::string plotUnit = anyNm ? "nm" : "px";
    std::vector<std::string> names;
    GroupQuantity cd{"CD mean (" + plotUnit + ")", {}, {}};
    GroupQuantity lwr{"3\u03c3 LWR unbiased (" + plotUnit + ")", {}, {}};
    GroupQuantity ler{"3\u03c3 LER unbiased (" + plotUnit + ")", {}, {}};
    std::vector<std::string> leftOut;
    for (size_t i = 0; i < groups.size(); ++i) {
        const GroupRow& g = groups[i];
        const std::string unit =
            g.lengthUnit == "px" ? " <span class=\"unit\">px</span>" : std::string();
        html +=
            "<tr data-n=\"" + std::to_string(i) + "\"><td data-v=\"" + htmlEscape(g.name) + "\">" +
            htmlEscape(g.name) + "</td><td class=\"num\" data-v=\"" + std::to_string(g.images) +
            "\">" + std::to_string(g.images) + "</td><td class=\"num\" data-v=\"" +
            std::to_string(g.lines) + "\">" + std::to_string(g.lines) + "</td>" +
            valueWithCiCell(g.cdMeanNm, g.cdCi95Nm, unit) + valueWithCiCell(g.cduNm, NAN, unit) +
            valueWithCiCell(g.lwrUnbiasedNm, g.lwrCi95Nm, unit) +
            valueWithCiCell(g.lerUnbiasedNm, g.lerCi95Nm, unit) + "<td class=\"num\" data-v=\"" +
            std::to_string(g.spectrumImages) + "\">" + std::to_string(g.spectrumImages) + ", " +
            std::to_string(g.spectrumLines) + "</td></tr>\n";
        if (g.lengthUnit != plotUnit) {
            if (!g.lengthUnit.empty()) leftOut.push_back(g.name);  // mixed: nothing to plot
            continue;
        }
        names.push_back(g.name);
        cd.value.push_back(g.cdMeanNm);
        cd.ci95.push_back(g.cdCi95Nm);
        lwr.value.push_back(g.lwrUnbiasedNm);
        lwr.ci95.push_back(g.lwrCi95Nm);
        ler.value.push_back(g.lerUnbiasedNm);
        ler.ci95.push_back(g.lerCi95Nm);
    }
    html += "</tbody>\n</table>\n</div>\n";
    const std::string svg = groupComparisonSvg(names, {cd, lwr, ler});
    if (!svg.empty()) html += embedSvg(svg, ids.take(), "Comparison of the groups");
    if (!leftOut.empty()) {
        std::string list;
        for (const std::string& name : leftOut)
            list += (list.empty() ? "" : ", ") + htmlEscape(name);
        html += "<p class=\"note\">Not in the plot, whose lengths are in " + plotUnit + ": " +
                list + " (lengths in " + (anyNm ? "px" : "nm") + ").</p>\n";
    }
    // Why a group's figures are empty, each reason once.
    for (const GroupRow& g : groups) {
        std::string why;
        for (const auto& [column, reason] : g.reasons)
            if (why.find(reason) == std::string::npos) why += (why.empty() ? "" : "; ") + reason;
        for (const std::string& note : g.notes) why += (why.empty() ? "" : "; ") + note;
        if (!why.empty())
            html += "<p class=\"note\">" + htmlEscape(g.name) + ": " + htmlEscape(why) + ".</p>\n";
    }
    html += "</section>\n";
    return html;
}

std::string failedSection(const std::vector<ImageResult>& results) {
    std::string items;
    for (const ImageResult& result : results) {
        if (result.status == ImageStatus::kMeasured) continue;
        items +=
            "<li><a href=\"#" + imageAnchor(result) + "\">" + std::to_string(result.position) +
            ". " + htmlEscape(result.name) + "</a> " + statusBadge(statusName(result.status)) +
            " <span class=\"reason\">" +
            htmlEscape(result.reason.empty() ? std::string("no reason given") : result.reason) +
            "</span></li>\n";
    }
    if (items.empty()) return std::string();
    return "<section id=\"failed\">\n<h2>Not measured</h2>\n<ul class=\"failed\">\n" + items +
           "</ul>\n</section>\n";
}

// A picture file of the image, width x height pixels, shown `shownWidth` CSS pixels wide and
// linked to itself: the SVG when there is one, the PNG otherwise.
std::string pictureFigure(const std::string& svgFile,
                          const std::string& pngFile,
                          int32_t width,
                          int32_t height,
                          int32_t shownWidth,
                          const std::string& alt,
                          const std::string& caption) {
    const std::string& shown = svgFile.empty() ? pngFile : svgFile;
    if (shown.empty()) return std::string();
    std::string html = "<figure style=\"width:" + std::to_string(shownWidth) + "px\"><a href=\"" +
                       relativeUrl(shown) + "\"><img src=\"" + relativeUrl(shown) + "\" alt=\"" +
                       htmlEscape(alt) + "\" width=\"" + std::to_string(width) + "\" height=\"" +
                       std::to_string(height) + "\" loading=\"lazy\"></a><figcaption>" +
                       htmlEscape(caption);
    if (!svgFile.empty() && !pngFile.empty())
        html += " (<a href=\"" + relativeUrl(pngFile) + "\">PNG</a>)";
    return html + "</figcaption></figure>\n";
}

std::string imageSection(const Summary& summary, size_t row, const ImageResult& result) {
    const std::vector<std::string> flags = imageFlags(summary, row, result);
    std::string sectionClass = "image";
    if (result.status != ImageStatus::kMeasured)
        sectionClass += " failed";
    else if (needsALook(flags))
        sectionClass += " flagged";
    std::string html = "<section class=\"" + sectionClass + "\" id=\"" + imageAnchor(result) +
                       "\">\n<h3>" + std::to_string(result.position) + ". " +
                       htmlEscape(result.name) + " " + statusBadge(statusName(result.status));
    if (!flags.empty()) html += " " + flagBadges(flags);
    html += "</h3>\n";

    std::string meta = "File " + htmlEscape(result.path);
    if (wasLoaded(result)) {
        meta += " \u00b7 " + std::to_string(result.setup.fileWidth) + " \u00d7 " +
                std::to_string(result.setup.fileHeight) + " px";
        if (!result.setup.format.empty()) meta += " \u00b7 " + htmlEscape(result.setup.format);
    }
    if (!result.group.empty()) meta += " \u00b7 group " + htmlEscape(result.group);
    html += "<p class=\"image-meta\">" + meta + "</p>\n";
    if (!result.reason.empty())
        html += "<p class=\"reason\"><b>Reason:</b> " + htmlEscape(result.reason) + "</p>\n";
    if (result.status == ImageStatus::kMeasured && !result.metrology.edgeOrigin.empty())
        html += "<p class=\"note\">Sub-pixel edges: " + htmlEscape(result.metrology.edgeOrigin) +
                (result.wholePixelApplicable
                     ? "; the whole-pixel figures come from the coarse edges and may describe "
                       "other lines"
                     : "") +
                ".</p>\n";
    for (const std::string& note : result.setup.notes)
        html += "<p class=\"note\">" + htmlEscape(note) + "</p>\n";
    for (const std::string& note : result.setup.settingNotes)
        html += "<p class=\"note\"><b>Setting:</b> " + htmlEscape(note) + ".</p>\n";
    if (result.status == ImageStatus::kMeasured) {
        // The first few; a picture full of particles has hundreds.
        constexpr size_t kShownDefects = 5;
        const std::vector<EdgeGap>& gaps = result.metrology.gaps;
        for (size_t i = 0; i < gaps.size() && i < kShownDefects; ++i) {
            const EdgeGap& gap = gaps[i];
            const DefectPlace d = defectPlace(result, gap);
            html += "<p class=\"note\"><b>Defect:</b> a " + std::string(d.kind) +
                    (gap.bridge ? " across the space between" : " of the line between") +
                    " sub-pixel edges " + std::to_string(d.firstEdge) + " and " +
                    std::to_string(d.secondEdge) + ", rows " + std::to_string(d.firstRow) + "-" +
                    std::to_string(d.lastRow) + ".</p>\n";
        }
        if (gaps.size() > kShownDefects)
            html += "<p class=\"note\"><b>Defect:</b> and " +
                    std::to_string(gaps.size() - kShownDefects) +
                    " more (report.json lists every one).</p>\n";
    }

    html += "<div class=\"image-body\">\n";
    const std::string name = result.name;
    html += pictureFigure(
        result.svgFile, result.pngFile, kFigureSide, kFigureSide, 460,
        "Marked image and plots of " + name,
        std::string(!result.wholePixelApplicable ? "Marked image with its sub-pixel edges in red,"
                    : !result.metrology.edgeOrigin.empty()
                        ? "Marked image with the whole-pixel edges in red and "
                          "the sub-pixel edges, started from the bands, in blue;"
                        : "Marked image with the whole-pixel edges in red,") +
            " average HHCF and the roughness against line length");
    html += pictureFigure(result.psdSvgFile, result.psdPngFile, kPsdFigureWidth, kPsdFigureHeight,
                          657, "Power spectral densities of " + name,
                          "Power spectral densities with the fitted models and noise floors");
    html += "</div>\n";

    // Every figure of the summary that this image has.
    const bool pixels = inPixels(summary, row, result);
    std::string rows;
    for (size_t c = 0; c < summary.table.columns.size(); ++c) {
        const std::string& column = summary.table.columns[c];
        if (column == "image_number" || column == "image" || column == "status" ||
            column == "flags")
            continue;
        const TableCell* cell = summary.cell(row, column);
        if (cell == nullptr || isEmpty(*cell)) continue;
        std::string value = htmlEscape(cellDisplay(*cell));
        if (isNumeric(*cell)) value += unitSuffix(column, pixels);
        rows += "<div><dt>" + htmlEscape(column) + "</dt><dd>" + value + "</dd></div>\n";
    }
    if (!rows.empty()) html += "<dl class=\"figures\">\n" + rows + "</dl>\n";
    // The empty figures, gathered by their reason.
    std::vector<std::pair<std::string, std::string>> unmeasured;  // reason, columns
    for (const auto& [column, reason] : emptyFigureReasons(result)) {
        auto same = std::find_if(unmeasured.begin(), unmeasured.end(),
                                 [&reason = reason](const auto& r) { return r.first == reason; });
        if (same == unmeasured.end()) same = unmeasured.insert(unmeasured.end(), {reason, ""});
        same->second +=
            (same->second.empty() ? "" : ", ") + ("<code>" + htmlEscape(column) + "</code>");
    }
    if (!unmeasured.empty()) {
        html += "<div class=\"unmeasured\"><b>Figures not measured</b>\n<ul>\n";
        for (const auto& [reason, columns] : unmeasured)
            html += "<li>" + columns + ": " + htmlEscape(reason) + "</li>\n";
        html += "</ul></div>\n";
    }
    html += "<p class=\"back\"><a href=\"#summary\">\u2191 summary</a></p>\n</section>\n";
    return html;
}

}  // namespace

GroupRow groupRowOf(const std::string& name, const PooledRoughness& pooled) {
    GroupRow row;
    row.name = name;
    row.images = pooled.imageCount;
    row.lines = pooled.lineCount;
    row.cdMeanNm = pooled.cdNm;
    row.cdCi95Nm = pooled.cdCi95Nm;
    row.cduNm = pooled.cdu3SigmaNm;
    row.lwrUnbiasedNm = pooled.lwr.sigma3UnbiasedNm;
    row.lwrCi95Nm = pooled.lwr.ci95Nm;
    row.lerUnbiasedNm = pooled.ler.sigma3UnbiasedNm;
    row.lerCi95Nm = pooled.ler.ci95Nm;
    row.spectrumImages = pooled.spectrumImageCount;
    row.spectrumLines = pooled.spectrumLineCount;
    row.spectrumRows = pooled.spectrumRows;
    row.notes = pooled.spectrumNotes;
    auto why = [&row](const char* column, double value, const std::string& reason) {
        if (!std::isfinite(value)) row.reasons.emplace_back(column, reason);
    };
    // No image with spectra says more than the figures' own "no series".
    auto spectra = [&pooled](const std::string& reason) {
        return pooled.reason.empty() ? reason : pooled.reason;
    };
    why("cd_mean_nm", row.cdMeanNm, pooled.cdReason);
    why("cd_mean_ci95_nm", row.cdCi95Nm, pooled.cdCiReason);
    why("cdu_3sigma_nm", row.cduNm, "fewer than 2 lines with a measured width");
    why("lwr_3sigma_unbiased_nm", row.lwrUnbiasedNm, spectra(pooled.lwr.reason));
    why("lwr_3sigma_unbiased_ci95_nm", row.lwrCi95Nm, spectra(pooled.lwr.ciReason));
    why("ler_3sigma_unbiased_nm", row.lerUnbiasedNm, spectra(pooled.ler.reason));
    why("ler_3sigma_unbiased_ci95_nm", row.lerCi95Nm, spectra(pooled.ler.ciReason));
    return row;
}

std::string htmlEscape(const std::string& text) {
    // Bytes that are not UTF-8 become U+FFFD first: every byte left above 0x7F is then part of
    // a valid character and stays.
    const std::string valid = validUtf8(text);
    std::string out;
    out.reserve(valid.size());
    for (const char byte : valid) {
        const unsigned char c = static_cast<unsigned char>(byte);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F)
                    out += kReplacement;
                else
                    out += byte;
        }
    }
    return out;
}

std::string relativeUrl(const std::string& fileName) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (char ch : fileName) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                           c == '/';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string formatHtmlReport(const RunDescription& run,
                             const std::vector<ImageResult>& results,
                             const std::vector<GroupRow>* groups) {
    const Summary summary = makeSummary(results);
    int32_t measured = 0;
    int32_t flagged =
        0;  // measured images with a flag to look at (not measured ones may have some)
    for (size_t row = 0; row < results.size(); ++row) {
        if (results[row].status != ImageStatus::kMeasured) continue;
        ++measured;
        if (needsALook(imageFlags(summary, row, results[row]))) ++flagged;
    }
    const int32_t total = static_cast<int32_t>(results.size());
    const int32_t failed = total - measured;
    const bool hasGroups = groups != nullptr && !groups->empty();

    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<link rel=\"icon\" href=\"data:,\">\n";
    html += "<title>Line roughness report: " + std::to_string(total) +
            (total == 1 ? " image" : " images") + "</title>\n";
    html += "<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n";
    html += "<header>\n<h1>Line roughness report</h1>\n<p class=\"lead\">rugon-report " +
            htmlEscape(rugonVersion());
    if (!run.parameterFile.empty())
        html += " \u00b7 parameter file " + htmlEscape(run.parameterFile);
    html += "</p>\n<ul class=\"counts\">\n";
    html += "<li><b>" + std::to_string(total) + "</b>listed</li>\n";
    html += "<li><b>" + std::to_string(measured) + "</b>measured</li>\n";
    html += "<li" + std::string(flagged > 0 ? " class=\"warn\"" : "") + "><b>" +
            std::to_string(flagged) + "</b>measured, flagged to check</li>\n";
    html += "<li" + std::string(failed > 0 ? " class=\"bad\"" : "") + "><b>" +
            std::to_string(failed) + "</b>not measured</li>\n";
    html += "</ul>\n</header>\n";
    html += "<nav><a href=\"#summary\">Summary</a><a href=\"#batch\">Batch</a>";
    if (hasGroups) html += "<a href=\"#groups\">Groups</a>";
    if (failed > 0) html += "<a href=\"#failed\">Not measured</a>";
    html += "<a href=\"#images\">Images</a><a href=\"#settings\">Run</a></nav>\n";

    PlotIds ids;
    html += summarySection(summary, results);
    html += batchSection(summary, results, ids);
    if (hasGroups) html += groupsSection(*groups, ids);
    html += failedSection(results);
    html += "<section id=\"images\">\n<h2>Images</h2>\n";
    for (size_t row = 0; row < results.size(); ++row)
        html += imageSection(summary, row, results[row]);
    html += "</section>\n";
    html += settingsSection(run);
    html += "<footer>Written by rugon-report " + htmlEscape(rugonVersion()) +
            ". The tables of this run are in summary.csv and the other CSV files beside this "
            "page; report.json holds every figure and series.</footer>\n";
    html += "<script>" + std::string(kScript) + "</script>\n</body>\n</html>\n";
    return html;
}
