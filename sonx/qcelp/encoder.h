// QCELP-13K frame encoder: 160 samples in, one packet of rate 1 to 4 out,
// with a local decoder that keeps the encoder's filters where a decoder
// receiving the packet will have them.
#ifndef SONX_QCELP_ENCODER_H
#define SONX_QCELP_ENCODER_H

#include <cstdint>

#include "sonx/qcelp/decoder_state.h"
#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/lpc_analysis.h"
#include "sonx/qcelp/pitch_search.h"
#include "sonx/qcelp/qcelp_types.h"
#include "sonx/qcelp/rate_decision.h"
#include "sonx/qcelp/synthesis.h"

namespace sonx {

inline constexpr int kEncoderSpeechSamples = 220;  // 60 already filtered, then 160 new
inline constexpr int kEncoderLookAhead = 60;

// What the local decoder used for the last frame, as a decoder of the
// packet must rebuild it.
struct EncodedFrame {
    int32_t rate = 0;
    float lsp[kLpcOrder] = {};
    PitchParams pitch[kPitchSubframes];
    CodebookSubframe codebook[kMaxCodebookSubframes];  // eighth: 1, quarter: 5, half: 4, full: 16
};

struct QcelpEncoderState {
    FilterState highPassZero;  // 1 - 2z^-1 + z^-2
    FilterState highPassPole;  // 1 / (1 - 1.88z^-1 + 0.8836z^-2)
    FilterState residualFilter;
    FilterState weightingFilter;
    PitchRecord pitch;
    RateDecisionState rate;
    QcelpDecoderState local;  // synthesis mode 0
    float targetEnergy[kMaxCodebookSubframes] = {};
    float errorEnergy[kMaxCodebookSubframes] = {};
    // History of the stream rather than of the process, so that a stream
    // codes the same whatever other encoders ran before or run alongside:
    // the bandwidth expansion and fallback LSPs of the LPC analysis, and the
    // eighth-rate halving flag (the previous-voiced flag is in `rate`).
    LpcCarry lpc;
    int32_t eighthRateHalving = 0;
    EncodedFrame last;
};

void initEncoderState(QcelpEncoderState& state, const QcelpConfig& config);

// Codes speech[0..159] (index 60..219 are new samples, high-pass filtered
// here in place and used as look-ahead). Leaves the rate, the parameters and
// the payload in `packet` and the local decoder's speech in `output`.
// Without `output` that speech, which nothing else needs, is not synthesized.
void encodeFrame(float speech[kEncoderSpeechSamples], QcelpPacket& packet, const QcelpConfig& config,
                 QcelpEncoderState& state, float* output = nullptr);

}  // namespace sonx

#endif  // SONX_QCELP_ENCODER_H
