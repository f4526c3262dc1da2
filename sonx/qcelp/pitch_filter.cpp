#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/tables.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {

void initPitchFilter(PitchFilterState& filter) {
    filter = PitchFilterState{};
}

namespace {

#if defined(__SSE2__)
// roundToIntF on four lanes, bit for bit.
inline __m128 roundToIntF4(__m128 x) {
    const __m128 limit = _mm_set1_ps(8388608.0f);
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 small = _mm_cmplt_ps(_mm_and_ps(x, absMask), limit);  // false for NaN
    const __m128 xs = _mm_and_ps(x, small);
    const __m128 t = _mm_cvtepi32_ps(_mm_cvttps_epi32(xs));
    const __m128 up =
        _mm_and_ps(_mm_cmpgt_ps(xs, _mm_setzero_ps()), _mm_cmpge_ps(_mm_sub_ps(xs, t), _mm_set1_ps(0.5f)));
    const __m128 r = _mm_add_ps(t, _mm_and_ps(up, _mm_set1_ps(1.0f)));
    return _mm_or_ps(_mm_and_ps(small, r), _mm_andnot_ps(small, x));
}
#endif

// out[n] = x[n] + round(gain * y[n - lag]), written to copy[n] too (the
// history and the caller's output both want the block; copy may be out).
// y is either out itself, after the history, or the end of the history
// when no read reaches this block. `from` outputs are done already.
void integerLag(const float* in, const float* y, float* out, float* copy, int len, int lag, float gain,
                int from = 0) {
    int n = from;
#if defined(__SSE2__)
    // Four at a time while the reads stay behind the writes.
    if (lag >= 4) {
        const __m128 g = _mm_set1_ps(gain);
        for (; n + 4 <= len; n += 4) {
            const __m128 c = roundToIntF4(_mm_mul_ps(g, _mm_loadu_ps(y + n - lag)));
            const __m128 v = _mm_add_ps(_mm_loadu_ps(in + n), c);
            _mm_storeu_ps(out + n, v);
            _mm_storeu_ps(copy + n, v);
        }
    }
#endif
    for (; n < len; ++n) copy[n] = out[n] = in[n] + roundToIntF(gain * y[n - lag]);
}

// out[n] = x[n] + gain * (8 taps around y[n - lag - 0.5]), y as for
// integerLag; lag is at least 4, so four outputs never read each other.
void halfLag(const float* in, const float* y, float* out, float* copy, int len, int lag, float gain,
             int from = 0) {
    const float* t = halfSampleTaps;
    int n = from;
#if defined(__SSE2__)
    const __m128 g = _mm_set1_ps(gain);
    for (; lag >= 8 && n + 4 <= len; n += 4) {
        const float* p = y + n - lag - 4;
        __m128 acc = _mm_mul_ps(_mm_set1_ps(t[0]), _mm_loadu_ps(p));
        for (int j = 1; j < kHalfSampleTaps; ++j)
            acc = _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(t[j]), _mm_loadu_ps(p + j)));
        const __m128 v = _mm_add_ps(_mm_loadu_ps(in + n), _mm_mul_ps(g, acc));
        _mm_storeu_ps(out + n, v);
        _mm_storeu_ps(copy + n, v);
    }
#endif
    for (; n < len; ++n) {
        const float* p = y + n - lag - 4;
        float acc = t[0] * p[0];
        for (int j = 1; j < kHalfSampleTaps; ++j) acc += t[j] * p[j];
        copy[n] = out[n] = in[n] + gain * acc;
    }
}

#if defined(SONX_QCELP_AVX2)
// Before a wide form hands its tail to the SSE one: the compiler may jump
// there without clearing the vectors' upper halves, and SSE code run with
// them dirty waits on each register's old value, there and in all the code
// after it.
SONX_QCELP_WIDE inline void finishNarrow() {
    _mm256_zeroupper();
}

// integerLag and halfLag eight outputs at a time where the reads stay
// behind the writes, each output formed as there.
SONX_QCELP_WIDE void integerLagWide(const float* in, const float* y, float* out, float* copy, int len, int lag,
                                    float gain) {
    int n = 0;
    if (lag >= 8) {
        const __m256 g = _mm256_set1_ps(gain);
        const __m256 limit = _mm256_set1_ps(8388608.0f), half = _mm256_set1_ps(0.5f), one = _mm256_set1_ps(1.0f);
        const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
        for (; n + 8 <= len; n += 8) {
            const __m256 x = _mm256_mul_ps(g, _mm256_loadu_ps(y + n - lag));
            const __m256 small = _mm256_cmp_ps(_mm256_and_ps(x, absMask), limit, _CMP_LT_OQ);  // false for NaN
            const __m256 xs = _mm256_and_ps(x, small);
            const __m256 t = _mm256_cvtepi32_ps(_mm256_cvttps_epi32(xs));
            const __m256 up = _mm256_and_ps(_mm256_cmp_ps(xs, _mm256_setzero_ps(), _CMP_GT_OQ),
                                            _mm256_cmp_ps(_mm256_sub_ps(xs, t), half, _CMP_GE_OQ));
            const __m256 r = _mm256_add_ps(t, _mm256_and_ps(up, one));
            const __m256 c = _mm256_or_ps(_mm256_and_ps(small, r), _mm256_andnot_ps(small, x));
            const __m256 v = _mm256_add_ps(_mm256_loadu_ps(in + n), c);
            _mm256_storeu_ps(out + n, v);
            _mm256_storeu_ps(copy + n, v);
        }
    }
    if (n == len) return;
    finishNarrow();
    integerLag(in, y, out, copy, len, lag, gain, n);
}

SONX_QCELP_WIDE void halfLagWide(const float* in, const float* y, float* out, float* copy, int len, int lag,
                                 float gain) {
    const float* t = halfSampleTaps;
    int n = 0;
    const __m256 g = _mm256_set1_ps(gain);
    for (; lag >= 12 && n + 8 <= len; n += 8) {
        const float* p = y + n - lag - 4;
        __m256 acc = _mm256_mul_ps(_mm256_set1_ps(t[0]), _mm256_loadu_ps(p));
        for (int j = 1; j < kHalfSampleTaps; ++j)
            acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_set1_ps(t[j]), _mm256_loadu_ps(p + j)));
        const __m256 v = _mm256_add_ps(_mm256_loadu_ps(in + n), _mm256_mul_ps(g, acc));
        _mm256_storeu_ps(out + n, v);
        _mm256_storeu_ps(copy + n, v);
    }
    if (n == len) return;
    finishNarrow();
    halfLag(in, y, out, copy, len, lag, gain, n);
}
#endif

// The pitch filter's reads of one block, in the widest form this CPU runs,
// chosen once when the library is loaded.
typedef void LagRead(const float* in, const float* y, float* out, float* copy, int len, int lag, float gain);
struct LagReads {
    LagRead* integer;
    LagRead* half;
};

constexpr LagReads kNarrowReads = {
    [](const float* in, const float* y, float* out, float* copy, int len, int lag, float gain) {
        integerLag(in, y, out, copy, len, lag, gain);
    },
    [](const float* in, const float* y, float* out, float* copy, int len, int lag, float gain) {
        halfLag(in, y, out, copy, len, lag, gain);
    },
};

#if defined(SONX_QCELP_AVX2)
constexpr LagReads kWideReads = {integerLagWide, halfLagWide};
#endif

const LagReads& chooseLagReads() {
#if defined(SONX_QCELP_AVX2)
    return cpuHasAvx2() ? kWideReads : kNarrowReads;
#else
    return kNarrowReads;
#endif
}

// Null only for a call from another file's static initialiser, made
// before this one has run.
const LagReads* const kLagReads = &chooseLagReads();

inline void lagBlock(bool half, const float* in, const float* y, float* out, float* copy, int len, int lag,
                     float gain) {
    const LagReads& reads = kLagReads ? *kLagReads : chooseLagReads();
    (half ? reads.half : reads.integer)(in, y, out, copy, len, lag, gain);
}

// A zero gain must not touch the memory at all: with lag 0 the read would
// be the very sample being written.
inline bool pitchActive(int32_t lag, int32_t fraction, float gain) {
    if (gain == 0.0f) return false;
    return fraction == 2 ? lag >= 4 && lag + 4 <= kPitchHistory : lag >= 1 && lag <= kPitchHistory;
}

// The pitch filter of `length` outputs (at most a frame) over the history
// that ends at y[0]; the outputs are written to y as well as to out, both
// as they are formed.
SONX_QCELP_KERNEL void pitchFilterInto(const float* in, float* y, float* out, int length, int32_t lag,
                                       int32_t fraction, float gain) {
    if (!pitchActive(lag, fraction, gain)) {
        std::copy(in, in + length, y);
        if (out != in) std::copy(in, in + length, out);
        return;
    }
    const bool half = fraction == 2;
    const int reach = half ? lag - 3 : lag;  // the newest sample read is y[n - reach]
    // When no read reaches the block, y is read only behind it.
    if (length <= reach) return lagBlock(half, in, y, out, y, length, lag, gain);
    lagBlock(half, in, y, y, out, length, lag, gain);
}

}  // namespace

void pitchFilter(const float* in, float* out, int length, PitchFilterState& filter, bool update) {
    if (!update) return pitchFilterWith(in, out, length, filter, filter.lag, filter.fraction, filter.gain);
    constexpr int H = kPitchHistory;
    while (length > 0) {
        const int len = std::min(length, kFrameSamples);
        if (filter.historyEnd + len > kPitchBufferLength) {
            std::memmove(filter.buffer, filter.history(), sizeof(float) * H);
            filter.historyEnd = H;
        }
        pitchFilterInto(in, filter.buffer + filter.historyEnd, out, len, filter.lag, filter.fraction,
                        filter.gain);
        filter.historyEnd += len;
        in += len;
        out += len;
        length -= len;
    }
}

void pitchFilterWith(const float* in, float* out, int length, const PitchFilterState& filter, int32_t lag,
                     int32_t fraction, float gain) {
    if (!pitchActive(lag, fraction, gain)) {
        if (out != in) std::copy(in, in + length, out);
        return;
    }
    // When every read falls in the history, the outputs go straight out.
    const bool half = fraction == 2;
    const int reach = half ? lag - 3 : lag;  // the newest sample read is y[n - reach]
    if (length <= reach) return lagBlock(half, in, filter.history() + kPitchHistory, out, out, length, lag, gain);
    float buf[kPitchHistory + kFrameSamples];
    std::memcpy(buf, filter.history(), sizeof(float) * kPitchHistory);
    float* y = buf + kPitchHistory;
    while (length > 0) {
        const int len = std::min(length, kFrameSamples);
        pitchFilterInto(in, y, out, len, lag, fraction, gain);
        if (len < length) std::memmove(buf, buf + len, sizeof(float) * kPitchHistory);
        in += len;
        out += len;
        length -= len;
    }
}

}  // namespace sonx
