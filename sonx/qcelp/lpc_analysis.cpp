#include "sonx/qcelp/lpc_analysis.h"

#include <cmath>
#include <numbers>

#include "sonx/qcelp/vector_ops.h"

namespace sonx {
namespace {

struct HammingWindow {
    float w[kLpcWindowLength];
    HammingWindow() {
        for (int n = 0; n < kLpcWindowLength; ++n)
            w[n] = static_cast<float>(0.54 - 0.46 * std::cos(2.0 * std::numbers::pi * n / 159.0));
    }
};

const HammingWindow& hammingWindow() {
    static const HammingWindow window;
    return window;
}

constexpr float kExpansionFactors[5] = {1.0f, 0.98f, 0.95f, 0.92f, 0.90f};

// R(k) = sum of y(n) y(n + k) over the window.
void autocorrelationNarrow(const float* y, float R[kAutocorrLags]) {
    for (int k = 0; k < kAutocorrLags; ++k)
        R[k] = static_cast<float>(dotProduct(y, y + k, kLpcWindowLength - k));
}

#if defined(SONX_QCELP_AVX2)
SONX_QCELP_WIDE void autocorrelationWide(const float* y, float R[kAutocorrLags]) {
    for (int k = 0; k < kAutocorrLags; ++k)
        R[k] = static_cast<float>(dotProductWide(y, y + k, kLpcWindowLength - k));
}
#endif

void autocorrelation(const float* y, float R[kAutocorrLags]) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return autocorrelationWide(y, R);
#endif
    autocorrelationNarrow(y, R);
}

}  // namespace

void levinsonDurbin(float R[kAutocorrLags], float a[kLpcOrder]) {
    for (int k = 0; k < kLpcOrder; ++k) a[k] = 0.0f;
    // Also catches a non-finite R(0): such a frame is treated as silence.
    if (!(R[0] >= 0.0001f)) {
        R[0] = 10.0f;
        for (int k = 1; k <= 9; ++k) R[k] = 0.0f;
        return;
    }
    double coef[kLpcOrder + 1] = {};
    double prev[kLpcOrder + 1] = {};
    double error = R[0];
    const double floor = 0.001 * R[0];
    for (int i = 1; i <= kLpcOrder; ++i) {
        // Once the error collapses every further stage contributes nothing.
        if (!(error > floor)) break;
        double acc = R[i];
        for (int j = 1; j < i; ++j) acc -= coef[j] * R[i - j];
        const double k = acc / error;
        for (int j = 1; j < i; ++j) prev[j] = coef[j];
        coef[i] = k;
        for (int j = 1; j < i; ++j) coef[j] = prev[j] - k * prev[i - j];
        error *= 1.0 - k * k;
    }
    for (int k = 0; k < kLpcOrder; ++k) a[k] = static_cast<float>(coef[k + 1]);
}

void expandBandwidth(float a[kLpcOrder], int32_t expansionIndex) {
    if (expansionIndex <= 0) return;
    const float gamma = kExpansionFactors[expansionIndex > 4 ? 4 : expansionIndex];
    float factor = 1.0f;
    for (int k = 1; k < kLpcOrder; ++k) {
        factor *= gamma;
        a[k] *= factor;
    }
}

void analyzeLpc(const float* speech, int32_t expansionIndex, float a[kLpcOrder], float R[kAutocorrLags]) {
    const float* w = hammingWindow().w;
    float y[kLpcWindowLength];
    for (int n = 0; n < kLpcWindowLength; ++n) y[n] = speech[n] * w[n];
    autocorrelation(y, R);
    levinsonDurbin(R, a);
    expandBandwidth(a, expansionIndex);
}

}  // namespace sonx
