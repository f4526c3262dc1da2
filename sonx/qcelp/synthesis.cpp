#include "sonx/qcelp/synthesis.h"

#include <algorithm>
#include <cmath>

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/postfilter.h"
#include "sonx/qcelp/tables.h"

namespace sonx {

namespace {

constexpr float kNoiseScale = 1.0f / 16384.0f;

// The floors make encoder and decoder build bit-identical noise excitation.
inline float scaledNoise(float r, float gain) {
    return floorF(floorF(floorF(r * 0.5f) * 1.375f) * gain) * kNoiseScale;
}

void noiseExcitation(bool shaped, QcelpDecoderState& state, float gain, uint16_t& seed, float* e, int len) {
    float r[kFrameSamples];
    for (int n = 0; n < len; ++n) r[n] = static_cast<float>(nextNoise(seed));
    if (shaped) firFilter(r, r, len, state.quarterNoise, true);
    for (int n = 0; n < len; ++n) e[n] = scaledNoise(r[n], gain);
}

void codebookExcitation(const float* table, const CodebookSubframe* records, int count, float* e, int len) {
    for (int j = 0; j < count; ++j) {
        const float g = records[j].gain;
        const int index = records[j].index & (kCodebookSize - 1);
        for (int n = 0; n < len; ++n) e[n] += g * table[(n - index) & (kCodebookSize - 1)];
    }
}

}  // namespace

void synthesizeSubframe(int rateKind, QcelpDecoderState& state, const LpcBlock& lpc, const PitchParams& pitch,
                        CodebookSubframe* codebook, float* out, int length, const QcelpConfig& config,
                        int codebookSubframes, int vectorsPerSubframe, float* weightedOut) {
    length = std::clamp(length, 0, kFrameSamples);
    const int parts = std::max(codebookSubframes, 1);
    const int perPart = std::max(vectorsPerSubframe, 1);
    const int partLength = length / parts;

    float exc[kFrameSamples] = {};
    if (rateKind == kRateEighth || rateKind == kRateQuarter) {
        uint16_t seed = codebook[0].seed;
        for (int i = 0; i < parts; ++i)
            noiseExcitation(rateKind == kRateQuarter, state, codebook[i * perPart].gain, seed,
                            exc + i * partLength, partLength);
        codebook[0].seed = seed;
    } else {
        const float* table = rateKind == kRateHalf ? halfRateCodebook : fullRateCodebook;
        for (int i = 0; i < parts; ++i)
            codebookExcitation(table, codebook + i * perPart, perPart, exc + i * partLength, partLength);
    }

    PitchFilterState& main = state.mainPitch;
    main.lag = pitch.lag;
    main.fraction = pitch.fraction;
    main.gain = pitch.gain;
    float w[kFrameSamples];
    pitchFilter(exc, w, length, main, true);

    if (state.synthesisMode) {
        enhancePitch(state, pitch, w, length, config);
        std::copy(lpc.lpc, lpc.lpc + kLpcOrder, state.lpcSynthesis.coeffs);
        allPoleFilter(w, out, length, state.lpcSynthesis, true);
        postFilter(state, lpc, out, length, config);
        return;
    }
    std::copy(lpc.lpc, lpc.lpc + kLpcOrder, state.lpcSynthesis.coeffs);
    allPoleFilter(w, out, length, state.lpcSynthesis, true);
    std::copy(lpc.weighted, lpc.weighted + kLpcOrder, state.weightedSynthesis.coeffs);
    float scratch[kFrameSamples];
    allPoleFilter(w, weightedOut ? weightedOut : scratch, length, state.weightedSynthesis, true);
}

}  // namespace sonx
