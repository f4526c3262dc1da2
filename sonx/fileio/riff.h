// RIFF chunk ids and the little-endian fields of the file layer.
#ifndef SONX_FILEIO_RIFF_H
#define SONX_FILEIO_RIFF_H

#include <cstdint>
#include <cstring>

#include "sonx/fileio/audio_file.h"
#include "sonx/fileio/endian.h"

namespace sonx {

inline bool sameId(const uint8_t* a, const char* b) {
    return std::memcmp(a, b, 4) == 0;
}

}  // namespace sonx

#endif  // SONX_FILEIO_RIFF_H
