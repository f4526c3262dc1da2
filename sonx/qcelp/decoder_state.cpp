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
// order of summing. Sixteen lanes let the loops vectorise with short chains;
// the lengths are constants so that the loops unroll, and the lanes are
// summed once for the whole state.
struct NonFiniteProbe {
    float lane[16] = {};

    template <int N>
    SONX_QCELP_KERNEL void add(const float* x) {
        constexpr int whole = N / 16 * 16;
        for (int i = 0; i < whole; i += 16)
            for (int j = 0; j < 16; ++j) lane[j] += x[i + j] * 0.0f;
        for (int j = 0; j < N - whole; ++j) lane[j] += x[whole + j] * 0.0f;
    }
    SONX_QCELP_KERNEL bool allZero() const {
        float sum = 0.0f;
        for (float l : lane) sum += l;
        return sum == 0.0f;
    }
};

SONX_QCELP_KERNEL bool stateIsFinite(const QcelpDecoderState& s) {
    NonFiniteProbe probe;
    probe.add<kPitchHistory>(s.mainPitch.history);
    probe.add<kPitchHistory>(s.enhancerPitch.history);
    for (const FilterState* f :
         {&s.lpcSynthesis, &s.weightedSynthesis, &s.postZero, &s.postPole, &s.tilt, &s.quarterNoise})
        probe.add<kMaxFilterTaps>(f->memory);
    probe.add<kLpcOrder>(s.lspMemory);
    probe.add<kLpcOrder>(s.previousLsp);
    probe.add<3>(s.gainHistory);
    const float scalars[] = {s.postFilterGain, s.previousPitchGain, s.carriedGain, s.mainPitch.gain,
                             s.enhancerPitch.gain};
    probe.add<5>(scalars);
    return probe.allZero();
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
