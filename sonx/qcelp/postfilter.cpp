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
    const bool post = config.postFilter;
    float v[kFrameSamples];
    for (int i = 0; i < pieces; ++i) {
        const LpcBlock& lpc = blocks[i * blockCount / pieces];
        const int at = i * pieceLength;
        std::copy(lpc.lpc, lpc.lpc + kLpcOrder, state.lpcSynthesis.coeffs);
        // The post-filter's recursion of the piece before needs none of
        // this piece, so the two run side by side.
        if (post && i > 0)
            allPoleBesideCascade(w + at, out + at, state.lpcSynthesis, v + at - pieceLength, pieceLength,
                                 state.postPole, state.tilt);
        else
            allPoleFilterBlocks(w + at, out + at, pieceLength, state.lpcSynthesis);
        if (!post) continue;
        for (int k = 0; k < kLpcOrder; ++k) {
            state.postZero.coeffs[k] = lpc.lpc[k] * postFilterZeroFactors[k];
            state.postPole.coeffs[k] = lpc.lpc[k] * postFilterPoleFactors[k];
        }
        allZeroFilter(out + at, v + at, pieceLength, state.postZero, true);
    }
    if (!post || pieces == 0) return;
    allPoleCascadeBlocks(v + length - pieceLength, pieceLength, state.postPole, state.tilt);
    for (int at = 0; at < length; at += gainLength)
        agcSmoothGain(out + at, v + at, out + at, std::min(gainLength, length - at), state.postFilterGain);
}

}  // namespace sonx
