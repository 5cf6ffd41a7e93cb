// rugon-report pointed at raw microscope files: pixel size and data bar from the file or its
// side-car, the rows where the lines run, horizontal lines and step contrast.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "report_support.h"
#include "run_support.h"
#ifdef RUGON_HAVE_SYNTHETIC
#include "synthetic/synthetic_sem.h"
#endif

namespace fs = std::filesystem;

namespace {

const std::string kSem = RUGON_SHARED_SEM;

// The summary rows of a run, keyed by the file name of each image.
std::map<std::string, std::map<std::string, std::string>> summaryByFile(const std::string& out) {
    const auto rows = parseCsv(readTextFile(out + "/summary.csv"));
    std::map<std::string, std::map<std::string, std::string>> byFile;
    for (size_t r = 1; r < rows.size(); ++r) {
        std::map<std::string, std::string> row;
        for (size_t c = 0; c < rows[0].size() && c < rows[r].size(); ++c)
            row[rows[0][c]] = rows[r][c];
        byFile[fs::path(row["image"]).filename().string()] = row;
    }
    return byFile;
}

double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// Writes an 8-bit grey TIFF of `grey` (top row first) whose tag 34682 holds the microscope's INI
// text `ini`.
bool writeIniTiff(const std::string& path,
                  int32_t width,
                  int32_t height,
                  const std::vector<unsigned char>& grey,
                  const std::string& ini) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr) return false;
    TIFFFieldInfo field{34682, TIFF_VARIABLE2,          TIFF_VARIABLE2, TIFF_ASCII, FIELD_CUSTOM, 1,
                        1,     const_cast<char*>("ini")};
    TIFFMergeFieldInfo(tiff, &field, 1);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(height));
    const std::string bytes = ini + '\0';
    TIFFSetField(tiff, 34682, static_cast<uint32_t>(bytes.size()), bytes.c_str());
    bool ok = true;
    std::vector<unsigned char> row(static_cast<size_t>(width));
    for (int32_t y = 0; y < height; ++y) {
        std::copy_n(grey.begin() + static_cast<std::ptrdiff_t>(y) * width, width, row.begin());
        ok = ok && TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0) == 1;
    }
    TIFFClose(tiff);
    return ok;
}

}  // namespace

TEST(MicroscopeFiles, DataBarPixelSizeRegionAndOrientationComeFromTheFiles) {
    if (!fs::exists(kSem + "/mpa_A6_001.bmp")) GTEST_SKIP() << "no " << kSem;
    const std::string folder = makeTempFolder();
    // The raw JEOL image with its side-car next to it, and the same image cropped above its bar.
    fs::create_symlink(kSem + "/mpa_A6_001.bmp", folder + "/mpa_A6_001.bmp");
    writeTextFile(folder + "/mpa_A6_001.txt",
                  "$CM_FULL_SIZE 1280 960\n$$SM_MICRON_BAR 35\n$$SM_MICRON_MARKER 100nm\n");
    const std::string files = folder + "/mpa_A6_001.bmp " + kSem + "/mpa_A6_001_crop.png " + kSem +
                              "/ptl_legacy_analysis_test.jpg " + kSem +
                              "/ptl_test_analysis_lines.jpg " + kSem + "/mpa_A1_001_crop.png";
    const RunResult run = runCommand(
        folder, std::string(RUGON_REPORT_BINARY) + " --jobs 2 --pixel-size 2.857 -o opt " + kSem +
                    "/mpa_A6_001_crop.png && " + RUGON_REPORT_BINARY + " -o out " + files);
    ASSERT_EQ(run.status, 0) << run.err;
    auto rows = summaryByFile(folder + "/out");
    // Every empty figure has its reason, and only those: a missing pixel size, whole-pixel
    // figures that do not apply (the step images), fits at a bound (no interval), no spectrum
    // at all (A1: particles break every edge).
    const auto json = nlohmann::json::parse(readTextFile(folder + "/out/report.json"));
    for (const auto& image : json["images"]) {
        ASSERT_EQ(image["status"], "measured");
        const auto& reasons = image["reasons"];
        for (const auto& [key, value] : image["summary"].items())
            EXPECT_EQ(value.is_null(), reasons.contains(key)) << image["image"] << " " << key;
        for (const auto& [key, text] : reasons.items()) EXPECT_NE(text, "") << key;
    }
    const auto& particles = json["images"][4]["reasons"];
    EXPECT_NE(particles["ler_3sigma_biased_nm"].get<std::string>().find("no edge series"),
              std::string::npos);
    EXPECT_EQ(particles["psd_alpha"], "no spectrum");
    auto& raw = rows["mpa_A6_001.bmp"];
    auto& crop = rows["mpa_A6_001_crop.png"];
    auto optionRows = summaryByFile(folder + "/opt");
    auto& cropped = optionRows["mpa_A6_001_crop.png"];

    EXPECT_NEAR(number(raw["pixel_size_nm"]), 2.857, 0.001);
    EXPECT_EQ(raw["pixel_size_source"], "sidecar");
    EXPECT_EQ(raw["databar_rows"], "64");
    EXPECT_EQ(raw["rows_used"], "1-960");
    EXPECT_NE(raw["flags"].find("databar_found"), std::string::npos);
    // The bar left out, the lines measured are those of the crop.
    for (const char* figure :
         {"cd_average_nm", "lwr_3sigma_nm", "cd_subpixel_nm", "lwr_3sigma_unbiased_nm"})
        EXPECT_NEAR(number(raw[figure]), number(cropped[figure]), 0.02 * number(cropped[figure]))
            << figure;
    EXPECT_NEAR(number(raw["a"]), number(cropped["a"]), 0.05);
    // Without a pixel size the crop is measured in pixels and says so.
    EXPECT_EQ(crop["pixel_size_source"], "none");
    EXPECT_EQ(crop["length_unit"], "px");
    EXPECT_EQ(crop["pixel_size_nm"], "");
    EXPECT_NE(crop["flags"].find("pixel_size_missing"), std::string::npos);
    EXPECT_EQ(cropped["pixel_size_source"], "option");

    // The desktop microscope's JPEG: XML metadata, a 120-row bar, lines that end inside the
    // picture, plain step contrast.
    auto& legacy = rows["ptl_legacy_analysis_test.jpg"];
    EXPECT_EQ(legacy["status"], "measured");
    EXPECT_EQ(legacy["lines"], "6");
    EXPECT_NEAR(number(legacy["pixel_size_nm"]), 117.657, 1e-9);
    EXPECT_EQ(legacy["pixel_size_source"], "xml");
    EXPECT_EQ(legacy["databar_rows"], "120");
    EXPECT_EQ(legacy["contrast"], "bright-line");
    const std::string used = legacy["rows_used"];
    const int first = std::atoi(used.c_str());
    const int last = std::atoi(used.substr(used.find('-') + 1).c_str());
    EXPECT_GE(first, 110);
    EXPECT_LE(last, 1930);
    EXPECT_GT(last - first, 1500);
    EXPECT_NEAR(number(legacy["cd_subpixel_nm"]) / 117.657, 110.0, 5.5);
    // Whole-pixel figures do not apply to a step: empty, with the reason in the JSON.
    EXPECT_EQ(legacy["cd_average_nm"], "");
    const auto& step = json["images"][2];
    EXPECT_EQ(step["whole_pixel_applicable"], false);
    EXPECT_EQ(step["reasons"]["cd_average_nm"],
              "no whole-pixel figures: " + step["whole_pixel_reason"].get<std::string>());

    auto& horizontal = rows["ptl_test_analysis_lines.jpg"];
    EXPECT_EQ(horizontal["status"], "measured");
    EXPECT_EQ(horizontal["orientation"], "horizontal");
    EXPECT_EQ(horizontal["lines"], "4");
    EXPECT_EQ(horizontal["contrast"], "dark-line");
    for (const auto& image : json["images"]) EXPECT_TRUE(image["setup"]["setting_notes"].empty());
    // Told the wrong way (the crop's lines run down it), the wrong contrast (the JPEG's are
    // dark lines) or a pixel size its metadata contradicts, it does as told and says so.
    const RunResult told = runCommand(
        folder, std::string(RUGON_REPORT_BINARY) +
                    " --orientation horizontal --contrast bright-edge --pixel-size 2 -o told " +
                    kSem + "/ptl_test_analysis_lines.jpg " + kSem + "/mpa_A6_001_crop.png " + kSem +
                    "/ptl_legacy_analysis_test.jpg");
    ASSERT_NE(told.status, 2) << told.err;
    const auto toldJson = nlohmann::json::parse(readTextFile(folder + "/told/report.json"));
    const auto& dark = toldJson["images"][0]["setup"]["setting_notes"];
    ASSERT_EQ(dark.size(), 1u) << dark;
    EXPECT_EQ(dark[0],
              "the contrast was set to bright-edge, but the picture looks dark-line (as "
              "auto would take it)");
    const auto& upright = toldJson["images"][1]["setup"]["setting_notes"];
    ASSERT_GE(upright.size(), 1u);
    EXPECT_EQ(upright[0],
              "the orientation was set to horizontal, but the picture's lines run "
              "vertically (as auto would take them)");
    EXPECT_NE(readTextFile(folder + "/told/index.html").find("<b>Setting:</b> the contrast"),
              std::string::npos);
    const auto& xml = toldJson["images"][2]["setup"]["setting_notes"];
    ASSERT_GE(xml.size(), 1u);
    EXPECT_EQ(xml[0],
              "the pixel size was set to 2 nm (option), but the file's metadata gives "
              "117.657 nm (xml)");
    for (const auto& image : toldJson["images"])
        EXPECT_NE(image["summary"]["flags"].get<std::string>().find("setting_contradicted"),
                  std::string::npos);
    for (const auto& image : json["images"])
        EXPECT_EQ(image["summary"]["flags"].get<std::string>().find("setting_contradicted"),
                  std::string::npos);
    fs::remove_all(folder);
}

TEST(MicroscopeFiles, DenseTrenchesThatOnlyTheSubpixelEdgesFindAreMeasuredFromTheCommandLine) {
    // 4 px trenches at a 20 px period, tilted by a few pixels over the rows: the whole-pixel
    // column profile merges them into one edge, the sub-pixel edges find every line.
    const std::string crop = kSem + "/mpa_N5_P340_001_crop.png";
    if (!fs::exists(crop)) GTEST_SKIP() << "no " << crop;
    const std::string folder = makeTempFolder();
    writeTextFile(folder + "/input.txt",
                  "dense trenches\nedge detection\nthreshold 0.5\nsmoothing\nkernel\n"
                  "switch n\nrows 5\ncolumns 5\nsigma 1.0\nimages\nlist\nswitch n\n"
                  "count 1\nscale (nm per pixel)\nwindow (pixels)\npixel 17.24\nreserved 0\n"
                  "window 10\n" +
                      crop + " s\n");
    const RunResult run =
        runCommand(folder, std::string(RUGON_REPORT_BINARY) + " --pixel-size 17.24 -o cli " + crop +
                               "; " + RUGON_REPORT_BINARY + " -o file input.txt");
    auto cli = summaryByFile(folder + "/cli")["mpa_N5_P340_001_crop.png"];
    EXPECT_EQ(cli["status"], "measured") << run.err;
    EXPECT_EQ(cli["lwr_3sigma_nm"], "");  // the whole-pixel figures are left out
    EXPECT_GE(number(cli["lines"]), 55.0);
    EXPECT_GT(number(cli["lwr_3sigma_unbiased_nm"]), 0.0);
    EXPECT_LE(number(cli["lwr_3sigma_unbiased_nm"]), number(cli["lwr_3sigma_biased_nm"]));
    const auto json = nlohmann::json::parse(readTextFile(folder + "/cli/report.json"));
    EXPECT_EQ(json["images"][0]["whole_pixel_applicable"], false);
    EXPECT_NE(json["images"][0]["whole_pixel_reason"].get<std::string>().find("no line"),
              std::string::npos);
    // The parameter file keeps the console program's verdict.
    auto file = summaryByFile(folder + "/file")["mpa_N5_P340_001_crop.png"];
    EXPECT_EQ(file["status"], "no_line");
    EXPECT_EQ(file["lwr_3sigma_unbiased_nm"], "");
    fs::remove_all(folder);
}

TEST(MicroscopeFiles, FoldersAreExpandedAndBadOptionsWriteNothing) {
    const std::string folder = makeTempFolder();
    fs::create_directories(folder + "/in");
    ASSERT_TRUE(writeLineImage(folder + "/in/a.pgm", 256, 320, 2, 3));
    ASSERT_TRUE(writeLineImage(folder + "/in/b.pgm", 256, 320, 2, 4));
    writeTextFile(folder + "/in/notes.txt", "not an image");
    RunResult run = runCommand(
        folder, std::string(RUGON_REPORT_BINARY) + " --pixel-size 1.5 --no-region -o out in");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = parseCsv(readTextFile(folder + "/out/summary.csv"));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(fs::path(rows[1][columnOf(rows[0], "image")]).filename(), "a.pgm");
    EXPECT_EQ(rows[2][columnOf(rows[0], "pixel_size_source")], "option");

    for (const char* bad : {"--kernel 5", "--roi 1,2", "--contrast grey", "--jobs 0",
                            "--first-edge-opens-line maybe", "--bogus"}) {
        run = runCommand(folder, std::string(RUGON_REPORT_BINARY) + " " + bad + " -o bad in");
        EXPECT_EQ(run.status, 2) << bad;
        EXPECT_FALSE(run.err.empty()) << bad;
        EXPECT_FALSE(fs::exists(folder + "/bad")) << bad;
    }
    fs::remove_all(folder);
}

#ifdef RUGON_HAVE_SYNTHETIC
TEST(MicroscopeFiles, PixelsThatAreNotSquareScalePositionsAcrossTheLinesAndLagsAlongThem) {
    // Pixels 1 nm wide and 3 nm high: positions, widths and roughness are across the lines,
    // lags, frequencies and correlation lengths along them. The same picture, and the same
    // picture turned with its pixels 3 nm wide and 1 nm high, must give the square picture's
    // roughness and three times its lengths along the lines.
    SyntheticSemSettings settings;
    settings.width = 288;
    settings.height = 512;
    settings.noiseSigma = 20.0;
    settings.seed = 41;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(settings, image));
    const int32_t w = image.width, h = image.height;
    std::vector<unsigned char> turned(image.pixels.size());
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            turned[static_cast<size_t>(x) * h + y] = image.pixels[static_cast<size_t>(y) * w + x];
    const std::string folder = makeTempFolder();
    auto ini = [](const char* width, const char* height) {
        return std::string("[Scan]\r\nPixelWidth=") + width + "\r\nPixelHeight=" + height + "\r\n";
    };
    ASSERT_TRUE(writePgm(folder + "/square.pgm", w, h, image.pixels));
    ASSERT_TRUE(writeIniTiff(folder + "/tall.tif", w, h, image.pixels, ini("1e-09", "3e-09")));
    ASSERT_TRUE(writeIniTiff(folder + "/wide.tif", h, w, turned, ini("3e-09", "1e-09")));
    const RunResult run = runCommand(
        folder, std::string(RUGON_REPORT_BINARY) + " --pixel-size 1 -o square square.pgm && " +
                    RUGON_REPORT_BINARY + " -o files tall.tif wide.tif && " + RUGON_REPORT_BINARY +
                    " --pixel-size 1 -o told tall.tif");
    ASSERT_EQ(run.status, 0) << run.err;
    auto square = summaryByFile(folder + "/square")["square.pgm"];
    auto files = summaryByFile(folder + "/files");
    for (const char* name : {"tall.tif", "wide.tif"}) {
        auto& row = files[name];
        EXPECT_EQ(row["pixel_size_source"], "tiff-ini");
        EXPECT_EQ(row["orientation"], std::string(name) == "tall.tif" ? "vertical" : "horizontal");
        EXPECT_EQ(row["rows_used"], square["rows_used"]) << name;
        for (const char* across :
             {"cd_average_nm", "lwr_3sigma_nm", "cd_subpixel_nm", "ler_3sigma_biased_nm",
              "ler_3sigma_unbiased_nm", "lwr_3sigma_biased_nm", "lwr_3sigma_unbiased_nm",
              "lpr_3sigma_unbiased_nm", "psd_alpha", "a"})
            EXPECT_NEAR(number(row[across]), number(square[across]),
                        1e-6 * std::fabs(number(square[across])))
                << name << " " << across;
        // PSD: nm^2 of position per 1/nm of frequency along the line.
        for (const char* along : {"ksi_nm", "psd_xi_nm", "psd0_nm3", "noise_floor_nm3"})
            EXPECT_NEAR(number(row[along]), 3.0 * number(square[along]),
                        1e-4 * number(square[along]))
                << name << " " << along;
        EXPECT_NEAR(std::tan(number(row["line_tilt_deg"]) * M_PI / 180.0),
                    std::tan(number(square["line_tilt_deg"]) * M_PI / 180.0) / 3.0 *
                        (std::string(name) == "wide.tif" ? -1.0 : 1.0),
                    1e-9)
            << name;
    }
    EXPECT_EQ(files["tall.tif"]["pixel_size_nm"], "1");
    EXPECT_EQ(files["tall.tif"]["pixel_height_nm"], "3");
    EXPECT_NE(readTextFile(folder + "/files/index.html").find("1 \u00d7 3"), std::string::npos);
    EXPECT_EQ(square["pixel_height_nm"], "1");
    // The first frequency of the spectra: 1 / (rows x 3 nm); the HHCF's first lag 3 nm.
    const auto psd = parseCsv(readTextFile(folder + "/files/psd.csv"));
    const int rows =
        std::atoi(square["rows_used"].substr(square["rows_used"].find('-') + 1).c_str()) -
        std::atoi(square["rows_used"].c_str()) + 1;
    const double tilt = number(files["tall.tif"]["line_tilt_deg"]) * M_PI / 180.0;
    EXPECT_NEAR(number(psd[1][columnOf(psd[0], "frequency_per_nm")]), std::cos(tilt) / (3.0 * rows),
                1e-12);
    const auto hhcf = parseCsv(readTextFile(folder + "/files/hhcf.csv"));
    EXPECT_EQ(hhcf[1][columnOf(hhcf[0], "lag_nm")], "3");
    // Told one size for both directions, the run says the file's pixels are not square.
    const auto told = nlohmann::json::parse(readTextFile(folder + "/told/report.json"));
    EXPECT_EQ(told["images"][0]["setup"]["setting_notes"][0],
              "the pixel size was set to 1 nm (option) in both directions, but the file's "
              "metadata gives 1 nm along a row and 3 nm down a column (tiff-ini)");
    fs::remove_all(folder);
}

TEST(MicroscopeFiles, AFileOfSeveralPagesSaysThatOnlyTheFirstIsMeasured) {
    // Page 1 the lines, page 2 a flat grey frame: the figures are page 1's, and a note says so.
    SyntheticSemSettings settings;
    settings.width = 256;
    settings.height = 256;
    settings.seed = 43;
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(settings, image));
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writePgm(folder + "/one.pgm", image.width, image.height, image.pixels));
    TIFF* tiff = TIFFOpen((folder + "/two.tif").c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    for (int32_t page = 0; page < 2; ++page) {
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        std::vector<unsigned char> row(static_cast<size_t>(image.width), 128);
        for (int32_t y = 0; y < image.height; ++y) {
            if (page == 0)
                std::copy_n(image.pixels.begin() + static_cast<std::ptrdiff_t>(y) * image.width,
                            image.width, row.begin());
            ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0), 1);
        }
        ASSERT_EQ(TIFFWriteDirectory(tiff), 1);
    }
    TIFFClose(tiff);
    const RunResult run =
        runCommand(folder, std::string(RUGON_REPORT_BINARY) + " -o out one.pgm two.tif");
    ASSERT_EQ(run.status, 0) << run.err;
    auto rows = summaryByFile(folder + "/out");
    EXPECT_EQ(rows["two.tif"]["cd_subpixel_nm"], rows["one.pgm"]["cd_subpixel_nm"]);
    const auto json = nlohmann::json::parse(readTextFile(folder + "/out/report.json"));
    EXPECT_TRUE(json["images"][0]["setup"]["metadata_notes"].empty());
    EXPECT_EQ(json["images"][1]["setup"]["metadata_notes"],
              nlohmann::json::array(
                  {"the file holds 2 pictures (pages or frames): only the first is measured"}));
    fs::remove_all(folder);
}
#endif

TEST(MicroscopeFiles, APictureScaledOrCutSinceTheMicroscopeWroteItKeepsNoWrongScale) {
    const std::string raw = kSem + "/ptl_legacy_analysis_test.jpg";
    if (!fs::exists(raw)) GTEST_SKIP() << "no " << kSem;
    if (std::system("command -v convert > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "no ImageMagick 'convert'";
    // ImageMagick keeps the microscope's XML (pixel size, 120-row data bar) through both.
    const std::string folder = makeTempFolder();
    const RunResult run = runCommand(
        folder, "convert " + raw + " -resize 50% half.jpg && convert " + raw +
                    " -sample 96% near.jpg && convert " + raw +
                    " -resize 40% small.jpg && convert " + raw +
                    " -crop 1024x1024+400+400 +repage cut.jpg && " + RUGON_REPORT_BINARY +
                    " --bootstrap 0 -o out half.jpg near.jpg small.jpg cut.jpg");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto json = nlohmann::json::parse(readTextFile(folder + "/out/report.json"));
    // Scaled by a half, by 4 % (a bar of 115 rows) or to 40 % (a bar too grey to be found):
    // 117.657 nm is not their pixel size, and their whole bar is left out.
    for (int i : {0, 1, 2}) {
        const auto& scaled = json["images"][i]["setup"];
        EXPECT_EQ(scaled["length_unit"], "px") << i;
        EXPECT_GE(scaled["databar_rows"].get<int>(), i == 1 ? 115 : 60) << i;
        EXPECT_NE(scaled["metadata_notes"].dump().find("it was scaled or cut since"),
                  std::string::npos)
            << i;
        EXPECT_EQ(json["images"][i]["summary"]["subpixel_lines"], 6) << i;
    }
    // Cut: no bar is left in it, and its pixels are the microscope's.
    const auto& cut = json["images"][3]["setup"];
    EXPECT_EQ(cut["databar_rows"], 0);
    EXPECT_EQ(cut["pixel_size_nm"], 117.657);
    fs::remove_all(folder);
}

TEST(MicroscopeFiles, ADataBarAtTheTopIsLeftOutToo) {
    const std::string raw = kSem + "/mpa_N5_P440_003.bmp";
    if (!fs::exists(raw)) GTEST_SKIP() << "no " << kSem;
    if (std::system("command -v convert > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "no ImageMagick 'convert'";
    // The JEOL picture upside down: its 64-row bar at the top, its text read as lines before.
    const std::string folder = makeTempFolder();
    const RunResult run =
        runCommand(folder, "convert " + raw + " -flip top.png && " + RUGON_REPORT_BINARY +
                               " --no-region --bootstrap 0 -o out top.png " + raw);
    ASSERT_EQ(run.status, 0) << run.err;
    auto rows = summaryByFile(folder + "/out");
    EXPECT_EQ(rows["top.png"]["databar_rows"], "64");
    EXPECT_EQ(rows["top.png"]["rows_used"], "65-1024");
    EXPECT_EQ(rows["top.png"]["lines"], rows["mpa_N5_P440_003.bmp"]["lines"]);
    fs::remove_all(folder);
}
