#include "sonx/qcelp/codebook_search.h"
#include "sonx/qcelp/portable_math.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {
namespace {

constexpr float kGainFloor = 0.01f;
constexpr int kMaxSubframe = kPitchSubframeSamples;

// trunc(x) bounded to [lo, hi]; NaN gives lo.
uint32_t boundedCode(float x, int lo, int hi) {
    if (!(x > static_cast<float>(lo))) return static_cast<uint32_t>(lo);
    if (x >= static_cast<float>(hi)) return static_cast<uint32_t>(hi);
    return static_cast<uint32_t>(static_cast<int>(x));
}

float decibels(float x) {
    return 20.0f * static_cast<float>(portableLog10(x));
}

// The 4-bit code of a gain of x > 0 at 4 dB a step.
uint32_t levelCodeOf(float x) {
    return boundedCode(decibels(x) * 15.0f / 60.0f + 0.5f, 0, 15);
}

float floatOfBits(uint32_t bits) {
    float x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// levelCodeOf without a logarithm. The code never falls as x rises (the
// logarithms of two floats are far further apart than its error, and every
// later step keeps their order), so it is the number of thresholds at or
// below x, threshold c being the least float whose code is c or more:
// found once, by halving the range of the positive floats' bit patterns.
struct LevelThresholds {
    float at[16];
    LevelThresholds() {
        for (uint32_t code = 1; code < 16; ++code) {
            uint32_t low = 1, high = 0x7F7FFFFF;  // the least positive and the greatest finite float
            while (low < high) {
                const uint32_t middle = low + (high - low) / 2;
                if (levelCodeOf(floatOfBits(middle)) >= code)
                    high = middle;
                else
                    low = middle + 1;
            }
            at[code] = floatOfBits(low);
        }
        at[0] = 0.0f;
    }
};

uint32_t levelCode(float x) {
    static const LevelThresholds thresholds;
    uint32_t code = 0;
    for (uint32_t c = 1; c < 16; ++c) code += x >= thresholds.at[c];
    return code;
}

// The table laid out so that, for one sample n, the codevector values of
// all 128 indices are one contiguous run: c_I(n) = T((n - I) mod 128) =
// values[kMaxSubframe + I - n].
struct ShiftedTable {
    float values[kMaxSubframe + kCodebookSize];
    explicit ShiftedTable(const float* table) {
        for (int k = -kMaxSubframe; k < kCodebookSize; ++k)
            values[kMaxSubframe + k] = table[(kCodebookSize - k) % kCodebookSize];
    }
    const float* atSample(int n) const { return values + kMaxSubframe - n; }
};

const ShiftedTable& shiftedTable(int rate) {
    static const ShiftedTable half(halfRateCodebook), full(fullRateCodebook);
    return rate == kRateHalf ? half : full;
}

// C_I = sum over n of d(n) c_I(n), for all indices at once, 32 indices at
// a time so that their sums stay in registers across the samples.
SONX_QCELP_KERNEL void correlateCodevectorsBody(const ShiftedTable& shifted, const float* d, int n,
                                                float correlation[kCodebookSize]) {
    constexpr int kBlock = 32;
    static_assert(kCodebookSize % kBlock == 0);
    for (int b = 0; b < kCodebookSize; b += kBlock) {
        Float4 sum[kBlock / 4] = {};
        for (int i = 0; i < n; ++i) {
            const float* row = shifted.atSample(i) + b;
            const Float4 v = splat4(d[i]);
            for (int k = 0; k < kBlock / 4; ++k) sum[k] += v * load4(row + 4 * k);
        }
        for (int k = 0; k < kBlock / 4; ++k) store4(correlation + b + 4 * k, sum[k]);
    }
}

void correlateCodevectorsNarrow(const ShiftedTable& shifted, const float* d, int n,
                                float correlation[kCodebookSize]) {
    correlateCodevectorsBody(shifted, d, n, correlation);
}

#if defined(SONX_QCELP_AVX2)
// The same sums, eight indices to a vector and 64 at a time.
SONX_QCELP_WIDE void correlateCodevectorsWide(const ShiftedTable& shifted, const float* d, int n,
                                              float correlation[kCodebookSize]) {
    typedef float Float8 __attribute__((vector_size(32)));
    constexpr int kBlock = 64;
    for (int b = 0; b < kCodebookSize; b += kBlock) {
        Float8 sum[kBlock / 8] = {};
        for (int i = 0; i < n; ++i) {
            const float* row = shifted.atSample(i) + b;
            const float x = d[i];
            const Float8 v = {x, x, x, x, x, x, x, x};
            for (int k = 0; k < kBlock / 8; ++k) {
                Float8 t;
                std::memcpy(&t, row + 8 * k, sizeof t);
                sum[k] += v * t;
            }
        }
        std::memcpy(correlation + b, sum, sizeof sum);
    }
}
#endif

void correlateCodevectors(const ShiftedTable& shifted, const float* d, int n, float correlation[kCodebookSize]) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return correlateCodevectorsWide(shifted, d, n, correlation);
#endif
    correlateCodevectorsNarrow(shifted, d, n, correlation);
}

SONX_QCELP_KERNEL void filteredCodevectorEnergiesBody(const float* table, const float h[kImpulseLength], int n,
                                                      float energy[kCodebookSize]) {
    n = std::clamp(n, 1, kMaxSubframe);
    const int taps = std::min(n, kImpulseLength);
    // Codevector I + 1 is codevector I a sample later with T(-(I + 1) mod 128)
    // entering at the front: its filtered version is the previous one's
    // window slid back by a sample plus the response to that new sample.
    // Four such runs go side by side, one per float lane: lane j covers the
    // indices 32j .. 32j + 31.
    constexpr int kRun = kCodebookSize / 4;
    auto lanes = [table](int index) {
        constexpr int kMask = kCodebookSize - 1;
        return Float4{table[index & kMask], table[(index - kRun) & kMask], table[(index - 2 * kRun) & kMask],
                      table[(index - 3 * kRun) & kMask]};
    };
    Float4 hv[kImpulseLength];
    for (int k = 0; k < kImpulseLength; ++k) hv[k] = splat4(h[k]);
    Float4 window[kRun - 1 + kMaxSubframe] = {};
    Float4* f = window + kRun - 1;
    for (int m = 0; m < n; ++m) {
        const Float4 v = lanes(m);
        for (int k = 0; k < std::min(kImpulseLength, n - m); ++k) f[m + k] += v * hv[k];
    }
    for (int index = 0;; ++index) {
        // Per lane, the sums of sumOfSquares(f, n) in its order.
        Float4 low[4] = {}, high[4] = {};
        int m = 0;
        for (; m + 8 <= n; m += 8)
            for (int l = 0; l < 4; ++l) {
                low[l] += f[m + l] * f[m + l];
                high[l] += f[m + 4 + l] * f[m + 4 + l];
            }
        if (m + 4 <= n) {
            for (int l = 0; l < 4; ++l) low[l] += f[m + l] * f[m + l];
            m += 4;
        }
        Double4 sum = (toDouble4(low[0] + high[0]) + toDouble4(low[1] + high[1])) +
                      (toDouble4(low[2] + high[2]) + toDouble4(low[3] + high[3]));
        for (; m < n; ++m) sum += toDouble4(f[m]) * toDouble4(f[m]);
        for (int l = 0; l < 4; ++l) energy[index + l * kRun] = static_cast<float>(sum[l]);
        if (index == kRun - 1) break;
        --f;  // f[0] is still zero
        const Float4 v = lanes(-(index + 1));
        for (int k = 0; k < taps; ++k) f[k] += v * hv[k];
    }
}

void filteredCodevectorEnergiesNarrow(const float* table, const float h[kImpulseLength], int n,
                                      float energy[kCodebookSize]) {
    filteredCodevectorEnergiesBody(table, h, n, energy);
}

#if defined(SONX_QCELP_AVX2)
// T(index), T(index - 32), T(index - 64), T(index - 96) (mod 128), in both halves.
SONX_QCELP_WIDE inline __m256 codevectorLanesWide(const float* table, int index) {
    constexpr int kRun = kCodebookSize / 4, kMask = kCodebookSize - 1;
    const __m128 v = _mm_setr_ps(table[index & kMask], table[(index - kRun) & kMask],
                                 table[(index - 2 * kRun) & kMask], table[(index - 3 * kRun) & kMask]);
    return _mm256_insertf128_ps(_mm256_castps128_ps256(v), v, 1);
}

// Samples k of at[4k ..] += v * hv[4k ..] for k < count, two samples at a
// time, the last one alone when count is odd.
SONX_QCELP_WIDE inline void addResponse(float* at, const float* hv, __m256 v, int count) {
    int k = 0;
    for (; k + 2 <= count; k += 2)
        _mm256_storeu_ps(at + 4 * k,
                         _mm256_add_ps(_mm256_loadu_ps(at + 4 * k), _mm256_mul_ps(v, _mm256_loadu_ps(hv + 4 * k))));
    if (k < count)
        _mm_storeu_ps(at + 4 * k, _mm_add_ps(_mm_loadu_ps(at + 4 * k),
                                             _mm_mul_ps(_mm256_castps256_ps128(v), _mm_loadu_ps(hv + 4 * k))));
}

SONX_QCELP_WIDE inline __m256 squareWide(const float* at) {
    const __m256 x = _mm256_loadu_ps(at);
    return _mm256_mul_ps(x, x);
}

// filteredCodevectorEnergiesBody with two neighbouring four-lane vectors
// (two samples, or two partial sums) in each eight-lane vector: every lane
// does the same operations in the same order.
SONX_QCELP_WIDE void filteredCodevectorEnergiesWide(const float* table, const float h[kImpulseLength], int n,
                                                    float energy[kCodebookSize]) {
    n = std::clamp(n, 1, kMaxSubframe);
    const int taps = std::min(n, kImpulseLength);
    constexpr int kRun = kCodebookSize / 4;
    // hv[4k .. 4k + 3] = h[k]; one more zero vector so that pairs may run past the end.
    float hv[4 * (kImpulseLength + 1)] = {};
    for (int k = 0; k < kImpulseLength; ++k)
        for (int l = 0; l < 4; ++l) hv[4 * k + l] = h[k];
    // Sample m of the window is f[4m .. 4m + 3]; one spare sample past the end.
    float window[4 * (kRun - 1 + kMaxSubframe + 1)] = {};
    float* f = window + 4 * (kRun - 1);
    for (int m = 0; m < n; ++m)
        addResponse(f + 4 * m, hv, codevectorLanesWide(table, m), std::min(kImpulseLength, n - m));
    for (int index = 0;; ++index) {
        // low01 holds the partial sums low[0], low[1] of the narrow form, and so on.
        __m256 low01 = _mm256_setzero_ps(), low23 = low01, high01 = low01, high23 = low01;
        int m = 0;
        for (; m + 8 <= n; m += 8) {
            const float* at = f + 4 * m;
            low01 = _mm256_add_ps(low01, squareWide(at));
            low23 = _mm256_add_ps(low23, squareWide(at + 8));
            high01 = _mm256_add_ps(high01, squareWide(at + 16));
            high23 = _mm256_add_ps(high23, squareWide(at + 24));
        }
        if (m + 4 <= n) {
            low01 = _mm256_add_ps(low01, squareWide(f + 4 * m));
            low23 = _mm256_add_ps(low23, squareWide(f + 4 * m + 8));
            m += 4;
        }
        const __m256 s01 = _mm256_add_ps(low01, high01), s23 = _mm256_add_ps(low23, high23);
        const __m256d d0 = _mm256_cvtps_pd(_mm256_castps256_ps128(s01));
        const __m256d d1 = _mm256_cvtps_pd(_mm256_extractf128_ps(s01, 1));
        const __m256d d2 = _mm256_cvtps_pd(_mm256_castps256_ps128(s23));
        const __m256d d3 = _mm256_cvtps_pd(_mm256_extractf128_ps(s23, 1));
        __m256d sum = _mm256_add_pd(_mm256_add_pd(d0, d1), _mm256_add_pd(d2, d3));
        for (; m < n; ++m) {
            const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(f + 4 * m));
            sum = _mm256_add_pd(sum, _mm256_mul_pd(x, x));
        }
        double total[4];
        _mm256_storeu_pd(total, sum);
        for (int l = 0; l < 4; ++l) energy[index + l * kRun] = static_cast<float>(total[l]);
        if (index == kRun - 1) break;
        f -= 4;  // its first sample is still zero
        addResponse(f, hv, codevectorLanesWide(table, -(index + 1)), taps);
    }
}
#endif

}  // namespace

void filteredCodevectorEnergies(const float* table, const float h[kImpulseLength], int n,
                                float energy[kCodebookSize]) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return filteredCodevectorEnergiesWide(table, h, n, energy);
#endif
    filteredCodevectorEnergiesNarrow(table, h, n, energy);
}

void quantizeCodebookGain(int rate, float x, int subframe, QcelpDecoderState& local,
                          CodebookSubframe& record) {
    const bool predicted = rate == kRateFull && subframe % 4 == 3;
    uint32_t sign;
    float magnitude = 0.0f;  // 0 below the floor, which stands for -40 dB
    if (x > kGainFloor) {
        sign = 0;
        magnitude = x;
    } else if (x < -kGainFloor) {
        sign = 1;
        magnitude = -x;
    } else {
        sign = rate == kRateQuarter ? 0 : 1;
    }
    uint32_t code;
    if (predicted) {
        const float level = magnitude > 0.0f ? decibels(magnitude) : -40.0f;
        const float p = static_cast<float>(predictedGainLevel(local));
        code = boundedCode((level - p + 6.0f) * 7.0f / 28.0f + 0.5f, 0, 7);
    } else {
        code = magnitude > 0.0f ? levelCode(magnitude) : boundedCode(-40.0f * 15.0f / 60.0f + 0.5f, 0, 15);
    }
    record.gainCode = code;
    record.sign = sign;
    record.gain = decodeCodebookGain(rate, subframe, code, sign, local);
}

float quantizeEighthRateGain(float g, QcelpDecoderState& local, uint32_t& code) {
    const int32_t base = eighthRateGainBase(local);
    code = 0;
    double bestError = 1e6;
    for (uint32_t c = 0; c < 4; ++c) {
        const double d = static_cast<double>(g) - gainTable[base + eighthRateGainOffset[c]];
        double error = d * d;
        if (c == 0) {
            bestError = std::min(error, 1e6);
        } else if (error < bestError) {
            bestError = error;
            code = c;
        }
    }
    return decodeEighthRateGain(code, local);
}

void quarterRateGainCodes(const float* speech, float pg, uint32_t codes[5]) {
    const double scale = portablePow10(-static_cast<double>(pg) / 10.0);
    for (int i = 0; i < 5; ++i) {
        double energy = 0.0;
        for (int n = 32 * i; n < 32 * i + 32; ++n) energy += static_cast<double>(speech[n]) * speech[n];
        const float x = static_cast<float>(1.2608 * std::sqrt(scale * energy / 32.0));
        codes[i] = x > kGainFloor ? levelCode(x) : 0u;
    }
}

void quarterRateGains(const float* speech, float pg, QcelpDecoderState& local, CodebookSubframe records[5]) {
    uint32_t codes[5];
    quarterRateGainCodes(speech, pg, codes);
    for (int i = 0; i < 5; ++i) {
        records[i] = CodebookSubframe{};
        records[i].gainCode = codes[i];
        records[i].gain = decodeCodebookGain(kRateQuarter, i, codes[i], 0, local);
    }
}

uint32_t sentCodebookIndex(int32_t index, uint32_t sign) {
    return static_cast<uint32_t>(sign ? (index + 89) % kCodebookSize : index % kCodebookSize);
}

namespace {

// The index of the largest score; ties keep the earlier index in the order
// 1, 2, ..., 127, 0, a NaN never wins, and with nothing above 0 it is 0.
// One pass in that order, where a strictly larger score takes over.
int32_t bestCodevectorNarrow(const float (&score)[kCodebookSize]) {
    float bestScore = 0.0f;
    int32_t bestIndex = 0;
    for (int step = 1; step <= kCodebookSize; ++step) {
        const int i = step % kCodebookSize;
        if (score[i] > bestScore) {
            bestScore = score[i];
            bestIndex = i;
        }
    }
    return bestIndex;
}

#if defined(SONX_QCELP_AVX2)
// The same index: the largest score (a NaN loses every max, as the second
// operand is returned), then the first in that order to equal it.
SONX_QCELP_WIDE int32_t bestCodevectorWide(const float (&score)[kCodebookSize]) {
    __m256 best = _mm256_setzero_ps();
    for (int i = 0; i < kCodebookSize; i += 8) best = _mm256_max_ps(_mm256_loadu_ps(score + i), best);
    __m128 top = _mm_max_ps(_mm256_castps256_ps128(best), _mm256_extractf128_ps(best, 1));
    top = _mm_max_ps(top, _mm_movehl_ps(top, top));
    top = _mm_max_ss(top, _mm_shuffle_ps(top, top, 1));
    if (!(_mm_cvtss_f32(top) > 0.0f)) return 0;
    const __m256 target = _mm256_broadcastss_ps(top);
    uint64_t equal[2] = {};
    for (int i = 0; i < kCodebookSize; i += 8) {
        const uint64_t bits = static_cast<uint32_t>(
            _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(score + i), target, _CMP_EQ_OQ)));
        equal[i / 64] |= bits << (i % 64);
    }
    equal[0] &= ~uint64_t{1};  // index 0 comes last
    if (equal[0]) return __builtin_ctzll(equal[0]);
    if (equal[1]) return 64 + __builtin_ctzll(equal[1]);
    return 0;
}
#endif

int32_t bestCodevector(const float (&score)[kCodebookSize]) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return bestCodevectorWide(score);
#endif
    return bestCodevectorNarrow(score);
}

SONX_QCELP_KERNEL void searchCodebookBody(int rate, const float weighted[kLpcOrder], const float* w, int n,
                                          int subframe, int j, const PitchParams& pitch, QcelpDecoderState& local,
                                          CodebookEnergies& energies, CodebookSubframe& record,
                                          float* synthesized) {
    n = std::clamp(n, 1, kMaxSubframe);
    const float* table = rate == kRateHalf ? halfRateCodebook : fullRateCodebook;

    // Target: weighted speech less the pitch contribution through the
    // weighted synthesis filter, from the local decoder's memory.
    // Filtered in whole steps of four: the copied state is dropped, so the
    // samples past n only have to exist.
    const int steps = (n + 3) / 4 * 4;
    float x[kMaxSubframe];
    pitchContribution(local.mainPitch, pitch, x, n);
    std::fill(x + n, x + steps, 0.0f);
    FilterState synthesis = local.weightedSynthesis;  // its memory, with this subframe's coefficients
    std::copy(weighted, weighted + kLpcOrder, synthesis.coeffs);
    float filteredPitch[kMaxSubframe];
    allPoleFilterBlocks(x, filteredPitch, steps, synthesis);
    for (int i = 0; i < n; ++i) x[i] = w[i] - filteredPitch[i];

    if (j == 0) filteredCodevectorEnergies(table, energies.h, n, energies.energy);
    const float* h = energies.h;

    // Backward-filtered target.
    float d[kMaxSubframe];
    for (int k = 0; k < n; ++k)
        d[k] = static_cast<float>(dotProduct(x + k, h, std::min(n - k, kImpulseLength)));

    float correlation[kCodebookSize];
    correlateCodevectors(shiftedTable(rate), d, n, correlation);

    // The largest C^2 / E wins; ties keep the earlier index in the order
    // 1, 2, ..., 127, 0. (E is 0 only where C is: the floor keeps 0 / 0 out.)
    float score[kCodebookSize];
    for (int i = 0; i < kCodebookSize; ++i)
        score[i] = correlation[i] * correlation[i] / std::max(energies.energy[i], FLT_MIN);
    const int32_t bestIndex = bestCodevector(score);

    record = CodebookSubframe{};
    record.index = bestIndex;
    const float bestE = energies.energy[bestIndex];
    const float gain = bestE > 0.0f ? correlation[bestIndex] / bestE : 0.0f;
    quantizeCodebookGain(rate, static_cast<float>(gain), subframe, local, record);
    if (!synthesized || n > kImpulseLength) return;

    // Within the response's length the weighted synthesis from the filter's
    // memory is the filtered pitch contribution plus the chosen codevector
    // at its quantised gain, filtered from rest.
    constexpr int kSteps = (kImpulseLength + 3) / 4;
    // The codevector after kImpulseLength zeros, then room for the last step.
    float codevector[kImpulseLength + 4 * kSteps] = {};
    const float* shifted = shiftedTable(rate).values + kMaxSubframe + bestIndex;  // c(m) = shifted[-m]
    for (int m = 0; m < n; ++m) codevector[kImpulseLength + m] = shifted[-m];
    Float4 response[kSteps] = {};
    for (int k = 0; k < n; ++k) {
        const Float4 hk = splat4(h[k]);
        for (int step = 0; step < (n + 3) / 4; ++step)
            response[step] += hk * load4(codevector + kImpulseLength + 4 * step - k);
    }
    float filtered[4 * kSteps];
    for (int step = 0; step < kSteps; ++step) store4(filtered + 4 * step, response[step]);
    for (int m = 0; m < n; ++m) synthesized[m] = filteredPitch[m] + record.gain * filtered[m];
}

void searchCodebookNarrow(int rate, const float weighted[kLpcOrder], const float* w, int n, int subframe, int j,
                          const PitchParams& pitch, QcelpDecoderState& local, CodebookEnergies& energies,
                          CodebookSubframe& record, float* synthesized) {
    searchCodebookBody(rate, weighted, w, n, subframe, j, pitch, local, energies, record, synthesized);
}

#if defined(SONX_QCELP_AVX2)
SONX_QCELP_WIDE void searchCodebookWide(int rate, const float weighted[kLpcOrder], const float* w, int n,
                                        int subframe, int j, const PitchParams& pitch, QcelpDecoderState& local,
                                        CodebookEnergies& energies, CodebookSubframe& record, float* synthesized) {
    searchCodebookBody(rate, weighted, w, n, subframe, j, pitch, local, energies, record, synthesized);
}
#endif

}  // namespace

void searchCodebook(int rate, const float weighted[kLpcOrder], const float* w, int n, int subframe, int j,
                    const PitchParams& pitch, QcelpDecoderState& local, CodebookEnergies& energies,
                    CodebookSubframe& record, float* synthesized) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2())
        return searchCodebookWide(rate, weighted, w, n, subframe, j, pitch, local, energies, record, synthesized);
#endif
    searchCodebookNarrow(rate, weighted, w, n, subframe, j, pitch, local, energies, record, synthesized);
}

}  // namespace sonx
