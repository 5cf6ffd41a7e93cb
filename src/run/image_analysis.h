// The analysis of one image from its grey-level grid to every figure of its report, without
// printing and without the window: shared by the program and the batch report.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "fit/correlation_fit.h"
#include "image/coarse_edges.h"
#include "image/grey_image.h"
#include "image/picture.h"
#include "run/parameters.h"
#include "run/result_store.h"
#include "stats/length_dependence.h"
#include "stats/series.h"
#include "stats/width_measurement.h"

// How an analysis ended.
enum class AnalysisStatus {
    kMeasured,   // at least one line measured: the report is printed
    kNotLoaded,  // the file could not be loaded (or its picture not stored)
    kNoLine,     // fewer than two edges processed: no line to measure
};

// How the edges are smoothed and the figures computed. Both give identical results; the
// reference path computes every stage exactly as written (one full smoothing per edge, the
// full window-quality table) and serves as the baseline of the speed-ups.
enum class AnalysisPath { kFast, kReference };

// The stages of one analysis, in the order they run.
enum class AnalysisStage {
    kLoad,         // the working grid's load and the grey picture
    kCoarseEdges,  // the coarse location on the loaded grid
    kTracing,      // kernel, smoothing and tracing of every processed edge
    kRoughness,    // per-edge sigma, skewness, kurtosis and HHCF, and their sums
    kWidths,       // partner search and local widths of every line
    kLength,       // width statistics against line length
    kFit,          // correlation length and roughness exponent
    kCount
};
constexpr int32_t kAnalysisStageCount = static_cast<int32_t>(AnalysisStage::kCount);

// Wall-clock seconds spent in each stage of one analysis (for the benchmark).
struct StageTimes {
    double seconds[kAnalysisStageCount] = {};
    double total() const;
};

// Human name of `stage`.
const char* stageName(AnalysisStage stage);

// Adds the time since the previous lap to a stage of `times`; does nothing without `times`.
class StageClock {
public:
    explicit StageClock(StageTimes* times);
    void lap(AnalysisStage stage);

private:
    StageTimes* times_;
    std::chrono::steady_clock::time_point last_;
};

// One processed edge.
struct EdgeFigures {
    int32_t edgeNumber = 0;      // k, 1-based coarse edge number
    int32_t direction = 1;       // +1 scanned left to right, -1 right to left
    int32_t spikesReplaced = 0;  // samples of the trace replaced as spikes
};

// Everything the analysis of one image produces. Figures in nm unless stated.
struct ImageAnalysis {
    AnalysisStatus status = AnalysisStatus::kNotLoaded;
    int32_t width = 0;                   // columns
    int32_t height = 0;                  // rows
    int32_t rowCount = 0;                // n, rows analysed
    bool topRowFirst = false;            // picture row 0 is the top of the image
    CoarseEdges coarse;                  // E = coarse.count
    std::vector<EdgeFigures> processed;  // in increasing k
    Series edgeMeans;                    // E elements, 0 for unprocessed edges, nm
    Series edgeSpreads;                  // nm
    Series edgeSigmas;                   // nm
    Series edgeSkewness;
    Series edgeKurtosis;
    Series hhcfSum;                // sum of the processed edges' HHCFs, pixels
    Series averageHhcf;            // hhcfSum * (1 / E), pixels
    Series lags;                   // 1 .. floor(n / 2), empty when no edge was processed
    double meanEdgeSigmaPx = 0.0;  // s-bar, pixels
    WidthMeasurement widths;
    int32_t lineCount = 0;         // M
    double lwrInfinite = 0.0;      // sqrt(cdVariation^2 + meanLineSigma^2), 1 sigma, nm
    double lineSigmaSpread = 0.0;  // u: population sigma of lineSigmas, nm
    LengthDependence length;
    Series lwrInfiniteByLength;  // one value (empty when there is no length step), nm
    CorrelationFit fit;
    double meanSkewness = 0.0;  // over all E edges
    double meanKurtosis = 0.0;
    Picture picture;  // the grey picture with the edges in red
};

// Analyses an already loaded grid (`grid` is the working image and is marked by the tracing)
// with its coarse edges, for an image entry with `pairing`, using the run's parameters.
// Fills `result` (status kMeasured or kNoLine, or kNotLoaded when the picture cannot be
// stored). `times` (optional) receives the time of every stage, added to what it holds.
void analyseGrid(GreyImage& grid,
                 const CoarseEdges& coarse,
                 int32_t pairing,
                 const RunParameters& params,
                 AnalysisPath path,
                 ImageAnalysis& result,
                 StageTimes* times = nullptr);

// Loads `name`, locates its coarse edges on the loaded grid and analyses it.
// `times` (optional) receives the time of every stage, added to what it holds.
void analyseFile(const char* name,
                 int32_t pairing,
                 const RunParameters& params,
                 AnalysisPath path,
                 ImageAnalysis& result,
                 StageTimes* times = nullptr);

// The edge range of `pairing` over E coarse edges: k = first .. last (empty when last <
// first). pairing 1: 1 .. E - (E mod 2); pairing 0: 2 .. E - ((E - 1) mod 2).
void processedEdgeRange(int32_t pairing, int32_t edgeCount, int32_t& first, int32_t& last);

// "<x(%d)>= %.3f ( %.3f )nm\n" for processed edge k (1-based).
std::string formatEdgeLine(const ImageAnalysis& analysis, int32_t edgeNumber);

// The results report of a measured image ("Image: ...\nResults: CD_average=..." up to the
// kurtosis line), or for an image without a line the two lines
// "Image: <name>\nResults: no line measured (<E> edges found)\n".
std::string formatReport(const char* name, const ImageAnalysis& analysis, double pixelSize);

// Fills every Series of `record` (not the name or the texture) from a measured analysis;
// `pixelSize` (nm per row, along the lines) scales the segment lengths, the widths are in the
// analysis' own unit already.
void fillDisplaySeries(const ImageAnalysis& analysis, double pixelSize, DisplayRecord& record);

// Writes the summary row `index` (0-based) of `store` from a measured analysis.
void writeSummaryRow(const ImageAnalysis& analysis,
                     double pixelSize,
                     int32_t index,
                     ResultStore& store);
