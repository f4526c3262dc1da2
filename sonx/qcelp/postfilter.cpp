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

void postFilter(QcelpDecoderState& state, const LpcBlock& lpc, float* out, int length, int gainLength,
                const QcelpConfig& config) {
    if (!config.postFilter) return;
    for (int k = 0; k < kLpcOrder; ++k) {
        state.postZero.coeffs[k] = lpc.lpc[k] * postFilterZeroFactors[k];
        state.postPole.coeffs[k] = lpc.lpc[k] * postFilterPoleFactors[k];
    }
    float v[kFrameSamples];
    allZeroFilter(out, v, length, state.postZero, true);
    allPoleCascadeBlocks(v, length, state.postPole, state.tilt);
    for (int at = 0; at < length; at += gainLength)
        agcSmoothGain(out + at, v + at, out + at, std::min(gainLength, length - at), state.postFilterGain);
}

}  // namespace sonx
