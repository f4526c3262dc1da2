#include "sonx/qcelp/decoder_state.h"

#include <initializer_list>

#include "sonx/qcelp/tables.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {

void initDecoderState(QcelpDecoderState& state, int synthesisMode) {
    state = QcelpDecoderState{};
    state.synthesisMode = synthesisMode;
    for (int i = 0; i < kLpcOrder; ++i) state.previousLsp[i] = lspMean(i);
    initPitchFilter(state.mainPitch);
    initPitchFilter(state.enhancerPitch);
    initFilter(state.lpcSynthesis, kLpcOrder);
    initFilter(state.weightedSynthesis, kLpcOrder);
    initFilter(state.postZero, kLpcOrder);
    initFilter(state.postPole, kLpcOrder);
    const float tilt = -0.3f;
    initFilter(state.tilt, 1, &tilt);
    initFilter(state.quarterNoise, kQuarterRateNoiseTaps, quarterRateNoiseTaps);
}

namespace {
// x * 0 is 0 for every finite x and NaN otherwise, so one sum tells, in any
// order of summing; sixteen lanes let the loop vectorise with short chains.
SONX_QCELP_KERNEL float nonFiniteProbe(const float* x, int n) {
    float lane[16] = {};
    int i = 0;
    for (; i + 16 <= n; i += 16)
        for (int j = 0; j < 16; ++j) lane[j] += x[i + j] * 0.0f;
    for (; i < n; ++i) lane[0] += x[i] * 0.0f;
    float sum = 0.0f;
    for (float l : lane) sum += l;
    return sum;
}

SONX_QCELP_KERNEL bool stateIsFinite(const QcelpDecoderState& s) {
    float probe = nonFiniteProbe(s.mainPitch.history, kPitchHistory);
    probe += nonFiniteProbe(s.enhancerPitch.history, kPitchHistory);
    for (const FilterState* f :
         {&s.lpcSynthesis, &s.weightedSynthesis, &s.postZero, &s.postPole, &s.tilt, &s.quarterNoise})
        probe += nonFiniteProbe(f->memory, kMaxFilterTaps);
    probe += nonFiniteProbe(s.lspMemory, kLpcOrder) + nonFiniteProbe(s.previousLsp, kLpcOrder);
    probe += nonFiniteProbe(s.gainHistory, 3);
    const float scalars[] = {s.postFilterGain, s.previousPitchGain, s.carriedGain, s.mainPitch.gain,
                             s.enhancerPitch.gain};
    probe += nonFiniteProbe(scalars, 5);
    return probe == 0.0f;
}

bool stateIsFiniteNarrow(const QcelpDecoderState& s) {
    return stateIsFinite(s);
}

#if defined(SONX_QCELP_AVX2)
SONX_QCELP_WIDE bool stateIsFiniteWide(const QcelpDecoderState& s) {
    return stateIsFinite(s);
}
#endif
}  // namespace

bool decoderStateIsFinite(const QcelpDecoderState& s) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return stateIsFiniteWide(s);
#endif
    return stateIsFiniteNarrow(s);
}

}  // namespace sonx
