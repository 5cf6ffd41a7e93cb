// The settings of one image's analysis in the batch tool and the Python module: one record with
// one source of defaults, filled from the parameter file, the command line or keywords.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "files/decode.h"
#include "run/parameters.h"

// Which contrast the lines show. kAuto lets the image decide.
enum class ContrastChoice { kAuto, kBrightEdge, kBrightLine, kDarkLine };
// Which way the lines run. kAuto lets the image decide.
enum class OrientationChoice { kAuto, kVertical, kHorizontal };

// "auto", "bright-edge", "bright-line", "dark-line" / "auto", "vertical", "horizontal"; the
// parsers accept exactly these words and return false otherwise.
const char* contrastChoiceName(ContrastChoice choice);
bool parseContrastChoice(const std::string& text, ContrastChoice& choice);
const char* orientationChoiceName(OrientationChoice choice);
bool parseOrientationChoice(const std::string& text, OrientationChoice& choice);

// A rectangle of the picture as it is in the file: columns x .. x + width - 1 and rows
// y .. y + height - 1, 0-based from the top-left pixel.
struct PixelRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Largest picture, in pixels, that the batch tool decodes by default: the decoder's own default.
constexpr int64_t kDefaultMaxPixels = kDefaultDecodeMaxPixels;

struct AnalysisSettings {
    // Edge detection of the whole-pixel analysis (the parameter file's values).
    double edgeThreshold = 0.5;  // fraction of the row maximum
    int32_t kernelRows = 5;
    int32_t kernelColumns = 5;
    double kernelSigma = 1.0;     // px
    int32_t edgeHalfWindow = 10;  // px
    double detectionFloor = 0.3;  // band level of the coarse location
    int32_t pairing = 1;          // 1: the first edge opens a line; 0: it does not
    // nm per pixel given by the user; NaN lets the file's metadata decide. `pixelSizeFromFile`
    // tells whether the given value came from a parameter file (true) or an option.
    double pixelSizeNm = NAN;
    bool pixelSizeFromFile = false;
    ContrastChoice contrast = ContrastChoice::kAuto;
    OrientationChoice orientation = OrientationChoice::kAuto;
    bool findDatabar = true;  // leave out the microscope's information bar
    bool findRegion = true;   // keep only the rows where every line runs
    bool roiSet = false;      // analyse only `roi` (wins over the region and the data bar)
    PixelRect roi;
    int64_t maxPixels = kDefaultMaxPixels;  // larger pictures are refused before decoding
    // A bright-edge image on which the whole-pixel analysis finds no line but the sub-pixel
    // metrology measures lines (dense or tilted trenches merge in the whole-pixel location) is
    // measured, its whole-pixel figures left out with the reason. False keeps the whole-pixel
    // verdict ("no line"), as the parameter file's analysis does.
    bool measureWithoutWholePixelLines = true;
    // Intervals of the unbiased figures: bootstrap resamples over lines and their seed.
    int32_t bootstrapResamples = 200;
    uint64_t bootstrapSeed = 1;
    // The microscope's resolution, nm (MetrologySettings::resolutionNm), held in the spectra's
    // fits of images with a pixel size; negative, or an image in px: fitted.
    double resolutionNm = -1.0;
};

// Settings that reproduce the parameter file's analysis exactly: its edge-detection values and
// pixel size, bright edge bands, vertical lines, the whole picture (no data bar, no region).
AnalysisSettings settingsFromParameters(const RunParameters& params, int32_t pairing);

// The parameter-file record the whole-pixel analysis reads, from `settings` and the pixel size
// in use (nm per pixel; 1 when the figures are in pixels).
RunParameters parametersFromSettings(const AnalysisSettings& settings, double pixelSizeNm);
