#include "sonx/qcelp/packing.h"

#include <algorithm>
#include <iterator>

#include "sonx/qcelp/packet_layout.h"

namespace sonx {

void packPacket(int rate, QcelpPacket& packet) {
    QcelpParams& params = packet.params;
    packet.rate = rate;
    packet.rateOctet = static_cast<uint8_t>(rate);
    if (rate == kRateEighth || rate == kRateQuarter)
        std::fill(std::begin(params.cbIndex), std::end(params.cbIndex), 0u);

    packPayload(rate, params, packet.payload);
    if (rate == kRateEighth)
        params.seed = (static_cast<uint32_t>(packet.payload[0]) << 8) | packet.payload[1];
}

void packEighthRate(QcelpPacket& packet) {
    uint32_t& seed = packet.params.seed;
    seed = (seed * 521u + 259u) & 0xFFFFu;
    packPacket(kRateEighth, packet);
    // The format forbids an eighth-rate payload that starts with sixteen one bits.
    while (packet.payload[0] == 0xFF && packet.payload[1] == 0xFF) {
        seed &= 0xFFF7u;
        packPacket(kRateEighth, packet);
    }
}

}  // namespace sonx
