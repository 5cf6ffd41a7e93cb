#include "files/databar.h"

#include <gtest/gtest.h>

#include <string>

#include "image_setup_samples.h"
#include "sem_samples.h"

TEST(Databar, FindsABarWithTextAtTheBottomOrTheTop) {
    const GreyImage picture = syntheticLines(512, 448);
    EXPECT_EQ(detectDatabarRows(withBar(picture, 64)), 64);
    const DatabarRows top = detectDatabar(withBar(picture, 40, true));
    EXPECT_EQ(top.top, 40);
    EXPECT_EQ(top.bottom, 0);
    EXPECT_EQ(detectDatabarRows(withBar(picture, 30, false, true, true)), 30);  // white bar
    const DatabarRows none = detectDatabar(picture);
    EXPECT_EQ(none.top, 0);
    EXPECT_EQ(none.bottom, 0);
}

TEST(Databar, PassesOverBandsThatAreNoBar) {
    const GreyImage picture = syntheticLines(512, 448);
    EXPECT_EQ(detectDatabarRows(withBar(picture, 64, false, false)), 0);  // no text in it
    EXPECT_EQ(detectDatabarRows(withBar(picture, 5)), 0);                 // a border, no bar
    EXPECT_EQ(detectDatabarRows(withBar(picture, 240)), 0);  // more than a third: a picture
    // A saturated picture of lines: every row is a bar row, so none is a bar.
    GreyImage binary = picture;
    for (size_t i = 0; i < binary.size(); ++i) binary.data[i] = binary.data[i] > 100 ? 255 : 0;
    EXPECT_EQ(detectDatabarRows(binary), 0);
}

// The JEOL images carry a 64-row bar, the desktop microscope's image a 120-row one; the crops
// and the other pictures none, at either end.
TEST(Databar, FindsTheBarsOfTheRealImagesAndNoOther) {
    if (!haveSemFolder()) GTEST_SKIP() << "no shared SEM folder";
    const std::string withBars[] = {"mpa_A1_001.bmp",      "mpa_A3_001.bmp",
                                    "mpa_A6_001.bmp",      "mpa_N5_P340_001.bmp",
                                    "mpa_N5_P440_003.bmp", "mpa_N5_P475_006.bmp"};
    for (const std::string& name : withBars) {
        GreyImage grid;
        ASSERT_TRUE(loadTopRowFirst(semFile(name), grid)) << name;
        const DatabarRows bar = detectDatabar(grid);
        EXPECT_EQ(bar.bottom, 64) << name;
        EXPECT_EQ(bar.top, 0) << name;
    }
    GreyImage grid;
    ASSERT_TRUE(loadTopRowFirst(semFile("ptl_legacy_analysis_test.jpg"), grid));
    EXPECT_EQ(detectDatabarRows(grid), 120);
    const std::string withoutBars[] = {"mpa_A1_001_crop.png",
                                       "mpa_A3_001_crop.png",
                                       "mpa_A6_001_crop.png",
                                       "mpa_N5_P340_001_crop.png",
                                       "mpa_N5_P440_003_crop.png",
                                       "mpa_N5_P475_006_crop.png",
                                       "ptl_legacy_analysis_test_crop.png",
                                       "ptl_test_analysis_lines.jpg",
                                       "ptl_test_analysis_lines_rot90.png"};
    for (const std::string& name : withoutBars) {
        ASSERT_TRUE(loadTopRowFirst(semFile(name), grid)) << name;
        const DatabarRows bar = detectDatabar(grid);
        EXPECT_EQ(bar.bottom, 0) << name;
        EXPECT_EQ(bar.top, 0) << name;
    }
}
