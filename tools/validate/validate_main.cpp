// rugon-validate: measures generated images of known roughness with the sub-pixel metrology
// and shows how well the true LER, LWR, LPR, xi and alpha are recovered as the noise grows.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "option_table.h"
#include "validate/bound.h"
#include "validate/validation.h"
#include "validate/validation_output.h"

namespace {

const char kUsage[] =
    "Usage: rugon-validate [options]\n"
    "\n"
    "Draws images of rough lines with known edges (rugon-gen-sem's generator), measures them\n"
    "with the sub-pixel metrology of rugon-report and sets the measured 3-sigma LER, LWR and\n"
    "LPR (biased, unbiased and the unbiased figure's 95 % interval), xi and alpha beside the\n"
    "truth. Prints the recovery table and the verdict as Markdown; writes recovery.csv,\n"
    "recovery.md and a picture of biased and unbiased LWR against the noise.\n"
    "\n"
    "The grid: bright-edge, bright-line and dark-line images of 1024 x 1024 pixels, 16 lines\n"
    "of pitch 64 and CD 28 px, edge sigma 1.5 px, alpha 0.5 and 0.8, xi 10 and 40 px, blur 1\n"
    "px, edge contrast 160 grey levels, Gaussian noise 0 .. 200 grey levels, and shot-noise\n"
    "series of 32 .. 1 frames. Pixel size 0.5 nm.\n"
    "\n"
    "Options:\n"
    "  --quick             six images (a clean one and one of noise 70 of each contrast,\n"
    "                      alpha 0.8, xi 20 px), for the test command\n"
    "  --output-dir DIR    where the files go [validation]\n"
    "  --plot FILE         the picture [DIR/lwr_vs_noise.png]\n"
    "  --seed N            base seed; image i uses N + i [731000]\n"
    "  --side N            image width and height, 128 to 8192 px [1024]\n"
    "  --resamples N       bootstrap resamples of each interval [200]\n"
    "  --bound             instead of images: how closely xi and alpha can be known at all\n"
    "                      from the grid's edges (32 series of 1024 rows, sigma 1.5 px, blur\n"
    "                      1 px, white detector noise 0.12 .. 1.35 px, the grid's noise 10\n"
    "                      .. 120): the Cramer-Rao bound beside the scatter of the\n"
    "                      measurement's fit on 100 sets of random series each (seeded by\n"
    "                      --seed); a Markdown table, about 6 minutes\n"
    "  --help              show this text\n"
    "\n"
    "Exit status 0 when every target is met, 1 when one is missed, 2 on bad usage or files.\n";

bool parseCount(const char* text, long long low, long long high, long long& out) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < low || v > high) return false;
    out = v;
    return true;
}

// A setter of a whole number within low .. high.
template <typename T>
OptionSetter setCount(T& target, long long low, long long high) {
    return [&target, low, high](const char* value) {
        long long n = 0;
        const bool ok = parseCount(value, low, high, n);
        target = static_cast<T>(n);
        return ok;
    };
}

bool makeFolder(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    return mkdir(path.c_str(), 0755) == 0;
}

// The detector noise of the bound table, px: the grid's Gaussian noise 10, 20, 40, 60, 80, 100
// and 120 as the fitted floors of its edge spectra give it (sqrt(floor x bandwidth)).
constexpr double kBoundNoisePx[] = {0.12, 0.25, 0.53, 0.85, 1.09, 1.25, 1.35};

// The bound table of --bound: per edge kind and detector noise, the spread an unbiased
// estimator cannot beat, the fit's own, and the share of sets within the targets.
int printBound(uint64_t seed, const RecoveryTargets& targets) {
    const double xiTolerance = targets.maxXiErrorPercent / 100.0;
    const double alphaTolerance = targets.maxAlphaError;
    std::printf(
        "How closely xi and alpha can be known: %d series of %d rows (sigma %.1f px, roll-off "
        "%.1f px), white detector noise per row; fit: 100 sets each, seed %llu. Spreads are one "
        "standard deviation; \"within\": xi within %.0f %% and alpha within %.2f together, for "
        "an unbiased estimator at the bound and for the fit.\n\n",
        BoundCase().series, BoundCase().rows, BoundCase().sigmaRows, BoundCase().resolutionRows,
        static_cast<unsigned long long>(seed), targets.maxXiErrorPercent, alphaTolerance);
    std::printf(
        "| xi px | alpha | noise px | xi spread %%: bound (roll-off known), fit | fit xi / "
        "true | alpha spread: bound (roll-off known), fit | fit alpha error | within %%: "
        "bound, fit |\n|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    std::fflush(stdout);
    int status = 0;
    uint64_t caseSeed = seed;
    for (double xi : {10.0, 40.0}) {
        for (double alpha : {0.5, 0.8}) {
            for (double noise : kBoundNoisePx) {
                BoundCase c;
                c.xiRows = xi;
                c.alpha = alpha;
                c.noiseSigma = noise;
                CramerRaoBound bound;
                if (!cramerRaoBound(c, bound)) {
                    std::fprintf(stderr, "rugon-validate: no bound for xi %g, alpha %g, noise %g\n",
                                 xi, alpha, noise);
                    status = 1;
                    continue;
                }
                const FitScatter fit = fitScatter(c, 100, caseSeed++, xiTolerance, alphaTolerance);
                std::printf(
                    "| %.0f | %.1f | %.2f | %.1f (%.1f), %.1f | %.3f | %.3f (%.3f), %.3f | %+.3f | "
                    "%.0f, %.0f |\n",
                    xi, alpha, noise, 100.0 * bound.rollOffFitted.xiRelative,
                    100.0 * bound.rollOffKnown.xiRelative, 100.0 * fit.spread.xiRelative,
                    fit.xiMeanRatio, bound.rollOffFitted.alpha, bound.rollOffKnown.alpha,
                    fit.spread.alpha, fit.alphaMeanError,
                    100.0 * chanceWithin(bound.rollOffFitted, xiTolerance, alphaTolerance),
                    fit.fits > 0 ? 100.0 * fit.withinTargets / fit.fits : 0.0);
                std::fflush(stdout);
            }
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    ValidationPlan plan;
    plan.baseSeed = kValidationBaseSeed;
    std::string folder = "validation";
    std::string plotPath;
    bool bound = false;
    // The options followed by a value, each with what it sets.
    const OptionSetter seed = setCount(plan.baseSeed, 0, 1LL << 62);
    const ValuedOption valued[] = {
        {"--output-dir", setText(folder)},
        {"--plot", setText(plotPath)},
        {"--seed",
         [&seed](const char* v) { return v[0] != '-' && seed(v); }},  // no sign, not even -0
        {"--side", setCount(plan.side, 128, 8192)},
        {"--resamples", setCount(plan.bootstrapResamples, 0, 100000)}};
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(option, "--quick") == 0) {
            plan.quick = true;
            continue;
        }
        if (std::strcmp(option, "--bound") == 0) {
            bound = true;
            continue;
        }
        if (const int status =
                takeValuedOption("rugon-validate", valued, std::size(valued), argc, argv, i))
            return status;
    }
    if (bound) return printBound(plan.baseSeed, RecoveryTargets());
    if (!makeFolder(folder)) {
        std::fprintf(stderr, "rugon-validate: cannot make the folder %s\n", folder.c_str());
        return 2;
    }
    if (plotPath.empty()) plotPath = folder + "/lwr_vs_noise.png";

    const std::vector<ValidationCase> cases = validationCases(plan);
    std::vector<RecoveryRow> rows(cases.size());
    // The quick run pools its images' lines; the full grid keeps no measurement.
    std::vector<MetrologyResult> results(plan.quick ? cases.size() : 0);
    double generateSeconds = 0.0;
    double measureSeconds = 0.0;
    for (size_t i = 0; i < cases.size(); ++i) {
        runCase(cases[i], plan, rows[i], plan.quick ? &results[i] : nullptr);
        generateSeconds += rows[i].generateSeconds;
        measureSeconds += rows[i].measureSeconds;
        std::fprintf(stderr, "[%zu/%zu] %s, noise %.1f: LWR %.3f true, %.3f unbiased (%.2f s)\n",
                     i + 1, cases.size(), cases[i].series.c_str(), cases[i].noiseSigma,
                     rows[i].lwr.truth, rows[i].lwr.unbiased,
                     rows[i].generateSeconds + rows[i].measureSeconds);
    }
    setCdShifts(rows);
    const RecoveryTargets targets;
    const RecoveryVerdict verdict =
        plan.quick ? judgeQuick(rows, results, targets) : judgeRecovery(rows, targets);

    const std::string csvPath = folder + "/recovery.csv";
    const std::string mdPath = folder + "/recovery.md";
    bool filesOk = writeRecoveryCsv(rows, csvPath);
    FILE* md = std::fopen(mdPath.c_str(), "w");
    for (FILE* out : {stdout, md}) {
        if (out == nullptr) continue;
        std::fprintf(out,
                     "Recovery of known roughness: %zu images of %d x %d px, pixel %.2f nm, "
                     "base seed %llu, %d bootstrap resamples. Figures in nm; errors against the "
                     "realised truth of the drawn edges.\n\n",
                     rows.size(), plan.side, plan.side, plan.pixelSizeNm,
                     static_cast<unsigned long long>(plan.baseSeed), plan.bootstrapResamples);
        printRecoveryMarkdown(rows, out);
        std::fputs("\n", out);
        if (!plan.quick) {
            printNoiseLevels(summariseByNoise(rows, targets), out);
            std::fputs("\n", out);
        }
        printVerdict(verdict, targets, static_cast<int32_t>(rows.size()), plan.quick, out);
        std::fprintf(out,
                     "\nTime: %.1f s drawing, %.1f s measuring (%.2f s and %.2f s per image).\n",
                     generateSeconds, measureSeconds, generateSeconds / rows.size(),
                     measureSeconds / rows.size());
    }
    filesOk = md != nullptr && (std::fclose(md) == 0) && filesOk;
    filesOk = writeLwrPlot(rows, targets, cases.front().series, plotPath) && filesOk;
    if (!filesOk) {
        std::fprintf(stderr, "rugon-validate: cannot write the files in %s\n", folder.c_str());
        return 2;
    }
    std::fprintf(stderr, "rugon-validate: %s, %s, %s\n", csvPath.c_str(), mdPath.c_str(),
                 plotPath.c_str());
    return verdict.pass() ? 0 : 1;
}
