// Records shared by the QCELP-13K codec object, decoder and encoder: the
// configuration, the packet with its unpacked parameters, and the frame
// constants of the speech core.
#ifndef SONX_QCELP_QCELP_TYPES_H
#define SONX_QCELP_QCELP_TYPES_H

#include <cstdint>

namespace sonx {

inline constexpr int kFrameSamples = 160;
inline constexpr int kLpcOrder = 10;
inline constexpr int kPayloadBytes = 34;  // payload room of every packet record
inline constexpr int kPitchSubframes = 4;
inline constexpr int kPitchSubframeSamples = 40;
inline constexpr int kMaxCodebookSubframes = 16;

// Decoded rates (the rate octets of the stream).
inline constexpr int kRateBlank = 0;
inline constexpr int kRateEighth = 1;
inline constexpr int kRateQuarter = 2;
inline constexpr int kRateHalf = 3;
inline constexpr int kRateFull = 4;
inline constexpr int kRateErasure = 14;

// Configuration derived from the rate set; read by decoder and encoder.
struct QcelpConfig {
    int32_t lowestRate = 1;
    int32_t highestRate = 4;
    float targetRateKbps = 14.4f;
    float initialSnrThreshold = 10.0f;  // dB
    float weightingFactor = 0.78f;      // perceptual weighting A(z/gamma)
    int32_t postFilter = 1;             // decoder post-filter on
    int32_t outputSelectA = 0;          // 0: the decoder outputs synthesized speech
    int32_t outputSelectB = 0;
    int32_t rateReductionMode = 0;
    int32_t unvoicedDetector = 0;  // 0: the unvoiced rule of the rate decision is on
    int32_t pitchEnhancement = 1;  // decoder pitch enhancer on
    int32_t halfSamplePitch = 1;   // half-sample lags in the pitch search
};

// Unpacked parameters of one packet. Slot counts are the largest any rate uses.
struct QcelpParams {
    uint32_t lsp[kLpcOrder];  // 5 vector codes (rates 2-4) or 10 one-bit codes (rate 1)
    uint32_t pitchGain[kPitchSubframes];
    uint32_t pitchLag[kPitchSubframes];
    uint32_t pitchFrac[kPitchSubframes];
    uint32_t cbGain[kMaxCodebookSubframes];
    uint32_t cbIndex[kMaxCodebookSubframes];  // as sent
    uint32_t cbSign[kMaxCodebookSubframes];
    uint32_t seed;  // eighth-rate seed
};

struct QcelpPacket {
    int32_t rate = 0;       // decoded rate: 0..4, or 14 for an erasure
    uint8_t rateOctet = 0;  // as found in (or written to) the stream
    uint8_t payload[kPayloadBytes] = {};
    QcelpParams params = {};
};

}  // namespace sonx

#endif  // SONX_QCELP_QCELP_TYPES_H
