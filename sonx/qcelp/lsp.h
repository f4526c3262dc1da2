// Line spectral pairs to LPC coefficients, and their interpolation across
// the subframes of a frame.
#ifndef SONX_QCELP_LSP_H
#define SONX_QCELP_LSP_H

#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

// Coefficients of one interpolation subframe: alpha_k of
// A(z) = 1 - sum alpha_k z^-k (bandwidth expanded), and the perceptually
// weighted set alpha_k gamma^k the encoder uses.
struct LpcBlock {
    float lpc[kLpcOrder];
    float weighted[kLpcOrder];
};

inline constexpr int kMaxLpcBlocks = 4;

// LSPs in units of half the sampling rate to alpha_1..alpha_10.
void lspToLpc(const float lsp[kLpcOrder], float lpc[kLpcOrder]);

// lspToLpc followed by the bandwidth expansion alpha_k * 0.9883^k.
void lspToExpandedLpc(const float lsp[kLpcOrder], float lpc[kLpcOrder]);

// Interpolation subframes of a rate: 2, 1, 4, 4, 4 for rates 0..4 (4 otherwise).
int lspInterpolationSubframes(int rate);

// Fills one block per interpolation subframe of the rate and returns their
// number. With weightingOff clear the weighted halves are filled too, with
// the configuration's weighting factor.
int interpolateLsp(int rate, const float previous[kLpcOrder], const float current[kLpcOrder],
                   LpcBlock blocks[kMaxLpcBlocks], bool weightingOff, const QcelpConfig& config);

}  // namespace sonx

#endif  // SONX_QCELP_LSP_H
