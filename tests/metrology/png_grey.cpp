#include "png_grey.h"

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

uint32_t bigEndian(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

int paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

}  // namespace

bool readGreyPng(const std::string& path, GreyImage& grid) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    static const unsigned char kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (file.size() < 8 || !std::equal(kSignature, kSignature + 8, file.begin())) return false;
    size_t at = 8;
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<unsigned char> packed;
    while (at + 12 <= file.size()) {
        const uint32_t length = bigEndian(&file[at]);
        const std::string type(file.begin() + static_cast<std::ptrdiff_t>(at + 4),
                               file.begin() + static_cast<std::ptrdiff_t>(at + 8));
        if (at + 12 + length > file.size()) return false;
        const unsigned char* data = &file[at + 8];
        if (type == "IHDR") {
            if (length < 13) return false;
            width = bigEndian(data);
            height = bigEndian(data + 4);
            // 8-bit grey, deflate, adaptive filtering, not interlaced.
            if (data[8] != 8 || data[9] != 0 || data[10] != 0 || data[11] != 0 || data[12] != 0)
                return false;
        } else if (type == "IDAT") {
            packed.insert(packed.end(), data, data + length);
        } else if (type == "IEND") {
            break;
        }
        at += 12 + length;
    }
    if (width == 0 || height == 0 || width > 65536 || height > 65536) return false;
    const size_t stride = static_cast<size_t>(width) + 1;
    std::vector<unsigned char> raw(stride * height);
    uLongf rawSize = static_cast<uLongf>(raw.size());
    if (uncompress(raw.data(), &rawSize, packed.data(), static_cast<uLong>(packed.size())) !=
            Z_OK ||
        rawSize != raw.size())
        return false;
    std::vector<unsigned char> previous(width, 0);
    std::vector<unsigned char> row(width);
    GreyImage out;
    if (!out.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height))) return false;
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char filter = raw[y * stride];
        const unsigned char* line = &raw[y * stride + 1];
        for (uint32_t x = 0; x < width; ++x) {
            const int a = x > 0 ? row[x - 1] : 0;
            const int b = previous[x];
            const int c = x > 0 ? previous[x - 1] : 0;
            int predictor = 0;
            switch (filter) {
                case 0:
                    predictor = 0;
                    break;
                case 1:
                    predictor = a;
                    break;
                case 2:
                    predictor = b;
                    break;
                case 3:
                    predictor = (a + b) / 2;
                    break;
                case 4:
                    predictor = paeth(a, b, c);
                    break;
                default:
                    return false;
            }
            row[x] = static_cast<unsigned char>((line[x] + predictor) & 0xff);
            out.at(static_cast<int32_t>(x), static_cast<int32_t>(y)) = row[x];
        }
        previous = row;
    }
    grid = std::move(out);
    return true;
}
