#include "image/image_load.h"
#include "run/image_analysis.h"

void analyseFile(const char* name,
                 int32_t pairing,
                 const RunParameters& params,
                 AnalysisPath path,
                 ImageAnalysis& result,
                 StageTimes* times) {
    StageClock clock(times);
    GreyImage grid;
    LoadedImageInfo info;
    if (!loadGreyImage(name, grid, &info)) {
        result.status = AnalysisStatus::kNotLoaded;
        return;
    }
    result.topRowFirst = info.topRowFirst;
    clock.lap(AnalysisStage::kLoad);
    // The coarse location reads the working grid before the tracing marks it: a second load of
    // the file would give the same grid and hold a second one alive.
    const CoarseEdges coarse = locateCoarseEdges(grid, params.detectionFloor);
    clock.lap(AnalysisStage::kCoarseEdges);
    analyseGrid(grid, coarse, pairing, params, path, result, times);
}
