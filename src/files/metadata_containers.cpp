#include "files/metadata_containers.h"

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "files/metadata_forms.h"

namespace {

constexpr uint32_t kIniTag = 34682;
constexpr uint32_t kXmlTag = 34683;
constexpr uint32_t kLabelledTag = 34118;

// Most messages taken from libtiff for one file; a badly broken file can raise hundreds.
constexpr int kMaxLibraryNotes = 4;
// Largest single allocation libtiff may make while reading the directory.
constexpr tmsize_t kMaxTiffAllocation = tmsize_t{64} << 20;
// Most JPEG segments walked before the start of scan; real files have a few dozen.
constexpr int kMaxJpegSegments = 4096;

struct LibraryMessages {
    std::vector<std::string>* notes = nullptr;
    int taken = 0;
};

bool mentionsOurTags(const char* message) {
    return std::strstr(message, "34682") != nullptr || std::strstr(message, "34683") != nullptr ||
           std::strstr(message, "34118") != nullptr;
}

void takeMessage(void* userData, const char* module, const char* format, va_list ap, bool error) {
    auto* messages = static_cast<LibraryMessages*>(userData);
    char text[256];
    std::vsnprintf(text, sizeof text, format, ap);
    // libtiff warns about every private tag it has no description for; those are exactly the
    // tags read here, so the warning says nothing.
    if (!error &&
        (std::strstr(text, "Unknown field with tag") != nullptr || !mentionsOurTags(text)))
        return;
    if (messages->taken >= kMaxLibraryNotes) return;
    ++messages->taken;
    messages->notes->push_back(std::string("TIFF reader") + (error ? " error" : " warning") +
                               (module != nullptr ? std::string(" in ") + module : "") + ": " +
                               text);
}

int tiffError(TIFF*, void* userData, const char* module, const char* format, va_list ap) {
    takeMessage(userData, module, format, ap, true);
    return 1;  // handled: nothing reaches the library's default handler (stderr)
}

int tiffWarning(TIFF*, void* userData, const char* module, const char* format, va_list ap) {
    takeMessage(userData, module, format, ap, false);
    return 1;
}

// The text of tag `tag` of the current directory, when present and of a byte-sized type.
bool tagText(TIFF* tiff, uint32_t tag, std::string& text, std::vector<std::string>& notes) {
    const TIFFField* field = TIFFFindField(tiff, tag, TIFF_ANY);
    if (field == nullptr) return false;
    const std::string where = "TIFF tag " + std::to_string(tag);
    const TIFFDataType type = TIFFFieldDataType(field);
    if (type != TIFF_ASCII && type != TIFF_BYTE && type != TIFF_SBYTE && type != TIFF_UNDEFINED) {
        notes.push_back(where + " holds numbers (type " + std::to_string(type) +
                        "), not text; ignored");
        return false;
    }
    const char* data = nullptr;
    uint64_t count = 0;
    const int readCount = TIFFFieldReadCount(field);
    if (TIFFFieldPassCount(field)) {
        void* values = nullptr;
        if (readCount == TIFF_VARIABLE2) {
            uint32_t n = 0;
            if (TIFFGetField(tiff, tag, &n, &values) != 1) return false;
            count = n;
        } else if (readCount == TIFF_VARIABLE) {
            uint16_t n = 0;
            if (TIFFGetField(tiff, tag, &n, &values) != 1) return false;
            count = n;
        } else {
            notes.push_back(where + " has an unexpected layout; ignored");
            return false;
        }
        data = static_cast<const char*>(values);
    } else if (type == TIFF_ASCII) {
        char* value = nullptr;
        if (TIFFGetField(tiff, tag, &value) != 1) return false;
        data = value;
        count = value != nullptr ? std::strlen(value) : 0;
    } else {
        notes.push_back(where + " has an unexpected layout; ignored");
        return false;
    }
    if (data == nullptr || count == 0) return false;
    if (count > kMaxMetadataTextBytes) {
        notes.push_back(where + " holds " + std::to_string(count) +
                        " bytes, more than any metadata text; ignored");
        return false;
    }
    text.assign(data, static_cast<size_t>(count));
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return true;
}

uint32_t bigEndian32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t littleEndian32(const unsigned char* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

void setSize(int64_t width, int64_t height, ContainerContents& out) {
    if (width < 1 || height < 1 || width > 65536 || height > 65536) return;
    out.width = static_cast<int32_t>(width);
    out.height = static_cast<int32_t>(height);
}

// True when an APP payload holds an XML document: '<' first, after blanks or a UTF-8
// byte-order mark.
bool looksLikeXml(const std::vector<unsigned char>& payload) {
    size_t i = 0;
    if (payload.size() >= 3 && payload[0] == 0xEF && payload[1] == 0xBB && payload[2] == 0xBF)
        i = 3;
    while (i < payload.size() &&
           (payload[i] == ' ' || payload[i] == '\t' || payload[i] == '\r' || payload[i] == '\n')) {
        ++i;
    }
    return i < payload.size() && payload[i] == '<';
}

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

}  // namespace

ContainerKind containerKind(const unsigned char* head, size_t size) {
    if (size >= 4 &&
        ((head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0) ||
         (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43)))) {
        return ContainerKind::kTiff;
    }
    if (size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF)
        return ContainerKind::kJpeg;
    if (size >= 2 && head[0] == 'B' && head[1] == 'M') return ContainerKind::kBmp;
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= 8 && std::memcmp(head, kPng, 8) == 0) return ContainerKind::kPng;
    return ContainerKind::kUnknown;
}

void readTiffContents(const std::string& path,
                      ContainerContents& out,
                      std::vector<std::string>& notes) {
    LibraryMessages messages;
    messages.notes = &notes;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
        notes.push_back("the TIFF reader could not start; the TIFF tags were not read");
        return;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiffError, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiffWarning, &messages);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxTiffAllocation);
    // "m": no memory mapping, so that a file cut short while it is read gives read errors
    // rather than a bus error.
    TIFF* tiff = TIFFOpenExt(path.c_str(), "rm", options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr) {
        notes.push_back("the TIFF directory cannot be read; the TIFF tags were not read");
        return;
    }
    uint32_t width = 0;
    uint32_t height = 0;
    if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) == 1 &&
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) == 1) {
        setSize(width, height, out);
    }
    std::string text;
    if (tagText(tiff, kIniTag, text, notes))
        out.iniTexts.push_back(MetadataText{"TIFF tag 34682", text});
    if (tagText(tiff, kXmlTag, text, notes))
        out.xmlTexts.push_back(MetadataText{"TIFF tag 34683", text});
    if (tagText(tiff, kLabelledTag, text, notes))
        out.labelledTexts.push_back(MetadataText{"TIFF tag 34118", text});
    TIFFClose(tiff);
}

void readJpegContents(const std::string& path,
                      ContainerContents& out,
                      std::vector<std::string>& notes) {
    std::error_code error;
    const std::uintmax_t fileSize = std::filesystem::file_size(path, error);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (error || file == nullptr) {
        if (file != nullptr) std::fclose(file);
        notes.push_back("the JPEG file cannot be read");
        return;
    }
    unsigned char start[2] = {0, 0};
    std::uintmax_t pos = std::fread(start, 1, 2, file);
    if (pos != 2 || start[0] != 0xFF || start[1] != 0xD8) {
        std::fclose(file);
        notes.push_back("the JPEG file has no start-of-image marker");
        return;
    }
    for (int segment = 0; segment < kMaxJpegSegments; ++segment) {
        const std::uintmax_t markerAt = pos;
        int c = std::fgetc(file);
        if (c != 0xFF) {
            notes.push_back("byte " + std::to_string(markerAt) +
                            " of the JPEG file is not a segment marker; the segments after it "
                            "were not read");
            break;
        }
        do {
            c = std::fgetc(file);
            ++pos;
        } while (c == 0xFF);  // fill bytes
        ++pos;
        if (c == EOF) {
            notes.push_back("the JPEG file ends inside its segment headers");
            break;
        }
        const unsigned marker = static_cast<unsigned>(c);
        if (marker == 0xDA || marker == 0xD9) break;  // start of scan, end of image
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
        unsigned char lengthBytes[2];
        if (std::fread(lengthBytes, 1, 2, file) != 2) {
            notes.push_back("the JPEG file ends inside the segment at byte " +
                            std::to_string(markerAt));
            break;
        }
        pos += 2;
        const unsigned length = (unsigned{lengthBytes[0]} << 8) | lengthBytes[1];
        const std::string name = (marker >= 0xE0 && marker <= 0xEF)
                                     ? "APP" + std::to_string(marker - 0xE0)
                                     : "marker " + hexByte(marker);
        if (length < 2) {
            notes.push_back("the JPEG " + name + " segment at byte " + std::to_string(markerAt) +
                            " gives a length below 2; the segments after it were not read");
            break;
        }
        const std::uintmax_t payloadSize = length - 2;
        if (payloadSize > fileSize || pos > fileSize - payloadSize) {
            notes.push_back("the JPEG " + name + " segment at byte " + std::to_string(markerAt) +
                            " claims " + std::to_string(length) +
                            " bytes, past the end of the file; it and the segments after it "
                            "were not read");
            break;
        }
        const bool app = marker >= 0xE0 && marker <= 0xEF;
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (app || frame) {
            std::vector<unsigned char> payload(static_cast<size_t>(payloadSize));
            if (std::fread(payload.data(), 1, payload.size(), file) != payload.size()) {
                notes.push_back("the JPEG file cannot be read at byte " + std::to_string(pos));
                break;
            }
            if (app && looksLikeXml(payload)) {
                out.xmlTexts.push_back(
                    MetadataText{"JPEG " + name + " segment at byte " + std::to_string(markerAt),
                                 std::string(payload.begin(), payload.end())});
            } else if (frame && payload.size() >= 5) {
                // A height of 0 means it is given after the first scan; left unknown then.
                setSize((payload[3] << 8) | payload[4], (payload[1] << 8) | payload[2], out);
            }
        } else if (std::fseek(file, static_cast<long>(payloadSize), SEEK_CUR) != 0) {
            notes.push_back("the JPEG file cannot be read at byte " + std::to_string(pos));
            break;
        }
        pos += payloadSize;
    }
    std::fclose(file);
}

void readBmpSize(const unsigned char* head, size_t size, ContainerContents& out) {
    if (size < 26) return;
    const uint32_t headerSize = littleEndian32(head + 14);
    if (headerSize == 12) {
        setSize(head[18] | (head[19] << 8), head[20] | (head[21] << 8), out);
    } else if (headerSize >= 40) {
        const int64_t width = static_cast<int32_t>(littleEndian32(head + 18));
        const int64_t height = static_cast<int32_t>(littleEndian32(head + 22));
        // A negative height marks rows stored top first.
        setSize(width, height < 0 ? -height : height, out);
    }
}

void readPngSize(const unsigned char* head, size_t size, ContainerContents& out) {
    if (size < 24 || std::memcmp(head + 12, "IHDR", 4) != 0) return;
    setSize(bigEndian32(head + 16), bigEndian32(head + 20), out);
}
