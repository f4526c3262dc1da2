#include "sonx/qcelp/lpc_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "sonx/qcelp/lsp.h"

namespace sonx {
namespace {

TEST(LpcAnalysis, SilentFrameGivesZeroPredictorAndRewrittenAutocorrelation) {
    float speech[160] = {};
    speech[80] = 0.001f;  // energy far below the silence limit
    float a[kLpcOrder], R[kAutocorrLags];
    analyzeLpc(speech, 0, a, R);
    EXPECT_EQ(R[0], 10.0f);
    for (int k = 1; k <= 9; ++k) EXPECT_EQ(R[k], 0.0f);
    for (float c : a) EXPECT_EQ(c, 0.0f);

    // A(z) = 1: the LSPs are k/11, up to the table resolution.
    LpcCarry carry;
    float lsp[kLpcOrder];
    lpcToLsp(a, lsp, carry);
    for (int k = 0; k < kLpcOrder; ++k) EXPECT_NEAR(lsp[k], (k + 1) / 11.0f, 0.002f) << k;
    EXPECT_EQ(carry.expansionIndex, 0);
}

TEST(LpcAnalysis, LevinsonDurbinRecoversAnAutoregressiveProcess) {
    // R(k) = 0.9^k is the autocorrelation of a first-order process.
    float R[kAutocorrLags], a[kLpcOrder];
    for (int k = 0; k < kAutocorrLags; ++k) R[k] = std::pow(0.9f, static_cast<float>(k));
    levinsonDurbin(R, a);
    EXPECT_NEAR(a[0], 0.9f, 1e-5f);
    for (int k = 1; k < kLpcOrder; ++k) EXPECT_NEAR(a[k], 0.0f, 1e-5f) << k;
    EXPECT_EQ(R[0], 1.0f);  // untouched above the silence limit

    // A perfectly predictable signal stops the recursion once the error
    // collapses: a pure cosine needs only two coefficients.
    const double w = 0.3;
    for (int k = 0; k < kAutocorrLags; ++k) R[k] = static_cast<float>(std::cos(w * k));
    levinsonDurbin(R, a);
    EXPECT_NEAR(a[0], 2 * std::cos(w), 1e-3);
    EXPECT_NEAR(a[1], -1.0, 1e-3);
    for (int k = 2; k < kLpcOrder; ++k) EXPECT_EQ(a[k], 0.0f) << k;
}

TEST(LpcAnalysis, BandwidthExpansionLeavesTheFirstCoefficient) {
    float a[kLpcOrder];
    for (float& c : a) c = 1.0f;
    expandBandwidth(a, 0);
    for (float c : a) EXPECT_EQ(c, 1.0f);
    expandBandwidth(a, 1);
    EXPECT_EQ(a[0], 1.0f);
    EXPECT_FLOAT_EQ(a[1], 0.98f);
    EXPECT_FLOAT_EQ(a[9], std::pow(0.98f, 9.0f));
    for (float& c : a) c = 1.0f;
    expandBandwidth(a, 4);
    EXPECT_FLOAT_EQ(a[9], std::pow(0.90f, 9.0f));
}

// Predictor of the given LSPs with exact cosines.
void exactLspToLpc(const float lsp[kLpcOrder], float a[kLpcOrder]) {
    double P[12] = {1.0, 1.0}, Q[12] = {1.0, -1.0};
    int degree = 1;
    for (int i = 0; i < kLpcOrder; i += 2) {
        for (int k = 0; k < 2; ++k) {
            double* poly = k == 0 ? P : Q;
            const double c = -2.0 * std::cos(std::numbers::pi * lsp[i + k]);
            for (int j = degree + 2; j >= 0; --j)
                poly[j] += (j >= 1 ? c * poly[j - 1] : 0.0) + (j >= 2 ? poly[j - 2] : 0.0);
        }
        degree += 2;
    }
    for (int k = 1; k <= kLpcOrder; ++k) a[k - 1] = static_cast<float>(-(P[k] + Q[k]) / 2.0);
}

TEST(LpcAnalysis, RootSearchInvertsTheLspConversion) {
    std::mt19937 rng(7);
    // Speech-like spreads around the mean LSPs: the cosines are read from
    // the table without interpolation, which limits the accuracy.
    std::uniform_real_distribution<float> jitter(-0.035f, 0.035f);
    for (int trial = 0; trial < 200; ++trial) {
        float lsp[kLpcOrder];
        for (int k = 0; k < kLpcOrder; ++k) lsp[k] = (k + 1) / 11.0f + jitter(rng);
        float a[kLpcOrder], found[kLpcOrder];
        exactLspToLpc(lsp, a);
        ASSERT_TRUE(searchLspRoots(a, found)) << trial;
        for (int k = 0; k < kLpcOrder; ++k) EXPECT_NEAR(found[k], lsp[k], 0.004f) << trial << " " << k;
    }
}

TEST(LpcAnalysis, SpeechLikeFrameGivesOrderedLsps) {
    float speech[160];
    for (int n = 0; n < 160; ++n)
        speech[n] = static_cast<float>(3000 * std::sin(0.12 * n) + 1500 * std::sin(0.9 * n + 1) +
                                       400 * std::sin(2.3 * n));
    float a[kLpcOrder], R[kAutocorrLags], lsp[kLpcOrder];
    analyzeLpc(speech, 0, a, R);
    LpcCarry carry;
    carry.expansionIndex = 2;
    lpcToLsp(a, lsp, carry);
    EXPECT_EQ(carry.expansionIndex, 1);  // a success relaxes the expansion
    for (int k = 0; k < kLpcOrder; ++k) EXPECT_FLOAT_EQ(carry.fallbackLsp[k], lsp[k]);
    for (int k = 1; k < kLpcOrder; ++k) EXPECT_LT(lsp[k - 1], lsp[k]);
    EXPECT_GT(lsp[0], 0.0f);
    EXPECT_LT(lsp[9], 1.0f);
}

TEST(LpcAnalysis, FailedSearchFallsBackAndTightensTheExpansion) {
    // A predictor with a root outside the unit circle has no interlaced pairs.
    float bad[kLpcOrder] = {};
    bad[9] = 1.5f;
    float lsp[kLpcOrder];
    LpcCarry carry;
    ASSERT_FALSE(searchLspRoots(bad, lsp));
    for (int i = 1; i <= 5; ++i) {
        lpcToLsp(bad, lsp, carry);
        EXPECT_EQ(carry.expansionIndex, std::min(i, 4));
        for (int k = 0; k < kLpcOrder; ++k) EXPECT_FLOAT_EQ(lsp[k], 0.1f * (k + 1));
    }
    const float nan[kLpcOrder] = {std::numeric_limits<float>::quiet_NaN()};
    EXPECT_FALSE(searchLspRoots(nan, lsp));

    const float flat[kLpcOrder] = {};
    for (int i = 0; i < 4; ++i) lpcToLsp(flat, lsp, carry);
    EXPECT_EQ(carry.expansionIndex, 0);
    EXPECT_NEAR(carry.fallbackLsp[0], 1 / 11.0f, 0.002f);
}

}  // namespace
}  // namespace sonx
