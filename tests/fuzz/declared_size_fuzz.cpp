// Fuzz target of the header reading that runs before any decoding (files/declared_size.h), in
// process: whatever the bytes, it must stay inside them and give sizes that agree. The first
// byte chooses the file name's extension, as for the image_file target.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "files/declared_size.h"

namespace {

const char* const kExtensions[] = {"pgm", "ppm", "pbm", "pnm", "png",  "PGM",  "Ppm", "pNm",
                                   "tif", "jpg", "gif", "bmp", "hdr",  "dds",  "psd", "tga",
                                   "ico", "cur", "pcx", "sgi", "TIFF", "jpeg", "dat", "xpm"};

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t extensionCount = sizeof kExtensions / sizeof kExtensions[0];
    const std::string name = std::string("image.") + kExtensions[data[0] % extensionCount];
    const DeclaredSize d = readDeclaredSize(data + 1, size - 1, name);
    require(d.width >= 0 && d.height >= 0 && d.largestPixels >= 0);
    require(d.totalPixels >= d.largestPixels || d.fault != FileFault::kNone);
    require(d.pictures >= 0 && d.pictures <= kMaxDeclaredPictures + 1);
    require(static_cast<int32_t>(d.fault) >= 0 && d.fault < FileFault::kCount);
    require(d.type != ImageFileType::kUnknown || d.fault == FileFault::kNone);
    return 0;
}
