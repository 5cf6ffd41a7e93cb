#include "image/picture.h"

#include <new>
#include <utility>

Picture::Picture(Picture&& other) noexcept
    : width(other.width), height(other.height), bytes(other.bytes) {
    other.width = 0;
    other.height = 0;
    other.bytes = nullptr;
}

Picture& Picture::operator=(Picture&& other) noexcept {
    if (this != &other) {
        release();
        std::swap(width, other.width);
        std::swap(height, other.height);
        std::swap(bytes, other.bytes);
    }
    return *this;
}

Picture::~Picture() { release(); }

bool Picture::allocate(int32_t w, int32_t h) {
    release();
    if (w < 0 || h < 0) return false;
    const size_t n = 3 * static_cast<size_t>(w) * static_cast<size_t>(h);
    if (n > 0) {
        bytes = new (std::nothrow) unsigned char[n];
        if (bytes == nullptr) return false;
    }
    width = w;
    height = h;
    return true;
}

void Picture::release() {
    delete[] bytes;
    bytes = nullptr;
    width = 0;
    height = 0;
}
