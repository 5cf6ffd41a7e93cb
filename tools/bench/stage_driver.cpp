#include "bench/stage_driver.h"

#include <chrono>
#include <cmath>
#include <vector>

#include "fit/correlation_fit.h"
#include "image/edge_trace.h"
#include "image/image_load.h"
#include "image/kernel.h"
#include "image/smoothing_tracker.h"
#include "stats/edge_roughness.h"

namespace {

using Clock = std::chrono::steady_clock;

// Adds the time since `start` to `stage` and restarts the clock.
void lap(StageTimes& times, Stage stage, Clock::time_point& start) {
    const Clock::time_point now = Clock::now();
    times.seconds[static_cast<int32_t>(stage)] +=
        std::chrono::duration<double>(now - start).count();
    start = now;
}

// The grey picture of the loaded grid, as the pipeline makes it.
bool makeGreyPicture(const GreyImage& grid, Picture& picture) {
    if (!picture.allocate(grid.width, grid.height)) return false;
    const size_t n = grid.size();
    for (size_t i = 0; i < n; ++i) {
        const double v = grid.data[i];
        const unsigned char level =
            (v >= 0.0 && v <= 255.0) ? static_cast<unsigned char>(static_cast<int>(v)) : 0;
        picture.bytes[3 * i] = level;
        picture.bytes[3 * i + 1] = level;
        picture.bytes[3 * i + 2] = level;
    }
    return true;
}

}  // namespace

const char* stageName(Stage stage) {
    switch (stage) {
        case Stage::kLoad:
            return "load (two loads, picture)";
        case Stage::kCoarseEdges:
            return "coarse edges";
        case Stage::kTracing:
            return "smoothing and tracing";
        case Stage::kRoughness:
            return "roughness";
        case Stage::kWidths:
            return "widths";
        case Stage::kLength:
            return "length dependence";
        case Stage::kFit:
            return "fit";
        case Stage::kCount:
            break;
    }
    return "?";
}

double StageTimes::total() const {
    double sum = 0.0;
    for (double s : seconds) sum += s;
    return sum;
}

void analyseFileByStage(const char* name,
                        int32_t pairing,
                        const RunParameters& params,
                        AnalysisPath path,
                        ImageAnalysis& result,
                        StageTimes& times) {
    times = StageTimes();
    Clock::time_point start = Clock::now();

    // Load: the working grid, the second load the coarse location makes, and the picture.
    GreyImage grid;
    LoadedImageInfo info;
    if (!loadGreyImage(name, grid, &info)) {
        result.status = AnalysisStatus::kNotLoaded;
        return;
    }
    result.topRowFirst = info.topRowFirst;
    GreyImage second;
    const bool secondLoaded = loadGreyImage(name, second);
    const double pixelSize = params.pixelSize;
    result.width = grid.width;
    result.height = grid.height;
    const bool pictureMade = makeGreyPicture(grid, result.picture);
    lap(times, Stage::kLoad, start);
    if (!pictureMade) {
        result.status = AnalysisStatus::kNotLoaded;
        return;
    }

    CoarseEdges coarse;
    if (secondLoaded) {
        coarse = locateCoarseEdges(second, params.detectionFloor);
    } else {
        coarse.count = 0;
        coarse.firstRow = 1;
        coarse.lastRow = grid.height;
    }
    second.release();
    result.coarse = coarse;
    const int32_t edgeCount = coarse.count;
    const int32_t n = coarse.lastRow - coarse.firstRow + 1;
    result.rowCount = n;
    Series* columns[] = {&result.edgeMeans, &result.edgeSpreads, &result.edgeSigmas,
                         &result.edgeSkewness, &result.edgeKurtosis};
    for (Series* column : columns) {
        column->allocate(edgeCount);
        column->zero();
    }
    lap(times, Stage::kCoarseEdges, start);

    const Kernel kernel =
        gaussianKernel(params.kernelRows, params.kernelColumns, params.kernelSigma);
    int32_t first = 0;
    int32_t last = 0;
    processedEdgeRange(pairing, edgeCount, first, last);
    std::vector<EdgeTrace> traces(static_cast<size_t>(edgeCount > 0 ? edgeCount : 0));
    SmoothingTracker tracker;
    if (path == AnalysisPath::kFast && last >= first)
        tracker.start(grid, kernel, params.kernelRows, params.kernelColumns);
    lap(times, Stage::kTracing, start);

    Series residuals;
    for (int32_t k = first; k <= last; ++k) {
        TraceSettings settings;
        settings.column = coarse.columns[static_cast<size_t>(k - 1)];
        settings.direction = ((pairing + k) % 2 == 0) ? 1 : -1;
        settings.firstRow = coarse.firstRow;
        settings.lastRow = coarse.lastRow;
        settings.halfWindow = params.edgeHalfWindow;
        settings.threshold = params.edgeThreshold;
        EdgeTrace& trace = traces[static_cast<size_t>(k - 1)];
        if (path == AnalysisPath::kFast) {
            traceEdgeSmoothed(tracker.smoothed(), tracker.background(), grid, result.picture,
                              settings, trace, residuals);
            tracker.noteMarks(trace, settings.firstRow);
        } else {
            traceEdge(grid, result.picture, kernel, settings, trace, residuals);
        }
        lap(times, Stage::kTracing, start);

        const EdgeStatistics stats = edgeRoughness(residuals);
        const size_t slot = static_cast<size_t>(k - 1);
        result.edgeMeans.data[slot] = trace.positions.mean() * pixelSize;
        result.edgeSpreads.data[slot] = trace.positions.standardDeviation(true) * pixelSize;
        result.edgeSigmas.data[slot] = stats.sigma * pixelSize;
        result.edgeSkewness.data[slot] = stats.skewness;
        result.edgeKurtosis.data[slot] = stats.kurtosis;
        result.processed.push_back({k, settings.direction});
        if (result.hhcfSum.count == 0) {
            result.hhcfSum.allocate(stats.hhcf.count);
            result.hhcfSum.zero();
        }
        result.hhcfSum.addElements(stats.hhcf);
        lap(times, Stage::kRoughness, start);
    }

    if (!result.processed.empty()) fillRange(result.lags, 1, n / 2, 1);
    result.lineCount = lineCountFor(pairing, edgeCount);
    if (result.processed.empty() || result.lineCount < 1) {
        result.lineCount = 0;
        result.status = AnalysisStatus::kNoLine;
        lap(times, Stage::kRoughness, start);
        return;
    }
    lap(times, Stage::kRoughness, start);

    // The reference path searches every sample for each width partner.
    result.widths = path == AnalysisPath::kFast
                        ? measureWidths(pairing, edgeCount, traces.data(), pixelSize)
                        : measureWidthsReference(pairing, edgeCount, traces.data(), pixelSize);
    const WidthMeasurement& w = result.widths;
    result.lwrInfinite =
        std::sqrt(w.cdVariation * w.cdVariation + w.meanLineSigma * w.meanLineSigma);
    result.lineSigmaSpread = w.lineSigmas.standardDeviation(true);
    lap(times, Stage::kWidths, start);

    result.length = lengthDependence(n, result.lineCount, w.widthGrid, pixelSize);
    if (result.length.meanSigmas.count > 0) {
        result.lwrInfiniteByLength.allocate(1);
        result.lwrInfiniteByLength[0] = std::sqrt(std::pow(result.length.meanSigmas[0], 2.0) +
                                                  std::pow(result.length.sigmaOfMeans[0], 2.0));
    }
    lap(times, Stage::kLength, start);

    result.averageHhcf = result.hhcfSum;
    result.averageHhcf.divide(edgeCount);
    Series sigmasPx = result.edgeSigmas;
    sigmasPx.divide(pixelSize);
    result.meanEdgeSigmaPx = sigmasPx.mean();
    result.fit =
        path == AnalysisPath::kFast
            ? fitCorrelationModel(result.averageHhcf, result.lags, result.meanEdgeSigmaPx)
            : fitCorrelationModelReference(result.averageHhcf, result.lags, result.meanEdgeSigmaPx);
    result.meanSkewness = result.edgeSkewness.mean();
    result.meanKurtosis = result.edgeKurtosis.mean();
    result.status = AnalysisStatus::kMeasured;
    lap(times, Stage::kFit, start);
}
