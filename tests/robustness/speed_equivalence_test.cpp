// Paths rewritten for speed give exactly what the plain arithmetic gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "sonx/codec/qcelp_codec.h"

namespace sonx {
namespace {

TEST(SpeedEquivalence, FrameToPcmMatchesSampleBySample) {
    std::vector<float> frame;
    const float inf = std::numeric_limits<float>::infinity();
    const float specials[] = {0.0f,    -0.0f,    0.9f,     -0.9f,     0.25f,
                              -0.25f,  8191.0f,  -8191.0f, 8191.5f,   -8191.5f,
                              9000.5f, -9000.5f, inf,      -inf,      std::numeric_limits<float>::quiet_NaN(),
                              1e30f,   -1e30f,   1e-30f,   8190.999f, -8190.999f};
    for (float v : specials) frame.push_back(v);
    uint32_t seed = 3;
    while (frame.size() < 160 * 8) {
        seed = seed * 1664525u + 1013904223u;
        frame.push_back((static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * 10000.0f);
    }
    for (size_t f = 0; f < frame.size(); f += 160) {
        uint8_t bytes[320];
        qcelpFrameToPcm16(&frame[f], bytes);
        for (int n = 0; n < 160; ++n) {
            const int16_t got = static_cast<int16_t>(bytes[2 * n] | bytes[2 * n + 1] << 8);
            ASSERT_EQ(got, qcelpSampleToPcm16(frame[f + n])) << "sample " << frame[f + n];
        }
    }
}

}  // namespace
}  // namespace sonx
