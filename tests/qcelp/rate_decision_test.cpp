#include "sonx/qcelp/rate_decision.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace sonx {
namespace {

struct Frame {
    float residual[160] = {};
    float speech[160] = {};
    float R[kAutocorrLags] = {};
    float a[kLpcOrder] = {};
    float lsp[kLpcOrder];
    Frame() {
        for (int k = 0; k < kLpcOrder; ++k) lsp[k] = (k + 1) / 11.0f;
    }
    // White noise of the given level on both residual and speech.
    void noise(std::mt19937& rng, float level) {
        std::normal_distribution<float> g(0.0f, level);
        for (int n = 0; n < 160; ++n) speech[n] = residual[n] = g(rng);
        for (int k = 0; k < kAutocorrLags; ++k) {
            double s = 0;
            for (int n = k; n < 160; ++n) s += speech[n] * speech[n - k];
            R[k] = static_cast<float>(s);
        }
        if (R[0] < 0.0001f) R[0] = 10.0f;
    }
    RateFrame view(bool quarterCodable = true) const {
        return RateFrame{residual, R, speech, a, lsp, quarterCodable};
    }
};

QcelpConfig configFor(int lowest, int highest, int mode = 0) {
    QcelpConfig c;
    c.lowestRate = lowest;
    c.highestRate = highest;
    c.rateReductionMode = mode;
    if (mode == 3) c.targetRateKbps = 9.0f;
    return c;
}

// Both stages on one frame, as the frame coder runs them.
int32_t runFrame(const Frame& f, RateDecisionState& s, const QcelpConfig& c, bool quarterCodable = true) {
    const int32_t rate = decideRateByBands(f.R, s, c);
    const int32_t final = refineRate(rate, f.view(quarterCodable), c, s);
    ++s.frameCounter;
    return final;
}

TEST(RateDecision, FirstFrameIsFullRateWithinTheRateSet) {
    Frame silent;
    silent.R[0] = 10.0f;
    for (int highest : {4, 3}) {
        const QcelpConfig c = configFor(1, highest);
        RateDecisionState s;
        initRateDecisionState(s, c);
        EXPECT_EQ(decideRateByBands(silent.R, s, c), highest);
        s.frameCounter = 1;
        // A preliminary full rate is never followed by eighth rate.
        EXPECT_EQ(decideRateByBands(silent.R, s, c), highest == 4 ? 3 : 1);
    }
}

TEST(RateDecision, FixedRateSetsNeverMove) {
    std::mt19937 rng(3);
    for (int rate : {3, 4}) {
        const QcelpConfig c = configFor(rate, rate, 3);
        RateDecisionState s;
        initRateDecisionState(s, c);
        for (int i = 0; i < 300; ++i) {
            Frame f;
            f.noise(rng, (i / 20) % 2 ? 2000.0f : 0.0f);
            ASSERT_EQ(runFrame(f, s, c), rate) << i;
        }
    }
}

TEST(RateDecision, SilenceSettlesTheNoiseFloorsAndStaysEighthRate) {
    const QcelpConfig c = configFor(1, 4);
    RateDecisionState s;
    initRateDecisionState(s, c);
    Frame silent;
    silent.R[0] = 10.0f;  // as the LPC analysis leaves a silent frame
    std::vector<int32_t> rates;
    for (int i = 0; i < 200; ++i) rates.push_back(runFrame(silent, s, c));
    EXPECT_EQ(rates[0], 4);
    EXPECT_EQ(rates[1], 3);  // no step from full straight to eighth
    EXPECT_EQ(rates.back(), 1);
    EXPECT_EQ(s.bandNoise[0], 10.0f);
    EXPECT_EQ(s.bandNoise[1], 5.0f);
    EXPECT_EQ(s.windowCount, 400 - 2);  // eighth-rate frames are not counted
}

TEST(RateDecision, LoudFramesAfterNoiseRaiseTheRateAndHangOver) {
    const QcelpConfig c = configFor(1, 4);
    RateDecisionState s;
    initRateDecisionState(s, c);
    std::mt19937 rng(11);
    Frame f;
    for (int i = 0; i < 100; ++i) {
        f.noise(rng, 3.0f);
        runFrame(f, s, c);
    }
    f.noise(rng, 3.0f);
    EXPECT_EQ(runFrame(f, s, c), 1);
    for (int i = 0; i < 3; ++i) {
        f.noise(rng, 3000.0f);
        EXPECT_EQ(runFrame(f, s, c), 4) << i;
    }
    // After speech the quiet frames stay at full rate for the hangover of
    // the band-0 SNR index, then drop through half rate to eighth.
    const int hangover = s.snrIndex[0] <= 2 ? 7 : s.snrIndex[0] == 3 ? 3 : 0;
    int i = 0;
    for (; i < hangover; ++i) {
        f.noise(rng, 3.0f);
        EXPECT_EQ(runFrame(f, s, c), 4) << i;
    }
    f.noise(rng, 3.0f);
    EXPECT_EQ(runFrame(f, s, c), 3);
    f.noise(rng, 3.0f);
    EXPECT_EQ(runFrame(f, s, c), 1);
}

TEST(RateDecision, ModeZeroNeverChoosesQuarterRateAndVhrStaysAtHalf) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> level(0.0f, 4000.0f);
    for (int highest : {4, 3}) {
        for (int mode : {0, 3}) {
            const QcelpConfig c = configFor(1, highest, mode);
            RateDecisionState s;
            initRateDecisionState(s, c);
            int quarter = 0;
            for (int i = 0; i < 600; ++i) {
                Frame f;
                f.noise(rng, (i / 7) % 3 == 0 ? level(rng) : 1.0f);
                for (float& l : f.lsp) l += 0.01f * (i % 5);
                const int32_t rate = runFrame(f, s, c, true);
                ASSERT_GE(rate, 1);
                ASSERT_LE(rate, highest);
                quarter += rate == 2;
            }
            if (mode == 0) {
                EXPECT_EQ(quarter, 0);
            }
        }
    }
}

// Quiet unvoiced frames after loud ones: mode 3 lowers them to quarter rate
// unless a quarter-rate packet could not be coded.
TEST(RateDecision, QuarterRateOnlyWhenCodable) {
    for (bool codable : {true, false}) {
        const QcelpConfig c = configFor(1, 4, 3);
        RateDecisionState s;
        initRateDecisionState(s, c);
        std::mt19937 rng(9);
        int quarter = 0, half = 0;
        for (int i = 0; i < 400; ++i) {
            Frame f;
            f.noise(rng, i % 40 < 30 ? 3000.0f : 60.0f);
            const int32_t rate = runFrame(f, s, c, codable);
            quarter += rate == 2;
            half += rate == 3;
        }
        if (codable) {
            EXPECT_GT(quarter, 0);
        } else {
            EXPECT_EQ(quarter, 0);
            EXPECT_GT(half, 0);
        }
    }
}

TEST(RateDecision, AverageRateControlLowersTheThresholdWhenTooFast) {
    const QcelpConfig c = configFor(1, 4, 3);
    RateDecisionState s;
    initRateDecisionState(s, c);
    s.frameCounter = 1;
    Frame loud;
    std::mt19937 rng(1);
    loud.noise(rng, 3000.0f);
    // 400 counted full-rate frames whose coding SNR is just below the
    // threshold: 14.4 kbit/s against 9.0 moves t down by one bin.
    s.frameSnr = 9.5f;
    for (int i = 0; i < 400; ++i) {
        s.previousPreliminaryRate = 4;
        ASSERT_EQ(refineRate(4, loud.view(), configFor(4, 4, 3), s), 4);
    }
    EXPECT_EQ(s.windowCount, 0);
    EXPECT_EQ(s.fullCount, 400);
    EXPECT_EQ(s.binsBelow[0], 400);
    EXPECT_EQ(s.snrThreshold, 10.0f);
    refineRate(4, loud.view(), configFor(4, 4, 3), s);
    EXPECT_EQ(s.windowCount, 400);
    EXPECT_FLOAT_EQ(s.measuredRate, 14.4f);
    EXPECT_EQ(s.snrThreshold, 9.0f);
    EXPECT_EQ(s.fullCount, 0);
    EXPECT_EQ(s.binsBelow[0], 0);
}

TEST(RateDecision, PredictionGainIsZeroWhereUndefined) {
    float R[kAutocorrLags] = {100.0f, 90.0f};
    float a[kLpcOrder] = {0.9f};
    EXPECT_NEAR(predictionGainDb(R, a), 10 * std::log10(100.0 / 19.0), 1e-4);
    a[0] = 1.2f;  // R(0) - sum a_k R(k) < 0
    EXPECT_EQ(predictionGainDb(R, a), 0.0f);
    a[0] = 100.0f / 90.0f;  // zero denominator
    R[1] = 90.0f;
    EXPECT_EQ(predictionGainDb(R, a), 0.0f);
    a[0] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(predictionGainDb(R, a), 0.0f);
    a[0] = -0.5f;  // worse than no prediction
    EXPECT_EQ(predictionGainDb(R, a), 0.0f);
}

}  // namespace
}  // namespace sonx
