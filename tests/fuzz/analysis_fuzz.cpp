// Fuzz target of the image analysis on small grids: the bytes choose the grid size, the
// edge-detection settings (as the parameter file could hold them) and the grey levels. Every
// input must end with a defined analysis, the fast and the reference path must agree to the
// last bit, and the window's plot arithmetic must cope with whatever the analysis stored.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/coarse_edges.h"
#include "image/grey_image.h"
#include "run/image_analysis.h"
#include "run/parameters.h"
#include "run/result_store.h"
#include "view/plot_layout.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// Reads the input front to back; bytes past its end read as 0.
struct ByteReader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    // A real as the parameter reader stores it: a finite single-precision value widened, or
    // `fallback` (the field's initial value) for bit patterns that are not finite.
    double real(double fallback) {
        const uint32_t bits = word();
        float v = 0.0f;
        std::memcpy(&v, &bits, sizeof v);
        return std::isfinite(v) ? static_cast<double>(v) : fallback;
    }
};

// Kernel size from one byte: -128 .. 127, held to 15 or 16 (keeping odd or even) on grids
// large enough for the smoothing to cost time; 127 stands for a size beyond the weight cap.
int32_t kernelSize(uint8_t b, int32_t pixels) {
    if (b == 127) return 70000;
    int32_t s = static_cast<int8_t>(b);
    if (s > 16 && pixels > 1024) s = 15 + s % 2;
    return s;
}

// Grid sizes: 1 .. 80 columns; 1 .. 64 rows, or 300 .. 363 rows where the height-height
// correlation and the correlation fit have lags to work on.
void gridSize(uint8_t wb, uint8_t hb, int32_t& width, int32_t& height) {
    width = 1 + wb % 80;
    height = (hb & 0x80) != 0 ? 300 + (hb & 0x3f) : 1 + (hb & 0x3f);
}

// Grey levels: either the remaining bytes repeated pixel after pixel, or a column profile
// (one level per column) shifted per row by a small offset and disturbed by noise, which
// gives vertical lines with rough edges.
void fillGrid(ByteReader& in, bool raw, GreyImage& grid) {
    const uint8_t* rest = in.data + in.at;
    const size_t restSize = in.size - in.at;
    const size_t n = grid.size();
    if (raw) {
        for (size_t i = 0; i < n; ++i) grid.data[i] = restSize > 0 ? rest[i % restSize] : 0;
        return;
    }
    const size_t w = static_cast<size_t>(grid.width);
    const size_t h = static_cast<size_t>(grid.height);
    auto at = [&](size_t i) -> int { return i < restSize ? rest[i] : 0; };
    for (size_t y = 0; y < h; ++y) {
        const int shift = static_cast<int8_t>(at(w + y % 64)) / 32;  // -4 .. 3 columns
        for (size_t x = 0; x < w; ++x) {
            long source = static_cast<long>(x) + shift;
            if (source < 0) source = 0;
            if (source >= static_cast<long>(w)) source = static_cast<long>(w) - 1;
            const size_t noiseIndex = w + 64 + (y * w + x) % 256;
            int level = at(static_cast<size_t>(source)) + (at(noiseIndex) - 128) / 16;
            if (level < 0) level = 0;
            if (level > 255) level = 255;
            grid.at(static_cast<int32_t>(x), static_cast<int32_t>(y)) = level;
        }
    }
}

bool sameBits(const double* a, const double* b, size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(double)) == 0;
}

// Everything the program prints for an analysis.
std::string consoleText(const ImageAnalysis& analysis, double pixelSize) {
    std::string text;
    for (const EdgeFigures& edge : analysis.processed)
        text += formatEdgeLine(analysis, edge.edgeNumber);
    return text + formatReport("fuzz.pgm", analysis, pixelSize);
}

void checkCoarseEdges(const CoarseEdges& coarse, const GreyImage& grid) {
    require(coarse.count >= 0 && coarse.columns.size() == static_cast<size_t>(coarse.count));
    require(coarse.firstRow == 1 && coarse.lastRow == grid.height);
    for (int32_t i = 0; i < coarse.count; ++i) {
        const int32_t column = coarse.columns[static_cast<size_t>(i)];
        require(column >= 10 && column <= grid.width - 10);
        if (i > 0) require(column > coarse.columns[static_cast<size_t>(i - 1)]);
    }
}

void checkProcessedEdges(const ImageAnalysis& analysis, int32_t pairing) {
    int32_t previous = 0;
    for (const EdgeFigures& edge : analysis.processed) {
        require(edge.edgeNumber > previous && edge.edgeNumber <= analysis.coarse.count);
        require(edge.direction == ((pairing + edge.edgeNumber) % 2 == 0 ? 1 : -1));
        previous = edge.edgeNumber;
    }
    if (analysis.status == AnalysisStatus::kMeasured) {
        require(analysis.processed.size() >= 2 && analysis.processed.size() % 2 == 0);
        require(analysis.lineCount == static_cast<int32_t>(analysis.processed.size()) / 2);
    }
}

// The window's plot arithmetic over a stored record, as every frame computes it.
void drawPlotsWithoutGl(const DisplayRecord& record) {
    const LengthAxis x = lengthAxis(record.lengthNm);
    const ValueAxis roughness =
        roughnessAxis(record.lwr3Sigma, record.cdVariation3Sigma, record.lwr3SigmaInfinite);
    const ValueAxis uncertainty = uncertaintyAxis(record.sigmaUncertaintyPct);
    lengthPlotPoints(x, roughness, record.lengthNm, record.lwr3Sigma);
    lengthPlotPoints(x, roughness, record.lengthNm, record.cdVariation3Sigma);
    lengthPlotPoints(x, uncertainty, record.lengthNm, record.sigmaUncertaintyPct);
    if (record.lwr3SigmaInfinite.count > 0)
        lengthPlotLevel(x, roughness, record.lengthNm, record.lwr3SigmaInfinite[0]);
    PlotLabel label;
    infiniteLabel(roughness, record.lwr3SigmaInfinite, label);
    const HhcfAxes axes =
        hhcfAxes(record.logLag, record.logHhcf, record.fitLogLag, record.fitLogHhcf);
    hhcfPoints(axes, record.logLag, record.logHhcf);
    hhcfPoints(axes, record.fitLogLag, record.fitLogHhcf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in{data, size};
    int32_t width = 0;
    int32_t height = 0;
    const uint8_t wb = in.byte();
    const uint8_t hb = in.byte();
    gridSize(wb, hb, width, height);
    const int32_t pixels = width * height;

    RunParameters params;
    params.detectionFloor = 0.3;
    params.kernelRows = kernelSize(in.byte(), pixels);
    params.kernelColumns = kernelSize(in.byte(), pixels);
    params.kernelSigma = in.real(1.0);
    params.edgeThreshold = in.real(1.0);
    params.pixelSize = in.real(0.0);
    params.edgeHalfWindow = static_cast<int32_t>(in.word());
    const uint8_t flags = in.byte();
    const int32_t pairing = flags & 1;

    GreyImage grid;
    require(grid.allocate(width, height));
    fillGrid(in, (flags & 2) != 0, grid);

    const CoarseEdges coarse = locateCoarseEdges(grid, params.detectionFloor);
    checkCoarseEdges(coarse, grid);

    GreyImage fastGrid = grid;
    ImageAnalysis fast;
    analyseGrid(fastGrid, coarse, pairing, params, AnalysisPath::kFast, fast);
    require(fast.status != AnalysisStatus::kNotLoaded);
    checkProcessedEdges(fast, pairing);
    const std::string text = consoleText(fast, params.pixelSize);
    // RUGON_FUZZ_PRINT=1 shows what the program would print for an input (when replaying
    // a crash file or a corpus entry).
    if (std::getenv("RUGON_FUZZ_PRINT") != nullptr)
        std::printf("%d x %d, kernel %d x %d\n%s", width, height, params.kernelRows,
                    params.kernelColumns, text.c_str());

    // The reference path smooths the whole grid once per edge; it is compared where that
    // stays within a few million kernel terms.
    const double rows = std::min<double>(std::max(params.kernelRows, 0), 2.0 * height);
    const double columns = std::min<double>(std::max(params.kernelColumns, 0), 2.0 * width);
    const double cost = static_cast<double>(pixels) * rows * columns * (coarse.count + 1);
    if (cost < 2e7) {
        GreyImage referenceGrid = grid;
        ImageAnalysis reference;
        analyseGrid(referenceGrid, coarse, pairing, params, AnalysisPath::kReference, reference);
        require(reference.status == fast.status);
        require(consoleText(reference, params.pixelSize) == text);
        require(sameBits(referenceGrid.data, fastGrid.data, grid.size()));
        require(std::memcmp(reference.picture.bytes, fast.picture.bytes,
                            3 * static_cast<size_t>(pixels)) == 0);
    }

    if (fast.status == AnalysisStatus::kMeasured) {
        ResultStore store;
        allocateSummary(store, 1);
        writeSummaryRow(fast, params.pixelSize, 0, store);
        DisplayRecord record;
        record.name = "fuzz.pgm";
        fillDisplaySeries(fast, params.pixelSize, record);
        drawPlotsWithoutGl(record);
    }
    return 0;
}
