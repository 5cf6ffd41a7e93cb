// Series: the fixed-length array of doubles that every analysis passes around, with the
// whole-array statistics and element-wise operations the roughness figures are built from.
#pragma once

#include <cstdint>

// A fixed-length array of doubles that owns its storage and copies deeply.
//
// Invariant: `data` holds exactly `count` elements; `count` is 0 whenever `data` is null.
// Positions reported by `maximum` and `minimum` are 1-based; storage is addressed from 0.
// Sums are always accumulated from the first element to the last.
struct Series {
    int32_t count = 0;
    double* data = nullptr;

    Series() = default;
    // Deep copy; when storage cannot be obtained the copy is empty.
    Series(const Series& other);
    Series(Series&& other) noexcept;
    // Deep copy (self-assignment leaves the Series unchanged).
    Series& operator=(const Series& other);
    Series& operator=(Series&& other) noexcept;
    ~Series();

    // Frees the current storage, then copies `other` (length and values). Never called with
    // the Series itself.
    void assign(const Series& other);
    // Frees the current storage, then makes room for `n` elements with no defined value.
    // Returns false (and leaves the Series empty) when n < 0 or the storage cannot be had.
    bool allocate(int32_t n);
    // Sets every element to 0.0.
    void zero();
    // Frees the storage; `count` becomes 0.
    void release();

    double& operator[](int32_t index) { return data[index]; }
    double operator[](int32_t index) const { return data[index]; }

    // Sum of all elements, first to last; 0.0 when empty.
    double sum() const;
    // sum() / count; NaN when empty.
    double mean() const;
    // sqrt(S / d) with S the sum of (x - mean)^2 and d = count when `population` or count < 2,
    // else count - 1. NaN when empty.
    double standardDeviation(bool population) const;
    // Largest element; `position` (optional) gets the 1-based position of its first
    // occurrence. Only a strictly larger value replaces the current one, so NaN never does.
    // An empty Series gives NaN and position 0.
    double maximum(int32_t* position = nullptr) const;
    // As `maximum`, for the smallest element.
    double minimum(int32_t* position = nullptr) const;

    // Element-wise changes in place, elements 1 .. count in order.
    void clampNegatives();                // x < 0 becomes 0.0
    void subtract(double v);              // x - v
    void power(double p);                 // pow(x, p)
    void divide(double v);                // (1 / v) * x, reciprocal formed once
    void scale(double f);                 // f * x
    void scaleShift(double a, double b);  // a * x + b
    // x + other[i]; `other` has at least `count` elements.
    void addElements(const Series& other);
    // When `other` has exactly `count` elements, `out` (a third Series) is reallocated to
    // `count` elements holding this[i] * other[i]. Otherwise nothing happens.
    void multiplyElements(const Series& other, Series& out) const;
};

// Rounds to the nearest integral value, halves away from zero (2.5 -> 3, -2.5 -> -3).
// NaN stays NaN.
double roundNearest(double x);
