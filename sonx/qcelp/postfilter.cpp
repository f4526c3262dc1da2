#include "sonx/qcelp/postfilter.h"

#include <algorithm>

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/tables.h"

namespace sonx {

void enhancePitch(QcelpDecoderState& state, const PitchParams& pitch, float* w, int length, int gainLength,
                  const QcelpConfig& config) {
    PitchFilterState& enhancer = state.enhancerPitch;
    enhancer.lag = pitch.lag;
    enhancer.fraction = pitch.fraction;
    enhancer.gain = std::min(pitch.gain, 1.0f) * 0.5f;
    // A zero gain leaves w as it is; only the history moves on.
    if (!config.pitchEnhancement) return;
    if (enhancer.gain == 0.0f) {
        pitchFilter(w, w, length, enhancer, true);
        return;
    }
    float e[kFrameSamples];
    pitchFilter(w, e, length, enhancer, true);
    for (int at = 0; at < length; at += gainLength)
        energyMatchGain(w + at, e + at, w + at, std::min(gainLength, length - at));
}

void synthesizeSpeech(QcelpDecoderState& state, const LpcBlock* blocks, int blockCount, const float* w,
                      float* out, int length, int gainLength, const QcelpConfig& config) {
    const int pieceLength = length % kPitchSubframeSamples == 0 ? kPitchSubframeSamples : length;
    const int pieces = pieceLength > 0 ? length / pieceLength : 0;
    if (!config.postFilter) {
        for (int i = 0; i < pieces; ++i) {
            const LpcBlock& lpc = blocks[i * blockCount / pieces];
            std::copy(lpc.lpc, lpc.lpc + kLpcOrder, state.lpcSynthesis.coeffs);
            allPoleFilterBlocks(w + i * pieceLength, out + i * pieceLength, pieceLength, state.lpcSynthesis);
        }
        return;
    }
    // The synthesized speech after the all-zero filter's memory, so that
    // the filter reads both from one buffer.
    float speechBuffer[kLpcOrder + kFrameSamples];
    float* speech = speechBuffer + kLpcOrder;
    for (int k = 0; k < kLpcOrder; ++k) speech[-1 - k] = state.postZero.memory[k];
    float v[kFrameSamples];
    for (int i = 0; i < pieces; ++i) {
        const LpcBlock& lpc = blocks[i * blockCount / pieces];
        const int at = i * pieceLength;
        std::copy(lpc.lpc, lpc.lpc + kLpcOrder, state.lpcSynthesis.coeffs);
        // The post-filter's recursion of the piece before needs none of
        // this piece, so the two run side by side.
        if (i > 0)
            allPoleBesideCascade(w + at, speech + at, state.lpcSynthesis, v + at - pieceLength, pieceLength,
                                 state.postPole, state.tilt);
        else
            allPoleFilterBlocks(w + at, speech + at, pieceLength, state.lpcSynthesis);
        for (int k = 0; k < kLpcOrder; ++k) {
            state.postZero.coeffs[k] = lpc.lpc[k] * postFilterZeroFactors[k];
            state.postPole.coeffs[k] = lpc.lpc[k] * postFilterPoleFactors[k];
        }
        allZeroFilterAfter(speech + at, v + at, pieceLength, state.postZero.coeffs);
    }
    if (pieces == 0) return;
    for (int k = 0; k < kLpcOrder; ++k) state.postZero.memory[k] = speech[length - 1 - k];
    allPoleCascadeBlocks(v + length - pieceLength, pieceLength, state.postPole, state.tilt);
    for (int at = 0; at < length; at += gainLength)
        agcSmoothGain(speech + at, v + at, out + at, std::min(gainLength, length - at), state.postFilterGain);
}

}  // namespace sonx
