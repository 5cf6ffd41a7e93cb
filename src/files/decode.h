// Decoding image files in a short-lived child process under limits: a file that makes the
// image library crash, hang or ask for too much memory only makes its image unreadable, with a
// one-line reason. Callable from several threads at once; keeps no state between calls.
#pragma once

#include <cstdint>
#include <string>

#include "image/grey_image.h"
#include "image/image_load.h"

// The default largest picture, 64 Mi pixels (8192 x 8192): the analysis of one picture of that
// size stays under 2 GiB.
constexpr int64_t kDefaultDecodeMaxPixels = int64_t{64} << 20;

// What one decoding may take.
struct DecodeLimits {
    // Largest width x height decoded, pixels (>= 1). A picture whose headers declare more (any
    // page, frame or icon of it) is refused before decoding; one the library delivers larger
    // is refused before it is converted. Sides above 65536 are refused whatever the limit.
    int64_t maxPixels = kDefaultDecodeMaxPixels;
    // Wall-clock time, s, after which the decoder is stopped; also its processor time.
    double timeoutSeconds = 60.0;
    // Address space of the decoder, bytes; 0 for 256 MiB + 32 bytes per pixel of maxPixels
    // (2.25 GiB by default), at most 8 GiB. The decoder lowers it to what the file's headers
    // declare.
    int64_t memoryBytes = 0;
    // The decoder executable; empty to find it as findImageDecoder says.
    std::string decoder;
};

// Decodes the image file `path` in a child process (the rugon-decode program) into `grid`:
// grey levels 0..255 as loadGreyImage describes them, in the library's row order. `info`
// receives the row order, the file's type and pixel format and the decoder's peak memory.
//
// The child reads the file from a descriptor this process opens; it gets no other access. Its
// headers are read first (files/declared_size.h): a declared picture above `limits.maxPixels`
// or a damaged structure is refused before the library sees the file; the library then decodes
// under memory, time and system-call limits. Every field of the child's answer is checked
// before use and its bytes are read up to the announced count only.
//
// Returns true with `grid` replaced. Returns false, `grid` and `info` untouched, with `reason`
// one line such as "file not found", "picture of 65536 x 65535 pixels is larger than the limit
// of 67108864 pixels", "palette shorter than the indices it uses", "damaged GIF file: a frame
// lies outside the picture's screen", "not an image the decoder can read", "BMP with a
// 124-byte info header (BITMAPV5HEADER): the image decoder reads only ...", "the image decoder
// crashed (signal 11)", "the image decoder exceeded the memory limit", "the image decoder took
// longer than 60 s", or that the decoder was not found.
bool decodeImageFile(const std::string& path,
                     const DecodeLimits& limits,
                     GreyImage& grid,
                     LoadedImageInfo& info,
                     std::string& reason);

// The decoder executable for `limits`: `limits.decoder` when given; else the RUGON_DECODER
// environment variable when set and not empty; else rugon-decode in the folder of the shared
// library holding this code, then in the folder of the running program, then in the build
// folder it was built in. Only an executable regular file is taken. Empty when none is found.
std::string findImageDecoder(const DecodeLimits& limits);
