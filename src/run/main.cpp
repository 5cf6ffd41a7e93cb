// Entry point: opens the result window, reads "input.txt" from the working directory,
// analyses every listed image in order and then shows the first image's results until Escape.
#include <IL/il.h>
#include <IL/ilu.h>
#include <IL/ilut.h>

#include <cstdio>

#include "run/parameters.h"
#include "run/pipeline.h"
#include "run/result_store.h"
#include "view/window.h"

namespace {
RunParameters gParameters;
ResultStore gStore;
}  // namespace

int main(int argc, char** argv) {
    // The window comes first: every image's texture is made during the analysis, which needs
    // its GL context. The arguments only serve the toolkit's initialisation.
    initWindow(&argc, argv);
    ilInit();
    iluInit();
    ilutRenderer(ILUT_OPENGL);

    readParameterFile("input.txt", gParameters);
    allocateSummary(gStore, static_cast<int32_t>(gParameters.images.size()));
    int32_t position = 1;
    for (const auto& entry : gParameters.images) {
        std::printf("Image : %s\n", entry->name.c_str());
        std::fflush(stdout);
        analyseImage(entry->name.c_str(), entry->pairing, position, gParameters, gStore);
        std::printf("\n");
        std::fflush(stdout);
        ++position;
    }

    if (!gStore.displayRecords.empty()) {
        setShownStore(&gStore);
        runWindowLoop();  // never returns; Escape ends the process with status 0
    }
    ilShutDown();
    return 0;
}
