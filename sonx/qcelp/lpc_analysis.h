// Linear prediction of one frame: window, autocorrelation, Levinson-Durbin
// recursion, bandwidth expansion, and the conversion of the predictor to
// line spectral pairs.
#ifndef SONX_QCELP_LPC_ANALYSIS_H
#define SONX_QCELP_LPC_ANALYSIS_H

#include <cstdint>

#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

constexpr int kAutocorrLags = 18;  // R(0..17)
constexpr int kLpcWindowLength = kFrameSamples;

// What the LPC analysis carries from frame to frame: the bandwidth
// expansion that follows failed root searches, and the last good LSPs
// that stand in for a failed search. Kept per encoder so that a stream
// codes the same way whatever else runs in the process.
struct LpcCarry {
    int32_t expansionIndex = 0;  // 0..4
    float fallbackLsp[kLpcOrder] = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 1.0f};
};

// Predictor a_1..a_10 (A(z) = 1 - sum a_k z^-k) and R(0..17) of the 160
// samples, bandwidth-expanded by the factor of `expansionIndex`.
void analyzeLpc(const float* speech, int32_t expansionIndex, float a[kLpcOrder], float R[kAutocorrLags]);

// Order-10 recursion on R(0..10). A near-silent frame (R(0) < 0.0001)
// rewrites R(0) = 10, R(1..9) = 0 and yields a zero predictor.
void levinsonDurbin(float R[kAutocorrLags], float a[kLpcOrder]);

// a_k *= gamma^(k-1) for k = 2..10, gamma chosen by `expansionIndex`.
void expandBandwidth(float a[kLpcOrder], int32_t expansionIndex);

// Root search of the sum and difference polynomials; false when it does not
// find five interlaced pairs. `lsp` is written only on success.
bool searchLspRoots(const float a[kLpcOrder], float lsp[kLpcOrder]);

// LSPs of the predictor: the roots when found (they become the fallback and
// the expansion relaxes), else the fallback (and the expansion tightens).
void lpcToLsp(const float a[kLpcOrder], float lsp[kLpcOrder], LpcCarry& carry);

}  // namespace sonx

#endif  // SONX_QCELP_LPC_ANALYSIS_H
