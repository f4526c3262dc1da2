#include "sonx/qcelp/decoder.h"

#include <algorithm>
#include <cmath>

#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/lsp.h"
#include "sonx/qcelp/packet_layout.h"
#include "sonx/qcelp/postfilter.h"
#include "sonx/qcelp/synthesis.h"
#include "sonx/qcelp/tables.h"

namespace sonx {

namespace {

void keepPitch(QcelpDecoderState& state, const PitchParams& pitch) {
    state.previousLag = pitch.lag;
    state.previousFraction = pitch.fraction;
    state.previousPitchGain = pitch.gain;
}

void keepLsp(QcelpDecoderState& state, const float lsp[kLpcOrder]) {
    std::copy(lsp, lsp + kLpcOrder, state.previousLsp);
}

// The previous pitch continues through the previous filter, with no codebook excitation.
void decodeBlank(float* out, const QcelpConfig& config, QcelpDecoderState& state) {
    LpcBlock block{};
    lspToExpandedLpc(state.previousLsp, block.lpc);
    PitchParams pitch;
    pitch.lag = state.previousLag;
    pitch.fraction = state.previousFraction;
    pitch.gain = std::min(state.previousPitchGain, 1.0f);
    CodebookSubframe codebook;
    synthesizeSubframe(kRateBlank, state, block, pitch, &codebook, out, kFrameSamples, config, 1, 1);
    state.carriedGain = 0.0f;
    keepPitch(state, pitch);
}

void decodeEighth(float* out, const QcelpParams& params, const QcelpConfig& config,
                  QcelpDecoderState& state) {
    float lsp[kLpcOrder];
    decodeLsp(kRateEighth, params, state, lsp);
    LpcBlock blocks[kMaxLpcBlocks];
    interpolateLsp(kRateEighth, state.previousLsp, lsp, blocks, true, config);

    const PitchParams pitch;
    const float g = decodeEighthRateGain(params.cbGain[0], state);
    const float k0 = state.carriedGain;
    const float a = (std::fabs(g) + k0) / 2.0f;
    // The gain ramps from the carried gain so that noise fades in smoothly,
    // one step per twentieth of the frame.
    constexpr int kGainSteps = 8;
    CodebookSubframe codebook[kGainSteps];
    codebook[0].seed = static_cast<uint16_t>(params.seed);
    for (int k = 0; k < kGainSteps; ++k)
        codebook[k].gain = (static_cast<float>(k + 1) * a + static_cast<float>(7 - k) * k0) / 8.0f;
    synthesizeSubframe(kRateEighth, state, blocks[0], pitch, codebook, out, kFrameSamples, config, kGainSteps, 1,
                       nullptr, GainBlocks::PerCodebookPart);
    state.carriedGain = a;
    state.eighthRateRun += 1;
    state.erasureCount = 0;
    state.noiseSeed = codebook[0].seed;
    keepPitch(state, pitch);
    keepLsp(state, lsp);
}

void decodeQuarter(float* out, const QcelpPacket& packet, const QcelpConfig& config,
                   QcelpDecoderState& state) {
    const QcelpParams& params = packet.params;
    float lsp[kLpcOrder];
    decodeLsp(kRateQuarter, params, state, lsp);
    LpcBlock blocks[kMaxLpcBlocks];
    interpolateLsp(kRateQuarter, state.previousLsp, lsp, blocks, true, config);

    float g[5];
    for (int i = 0; i < 5; ++i) g[i] = decodeCodebookGain(kRateQuarter, i, params.cbGain[i], 0, state);
    const float halves[4][2] = {
        {g[0], 0.6f * g[0] + 0.4f * g[1]},
        {g[1], 0.2f * g[1] + 0.8f * g[2]},
        {0.8f * g[2] + 0.2f * g[3], g[3]},
        {0.4f * g[3] + 0.6f * g[4], g[4]},
    };
    const PitchParams pitch;
    CodebookSubframe codebook[2];
    codebook[0].seed = quarterRateSeed(packet.payload);
    float w[kFrameSamples];
    for (int s = 0; s < kPitchSubframes; ++s) {
        codebook[0].gain = halves[s][0];
        codebook[1].gain = halves[s][1];
        exciteSubframe(kRateQuarter, state, pitch, codebook, w + kPitchSubframeSamples * s,
                       kPitchSubframeSamples, config, 2, 1);
    }
    synthesizeSpeech(state, blocks, kPitchSubframes, w, out, kFrameSamples, kPitchSubframeSamples, config);
    state.carriedGain = std::fabs(g[4]);
    state.eighthRateRun = 0;
    state.erasureCount = 0;
    state.noiseSeed = codebook[0].seed;
    keepPitch(state, pitch);
    keepLsp(state, lsp);
}

void decodeHalfOrFull(int rate, float* out, const QcelpParams& params, const QcelpConfig& config,
                      QcelpDecoderState& state) {
    float lsp[kLpcOrder];
    decodeLsp(rate, params, state, lsp);
    LpcBlock blocks[kMaxLpcBlocks];
    interpolateLsp(rate, state.previousLsp, lsp, blocks, true, config);

    CodebookSubframe codebook[kMaxCodebookSubframes];
    const int records = decodeCodebookRecords(rate, params, state, codebook);
    const int perPitch = records / kPitchSubframes;
    PitchParams pitch;
    float w[kFrameSamples];
    for (int s = 0; s < kPitchSubframes; ++s) {
        pitch = decodePitch(params.pitchLag[s], params.pitchFrac[s], params.pitchGain[s]);
        exciteSubframe(rate, state, pitch, codebook + s * perPitch, w + kPitchSubframeSamples * s,
                       kPitchSubframeSamples, config, perPitch, 1);
    }
    synthesizeSpeech(state, blocks, kPitchSubframes, w, out, kFrameSamples, kPitchSubframeSamples, config);
    state.carriedGain = std::fabs(codebook[records - 1].gain);
    state.eighthRateRun = 0;
    state.erasureCount = 0;
    state.noiseSeed = 0;
    keepPitch(state, pitch);
    keepLsp(state, lsp);
}

// Concealment: the spectrum drifts toward the long-term mean, pitch and
// codebook gains decay over up to three erasures in a row.
void decodeErasure(float* out, const QcelpConfig& config, QcelpDecoderState& state) {
    static constexpr float kDecay[4] = {1.0f, 0.9f, 0.9f, 0.7f};
    static constexpr float kPitchCap[4] = {0.8984375f, 0.6015625f, 0.30078125f, 0.0f};
    const int c = std::clamp(state.erasureCount, 0, 3);

    float lsp[kLpcOrder];
    for (int i = 0; i < kLpcOrder; ++i) {
        state.lspMemory[i] *= kDecay[c];
        lsp[i] = 0.90625f * state.lspMemory[i] + lspMean(i);
    }
    limitLspSpacing(lsp);
    for (int i = 0; i < kLpcOrder; ++i) lsp[i] = 0.125f * lsp[i] + 0.875f * state.previousLsp[i];
    LpcBlock block{};
    lspToExpandedLpc(lsp, block.lpc);

    PitchParams pitch;
    pitch.lag = state.previousLag;
    pitch.fraction = state.previousFraction;
    pitch.gain = std::min(state.previousPitchGain, kPitchCap[c]);

    nextNoise(state.noiseSeed);
    int index = state.noiseSeed % kCodebookSize;

    int32_t& i0 = state.gainIndex[0];
    if (state.previousRate != kRateEighth || i0 > 13) i0 -= c == 3 ? 2 * c : c;
    i0 = std::clamp(i0, 0, kGainTableSize - 1);
    const float g = gainTable[i0];

    const float k0 = state.carriedGain;
    const float a = (g + k0) / 2.0f;
    CodebookSubframe codebook[kPitchSubframes];
    for (int k = 0; k < kPitchSubframes; ++k) {
        codebook[k].gain = (static_cast<float>(k + 1) * a + static_cast<float>(3 - k) * k0) / 4.0f;
        codebook[k].index = index;
        index = (index - kPitchSubframeSamples + kCodebookSize) % kCodebookSize;
    }
    synthesizeSubframe(kRateErasure, state, block, pitch, codebook, out, kFrameSamples, config, kPitchSubframes, 1,
                       nullptr, GainBlocks::PerCodebookPart);
    state.carriedGain = codebook[0].gain;
    state.erasureCount = std::min(c + 1, 3);
    keepPitch(state, pitch);
    keepLsp(state, lsp);
}

}  // namespace

void decodeFrame(float out[kFrameSamples], QcelpPacket& packet, const QcelpConfig& config,
                 QcelpDecoderState& state) {
    unpackPacket(packet);
    const QcelpParams& params = packet.params;
    int rate = packet.rate;
    if (rate >= kRateQuarter && rate <= kRateFull && !lspCheck(rate, params.lsp)) rate = kRateErasure;
    if (rate == kRateQuarter && !quarterRateGainCheck(params.cbGain)) rate = kRateErasure;
    packet.rate = rate;

    switch (rate) {
        case kRateBlank:
            decodeBlank(out, config, state);
            break;
        case kRateEighth:
            decodeEighth(out, params, config, state);
            break;
        case kRateQuarter:
            decodeQuarter(out, packet, config, state);
            break;
        case kRateHalf:
        case kRateFull:
            decodeHalfOrFull(rate, out, params, config, state);
            break;
        default:
            decodeErasure(out, config, state);
            break;
    }
    state.previousRate = rate;

    // Hostile packets (a run of pitch gain 2.0, say) can drive the filters
    // to infinity; start afresh rather than stay stuck at NaN.
    if (!decoderStateIsFinite(state)) initDecoderState(state, state.synthesisMode);
}

}  // namespace sonx
