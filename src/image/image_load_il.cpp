#include <IL/il.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

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

// Reads one decimal header field of a PNM file at `pos`, after white space and comments.
bool pnmField(const unsigned char* head, size_t size, size_t& pos, int64_t& value) {
    while (pos < size) {
        if (head[pos] == '#') {
            while (pos < size && head[pos] != '\n' && head[pos] != '\r') ++pos;
        } else if (std::isspace(head[pos])) {
            ++pos;
        } else {
            break;
        }
    }
    if (pos >= size || !std::isdigit(head[pos])) return false;
    value = 0;
    while (pos < size && std::isdigit(head[pos])) {
        value = value * 10 + (head[pos] - '0');
        if (value > kMaxPixels) return false;
        ++pos;
    }
    return true;
}

// True when a binary PNM file (P4, P5, P6) has a header that parses and is long enough for
// the pixels its header announces.
bool binaryPnmIsComplete(const unsigned char* head, size_t size, std::uintmax_t fileSize) {
    const char kind = static_cast<char>(head[1]);
    size_t pos = 2;
    int64_t width = 0;
    int64_t height = 0;
    int64_t maxValue = 1;
    if (!pnmField(head, size, pos, width) || !pnmField(head, size, pos, height)) return false;
    if (kind != '4' && !pnmField(head, size, pos, maxValue)) return false;
    // One white space character ends the header.
    if (pos >= size || !std::isspace(head[pos])) return false;
    ++pos;
    const int64_t bytesPerSample = maxValue > 255 ? 2 : 1;
    int64_t dataBytes = 0;
    if (kind == '4')
        dataBytes = (width + 7) / 8 * height;
    else
        dataBytes = width * height * bytesPerSample * (kind == '6' ? 3 : 1);
    return fileSize >= static_cast<std::uintmax_t>(pos) + static_cast<std::uintmax_t>(dataBytes);
}

// True when every chunk of a PNG file lies wholly inside the file, up to its IEND chunk.
bool pngIsComplete(std::FILE* file, std::uintmax_t fileSize) {
    std::uintmax_t pos = 8;  // after the signature
    for (;;) {
        unsigned char chunk[8];
        if (pos + 12 > fileSize) return false;
        if (std::fseek(file, static_cast<long>(pos), SEEK_SET) != 0) return false;
        if (std::fread(chunk, 1, sizeof chunk, file) != sizeof chunk) return false;
        const std::uintmax_t length = (std::uintmax_t{chunk[0]} << 24) |
                                      (std::uintmax_t{chunk[1]} << 16) |
                                      (std::uintmax_t{chunk[2]} << 8) | chunk[3];
        pos += 12 + length;  // length and type, data, check sum
        if (pos > fileSize) return false;
        if (std::memcmp(chunk + 4, "IEND", 4) == 0) return true;
    }
}

// DevIL 1.7.8 reads past the end of a file without noticing: on a binary PNM file whose pixel
// data ends early it frees its buffer twice and the process aborts, and on a PNG file cut
// short it can loop for ever. Such files are recognised by their content, whatever their
// names, and are only handed to the library when they are complete. Other files pass
// unchecked.
bool fileIsComplete(const char* name, std::uintmax_t fileSize) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return false;
    unsigned char head[1024];
    const size_t size = std::fread(head, 1, sizeof head, file);
    bool complete = true;
    static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= 3 && head[0] == 'P' && head[1] >= '4' && head[1] <= '6' && std::isspace(head[2]))
        complete = binaryPnmIsComplete(head, size, fileSize);
    else if (size >= 8 && std::memcmp(head, kPngSignature, 8) == 0)
        complete = pngIsComplete(file, fileSize);
    std::fclose(file);
    return complete;
}

}  // namespace

bool loadGreyImage(const char* name, GreyImage& grid, LoadedImageInfo* info) {
    if (name == nullptr) return false;
    // Only regular files are handed to the library: a directory, pipe or device would make it
    // fail late or wait for input.
    std::error_code error;
    if (!std::filesystem::is_regular_file(name, error)) return false;
    const std::uintmax_t fileSize = std::filesystem::file_size(name, error);
    if (error || fileSize == 0) return false;
    if (!fileIsComplete(name, fileSize)) return false;

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
    // The channel size must agree with the channel type: DevIL 1.7.8 reports 16-bit PNM files
    // as 16-bit but fills one byte per pixel with half of the file's samples.
    const ILint type = ilGetInteger(IL_IMAGE_TYPE);
    const int64_t typeBytes = type == IL_UNSIGNED_SHORT ? 2 : 1;
    if (bytesPerChannel != typeBytes) return false;
    if (bytesPerChannel > bytesPerPixel) return false;
    const int64_t pixels = width * height;
    if (bytes == nullptr || dataSize < pixels * bytesPerPixel) return false;

    // Filled aside, so that `grid` keeps its contents when the storage cannot be had.
    GreyImage loaded;
    if (!loaded.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height))) return false;
    const size_t stride = static_cast<size_t>(bytesPerPixel);
    const size_t count = static_cast<size_t>(pixels);
    if (bytesPerChannel == 1) {
        for (size_t i = 0; i < count; ++i) loaded.data[i] = bytes[i * stride];
    } else {
        // 16-bit values are stored in the machine's byte order; their high byte puts the
        // picture on the same 0..255 scale as an 8-bit file.
        for (size_t i = 0; i < count; ++i) {
            uint16_t value = 0;
            std::memcpy(&value, bytes + i * stride, sizeof value);
            loaded.data[i] = value >> 8;
        }
    }
    grid = std::move(loaded);
    if (info != nullptr) info->topRowFirst = origin == IL_ORIGIN_UPPER_LEFT;
    return true;
}

bool findCoarseEdges(const char* name, double bandLevel, CoarseEdges& edges) {
    GreyImage grid;
    if (!loadGreyImage(name, grid)) return false;
    edges = locateCoarseEdges(grid, bandLevel);
    return true;
}
