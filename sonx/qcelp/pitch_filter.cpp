#include <algorithm>
#include <cstring>

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/tables.h"

namespace sonx {

void initPitchFilter(PitchFilterState& filter) { filter = PitchFilterState{}; }

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

    // History followed by this chunk's outputs, so lags shorter than the
    // block read the block's own new outputs.
    float buf[H + kFrameSamples];
    std::memcpy(buf, filter.history, sizeof filter.history);
    while (length > 0) {
        const int len = std::min(length, kFrameSamples);
        float* y = buf + H;
        if (!half) {
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
        if (update) shiftIn(filter.history, y, len);
        if (len < length) std::memmove(buf, buf + len, sizeof(float) * H);
        in += len;
        out += len;
        length -= len;
    }
}

}  // namespace sonx
