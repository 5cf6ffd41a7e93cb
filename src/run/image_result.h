// The one result record of an image: how it was set up, every figure of both analyses, the
// quality flags and the picture. The batch writers and the Python module only read it.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "image/picture.h"
#include "metrology/metrology.h"
#include "run/analysis_settings.h"
#include "run/image_analysis.h"
#include "run/result_store.h"

// How the analysis of an image ended.
enum class ImageStatus {
    kMeasured,    // at least one line measured
    kMissing,     // no file of that name
    kUnreadable,  // the file exists but cannot be decoded as a picture
    kNoLine,      // decoded, but no line could be measured
};

// "measured", "missing", "unreadable" or "no_line".
const char* statusName(ImageStatus status);

// How the picture was prepared for the analyses. Rows and columns of the file are counted from
// its top-left pixel, whatever order the file stores its rows in.
struct ImageSetup {
    int32_t fileWidth = 0;   // px, as in the file
    int32_t fileHeight = 0;  // px
    std::string format;      // how the file stores its pixels ("8-bit grey", ...), when known
    // nm per pixel along a row of the file and where it came from: "option", "parameter file",
    // "tiff-ini", "xml", "tiff-text", "sidecar" or "none". With "none" every length figure is in
    // pixels. pixelHeightNm is nm per pixel down a column: the metadata's own pixel height when
    // it gives one (and pixelSizeNm comes from it), else pixelSizeNm; NaN is read as square.
    double pixelSizeNm = NAN;
    double pixelHeightNm = NAN;
    std::string pixelSizeSource = "none";
    bool figuresInPixels = false;  // no pixel size: lengths are px, not nm
    bool horizontal = false;       // the lines run across the file: the picture was transposed
    std::string contrast = "bright-edge";  // "bright-edge", "bright-line" or "dark-line"
    // The contrast was detected as a plain step whose line phase had to be guessed (its borders
    // lie in different phases; see detectContrast).
    bool contrastGuessed = false;
    // Shares of the analysed picture whose signal lies at the bottom (grey level 0) or the top
    // (255: an 8-bit file's largest value; for 16-bit files the top and bottom 1/256 of the
    // range the picture's bits span, which the reading to 8 bits makes 255 and 0) of the grey
    // scale, clipped by the detector or the contrast and brightness settings: the share of cells
    // of one column and 16 rows in which more than half of the levels lie there (their median
    // does).
    double darkClippedShare = 0.0;
    double brightClippedShare = 0.0;
    int32_t databarRows = 0;             // rows of the information bar left out
    std::string databarSource = "none";  // "metadata", "image", "none" or "off"
    // The analysed part of the file: `area` in file pixels (the region and the data bar taken
    // away, or the ROI), and the analysed rows along the lines, 1-based inclusive: file rows
    // for vertical lines, file columns for horizontal ones.
    PixelRect area;
    int32_t firstRow = 0;
    int32_t lastRow = 0;
    bool fileOrder = true;           // the analysed grid keeps the file's own row order
    bool gridTopRowFirst = true;     // the analysed grid's row 0 is the top of the picture
    std::vector<std::string> notes;  // metadata values that were rejected, and why
    // Given settings that the picture or its metadata contradicts: an orientation or contrast
    // auto would not choose, a pixel size the metadata does not give, a region of interest
    // running past the picture (cut to it).
    std::vector<std::string> settingNotes;
};

// nm per pixel down a column of the file: pixelHeightNm, or pixelSizeNm where that is NaN.
double pixelHeight(const ImageSetup& setup);

// The scale of the analysed grid's columns, across the lines: nm per px of every position, width,
// CD and roughness figure (the file's pixel width for lines running down the file, its pixel
// height for turned ones); 1 when the figures are in px.
double acrossScale(const ImageSetup& setup);

// The scale of the grid's rows, along the lines: nm per row of every lag, frequency,
// correlation length and line length; 1 when the figures are in px. Equal to acrossScale for
// square pixels.
double alongScale(const ImageSetup& setup);

// Colours of the marks on ImageResult::picture (grey pixels are never pure red or blue).
struct MarkColour {
    unsigned char r, g, b;
};
constexpr MarkColour kEdgeMark = {255, 0, 0};
constexpr MarkColour kBandEdgeMark = {0, 0, 255};

// Everything measured of one listed image.
struct ImageResult {
    int32_t position = 0;  // 1-based position in the run's image list
    std::string name;      // the image as listed
    std::string path;      // the file opened
    std::string group;     // group of the image in a batch; empty when none
    int32_t pairing = 1;
    ImageStatus status = ImageStatus::kMissing;
    std::string reason;  // one line for every status but kMeasured
    ImageSetup setup;
    // The whole-pixel analysis (the console program's figures), on the analysed grid. It looks
    // for bright edge bands; on step-contrast images it is not applicable and stays empty.
    bool wholePixelApplicable = true;
    std::string wholePixelReason;  // why not, when not applicable
    ImageAnalysis analysis;
    DisplayRecord display;  // its plotted curves (name set, texture unused)
    // Sub-pixel edges, power spectra and unbiased roughness on the same grid.
    MetrologyResult metrology;
    // Quality flags of the image ("edge_rows_missing", ...), in a fixed order.
    std::vector<std::string> flags;
    // The picture with the measured edges in kEdgeMark and, on bright-edge images whose
    // sub-pixel edges were started from the edge bands (MetrologyResult::edgeOrigin), those in
    // kBandEdgeMark beside the whole-pixel ones; `pictureTopDown` when its row 0 is the top.
    Picture picture;
    bool pictureTopDown = false;
    // Picture files written for this image inside the output folder; empty when none.
    std::string pngFile;
    std::string svgFile;
    std::string psdPngFile;
    std::string psdSvgFile;
};

// True when the image was decoded, so that it has a picture and a setup.
inline bool wasLoaded(const ImageResult& result) {
    return result.status == ImageStatus::kMeasured || result.status == ImageStatus::kNoLine;
}

// True when the whole-pixel figures exist (measured and applicable).
inline bool hasWholePixelFigures(const ImageResult& result) {
    return result.status == ImageStatus::kMeasured && result.wholePixelApplicable;
}
