// From unpacked packet fields to speech parameters: LSPs (both quantisers),
// the plausibility checks, codebook and eighth-rate gains, pitch and
// codebook vectors. The encoder runs the same functions on its local decoder
// state so that both sides hold identical values.
#ifndef SONX_QCELP_DECODE_PARAMS_H
#define SONX_QCELP_DECODE_PARAMS_H

#include <cstdint>

#include "sonx/qcelp/decoder_state.h"
#include "sonx/qcelp/qcelp_types.h"
#include "sonx/qcelp/synthesis.h"

namespace sonx {

// LSPs rebuilt from the five vector-quantiser codes; no state involved.
void lspFromVectorCodes(const uint32_t codes[5], float lsp[kLpcOrder]);

// Plausibility of the coded LSPs of a rate 2, 3 or 4 packet (true: plausible).
bool lspCheck(int rate, const uint32_t codes[5]);

// The quarter-rate check on the five 4-bit gain codes (true: plausible).
bool quarterRateGainCheck(const uint32_t codes[5]);

// At least 0.02 from 0 and between neighbours, the last at most 0.98.
void limitLspSpacing(float lsp[kLpcOrder]);

// The frame's LSPs for rate 1..4, updating the prediction memory. Rate 1 is
// the predictive scalar path with spacing and smoothing against
// state.previousLsp (weight by state.eighthRateRun, which the caller advances
// afterwards); rates 2..4 the vector quantiser.
void decodeLsp(int rate, const QcelpParams& params, QcelpDecoderState& state, float lsp[kLpcOrder]);

// trunc((h0 + h1 + h2) / 3) bounded to 6..38: the level a 3-bit full-rate
// gain code is relative to.
int32_t predictedGainLevel(const QcelpDecoderState& state);

// Gain-table index of codebook subframe `subframe` (rate 2..4), without
// touching the history: 4 * code, or at full-rate subframes 3, 7, 11 and 15
// predictedGainLevel + 4 * code - 6.
int32_t codebookGainIndex(int rate, int subframe, uint32_t code, const QcelpDecoderState& state);

// Shifts a new index into both gain histories.
void pushGainIndex(QcelpDecoderState& state, int32_t index);

// codebookGainIndex, pushGainIndex, then the table gain, negated for sign 1.
float decodeCodebookGain(int rate, int subframe, uint32_t code, uint32_t sign, QcelpDecoderState& state);

// roundToInt((I0 + I1) / 2) - 1 bounded to 4..58: the centre of the four
// eighth-rate gain candidates.
int32_t eighthRateGainBase(const QcelpDecoderState& state);

// Eighth-rate gain of a 2-bit code; shifts the integer gain history.
float decodeEighthRateGain(uint32_t code, QcelpDecoderState& state);

// Effective codebook vector: the index as sent, or (index + 39) mod 128 for sign 1.
int32_t codebookVectorIndex(uint32_t cbIndex, uint32_t sign);

// The codebook records of a half- or full-rate frame, 4 or 16 (the count
// returned) in order: gain code, sign, effective vector and the gain of
// decodeCodebookGain, whose history they advance.
int decodeCodebookRecords(int rate, const QcelpParams& params, QcelpDecoderState& state,
                          CodebookSubframe records[kMaxCodebookSubframes]);

// Pitch lag, fraction and gain of one pitch subframe's codes.
PitchParams decodePitch(uint32_t lagCode, uint32_t fractionBit, uint32_t gainCode);

}  // namespace sonx

#endif  // SONX_QCELP_DECODE_PARAMS_H
