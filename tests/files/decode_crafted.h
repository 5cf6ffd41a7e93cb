// Crafted image files for the decoding tests, written byte by byte: hostile headers, damaged
// structures and short palettes in the formats the image library reads, each with what
// decoding it must give. The same files go through decodeImageFile, through both programs in
// the end-to-end tests, and into the fuzz corpus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A crafted file and the start of the reason decodeImageFile must give for it.
struct CraftedFile {
    std::string name;  // file name, its extension chosen as the library's reading needs
    Bytes bytes;
    std::string reason;  // how decodeImageFile's reason begins
};

// Every crafted file: sizes above the default limit of 64 Mi pixels declared in a PNG (also
// inside a cursor), a TIFF's first or second page, a JPEG frame, a GIF screen, an HDR, BMP,
// PSD, TGA or DDS header; damage (negative or zero sizes, short data, frames outside the
// screen, bad offsets, too many pages or icons); palettes shorter than their indices.
std::vector<CraftedFile> craftedFiles();

// Files cut short in their pixel data, in formats whose readers deliver a picture anyway
// (TGA, run-length TGA, PCX): their reason is empty, as they may decode.
std::vector<CraftedFile> shortPictures();

// Little- and big-endian integers appended to `b`.
void put16le(Bytes& b, uint32_t v);
void put32le(Bytes& b, uint32_t v);
void put16be(Bytes& b, uint32_t v);
void put32be(Bytes& b, uint32_t v);

// A PNG file of `width` x `rows.size()` (raw sample bytes of each row, top row first) with the
// given bit depth and colour type, stored without compression; `palette` as RGB triples. With
// `declaredHeight` > 0 the header declares that height instead, the data staying as given.
Bytes pngFile(uint32_t width,
              const std::vector<Bytes>& rows,
              int bitDepth,
              int colourType,
              const std::vector<Bytes>& palette = {},
              uint32_t declaredHeight = 0);

// An 8-bit palette BMP (bottom row first in the file) of `rows`, with `palette` (RGB triples)
// and `colorsUsed` in its header (0: as many as the palette holds).
Bytes paletteBmp(int32_t width,
                 const std::vector<Bytes>& rows,
                 const std::vector<Bytes>& palette,
                 uint32_t colorsUsed = 0);

// A grey TGA of `width` x `height`, top row first, row y of level 16 y (modulo 256); `runs`
// stores it run-length coded, 128 pixels a packet.
Bytes greyTga(uint32_t width, uint32_t height, bool runs);

// A little-endian TIFF of grey pages of `bits` per sample, uncompressed, one strip each: page i
// is widths[i] x heights[i]; its strip holds `stripBytes[i]` bytes of 100 (the declared size's
// bytes when 0). A SampleFormat tag of `sampleFormat` when that is not 0.
Bytes greyTiff(const std::vector<uint32_t>& widths,
               const std::vector<uint32_t>& heights,
               const std::vector<uint32_t>& stripBytes = {},
               uint32_t bits = 8,
               uint32_t sampleFormat = 0);
