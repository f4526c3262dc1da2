#include "sonx/qcelp/pitch_search.h"

#include <algorithm>

#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {
namespace {

constexpr int kSubframe = kPitchSubframeSamples;
// Two lags beyond each end of the range feed the half-sample interpolation.
constexpr int kFirstLag = kMinPitchLag - 2;
constexpr int kLastLag = kMaxPitchLag + 2;
constexpr int kLagCount = kLastLag - kFirstLag + 1;
constexpr int kMaxHalfSampleLag = 139;
constexpr double kNearCorrelation = 0.54338896;
constexpr double kFarCorrelation = -0.031076932;

// Running best of C^2 / D over candidates with C > 0; ties keep the earlier.
struct BestCandidate {
    double c2 = -1.0;
    double d = 1.0;
    double c = 0.0;
    int32_t lag = 0;
    int32_t fraction = 0;
    void offer(double cc, double dd, int32_t lagValue, int32_t fractionValue) {
        // Both tests are evaluated: the sign of C is a coin toss, but a
        // new best is rare, so the one branch left predicts well.
        const bool better = (cc > 0.0) & (c2 * dd < cc * cc * d);
        if (!better) return;
        c2 = cc * cc;
        d = dd;
        c = cc;
        lag = lagValue;
        fraction = fractionValue;
    }
};

// The filtered excitations of a few consecutive lags, correlated with the
// target together: each lag's sums keep their order, and the lags' sums
// run side by side instead of one after another.
constexpr int kLagBatch = 4;
using LagBatch = float[kLagBatch][kSubframe];

// correlationAndEnergy(target, y[k], kSubframe) for every k.
inline void correlateLagBatch(const float* target, const LagBatch& y, double (&C)[kLagBatch], double (&E)[kLagBatch]) {
    Float4 c[kLagBatch] = {}, e[kLagBatch] = {};
    for (int i = 0; i < kSubframe; i += 4) {
        const Float4 t = load4(target + i);
        for (int k = 0; k < kLagBatch; ++k) {
            const Float4 v = load4(y[k] + i);
            c[k] += t * v;
            e[k] += v * v;
        }
    }
    for (int k = 0; k < kLagBatch; ++k) horizontalSums(c[k], e[k], C[k], E[k]);
}

#if defined(SONX_QCELP_AVX2)
// lo in the low half, hi in the high half.
SONX_QCELP_WIDE inline __m256 halves(__m128 lo, __m128 hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
}

// correlateLagBatch two lags to an eight-lane vector, each half doing the
// four-lane form's operations in its order.
SONX_QCELP_WIDE inline void correlateLagBatchWide(const float* target, const LagBatch& y, double (&C)[kLagBatch],
                                                  double (&E)[kLagBatch]) {
    static_assert(kLagBatch == 4);
    __m256 c01 = _mm256_setzero_ps(), e01 = c01, c23 = c01, e23 = c01;
    for (int i = 0; i < kSubframe; i += 4) {
        const __m128 t4 = _mm_loadu_ps(target + i);
        const __m256 t = halves(t4, t4);
        const __m256 v01 = halves(_mm_loadu_ps(y[0] + i), _mm_loadu_ps(y[1] + i));
        const __m256 v23 = halves(_mm_loadu_ps(y[2] + i), _mm_loadu_ps(y[3] + i));
        c01 = _mm256_add_ps(c01, _mm256_mul_ps(t, v01));
        e01 = _mm256_add_ps(e01, _mm256_mul_ps(v01, v01));
        c23 = _mm256_add_ps(c23, _mm256_mul_ps(t, v23));
        e23 = _mm256_add_ps(e23, _mm256_mul_ps(v23, v23));
    }
    horizontalSums(_mm256_castps256_ps128(c01), _mm256_castps256_ps128(e01), C[0], E[0]);
    horizontalSums(_mm256_extractf128_ps(c01, 1), _mm256_extractf128_ps(e01, 1), C[1], E[1]);
    horizontalSums(_mm256_castps256_ps128(c23), _mm256_castps256_ps128(e23), C[2], E[2]);
    horizontalSums(_mm256_extractf128_ps(c23, 1), _mm256_extractf128_ps(e23, 1), C[3], E[3]);
}
#endif

using CorrelateLagBatch = void (*)(const float*, const LagBatch&, double (&)[kLagBatch], double (&)[kLagBatch]);

constexpr int kBlocks = kSubframe / 4, kImpulseBlocks = kImpulseLength / 4;
using Window = Float4[kBlocks];

// u(m) for m < 0 is history[kPitchHistory + m].
inline float pastExcitation(const float* history, int m) {
    return history[kPitchHistory + m];
}

// Correlations C_L and energies D_L of the target with the filtered past
// excitation for the lags 15..39, and the filtered excitation of lag 40.
// The filtered excitation of lag L + 1 is that of lag L a sample later plus
// the response to the new first sample u(-L-1); sliding its window back by
// one sample does the shift.
template <CorrelateLagBatch correlate>
SONX_QCELP_KERNEL void shortLagCorrelations(const float* target, const float* h, const float* history,
                                             double (&C)[kLagCount], double (&D)[kLagCount], Window& next) {
    float window[kLagCount - 1 + kSubframe] = {};
    float* y = window + kLagCount - 1;
    // Lag 15: a single copy of the excitation, u(m - L) for m < L, 0 beyond.
    for (int m = 0; m < std::min(kFirstLag, kSubframe); ++m)
        addScaled(y + m, h, pastExcitation(history, m - kFirstLag), std::min(kImpulseLength, kSubframe - m));
    // Lags below the subframe repeat the excitation once.
    LagBatch batch;
    int pending = 0;
    for (int L = kFirstLag; L < kSubframe; ++L) {
        float* filtered = batch[pending++];
        std::copy(y, y + kSubframe, filtered);
        for (int n = L; n < kSubframe; ++n) filtered[n] += y[n - L];
        if (pending == kLagBatch || L == kSubframe - 1) {
            // The last batch's unused rows hold earlier lags.
            double correlation[kLagBatch], energy[kLagBatch];
            correlate(target, batch, correlation, energy);
            for (int k = 0; k < pending; ++k) {
                const int i = L - pending + 1 + k - kFirstLag;
                C[i] = correlation[k];
                D[i] = 0.01 + energy[k];
            }
            pending = 0;
        }
        --y;  // y[0] is still zero
        addScaled(y, h, pastExcitation(history, -L - 1), kImpulseLength);
    }
    for (int i = 0; i < kBlocks; ++i) next[i] = load4(y + 4 * i);
}

// The same for lags 40..145, from the filtered excitation of lag 40. The
// excitation is one copy now, and the window stays in registers: each lag
// shifts it by a sample and adds the response.
SONX_QCELP_KERNEL void longLagCorrelations(const float* target, const float* h, const float* history,
                                            Window& window, double (&C)[kLagCount], double (&D)[kLagCount]) {
    Float4 h4[kImpulseBlocks];
    for (int i = 0; i < kImpulseBlocks; ++i) h4[i] = load4(h + 4 * i);
    for (int L = kSubframe;; ++L) {
        Float4 c = {0, 0, 0, 0}, e = {0, 0, 0, 0};
        for (int i = 0; i < kBlocks; ++i) {
            c += load4(target + 4 * i) * window[i];
            e += window[i] * window[i];
        }
        double energy;
        horizontalSums(c, e, C[L - kFirstLag], energy);
        D[L - kFirstLag] = 0.01 + energy;
        if (L == kLastLag) break;
        for (int i = kBlocks - 1; i > 0; --i) window[i] = oneSampleLater(window[i - 1], window[i]);
        window[0] = oneSampleLater(Float4{0, 0, 0, 0}, window[0]);
        const Float4 excitation = splat4(pastExcitation(history, -L - 1));
        for (int i = 0; i < kImpulseBlocks; ++i) window[i] += excitation * h4[i];
    }
}

void lagCorrelationsNarrow(const float* target, const float* h, const float* history, double (&C)[kLagCount],
                           double (&D)[kLagCount]) {
    Window window;
    shortLagCorrelations<correlateLagBatch>(target, h, history, C, D, window);
    longLagCorrelations(target, h, history, window, C, D);
}

#if defined(SONX_QCELP_AVX2)
// A sample later, as oneSampleLater: previous[3], then v[0..2].
SONX_QCELP_WIDE inline __m128 oneSampleLaterWide(__m128 previous, __m128 v) {
    return _mm_castsi128_ps(_mm_alignr_epi8(_mm_castps_si128(v), _mm_castps_si128(previous), 12));
}

// longLagCorrelations two lags at a time, lag L in the low and lag L + 1
// in the high half of each eight-lane vector. One pass over the blocks
// forms lag L + 1's window from lag L's, correlates both, and leaves lag
// L + 2's in place of lag L's.
SONX_QCELP_WIDE void longLagCorrelationsWide(const float* target, const float* h, const float* history,
                                             Window& window, double (&C)[kLagCount], double (&D)[kLagCount]) {
    static_assert((kLastLag - kSubframe + 1) % 2 == 0);
    __m128 even[kBlocks];
    for (int i = 0; i < kBlocks; ++i) even[i] = window[i];
    // Each block of the target in both halves.
    float targetTwice[kBlocks][8];
    for (int i = 0; i < kBlocks; ++i) {
        std::copy(target + 4 * i, target + 4 * i + 4, targetTwice[i]);
        std::copy(target + 4 * i, target + 4 * i + 4, targetTwice[i] + 4);
    }
    for (int L = kSubframe; L < kLastLag; L += 2) {
        const __m128 first = _mm_set1_ps(pastExcitation(history, -L - 1));
        const __m128 second = _mm_set1_ps(pastExcitation(history, -L - 2));
        __m128 previousEven = _mm_setzero_ps(), previousOdd = previousEven;
        __m256 c = _mm256_setzero_ps(), e = c;
        for (int i = 0; i < kBlocks; ++i) {
            const __m128 evenBlock = even[i];
            __m128 oddBlock = oneSampleLaterWide(previousEven, evenBlock);
            if (i < kImpulseBlocks) oddBlock = _mm_add_ps(oddBlock, _mm_mul_ps(first, _mm_loadu_ps(h + 4 * i)));
            const __m256 y = _mm256_insertf128_ps(_mm256_castps128_ps256(evenBlock), oddBlock, 1);
            c = _mm256_add_ps(c, _mm256_mul_ps(_mm256_loadu_ps(targetTwice[i]), y));
            e = _mm256_add_ps(e, _mm256_mul_ps(y, y));
            __m128 next = oneSampleLaterWide(previousOdd, oddBlock);
            if (i < kImpulseBlocks) next = _mm_add_ps(next, _mm_mul_ps(second, _mm_loadu_ps(h + 4 * i)));
            even[i] = next;
            previousEven = evenBlock;
            previousOdd = oddBlock;
        }
        double energy[2];
        horizontalSums(_mm256_castps256_ps128(c), _mm256_castps256_ps128(e), C[L - kFirstLag], energy[0]);
        horizontalSums(_mm256_extractf128_ps(c, 1), _mm256_extractf128_ps(e, 1), C[L + 1 - kFirstLag], energy[1]);
        D[L - kFirstLag] = 0.01 + energy[0];
        D[L + 1 - kFirstLag] = 0.01 + energy[1];
    }
}

SONX_QCELP_WIDE void lagCorrelationsWide(const float* target, const float* h, const float* history,
                                         double (&C)[kLagCount], double (&D)[kLagCount]) {
    Window window;
    shortLagCorrelations<correlateLagBatchWide>(target, h, history, C, D, window);
    longLagCorrelationsWide(target, h, history, window, C, D);
}
#endif

void lagCorrelations(const float* target, const float* h, const float* history, double (&C)[kLagCount],
                     double (&D)[kLagCount]) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return lagCorrelationsWide(target, h, history, C, D);
#endif
    lagCorrelationsNarrow(target, h, history, C, D);
}

}  // namespace

void zeroInputResponse(const float coeffs[kLpcOrder], const FilterState& filter, float* out, int n) {
    FilterState f;
    initFilter(f, kLpcOrder, coeffs);
    std::copy(filter.memory, filter.memory + kLpcOrder, f.memory);
    std::fill(out, out + n, 0.0f);
    allPoleFilter(out, out, n, f, false);
}

void impulseResponse(const float coeffs[kLpcOrder], float h[kImpulseLength]) {
    FilterState f;
    initFilter(f, kLpcOrder, coeffs);
    std::fill(h, h + kImpulseLength, 0.0f);
    h[0] = 1.0f;
    allPoleFilter(h, h, kImpulseLength, f, false);
}

uint32_t quantizePitchGain(float b, float& gain) {
    // Compared as a float first: a huge or NaN b must not reach the integer conversion.
    const float steps = 4.0f * b;
    if (!(steps >= 1.0f)) {
        gain = 0.0f;
        return 0;
    }
    if (steps >= 8.0f) {
        gain = 2.0f;
        return 7;
    }
    const int k = static_cast<int>(steps);
    gain = static_cast<float>(k) / 4.0f;
    return static_cast<uint32_t>(k - 1);
}

PitchParams encodePitchLag(int32_t lag, int32_t fraction, uint32_t gainCode) {
    if (lag < kMinPitchLag || lag > kMaxPitchLag) return decodePitch(0, 0, 0);
    const uint32_t fractionBit = fraction == 2 && lag < kMaxPitchLag ? 1u : 0u;
    return decodePitch(static_cast<uint32_t>(lag - 16), fractionBit, gainCode);
}

void searchPitch(int rate, const float weightedSpeech[kPitchSubframeSamples], const QcelpConfig& config,
                 const QcelpDecoderState& local, const float weighted[kLpcOrder], const float h[kImpulseLength],
                 PitchRecord& record, float target[kPitchSubframeSamples]) {
    zeroInputResponse(weighted, local.weightedSynthesis, target, kSubframe);
    for (int n = 0; n < kSubframe; ++n) target[n] = weightedSpeech[n] - target[n];
    if (rate != kRateHalf && rate != kRateFull) {
        record.params = encodePitchLag(0, 0, 0);
        return;
    }

    double C[kLagCount], D[kLagCount];
    lagCorrelations(target, h, local.mainPitch.history, C, D);

    const int32_t minLag = std::max(record.minLag, kMinPitchLag);
    const int32_t maxLag = std::min(record.maxLag, kMaxPitchLag);
    BestCandidate best;
    for (int32_t L = minLag; L <= maxLag; ++L) best.offer(C[L - kFirstLag], D[L - kFirstLag], L, 0);
    if (config.halfSamplePitch) {
        for (int32_t j = minLag; j <= std::min(maxLag, kMaxHalfSampleLag); ++j) {
            const int i = j - kFirstLag;
            const double c = kNearCorrelation * (C[i] + C[i + 1]) + kFarCorrelation * (C[i - 1] + C[i + 2]);
            best.offer(c, 0.5 * (D[i] + D[i + 1]), j, 2);
        }
    }

    float gain = 0.0f;
    const uint32_t gainCode = best.lag ? quantizePitchGain(static_cast<float>(best.c / best.d), gain) : 0u;
    record.params = gain > 0.0f ? encodePitchLag(best.lag, best.fraction, gainCode) : encodePitchLag(0, 0, 0);
}

void pitchContribution(const PitchFilterState& memory, const PitchParams& pitch, float* out, int n) {
    std::fill(out, out + n, 0.0f);
    pitchFilterWith(out, out, n, memory, pitch.lag, pitch.fraction, pitch.gain);
}

}  // namespace sonx
