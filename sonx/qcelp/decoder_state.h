// The decoder's whole memory. The encoder keeps one too, as its local
// decoder (synthesis mode 0), so that its filters track the real decoder.
#ifndef SONX_QCELP_DECODER_STATE_H
#define SONX_QCELP_DECODER_STATE_H

#include <cstdint>

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

struct QcelpDecoderState {
    int32_t synthesisMode = 1;  // 1: decoder branch of synthesizeSubframe; 0: encoder branch
    int32_t previousRate = kRateBlank;
    float lspMemory[kLpcOrder] = {};  // prediction memory: LSP minus its mean
    float previousLsp[kLpcOrder] = {};
    float gainHistory[3] = {};  // codebook gain indices h0 (newest)..h2
    int32_t gainIndex[2] = {};  // integer gain indices I0 (newest), I1
    PitchFilterState mainPitch;
    PitchFilterState enhancerPitch;
    FilterState lpcSynthesis;       // order 10
    FilterState weightedSynthesis;  // order 10, encoder branch only
    FilterState postZero;           // order 10
    FilterState postPole;           // order 10
    FilterState tilt;               // order 1, -0.3
    FilterState quarterNoise;       // 21-tap FIR
    float postFilterGain = 1.0f;
    int32_t eighthRateRun = 0;  // rate-1 frames since the last rate 2, 3 or 4 frame
    int32_t previousLag = 0;
    int32_t previousFraction = 0;
    float previousPitchGain = 0.0f;
    float carriedGain = 0.0f;  // K: starting magnitude of the gain ramps
    int32_t erasureCount = 0;  // capped at 3
    uint16_t noiseSeed = 0;
};

// Initial state; synthesisMode 1 for a decoder, 0 for an encoder's local decoder.
void initDecoderState(QcelpDecoderState& state, int synthesisMode = 1);

// False once any filter memory, history or carried value is NaN or infinite.
bool decoderStateIsFinite(const QcelpDecoderState& state);

}  // namespace sonx

#endif  // SONX_QCELP_DECODER_STATE_H
