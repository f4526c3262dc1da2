#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/lsp.h"
#include "sonx/qcelp/tables.h"

namespace sonx {
namespace {

TEST(Rounding, HalvesAwayFromZeroForPositiveValuesTruncationOtherwise) {
    EXPECT_EQ(roundToInt(2.5f), 3);
    EXPECT_EQ(roundToInt(2.4f), 2);
    EXPECT_EQ(roundToInt(-2.5f), -2);
    EXPECT_EQ(roundToInt(-0.7f), 0);
    EXPECT_EQ(roundToInt(0.49999997f), 0);
    EXPECT_EQ(roundToIntF(2.5f), 3.0f);
    EXPECT_EQ(roundToIntF(-2.5f), -2.0f);
    EXPECT_EQ(roundToIntF(-0.7f), 0.0f);
    EXPECT_EQ(roundToIntF(0.49999997f), 0.0f);
    EXPECT_EQ(roundToIntF(1.0e20f), 1.0e20f);
    // Out-of-range values must not reach an undefined conversion.
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(roundToInt(std::nanf("")), 0);
    EXPECT_EQ(roundToInt(inf), INT32_MAX);
    EXPECT_LT(roundToInt(-inf), -2000000000);
    EXPECT_TRUE(std::isnan(roundToIntF(std::nanf(""))));
    EXPECT_EQ(roundToIntF(-inf), -inf);
}

TEST(Noise, LinearCongruentialSequence) {
    uint16_t seed = 0;
    EXPECT_EQ(nextNoise(seed), 259);
    EXPECT_EQ(nextNoise(seed), 4126);
    seed = 65535;
    EXPECT_EQ(nextNoise(seed), -262);
    EXPECT_EQ(seed, 65274);
}

// Direct evaluation of the difference equations for comparison.
std::vector<float> referenceRecursive(const std::vector<float>& x, const std::vector<float>& c, bool poles) {
    std::vector<float> y(x.size());
    for (size_t n = 0; n < x.size(); ++n) {
        double acc = x[n];
        for (size_t k = 1; k <= c.size(); ++k)
            if (n >= k) acc += c[k - 1] * (poles ? y[n - k] : x[n - k]);
        y[n] = static_cast<float>(acc);
    }
    return y;
}

std::vector<float> ramp(int n) {
    std::vector<float> x(n);
    for (int i = 0; i < n; ++i) x[i] = std::sin(0.3f * i) * 100.0f + static_cast<float>(i % 7);
    return x;
}

TEST(Filters, RecursiveFiltersMatchTheirEquationAcrossCalls) {
    for (int order : {1, 2, 3, 10, 17}) {
        std::vector<float> c(order);
        for (int k = 0; k < order; ++k) c[k] = 0.4f / (k + 1) * ((k & 1) ? -1.0f : 1.0f);
        const std::vector<float> x = ramp(300);
        for (bool poles : {true, false}) {
            const std::vector<float> want = referenceRecursive(x, c, poles);
            FilterState f;
            initFilter(f, order, c.data());
            std::vector<float> got(x);
            // Uneven pieces, in place, memory carried between calls.
            int pos = 0;
            for (int len : {7, 160, 0, 133}) {
                if (poles)
                    allPoleFilter(got.data() + pos, got.data() + pos, len, f, true);
                else
                    allZeroFilter(got.data() + pos, got.data() + pos, len, f, true);
                pos += len;
            }
            for (int n = 0; n < 300; ++n)
                ASSERT_NEAR(got[n], want[n], 1e-3f * (1.0f + std::fabs(want[n]))) << order << " " << n;
        }
    }
}

TEST(Filters, FirFilterKeepsTheLastInputs) {
    for (int taps : {5, 17, 21}) {
        std::vector<float> h(taps);
        for (int k = 0; k < taps; ++k) h[k] = 0.1f * (k + 1);
        const std::vector<float> x = ramp(200);
        FilterState f;
        initFilter(f, taps, h.data());
        std::vector<float> got(200);
        firFilter(x.data(), got.data(), 50, f, true);
        firFilter(x.data() + 50, got.data() + 50, 150, f, true);
        for (int n = 0; n < 200; ++n) {
            double want = 0.0;
            for (int k = 0; k < taps && k <= n; ++k) want += h[k] * x[n - k];
            ASSERT_NEAR(got[n], want, 1e-3 * (1.0 + std::fabs(want))) << taps << " " << n;
        }
    }
}

TEST(Filters, WithoutUpdateTheMemoryStays) {
    FilterState f;
    const float c[2] = {1.5f, -0.7f};
    initFilter(f, 2, c);
    f.memory[0] = 3.0f;
    f.memory[1] = -1.0f;
    std::vector<float> zeros(20, 0.0f), a(20), b(20);
    allPoleFilter(zeros.data(), a.data(), 20, f, false);
    allPoleFilter(zeros.data(), b.data(), 20, f, false);
    EXPECT_EQ(a, b);
    EXPECT_FLOAT_EQ(a[0], 1.5f * 3.0f + 0.7f);
    EXPECT_EQ(f.memory[0], 3.0f);
    EXPECT_EQ(f.memory[1], -1.0f);
}

TEST(PitchFilter, ShortLagRepeatsTheBlocksOwnOutput) {
    PitchFilterState p;
    initPitchFilter(p);
    p.lag = 20;
    p.gain = 1.0f;
    std::vector<float> x(40, 0.0f), y(40);
    for (int n = 0; n < 20; ++n) x[n] = static_cast<float>(n + 1);
    x[25] = 5.0f;
    pitchFilter(x.data(), y.data(), 40, p, true);
    for (int n = 0; n < 20; ++n) {
        EXPECT_EQ(y[n], x[n]);
        EXPECT_EQ(y[n + 20], y[n] + x[n + 20]);
    }
    // The history now ends with the block.
    EXPECT_EQ(p.history()[kPitchHistory - 1], y[39]);
    EXPECT_EQ(p.history()[kPitchHistory - 40], y[0]);
}

TEST(PitchFilter, IntegerLagRoundsTheContribution) {
    PitchFilterState p;
    initPitchFilter(p);
    p.history()[kPitchHistory - 30] = 3.0f;  // y[-30]
    p.history()[kPitchHistory - 29] = -3.0f;
    p.lag = 30;
    p.gain = 0.5f;
    float x[2] = {0.25f, 0.25f}, y[2];
    pitchFilter(x, y, 2, p, false);
    EXPECT_EQ(y[0], 0.25f + 2.0f);  // 1.5 rounds up
    EXPECT_EQ(y[1], 0.25f - 1.0f);  // -1.5 truncates
    EXPECT_EQ(p.history()[kPitchHistory - 1], 0.0f) << "no update requested";
}

TEST(PitchFilter, HalfSampleLagInterpolatesTheHistory) {
    PitchFilterState p;
    initPitchFilter(p);
    for (int i = 0; i < kPitchHistory; ++i) p.history()[i] = static_cast<float>(i % 11) - 5.0f;
    p.lag = 17;
    p.fraction = 2;
    p.gain = 0.75f;
    std::vector<float> x(40, 1.0f), y(40);
    std::vector<float> all(p.history(), p.history() + kPitchHistory);
    pitchFilter(x.data(), y.data(), 40, p, true);
    for (int n = 0; n < 40; ++n) {
        double acc = 0.0;
        for (int j = 0; j < 8; ++j) acc += halfSampleTaps[j] * all[kPitchHistory + n - 17 - 4 + j];
        const float want = 1.0f + 0.75f * static_cast<float>(acc);
        ASSERT_NEAR(y[n], want, 1e-4f) << n;
        all.push_back(y[n]);
    }
}

// The plain equations, sample by sample: appends the outputs of x to `all`,
// the filter's outputs so far (its history at first).
void pitchByEquation(const PitchFilterState& p, const std::vector<float>& x, std::vector<float>& all) {
    for (float in : x) {
        const size_t at = all.size();
        float y;
        if (p.fraction == 0) {
            y = in + roundToIntF(p.gain * all[at - p.lag]);
        } else {
            float acc = halfSampleTaps[0] * all[at - p.lag - 4];
            for (int j = 1; j < 8; ++j) acc += halfSampleTaps[j] * all[at - p.lag - 4 + j];
            y = in + p.gain * acc;
        }
        all.push_back(y);
    }
}

// The filter (which works several samples at a time where it can) must
// agree with the equations bit for bit.
TEST(PitchFilter, MatchesTheSampleBySampleEquationExactly) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> value(-3000.0f, 3000.0f);
    const float gains[] = {0.25f, 0.5f, 1.0f, 1.75f, 2.0f, 0.3333f};
    for (int round = 0; round < 400; ++round) {
        PitchFilterState p;
        initPitchFilter(p);
        for (float& h : std::span(p.history(), kPitchHistory)) h = value(rng);
        if (round % 7 == 0) p.history()[kPitchHistory - 1 - round % 50] = 1.0e9f;  // beyond exact integers
        p.fraction = (round & 1) ? 2 : 0;
        p.lag = p.fraction ? 17 + static_cast<int>(rng() % 127) : 1 + static_cast<int>(rng() % 143);
        p.gain = gains[rng() % 6];
        const int len = 1 + static_cast<int>(rng() % 160);
        std::vector<float> x(len);
        for (float& v : x) v = std::round(value(rng));
        std::vector<float> all(p.history(), p.history() + kPitchHistory);
        pitchByEquation(p, x, all);
        std::vector<float> got(len);
        pitchFilter(x.data(), got.data(), len, p, true);
        for (int n = 0; n < len; ++n)
            ASSERT_EQ(got[n], all[kPitchHistory + n]) << "round " << round << " lag " << p.lag << " n " << n;
        for (int i = 0; i < kPitchHistory; ++i)
            ASSERT_EQ(p.history()[i], all[all.size() - kPitchHistory + i]);
    }
}

// One filter through many calls: its history slides along its buffer and
// moves back at the end, and each call still reads the outputs before it.
TEST(PitchFilter, HistoryCarriesAcrossCallsAndTheBufferEnd) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> value(-3000.0f, 3000.0f);
    PitchFilterState p;
    initPitchFilter(p);
    std::vector<float> all(kPitchHistory, 0.0f);
    int moves = 0;
    for (int call = 0; call < 300; ++call) {
        p.fraction = (call % 3 == 0) ? 2 : 0;
        p.lag = p.fraction ? 17 + static_cast<int>(rng() % 127) : 1 + static_cast<int>(rng() % 143);
        p.gain = call % 5 == 0 ? 0.0f : 0.75f;
        // Mostly subframes, sometimes whole frames and odd lengths.
        const int lengths[] = {40, 40, 160, 1 + static_cast<int>(rng() % 160)};
        std::vector<float> x(lengths[rng() % 4]);
        for (float& v : x) v = std::round(value(rng));
        const int endBefore = p.historyEnd;
        pitchByEquation(p, x, all);
        std::vector<float> got(x.size());
        pitchFilter(x.data(), got.data(), static_cast<int>(x.size()), p, true);
        if (p.historyEnd < endBefore) ++moves;
        ASSERT_TRUE(std::equal(got.begin(), got.end(), all.end() - static_cast<long>(x.size()))) << call;
        ASSERT_TRUE(std::equal(p.history(), p.history() + kPitchHistory, all.end() - kPitchHistory)) << call;
    }
    EXPECT_GT(moves, 10);
}

TEST(Filters, CascadeEqualsTwoPasses) {
    float c[10], d = -0.3f;
    for (int k = 0; k < 10; ++k) c[k] = 0.3f / (k + 1) * ((k % 3) ? -1.0f : 1.0f);
    FilterState a1, a2, b1, b2;
    initFilter(a1, 10, c);
    initFilter(a2, 1, &d);
    b1 = a1;
    b2 = a2;
    std::vector<float> x = ramp(200), y = x;
    allPoleFilter(x.data(), x.data(), 200, a1, true);
    allPoleFilter(x.data(), x.data(), 200, a2, true);
    allPoleCascade(y.data(), 120, b1, b2);
    allPoleCascade(y.data() + 120, 80, b1, b2);
    EXPECT_EQ(x, y);
    EXPECT_EQ(std::vector<float>(a1.memory, a1.memory + 10), std::vector<float>(b1.memory, b1.memory + 10));
    EXPECT_EQ(a2.memory[0], b2.memory[0]);
}

// The four-sample form is the same filter as the sample-by-sample one and as
// accurate: against a double-precision evaluation its error stays of the
// size of the sample-by-sample form's own, for a flat and for a sharply
// resonant filter, in pieces of any length with the memory carried.
TEST(Filters, FourSampleStepsAreAsAccurateAsSampleBySample) {
    const float resonant[10] = {0.06f, 0.075f, 0.18f, 0.2f, 0.33f, 0.35f, 0.52f, 0.55f, 0.74f, 0.79f};
    for (bool sharp : {false, true}) {
        float lsp[10], a[10], post[10];
        for (int i = 0; i < 10; ++i) lsp[i] = sharp ? resonant[i] : lspMean(i);
        lspToExpandedLpc(lsp, a);
        for (int k = 0; k < 10; ++k) post[k] = a[k] * postFilterPoleFactors[k];
        const float d = -0.3f;
        FilterState s1, p1, t1;
        initFilter(s1, 10, a);
        initFilter(p1, 10, post);
        initFilter(t1, 1, &d);
        FilterState s2 = s1, p2 = p1, t2 = t1;

        // Synthesis, then the pole section and the tilt, in double.
        const std::vector<float> x = ramp(400);
        std::vector<double> ys(400), yp(400), yt(400);
        for (int n = 0; n < 400; ++n) {
            double s = x[n], p = 0.0;
            for (int k = 1; k <= 10 && k <= n; ++k) s += a[k - 1] * ys[n - k];
            ys[n] = s;
            p = s;
            for (int k = 1; k <= 10 && k <= n; ++k) p += post[k - 1] * yp[n - k];
            yp[n] = p;
            yt[n] = p + (n > 0 ? d * yt[n - 1] : 0.0);
        }

        std::vector<float> s1out(400), s2out(400), v1(400), v2(400);
        int pos = 0;
        for (int len : {40, 7, 0, 160, 33, 160}) {
            allPoleFilter(x.data() + pos, s1out.data() + pos, len, s1, true);
            allPoleFilterBlocks(x.data() + pos, s2out.data() + pos, len, s2);
            std::copy(s1out.begin() + pos, s1out.begin() + pos + len, v1.begin() + pos);
            std::copy(s2out.begin() + pos, s2out.begin() + pos + len, v2.begin() + pos);
            allPoleCascade(v1.data() + pos, len, p1, t1);
            allPoleCascadeBlocks(v2.data() + pos, len, p2, t2);
            pos += len;
        }
        double peak = 0, directS = 0, blockS = 0, directV = 0, blockV = 0;
        for (int n = 0; n < 400; ++n) {
            peak = std::max(peak, std::fabs(yt[n]));
            directS = std::max(directS, std::fabs(s1out[n] - ys[n]));
            blockS = std::max(blockS, std::fabs(s2out[n] - ys[n]));
            directV = std::max(directV, std::fabs(v1[n] - yt[n]));
            blockV = std::max(blockV, std::fabs(v2[n] - yt[n]));
        }
        ASSERT_GT(peak, 10.0);
        EXPECT_LE(blockS, 4 * directS + 1e-6 * peak) << sharp;
        EXPECT_LE(blockV, 4 * directV + 1e-6 * peak) << sharp;
        EXPECT_LT(blockV, 1e-4 * peak) << sharp;
        for (int k = 0; k < 10; ++k) {
            EXPECT_NEAR(s1.memory[k], s2.memory[k], 1e-4 * peak) << k;
            EXPECT_NEAR(p1.memory[k], p2.memory[k], 1e-4 * peak) << k;
        }
        EXPECT_NEAR(t1.memory[0], t2.memory[0], 1e-4 * peak);
    }
}

// The same for order 2, with the encoder's high-pass poles (near the unit
// circle, so that a wrong weight shows at once).
TEST(Filters, FourSampleStepsOfOrderTwoAreAsAccurate) {
    const float poles[2] = {1.88f, -0.8836f};
    FilterState direct, block;
    initFilter(direct, 2, poles);
    initFilter(block, 2, poles);
    const std::vector<float> x = ramp(400);
    std::vector<double> reference(400);
    for (int n = 0; n < 400; ++n)
        reference[n] = x[n] + (n > 0 ? poles[0] * reference[n - 1] : 0.0) + (n > 1 ? poles[1] * reference[n - 2] : 0.0);
    std::vector<float> y1(400), y2(400);
    int pos = 0;
    for (int len : {160, 7, 0, 40, 33, 160}) {
        allPoleFilter(x.data() + pos, y1.data() + pos, len, direct, true);
        allPoleFilterBlocks(x.data() + pos, y2.data() + pos, len, block);
        pos += len;
    }
    double peak = 0, directError = 0, blockError = 0;
    for (int n = 0; n < 400; ++n) {
        peak = std::max(peak, std::fabs(reference[n]));
        directError = std::max(directError, std::fabs(y1[n] - reference[n]));
        blockError = std::max(blockError, std::fabs(y2[n] - reference[n]));
    }
    ASSERT_GT(peak, 100.0);
    EXPECT_LE(blockError, 4 * directError + 1e-6 * peak);
    EXPECT_NEAR(direct.memory[0], block.memory[0], 1e-5 * peak);
    EXPECT_NEAR(direct.memory[1], block.memory[1], 1e-5 * peak);
}

// After eighth or quarter rate the kept lag is 0: a zero gain must neither
// read the sample being written nor let a poisoned memory through.
TEST(PitchFilter, ZeroGainContributesNothing) {
    PitchFilterState p;
    initPitchFilter(p);
    for (float& h : std::span(p.history(), kPitchHistory)) h = std::numeric_limits<float>::quiet_NaN();
    for (int lag : {0, 20}) {
        p.lag = lag;
        p.gain = 0.0f;
        std::vector<float> x = ramp(160), y(160);
        pitchFilter(x.data(), y.data(), 160, p, false);
        EXPECT_EQ(x, y) << lag;
    }
}

TEST(Gains, EnergyMatchingAndSmoothing) {
    std::vector<float> ref = ramp(40), sig(40), out(40);
    for (int n = 0; n < 40; ++n) sig[n] = 0.25f * ref[(n + 3) % 40];
    energyMatchGain(ref.data(), sig.data(), out.data(), 40);
    double eRef = 0, eOut = 0;
    for (int n = 0; n < 40; ++n) {
        eRef += ref[n] * ref[n];
        eOut += out[n] * out[n];
        EXPECT_NEAR(out[n], 4.0f * sig[n], 1e-3f);
    }
    EXPECT_NEAR(eOut, eRef, 1e-3 * eRef);

    std::vector<float> zero(40, 0.0f);
    energyMatchGain(zero.data(), sig.data(), out.data(), 40);
    EXPECT_EQ(out, zero);

    float gain = 1.0f;
    agcSmoothGain(ref.data(), sig.data(), out.data(), 40, gain);
    EXPECT_NEAR(gain, 0.0625f * 4.0f + 0.9375f, 1e-5f);
    EXPECT_FLOAT_EQ(out[5], sig[5] * gain);
    // A silent block keeps the gain.
    agcSmoothGain(zero.data(), sig.data(), out.data(), 40, gain);
    EXPECT_NEAR(gain, 1.1875f, 1e-5f);
}

TEST(Tables, SpotValues) {
    EXPECT_EQ(gainTable[0], 1.0f);
    EXPECT_EQ(gainTable[1], 1.125f);
    EXPECT_EQ(gainTable[20], 10.0f);
    EXPECT_EQ(gainTable[66], 1995.25f);
    for (int i = 0; i < kGainTableSize; ++i)
        EXPECT_NEAR(gainTable[i], std::pow(10.0, i / 20.0), 0.0625 + 1e-9) << i;
    EXPECT_EQ(cosineTable[0], 1.0f);
    EXPECT_NEAR(cosineTable[128], 0.0f, 1e-7f);
    EXPECT_EQ(cosineTable[256], -1.0f);
    EXPECT_EQ(fullRateCodebook[0], 0.1f);
    EXPECT_EQ(fullRateCodebook[127], -0.65f);
    EXPECT_EQ(halfRateCodebook[106], 3.0f);
    int nonZero = 0;
    for (float v : halfRateCodebook) nonZero += v != 0.0f;
    EXPECT_EQ(nonZero, 27);
    EXPECT_EQ(lspTable0[0].d0, 0.0327f);
    EXPECT_EQ(lspTable0[0].d1, 0.0118f);
    EXPECT_EQ(lspTable4[63].d0, 0.2130f);
    EXPECT_EQ(lspTable4[63].d1, 0.1089f);
    for (int i = 0; i <= 10; ++i) EXPECT_EQ(quarterRateNoiseTaps[i], quarterRateNoiseTaps[20 - i]);
}

}  // namespace
}  // namespace sonx
