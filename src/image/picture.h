// The picture shown in the result window: the loaded image as red-green-blue bytes, with the
// traced edges painted red.
#pragma once

#include <cstddef>
#include <cstdint>

// W x H pixels of 3 bytes (red, green, blue), row after row in the row order of the grey
// grid: pixel (x, y), 0-based, starts at byte 3 * (y * width + x). Owns its bytes.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    unsigned char* bytes = nullptr;

    Picture() = default;
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;
    Picture(Picture&& other) noexcept;
    Picture& operator=(Picture&& other) noexcept;
    ~Picture();

    // Frees the bytes, then makes room for w x h pixels. False (and empty) on failure.
    bool allocate(int32_t w, int32_t h);
    void release();
    unsigned char* pixel(int32_t x, int32_t y) {
        return bytes +
               3 * (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x));
    }
};
