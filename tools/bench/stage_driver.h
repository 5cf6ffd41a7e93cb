// The analysis of one image file split into its stages, each timed on its own, for the
// benchmark. It calls the functions the pipeline calls, in the pipeline's order, so that the
// sum of the stages is the analysis and its figures are the pipeline's figures. Along the
// reference path it takes every stage's plain form: one full smoothing per edge, the partner
// search over all samples, the full window-quality table.
#pragma once

#include <cstdint>

#include "run/image_analysis.h"
#include "run/parameters.h"

// The stages of one analysis, in the order they run.
enum class Stage {
    kLoad,         // both loads of the file and the grey picture
    kCoarseEdges,  // edge columns from the column profile
    kTracing,      // kernel, smoothing and tracing of every processed edge
    kRoughness,    // per-edge sigma, skewness, kurtosis and HHCF, and their sums
    kWidths,       // partner search and local widths of every line
    kLength,       // width statistics against line length
    kFit,          // correlation length and roughness exponent
    kCount
};

constexpr int32_t kStageCount = static_cast<int32_t>(Stage::kCount);

// Human name of `stage`, for the benchmark's table.
const char* stageName(Stage stage);

// Wall-clock seconds spent in each stage of one analysis.
struct StageTimes {
    double seconds[kStageCount] = {};

    double total() const;
};

// Analyses the file `name` with `pairing` and the run's parameters along `path`, stage by
// stage, timing each with a steady clock. `result` receives what analyseFile would give for
// the same file (status kNotLoaded, with all times 0 after the load, when the file cannot be
// loaded). `result` must be a fresh record.
void analyseFileByStage(const char* name,
                        int32_t pairing,
                        const RunParameters& params,
                        AnalysisPath path,
                        ImageAnalysis& result,
                        StageTimes& times);
