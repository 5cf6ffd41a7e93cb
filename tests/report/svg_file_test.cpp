#include "report/svg_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "run_support.h"

TEST(SvgFile, ProcessWideIdsAreRenumberedInOrderOfFirstUse) {
    const std::string svg =
        "<svg><defs><g id=\"glyph0-1\"/><image id=\"image154\" width=\"2\"/>"
        "<g id=\"surface151\"><use xlink:href=\"#glyph0-1\"/></g></defs>"
        "<g id=\"surface150\" clip-path=\"url(#clip3)\"><use xlink:href=\"#image154\"/>"
        "<use xlink:href=\"#surface151\"/><use xlink:href=\"#image9\"/></g></svg>";
    EXPECT_EQ(withDocumentIds(svg),
              "<svg><defs><g id=\"glyph0-1\"/><image id=\"image1\" width=\"2\"/>"
              "<g id=\"surface1\"><use xlink:href=\"#glyph0-1\"/></g></defs>"
              "<g id=\"surface2\" clip-path=\"url(#clip3)\"><use xlink:href=\"#image1\"/>"
              "<use xlink:href=\"#surface1\"/><use xlink:href=\"#image2\"/></g></svg>");
    // Names that only begin like an id, and text without ids, pass unchanged.
    EXPECT_EQ(withDocumentIds("<g id=\"surface\"/><a href=\"#imageX\"/>#"),
              "<g id=\"surface\"/><a href=\"#imageX\"/>#");
}

TEST(SvgFile, TheSameDrawingGivesTheSameBytesWhateverWasDrawnBefore) {
    const std::string folder = makeTempFolder();
    auto square = [](cairo_t* cr) {
        cairo_surface_t* picture = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 4, 4);
        cairo_set_source_surface(cr, picture, 10, 10);
        cairo_paint(cr);
        cairo_surface_destroy(picture);
        cairo_rectangle(cr, 1, 1, 5, 5);
        cairo_fill(cr);
    };
    ASSERT_TRUE(writeSvgFile(folder + "/a.svg", 40, 30, square));
    // Surfaces made in between advance Cairo's process-wide numbering.
    for (int i = 0; i < 5; ++i)
        cairo_surface_destroy(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1));
    ASSERT_TRUE(writeSvgFile(folder + "/b.svg", 40, 30, square));
    const std::string a = readTextFile(folder + "/a.svg");
    EXPECT_NE(a.find("id=\"surface1\""), std::string::npos) << a;
    EXPECT_EQ(a, readTextFile(folder + "/b.svg"));
    EXPECT_FALSE(writeSvgFile(folder + "/no-such-folder/c.svg", 40, 30, square));
    std::filesystem::remove_all(folder);
}
