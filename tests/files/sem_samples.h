// Helpers of the file-handling tests: the real SEM images of the shared folder, loaded top row
// first with the program's grey-level rule, and a scratch folder for written samples.
#pragma once

#include <IL/il.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "image/grey_image.h"

inline std::string semFile(const std::string& name) {
    return std::string(RUGON_SHARED_SEM) + "/" + name;
}

inline bool haveSemFolder() {
    std::error_code error;
    return std::filesystem::is_directory(RUGON_SHARED_SEM, error);
}

// Loads `path` top row first: the first byte of each pixel, palette files through their
// colours, as the program does. False when the library cannot read it.
inline bool loadTopRowFirst(const std::string& path, GreyImage& grid) {
    static const bool started = [] {
        ilInit();
        ilEnable(IL_ORIGIN_SET);
        ilOriginFunc(IL_ORIGIN_UPPER_LEFT);
        return true;
    }();
    (void)started;
    ILuint name = 0;
    ilGenImages(1, &name);
    ilBindImage(name);
    bool ok = ilLoadImage(path.c_str()) == IL_TRUE && ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE);
    if (ok) {
        const int32_t width = ilGetInteger(IL_IMAGE_WIDTH);
        const int32_t height = ilGetInteger(IL_IMAGE_HEIGHT);
        const ILubyte* bytes = ilGetData();
        ok = bytes != nullptr && grid.allocate(width, height);
        for (size_t i = 0; ok && i < grid.size(); ++i) grid.data[i] = bytes[3 * i];
    }
    ilDeleteImages(1, &name);
    return ok;
}

// A folder of its own under the system's temporary folder, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "rugon-files-XXXXXX");
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
