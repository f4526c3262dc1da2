#include "sonx/qcelp/lsp.h"

#include <cmath>

#include "sonx/qcelp/tables.h"

namespace sonx {

namespace {

// -2 cos(pi w) from the table, without interpolation.
float lspCoefficient(float w) {
    float scaled = 256.0f * w;
    // LSPs are always small; the guard only keeps the cast defined.
    if (!(std::fabs(scaled) < 1.0e6f)) scaled = 0.0f;
    int k = static_cast<int>(scaled) % kCosineTableSize;
    if (k < 0) k += kCosineTableSize;
    return -2.0f * cosineTable[k];
}

// Coefficients 0..5 of the products of (1 + c z^-1 + z^-2) over the five
// even and the five odd LSPs (symmetric polynomials of degree 10). Lower
// coefficients never depend on higher ones, so the products are carried only
// up to z^-5; the two run side by side.
void productsOfFactors(const float lsp[kLpcOrder], float even[6], float odd[6]) {
    float p[6] = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    float q[6] = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < kLpcOrder; i += 2) {
        const float c = lspCoefficient(lsp[i]);
        const float d = lspCoefficient(lsp[i + 1]);
        for (int k = 5; k >= 2; --k) {
            p[k] += c * p[k - 1] + p[k - 2];
            q[k] += d * q[k - 1] + q[k - 2];
        }
        p[1] += c * p[0];
        q[1] += d * q[0];
    }
    for (int k = 0; k < 6; ++k) {
        even[k] = p[k];
        odd[k] = q[k];
    }
}

}  // namespace

void lspToLpc(const float lsp[kLpcOrder], float lpc[kLpcOrder]) {
    float pe[6];
    float qo[6];
    productsOfFactors(lsp, pe, qo);
    for (int k = 1; k <= 5; ++k) {
        const float p = pe[k] + pe[k - 1];  // times (1 + z^-1)
        const float q = qo[k] - qo[k - 1];  // times (1 - z^-1)
        lpc[k - 1] = -(p + q) * 0.5f;
        lpc[kLpcOrder - k] = -(p - q) * 0.5f;
    }
}

void lspToExpandedLpc(const float lsp[kLpcOrder], float lpc[kLpcOrder]) {
    lspToLpc(lsp, lpc);
    for (int k = 0; k < kLpcOrder; ++k) lpc[k] *= bandwidthFactors[k];
}

int lspInterpolationSubframes(int rate) {
    switch (rate) {
        case kRateBlank:
            return 2;
        case kRateEighth:
            return 1;
        default:
            return 4;
    }
}

int interpolateLsp(int rate, const float previous[kLpcOrder], const float current[kLpcOrder],
                   LpcBlock blocks[kMaxLpcBlocks], bool weightingOff, const QcelpConfig& config) {
    const int count = lspInterpolationSubframes(rate);
    const float step = 1.0f / static_cast<float>(count);
    float weight = 0.125f + 0.5f * step;
    float gammaPowers[kLpcOrder];
    float g = 1.0f;
    for (int k = 0; k < kLpcOrder; ++k) {
        g *= config.weightingFactor;
        gammaPowers[k] = g;
    }
    for (int j = 0; j < count; ++j) {
        const float w = weight < 1.0f ? weight : 1.0f;
        float lsp[kLpcOrder];
        for (int i = 0; i < kLpcOrder; ++i) lsp[i] = (1.0f - w) * previous[i] + w * current[i];
        LpcBlock& b = blocks[j];
        lspToExpandedLpc(lsp, b.lpc);
        if (!weightingOff)
            for (int k = 0; k < kLpcOrder; ++k) b.weighted[k] = b.lpc[k] * gammaPowers[k];
        weight += step;
    }
    return count;
}

}  // namespace sonx
