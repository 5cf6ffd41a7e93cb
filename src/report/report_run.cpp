#include "report/report_run.h"

#include <strings.h>
#include <sys/stat.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "files/metadata_forms.h"
#include "report/psd_figure.h"
#include "report/report_figure.h"
#include "report/report_files.h"
#include "report/report_tables.h"
#include "run/image_result.h"
#include "run/measure_image.h"
#include "run/parameters.h"
#include "run/version.h"

namespace {

namespace fs = std::filesystem;

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

// The first of `outputs` that is the same file as one of `inputs` (the parameter file, an image
// list, a listed image), or an empty text. An output folder that holds the run's inputs must not
// lose them.
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

// report.json's list of the pictures of a run that has not ended (startRun).
constexpr const char* kUnfinishedKey = "unfinished_pictures";

// The files an earlier run of this program left in `folder`, by the report.json there: the
// pictures it lists (those of its images, or those an unfinished run may have drawn) and
// groups.csv. Only plain names of the program's own pattern
// ("image-NNN-....png" or ".svg") are taken, whatever the file says. Empty when the folder
// holds no report.json of this program.
std::vector<std::string> earlierRunFiles(const std::string& folder) {
    std::ifstream in(joinPath(folder, "report.json"), std::ios::binary);
    if (!in) return {};
    // Only the program's name and the images' picture names are kept while parsing: the report
    // of a large run holds hundreds of kilobytes per image.
    auto wanted = [](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        if (event != nlohmann::json::parse_event_t::key) return true;
        const std::string& key = parsed.get_ref<const std::string&>();
        if (depth == 1) return key == "program" || key == "images" || key == kUnfinishedKey;
        if (depth == 3) return key == "pictures";
        return true;
    };
    const nlohmann::json json = nlohmann::json::parse(in, wanted, false);
    if (!json.is_object() || json.value("program", std::string()) != "rugon-report") return {};
    static const std::regex own("image-[0-9]{3,}-[A-Za-z0-9._-]*\\.(png|svg)");
    std::vector<std::string> files = {"groups.csv"};
    const auto unfinished = json.find(kUnfinishedKey);
    if (unfinished != json.end() && unfinished->is_array())
        for (const auto& name : *unfinished)
            if (name.is_string() && std::regex_match(name.get<std::string>(), own))
                files.push_back(name.get<std::string>());
    const auto images = json.find("images");
    if (images == json.end() || !images->is_array()) return files;
    for (const auto& image : *images) {
        if (!image.is_object() || !image.contains("pictures") || !image["pictures"].is_object())
            continue;
        for (const auto& [key, name] : image["pictures"].items())
            if (name.is_string() && std::regex_match(name.get<std::string>(), own))
                files.push_back(name.get<std::string>());
    }
    return files;
}

// Removes those of `earlier` (names in `folder`) that this run did not write and that are not
// one of its inputs, so that the folder holds one run: a picture of an image no longer listed
// (or no longer measured), a groups.csv of a run with groups.
void removeEarlierRunFiles(const std::string& folder,
                           const std::vector<std::string>& earlier,
                           const std::set<std::string>& written,
                           const std::vector<std::string>& inputs) {
    for (const std::string& name : earlier) {
        if (written.count(name) > 0) continue;
        const std::string path = joinPath(folder, name);
        unlink((path + ".part").c_str());  // of a run that was killed while drawing it
        if (!outputReplacingInput({path}, inputs).empty()) continue;
        std::error_code ec;
        fs::remove(path, ec);
    }
}

// Makes `folder` hold no finished run until this one has written its tables: the earlier
// run's tables, groups.csv and page are removed (none is an input: outputReplacingInput has
// refused that), and report.json is replaced by one that says the run has not ended and lists
// the pictures it may draw (`planned`) with those of the earlier run (`earlier`). A run that
// ends early (a signal, a full disk, a crash) so leaves pictures that nothing takes for a
// report, and the next run into the folder removes them. False with `failed` set when the new
// report.json cannot be written.
bool startRun(const std::string& folder,
              const std::vector<std::string>& earlier,
              const std::vector<std::string>& planned,
              std::string& failed) {
    nlohmann::ordered_json pictures = nlohmann::ordered_json::array();
    std::set<std::string> listed = {"groups.csv"};
    for (const std::vector<std::string>* names : {&earlier, &planned})
        for (const std::string& name : *names)
            if (listed.insert(name).second) pictures.push_back(name);
    const nlohmann::ordered_json unfinished = {
        {"program", "rugon-report"},
        {"version", rugonVersion()},
        {"unfinished",
         "this run of rugon-report has not ended, or it ended before writing its tables: the "
         "pictures in this folder are not a report"},
        {kUnfinishedKey, std::move(pictures)},
    };
    const std::string report = joinPath(folder, "report.json");
    std::string why;
    if (!writeFileByRename(report, unfinished.dump(2) + "\n", why)) {
        failed = failedWriteText(report, why);
        return false;
    }
    for (const std::string& name : reportFileNames()) {
        std::error_code ec;
        if (name != "report.json") fs::remove(joinPath(folder, name), ec);
        unlink(joinPath(folder, name + ".part").c_str());  // of a run that was killed
    }
    return true;
}

// Set by SIGINT and SIGTERM while a run measures: the images not begun are left, and the run
// ends without tables (startRun's report.json says so).
// Lock-free, so that the handler may set it and the workers read it.
std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets it");

// Sets the flag, and gives both signals back their default action: the next one, of either,
// ends the program.
extern "C" void requestStop(int) {
    gStopRequested.store(true);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(SIGINT, &byDefault, nullptr);
    sigaction(SIGTERM, &byDefault, nullptr);
}

// Catches SIGINT and SIGTERM for its lifetime, once: a second signal of either ends the
// program. The earlier handlers come back after it.
class StopSignals {
public:
    StopSignals() {
        gStopRequested.store(false);
        struct sigaction action {};
        action.sa_handler = requestStop;
        action.sa_flags = SA_RESTART;  // a decoder being read from goes on
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

}  // namespace

namespace {

// Numbers of the command line: the whole text must be the number.
bool wholeInteger(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') return false;
    value = v;
    return true;
}

bool wholeReal(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool hasExtension(const std::string& name, const char* extension) {
    const std::string ext = fs::path(name).extension().string();
    return strcasecmp(ext.c_str(), extension) == 0;
}

// The option values as typed; checked and converted after parsing so that every message
// names the option and the value.
struct RawOptions {
    std::vector<std::string> inputs;
    std::string parameterFile;
    std::string output;
    std::string pixelSize, threshold, kernel, kernelSigma, window, firstEdgeOpensLine;
    std::string contrast, orientation, roi, jobs, maxPixels, group, bootstrap, resolution;
    bool noDatabar = false;
    bool noRegion = false;
};

// Every option of the command line, bound to `raw`. The defaults shown are those of a run on
// image files; a parameter file brings its own values for the edge-detection settings.
void defineOptions(CLI::App& app, RawOptions& raw) {
    app.set_help_flag("-h,--help", "show this help and exit");
    app.add_flag("--version", "show the version and exit");
    app.add_option("inputs", raw.inputs,
                   "image files, folders of images, CSV lists of images (columns image and "
                   "optionally group), or one parameter file (.txt)")
        ->type_name("IMAGE...");
    app.add_option("-p,--parameters", raw.parameterFile,
                   "parameter file listing the images (the console program's input.txt)")
        ->type_name("FILE");
    app.add_option("-o,--output", raw.output, "output folder, created when missing")
        ->type_name("OUTDIR")
        ->default_str("rugon-report");
    app.add_option("--pixel-size", raw.pixelSize,
                   "nm per pixel; wins over the parameter file and the file's metadata "
                   "[default: from the file's metadata; figures in px when it has none]")
        ->type_name("NM");
    app.add_option("--threshold", raw.threshold,
                   "edge level as a fraction of the row maximum, above 0 and at most 1")
        ->type_name("FRACTION")
        ->default_str("0.5");
    app.add_option("--kernel", raw.kernel, "smoothing kernel size, rows x columns, 1..255 each")
        ->type_name("ROWSxCOLS")
        ->default_str("5x5");
    app.add_option("--kernel-sigma", raw.kernelSigma, "width of the smoothing kernel, px")
        ->type_name("PX")
        ->default_str("1.0");
    app.add_option("--window", raw.window, "half-width of the edge search window, px")
        ->type_name("PX")
        ->default_str("10");
    app.add_option("--first-edge-opens-line", raw.firstEdgeOpensLine,
                   "whether the first detected edge opens a line (edges 1-2, 3-4...) or not "
                   "(edges 2-3, 4-5...)")
        ->type_name("yes|no")
        ->default_str("yes");
    app.add_option("--contrast", raw.contrast,
                   "bright-edge: a bright band at each edge; bright-line / dark-line: a plain "
                   "step between line and space; auto: decided from the image")
        ->type_name("auto|bright-edge|bright-line|dark-line")
        ->default_str("auto");
    app.add_option("--orientation", raw.orientation,
                   "which way the lines run; horizontal lines are analysed turned by 90 degrees")
        ->type_name("auto|vertical|horizontal")
        ->default_str("auto");
    app.add_option("--roi", raw.roi,
                   "analyse only this rectangle of the file's picture: left column, top row "
                   "(0-based, from the top-left pixel), width, height [default: the rows where "
                   "every line runs, without the data bar]")
        ->type_name("X,Y,W,H");
    app.add_flag("--no-databar", raw.noDatabar,
                 "do not look for the microscope's information bar (it is left out by default)");
    app.add_flag("--no-region", raw.noRegion,
                 "analyse every row instead of only those where every line runs");
    app.add_option("-j,--jobs", raw.jobs, "images analysed at once [default: one per core]")
        ->type_name("N");
    app.add_option("--max-pixels", raw.maxPixels,
                   "largest picture decoded, in pixels; larger files are refused before decoding")
        ->type_name("N")
        ->default_str(std::to_string(kDefaultMaxPixels));
    app.add_option("--group", raw.group,
                   "gather images into groups by a regular expression on the file name: the "
                   "first capture (or the whole match) names the group")
        ->type_name("REGEX");
    app.add_option("--bootstrap", raw.bootstrap,
                   "bootstrap resamples over lines for the 95 % intervals; 0 for none (under 20 "
                   "give none either, with the reason)")
        ->type_name("N")
        ->default_str("200");
    app.add_option("--resolution-nm", raw.resolution,
                   "the microscope's resolution (Gaussian sigma of its blur), nm: the spectra's "
                   "roll-off is held at it instead of fitted (images with a pixel size only)")
        ->type_name("NM")
        ->default_str("fitted");
}

// Checks and converts the typed values into `options`; the first mistake becomes the usage
// error.
void convertOptions(const RawOptions& raw, ReportOptions& options) {
    auto fail = [&options](const std::string& error) {
        if (options.action == ReportOptions::Action::kRun) {
            options.action = ReportOptions::Action::kUsageError;
            options.error = error;
        }
    };
    auto bad = [&fail](const char* option, const std::string& value, const char* rule) {
        fail(std::string("option ") + option + ": \"" + value + "\" is not " + rule);
    };
    SettingOverrides& o = options.overrides;
    double real = 0.0;
    int64_t integer = 0;
    if (!raw.pixelSize.empty()) {
        // The range the metadata's sizes are held to: a size in metres or in pm by mistake
        // would otherwise be measured as given.
        if (wholeReal(raw.pixelSize, real) && real >= kMinPixelSizeNm && real <= kMaxPixelSizeNm)
            o.pixelSizeNm = real;
        else
            bad("--pixel-size", raw.pixelSize, "a pixel size in nm from 0.001 to 100000");
    }
    if (!raw.threshold.empty()) {
        if (wholeReal(raw.threshold, real) && real > 0.0 && real <= 1.0)
            o.edgeThreshold = real;
        else
            bad("--threshold", raw.threshold, "a fraction above 0 and at most 1");
    }
    if (!raw.kernel.empty()) {
        const size_t x = raw.kernel.find_first_of("xX");
        int64_t rows = 0;
        int64_t columns = 0;
        if (x != std::string::npos && wholeInteger(raw.kernel.substr(0, x), rows) &&
            wholeInteger(raw.kernel.substr(x + 1), columns) && rows >= 1 && rows <= 255 &&
            columns >= 1 && columns <= 255) {
            o.kernelRows = static_cast<int32_t>(rows);
            o.kernelColumns = static_cast<int32_t>(columns);
        } else {
            bad("--kernel", raw.kernel, "ROWSxCOLS with 1 to 255 rows and columns");
        }
    }
    if (!raw.kernelSigma.empty()) {
        if (wholeReal(raw.kernelSigma, real) && real > 0.0 && real <= 1000.0)
            o.kernelSigma = real;
        else
            bad("--kernel-sigma", raw.kernelSigma, "a width in px above 0 and at most 1000");
    }
    if (!raw.window.empty()) {
        if (wholeInteger(raw.window, integer) && integer >= 0 && integer <= 100000)
            o.edgeHalfWindow = static_cast<int32_t>(integer);
        else
            bad("--window", raw.window, "a half-width in px from 0 to 100000");
    }
    if (!raw.firstEdgeOpensLine.empty()) {
        if (raw.firstEdgeOpensLine == "yes")
            o.pairing = 1;
        else if (raw.firstEdgeOpensLine == "no")
            o.pairing = 0;
        else
            bad("--first-edge-opens-line", raw.firstEdgeOpensLine, "yes or no");
    }
    if (!raw.contrast.empty()) {
        ContrastChoice choice = ContrastChoice::kAuto;
        if (parseContrastChoice(raw.contrast, choice))
            o.contrast = choice;
        else
            bad("--contrast", raw.contrast, "auto, bright-edge, bright-line or dark-line");
    }
    if (!raw.orientation.empty()) {
        OrientationChoice choice = OrientationChoice::kAuto;
        if (parseOrientationChoice(raw.orientation, choice))
            o.orientation = choice;
        else
            bad("--orientation", raw.orientation, "auto, vertical or horizontal");
    }
    if (!raw.roi.empty()) {
        int64_t v[4] = {0, 0, 0, 0};
        size_t start = 0;
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i) {
            const size_t comma = raw.roi.find(',', start);
            const bool last = i == 3;
            if (last != (comma == std::string::npos)) ok = false;
            const std::string part =
                raw.roi.substr(start, last ? std::string::npos : comma - start);
            ok = ok && wholeInteger(part, v[i]) && v[i] >= 0 && v[i] <= 1000000;
            start = comma + 1;
        }
        if (ok && v[2] >= 1 && v[3] >= 1) {
            o.roi = PixelRect{static_cast<int32_t>(v[0]), static_cast<int32_t>(v[1]),
                              static_cast<int32_t>(v[2]), static_cast<int32_t>(v[3])};
        } else {
            bad("--roi", raw.roi, "X,Y,W,H with X, Y from 0 and W, H from 1 to 1000000");
        }
    }
    o.noDatabar = raw.noDatabar;
    o.noRegion = raw.noRegion;
    if (!raw.jobs.empty()) {
        if (wholeInteger(raw.jobs, integer) && integer >= 1 && integer <= 1024)
            options.jobs = static_cast<int32_t>(integer);
        else
            bad("--jobs", raw.jobs, "a number of workers from 1 to 1024");
    }
    if (!raw.maxPixels.empty()) {
        if (wholeInteger(raw.maxPixels, integer) && integer >= 1)
            o.maxPixels = integer;
        else
            bad("--max-pixels", raw.maxPixels, "a number of pixels of 1 or more");
    }
    if (!raw.bootstrap.empty()) {
        if (wholeInteger(raw.bootstrap, integer) && integer >= 0 && integer <= 100000)
            o.bootstrapResamples = static_cast<int32_t>(integer);
        else
            bad("--bootstrap", raw.bootstrap, "a number of resamples from 0 to 100000");
    }
    if (!raw.resolution.empty()) {
        if (wholeReal(raw.resolution, real) && real >= 0.0 && real <= 1e6)
            o.resolutionNm = real;
        else
            bad("--resolution-nm", raw.resolution, "a length in nm from 0 to 1000000");
    }
    if (!raw.group.empty()) {
        try {
            const std::regex pattern(raw.group);
            options.groupPattern = raw.group;
        } catch (const std::regex_error&) {
            bad("--group", raw.group, "a valid regular expression");
        }
    }

    // A parameter file: -p, or a single .txt argument; image files otherwise.
    std::vector<std::string> parameterFiles;
    if (!raw.parameterFile.empty()) parameterFiles.push_back(raw.parameterFile);
    std::vector<std::string> images;
    for (const std::string& input : raw.inputs) {
        if (hasExtension(input, ".txt"))
            parameterFiles.push_back(input);
        else
            images.push_back(input);
    }
    if (parameterFiles.size() > 1) {
        fail("more than one parameter file given (" + parameterFiles[0] + ", " + parameterFiles[1] +
             ")");
    } else if (parameterFiles.size() == 1 && !images.empty()) {
        fail("a parameter file (" + parameterFiles[0] + ") cannot be given with images (" +
             images[0] + ")");
    } else if (!images.empty()) {
        options.useParameterFile = false;
        options.inputs = images;
    } else if (parameterFiles.size() == 1) {
        options.parameterFile = parameterFiles[0];
    }
}

}  // namespace

ReportOptions parseReportArguments(int argc, const char* const* argv) {
    ReportOptions options;
    // --help and --version win over any mistake; the value after -o is never one of them.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (arg == "--") break;
        if (arg == "-o" || arg == "--output") {
            ++i;
        } else if (arg == "--help" || arg == "-h") {
            options.action = ReportOptions::Action::kHelp;
            return options;
        } else if (arg == "--version") {
            options.action = ReportOptions::Action::kVersion;
            return options;
        }
    }
    // The folder after -o is taken whatever it looks like, so it is joined to its option before
    // the option library sees it.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (arg == "--") {
            for (; i < argc; ++i) args.push_back(argv[i] != nullptr ? argv[i] : "");
            break;
        }
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '\0') {
                options.action = ReportOptions::Action::kUsageError;
                options.error = "option " + arg + " needs an output folder";
                return options;
            }
            args.push_back("--output=" + std::string(argv[++i]));
        } else if (arg == "--output=") {
            options.action = ReportOptions::Action::kUsageError;
            options.error = "option --output= needs an output folder";
            return options;
        } else {
            args.push_back(arg);
        }
    }
    CLI::App app;
    RawOptions raw;
    defineOptions(app, raw);
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        options.action = ReportOptions::Action::kUsageError;
        options.error = e.what();
        if (options.error.empty()) options.error = "bad command line";
        return options;
    }
    if (!raw.output.empty()) options.outputFolder = raw.output;
    convertOptions(raw, options);
    return options;
}

std::string usageText() {
    CLI::App app;
    RawOptions raw;
    defineOptions(app, raw);
    app.description(
        "Measures line roughness in top-down SEM images and writes, without opening a window,\n"
        "into OUTDIR: summary.csv, edges.csv, lines.csv, length.csv, hhcf.csv, psd.csv,\n"
        "groups.csv (with groups), report.json, index.html and per image its pictures.\n"
        "\n"
        "  rugon-report [options] IMAGE...    image files, folders, CSV lists of images\n"
        "  rugon-report [options] [FILE.txt]  a parameter file, analysed exactly as rugon does\n"
        "                                     (default: input.txt)\n"
        "\n"
        "Lengths are in nm; without a pixel size (option, parameter file or the file's\n"
        "metadata) they are in px and the report says so.\n"
        "Exit status: 0 when every image was measured, 1 when an image was missing,\n"
        "unreadable or without a line, 2 when the run could not be made.");
    app.name("rugon-report");
    return app.help();
}

AnalysisSettings settingsFor(const ReportOptions& options,
                             const RunParameters* params,
                             int32_t pairing) {
    AnalysisSettings s;
    if (params != nullptr) s = settingsFromParameters(*params, pairing);
    const SettingOverrides& o = options.overrides;
    if (o.pixelSizeNm) {
        s.pixelSizeNm = *o.pixelSizeNm;
        s.pixelSizeFromFile = false;
    }
    if (o.edgeThreshold) s.edgeThreshold = *o.edgeThreshold;
    if (o.kernelRows) s.kernelRows = *o.kernelRows;
    if (o.kernelColumns) s.kernelColumns = *o.kernelColumns;
    if (o.kernelSigma) s.kernelSigma = *o.kernelSigma;
    if (o.edgeHalfWindow) s.edgeHalfWindow = *o.edgeHalfWindow;
    if (o.pairing) s.pairing = *o.pairing;
    if (o.contrast) s.contrast = *o.contrast;
    if (o.orientation) s.orientation = *o.orientation;
    if (o.roi) {
        s.roiSet = true;
        s.roi = *o.roi;
    }
    if (o.noDatabar) s.findDatabar = false;
    if (o.noRegion) s.findRegion = false;
    if (o.maxPixels) s.maxPixels = *o.maxPixels;
    if (o.bootstrapResamples) s.bootstrapResamples = *o.bootstrapResamples;
    if (o.resolutionNm) s.resolutionNm = *o.resolutionNm;
    return s;
}

namespace {

bool isImageFileName(const fs::path& path) {
    static const char* const kExtensions[] = {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp",
                                              ".pgm", ".pnm", ".ppm",  ".pbm", ".gif",  ".tga",
                                              ".psd", ".hdr", ".dds",  ".pcx", ".jp2"};
    const std::string ext = path.extension().string();
    for (const char* e : kExtensions)
        if (strcasecmp(ext.c_str(), e) == 0) return true;
    return false;
}

// Reads a CSV list of images: a header with an `image` column and optionally `group` (names in
// any case), then at least one row naming an image.
bool readImageList(const std::string& listPath,
                   std::vector<BatchImage>& images,
                   std::string& error) {
    std::ifstream in(listPath);
    if (!in) {
        error = "cannot read the image list \"" + listPath + "\"";
        return false;
    }
    auto split = [](const std::string& line) {
        std::vector<std::string> fields(1);
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (quoted) {
                if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                    fields.back() += '"';
                    ++i;
                } else if (c == '"') {
                    quoted = false;
                } else {
                    fields.back() += c;
                }
            } else if (c == '"') {
                quoted = true;
            } else if (c == ',') {
                fields.emplace_back();
            } else if (c != '\r') {
                fields.back() += c;
            }
        }
        return fields;
    };
    // Spreadsheets write "Image", " group" and a UTF-8 byte order mark before the first name.
    auto trimmed = [](const std::string& text) {
        const size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos) return std::string();
        return text.substr(first, text.find_last_not_of(" \t") - first + 1);
    };
    std::string line;
    if (!std::getline(in, line)) {
        error = "the image list \"" + listPath + "\" is empty";
        return false;
    }
    if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    const std::vector<std::string> header = split(line);
    int imageColumn = -1;
    int groupColumn = -1;
    for (size_t i = 0; i < header.size(); ++i) {
        const std::string name = trimmed(header[i]);
        for (auto [column, which] : {std::pair<int*, const char*>{&imageColumn, "image"},
                                     std::pair<int*, const char*>{&groupColumn, "group"}}) {
            if (strcasecmp(name.c_str(), which) != 0) continue;
            if (*column >= 0) {  // which of the two is meant cannot be known
                error = "the image list \"" + listPath + "\" has two columns named " + which;
                return false;
            }
            *column = static_cast<int>(i);
        }
    }
    if (imageColumn < 0) {
        error = "the image list \"" + listPath + "\" has no column named image";
        return false;
    }
    const fs::path folder = fs::path(listPath).parent_path();
    const size_t before = images.size();
    while (std::getline(in, line)) {
        const std::vector<std::string> fields = split(line);
        if (static_cast<int>(fields.size()) <= imageColumn || fields[imageColumn].empty()) continue;
        BatchImage image;
        image.name = fields[static_cast<size_t>(imageColumn)];
        if (image.name.find('\0') != std::string::npos) {  // the name would end there
            error = "the image list \"" + listPath + "\" names an image with a NUL byte";
            return false;
        }
        const fs::path path(image.name);
        image.path = path.is_absolute() || folder.empty() ? image.name : (folder / path).string();
        if (groupColumn >= 0 && static_cast<int>(fields.size()) > groupColumn)
            image.group = trimmed(fields[static_cast<size_t>(groupColumn)]);
        images.push_back(std::move(image));
    }
    if (images.size() == before) {
        error = "the image list \"" + listPath + "\" names no image";
        return false;
    }
    return true;
}

}  // namespace

bool expandInputs(const std::vector<std::string>& inputs,
                  const std::string& groupPattern,
                  std::vector<BatchImage>& images,
                  std::string& error,
                  std::vector<std::string>* notes) {
    images.clear();
    for (const std::string& input : inputs) {
        std::error_code ec;
        if (fs::is_directory(input, ec)) {
            // The pictures of a run of this program into the folder are its output, not images
            // of the microscope. Entries that are no regular file (a dangling link, a pipe) are
            // listed, so that their status says what they are.
            const std::vector<std::string> drawn = earlierRunFiles(input);
            const std::set<std::string> own(drawn.begin(), drawn.end());
            std::vector<std::string> found;
            int32_t ownPictures = 0;
            for (fs::directory_iterator it(input, ec), end; !ec && it != end; it.increment(ec)) {
                std::error_code typeError;
                if (it->is_directory(typeError) || !isImageFileName(it->path())) continue;
                if (own.count(it->path().filename().string()) > 0) {
                    ++ownPictures;
                    continue;
                }
                found.push_back(it->path().string());
            }
            if (ec) {
                error = "cannot read the folder \"" + input + "\": " + ec.message();
                return false;
            }
            std::sort(found.begin(), found.end());
            for (const std::string& path : found) images.push_back({path, path, "", 1});
            if (notes == nullptr) continue;
            if (ownPictures > 0)
                notes->push_back("\"" + input + "\": " + std::to_string(ownPictures) +
                                 " pictures that rugon-report drew there (its report.json lists "
                                 "them) are left out");
            if (found.empty() && ownPictures == 0)
                notes->push_back("\"" + input +
                                 "\" is a folder that holds no image file (by its extension): "
                                 "nothing is measured from it");
        } else if (hasExtension(input, ".csv")) {
            if (!readImageList(input, images, error)) return false;
        } else {
            images.push_back({input, input, "", 1});
        }
    }
    if (!groupPattern.empty()) {
        std::regex pattern;
        try {
            pattern = std::regex(groupPattern);
        } catch (const std::regex_error&) {
            error = "the group pattern \"" + groupPattern + "\" is not a valid regular expression";
            return false;
        }
        for (BatchImage& image : images) {
            if (!image.group.empty()) continue;
            const std::string file = fs::path(image.path).filename().string();
            std::smatch match;
            if (std::regex_search(file, match, pattern))
                image.group =
                    match.size() > 1 && match[1].matched ? match[1].str() : match[0].str();
        }
    }
    return true;
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

std::string batchProgressText(int32_t done, int32_t n, double elapsedSeconds) {
    char text[160];
    if (done > 0 && done < n) {
        const double left = elapsedSeconds / done * (n - done);
        std::snprintf(text, sizeof text, "%d of %d images done, %.1f s elapsed, about %.0f s left",
                      done, n, elapsedSeconds, left);
    } else {
        std::snprintf(text, sizeof text, "%d of %d images done, %.1f s elapsed", done, n,
                      elapsedSeconds);
    }
    return text;
}

namespace {

// The images of a parameter-file run with their settings.
bool parameterFileImages(const ReportOptions& options,
                         ProgressOutput& out,
                         std::vector<BatchImage>& images,
                         std::vector<AnalysisSettings>& settings) {
    std::string error;
    if (!parameterFileReadable(options.parameterFile, error)) {
        out.message("cannot open parameter file \"" + options.parameterFile + "\": " + error);
        return false;
    }
    RunParameters params;
    if (!readParameterFile(options.parameterFile.c_str(), params)) {
        out.message("cannot read parameter file \"" + options.parameterFile + "\"");
        return false;
    }
    for (const std::unique_ptr<ImageEntry>& entry : params.images) {
        if (entry->name.find('\0') != std::string::npos) {  // the name would end there
            out.message("the parameter file \"" + options.parameterFile +
                        "\" names an image with a NUL byte");
            return false;
        }
        BatchImage image;
        image.name = entry->name;
        image.path = resolveImagePath(options.parameterFile, entry->name);
        image.pairing = entry->pairing;
        images.push_back(image);
        settings.push_back(settingsFor(options, &params, entry->pairing));
    }
    if (!options.groupPattern.empty()) {
        const std::regex pattern(options.groupPattern);
        for (BatchImage& image : images) {
            std::smatch match;
            const std::string file = fs::path(image.path).filename().string();
            if (std::regex_search(file, match, pattern))
                image.group =
                    match.size() > 1 && match[1].matched ? match[1].str() : match[0].str();
        }
    }
    return true;
}

// Draws the pictures of one measured or line-less image, each by writeByRename; false names
// the file not written (quoted, with the reason when known).
bool writePictures(const std::string& folder, ImageResult& result, std::string& failed) {
    const std::string base = pictureBaseName(result.position, result.name);
    using Writer = bool (*)(const ImageResult&, const std::string&);
    const std::pair<const char*, Writer> pictures[] = {{".png", writeFigurePng},
                                                       {".svg", writeFigureSvg},
                                                       {"-psd.png", writePsdFigurePng},
                                                       {"-psd.svg", writePsdFigureSvg}};
    std::string* names[] = {&result.pngFile, &result.svgFile, &result.psdPngFile,
                            &result.psdSvgFile};
    for (size_t k = 0; k < 4; ++k) {
        const std::string path = joinPath(folder, base + pictures[k].first);
        std::string why;
        const Writer write = pictures[k].second;
        if (!writeByRename(
                path, [&](const std::string& to) { return write(result, to); }, why)) {
            failed = failedWriteText(path, why);
            return false;
        }
        *names[k] = base + pictures[k].first;
    }
    return true;
}

}  // namespace

int runReport(const ReportOptions& options, std::FILE* err, bool errIsTerminal) {
    ProgressOutput out{err, errIsTerminal};
    std::string error;
    std::vector<BatchImage> images;
    std::vector<AnalysisSettings> settings;
    if (options.useParameterFile) {
        if (!parameterFileImages(options, out, images, settings)) return kExitCannotRun;
    } else {
        std::vector<std::string> notes;
        if (!expandInputs(options.inputs, options.groupPattern, images, error, &notes)) {
            out.message(error);
            return kExitCannotRun;
        }
        for (const std::string& note : notes) out.message(note);
        if (images.empty()) {
            out.message("no image files found in the given folders");
            return kExitCannotRun;
        }
        for (BatchImage& image : images) {
            image.pairing = options.overrides.pairing ? *options.overrides.pairing : 1;
            settings.push_back(settingsFor(options, nullptr, image.pairing));
        }
    }
    if (!prepareOutputFolder(options.outputFolder, error)) {
        out.message("cannot write to output folder \"" + options.outputFolder + "\": " + error);
        return kExitCannotRun;
    }
    auto cannotWrite = [&out](const std::string& what) {
        out.message("cannot write " + what);
        return kExitCannotRun;
    };

    const int32_t n = static_cast<int32_t>(images.size());
    // What the run reads: the parameter file or the names given (image files, folders and the
    // CSV lists of images), then every image.
    std::vector<std::string> inputs;
    if (options.useParameterFile)
        inputs.push_back(options.parameterFile);
    else
        inputs = options.inputs;
    std::vector<std::string> outputs = reportFileNames();
    for (std::string& output : outputs) output = joinPath(options.outputFolder, output);
    std::vector<std::string> planned;  // the pictures' names
    for (int32_t k = 1; k <= n; ++k) {
        const BatchImage& image = images[static_cast<size_t>(k - 1)];
        inputs.push_back(image.path);
        const std::string base = pictureBaseName(k, image.name);
        for (const char* suffix : {".png", ".svg", "-psd.png", "-psd.svg"}) {
            planned.push_back(base + suffix);
            outputs.push_back(joinPath(options.outputFolder, planned.back()));
        }
    }
    const std::string clash = outputReplacingInput(outputs, inputs);
    if (!clash.empty()) {
        out.message("will not overwrite \"" + clash +
                    "\": it is an input of this run; choose another output folder");
        return kExitCannotRun;
    }
    const std::vector<std::string> earlier = earlierRunFiles(options.outputFolder);
    if (!startRun(options.outputFolder, earlier, planned, error)) return cannotWrite(error);
    const StopSignals stopSignals;
    // A group pattern that leaves images out of every group is most likely mistyped.
    if (!options.groupPattern.empty() && n > 0) {
        int32_t ungrouped = 0;
        for (const BatchImage& image : images) ungrouped += image.group.empty() ? 1 : 0;
        if (ungrouped == n)
            out.message("the group pattern \"" + options.groupPattern +
                        "\" matches none of the image names: no groups");
        else if (ungrouped > 0)
            out.message(std::to_string(ungrouped) + " of " + std::to_string(n) +
                        " images are in no group: the group pattern \"" + options.groupPattern +
                        "\" does not match their names");
    }
    // One file listed twice (by a folder and by name, or twice by name) is measured twice and
    // counts twice in the batch and group statistics, as asked; the user should know.
    std::map<std::pair<dev_t, ino_t>, std::vector<int32_t>> listed;
    std::pair<dev_t, ino_t> identity;
    for (int32_t k = 1; k <= n; ++k)
        if (fileIdentity(images[static_cast<size_t>(k - 1)].path, identity))
            listed[identity].push_back(k);
    for (const auto& [file, positions] : listed) {
        if (positions.size() < 2) continue;
        std::string which;
        for (int32_t k : positions) which += (which.empty() ? "" : ", ") + std::to_string(k);
        out.message(images[static_cast<size_t>(positions[0] - 1)].name + " is listed " +
                    std::to_string(positions.size()) + " times (images " + which +
                    "): each is measured and counts in the batch and group statistics");
    }

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    std::vector<ImageResult> results(static_cast<size_t>(n));
    for (int32_t k = 1; k <= n; ++k) {
        ImageResult& r = results[static_cast<size_t>(k - 1)];
        const BatchImage& image = images[static_cast<size_t>(k - 1)];
        r.position = k;
        r.name = image.name;
        r.path = image.path;
        r.group = image.group;
        r.pairing = image.pairing;
    }

    // Every image is measured and drawn by one worker into its own slot; messages and progress
    // go out under one lock, and the tables are written afterwards in list order, so that the
    // files do not depend on the number of workers.
    int32_t workers = options.jobs > 0
                          ? options.jobs
                          : static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
    if (workers > n) workers = n > 0 ? n : 1;
    std::mutex outputLock;
    int32_t done = 0;
    std::string pictureFailure;
    std::atomic<bool> failed{false};
    auto measureOne = [&](size_t i) {
        if (gStopRequested.load()) return;
        ImageResult& r = results[i];
        measureImageFile(settings[i], r);
        std::string notWritten;
        const bool drawn = !wasLoaded(r) || writePictures(options.outputFolder, r, notWritten);
        // The tables need only the figures; the pictures are the bulk of a result.
        r.picture.release();
        r.analysis.picture.release();
        r.analysis.widths.widthGrid.release();
        std::lock_guard<std::mutex> lock(outputLock);
        if (!drawn && !failed.exchange(true)) pictureFailure = notWritten;
        ++done;
        // Once stopped, an image that failed may have lost its decoder to the same signal.
        if (r.status != ImageStatus::kMeasured && !gStopRequested.load())
            out.message(r.name + ": " + r.reason);
        if (n > 1) out.progress(batchProgressText(done, n, elapsed()));
    };
    if (n > 0) {
        if (n > 1) out.progress(batchProgressText(0, n, 0.0));
        tbb::task_arena arena(workers);
        arena.execute([&] {
            tbb::parallel_for(tbb::blocked_range<size_t>(0, static_cast<size_t>(n), 1),
                              [&](const tbb::blocked_range<size_t>& range) {
                                  for (size_t i = range.begin(); i != range.end(); ++i)
                                      measureOne(i);
                              });
        });
    }
    releaseFigureCaches();
    auto stopped = [&out] {
        if (!gStopRequested.load()) return false;
        out.message(
            "stopped by a signal before the tables were written: the output folder holds "
            "the pictures drawn so far, and its report.json says the run did not end");
        return true;
    };
    if (stopped()) return kExitCannotRun;

    int32_t measured = 0;
    for (const ImageResult& r : results)
        if (r.status == ImageStatus::kMeasured) ++measured;

    RunDescription run;
    run.parameterFile = options.useParameterFile ? options.parameterFile : std::string();
    run.settings = settings.empty() ? settingsFor(options, nullptr, 1) : settings[0];
    run.workers = workers;
    std::vector<std::string> files;
    // The last moment a signal stops the run; the tables, each whole, take a moment to write.
    if (stopped()) return kExitCannotRun;
    if (!writeReportFiles(options.outputFolder, run, results, error, &files))
        return cannotWrite(error);
    std::set<std::string> written(files.begin(), files.end());
    for (const ImageResult& r : results)
        for (const std::string* name : {&r.pngFile, &r.svgFile, &r.psdPngFile, &r.psdSvgFile})
            if (!name->empty()) written.insert(*name);
    removeEarlierRunFiles(options.outputFolder, earlier, written, inputs);
    // A picture that could not be written fails the run, after the tables: the folder then
    // holds this run's figures and pictures, without the one that is missing, not the tables of
    // the earlier run beside this run's pictures.
    if (failed.load()) return cannotWrite(pictureFailure);

    if (n > 1) {
        char summary[160];
        std::snprintf(summary, sizeof summary, "%d of %d images measured in %.1f s", measured, n,
                      elapsed());
        out.message(summary);
    }
    return measured == n ? kExitAllMeasured : kExitNotAllMeasured;
}
