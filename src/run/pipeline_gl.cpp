#include <cstdio>
#include <memory>

#include "run/image_analysis.h"
#include "run/pipeline.h"
#include "view/image_view.h"

bool analyseImage(const char* name,
                  int32_t pairing,
                  int32_t position,
                  const RunParameters& params,
                  ResultStore& store) {
    ImageAnalysis analysis;
    analyseFile(name, pairing, params, AnalysisPath::kFast, analysis);
    if (analysis.status == AnalysisStatus::kNotLoaded) return false;

    for (const EdgeFigures& edge : analysis.processed)
        std::fputs(formatEdgeLine(analysis, edge.edgeNumber).c_str(), stdout);
    std::fputs(formatReport(name, analysis, params.pixelSize).c_str(), stdout);
    if (analysis.status != AnalysisStatus::kMeasured) return true;

    writeSummaryRow(analysis, params.pixelSize, position - 1, store);
    auto record = std::make_unique<DisplayRecord>();
    record->name = name;
    record->pictureTopDown = analysis.topRowFirst;
    record->texture =
        makeTexture(analysis.picture.bytes, analysis.picture.width, analysis.picture.height, 3);
    analysis.picture.release();
    fillDisplaySeries(analysis, params.pixelSize, *record);
    store.displayRecords.push_back(std::move(record));
    return true;
}
