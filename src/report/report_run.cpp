#include "report/report_run.h"

#include <IL/il.h>
#include <IL/ilu.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <utility>
#include <vector>

#include "report/image_report.h"
#include "report/report_figure.h"
#include "report/report_tables.h"
#include "run/image_analysis.h"
#include "run/parameters.h"

namespace {

namespace fs = std::filesystem;

constexpr TableKind kTables[] = {TableKind::kSummary, TableKind::kEdges, TableKind::kLines,
                                 TableKind::kLength, TableKind::kHhcf};

bool writeWholeFile(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

std::string joinPath(const std::string& folder, const std::string& file) {
    return (fs::path(folder) / file).string();
}

// Progress and messages on standard error. On a terminal the progress line is rewritten in
// place and cleared before a message, so that messages stay whole lines.
struct ProgressOutput {
    std::FILE* err;
    bool terminal;
    bool lineOpen = false;

    void progress(const std::string& text) {
        if (terminal) {
            std::fprintf(err, "\r\033[K%s", text.c_str());
            lineOpen = true;
        } else {
            std::fprintf(err, "rugon-report: %s\n", text.c_str());
        }
        std::fflush(err);
    }
    void message(const std::string& text) {
        if (lineOpen) std::fputs("\r\033[K", err);
        lineOpen = false;
        std::fprintf(err, "rugon-report: %s\n", text.c_str());
        std::fflush(err);
    }
};

// Checks that the parameter file can be opened as a file before the reader, which would report
// a missing file on standard output and carry on.
bool parameterFileReadable(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    struct stat info;
    const bool isFolder = fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode);
    std::fclose(file);
    if (isFolder) error = "it is a folder";
    return !isFolder;
}

// Identity of an existing file (device and inode), so that two names of one file compare equal.
bool fileIdentity(const std::string& path, std::pair<dev_t, ino_t>& id) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    id = {info.st_dev, info.st_ino};
    return true;
}

// The first of `outputs` that is the same file as one of `inputs` (the parameter file, a listed
// image), or an empty text. An output folder that holds the run's inputs must not lose them.
std::string outputReplacingInput(const std::vector<std::string>& outputs,
                                 const std::vector<std::string>& inputs) {
    std::set<std::pair<dev_t, ino_t>> inputIds;
    std::pair<dev_t, ino_t> id;
    for (const std::string& input : inputs)
        if (fileIdentity(input, id)) inputIds.insert(id);
    for (const std::string& output : outputs)
        if (fileIdentity(output, id) && inputIds.count(id) > 0) return output;
    return std::string();
}

// "1 edge", "3 edges".
std::string counted(int64_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// Analyses one listed image into `report` (status, reason, figures, display series).
void analyseEntry(const std::string& path,
                  int32_t pairing,
                  const RunParameters& params,
                  ImageReport& report) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        report.status = ReportStatus::kMissing;
        report.reason = "file not found";
        return;
    }
    if (ec) {
        report.status = ReportStatus::kUnreadable;
        report.reason = "cannot be accessed: " + ec.message();
        return;
    }
    if (!fs::is_regular_file(status)) {
        report.status = ReportStatus::kUnreadable;
        report.reason = "not a regular file";
        return;
    }
    analyseFile(path.c_str(), pairing, params, AnalysisPath::kFast, report.analysis);
    switch (report.analysis.status) {
        case AnalysisStatus::kMeasured:
            report.status = ReportStatus::kMeasured;
            fillDisplaySeries(report.analysis, params.pixelSize, report.display);
            break;
        case AnalysisStatus::kNoLine:
            report.status = ReportStatus::kNoLine;
            report.reason = "no line found (" + counted(report.analysis.coarse.count, "edge") +
                            " found, " + std::to_string(report.analysis.processed.size()) +
                            " processed)";
            break;
        case AnalysisStatus::kNotLoaded:
            report.status = ReportStatus::kUnreadable;
            report.reason = "cannot be read as an image";
            break;
    }
    report.display.name = report.name;
    report.display.pictureTopDown = report.analysis.topRowFirst;
}

}  // namespace

ReportOptions parseReportArguments(int argc, const char* const* argv) {
    ReportOptions options;
    bool haveFile = false;
    bool onlyFiles = false;
    auto fail = [&options](const std::string& error) {
        if (options.action == ReportOptions::Action::kRun) {
            options.action = ReportOptions::Action::kUsageError;
            options.error = error;
        }
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (arg == "--") break;
        if (arg == "-o" || arg == "--output") {
            ++i;  // the folder name, whatever it looks like
        } else if (arg == "--help" || arg == "-h") {
            options.action = ReportOptions::Action::kHelp;
            return options;
        } else if (arg == "--version") {
            options.action = ReportOptions::Action::kVersion;
            return options;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (!onlyFiles && arg == "--") {
            onlyFiles = true;
        } else if (!onlyFiles && (arg == "-o" || arg == "--output")) {
            if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '\0') {
                fail("option " + arg + " needs an output folder");
            } else {
                options.outputFolder = argv[++i];
            }
        } else if (!onlyFiles && arg.rfind("--output=", 0) == 0) {
            options.outputFolder = arg.substr(9);
            if (options.outputFolder.empty()) fail("option --output= needs an output folder");
        } else if (!onlyFiles && arg.size() > 1 && arg[0] == '-') {
            fail("unknown option " + arg);
        } else if (haveFile) {
            fail("more than one parameter file given (" + options.parameterFile + ", " + arg + ")");
        } else {
            options.parameterFile = arg;
            haveFile = true;
        }
    }
    return options;
}

std::string usageText() {
    return "Usage: rugon-report [PARAMETER_FILE] [-o OUTDIR]\n"
           "\n"
           "Analyses every image listed in PARAMETER_FILE (default: input.txt) exactly as rugon\n"
           "does and writes, without opening a window, into OUTDIR (default: rugon-report):\n"
           "  summary.csv   one row per image: status, edges, lines, CD, CD variation, LWR,\n"
           "                a, ksi, skewness, kurtosis\n"
           "  edges.csv     one row per processed edge\n"
           "  lines.csv     one row per measured line\n"
           "  length.csv    width statistics against line length\n"
           "  hhcf.csv      the average HHCF and the fitted model per lag\n"
           "  report.json   all of the above, the parameters and the plotted series\n"
           "  image-NNN-<name>.png and .svg   the marked image and its three plots\n"
           "Image names are taken relative to the parameter file's folder. Lengths are in nm.\n"
           "\n"
           "Options:\n"
           "  -o, --output OUTDIR   output folder (created when missing)\n"
           "  -h, --help            show this help\n"
           "      --version         show the version\n"
           "\n"
           "Exit status: 0 when every image was measured, 1 when an image was missing,\n"
           "unreadable or without a line, 2 when the run could not be made (bad command line,\n"
           "missing parameter file, output folder not writable).\n";
}

std::string resolveImagePath(const std::string& parameterFile, const std::string& name) {
    const fs::path image(name);
    if (image.is_absolute()) return name;
    const fs::path folder = fs::path(parameterFile).parent_path();
    if (folder.empty()) return name;
    return (folder / image).string();
}

std::string pictureBaseName(int32_t position, const std::string& name) {
    std::string stem = fs::path(name).filename().string();
    const size_t dot = stem.rfind('.');
    if (dot != std::string::npos && dot > 0) stem.erase(dot);
    std::string clean;
    for (char c : stem) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        clean += keep ? c : '_';
        if (clean.size() == 64) break;
    }
    if (clean.empty()) clean = "image";
    char number[16];
    std::snprintf(number, sizeof number, "%03d", position);
    return std::string("image-") + number + "-" + clean;
}

std::string progressText(int32_t k, int32_t n, const std::string& name, double elapsedSeconds) {
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f", elapsedSeconds);
    return "image " + std::to_string(k) + " of " + std::to_string(n) + ": " + name + " (" +
           elapsed + " s elapsed)";
}

bool prepareOutputFolder(const std::string& folder, std::string& error) {
    if (folder.empty()) {
        error = "no folder name";
        return false;
    }
    std::error_code made;
    fs::create_directories(folder, made);
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        error = made ? made.message() : "not a folder";
        return false;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

int runReport(const ReportOptions& options, std::FILE* err, bool errIsTerminal) {
    ProgressOutput out{err, errIsTerminal};
    std::string error;
    if (!parameterFileReadable(options.parameterFile, error)) {
        out.message("cannot open parameter file \"" + options.parameterFile + "\": " + error);
        return kExitCannotRun;
    }
    RunParameters params;
    if (!readParameterFile(options.parameterFile.c_str(), params)) {
        out.message("cannot read parameter file \"" + options.parameterFile + "\"");
        return kExitCannotRun;
    }
    if (!prepareOutputFolder(options.outputFolder, error)) {
        out.message("cannot write to output folder \"" + options.outputFolder + "\": " + error);
        return kExitCannotRun;
    }
    auto cannotWrite = [&out](const std::string& path) {
        out.message("cannot write \"" + path + "\"");
        return kExitCannotRun;
    };

    const int32_t n = static_cast<int32_t>(params.images.size());
    std::vector<std::string> inputs = {options.parameterFile};
    std::vector<std::string> outputs;
    for (TableKind kind : kTables)
        outputs.push_back(joinPath(options.outputFolder, tableFileName(kind)));
    outputs.push_back(joinPath(options.outputFolder, "report.json"));
    for (int32_t k = 1; k <= n; ++k) {
        const std::string& name = params.images[static_cast<size_t>(k - 1)]->name;
        inputs.push_back(resolveImagePath(options.parameterFile, name));
        const std::string base = joinPath(options.outputFolder, pictureBaseName(k, name));
        outputs.push_back(base + ".png");
        outputs.push_back(base + ".svg");
    }
    const std::string clash = outputReplacingInput(outputs, inputs);
    if (!clash.empty()) {
        out.message("will not overwrite \"" + clash +
                    "\": it is an input of this run; choose another output folder");
        return kExitCannotRun;
    }

    ilInit();
    iluInit();
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    std::vector<ImageReport> reports;
    reports.reserve(static_cast<size_t>(n));
    int32_t measured = 0;
    for (int32_t k = 1; k <= n; ++k) {
        const ImageEntry& entry = *params.images[static_cast<size_t>(k - 1)];
        if (n > 1) out.progress(progressText(k, n, entry.name, elapsed()));
        ImageReport report;
        report.position = k;
        report.name = entry.name;
        report.pairing = entry.pairing;
        report.path = resolveImagePath(options.parameterFile, entry.name);
        analyseEntry(report.path, entry.pairing, params, report);
        if (report.status == ReportStatus::kMeasured) {
            ++measured;
        } else {
            out.message(entry.name + ": " + report.reason);
        }
        if (wasLoaded(report)) {
            const std::string base = pictureBaseName(k, entry.name);
            const std::string png = joinPath(options.outputFolder, base + ".png");
            const std::string svg = joinPath(options.outputFolder, base + ".svg");
            const bool pngWritten = writeFigurePng(report, png);
            if (!pngWritten || !writeFigureSvg(report, svg)) {
                ilShutDown();
                releaseFigureCaches();
                return cannotWrite(pngWritten ? svg : png);
            }
            report.pngFile = base + ".png";
            report.svgFile = base + ".svg";
        }
        // The tables need only the figures; the picture is the bulk of an analysis.
        report.analysis.picture.release();
        report.analysis.widths.widthGrid.release();
        reports.push_back(std::move(report));
    }
    ilShutDown();
    releaseFigureCaches();

    for (TableKind kind : kTables) {
        const std::string path = joinPath(options.outputFolder, tableFileName(kind));
        if (!writeWholeFile(path, formatCsv(makeTable(kind, reports, params.pixelSize))))
            return cannotWrite(path);
    }
    const std::string json = formatJson(reportJson(params, options.parameterFile, reports));
    const std::string jsonPath = joinPath(options.outputFolder, "report.json");
    if (!writeWholeFile(jsonPath, json)) return cannotWrite(jsonPath);

    if (n > 1) {
        char summary[160];
        std::snprintf(summary, sizeof summary, "%d of %d images measured in %.1f s", measured, n,
                      elapsed());
        out.message(summary);
    }
    return measured == n ? kExitAllMeasured : kExitNotAllMeasured;
}
