#include "files/image_region.h"

#include <gtest/gtest.h>

#include <string>

#include "image_setup_samples.h"
#include "sem_samples.h"

TEST(LineRows, LinesCrossingThePictureKeepEveryRow) {
    const SyntheticContrast contrasts[] = {SyntheticContrast::kBrightEdges,
                                           SyntheticContrast::kBrightLine,
                                           SyntheticContrast::kDarkLine};
    for (SyntheticContrast contrast : contrasts) {
        const GreyImage grid = syntheticLines(640, 480, contrast);
        RowRange rows = detectLineRows(grid);
        EXPECT_EQ(rows.first, 1);
        EXPECT_EQ(rows.last, 480);
        // Tilted by about 2 degrees: the edges at the border stand 8 columns off those in the
        // middle, which is no line end.
        rows = detectLineRows(sheared(grid, 30));
        EXPECT_EQ(rows.first, 1);
        EXPECT_EQ(rows.last, 480);
        rows = detectLineRows(withBar(grid, 40));
        EXPECT_EQ(rows.first, 1);
        EXPECT_EQ(rows.last, 480);
    }
}

TEST(LineRows, LineEndsInsideThePictureAreCutAway) {
    SyntheticSem drawn;
    GreyImage grid = syntheticLines(640, 480, SyntheticContrast::kBrightLine, &drawn);
    paintBackground(grid, 0, 639, 0, 70, 110.0, 8.0, 1);
    paintBackground(grid, 0, 639, 430, 480, 110.0, 8.0, 2);
    RowRange rows = detectLineRows(grid);
    EXPECT_GE(rows.first, 71);
    EXPECT_LE(rows.first, 80);
    EXPECT_LE(rows.last, 430);
    EXPECT_GE(rows.last, 421);

    // Each line ends at its own row: the rows kept are those where every line runs.
    grid = syntheticLines(640, 480, SyntheticContrast::kDarkLine, &drawn);
    int32_t lastEnd = 0;
    for (size_t i = 0; i + 1 < drawn.edges.size(); i += 2) {
        const int32_t end = 30 + 12 * static_cast<int32_t>(i);
        const int32_t left = static_cast<int32_t>(drawn.edges[i].nominal) - 6;
        const int32_t right = static_cast<int32_t>(drawn.edges[i + 1].nominal) + 6;
        paintBackground(grid, left, right, 0, end, 170.0, 8.0, static_cast<uint32_t>(i));
        lastEnd = end;
    }
    rows = detectLineRows(grid);
    EXPECT_GE(rows.first, lastEnd + 1);
    EXPECT_LE(rows.first, lastEnd + 10);
    EXPECT_EQ(rows.last, 480);
}

TEST(LineRows, ParticlesAtTheBorderAreNoLineEnd) {
    GreyImage grid = syntheticLines(640, 480, SyntheticContrast::kBrightEdges);
    // Round bright lumps, 30 pixels across, cut by the top border, over lines and spaces.
    for (int32_t lump = 0; lump < 8; ++lump) {
        const int32_t cx = 30 + 75 * lump;
        const int32_t cy = 5;
        for (int32_t y = 0; y < cy + 15; ++y) {
            for (int32_t x = cx - 15; x <= cx + 15; ++x) {
                const int32_t r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                if (r2 <= 225) grid.at(x, y) = 240.0 - r2 / 5.0;
            }
        }
    }
    const RowRange rows = detectLineRows(grid);
    EXPECT_EQ(rows.first, 1);
    EXPECT_EQ(rows.last, 480);
}

TEST(LineRows, CutsTheLineEndsOfTheRealImagesOnly) {
    if (!haveSemFolder()) GTEST_SKIP() << "no shared SEM folder";
    GreyImage grid;
    // Lines from row ~120 to ~1920 with rounded ends; their edges run straight from about row
    // 155 to row 1890. The 120-row bar below is left out.
    ASSERT_TRUE(loadTopRowFirst(semFile("ptl_legacy_analysis_test.jpg"), grid));
    RowRange rows = detectLineRows(grid);
    EXPECT_GE(rows.first, 130);
    EXPECT_LE(rows.first, 200);
    EXPECT_GE(rows.last, 1840);
    EXPECT_LE(rows.last, 1910);
    // Bar ends at rows ~50-85 and ~875-920.
    ASSERT_TRUE(loadTopRowFirst(semFile("ptl_test_analysis_lines_rot90.png"), grid));
    rows = detectLineRows(grid);
    EXPECT_GE(rows.first, 86);
    EXPECT_LE(rows.first, 140);
    EXPECT_GE(rows.last, 810);
    EXPECT_LE(rows.last, 874);

    const std::string crossing[] = {"mpa_A1_001.bmp",
                                    "mpa_A1_001_crop.png",
                                    "mpa_A3_001.bmp",
                                    "mpa_A3_001_crop.png",
                                    "mpa_A6_001.bmp",
                                    "mpa_A6_001_crop.png",
                                    "mpa_N5_P340_001.bmp",
                                    "mpa_N5_P340_001_crop.png",
                                    "mpa_N5_P440_003.bmp",
                                    "mpa_N5_P440_003_crop.png",
                                    "mpa_N5_P475_006.bmp",
                                    "mpa_N5_P475_006_crop.png",
                                    "ptl_legacy_analysis_test_crop.png"};
    for (const std::string& name : crossing) {
        ASSERT_TRUE(loadTopRowFirst(semFile(name), grid)) << name;
        rows = detectLineRows(grid);
        EXPECT_EQ(rows.first, 1) << name;
        EXPECT_EQ(rows.last, name == "ptl_legacy_analysis_test_crop.png" ? 1024 : 960) << name;
    }
}

TEST(LineRows, LinesWithABandAtEachEdgeEndInsideThePicture) {
    // Two lines end, one above row 60 and one below row 400, each closed by a band across its
    // end as the microscope shows it. Their bodies differ from the background by less than the
    // bands do, so each end shows as two narrow bands joined by a weaker run.
    SyntheticSem drawn;
    GreyImage grid = syntheticLines(640, 480, SyntheticContrast::kBrightEdges, &drawn);
    const double band = drawn.settings.bandLevel;
    const double space = drawn.settings.backgroundLevel;
    const auto endLine = [&](size_t line, int32_t from, int32_t to, int32_t bandRow) {
        const int32_t left = static_cast<int32_t>(drawn.edges[2 * line].nominal) - 2;
        const int32_t right = static_cast<int32_t>(drawn.edges[2 * line + 1].nominal) + 2;
        paintBackground(grid, left, right, from, to, space, 3.0, static_cast<uint32_t>(line));
        paintBackground(grid, left + 2, right - 2, bandRow, bandRow + 4, band, 3.0, 9);
    };
    endLine(2, 0, 60, 60);
    endLine(5, 400, 480, 396);
    const RowRange rows = detectLineRows(grid);
    EXPECT_GE(rows.first, 65);
    EXPECT_LE(rows.first, 75);
    EXPECT_GE(rows.last, 385);
    EXPECT_LE(rows.last, 395);
}

TEST(LineRows, BlankStripsAtTheTopOrBottomAreLeftOut) {
    // A black strip below the pattern (the scan stopped) and a white one above it (a bar
    // without marks): no row there shows the lines, whatever the contrast.
    const SyntheticContrast contrasts[] = {SyntheticContrast::kBrightEdges,
                                           SyntheticContrast::kBrightLine,
                                           SyntheticContrast::kDarkLine};
    for (SyntheticContrast contrast : contrasts) {
        GreyImage grid = syntheticLines(640, 480, contrast);
        paintBackground(grid, 0, 639, 0, 30, 250.0, 3.0, 1);
        paintBackground(grid, 0, 639, 430, 480, 5.0, 3.0, 2);
        const RowRange rows = detectLineRows(grid);
        EXPECT_GE(rows.first, 31) << static_cast<int>(contrast);
        EXPECT_LE(rows.first, 40) << static_cast<int>(contrast);
        EXPECT_GE(rows.last, 420) << static_cast<int>(contrast);
        EXPECT_LE(rows.last, 430) << static_cast<int>(contrast);
    }
}
