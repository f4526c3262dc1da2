#include <cmath>
#include <cstring>

#include "sonx/qcelp/filters.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {

namespace {
// The energies of a and b, each in four partial sums (sample n goes to sum
// n mod 4) held in double lanes; the two sums run side by side. A
// FixedLength (a pitch subframe) replaces length, so that the steps unroll.
template <int FixedLength = 0>
void energiesNarrow(const float* a, const float* b, int length, double& ea, double& eb) {
    if constexpr (FixedLength > 0) length = FixedLength;
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

// A pitch subframe goes eight samples at a time, each group read before
// it is written, which is right for output == signal too.
SONX_QCELP_KERNEL void multiply(const float* signal, float g, float* output, int length) {
    typedef float Float8 __attribute__((vector_size(32)));
    if (length == kPitchSubframeSamples) {
        for (int n = 0; n < kPitchSubframeSamples; n += 8) {
            Float8 v;
            std::memcpy(&v, signal + n, sizeof v);
            v *= g;
            std::memcpy(output + n, &v, sizeof v);
        }
        return;
    }
    for (int n = 0; n < length; ++n) output[n] = signal[n] * g;
}

void scaleNarrow(const float* signal, float g, float* output, int length) {
    multiply(signal, g, output, length);
}

#if defined(SONX_QCELP_AVX2)
// The same four double lanes in one vector.
template <int FixedLength = 0>
SONX_QCELP_WIDE void energiesWide(const float* a, const float* b, int length, double& ea, double& eb) {
    if constexpr (FixedLength > 0) length = FixedLength;
    __m256d la = _mm256_setzero_pd(), lb = la;
    int n = 0;
    for (; n + 4 <= length; n += 4) {
        const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(a + n)), y = _mm256_cvtps_pd(_mm_loadu_ps(b + n));
        la = _mm256_add_pd(la, _mm256_mul_pd(x, x));
        lb = _mm256_add_pd(lb, _mm256_mul_pd(y, y));
    }
    double sa[4], sb[4];
    _mm256_storeu_pd(sa, la);
    _mm256_storeu_pd(sb, lb);
    double ta = sa[0], tb = sb[0];
    for (; n < length; ++n) {
        ta += static_cast<double>(a[n]) * a[n];
        tb += static_cast<double>(b[n]) * b[n];
    }
    ea = (ta + sa[1]) + (sa[2] + sa[3]);
    eb = (tb + sb[1]) + (sb[2] + sb[3]);
}

SONX_QCELP_WIDE void scaleWide(const float* signal, float g, float* output, int length) {
    multiply(signal, g, output, length);
}
#endif

void energies(const float* a, const float* b, int length, double& ea, double& eb) {
    constexpr int L = kPitchSubframeSamples;
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2())
        return length == L ? energiesWide<L>(a, b, length, ea, eb) : energiesWide(a, b, length, ea, eb);
#endif
    return length == L ? energiesNarrow<L>(a, b, length, ea, eb) : energiesNarrow(a, b, length, ea, eb);
}

// output = signal * g; output may be signal.
void scaled(const float* signal, float g, float* output, int length) {
#if defined(SONX_QCELP_AVX2)
    if (cpuHasAvx2()) return scaleWide(signal, g, output, length);
#endif
    scaleNarrow(signal, g, output, length);
}
}  // namespace

void agcSmoothGain(const float* reference, const float* signal, float* output, int length, float& gain) {
    double eRef, eSig;
    energies(reference, signal, length, eRef, eSig);
    if (eRef != 0.0 && eSig != 0.0)
        gain = 0.0625f * static_cast<float>(std::sqrt(eRef / eSig)) + 0.9375f * gain;
    scaled(signal, gain, output, length);
}

void energyMatchGain(const float* reference, const float* signal, float* output, int length) {
    double eRef, eSig;
    energies(reference, signal, length, eRef, eSig);
    const float scale = (eRef != 0.0 && eSig != 0.0) ? static_cast<float>(std::sqrt(eRef / eSig)) : 0.0f;
    scaled(signal, scale, output, length);
}

}  // namespace sonx
