#include "sonx/qcelp/decode_params.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/tables.h"

namespace sonx {

namespace {
constexpr float kEighthRateStep = 0.02f;
constexpr float kPredictionFactor = 0.90625f;
constexpr float kMinSpacing = 0.02f;

float tableGain(int32_t index) {
    return gainTable[std::clamp(index, 0, kGainTableSize - 1)];
}
}  // namespace

void lspFromVectorCodes(const uint32_t codes[5], float lsp[kLpcOrder]) {
    float last = 0.0f;
    for (int k = 0; k < kLspVectors; ++k) {
        const LspPair& pair = lspTables[k][codes[k] % static_cast<uint32_t>(lspTableSizes[k])];
        lsp[2 * k] = last + pair.d0;
        lsp[2 * k + 1] = lsp[2 * k] + pair.d1;
        last = lsp[2 * k + 1];
    }
}

bool lspCheck(int rate, const uint32_t codes[5]) {
    float lsp[kLpcOrder];
    lspFromVectorCodes(codes, lsp);
    if (rate == kRateQuarter) {
        if (lsp[9] <= 0.7f || lsp[9] >= 0.97f) return false;
        for (int i = 3; i < kLpcOrder; ++i)
            if (std::fabs(lsp[i] - lsp[i - 3]) < 0.08f) return false;
        return true;
    }
    if (lsp[9] <= 0.66f || lsp[9] >= 0.985f) return false;
    for (int i = 4; i < kLpcOrder; ++i)
        if (std::fabs(lsp[i] - lsp[i - 4]) < 0.0931f) return false;
    return true;
}

bool quarterRateGainCheck(const uint32_t codes[5]) {
    int c[5];
    for (int i = 0; i < 5; ++i) c[i] = static_cast<int>(codes[i] & 0x0Fu);
    for (int i = 0; i < 4; ++i)
        if (std::abs(c[i + 1] - c[i]) > 10) return false;
    for (int i = 1; i < 4; ++i)
        if (std::abs(c[i + 1] - 2 * c[i] + c[i - 1]) > 12) return false;
    return true;
}

void limitLspSpacing(float lsp[kLpcOrder]) {
    if (lsp[0] < kMinSpacing) lsp[0] = kMinSpacing;
    for (int i = 1; i < kLpcOrder; ++i)
        if (lsp[i] - lsp[i - 1] < kMinSpacing) lsp[i] = lsp[i - 1] + kMinSpacing;
    if (lsp[9] > 0.98f) lsp[9] = 0.98f;
    for (int i = kLpcOrder - 2; i >= 0; --i)
        if (lsp[i + 1] - lsp[i] < kMinSpacing) lsp[i] = lsp[i + 1] - kMinSpacing;
}

void decodeLsp(int rate, const QcelpParams& params, QcelpDecoderState& state, float lsp[kLpcOrder]) {
    if (rate != kRateEighth) {
        lspFromVectorCodes(params.lsp, lsp);
        for (int i = 0; i < kLpcOrder; ++i) state.lspMemory[i] = lsp[i] - lspMean(i);
        return;
    }
    for (int i = 0; i < kLpcOrder; ++i) {
        float& m = state.lspMemory[i];
        m = kPredictionFactor * m + (params.lsp[i] & 1u ? kEighthRateStep : -kEighthRateStep);
        lsp[i] = m + lspMean(i);
    }
    limitLspSpacing(lsp);
    // A long run of eighth-rate frames is background noise: hold its spectrum steadier.
    const float h = state.eighthRateRun > 9 ? 0.9f : 0.125f;
    for (int i = 0; i < kLpcOrder; ++i) lsp[i] = h * state.previousLsp[i] + (1.0f - h) * lsp[i];
}

int32_t predictedGainLevel(const QcelpDecoderState& state) {
    const float* h = state.gainHistory;
    float level = (h[0] + h[1] + h[2]) * 0.33333334f;
    if (!(level == level)) level = 0.0f;
    level = std::clamp(level, -1.0e6f, 1.0e6f);
    return std::clamp(static_cast<int32_t>(level), 6, 38);
}

int32_t codebookGainIndex(int rate, int subframe, uint32_t code, const QcelpDecoderState& state) {
    if (rate == kRateFull && subframe % 4 == 3)
        return predictedGainLevel(state) + 4 * static_cast<int32_t>(code & 0x07u) - 6;
    return 4 * static_cast<int32_t>(code & 0x0Fu);
}

void pushGainIndex(QcelpDecoderState& state, int32_t index) {
    float* h = state.gainHistory;
    h[2] = h[1];
    h[1] = h[0];
    h[0] = static_cast<float>(index);
    state.gainIndex[1] = state.gainIndex[0];
    state.gainIndex[0] = index;
}

float decodeCodebookGain(int rate, int subframe, uint32_t code, uint32_t sign, QcelpDecoderState& state) {
    const int32_t index = codebookGainIndex(rate, subframe, code, state);
    pushGainIndex(state, index);
    // The sign bit set without a branch: the signs are as good as random.
    const float gain = tableGain(index);
    uint32_t bits;
    std::memcpy(&bits, &gain, sizeof bits);
    bits ^= static_cast<uint32_t>(sign != 0) << 31;
    float signedGain;
    std::memcpy(&signedGain, &bits, sizeof signedGain);
    return signedGain;
}

int32_t eighthRateGainBase(const QcelpDecoderState& state) {
    const float mean = static_cast<float>(state.gainIndex[0] + state.gainIndex[1]) * 0.5f;
    return std::clamp(roundToInt(mean) - 1, 4, 58);
}

float decodeEighthRateGain(uint32_t code, QcelpDecoderState& state) {
    const int32_t index = eighthRateGainBase(state) + eighthRateGainOffset[code & 3u];
    state.gainIndex[1] = state.gainIndex[0];
    state.gainIndex[0] = index;
    return tableGain(index);
}

int32_t codebookVectorIndex(uint32_t cbIndex, uint32_t sign) {
    const uint32_t index = sign ? cbIndex + 39u : cbIndex;
    return static_cast<int32_t>(index % kCodebookSize);
}

int decodeCodebookRecords(int rate, const QcelpParams& params, QcelpDecoderState& state,
                          CodebookSubframe records[kMaxCodebookSubframes]) {
    const int count = rate == kRateFull ? kMaxCodebookSubframes : kPitchSubframes;
    for (int k = 0; k < count; ++k) {
        CodebookSubframe& c = records[k];
        c.gainCode = params.cbGain[k];
        c.sign = params.cbSign[k];
        c.index = codebookVectorIndex(params.cbIndex[k], params.cbSign[k]);
        c.gain = decodeCodebookGain(rate, k, params.cbGain[k], params.cbSign[k], state);
    }
    return count;
}

PitchParams decodePitch(uint32_t lagCode, uint32_t fractionBit, uint32_t gainCode) {
    PitchParams p;
    p.lagCode = lagCode;
    p.fractionBit = fractionBit;
    p.gainCode = gainCode;
    p.lag = lagCode ? static_cast<int32_t>(lagCode & 0x7Fu) + 16 : 143;
    p.fraction = lagCode && fractionBit ? 2 : 0;
    if (gainCode)
        p.gain = static_cast<float>((gainCode & 0x07u) + 1) / 4.0f;
    else
        p.gain = lagCode ? 0.25f : 0.0f;
    return p;
}

}  // namespace sonx
