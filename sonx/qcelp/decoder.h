// QCELP-13K frame decoder: one packet record in, 160 samples on the 14-bit
// scale out. It never fails; malformed packets and erasures are concealed.
#ifndef SONX_QCELP_DECODER_H
#define SONX_QCELP_DECODER_H

#include "sonx/qcelp/decoder_state.h"
#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

// Unpacks the packet (its rateOctet and payload), decodes it into `out` and
// advances the state. packet.rate ends as the rate actually decoded (14 when
// the packet was turned into an erasure). A state driven to infinity or NaN
// by hostile packets is reinitialised after the frame, so the next packets
// decode normally.
void decodeFrame(float out[kFrameSamples], QcelpPacket& packet, const QcelpConfig& config,
                 QcelpDecoderState& state);

}  // namespace sonx

#endif  // SONX_QCELP_DECODER_H
