#include <IL/il.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "image/image_load.h"

namespace {

// Largest picture side and pixel count accepted from a file header; anything larger is taken as
// a corrupt header rather than a picture.
constexpr int64_t kMaxSide = 65536;
constexpr int64_t kMaxPixels = int64_t{1} << 28;
// Widest pixel the library delivers: four channels of eight bytes.
constexpr int64_t kMaxBytesPerPixel = 32;

// Deletes the library image it was made with when it goes out of scope, so that every return
// path leaves the library as it found it.
struct BoundImage {
    ILuint name = 0;
    BoundImage() {
        ilGenImages(1, &name);
        ilBindImage(name);
    }
    ~BoundImage() { ilDeleteImages(1, &name); }
    BoundImage(const BoundImage&) = delete;
    BoundImage& operator=(const BoundImage&) = delete;
};

// Brings the bound image to a layout whose pixels start with a grey level byte or a 16-bit
// grey level: palette images are expanded to their red-green-blue colours, and channel types
// other than 8- and 16-bit integers are converted to unsigned bytes. 8-bit and 16-bit files
// are left exactly as the library delivered them.
bool bringToByteOrShortLayout() {
    const ILint format = ilGetInteger(IL_IMAGE_FORMAT);
    const ILint type = ilGetInteger(IL_IMAGE_TYPE);
    if (format == IL_COLOUR_INDEX) {
        // Converting a palette image straight to luminance crashes DevIL 1.7.8; the red-green-
        // blue expansion keeps the row order and gives the palette colour's first channel.
        return ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE) == IL_TRUE;
    }
    if (type == IL_UNSIGNED_BYTE || type == IL_BYTE || type == IL_UNSIGNED_SHORT) return true;
    return ilConvertImage(static_cast<ILenum>(format), IL_UNSIGNED_BYTE) == IL_TRUE;
}

// True when the bound image's width, height and bytes per pixel describe a picture whose grid
// can be sized from them.
bool plausibleSize() {
    const int64_t width = ilGetInteger(IL_IMAGE_WIDTH);
    const int64_t height = ilGetInteger(IL_IMAGE_HEIGHT);
    const int64_t bytesPerPixel = ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL);
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return false;
    if (width * height > kMaxPixels) return false;
    return bytesPerPixel >= 1 && bytesPerPixel <= kMaxBytesPerPixel;
}

}  // namespace

bool loadGreyImage(const char* name, GreyImage& grid, LoadedImageInfo* info) {
    if (name == nullptr) return false;
    // Only regular files are handed to the library: a directory, pipe or device would make it
    // fail late or wait for input.
    std::error_code error;
    if (!std::filesystem::is_regular_file(name, error)) return false;

    BoundImage image;
    if (ilLoadImage(name) != IL_TRUE) return false;
    const ILint origin = ilGetInteger(IL_IMAGE_ORIGIN);
    // The sizes are checked before any conversion, which would allocate for them.
    if (!plausibleSize()) return false;
    if (!bringToByteOrShortLayout() || !plausibleSize()) return false;

    const int64_t width = ilGetInteger(IL_IMAGE_WIDTH);
    const int64_t height = ilGetInteger(IL_IMAGE_HEIGHT);
    const int64_t bytesPerPixel = ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL);
    const int64_t bytesPerChannel = ilGetInteger(IL_IMAGE_BPC);
    const int64_t dataSize = ilGetInteger(IL_IMAGE_SIZE_OF_DATA);
    const unsigned char* bytes = ilGetData();
    if (bytesPerChannel != 1 && bytesPerChannel != 2) return false;
    if (bytesPerChannel > bytesPerPixel) return false;
    const int64_t pixels = width * height;
    if (bytes == nullptr || dataSize < pixels * bytesPerPixel) return false;

    if (!grid.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height))) return false;
    const size_t stride = static_cast<size_t>(bytesPerPixel);
    const size_t count = static_cast<size_t>(pixels);
    if (bytesPerChannel == 1) {
        for (size_t i = 0; i < count; ++i) grid.data[i] = bytes[i * stride];
    } else {
        // 16-bit values are stored in the machine's byte order; their high byte puts the
        // picture on the same 0..255 scale as an 8-bit file.
        for (size_t i = 0; i < count; ++i) {
            uint16_t value = 0;
            std::memcpy(&value, bytes + i * stride, sizeof value);
            grid.data[i] = value >> 8;
        }
    }
    if (info != nullptr) info->topRowFirst = origin == IL_ORIGIN_UPPER_LEFT;
    return true;
}

bool findCoarseEdges(const char* name, double bandLevel, CoarseEdges& edges) {
    GreyImage grid;
    if (!loadGreyImage(name, grid)) return false;
    edges = locateCoarseEdges(grid, bandLevel);
    return true;
}
