// Fixed-codebook search of half- and full-rate subframes, and the
// quantisers of every excitation gain.
#ifndef SONX_QCELP_CODEBOOK_SEARCH_H
#define SONX_QCELP_CODEBOOK_SEARCH_H

#include <cstdint>

#include "sonx/qcelp/decoder_state.h"
#include "sonx/qcelp/pitch_search.h"
#include "sonx/qcelp/qcelp_types.h"
#include "sonx/qcelp/synthesis.h"
#include "sonx/qcelp/tables.h"

namespace sonx {

// What one pitch subframe's codebook subframes share: the impulse response
// of the weighted synthesis filter and the energies of all filtered
// codevectors.
struct CodebookEnergies {
    float h[kImpulseLength];
    float energy[kCodebookSize];
};

// Energies of the 128 zero-state filtered codevectors of length n,
// computed by shifting one codevector's response into the next.
void filteredCodevectorEnergies(const float* table, const float h[kImpulseLength], int n,
                                float energy[kCodebookSize]);

// Search of codebook subframe `subframe` (0..15 in the frame; position j
// within its pitch subframe) of rate 3 or 4 against the weighted speech `w`
// of its n samples, after the pitch contribution. energies.h must hold the
// weighted synthesis filter's impulse response; at j = 0 the energies are
// computed, later subframes reuse them. The chosen vector, gain code,
// sign and quantised gain go into `record` (gain histories advanced). When
// n <= kImpulseLength and `synthesized` is given, the subframe's weighted
// synthesis with the chosen excitation goes there (see
// synthesizeWeightedGiven).
void searchCodebook(int rate, const float weighted[kLpcOrder], const float* w, int n, int subframe, int j,
                    const PitchParams& pitch, QcelpDecoderState& local, CodebookEnergies& energies,
                    CodebookSubframe& record, float* synthesized = nullptr);

// Gain code and sign of an unquantised signed gain x, then the decoder's own
// gain decoding (histories advanced) for the quantised gain.
void quantizeCodebookGain(int rate, float x, int subframe, QcelpDecoderState& local,
                          CodebookSubframe& record);

// The 2-bit eighth-rate code nearest to g among four steps around the gain
// history; returns the quantised gain and advances the integer history.
float quantizeEighthRateGain(float g, QcelpDecoderState& local, uint32_t& code);

// The five quarter-rate gain codes of the coded frame's speech s (160
// samples) at prediction gain pg dB; no state involved.
void quarterRateGainCodes(const float* speech, float pg, uint32_t codes[5]);

// quarterRateGainCodes, then each code through the decoder's gain decoding.
void quarterRateGains(const float* speech, float pg, QcelpDecoderState& local, CodebookSubframe records[5]);

// The codebook index a packet carries: shifted by 89 for a negative gain.
uint32_t sentCodebookIndex(int32_t index, uint32_t sign);

}  // namespace sonx

#endif  // SONX_QCELP_CODEBOOK_SEARCH_H
