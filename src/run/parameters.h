// The run's parameters and image list, read from the parameter file "input.txt".
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// One image of the list: its file name exactly as written, and which detected edge opens a
// line (`pairing` 1: edges 1-2, 3-4, ...; 0: edges 2-3, 4-5, ...).
struct ImageEntry {
    std::string name;     // at most kMaxNameLength characters
    int32_t pairing = 1;  // 0 when the flag token begins with 'l', else 1
};

// The parameter-file values, with their values before the file is read.
struct RunParameters {
    double detectionFloor = 0.0;  // band level of the coarse edge location; set to 0.3
    int32_t reservedValue = 0;    // read and stored, unused
    int32_t edgeHalfWindow = 0;   // pixels
    int32_t kernelRows = 5;
    int32_t kernelColumns = 7;
    double kernelSigma = 1.0;    // pixels
    double edgeThreshold = 1.0;  // fraction of the row maximum
    double pixelSize = 0.0;      // nm per pixel
    char reservedSwitch1 = 'n';
    char reservedSwitch2 = 'n';
    std::vector<std::unique_ptr<ImageEntry>> images;
};

// Longest label or file-name token, and longest flag token, in characters. Longer tokens are
// read in pieces of this length; each piece is taken as one token.
constexpr int kMaxTokenLength = 255;
constexpr int kMaxFlagLength = 31;
// Longest piece `skipLine` reads at once (a 256-byte buffer with its terminating NUL).
constexpr int kLinePieceLength = 255;

// Reads one line piece: up to and including the next line feed, at most 255 characters. An
// empty piece (only the line feed, or a carriage return and a line feed) is passed over and
// the next piece read; stops after the first non-empty piece or at end of file.
void skipLine(std::FILE* file);

// Reads the parameter file at `path` into `params`: the header lines, label/value pairs and
// image entries in the fixed reading order. Integers are signed 32-bit decimals; reals are
// read in single precision and widened to double (1.3 -> 1.2999999523162842); a switch keeps
// its token's first character. `detectionFloor` becomes 0.3.
//
// Bad content: reading stops at the first value that does not convert (or at end of file);
// the fields not yet read keep their values and no image entry is read after that point. The
// image entries read before the file ends are kept; the image count never reserves storage.
// When the file cannot be opened (or is a directory) the message
// "(x) Error opening \"<path>\" for reading.\n" goes to standard output, `params` is left
// untouched and the result is false; otherwise true.
bool readParameterFile(const char* path, RunParameters& params);
