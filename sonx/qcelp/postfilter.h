// Decoder-only shaping of the synthesized speech: the pitch enhancer on the
// excitation and the adaptive post-filter on the output.
#ifndef SONX_QCELP_POSTFILTER_H
#define SONX_QCELP_POSTFILTER_H

#include "sonx/qcelp/decoder_state.h"
#include "sonx/qcelp/lsp.h"
#include "sonx/qcelp/qcelp_types.h"
#include "sonx/qcelp/synthesis.h"

namespace sonx {

// Sets the enhancer to the subframe's lag and fraction with half the pitch
// gain (at most 0.5); when the configuration enables it, filters the
// excitation w with its own history and restores w's energy in each piece
// of gainLength samples.
void enhancePitch(QcelpDecoderState& state, const PitchParams& pitch, float* w, int length, int gainLength,
                  const QcelpConfig& config);

// A(z/0.625) / A(z/0.775), the tilt 1/(1 + 0.3 z^-1) and the smoothed gain
// control (one step per piece of gainLength samples), in place on `out`,
// when the configuration enables it.
void postFilter(QcelpDecoderState& state, const LpcBlock& lpc, float* out, int length, int gainLength,
                const QcelpConfig& config);

}  // namespace sonx

#endif  // SONX_QCELP_POSTFILTER_H
