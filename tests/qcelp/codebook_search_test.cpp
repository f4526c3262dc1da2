#include "sonx/qcelp/codebook_search.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/portable_math.h"

namespace sonx {
namespace {

QcelpDecoderState freshLocal() {
    QcelpDecoderState s;
    initDecoderState(s, 0);
    return s;
}

TEST(CodebookSearch, RecursiveEnergiesMatchDirectFiltering) {
    const float weighted[kLpcOrder] = {0.9f, -0.4f, 0.2f, 0.1f};
    float h[kImpulseLength];
    impulseResponse(weighted, h);
    for (int n : {10, 40}) {
        for (const float* table : {fullRateCodebook, halfRateCodebook}) {
            float energy[kCodebookSize];
            filteredCodevectorEnergies(table, h, n, energy);
            for (int index = 0; index < kCodebookSize; ++index) {
                double e = 0;
                for (int i = 0; i < n; ++i) {
                    double y = 0;
                    for (int k = 0; k <= std::min(i, kImpulseLength - 1); ++k)
                        y += h[k] * table[(i - k - index + 256) % 128];
                    e += y * y;
                }
                ASSERT_NEAR(energy[index], e, 1e-6 * (1 + e)) << n << " " << index;
            }
        }
    }
}

TEST(CodebookSearch, FindsAScaledFilteredCodevector) {
    const float weighted[kLpcOrder] = {0.5f, -0.1f};
    for (int rate : {kRateHalf, kRateFull}) {
        const int n = rate == kRateHalf ? 40 : 10;
        const float* table = rate == kRateHalf ? halfRateCodebook : fullRateCodebook;
        for (int index : {0, 5, 77, 127}) {
            for (float gain : {-40.0f, 25.0f}) {
                QcelpDecoderState local = freshLocal();
                float c[40], w[40];
                for (int i = 0; i < n; ++i) c[i] = gain * table[(i - index + 128) % 128];
                FilterState f;
                initFilter(f, kLpcOrder, weighted);
                allPoleFilter(c, w, n, f, false);
                CodebookEnergies energies;
                impulseResponse(weighted, energies.h);
                CodebookSubframe record;
                searchCodebook(rate, weighted, w, n, 0, 0, encodePitchLag(0, 0, 0), local, energies, record);
                EXPECT_EQ(record.index, index) << rate << " " << index;
                EXPECT_EQ(record.sign, gain < 0 ? 1u : 0u);
                // 4 dB steps: within half a step of the true gain.
                EXPECT_NEAR(20 * std::log10(std::fabs(record.gain)), 20 * std::log10(std::fabs(gain)), 2.01);
            }
        }
    }
}

TEST(CodebookSearch, ZeroTargetGivesIndexZeroWithNegativeZeroGain) {
    const float weighted[kLpcOrder] = {0.5f};
    const float w[40] = {};
    for (int rate : {kRateHalf, kRateFull}) {
        QcelpDecoderState local = freshLocal();
        CodebookEnergies energies;
        impulseResponse(weighted, energies.h);
        CodebookSubframe record;
        searchCodebook(rate, weighted, w, rate == kRateHalf ? 40 : 10, 0, 0, encodePitchLag(0, 0, 0), local,
                       energies, record);
        EXPECT_EQ(record.index, 0);
        EXPECT_EQ(record.gainCode, 0u);
        EXPECT_EQ(record.sign, 1u);
        EXPECT_EQ(record.gain, -1.0f);  // the smallest table gain
    }
}

TEST(CodebookSearch, GainQuantiserEdges) {
    QcelpDecoderState local = freshLocal();
    CodebookSubframe r;
    quantizeCodebookGain(kRateQuarter, 0.005f, 0, local, r);
    EXPECT_EQ(r.gainCode, 0u);
    EXPECT_EQ(r.sign, 0u);
    quantizeCodebookGain(kRateHalf, -0.005f, 0, local, r);
    EXPECT_EQ(r.sign, 1u);
    quantizeCodebookGain(kRateHalf, 1000.0f, 1, local, r);  // 60 dB
    EXPECT_EQ(r.gainCode, 15u);
    quantizeCodebookGain(kRateHalf, 1e9f, 1, local, r);
    EXPECT_EQ(r.gainCode, 15u);
    quantizeCodebookGain(kRateHalf, std::nanf(""), 1, local, r);
    EXPECT_EQ(r.gainCode, 0u);

    // Full rate, fourth subframe: relative to the predicted level P.
    local = freshLocal();
    for (int i = 0; i < 3; ++i) quantizeCodebookGain(kRateFull, std::pow(10.0f, 20.0f / 20), i, local, r);
    ASSERT_EQ(predictedGainLevel(local), 20);
    quantizeCodebookGain(kRateFull, 10.0f, 3, local, r);  // d = P
    EXPECT_EQ(r.gainCode, 2u);
    EXPECT_EQ(local.gainHistory[0], 22.0f);  // P - 6 + 4 * code
    EXPECT_EQ(r.gain, gainTable[22]);
    quantizeCodebookGain(kRateFull, -0.001f, 7, local, r);
    EXPECT_EQ(r.gainCode, 0u);
    EXPECT_EQ(r.sign, 1u);
}

// The level code is found among thresholds, not through a logarithm: it must
// be the formula's on both sides of every step, to the float.
TEST(CodebookSearch, GainCodesAreTheFormulasAtEveryStep) {
    QcelpDecoderState local = freshLocal();
    for (int code = 1; code < 16; ++code) {
        const float step = std::pow(10.0f, static_cast<float>(4 * code - 2) / 20.0f);
        for (int32_t ulps = -3000; ulps <= 3000; ++ulps) {
            const float x = std::bit_cast<float>(std::bit_cast<int32_t>(step) + ulps);
            const float t = 20.0f * static_cast<float>(portableLog10(x)) * 15.0f / 60.0f + 0.5f;
            const uint32_t expected = t >= 15.0f ? 15u : static_cast<uint32_t>(t);
            CodebookSubframe r;
            quantizeCodebookGain(kRateHalf, x, 0, local, r);
            ASSERT_EQ(r.gainCode, expected) << x;
        }
    }
}

TEST(CodebookSearch, EighthRateGainCandidatesFollowTheHistory) {
    QcelpDecoderState local = freshLocal();
    local.gainIndex[0] = 21;
    local.gainIndex[1] = 20;
    uint32_t code;
    // roundToInt(20.5) - 1 = 20: candidates 16, 18, 20 and 22 dB.
    float g = quantizeEighthRateGain(gainTable[18] + 0.01f, local, code);
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(g, gainTable[18]);
    EXPECT_EQ(local.gainIndex[0], 18);
    EXPECT_EQ(local.gainIndex[1], 21);

    local = freshLocal();  // (0, 0): the lower bound 4 gives 0, 2, 4, 6
    g = quantizeEighthRateGain(0.0f, local, code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(g, gainTable[0]);
    local = freshLocal();
    g = quantizeEighthRateGain(500.0f, local, code);
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(g, gainTable[6]);
    // Errors of 1e6 and more never beat the first candidate.
    local = freshLocal();
    quantizeEighthRateGain(1e5f, local, code);
    EXPECT_EQ(code, 0u);
}

TEST(CodebookSearch, QuarterRateGainsFollowTheBlockEnergies) {
    float speech[160];
    for (int n = 0; n < 160; ++n) speech[n] = (n / 32 + 1) * 100.0f * ((n & 1) ? 1.0f : -1.0f);
    uint32_t codes[5];
    quarterRateGainCodes(speech, 0.0f, codes);
    for (int i = 0; i < 5; ++i) {
        const float x = 1.2608f * 100.0f * (i + 1);
        EXPECT_EQ(codes[i],
                  static_cast<uint32_t>(std::min(15.0f, std::trunc(20 * std::log10(x) / 4 + 0.5f))));
    }
    uint32_t lower[5];
    quarterRateGainCodes(speech, 20.0f, lower);  // 20 dB of prediction gain: 10 times smaller
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lower[i] + 5, codes[i]);
    QcelpDecoderState local = freshLocal();
    CodebookSubframe records[5];
    quarterRateGains(speech, 20.0f, local, records);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(records[i].gainCode, lower[i]);
        EXPECT_EQ(records[i].gain, gainTable[4 * lower[i]]);
    }
    EXPECT_EQ(local.gainIndex[0], static_cast<int32_t>(4 * lower[4]));
}

}  // namespace
}  // namespace sonx
