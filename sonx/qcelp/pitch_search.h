// Closed-loop pitch (adaptive codebook) search of half- and full-rate
// pitch subframes in the perceptually weighted domain.
#ifndef SONX_QCELP_PITCH_SEARCH_H
#define SONX_QCELP_PITCH_SEARCH_H

#include <cstdint>

#include "sonx/qcelp/decoder_state.h"
#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/qcelp_types.h"
#include "sonx/qcelp/synthesis.h"

namespace sonx {

inline constexpr int kImpulseLength = 20;
inline constexpr int kMinPitchLag = 17;
inline constexpr int kMaxPitchLag = 143;

// Lag bounds and the chosen parameters of the current pitch subframe.
struct PitchRecord {
    int32_t minLag = kMinPitchLag;
    int32_t maxLag = kMaxPitchLag;
    PitchParams params;  // as the local decoder uses them, with their codes
};

// n samples of 1 / (1 - sum c_k z^-k) on zero input from `filter`'s memory
// (its coefficients are not used); the memory is not changed.
void zeroInputResponse(const float coeffs[kLpcOrder], const FilterState& filter, float* out, int n);

// h(0..19) of 1 / (1 - sum c_k z^-k) from zero state.
void impulseResponse(const float coeffs[kLpcOrder], float h[kImpulseLength]);

// b to its 3-bit code: the quarter step at or below b, 0.25..2.0; code 0
// with gain 0 below 0.25.
uint32_t quantizePitchGain(float b, float& gain);

// Codes of a lag (0: no pitch) and fraction (0 or 2), and the parameters a
// decoder reads back from them, which the local decoder then uses.
PitchParams encodePitchLag(int32_t lag, int32_t fraction, uint32_t gainCode);

// Pitch target t = w - zero-input response of the weighted synthesis, and
// the search of rate 3 or 4 (other rates: no pitch) with h, the impulse
// response of the weighted synthesis (impulseResponse). Fills record.params.
void searchPitch(int rate, const float weightedSpeech[kPitchSubframeSamples], const QcelpConfig& config,
                 const QcelpDecoderState& local, const float weighted[kLpcOrder], const float h[kImpulseLength],
                 PitchRecord& record, float target[kPitchSubframeSamples]);

// n samples of adaptive-codebook excitation: the pitch filter on zero input
// from the local decoder's pitch memory, which is left unchanged.
void pitchContribution(const PitchFilterState& memory, const PitchParams& pitch, float* out, int n);

}  // namespace sonx

#endif  // SONX_QCELP_PITCH_SEARCH_H
