// Four-lane float vectors for the coder's inner loops, and sums of products
// for the encoder's searches in those lanes (eight partial sums), combined
// in double at the end. Every operation is lane by lane and the order of the
// sums is fixed, so results do not depend on the compiler or the machine.
#ifndef SONX_QCELP_VECTOR_OPS_H
#define SONX_QCELP_VECTOR_OPS_H

#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// x86-64 builds compile the hottest kernels twice, for the baseline and for
// AVX2 (SONX_QCELP_WIDE), and choose at run time (cpuHasAvx2). Both give the
// same results lane for lane: the compiler may only widen operations that
// are lane by lane, the order of every sum is written out, and there is no
// fused multiply-add (AVX2 does not include it, and contraction is off).
// Other targets (WebAssembly) have the baseline form only.
#if defined(__x86_64__) && defined(__GNUC__)
#define SONX_QCELP_AVX2 1
#define SONX_QCELP_WIDE __attribute__((target("avx2")))
#include <immintrin.h>
#endif
// A kernel's body, inlined into each of its compiled forms.
#define SONX_QCELP_KERNEL [[gnu::always_inline]] inline

namespace sonx {

typedef float Float4 __attribute__((vector_size(16)));
typedef double Double2 __attribute__((vector_size(16)));

// The four lanes of v as doubles, in two halves.
struct Double4 {
    Double2 low, high;
    Double4& operator+=(const Double4& o) {
        low += o.low;
        high += o.high;
        return *this;
    }
    double operator[](int i) const { return i < 2 ? low[i] : high[i - 2]; }
};

inline Double4 toDouble4(Float4 v) {
#if defined(__SSE2__)
    const __m128 f = v;
    return {_mm_cvtps_pd(f), _mm_cvtps_pd(_mm_movehl_ps(f, f))};
#else
    return {Double2{v[0], v[1]}, Double2{v[2], v[3]}};
#endif
}

inline Double4 operator+(Double4 a, Double4 b) {
    return {a.low + b.low, a.high + b.high};
}

inline Double4 operator*(Double4 a, Double4 b) {
    return {a.low * b.low, a.high * b.high};
}

inline Float4 load4(const float* p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(float* p, Float4 v) {
    std::memcpy(p, &v, sizeof v);
}

inline Float4 splat4(float x) {
    return Float4{x, x, x, x};
}

// Lane i of v in every lane.
template <int i>
inline Float4 broadcastLane(Float4 v) {
#if defined(__SSE2__)
    return _mm_shuffle_ps(v, v, _MM_SHUFFLE(i, i, i, i));
#else
    return splat4(v[i]);
#endif
}

// The four samples of v one sample later: the last sample of the block
// before it (previous), then v's first three.
inline Float4 oneSampleLater(Float4 previous, Float4 v) {
#if defined(__SSE2__)
    const __m128 rotated = _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 1, 0, 3));
    return _mm_move_ss(rotated, _mm_shuffle_ps(previous, previous, _MM_SHUFFLE(3, 3, 3, 3)));
#else
    return Float4{previous[3], v[0], v[1], v[2]};
#endif
}

inline double dotProduct(const float* a, const float* b, int n) {
    Float4 s0 = {0, 0, 0, 0}, s1 = {0, 0, 0, 0};
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        s0 += load4(a + i) * load4(b + i);
        s1 += load4(a + i + 4) * load4(b + i + 4);
    }
    if (i + 4 <= n) {
        s0 += load4(a + i) * load4(b + i);
        i += 4;
    }
    const Float4 s = s0 + s1;
    double sum = (static_cast<double>(s[0]) + s[1]) + (static_cast<double>(s[2]) + s[3]);
    for (; i < n; ++i) sum += static_cast<double>(a[i]) * b[i];
    return sum;
}

#if defined(SONX_QCELP_AVX2)
// dotProduct with its two four-lane sums as the halves of one eight-lane
// sum: the same bits.
SONX_QCELP_WIDE inline double dotProductWide(const float* a, const float* b, int n) {
    __m256 s01 = _mm256_setzero_ps();
    int i = 0;
    for (; i + 8 <= n; i += 8) s01 = _mm256_add_ps(s01, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
    __m128 s0 = _mm256_castps256_ps128(s01);
    if (i + 4 <= n) {
        s0 = _mm_add_ps(s0, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
        i += 4;
    }
    const Float4 s = _mm_add_ps(s0, _mm256_extractf128_ps(s01, 1));
    double sum = (static_cast<double>(s[0]) + s[1]) + (static_cast<double>(s[2]) + s[3]);
    for (; i < n; ++i) sum += static_cast<double>(a[i]) * b[i];
    return sum;
}
#endif

inline double sumOfSquares(const float* a, int n) {
    return dotProduct(a, a, n);
}

inline double horizontalSum(Float4 s) {
    return (static_cast<double>(s[0]) + s[1]) + (static_cast<double>(s[2]) + s[3]);
}

// horizontalSum(a) and horizontalSum(b), formed in two lanes at once.
inline void horizontalSums(Float4 a, Float4 b, double& sumA, double& sumB) {
#if defined(__SSE2__)
    const __m128 low = _mm_unpacklo_ps(a, b), high = _mm_unpackhi_ps(a, b);  // a0 b0 a1 b1, a2 b2 a3 b3
    const __m128d first = _mm_add_pd(_mm_cvtps_pd(low), _mm_cvtps_pd(_mm_movehl_ps(low, low)));
    const __m128d second = _mm_add_pd(_mm_cvtps_pd(high), _mm_cvtps_pd(_mm_movehl_ps(high, high)));
    const __m128d total = _mm_add_pd(first, second);
    sumA = _mm_cvtsd_f64(total);
    sumB = _mm_cvtsd_f64(_mm_unpackhi_pd(total, total));
#else
    sumA = horizontalSum(a);
    sumB = horizontalSum(b);
#endif
}

#if defined(SONX_QCELP_AVX2)
// Whether this CPU runs the SONX_QCELP_WIDE forms. SONX_QCELP_BASELINE in
// the environment keeps the baseline forms, to compare the two.
inline bool cpuHasAvx2() {
    static const bool has =
        (__builtin_cpu_init(), __builtin_cpu_supports("avx2")) && !std::getenv("SONX_QCELP_BASELINE");
    return has;
}
#endif

// dotProduct(t, y, n) and sumOfSquares(y, n) in one pass; n a multiple of 4.
inline void correlationAndEnergy(const float* t, const float* y, int n, double& correlation, double& energy) {
    Float4 c = {0, 0, 0, 0}, e = {0, 0, 0, 0};
    for (int i = 0; i < n; i += 4) {
        const Float4 v = load4(y + i);
        c += load4(t + i) * v;
        e += v * v;
    }
    horizontalSums(c, e, correlation, energy);
}

// y[i] += v * x[i], i = 0..n-1.
inline void addScaled(float* y, const float* x, float v, int n) {
    int i = 0;
    const Float4 vv = {v, v, v, v};
    for (; i + 4 <= n; i += 4) store4(y + i, load4(y + i) + vv * load4(x + i));
    for (; i < n; ++i) y[i] += v * x[i];
}

}  // namespace sonx

#endif  // SONX_QCELP_VECTOR_OPS_H
