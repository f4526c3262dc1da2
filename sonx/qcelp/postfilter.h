// The decoder's own stages: the pitch enhancer on the excitation, and the
// LPC synthesis with the adaptive post-filter on its output.
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

// The LPC synthesis of w into `out`, then A(z/0.625) / A(z/0.775), the
// tilt 1/(1 + 0.3 z^-1) and the smoothed gain control (one step per piece
// of gainLength samples) when the configuration enables the post-filter.
// A length that is a whole number of pitch subframes runs in subframes,
// which share the blockCount LPC blocks evenly in order; any other length
// is one piece with blocks[0].
void synthesizeSpeech(QcelpDecoderState& state, const LpcBlock* blocks, int blockCount, const float* w,
                      float* out, int length, int gainLength, const QcelpConfig& config);

}  // namespace sonx

#endif  // SONX_QCELP_POSTFILTER_H
