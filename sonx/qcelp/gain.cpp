#include <cmath>

#include "sonx/qcelp/filters.h"

namespace sonx {

namespace {
// Four partial sums, so the loop vectorises without reassociation.
double energy(const float* x, int length) {
    double lane[4] = {};
    int n = 0;
    for (; n + 4 <= length; n += 4)
        for (int j = 0; j < 4; ++j) lane[j] += static_cast<double>(x[n + j]) * x[n + j];
    for (; n < length; ++n) lane[0] += static_cast<double>(x[n]) * x[n];
    return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}
}  // namespace

void agcSmoothGain(const float* reference, const float* signal, float* output, int length, float& gain) {
    const double eRef = energy(reference, length);
    const double eSig = energy(signal, length);
    if (eRef != 0.0 && eSig != 0.0)
        gain = 0.0625f * static_cast<float>(std::sqrt(eRef / eSig)) + 0.9375f * gain;
    const float g = gain;
    for (int n = 0; n < length; ++n) output[n] = signal[n] * g;
}

void energyMatchGain(const float* reference, const float* signal, float* output, int length) {
    const double eRef = energy(reference, length);
    const double eSig = energy(signal, length);
    const float scale = (eRef != 0.0 && eSig != 0.0) ? static_cast<float>(std::sqrt(eRef / eSig)) : 0.0f;
    for (int n = 0; n < length; ++n) output[n] = signal[n] * scale;
}

}  // namespace sonx
