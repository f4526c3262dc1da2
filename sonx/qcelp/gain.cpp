#include <cmath>

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {

namespace {
// The energies of a and b, each in four partial sums (sample n goes to sum
// n mod 4) held in double lanes; the two sums run side by side.
void energies(const float* a, const float* b, int length, double& ea, double& eb) {
    Double4 la = {}, lb = {};
    int n = 0;
    for (; n + 4 <= length; n += 4) {
        const Double4 x = toDouble4(load4(a + n)), y = toDouble4(load4(b + n));
        la += x * x;
        lb += y * y;
    }
    double ta = la[0], tb = lb[0];
    for (; n < length; ++n) {
        ta += static_cast<double>(a[n]) * a[n];
        tb += static_cast<double>(b[n]) * b[n];
    }
    ea = (ta + la[1]) + (la[2] + la[3]);
    eb = (tb + lb[1]) + (lb[2] + lb[3]);
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
