// rugon (under a virtual X server) and rugon-report on the same images: every figure rugon prints
// equals the matching CSV value printed at rugon's precision.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "report_support.h"
#include "run_support.h"

namespace {

double number(const std::string& cell) { return std::strtod(cell.c_str(), nullptr); }

// rugon's console text cut into the blocks that start with "Image : <name>".
std::vector<std::string> imageBlocks(const std::string& out) {
    std::vector<std::string> blocks;
    for (const std::string& line : splitLines(out)) {
        if (line.rfind("Image : ", 0) == 0) blocks.emplace_back();
        if (!blocks.empty()) blocks.back() += line + "\n";
    }
    return blocks;
}

}  // namespace

TEST(ReportAgainstRugon, EveryPrintedFigureEqualsTheCsvValueAtThePrintedPrecision) {
    const std::string folder = makeTempFolder();
    ASSERT_TRUE(writeLineImage(folder + "/a.pgm", 256, 512, 3, 11));
    ASSERT_TRUE(writeLineImage(folder + "/b.pgm", 320, 480, 4, 12));
    ASSERT_TRUE(writePgm(folder + "/flat.pgm", 64, 64, std::vector<unsigned char>(64 * 64, 90)));
    RunSettings settings;
    settings.pixelSize = "0.75";
    const std::vector<Entry> entries = {
        {"a.pgm", "s"}, {"b.pgm", "l"}, {"flat.pgm", "s"}, {"gone.pgm", "s"}, {"a.pgm", "s"}};
    writeTextFile(folder + "/input.txt", parameterFile(entries, settings));

    const RunResult report = runCommand(folder, RUGON_REPORT_BINARY);
    ASSERT_EQ(report.status, 1) << report.err;
    const RunResult rugon = runRugon(folder);
    ASSERT_EQ(rugon.status, 0) << rugon.err;

    const auto summary = parseCsv(readTextFile(folder + "/rugon-report/summary.csv"));
    const auto edges = parseCsv(readTextFile(folder + "/rugon-report/edges.csv"));
    const auto& h = summary[0];
    const std::vector<std::string> blocks = imageBlocks(rugon.out);
    ASSERT_EQ(blocks.size(), 5u) << rugon.out;
    if (rugon.out.find("Results:") == std::string::npos)
        GTEST_SKIP() << "rugon prints no results report yet:\n" << rugon.out;

    for (size_t i = 1; i < summary.size(); ++i) {
        const std::vector<std::string>& row = summary[i];
        const std::string& block = blocks[i - 1];
        const std::string& name = row[columnOf(h, "image")];
        SCOPED_TRACE(name + "\n" + block);
        EXPECT_EQ(block.rfind("Image : " + name + "\n", 0), 0u);
        const std::string status = row[columnOf(h, "status")];

        std::string expected;
        for (const auto& edge : edges) {
            // Sub-pixel edges that no whole-pixel edge matches have no edge number.
            if (edge[0] != row[0] || edge[2].empty()) continue;
            char line[160];
            std::snprintf(line, sizeof line, "<x(%s)>= %.3f ( %.3f )nm\n", edge[2].c_str(),
                          number(edge[columnOf(edges[0], "mean_position_nm")]),
                          number(edge[columnOf(edges[0], "spread_nm")]));
            expected += line;
        }
        if (status == "measured") {
            auto v = [&](const char* column) { return number(row[columnOf(h, column)]); };
            char text[512];
            std::snprintf(text, sizeof text,
                          "Image: %s\nResults: CD_average=%.2fnm CD_variation=%.2fnm\n"
                          "\t3sigma_LWR=%.2f(%.2f)nm 3sigma_LWR_inf=%.2fnm\n\ta=%.3f, "
                          "ksi=%.2fnm\n\tskewness=%.2f kyrtosis=%.2f\n",
                          name.c_str(), v("cd_average_nm"), v("cd_variation_nm"),
                          v("lwr_3sigma_nm"), v("lwr_3sigma_spread_nm"),
                          v("lwr_3sigma_infinite_nm"), v("a"), v("ksi_nm"), v("skewness_mean"),
                          v("kurtosis_mean"));
            expected += text;
        } else if (status == "no_line") {
            expected += "Image: " + name + "\nResults: no line measured (" +
                        row[columnOf(h, "edges_found")] + " edges found)\n";
        }
        EXPECT_EQ(block, "Image : " + name + "\n" + expected + "\n");
    }
    std::filesystem::remove_all(folder);
}
