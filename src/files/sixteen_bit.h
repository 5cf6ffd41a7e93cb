// 16-bit grey levels on the 0..255 scale of 8-bit pictures.
#pragma once

#include <cstdint>

// The bits `largest` uses: 0 for 0, 12 for 4095, 16 from 32768 on.
inline int sixteenBitUsedBits(uint32_t largest) {
    int bits = 0;
    while (bits < 16 && (largest >> bits) != 0) ++bits;
    return bits;
}

// A 16-bit picture often keeps its data in the low bits: a 12- or 14-bit detector written to a
// 16-bit TIFF, or an 8-bit picture saved as 16 bits. Taking the high byte of every value would
// leave such a picture a handful of grey levels, or none. Its grey level is therefore the value
// shifted right by sixteenBitShift(largest): the 8 bits from the highest bit `largest` uses. A
// picture that uses bit 15 gives its high byte (shift 8, value / 256 rounded down); one whose
// values all lie in 0..255 gives them unchanged (shift 0). Returns 0..8.
inline int sixteenBitShift(uint32_t largest) {
    const int bits = sixteenBitUsedBits(largest);
    return bits > 8 ? bits - 8 : 0;
}

// How a 16-bit picture's values become grey levels: level = (value - base) >> shift, values
// at or under `base` giving 0 and levels above 255 giving 255.
struct SixteenBitReduction {
    uint32_t base = 0;
    int shift = 0;
    uint32_t low = 0;  // the picture's range without its outliers (below)
    uint32_t high = 0;
};

// Of every kSixteenBitOutliers pixels, one at each end of the range may be an outlier (a hot or
// dead pixel, a saturated speck) that does not decide the reduction.
constexpr uint64_t kSixteenBitOutliers = 10000;

// The reduction of a picture of `count` values whose histogram is `histogram` (65536 counts).
// [low, high] is the range of the values without the count / kSixteenBitOutliers lowest and
// highest ones. The shift is sixteenBitShift(high), so that a few bright pixels cannot leave the
// rest a handful of levels (one pixel of 65535 in 10-bit data left 4); brighter pixels give
// 255. When that keeps fewer than 32 levels of a range holding at least four times as many
// values (the data on a large offset, a detector's dark level), the levels are taken from
// `low` up instead: base = low, shift = sixteenBitShift(high - low). Otherwise base = 0, and a
// picture without outliers reads as before (its largest value's shift). `count` must be the
// sum of the histogram (an empty picture, count 0, gives low = high = 65535 and shift 8).
inline SixteenBitReduction sixteenBitReduction(const uint64_t* histogram, uint64_t count) {
    const uint64_t outliers = count / kSixteenBitOutliers;
    SixteenBitReduction r;
    uint64_t below = 0;
    while (r.low < 65535 && below + histogram[r.low] <= outliers) below += histogram[r.low++];
    uint64_t above = 0;
    r.high = 65535;
    while (r.high > r.low && above + histogram[r.high] <= outliers) above += histogram[r.high--];
    r.shift = sixteenBitShift(r.high);
    const uint32_t levels = (r.high >> r.shift) - (r.low >> r.shift) + 1;
    if (levels < 32 && r.high - r.low + 1 >= 4 * levels) {
        r.base = r.low;
        r.shift = sixteenBitShift(r.high - r.low);
    }
    return r;
}

// The grey level 0..255 of the 16-bit `value` under `r` (0 at or under r.base, 255 above the
// range the shift spans).
inline unsigned char reduceSixteenBit(uint32_t value, const SixteenBitReduction& r) {
    if (value <= r.base) return 0;
    const uint32_t level = (value - r.base) >> r.shift;
    return static_cast<unsigned char>(level > 255 ? 255 : level);
}
