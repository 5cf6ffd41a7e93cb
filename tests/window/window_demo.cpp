// Opens the result window on a display record built here, so that the window can be checked
// without the analysis. Before the window loop it checks the textures that makeTexture builds.
//
//   window_demo [plots|degenerate]
//
// plots       a 200 x 160 picture, top row first, grey 64 with red marks (a 40 x 20 block in
//             the top-left corner, 4-pixel-wide lines at columns 98..101 and 148..151), and
//             known series for the three plots.
// degenerate  a 1 x 1 picture, a name of 300 characters, empty and non-finite series.
//
// Exits with status 3 when a texture check fails; otherwise runs the window until Escape.
#include <GL/gl.h>
#include <IL/il.h>
#include <IL/ilu.h>
#include <IL/ilut.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "image/picture.h"
#include "run/result_store.h"
#include "view/image_view.h"
#include "view/window.h"

namespace {

ResultStore gStore;
int gFailures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "window_demo: %s\n", what);
        ++gFailures;
    }
}

Series seriesOf(std::initializer_list<double> values) {
    Series s;
    s.allocate(static_cast<int32_t>(values.size()));
    int32_t i = 0;
    for (double v : values) s[i++] = v;
    return s;
}

// Level-0 texels of the bound texture, `components` bytes each, rows packed.
std::vector<unsigned char> boundTexels(int components) {
    GLint width = 0;
    GLint height = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
    std::vector<unsigned char> texels(static_cast<size_t>(width * height * components));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    const GLenum format = components == 3 ? GL_RGB : (components == 4 ? GL_RGBA : GL_LUMINANCE);
    if (!texels.empty()) glGetTexImage(GL_TEXTURE_2D, 0, format, GL_UNSIGNED_BYTE, texels.data());
    return texels;
}

void boundSize(int& width, int& height) {
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
}

// Tiny pictures, whose rows are not 4-byte aligned, and invalid calls.
void checkSmallTextures() {
    const unsigned char red[3] = {255, 0, 0};
    unsigned int texture = makeTexture(red, 1, 1, 3);
    check(texture != 0, "1 x 1 RGB picture gave no texture");
    int width = 0;
    int height = 0;
    boundSize(width, height);
    check(width == 1 && height == 1, "1 x 1 picture did not give a 1 x 1 texture");
    std::vector<unsigned char> texels = boundTexels(3);
    check(texels.size() == 3 && texels[0] == 255 && texels[1] == 0 && texels[2] == 0,
          "1 x 1 red picture did not give a red texel");

    // 3 x 3 RGB: rows of 9 bytes, scaled to 2 x 2 (rows of 6 bytes).
    unsigned char three[27];
    for (int i = 0; i < 9; ++i) {
        three[3 * i] = 200;
        three[3 * i + 1] = 10;
        three[3 * i + 2] = 20;
    }
    texture = makeTexture(three, 3, 3, 3);
    check(texture != 0, "3 x 3 RGB picture gave no texture");
    boundSize(width, height);
    check(width == 2 && height == 2, "3 x 3 picture did not give a 2 x 2 texture");
    texels = boundTexels(3);
    for (size_t i = 0; i + 2 < texels.size(); i += 3) {
        check(texels[i] == 200 && texels[i + 1] == 10 && texels[i + 2] == 20,
              "3 x 3 uniform picture gave a texel of another colour");
    }

    const unsigned char grey[5] = {90, 90, 90, 90, 90};
    texture = makeTexture(grey, 5, 1, 1);
    check(texture != 0, "5 x 1 luminance picture gave no texture");
    boundSize(width, height);
    check(width == 4 && height == 1, "5 x 1 picture did not give a 4 x 1 texture");

    const unsigned char rgba[8] = {0, 0, 255, 255, 0, 0, 255, 255};
    check(makeTexture(rgba, 1, 2, 4) != 0, "1 x 2 RGBA picture gave no texture");

    check(makeTexture(nullptr, 4, 4, 3) == 0, "a null buffer gave a texture");
    check(makeTexture(red, 0, 1, 3) == 0, "a width of 0 gave a texture");
    check(makeTexture(red, 1, 1, 5) == 0, "5 bytes per pixel gave a texture");
}

std::unique_ptr<DisplayRecord> plotsRecord() {
    Picture picture;
    picture.allocate(200, 160);
    for (int32_t y = 0; y < picture.height; ++y) {
        for (int32_t x = 0; x < picture.width; ++x) {
            const bool red = (y < 20 && x < 40) || (x >= 98 && x <= 101) || (x >= 148 && x <= 151);
            unsigned char* p = picture.pixel(x, y);
            p[0] = red ? 255 : 64;
            p[1] = red ? 0 : 64;
            p[2] = red ? 0 : 64;
        }
    }
    auto record = std::make_unique<DisplayRecord>();
    record->name = "demo/lines_top_row_first.png";
    record->texture = makeTexture(picture.bytes, picture.width, picture.height, 3);
    record->pictureTopDown = true;
    check(record->texture != 0, "the 200 x 160 picture gave no texture");
    int width = 0;
    int height = 0;
    boundSize(width, height);
    check(width == 128 && height == 128, "200 x 160 picture did not give a 128 x 128 texture");
    const std::vector<unsigned char> texels = boundTexels(3);
    // Texture row 0 is buffer row 0: the red block is at its start, grey at its last row.
    check(texels.size() == 128 * 128 * 3 && texels[0] == 255 && texels[1] == 0,
          "texture row 0 does not start with the red block");
    check(texels.size() == 128 * 128 * 3 && texels[127 * 128 * 3] == 64,
          "the last texture row does not start with grey");

    record->logLag.allocate(50);
    record->logHhcf.allocate(50);
    for (int r = 1; r <= 50; ++r) {
        record->logLag[r - 1] = std::log10(static_cast<double>(r));
        record->logHhcf[r - 1] = 0.5 * std::log10(static_cast<double>(r));
    }
    record->fitLogLag = seriesOf({0.0, 1.7});
    record->fitLogHhcf = seriesOf({-0.3, 0.55});
    record->lengthNm = seriesOf({640.0, 480.0, 320.0, 160.0});
    record->sigmaUncertaintyPct = seriesOf({5.0, 7.0, 10.0, 14.0});
    record->lwr3Sigma = seriesOf({3.0, 2.8, 2.5, 2.0});
    record->cdVariation3Sigma = seriesOf({1.0, 1.2, 1.5, 1.9});
    record->lwr3SigmaInfinite = seriesOf({3.2});
    return record;
}

std::unique_ptr<DisplayRecord> degenerateRecord() {
    const unsigned char pixel[3] = {128, 128, 128};
    auto record = std::make_unique<DisplayRecord>();
    record->name = std::string(300, 'x');
    record->texture = makeTexture(pixel, 1, 1, 3);
    record->pictureTopDown = true;
    record->logLag = seriesOf({0.0});
    record->logHhcf = seriesOf({-INFINITY});
    record->sigmaUncertaintyPct = seriesOf({NAN});
    record->lwr3SigmaInfinite = seriesOf({INFINITY});
    return record;
}

}  // namespace

int main(int argc, char** argv) {
    const bool degenerate = argc > 1 && std::strcmp(argv[1], "degenerate") == 0;
    initWindow(&argc, argv);
    ilInit();
    iluInit();
    ilutRenderer(ILUT_OPENGL);

    checkSmallTextures();
    gStore.displayRecords.push_back(degenerate ? degenerateRecord() : plotsRecord());
    if (gFailures > 0) return 3;

    setShownStore(&gStore);
    std::printf("window_demo: showing the %s record\n", degenerate ? "degenerate" : "plots");
    std::fflush(stdout);
    runWindowLoop();
    return 0;
}
