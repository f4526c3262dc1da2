#include "sonx/qcelp/decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "qcelp/qcelp_test_util.h"
#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/packet_layout.h"
#include "sonx/qcelp/tables.h"

namespace sonx {
namespace {

using test::buildPayload;
using test::plausibleLspCodes;
using test::voicedFullRate;

QcelpPacket packetOf(int octet,
                     const std::vector<uint8_t>& payload = std::vector<uint8_t>(kPayloadBytes, 0)) {
    QcelpPacket p;
    p.rateOctet = static_cast<uint8_t>(octet);
    std::memcpy(p.payload, payload.data(), kPayloadBytes);
    return p;
}

QcelpPacket packetOf(int rate, const QcelpParams& params) {
    return packetOf(rate, buildPayload(rate, params));
}

QcelpParams eighthRate(uint32_t gainCode, uint32_t lspBits) {
    QcelpParams p{};
    for (int i = 0; i < 10; ++i) p.lsp[i] = (lspBits >> i) & 1u;
    p.cbGain[0] = gainCode;
    return p;
}

QcelpParams quarterRate() {
    QcelpParams p = plausibleLspCodes();
    const uint32_t gains[5] = {6, 7, 8, 8, 7};
    for (int i = 0; i < 5; ++i) p.cbGain[i] = gains[i];
    return p;
}

QcelpParams halfRate() {
    QcelpParams p = plausibleLspCodes();
    for (int s = 0; s < 4; ++s) {
        p.pitchLag[s] = 50 - 16;
        p.pitchFrac[s] = s & 1;
        p.pitchGain[s] = 2;
        p.cbIndex[s] = 17 * s;
        p.cbGain[s] = 6;
        p.cbSign[s] = s == 2;
    }
    return p;
}

struct Decoder {
    QcelpConfig config;
    QcelpDecoderState state;
    float out[kFrameSamples];
    Decoder() { initDecoderState(state); }
    const float* decode(QcelpPacket p) {
        decodeFrame(out, p, config, state);
        lastRate = p.rate;
        return out;
    }
    double energy() const {
        double e = 0;
        for (float v : out) e += double(v) * v;
        return e;
    }
    bool finite() const {
        for (float v : out)
            if (!std::isfinite(v)) return false;
        return true;
    }
    int lastRate = -1;
};

TEST(Decoder, EveryRateMakesFiniteSpeech) {
    Decoder d;
    const QcelpPacket packets[] = {packetOf(4, voicedFullRate()),
                                   packetOf(3, halfRate()),
                                   packetOf(2, quarterRate()),
                                   packetOf(1, eighthRate(3, 0x2A5)),
                                   packetOf(0),
                                   packetOf(14)};
    for (const QcelpPacket& p : packets) {
        d.decode(p);
        EXPECT_EQ(d.lastRate, p.rateOctet);
        EXPECT_TRUE(d.finite());
        EXPECT_GT(d.energy(), 0.0) << int(p.rateOctet);
        EXPECT_TRUE(decoderStateIsFinite(d.state));
    }
}

TEST(Decoder, NoiseSeedsRunThroughTheWholeFrame) {
    Decoder d;
    QcelpPacket eighth = packetOf(1, eighthRate(2, 0x155));
    const uint16_t seed = static_cast<uint16_t>(eighth.payload[0] << 8 | eighth.payload[1]);
    d.decode(eighth);
    uint16_t want = seed;
    for (int i = 0; i < 160; ++i) nextNoise(want);
    EXPECT_EQ(d.state.noiseSeed, want);

    QcelpPacket quarter = packetOf(2, quarterRate());
    want = quarterRateSeed(quarter.payload);
    for (int i = 0; i < 160; ++i) nextNoise(want);
    d.decode(quarter);
    EXPECT_EQ(d.lastRate, kRateQuarter);
    EXPECT_EQ(d.state.noiseSeed, want);
    EXPECT_EQ(d.state.carriedGain, gainTable[28]);  // K = |g4|, code 7

    d.decode(packetOf(4, voicedFullRate()));
    EXPECT_EQ(d.state.noiseSeed, 0);
}

TEST(Decoder, ErasuresCapThePitchGainStepByStep) {
    Decoder d;
    QcelpParams loud = voicedFullRate();
    for (auto& g : loud.pitchGain) g = 7;  // 2.0
    d.decode(packetOf(4, loud));
    EXPECT_EQ(d.state.previousPitchGain, 2.0f);
    const float caps[5] = {0.8984375f, 0.6015625f, 0.30078125f, 0.0f, 0.0f};
    for (float cap : caps) {
        d.decode(packetOf(14));
        EXPECT_EQ(d.state.previousPitchGain, cap);
        EXPECT_EQ(d.state.previousLag, 40);
    }
    EXPECT_EQ(d.state.erasureCount, 3);
}

TEST(Decoder, ErasureGainIndexDecays) {
    Decoder d;
    d.decode(packetOf(4, voicedFullRate()));
    const int start = d.state.gainIndex[0];
    ASSERT_GT(start, 13);
    d.decode(packetOf(14));  // c = 0
    EXPECT_EQ(d.state.gainIndex[0], start);
    d.decode(packetOf(14));  // c = 1
    EXPECT_EQ(d.state.gainIndex[0], start - 1);
    d.decode(packetOf(14));  // c = 2
    EXPECT_EQ(d.state.gainIndex[0], start - 3);
    d.decode(packetOf(14));  // c = 3: twice as fast
    EXPECT_EQ(d.state.gainIndex[0], start - 9);
    for (int i = 0; i < 10; ++i) d.decode(packetOf(14));
    EXPECT_EQ(d.state.gainIndex[0], 0);
}

TEST(Decoder, BlankFramesContinueThePitchAndKeepTheErasureCount) {
    Decoder d;
    QcelpParams loud = voicedFullRate();
    for (auto& g : loud.pitchGain) g = 7;
    d.decode(packetOf(4, loud));
    float before[kFrameSamples];
    std::memcpy(before, d.out, sizeof before);
    d.decode(packetOf(0));
    EXPECT_EQ(d.state.previousPitchGain, 1.0f);
    EXPECT_EQ(d.state.carriedGain, 0.0f);
    EXPECT_GT(d.energy(), 0.0);

    d.decode(packetOf(14));
    d.decode(packetOf(0));
    EXPECT_EQ(d.state.erasureCount, 1);
    d.decode(packetOf(14));
    EXPECT_EQ(d.state.erasureCount, 2);
    d.decode(packetOf(1, eighthRate(1, 0)));
    EXPECT_EQ(d.state.erasureCount, 0);
}

TEST(Decoder, EighthRateAfterSilenceRampsToHalfItsGain) {
    Decoder d;
    ASSERT_EQ(d.state.carriedGain, 0.0f);
    d.decode(packetOf(1, eighthRate(3, 0x3FF)));
    // Index history (0, 0): centre 4, code 3 adds 2.
    EXPECT_EQ(d.state.carriedGain, gainTable[6] / 2.0f);
    EXPECT_EQ(d.state.gainIndex[0], 6);
    EXPECT_EQ(d.state.eighthRateRun, 1);
}

// After more than nine eighth-rate frames the LSP smoothing leans 0.9 on the
// previous frame; a quarter-rate frame ends the run.
TEST(Decoder, LongEighthRateRunsSwitchTheSmoothing) {
    Decoder d;
    for (int i = 0; i < 10; ++i) {
        d.decode(packetOf(1, eighthRate(1, i & 1 ? 0x3FF : 0x000)));
        if (i == 4) {
            d.decode(packetOf(0));  // blank frames and erasures do not end the run
            d.decode(packetOf(14));
        }
    }
    ASSERT_EQ(d.state.eighthRateRun, 10);
    const QcelpParams next = eighthRate(1, 0x3FF);
    // The unsmoothed LSPs of the next frame, from a copy decoding with weight 0.125.
    QcelpDecoderState probe = d.state;
    probe.eighthRateRun = 0;
    float light[kLpcOrder];
    decodeLsp(1, next, probe, light);
    float prev[kLpcOrder];
    std::memcpy(prev, d.state.previousLsp, sizeof prev);
    d.decode(packetOf(1, next));
    for (int i = 0; i < kLpcOrder; ++i) {
        const float raw = (light[i] - 0.125f * prev[i]) / 0.875f;
        EXPECT_NEAR(d.state.previousLsp[i], 0.9f * prev[i] + 0.1f * raw, 1e-5f) << i;
    }
    d.decode(packetOf(2, quarterRate()));
    EXPECT_EQ(d.state.eighthRateRun, 0);
}

bool sameState(const QcelpDecoderState& a, const QcelpDecoderState& b) {
    return std::memcmp(a.mainPitch.history(), b.mainPitch.history(), sizeof(float) * kPitchHistory) == 0 &&
           std::memcmp(a.lpcSynthesis.memory, b.lpcSynthesis.memory, sizeof a.lpcSynthesis.memory) == 0 &&
           std::memcmp(a.previousLsp, b.previousLsp, sizeof a.previousLsp) == 0 &&
           std::memcmp(a.lspMemory, b.lspMemory, sizeof a.lspMemory) == 0 &&
           a.gainIndex[0] == b.gainIndex[0] && a.erasureCount == b.erasureCount &&
           a.noiseSeed == b.noiseSeed && a.carriedGain == b.carriedGain && a.previousRate == b.previousRate &&
           a.postFilterGain == b.postFilterGain;
}

TEST(Decoder, FailedChecksDecodeExactlyLikeAnErasure) {
    QcelpParams badLsp = halfRate();
    const uint32_t crowded[5] = {6, 0, 72, 10, 23};
    for (int i = 0; i < 5; ++i) badLsp.lsp[i] = crowded[i];
    QcelpParams badGains = quarterRate();
    badGains.cbGain[1] = 15;  // a step of 15 from 0
    badGains.cbGain[0] = 0;
    for (const auto& [rate, params] : {std::pair{3, badLsp}, std::pair{2, badGains}}) {
        Decoder a, b;
        a.decode(packetOf(4, voicedFullRate()));
        b.decode(packetOf(4, voicedFullRate()));
        a.decode(packetOf(rate, params));
        b.decode(packetOf(14));
        EXPECT_EQ(a.lastRate, kRateErasure);
        EXPECT_EQ(std::memcmp(a.out, b.out, sizeof a.out), 0) << rate;
        EXPECT_TRUE(sameState(a.state, b.state)) << rate;
    }
}

// A run of pitch gain 2.0 diverges to infinity; the decoder must start
// afresh and decode the ordinary packets that follow.
TEST(Decoder, RecoversFromADivergingRun) {
    QcelpParams wild = voicedFullRate();
    for (int s = 0; s < 4; ++s) {
        wild.pitchGain[s] = 7;
        wild.pitchLag[s] = 20 - 16;
    }
    for (auto& g : wild.cbGain) g = 15;
    QcelpParams calm = voicedFullRate();
    for (auto& g : calm.pitchGain) g = 1;  // 0.5

    Decoder d;
    int nonFiniteFrames = 0;
    for (int i = 0; i < 300; ++i) {
        d.decode(packetOf(4, wild));
        nonFiniteFrames += !d.finite();
        ASSERT_TRUE(decoderStateIsFinite(d.state)) << i;
    }
    EXPECT_GT(nonFiniteFrames, 0) << "the run should have diverged";

    Decoder fresh;
    for (int i = 0; i < 200; ++i) {
        d.decode(packetOf(4, calm));
        fresh.decode(packetOf(4, calm));
    }
    ASSERT_TRUE(d.finite());
    double diff = 0, level = 0;
    for (int n = 0; n < kFrameSamples; ++n) {
        diff = std::max(diff, double(std::fabs(d.out[n] - fresh.out[n])));
        level = std::max(level, double(std::fabs(fresh.out[n])));
    }
    EXPECT_GT(level, 1.0);
    EXPECT_LT(diff, 1e-3 * level);
}

// Lag 0 after eighth and quarter rate meets blank frames and erasures.
TEST(Decoder, ZeroLagAfterNoiseFramesStaysClean) {
    Decoder d;
    for (int first : {1, 2}) {
        d.decode(first == 1 ? packetOf(1, eighthRate(2, 0x0F0)) : packetOf(2, quarterRate()));
        EXPECT_EQ(d.state.previousLag, 0);
        d.decode(packetOf(0));
        EXPECT_TRUE(d.finite());
        d.decode(packetOf(14));
        EXPECT_TRUE(d.finite());
    }
}

TEST(Decoder, ArbitraryPacketsNeverBreakTheState) {
    std::mt19937 rng(77);
    Decoder d;
    const uint8_t octets[] = {0, 1, 2, 3, 4, 14, 5, 255};
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> payload(kPayloadBytes);
        for (auto& b : payload) b = static_cast<uint8_t>(rng());
        d.decode(packetOf(octets[rng() % 8], payload));
        ASSERT_TRUE(decoderStateIsFinite(d.state)) << i;
    }
}

}  // namespace
}  // namespace sonx
