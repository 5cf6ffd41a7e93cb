// The pixel size and the information bar's height that a microscope wrote into an image file or
// into a side-car text next to it.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// Where a pixel size came from. kOption and kParameterFile are set by the caller; the others by
// readFileMetadata.
enum class PixelSizeSource { kNone, kOption, kParameterFile, kTiffIni, kXml, kTiffText, kSidecar };

// "none", "option", "parameter file", "tiff-ini", "xml", "tiff-text", "sidecar".
const char* pixelSizeSourceName(PixelSizeSource source);

struct FileMetadata {
    // nm per pixel along a row; NaN when no form gives a plausible one.
    double pixelSizeNm = std::numeric_limits<double>::quiet_NaN();
    // nm per pixel down a column, from the same source, when it gives it apart (TIFF INI
    // PixelHeight, XML pixelHeight); NaN otherwise (then take pixels as square).
    double pixelHeightNm = std::numeric_limits<double>::quiet_NaN();
    PixelSizeSource source = PixelSizeSource::kNone;  // the form that gave pixelSizeNm
    int32_t databarRows = -1;  // rows of the information bar at the bottom; -1 unknown
    PixelSizeSource databarSource = PixelSizeSource::kNone;  // the form that gave databarRows
    int32_t fileWidth = -1;  // picture size read from the file's header, pixels; -1 unknown
    int32_t fileHeight = -1;
    // One line per damaged, absurd or disagreeing value, and per form that could not be read.
    std::vector<std::string> notes;
};

// Reads every metadata form of the image file `path` and of its side-car text (the same name
// with the extension replaced by ".txt", in the same folder). Pixel size, first plausible one
// wins, in this order:
//   1. TIFF tag 34682, INI text: [Scan] PixelWidth (PixelHeight), metres;
//   2. XML in TIFF tag 34683 or in a JPEG APP segment: pixelWidth (pixelHeight) with their unit;
//   3. TIFF tag 34118, text: the value after AP_IMAGE_PIXEL_SIZE ("Image Pixel Size = 2.3 nm");
//   4. the side-car: PixelSize= (nm), else $$SM_MICRON_MARKER / $$SM_MICRON_BAR.
// Plausible: kMinPixelSizeNm .. kMaxPixelSizeNm (metadata_forms.h); anything else (negative,
// zero, NaN, infinite, absurdly large) is noted and the next form is tried. When two forms give
// plausible sizes more than 1 % apart, a note says so. Information bar, first usable wins: the
// XML's databarHeight, then the side-car's $CM_FULL_SIZE height against the picture height
// (bar = picture height - full height). A bar must leave at least half of the picture; one that
// does not is noted and ignored.
// Reads are bounded (headers and metadata texts only, at most kMaxMetadataTextBytes of text
// per form) and checked against the file size; a damaged or truncated file gives the values
// that could be read plus notes, never a crash. A missing file gives an empty record with a
// note. The file's pixels are not decoded: a caller that has decoded them gives their size
// (`decodedWidth` x `decodedHeight`, pixels), which stands for the header's where no header
// reader knows the format (PGM, GIF, TGA...); -1 for unknown. Without a size, a side-car that
// gives a full size is not used at all: it may describe another picture.
FileMetadata readFileMetadata(const std::string& path,
                              int32_t decodedWidth = -1,
                              int32_t decodedHeight = -1);
