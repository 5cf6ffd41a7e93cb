#include "run/analysis_settings.h"

namespace {

struct ContrastWord {
    ContrastChoice choice;
    const char* word;
};
constexpr ContrastWord kContrastWords[] = {{ContrastChoice::kAuto, "auto"},
                                           {ContrastChoice::kBrightEdge, "bright-edge"},
                                           {ContrastChoice::kBrightLine, "bright-line"},
                                           {ContrastChoice::kDarkLine, "dark-line"}};

struct OrientationWord {
    OrientationChoice choice;
    const char* word;
};
constexpr OrientationWord kOrientationWords[] = {{OrientationChoice::kAuto, "auto"},
                                                 {OrientationChoice::kVertical, "vertical"},
                                                 {OrientationChoice::kHorizontal, "horizontal"}};

}  // namespace

const char* contrastChoiceName(ContrastChoice choice) {
    for (const ContrastWord& w : kContrastWords)
        if (w.choice == choice) return w.word;
    return "auto";
}

bool parseContrastChoice(const std::string& text, ContrastChoice& choice) {
    for (const ContrastWord& w : kContrastWords) {
        if (text == w.word) {
            choice = w.choice;
            return true;
        }
    }
    return false;
}

const char* orientationChoiceName(OrientationChoice choice) {
    for (const OrientationWord& w : kOrientationWords)
        if (w.choice == choice) return w.word;
    return "auto";
}

bool parseOrientationChoice(const std::string& text, OrientationChoice& choice) {
    for (const OrientationWord& w : kOrientationWords) {
        if (text == w.word) {
            choice = w.choice;
            return true;
        }
    }
    return false;
}

AnalysisSettings settingsFromParameters(const RunParameters& params, int32_t pairing) {
    AnalysisSettings s;
    s.edgeThreshold = params.edgeThreshold;
    s.kernelRows = params.kernelRows;
    s.kernelColumns = params.kernelColumns;
    s.kernelSigma = params.kernelSigma;
    s.edgeHalfWindow = params.edgeHalfWindow;
    s.detectionFloor = params.detectionFloor;
    s.pairing = pairing;
    s.pixelSizeNm = params.pixelSize;
    s.pixelSizeFromFile = true;
    s.contrast = ContrastChoice::kBrightEdge;
    s.orientation = OrientationChoice::kVertical;
    s.findDatabar = false;
    s.findRegion = false;
    s.measureWithoutWholePixelLines = false;
    return s;
}

RunParameters parametersFromSettings(const AnalysisSettings& settings, double pixelSizeNm) {
    RunParameters p;
    p.edgeThreshold = settings.edgeThreshold;
    p.kernelRows = settings.kernelRows;
    p.kernelColumns = settings.kernelColumns;
    p.kernelSigma = settings.kernelSigma;
    p.edgeHalfWindow = settings.edgeHalfWindow;
    p.detectionFloor = settings.detectionFloor;
    p.pixelSize = pixelSizeNm;
    return p;
}
