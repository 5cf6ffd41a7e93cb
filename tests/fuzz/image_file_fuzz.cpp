// Fuzz target of image decoding through the decoder process (rugon-decode, started for every
// input, found next to this program): whatever the file holds, decoding must end, with either
// grey levels 0..255 of a plausible size or a reason. The first byte chooses the file name's
// extension (which decides how the image library reads some formats), the rest is the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "files/decode.h"

namespace {

// The first eight are the extensions of the PNM and PNG corpus, kept in their places.
const char* const kExtensions[] = {"pgm", "ppm", "pbm", "pnm", "png",  "PGM",  "Ppm", "pNm",
                                   "tif", "jpg", "gif", "bmp", "hdr",  "dds",  "psd", "tga",
                                   "ico", "cur", "pcx", "sgi", "TIFF", "jpeg", "dat", "xpm"};

std::string gPath;

void removeScratchFile() { std::remove(gPath.c_str()); }

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gPath.empty()) {
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

    // Small pictures keep every input quick: the limit itself is what is being checked.
    DecodeLimits limits;
    limits.maxPixels = int64_t{1} << 22;
    limits.timeoutSeconds = 5.0;
    GreyImage grid;
    LoadedImageInfo info;
    std::string reason;
    if (decodeImageFile(gPath, limits, grid, info, reason)) {
        require(grid.width >= 1 && grid.height >= 1 && grid.data != nullptr);
        require(grid.width <= 65536 && grid.height <= 65536);
        require(static_cast<int64_t>(grid.size()) <= limits.maxPixels);
        for (size_t i = 0; i < grid.size(); ++i)
            require(grid.data[i] >= 0.0 && grid.data[i] <= 255.0);
        require(!info.format.empty());
    } else {
        require(!reason.empty());
    }
    return 0;
}
