// The batch report's command line and run: reads the parameter file, analyses every listed
// image exactly as the program does, and writes the tables, report.json and one picture per
// image into the output folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Exit statuses of rugon-report.
constexpr int kExitAllMeasured = 0;     // every listed image was measured
constexpr int kExitNotAllMeasured = 1;  // an image was missing, unreadable or had no line
constexpr int kExitCannotRun = 2;       // bad command line, no parameter file, output not writable

struct ReportOptions {
    enum class Action { kRun, kHelp, kVersion, kUsageError };
    Action action = Action::kRun;
    std::string parameterFile = "input.txt";
    std::string outputFolder = "rugon-report";
    std::string error;  // what is wrong with the command line (kUsageError)
};

// Reads `rugon-report [PARAMETER_FILE] [-o OUTDIR]` (also --output OUTDIR, --output=OUTDIR,
// --help or -h, --version, and -- before a file name that starts with a dash). --help and
// --version win over everything else; an unknown option, a missing OUTDIR or a second file
// name is a usage error. argv[0] is the program name.
ReportOptions parseReportArguments(int argc, const char* const* argv);

// The --help text.
std::string usageText();

// The file to open for image `name` of the parameter file `parameterFile`: `name` itself when
// it is absolute, otherwise `name` inside the parameter file's folder (just `name` when the
// parameter file has no folder part).
std::string resolveImagePath(const std::string& parameterFile, const std::string& name);

// The picture file name, without extension, of the image at list position `position`
// (1-based): "image-" then the position with at least three digits, "-" and the last part of
// `name` without its extension, every character other than letters, digits, '.', '_' and '-'
// replaced by '_' and cut to 64 characters ("image" when nothing is left).
std::string pictureBaseName(int32_t position, const std::string& name);

// "image k of n: <name> (<s> s elapsed)" with the elapsed time to one decimal.
std::string progressText(int32_t k, int32_t n, const std::string& name, double elapsedSeconds);

// Creates the output folder (and its parents) when it does not exist and checks that it is a
// folder this process can write into. False with `error` set otherwise.
bool prepareOutputFolder(const std::string& folder, std::string& error);

// Runs the whole report for `options` (action kRun). Messages and progress go to `err`; on a
// terminal (`errIsTerminal`) the progress line is rewritten in place, otherwise each step is a
// plain line. Writes only summary.csv, edges.csv, lines.csv, length.csv, hhcf.csv, report.json
// and the image-NNN-*.png / .svg pictures; deletes nothing. Returns kExitAllMeasured,
// kExitNotAllMeasured or kExitCannotRun.
int runReport(const ReportOptions& options, std::FILE* err, bool errIsTerminal);
