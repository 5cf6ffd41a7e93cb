#include "files/metadata.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "files/metadata_containers.h"
#include "files/metadata_forms.h"

namespace {

// Two pixel sizes further apart than this, relative, are worth a note.
constexpr double kDisagreement = 0.01;

struct Candidate {
    PixelSizeSource source = PixelSizeSource::kNone;
    FormValues values;
};

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// The side-car's text, when there is one of a readable size.
bool readSidecar(const std::string& path,
                 std::string& where,
                 std::string& text,
                 std::vector<std::string>& notes) {
    std::filesystem::path sidecar(path);
    if (sidecar.extension() == ".txt") return false;  // the image cannot be its own side-car
    sidecar.replace_extension(".txt");
    std::error_code error;
    if (!std::filesystem::is_regular_file(sidecar, error)) return false;
    where = "side-car " + sidecar.filename().string();
    const std::uintmax_t size = std::filesystem::file_size(sidecar, error);
    if (error || size > kMaxMetadataTextBytes) {
        notes.push_back("the " + where + " is larger than any metadata text; ignored");
        return false;
    }
    std::ifstream in(sidecar, std::ios::binary);
    if (!in) {
        notes.push_back("the " + where + " cannot be read; ignored");
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The bar height a side-car's full size gives for this picture. When the full size shows the
// side-car describes another picture, or the picture's size is unknown, nothing of the side-car
// is used (a pixel size from before a crop or a scaling would be wrong), with a note.
void applyFullSize(const std::string& where, FileMetadata& metadata, FormValues& values) {
    if (values.fullHeight < 0) return;
    const std::string fullSize =
        std::to_string(values.fullWidth) + " x " + std::to_string(values.fullHeight);
    if (metadata.fileHeight < 0) {
        metadata.notes.push_back("the " + where + " gives a full size of " + fullSize +
                                 ", but the picture's size is unknown; the side-car is ignored");
        values = FormValues();
        return;
    }
    const std::string picture =
        std::to_string(metadata.fileWidth) + " x " + std::to_string(metadata.fileHeight);
    if (values.fullWidth != metadata.fileWidth || values.fullHeight > metadata.fileHeight) {
        metadata.notes.push_back("the " + where + " describes a " + fullSize +
                                 " picture, this one is " + picture + "; the side-car is ignored");
        values = FormValues();
        return;
    }
    values.databarRows = metadata.fileHeight - values.fullHeight;
}

// An in-file form that gives the size of the scan it was written with (scanWidth x
// scanHeight) describes this picture only when the picture is that wide and that high or higher
// by a bar of at most half the scan; otherwise the picture was scaled or cut since, and neither
// its pixel size nor its bar is used, with a note.
// True when it does not (the picture was scaled or cut since).
bool applyScanSize(const std::string& where, FileMetadata& metadata, FormValues& values) {
    if (values.scanWidth < 0 || values.scanHeight < 0 || metadata.fileHeight < 0) return false;
    if (values.scanWidth == metadata.fileWidth && metadata.fileHeight >= values.scanHeight &&
        metadata.fileHeight <= values.scanHeight + values.scanHeight / 2)
        return false;
    metadata.notes.push_back(
        where + " describes a scan of " + std::to_string(values.scanWidth) + " x " +
        std::to_string(values.scanHeight) + " pixels, this picture is " +
        std::to_string(metadata.fileWidth) + " x " + std::to_string(metadata.fileHeight) +
        ": it was scaled or cut since, so no pixel size or data bar the file holds is used "
        "(give --pixel-size if it was only cut)");
    values = FormValues();
    return true;
}

}  // namespace

const char* pixelSizeSourceName(PixelSizeSource source) {
    switch (source) {
        case PixelSizeSource::kOption:
            return "option";
        case PixelSizeSource::kParameterFile:
            return "parameter file";
        case PixelSizeSource::kTiffIni:
            return "tiff-ini";
        case PixelSizeSource::kXml:
            return "xml";
        case PixelSizeSource::kTiffText:
            return "tiff-text";
        case PixelSizeSource::kSidecar:
            return "sidecar";
        case PixelSizeSource::kNone:
            break;
    }
    return "none";
}

FileMetadata readFileMetadata(const std::string& path,
                              int32_t decodedWidth,
                              int32_t decodedHeight) {
    FileMetadata metadata;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        metadata.notes.push_back("the file cannot be read, so its metadata was not read");
        return metadata;
    }
    unsigned char head[32] = {0};
    size_t headSize = 0;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        headSize = std::fread(head, 1, sizeof head, file);
        std::fclose(file);
    }
    ContainerContents contents;
    switch (containerKind(head, headSize)) {
        case ContainerKind::kTiff:
            readTiffContents(path, contents, metadata.notes);
            break;
        case ContainerKind::kJpeg:
            readJpegContents(path, contents, metadata.notes);
            break;
        case ContainerKind::kBmp:
            readBmpSize(head, headSize, contents);
            break;
        case ContainerKind::kPng:
            readPngSize(head, headSize, contents);
            break;
        case ContainerKind::kUnknown:
            break;
    }
    metadata.fileWidth = contents.width;
    metadata.fileHeight = contents.height;
    if (metadata.fileHeight < 0 && decodedWidth >= 0 && decodedHeight >= 0) {
        metadata.fileWidth = decodedWidth;
        metadata.fileHeight = decodedHeight;
    }

    // Every form, in the order of precedence.
    std::vector<Candidate> candidates;
    bool notThisScan = false;  // a form shows the picture is not the scan the file describes
    for (const MetadataText& form : contents.iniTexts) {
        FormValues values = parseIniText(form.text, form.where, metadata.notes);
        notThisScan =
            applyScanSize("the INI text of " + form.where, metadata, values) || notThisScan;
        candidates.push_back({PixelSizeSource::kTiffIni, values});
    }
    for (const MetadataText& form : contents.xmlTexts) {
        candidates.push_back(
            {PixelSizeSource::kXml, parseXmlText(form.text, form.where, metadata.notes)});
    }
    for (const MetadataText& form : contents.labelledTexts) {
        FormValues values = parseLabelledText(form.text, form.where, metadata.notes);
        notThisScan = applyScanSize("the text of " + form.where, metadata, values) || notThisScan;
        candidates.push_back({PixelSizeSource::kTiffText, values});
    }
    // Then none of the file's own forms holds for it, whichever says so (a side-car is checked
    // against the picture on its own).
    if (notThisScan)
        for (Candidate& candidate : candidates) candidate.values = FormValues();
    std::string sidecarWhere;
    std::string sidecarText;
    if (readSidecar(path, sidecarWhere, sidecarText, metadata.notes)) {
        FormValues values = parseSidecarText(sidecarText, sidecarWhere, metadata.notes);
        applyFullSize(sidecarWhere, metadata, values);
        candidates.push_back({PixelSizeSource::kSidecar, values});
    }

    for (const Candidate& candidate : candidates) {
        if (!std::isfinite(candidate.values.pixelWidthNm)) continue;
        if (metadata.source == PixelSizeSource::kNone) {
            metadata.pixelSizeNm = candidate.values.pixelWidthNm;
            metadata.pixelHeightNm = candidate.values.pixelHeightNm;
            metadata.source = candidate.source;
            continue;
        }
        const double used = metadata.pixelSizeNm;
        const double other = candidate.values.pixelWidthNm;
        if (std::fabs(other - used) > kDisagreement * used) {
            metadata.notes.push_back(std::string(pixelSizeSourceName(candidate.source)) +
                                     " gives a pixel size of " + number(other) + " nm, " +
                                     pixelSizeSourceName(metadata.source) + " " + number(used) +
                                     " nm; " + pixelSizeSourceName(metadata.source) + " is used");
        }
    }
    if (std::isfinite(metadata.pixelHeightNm) &&
        std::fabs(metadata.pixelHeightNm - metadata.pixelSizeNm) >
            kDisagreement * metadata.pixelSizeNm) {
        metadata.notes.push_back("the pixels are not square: " + number(metadata.pixelSizeNm) +
                                 " nm along a row, " + number(metadata.pixelHeightNm) +
                                 " nm down a column");
    }

    for (const Candidate& candidate : candidates) {
        const int32_t rows = candidate.values.databarRows;
        if (rows < 0) continue;
        if (metadata.fileHeight >= 0 && rows > metadata.fileHeight / 2) {
            metadata.notes.push_back("a data bar of " + std::to_string(rows) + " rows (" +
                                     pixelSizeSourceName(candidate.source) + ") would leave " +
                                     "less than half of the " +
                                     std::to_string(metadata.fileHeight) +
                                     " rows of the picture; ignored");
            continue;
        }
        metadata.databarRows = rows;
        metadata.databarSource = candidate.source;
        break;
    }
    return metadata;
}
