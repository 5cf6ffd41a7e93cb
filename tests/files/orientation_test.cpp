#include "files/orientation.h"

#include <gtest/gtest.h>

#include <string>

#include "image_setup_samples.h"
#include "sem_samples.h"

TEST(Orientation, TellsVerticalFromHorizontalLinesOfEveryContrast) {
    const SyntheticContrast contrasts[] = {SyntheticContrast::kBrightEdges,
                                           SyntheticContrast::kBrightLine,
                                           SyntheticContrast::kDarkLine};
    for (SyntheticContrast contrast : contrasts) {
        const GreyImage vertical = syntheticLines(600, 400, contrast);
        EXPECT_FALSE(linesAreHorizontal(vertical));
        EXPECT_TRUE(linesAreHorizontal(transposed(vertical)));
        // The bar's edge is a strong horizontal edge across the whole picture; it is left out.
        EXPECT_FALSE(linesAreHorizontal(withBar(vertical, 48)));
        EXPECT_TRUE(linesAreHorizontal(withBar(transposed(vertical), 48)));
        // Tilted by about 2 degrees.
        EXPECT_FALSE(linesAreHorizontal(sheared(vertical, 30)));
    }
    GreyImage flat;
    ASSERT_TRUE(flat.allocate(64, 64));
    for (size_t i = 0; i < flat.size(); ++i) flat.data[i] = 100.0;
    EXPECT_FALSE(linesAreHorizontal(flat));  // no direction: taken as vertical
}

// Only the picture of horizontal bars is horizontal; the images with their bars included.
TEST(Orientation, FindsTheOneHorizontalRealImage) {
    if (!haveSemFolder()) GTEST_SKIP() << "no shared SEM folder";
    const std::string names[] = {"mpa_A1_001.bmp",
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
                                 "ptl_legacy_analysis_test.jpg",
                                 "ptl_legacy_analysis_test_crop.png",
                                 "ptl_test_analysis_lines.jpg",
                                 "ptl_test_analysis_lines_rot90.png"};
    for (const std::string& name : names) {
        GreyImage grid;
        ASSERT_TRUE(loadTopRowFirst(semFile(name), grid)) << name;
        EXPECT_EQ(linesAreHorizontal(grid), name == "ptl_test_analysis_lines.jpg") << name;
    }
}
