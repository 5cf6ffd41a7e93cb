#include "report_support.h"

#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#ifdef RUGON_HAVE_SYNTHETIC
#include "synthetic/synthetic_sem.h"
#endif

std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    bool rowStarted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        rowStarted = true;
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(field);
            field.clear();
        } else if (c == '\n') {
            row.push_back(field);
            rows.push_back(row);
            row.clear();
            field.clear();
            rowStarted = false;
        } else {
            field += c;
        }
    }
    if (rowStarted) {
        row.push_back(field);
        rows.push_back(row);
    }
    return rows;
}

int columnOf(const std::vector<std::string>& header, const std::string& name) {
    for (size_t i = 0; i < header.size(); ++i)
        if (header[i] == name) return static_cast<int>(i);
    return -1;
}

bool writePgm(const std::string& path,
              int32_t width,
              int32_t height,
              const std::vector<unsigned char>& grey) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    std::fprintf(file, "P5\n%d %d\n255\n", width, height);
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    const bool ok = grey.size() >= n && std::fwrite(grey.data(), 1, n, file) == n;
    return std::fclose(file) == 0 && ok;
}

bool writeLineImage(
    const std::string& path, int32_t width, int32_t height, int32_t lines, uint32_t seed) {
#ifdef RUGON_HAVE_SYNTHETIC
    SyntheticSemSettings settings;
    settings.width = width;
    settings.height = height;
    settings.lineCount = lines;
    settings.seed = seed;
    SyntheticSem image;
    return makeSyntheticSem(settings, image) && writePgm(image, path);
#else
    // Lines of 28 pixels every 64, from column 24, on a dark background; a bright band of 4
    // pixels inside each edge. Each edge wanders by a smoothed random walk.
    std::mt19937 random(seed);
    std::normal_distribution<double> step(0.0, 0.35);
    std::vector<double> offsets(static_cast<size_t>(2 * lines), 0.0);
    std::vector<unsigned char> grey(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y) {
        for (double& o : offsets) o = 0.9 * o + step(random);
        for (int32_t x = 0; x < width; ++x) {
            double level = 40.0;
            for (int32_t m = 0; m < lines; ++m) {
                const double left = 24.0 + 64.0 * m + offsets[static_cast<size_t>(2 * m)];
                const double right = left + 28.0 + offsets[static_cast<size_t>(2 * m + 1)];
                const double cx = x + 1.0;
                if (cx >= left && cx <= right) {
                    level = (cx - left < 4.0 || right - cx < 4.0) ? 200.0 : 80.0;
                }
            }
            grey[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
                static_cast<unsigned char>(level);
        }
    }
    return writePgm(path, width, height, grey);
#endif
}

bool readPng(const std::string& path, RgbPicture& out) {
    cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return false;
    }
    cairo_surface_flush(surface);
    out.width = cairo_image_surface_get_width(surface);
    out.height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    out.rgb.assign(static_cast<size_t>(out.width) * static_cast<size_t>(out.height) * 3, 0);
    for (int32_t y = 0; y < out.height; ++y) {
        const uint32_t* row = reinterpret_cast<const uint32_t*>(data + y * stride);
        for (int32_t x = 0; x < out.width; ++x) {
            const uint32_t v = row[x];
            unsigned char* p = &out.rgb[3 * (static_cast<size_t>(y) * out.width + x)];
            p[0] = static_cast<unsigned char>((v >> 16) & 0xff);
            p[1] = static_cast<unsigned char>((v >> 8) & 0xff);
            p[2] = static_cast<unsigned char>(v & 0xff);
        }
    }
    cairo_surface_destroy(surface);
    return true;
}

int countColour(const RgbPicture& picture,
                int32_t x0,
                int32_t y0,
                int32_t x1,
                int32_t y1,
                int r,
                int g,
                int b,
                int tolerance) {
    int count = 0;
    for (int32_t y = y0; y < y1 && y < picture.height; ++y) {
        for (int32_t x = x0; x < x1 && x < picture.width; ++x) {
            const unsigned char* p = picture.at(x, y);
            if (std::abs(p[0] - r) <= tolerance && std::abs(p[1] - g) <= tolerance &&
                std::abs(p[2] - b) <= tolerance)
                ++count;
        }
    }
    return count;
}
