// Batches of generated images through the real rugon-report: the same files whatever the number
// of workers, every quality flag raised by an image made to raise it and by no clean image, and
// groups of different roughness told apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

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

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

// Every file below `folder`, by its path relative to it, with its bytes.
std::map<std::string, std::string> filesIn(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] =
                readTextFile(entry.path().string());
    return files;
}

// The rows of a CSV file keyed by the value of `keyColumn` (several rows per key kept in order).
struct CsvFile {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;

    std::string cell(const std::vector<std::string>& row, const std::string& column) const {
        const int c = columnOf(header, column);
        return c >= 0 && static_cast<size_t>(c) < row.size() ? row[static_cast<size_t>(c)] : "";
    }
    std::vector<const std::vector<std::string>*> rowsOf(const std::string& keyColumn,
                                                        const std::string& key) const {
        std::vector<const std::vector<std::string>*> found;
        for (const std::vector<std::string>& row : rows)
            if (cell(row, keyColumn) == key) found.push_back(&row);
        return found;
    }
};

CsvFile readCsv(const std::string& path) {
    CsvFile file;
    std::vector<std::vector<std::string>> rows = parseCsv(readTextFile(path));
    if (rows.empty()) return file;
    file.header = rows.front();
    file.rows.assign(rows.begin() + 1, rows.end());
    return file;
}

std::set<std::string> splitFlags(const std::string& cell) {
    std::set<std::string> flags;
    size_t start = 0;
    while (start < cell.size()) {
        const size_t end = std::min(cell.find(';', start), cell.size());
        if (end > start) flags.insert(cell.substr(start, end - start));
        start = end + 1;
    }
    return flags;
}

// Flags in JSON: a list of names, or the names joined by ';' as in the tables.
std::set<std::string> flagSet(const nlohmann::json& flags) {
    if (flags.is_string()) return splitFlags(flags.get<std::string>());
    std::set<std::string> names;
    for (const nlohmann::json& flag : flags) names.insert(flag.get<std::string>());
    return names;
}

#ifdef RUGON_HAVE_SYNTHETIC

// 256 x 512 pixels, lines 28 px wide every 64 px from column 24 (four lines), edge roughness
// 1 px with a correlation length of 20 rows, noise of 3 grey levels.
SyntheticSemSettings smallImage(uint64_t seed,
                                SyntheticContrast contrast = SyntheticContrast::kBrightEdges) {
    SyntheticSemSettings s;
    s.width = 256;
    s.height = 512;
    s.seed = seed;
    s.contrast = contrast;
    return s;
}

SyntheticSem generated(const SyntheticSemSettings& settings) {
    SyntheticSem image;
    EXPECT_TRUE(makeSyntheticSem(settings, image));
    return image;
}

void save(const SyntheticSem& image, const std::string& path) {
    ASSERT_TRUE(writePgm(image, path)) << path;
}

unsigned char& pixel(SyntheticSem& image, int32_t x, int32_t y) {
    return image
        .pixels[static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x)];
}

#endif

}  // namespace

#ifdef RUGON_HAVE_SYNTHETIC

TEST(ReportBatch, TwoWorkersWriteTheSameFilesAsOne) {
    const std::string folder = makeTempFolder();
    const SyntheticContrast contrasts[] = {SyntheticContrast::kBrightEdges,
                                           SyntheticContrast::kBrightLine,
                                           SyntheticContrast::kDarkLine};
    std::string list = "image,group\n";
    for (int i = 1; i <= 6; ++i) {
        const std::string name = "lot-" + std::to_string(i) + ".pgm";
        save(generated(smallImage(static_cast<uint64_t>(i), contrasts[i % 3])),
             folder + "/" + name);
        list += name + "," + (i <= 3 ? "first" : "second") + "\n";
    }
    writeTextFile(folder + "/junk.pgm", "P5\n256 512\n255\nnot enough pixels");
    list += "junk.pgm,second\nmissing.pgm,first\n";
    writeTextFile(folder + "/list.csv", list);

    const RunResult one = runReportIn(folder, "--jobs 1 --pixel-size 2 -o one list.csv");
    const RunResult two = runReportIn(folder, "--jobs 2 --pixel-size 2 -o two list.csv");
    EXPECT_EQ(one.status, 1) << one.err;  // the junk and the missing image are not measured
    EXPECT_EQ(two.status, 1) << two.err;

    const std::map<std::string, std::string> a = filesIn(folder + "/one");
    const std::map<std::string, std::string> b = filesIn(folder + "/two");
    // Tables, JSON, page, groups and four pictures for each of the six measured images.
    EXPECT_GE(a.size(), 8u + 6u * 4u);
    EXPECT_TRUE(a.count("groups.csv") > 0 && a.count("index.html") > 0);
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [name, bytes] : a) {
        const auto other = b.find(name);
        ASSERT_NE(other, b.end()) << name << " written by one worker only";
        EXPECT_TRUE(bytes == other->second) << name << " differs between one and two workers";
    }

    const CsvFile summary = readCsv(folder + "/two/summary.csv");
    ASSERT_EQ(summary.rows.size(), 8u);
    const char* expected[] = {"measured", "measured", "measured",   "measured",
                              "measured", "measured", "unreadable", "missing"};
    for (size_t k = 0; k < 8; ++k) {
        EXPECT_EQ(summary.cell(summary.rows[k], "image_number"), std::to_string(k + 1));
        EXPECT_EQ(summary.cell(summary.rows[k], "status"), expected[k]) << k + 1;
    }
    fs::remove_all(folder);
}

// One run over clean images of every contrast and one image made for each flag.
class FlagRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = makeTempFolder();
        const std::string& f = folder_;
        save(generated(smallImage(21)), f + "/clean-band.pgm");
        save(generated(smallImage(22, SyntheticContrast::kBrightLine)), f + "/clean-bright.pgm");
        save(generated(smallImage(23, SyntheticContrast::kDarkLine)), f + "/clean-dark.pgm");

        // A black information bar with white text blocks over the last 48 rows.
        SyntheticSem bar = generated(smallImage(24));
        for (int32_t y = bar.height - 48; y < bar.height; ++y)
            for (int32_t x = 0; x < bar.width; ++x) {
                const bool text = y >= bar.height - 40 && y < bar.height - 30 &&
                                  ((x >= 20 && x < 60) || (x >= 100 && x < 110));
                pixel(bar, x, y) = text ? 255 : 0;
            }
        save(bar, f + "/databar.pgm");

        // Rows 201..230 wiped flat across the picture: 30 of 512 rows (5.9 %) of every edge.
        SyntheticSem wiped = generated(smallImage(31));
        for (int32_t y = 200; y < 230; ++y)
            for (int32_t x = 0; x < wiped.width; ++x) pixel(wiped, x, y) = 60;
        save(wiped, f + "/wiped.pgm");

        // A flat patch at the line body's level over the first edge (columns 15..37) in rows
        // 201..240: 40 of 512 rows (7.8 %) of that edge cannot be found, 1 % of the image's
        // edge rows; the other edges are untouched.
        SyntheticSem patch = generated(smallImage(25));
        for (int32_t y = 200; y < 240; ++y)
            for (int32_t x = 14; x < 37; ++x) pixel(patch, x, y) = 80;
        save(patch, f + "/patch.pgm");

        // Pairs of rows shifted sideways by 6 px every 25 rows (40 of 512 rows) on edges of
        // 0.5 px roughness: isolated spikes far beyond three sigma of the trace.
        SyntheticSemSettings calm = smallImage(26);
        calm.roughnessSigma = 0.5;
        const SyntheticSem calmImage = generated(calm);
        SyntheticSem spikes = calmImage;
        for (int32_t y = 20; y + 1 < spikes.height; y += 25)
            for (int32_t r = y; r < y + 2; ++r)
                for (int32_t x = 0; x < spikes.width; ++x)
                    pixel(spikes, x, r) =
                        x >= 6 ? calmImage.pixels[static_cast<size_t>(r * spikes.width + x - 6)]
                               : calmImage.pixels[static_cast<size_t>(r * spikes.width)];
        save(spikes, f + "/spikes.pgm");

        // Edges of 0.1 px roughness under noise of 60 grey levels.
        SyntheticSemSettings noisy = smallImage(27);
        noisy.roughnessSigma = 0.1;
        noisy.noiseSigma = 60.0;
        save(generated(noisy), f + "/noisy.pgm");

        // Plain lines under noise of 160 grey levels on a contrast of 160: about one row in
        // twelve of every edge is found only on the mean of it and its neighbours; under noise
        // of 120, one in twenty.
        SyntheticSemSettings faint = smallImage(30, SyntheticContrast::kBrightLine);
        faint.noiseSigma = 160.0;
        save(generated(faint), f + "/faint.pgm");
        faint.noiseSigma = 120.0;
        save(generated(faint), f + "/dim.pgm");

        // 64 rows of edges whose correlation length is 100 rows.
        SyntheticSemSettings shortLines = smallImage(28);
        shortLines.height = 64;
        shortLines.correlationLength = 100.0;
        save(generated(shortLines), f + "/short.pgm");

        // Three plain lines, the first edge at column 4: it wanders within 3 px of the left
        // border; mirrored, the last edge does so at the right border.
        SyntheticSemSettings border = smallImage(29, SyntheticContrast::kBrightLine);
        border.lineCount = 3;
        border.firstEdge = 4.0;
        const SyntheticSem left = generated(border);
        save(left, f + "/border-left.pgm");
        SyntheticSem right = left;
        for (int32_t y = 0; y < right.height; ++y)
            for (int32_t x = 0; x < right.width; ++x)
                pixel(right, x, y) =
                    left.pixels[static_cast<size_t>(y * left.width + left.width - 1 - x)];
        save(right, f + "/border-right.pgm");
        // Dark plain lines, one more cut by the right border: the borders lie in different
        // phases.
        SyntheticSemSettings cut = smallImage(33, SyntheticContrast::kDarkLine);
        cut.cutLastLine = true;
        save(generated(cut), f + "/cut-step.pgm");
        // Plain lines drawn at 400 grey levels, clipped at 255: their CD reads 1.4 px wider.
        SyntheticSemSettings clipped = smallImage(34, SyntheticContrast::kBrightLine);
        clipped.bandLevel = 400.0;
        clipped.noiseSigma = 20.0;
        save(generated(clipped), f + "/clipped.pgm");

        // Band-edged lines tilted by 2 degrees (rows shifted by whole columns): 18 px of drift
        // over the 512 rows; and plain lines tilted so.
        auto tiltedCopy = [](const SyntheticSem& upright) {
            SyntheticSem tilted = upright;
            for (int32_t y = 0; y < tilted.height; ++y) {
                const int32_t shift = static_cast<int32_t>(std::lround(0.0349 * (y - 256)));
                for (int32_t x = 0; x < tilted.width; ++x)
                    pixel(tilted, x, y) = upright.pixels[static_cast<size_t>(
                        y * upright.width + std::min(upright.width - 1, std::max(0, x - shift)))];
            }
            return tilted;
        };
        const SyntheticSem tilted = tiltedCopy(generated(smallImage(30)));
        save(tilted, f + "/tilted.pgm");
        save(tiltedCopy(generated(smallImage(32, SyntheticContrast::kBrightLine))),
             f + "/tilted-steps.pgm");
        // The same picture turned by 90 degrees clockwise: horizontal lines, the same tilt.
        SyntheticSem turned = tilted;
        turned.width = tilted.height;
        turned.height = tilted.width;
        for (int32_t y = 0; y < turned.height; ++y)
            for (int32_t x = 0; x < turned.width; ++x)
                pixel(turned, x, y) =
                    tilted.pixels[static_cast<size_t>((tilted.height - 1 - x) * tilted.width + y)];
        save(turned, f + "/tilted-turned.pgm");

        run_ =
            runReportIn(f,
                        "--jobs 2 --pixel-size 2 -o out clean-band.pgm clean-bright.pgm "
                        "clean-dark.pgm databar.pgm wiped.pgm patch.pgm spikes.pgm noisy.pgm "
                        "faint.pgm dim.pgm short.pgm border-left.pgm border-right.pgm "
                        "tilted.pgm tilted-turned.pgm tilted-steps.pgm cut-step.pgm clipped.pgm");
        summary_ = readCsv(f + "/out/summary.csv");
        edges_ = readCsv(f + "/out/edges.csv");
        json_ = nlohmann::json::parse(readTextFile(f + "/out/report.json"), nullptr, false);
        page_ = readTextFile(f + "/out/index.html");
    }
    static void TearDownTestSuite() { fs::remove_all(folder_); }

    static std::set<std::string> imageFlags(const std::string& image) {
        const auto rows = summary_.rowsOf("image", image);
        EXPECT_EQ(rows.size(), 1u) << image;
        return rows.empty() ? std::set<std::string>()
                            : splitFlags(summary_.cell(*rows[0], "flags"));
    }
    // Flags of every edge of `image`, in the order of the edge table.
    static std::vector<std::set<std::string>> edgeFlagList(const std::string& image) {
        std::vector<std::set<std::string>> flags;
        for (const std::vector<std::string>* row : edges_.rowsOf("image", image))
            flags.push_back(splitFlags(edges_.cell(*row, "flags")));
        return flags;
    }

    static std::string folder_;
    static RunResult run_;
    static CsvFile summary_;
    static CsvFile edges_;
    static nlohmann::json json_;
    static std::string page_;
};
std::string FlagRun::folder_;
RunResult FlagRun::run_;
CsvFile FlagRun::summary_;
CsvFile FlagRun::edges_;
nlohmann::json FlagRun::json_;
std::string FlagRun::page_;

TEST_F(FlagRun, CleanImagesOfEveryContrastRaiseNoFlag) {
    ASSERT_EQ(run_.status, 0) << run_.err;
    for (const char* image : {"clean-band.pgm", "clean-bright.pgm", "clean-dark.pgm"}) {
        EXPECT_TRUE(imageFlags(image).empty()) << image;
        const auto edges = edgeFlagList(image);
        EXPECT_EQ(edges.size(), 8u) << image;
        for (const std::set<std::string>& flags : edges) EXPECT_TRUE(flags.empty()) << image;
    }
}

TEST_F(FlagRun, EachImageRaisesTheFlagItWasMadeFor) {
    ASSERT_EQ(run_.status, 0) << run_.err;
    const std::pair<const char*, const char*> made[] = {{"databar.pgm", "databar_found"},
                                                        {"wiped.pgm", "edge_rows_missing"},
                                                        {"spikes.pgm", "spikes_replaced"},
                                                        {"noisy.pgm", "noise_above_roughness"},
                                                        {"faint.pgm", "edges_at_detection_limit"},
                                                        {"short.pgm", "short_for_correlation"},
                                                        {"border-left.pgm", "line_touches_border"},
                                                        {"border-right.pgm", "line_touches_border"},
                                                        {"tilted.pgm", "lines_tilted"},
                                                        {"tilted-turned.pgm", "lines_tilted"},
                                                        {"cut-step.pgm", "contrast_guessed"},
                                                        {"clipped.pgm", "grey_levels_clipped"}};
    for (const auto& [image, flag] : made) {
        const std::set<std::string> flags = imageFlags(image);
        EXPECT_EQ(flags.count(flag), 1u)
            << image << " has flags " << ::testing::PrintToString(flags);
        EXPECT_EQ(flags.count("pixel_size_missing"), 0u) << image;  // given on the command line
        EXPECT_TRUE(contains(page_, flag)) << flag << " not on the page";
    }
    // Lines running right going down turn counter-clockwise: +2 degrees, turned or not, band
    // edges or steps (whose sign came out reversed: the grid's row order was read from the
    // whole-pixel analysis, which steps do not run).
    for (const char* image : {"tilted.pgm", "tilted-turned.pgm", "tilted-steps.pgm"}) {
        const auto row = summary_.rowsOf("image", image);
        ASSERT_EQ(row.size(), 1u);
        EXPECT_NEAR(std::stod(summary_.cell(*row[0], "line_tilt_deg")), 2.0, 0.1) << image;
    }
    // Its lines, narrower than its spaces, are taken as the lines.
    const auto cut = summary_.rowsOf("image", "cut-step.pgm");
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(summary_.cell(*cut[0], "contrast"), "dark-line");
    // The edges of the dimmer image are pooled in fewer rows than the flag's share.
    EXPECT_EQ(imageFlags("dim.pgm").count("edges_at_detection_limit"), 0u);
    // Noise clipped about spaces inside the scale (a quarter of the noisy image's space pixels
    // lie at 0, their median at 40) is no clipped signal.
    EXPECT_EQ(imageFlags("noisy.pgm").count("grey_levels_clipped"), 0u);
    // The bar is left out of the analysed rows, not measured as a line end.
    const auto bar = summary_.rowsOf("image", "databar.pgm");
    ASSERT_EQ(bar.size(), 1u);
    EXPECT_EQ(summary_.cell(*bar[0], "databar_rows"), "48");
}

TEST_F(FlagRun, EdgeFlagsNameTheEdgeAtFault) {
    // The wiped rows cross every edge; the patch hides rows of the first edge only, too few of
    // the image's edge rows to flag the image.
    for (const std::set<std::string>& flags : edgeFlagList("wiped.pgm"))
        EXPECT_EQ(flags.count("edge_rows_missing"), 1u);
    const auto patch = edgeFlagList("patch.pgm");
    ASSERT_EQ(patch.size(), 8u);
    EXPECT_EQ(patch[0].count("edge_rows_missing"), 1u);
    for (size_t k = 1; k < patch.size(); ++k)
        EXPECT_EQ(patch[k].count("edge_rows_missing"), 0u) << "edge " << k + 1;
    EXPECT_EQ(imageFlags("patch.pgm").count("edge_rows_missing"), 0u);
    // The shifted rows cross every edge.
    for (const std::set<std::string>& flags : edgeFlagList("spikes.pgm"))
        EXPECT_EQ(flags.count("spikes_replaced"), 1u);
    // Only the outermost edge comes near the border.
    const auto left = edgeFlagList("border-left.pgm");
    const auto right = edgeFlagList("border-right.pgm");
    ASSERT_EQ(left.size(), 6u);
    ASSERT_EQ(right.size(), 6u);
    for (size_t k = 0; k < 6; ++k) {
        EXPECT_EQ(left[k].count("line_touches_border"), k == 0 ? 1u : 0u) << "edge " << k + 1;
        EXPECT_EQ(right[k].count("line_touches_border"), k == 5 ? 1u : 0u) << "edge " << k + 1;
    }
}

TEST_F(FlagRun, JsonCarriesTheSameFlagsAsTheTables) {
    ASSERT_FALSE(json_.is_discarded());
    ASSERT_EQ(json_["images"].size(), summary_.rows.size());
    for (const nlohmann::json& image : json_["images"]) {
        const std::string name = image["image"].get<std::string>();
        EXPECT_EQ(flagSet(image["flags"]), imageFlags(name)) << name;
        const auto edges = edgeFlagList(name);
        ASSERT_EQ(image["edges"].size(), edges.size()) << name;
        for (size_t k = 0; k < edges.size(); ++k) {
            EXPECT_EQ(flagSet(image["edges"][k]["flags"]), edges[k]) << name << " edge " << k + 1;
        }
    }
}

TEST(ReportBatch, PixelSizeMissingIsRaisedOnlyWithoutOne) {
    const std::string folder = makeTempFolder();
    save(generated(smallImage(30)), folder + "/plain.pgm");
    const RunResult without = runReportIn(folder, "-o without plain.pgm");
    const RunResult with = runReportIn(folder, "--pixel-size 2 -o with plain.pgm");
    ASSERT_EQ(without.status, 0) << without.err;
    ASSERT_EQ(with.status, 0) << with.err;
    const CsvFile a = readCsv(folder + "/without/summary.csv");
    const CsvFile b = readCsv(folder + "/with/summary.csv");
    ASSERT_EQ(a.rows.size(), 1u);
    ASSERT_EQ(b.rows.size(), 1u);
    EXPECT_EQ(a.cell(a.rows[0], "flags"), "pixel_size_missing");
    EXPECT_EQ(a.cell(a.rows[0], "length_unit"), "px");
    EXPECT_EQ(b.cell(b.rows[0], "flags"), "");
    // A resolution in nm cannot hold the roll-off of a picture measured in pixels: it says so.
    const RunResult held = runReportIn(folder, "--resolution-nm 2 -o held plain.pgm");
    ASSERT_EQ(held.status, 0) << held.err;
    const CsvFile c = readCsv(folder + "/held/summary.csv");
    EXPECT_EQ(c.cell(c.rows[0], "flags"), "pixel_size_missing;setting_contradicted");
    EXPECT_EQ(c.cell(c.rows[0], "psd_xi_nm"), a.cell(a.rows[0], "psd_xi_nm"));
    fs::remove_all(folder);
}

TEST(ReportBatch, GroupsOfDifferentRoughnessHaveIntervalsApart) {
    const std::string folder = makeTempFolder();
    fs::create_directory(folder + "/lot");
    std::string list = "image,group\n";
    for (int i = 1; i <= 3; ++i) {
        for (const char* wafer : {"A", "B"}) {
            SyntheticSemSettings s =
                smallImage(static_cast<uint64_t>(wafer[0] == 'A' ? 40 + i : 50 + i));
            s.roughnessSigma = wafer[0] == 'A' ? 1.0 : 2.0;
            const std::string name =
                std::string("wafer") + wafer + "-" + std::to_string(i) + ".pgm";
            save(generated(s), folder + "/lot/" + name);
        }
    }
    for (int i : {3, 1, 2})
        for (const char* wafer : {"B", "A"})
            list += std::string("wafer") + wafer + "-" + std::to_string(i) + ".pgm,wafer" + wafer +
                    "\n";
    writeTextFile(folder + "/lot/list.csv", list);
    const RunResult byName =
        runReportIn(folder, "--pixel-size 2 --group '^(wafer[AB])-' -o by-name lot");
    const RunResult byList = runReportIn(folder, "--pixel-size 2 -o by-list lot/list.csv");
    ASSERT_EQ(byName.status, 0) << byName.err;
    ASSERT_EQ(byList.status, 0) << byList.err;

    // The folder is read in name order (A-1, A-2, A-3, B-1 ...) and the list in its own order
    // (B-3, A-3, B-1 ...); the groups are the same to the byte either way.
    const std::string groupsByName = readTextFile(folder + "/by-name/groups.csv");
    EXPECT_EQ(groupsByName, readTextFile(folder + "/by-list/groups.csv"));

    const CsvFile groups = readCsv(folder + "/by-name/groups.csv");
    ASSERT_EQ(groups.rows.size(), 2u) << groupsByName;
    const std::vector<std::string>& a = groups.rows[0];
    const std::vector<std::string>& b = groups.rows[1];
    ASSERT_EQ(groups.cell(a, "group"), "waferA");
    ASSERT_EQ(groups.cell(b, "group"), "waferB");
    for (const std::vector<std::string>* row : {&a, &b}) {
        EXPECT_EQ(groups.cell(*row, "images"), "3");
        EXPECT_EQ(groups.cell(*row, "lines"), "12");
        EXPECT_EQ(groups.cell(*row, "length_unit"), "nm");
        EXPECT_EQ(groups.cell(*row, "spectrum_images"), "3");
        EXPECT_EQ(groups.cell(*row, "spectrum_lines"), "12");
    }
    const double lwrA = std::stod(groups.cell(a, "lwr_3sigma_unbiased_nm"));
    const double ciA = std::stod(groups.cell(a, "lwr_3sigma_unbiased_ci95_nm"));
    const double lwrB = std::stod(groups.cell(b, "lwr_3sigma_unbiased_nm"));
    const double ciB = std::stod(groups.cell(b, "lwr_3sigma_unbiased_ci95_nm"));
    EXPECT_GT(ciA, 0.0);
    EXPECT_GT(ciB, 0.0);
    EXPECT_LT(lwrA + ciA, lwrB - ciB) << groupsByName;
    // Twice the edge roughness is twice the width roughness.
    EXPECT_NEAR(lwrB / lwrA, 2.0, 0.4) << groupsByName;

    const std::string page = readTextFile(folder + "/by-name/index.html");
    EXPECT_TRUE(contains(page, "id=\"groups\""));
    EXPECT_TRUE(contains(page, "waferA") && contains(page, "waferB"));
    fs::remove_all(folder);
}

TEST(ReportBatch, AGroupMixingPixelsAndNanometresOrWithoutAMeasuredImageIsNotPooled) {
    // m-1 has its pixel size beside it, m-2 and p-1, p-2 none: group m would add px to nm.
    const std::string folder = makeTempFolder();
    for (const char* name : {"m-1", "m-2", "p-1", "p-2"})
        save(generated(smallImage(static_cast<uint64_t>(name[2]))), folder + "/" + name + ".pgm");
    writeTextFile(folder + "/m-1.txt", "PixelSize=2 nm\n");
    // q-1 is missing: its group has no measured image; p-3 is missing from group p.
    const RunResult run = runReportIn(
        folder, "--group '^([mpq])-' -o out m-1.pgm m-2.pgm p-1.pgm p-2.pgm p-3.pgm q-1.pgm");
    ASSERT_EQ(run.status, 1) << run.err;
    const CsvFile groups = readCsv(folder + "/out/groups.csv");
    ASSERT_EQ(groups.rows.size(), 3u);
    EXPECT_EQ(groups.cell(groups.rows[2], "images"), "0");
    EXPECT_EQ(groups.cell(groups.rows[2], "length_unit"), "");
    const std::vector<std::string>& mixed = groups.rows[0];
    const std::vector<std::string>& pixels = groups.rows[1];
    EXPECT_EQ(groups.cell(mixed, "images"), "2");
    EXPECT_EQ(groups.cell(mixed, "lines"), "8");
    EXPECT_EQ(groups.cell(mixed, "length_unit"), "");
    for (const char* figure : {"cd_mean_nm", "cdu_3sigma_nm", "lwr_3sigma_unbiased_nm"}) {
        EXPECT_EQ(groups.cell(mixed, figure), "") << figure;
        EXPECT_NE(groups.cell(pixels, figure), "") << figure;
    }
    EXPECT_EQ(groups.cell(pixels, "length_unit"), "px");
    EXPECT_NEAR(std::stod(groups.cell(pixels, "cd_mean_nm")), 28.0, 2.0);  // drawn 28 px
    const auto json = nlohmann::json::parse(readTextFile(folder + "/out/report.json"));
    ASSERT_EQ(json["groups"].size(), 3u);
    EXPECT_EQ(json["groups"][2]["reasons"]["cd_mean_nm"], "no image of the group was measured");
    EXPECT_TRUE(json["groups"][0]["cd_mean_nm"].is_null());
    EXPECT_TRUE(contains(json["groups"][0]["reasons"]["cd_mean_nm"].get<std::string>(),
                         "1 of its 2 images has no pixel size"));
    EXPECT_TRUE(json["groups"][1]["reasons"].empty());
    // What group p's figures leave out is said, and over how many rows its spectra pooled.
    EXPECT_EQ(json["groups"][1]["notes"][0],
              "1 of its 3 images not measured (missing, unreadable or without a line): in none "
              "of its figures");
    EXPECT_GT(std::stoi(groups.cell(pixels, "spectrum_rows")), 100);
    EXPECT_EQ(json["groups"][1]["cd_mean_nm"].get<double>(),
              std::stod(groups.cell(pixels, "cd_mean_nm")));
    // The page says why, and plots the group in px.
    const std::string page = readTextFile(folder + "/out/index.html");
    EXPECT_TRUE(contains(page, "m: 1 of its 2 images has no pixel size"));
    EXPECT_TRUE(contains(page, "p: 1 of its 3 images not measured"));
    EXPECT_TRUE(contains(page, "Comparison of the groups"));
    fs::remove_all(folder);
}

#else

TEST(ReportBatch, NeedsTheImageGenerator) { GTEST_SKIP() << "built without rugon_synthetic"; }

#endif
