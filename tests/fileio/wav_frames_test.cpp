#include "sonx/fileio/wav_frames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "sonx/codec/mulaw_codec.h"
#include "support/riff_image.h"

namespace sonx {
namespace {

std::vector<uint8_t> le(uint64_t v, int bytes) {
    std::vector<uint8_t> out;
    test::appendLe(out, v, bytes);
    return out;
}

std::vector<uint8_t> f32(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return le(u, 4);
}

std::vector<uint8_t> f64(double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    return le(u, 8);
}

int16_t mix(FrameEncoding encoding, uint16_t sampleBytes, const std::vector<std::vector<uint8_t>>& channels) {
    std::vector<uint8_t> frame;
    for (const auto& c : channels) frame.insert(frame.end(), c.begin(), c.end());
    const WavFrames frames{encoding, static_cast<uint16_t>(channels.size()), sampleBytes};
    uint8_t out[2];
    framesToMono16(frames, frame.data(), 1, out);
    return static_cast<int16_t>(out[0] | out[1] << 8);
}

TEST(WavFrames, MixDownAveragesRoundsAndClips) {
    using E = FrameEncoding;
    const struct {
        const char* what;
        E encoding;
        uint16_t bytes;
        std::vector<std::vector<uint8_t>> channels;
        int16_t expected;
    } cases[] = {
        {"8-bit unsigned", E::Integer, 1, {{0x00}, {0xFF}}, -128},  // (-32768 + 32512) / 2
        {"16-bit full scale, no overflow", E::Integer, 2, {le(0x7FFF, 2), le(0x7FFF, 2)}, 32767},
        {"16-bit half step: ties to even", E::Integer, 2, {le(0x8000, 2), le(0x7FFF, 2)}, 0},
        {"24-bit rounds to nearest", E::Integer, 3, {le(0x000180, 3)}, 2},       // 1.5 -> 2
        {"24-bit rounds down below half", E::Integer, 3, {le(0x00017F, 3)}, 1},  // 1.496
        {"24-bit negative", E::Integer, 3, {le(0xFFFE80, 3)}, -2},               // -1.5 -> -2
        {"24-bit top clips", E::Integer, 3, {le(0x7FFFFF, 3)}, 32767},           // 32767.996
        {"32-bit bottom", E::Integer, 4, {le(0x80000000, 4)}, -32768},
        {"32-bit three channels", E::Integer, 4, {le(3 << 16, 4), le(3 << 16, 4), le(4 << 16, 4)}, 3},
        {"float half scale", E::Float, 4, {f32(0.5f)}, 16384},
        {"float beyond full scale clips", E::Float, 4, {f32(1.5f), f32(1.5f)}, 32767},
        {"float below full scale clips", E::Float, 8, {f64(-2.0)}, -32768},
        {"float channels cancel", E::Float, 8, {f64(0.75), f64(-0.75)}, 0},
        {"not a number is silence", E::Float, 4, {f32(std::numeric_limits<float>::quiet_NaN())}, 0},
        {"A-law smallest positive", E::ALaw, 1, {{0xD5}}, 8},
        {"A-law smallest negative", E::ALaw, 1, {{0x55}}, -8},
        {"A-law largest", E::ALaw, 1, {{0xAA}}, 32256},
        {"A-law most negative", E::ALaw, 1, {{0x2A}}, -32256},
        {"mu-law stereo", E::MuLaw, 1, {{muLawEncode(1000)}, {muLawEncode(-1000)}}, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(mix(c.encoding, c.bytes, c.channels), c.expected) << c.what;
}

}  // namespace
}  // namespace sonx
