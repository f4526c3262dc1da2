#include "sonx/qcelp/lsp.h"

#include <cmath>
#include <cstdint>

#include "sonx/qcelp/tables.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {

namespace {

// -2 cos(pi w) from the table, without interpolation.
float lspCoefficient(float w) {
    float scaled = 256.0f * w;
    // LSPs are always small; the guard only keeps the cast defined.
    if (!(std::fabs(scaled) < 1.0e6f)) scaled = 0.0f;
    static_assert((kCosineTableSize & (kCosineTableSize - 1)) == 0);
    const int k = static_cast<int>(scaled) & (kCosineTableSize - 1);  // the index modulo the size
    return -2.0f * cosineTable[k];
}

// lspCoefficient of four LSPs at once, lane by lane the same.
Float4 lspCoefficients(Float4 w) {
    typedef int32_t Int4 __attribute__((vector_size(16)));
    const Float4 scaled = 256.0f * w;
    const Int4 bits = (Int4)scaled;
    const Int4 kept = bits & ((Float4)(bits & 0x7FFFFFFF) < 1.0e6f);  // zero where the guard fails
    const Int4 k = __builtin_convertvector((Float4)kept, Int4) & (kCosineTableSize - 1);
    return -2.0f * Float4{cosineTable[k[0]], cosineTable[k[1]], cosineTable[k[2]], cosineTable[k[3]]};
}

template <typename T>
T splat(float x) {
    return T{} + x;
}

// alpha_1..alpha_10 from the ten -2 cos(pi w) of the LSPs. The products of
// (1 + c z^-1 + z^-2) over the even and over the odd LSPs are symmetric
// polynomials of degree 10; lower coefficients never depend on higher ones,
// so they are carried only up to z^-5, the two side by side. T is float, or
// four floats for four LSP sets at once with the same arithmetic per lane.
template <typename T>
void coefficientsToLpc(const T c[kLpcOrder], T lpc[kLpcOrder]) {
    T p[6], q[6];
    for (int k = 0; k < 6; ++k) p[k] = q[k] = splat<T>(k == 0 ? 1.0f : 0.0f);
    for (int i = 0; i < kLpcOrder; i += 2) {
        for (int k = 5; k >= 2; --k) {
            p[k] += c[i] * p[k - 1] + p[k - 2];
            q[k] += c[i + 1] * q[k - 1] + q[k - 2];
        }
        p[1] += c[i] * p[0];
        q[1] += c[i + 1] * q[0];
    }
    for (int k = 1; k <= 5; ++k) {
        const T sum = p[k] + p[k - 1];         // times (1 + z^-1)
        const T difference = q[k] - q[k - 1];  // times (1 - z^-1)
        lpc[k - 1] = -(sum + difference) * 0.5f;
        lpc[kLpcOrder - k] = -(sum - difference) * 0.5f;
    }
}

}  // namespace

void lspToLpc(const float lsp[kLpcOrder], float lpc[kLpcOrder]) {
    float c[kLpcOrder];
    for (int i = 0; i < kLpcOrder; ++i) c[i] = lspCoefficient(lsp[i]);
    coefficientsToLpc(c, lpc);
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
    // The blocks' LSPs, then their filters all at once, one block per lane.
    float weights[kMaxLpcBlocks];
    float weight = 0.125f + 0.5f * step;
    for (float& w : weights) {
        w = weight < 1.0f ? weight : 1.0f;
        weight += step;
    }
    const Float4 w = load4(weights), rest = 1.0f - w;
    Float4 c[kLpcOrder], lpc[kLpcOrder];
    for (int i = 0; i < kLpcOrder; ++i) c[i] = lspCoefficients(rest * previous[i] + w * current[i]);
    coefficientsToLpc(c, lpc);
    for (int k = 0; k < kLpcOrder; ++k) {
        const Float4 expanded = lpc[k] * bandwidthFactors[k];
        for (int j = 0; j < count; ++j) blocks[j].lpc[k] = expanded[j];
    }
    if (weightingOff) return count;
    float g = 1.0f;
    for (int k = 0; k < kLpcOrder; ++k) {
        g *= config.weightingFactor;
        for (int j = 0; j < count; ++j) blocks[j].weighted[k] = blocks[j].lpc[k] * g;
    }
    return count;
}

}  // namespace sonx
