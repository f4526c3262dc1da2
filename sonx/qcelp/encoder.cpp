#include "sonx/qcelp/encoder.h"
#include "sonx/qcelp/portable_math.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "sonx/qcelp/codebook_search.h"
#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/lsp.h"
#include "sonx/qcelp/lsp_quantize.h"
#include "sonx/qcelp/packet_layout.h"
#include "sonx/qcelp/packing.h"

namespace sonx {
namespace {

constexpr float kHighPassZero[2] = {-2.0f, 1.0f};
constexpr float kHighPassPole[2] = {1.88f, -0.8836f};
constexpr float kHighPassGain = 0.94614536f;
constexpr float kNoiseGainScale = 1.2608f;

// output + offset, or null when there is no output.
float* outputAt(float* output, int offset) {
    return output ? output + offset : nullptr;
}

double energy(const float* x, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * x[i];
    return sum;
}

void highPass(float* x, QcelpEncoderState& state) {
    allZeroFilter(x, x, kFrameSamples, state.highPassZero, true);
    allPoleFilterBlocks(x, x, kFrameSamples, state.highPassPole);
    for (int n = 0; n < kFrameSamples; ++n) x[n] *= kHighPassGain;
}

// LPC residual A(z)s and weighted speech over the coded frame, one LPC
// subframe at a time.
void residualAndWeighted(const float* speech, const LpcBlock* blocks, int count, QcelpEncoderState& state,
                         float* residual, float* weightedSpeech) {
    const int length = kFrameSamples / count;
    for (int b = 0; b < count; ++b) {
        for (int k = 0; k < kLpcOrder; ++k) {
            state.residualFilter.coeffs[k] = -blocks[b].lpc[k];
            state.weightingFilter.coeffs[k] = blocks[b].weighted[k];
        }
        const int at = b * length;
        allZeroFilter(speech + at, residual + at, length, state.residualFilter, true);
        allPoleFilterBlocks(residual + at, weightedSpeech + at, length, state.weightingFilter);
    }
}

// Would a quarter-rate packet of this frame pass the decoder's checks?
bool quarterRateCodable(const float* speech, const float R[kAutocorrLags], const float a[kLpcOrder],
                        const QcelpParams& params) {
    uint32_t codes[5];
    quarterRateGainCodes(speech, predictionGainDb(R, a), codes);
    return lspCheck(kRateQuarter, params.lsp) && quarterRateGainCheck(codes);
}

void codeEighthRate(const float* residual, const LpcBlock& block, const QcelpConfig& config,
                    QcelpEncoderState& state, QcelpPacket& packet, float* output) {
    QcelpDecoderState& local = state.local;
    float g = static_cast<float>(0.5 * kNoiseGainScale * std::sqrt(energy(residual, kFrameSamples) / 160.0));
    // Quieter noise once the background is well below the speech.
    const int32_t s0 = state.rate.snrIndex[0];
    if (s0 >= 4) {
        state.eighthRateHalving = 1;
        g *= 0.5f;
    } else if (s0 >= 2) {
        if (state.eighthRateHalving) g *= 0.5f;
    } else {
        state.eighthRateHalving = 0;
    }
    uint32_t code;
    const float quantised = quantizeEighthRateGain(g, local, code);
    packet.params.cbGain[0] = code;
    packEighthRate(packet);

    const PitchParams pitch;
    const float k0 = local.carriedGain;
    const float m = (std::fabs(quantised) + k0) / 2.0f;
    CodebookSubframe codebook;
    codebook.seed = static_cast<uint16_t>(packet.params.seed);
    for (int k = 0; k < 8; ++k) {
        codebook.gain = (static_cast<float>(k + 1) * m + static_cast<float>(7 - k) * k0) / 8.0f;
        synthesizeSubframe(kRateEighth, local, block, pitch, &codebook, outputAt(output, 20 * k), 20, config, 1, 1);
    }
    local.carriedGain = m;
    local.eighthRateRun += 1;
    state.rate.frameSnr = 0.0f;

    state.last.codebook[0] = CodebookSubframe{};
    state.last.codebook[0].gain = quantised;
    state.last.codebook[0].gainCode = code;
    state.last.codebook[0].seed = static_cast<uint16_t>(packet.params.seed);
}

void codeQuarterRate(const float* speech, const LpcBlock* blocks, const QcelpConfig& config,
                     QcelpEncoderState& state, QcelpPacket& packet, float* output) {
    QcelpDecoderState& local = state.local;
    CodebookSubframe gains[5];
    quarterRateGains(speech, state.rate.predictionGain, local, gains);
    for (int i = 0; i < 5; ++i) packet.params.cbGain[i] = gains[i].gainCode;
    packPacket(kRateQuarter, packet);

    float g[5];
    for (int i = 0; i < 5; ++i) g[i] = gains[i].gain;
    // The decoder's interpolation of the five gains over eight halves.
    const float halves[4][2] = {
        {g[0], 0.6f * g[0] + 0.4f * g[1]},
        {g[1], 0.2f * g[1] + 0.8f * g[2]},
        {0.8f * g[2] + 0.2f * g[3], g[3]},
        {0.4f * g[3] + 0.6f * g[4], g[4]},
    };
    const PitchParams pitch;
    CodebookSubframe codebook[2];
    codebook[0].seed = quarterRateSeed(packet.payload);
    for (int s = 0; s < kPitchSubframes; ++s) {
        codebook[0].gain = halves[s][0];
        codebook[1].gain = halves[s][1];
        synthesizeSubframe(kRateQuarter, local, blocks[s], pitch, codebook,
                           outputAt(output, kPitchSubframeSamples * s), kPitchSubframeSamples, config, 2, 1);
    }
    local.carriedGain = std::fabs(g[4]);
    local.eighthRateRun = 0;
    state.rate.frameSnr = 0.0f;
    std::copy(gains, gains + 5, state.last.codebook);
}

void codeHalfOrFullRate(int rate, const float* weightedSpeech, const LpcBlock* blocks,
                        const QcelpConfig& config, QcelpEncoderState& state, QcelpPacket& packet,
                        float* output) {
    QcelpDecoderState& local = state.local;
    QcelpParams& params = packet.params;
    const int perPitch = rate == kRateFull ? 4 : 1;
    const int length = kPitchSubframeSamples / perPitch;
    double targetSum = 0.0, errorSum = 0.0;
    float lastGain = 0.0f;
    CodebookEnergies energies;

    for (int p = 0; p < kPitchSubframes; ++p) {
        const float* w = weightedSpeech + kPitchSubframeSamples * p;
        float target[kPitchSubframeSamples];
        impulseResponse(blocks[p].weighted, energies.h);
        searchPitch(rate, w, config, local, blocks[p].weighted, energies.h, state.pitch, target);
        const PitchParams pitch = state.pitch.params;
        params.pitchLag[p] = pitch.lagCode;
        params.pitchFrac[p] = pitch.fractionBit;
        params.pitchGain[p] = pitch.gainCode;
        state.last.pitch[p] = pitch;

        for (int j = 0; j < perPitch; ++j) {
            const int k = p * perPitch + j;
            const int at = j * length;
            // A subframe within the impulse response's length has its
            // weighted synthesis made by the search.
            const bool searchSynthesizes = length <= kImpulseLength;
            float synthesized[kPitchSubframeSamples];
            CodebookSubframe& codebook = state.last.codebook[k];
            searchCodebook(rate, blocks[p].weighted, w + at, length, k, j, pitch, local, energies, codebook,
                           searchSynthesizes ? synthesized : nullptr);
            params.cbIndex[k] = sentCodebookIndex(codebook.index, codebook.sign);
            params.cbGain[k] = codebook.gainCode;
            params.cbSign[k] = codebook.sign;
            lastGain = codebook.gain;

            CodebookSubframe record = codebook;
            float* out = outputAt(output, kPitchSubframeSamples * p + at);
            if (searchSynthesizes)
                synthesizeWeightedGiven(rate, local, blocks[p], pitch, record, out, length, synthesized);
            else
                synthesizeSubframe(rate, local, blocks[p], pitch, &record, out, length, config, 1, 1, synthesized);
            state.targetEnergy[k] = static_cast<float>(energy(target + at, length));
            double error = 0.0;
            for (int n = 0; n < length; ++n) {
                const double e = static_cast<double>(w[at + n]) - synthesized[n];
                error += e * e;
            }
            state.errorEnergy[k] = static_cast<float>(error);
            targetSum += state.targetEnergy[k];
            errorSum += state.errorEnergy[k];
        }
    }
    const double snr = 10.0 * portableLog10((1e-8 + targetSum) / (1e-8 + errorSum));
    state.rate.frameSnr = std::isfinite(snr) ? static_cast<float>(snr) : 0.0f;
    packPacket(rate, packet);
    local.carriedGain = std::fabs(lastGain);
    local.eighthRateRun = 0;
}

}  // namespace

void initEncoderState(QcelpEncoderState& state, const QcelpConfig& config) {
    state = QcelpEncoderState{};
    initFilter(state.highPassZero, 2, kHighPassZero);
    initFilter(state.highPassPole, 2, kHighPassPole);
    initFilter(state.residualFilter, kLpcOrder);
    initFilter(state.weightingFilter, kLpcOrder);
    initRateDecisionState(state.rate, config);
    initDecoderState(state.local, 0);
}

void encodeFrame(float speech[kEncoderSpeechSamples], QcelpPacket& packet, const QcelpConfig& config,
                 QcelpEncoderState& state, float* output) {
    QcelpParams& params = packet.params;
    const uint32_t seed = params.seed;
    params = QcelpParams{};
    params.seed = seed;

    highPass(speech + kEncoderLookAhead, state);
    float a[kLpcOrder], R[kAutocorrLags], lsp[kLpcOrder];
    analyzeLpc(speech + kEncoderLookAhead, state.lpc.expansionIndex, a, R);
    lpcToLsp(a, lsp, state.lpc);
    state.pitch.minLag = kMinPitchLag;
    state.pitch.maxLag = kMaxPitchLag;

    int rate = decideRateByBands(R, state.rate, config);
    packet.rate = rate;
    float quantised[kLpcOrder];
    quantizeLsp(rate, a, lsp, R, state.local, params, quantised);

    LpcBlock blocks[kMaxLpcBlocks];
    const int count = interpolateLsp(rate, state.local.previousLsp, quantised, blocks, false, config);
    float residual[kFrameSamples], weightedSpeech[kFrameSamples];
    residualAndWeighted(speech, blocks, count, state, residual, weightedSpeech);

    const bool quarterOk = rate != kRateEighth && quarterRateCodable(speech, R, a, params);
    rate = refineRate(rate, RateFrame{residual, R, speech, a, lsp, quarterOk}, config, state.rate);
    packet.rate = rate;

    state.last = EncodedFrame{};
    state.last.rate = rate;
    std::copy(quantised, quantised + kLpcOrder, state.last.lsp);
    switch (rate) {
        case kRateEighth:
            codeEighthRate(residual, blocks[0], config, state, packet, output);
            break;
        case kRateQuarter:
            codeQuarterRate(speech, blocks, config, state, packet, output);
            break;
        default:
            codeHalfOrFullRate(rate, weightedSpeech, blocks, config, state, packet, output);
            break;
    }
    std::copy(quantised, quantised + kLpcOrder, state.local.previousLsp);
}

}  // namespace sonx
