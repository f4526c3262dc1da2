#include "sonx/qcelp/lsp_quantize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/lsp.h"
#include "sonx/qcelp/tables.h"

namespace sonx {
namespace {

const float kUnit[kLpcOrder] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

TEST(LspQuantize, EighthRateCodeIsTheSignOfThePredictionError) {
    float previous[kLpcOrder], lsp[kLpcOrder];
    for (int i = 0; i < kLpcOrder; ++i) previous[i] = lsp[i] = lspMean(i);
    uint32_t codes[kLpcOrder];
    quantizeEighthRateLsp(lsp, previous, codes);
    for (uint32_t c : codes) EXPECT_EQ(c, 1u);  // e = 0 exactly gives 1
    lsp[3] -= 0.001f;
    lsp[7] += 0.05f;
    quantizeEighthRateLsp(lsp, previous, codes);
    EXPECT_EQ(codes[3], 0u);
    EXPECT_EQ(codes[7], 1u);
    // The prediction uses 0.90625 of the previous deviation from the mean.
    previous[5] = lspMean(5) + 0.1f;
    lsp[5] = lspMean(5) + 0.09f;  // below 0.090625
    quantizeEighthRateLsp(lsp, previous, codes);
    EXPECT_EQ(codes[5], 0u);
}

TEST(LspQuantize, VectorSearchTiesKeepTheLowestIndex) {
    float lsp[kLpcOrder];
    for (int i = 0; i < kLpcOrder; ++i) lsp[i] = lspMean(i);
    const float zero[kLpcOrder] = {};
    uint32_t codes[5];
    searchLspVectors(lsp, zero, codes);
    for (uint32_t c : codes) EXPECT_EQ(c, 0u);

    // An exact table vector is found again.
    const uint32_t chosen[5] = {17, 100, 3, 63, 40};
    lspFromVectorCodes(chosen, lsp);
    searchLspVectors(lsp, kUnit, codes);
    for (int j = 0; j < 5; ++j) EXPECT_EQ(codes[j], chosen[j]);
}

TEST(LspQuantize, WeightsGrowWithTheSpectralPeaks) {
    // A resonance near LSPs 3/4: the weights of the pair bracketing it dominate.
    float lsp[kLpcOrder];
    for (int i = 0; i < kLpcOrder; ++i) lsp[i] = lspMean(i);
    lsp[3] = 0.33f;
    lsp[4] = 0.345f;
    float a[kLpcOrder], R[kAutocorrLags] = {};
    lspToLpc(lsp, a);
    // Autocorrelation of the all-pole response.
    float h[400] = {1.0f};
    for (int n = 1; n < 400; ++n)
        for (int k = 1; k <= kLpcOrder && k <= n; ++k) h[n] += a[k - 1] * h[n - k];
    for (int k = 0; k < kAutocorrLags; ++k)
        for (int n = k; n < 400; ++n) R[k] += h[n] * h[n - k];
    float w[kLpcOrder];
    lspWeights(R, a, lsp, w);
    for (int i = 0; i < kLpcOrder; ++i) {
        EXPECT_GT(w[i], 0.0f) << i;
        if (i != 3 && i != 4) {
            EXPECT_GT(std::min(w[3], w[4]), w[i]) << i;
        }
    }
}

// Every code set the quantiser chooses passes the decoder's half- and
// full-rate LSP check, including LSPs of harsh signals.
TEST(LspQuantize, ChosenVectorsAlwaysPassTheDecodersCheck) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    int drawn = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        float lsp[kLpcOrder];
        const int kind = trial % 3;
        if (kind == 0) {  // speech-like
            for (int i = 0; i < kLpcOrder; ++i) lsp[i] = lspMean(i) + 0.06f * (u(rng) - 0.5f);
        } else {  // arbitrary ascending, often tightly clustered or near the ends
            for (float& x : lsp) x = kind == 1 ? u(rng) : 0.3f + 0.1f * u(rng);
            std::sort(lsp, lsp + kLpcOrder);
        }
        float w[kLpcOrder];
        for (float& x : w) x = 1.0f + 1000.0f * u(rng);
        uint32_t plain[5], codes[5];
        searchLspVectors(lsp, w, plain);
        searchPlausibleLspVectors(lsp, w, codes);
        ASSERT_TRUE(lspCheck(kRateHalf, codes)) << trial;
        ASSERT_TRUE(lspCheck(kRateFull, codes)) << trial;
        if (lspCheck(kRateHalf, plain)) {
            for (int j = 0; j < 5; ++j) ASSERT_EQ(codes[j], plain[j]);
        } else {
            ++drawn;
        }
    }
    EXPECT_GT(drawn, 100);  // the harsh vectors did need the fallback
    // Unusable weights fall back to unit weights rather than to index 0.
    float lsp[kLpcOrder], nanWeights[kLpcOrder];
    for (int i = 0; i < kLpcOrder; ++i) {
        lsp[i] = lspMean(i);
        nanWeights[i] = std::nanf("");
    }
    uint32_t a[5], b[5];
    searchPlausibleLspVectors(lsp, nanWeights, a);
    searchLspVectors(lsp, kUnit, b);
    for (int j = 0; j < 5; ++j) EXPECT_EQ(a[j], b[j]);
}

TEST(LspQuantize, QuantisedLspsComeFromTheDecodersLspDecoding) {
    QcelpDecoderState local;
    initDecoderState(local, 0);
    float lsp[kLpcOrder], a[kLpcOrder], R[kAutocorrLags] = {1000.0f, 500.0f, 100.0f};
    for (int i = 0; i < kLpcOrder; ++i) lsp[i] = lspMean(i) + 0.01f * ((i * 7) % 3);
    lspToLpc(lsp, a);
    QcelpParams params{};
    params.lsp[7] = 1;
    float quantised[kLpcOrder];
    quantizeLsp(kRateFull, a, lsp, R, local, params, quantised);
    float rebuilt[kLpcOrder];
    lspFromVectorCodes(params.lsp, rebuilt);
    for (int i = 0; i < kLpcOrder; ++i) {
        EXPECT_EQ(quantised[i], rebuilt[i]);
        EXPECT_NEAR(quantised[i], lsp[i], 0.03f);
        EXPECT_FLOAT_EQ(local.lspMemory[i], quantised[i] - lspMean(i));
    }
    for (int i = 5; i < kLpcOrder; ++i) EXPECT_EQ(params.lsp[i], 0u);

    // Eighth rate: a decoder given the same codes from the same state agrees.
    QcelpDecoderState decoder = local;
    decoder.synthesisMode = 1;
    for (int i = 0; i < kLpcOrder; ++i) local.previousLsp[i] = decoder.previousLsp[i] = quantised[i];
    quantizeLsp(kRateEighth, a, lsp, R, local, params, quantised);
    float decoded[kLpcOrder];
    decodeLsp(kRateEighth, params, decoder, decoded);
    for (int i = 0; i < kLpcOrder; ++i) EXPECT_EQ(quantised[i], decoded[i]);
}

}  // namespace
}  // namespace sonx
