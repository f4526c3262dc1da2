#include "sonx/qcelp/synthesis.h"

#include <algorithm>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/postfilter.h"
#include "sonx/qcelp/tables.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {

namespace {

constexpr float kNoiseScale = 1.0f / 16384.0f;

// The three floors make encoder and decoder build bit-identical noise
// excitation. The noise is bounded (about +-2^17 after shaping) and the gain
// is held to [0, 4096] (table gains stay below 2000), so every value converts
// to int exactly and floor is truncation corrected by one where it rounded up.
inline float floorNoise(float x) {
    const float t = static_cast<float>(static_cast<int32_t>(x));
    return t > x ? t - 1.0f : t;
}

void scaleNoise(const float* r, float gain, float* e, int len) {
    const float g = gain > 0.0f ? (gain < 4096.0f ? gain : 4096.0f) : 0.0f;
    int n = 0;
#if defined(__SSE2__)
    const __m128 half = _mm_set1_ps(0.5f), factor = _mm_set1_ps(1.375f), one = _mm_set1_ps(1.0f);
    const __m128 vg = _mm_set1_ps(g), scale = _mm_set1_ps(kNoiseScale);
    auto floor4 = [one](__m128 x) {
        const __m128 t = _mm_cvtepi32_ps(_mm_cvttps_epi32(x));
        return _mm_sub_ps(t, _mm_and_ps(_mm_cmpgt_ps(t, x), one));
    };
    for (; n + 4 <= len; n += 4) {
        const __m128 a = floor4(_mm_mul_ps(_mm_loadu_ps(r + n), half));
        const __m128 b = floor4(_mm_mul_ps(a, factor));
        _mm_storeu_ps(e + n, _mm_mul_ps(floor4(_mm_mul_ps(b, vg)), scale));
    }
#endif
    for (; n < len; ++n) e[n] = floorNoise(floorNoise(floorNoise(r[n] * 0.5f) * 1.375f) * g) * kNoiseScale;
}

void noiseExcitation(bool shaped, QcelpDecoderState& state, float gain, uint16_t& seed, float* e, int len) {
    float r[kFrameSamples];
    for (int n = 0; n < len; ++n) r[n] = static_cast<float>(nextNoise(seed));
    if (shaped) firFilter(r, r, len, state.quarterNoise, true);
    scaleNoise(r, gain, e, len);
}

// A codebook repeated so that the circular read T((n - I) mod 128) of a
// whole block is one straight run: T((n - I) mod 128) = values[128 - I + n].
struct UnrolledCodebook {
    float values[kCodebookSize + kFrameSamples];
    explicit UnrolledCodebook(const float* table) {
        for (int k = 0; k < kCodebookSize + kFrameSamples; ++k) values[k] = table[k % kCodebookSize];
    }
};

const float* unrolledCodebook(int rateKind) {
    static const UnrolledCodebook half(halfRateCodebook), full(fullRateCodebook);
    return rateKind == kRateHalf ? half.values : full.values;
}

// e = the sum of g c over the records, from zero: the first record with a
// gain writes 0 + g c, the others add theirs; no record with a gain leaves
// zeros. Whole steps of four: up to three samples past len are written too,
// and the next part writes them again. A FixedLength replaces len.
template <int FixedLength = 0>
void codebookExcitation(const float* table, const CodebookSubframe* records, int count, float* e, int len) {
    if constexpr (FixedLength > 0) len = FixedLength;
    bool written = false;
    for (int j = 0; j < count; ++j) {
        const float g = records[j].gain;
        if (g == 0.0f) continue;  // adds nothing (the table holds no infinities)
        const float* c = table + kCodebookSize - (records[j].index & (kCodebookSize - 1));
        const Float4 gs = splat4(g);
        for (int n = 0; n < len; n += 4)
            store4(e + n, (written ? load4(e + n) : splat4(0.0f)) + gs * load4(c + n));
        written = true;
    }
    if (!written) std::fill(e, e + len, 0.0f);
}

// codebookExcitation with the usual part lengths (full and half rate) fixed,
// so that the steps unroll.
void codebookPart(const float* table, const CodebookSubframe* records, int count, float* e, int len) {
    constexpr int kFullRatePart = kPitchSubframeSamples / 4;
    if (len == kFullRatePart) return codebookExcitation<kFullRatePart>(table, records, count, e, len);
    if (len == kPitchSubframeSamples)
        return codebookExcitation<kPitchSubframeSamples>(table, records, count, e, len);
    codebookExcitation(table, records, count, e, len);
}

// The excitation of the parts and the pitch filter over it, into w.
void pitchFilteredExcitation(int rateKind, QcelpDecoderState& state, const PitchParams& pitch,
                             CodebookSubframe* codebook, int length, int parts, int perPart, float* w) {
    const int partLength = length / parts;
    float exc[kFrameSamples + 3];  // room for the codebook parts' last step
    // The parts write their samples in order; what is left after them is zero.
    std::fill(exc + parts * partLength, exc + length, 0.0f);
    if (rateKind == kRateEighth || rateKind == kRateQuarter) {
        uint16_t seed = codebook[0].seed;
        for (int i = 0; i < parts; ++i)
            noiseExcitation(rateKind == kRateQuarter, state, codebook[i * perPart].gain, seed,
                            exc + i * partLength, partLength);
        codebook[0].seed = seed;
    } else {
        const float* table = unrolledCodebook(rateKind);
        for (int i = 0; i < parts; ++i)
            codebookPart(table, codebook + i * perPart, perPart, exc + i * partLength, partLength);
    }

    PitchFilterState& main = state.mainPitch;
    main.lag = pitch.lag;
    main.fraction = pitch.fraction;
    main.gain = pitch.gain;
    pitchFilter(exc, w, length, main, true);
}

// The encoder's plain synthesis, when there is an output.
void plainSynthesis(QcelpDecoderState& state, const LpcBlock& lpc, const float* w, float* out, int length) {
    if (!out) return;
    std::copy(lpc.lpc, lpc.lpc + kLpcOrder, state.lpcSynthesis.coeffs);
    allPoleFilter(w, out, length, state.lpcSynthesis, true);
}

int gainLength(GainBlocks gainBlocks, int length, int partLength) {
    return gainBlocks == GainBlocks::PerCodebookPart && partLength > 0 ? partLength : length;
}

}  // namespace

void exciteSubframe(int rateKind, QcelpDecoderState& state, const PitchParams& pitch,
                    CodebookSubframe* codebook, float* w, int length, const QcelpConfig& config,
                    int codebookSubframes, int vectorsPerSubframe, GainBlocks gainBlocks) {
    length = std::clamp(length, 0, kFrameSamples);
    const int parts = std::max(codebookSubframes, 1);
    const int perPart = std::max(vectorsPerSubframe, 1);
    pitchFilteredExcitation(rateKind, state, pitch, codebook, length, parts, perPart, w);
    if (state.synthesisMode)
        enhancePitch(state, pitch, w, length, gainLength(gainBlocks, length, length / parts), config);
}

void synthesizeSubframe(int rateKind, QcelpDecoderState& state, const LpcBlock& lpc, const PitchParams& pitch,
                        CodebookSubframe* codebook, float* out, int length, const QcelpConfig& config,
                        int codebookSubframes, int vectorsPerSubframe, float* weightedOut,
                        GainBlocks gainBlocks) {
    length = std::clamp(length, 0, kFrameSamples);
    float w[kFrameSamples];
    exciteSubframe(rateKind, state, pitch, codebook, w, length, config, codebookSubframes, vectorsPerSubframe,
                   gainBlocks);

    if (state.synthesisMode) {
        const int partLength = length / std::max(codebookSubframes, 1);
        synthesizeSpeech(state, &lpc, 1, w, out, length, gainLength(gainBlocks, length, partLength), config);
        return;
    }
    plainSynthesis(state, lpc, w, out, length);
    std::copy(lpc.weighted, lpc.weighted + kLpcOrder, state.weightedSynthesis.coeffs);
    float scratch[kFrameSamples];
    allPoleFilterBlocks(w, weightedOut ? weightedOut : scratch, length, state.weightedSynthesis);
}

void synthesizeWeightedGiven(int rateKind, QcelpDecoderState& state, const LpcBlock& lpc, const PitchParams& pitch,
                             CodebookSubframe& codebook, float* out, int length, const float* weighted) {
    length = std::clamp(length, 0, kFrameSamples);
    float w[kFrameSamples];
    pitchFilteredExcitation(rateKind, state, pitch, &codebook, length, 1, 1, w);
    plainSynthesis(state, lpc, w, out, length);
    FilterState& filter = state.weightedSynthesis;
    std::copy(lpc.weighted, lpc.weighted + kLpcOrder, filter.coeffs);
    // memory[k] is the output k + 1 samples back.
    const int kept = std::max(kLpcOrder - length, 0);
    std::copy_backward(filter.memory, filter.memory + kept, filter.memory + kLpcOrder);
    for (int k = 0; k < kLpcOrder - kept; ++k) filter.memory[k] = weighted[length - 1 - k];
}

}  // namespace sonx
