// What an image file's headers declare (picture sizes, pages, frames) and the damage that would
// make the image library go wrong on it, read from the raw bytes before any decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The file formats whose headers are read here.
enum class ImageFileType : int32_t {
    kUnknown = 0,  // none of those below: no size is declared here
    kPng,
    kJpeg,
    kTiff,
    kBmp,
    kGif,
    kPnm,
    kHdr,
    kDds,
    kPsd,
    kTga,
    kIco,  // icons and cursors
};

// Short name of `type` ("PNG", "TIFF", ...); "" for kUnknown.
const char* imageFileTypeName(ImageFileType type);

// Damage found in a file's structure, each of which the image library is known to mishandle or
// which leaves no picture to decode.
enum class FileFault : int32_t {
    kNone = 0,
    kBadSize,             // a picture side of 0, negative, or that cannot be read
    kTruncated,           // the file ends before the data its headers announce
    kBadStructure,        // offsets, lengths or counts that point outside the file or contradict
    kFrameOutsideScreen,  // a GIF frame not wholly inside the GIF's screen
    kTooManyPictures,     // more than kMaxDeclaredPictures pages, frames or icons
    kUnsafeForLibrary,    // a PNM file the library reads past its buffers (see declared_size_pnm)
    kCount
};

// One-line description of `fault` ("the file ends before the data its headers announce"), to
// follow "damaged <type> file: "; "" for kNone and for values outside the enumeration.
const char* fileFaultText(FileFault fault);

// Most pages, frames or icons a file may declare.
constexpr int32_t kMaxDeclaredPictures = 1024;

// What the headers of one file declare. Sizes are in pixels; a volume counts its slices and a
// cube map its faces as pictures.
struct DeclaredSize {
    ImageFileType type = ImageFileType::kUnknown;
    int64_t width = 0;          // of the largest picture, px (0 when none is declared)
    int64_t height = 0;         // of the largest picture, px
    int64_t largestPixels = 0;  // width x height (x slices for a volume) of the largest picture
    int64_t totalPixels = 0;    // summed over every picture the library would hold at once
    int32_t pictures = 0;       // pages, frames, icons, faces or slices declared
    FileFault fault = FileFault::kNone;
    // TIFF: the first page's SampleFormat (1 unsigned integer, the default; 2 signed integer;
    // 3 floating point; 4 undefined, read as unsigned; 5 and 6 complex) and bits per sample,
    // which the image library reads as unsigned integers whatever they are. Binary PNM (P5,
    // P6): bits per sample 8, or 16 when the header's largest value is above 255. 0 otherwise.
    int32_t sampleFormat = 0;
    int32_t bitsPerSample = 0;
    // BMP: the size of the info header in bytes (12 OS/2, 40 BITMAPINFOHEADER, 108 version 4,
    // 124 version 5); 0 for other formats.
    int32_t bmpInfoBytes = 0;
};

// True unless the file is a TIFF whose samples are not unsigned integers (signed, floating
// point or complex): read as unsigned, their grey levels would be wrong.
bool samplesReadAsUnsigned(const DeclaredSize& declared);

// "signed integer", "floating-point" or "complex" for a TIFF SampleFormat 2, 3, 5 or 6; "" for
// the others.
const char* tiffSampleFormatName(int32_t sampleFormat);

// Reads the headers of the file `bytes` (`size` bytes) as the image library will read them:
// the format comes from the content (PNG, JPEG, TIFF, BMP, GIF, PNM, HDR, DDS, PSD signatures)
// and, for formats the library chooses by name alone, from `name`'s extension compared without
// regard to case (".tga", ".vda", ".icb", ".vst" for TGA; ".ico", ".cur" for icons; ".pbm",
// ".pgm", ".ppm", ".pnm" for PNM, which wins over the content as in the library).
//
// Reads only inside `bytes`; never allocates for a declared size. Every picture is examined:
// each TIFF page's directory (through libtiff), each GIF frame, each icon (with a PNG or a
// bitmap inside), the first JPEG frame header, every PNG chunk up to IEND. A file of another
// format gives type kUnknown and no fault. On a fault the sizes read so far are kept.
DeclaredSize readDeclaredSize(const unsigned char* bytes, size_t size, const std::string& name);

// The PNM part of readDeclaredSize, for a file the library reads as PNM: a replay of the
// library's own reading (see declared_size_pnm.cpp). Fills width and height from the header;
// fault kUnsafeForLibrary when the library would go wrong on the file, kBadSize when its
// header gives no plausible size, kTruncated when binary pixel data ends early.
DeclaredSize readPnmDeclaredSize(const unsigned char* bytes, size_t size);

// The TIFF part of readDeclaredSize: every page's directory read with libtiff from memory.
DeclaredSize readTiffDeclaredSize(const unsigned char* bytes, size_t size);
