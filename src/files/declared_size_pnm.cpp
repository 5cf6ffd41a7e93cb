// DevIL 1.7.8 reads PNM files (P1 to P6) unsafely: a binary file whose pixel data ends early
// makes it free its buffer twice, an ASCII line holding more values than pixels remain makes it
// write past its pixel buffer, and an ASCII line of blanks without a value makes it read past
// its line buffer. Its reading is replayed here on the file's bytes, without storing pixels, and
// a file on which it would go wrong is not handed to it. The replay follows the library's own
// rules, so that it sees the same header values and the same data: header words are runs of
// letters and digits (other characters are skipped), ended by a line feed, a blank or '#'.
#include <cstdint>
#include <string>

#include "files/declared_size.h"

namespace {

constexpr int kEnd = -1;

// The file read one byte at a time, as the library reads it through the C library.
struct Cursor {
    const unsigned char* bytes;
    size_t size;
    size_t pos = 0;

    int get() { return pos < size ? bytes[pos++] : kEnd; }
    void unget() {
        if (pos > 0) --pos;
    }
};

constexpr int kPnmLineLength = 180;  // the library's line and word buffers
// Header words and data lines this long would fill the library's buffers to their last byte.
constexpr size_t kPnmLongestWord = 170;

bool isAsciiAlnum(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// One header word, as the library reads it; `last` is the word after which the pixel data
// starts immediately (the character that ends it is consumed, nothing more). False where the
// library's reading fails or its word buffer would fill.
bool pnmWord(Cursor& file, bool last, std::string& word) {
    word.clear();
    for (;;) {
        int c = 0;
        while ((c = file.get()) != kEnd && c != '\n' && c != '#' && c != ' ') {
            if (word.size() >= kPnmLongestWord) return false;
            if (isAsciiAlnum(c)) word.push_back(static_cast<char>(c));
        }
        if (c == kEnd) return false;
        if (last) return !word.empty();
        if (c == '#') {
            while ((c = file.get()) != kEnd && c != '\n') {
            }
        }
        while ((c = file.get()) == ' ') {
        }
        if (c == kEnd) return false;
        file.unget();
        if (!word.empty()) return true;
    }
}

// The value the library takes from a header word: its leading digits. False for a word without
// leading digits (the library reads 0 and fails) or with more than nine.
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
bool asciiPnmIsSafe(Cursor& file, int64_t size, int64_t bytesPerValue) {
    int64_t filled = 0;
    std::string line;
    while (filled < size) {
        line.clear();
        int c = 0;
        while ((c = file.get()) != kEnd && c != 0 && c != '\n') {
            if (static_cast<int>(line.size()) >= kPnmLineLength - 1) return false;
            line.push_back(static_cast<char>(c));
        }
        if (c == kEnd && line.empty()) return false;  // the library stops short: no picture
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

}  // namespace

DeclaredSize readPnmDeclaredSize(const unsigned char* bytes, size_t size) {
    DeclaredSize declared;
    declared.type = ImageFileType::kPnm;
    Cursor file{bytes, size};
    std::string word;
    if (!pnmWord(file, false, word) || word.size() < 2 || word[0] != 'P' || word[1] < '1' ||
        word[1] > '6') {
        declared.fault = FileFault::kUnsafeForLibrary;
        return declared;
    }
    const char kind = word[1];
    const bool bitmap = kind == '1' || kind == '4';  // no largest value in the header
    int64_t width = 0;
    int64_t height = 0;
    int64_t maxValue = 1;
    if (!pnmWord(file, false, word) || !pnmNumber(word, width) || !pnmWord(file, false, word) ||
        !pnmNumber(word, height)) {
        declared.fault = FileFault::kBadSize;
        return declared;
    }
    // Nine digits at most: the products below stay far inside 64 bits.
    declared.width = width;
    declared.height = height;
    declared.largestPixels = declared.totalPixels = width * height;
    declared.pictures = 1;
    if (!bitmap && (!pnmWord(file, true, word) || !pnmNumber(word, maxValue))) {
        declared.fault = FileFault::kUnsafeForLibrary;
        return declared;
    }
    if (kind == '4' || kind == '5' || kind == '6') {
        // Binary data: one byte per sample whatever the largest value, or eight pixels per
        // byte. The library pads a short bitmap with set bits rather than failing; it is
        // refused here too, so that a few header bytes cannot announce a huge picture.
        const int64_t data =
            kind == '4' ? (width + 7) / 8 * height : width * height * (kind == '6' ? 3 : 1);
        if (kind != '4') declared.bitsPerSample = maxValue > 255 ? 16 : 8;
        if (static_cast<uint64_t>(size - file.pos) < static_cast<uint64_t>(data))
            declared.fault = FileFault::kTruncated;
        return declared;
    }
    // The library's ASCII pixel buffer: 1 byte per grey and 3 per colour pixel; with values
    // above 255 each value takes 2 bytes and the buffer is 6 bytes per colour pixel and 4 (not
    // 2) per grey pixel.
    const bool wide = maxValue > 255;
    const int64_t bytesPerPixel =
        (kind == '3' ? 3 : 1) * (wide ? 2 : 1) * (wide && kind == '2' ? 2 : 1);
    // The replay ends at the file's end: a huge size costs no more than the file is long.
    if (!asciiPnmIsSafe(file, width * height * bytesPerPixel, wide ? 2 : 1))
        declared.fault = FileFault::kUnsafeForLibrary;
    return declared;
}
