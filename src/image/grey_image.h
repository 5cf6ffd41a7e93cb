// GreyImage: the grid of doubles the edge detection works on (grey levels 0..255), also used
// as a plain matrix (width grid, fit-quality tables).
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/kernel.h"
#include "stats/series.h"

// A `width` x `height` grid of doubles stored row after row: element (x, y), 0-based, is at
// data[x + y * width]. Invariant: data holds width * height elements; both sizes are 0 when
// there is no storage. Copies are deep. Operations that fill an output grid or Series first
// reallocate it; the output is never the grid itself. Column and row numbers that cross the
// interface (crop, columnSegment, reported positions) are 1-based.
struct GreyImage {
    int32_t width = 0;
    int32_t height = 0;
    double* data = nullptr;

    GreyImage() = default;
    // Deep copy; empty when storage cannot be obtained.
    GreyImage(const GreyImage& other);
    GreyImage(GreyImage&& other) noexcept;
    GreyImage& operator=(const GreyImage& other);
    GreyImage& operator=(GreyImage&& other) noexcept;
    ~GreyImage();

    // Frees the grid, then makes room for w x h elements (undefined values). Returns false and
    // stays empty when w or h is negative, the product overflows or storage cannot be had.
    bool allocate(int32_t w, int32_t h);
    void release();

    double& at(int32_t x, int32_t y) { return data[index(x, y)]; }
    double at(int32_t x, int32_t y) const { return data[index(x, y)]; }
    size_t index(int32_t x, int32_t y) const {
        return static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(width);
    }
    size_t size() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }

    // Largest element (NaN for an empty grid).
    double maxValue() const;
    // values[x] = smallest element of column x; rowPositions[x] (optional) = 1-based row of
    // its first occurrence.
    void columnMinima(Series& values, Series* rowPositions = nullptr) const;
    // As columnMinima with the largest element; ties resolve to the first row.
    void columnMaxima(Series& values, Series* rowPositions = nullptr) const;
    // out[y] = (sum of row y) / width.
    void rowMeans(Series& out) const;
    // out[y] = standard deviation of row y: m = sum * (1 / w); S = sum of (v - m)^2;
    // sqrt(S * (1 / w)) when `population` or w < 2, else sqrt(S / (w - 1)).
    void rowStdDevs(Series& out, bool population) const;
    // out = rows r1..r2 of column c (all 1-based); the caller keeps them inside the grid.
    void columnSegment(Series& out, int32_t c, int32_t r1, int32_t r2) const;
    // out = columns c..c+dc, rows r..r+dr (1-based first column and row); dc is cut to
    // width - c when c + dc exceeds width. The caller keeps the rows inside and c >= 1.
    void crop(GreyImage& out, int32_t c, int32_t r, int32_t dc, int32_t dr) const;
    // out(x, y) = S clamped to 0..255 (S <= 0 or NaN gives 0, S >= 255 gives 255), where S
    // sums, for k = 0..B-1 (outer) and l = 0..A-1 (inner), kernel(l, k) times the element at
    // column x + k - B/2, row y + l - A/2; terms outside the grid are left out.
    void convolve(GreyImage& out, const Kernel& kernel, int32_t a, int32_t b) const;
    // The value convolve gives at column x, row y (0-based), the same arithmetic in the same
    // order, for updating a smoothed grid where the grid changed.
    double convolveAt(const Kernel& kernel, int32_t a, int32_t b, int32_t x, int32_t y) const;
    // out = this - v, element by element.
    void subtractInto(GreyImage& out, double v) const;
    // out(y, x) = this(x, y).
    void transpose(GreyImage& out) const;
    // Every element becomes roundNearest of it.
    void roundValues();
};

// Fills `s` with f, f + step, f + 2 step, ...: n = trunc(ceil((l - f + 1) / step)) elements,
// the quotient in floating point. A step of 0, or a non-positive n, gives an empty Series.
void fillRange(Series& s, int32_t f, int32_t l, int32_t step);
