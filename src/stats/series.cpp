#include "stats/series.h"

#include <cmath>
#include <new>
#include <utility>

Series::Series(const Series& other) { assign(other); }

Series::Series(Series&& other) noexcept : count(other.count), data(other.data) {
    other.count = 0;
    other.data = nullptr;
}

Series& Series::operator=(const Series& other) {
    if (this != &other) assign(other);
    return *this;
}

Series& Series::operator=(Series&& other) noexcept {
    if (this != &other) {
        release();
        std::swap(count, other.count);
        std::swap(data, other.data);
    }
    return *this;
}

Series::~Series() { release(); }

void Series::assign(const Series& other) {
    if (!allocate(other.count)) return;
    for (int32_t i = 0; i < count; ++i) data[i] = other.data[i];
}

bool Series::allocate(int32_t n) {
    release();
    if (n < 0) return false;
    if (n == 0) return true;
    data = new (std::nothrow) double[static_cast<size_t>(n)];
    if (data == nullptr) return false;
    count = n;
    return true;
}

void Series::zero() {
    for (int32_t i = 0; i < count; ++i) data[i] = 0.0;
}

void Series::release() {
    delete[] data;
    data = nullptr;
    count = 0;
}

double Series::sum() const {
    double s = 0.0;
    for (int32_t i = 0; i < count; ++i) s += data[i];
    return s;
}

double Series::mean() const { return sum() / count; }

double Series::standardDeviation(bool population) const {
    const double m = mean();
    double s = 0.0;
    for (int32_t i = 0; i < count; ++i) {
        const double d = data[i] - m;
        s += d * d;
    }
    const double divisor = (population || count < 2) ? count : count - 1;
    return std::sqrt(s / divisor);
}

double Series::maximum(int32_t* position) const {
    if (count < 1) {
        if (position != nullptr) *position = 0;
        return NAN;
    }
    double best = data[0];
    int32_t at = 1;
    for (int32_t i = 1; i < count; ++i) {
        if (data[i] > best) {
            best = data[i];
            at = i + 1;
        }
    }
    if (position != nullptr) *position = at;
    return best;
}

double Series::minimum(int32_t* position) const {
    if (count < 1) {
        if (position != nullptr) *position = 0;
        return NAN;
    }
    double best = data[0];
    int32_t at = 1;
    for (int32_t i = 1; i < count; ++i) {
        if (data[i] < best) {
            best = data[i];
            at = i + 1;
        }
    }
    if (position != nullptr) *position = at;
    return best;
}

void Series::clampNegatives() {
    for (int32_t i = 0; i < count; ++i)
        if (data[i] < 0.0) data[i] = 0.0;
}

void Series::subtract(double v) {
    for (int32_t i = 0; i < count; ++i) data[i] = data[i] - v;
}

void Series::power(double p) {
    for (int32_t i = 0; i < count; ++i) data[i] = std::pow(data[i], p);
}

void Series::divide(double v) {
    const double reciprocal = 1.0 / v;
    for (int32_t i = 0; i < count; ++i) data[i] = reciprocal * data[i];
}

void Series::scale(double f) {
    for (int32_t i = 0; i < count; ++i) data[i] = f * data[i];
}

void Series::scaleShift(double a, double b) {
    for (int32_t i = 0; i < count; ++i) data[i] = a * data[i] + b;
}

void Series::addElements(const Series& other) {
    for (int32_t i = 0; i < count; ++i) data[i] = data[i] + other.data[i];
}

void Series::multiplyElements(const Series& other, Series& out) const {
    if (other.count != count) return;
    if (!out.allocate(count)) return;
    for (int32_t i = 0; i < count; ++i) out.data[i] = data[i] * other.data[i];
}

double roundNearest(double x) {
    if (x > 0.0) {
        const double f = std::floor(x);
        return (x - f < 0.5) ? f : std::ceil(x);
    }
    const double c = std::ceil(x);
    return (std::fabs(x - c) < 0.5) ? c : std::floor(x);
}
