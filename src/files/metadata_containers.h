// Taking metadata texts and the picture size out of image files without decoding their pixels:
// TIFF tags through libtiff, JPEG APP segments by walking the segment headers, and the size
// fields of BMP and PNG headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A metadata text found in a file, and where (for notes: "TIFF tag 34682", "JPEG APP7 segment at
// byte 164").
struct MetadataText {
    std::string where;
    std::string text;
};

// What a file holds.
struct ContainerContents {
    int32_t width = -1;  // picture size from the header, pixels; -1 unknown
    int32_t height = -1;
    std::vector<MetadataText> iniTexts;       // TIFF tag 34682
    std::vector<MetadataText> xmlTexts;       // TIFF tag 34683, JPEG APP segments holding XML
    std::vector<MetadataText> labelledTexts;  // TIFF tag 34118
};

// The kind of file, from its first bytes.
enum class ContainerKind { kUnknown, kTiff, kJpeg, kBmp, kPng };
ContainerKind containerKind(const unsigned char* head, size_t size);

// Reads the first directory of the TIFF file `path` through libtiff: picture size and the texts
// of tags 34682, 34683 and 34118 (byte-sized types only: ASCII, BYTE, SBYTE, UNDEFINED). The
// library's errors, and its warnings about these tags, become notes (at most a few); nothing is
// printed. Texts longer than kMaxMetadataTextBytes are passed over with a note.
void readTiffContents(const std::string& path,
                      ContainerContents& out,
                      std::vector<std::string>& notes);

// Walks the segment headers of the JPEG file `path` from its start-of-image marker up to the
// start of scan: APPn segments (n = 0..15) whose payload starts with '<' (after blanks or a
// byte-order mark) are XML texts; a start-of-frame segment gives the size. Every length is
// checked against the file size: a segment running past the end, a length below 2 or a byte
// that is not a marker ends the walk with a note, keeping what was found before it.
void readJpegContents(const std::string& path,
                      ContainerContents& out,
                      std::vector<std::string>& notes);

// The picture size from a BMP (BITMAPCOREHEADER or later) or PNG (IHDR) header; -1 when the
// header is short or the size is not 1..65536.
void readBmpSize(const unsigned char* head, size_t size, ContainerContents& out);
void readPngSize(const unsigned char* head, size_t size, ContainerContents& out);
