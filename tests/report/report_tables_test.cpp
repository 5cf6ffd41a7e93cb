#include "report/report_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>

#include "report_support.h"
#include "run/version.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

Series seriesOf(std::initializer_list<double> values) {
    Series s;
    s.allocate(static_cast<int32_t>(values.size()));
    int32_t i = 0;
    for (double v : values) s[i++] = v;
    return s;
}

double parsed(const std::string& field) { return std::strtod(field.c_str(), nullptr); }

// A measured image of pairing 0 with five coarse edges: edges 2..5 processed, two lines.
ImageResult measuredReport() {
    ImageResult r;
    r.position = 1;
    r.name = "wafer \"A\",site 3.tif";
    r.pairing = 0;
    r.status = ImageStatus::kMeasured;
    ImageAnalysis& a = r.analysis;
    a.status = AnalysisStatus::kMeasured;
    a.coarse.count = 5;
    a.processed = {{2, 1}, {3, -1}, {4, 1}, {5, -1}};
    a.edgeMeans = seriesOf({0.0, 20.5, 48.25, 84.0, 112.125});
    a.edgeSpreads = seriesOf({0.0, 1.0, 1.5, 2.0, 2.5});
    a.edgeSigmas = seriesOf({0.0, 0.9, 1.1, 1.3, 1.7});
    a.edgeSkewness = seriesOf({0.0, 0.1, -0.2, 0.3, -0.4});
    a.edgeKurtosis = seriesOf({0.0, 3.1, 2.9, 3.3, 2.7});
    a.lineCount = 2;
    a.widths.cdAverage = 27.75;
    a.widths.cdVariation = 0.123456789;
    a.widths.meanLineSigma = 0.1;  // 3 * 0.1 is not 0.3 in binary: the product must be kept
    a.widths.lineMeans = seriesOf({27.5, 28.0});
    a.widths.lineSigmas = seriesOf({0.09, 0.11});
    a.lineSigmaSpread = 0.01;
    a.lwrInfinite = std::sqrt(0.123456789 * 0.123456789 + 0.1 * 0.1);
    a.fit.alpha = 0.6789;
    a.fit.ksi = 3.0;
    a.fit.curveLogLag = seriesOf(
        {0.0, std::log10(2.0), std::log10(3.0), std::log10(4.0), std::log10(5.0), std::log10(6.0)});
    a.fit.curveLogHhcf = seriesOf({-0.5, -0.3, -0.2, -0.1, 0.0, 0.05});
    a.averageHhcf = seriesOf({0.3, 0.5, 0.6, 0.8, 1.0, 1.1, 1.2, 1.2});
    a.meanSkewness = -0.05;
    a.meanKurtosis = 3.0;
    r.display.lengthNm = seriesOf({200.0, 100.0});
    r.display.lwr3Sigma = seriesOf({0.3, 0.25});
    r.display.cdVariation3Sigma = seriesOf({0.37, 0.5});
    r.display.sigmaUncertaintyPct = seriesOf({kNaN, 12.5});
    r.display.lwr3SigmaInfinite = seriesOf({0.48});
    r.display.logHhcf = seriesOf({-std::numeric_limits<double>::infinity(), 0.25});
    return r;
}

ImageResult unmeasuredReport(int32_t position, ImageStatus status) {
    ImageResult r;
    r.position = position;
    r.name = "other.png";
    r.status = status;
    r.reason = "reason";
    r.analysis.coarse.count = 1;
    return r;
}

std::vector<ImageResult> threeImages() {
    std::vector<ImageResult> reports;
    reports.push_back(measuredReport());
    reports.push_back(unmeasuredReport(2, ImageStatus::kNoLine));
    reports.push_back(unmeasuredReport(3, ImageStatus::kMissing));
    return reports;
}

// The table of `reports`, every image measured with `pixelSize` nm per pixel.
std::vector<std::vector<std::string>> csvOf(TableKind kind,
                                            std::vector<ImageResult>& reports,
                                            double pixelSize) {
    for (ImageResult& r : reports) r.setup.pixelSizeNm = pixelSize;
    return parseCsv(formatCsv(makeTable(kind, reports)));
}

std::vector<std::vector<std::string>> csvOf(TableKind kind,
                                            std::vector<ImageResult>&& reports,
                                            double pixelSize) {
    return csvOf(kind, reports, pixelSize);
}

// The run of a parameter file with `params`.
RunDescription parameterRun(const RunParameters& params, const std::string& file) {
    RunDescription run;
    run.parameterFile = file;
    run.parameters = &params;
    return run;
}

}  // namespace

TEST(ReportTables, SummaryHeaderNamesEveryFigureWithItsUnit) {
    const auto rows = csvOf(TableKind::kSummary, threeImages(), 2.0);
    const std::vector<std::string> expected = {"image_number",
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
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], expected);
    for (const auto& row : rows) EXPECT_EQ(row.size(), expected.size());
}

TEST(ReportTables, SummaryFiguresRoundedAsTheConsoleReportGiveItsVeryText) {
    std::vector<ImageResult> reports = threeImages();
    // The sub-pixel edges found three lines where the whole-pixel pairing made two.
    reports[0].metrology.lines.resize(3);
    const double pixelSize = 2.0;
    const auto rows = csvOf(TableKind::kSummary, reports, pixelSize);
    const auto& header = rows[0];
    const auto& row = rows[1];
    auto value = [&](const char* column) { return parsed(row[columnOf(header, column)]); };

    EXPECT_EQ(row[columnOf(header, "image")], reports[0].name);
    EXPECT_EQ(row[columnOf(header, "status")], "measured");
    EXPECT_EQ(value("edges_found"), 5.0);
    EXPECT_EQ(value("edges_processed"), 4.0);
    EXPECT_EQ(value("lines"), 2.0);
    EXPECT_EQ(value("subpixel_lines"), 3.0);
    EXPECT_EQ(value("lwr_3sigma_nm"), 3.0 * 0.1);
    EXPECT_EQ(value("ksi_nm"), 6.0);

    char text[512];
    std::snprintf(text, sizeof text,
                  "Image: %s\nResults: CD_average=%.2fnm CD_variation=%.2fnm\n\t3sigma_LWR=%.2f("
                  "%.2f)nm 3sigma_LWR_inf=%.2fnm\n\ta=%.3f, ksi=%.2fnm\n\tskewness=%.2f "
                  "kyrtosis=%.2f\n",
                  row[columnOf(header, "image")].c_str(), value("cd_average_nm"),
                  value("cd_variation_nm"), value("lwr_3sigma_nm"), value("lwr_3sigma_spread_nm"),
                  value("lwr_3sigma_infinite_nm"), value("a"), value("ksi_nm"),
                  value("skewness_mean"), value("kurtosis_mean"));
    EXPECT_EQ(text, formatReport(reports[0].name.c_str(), reports[0].analysis, pixelSize));
}

TEST(ReportTables, ImagesNotMeasuredKeepTheirStatusAndLeaveFiguresEmpty) {
    const auto rows = csvOf(TableKind::kSummary, threeImages(), 1.0);
    const auto& header = rows[0];
    const int firstFigure = columnOf(header, "cd_average_nm");
    EXPECT_EQ(rows[2][columnOf(header, "status")], "no_line");
    EXPECT_EQ(rows[2][columnOf(header, "edges_found")], "1");
    EXPECT_EQ(rows[2][columnOf(header, "lines")], "0");
    EXPECT_EQ(rows[3][columnOf(header, "status")], "missing");
    EXPECT_EQ(rows[3][columnOf(header, "edges_found")], "");
    for (size_t c = static_cast<size_t>(firstFigure); c < header.size(); ++c) {
        EXPECT_EQ(rows[2][c], "") << header[c];
        EXPECT_EQ(rows[3][c], "") << header[c];
    }
    // Only the measured image has rows in the per-line, per-length and per-lag tables.
    for (TableKind kind : {TableKind::kLines, TableKind::kLength, TableKind::kHhcf}) {
        for (const auto& row : csvOf(kind, threeImages(), 1.0)) EXPECT_NE(row[0], "2");
    }
}

TEST(ReportTables, NotANumberAndInfinityBecomeEmptyCells) {
    std::vector<ImageResult> reports;
    reports.push_back(measuredReport());
    reports[0].analysis.meanSkewness = kNaN;
    reports[0].analysis.fit.alpha = std::numeric_limits<double>::infinity();
    const auto summary = csvOf(TableKind::kSummary, reports, 1.0);
    EXPECT_EQ(summary[1][columnOf(summary[0], "skewness_mean")], "");
    EXPECT_EQ(summary[1][columnOf(summary[0], "a")], "");
    const auto length = csvOf(TableKind::kLength, reports, 1.0);
    const int pct = columnOf(length[0], "sigma_lwr_uncertainty_pct");
    ASSERT_EQ(length.size(), 3u);
    EXPECT_EQ(length[1][pct], "");
    EXPECT_EQ(parsed(length[2][pct]), 12.5);
    EXPECT_EQ(formatNumber(-std::numeric_limits<double>::infinity()), "");
}

TEST(ReportTables, FormatNumberReadsBackToTheSameDouble) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-300, 300);
    for (int i = 0; i < 2000; ++i) {
        const double v = std::ldexp(mantissa(random), exponent(random));
        EXPECT_EQ(parsed(formatNumber(v)), v) << formatNumber(v);
    }
    // In the fewest digits that do: 17 of them made 2.86 nm read 2.8599999999999999.
    EXPECT_EQ(formatNumber(0.1), "0.1");
    EXPECT_EQ(formatNumber(2.86), "2.86");
    EXPECT_EQ(formatNumber(-1.0 / 3.0), "-0.3333333333333333");
    EXPECT_EQ(formatNumber(1e-300), "1e-300");
    EXPECT_EQ(parsed(formatNumber(std::numeric_limits<double>::denorm_min())),
              std::numeric_limits<double>::denorm_min());
}

TEST(ReportTables, FieldsWithCommasQuotesAndLineEndsSurviveTheRoundTrip) {
    EXPECT_EQ(csvField("plain.png"), "plain.png");
    Table table;
    table.columns = {"a", "b"};
    for (const char* text : {"x,y", "say \"hi\"", "two\nlines", "cr\r", ""})
        table.rows.push_back({textCell(text), integerCell(-3)});
    const auto rows = parseCsv(formatCsv(table));
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[1][0], "x,y");
    EXPECT_EQ(rows[2][0], "say \"hi\"");
    EXPECT_EQ(rows[3][0], "two\nlines");
    EXPECT_EQ(rows[4][0], "cr\r");
    EXPECT_EQ(rows[5][0], "");
    EXPECT_EQ(rows[5][1], "-3");
}

TEST(ReportTables, EdgeRowsAreTheProcessedEdgesOnlyWithTheirDirections) {
    const auto rows = csvOf(TableKind::kEdges, threeImages(), 1.0);
    const auto& h = rows[0];
    ASSERT_EQ(rows.size(), 5u);  // edges 2..5 of image 1; image 2 processed none
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(rows[i][columnOf(h, "edge")], std::to_string(i + 1));
        EXPECT_EQ(rows[i][columnOf(h, "scan_direction")], i % 2 == 1 ? "1" : "-1");
    }
    EXPECT_EQ(parsed(rows[1][columnOf(h, "mean_position_nm")]), 20.5);
    EXPECT_EQ(parsed(rows[4][columnOf(h, "spread_nm")]), 2.5);
    EXPECT_EQ(parsed(rows[3][columnOf(h, "sigma_nm")]), 1.3);
    EXPECT_EQ(parsed(rows[2][columnOf(h, "skewness")]), -0.2);
    EXPECT_EQ(parsed(rows[4][columnOf(h, "kurtosis")]), 2.7);
}

TEST(ReportTables, LinesOfPairingZeroAreBoundedByEdgesTwoAndThreeOnward) {
    const auto rows = csvOf(TableKind::kLines, threeImages(), 1.0);
    const auto& h = rows[0];
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][columnOf(h, "first_edge")], "2");
    EXPECT_EQ(rows[1][columnOf(h, "second_edge")], "3");
    EXPECT_EQ(rows[2][columnOf(h, "first_edge")], "4");
    EXPECT_EQ(rows[2][columnOf(h, "second_edge")], "5");
    EXPECT_EQ(parsed(rows[2][columnOf(h, "mean_width_nm")]), 28.0);
    EXPECT_EQ(parsed(rows[1][columnOf(h, "width_sigma_nm")]), 0.09);
}

TEST(ReportTables, HhcfRowsGiveTheModelInNanometresOnlyWhereTheFitHasPoints) {
    std::vector<ImageResult> reports;
    reports.push_back(measuredReport());
    const double pixelSize = 2.5;
    auto rows = csvOf(TableKind::kHhcf, reports, pixelSize);
    const auto h = rows[0];
    ASSERT_EQ(rows.size(), 9u);  // 8 lags
    EXPECT_EQ(parsed(rows[3][columnOf(h, "lag_px")]), 3.0);
    EXPECT_EQ(parsed(rows[3][columnOf(h, "lag_nm")]), 7.5);
    EXPECT_EQ(parsed(rows[3][columnOf(h, "hhcf_nm")]), 0.6 * pixelSize);
    EXPECT_EQ(parsed(rows[1][columnOf(h, "fit_hhcf_nm")]), std::pow(10.0, -0.5) * pixelSize);
    EXPECT_EQ(parsed(rows[6][columnOf(h, "fit_hhcf_nm")]), std::pow(10.0, 0.05) * pixelSize);
    EXPECT_EQ(rows[7][columnOf(h, "fit_hhcf_nm")], "");

    // A failed fit leaves its placeholder curve (one 0.0) out of the table.
    reports[0].analysis.fit.ksi = 0.0;
    reports[0].analysis.fit.curveLogHhcf = seriesOf({0.0});
    rows = csvOf(TableKind::kHhcf, reports, pixelSize);
    EXPECT_EQ(rows[1][columnOf(h, "fit_hhcf_nm")], "");
    // ... and its zeros are no a and ksi: empty cells, with the reason.
    reports[0].analysis.fit.alpha = 0.0;
    const auto summary = csvOf(TableKind::kSummary, reports, pixelSize);
    EXPECT_EQ(summary[1][columnOf(summary[0], "a")], "");
    EXPECT_EQ(summary[1][columnOf(summary[0], "ksi_nm")], "");
    RunParameters params;
    params.images.push_back(std::make_unique<ImageEntry>());
    const auto json = reportJson(parameterRun(params, "input.txt"), reports);
    const std::string why = json["images"][0]["reasons"]["ksi_nm"].get<std::string>();
    EXPECT_NE(why.find("found no correlation length"), std::string::npos) << why;
}

TEST(ReportJson, CarriesRunParametersVersionAndEverySeriesWithItsUnit) {
    RunParameters params;
    params.pixelSize = 1.25;
    params.edgeThreshold = 0.5;
    params.images.push_back(std::make_unique<ImageEntry>());
    const auto json = nlohmann::json::parse(
        formatJson(reportJson(parameterRun(params, "runs/input.txt"), threeImages())));

    EXPECT_EQ(json["version"], rugonVersion());
    EXPECT_EQ(json["parameter_file"], "runs/input.txt");
    EXPECT_EQ(json["parameters"]["pixel_size_nm"], 1.25);
    EXPECT_EQ(json["parameters"]["kernel_rows"], 5);
    EXPECT_EQ(json["parameters"]["image_count"], 1);
    ASSERT_EQ(json["images"].size(), 3u);
    const auto& first = json["images"][0];
    EXPECT_EQ(first["status"], "measured");
    EXPECT_EQ(first["summary"]["lwr_3sigma_nm"], 3.0 * 0.1);
    EXPECT_EQ(first["display"]["lengthNm"]["unit"], "nm");
    EXPECT_EQ(first["display"]["sigmaUncertaintyPct"]["unit"], "%");
    EXPECT_EQ(first["display"]["logHhcf"]["unit"], "log10(px)");
    EXPECT_TRUE(first["display"]["sigmaUncertaintyPct"]["values"][0].is_null());
    EXPECT_TRUE(first["display"]["logHhcf"]["values"][0].is_null());
    EXPECT_EQ(first["display"]["logHhcf"]["values"][1], 0.25);
    for (const char* series :
         {"logLag", "logHhcf", "fitLogLag", "fitLogHhcf", "lengthNm", "sigmaUncertaintyPct",
          "lwr3Sigma", "cdVariation3Sigma", "lwr3SigmaInfinite"})
        EXPECT_TRUE(first["display"].contains(series)) << series;
    EXPECT_EQ(json["images"][2]["status"], "missing");
    EXPECT_TRUE(json["images"][2]["summary"]["cd_average_nm"].is_null());

    // Without a pixel size the lengths are in px, and their series say so.
    std::vector<ImageResult> inPixels = threeImages();
    inPixels[0].setup.figuresInPixels = true;
    const auto pixels = reportJson(parameterRun(params, "runs/input.txt"), inPixels);
    for (const char* series : {"lengthNm", "lwr3Sigma", "cdVariation3Sigma", "lwr3SigmaInfinite"})
        EXPECT_EQ(pixels["images"][0]["display"][series]["unit"], "px") << series;
}

TEST(ReportJson, RowsUseTheCsvColumnNamesWithoutTheImageColumns) {
    std::vector<ImageResult> reports = threeImages();
    const RunParameters empty;
    const auto json =
        nlohmann::json::parse(formatJson(reportJson(parameterRun(empty, ""), reports)));
    const std::pair<TableKind, const char*> tables[] = {{TableKind::kEdges, "edges"},
                                                        {TableKind::kLines, "lines"},
                                                        {TableKind::kLength, "length"},
                                                        {TableKind::kHhcf, "hhcf"}};
    for (const auto& [kind, key] : tables) {
        const auto rows = csvOf(kind, reports, 0.0);
        const auto& objects = json["images"][0][key];
        ASSERT_EQ(objects.size(), rows.size() - 1) << key;
        for (size_t c = 2; c < rows[0].size(); ++c)
            EXPECT_TRUE(objects[0].contains(rows[0][c])) << key << " " << rows[0][c];
        EXPECT_FALSE(objects[0].contains("image"));
    }
}

TEST(ReportJson, NamesThatAreNotUtf8AreWrittenWithAReplacementCharacter) {
    std::vector<ImageResult> reports = threeImages();
    reports[2].name = "caf\xe9.png";  // Latin-1
    const RunParameters empty;
    const std::string text = formatJson(reportJson(parameterRun(empty, ""), reports));
    const auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json["images"][2]["image"], "caf\xef\xbf\xbd.png");
}
