#include "sonx/qcelp/pitch_search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <span>

namespace sonx {
namespace {

TEST(PitchSearch, GainQuantiserRoundsDownToQuarterSteps) {
    struct Case {
        float b;
        uint32_t code;
        float gain;
    } cases[] = {{0.249f, 0, 0.0f}, {0.25f, 0, 0.25f},        {0.74f, 1, 0.5f},
                 {1.99f, 6, 1.75f}, {2.0f, 7, 2.0f},          {5.0f, 7, 2.0f},
                 {-3.0f, 0, 0.0f},  {std::nanf(""), 0, 0.0f}, {1e30f, 7, 2.0f}};
    for (const Case& c : cases) {
        float gain = -1.0f;
        EXPECT_EQ(quantizePitchGain(c.b, gain), c.code) << c.b;
        EXPECT_EQ(gain, c.gain) << c.b;
    }
}

TEST(PitchSearch, LagCodesAndWhatTheDecoderReadsBack) {
    PitchParams none = encodePitchLag(0, 0, 0);
    EXPECT_EQ(none.lagCode, 0u);
    EXPECT_EQ(none.lag, 143);
    EXPECT_EQ(none.gain, 0.0f);
    PitchParams p = encodePitchLag(17, 0, 0);
    EXPECT_EQ(p.lagCode, 1u);
    EXPECT_EQ(p.gain, 0.25f);  // code 0 with a lag is the smallest gain
    p = encodePitchLag(100, 2, 5);
    EXPECT_EQ(p.lagCode, 84u);
    EXPECT_EQ(p.fractionBit, 1u);
    EXPECT_EQ(p.lag, 100);
    EXPECT_EQ(p.fraction, 2);
    EXPECT_EQ(p.gain, 1.5f);
    p = encodePitchLag(143, 0, 7);
    EXPECT_EQ(p.lagCode, 127u);
    EXPECT_EQ(p.fraction, 0);
}

struct Subframe {
    float weighted[kLpcOrder] = {0.6f, -0.2f, 0.1f};
    float w[40] = {};
    QcelpDecoderState local;
    float response[kImpulseLength];
    Subframe() { initDecoderState(local, 0); }
    // The impulse response of the current weighted filter.
    const float* h() {
        impulseResponse(weighted, response);
        return response;
    }
};

// Direct evaluation of the search's criterion for one integer lag.
void directCorrelation(const Subframe& s, const float* target, int L, double& C, double& D) {
    float h[kImpulseLength];
    impulseResponse(s.weighted, h);
    float v[40];
    const float* u = s.local.mainPitch.history() + kPitchHistory;  // u[-1] is the newest
    for (int m = 0; m < 40; ++m) v[m] = m < L ? u[m - L] : (m < 2 * L ? u[m - 2 * L] : 0.0f);
    C = 0;
    D = 0.01;
    for (int n = 0; n < 40; ++n) {
        double y = 0;
        for (int k = 0; k <= std::min(n, kImpulseLength - 1); ++k) y += h[k] * v[n - k];
        C += target[n] * y;
        D += y * y;
    }
}

TEST(PitchSearch, RecursiveSearchMatchesDirectEvaluation) {
    std::mt19937 rng(4);
    std::normal_distribution<float> g(0.0f, 100.0f);
    QcelpConfig integerOnly;
    integerOnly.halfSamplePitch = 0;
    for (int trial = 0; trial < 40; ++trial) {
        Subframe s;
        for (float& x : std::span(s.local.mainPitch.history(), kPitchHistory)) x = g(rng);
        for (float& x : s.local.weightedSynthesis.memory) x = g(rng);
        for (float& x : s.w) x = g(rng);
        PitchRecord record;
        float target[40];
        searchPitch(kRateFull, s.w, integerOnly, s.local, s.weighted, s.h(), record, target);

        double bestC2 = -1, bestD = 1, bestC = 0;
        int bestLag = 0;
        for (int L = 17; L <= 143; ++L) {
            double C, D;
            directCorrelation(s, target, L, C, D);
            if (C > 0 && bestC2 * D < C * C * bestD) {
                bestC2 = C * C;
                bestD = D;
                bestC = C;
                bestLag = L;
            }
        }
        float gain;
        quantizePitchGain(static_cast<float>(bestC / bestD), gain);
        if (gain == 0.0f) {
            EXPECT_EQ(record.params.lagCode, 0u) << trial;
        } else {
            EXPECT_EQ(record.params.lag, bestLag) << trial;
            EXPECT_EQ(record.params.gain, gain) << trial;
        }
        EXPECT_EQ(record.params.fraction, 0);
    }
}

TEST(PitchSearch, FindsTheLagOfARepeatedExcitation) {
    // Past excitation of one period; a target that continues it with gain
    // 1.1 through a weighted filter whose response fits in 20 samples.
    for (int period : {23, 39, 40, 41, 57, 120, 141, 143}) {
        Subframe s;
        std::fill(std::begin(s.weighted), std::end(s.weighted), 0.0f);
        s.weighted[0] = 0.3f;
        std::mt19937 rng(period);
        std::normal_distribution<float> g(0.0f, 300.0f);
        float cycle[150];
        for (int i = 0; i < period; ++i) cycle[i] = g(rng);
        for (int m = -150; m < 0; ++m)
            s.local.mainPitch.history()[150 + m] = cycle[((m % period) + period) % period];
        float excitation[40];
        for (int m = 0; m < 40; ++m) excitation[m] = 1.1f * cycle[m % period];
        FilterState f;
        initFilter(f, kLpcOrder, s.weighted);
        allPoleFilter(excitation, s.w, 40, f, false);
        PitchRecord record;
        float target[40];
        searchPitch(kRateHalf, s.w, QcelpConfig{}, s.local, s.weighted, s.h(), record, target);
        EXPECT_EQ(record.params.lag % period, 0) << period;  // a multiple repeats the same excitation
        EXPECT_EQ(record.params.fraction, 0);
        EXPECT_EQ(record.params.gain, 1.0f);
        EXPECT_EQ(record.params.gainCode, 3u);
    }
}

TEST(PitchSearch, UncorrelatedTargetAndLowRatesGiveNoPitch) {
    Subframe s;  // zero history: every C_L is 0
    for (int n = 0; n < 40; ++n) s.w[n] = static_cast<float>(n % 7) - 3.0f;
    for (int rate : {1, 2, 3, 4}) {
        PitchRecord record;
        float target[40];
        searchPitch(rate, s.w, QcelpConfig{}, s.local, s.weighted, s.h(), record, target);
        EXPECT_EQ(record.params.lagCode, 0u);
        EXPECT_EQ(record.params.gainCode, 0u);
        EXPECT_EQ(record.params.fractionBit, 0u);
        EXPECT_EQ(record.params.gain, 0.0f);
        for (int n = 0; n < 40; ++n) EXPECT_EQ(target[n], s.w[n]);  // zero memory: no ringing
    }
}

TEST(PitchSearch, HalfSampleLagsStayBelow140) {
    std::mt19937 rng(8);
    std::normal_distribution<float> g(0.0f, 100.0f);
    int halves = 0;
    for (int trial = 0; trial < 300; ++trial) {
        Subframe s;
        const int period = 17 + trial % 127;
        for (int m = 0; m < 150; ++m) s.local.mainPitch.history()[m] = g(rng);
        // Smooth history so that half-sample positions are plausible.
        for (int m = 1; m < 150; ++m)
            s.local.mainPitch.history()[m] += 0.9f * s.local.mainPitch.history()[m - 1];
        for (int n = 0; n < 40; ++n) s.w[n] = s.local.mainPitch.history()[(150 - period + n) % 150];
        PitchRecord record;
        float target[40];
        searchPitch(kRateFull, s.w, QcelpConfig{}, s.local, s.weighted, s.h(), record, target);
        if (record.params.fraction == 2) {
            ++halves;
            EXPECT_LE(record.params.lag, 139);
        }
    }
    EXPECT_GT(halves, 0);
}

TEST(PitchSearch, ContributionRepeatsShortLagsAndLeavesTheMemory) {
    PitchFilterState memory;
    for (int m = 0; m < kPitchHistory; ++m) memory.history()[m] = static_cast<float>(m);
    const PitchFilterState before = memory;
    PitchParams pitch = encodePitchLag(20, 0, 3);  // gain 1
    float out[40];
    pitchContribution(memory, pitch, out, 40);
    for (int n = 0; n < 20; ++n) EXPECT_EQ(out[n], 130.0f + n);
    for (int n = 20; n < 40; ++n) EXPECT_EQ(out[n], out[n - 20]);
    for (int m = 0; m < kPitchHistory; ++m) EXPECT_EQ(memory.history()[m], before.history()[m]);
}

}  // namespace
}  // namespace sonx
