#include "run/quality_flags.h"

#include <cmath>
#include <cstdint>

#include "run/image_result.h"

namespace {

bool touchesBorder(const MetrologyEdge& edge, int32_t gridWidth) {
    for (double p : edge.positions) {
        if (!std::isfinite(p)) continue;
        if (p - 0.5 < kFlagBorderPx || gridWidth + 0.5 - p < kFlagBorderPx) return true;
    }
    return false;
}

bool noiseAboveRoughness(const MetrologyResult& m, const RoughnessFigure& f) {
    if (!f.fit.ok || !std::isfinite(f.sigma3UnbiasedNm)) return false;
    const double noiseVariance = f.fit.noiseFloor * m.bandwidthPerNm;
    const double unbiasedVariance = (f.sigma3UnbiasedNm / 3.0) * (f.sigma3UnbiasedNm / 3.0);
    return noiseVariance > unbiasedVariance;
}

}  // namespace

std::vector<std::string> edgeFlags(const MetrologyEdge& edge,
                                   int32_t gridWidth,
                                   int32_t spikesReplaced,
                                   int32_t rows) {
    std::vector<std::string> flags;
    const size_t n = edge.positions.size();
    if (n > 0 && edge.missingRows > kFlagMissingFraction * static_cast<double>(n))
        flags.push_back("edge_rows_missing");
    if (rows > 0 && spikesReplaced > kFlagSpikeFraction * rows) flags.push_back("spikes_replaced");
    if (touchesBorder(edge, gridWidth)) flags.push_back("line_touches_border");
    return flags;
}

std::vector<std::string> qualityFlags(const ImageResult& result) {
    std::vector<std::string> flags;
    if (!wasLoaded(result)) return flags;
    const MetrologyResult& m = result.metrology;
    int64_t edgeRows = 0;
    for (const MetrologyEdge& edge : m.edges)
        edgeRows += static_cast<int64_t>(edge.positions.size());
    if (edgeRows > 0 && m.missingEdgeRows > kFlagMissingFraction * static_cast<double>(edgeRows))
        flags.push_back("edge_rows_missing");

    const ImageAnalysis& a = result.analysis;
    int64_t spikes = 0;
    for (const EdgeFigures& edge : a.processed) spikes += edge.spikesReplaced;
    const int64_t samples = static_cast<int64_t>(a.processed.size()) * a.rowCount;
    if (samples > 0 && spikes > kFlagSpikeFraction * static_cast<double>(samples))
        flags.push_back("spikes_replaced");

    if (noiseAboveRoughness(m, m.lwr) || noiseAboveRoughness(m, m.ler))
        flags.push_back("noise_above_roughness");

    const int32_t rows = result.setup.lastRow - result.setup.firstRow + 1;
    const double scale = result.setup.figuresInPixels ? 1.0 : result.setup.pixelSizeNm;
    bool shortRows = false;
    if (m.ler.fit.ok && scale > 0.0)
        shortRows = rows < kFlagCorrelationLengths * (m.ler.fit.xi / scale);
    if (hasWholePixelFigures(result) && a.fit.ksi > 0.0)
        shortRows = shortRows || rows < kFlagCorrelationLengths * a.fit.ksi;
    if (shortRows) flags.push_back("short_for_correlation");

    const int32_t width =
        result.setup.horizontal ? result.setup.area.height : result.setup.area.width;
    for (const MetrologyEdge& edge : m.edges) {
        if (touchesBorder(edge, width)) {
            flags.push_back("line_touches_border");
            break;
        }
    }
    if (result.setup.figuresInPixels) flags.push_back("pixel_size_missing");
    if (result.setup.databarRows > 0) flags.push_back("databar_found");
    return flags;
}

std::string joinFlags(const std::vector<std::string>& flags) {
    std::string text;
    for (const std::string& flag : flags) {
        if (!text.empty()) text += ';';
        text += flag;
    }
    return text;
}
