// Rate of every frame: a band-energy decision against adaptive noise floors
// with hangover after speech, refined by voicing, prediction gain, spectral
// change and energy, and steered toward a target average bit rate.
#ifndef SONX_QCELP_RATE_DECISION_H
#define SONX_QCELP_RATE_DECISION_H

#include <cstdint>

#include "sonx/qcelp/lpc_analysis.h"
#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

constexpr int kRateBandTaps = 17;
constexpr int kDecimatedHistory = 60;

struct RateDecisionState {
    // Band energies against background-noise estimates.
    float bandNoise[2] = {5059644.0f, 5059644.0f};
    float bandEnergy[2] = {0.0f, 0.0f};
    float smoothedEnergy[2] = {3200000.0f, 320000.0f};
    float signalLevel[2] = {3200000.0f, 320000.0f};
    float ratio[2] = {0.0f, 0.0f};
    int32_t snrIndex[2] = {0, 0};
    float bandFilterAutocorr[2][kRateBandTaps] = {};  // filled by initRateDecisionState

    // Voicing and hangover.
    int32_t lowVoicingRun = 0;
    int32_t voicingRun = 0;
    int32_t speechSeen = 0;
    int32_t fullRateRun = 0;
    int32_t hangoverCount = 10;
    int32_t inHangover = 0;
    int32_t previousPreliminaryRate = 1;

    // Open-loop pitch on the decimated residual.
    float decimatedHistory[kDecimatedHistory] = {};
    float decimationMemory[kRateBandTaps - 1] = {};
    float nacf = 0.0f;
    int32_t openLoopLag = 0;
    int32_t zeroCrossings = 0;

    // Prediction gain and spectral change.
    float predictionGain = 0.0f;
    float previousPredictionGain = 0.0f;
    float smoothedPredictionGain = 0.0f;
    float previousSmoothedPredictionGain = 0.0f;
    float predictionGainDrop = 0.0f;
    float previousLsp[kLpcOrder] = {1 / 11.0f, 2 / 11.0f, 3 / 11.0f, 4 / 11.0f, 5 / 11.0f,
                                    6 / 11.0f, 7 / 11.0f, 8 / 11.0f, 9 / 11.0f, 10 / 11.0f};
    float lspChange = 0.0f;
    float previousLspChange = 0.0f;
    float smoothedLspChange = 0.0f;

    // Energy track of the rate-reduction modes.
    float frameEnergyDb = 0.0f;
    float previousR0 = 0.0f;
    float longTermEnergyDb = 0.0f;
    // Carried between frames of the stream (see encoder.h for why per stream).
    int32_t previousVoiced = 0;

    // Average-rate control.
    float frameSnr = 1.0f;  // written by the frame coder
    float snrThreshold = 10.0f;
    float targetRate = 14.4f;
    float measuredRate = 14.4f;
    int32_t frameCounter = 0;  // written by the codec object
    int32_t windowCount = 400;
    int32_t fullCount = 0;
    int32_t halfCount = 0;
    int32_t quarterCount = 0;
    int32_t binsAbove[4] = {};
    int32_t binsBelow[4] = {};
};

// Initial values for a new stream under this configuration.
void initRateDecisionState(RateDecisionState& state, const QcelpConfig& config);

// Preliminary rate from the band energies of R(0..16).
int32_t decideRateByBands(const float R[kAutocorrLags], RateDecisionState& state, const QcelpConfig& config);

// Frame features for the refinement.
struct RateFrame {
    const float* residual;    // 160 LPC residual samples of the coded frame
    const float* R;           // R(0..16) as left by the LPC analysis
    const float* speech;      // 160 high-pass filtered samples of the coded frame
    const float* lpc;         // a_1..a_10
    const float* lsp;         // unquantised LSPs of the frame
    bool quarterRateCodable;  // a quarter-rate packet of this frame would pass the decoder's checks
};

// Final rate: voicing, noise tracking, rate-reduction rules, bounds and the
// average-rate control.
int32_t refineRate(int32_t rate, const RateFrame& frame, const QcelpConfig& config, RateDecisionState& state);

// 10 log10(R(0) / (R(0) - sum a_k R(k))), 0 when negative or undefined.
float predictionGainDb(const float R[kAutocorrLags], const float a[kLpcOrder]);

}  // namespace sonx

#endif  // SONX_QCELP_RATE_DECISION_H
