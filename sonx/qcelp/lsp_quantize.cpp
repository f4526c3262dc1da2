#include "sonx/qcelp/lsp_quantize.h"

#include <cmath>
#include <numbers>

#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/tables.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;
constexpr float kEighthRatePrediction = 0.90625f;

typedef int32_t Int4 __attribute__((vector_size(16)));

constexpr int kLargestLspTable = 128;

// The vector tables as separate runs of first and second increments, for
// four entries to a vector.
struct SplitLspTables {
    float d0[kLspVectors][kLargestLspTable];
    float d1[kLspVectors][kLargestLspTable];
    SplitLspTables() {
        for (int j = 0; j < kLspVectors; ++j)
            for (int n = 0; n < lspTableSizes[j]; ++n) {
                d0[j][n] = lspTables[j][n].d0;
                d1[j][n] = lspTables[j][n].d1;
            }
    }
};

const SplitLspTables& splitLspTables() {
    static const SplitLspTables tables;
    return tables;
}

bool usableWeights(const float w[kLpcOrder]) {
    for (int i = 0; i < kLpcOrder; ++i)
        if (!std::isfinite(w[i]) || w[i] < 0.0f) return false;
    return true;
}

}  // namespace

void lspWeights(const float R[kAutocorrLags], const float a[kLpcOrder], const float lsp[kLpcOrder],
                float weights[kLpcOrder]) {
    double sum[kLpcOrder + 2], difference[kLpcOrder + 2];
    sum[0] = difference[0] = 1.0;
    for (int k = 1; k <= kLpcOrder; ++k) {
        sum[k] = -static_cast<double>(a[k - 1]) - a[kLpcOrder - k];
        difference[k] = static_cast<double>(a[kLpcOrder - k]) - a[k - 1];
    }
    sum[kLpcOrder + 1] = 1.0;
    difference[kLpcOrder + 1] = -1.0;

    // x_1, x_3, ... are roots of the sum polynomial, x_2, x_4, ... of the
    // difference: LSPs 2j and 2j + 1 side by side in the two lanes, each
    // lane doing one LSP's operations in their order.
    Double2 poly[kLpcOrder + 2];
    for (int k = 0; k < kLpcOrder + 2; ++k) poly[k] = Double2{sum[k], difference[k]};
    const Double2 mirror = {1.0, -1.0};  // the sign of c(9 - k) against c(k)
    const Double2 r0 = {R[0], R[0]};
    for (int j = 0; j < kLpcOrder / 2; ++j) {
        const double omega0 = kPi * lsp[2 * j], omega1 = kPi * lsp[2 * j + 1];
        const Double2 twoCos = {2.0 * std::cos(omega0), 2.0 * std::cos(omega1)};
        const Double2 scale = {kPi * std::sin(omega0), kPi * std::sin(omega1)};
        // The first five coefficients of poly / (1 - 2 cos(w) z^-1 + z^-2).
        Double2 b[5];
        b[0] = poly[0];
        b[1] = poly[1] + twoCos * b[0];
        for (int k = 2; k < 5; ++k) b[k] = poly[k] + twoCos * b[k - 1] - b[k - 2];
        Double2 c[kLpcOrder];
        for (int k = 0; k < 5; ++k) {
            c[k] = scale * b[k];
            c[kLpcOrder - 1 - k] = mirror * (scale * b[k]);
        }
        Double2 w = {0.0, 0.0};
        for (int k = 0; k < kLpcOrder; ++k) w += r0 * c[k] * c[k];
        for (int m = 1; m < kLpcOrder; ++m) {
            Double2 cross = {0.0, 0.0};
            for (int k = 0; k + m < kLpcOrder; ++k) cross += c[k] * c[k + m];
            const double twiceR = 2.0 * R[m];
            w += Double2{twiceR, twiceR} * cross;
        }
        weights[2 * j] = static_cast<float>(w[0]);
        weights[2 * j + 1] = static_cast<float>(w[1]);
    }
}

void quantizeEighthRateLsp(const float lsp[kLpcOrder], const float previousQuantised[kLpcOrder],
                           uint32_t codes[kLpcOrder]) {
    for (int i = 0; i < kLpcOrder; ++i) {
        const float mean = lspMean(i);
        const float e = (lsp[i] - mean) - kEighthRatePrediction * (previousQuantised[i] - mean);
        const float level = std::trunc((e + 0.02f) / 0.04f + 0.5f);
        codes[i] = level >= 1.0f ? 1u : 0u;  // also 0 for NaN
    }
}

void searchLspVectors(const float lsp[kLpcOrder], const float weights[kLpcOrder], uint32_t codes[5]) {
    const SplitLspTables& split = splitLspTables();
    float last = 0.0f;  // the quantised LSP below the pair
    for (int j = 0; j < kLspVectors; ++j) {
        const Float4 target0 = splat4(lsp[2 * j] - last);
        const Float4 target1 = splat4(lsp[2 * j + 1] - lsp[2 * j]);
        const Float4 w0 = splat4(weights[2 * j]), w1 = splat4(weights[2 * j + 1]);
        // Per lane, the first entry of the least distortion below 1e20 (a
        // NaN never wins); then the least of the lanes, the earlier entry on
        // a tie: the first least distortion of the whole table.
        Float4 best = splat4(1e20f);
        Int4 bestEntry = {-1, -1, -1, -1};
        const Int4 step = {4, 4, 4, 4};
        Int4 entry = {0, 1, 2, 3};
        for (int n = 0; n < lspTableSizes[j]; n += 4, entry += step) {
            const Float4 d0 = target0 - load4(split.d0[j] + n);
            const Float4 d1 = d0 + target1 - load4(split.d1[j] + n);
            const Float4 distortion = w0 * d0 * d0 + w1 * d1 * d1;
            const Int4 better = distortion < best;
            best = reinterpret_cast<Float4>((better & reinterpret_cast<Int4>(distortion)) |
                                            (~better & reinterpret_cast<Int4>(best)));
            bestEntry = (better & entry) | (~better & bestEntry);
        }
        float bestValue = 1e20f;
        int32_t bestIndex = 0;
        for (int l = 0; l < 4; ++l) {
            if (bestEntry[l] < 0) continue;
            if (best[l] < bestValue || (best[l] == bestValue && bestEntry[l] < bestIndex)) {
                bestValue = best[l];
                bestIndex = bestEntry[l];
            }
        }
        codes[j] = static_cast<uint32_t>(bestIndex);
        const LspPair& chosen = lspTables[j][bestIndex];
        last += chosen.d0 + chosen.d1;
    }
}

void searchPlausibleLspVectors(const float lsp[kLpcOrder], const float weights[kLpcOrder],
                               uint32_t codes[5]) {
    static constexpr float kUnitWeights[kLpcOrder] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    const float* w = usableWeights(weights) ? weights : kUnitWeights;
    searchLspVectors(lsp, w, codes);
    // A packet whose LSPs fail the decoder's check would be concealed as an
    // erasure; trade spectral detail for a vector it accepts.
    for (int step = 1; step <= 4 && !lspCheck(kRateHalf, codes); ++step) {
        const float pull = 0.25f * step;
        float drawn[kLpcOrder];
        for (int i = 0; i < kLpcOrder; ++i) {
            const float x = std::isfinite(lsp[i]) ? lsp[i] : lspMean(i);
            drawn[i] = (1.0f - pull) * x + pull * lspMean(i);
        }
        searchLspVectors(drawn, step == 4 ? kUnitWeights : w, codes);
    }
}

void quantizeLsp(int rate, const float a[kLpcOrder], const float lsp[kLpcOrder], const float R[kAutocorrLags],
                 QcelpDecoderState& local, QcelpParams& params, float quantised[kLpcOrder]) {
    for (uint32_t& code : params.lsp) code = 0;
    if (rate == kRateEighth) {
        quantizeEighthRateLsp(lsp, local.previousLsp, params.lsp);
    } else {
        float weights[kLpcOrder];
        lspWeights(R, a, lsp, weights);
        searchPlausibleLspVectors(lsp, weights, params.lsp);
    }
    decodeLsp(rate, params, local, quantised);
}

}  // namespace sonx
