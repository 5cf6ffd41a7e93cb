// Runs of the real rugon-report on generated images in temporary folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "report/report_figure.h"
#include "report_support.h"
#include "run_support.h"
#ifdef RUGON_HAVE_SYNTHETIC
#include "synthetic/synthetic_sem.h"
#endif

namespace {

namespace fs = std::filesystem;

RunResult runReportIn(const std::string& folder, const std::string& args) {
    return runCommand(folder, std::string(RUGON_REPORT_BINARY) + " " + args);
}

void writeFlatImage(const std::string& path) {
    ASSERT_TRUE(writePgm(path, 64, 64, std::vector<unsigned char>(64 * 64, 100)));
}

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

// Lines of `text` that contain `piece`.
int linesWith(const std::string& text, const std::string& piece) {
    int n = 0;
    for (const std::string& line : splitLines(text)) n += contains(line, piece) ? 1 : 0;
    return n;
}

// One run over every kind of image, shared by the tests that read its files.
class MixedRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = makeTempFolder();
        ASSERT_TRUE(writeLineImage(folder_ + "/a.pgm", 256, 512, 3, 1));
        ASSERT_TRUE(writeLineImage(folder_ + "/b.pgm", 256, 512, 3, 2));
        writeFlatImage(folder_ + "/flat.pgm");
        writeTextFile(folder_ + "/junk.png", "this is not a picture");
        writeTextFile(folder_ + "/input.txt", parameterFile({{"a.pgm", "s"},
                                                             {"b.pgm", "l"},
                                                             {"flat.pgm", "s"},
                                                             {"missing.pgm", "s"},
                                                             {"junk.png", "s"}}));
        run_ = runReportIn(folder_, "");
        out_ = folder_ + "/rugon-report";
    }
    static void TearDownTestSuite() { fs::remove_all(folder_); }

    static std::vector<std::vector<std::string>> csv(const char* file) {
        return parseCsv(readTextFile(out_ + "/" + file));
    }

    static std::string folder_;
    static std::string out_;
    static RunResult run_;
};
std::string MixedRun::folder_;
std::string MixedRun::out_;
RunResult MixedRun::run_;

}  // namespace

TEST_F(MixedRun, ExitsOneAndGivesEveryImageAStatusRow) {
    EXPECT_EQ(run_.status, 1) << run_.err;
    const auto rows = csv("summary.csv");
    ASSERT_EQ(rows.size(), 6u);
    const int status = columnOf(rows[0], "status");
    const std::vector<std::string> expected = {"measured", "measured", "no_line", "missing",
                                               "unreadable"};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(rows[i + 1][status], expected[i]) << rows[i + 1][1];
        EXPECT_EQ(rows[i + 1][0], std::to_string(i + 1));
    }
    for (const char* column : {"cd_average_nm", "cd_variation_nm", "lwr_3sigma_nm",
                               "lwr_3sigma_spread_nm", "lwr_3sigma_infinite_nm", "ksi_nm"})
        EXPECT_GE(columnOf(rows[0], column), 0) << column;
    EXPECT_GT(std::strtod(rows[1][columnOf(rows[0], "cd_average_nm")].c_str(), nullptr), 20.0);
}

TEST_F(MixedRun, NamesEachFailedImageAndItsReasonOnOneLine) {
    EXPECT_EQ(linesWith(run_.err, "flat.pgm: no line found"), 1) << run_.err;
    EXPECT_EQ(linesWith(run_.err, "missing.pgm: file not found"), 1);
    EXPECT_EQ(linesWith(run_.err, "junk.png: cannot be read as an image"), 1);
    EXPECT_FALSE(contains(run_.err, "a.pgm:"));
    // Not a terminal: progress as plain lines, one per finished image.
    for (int k = 1; k <= 5; ++k)
        EXPECT_EQ(linesWith(run_.err, std::to_string(k) + " of 5 images done"), 1);
    EXPECT_FALSE(contains(run_.err, "\r"));
    EXPECT_EQ(run_.out, "");
}

TEST_F(MixedRun, TablesHaveRowsForTheMeasuredImagesOnly) {
    const auto edges = csv("edges.csv");
    const auto lines = csv("lines.csv");
    // a.pgm: 6 edges, 3 lines, whole-pixel and sub-pixel alike. b.pgm read with pairing 0:
    // whole-pixel edges 2..5 bound 2 lines (its spaces); its edge bands say where the lines are,
    // so the sub-pixel edges start from them, have no coarse number and follow as rows of their
    // own: 6 edges, 3 lines.
    ASSERT_EQ(edges.size(), 1u + 6u + 4u + 6u);
    const int edge = columnOf(edges[0], "edge");
    const int subpixelEdge = columnOf(edges[0], "subpixel_edge");
    for (size_t i = 1; i <= 6; ++i) {
        EXPECT_EQ(edges[i][edge], std::to_string(i));
        EXPECT_EQ(edges[i][subpixelEdge], std::to_string(i));
        EXPECT_EQ(edges[6 + 4 + i][edge], "");
        EXPECT_EQ(edges[6 + 4 + i][subpixelEdge], std::to_string(i));
        EXPECT_NE(edges[6 + 4 + i][columnOf(edges[0], "subpixel_sigma_biased_nm")], "");
    }
    EXPECT_EQ(edges[7][edge], "2");
    EXPECT_EQ(edges[7][columnOf(edges[0], "scan_direction")], "1");
    EXPECT_EQ(edges[7][subpixelEdge], "");
    ASSERT_EQ(lines.size(), 1u + 3u + 2u + 3u);
    EXPECT_EQ(lines[4][columnOf(lines[0], "first_edge")], "2");
    EXPECT_EQ(lines[4][columnOf(lines[0], "subpixel_first_edge")], "");
    for (size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(lines[i][columnOf(lines[0], "subpixel_first_edge")], std::to_string(2 * i - 1));
        EXPECT_EQ(lines[5 + i][columnOf(lines[0], "line")], "");
        EXPECT_EQ(lines[5 + i][columnOf(lines[0], "subpixel_second_edge")], std::to_string(2 * i));
    }
    for (const char* file : {"length.csv", "hhcf.csv"}) {
        const auto rows = csv(file);
        ASSERT_GT(rows.size(), 2u) << file;
        for (size_t i = 1; i < rows.size(); ++i)
            EXPECT_TRUE(rows[i][0] == "1" || rows[i][0] == "2") << file;
    }
    // 512 rows: 51 segment lengths and 106 HHCF lags per image.
    EXPECT_EQ(csv("length.csv").size(), 1u + 2u * 51u);
    EXPECT_EQ(csv("hhcf.csv").size(), 1u + 2u * 106u);
}

TEST_F(MixedRun, JsonHoldsTheSameFiguresAsTheCsv) {
    const auto json = nlohmann::json::parse(readTextFile(out_ + "/report.json"));
    const auto summary = csv("summary.csv");
    ASSERT_EQ(json["images"].size(), 5u);
    EXPECT_EQ(json["program"], "rugon-report");
    EXPECT_EQ(json["parameters"]["edge_half_window_px"], 6);
    for (size_t i = 0; i < 5; ++i) {
        const auto& image = json["images"][i];
        EXPECT_EQ(image["status"], summary[i + 1][columnOf(summary[0], "status")]);
        const size_t afterStatus = static_cast<size_t>(columnOf(summary[0], "status")) + 1;
        for (size_t c = afterStatus; c < summary[0].size(); ++c) {
            const std::string& cell = summary[i + 1][c];
            const auto& value = image["summary"][summary[0][c]];
            if (cell.empty()) {
                EXPECT_TRUE(value.is_null() || value == "") << summary[0][c];
            } else if (value.is_string()) {
                EXPECT_EQ(value.get<std::string>(), cell) << summary[0][c];
            } else {
                EXPECT_EQ(value.get<double>(), std::strtod(cell.c_str(), nullptr)) << summary[0][c];
            }
        }
    }
    // b.pgm's sub-pixel edges came from its bands (see the tables above), and the report says so.
    EXPECT_FALSE(json["images"][0].contains("subpixel_edge_origin"));
    EXPECT_NE(json["images"][1].value("subpixel_edge_origin", "").find("started from the bands"),
              std::string::npos);
    const std::string page = readTextFile(out_ + "/index.html");
    EXPECT_EQ(linesWith(page, "Sub-pixel edges: "), 1);
    EXPECT_EQ(json["images"][0]["display"]["logLag"]["values"].size(), 106u);
    EXPECT_EQ(json["images"][0]["pictures"]["png"], "image-001-a.png");
    EXPECT_TRUE(json["images"][3]["pictures"].empty());
}

TEST_F(MixedRun, DrawsAPictureOfEveryLoadedImageWithEdgesAndCurves) {
    EXPECT_TRUE(fs::exists(out_ + "/image-003-flat.png"));
    EXPECT_FALSE(fs::exists(out_ + "/image-004-missing.png"));
    EXPECT_FALSE(fs::exists(out_ + "/image-005-junk.png"));
    const std::string svg = readTextFile(out_ + "/image-001-a.svg");
    EXPECT_TRUE(contains(svg, "<svg")) << svg.substr(0, 100);

    RgbPicture picture;
    ASSERT_TRUE(readPng(out_ + "/image-001-a.png", picture));
    ASSERT_EQ(picture.width, kFigureSide);
    ASSERT_EQ(picture.height, kFigureSide);
    const int p = kPanelSide;
    // The marked image (upper left) shows its six traced edges in red and nothing in blue.
    EXPECT_GT(countColour(picture, 0, 30, p, p, 255, 0, 0, 10), 6 * 200);
    EXPECT_EQ(countColour(picture, 0, 30, p, p, 0, 0, 255, 10), 0);
    // b.pgm's sub-pixel edges, started from its bands, are drawn in blue beside the red ones.
    RgbPicture bands;
    ASSERT_TRUE(readPng(out_ + "/image-002-b.png", bands));
    EXPECT_GT(countColour(bands, 0, 30, p, p, 0, 0, 255, 10), 6 * 200);
    EXPECT_GT(countColour(bands, 0, 30, p, p, 255, 0, 0, 10), 4 * 100);
    // HHCF (upper right): blue points and the red fitted line inside the box.
    const PixelBox hhcf = plotBox(p, 0);
    const auto inBox = [&](const PixelBox& b, int r, int g, int bl) {
        return countColour(picture, static_cast<int>(b.left) + 2, static_cast<int>(b.top),
                           static_cast<int>(b.right), static_cast<int>(b.bottom) - 2, r, g, bl);
    };
    EXPECT_GT(inBox(hhcf, 0, 0, 255), 100);
    EXPECT_GT(inBox(hhcf, 255, 0, 0), 50);
    // Roughness plot (lower left): green LWR, red CD variation, blue infinite-length level.
    const PixelBox roughness = plotBox(0, p);
    EXPECT_GT(inBox(roughness, 0, 255, 0), 50);
    EXPECT_GT(inBox(roughness, 255, 0, 0), 50);
    EXPECT_GT(inBox(roughness, 0, 0, 255), 50);
    // Uncertainty plot (lower right): its black curve inside the box (the grid is light grey).
    EXPECT_GT(inBox(plotBox(p, p), 0, 0, 0), 100);
}

TEST_F(MixedRun, PictureOfAnImageWithoutLinesHasNoCurves) {
    RgbPicture picture;
    ASSERT_TRUE(readPng(out_ + "/image-003-flat.png", picture));
    const PixelBox roughness = plotBox(0, kPanelSide);
    EXPECT_EQ(countColour(picture, static_cast<int>(roughness.left) + 2,
                          static_cast<int>(roughness.top), static_cast<int>(roughness.right),
                          static_cast<int>(roughness.bottom) - 2, 0, 255, 0),
              0);
    EXPECT_EQ(countColour(picture, 0, 30, kPanelSide, kPanelSide, 255, 0, 0, 10), 0);
}

TEST(ReportRun, ExitsZeroWhenAllAreMeasuredAndLeavesOtherFilesAlone) {
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/a.pgm", 256, 400, 2, 3));
    writeTextFile(folder + "/input.txt", parameterFile({{"a.pgm", "s"}}));
    fs::create_directories(folder + "/out");
    writeTextFile(folder + "/out/notes.txt", "mine");
    writeTextFile(folder + "/out/image-001-a.csv", "also mine");

    const RunResult run = runReportIn(folder, "-o out");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");  // one image: no progress, no message
    EXPECT_EQ(readTextFile(folder + "/out/notes.txt"), "mine");
    EXPECT_EQ(readTextFile(folder + "/out/image-001-a.csv"), "also mine");
    std::vector<std::string> names;
    for (const auto& file : fs::directory_iterator(folder + "/out"))
        names.push_back(file.path().filename().string());
    // Six tables, report.json, index.html and four pictures.
    EXPECT_EQ(names.size(), 2u + 8u + 4u);
    fs::remove_all(folder);
}

TEST(ReportRun, ARunIntoTheFolderOfAnEarlierOneLeavesNoneOfItsOwnFilesBehind) {
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/a.pgm", 256, 400, 2, 3));
    ASSERT_TRUE(writeLineImage(folder + "/b.pgm", 256, 400, 2, 4));
    ASSERT_EQ(runReportIn(folder, "--group '^(.)' -o out a.pgm b.pgm").status, 0);
    ASSERT_TRUE(fs::exists(folder + "/out/groups.csv"));
    ASSERT_TRUE(fs::exists(folder + "/out/image-002-b-psd.svg"));
    writeTextFile(folder + "/out/notes.txt", "mine");
    writeTextFile(folder + "/out/image-007-mine.png", "also mine");
    // b alone, and a picture of the earlier run as an input of this one.
    const RunResult again = runReportIn(folder, "-o out b.pgm out/image-001-a.png");
    EXPECT_NE(again.status, 2) << again.err;
    std::set<std::string> names;
    for (const auto& file : fs::directory_iterator(folder + "/out"))
        names.insert(file.path().filename().string());
    const std::set<std::string> expected = {"summary.csv",
                                            "edges.csv",
                                            "lines.csv",
                                            "length.csv",
                                            "hhcf.csv",
                                            "psd.csv",
                                            "report.json",
                                            "index.html",
                                            "notes.txt",
                                            "image-007-mine.png",
                                            "image-001-a.png",
                                            "image-001-b.png",
                                            "image-001-b.svg",
                                            "image-001-b-psd.png",
                                            "image-001-b-psd.svg",
                                            "image-002-image-001-a.png",
                                            "image-002-image-001-a.svg",
                                            "image-002-image-001-a-psd.png",
                                            "image-002-image-001-a-psd.svg"};
    EXPECT_EQ(names, expected);
    fs::remove_all(folder);
}

// psd.csv as a reader uses it: frequencies k / (N dy) in 1/nm up to the Nyquist frequency, each
// spectrum's sum times the step the biased variance (Parseval), the floor's sum times the step
// what the unbiased figure took away, and the model never below the floor; a measured image whose
// edges give no spectrum has no rows.
TEST(ReportRun, SpectraTableHoldsEachFiguresVarianceInNanometres) {
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/a.pgm", 256, 512, 3, 7));
    // A real image whose particles cut every edge: measured, but without a spectrum.
    const std::string particles = std::string(RUGON_SHARED_SEM) + "/mpa_A1_001_crop.png";
    const bool withParticles = fs::exists(particles);
    const RunResult run = runReportIn(
        folder, "--pixel-size 2.5 -o out a.pgm" + (withParticles ? " " + particles : ""));
    EXPECT_EQ(run.status, 0) << run.err;
    const auto summary = parseCsv(readTextFile(folder + "/out/summary.csv"));
    const auto psd = parseCsv(readTextFile(folder + "/out/psd.csv"));
    ASSERT_EQ(summary.size(), withParticles ? 3u : 2u);
    if (withParticles) {
        EXPECT_EQ(summary[2][columnOf(summary[0], "status")], "measured");
        EXPECT_EQ(summary[2][columnOf(summary[0], "psd_fit_status")], "no spectrum");
    }
    ASSERT_GT(psd.size(), 2u);
    const double dy = 2.5;
    const double df = std::strtod(psd[1][columnOf(psd[0], "frequency_per_nm")].c_str(), nullptr);
    EXPECT_EQ(psd.size() - 1, 256u);
    // Rows lie dy / cos(tilt) apart along the lines (the drawn edges' own slope is tiny).
    const double tilt =
        std::strtod(summary[1][columnOf(summary[0], "line_tilt_deg")].c_str(), nullptr);
    ASSERT_LT(std::fabs(tilt), 0.5);
    EXPECT_NEAR(df * 512.0 * dy / std::cos(tilt * M_PI / 180.0), 1.0, 1e-12);

    const auto value = [&](size_t row, const std::string& column) {
        const int c = columnOf(psd[0], column);
        EXPECT_GE(c, 0) << column;
        return std::strtod(psd[row][static_cast<size_t>(c)].c_str(), nullptr);
    };
    const auto figure = [&](const std::string& column) {
        return std::strtod(summary[1][columnOf(summary[0], column)].c_str(), nullptr);
    };
    for (const auto& [spectrum, name] : {std::pair<std::string, std::string>{"edge", "ler"},
                                         {"width", "lwr"},
                                         {"placement", "lpr"}}) {
        double power = 0.0;
        double floor = 0.0;
        for (size_t i = 1; i < psd.size(); ++i) {
            EXPECT_EQ(psd[i][0], "1");
            EXPECT_NEAR(value(i, "frequency_per_nm"), static_cast<double>(i) * df, 1e-15);
            power += value(i, spectrum + "_psd_nm3");
            floor += value(i, spectrum + "_floor_nm3");
            EXPECT_GE(value(i, spectrum + "_model_nm3"), value(i, spectrum + "_floor_nm3"));
        }
        const double biased = figure(name + "_3sigma_biased_nm") / 3.0;
        const double unbiased = figure(name + "_3sigma_unbiased_nm") / 3.0;
        ASSERT_GT(biased, 0.5) << name;  // rough edges of about 1 px at 2.5 nm a pixel
        EXPECT_NEAR(power * df / (biased * biased), 1.0, 0.01) << name;
        EXPECT_NEAR(floor * df, biased * biased - unbiased * unbiased, 0.002 * biased * biased)
            << name;
    }
    fs::remove_all(folder);
}

TEST(ReportRun, ARegionOfInterestIsMeasuredAsThatRectangleCutOutAndOneRunningPastIsCut) {
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/a.pgm", 256, 512, 3, 11));
    // The rectangle x 8..207, y 100..399 of a.pgm as a file of its own.
    const std::string whole = readTextFile(folder + "/a.pgm");
    const size_t start = std::string("P5\n256 512\n255\n").size();
    ASSERT_EQ(whole.size(), start + 256u * 512u);
    std::vector<unsigned char> cut;
    for (size_t y = 100; y < 400; ++y)
        for (size_t x = 8; x < 208; ++x)
            cut.push_back(static_cast<unsigned char>(whole[start + y * 256 + x]));
    ASSERT_TRUE(writePgm(folder + "/cut.pgm", 200, 300, cut));
    ASSERT_EQ(runReportIn(folder, "--pixel-size 2 --no-region -o cut cut.pgm").status, 0);
    ASSERT_EQ(runReportIn(folder, "--pixel-size 2 -o roi --roi 8,100,200,300 a.pgm").status, 0);
    ASSERT_EQ(runReportIn(folder, "--pixel-size 2 -o past --roi 8,100,400,300 a.pgm").status, 0);
    const auto cutRow = parseCsv(readTextFile(folder + "/cut/summary.csv"));
    const auto roiRow = parseCsv(readTextFile(folder + "/roi/summary.csv"));
    ASSERT_EQ(cutRow.size(), 2u);
    ASSERT_EQ(roiRow.size(), 2u);
    for (const char* column :
         {"lines", "cd_subpixel_nm", "ler_3sigma_unbiased_nm", "lwr_3sigma_unbiased_nm",
          "lwr_3sigma_unbiased_ci95_nm", "psd_xi_nm", "line_tilt_deg", "flags"})
        EXPECT_EQ(roiRow[1][columnOf(roiRow[0], column)], cutRow[1][columnOf(cutRow[0], column)])
            << column;
    EXPECT_EQ(roiRow[1][columnOf(roiRow[0], "rows_used")], "101-400");
    // The spectra's rows, as the rows used, are the file's.
    const auto cutJson = nlohmann::json::parse(readTextFile(folder + "/cut/report.json"));
    const auto roiJson = nlohmann::json::parse(readTextFile(folder + "/roi/report.json"));
    for (const char* end : {"first_row", "last_row"})
        EXPECT_EQ(roiJson["images"][0]["spectra"][end].get<int>(),
                  cutJson["images"][0]["spectra"][end].get<int>() + 100)
            << end;
    // Running past the right border, the rectangle is cut to the picture, and the image says so.
    const auto past = nlohmann::json::parse(readTextFile(folder + "/past/report.json"));
    const auto& image = past["images"][0];
    EXPECT_EQ(image["setup"]["analysed_area_px"]["width"], 248);
    ASSERT_EQ(image["setup"]["setting_notes"].size(), 1u);
    EXPECT_EQ(image["setup"]["setting_notes"][0],
              "the region of interest 8,100,400,300 runs past the 256 x 512 px picture: 248 x "
              "300 px of it were analysed");
    EXPECT_TRUE(contains(image["summary"]["flags"].get<std::string>(), "setting_contradicted"));
    fs::remove_all(folder);
}

TEST(ReportRun, ImagesAreFoundNextToAParameterFileInAnotherFolder) {
    const std::string folder = makeTempFolder();
    fs::create_directories(folder + "/runs/img");
    ASSERT_TRUE(writeLineImage(folder + "/runs/img/a.pgm", 256, 400, 2, 4));
    writeTextFile(folder + "/runs/params.txt", parameterFile({{"img/a.pgm", "s"}}));
    const RunResult run = runReportIn(folder, "runs/params.txt --output results");
    EXPECT_EQ(run.status, 0) << run.err;
    const auto rows = parseCsv(readTextFile(folder + "/results/summary.csv"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][1], "img/a.pgm");
    EXPECT_EQ(rows[1][2], "measured");
    EXPECT_TRUE(fs::exists(folder + "/results/image-001-a.png"));
    // A name with a NUL byte would end there and measure another file under it.
    writeTextFile(folder + "/runs/nul.txt",
                  parameterFile({{std::string("img/a.pgm\0.tif", 14), "s"}}));
    const RunResult nul = runReportIn(folder, "runs/nul.txt --output nul");
    EXPECT_EQ(nul.status, 2);
    EXPECT_TRUE(contains(nul.err, "names an image with a NUL byte")) << nul.err;
    fs::remove_all(folder);
}

TEST(ReportRun, StraightEdgesGiveEmptyCellsAndNullWhereFiguresAreNotNumbers) {
    const std::string folder = makeTempFolder();
    std::vector<unsigned char> grey(256 * 300, 40);
    for (int y = 0; y < 300; ++y)
        for (int x = 30; x < 60; ++x) grey[y * 256 + x] = (x < 34 || x >= 56) ? 200 : 80;
    ASSERT_TRUE(writePgm(folder + "/straight.pgm", 256, 300, grey));
    writeTextFile(folder + "/input.txt", parameterFile({{"straight.pgm", "s"}}));
    const RunResult run = runReportIn(folder, "");
    EXPECT_EQ(run.status, 0) << run.err;
    // Zero roughness: the uncertainty of sigma LWR is 0 / 0 and the skewness undefined.
    const auto length = parseCsv(readTextFile(folder + "/rugon-report/length.csv"));
    ASSERT_GT(length.size(), 1u);
    EXPECT_EQ(length[1][columnOf(length[0], "sigma_lwr_uncertainty_pct")], "");
    const auto summary = parseCsv(readTextFile(folder + "/rugon-report/summary.csv"));
    EXPECT_EQ(summary[1][columnOf(summary[0], "skewness_mean")], "");
    const auto json = nlohmann::json::parse(readTextFile(folder + "/rugon-report/report.json"));
    EXPECT_TRUE(json["images"][0]["summary"]["skewness_mean"].is_null());
    EXPECT_TRUE(json["images"][0]["display"]["sigmaUncertaintyPct"]["values"][0].is_null());
    EXPECT_TRUE(fs::exists(folder + "/rugon-report/image-001-straight.png"));
    fs::remove_all(folder);
}

TEST(ReportRun, PicturesWithoutMeasurableLinesAreNoLineNotMeasured) {
    // Noise alone, and plain lines whose every other row is shifted by 8 px (a scan fault that
    // no row's edge survives): both used to be "measured", the first with 18-58 lines of
    // noise, the second with every figure empty.
    const std::string folder = makeTempFolder();
    const int w = 256;
    const int h = 256;
    std::mt19937 random(5);
    std::normal_distribution<double> gauss(0.0, 40.0);
    std::vector<unsigned char> noise(w * h);
    for (unsigned char& v : noise)
        v = static_cast<unsigned char>(std::clamp(std::lround(120.0 + gauss(random)), 0L, 255L));
    ASSERT_TRUE(writePgm(folder + "/noise.pgm", w, h, noise));
    std::vector<unsigned char> shifted(w * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int c = (x + (y % 2 == 1 ? 8 : 0)) % 80;
            shifted[y * w + x] = c >= 25 && c < 55 ? 200 : 40;
        }
    ASSERT_TRUE(writePgm(folder + "/shifted.pgm", w, h, shifted));

    const RunResult run =
        runReportIn(folder, "-o out --contrast bright-line noise.pgm shifted.pgm");
    EXPECT_EQ(run.status, 1) << run.err;
    const auto json = nlohmann::json::parse(readTextFile(folder + "/out/report.json"));
    ASSERT_EQ(json["images"].size(), 2u);
    for (const auto& image : json["images"]) EXPECT_EQ(image["status"], "no_line") << image;
    EXPECT_EQ(json["images"][0]["reason"],
              "no line found: no line stands out of the noise of the middle rows (a picture of "
              "noise, or lines tilted by more than about 10 degrees)");
    EXPECT_TRUE(contains(json["images"][1]["reason"].get<std::string>(),
                         "no line found: no row gives a width to the 3 lines"))
        << json["images"][1]["reason"];
    fs::remove_all(folder);
}

TEST(ReportRun, PictureShowsTheImageUpright) {
    // Lines with a white block in the top right corner of the file (PGM: top row first).
    const std::string folder = makeTempFolder();
    std::vector<unsigned char> grey(256 * 400, 40);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 256; ++x) {
            const int inLine = (x - 24) % 64;
            if (x >= 24 && x < 216 && inLine < 28) grey[y * 256 + x] = inLine < 4 ? 200 : 80;
            if (y < 60 && x >= 220) grey[y * 256 + x] = 255;
        }
    ASSERT_TRUE(writePgm(folder + "/block.pgm", 256, 400, grey));
    writeTextFile(folder + "/input.txt", parameterFile({{"block.pgm", "s"}}));
    ASSERT_EQ(runReportIn(folder, "").status, 0);
    RgbPicture picture;
    ASSERT_TRUE(readPng(folder + "/rugon-report/image-001-block.png", picture));
    const int half = 32 + (kPanelSide - 42) / 2;
    EXPECT_GT(countColour(picture, 0, 32, kPanelSide, half, 255, 255, 255, 2), 1000);
    EXPECT_EQ(countColour(picture, 0, half, kPanelSide, kPanelSide, 255, 255, 255, 2), 0);
    fs::remove_all(folder);
}

TEST(ReportRun, LengthPlotsOfAnImageWithoutPixelSizeAreLabelledInPixels) {
    // The same image at 1 nm per pixel and without a pixel size has the same numbers; only the
    // length plots' titles may differ, and must ("nm" on lengths in px was wrong).
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/lines.pgm", 256, 320, 3, 5));
    const RunResult run = runCommand(folder, std::string(RUGON_REPORT_BINARY) +
                                                 " --pixel-size 1 -o nm lines.pgm && " +
                                                 RUGON_REPORT_BINARY + " -o px lines.pgm");
    ASSERT_EQ(run.status, 0) << run.err;
    RgbPicture nm;
    RgbPicture px;
    ASSERT_TRUE(readPng(folder + "/nm/image-001-lines.png", nm));
    ASSERT_TRUE(readPng(folder + "/px/image-001-lines.png", px));
    ASSERT_EQ(nm.rgb.size(), px.rgb.size());
    int upper = 0;
    int lower = 0;
    for (int32_t y = 0; y < nm.height; ++y)
        for (int32_t x = 0; x < nm.width; ++x)
            if (std::memcmp(nm.at(x, y), px.at(x, y), 3) != 0) ++(y < kPanelSide ? upper : lower);
    EXPECT_EQ(upper, 0);  // the picture and the HHCF, in px either way
    EXPECT_GT(lower, 50);
    fs::remove_all(folder);
}

#ifdef RUGON_HAVE_SYNTHETIC
TEST(ReportRun, AnEdgeSearchThatReachesAcrossTheSpacesIsNotedWithTheWindowToGive) {
    // Bands at a 16 px pitch, lines of 10 px: spaces of 6 px. The default half-window of 10 px
    // starts each whole-pixel scan on the next line's band (CD a pitch too wide); the window
    // the note names measures the drawn lines. Lines that drift into each other get no note.
    SyntheticSemSettings settings;
    settings.width = 256;
    settings.height = 256;
    settings.pitch = 16.0;
    settings.cd = 10.0;
    settings.bandWidth = 2.0;
    settings.roughnessSigma = 0.6;
    settings.noiseSigma = 10.0;
    settings.seed = 7;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(settings, image));
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writePgm(folder + "/fine.pgm", image.width, image.height, image.pixels));
    // Lines at the default pitch sheared by 3 degrees: their column sums smear, and the coarse
    // edges' gaps say nothing of the spaces (lines_tilted says what is wrong).
    SyntheticSemSettings upright;
    upright.width = 600;
    upright.height = 900;
    upright.noiseSigma = 10.0;
    upright.seed = 3;
    SyntheticSem lines;
    ASSERT_TRUE(makeSyntheticSem(upright, lines));
    const double shear = std::tan(3.0 * M_PI / 180.0);
    std::vector<unsigned char> sheared(lines.pixels.size());
    for (int32_t y = 0; y < lines.height; ++y)
        for (int32_t x = 0; x < lines.width; ++x) {
            const int32_t from = x - static_cast<int32_t>(std::lround(y * shear));
            sheared[static_cast<size_t>(y) * lines.width + x] =
                lines.pixels[static_cast<size_t>(y) * lines.width +
                             std::max(0, std::min(lines.width - 1, from))];
        }
    ASSERT_TRUE(writePgm(folder + "/sheared.pgm", lines.width, lines.height, sheared));
    const RunResult run =
        runCommand(folder, std::string(RUGON_REPORT_BINARY) + " -o wide fine.pgm && " +
                               RUGON_REPORT_BINARY + " --window 3 -o narrow fine.pgm && " +
                               RUGON_REPORT_BINARY + " -o sheared sheared.pgm");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto wide =
        nlohmann::json::parse(readTextFile(folder + "/wide/report.json"))["images"][0];
    const auto narrow =
        nlohmann::json::parse(readTextFile(folder + "/narrow/report.json"))["images"][0];
    ASSERT_EQ(wide["setup"]["setting_notes"].size(), 1u) << wide["setup"];
    EXPECT_EQ(wide["setup"]["setting_notes"][0],
              "the edge search half-window of 10 px reaches across the spaces between the lines "
              "(their edges lie 6 px apart): the whole-pixel edges may be found on the next "
              "line's band; give --window 3 or less");
    EXPECT_NE(wide["summary"]["flags"].get<std::string>().find("setting_contradicted"),
              std::string::npos);
    EXPECT_GT(wide["summary"]["cd_average_nm"].get<double>(), 16.0);
    EXPECT_TRUE(narrow["setup"]["setting_notes"].empty()) << narrow["setup"];
    EXPECT_NEAR(narrow["summary"]["cd_average_nm"].get<double>(), 10.0, 1.0);
    const auto tilted =
        nlohmann::json::parse(readTextFile(folder + "/sheared/report.json"))["images"][0];
    EXPECT_TRUE(tilted["setup"]["setting_notes"].empty()) << tilted["setup"];
    EXPECT_NE(tilted["summary"]["flags"].get<std::string>().find("lines_tilted"),
              std::string::npos);
    fs::remove_all(folder);
}

TEST(ReportRun, BridgesAndBrokenLinesAreFlaggedWithWhereTheyAre) {
    // Plain lines of 28 px every 64 from column 24 (edges 1-2, 3-4, ...), 512 rows: the space
    // between lines 2 and 3 filled over rows 201-210 (a bridge), line 5 cut over rows 301-306
    // (a break), a bare strip across the top rows (lines that start below it, not a defect) and a
    // saturated streak across rows 401-404 (the picture's, not the pattern's).
    SyntheticSemSettings settings;
    settings.width = 448;
    settings.height = 512;
    settings.contrast = SyntheticContrast::kBrightLine;
    settings.noiseSigma = 10.0;
    settings.seed = 9;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(settings, image));
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writePgm(folder + "/plain.pgm", image.width, image.height, image.pixels));
    auto paint = [&](int32_t x0, int32_t x1, int32_t y0, int32_t y1, unsigned char level) {
        for (int32_t y = y0; y <= y1; ++y)
            for (int32_t x = x0; x <= x1; ++x)
                image.pixels[static_cast<size_t>(y) * static_cast<size_t>(image.width) +
                             static_cast<size_t>(x)] = level;
    };
    paint(100, 165, 200, 209, 200);  // 0-based rows 200-209: file rows 201-210
    paint(270, 310, 300, 305, 40);   // line 5 spans columns 281-308
    paint(0, image.width - 1, 0, 5, 40);
    paint(0, image.width - 1, 400, 403, 255);
    ASSERT_TRUE(writePgm(folder + "/defects.pgm", image.width, image.height, image.pixels));
    const RunResult run = runCommand(
        folder, std::string(RUGON_REPORT_BINARY) + " --no-region -o out plain.pgm defects.pgm");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto json = nlohmann::json::parse(readTextFile(folder + "/out/report.json"));
    const auto& plain = json["images"][0];
    const auto& defects = json["images"][1];
    EXPECT_TRUE(plain["defects"].empty()) << plain["defects"];
    EXPECT_EQ(plain["summary"]["flags"].get<std::string>().find("bridge_or_break"),
              std::string::npos);
    EXPECT_NE(defects["summary"]["flags"].get<std::string>().find("bridge_or_break"),
              std::string::npos);
    EXPECT_EQ(defects["defects"],
              nlohmann::json::parse(R"([{"kind": "bridge", "subpixel_edges": [4, 5],
                                         "rows": [201, 210]},
                                        {"kind": "break", "subpixel_edges": [9, 10],
                                         "rows": [301, 306]}])"));
    EXPECT_NE(readTextFile(folder + "/out/index.html")
                  .find("<b>Defect:</b> a bridge across the space between sub-pixel edges 4 and "
                        "5, rows 201-210."),
              std::string::npos);
    fs::remove_all(folder);
}
#endif

TEST(ReportRun, CannotRunIsExitTwoWithAClearMessage) {
    const std::string folder = makeTempFolder();
    RunResult run = runReportIn(folder, "");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.err, "cannot open parameter file \"input.txt\"")) << run.err;
    EXPECT_FALSE(fs::exists(folder + "/rugon-report"));  // nothing written

    writeTextFile(folder + "/input.txt", parameterFile({}));
    writeTextFile(folder + "/taken", "a file, not a folder");
    run = runReportIn(folder, "-o taken");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.err, "cannot write to output folder \"taken\"")) << run.err;
    EXPECT_EQ(readTextFile(folder + "/taken"), "a file, not a folder");

    run = runReportIn(folder, "--frobnicate");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.err, "--frobnicate")) << run.err;

    // An empty list is a complete run: every (no) image measured, empty tables.
    run = runReportIn(folder, "");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(parseCsv(readTextFile(folder + "/rugon-report/summary.csv")).size(), 1u);
    fs::remove_all(folder);
}

TEST(ReportRun, RefusesToWriteOverAnInputOfTheRun) {
    // The picture of an earlier run listed as an image of the next run into the same folder:
    // the new picture of the first image would replace it.
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/a.pgm", 256, 320, 2, 6));
    writeTextFile(folder + "/input.txt", parameterFile({{"a.pgm", "s"}}));
    ASSERT_EQ(runReportIn(folder, "-o out").status, 0);
    const std::string picture = readTextFile(folder + "/out/image-001-a.png");
    writeTextFile(folder + "/input.txt",
                  parameterFile({{"a.pgm", "s"}, {"out/image-001-a.png", "s"}}));
    const RunResult run = runReportIn(folder, "-o out");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.err, "will not overwrite \"out/image-001-a.png\"")) << run.err;
    EXPECT_EQ(readTextFile(folder + "/out/image-001-a.png"), picture);

    // A list of images kept in the output folder under the name of a table the run writes.
    for (const char* list : {"lines.csv", "groups.csv"}) {
        const std::string text = std::string("image,group\n../a.pgm,A\n");
        writeTextFile(folder + "/out/" + list, text);
        const RunResult again = runReportIn(folder, std::string("-o out out/") + list);
        EXPECT_EQ(again.status, 2) << list;
        EXPECT_TRUE(contains(again.err, std::string("will not overwrite \"out/") + list))
            << again.err;
        EXPECT_EQ(readTextFile(folder + "/out/" + list), text);
    }
    fs::remove_all(folder);
}

namespace {

// A folder with two generated images, a.pgm and b.pgm, and their report at 2 nm in out/.
std::string folderWithAnEarlierRun() {
    const std::string folder = makeTempFolder();
    EXPECT_TRUE(writeLineImage(folder + "/a.pgm", 256, 320, 2, 6));
    EXPECT_TRUE(writeLineImage(folder + "/b.pgm", 256, 320, 3, 6));
    EXPECT_EQ(runReportIn(folder, "-o out --pixel-size 2 a.pgm b.pgm").status, 0);
    return folder;
}

}  // namespace

TEST(ReportRun, APictureThatCannotBeWrittenFailsTheRunAfterItsTables) {
    const std::string folder = folderWithAnEarlierRun();
    fs::remove(folder + "/out/image-002-b.png");
    fs::create_directories(folder + "/out/image-002-b.png/kept");
    const RunResult run = runReportIn(folder, "-o out --pixel-size 3 a.pgm b.pgm");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.err, "cannot write \"out/image-002-b.png\"")) << run.err;
    // The tables are this run's (3 nm pixels), as the pictures written beside them.
    const auto summary = parseCsv(readTextFile(folder + "/out/summary.csv"));
    ASSERT_EQ(summary.size(), 3u);
    const auto column = std::find(summary[0].begin(), summary[0].end(), "pixel_size_nm");
    ASSERT_NE(column, summary[0].end());
    const size_t c = static_cast<size_t>(column - summary[0].begin());
    EXPECT_EQ(std::stod(summary[1][c]), 3.0);
    EXPECT_EQ(std::stod(summary[2][c]), 3.0);
    const std::string json = readTextFile(folder + "/out/report.json");
    EXPECT_TRUE(contains(json, "image-001-a.png")) << "the written picture is listed";
    EXPECT_FALSE(contains(json, "image-002-b.png")) << "the missing picture is not";
    fs::remove_all(folder);
}

namespace {

// The names of the files in `folder`.
std::set<std::string> filesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& file : fs::directory_iterator(folder))
        names.insert(file.path().filename().string());
    return names;
}

}  // namespace

TEST(ReportRun, ARunThatCannotWriteItsTablesLeavesNoneOfAnEarlierRunBesideItsOwn) {
    const std::string folder = folderWithAnEarlierRun();
    // lines.csv cannot be written (its temporary name is taken by a folder).
    fs::create_directories(folder + "/out/lines.csv.part/kept");
    const RunResult run = runReportIn(folder, "-o out --pixel-size 3 a.pgm b.pgm");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.err, "cannot write \"out/lines.csv\": Is a directory")) << run.err;
    std::set<std::string> names = filesIn(folder + "/out");
    for (const char* gone : {"lines.csv", "length.csv", "index.html"})
        EXPECT_EQ(names.count(gone), 0u) << gone << " of the earlier run is left";
    EXPECT_TRUE(contains(readTextFile(folder + "/out/report.json"), "\"unfinished\""));

    // The next run into the folder ends the unfinished one: b alone, and none of a's pictures.
    fs::remove_all(folder + "/out/lines.csv.part");
    ASSERT_EQ(runReportIn(folder, "-o out --pixel-size 3 b.pgm").status, 0);
    names = filesIn(folder + "/out");
    EXPECT_EQ(names.count("image-001-b.png"), 1u);
    EXPECT_EQ(names.count("image-002-b.png"), 0u);
    EXPECT_EQ(names.size(), 12u);  // 8 files and b's 4 pictures
    EXPECT_FALSE(contains(readTextFile(folder + "/out/report.json"), "\"unfinished\""));
    fs::remove_all(folder);
}

TEST(ReportRun, ASignalEndsTheRunWithoutTablesOrItEndsWhole) {
    const std::string folder = makeTempFolder();
    fs::create_directories(folder + "/lot");
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(writeLineImage(folder + "/lot/w" + std::to_string(100 + i) + ".pgm", 256, 512,
                                   3, static_cast<uint32_t>(i)));
    ASSERT_EQ(runReportIn(folder, "-o out --pixel-size 2 lot/w100.pgm").status, 0);
    // SIGTERM once the run has begun measuring (its first progress line; up to 30 s on a busy
    // machine).
    const RunResult run = runCommand(
        folder, std::string(RUGON_REPORT_BINARY) +
                    " -j 1 -o out lot 2> err.txt & p=$!; i=0; while [ $i -lt 3000 ] && ! grep -q "
                    "'images done' err.txt; do sleep 0.01; i=$((i+1)); done; kill -TERM $p; "
                    "wait $p; s=$?; cat err.txt >&2; exit $s");
    const std::string report = readTextFile(folder + "/out/report.json");
    const std::set<std::string> names = filesIn(folder + "/out");
    if (run.status == 0) {  // a machine fast enough ends the run first
        EXPECT_EQ(names.count("summary.csv"), 1u);
        EXPECT_FALSE(contains(report, "\"unfinished\""));
    } else {
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_TRUE(contains(run.err, "stopped by a signal before the tables were written"))
            << run.err;
        EXPECT_FALSE(contains(run.err, "cannot be read")) << run.err;
        EXPECT_EQ(names.count("summary.csv"), 0u);
        EXPECT_TRUE(contains(report, "\"unfinished\""));
    }
    fs::remove_all(folder);
}

TEST(ReportRun, AFolderHoldingItsOwnReportGivesOnlyItsImages) {
    const std::string folder = makeTempFolder();
    fs::create_directories(folder + "/lot");
    ASSERT_TRUE(writeLineImage(folder + "/lot/a.pgm", 256, 320, 2, 6));
    ASSERT_TRUE(writeLineImage(folder + "/lot/b.pgm", 256, 320, 3, 6));
    ASSERT_EQ(runReportIn(folder, "-o lot lot").status, 0);
    // Its pictures (PNG files) are not SEM images of the lot.
    const RunResult again = runReportIn(folder, "-o lot lot");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(contains(again.err, "\"lot\": 4 pictures that rugon-report drew there"))
        << again.err;
    EXPECT_EQ(parseCsv(readTextFile(folder + "/lot/summary.csv")).size(), 3u);
    fs::remove_all(folder);
}

TEST(ReportRun, ANameThatIsNotUtf8IsDrawnWithAReplacementCharacter) {
    // A Latin-1 name, as a Windows microscope writes "100 µm": Cairo takes only UTF-8.
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/a_100\xb5m.pgm", 256, 320, 2, 6));
    ASSERT_TRUE(writeLineImage(folder + "/b.pgm", 256, 320, 3, 6));
    const RunResult run = runReportIn(folder, "-o out --group '^(.)' .");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(parseCsv(readTextFile(folder + "/out/summary.csv")).size(), 3u);
    for (const char* picture :
         {"image-001-a_100_m.png", "image-001-a_100_m-psd.svg", "image-002-b.png"})
        EXPECT_TRUE(fs::exists(folder + "/out/" + picture)) << picture;
    fs::remove_all(folder);
}

TEST(ReportRun, AFileListedTwiceAnEmptyFolderOrAGroupPatternMissingNamesIsSaid) {
    const std::string folder = makeTempFolder();
    fs::create_directories(folder + "/img");
    fs::create_directories(folder + "/scan.png");  // a folder named like an image, empty
    ASSERT_TRUE(writeLineImage(folder + "/img/a.pgm", 256, 320, 2, 6));
    ASSERT_TRUE(writeLineImage(folder + "/img/b.pgm", 256, 320, 3, 6));
    const RunResult run = runReportIn(folder, "-o out img img/b.pgm scan.png");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(parseCsv(readTextFile(folder + "/out/summary.csv")).size(), 4u);
    EXPECT_TRUE(contains(run.err, "img/b.pgm is listed 2 times (images 2, 3): each is measured"))
        << run.err;
    EXPECT_FALSE(contains(run.err, "a.pgm is listed")) << run.err;
    EXPECT_TRUE(contains(run.err, "\"scan.png\" is a folder that holds no image file")) << run.err;
    EXPECT_FALSE(contains(run.err, "\"img\" is a folder")) << run.err;
    // A group pattern that misses some or all names is said too.
    const RunResult some = runReportIn(folder, "-o out --group '^(b)' img");
    EXPECT_TRUE(contains(some.err, "1 of 2 images are in no group: the group pattern \"^(b)\""))
        << some.err;
    const RunResult none = runReportIn(folder, "-o out --group 'x(y)?' img");
    EXPECT_TRUE(contains(none.err, "the group pattern \"x(y)?\" matches none of the image names"))
        << none.err;
    fs::remove_all(folder);
}

TEST(ReportRun, SixteenBitPicturesKeepTheirContrastOnAnOffsetAndUnderHotPixels) {
    if (std::system("command -v convert > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "no ImageMagick 'convert' to write 16-bit files";
    // The lines' 160 grey levels as 3.2 x 257 on a dark level of 40000 (the 8 bits from bit 15
    // kept 4 or 5 of them), fainter still (0.8 x 257: 1 or 2), and as 10-bit data with one
    // pixel at 65535 (which left 4 levels in all). Each now reads as the 8-bit picture does,
    // with a note of what was done; the plain 16-bit copy has none.
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/a.pgm", 256, 256, 3, 6));
    ASSERT_EQ(runCommand(folder,
                         "convert a.pgm -depth 16 -evaluate multiply 0.02 -evaluate add 40000 "
                         "offset.png && convert a.pgm -depth 16 -evaluate multiply 0.004 "
                         "-evaluate add 40000 faint.png && convert a.pgm -depth 16 plain.png && "
                         "convert a.pgm -depth 16 -evaluate multiply 0.0156 -fill white -draw "
                         "'point 100,100' hot.png")
                  .status,
              0);
    const RunResult run =
        runReportIn(folder, "-o out --pixel-size 1 plain.png offset.png faint.png hot.png");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto json = nlohmann::json::parse(readTextFile(folder + "/out/report.json"));
    const auto& plain = json["images"][0];
    EXPECT_TRUE(plain["setup"]["metadata_notes"].empty()) << plain["setup"]["metadata_notes"];
    const double cd = plain["summary"]["cd_subpixel_nm"].get<double>();
    const char* said[] = {"", "were taken from", "were taken from", "brightest 1 in 10000"};
    for (int i : {1, 2, 3}) {
        const auto& image = json["images"][i];
        const std::string notes = image["setup"]["metadata_notes"].dump();
        EXPECT_TRUE(contains(notes, said[i])) << i << " " << notes;
        EXPECT_EQ(image["summary"]["lines"], plain["summary"]["lines"]) << i;
        EXPECT_NEAR(image["summary"]["cd_subpixel_nm"].get<double>(), cd, 0.3) << i;
    }
    fs::remove_all(folder);
}

TEST(ReportRun, HelpAndVersionGoToStandardOutput) {
    const std::string folder = makeTempFolder();
    RunResult run = runReportIn(folder, "--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(contains(run.out, "rugon-report [options] IMAGE...")) << run.out;
    EXPECT_TRUE(contains(run.out, "--pixel-size")) << run.out;
    run = runReportIn(folder, "--version");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "rugon-report 11.0\n");
    fs::remove_all(folder);
}

TEST(ReportRun, OnATerminalTheProgressLineIsRewrittenInPlace) {
    if (std::system("command -v script > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "no 'script' to give the program a terminal";
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/a.pgm", 256, 320, 2, 5));
    writeTextFile(folder + "/input.txt", parameterFile({{"a.pgm", "s"}, {"gone.pgm", "s"}}));
    const RunResult run =
        runCommand(folder, std::string("script -qec '") + RUGON_REPORT_BINARY + "' /dev/null");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "\r\033[K1 of 2 images done")) << run.out;
    // The message clears the progress line and stands on a line of its own.
    EXPECT_TRUE(contains(run.out, "\r\033[Krugon-report: gone.pgm: file not found\r\n"));
    fs::remove_all(folder);
}
