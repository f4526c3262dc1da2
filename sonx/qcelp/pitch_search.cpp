#include "sonx/qcelp/pitch_search.h"

#include <algorithm>
#include <cstring>

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

// Whether best.offer would take any of cc[0..3], dd[0..3] now.
bool anyBetterNarrow(const BestCandidate& best, const double* cc, const double* dd) {
#if defined(__SSE2__)
    const __m128d bestC2 = _mm_set1_pd(best.c2), bestD = _mm_set1_pd(best.d), zero = _mm_setzero_pd();
    const __m128d c01 = _mm_loadu_pd(cc), c23 = _mm_loadu_pd(cc + 2);
    const __m128d d01 = _mm_loadu_pd(dd), d23 = _mm_loadu_pd(dd + 2);
    const auto better = [&](__m128d cv, __m128d dv) {
        const __m128d wins = _mm_cmplt_pd(_mm_mul_pd(bestC2, dv), _mm_mul_pd(_mm_mul_pd(cv, cv), bestD));
        return _mm_and_pd(_mm_cmpgt_pd(cv, zero), wins);
    };
    return _mm_movemask_pd(_mm_or_pd(better(c01, d01), better(c23, d23))) != 0;
#else
    bool better = false;
    for (int k = 0; k < 4; ++k) better |= (cc[k] > 0.0) & (best.c2 * dd[k] < cc[k] * cc[k] * best.d);
    return better;
#endif
}

#if defined(SONX_QCELP_AVX2)
SONX_QCELP_WIDE inline bool anyBetterWide(const BestCandidate& best, const double* cc, const double* dd) {
    const __m256d c = _mm256_loadu_pd(cc), d = _mm256_loadu_pd(dd);
    const __m256d wins = _mm256_cmp_pd(_mm256_mul_pd(_mm256_set1_pd(best.c2), d),
                                       _mm256_mul_pd(_mm256_mul_pd(c, c), _mm256_set1_pd(best.d)), _CMP_LT_OQ);
    const __m256d positive = _mm256_cmp_pd(c, _mm256_setzero_pd(), _CMP_GT_OQ);
    return _mm256_movemask_pd(_mm256_and_pd(positive, wins)) != 0;
}
#endif

using AnyBetter = bool (*)(const BestCandidate&, const double*, const double*);

// best.offer of candidates k = 0..count-1, lag firstLag + k. A new best
// is rare, so four that would not change it are passed over at once: the
// best stays as it is while none of them takes over.
template <AnyBetter anyBetter>
SONX_QCELP_KERNEL void offerAll(BestCandidate& best, const double* cc, const double* dd, int count,
                                int32_t firstLag, int32_t fraction) {
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        if (!anyBetter(best, cc + k, dd + k)) continue;
        for (int i = k; i < k + 4; ++i) best.offer(cc[i], dd[i], firstLag + i, fraction);
    }
    for (; k < count; ++k) best.offer(cc[k], dd[k], firstLag + k, fraction);
}

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

// The filtered excitations of the lags 40..145 by sample, eight lags to a
// vector in the AVX2 form and four in the baseline. Once u(-L) has passed
// the end of the response, the filtered excitation only moves on:
// y_L(n) = y_(L-1)(n-1) for n >= 20, and so y_L(n) = y_(L-n+19)(19). Row
// n < 20 holds y_L(n) at column L - n - 1, so that each step
// y_L(n) = y_(L-1)(n-1) + h(n) u(-L) reads the row before at the very
// place it wrote; row 19 holds the lags from 20 on. The lags past 145 fill
// the last vector.
constexpr int kLongLagGroup = 8;  // the widest vector
constexpr int kLongLags = (kLastLag - kSubframe + kLongLagGroup) / kLongLagGroup * kLongLagGroup;
// Columns 0..19 are row 19's lags 20..39 from the short lags; the steps
// make the columns from 20 on in every row, whole vectors up to the last
// lag read.
constexpr int kFirstStepColumn = kSubframe - kImpulseLength;
constexpr int kStepColumns =
    (kSubframe + kLongLags - 1 - kFirstStepColumn + kLongLagGroup) / kLongLagGroup * kLongLagGroup;
constexpr int kRowLength = kFirstStepColumn + kStepColumns;
struct LongLagRows {
    float at[kImpulseLength][kRowLength];
    float* lag(int n, int L) { return at[n] + (L - n - 1); }
};
typedef float Float8 __attribute__((vector_size(32)));
typedef double DoubleLanes4 __attribute__((vector_size(32)));
typedef double DoubleLanes8 __attribute__((vector_size(64)));

// u(m) for m < 0 is history[kPitchHistory + m].
inline float pastExcitation(const float* history, int m) {
    return history[kPitchHistory + m];
}

// Correlations C_L and energies D_L of the target with the filtered past
// excitation for the lags 15..39, and sample 19 of the lags 20..39 into
// `rows`. The filtered excitation of lag
// L + 1 is that of lag L a sample later plus the response to the new first
// sample u(-L-1); sliding its window back by one sample does the shift.
template <CorrelateLagBatch correlate>
SONX_QCELP_KERNEL void shortLagCorrelations(const float* target, const float* h, const float* history,
                                             double (&C)[kLagCount], double (&D)[kLagCount], LongLagRows& rows) {
    float window[kLagCount - 1 + kSubframe] = {};
    float* y = window + kLagCount - 1;
    // Lag 15: a single copy of the excitation, u(m - L) for m < L, 0 beyond.
    for (int m = 0; m < std::min(kFirstLag, kSubframe); ++m)
        addScaled(y + m, h, pastExcitation(history, m - kFirstLag), std::min(kImpulseLength, kSubframe - m));
    // Lags below the subframe repeat the excitation once.
    LagBatch batch;
    int pending = 0;
    for (int L = kFirstLag; L < kSubframe; ++L) {
        if (L >= kSubframe - kImpulseLength) *rows.lag(kImpulseLength - 1, L) = y[kImpulseLength - 1];
        // The window is still zero before y, so y[n - L] adds nothing for
        // n < L.
        float* filtered = batch[pending++];
        for (int n = 0; n < kSubframe; n += 4) store4(filtered + n, load4(y + n) + load4(y + n - L));
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
}

// The same for the lags 40..145. Each lag's sums are those of one lag at a
// time: lane n mod 4 of its correlation and energy adds the samples n in
// order, and the lanes meet in double. The steps start from row 0, where
// y_L(0) = h(0) u(-L); from lag 21 on (the columns from 20) they make the
// short lags' values over again, by the same sums.
template <typename Lanes, typename DoubleLanes>
SONX_QCELP_KERNEL void longLagCorrelations(const float* target, const float* h, const float* history,
                                            LongLagRows& rows, double (&C)[kLagCount], double (&D)[kLagCount]) {
    constexpr int kLanes = sizeof(Lanes) / sizeof(float);
    static_assert((kLanes == 4 || kLanes == 8) && kLongLags % kLanes == 0 && kStepColumns % kLanes == 0);
    // u(-L) at L - kFirstLag for the lags the steps reach; zero past the history.
    constexpr int kFirstStepLag = kFirstStepColumn + 1;
    float excitation[kStepColumns + kImpulseLength] = {};
    for (int L = kFirstStepLag; L <= kPitchHistory; ++L) excitation[L - kFirstStepLag] = pastExcitation(history, -L);
    for (int n = 0; n < kImpulseLength; ++n) {
        const float hn = h[n];
        Lanes response;
        if constexpr (kLanes == 8)
            response = Lanes{hn, hn, hn, hn, hn, hn, hn, hn};
        else
            response = Lanes{hn, hn, hn, hn};
        for (int column = kFirstStepColumn; column < kRowLength; column += kLanes) {
            Lanes earlier = {}, u;
            if (n > 0) std::memcpy(&earlier, rows.at[n - 1] + column, sizeof earlier);
            std::memcpy(&u, excitation + (column - kFirstStepColumn + n), sizeof u);
            const Lanes y = earlier + u * response;
            std::memcpy(rows.at[n] + column, &y, sizeof y);
        }
    }
    for (int first = kSubframe; first <= kLastLag; first += kLanes) {
        // Lane n mod 4 of the sums takes sample n of the lags.
        Lanes c[4] = {}, e[4] = {};
        const auto add = [](Lanes& correlation, Lanes& energy, const float* row, float t) {
            Lanes v, tv;
            std::memcpy(&v, row, sizeof v);
            if constexpr (kLanes == 8)
                tv = Lanes{t, t, t, t, t, t, t, t};
            else
                tv = Lanes{t, t, t, t};
            correlation += tv * v;
            energy += v * v;
        };
        for (int n = 0; n < kImpulseLength; n += 4)
            for (int l = 0; l < 4; ++l) add(c[l], e[l], rows.lag(n + l, first), target[n + l]);
        const float* last = rows.lag(kImpulseLength - 1, first);
        for (int n = kImpulseLength; n < kSubframe; n += 4)
            for (int l = 0; l < 4; ++l) add(c[l], e[l], last - (n + l - (kImpulseLength - 1)), target[n + l]);
        DoubleLanes correlation[4], energy[4];
        for (int l = 0; l < 4; ++l) {
            correlation[l] = __builtin_convertvector(c[l], DoubleLanes);
            energy[l] = __builtin_convertvector(e[l], DoubleLanes);
        }
        const DoubleLanes sumC = (correlation[0] + correlation[1]) + (correlation[2] + correlation[3]);
        const DoubleLanes sumE = (energy[0] + energy[1]) + (energy[2] + energy[3]);
        for (int k = 0; k < kLanes && first + k <= kLastLag; ++k) {
            C[first + k - kFirstLag] = sumC[k];
            D[first + k - kFirstLag] = 0.01 + sumE[k];
        }
    }
}

void lagCorrelationsNarrow(const float* target, const float* h, const float* history, double (&C)[kLagCount],
                           double (&D)[kLagCount]) {
    LongLagRows rows;
    shortLagCorrelations<correlateLagBatch>(target, h, history, C, D, rows);
    longLagCorrelations<Float4, DoubleLanes4>(target, h, history, rows, C, D);
}

#if defined(SONX_QCELP_AVX2)
SONX_QCELP_WIDE void lagCorrelationsWide(const float* target, const float* h, const float* history,
                                         double (&C)[kLagCount], double (&D)[kLagCount]) {
    LongLagRows rows;
    shortLagCorrelations<correlateLagBatchWide>(target, h, history, C, D, rows);
    longLagCorrelations<Float8, DoubleLanes8>(target, h, history, rows, C, D);
}
#endif

void lagCorrelations(const float* target, const float* h, const float* history, double (&C)[kLagCount],
                     double (&D)[kLagCount]) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return lagCorrelationsWide(target, h, history, C, D);
#endif
    lagCorrelationsNarrow(target, h, history, C, D);
}

// The best integer lag in minLag..maxLag, then the best half-sample lag
// j + 1/2 between lags j and j + 1, j < 140, in that order.
template <AnyBetter anyBetter>
SONX_QCELP_KERNEL void chooseLagBody(const double (&C)[kLagCount], const double (&D)[kLagCount], int32_t minLag,
                                     int32_t maxLag, bool halfSample, BestCandidate& best) {
    offerAll<anyBetter>(best, C + (minLag - kFirstLag), D + (minLag - kFirstLag), maxLag - minLag + 1, minLag, 0);
    if (!halfSample) return;
    const int32_t lastHalf = std::min(maxLag, kMaxHalfSampleLag);
    double halfC[kLagCount], halfD[kLagCount];
    // Four lags to a vector, each lane doing one lag's sums.
    typedef double Double4Lanes __attribute__((vector_size(32)));
    const Double4Lanes near = {kNearCorrelation, kNearCorrelation, kNearCorrelation, kNearCorrelation};
    const Double4Lanes far = {kFarCorrelation, kFarCorrelation, kFarCorrelation, kFarCorrelation};
    const Double4Lanes half = {0.5, 0.5, 0.5, 0.5};
    int32_t j = minLag;
    for (; j + 3 <= lastHalf; j += 4) {
        const int i = j - kFirstLag;
        Double4Lanes c0, c1, c2, c3, d0, d1;
        std::memcpy(&c0, C + i - 1, sizeof c0);
        std::memcpy(&c1, C + i, sizeof c1);
        std::memcpy(&c2, C + i + 1, sizeof c2);
        std::memcpy(&c3, C + i + 2, sizeof c3);
        std::memcpy(&d0, D + i, sizeof d0);
        std::memcpy(&d1, D + i + 1, sizeof d1);
        const Double4Lanes c = near * (c1 + c2) + far * (c0 + c3), d = half * (d0 + d1);
        std::memcpy(halfC + (j - minLag), &c, sizeof c);
        std::memcpy(halfD + (j - minLag), &d, sizeof d);
    }
    for (; j <= lastHalf; ++j) {
        const int i = j - kFirstLag;
        halfC[j - minLag] = kNearCorrelation * (C[i] + C[i + 1]) + kFarCorrelation * (C[i - 1] + C[i + 2]);
        halfD[j - minLag] = 0.5 * (D[i] + D[i + 1]);
    }
    offerAll<anyBetter>(best, halfC, halfD, lastHalf - minLag + 1, minLag, 2);
}

void chooseLagNarrow(const double (&C)[kLagCount], const double (&D)[kLagCount], int32_t minLag, int32_t maxLag,
                     bool halfSample, BestCandidate& best) {
    chooseLagBody<anyBetterNarrow>(C, D, minLag, maxLag, halfSample, best);
}

#if defined(SONX_QCELP_AVX2)
SONX_QCELP_WIDE void chooseLagWide(const double (&C)[kLagCount], const double (&D)[kLagCount], int32_t minLag,
                                   int32_t maxLag, bool halfSample, BestCandidate& best) {
    chooseLagBody<anyBetterWide>(C, D, minLag, maxLag, halfSample, best);
}
#endif

void chooseLag(const double (&C)[kLagCount], const double (&D)[kLagCount], int32_t minLag, int32_t maxLag,
               bool halfSample, BestCandidate& best) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return chooseLagWide(C, D, minLag, maxLag, halfSample, best);
#endif
    chooseLagNarrow(C, D, minLag, maxLag, halfSample, best);
}

}  // namespace

void zeroInputResponse(const float coeffs[kLpcOrder], const FilterState& filter, float* out, int n) {
    FilterState f = filter;
    f.order = kLpcOrder;
    std::copy(coeffs, coeffs + kLpcOrder, f.coeffs);
    std::fill(out, out + n, 0.0f);
    allPoleFilterBlocks(out, out, n, f);
}

void impulseResponse(const float coeffs[kLpcOrder], float h[kImpulseLength]) {
    FilterState f;  // zero memory
    f.order = kLpcOrder;
    std::copy(coeffs, coeffs + kLpcOrder, f.coeffs);
    std::fill(h, h + kImpulseLength, 0.0f);
    h[0] = 1.0f;
    allPoleFilterBlocks(h, h, kImpulseLength, f);
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
    lagCorrelations(target, h, local.mainPitch.history(), C, D);

    const int32_t minLag = std::max(record.minLag, kMinPitchLag);
    const int32_t maxLag = std::min(record.maxLag, kMaxPitchLag);
    BestCandidate best;
    chooseLag(C, D, minLag, maxLag, config.halfSamplePitch != 0, best);

    float gain = 0.0f;
    const uint32_t gainCode = best.lag ? quantizePitchGain(static_cast<float>(best.c / best.d), gain) : 0u;
    record.params = gain > 0.0f ? encodePitchLag(best.lag, best.fraction, gainCode) : encodePitchLag(0, 0, 0);
}

void pitchContribution(const PitchFilterState& memory, const PitchParams& pitch, float* out, int n) {
    std::fill(out, out + n, 0.0f);
    pitchFilterWith(out, out, n, memory, pitch.lag, pitch.fraction, pitch.gain);
}

}  // namespace sonx
