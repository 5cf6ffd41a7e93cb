#include <string>
#include <utility>

#include "files/decode.h"
#include "image/image_load.h"

// The image library runs in the decoder process (rugon-decode), which replays its reading of
// PNM files, checks PNG chunks and every format's declared sizes before it sees a file; see
// files/decode.h and files/declared_size.h.

bool loadGreyImage(const char* name, GreyImage& grid, LoadedImageInfo* info) {
    if (name == nullptr || name[0] == '\0') return false;
    LoadedImageInfo loaded;
    std::string reason;
    if (!decodeImageFile(name, DecodeLimits(), grid, loaded, reason)) return false;
    if (info != nullptr) *info = std::move(loaded);
    return true;
}

bool findCoarseEdges(const char* name, double bandLevel, CoarseEdges& edges) {
    GreyImage grid;
    if (!loadGreyImage(name, grid)) return false;
    edges = locateCoarseEdges(grid, bandLevel);
    return true;
}
