// G.711 encoders for making A-law and mu-law test files: written apart from
// the library (which only decodes A-law) so a fault there cannot hide in both.
#ifndef SONX_TESTS_SUPPORT_G711_H
#define SONX_TESTS_SUPPORT_G711_H

#include <cstdint>

namespace sonx::test {

// The 16-bit sample to its A-law byte: 13-bit magnitude, segments of
// doubling size, even bits inverted.
inline uint8_t g711ALaw(int16_t sample) {
    int magnitude = sample >> 3;
    uint8_t mask = 0xD5;  // positive: sign bit set
    if (magnitude < 0) {
        mask = 0x55;
        magnitude = -magnitude - 1;
    }
    int segment = 0;
    while (segment < 8 && magnitude >= (0x20 << segment)) ++segment;
    if (segment == 8) return static_cast<uint8_t>(0x7F ^ mask);
    const int step = segment < 2 ? (magnitude >> 1) & 0x0F : (magnitude >> segment) & 0x0F;
    return static_cast<uint8_t>(((segment << 4) | step) ^ mask);
}

// The 16-bit sample to its mu-law byte: biased magnitude, segment, step,
// all bits inverted.
inline uint8_t g711MuLaw(int16_t sample) {
    int magnitude = sample < 0 ? -static_cast<int>(sample) : sample;
    const uint8_t sign = sample < 0 ? 0x80 : 0x00;
    magnitude = (magnitude > 32635 ? 32635 : magnitude) + 132;
    int segment = 0;
    while (segment < 7 && magnitude >= (0x100 << segment)) ++segment;
    const int step = (magnitude >> (segment + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (segment << 4) | step));
}

}  // namespace sonx::test

#endif  // SONX_TESTS_SUPPORT_G711_H
