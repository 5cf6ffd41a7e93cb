// The exchange between decodeImageFile and the image decoder it starts (rugon-decode): what
// the decoder is given and the answer it writes back. Both sides come from one build.
#pragma once

#include <cstdint>

// The decoder's descriptors: the image file open for reading, the answer pipe.
constexpr int kDecoderFileFd = 0;
constexpr int kDecoderAnswerFd = 3;

// Command line: rugon-decode <maxPixels> <seconds> <memoryBytes> <name>; `name` is the file's
// name as given, used only for its extension (the decoder never opens it).
constexpr int kDecoderArgumentCount = 5;

// The decoder's address space: this much for its program and libraries, plus this much per
// declared pixel (the library's picture with four 16-bit or three float channels, a converted
// copy and the grey levels), up to the limit it is started with.
constexpr int64_t kDecoderBaseBytes = int64_t{256} << 20;
constexpr int64_t kDecoderBytesPerPixel = 32;
// The most address space the decoder is given by default, whatever the pixel limit.
constexpr int64_t kDecoderLargestBytes = int64_t{8} << 30;

// Widest and tallest picture decoded, px; larger sides are taken for a damaged header.
constexpr int64_t kDecoderLongestSide = 65536;

// How the decoding ended.
enum class DecodeOutcome : uint32_t {
    kPicture = 1,   // a picture follows: width x height grey levels, one byte each
    kNotAnImage,    // the image library cannot read the file
    kTooLarge,      // the declared or delivered picture is above the pixel limit
    kPaletteShort,  // palette indices beyond the palette's colours
    kFileFault,     // damage found before decoding (`fault`, a FileFault)
    kOutOfMemory,   // the decoder's memory limit was reached
    kBadRequest,    // the decoder was started with a bad command line
    // TIFF samples that are not unsigned integers: `fault` holds the SampleFormat,
    // `bitsPerPixel` the bits per sample (declared_size.h)
    kSampleFormat,
    // A BMP the library does not read whose info header is not the 40-byte one: `fault` holds
    // the header's size in bytes
    kBmpVersion,
    // A binary PNM of two-byte samples (largest value above 255): the library reads one byte
    // of each
    kPnmSixteenBit,
    kCount
};

// How the library delivered the picture, before it was brought to grey levels.
enum class PixelKind : uint32_t { kGrey = 1, kGreyAlpha, kPalette, kRgb, kRgba, kAlpha, kCount };

// The answer's fixed part, written as it lies in memory (both sides share the layout). For
// kPicture, `byteCount` = width * height bytes follow, row after row in the library's row order.
struct DecodeAnswer {
    uint32_t magic = 0;         // kDecodeAnswerMagic
    uint32_t outcome = 0;       // DecodeOutcome
    uint32_t fault = 0;         // FileFault for kFileFault, else 0
    uint32_t topRowFirst = 0;   // 1 when row 0 is the top of the picture, else 0
    int64_t width = 0;          // px: the picture's, or the declared one for kTooLarge
    int64_t height = 0;         // px
    int64_t pixels = 0;         // for kTooLarge: the declared pixel count (slices included)
    uint32_t fileType = 0;      // ImageFileType from the headers
    uint32_t pixelKind = 0;     // PixelKind as delivered
    uint32_t bitsPerPixel = 0;  // as delivered: 8, 16, 24, 32, 48, 64, 96, 128
    uint32_t floating = 0;      // 1 for floating-point channels
    uint64_t byteCount = 0;     // bytes that follow
    uint32_t usedBits = 0;      // 16-bit channels: bits the picture's largest value uses
                                // (0..16); else 0
    uint32_t pictures = 0;      // pages, frames, faces or slices the headers declare (0: unknown)
    uint32_t lowest16 = 0;      // 16-bit channels: the picture's smallest and largest value (of
    uint32_t highest16 = 0;     // the first channel); else 0
    uint32_t base16 = 0;        // 16-bit channels: the SixteenBitReduction that made the grey
    uint32_t shift16 = 0;       // levels (files/sixteen_bit.h); else 0
    uint32_t low16 = 0;
    uint32_t high16 = 0;
};
static_assert(sizeof(DecodeAnswer) == 96, "the answer keeps one layout");

constexpr uint32_t kDecodeAnswerMagic = 0x31444752u;  // "RGD1" in memory order
