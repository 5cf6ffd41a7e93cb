// Readers of the text forms in which microscopes store the pixel size and the height of the
// information bar: INI text, XML, "label = value unit" text and side-car files. They work on text
// already taken from the file, so that each can be tested alone; the file handling is elsewhere.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// Plausible pixel sizes, nm: 1 pm to 100 um. A value outside (or not finite) is a damaged or
// misread field, never a picture.
constexpr double kMinPixelSizeNm = 1e-3;
constexpr double kMaxPixelSizeNm = 1e5;

// Longest metadata text read from a file, bytes; longer texts are passed over with a note.
constexpr size_t kMaxMetadataTextBytes = size_t{1} << 20;

// What one form says. NaN or -1 where it says nothing usable.
struct FormValues {
    double pixelWidthNm = std::numeric_limits<double>::quiet_NaN();   // nm per pixel along a row
    double pixelHeightNm = std::numeric_limits<double>::quiet_NaN();  // nm down a column
    int32_t databarRows = -1;  // rows of the information bar at the bottom
    int32_t fullWidth = -1;    // size of the picture without its bar, pixels (side-car)
    int32_t fullHeight = -1;
    // Size of the scan the form was written with, pixels (TIFF INI [Image] ResolutionX/Y,
    // the TIFF text's "Store resolution = W * H"): the picture is that wide, and that high or
    // higher by its bar; -1 when the form does not say.
    int32_t scanWidth = -1;
    int32_t scanHeight = -1;
};

// Converts `value` in `unit` to nanometres. Units: "m", "mm", "um" (also "µm" in UTF-8 or
// Latin-1, "μm", "micron", "microns"), "nm", "pm", upper or lower case. False for another unit;
// `nm` is then untouched. The value itself is not checked.
bool lengthToNm(double value, const std::string& unit, double& nm);

// Parses a whole decimal number ("2.5", "-3e-9", "nan"); surrounding blanks are allowed, other
// trailing characters are not. False when `text` is not a number.
bool parseNumber(const std::string& text, double& value);

// Splits "2.345 nm", "100nm" or "0.117657" into a number and the unit after it (blanks trimmed;
// the unit may be empty). False when `text` does not start with a number.
bool splitValueAndUnit(const std::string& text, double& value, std::string& unit);

// True when `nm` is a plausible pixel size; otherwise appends to `notes` the line
// "<what> is not a plausible pixel size; ignored" (`what` names the field, its text and where
// it was found, e.g. "PixelWidth=-3 in TIFF tag 34682").
bool checkPixelSize(double nm, const std::string& what, std::vector<std::string>& notes);

// INI text (sections "[Scan]", lines "Key=Value"): PixelWidth and PixelHeight of section Scan,
// in metres. Keys and section names compare without regard to case; lines may end in CR LF.
// `where` names the source in notes ("TIFF tag 34682").
FormValues parseIniText(const std::string& text,
                        const std::string& where,
                        std::vector<std::string>& notes);

// XML text with elements pixelWidth / pixelHeight (attribute unit, e.g. "um") and
// databarHeight (rows), found anywhere in the document by their name without a namespace
// prefix. A document that does not parse (truncated, not XML) gives nothing and a note; so does
// a value that is not a number or has no known unit.
FormValues parseXmlText(const std::string& text,
                        const std::string& where,
                        std::vector<std::string>& notes);

// "label = value unit" text in lines (CR, LF or NUL between lines): the picture's pixel size is
// the value on the line after the code line "AP_IMAGE_PIXEL_SIZE", or on a line labelled
// "Image Pixel Size". The screen pixel size ("AP_PIXEL_SIZE", "Pixel Size = ...") is a
// different quantity and never taken.
FormValues parseLabelledText(const std::string& text,
                             const std::string& where,
                             std::vector<std::string>& notes);

// A side-car text: "$CM_FULL_SIZE W H" (the picture without its bar, pixels),
// "$$SM_MICRON_BAR N" (length of the scale marker, pixels) with "$$SM_MICRON_MARKER 100nm"
// (its length with unit), giving pixel size = marker / N; or "PixelSize=2.5" (nm unless a unit
// follows). An explicit PixelSize wins over the marker. The full size is returned as read; the
// caller compares it with the picture.
FormValues parseSidecarText(const std::string& text,
                            const std::string& where,
                            std::vector<std::string>& notes);
