#include <algorithm>
#include <cstring>

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/tables.h"

namespace sonx {

void initPitchFilter(PitchFilterState& filter) { filter = PitchFilterState{}; }

void pitchFilter(const float* in, float* out, int length, PitchFilterState& filter, bool update) {
    constexpr int H = kPitchHistory;
    constexpr int kChunk = kFrameSamples;
    // History followed by this chunk's outputs, so lags shorter than the
    // block read the block's own new outputs.
    float buf[H + kChunk];
    std::memcpy(buf, filter.history, sizeof filter.history);

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

    while (length > 0) {
        const int len = std::min(length, kChunk);
        float* y = buf + H;
        if (!active) {
            for (int n = 0; n < len; ++n) y[n] = in[n];
        } else if (!half) {
            for (int n = 0; n < len; ++n) y[n] = in[n] + roundToIntF(gain * y[n - lag]);
        } else {
            const float* t = halfSampleTaps;
            for (int n = 0; n < len; ++n) {
                const float* p = y + n - lag - 4;
                float acc = t[0] * p[0];
                for (int j = 1; j < kHalfSampleTaps; ++j) acc += t[j] * p[j];
                y[n] = in[n] + gain * acc;
            }
        }
        std::copy(y, y + len, out);
        // Keep the newest H samples at the front for the next chunk.
        std::memmove(buf, buf + len, sizeof(float) * H);
        in += len;
        out += len;
        length -= len;
    }
    if (update) std::memcpy(filter.history, buf, sizeof filter.history);
}

}  // namespace sonx
