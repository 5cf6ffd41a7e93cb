// The pages of a TIFF file, read with libtiff from memory: every directory the library would
// load is examined, so that a small first page cannot hide a huge second one.
#include <tiffio.h>

#include <cstdint>
#include <cstring>

#include "files/declared_size.h"

namespace {

// The file's bytes as libtiff's client I/O: reads stay inside them, nothing is written.
struct MemoryFile {
    const unsigned char* bytes;
    toff_t size;
    toff_t pos;
};

tmsize_t readBytes(thandle_t handle, void* out, tmsize_t n) {
    MemoryFile& file = *static_cast<MemoryFile*>(handle);
    if (n <= 0 || file.pos >= file.size) return 0;
    const toff_t left = file.size - file.pos;
    const toff_t count = static_cast<toff_t>(n) < left ? static_cast<toff_t>(n) : left;
    std::memcpy(out, file.bytes + file.pos, static_cast<size_t>(count));
    file.pos += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t writeNothing(thandle_t, void*, tmsize_t) { return 0; }

toff_t seekBytes(thandle_t handle, toff_t offset, int whence) {
    MemoryFile& file = *static_cast<MemoryFile*>(handle);
    // Relative offsets arrive as unsigned numbers; read them back as signed ones.
    constexpr int64_t kFarthest = int64_t{1} << 62;
    int64_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<int64_t>(file.pos);
    if (whence == SEEK_END) base = static_cast<int64_t>(file.size);
    const int64_t step = static_cast<int64_t>(offset);
    if (step > kFarthest || step < -kFarthest) return static_cast<toff_t>(-1);
    const int64_t target = base + step;
    if (target < 0 || target > kFarthest) return static_cast<toff_t>(-1);
    file.pos = static_cast<toff_t>(target);
    return file.pos;
}

int closeNothing(thandle_t) { return 0; }

toff_t sizeOf(thandle_t handle) { return static_cast<MemoryFile*>(handle)->size; }

int mapBytes(thandle_t handle, void** base, toff_t* size) {
    MemoryFile& file = *static_cast<MemoryFile*>(handle);
    *base = const_cast<unsigned char*>(file.bytes);
    *size = file.size;
    return 1;
}

void unmapNothing(thandle_t, void*, toff_t) {}

// libtiff's messages about a damaged file are not shown: the fault is reported as a whole.
int quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// libtiff reads tag arrays whose length the file gives; no single allocation may exceed this.
constexpr tmsize_t kLargestTagAllocation = tmsize_t{64} << 20;

}  // namespace

DeclaredSize readTiffDeclaredSize(const unsigned char* bytes, size_t size) {
    DeclaredSize declared;
    declared.type = ImageFileType::kTiff;
    MemoryFile file{bytes, static_cast<toff_t>(size), 0};
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
        declared.fault = FileFault::kBadStructure;
        return declared;
    }
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kLargestTagAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quiet, nullptr);
    TIFF* tiff = TIFFClientOpenExt("image", "r", &file, readBytes, writeNothing, seekBytes,
                                   closeNothing, sizeOf, mapBytes, unmapNothing, options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr) {
        // libtiff cannot read the first directory, and neither can the image library.
        declared.fault = FileFault::kBadStructure;
        return declared;
    }
    do {
        if (declared.pictures == kMaxDeclaredPictures) {
            declared.fault = FileFault::kTooManyPictures;
            break;
        }
        uint32_t width = 0;
        uint32_t height = 0;
        uint32_t depth = 1;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_IMAGEDEPTH, &depth);
        if (declared.pictures == 0) {
            uint16_t format = SAMPLEFORMAT_UINT;
            uint16_t bits = 1;
            TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
            TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
            declared.sampleFormat = format;
            declared.bitsPerSample = bits;
        }
        ++declared.pictures;
        if (width == 0 || height == 0 || depth == 0) {
            declared.fault = FileFault::kBadSize;
            break;
        }
        // Each factor is below 2^32 and the slices are capped: no overflow.
        const int64_t slices = depth < 65536u ? depth : 65536;
        const int64_t pixels = int64_t{width} * int64_t{height} * slices;
        declared.totalPixels += pixels;
        if (pixels > declared.largestPixels) {
            declared.largestPixels = pixels;
            declared.width = width;
            declared.height = height;
        }
        if (declared.pictures == 1) {
            // The measured page's strips or tiles must lie in the file: a file cut short
            // fails in the library without saying why.
            const uint32_t striles =
                TIFFIsTiled(tiff) ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
            for (uint32_t i = 0; i < striles && declared.fault == FileFault::kNone; ++i) {
                const uint64_t offset = TIFFGetStrileOffset(tiff, i);
                const uint64_t length = TIFFGetStrileByteCount(tiff, i);
                if (offset > size || length > size - offset) declared.fault = FileFault::kTruncated;
            }
            if (declared.fault != FileFault::kNone) break;
        }
    } while (TIFFReadDirectory(tiff) == 1);
    TIFFClose(tiff);
    return declared;
}
