#include "sonx/qcelp/decoder_state.h"

#include <cstring>
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
// order of summing and however often a value is seen. Eight lanes; an
// array's last eight values are taken once more when its length is not a
// multiple of eight. The lengths are constants so that the loops unroll,
// and the lanes are summed once for the whole state.
struct NonFiniteProbe {
    typedef float Lanes __attribute__((vector_size(32)));
    Lanes sum = {};

    SONX_QCELP_KERNEL void addEight(const float* x) {
        Lanes v;
        std::memcpy(&v, x, sizeof v);
        sum += v * 0.0f;
    }
    template <int N>
    SONX_QCELP_KERNEL void add(const float* x) {
        static_assert(N >= 8);
        for (int i = 0; i + 8 <= N; i += 8) addEight(x + i);
        if (N % 8 != 0) addEight(x + N - 8);
    }
    SONX_QCELP_KERNEL bool allZero() const {
        float total = 0.0f;
        for (int j = 0; j < 8; ++j) total += sum[j];
        return total == 0.0f;
    }
};

SONX_QCELP_KERNEL bool stateIsFinite(const QcelpDecoderState& s) {
    NonFiniteProbe probe;
    probe.add<kPitchHistory>(s.mainPitch.history());
    probe.add<kPitchHistory>(s.enhancerPitch.history());
    for (const FilterState* f :
         {&s.lpcSynthesis, &s.weightedSynthesis, &s.postZero, &s.postPole, &s.tilt, &s.quarterNoise})
        probe.add<kMaxFilterTaps>(f->memory);
    probe.add<kLpcOrder>(s.lspMemory);
    probe.add<kLpcOrder>(s.previousLsp);
    const float scalars[8] = {s.gainHistory[0],    s.gainHistory[1], s.gainHistory[2], s.postFilterGain,
                              s.previousPitchGain, s.carriedGain,    s.mainPitch.gain, s.enhancerPitch.gain};
    static_assert(sizeof s.gainHistory == 3 * sizeof(float));
    probe.add<8>(scalars);
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
