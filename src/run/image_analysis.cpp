#include "run/image_analysis.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "fit/correlation_fit.h"
#include "image/edge_trace.h"
#include "image/kernel.h"
#include "image/smoothing_tracker.h"
#include "stats/edge_roughness.h"

namespace {

// Grey picture of the loaded grid: red = green = blue = the grey level truncated.
bool makeGreyPicture(const GreyImage& grid, Picture& picture) {
    if (!picture.allocate(grid.width, grid.height)) return false;
    const size_t n = grid.size();
    for (size_t i = 0; i < n; ++i) {
        const double v = grid.data[i];
        // Grey levels are 0..255 after loading; the guard keeps the conversion defined.
        const unsigned char level =
            (v >= 0.0 && v <= 255.0) ? static_cast<unsigned char>(static_cast<int>(v)) : 0;
        picture.bytes[3 * i] = level;
        picture.bytes[3 * i + 1] = level;
        picture.bytes[3 * i + 2] = level;
    }
    return true;
}

}  // namespace

double StageTimes::total() const {
    double sum = 0.0;
    for (double s : seconds) sum += s;
    return sum;
}

const char* stageName(AnalysisStage stage) {
    switch (stage) {
        case AnalysisStage::kLoad:
            return "load";
        case AnalysisStage::kCoarseEdges:
            return "coarse edges";
        case AnalysisStage::kTracing:
            return "smoothing and tracing";
        case AnalysisStage::kRoughness:
            return "roughness";
        case AnalysisStage::kWidths:
            return "widths";
        case AnalysisStage::kLength:
            return "length dependence";
        case AnalysisStage::kFit:
            return "fit";
        case AnalysisStage::kCount:
            break;
    }
    return "?";
}

StageClock::StageClock(StageTimes* times) : times_(times) {
    if (times_ != nullptr) last_ = std::chrono::steady_clock::now();
}

void StageClock::lap(AnalysisStage stage) {
    if (times_ == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    times_->seconds[static_cast<int32_t>(stage)] +=
        std::chrono::duration<double>(now - last_).count();
    last_ = now;
}

void processedEdgeRange(int32_t pairing, int32_t edgeCount, int32_t& first, int32_t& last) {
    if (pairing == 0) {
        first = 2;
        last = edgeCount < 1 ? 0 : edgeCount - ((edgeCount - 1) % 2);
    } else {
        first = 1;
        last = edgeCount < 1 ? 0 : edgeCount - (edgeCount % 2);
    }
}

void analyseGrid(GreyImage& grid,
                 const CoarseEdges& coarse,
                 int32_t pairing,
                 const RunParameters& params,
                 AnalysisPath path,
                 ImageAnalysis& result,
                 StageTimes* times) {
    StageClock clock(times);
    const double pixelSize = params.pixelSize;
    result.width = grid.width;
    result.height = grid.height;
    const bool pictureMade = makeGreyPicture(grid, result.picture);
    clock.lap(AnalysisStage::kLoad);
    if (!pictureMade) {
        result.status = AnalysisStatus::kNotLoaded;
        return;
    }
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
    clock.lap(AnalysisStage::kCoarseEdges);

    const Kernel kernel =
        gaussianKernel(params.kernelRows, params.kernelColumns, params.kernelSigma);
    int32_t first = 0;
    int32_t last = 0;
    processedEdgeRange(pairing, edgeCount, first, last);

    std::vector<EdgeTrace> traces(static_cast<size_t>(edgeCount > 0 ? edgeCount : 0));
    SmoothingTracker tracker;
    if (path == AnalysisPath::kFast && last >= first)
        tracker.start(grid, kernel, params.kernelRows, params.kernelColumns);
    clock.lap(AnalysisStage::kTracing);

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
        clock.lap(AnalysisStage::kTracing);
        const EdgeStatistics stats = edgeRoughness(residuals);

        const size_t slot = static_cast<size_t>(k - 1);
        result.edgeMeans.data[slot] = trace.positions.mean() * pixelSize;
        result.edgeSpreads.data[slot] = trace.positions.standardDeviation(true) * pixelSize;
        result.edgeSigmas.data[slot] = stats.sigma * pixelSize;
        result.edgeSkewness.data[slot] = stats.skewness;
        result.edgeKurtosis.data[slot] = stats.kurtosis;
        result.processed.push_back({k, settings.direction, trace.spikesReplaced});

        if (result.hhcfSum.count == 0) {
            result.hhcfSum.allocate(stats.hhcf.count);
            result.hhcfSum.zero();
        }
        result.hhcfSum.addElements(stats.hhcf);
        clock.lap(AnalysisStage::kRoughness);
    }

    if (!result.processed.empty()) fillRange(result.lags, 1, n / 2, 1);

    result.lineCount = lineCountFor(pairing, edgeCount);
    if (result.processed.empty() || result.lineCount < 1) {
        // No line: none of the width, length or correlation figures exists.
        result.lineCount = 0;
        result.status = AnalysisStatus::kNoLine;
        clock.lap(AnalysisStage::kRoughness);
        return;
    }
    clock.lap(AnalysisStage::kRoughness);

    result.widths = path == AnalysisPath::kFast
                        ? measureWidths(pairing, edgeCount, traces.data(), pixelSize)
                        : measureWidthsReference(pairing, edgeCount, traces.data(), pixelSize);
    const WidthMeasurement& w = result.widths;
    result.lwrInfinite =
        std::sqrt(w.cdVariation * w.cdVariation + w.meanLineSigma * w.meanLineSigma);
    result.lineSigmaSpread = w.lineSigmas.standardDeviation(true);
    clock.lap(AnalysisStage::kWidths);

    result.length = lengthDependence(n, result.lineCount, w.widthGrid, pixelSize);
    if (result.length.meanSigmas.count > 0) {
        result.lwrInfiniteByLength.allocate(1);
        result.lwrInfiniteByLength[0] = std::sqrt(std::pow(result.length.meanSigmas[0], 2.0) +
                                                  std::pow(result.length.sigmaOfMeans[0], 2.0));
    }
    clock.lap(AnalysisStage::kLength);

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
    clock.lap(AnalysisStage::kFit);
}

std::string formatEdgeLine(const ImageAnalysis& analysis, int32_t edgeNumber) {
    char line[160];
    const size_t slot = static_cast<size_t>(edgeNumber - 1);
    std::snprintf(line, sizeof line, "<x(%d)>= %.3f ( %.3f )nm\n", edgeNumber,
                  analysis.edgeMeans.data[slot], analysis.edgeSpreads.data[slot]);
    return line;
}

std::string formatReport(const char* name, const ImageAnalysis& analysis, double pixelSize) {
    if (analysis.status != AnalysisStatus::kMeasured) {
        return std::string("Image: ") + name + "\nResults: no line measured (" +
               std::to_string(analysis.coarse.count) + " edges found)\n";
    }
    const WidthMeasurement& w = analysis.widths;
    const char* format =
        "Image: %s\nResults: CD_average=%.2fnm CD_variation=%.2fnm\n\t3sigma_LWR=%.2f(%.2f)nm "
        "3sigma_LWR_inf=%.2fnm\n\ta=%.3f, ksi=%.2fnm\n\tskewness=%.2f kyrtosis=%.2f\n";
    const int size = std::snprintf(
        nullptr, 0, format, name, w.cdAverage, w.cdVariation, 3.0 * w.meanLineSigma,
        3.0 * analysis.lineSigmaSpread, 3.0 * analysis.lwrInfinite, analysis.fit.alpha,
        pixelSize * analysis.fit.ksi, analysis.meanSkewness, analysis.meanKurtosis);
    std::string text(static_cast<size_t>(size > 0 ? size : 0) + 1, '\0');
    std::snprintf(&text[0], text.size(), format, name, w.cdAverage, w.cdVariation,
                  3.0 * w.meanLineSigma, 3.0 * analysis.lineSigmaSpread, 3.0 * analysis.lwrInfinite,
                  analysis.fit.alpha, pixelSize * analysis.fit.ksi, analysis.meanSkewness,
                  analysis.meanKurtosis);
    text.resize(static_cast<size_t>(size > 0 ? size : 0));
    return text;
}

void fillDisplaySeries(const ImageAnalysis& analysis, double pixelSize, DisplayRecord& record) {
    fillRange(record.logLag, 1, analysis.averageHhcf.count, 1);
    for (int32_t i = 0; i < record.logLag.count; ++i)
        record.logLag[i] = std::log10(record.logLag[i]);
    record.logHhcf = analysis.averageHhcf;
    for (int32_t i = 0; i < record.logHhcf.count; ++i)
        record.logHhcf[i] = std::log10(record.logHhcf[i]);
    record.fitLogLag = analysis.fit.curveLogLag;
    record.fitLogHhcf = analysis.fit.curveLogHhcf;

    const LengthDependence& length = analysis.length;
    record.lengthNm = length.segmentLengths;
    record.lengthNm.scale(pixelSize);
    record.sigmaUncertaintyPct.allocate(length.meanSigmas.count);
    for (int32_t i = 0; i < length.meanSigmas.count; ++i)
        record.sigmaUncertaintyPct[i] = length.sigmaOfSigmas[i] / length.meanSigmas[i] * 100.0;
    record.lwr3Sigma = length.meanSigmas;
    record.lwr3Sigma.scale(3.0);
    record.cdVariation3Sigma = length.sigmaOfMeans;
    record.cdVariation3Sigma.scale(3.0);
    record.lwr3SigmaInfinite = analysis.lwrInfiniteByLength;
    record.lwr3SigmaInfinite.scale(3.0);
}

void writeSummaryRow(const ImageAnalysis& analysis,
                     double pixelSize,
                     int32_t index,
                     ResultStore& store) {
    if (index < 0 || index >= store.cdAverageByImage.count) return;
    const WidthMeasurement& w = analysis.widths;
    store.cdAverageByImage[index] = w.cdAverage;
    store.lwrSigmaByImage[index] = w.meanLineSigma;
    store.lwrVarianceByImage[index] = w.meanLineSigma * w.meanLineSigma;
    store.lwrInfiniteByImage[index] = analysis.lwrInfinite;
    store.roughnessExponentByImage[index] = analysis.fit.alpha;
    store.correlationLengthByImage[index] = pixelSize * analysis.fit.ksi;
}
