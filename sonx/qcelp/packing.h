// Packing of the quantised parameters into a payload, with the bit tables
// the decoder unpacks from.
#ifndef SONX_QCELP_PACKING_H
#define SONX_QCELP_PACKING_H

#include <cstdint>

#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

// Sets the rate (decoded rate and rate octet) and rebuilds all payload
// bytes from the parameter slots. Eighth and quarter rate carry no
// codebook index, so those slots are cleared first; at eighth rate the seed
// slot then holds the first two payload bytes.
void packPacket(int rate, QcelpPacket& packet);

// Eighth rate: advances the seed slot, packs, and clears seed bit 3 while
// the payload would start with 0xFF 0xFF.
void packEighthRate(QcelpPacket& packet);

}  // namespace sonx

#endif  // SONX_QCELP_PACKING_H
