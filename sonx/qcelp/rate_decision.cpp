#include "sonx/qcelp/rate_decision.h"
#include "sonx/qcelp/portable_math.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "sonx/qcelp/qcelp_types.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {
namespace {

// Taps 0..8 of the symmetric 17-tap filters; taps 9..16 mirror 7..0.
constexpr float kLowBandHalf[9] = {-0.0555769913f, -0.0721637085f, -0.01036934f,
                                   0.0234472994f,  -0.0607182011f, -0.139895797f,
                                   -0.0122566698f, 0.279915303f,   0.4375f};
constexpr float kHighBandHalf[9] = {-0.0122953802f, 0.0437655114f,  0.0123846699f,
                                    -0.0624387711f, -0.0124486499f, 0.105367802f,
                                    0.0124872001f,  -0.318064511f,  0.4875f};
constexpr float kDecimationHalf[9] = {0.00272534089f, 0.0102825398f, 0.00597325992f,
                                      -0.0230897497f, -0.050097961f, -0.0132356295f,
                                      0.116627797f,   0.27675119f,   0.35f};

constexpr float tapOf(const float (&half)[9], int n) {
    return half[n <= 8 ? n : 16 - n];
}

// Decimation taps oldest input first, for a plain dot product.
struct DecimationTaps {
    float reversed[kRateBandTaps];
    DecimationTaps() {
        for (int k = 0; k < kRateBandTaps; ++k) reversed[k] = tapOf(kDecimationHalf, kRateBandTaps - 1 - k);
    }
};

const DecimationTaps& decimationTaps() {
    static const DecimationTaps taps;
    return taps;
}

// Threshold factors by SNR index.
constexpr float kT1[8] = {7.0f, 7.0f, 8.0f, 8.6f, 8.9f, 9.4f, 11.0f, 15.8f};
constexpr float kT2[8] = {9.0f, 12.6f, 17.0f, 18.5f, 19.4f, 20.9f, 25.5f, 39.8f};
constexpr int32_t kHangoverFrames[8] = {7, 7, 7, 3, 0, 0, 0, 0};

constexpr float kNoiseCeiling = 5059644.0f;
constexpr float kNoiseFloor[2] = {10.0f, 5.0f};
constexpr int32_t kWindowFrames = 400;

int32_t boundRate(int32_t rate, const QcelpConfig& config) {
    return std::clamp(rate, config.lowestRate, config.highestRate);
}

int32_t clampIndex(double value) {
    if (!(value > 0.0)) return 0;  // also NaN
    return value >= 7.0 ? 7 : static_cast<int32_t>(value);
}

// Correlations of the 80 decimated samples with themselves at lags 10..59.
constexpr int kOpenLoopLags = 50;

void openLoopCorrelationsNarrow(const float* out, double (&correlation)[kOpenLoopLags]) {
    for (int k = 0; k < kOpenLoopLags; ++k) correlation[k] = dotProduct(out, out - 10 - k, 80);
}

#if defined(SONX_QCELP_AVX2)
SONX_QCELP_WIDE void openLoopCorrelationsWide(const float* out, double (&correlation)[kOpenLoopLags]) {
    for (int k = 0; k < kOpenLoopLags; ++k) correlation[k] = dotProductWide(out, out - 10 - k, 80);
}
#endif

void openLoopCorrelations(const float* out, double (&correlation)[kOpenLoopLags]) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return openLoopCorrelationsWide(out, correlation);
#endif
    openLoopCorrelationsNarrow(out, correlation);
}

// Every second output of the low-pass filter over x, whose first 16
// samples are the filter's memory: 80 samples. The outputs go side by
// side, one to a lane, each lane making dotProduct's sums for its output in
// dotProduct's order.
constexpr int kDecimatedSamples = 80;

template <typename Lanes, typename DoubleLanes>
SONX_QCELP_KERNEL void decimateBody(const float* x, float* out) {
    constexpr int kLanes = sizeof(Lanes) / sizeof(float);
    static_assert(kDecimatedSamples % kLanes == 0 && kRateBandTaps == 17);
    const float* taps = decimationTaps().reversed;
    // x[2j] and x[2j + 1] apart, so that one tap of consecutive outputs is one run.
    constexpr int kPairs = (kRateBandTaps - 1) / 2 + kDecimatedSamples;
    float even[kPairs], odd[kPairs];
    for (int j = 0; j < kPairs; ++j) {
        even[j] = x[2 * j];
        odd[j] = x[2 * j + 1];
    }
    for (int m = 0; m < kDecimatedSamples; m += kLanes) {
        Lanes p[kRateBandTaps];
        for (int k = 0; k < kRateBandTaps; ++k) {
            Lanes v;
            std::memcpy(&v, (k % 2 ? odd : even) + m + k / 2, sizeof v);
            p[k] = taps[k] * v;
        }
        const Lanes zero = {};
        DoubleLanes s[4];
        for (int l = 0; l < 4; ++l)
            s[l] = __builtin_convertvector(((zero + p[l]) + p[8 + l]) + ((zero + p[4 + l]) + p[12 + l]), DoubleLanes);
        Lanes v16;
        std::memcpy(&v16, even + m + 8, sizeof v16);
        const DoubleLanes sum = ((s[0] + s[1]) + (s[2] + s[3])) +
                                static_cast<double>(taps[16]) * __builtin_convertvector(v16, DoubleLanes);
        const Lanes result = __builtin_convertvector(sum, Lanes);
        std::memcpy(out + m, &result, sizeof result);
    }
}

void decimateNarrow(const float* x, float* out) {
    typedef double DoubleLanes4 __attribute__((vector_size(32)));
    decimateBody<Float4, DoubleLanes4>(x, out);
}

#if defined(SONX_QCELP_AVX2)
SONX_QCELP_WIDE void decimateWide(const float* x, float* out) {
    typedef float Float8 __attribute__((vector_size(32)));
    typedef double DoubleLanes8 __attribute__((vector_size(64)));
    decimateBody<Float8, DoubleLanes8>(x, out);
}
#endif

void decimate(const float* x, float* out) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return decimateWide(x, out);
#endif
    decimateNarrow(x, out);
}

// Open-loop pitch on the residual decimated by two; leaves NACF and lag.
void openLoopPitch(const float* residual, RateDecisionState& state) {
    float d[kDecimatedHistory + 80];
    std::copy(state.decimatedHistory, state.decimatedHistory + kDecimatedHistory, d);
    float* out = d + kDecimatedHistory;
    // Only every second output of the low-pass filter is needed.
    float x[kRateBandTaps - 1 + 160];
    std::copy(state.decimationMemory, state.decimationMemory + (kRateBandTaps - 1), x);
    std::copy(residual, residual + 160, x + kRateBandTaps - 1);
    decimate(x, out);
    std::copy(x + 160, x + 160 + (kRateBandTaps - 1), state.decimationMemory);

    double correlation[kOpenLoopLags];
    openLoopCorrelations(out, correlation);
    double best = 0.0;
    int32_t lag = 10;
    for (int L = 10; L < 60; ++L) {
        const double c = correlation[L - 10];
        if (c > best) {
            best = c;
            lag = L;
        }
    }
    const double e0 = sumOfSquares(out, 80), eL = sumOfSquares(out - lag, 80);
    state.nacf = static_cast<float>(best / (0.5 * (1e-8 + e0 + eL)));
    state.openLoopLag = lag;
    std::copy(d + 80, d + 80 + kDecimatedHistory, state.decimatedHistory);
}

int32_t countZeroCrossings(const float* speech) {
    double mean = 0.0;
    for (int n = 0; n < 160; ++n) mean += speech[n];
    mean /= 160.0;
    int32_t count = 0;
    for (int n = 0; n < 159; ++n)
        if ((speech[n] - mean) * (speech[n + 1] - mean) < 0.0) ++count;
    return count;
}

void trackSpectrum(const RateFrame& frame, RateDecisionState& state) {
    state.predictionGain = predictionGainDb(frame.R, frame.lpc);
    state.smoothedPredictionGain = 0.625f * state.predictionGain + 0.375f * state.previousPredictionGain;
    state.predictionGainDrop = state.previousSmoothedPredictionGain - state.smoothedPredictionGain;
    state.previousPredictionGain = state.predictionGain;
    state.previousSmoothedPredictionGain = state.smoothedPredictionGain;

    double change = 0.0;
    for (int i = 0; i < kLpcOrder; ++i) {
        const double d = frame.lsp[i] - state.previousLsp[i];
        change += d * d;
        state.previousLsp[i] = frame.lsp[i];
    }
    state.lspChange = static_cast<float>(change);
    state.smoothedLspChange = 0.625f * state.lspChange + 0.375f * state.previousLspChange;
    state.previousLspChange = state.lspChange;
}

void trackNoiseAndSignal(RateDecisionState& state) {
    for (int b = 0; b < 2; ++b)
        state.smoothedEnergy[b] = 0.6f * state.smoothedEnergy[b] + 0.4f * state.bandEnergy[b];

    state.lowVoicingRun = state.nacf < 0.38f ? state.lowVoicingRun + 1 : 0;
    if (state.lowVoicingRun > 8) {
        for (float& B : state.bandNoise) B = std::max(1.03f * B, B + 1.0f);
        state.lowVoicingRun = 9;
    } else if (state.speechSeen) {
        for (int b = 0; b < 2; ++b) {
            float& B = state.bandNoise[b];
            if (state.snrIndex[b] > 3 && B < state.smoothedEnergy[b]) B = std::max(1.00547f * B, B + 1.0f);
        }
    }
    for (int b = 0; b < 2; ++b) {
        float& B = state.bandNoise[b];
        B = std::min(B, state.smoothedEnergy[b]);
        B = std::min(B, kNoiseCeiling);
        B = std::max(B, kNoiseFloor[b]);  // also replaces a NaN by the floor
    }

    state.voicingRun = state.nacf > 0.5f ? state.voicingRun + 1 : 0;
    if (state.voicingRun > 5) {
        state.speechSeen = 1;
        for (float& S : state.signalLevel) S *= 0.97f;
    }
    for (int b = 0; b < 2; ++b) {
        state.signalLevel[b] = std::max(state.signalLevel[b], state.smoothedEnergy[b]);
        state.ratio[b] = state.signalLevel[b] / state.bandNoise[b];
    }

    if (state.speechSeen) {
        for (int b = 0; b < 2; ++b)
            state.snrIndex[b] =
                state.ratio[b] > 0.0f ? clampIndex(std::trunc(2.0 * portableLog10(state.ratio[b]) - 4.0)) : 0;
    } else {
        constexpr double kLevel[2] = {65.0, 55.0};
        for (int b = 0; b < 2; ++b)
            state.snrIndex[b] =
                state.bandNoise[b] > 0.0f
                    ? clampIndex(std::trunc((kLevel[b] - 10.0 * portableLog10(state.bandNoise[b]) - 20.0) * 0.2))
                    : 7;
    }
}

bool isUnvoiced(const RateDecisionState& state) {
    const float nacf = state.nacf;
    const int32_t zc = state.zeroCrossings;
    if (nacf > 0.5f && zc < 80) return false;
    if (nacf < 0.25f && zc < 45) return false;
    if (!(state.predictionGain < 15.0f)) return false;
    return -0.0924130008f * zc + 5.19028282f * nacf + 3.09183598f < 0.0f;
}

int32_t reduceRate(int32_t rate, const RateFrame& frame, const QcelpConfig& config,
                   RateDecisionState& state) {
    const int32_t mode = config.rateReductionMode;
    // A quarter-rate packet the decoder would refuse is sent at half rate.
    const int32_t quarter = frame.quarterRateCodable ? 2 : 3;
    if (mode == 4) return rate == 4 ? 3 : rate;
    if (mode < 1 || mode > 3) return rate;

    bool unvoiced = false;
    if (config.unvoicedDetector == 0) {
        unvoiced = isUnvoiced(state);
        if (unvoiced && rate != 1) rate = (mode == 1 || state.previousVoiced) ? 3 : quarter;
        state.previousVoiced = state.nacf >= 0.5f && state.zeroCrossings < 60;
    }

    const double mixed = 0.375 * state.previousR0 + 0.625 * frame.R[0];
    state.frameEnergyDb = static_cast<float>(10.0 * portableLog10(std::max(mixed, 1e-30)));
    state.longTermEnergyDb = 0.1175f * state.frameEnergyDb + 0.8825f * state.longTermEnergyDb;
    state.previousR0 = frame.R[0];

    if (rate != 1 && !unvoiced) {
        const float drop = state.longTermEnergyDb - state.frameEnergyDb;
        if (drop > 9.0f && state.smoothedLspChange < 0.02f) {
            rate = (mode != 1 && drop > 15.0f) ? quarter : 3;
        } else if (mode == 3 && rate == 4 && state.frameSnr > state.snrThreshold && state.nacf > 0.4f &&
                   state.predictionGainDrop < 5.0f) {
            rate = 3;
        }
    }
    return rate;
}

int32_t histogramBin(float difference) {
    return difference < 3.0f ? static_cast<int32_t>(difference) : 3;
}

void countFrame(int32_t rate, RateDecisionState& state) {
    --state.windowCount;
    if (rate == 2) {
        ++state.quarterCount;
        return;
    }
    ++(rate == 4 ? state.fullCount : state.halfCount);
    const float snr = state.frameSnr, t = state.snrThreshold;
    if (snr <= t)
        ++state.binsBelow[histogramBin(t - snr)];
    else
        ++state.binsAbove[histogramBin(snr - t)];
}

// How many of the four bins, taken in order, it takes to reach `f`.
int32_t binsToReach(const int32_t (&bins)[4], int32_t f) {
    int32_t sum = 0, used = 0;
    while (used < 4 && sum < f) sum += bins[used++];
    return used;
}

void closeWindow(const QcelpConfig& config, RateDecisionState& state) {
    state.windowCount = kWindowFrames;
    const double bits = 7.2 * state.halfCount + 14.4 * state.fullCount + 3.6 * state.quarterCount;
    state.measuredRate = static_cast<float>(bits * 0.0025);
    if (config.rateReductionMode == 3) {
        const double excess = bits - kWindowFrames * static_cast<double>(state.targetRate);
        if (state.measuredRate > 1.02f * state.targetRate)
            state.snrThreshold -= static_cast<float>(
                binsToReach(state.binsBelow, static_cast<int32_t>(std::trunc(excess * 0.1388889))));
        if (0.98f * state.targetRate > state.measuredRate)
            state.snrThreshold += static_cast<float>(
                binsToReach(state.binsAbove, static_cast<int32_t>(std::trunc(-excess * 0.1388889))));
        state.snrThreshold = std::clamp(state.snrThreshold, 6.0f, 25.0f);
    }
    state.fullCount = state.halfCount = state.quarterCount = 0;
    std::fill(std::begin(state.binsAbove), std::end(state.binsAbove), 0);
    std::fill(std::begin(state.binsBelow), std::end(state.binsBelow), 0);
}

}  // namespace

void initRateDecisionState(RateDecisionState& state, const QcelpConfig& config) {
    state = RateDecisionState{};
    for (int b = 0; b < 2; ++b) {
        const float(&half)[9] = b == 0 ? kLowBandHalf : kHighBandHalf;
        for (int k = 0; k < kRateBandTaps; ++k) {
            double sum = 0.0;
            for (int n = 0; n + k < kRateBandTaps; ++n) sum += tapOf(half, n) * tapOf(half, n + k);
            state.bandFilterAutocorr[b][k] = static_cast<float>(sum);
        }
    }
    state.snrThreshold = config.initialSnrThreshold;
    state.targetRate = config.targetRateKbps;
    state.measuredRate = config.targetRateKbps;
}

float predictionGainDb(const float R[kAutocorrLags], const float a[kLpcOrder]) {
    double predicted = 0.0;
    for (int k = 1; k <= kLpcOrder; ++k) predicted += static_cast<double>(a[k - 1]) * R[k];
    const double residual = R[0] - predicted;
    if (!(R[0] > 0.0f) || !(residual > 0.0)) return 0.0f;
    const double gain = 10.0 * portableLog10(R[0] / residual);
    return gain > 0.0 && std::isfinite(gain) ? static_cast<float>(gain) : 0.0f;
}

int32_t decideRateByBands(const float R[kAutocorrLags], RateDecisionState& state, const QcelpConfig& config) {
    int32_t rate = 1;
    for (int b = 0; b < 2; ++b) {
        const float* Rh = state.bandFilterAutocorr[b];
        double energy = static_cast<double>(Rh[0]) * R[0];
        for (int k = 1; k < kRateBandTaps; ++k) energy += 2.0 * Rh[k] * R[k];
        state.bandEnergy[b] = static_cast<float>(energy);

        const int32_t s = state.snrIndex[b];
        const float B = state.bandNoise[b];
        int32_t bandRate = 1;
        if (kT1[s] * B < state.bandEnergy[b]) bandRate = 3;
        if (kT2[s] * B < state.bandEnergy[b]) bandRate = bandRate == 1 ? 3 : 4;
        rate = std::max(rate, bandRate);
    }

    if (state.fullRateRun > 0 || state.inHangover) {
        if (rate == 4) {
            state.inHangover = 0;
        } else if (++state.hangoverCount <= kHangoverFrames[state.snrIndex[0]]) {
            rate = 4;
            state.inHangover = 1;
        } else {
            state.inHangover = 0;
        }
    }
    if (rate == 4 && !state.inHangover) {
        state.hangoverCount = 0;
        ++state.fullRateRun;
    } else {
        state.fullRateRun = 0;
    }

    if (state.previousPreliminaryRate == 4 && rate == 1) rate = 3;
    if (state.frameCounter == 0) rate = 4;
    rate = boundRate(rate, config);
    state.previousPreliminaryRate = rate;
    return rate;
}

int32_t refineRate(int32_t rate, const RateFrame& frame, const QcelpConfig& config,
                   RateDecisionState& state) {
    openLoopPitch(frame.residual, state);
    state.zeroCrossings = countZeroCrossings(frame.speech);
    trackSpectrum(frame, state);
    trackNoiseAndSignal(state);

    rate = boundRate(reduceRate(rate, frame, config, state), config);
    if (rate == 1) return rate;

    if (state.windowCount >= 1)
        countFrame(rate, state);
    else
        closeWindow(config, state);
    return rate;
}

}  // namespace sonx
