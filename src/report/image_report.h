// One image of a batch report: how its analysis ended and every figure it produced, kept after
// its picture has been drawn so that the tables of the whole run can be written at the end.
#pragma once

#include <cstdint>
#include <string>

#include "run/image_analysis.h"
#include "run/result_store.h"

// How the report classifies an image.
enum class ReportStatus {
    kMeasured,    // at least one line measured: every figure exists
    kMissing,     // no file of that name
    kUnreadable,  // the file exists but the image library cannot load it as an image
    kNoLine,      // loaded, but fewer than two edges processed: no line to measure
};

// The status word written to the tables: "measured", "missing", "unreadable" or "no_line".
const char* statusName(ReportStatus status);

// Everything the report keeps of one listed image.
struct ImageReport {
    int32_t position = 0;  // 1-based position in the parameter file's image list
    std::string name;      // file name exactly as written in the parameter file
    std::string path;      // the file actually opened (relative names resolved)
    int32_t pairing = 1;   // from the image entry
    ReportStatus status = ReportStatus::kMissing;
    std::string reason;  // one-line explanation for every status but kMeasured
    // The analysis; its picture is released once the image's figure has been drawn.
    ImageAnalysis analysis;
    // The plotted curves (every Series filled only for kMeasured); name set, texture unused.
    DisplayRecord display;
    std::string pngFile;  // picture file names inside the output folder; empty when none
    std::string svgFile;
};

// True when the image was loaded, so that it has a picture and per-edge figures.
inline bool wasLoaded(const ImageReport& report) {
    return report.status == ReportStatus::kMeasured || report.status == ReportStatus::kNoLine;
}
