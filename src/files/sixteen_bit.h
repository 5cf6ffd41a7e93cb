// 16-bit grey levels on the 0..255 scale of 8-bit pictures.
#pragma once

#include <cstdint>

// The bits `largest` uses: 0 for 0, 12 for 4095, 16 from 32768 on.
inline int sixteenBitUsedBits(uint16_t largest) {
    int bits = 0;
    while (bits < 16 && (largest >> bits) != 0) ++bits;
    return bits;
}

// A 16-bit picture often keeps its data in the low bits: a 12- or 14-bit detector written to a
// 16-bit TIFF, or an 8-bit picture saved as 16 bits. Taking the high byte of every value would
// leave such a picture a handful of grey levels, or none. Its grey level is therefore the value
// shifted right by sixteenBitShift(largest), where `largest` is the largest value of the
// picture: the 8 bits from the highest bit the picture uses. A picture that uses bit 15 gives
// its high byte (shift 8, value / 256 rounded down); one whose values all lie in 0..255 gives
// them unchanged (shift 0). Returns 0..8.
inline int sixteenBitShift(uint16_t largest) {
    const int bits = sixteenBitUsedBits(largest);
    return bits > 8 ? bits - 8 : 0;
}
