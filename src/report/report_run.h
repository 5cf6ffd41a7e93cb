// The batch report's command line and run: takes a parameter file (analysed exactly as the
// console program does) or image files and folders, measures every image on a pool of workers,
// and writes the tables, report.json, one set of pictures per image and index.html.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "run/analysis_settings.h"

// Exit statuses of rugon-report.
constexpr int kExitAllMeasured = 0;     // every listed image was measured
constexpr int kExitNotAllMeasured = 1;  // an image was missing, unreadable or had no line
constexpr int kExitCannotRun = 2;       // bad command line, no parameter file, output not writable

// Settings given on the command line; each one, when present, wins over the parameter file and
// the defaults.
struct SettingOverrides {
    std::optional<double> pixelSizeNm;
    std::optional<double> edgeThreshold;
    std::optional<int32_t> kernelRows;
    std::optional<int32_t> kernelColumns;
    std::optional<double> kernelSigma;
    std::optional<int32_t> edgeHalfWindow;
    std::optional<int32_t> pairing;
    std::optional<ContrastChoice> contrast;
    std::optional<OrientationChoice> orientation;
    std::optional<PixelRect> roi;
    bool noDatabar = false;
    bool noRegion = false;
    std::optional<int64_t> maxPixels;
    std::optional<int32_t> bootstrapResamples;
    std::optional<double> resolutionNm;
};

struct ReportOptions {
    enum class Action { kRun, kHelp, kVersion, kUsageError };
    Action action = Action::kRun;
    // A parameter file (a .txt argument, -p FILE, or input.txt when nothing is given) or a list
    // of image files, folders and CSV lists of images.
    bool useParameterFile = true;
    std::string parameterFile = "input.txt";
    std::vector<std::string> inputs;
    std::string outputFolder = "rugon-report";
    SettingOverrides overrides;
    int32_t jobs = 0;          // workers; 0: one per core
    std::string groupPattern;  // --group REGEX; empty: no groups from names
    std::string error;         // what is wrong with the command line (kUsageError)
};

// Reads the command line (argv[0] is the program name). --help and --version win over every
// mistake; a value after -o/--output is a folder name whatever it looks like; an unknown
// option, a bad value, two parameter files or a parameter file with images is a usage error.
ReportOptions parseReportArguments(int argc, const char* const* argv);

// The --help text: every option with its default.
std::string usageText();

// The settings of one image: the parameter file's values (settingsFromParameters with the
// entry's pairing) or the defaults, then every override.
AnalysisSettings settingsFor(const ReportOptions& options,
                             const RunParameters* params,
                             int32_t pairing);

// One image of the run.
struct BatchImage {
    std::string name;   // as listed (parameter file entry, argument or CSV row)
    std::string path;   // the file to open
    std::string group;  // empty when none
    int32_t pairing = 1;
};

// Expands `inputs`: a folder gives the image files directly inside it (by extension, sorted by
// name), a .csv file gives its `image` column (relative to the CSV's folder) with its optional
// `group` column (column names in any case; a byte order mark and spaces around names and
// groups ignored), anything else is taken as an image file. With `groupPattern`, an image
// without a group from its list takes the first capture of the pattern in its file name (the
// whole match without a capture); no match leaves it without a group. False with `error` set
// when a folder or list cannot be read, a list names no image, or the pattern is not a valid
// regular expression. A folder's entries named like images that are not folders are taken
// (a dangling link or a pipe then has its status), except the pictures the folder's report.json
// of an earlier run of this program lists. `notes`, when given, receives a line for each folder
// that holds no image file, and for each whose earlier pictures were left out.
bool expandInputs(const std::vector<std::string>& inputs,
                  const std::string& groupPattern,
                  std::vector<BatchImage>& images,
                  std::string& error,
                  std::vector<std::string>* notes = nullptr);

// The file to open for image `name` of the parameter file `parameterFile`: `name` itself when
// it is absolute, otherwise `name` inside the parameter file's folder (just `name` when the
// parameter file has no folder part).
std::string resolveImagePath(const std::string& parameterFile, const std::string& name);

// The picture file name, without extension, of the image at list position `position`
// (1-based): "image-" then the position with at least three digits, "-" and the last part of
// `name` without its extension, every character other than letters, digits, '.', '_' and '-'
// replaced by '_' and cut to 64 characters ("image" when nothing is left).
std::string pictureBaseName(int32_t position, const std::string& name);

// "k of n images done, <s> s elapsed, about <t> s left" (no estimate before the first image).
std::string batchProgressText(int32_t done, int32_t n, double elapsedSeconds);

// Creates the output folder (and its parents) when it does not exist and checks that it is a
// folder this process can write into. False with `error` set otherwise.
bool prepareOutputFolder(const std::string& folder, std::string& error);

// Runs the whole report for `options` (action kRun). Messages and progress go to `err`; on a
// terminal (`errIsTerminal`) the progress line is rewritten in place, otherwise each step is a
// plain line. Writes only its own files (tables, report.json, index.html, pictures); deletes
// nothing. Every output is the same whatever the number of workers. Returns kExitAllMeasured,
// kExitNotAllMeasured or kExitCannotRun.
int runReport(const ReportOptions& options, std::FILE* err, bool errIsTerminal);
