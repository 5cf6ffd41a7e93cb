// Entry point: reads "input.txt" from the working directory and analyses every listed image.
#include <cstdio>

#include "run/parameters.h"
#include "run/result_store.h"

namespace {
RunParameters gParameters;
ResultStore gStore;
}  // namespace

int main() {
    readParameterFile("input.txt", gParameters);
    allocateSummary(gStore, static_cast<int32_t>(gParameters.images.size()));
    for (const auto& entry : gParameters.images) {
        std::printf("Image : %s\n", entry->name.c_str());
        std::printf("\n");
    }
    return 0;
}
