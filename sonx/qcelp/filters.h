// Signal-processing primitives shared by the decoder and the encoder's local
// decoder: filters with memory, the pitch filter, the noise source and the
// gain helpers. Every block is at most one frame long plus history; nothing
// allocates.
#ifndef SONX_QCELP_FILTERS_H
#define SONX_QCELP_FILTERS_H

#include <cstdint>

#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

inline constexpr int kMaxFilterTaps = 24;

// memory[0] is the newest remembered sample, memory[k] the one k+1 back.
// coeffs[k] belongs to delay k+1 (recursive filters) or to tap k (firFilter).
struct FilterState {
    int32_t order = 0;
    float memory[kMaxFilterTaps] = {};
    float coeffs[kMaxFilterTaps] = {};
};

// Sets the order (capped at kMaxFilterTaps), zeroes the memory, and copies
// the coefficients when given (zero otherwise).
void initFilter(FilterState& filter, int order, const float* coeffs = nullptr);

// y[n] = x[n] + sum c_k y[n-k], k = 1..N. In place is allowed. With update
// clear the memory is left as it was (zero-input responses).
void allPoleFilter(const float* in, float* out, int length, FilterState& filter, bool update);
// allPoleFilter through `first`, then through `second`, in place, both
// memories updated; one pass for the post-filter's order 10 and 1.
void allPoleCascade(float* v, int length, FilterState& first, FilterState& second);
// The same filters as allPoleFilter (memory updated) and allPoleCascade,
// four samples per step, each output of a step formed straight from the
// outputs before it, so that the recursion's delay is paid once per four
// samples. The rounding of the last bits differs from the sample-by-sample
// form: these serve the decoder's output and the encoder's own filters,
// whose last bits no peer reproduces. Orders 10 and 2 (order 10 then 1 for
// the cascade); other orders use the sample-by-sample filters.
void allPoleFilterBlocks(const float* in, float* out, int length, FilterState& filter);
void allPoleCascadeBlocks(float* v, int length, FilterState& first, FilterState& second);
// allPoleFilterBlocks(in, out, length, filter) and allPoleCascadeBlocks(v,
// length, first, second), with the same results, in one pass so that the
// two recursions overlap. v must not overlap in or out.
void allPoleBesideCascade(const float* in, float* out, FilterState& filter, float* v, int length,
                          FilterState& first, FilterState& second);
// y[n] = x[n] + sum c_k x[n-k], k = 1..N; memory holds past inputs.
void allZeroFilter(const float* in, float* out, int length, FilterState& filter, bool update);
// The order-10 allZeroFilter with these coefficients over x[0, length),
// its memory being x[-10, 0) (x[-1] the newest); out must not overlap x.
void allZeroFilterAfter(const float* x, float* out, int length, const float* coeffs);
// y[n] = sum h_k x[n-k], k = 0..N-1; memory holds the N-1 previous inputs.
void firFilter(const float* in, float* out, int length, FilterState& filter, bool update);

inline constexpr int kPitchHistory = 150;
// Room for the history and four frames of outputs after it.
inline constexpr int kPitchBufferLength = kPitchHistory + 4 * kFrameSamples;

// Long-term predictor with half-sample resolution. Its history, the last
// kPitchHistory outputs, slides along a longer buffer: a call writes its
// outputs straight after the history, and the history moves back to the
// start only when they would not fit.
struct PitchFilterState {
    int32_t lag = 0;
    float gain = 0.0f;
    int32_t fraction = 0;                // quarter samples: 0, or 2 for lag + 0.5
    int32_t historyEnd = kPitchHistory;  // the history is buffer[historyEnd - kPitchHistory, historyEnd)
    float buffer[kPitchBufferLength] = {};

    // history()[kPitchHistory - 1] is the newest output.
    float* history() { return buffer + historyEnd - kPitchHistory; }
    const float* history() const { return buffer + historyEnd - kPitchHistory; }
};

void initPitchFilter(PitchFilterState& filter);

// fraction 0: y[n] = x[n] + roundToInt(gain * y[n-lag]);
// fraction 2: y[n] = x[n] + gain * (8-tap interpolation at lag + 0.5).
// A zero gain (or a lag outside the history) contributes nothing.
void pitchFilter(const float* in, float* out, int length, PitchFilterState& filter, bool update);
// pitchFilter over filter's history with this lag, fraction and gain; the
// filter is left unchanged.
void pitchFilterWith(const float* in, float* out, int length, const PitchFilterState& filter, int32_t lag,
                     int32_t fraction, float gain);

// Nearest integer for positive values (halves away from zero); values <= 0
// truncate toward zero. Saturates at the int range; NaN gives 0.
int32_t roundToInt(float x);
// The same rounding kept in floating point, for any value (used on signal
// samples, which may be large).
// Branch-free so that loops over samples can be vectorised.
inline float roundToIntF(float x) {
    constexpr float kIntegral = 8388608.0f;  // beyond 2^23 every float is an integer
    const bool small = x > -kIntegral && x < kIntegral;
    const float xs = small ? x : 0.0f;  // keeps the conversion defined
    const float t = static_cast<float>(static_cast<int32_t>(xs));
    const float r = (xs > 0.0f && xs - t >= 0.5f) ? t + 1.0f : t;
    return small ? r : x;
}

// Rounding toward minus infinity for any value, without a library call.
inline float floorF(float x) {
    constexpr float kIntegral = 8388608.0f;
    const bool small = x > -kIntegral && x < kIntegral;
    const float xs = small ? x : 0.0f;
    const float t = static_cast<float>(static_cast<int32_t>(xs));
    const float r = t > xs ? t - 1.0f : t;
    return small ? r : x;  // integral already, infinite or NaN
}

// seed = (seed * 521 + 259) mod 65536; returns the new seed as signed 16-bit.
inline int32_t nextNoise(uint16_t& seed) {
    seed = static_cast<uint16_t>(static_cast<uint32_t>(seed) * 521u + 259u);
    return static_cast<int16_t>(seed);
}

// gain = 0.0625 sqrt(Eref/Esig) + 0.9375 gain when both energies are
// nonzero; output = signal * gain. Output may alias signal.
void agcSmoothGain(const float* reference, const float* signal, float* output, int length, float& gain);
// output = signal * sqrt(Eref/Esig), zeros when either energy is 0.
void energyMatchGain(const float* reference, const float* signal, float* output, int length);

}  // namespace sonx

#endif  // SONX_QCELP_FILTERS_H
