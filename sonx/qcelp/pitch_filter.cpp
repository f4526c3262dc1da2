#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/tables.h"

namespace sonx {

void initPitchFilter(PitchFilterState& filter) {
    filter = PitchFilterState{};
}

namespace {

// The newest outputs of a call replace the oldest history.
void shiftIn(float* history, const float* y, int len) {
    constexpr int H = kPitchHistory;
    if (len >= H) {
        std::memcpy(history, y + len - H, sizeof(float) * H);
        return;
    }
    std::memmove(history, history + len, sizeof(float) * (H - len));
    std::memcpy(history + H - len, y, sizeof(float) * len);
}

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

// out[n] = x[n] + round(gain * y[n - lag]). y is either out itself, after
// the history, or the end of the history when no read reaches this block.
void integerLag(const float* in, const float* y, float* out, int len, int lag, float gain) {
    int n = 0;
#if defined(__SSE2__)
    // Four at a time while the reads stay behind the writes.
    if (lag >= 4) {
        const __m128 g = _mm_set1_ps(gain);
        for (; n + 4 <= len; n += 4) {
            const __m128 c = roundToIntF4(_mm_mul_ps(g, _mm_loadu_ps(y + n - lag)));
            _mm_storeu_ps(out + n, _mm_add_ps(_mm_loadu_ps(in + n), c));
        }
    }
#endif
    for (; n < len; ++n) out[n] = in[n] + roundToIntF(gain * y[n - lag]);
}

// out[n] = x[n] + gain * (8 taps around y[n - lag - 0.5]), y as for
// integerLag; lag is at least 4, so four outputs never read each other.
void halfLag(const float* in, const float* y, float* out, int len, int lag, float gain) {
    const float* t = halfSampleTaps;
    int n = 0;
#if defined(__SSE2__)
    const __m128 g = _mm_set1_ps(gain);
    for (; lag >= 8 && n + 4 <= len; n += 4) {
        const float* p = y + n - lag - 4;
        __m128 acc = _mm_mul_ps(_mm_set1_ps(t[0]), _mm_loadu_ps(p));
        for (int j = 1; j < kHalfSampleTaps; ++j)
            acc = _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(t[j]), _mm_loadu_ps(p + j)));
        _mm_storeu_ps(out + n, _mm_add_ps(_mm_loadu_ps(in + n), _mm_mul_ps(g, acc)));
    }
#endif
    for (; n < len; ++n) {
        const float* p = y + n - lag - 4;
        float acc = t[0] * p[0];
        for (int j = 1; j < kHalfSampleTaps; ++j) acc += t[j] * p[j];
        out[n] = in[n] + gain * acc;
    }
}

}  // namespace

void pitchFilter(const float* in, float* out, int length, PitchFilterState& filter, bool update) {
    constexpr int H = kPitchHistory;
    const int lag = filter.lag;
    const float gain = filter.gain;
    const bool half = filter.fraction == 2;
    // A zero gain must not touch the memory at all: with lag 0 the read would
    // be the very sample being written.
    bool active = gain != 0.0f;
    if (half)
        active = active && lag >= 4 && lag + 4 <= H;
    else
        active = active && lag >= 1 && lag <= H;

    if (!active) {
        if (update) {
            float y[kFrameSamples];
            // Output equals input; the history still advances (in chunks, for long blocks).
            for (int done = 0; done < length;) {
                const int len = std::min(length - done, kFrameSamples);
                std::copy(in + done, in + done + len, y);
                std::copy(y, y + len, out + done);
                shiftIn(filter.history, y, len);
                done += len;
            }
        } else if (out != in) {
            std::copy(in, in + length, out);
        }
        return;
    }

    // When every read falls in the history, the outputs go straight out.
    const int reach = half ? lag - 3 : lag;  // the newest sample read is y[n - reach]
    if (length <= reach) {
        const float* y = filter.history + H;
        if (half)
            halfLag(in, y, out, length, lag, gain);
        else
            integerLag(in, y, out, length, lag, gain);
        if (update) shiftIn(filter.history, out, length);
        return;
    }

    // History followed by this chunk's outputs, so lags shorter than the
    // block read the block's own new outputs.
    float buf[H + kFrameSamples];
    std::memcpy(buf, filter.history, sizeof filter.history);
    while (length > 0) {
        const int len = std::min(length, kFrameSamples);
        float* y = buf + H;
        if (half)
            halfLag(in, y, y, len, lag, gain);
        else
            integerLag(in, y, y, len, lag, gain);
        std::copy(y, y + len, out);
        if (update) shiftIn(filter.history, y, len);
        if (len < length) std::memmove(buf, buf + len, sizeof(float) * H);
        in += len;
        out += len;
        length -= len;
    }
}

}  // namespace sonx
