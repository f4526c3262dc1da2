#include <cmath>

#include "sonx/qcelp/filters.h"

namespace sonx {

namespace {
// The energies of a and b, each in four partial sums so that the loop
// vectorises without reassociation; the two sums run side by side.
void energies(const float* a, const float* b, int length, double& ea, double& eb) {
    double la[4] = {}, lb[4] = {};
    int n = 0;
    for (; n + 4 <= length; n += 4)
        for (int j = 0; j < 4; ++j) {
            la[j] += static_cast<double>(a[n + j]) * a[n + j];
            lb[j] += static_cast<double>(b[n + j]) * b[n + j];
        }
    for (; n < length; ++n) {
        la[0] += static_cast<double>(a[n]) * a[n];
        lb[0] += static_cast<double>(b[n]) * b[n];
    }
    ea = (la[0] + la[1]) + (la[2] + la[3]);
    eb = (lb[0] + lb[1]) + (lb[2] + lb[3]);
}
}  // namespace

void agcSmoothGain(const float* reference, const float* signal, float* output, int length, float& gain) {
    double eRef, eSig;
    energies(reference, signal, length, eRef, eSig);
    if (eRef != 0.0 && eSig != 0.0)
        gain = 0.0625f * static_cast<float>(std::sqrt(eRef / eSig)) + 0.9375f * gain;
    const float g = gain;
    for (int n = 0; n < length; ++n) output[n] = signal[n] * g;
}

void energyMatchGain(const float* reference, const float* signal, float* output, int length) {
    double eRef, eSig;
    energies(reference, signal, length, eRef, eSig);
    const float scale = (eRef != 0.0 && eSig != 0.0) ? static_cast<float>(std::sqrt(eRef / eSig)) : 0.0f;
    for (int n = 0; n < length; ++n) output[n] = signal[n] * scale;
}

}  // namespace sonx
