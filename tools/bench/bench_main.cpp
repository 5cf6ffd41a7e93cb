// rugon-bench: times the analysis of generated SEM images along the reference path and the
// fast path in the same run, stage by stage and end to end, measures the peak memory of each
// path in a child process, and checks that both paths print the same text and paint the same
// picture. No display is needed.
#include <IL/il.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/image_load.h"
#include "metrology/metrology.h"
#include "run/image_analysis.h"
#include "run/parameters.h"
#include "synthetic/synthetic_sem.h"

namespace {

const char kUsage[] =
    "Usage: rugon-bench [--reps N] [--quick] [--examples DIR] [--dir DIR]\n"
    "\n"
    "Generates SEM images of rough lines, analyses each along the reference path and the\n"
    "fast path, and prints per image the median and best time of every stage and of the\n"
    "whole analysis (analyseFile) for both paths with their ratio, the peak memory of each\n"
    "path, and whether both paths give identical console text and pictures. Beside them it\n"
    "times the metrology (measureMetrology: sub-pixel edges, spectra, fits and bootstrap) on\n"
    "the loaded grid, against the fast path's stages from the tracing to the fit.\n"
    "\n"
    "  --reps N        repetitions of every measurement [5]\n"
    "  --quick         one repetition, and only the 512 and 1024 images\n"
    "  --examples DIR  also check the images listed in DIR/input.txt for identity\n"
    "  --dir DIR       write the generated images to DIR and keep them [a temporary folder]\n"
    "\n"
    "Exit status: 0 when every identity check passes, 1 when one fails, 2 on bad usage or\n"
    "when the images cannot be written.\n";

// One benchmark image.
struct BenchCase {
    const char* label;
    int32_t size;              // width and height, pixels
    int32_t lines;             // lines; two edges each
    double pitch;              // pixels
    double cd;                 // pixels
    double correlationLength;  // of the edge roughness, rows
    bool large;                // left out by --quick
};

const BenchCase kCases[] = {
    {"512x512, 6 edges", 512, 3, 160.0, 64.0, 20.0, false},
    {"1024x1024, 20 edges", 1024, 10, 100.0, 44.0, 20.0, false},
    {"2048x2048, 40 edges", 2048, 20, 100.0, 44.0, 20.0, true},
    {"2048x2048, 40 edges, correlation length 100", 2048, 20, 100.0, 44.0, 100.0, true},
};

// The image whose figures the goals below refer to.
constexpr int32_t kGoalCase = 1;
constexpr double kGoalRatio = 10.0;
constexpr double kGoalFastSeconds = 0.150;
constexpr double kGoalMemoryFactor = 20.0;

RunParameters benchParameters() {
    RunParameters p;
    p.detectionFloor = 0.3;
    p.edgeHalfWindow = 10;
    p.kernelRows = 5;
    p.kernelColumns = 5;
    p.kernelSigma = 1.0;
    p.edgeThreshold = 0.5;
    p.pixelSize = 2.0;
    return p;
}

constexpr int32_t kPairing = 1;  // the first edge opens a line

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

double best(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

// What the program prints for the image: one line per processed edge, then the report.
std::string consoleText(const char* name, const ImageAnalysis& a, double pixelSize) {
    std::string text;
    for (const EdgeFigures& e : a.processed) text += formatEdgeLine(a, e.edgeNumber);
    return text + formatReport(name, a, pixelSize);
}

bool samePicture(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height) return false;
    if (a.bytes == nullptr || b.bytes == nullptr) return a.bytes == b.bytes;
    const size_t n = 3 * static_cast<size_t>(a.width) * static_cast<size_t>(a.height);
    return std::memcmp(a.bytes, b.bytes, n) == 0;
}

bool sameAnalysis(const char* name,
                  const ImageAnalysis& a,
                  const ImageAnalysis& b,
                  double pixelSize) {
    return a.status == b.status &&
           consoleText(name, a, pixelSize) == consoleText(name, b, pixelSize) &&
           samePicture(a.picture, b.picture);
}

const char* pathName(AnalysisPath path) {
    return path == AnalysisPath::kFast ? "fast" : "reference";
}

// Peak resident memory, in KiB, of a child that runs this program with `arguments`; -1 when
// the child cannot be run or fails.
long childPeakKib(const std::vector<std::string>& arguments) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::vector<char*> argv;
        static char self[] = "/proc/self/exe";
        argv.push_back(self);
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(self, argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    if (wait4(pid, &status, 0, &usage) != pid) return -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

// The child of childPeakKib: analyses `name` once along `path` ("-" for no image: the
// program's own footprint).
int runMemoryChild(const char* name, const char* path) {
    ilInit();
    if (std::strcmp(name, "-") == 0) return 0;
    const RunParameters params = benchParameters();
    ImageAnalysis result;
    analyseFile(name, kPairing, params,
                std::strcmp(path, "fast") == 0 ? AnalysisPath::kFast : AnalysisPath::kReference,
                result);
    return result.status == AnalysisStatus::kMeasured ? 0 : 1;
}

// Times and checks of one image.
struct CaseResult {
    std::vector<double> stageSeconds[2][kAnalysisStageCount];  // [path][stage], one per repetition
    std::vector<double> stageTotals[2];
    std::vector<double> fileSeconds[2];  // analyseFile end to end
    long peakKib[2] = {-1, -1};
    int32_t edgesFound = 0;
    int32_t linesMeasured = 0;
    bool pathsIdentical = true;
    bool stagesMatchPipeline = true;
    std::vector<double> metrologySeconds;  // measureMetrology on the loaded grid
    MetrologyResult metrology;
};

constexpr int32_t kReference = 0;
constexpr int32_t kFast = 1;
const AnalysisPath kPaths[2] = {AnalysisPath::kReference, AnalysisPath::kFast};

CaseResult measureCase(const std::string& file, int32_t reps) {
    const RunParameters params = benchParameters();
    const char* name = file.c_str();
    CaseResult r;
    // The metrology stage: on the grid and coarse edges the analysis works from, with the
    // benchmark's pixel size and pairing and the default settings otherwise. It is timed right
    // after the fast path in every repetition, so that both see the same load of the machine.
    GreyImage grid;
    const bool gridLoaded = loadGreyImage(name, grid);
    const CoarseEdges coarse =
        gridLoaded ? locateCoarseEdges(grid, params.detectionFloor) : CoarseEdges();
    MetrologySettings metrologySettings;
    metrologySettings.pixelSizeNm = params.pixelSize;
    metrologySettings.pairing = kPairing;
    for (int32_t rep = 0; rep < reps; ++rep) {
        ImageAnalysis byFile[2];
        // The paths take turns in going first, so that neither always finds the file cached
        // or the processor's clock raised by the other.
        for (int32_t turn = 0; turn < 2; ++turn) {
            const int32_t p = (rep + turn) % 2;
            ImageAnalysis staged;
            StageTimes times;
            analyseFile(name, kPairing, params, kPaths[p], staged, &times);
            for (int32_t s = 0; s < kAnalysisStageCount; ++s)
                r.stageSeconds[p][s].push_back(times.seconds[s]);
            r.stageTotals[p].push_back(times.total());
            if (p == kFast && gridLoaded) {
                const Clock::time_point start = Clock::now();
                measureMetrology(grid, coarse, metrologySettings, r.metrology);
                r.metrologySeconds.push_back(
                    std::chrono::duration<double>(Clock::now() - start).count());
            }

            const Clock::time_point start = Clock::now();
            analyseFile(name, kPairing, params, kPaths[p], byFile[p]);
            r.fileSeconds[p].push_back(std::chrono::duration<double>(Clock::now() - start).count());
            if (!sameAnalysis(name, staged, byFile[p], params.pixelSize))
                r.stagesMatchPipeline = false;
        }
        if (byFile[kFast].status != AnalysisStatus::kMeasured ||
            !sameAnalysis(name, byFile[kReference], byFile[kFast], params.pixelSize))
            r.pathsIdentical = false;
        r.edgesFound = byFile[kFast].coarse.count;
        r.linesMeasured = byFile[kFast].lineCount;
    }
    for (int32_t p = 0; p < 2; ++p)
        r.peakKib[p] = childPeakKib({"--memory-child", file, pathName(kPaths[p])});
    return r;
}

void printRow(const char* label,
              const std::vector<double>& reference,
              const std::vector<double>& fast) {
    const double mr = median(reference);
    const double mf = median(fast);
    std::printf("  %-28s %10.1f %10.1f %10.1f %10.1f %8.1f\n", label, 1e3 * mr,
                1e3 * best(reference), 1e3 * mf, 1e3 * best(fast), mf > 0.0 ? mr / mf : 0.0);
}

void printCase(const BenchCase& c, const CaseResult& r, long baselineKib) {
    std::printf("\n%s (%d edges found, %d lines)\n", c.label, r.edgesFound, r.linesMeasured);
    std::printf("  %-28s %10s %10s %10s %10s %8s\n", "stage, ms", "ref median", "ref best",
                "fast median", "fast best", "ratio");
    for (int32_t s = 0; s < kAnalysisStageCount; ++s)
        printRow(stageName(static_cast<AnalysisStage>(s)), r.stageSeconds[kReference][s],
                 r.stageSeconds[kFast][s]);
    printRow("sum of the stages", r.stageTotals[kReference], r.stageTotals[kFast]);
    printRow("analyseFile, end to end", r.fileSeconds[kReference], r.fileSeconds[kFast]);
    if (r.metrologySeconds.empty()) {
        std::printf("  metrology: not measured (the image did not load)\n");
    } else {
        // The specified analysis itself: its stages from the tracing on (the metrology is
        // given the loaded grid and the coarse edges, as those stages are).
        std::vector<double> analysisSeconds;
        for (size_t rep = 0; rep < r.stageTotals[kFast].size(); ++rep) {
            double sum = 0.0;
            for (int32_t st = static_cast<int32_t>(AnalysisStage::kTracing);
                 st < kAnalysisStageCount; ++st)
                sum += r.stageSeconds[kFast][st][rep];
            analysisSeconds.push_back(sum);
        }
        const double m = median(r.metrologySeconds);
        const double analysis = median(analysisSeconds);
        const MetrologyResult& mr = r.metrology;
        std::printf(
            "  %-28s %10s %10s %10.1f %10.1f  (%.2f of the fast analysis stages, tracing to "
            "fit, %.1f ms: %s)\n",
            "metrology (sub-pixel, PSD)", "", "", 1e3 * m, 1e3 * best(r.metrologySeconds),
            analysis > 0.0 ? m / analysis : 0.0, 1e3 * analysis,
            m <= analysis ? "within" : "ABOVE");
        std::printf(
            "  metrology figures: %zu edges, %d missing rows; 3-sigma LER %.2f -> %.2f nm, "
            "LWR %.2f -> %.2f nm (biased -> unbiased)\n",
            mr.edges.size(), mr.missingEdgeRows, mr.ler.sigma3BiasedNm, mr.ler.sigma3UnbiasedNm,
            mr.lwr.sigma3BiasedNm, mr.lwr.sigma3UnbiasedNm);
    }

    const double gridMib = 8.0 * c.size * c.size / (1024.0 * 1024.0);
    std::printf("  peak memory, MiB (grid of doubles %.1f MiB; idle program %.1f MiB):\n", gridMib,
                baselineKib / 1024.0);
    for (int32_t p = 0; p < 2; ++p) {
        if (r.peakKib[p] < 0) {
            std::printf("    %-10s not measured (the child failed)\n", pathName(kPaths[p]));
            continue;
        }
        const double peakMib = r.peakKib[p] / 1024.0;
        std::printf("    %-10s %8.1f = %5.1f grids; growth over idle %8.1f = %5.1f grids\n",
                    pathName(kPaths[p]), peakMib, peakMib / gridMib,
                    (r.peakKib[p] - baselineKib) / 1024.0,
                    (r.peakKib[p] - baselineKib) / 1024.0 / gridMib);
    }
    std::printf("  identity: reference and fast path %s; timed run %s untimed run\n",
                r.pathsIdentical ? "identical (text and picture)" : "DIFFER",
                r.stagesMatchPipeline ? "matches" : "DOES NOT MATCH");
}

// Checks the images of DIR/input.txt; false when a path differs.
bool checkExamples(const std::string& dir) {
    RunParameters params;
    const std::string input = dir + "/input.txt";
    if (!readParameterFile(input.c_str(), params)) return false;
    bool allSame = true;
    for (const auto& entry : params.images) {
        const std::string file = dir + "/" + entry->name;
        ImageAnalysis reference;
        ImageAnalysis fast;
        analyseFile(file.c_str(), entry->pairing, params, AnalysisPath::kReference, reference);
        analyseFile(file.c_str(), entry->pairing, params, AnalysisPath::kFast, fast);
        const bool same = sameAnalysis(entry->name.c_str(), reference, fast, params.pixelSize);
        std::printf("  %-40s %s\n", entry->name.c_str(),
                    reference.status == AnalysisStatus::kNotLoaded
                        ? "not loaded"
                        : (same ? "identical (text and picture)" : "DIFFER"));
        if (!same) allSame = false;
    }
    return allSame;
}

bool writeCaseImage(const BenchCase& c, const std::string& file) {
    SyntheticSemSettings s;
    s.width = c.size;
    s.height = c.size;
    s.lineCount = c.lines;
    s.pitch = c.pitch;
    s.cd = c.cd;
    s.firstEdge = 30.0;
    s.correlationLength = c.correlationLength;
    s.seed = 7;
    SyntheticSem image;
    return makeSyntheticSem(s, image) && writePgm(image, file);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--memory-child") == 0)
        return runMemoryChild(argv[2], argv[3]);

    int32_t reps = 5;
    bool quick = false;
    std::string examples;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--reps" && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else if (a == "--quick") {
            quick = true;
        } else if (a == "--examples" && i + 1 < argc) {
            examples = argv[++i];
        } else if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else {
            std::fputs(kUsage, a == "--help" ? stdout : stderr);
            return a == "--help" ? 0 : 2;
        }
    }
    if (quick) reps = 1;
    if (reps < 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const bool keep = !dir.empty();
    if (keep) {
        mkdir(dir.c_str(), 0777);  // an existing folder is used as it is
    } else {
        char pattern[] = "/tmp/rugon-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::fprintf(stderr, "rugon-bench: cannot make a temporary folder\n");
            return 2;
        }
        dir = pattern;
    }

    ilInit();
    double load[1] = {0.0};
    char loadText[32] = "unknown";
    if (getloadavg(load, 1) == 1) std::snprintf(loadText, sizeof loadText, "%.2f", load[0]);
    std::printf(
        "rugon-bench: %d repetitions; times in ms (median and best), ratio of the "
        "medians reference / fast; %ld processors, load average %s\n",
        reps, sysconf(_SC_NPROCESSORS_ONLN), loadText);
    const long baselineKib = childPeakKib({"--memory-child", "-", "fast"});
    bool allSame = true;
    std::vector<std::string> files;
    int32_t index = 0;
    for (const BenchCase& c : kCases) {
        if (quick && c.large) {
            ++index;
            continue;
        }
        const std::string file = dir + "/bench-" + std::to_string(index++) + ".pgm";
        if (!writeCaseImage(c, file)) {
            std::fprintf(stderr, "rugon-bench: cannot write %s\n", file.c_str());
            return 2;
        }
        files.push_back(file);
        const CaseResult r = measureCase(file, reps);
        printCase(c, r, baselineKib);
        std::fflush(stdout);
        if (!r.pathsIdentical || !r.stagesMatchPipeline) allSame = false;
        if (&c - kCases == kGoalCase) {
            const double ratio = median(r.fileSeconds[kReference]) / median(r.fileSeconds[kFast]);
            const double fastMedian = median(r.fileSeconds[kFast]);
            const double gridKib = 8.0 * c.size * c.size / 1024.0;
            const bool memoryOk = r.peakKib[kFast] >= 0 &&
                                  r.peakKib[kFast] < kGoalMemoryFactor * gridKib &&
                                  r.peakKib[kReference] < kGoalMemoryFactor * gridKib;
            std::printf(
                "  goals: ratio >= %.0f: %s (%.1f); fast under %.0f ms: %s (median "
                "%.1f, best %.1f); memory under %.0f grids: %s\n",
                kGoalRatio, ratio >= kGoalRatio ? "met" : "NOT MET", ratio, 1e3 * kGoalFastSeconds,
                fastMedian < kGoalFastSeconds ? "met" : "NOT MET", 1e3 * fastMedian,
                1e3 * best(r.fileSeconds[kFast]), kGoalMemoryFactor, memoryOk ? "met" : "NOT MET");
        }
    }
    if (!examples.empty()) {
        std::printf("\nBundled examples (%s):\n", examples.c_str());
        if (!checkExamples(examples)) allSame = false;
    }
    if (!keep) {
        for (const std::string& f : files) std::remove(f.c_str());
        rmdir(dir.c_str());
    }
    std::printf("\nidentity of the reference and fast paths: %s\n",
                allSame ? "all identical" : "SOME DIFFER");
    return allSame ? 0 : 1;
}
