#include <IL/il.h>
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
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

// DevIL 1.7.8 reads PNM files (P1 to P6) unsafely: a binary file whose pixel data ends early
// makes it free its buffer twice, an ASCII line holding more values than pixels remain makes it
// write past its pixel buffer, and an ASCII line of blanks without a value makes it read past
// its line buffer. Its reading is replayed here on the file, without storing pixels, and a file
// on which it would go wrong is not handed to it. The replay follows the library's own rules,
// so that it sees the same header values and the same data: header words are runs of letters
// and digits (other characters are skipped), ended by a line feed, a blank or '#'.
constexpr int kPnmLineLength = 180;  // the library's line and word buffers
// Header words and data lines this long would fill the library's buffers to their last byte.
constexpr size_t kPnmLongestWord = 170;

bool isAsciiAlnum(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// One header word, as the library reads it; `last` is the word after which the pixel data
// starts immediately (the character that ends it is consumed, nothing more). False where the
// library's reading fails or its word buffer would fill.
bool pnmWord(std::FILE* file, bool last, std::string& word) {
    word.clear();
    for (;;) {
        int c = 0;
        while ((c = std::getc(file)) != EOF && c != '\n' && c != '#' && c != ' ') {
            if (word.size() >= kPnmLongestWord) return false;
            if (isAsciiAlnum(c)) word.push_back(static_cast<char>(c));
        }
        if (c == EOF) return false;
        if (last) return !word.empty();
        if (c == '#') {
            while ((c = std::getc(file)) != EOF && c != '\n') {
            }
        }
        while ((c = std::getc(file)) == ' ') {
        }
        if (c == EOF) return false;
        std::ungetc(c, file);
        if (!word.empty()) return true;
    }
}

// The value the library takes from a header word: its leading digits. False for a word without
// leading digits (the library reads 0 and fails) or with more than nine (beyond any accepted
// size).
bool pnmNumber(const std::string& word, int64_t& value) {
    value = 0;
    size_t digits = 0;
    while (digits < word.size() && word[digits] >= '0' && word[digits] <= '9') {
        if (digits == 9) return false;
        value = value * 10 + (word[digits] - '0');
        ++digits;
    }
    return digits > 0 && value > 0;
}

// Replays the library's reading of ASCII pixel data (P1, P2, P3) from the current position:
// lines of at most 180 characters (a NUL byte also ends one), '#' lines skipped, values are
// runs of letters and digits. True when every value lands inside the `size` bytes of the
// pixel buffer and no line of blanks sends the library past the end of its line.
bool asciiPnmIsSafe(std::FILE* file, int64_t size, int64_t bytesPerValue) {
    int64_t filled = 0;
    std::string line;
    while (filled < size) {
        line.clear();
        int c = 0;
        while ((c = std::getc(file)) != EOF && c != 0 && c != '\n') {
            if (static_cast<int>(line.size()) >= kPnmLineLength - 1) return false;
            line.push_back(static_cast<char>(c));
        }
        if (c == EOF && line.empty()) return false;  // the library stops short: no picture
        if (!line.empty() && line[0] == '#') continue;
        size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && !isAsciiAlnum(static_cast<unsigned char>(line[i]))) ++i;
            if (i == line.size()) return false;  // no value before the end of the line
            while (i < line.size() && isAsciiAlnum(static_cast<unsigned char>(line[i]))) ++i;
            if (filled >= size) return false;  // a value beyond the pixel buffer
            filled += bytesPerValue;
            while (i < line.size() && !isAsciiAlnum(static_cast<unsigned char>(line[i]))) ++i;
        }
    }
    return true;
}

// True when the library can read `file` as a PNM file without going wrong: its header parses as
// the library parses it, announces a plausible size, and binary pixel data is complete (ASCII
// data is checked as above). A file that fails any of these is not a picture the library could
// deliver anyway.
bool pnmIsSafe(std::FILE* file, std::uintmax_t fileSize) {
    std::string word;
    if (!pnmWord(file, false, word) || word.size() < 2 || word[0] != 'P') return false;
    const char kind = word[1];
    if (kind < '1' || kind > '6') return false;
    const bool bitmap = kind == '1' || kind == '4';  // no largest value in the header
    int64_t width = 0;
    int64_t height = 0;
    int64_t maxValue = 1;
    if (!pnmWord(file, false, word) || !pnmNumber(word, width)) return false;
    if (!pnmWord(file, false, word) || !pnmNumber(word, height)) return false;
    if (!bitmap && (!pnmWord(file, true, word) || !pnmNumber(word, maxValue))) return false;
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels) return false;
    if (kind == '4' || kind == '5' || kind == '6') {
        // Binary data: one byte per sample whatever the largest value, or eight pixels per
        // byte. The library pads a short bitmap with set bits rather than failing; it is
        // refused here too, so that a few header bytes cannot announce a huge picture.
        const int64_t size =
            kind == '4' ? (width + 7) / 8 * height : width * height * (kind == '6' ? 3 : 1);
        const long position = std::ftell(file);
        return position >= 0 && fileSize >= static_cast<std::uintmax_t>(position) &&
               fileSize - static_cast<std::uintmax_t>(position) >=
                   static_cast<std::uintmax_t>(size);
    }
    // The library's ASCII pixel buffer: 1 byte per grey and 3 per colour pixel; with values
    // above 255 each value takes 2 bytes and the buffer is 6 bytes per colour pixel and 4 (not
    // 2) per grey pixel.
    const bool wide = maxValue > 255;
    const int64_t bytesPerPixel =
        (kind == '3' ? 3 : 1) * (wide ? 2 : 1) * (wide && kind == '2' ? 2 : 1);
    return asciiPnmIsSafe(file, width * height * bytesPerPixel, wide ? 2 : 1);
}

// True when the library takes `name` for a PNM file: by its extension (compared without regard
// to case), or, for other names, by content starting with "P1" to "P6".
bool readAsPnm(const char* name, const unsigned char* head, size_t size) {
    const char* dot = std::strrchr(name, '.');
    if (dot != nullptr) {
        static const char* const kExtensions[] = {"pbm", "pgm", "ppm", "pnm"};
        for (const char* extension : kExtensions) {
            if (strcasecmp(dot + 1, extension) == 0) return true;
        }
    }
    return size >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6';
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

// DevIL 1.7.8 reads past the end of a file without noticing: on a PNG file cut short it can
// loop for ever, and PNM files have the faults described above. Such files are recognised by
// their names and content and are only handed to the library when it can read them safely.
// Other files pass unchecked.
bool fileIsComplete(const char* name, std::uintmax_t fileSize) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return false;
    unsigned char head[8];
    const size_t size = std::fread(head, 1, sizeof head, file);
    bool complete = true;
    static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (readAsPnm(name, head, size)) {
        complete = std::fseek(file, 0, SEEK_SET) == 0 && pnmIsSafe(file, fileSize);
    } else if (size >= 8 && std::memcmp(head, kPngSignature, 8) == 0) {
        complete = pngIsComplete(file, fileSize);
    }
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
