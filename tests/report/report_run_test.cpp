#include "report/report_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "report/report_figure.h"
#include "run_support.h"

namespace {

ReportOptions parse(std::vector<const char*> args) {
    args.insert(args.begin(), "rugon-report");
    return parseReportArguments(static_cast<int>(args.size()), args.data());
}

// A picture whose pixel (x, y) has grey level 10 * y + x, in the library's row order.
Picture rampPicture(int32_t w, int32_t h) {
    Picture p;
    p.allocate(w, h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            unsigned char* q = p.pixel(x, y);
            q[0] = q[1] = q[2] = static_cast<unsigned char>(10 * y + x);
        }
    return p;
}

}  // namespace

TEST(ReportArguments, DefaultsAreInputTxtAndTheRugonReportFolder) {
    const ReportOptions o = parse({});
    EXPECT_EQ(o.action, ReportOptions::Action::kRun);
    EXPECT_EQ(o.parameterFile, "input.txt");
    EXPECT_EQ(o.outputFolder, "rugon-report");
}

TEST(ReportArguments, FileAndOutputFolderAreTakenInAnyOrder) {
    ReportOptions o = parse({"-o", "out", "runs/params.txt"});
    EXPECT_EQ(o.action, ReportOptions::Action::kRun);
    EXPECT_EQ(o.parameterFile, "runs/params.txt");
    EXPECT_EQ(o.outputFolder, "out");
    o = parse({"p.txt", "--output=res"});
    EXPECT_EQ(o.outputFolder, "res");
    o = parse({"--output", "res2", "--", "-odd.txt"});
    EXPECT_EQ(o.action, ReportOptions::Action::kRun);
    EXPECT_EQ(o.parameterFile, "-odd.txt");
    EXPECT_EQ(o.outputFolder, "res2");
    // The folder after -o is a name, even when it looks like an option.
    o = parse({"-o", "--help"});
    EXPECT_EQ(o.action, ReportOptions::Action::kRun);
    EXPECT_EQ(o.outputFolder, "--help");
}

TEST(ReportArguments, HelpAndVersionWinOverMistakes) {
    EXPECT_EQ(parse({"--bogus", "--help"}).action, ReportOptions::Action::kHelp);
    EXPECT_EQ(parse({"a", "b", "-h"}).action, ReportOptions::Action::kHelp);
    EXPECT_EQ(parse({"--version", "-o"}).action, ReportOptions::Action::kVersion);
    EXPECT_EQ(parse({"--", "--help"}).inputs, std::vector<std::string>{"--help"});
}

TEST(ReportArguments, MistakesAreUsageErrorsThatSayWhatIsWrong) {
    const ReportOptions unknown = parse({"-x"});
    EXPECT_EQ(unknown.action, ReportOptions::Action::kUsageError);
    EXPECT_NE(unknown.error.find("-x"), std::string::npos);
    for (std::vector<const char*> bad : {std::vector<const char*>{"--kernel", "5"},
                                         {"--roi", "1,2,3"},
                                         {"--contrast", "grey"},
                                         {"--threshold", "0"},
                                         {"--pixel-size", "-1"},
                                         {"--pixel-size", "2.86e-9"},  // metres by mistake
                                         {"--first-edge-opens-line", "maybe"},
                                         {"a.txt", "b.png"}}) {
        const ReportOptions o = parse(bad);
        EXPECT_EQ(o.action, ReportOptions::Action::kUsageError) << bad[0];
        EXPECT_FALSE(o.error.empty());
    }
    EXPECT_EQ(parse({"-o"}).action, ReportOptions::Action::kUsageError);
    EXPECT_EQ(parse({"-o", ""}).action, ReportOptions::Action::kUsageError);
    EXPECT_EQ(parse({"--output="}).action, ReportOptions::Action::kUsageError);
    const ReportOptions two = parse({"a.txt", "b.txt"});
    EXPECT_EQ(two.action, ReportOptions::Action::kUsageError);
    EXPECT_NE(two.error.find("b.txt"), std::string::npos);
}

TEST(ReportPaths, ImagesAreFoundNextToTheParameterFile) {
    EXPECT_EQ(resolveImagePath("input.txt", "a.png"), "a.png");
    EXPECT_EQ(resolveImagePath("runs/input.txt", "a.png"), "runs/a.png");
    EXPECT_EQ(resolveImagePath("runs/input.txt", "sub/a.png"), "runs/sub/a.png");
    EXPECT_EQ(resolveImagePath("/data/runs/input.txt", "../a.png"), "/data/runs/../a.png");
    EXPECT_EQ(resolveImagePath("runs/input.txt", "/abs/a.png"), "/abs/a.png");
}

TEST(ReportPaths, ImageListsAsSpreadsheetsWriteThemAreRead) {
    // Excel's "CSV UTF-8": a byte order mark, capitalised names, CRLF; spaces after commas.
    const std::string folder = makeTempFolder();
    writeTextFile(folder + "/excel.csv",
                  "\xEF\xBB\xBFImage, Group\r\na.png, lot 1\r\n\r\n\"b,c.png\",lot 2\r\n");
    writeTextFile(folder + "/header.csv", "image,group\n");
    std::vector<BatchImage> images;
    std::string error;
    ASSERT_TRUE(expandInputs({folder + "/excel.csv"}, "", images, error)) << error;
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].name, "a.png");
    EXPECT_EQ(images[0].path, folder + "/a.png");
    EXPECT_EQ(images[0].group, "lot 1");
    EXPECT_EQ(images[1].name, "b,c.png");
    EXPECT_EQ(images[1].group, "lot 2");
    // A list without rows says so, rather than that no image was found in a folder.
    EXPECT_FALSE(expandInputs({folder + "/header.csv"}, "", images, error));
    EXPECT_EQ(error, "the image list \"" + folder + "/header.csv\" names no image");
    // Nor is one of two image columns chosen.
    writeTextFile(folder + "/twice.csv", "image,group,IMAGE\na.png,1,b.png\n");
    EXPECT_FALSE(expandInputs({folder + "/twice.csv"}, "", images, error));
    EXPECT_EQ(error, "the image list \"" + folder + "/twice.csv\" has two columns named image");
    // A NUL byte would end the name early: another file would be measured under it.
    writeTextFile(folder + "/nul.csv", std::string("image\na.png\0.tif\n", 16));
    EXPECT_FALSE(expandInputs({folder + "/nul.csv"}, "", images, error));
    EXPECT_EQ(error, "the image list \"" + folder + "/nul.csv\" names an image with a NUL byte");
    std::filesystem::remove_all(folder);
}

TEST(ReportPaths, PictureNamesAreNumberedAndSafe) {
    EXPECT_EQ(pictureBaseName(1, "lines.png"), "image-001-lines");
    EXPECT_EQ(pictureBaseName(12, "sub/dir/wafer 3;rm.tif"), "image-012-wafer_3_rm");
    EXPECT_EQ(pictureBaseName(1234, "a.b.pgm"), "image-1234-a.b");
    EXPECT_EQ(pictureBaseName(2, ".hidden"), "image-002-.hidden");
    EXPECT_EQ(pictureBaseName(3, "dir/"), "image-003-image");
    EXPECT_EQ(pictureBaseName(4, std::string(300, 'x') + ".png").size(), 10u + 64u);
    // Two images of the same name in different folders get different pictures.
    EXPECT_NE(pictureBaseName(1, "a/x.png"), pictureBaseName(2, "b/x.png"));
}

TEST(ReportPaths, ProgressNamesTheImageItsPlaceAndTheTime) {
    EXPECT_EQ(batchProgressText(0, 5, 0.0), "0 of 5 images done, 0.0 s elapsed");
    EXPECT_EQ(batchProgressText(2, 5, 1.26), "2 of 5 images done, 1.3 s elapsed, about 2 s left");
    EXPECT_EQ(batchProgressText(5, 5, 3.0), "5 of 5 images done, 3.0 s elapsed");
}

TEST(ReportOutputFolder, IsCreatedWithItsParentsAndMustBeAFolder) {
    const std::string base = makeTempFolder();
    std::string error;
    EXPECT_TRUE(prepareOutputFolder(base + "/a/b", error)) << error;
    EXPECT_TRUE(std::filesystem::is_directory(base + "/a/b"));
    EXPECT_TRUE(prepareOutputFolder(base + "/a/b", error));  // already there

    writeTextFile(base + "/file", "x");
    EXPECT_FALSE(prepareOutputFolder(base + "/file", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(prepareOutputFolder(base + "/file/sub", error));
    EXPECT_FALSE(prepareOutputFolder("", error));
    std::filesystem::remove_all(base);
}

TEST(ReportPicture, RowsAreTurnedUprightWhenTheFirstRowIsTheBottom) {
    const Picture p = rampPicture(4, 3);
    PanelImage upright;
    ASSERT_TRUE(fitPicture(p, false, 4, 3, upright));
    ASSERT_EQ(upright.width, 4);
    ASSERT_EQ(upright.height, 3);
    EXPECT_EQ(upright.rgb[0], 20);  // top-left shows the picture's last row
    EXPECT_EQ(upright.rgb[3 * (2 * 4 + 3)], 3);
    PanelImage asStored;
    ASSERT_TRUE(fitPicture(p, true, 4, 3, asStored));
    EXPECT_EQ(asStored.rgb[0], 0);
    EXPECT_EQ(asStored.rgb[3 * (2 * 4 + 3)], 23);
}

TEST(ReportPicture, ShrinkingKeepsOnePixelEdgeMarksAndAveragesTheGrey) {
    Picture p;
    ASSERT_TRUE(p.allocate(40, 20));
    for (int32_t y = 0; y < 20; ++y)
        for (int32_t x = 0; x < 40; ++x) {
            unsigned char* q = p.pixel(x, y);
            q[0] = q[1] = q[2] = static_cast<unsigned char>(x < 20 ? 100 : 201);
        }
    for (int32_t y = 0; y < 20; ++y) {
        unsigned char* q = p.pixel(33, y);
        q[0] = 255;
        q[1] = q[2] = 0;
    }
    // A band-started edge in blue: alone in columns 12..15; where it shares a block with a red
    // mark (columns 24..27), blue shows.
    for (int32_t y = 0; y < 20; ++y)
        for (const int32_t x : {13, 25, 26}) {
            unsigned char* q = p.pixel(x, y);
            q[0] = q[1] = 0;
            q[2] = 255;
        }
    for (int32_t y = 0; y < 20; ++y) {
        unsigned char* q = p.pixel(24, y);
        q[0] = 255;
        q[1] = q[2] = 0;
    }
    PanelImage out;
    ASSERT_TRUE(fitPicture(p, true, 10, 10, out));
    for (int32_t y = 0; y < 5; ++y)
        for (const int32_t block : {3, 6}) {
            const unsigned char* mark = &out.rgb[3 * (y * 10 + block)];
            EXPECT_EQ(mark[0], 0) << block;
            EXPECT_EQ(mark[2], 255) << block;
        }
    ASSERT_EQ(out.width, 10);  // aspect ratio kept: 40 x 20 into 10 x 10 gives 10 x 5
    ASSERT_EQ(out.height, 5);
    for (int32_t y = 0; y < 5; ++y) {
        const unsigned char* edge = &out.rgb[3 * (y * 10 + 8)];  // block of columns 32..35
        EXPECT_EQ(edge[0], 255);
        EXPECT_EQ(edge[1], 0);
        EXPECT_EQ(out.rgb[3 * (y * 10 + 1)], 100);
        EXPECT_EQ(out.rgb[3 * (y * 10 + 7)], 201);
    }
}

TEST(ReportPicture, LongNamesAreShortenedFromTheFrontToFitTheCaption) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 10, 10);
    cairo_t* cr = cairo_create(surface);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 13.0);
    const auto width = [&](const std::string& text) {
        cairo_text_extents_t e;
        cairo_text_extents(cr, text.c_str(), &e);
        return e.x_advance;
    };
    EXPECT_EQ(fittedCaption(cr, "a/b.png", 400.0), "a/b.png : SEM image");
    const std::string folders = "/work/shared/data/sem/ptl_test_analysis_lines_rot90.png";
    EXPECT_EQ(fittedCaption(cr, folders, 388.0), "ptl_test_analysis_lines_rot90.png : SEM image");
    // A name too long by itself keeps its end; "\u00b5" is two bytes and never split.
    const std::string name = std::string(60, 'x') + "\u00b5\u00b5\u00b5m_site_7.tif";
    for (const double limit : {200.0, 260.0, 300.0}) {
        const std::string caption = fittedCaption(cr, "lot/" + name, limit);
        EXPECT_LE(width(caption), limit) << caption;
        EXPECT_EQ(caption.rfind("...", 0), 0u) << caption;
        EXPECT_NE(caption.find("m_site_7.tif : SEM image"), std::string::npos) << caption;
        EXPECT_NE(static_cast<unsigned char>(caption[3]) & 0xC0, 0x80) << caption;
    }
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
}

TEST(ReportPicture, SmallPicturesAreEnlargedAndEmptyOnesRefused) {
    const Picture p = rampPicture(2, 1);
    PanelImage out;
    ASSERT_TRUE(fitPicture(p, true, 100, 100, out));
    EXPECT_EQ(out.width, 100);
    EXPECT_EQ(out.height, 50);
    EXPECT_EQ(out.rgb[0], 0);
    EXPECT_EQ(out.rgb[3 * 99], 1);
    EXPECT_FALSE(fitPicture(Picture(), true, 100, 100, out));
    EXPECT_TRUE(out.rgb.empty());
    EXPECT_FALSE(fitPicture(p, true, 0, 100, out));
}
