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
    // The coarse location loads the file a second time. Should that load fail although the
    // first succeeded (the file changed in between), the image has no edges.
    CoarseEdges coarse;
    if (!findCoarseEdges(name, params.detectionFloor, coarse)) {
        coarse.count = 0;
        coarse.firstRow = 1;
        coarse.lastRow = grid.height;
        coarse.columns.clear();
    }
    clock.lap(AnalysisStage::kCoarseEdges);
    analyseGrid(grid, coarse, pairing, params, path, result, times);
}
