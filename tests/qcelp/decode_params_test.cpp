#include "sonx/qcelp/decode_params.h"

#include <gtest/gtest.h>

#include "sonx/qcelp/tables.h"

namespace sonx {
namespace {

TEST(DecodePitch, LagFractionAndGainCodes) {
    PitchParams p = decodePitch(0, 1, 0);
    EXPECT_EQ(p.lag, 143);
    EXPECT_EQ(p.fraction, 0);
    EXPECT_EQ(p.gain, 0.0f);
    p = decodePitch(1, 0, 0);
    EXPECT_EQ(p.lag, 17);
    EXPECT_EQ(p.gain, 0.25f);
    p = decodePitch(127, 1, 7);
    EXPECT_EQ(p.lag, 143);
    EXPECT_EQ(p.fraction, 2);
    EXPECT_EQ(p.gain, 2.0f);
    EXPECT_EQ(decodePitch(24, 0, 3).gain, 1.0f);
}

TEST(CodebookIndex, NegativeGainsShiftTheVector) {
    EXPECT_EQ(codebookVectorIndex(100, 1), 11);
    EXPECT_EQ(codebookVectorIndex(100, 0), 100);
    EXPECT_EQ(codebookVectorIndex(89, 1), 0);
}

TEST(CodebookGain, FourBitCodesAndFullRatePrediction) {
    QcelpDecoderState s;
    initDecoderState(s);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(decodeCodebookGain(4, i, 15, 0, s), gainTable[60]);
    // Three indices of 60: the 3-bit code 0 gives 38 - 6.
    EXPECT_EQ(codebookGainIndex(4, 3, 0, s), 32);
    EXPECT_EQ(decodeCodebookGain(4, 3, 0, 1, s), -gainTable[32]);
    EXPECT_EQ(s.gainIndex[0], 32);
    EXPECT_EQ(s.gainIndex[1], 60);
    // The prediction is bounded below by 6.
    QcelpDecoderState q;
    initDecoderState(q);
    EXPECT_EQ(predictedGainLevel(q), 6);
    EXPECT_EQ(codebookGainIndex(4, 7, 7, q), 6 + 28 - 6);
    // Only full rate has 3-bit codes.
    EXPECT_EQ(codebookGainIndex(3, 3, 7, q), 28);
    EXPECT_EQ(codebookGainIndex(2, 3, 15, q), 60);
}

TEST(EighthRateGain, CentredOnTheRoundedMeanOfTheLastTwoIndices) {
    QcelpDecoderState s;
    initDecoderState(s);
    s.gainIndex[0] = 21;
    s.gainIndex[1] = 20;
    EXPECT_EQ(eighthRateGainBase(s), 20);
    EXPECT_EQ(decodeEighthRateGain(3, s), gainTable[22]);
    EXPECT_EQ(s.gainIndex[0], 22);
    EXPECT_EQ(s.gainIndex[1], 21);
    s.gainIndex[0] = s.gainIndex[1] = 0;
    EXPECT_EQ(eighthRateGainBase(s), 4);
    EXPECT_EQ(decodeEighthRateGain(0, s), gainTable[0]);
    s.gainIndex[0] = s.gainIndex[1] = 66;
    EXPECT_EQ(eighthRateGainBase(s), 58);
}

TEST(LspCheck, PlausibleAndImplausibleCodes) {
    const uint32_t good[5] = {3, 5, 6, 1, 48};
    EXPECT_TRUE(lspCheck(2, good));
    EXPECT_TRUE(lspCheck(3, good));
    EXPECT_TRUE(lspCheck(4, good));
    // LSP 9 of 0.6695: below the quarter-rate floor of 0.7, above the 0.66 of the others.
    const uint32_t lowTop[5] = {1, 120, 66, 29, 24};
    EXPECT_FALSE(lspCheck(2, lowTop));
    EXPECT_TRUE(lspCheck(3, lowTop));
    // LSP 9 of 0.703 passes; two LSPs three apart are closer than 0.08.
    const uint32_t crowded3[5] = {12, 4, 66, 27, 10};
    EXPECT_FALSE(lspCheck(2, crowded3));
    EXPECT_TRUE(lspCheck(4, crowded3));
    // LSP 9 of 0.692 passes; two LSPs four apart are closer than 0.0931.
    const uint32_t crowded4[5] = {6, 0, 72, 10, 23};
    EXPECT_FALSE(lspCheck(3, crowded4));
    // LSP 9 beyond 1.
    const uint32_t high[5] = {5, 77, 7, 34, 60};
    EXPECT_FALSE(lspCheck(4, high));
}

TEST(QuarterRateGainCheck, StepsAndCurvature) {
    const uint32_t smooth[5] = {0, 5, 15, 15, 5};
    EXPECT_TRUE(quarterRateGainCheck(smooth));
    const uint32_t jump[5] = {0, 11, 11, 11, 11};
    EXPECT_FALSE(quarterRateGainCheck(jump));
    const uint32_t zigzag[5] = {10, 0, 10, 0, 10};  // steps of 10 are allowed, curvature 20 is not
    EXPECT_FALSE(quarterRateGainCheck(zigzag));
    const uint32_t bend[5] = {0, 6, 0, 0, 0};  // curvature -12 is still allowed
    EXPECT_TRUE(quarterRateGainCheck(bend));
}

TEST(DecodeLsp, VectorCodesSetThePredictionMemory) {
    QcelpDecoderState s;
    initDecoderState(s);
    QcelpParams p{};
    const uint32_t codes[5] = {3, 5, 6, 1, 48};
    for (int i = 0; i < 5; ++i) p.lsp[i] = codes[i];
    float lsp[10];
    decodeLsp(4, p, s, lsp);
    EXPECT_FLOAT_EQ(lsp[0], lspTable0[3].d0);
    EXPECT_FLOAT_EQ(lsp[1], lspTable0[3].d0 + lspTable0[3].d1);
    EXPECT_FLOAT_EQ(lsp[2], lsp[1] + lspTable1[5].d0);
    EXPECT_FLOAT_EQ(lsp[9], lsp[8] + lspTable4[48].d1);
    for (int i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(s.lspMemory[i], lsp[i] - lspMean(i));
}

TEST(DecodeLsp, EighthRatePredictionSpacingAndSmoothing) {
    QcelpDecoderState s;
    initDecoderState(s);
    QcelpParams p{};
    for (int i = 0; i < 10; ++i) p.lsp[i] = i & 1;
    float lsp[10];
    decodeLsp(1, p, s, lsp);
    for (int i = 0; i < 10; ++i) {
        const float m = (i & 1) ? 0.02f : -0.02f;
        EXPECT_FLOAT_EQ(s.lspMemory[i], m);
        // Previous LSPs are the means: 0.125 of them, 0.875 of the new ones.
        EXPECT_NEAR(lsp[i], 0.125f * lspMean(i) + 0.875f * (lspMean(i) + m), 1e-6f);
    }
}

TEST(DecodeLsp, LongEighthRateRunsSmoothHarder) {
    for (int run : {9, 10}) {
        QcelpDecoderState s;
        initDecoderState(s);
        s.eighthRateRun = run;
        for (int i = 0; i < 10; ++i) s.previousLsp[i] = 0.05f + 0.09f * i;
        QcelpParams p{};
        for (int i = 0; i < 10; ++i) p.lsp[i] = 1;
        float lsp[10];
        decodeLsp(1, p, s, lsp);
        const float h = run > 9 ? 0.9f : 0.125f;
        for (int i = 0; i < 10; ++i)
            EXPECT_NEAR(lsp[i], h * s.previousLsp[i] + (1.0f - h) * (lspMean(i) + 0.02f), 1e-6f) << run;
    }
}

TEST(DecodeLsp, SpacingLimits) {
    float lsp[10] = {0.0f, 0.01f, 0.015f, 0.3f, 0.31f, 0.5f, 0.6f, 0.7f, 0.99f, 0.995f};
    limitLspSpacing(lsp);
    EXPECT_FLOAT_EQ(lsp[0], 0.02f);
    EXPECT_FLOAT_EQ(lsp[1], 0.04f);
    EXPECT_FLOAT_EQ(lsp[2], 0.06f);
    EXPECT_FLOAT_EQ(lsp[4], 0.32f);
    EXPECT_FLOAT_EQ(lsp[9], 0.98f);
    EXPECT_FLOAT_EQ(lsp[8], 0.96f);
    for (int i = 1; i < 10; ++i) EXPECT_GE(lsp[i] - lsp[i - 1], 0.02f - 1e-6f);
}

}  // namespace
}  // namespace sonx
