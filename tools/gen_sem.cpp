// rugon-gen-sem: writes a synthetic top-down SEM image of rough vertical lines as an 8-bit PGM
// file, with the true edge positions of every row in a CSV file and the true roughness in JSON.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "option_table.h"
#include "synthetic/synthetic_sem.h"

namespace {

const char kUsage[] =
    "Usage: rugon-gen-sem [options] --output FILE.pgm\n"
    "\n"
    "Writes a synthetic top-down SEM image of vertical lines with rough edges as a binary\n"
    "8-bit PGM file, the true position of every edge in every row as CSV and the true\n"
    "roughness as JSON.\n"
    "\n"
    "Positions are 1-based column coordinates: column X covers X - 0.5 .. X + 0.5.\n"
    "By default each line has a bright band just inside each of its edges, on a darker\n"
    "body, and the spaces between lines are darker still; --contrast draws plain steps.\n"
    "\n"
    "Options (defaults in brackets):\n"
    "  --output FILE          image file to write (required)\n"
    "  --edges FILE           CSV of true edge positions [FILE.pgm with _edges.csv]\n"
    "  --truth FILE           JSON of the true roughness [FILE.pgm with _truth.json]\n"
    "  --width N              columns [512]\n"
    "  --height N             rows [512]\n"
    "  --pitch P              line pitch, pixels [64]\n"
    "  --cd C                 line width, pixels [28]; more than twice the band width\n"
    "  --first-edge X         nominal left edge of the first line, pixels [24]; below 1,\n"
    "                         with --lines, a first line that the left border cuts\n"
    "  --lines N              number of lines; 0 fits as many as lie inside columns\n"
    "                         12 .. width - 12 [0]\n"
    "  --band-width B         width of each bright edge band, pixels [4]; where the line is\n"
    "                         narrower than two bands they meet at its middle\n"
    "  --contrast C           bright-edges (bands), bright-line (line at the band level on\n"
    "                         the background) or dark-line (line at the background level\n"
    "                         on spaces at the band level) [bright-edges]\n"
    "  --sigma S              edge roughness, standard deviation in pixels [1]\n"
    "  --correlation-length L correlation length xi of the roughness, rows [20]\n"
    "  --alpha A              draw the roughness from the spectrum\n"
    "                         PSD(f) = PSD(0) / (1 + (2 pi f xi)^2)^(A + 1/2), 0 <= A <= 4;\n"
    "                         without it, a first-order autoregression with correlation\n"
    "                         exp(-lag / xi) (the same images as before this option)\n"
    "  --edge-correlation R   correlation of each line's left and right edge, -1..1 [0]\n"
    "  --seed N               random seed [1]\n"
    "  --background G         grey level of the spaces [40]\n"
    "  --body G               grey level of the line body [80]\n"
    "  --band G               grey level of the edge bands [200]\n"
    "  --blur S               Gaussian blur, pixels; 0 for none [1]\n"
    "  --noise S              additive Gaussian noise, grey levels; 0 for none [3]\n"
    "  --frames F             shot noise: each pixel the mean of F frames of Poisson\n"
    "                         electron counts; 0 for none [0]\n"
    "  --electrons E          mean electrons per frame and grey level, above 0 [0.1];\n"
    "                         the shot noise variance of level g is g / (F * E)\n"
    "  --cut-last             add one more line that runs past the right border, so its\n"
    "                         right band is cut off (an odd number of edges)\n"
    "  --lone-after           add a lone band after the last line (an odd number of edges;\n"
    "                         ignored with --cut-last)\n"
    "  --lone-before          add a lone band before the first line, so that the first\n"
    "                         edge opens no line (for images analysed with pairing 0)\n"
    "  --help                 show this text\n"
    "\n"
    "The CSV has the header row,edge1_left,edge2_right,... (left and right edges of lines,\n"
    "lone bands by their left flank) and one line per row with the 1-based row number and\n"
    "every edge's position. Line edges are the outer flanks of their bands, or the\n"
    "steps. The JSON gives the settings, the model sigma of edges, widths and line\n"
    "centres, xi, alpha and the edge correlation, and the same figures realised by the\n"
    "drawn edges (each series less its least-squares line), in pixels.\n";

bool parseDouble(const char* text, double& out) {
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0) return false;
    out = v;
    return true;
}

bool parseInt(const char* text, int32_t& out) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < -2147483647L || v > 2147483647L)
        return false;
    out = static_cast<int32_t>(v);
    return true;
}

bool parseSeed(const char* text, uint64_t& out) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-') return false;
    out = v;
    return true;
}

// The extension of the file name `output` with its dot (".pgm"), or "" when it has none.
std::string extensionOf(const std::string& output) {
    const size_t dot = output.rfind('.');
    const size_t slash = output.rfind('/');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return hasExtension ? output.substr(dot) : std::string();
}

// `output` without its extension, followed by `suffix`.
std::string besideOutput(const std::string& output, const char* suffix) {
    return output.substr(0, output.size() - extensionOf(output).size()) + suffix;
}

}  // namespace

int main(int argc, char** argv) {
    SyntheticSemSettings s;
    std::string output;
    std::string edgePath;
    std::string truthPath;
    // The options followed by a value, each with what it sets.
    const ValuedOption valued[] = {
        {"--output", setText(output)},
        {"--edges", setText(edgePath)},
        {"--truth", setText(truthPath)},
        {"--width", [&](const char* v) { return parseInt(v, s.width); }},
        {"--height", [&](const char* v) { return parseInt(v, s.height); }},
        {"--pitch", [&](const char* v) { return parseDouble(v, s.pitch); }},
        {"--cd", [&](const char* v) { return parseDouble(v, s.cd); }},
        {"--first-edge", [&](const char* v) { return parseDouble(v, s.firstEdge); }},
        {"--lines", [&](const char* v) { return parseInt(v, s.lineCount); }},
        {"--band-width", [&](const char* v) { return parseDouble(v, s.bandWidth); }},
        {"--sigma", [&](const char* v) { return parseDouble(v, s.roughnessSigma); }},
        {"--correlation-length",
         [&](const char* v) { return parseDouble(v, s.correlationLength); }},
        {"--contrast", [&](const char* v) { return parseSyntheticContrast(v, s.contrast); }},
        {"--alpha",
         [&](const char* v) {
             s.roughnessModel = SyntheticRoughness::kSpectral;
             return parseDouble(v, s.roughnessExponent);
         }},
        {"--edge-correlation", [&](const char* v) { return parseDouble(v, s.edgeCorrelation); }},
        {"--frames", [&](const char* v) { return parseInt(v, s.shotNoiseFrames); }},
        {"--electrons", [&](const char* v) { return parseDouble(v, s.electronsPerLevel); }},
        {"--seed", [&](const char* v) { return parseSeed(v, s.seed); }},
        {"--background", [&](const char* v) { return parseDouble(v, s.backgroundLevel); }},
        {"--body", [&](const char* v) { return parseDouble(v, s.bodyLevel); }},
        {"--band", [&](const char* v) { return parseDouble(v, s.bandLevel); }},
        {"--blur", [&](const char* v) { return parseDouble(v, s.blurSigma); }},
        {"--noise", [&](const char* v) { return parseDouble(v, s.noiseSigma); }}};
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(option, "--cut-last") == 0) {
            s.cutLastLine = true;
            continue;
        }
        if (std::strcmp(option, "--lone-after") == 0) {
            s.trailingLoneBand = true;
            continue;
        }
        if (std::strcmp(option, "--lone-before") == 0) {
            s.leadingLoneBand = true;
            continue;
        }
        if (const int status =
                takeValuedOption("rugon-gen-sem", valued, std::size(valued), argc, argv, i))
            return status;
    }
    if (output.empty()) {
        std::fprintf(stderr, "rugon-gen-sem: --output is required (see --help)\n");
        return 2;
    }
    // The picture is written as PGM whatever the name says: another extension would give a
    // file that readers take by its name for what it is not.
    const std::string extension = extensionOf(output);
    if (extension != ".pgm" && extension != ".PGM") {
        std::fprintf(stderr,
                     "rugon-gen-sem: --output %s: the picture is written as PGM; name it "
                     ".pgm\n",
                     output.c_str());
        return 2;
    }
    if (edgePath.empty()) edgePath = besideOutput(output, "_edges.csv");
    if (truthPath.empty()) truthPath = besideOutput(output, "_truth.json");

    SyntheticSem image;
    const std::string problem = syntheticSettingsProblem(s);
    if (!problem.empty()) {
        std::fprintf(stderr, "rugon-gen-sem: the settings describe no image: %s\n",
                     problem.c_str());
        return 2;
    }
    if (!makeSyntheticSem(s, image)) {
        std::fprintf(stderr, "rugon-gen-sem: the roughness spectrum could not be prepared\n");
        return 2;
    }
    if (!writePgm(image, output)) {
        std::fprintf(stderr, "rugon-gen-sem: cannot write %s\n", output.c_str());
        return 1;
    }
    if (!writeEdgeCsv(image, edgePath)) {
        std::fprintf(stderr, "rugon-gen-sem: cannot write %s\n", edgePath.c_str());
        return 1;
    }
    if (!writeTruthJson(image, truthPath)) {
        std::fprintf(stderr, "rugon-gen-sem: cannot write %s\n", truthPath.c_str());
        return 1;
    }
    std::printf("%s: %d x %d, %zu edges; true edges in %s, true roughness in %s\n", output.c_str(),
                image.width, image.height, image.edges.size(), edgePath.c_str(), truthPath.c_str());
    bool wholeLine = false;
    for (const SyntheticEdge& e : image.edges)
        wholeLine = wholeLine || e.kind == SyntheticEdgeKind::kLineRight;
    // Rows where a line's edges cross: the truth there holds a width of zero or less, which no
    // picture shows (the line is simply not drawn in those rows).
    int64_t crossed = 0;
    for (size_t e = 0; e + 1 < image.edges.size(); ++e) {
        if (image.edges[e].kind != SyntheticEdgeKind::kLineLeft ||
            image.edges[e + 1].kind != SyntheticEdgeKind::kLineRight)
            continue;
        for (size_t y = 0; y < image.edges[e].positions.size(); ++y)
            crossed += image.edges[e + 1].positions[y] <= image.edges[e].positions[y] ? 1 : 0;
    }
    if (crossed > 0)
        std::fprintf(stderr,
                     "rugon-gen-sem: warning: the edges of a line cross in %lld rows (a cd of %g "
                     "px against an edge sigma of %g px): the truth there holds widths of zero or "
                     "less that the picture does not show\n",
                     static_cast<long long>(crossed), s.cd, s.roughnessSigma);
    if (!wholeLine && s.lineCount == 0)
        std::fprintf(stderr,
                     "rugon-gen-sem: warning: no whole line fits inside columns 12 .. %d from the "
                     "first edge %g at a cd of %g px, so none was drawn; give --lines N to draw "
                     "lines that the borders cut\n",
                     image.width - 12, s.firstEdge, s.cd);
    return 0;
}
