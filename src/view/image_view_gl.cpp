#include <GL/gl.h>
#include <GL/glu.h>
#include <IL/il.h>
#include <IL/ilu.h>

#include "view/image_view.h"
#include "view/plot_layout.h"
#include "view/window.h"

unsigned int makeTexture(const unsigned char* pixels, int width, int height, int bytesPerPixel) {
    const int textureWidth = textureSide(width);
    const int textureHeight = textureSide(height);
    if (pixels == nullptr || textureWidth < 1 || textureHeight < 1 || bytesPerPixel < 1 ||
        bytesPerPixel > 4) {
        return 0;
    }
    GLenum format = GL_LUMINANCE;
    if (bytesPerPixel == 3) format = GL_RGB;
    if (bytesPerPixel == 4) format = GL_RGBA;

    ILuint image = 0;
    ilGenImages(1, &image);
    ilBindImage(image);
    // The image library copies the pixels; the buffer stays the caller's.
    if (!ilTexImage(static_cast<ILuint>(width), static_cast<ILuint>(height), 1,
                    static_cast<ILubyte>(bytesPerPixel), format, IL_UNSIGNED_BYTE,
                    const_cast<unsigned char*>(pixels)) ||
        !iluScale(static_cast<ILuint>(textureWidth), static_cast<ILuint>(textureHeight), 1)) {
        iluDeleteImage(image);
        return 0;
    }
    const ILubyte* scaled = ilGetData();
    const ILint scaledWidth = ilGetInteger(IL_IMAGE_WIDTH);
    const ILint scaledHeight = ilGetInteger(IL_IMAGE_HEIGHT);
    if (scaled == nullptr || scaledWidth < 1 || scaledHeight < 1) {
        iluDeleteImage(image);
        return 0;
    }

    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    // The scaled rows are packed without padding. GL's default 4-byte row alignment would read
    // past the end of rows of 1 or 2 pixels (3 or 6 bytes); read them byte-aligned and put the
    // caller's setting back.
    GLint alignment = 4;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    gluBuild2DMipmaps(GL_TEXTURE_2D, bytesPerPixel, scaledWidth, scaledHeight, format,
                      GL_UNSIGNED_BYTE, scaled);
    glPixelStorei(GL_UNPACK_ALIGNMENT, alignment);
    iluDeleteImage(image);
    return texture;
}

void drawImageView(const DisplayRecord& record) {
    glViewport(15, 276, 241, 236);
    glColor3f(0.0f, 0.0f, 0.0f);
    // The caption's baseline is the top edge of the viewport (window row 512), so it stands in
    // the grey strip above the image.
    drawText(0, 512, imageCaption(record.name).c_str());

    // White, so that the default texture environment shows the texture's own colours.
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, record.texture);
    glBegin(GL_QUADS);
    for (const QuadCorner& corner : imageQuad(record.pictureTopDown)) {
        glTexCoord2f(corner.s, corner.t);
        glVertex3f(corner.x, corner.y, 0.0f);
    }
    glEnd();
    glDisable(GL_TEXTURE_2D);
}
