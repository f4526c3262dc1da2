#include "sonx/qcelp/filters.h"

namespace sonx {

int32_t nextNoise(uint16_t& seed) {
    seed = static_cast<uint16_t>(static_cast<uint32_t>(seed) * 521u + 259u);
    return static_cast<int16_t>(seed);
}

}  // namespace sonx
