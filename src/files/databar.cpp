#include "files/databar.h"

namespace {

constexpr double kDarkLevel = 24.0;
constexpr double kBrightLevel = 231.0;
constexpr double kSaturatedShare = 0.75;
constexpr double kMarkShare = 0.005;
constexpr int32_t kMinBarRows = 8;
constexpr int32_t kMinGridSide = 16;

struct RowLook {
    bool saturated = false;  // a bar row
    bool marked = false;     // holds marks of the other saturated level
};

RowLook lookAtRow(const GreyImage& grid, int32_t y) {
    int64_t dark = 0;
    int64_t bright = 0;
    for (int32_t x = 0; x < grid.width; ++x) {
        const double v = grid.at(x, y);
        if (v <= kDarkLevel) {
            ++dark;
        } else if (v >= kBrightLevel) {
            ++bright;
        }
    }
    const double width = grid.width;
    RowLook look;
    look.saturated = static_cast<double>(dark + bright) >= kSaturatedShare * width;
    const int64_t minority = dark < bright ? dark : bright;
    look.marked = look.saturated && static_cast<double>(minority) >= kMarkShare * width;
    return look;
}

// Rows of a bar starting at row `first` and running in direction `step` (+1 down, -1 up).
int32_t barFrom(const GreyImage& grid, int32_t first, int32_t step) {
    const int32_t maxRows = grid.height / 3;
    int32_t rows = 0;
    bool marked = false;
    for (int32_t y = first; y >= 0 && y < grid.height; y += step) {
        const RowLook look = lookAtRow(grid, y);
        if (!look.saturated) break;
        marked = marked || look.marked;
        // A run longer than any bar is the picture itself.
        if (++rows > maxRows) return 0;
    }
    return rows >= kMinBarRows && marked ? rows : 0;
}

}  // namespace

DatabarRows detectDatabar(const GreyImage& grid) {
    DatabarRows bar;
    if (grid.width < kMinGridSide || grid.height < kMinGridSide || grid.data == nullptr) return bar;
    bar.bottom = barFrom(grid, grid.height - 1, -1);
    bar.top = barFrom(grid, 0, 1);
    return bar;
}

int32_t detectDatabarRows(const GreyImage& grid) { return detectDatabar(grid).bottom; }
