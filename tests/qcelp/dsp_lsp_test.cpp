#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "sonx/qcelp/lsp.h"
#include "sonx/qcelp/tables.h"

namespace sonx {
namespace {

// A(z) = 1 - sum alpha_k z^-k at z = e^{j pi w}.
std::complex<double> evalA(const float a[10], double w) {
    std::complex<double> sum = 1.0;
    for (int k = 1; k <= 10; ++k) sum -= static_cast<double>(a[k - 1]) * std::polar(1.0, -M_PI * w * k);
    return sum;
}

// P(z) = A(z) + z^-11 A(1/z) vanishes at the even-indexed LSPs, Q(z) = A(z) -
// z^-11 A(1/z) at the odd ones. LSPs on the table grid (multiples of 1/256)
// make the conversion exact up to rounding.
TEST(LspToLpc, CoefficientsHaveTheirLspsAsRoots) {
    const int grid[10] = {10, 22, 40, 61, 85, 102, 140, 166, 200, 231};
    float lsp[10], a[10];
    for (int i = 0; i < 10; ++i) lsp[i] = grid[i] / 256.0f;
    lspToLpc(lsp, a);
    for (int i = 0; i < 10; ++i) {
        const double w = lsp[i];
        const std::complex<double> ahead = evalA(a, w);
        const std::complex<double> mirrored = std::polar(1.0, -11.0 * M_PI * w) * std::conj(ahead);
        const double residue = std::abs(i % 2 == 0 ? ahead + mirrored : ahead - mirrored);
        EXPECT_LT(residue, 1e-4) << "LSP " << i;
    }
}

// The mean LSPs (i + 1) / 11 are those of A(z) = 1; the table lookup without
// interpolation leaves small coefficients, and the filter is stable.
TEST(LspToLpc, MeanLspsGiveANearlyFlatStableFilter) {
    float lsp[10], a[10];
    for (int i = 0; i < 10; ++i) lsp[i] = lspMean(i);
    lspToLpc(lsp, a);
    for (int k = 0; k < 10; ++k) EXPECT_LT(std::fabs(a[k]), 0.2f) << k;
    // Stable: the impulse response of 1/A(z) decays.
    double y[400] = {};
    for (int n = 0; n < 400; ++n) {
        double acc = n == 0 ? 1.0 : 0.0;
        for (int k = 1; k <= 10 && k <= n; ++k) acc += a[k - 1] * y[n - k];
        y[n] = acc;
    }
    double tail = 0;
    for (int n = 300; n < 400; ++n) tail += std::fabs(y[n]);
    EXPECT_LT(tail, 1e-3);
}

TEST(InterpolateLsp, WeightsPerRateAndBandwidthExpansion) {
    QcelpConfig config;
    float prev[10], cur[10];
    for (int i = 0; i < 10; ++i) {
        prev[i] = lspMean(i);
        cur[i] = lspMean(i) + 0.02f * ((i % 3) - 1);
    }
    const float weights[5][4] = {{0.375f, 0.875f},
                                 {0.625f},
                                 {0.25f, 0.5f, 0.75f, 1.0f},
                                 {0.25f, 0.5f, 0.75f, 1.0f},
                                 {0.25f, 0.5f, 0.75f, 1.0f}};
    const int counts[5] = {2, 1, 4, 4, 4};
    for (int rate = 0; rate <= 4; ++rate) {
        LpcBlock blocks[4];
        ASSERT_EQ(interpolateLsp(rate, prev, cur, blocks, false, config), counts[rate]);
        for (int j = 0; j < counts[rate]; ++j) {
            const float w = weights[rate][j];
            float mix[10], plain[10];
            for (int i = 0; i < 10; ++i) mix[i] = (1.0f - w) * prev[i] + w * cur[i];
            lspToLpc(mix, plain);
            float g = 1.0f;
            for (int k = 0; k < 10; ++k) {
                g *= 0.78f;
                EXPECT_NEAR(blocks[j].lpc[k], plain[k] * std::pow(0.9883f, k + 1), 1e-5f);
                EXPECT_NEAR(blocks[j].weighted[k], blocks[j].lpc[k] * g, 1e-5f);
            }
        }
    }
}

TEST(InterpolateLsp, EqualLspsGiveTheSameFilterInEverySubframe) {
    QcelpConfig config;
    float lsp[10];
    for (int i = 0; i < 10; ++i) lsp[i] = 0.05f + 0.09f * i;
    LpcBlock blocks[4];
    ASSERT_EQ(interpolateLsp(4, lsp, lsp, blocks, true, config), 4);
    for (int j = 1; j < 4; ++j)
        for (int k = 0; k < 10; ++k) EXPECT_NEAR(blocks[j].lpc[k], blocks[0].lpc[k], 1e-6f);
}

}  // namespace
}  // namespace sonx
