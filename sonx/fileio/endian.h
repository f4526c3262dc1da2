// Little-endian fields of RIFF files, read from and written to byte arrays:
// the one place where bytes become numbers.
#ifndef SONX_FILEIO_ENDIAN_H
#define SONX_FILEIO_ENDIAN_H

#include <cstdint>

namespace sonx {

inline uint16_t getLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t getLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t getLe64(const uint8_t* p) {
    return getLe32(p) | (static_cast<uint64_t>(getLe32(p + 4)) << 32);
}

inline void putLe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void putLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace sonx

#endif  // SONX_FILEIO_ENDIAN_H
