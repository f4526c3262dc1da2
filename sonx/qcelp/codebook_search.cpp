#include "sonx/qcelp/codebook_search.h"

#include <algorithm>
#include <cmath>

#include "sonx/qcelp/decode_params.h"

namespace sonx {
namespace {

constexpr float kGainFloor = 0.01f;
constexpr int kMaxSubframe = kPitchSubframeSamples;

// trunc(x) bounded to [lo, hi]; NaN gives lo.
uint32_t boundedCode(float x, int lo, int hi) {
    if (!(x > static_cast<float>(lo))) return static_cast<uint32_t>(lo);
    if (x >= static_cast<float>(hi)) return static_cast<uint32_t>(hi);
    return static_cast<uint32_t>(static_cast<int>(x));
}

float decibels(float x) {
    return 20.0f * std::log10(x);
}

// Zero-state response of codevector 0, truncated to n samples.
void firstFilteredCodevector(const float* table, const float h[kImpulseLength], int n, double* f) {
    for (int i = 0; i < n; ++i) {
        double acc = 0.0;
        for (int k = 0; k <= std::min(i, kImpulseLength - 1); ++k) acc += h[k] * table[i - k];
        f[i] = acc;
    }
}

}  // namespace

void filteredCodevectorEnergies(const float* table, const float h[kImpulseLength], int n,
                                double energy[kCodebookSize]) {
    double f[kMaxSubframe];
    firstFilteredCodevector(table, h, n, f);
    for (int index = 0;; ++index) {
        double e = 0.0;
        for (int i = 0; i < n; ++i) e += f[i] * f[i];
        energy[index] = e;
        if (index == kCodebookSize - 1) break;
        // Codevector index + 1 is this one delayed by a sample, with
        // T(-(index + 1) mod 128) entering at the front.
        const double v = table[kCodebookSize - 1 - index];
        const int taps = std::min(n, kImpulseLength);
        for (int i = n - 1; i >= taps; --i) f[i] = f[i - 1];
        for (int i = taps - 1; i >= 1; --i) f[i] = f[i - 1] + v * h[i];
        f[0] = v * h[0];
    }
}

void quantizeCodebookGain(int rate, float x, int subframe, QcelpDecoderState& local,
                          CodebookSubframe& record) {
    const bool predicted = rate == kRateFull && subframe % 4 == 3;
    uint32_t sign;
    float level;  // dB
    if (x > kGainFloor) {
        sign = 0;
        level = decibels(x);
    } else if (x < -kGainFloor) {
        sign = 1;
        level = decibels(-x);
    } else {
        sign = rate == kRateQuarter ? 0 : 1;
        level = -40.0f;
    }
    uint32_t code;
    if (predicted) {
        const float p = static_cast<float>(predictedGainLevel(local));
        code = boundedCode((level - p + 6.0f) * 7.0f / 28.0f + 0.5f, 0, 7);
    } else {
        code = boundedCode(level * 15.0f / 60.0f + 0.5f, 0, 15);
    }
    record.gainCode = code;
    record.sign = sign;
    record.gain = decodeCodebookGain(rate, subframe, code, sign, local);
}

float quantizeEighthRateGain(float g, QcelpDecoderState& local, uint32_t& code) {
    const int32_t base = eighthRateGainBase(local);
    code = 0;
    double bestError = 1e6;
    for (uint32_t c = 0; c < 4; ++c) {
        const double d = static_cast<double>(g) - gainTable[base + eighthRateGainOffset[c]];
        double error = d * d;
        if (c == 0) {
            bestError = std::min(error, 1e6);
        } else if (error < bestError) {
            bestError = error;
            code = c;
        }
    }
    return decodeEighthRateGain(code, local);
}

void quarterRateGainCodes(const float* speech, float pg, uint32_t codes[5]) {
    const double scale = std::pow(10.0, -static_cast<double>(pg) / 10.0);
    for (int i = 0; i < 5; ++i) {
        double energy = 0.0;
        for (int n = 32 * i; n < 32 * i + 32; ++n) energy += static_cast<double>(speech[n]) * speech[n];
        const float x = static_cast<float>(1.2608 * std::sqrt(scale * energy / 32.0));
        codes[i] = x > kGainFloor ? boundedCode(decibels(x) * 15.0f / 60.0f + 0.5f, 0, 15) : 0u;
    }
}

void quarterRateGains(const float* speech, float pg, QcelpDecoderState& local, CodebookSubframe records[5]) {
    uint32_t codes[5];
    quarterRateGainCodes(speech, pg, codes);
    for (int i = 0; i < 5; ++i) {
        records[i] = CodebookSubframe{};
        records[i].gainCode = codes[i];
        records[i].gain = decodeCodebookGain(kRateQuarter, i, codes[i], 0, local);
    }
}

uint32_t sentCodebookIndex(int32_t index, uint32_t sign) {
    return static_cast<uint32_t>(sign ? (index + 89) % kCodebookSize : index % kCodebookSize);
}

void searchCodebook(int rate, const float weighted[kLpcOrder], const float* w, int n, int subframe, int j,
                    const PitchParams& pitch, QcelpDecoderState& local, CodebookEnergies& energies,
                    CodebookSubframe& record) {
    n = std::clamp(n, 1, kMaxSubframe);
    const float* table = rate == kRateHalf ? halfRateCodebook : fullRateCodebook;

    // Target: weighted speech less the pitch contribution through the
    // weighted synthesis filter, from the local decoder's memory.
    float x[kMaxSubframe];
    pitchContribution(local.mainPitch, pitch, x, n);
    FilterState synthesis;
    initFilter(synthesis, kLpcOrder, weighted);
    std::copy(local.weightedSynthesis.memory, local.weightedSynthesis.memory + kLpcOrder, synthesis.memory);
    allPoleFilter(x, x, n, synthesis, false);
    for (int i = 0; i < n; ++i) x[i] = w[i] - x[i];

    if (j == 0) {
        impulseResponse(weighted, energies.h);
        filteredCodevectorEnergies(table, energies.h, n, energies.energy);
    }
    const float* h = energies.h;

    // Backward-filtered target.
    double d[kMaxSubframe];
    for (int k = 0; k < n; ++k) {
        double acc = 0.0;
        for (int i = k; i < std::min(n, k + kImpulseLength); ++i) acc += static_cast<double>(x[i]) * h[i - k];
        d[k] = acc;
    }

    double bestC = 0.0, bestE = 1.0;
    int32_t bestIndex = 0;
    for (int step = 1; step <= kCodebookSize; ++step) {
        const int32_t index = step % kCodebookSize;  // 1, 2, ..., 127, then 0
        double c = 0.0;
        for (int i = 0; i < n; ++i) c += d[i] * table[(i - index) & (kCodebookSize - 1)];
        const double e = energies.energy[index];
        if (bestC * bestC * e < c * c * bestE) {
            bestC = c;
            bestE = e;
            bestIndex = index;
        }
    }

    record = CodebookSubframe{};
    record.index = bestIndex;
    const double gain = bestE > 0.0 ? bestC / bestE : 0.0;
    quantizeCodebookGain(rate, static_cast<float>(gain), subframe, local, record);
}

}  // namespace sonx
