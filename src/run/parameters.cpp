#include "run/parameters.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

bool isBlank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Token read: skips white space, then reads at most `limit` characters up to the next white
// space, which is left in the file. False at end of file before any token character.
bool readToken(std::FILE* file, int limit, std::string& token) {
    token.clear();
    int c = std::getc(file);
    while (c != EOF && isBlank(c)) c = std::getc(file);
    if (c == EOF) return false;
    while (c != EOF && !isBlank(c)) {
        token.push_back(static_cast<char>(c));
        if (static_cast<int>(token.size()) == limit) return true;
        c = std::getc(file);
    }
    if (c != EOF) std::ungetc(c, file);
    return true;
}

// Label token: read and discarded.
bool readLabel(std::FILE* file) {
    std::string label;
    return readToken(file, kMaxTokenLength, label);
}

// Signed 32-bit decimal from the token's leading characters; false when none convert or the
// value is out of range.
bool readInteger(std::FILE* file, int32_t& value) {
    std::string token;
    if (!readToken(file, kMaxTokenLength, token)) return false;
    const char* begin = token.c_str();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<int32_t>(v);
    return true;
}

// Real read in single precision and widened to double; false when nothing converts or the
// value is not finite.
bool readReal(std::FILE* file, double& value) {
    std::string token;
    if (!readToken(file, kMaxTokenLength, token)) return false;
    const char* begin = token.c_str();
    char* end = nullptr;
    const float v = std::strtof(begin, &end);
    if (end == begin || !std::isfinite(v)) return false;
    value = static_cast<double>(v);
    return true;
}

bool readSwitch(std::FILE* file, char& value) {
    std::string token;
    if (!readToken(file, kMaxTokenLength, token)) return false;
    value = token[0];
    return true;
}

bool readPair(std::FILE* file, int32_t& value) {
    return readLabel(file) && readInteger(file, value);
}
bool readPair(std::FILE* file, double& value) { return readLabel(file) && readReal(file, value); }
bool readPair(std::FILE* file, char& value) { return readLabel(file) && readSwitch(file, value); }

void readContent(std::FILE* file, RunParameters& params) {
    skipLine(file);
    skipLine(file);
    if (!readPair(file, params.edgeThreshold)) return;
    skipLine(file);
    skipLine(file);
    if (!readPair(file, params.reservedSwitch1)) return;
    if (!readPair(file, params.kernelRows)) return;
    if (!readPair(file, params.kernelColumns)) return;
    if (!readPair(file, params.kernelSigma)) return;
    skipLine(file);
    skipLine(file);
    if (!readPair(file, params.reservedSwitch2)) return;
    int32_t imageCount = 0;
    if (!readPair(file, imageCount)) return;
    skipLine(file);
    skipLine(file);
    if (!readPair(file, params.pixelSize)) return;
    if (!readPair(file, params.reservedValue)) return;
    if (!readPair(file, params.edgeHalfWindow)) return;
    // Entries are appended one at a time as they are read, so a count far larger than the
    // entries present reserves nothing; an entry missing its flag token is not kept.
    for (int32_t i = 0; i < imageCount; ++i) {
        auto entry = std::make_unique<ImageEntry>();
        std::string flag;
        if (!readToken(file, kMaxTokenLength, entry->name)) return;
        if (!readToken(file, kMaxFlagLength, flag)) return;
        entry->pairing = flag[0] == 'l' ? 0 : 1;
        params.images.push_back(std::move(entry));
    }
}

}  // namespace

void skipLine(std::FILE* file) {
    for (;;) {
        int length = 0;
        bool sawCarriageReturnOnly = true;  // every character so far is a carriage return
        int c = 0;
        while (length < kLinePieceLength) {
            c = std::getc(file);
            if (c == EOF) break;
            ++length;
            if (c == '\n') break;
            if (c != '\r') sawCarriageReturnOnly = false;
        }
        if (length == 0) return;  // end of file
        // A piece is empty when it is only the line end: "\n" or "\r\n".
        const bool empty = c == '\n' && sawCarriageReturnOnly && length <= 2;
        if (!empty) return;
    }
}

bool readParameterFile(const char* path, RunParameters& params) {
    std::FILE* file = std::fopen(path, "r");
    struct stat info;
    if (file != nullptr && (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))) {
        std::fclose(file);
        file = nullptr;
    }
    if (file == nullptr) {
        std::printf("(x) Error opening \"%s\" for reading.\n", path);
        return false;
    }
    readContent(file, params);
    params.detectionFloor = 0.3;
    std::fclose(file);
    return true;
}
