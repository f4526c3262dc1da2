// Quantisation of the frame's LSPs: the predictive one-bit scalar quantiser
// of eighth rate and the weighted split vector quantiser of the other rates,
// closed through the decoder's own LSP decoding.
#ifndef SONX_QCELP_LSP_QUANTIZE_H
#define SONX_QCELP_LSP_QUANTIZE_H

#include <cstdint>

#include "sonx/qcelp/decoder_state.h"
#include "sonx/qcelp/lpc_analysis.h"
#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

// Sensitivity of the weighted prediction error to each LSP, from R(0..9).
void lspWeights(const float R[kAutocorrLags], const float a[kLpcOrder], const float lsp[kLpcOrder],
                float weights[kLpcOrder]);

// One bit per LSP: the sign of its deviation from the prediction.
void quantizeEighthRateLsp(const float lsp[kLpcOrder], const float previousQuantised[kLpcOrder],
                           uint32_t codes[kLpcOrder]);

// Greedy pair-by-pair search of the five vector tables.
void searchLspVectors(const float lsp[kLpcOrder], const float weights[kLpcOrder], uint32_t codes[5]);

// Vector codes for `lsp` that the decoder's LSP check of half and full rate
// accepts: the plain search when it passes, else the search of the LSPs
// drawn toward their long-term mean until it passes.
void searchPlausibleLspVectors(const float lsp[kLpcOrder], const float weights[kLpcOrder], uint32_t codes[5]);

// Codes of `rate` into params.lsp, then the decoder's LSP decoding on the
// local decoder (advancing its prediction memory) gives the quantised LSPs.
void quantizeLsp(int rate, const float a[kLpcOrder], const float lsp[kLpcOrder], const float R[kAutocorrLags],
                 QcelpDecoderState& local, QcelpParams& params, float quantised[kLpcOrder]);

}  // namespace sonx

#endif  // SONX_QCELP_LSP_QUANTIZE_H
