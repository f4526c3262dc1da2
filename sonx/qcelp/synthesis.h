// Subframe synthesis shared by the decoder and the encoder's local decoder:
// excitation, pitch filter, then either the decoder's enhancer, LPC synthesis
// and post-filter, or the encoder's plain and weighted synthesis.
#ifndef SONX_QCELP_SYNTHESIS_H
#define SONX_QCELP_SYNTHESIS_H

#include <cstdint>

#include "sonx/qcelp/decoder_state.h"
#include "sonx/qcelp/lsp.h"
#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

struct PitchParams {
    float gain = 0.0f;
    int32_t lag = 0;
    int32_t fraction = 0;  // quarter samples: 0 or 2
    uint32_t gainCode = 0;
    uint32_t lagCode = 0;
    uint32_t fractionBit = 0;
};

struct CodebookSubframe {
    float gain = 0.0f;  // signed
    int32_t index = 0;  // effective vector index 0..127
    uint32_t gainCode = 0;
    uint32_t sign = 0;
    uint16_t seed = 0;  // noise seed of the eighth and quarter rates
};

// Where the decoder branch measures energies, for the enhancer's energy
// match and the post-filter's gain control: over the whole block, or over
// each codebook part on its own (a frame whose parts share one filter can
// then be synthesized in one block).
enum class GainBlocks { Whole, PerCodebookPart };

// The first stages of synthesizeSubframe, with the same arguments: the
// excitation and the pitch filter, then in the decoder branch the pitch
// enhancer, into w (`length` samples). The decoder completes a frame from
// it with synthesizeSpeech.
void exciteSubframe(int rateKind, QcelpDecoderState& state, const PitchParams& pitch,
                    CodebookSubframe* codebook, float* w, int length, const QcelpConfig& config,
                    int codebookSubframes, int vectorsPerSubframe, GainBlocks gainBlocks = GainBlocks::Whole);

// Synthesizes `length` samples (at most one frame) into `out`.
// rateKind: 1 eighth and 2 quarter (noise excitation), 3 half (half-rate
// codebook), anything else (full, blank, erasure) the full-rate codebook.
// The subframe is split into `codebookSubframes` parts of equal length;
// part i uses records codebook[i*vectorsPerSubframe ...] (summed for the
// codebooks; only the first for noise). Noise is drawn from codebook[0].seed
// through all parts, and the advanced seed is stored back there.
// state.synthesisMode selects the branch; the encoder branch writes the
// weighted synthesis to weightedOut when given (its memory advances either
// way), and skips the LPC synthesis when `out` is null.
void synthesizeSubframe(int rateKind, QcelpDecoderState& state, const LpcBlock& lpc, const PitchParams& pitch,
                        CodebookSubframe* codebook, float* out, int length, const QcelpConfig& config,
                        int codebookSubframes, int vectorsPerSubframe, float* weightedOut = nullptr,
                        GainBlocks gainBlocks = GainBlocks::Whole);

// The encoder branch for one codebook record when the caller already has
// the subframe's weighted synthesis (`weighted`, `length` samples, the
// codebook search makes it): excitation, pitch filter and plain synthesis
// as synthesizeSubframe, and the weighted synthesis filter's memory taken
// from `weighted` instead of running the filter again.
void synthesizeWeightedGiven(int rateKind, QcelpDecoderState& state, const LpcBlock& lpc, const PitchParams& pitch,
                             CodebookSubframe& codebook, float* out, int length, const float* weighted);

}  // namespace sonx

#endif  // SONX_QCELP_SYNTHESIS_H
