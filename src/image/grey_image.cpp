#include "image/grey_image.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

GreyImage::GreyImage(const GreyImage& other) {
    if (!allocate(other.width, other.height)) return;
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) data[i] = other.data[i];
}

GreyImage::GreyImage(GreyImage&& other) noexcept
    : width(other.width), height(other.height), data(other.data) {
    other.width = 0;
    other.height = 0;
    other.data = nullptr;
}

GreyImage& GreyImage::operator=(const GreyImage& other) {
    if (this == &other) return *this;
    if (!allocate(other.width, other.height)) return *this;
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) data[i] = other.data[i];
    return *this;
}

GreyImage& GreyImage::operator=(GreyImage&& other) noexcept {
    if (this != &other) {
        release();
        std::swap(width, other.width);
        std::swap(height, other.height);
        std::swap(data, other.data);
    }
    return *this;
}

GreyImage::~GreyImage() { release(); }

bool GreyImage::allocate(int32_t w, int32_t h) {
    release();
    if (w < 0 || h < 0) return false;
    const int64_t n = static_cast<int64_t>(w) * static_cast<int64_t>(h);
    if (n == 0) return true;
    // Refuse grids whose byte size would not fit in memory addressing at all.
    if (n > (int64_t{1} << 40) / static_cast<int64_t>(sizeof(double))) return false;
    data = new (std::nothrow) double[static_cast<size_t>(n)];
    if (data == nullptr) return false;
    width = w;
    height = h;
    return true;
}

void GreyImage::release() {
    delete[] data;
    data = nullptr;
    width = 0;
    height = 0;
}

double GreyImage::maxValue() const {
    const size_t n = size();
    if (n == 0) return NAN;
    double best = data[0];
    for (size_t i = 1; i < n; ++i)
        if (data[i] > best) best = data[i];
    return best;
}

namespace {

// Shared scan for column extremes; `better(a, b)` says a replaces the current b.
template <typename Better>
void columnExtremes(const GreyImage& g, Series& values, Series* rowPositions, Better better) {
    values.allocate(g.width);
    if (rowPositions != nullptr) rowPositions->allocate(g.width);
    for (int32_t x = 0; x < g.width; ++x) {
        double best = g.height > 0 ? g.at(x, 0) : NAN;
        int32_t row = g.height > 0 ? 1 : 0;
        for (int32_t y = 1; y < g.height; ++y) {
            const double v = g.at(x, y);
            if (better(v, best)) {
                best = v;
                row = y + 1;
            }
        }
        values[x] = best;
        if (rowPositions != nullptr) (*rowPositions)[x] = row;
    }
}

}  // namespace

void GreyImage::columnMinima(Series& values, Series* rowPositions) const {
    columnExtremes(*this, values, rowPositions, [](double v, double b) { return v < b; });
}

void GreyImage::columnMaxima(Series& values, Series* rowPositions) const {
    columnExtremes(*this, values, rowPositions, [](double v, double b) { return v > b; });
}

void GreyImage::rowMeans(Series& out) const {
    if (!out.allocate(height)) return;
    for (int32_t y = 0; y < height; ++y) {
        double s = 0.0;
        for (int32_t x = 0; x < width; ++x) s += at(x, y);
        out[y] = s / width;
    }
}

void GreyImage::rowStdDevs(Series& out, bool population) const {
    if (!out.allocate(height)) return;
    const double reciprocal = 1.0 / width;
    for (int32_t y = 0; y < height; ++y) {
        double s = 0.0;
        for (int32_t x = 0; x < width; ++x) s += at(x, y);
        const double m = s * reciprocal;
        double squares = 0.0;
        for (int32_t x = 0; x < width; ++x) {
            const double d = at(x, y) - m;
            squares += d * d;
        }
        if (population || width < 2)
            out[y] = std::sqrt(squares * reciprocal);
        else
            out[y] = std::sqrt(squares / (width - 1));
    }
}

void GreyImage::columnSegment(Series& out, int32_t c, int32_t r1, int32_t r2) const {
    if (!out.allocate(r2 - r1 + 1)) return;
    for (int32_t k = 0; k < out.count; ++k) out[k] = at(c - 1, r1 - 1 + k);
}

void GreyImage::crop(GreyImage& out, int32_t c, int32_t r, int32_t dc, int32_t dr) const {
    if (c + dc > width) dc = width - c;
    if (!out.allocate(dc + 1, dr + 1)) return;
    for (int32_t j = 0; j <= dr; ++j)
        for (int32_t i = 0; i <= dc; ++i) out.at(i, j) = at(c - 1 + i, r - 1 + j);
}

void GreyImage::convolve(GreyImage& out, const Kernel& kernel, int32_t a, int32_t b) const {
    if (!out.allocate(width, height)) return;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) out.at(x, y) = convolveAt(kernel, a, b, x, y);
}

double GreyImage::convolveAt(
    const Kernel& kernel, int32_t a, int32_t b, int32_t x, int32_t y) const {
    // A kernel smaller than the sizes given (an empty kernel for unusable sizes) has no
    // weights to apply: the result is 0, as for a kernel of zero size.
    if (a > kernel.rows || b > kernel.columns) return 0.0;
    const int32_t halfB = b / 2;
    const int32_t halfA = a / 2;
    // Only kernel rows and columns that land inside the grid contribute; restricting the
    // loops to them skips exactly the terms that are left out, in the same order.
    const int32_t lFirst = std::max(0, halfA - y);
    const int32_t lLast = std::min(a - 1, height - 1 - y + halfA);
    const int32_t kFirst = std::max(0, halfB - x);
    const int32_t kLast = std::min(b - 1, width - 1 - x + halfB);
    double s = 0.0;
    for (int32_t k = kFirst; k <= kLast; ++k) {
        const int32_t column = x + k - halfB;
        for (int32_t l = lFirst; l <= lLast; ++l)
            s += kernel.weight(l, k) * at(column, y + l - halfA);
    }
    if (!(s > 0.0)) return 0.0;
    if (!(s < 255.0)) return 255.0;
    return s;
}

void GreyImage::subtractInto(GreyImage& out, double v) const {
    if (!out.allocate(width, height)) return;
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) out.data[i] = data[i] - v;
}

void GreyImage::transpose(GreyImage& out) const {
    if (!out.allocate(height, width)) return;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) out.at(y, x) = at(x, y);
}

void GreyImage::roundValues() {
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) data[i] = roundNearest(data[i]);
}

void fillRange(Series& s, int32_t f, int32_t l, int32_t step) {
    if (step == 0) {
        s.release();
        return;
    }
    const double n = std::ceil((static_cast<double>(l) - f + 1.0) / step);
    if (!(n > 0.0) || n > 2147483647.0) {
        s.release();
        return;
    }
    if (!s.allocate(static_cast<int32_t>(n))) return;
    for (int32_t k = 0; k < s.count; ++k) s[k] = f + static_cast<double>(k) * step;
}
