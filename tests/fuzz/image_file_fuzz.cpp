// Fuzz target of image loading through DevIL, for the file kinds whose known faults in the
// library the loader guards against: PNM (P1 to P6) and PNG. The first byte chooses the file
// name's extension, the rest is the file. Whatever the file holds, loading must end, and a
// loaded grid must hold grey levels 0..255 of a plausible size.
#include <IL/il.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/image_load.h"

namespace {

// Extensions the library reads as PNM (in any case) or PNG. Other extensions, and names the
// library identifies by content, reach decoders of the library (GIF, HDR, ICO, ...) that have
// faults of their own no guard here covers.
const char* const kExtensions[] = {"pgm", "ppm", "pbm", "pnm", "png", "PGM", "Ppm", "pNm"};

std::string gPath;

void removeScratchFile() { std::remove(gPath.c_str()); }

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gPath.empty()) {
        ilInit();
        const char* folder = std::getenv("TMPDIR");
        gPath = std::string(folder != nullptr ? folder : "/tmp") + "/rugon_fuzz_image_" +
                std::to_string(static_cast<long>(getpid())) + ".";
        std::atexit(removeScratchFile);
    }
    if (size < 1) return 0;
    std::remove(gPath.c_str());
    const size_t extensionCount = sizeof kExtensions / sizeof kExtensions[0];
    gPath.erase(gPath.rfind('.') + 1);
    gPath += kExtensions[data[0] % extensionCount];
    std::FILE* file = std::fopen(gPath.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 1 && std::fwrite(data + 1, 1, size - 1, file) != size - 1) std::abort();
    std::fclose(file);

    GreyImage grid;
    if (loadGreyImage(gPath.c_str(), grid)) {
        require(grid.width >= 1 && grid.height >= 1 && grid.data != nullptr);
        require(grid.width <= 65536 && grid.height <= 65536);
        for (size_t i = 0; i < grid.size(); ++i)
            require(grid.data[i] >= 0.0 && grid.data[i] <= 255.0);
    }
    return 0;
}
