// Fuzz target of the parameter-file reader: any bytes as "input.txt" must be read to an end
// with a defined record, whatever they hold.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "run/parameters.h"

namespace {

// The input goes to one scratch file per fuzzing process, removed at exit.
std::string gPath;

void removeScratchFile() { std::remove(gPath.c_str()); }

const char* scratchPath() {
    if (!gPath.empty()) return gPath.c_str();
    const char* folder = std::getenv("TMPDIR");
    std::string pattern = std::string(folder != nullptr ? folder : "/tmp") + "/rugon_fuzz_XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    if (fd < 0) std::abort();
    close(fd);
    gPath = pattern;
    std::atexit(removeScratchFile);
    return gPath.c_str();
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A real read in single precision and widened keeps its value through a float round trip.
bool isWidenedFloat(double v) {
    return std::isfinite(v) && static_cast<double>(static_cast<float>(v)) == v;
}

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = scratchPath();
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);

    RunParameters params;
    require(readParameterFile(path, params));
    require(params.detectionFloor == 0.3);
    require(isWidenedFloat(params.edgeThreshold));
    require(isWidenedFloat(params.kernelSigma));
    require(isWidenedFloat(params.pixelSize));
    // Every entry takes at least a one-character name, a blank and a one-character flag, and
    // the entries follow at least the value tokens: the count in the file reserves nothing.
    require(params.images.size() * 4 <= size + 1);
    for (const auto& entry : params.images) {
        require(entry != nullptr);
        require(!entry->name.empty() && entry->name.size() <= kMaxTokenLength);
        for (char c : entry->name) require(!isBlank(c));
        require(entry->pairing == 0 || entry->pairing == 1);
    }
    return 0;
}
