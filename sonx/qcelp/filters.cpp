#include "sonx/qcelp/filters.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "sonx/qcelp/vector_ops.h"

namespace sonx {

namespace {

constexpr int kChunk = kFrameSamples;

// The recursive filters keep their remembered outputs in registers, m[k]
// being y[n-1-k], and take two samples per step so that the memory shifts
// once per pair. Older taps are summed first, so the newest output joins a
// recursion last; the sums are exactly those of one sample at a time.
template <int N>
struct AllPoleCore {
    float c[N];
    float m[N];

    AllPoleCore(const FilterState& f) {
        for (int k = 0; k < N; ++k) {
            c[k] = f.coeffs[k];
            m[k] = f.memory[k];
        }
    }
    void store(FilterState& f) const {
        for (int k = 0; k < N; ++k) f.memory[k] = m[k];
    }
    float one(float x) {
        float acc = x;
        for (int k = N - 1; k >= 0; --k) acc += c[k] * m[k];
        for (int k = N - 1; k > 0; --k) m[k] = m[k - 1];
        m[0] = acc;
        return acc;
    }
    void two(float x0, float x1, float& y0, float& y1) {
        float a0 = x0;
        for (int k = N - 1; k >= 0; --k) a0 += c[k] * m[k];
        float a1 = x1;
        for (int k = N - 1; k >= 1; --k) a1 += c[k] * m[k - 1];
        a1 += c[0] * a0;
        for (int k = N - 1; k > 1; --k) m[k] = m[k - 2];
        if (N > 1) m[1] = a0;
        m[0] = a1;
        y0 = a0;
        y1 = a1;
    }
};

template <int N>
SONX_QCELP_KERNEL void allPoleFixed(const float* in, float* out, int length, FilterState& f, bool update) {
    AllPoleCore<N> core(f);
    int n = 0;
    for (; n + 2 <= length; n += 2) core.two(in[n], in[n + 1], out[n], out[n + 1]);
    if (n < length) out[n] = core.one(in[n]);
    if (update) core.store(f);
}

// The filters below run on a chronological buffer: the remembered samples,
// then the chunk. With the tap count fixed the compiler unrolls the tap
// loops and vectorises them across samples.
template <int N>
SONX_QCELP_KERNEL void allZeroFixed(const float* in, float* out, int length, FilterState& f, bool update) {
    float c[N];
    float buf[N + kChunk];
    for (int k = 0; k < N; ++k) {
        c[k] = f.coeffs[k];
        buf[N - 1 - k] = f.memory[k];
    }
    while (length > 0) {
        const int len = std::min(length, kChunk);
        float* x = buf + N;
        std::copy(in, in + len, x);
        for (int n = 0; n < len; ++n) {
            float acc = x[n];
            for (int k = N; k >= 1; --k) acc += c[k - 1] * x[n - k];
            out[n] = acc;
        }
        std::copy(x + len - N, x + len, buf);
        in += len;
        out += len;
        length -= len;
    }
    if (update)
        for (int k = 0; k < N; ++k) f.memory[k] = buf[N - 1 - k];
}

// allZeroFixed for a block of exactly L samples, L at most a chunk: the
// same sums, with every copy and loop of a size the compiler knows.
template <int N, int L>
SONX_QCELP_KERNEL void allZeroBlock(const float* in, float* out, FilterState& f) {
    static_assert(L >= N && L <= kChunk);
    float c[N];
    float buf[N + L];
    for (int k = 0; k < N; ++k) {
        c[k] = f.coeffs[k];
        buf[N - 1 - k] = f.memory[k];
    }
    float* x = buf + N;
    std::copy(in, in + L, x);
    for (int n = 0; n < L; ++n) {
        float acc = x[n];
        for (int k = N; k >= 1; --k) acc += c[k - 1] * x[n - k];
        out[n] = acc;
    }
    for (int k = 0; k < N; ++k) f.memory[k] = x[L - 1 - k];
}

// Order 10: a pitch subframe's block in its fixed-size form.
SONX_QCELP_KERNEL void allZero10(const float* in, float* out, int length, FilterState& f, bool update) {
    if (update && length == kPitchSubframeSamples) return allZeroBlock<10, kPitchSubframeSamples>(in, out, f);
    allZeroFixed<10>(in, out, length, f, update);
}

// The order-10 all-zero filter over x[0, length) whose memory is x[-10, 0):
// the sums of allZeroFixed, read straight from the caller's buffer. A
// pitch subframe's length is fixed, so that the loops unroll.
template <int L = 0>
SONX_QCELP_KERNEL void allZeroAfter10(const float* __restrict x, float* __restrict out, int length,
                                      const float* __restrict coeffs) {
    if constexpr (L > 0) length = L;
    for (int n = 0; n < length; ++n) {
        float acc = x[n];
        for (int k = 10; k >= 1; --k) acc += coeffs[k - 1] * x[n - k];
        out[n] = acc;
    }
}

SONX_QCELP_KERNEL void allZeroAfterAny10(const float* x, float* out, int length, const float* coeffs) {
    if (length == kPitchSubframeSamples) return allZeroAfter10<kPitchSubframeSamples>(x, out, length, coeffs);
    allZeroAfter10(x, out, length, coeffs);
}

// N taps, N-1 remembered inputs.
template <int N>
void firFixed(const float* in, float* out, int length, FilterState& f, bool update) {
    constexpr int M = N - 1;
    float h[N];
    float buf[M + kChunk];
    for (int k = 0; k < N; ++k) h[k] = f.coeffs[k];
    for (int k = 0; k < M; ++k) buf[M - 1 - k] = f.memory[k];
    while (length > 0) {
        const int len = std::min(length, kChunk);
        float* x = buf + M;
        std::copy(in, in + len, x);
        for (int n = 0; n < len; ++n) {
            float acc = 0.0f;
            for (int k = N - 1; k >= 1; --k) acc += h[k] * x[n - k];
            out[n] = acc + h[0] * x[n];
        }
        std::copy(x + len - M, x + len, buf);
        in += len;
        out += len;
        length -= len;
    }
    if (update)
        for (int k = 0; k < M; ++k) f.memory[k] = buf[M - 1 - k];
}

// An order-10 all-pole filter followed by an order-1 one, in one pass so
// that the two recursions overlap; the arithmetic is that of two calls.
void allPoleCascade10x1(float* v, int length, FilterState& f, FilterState& g) {
    AllPoleCore<10> core(f);
    const float d = g.coeffs[0];
    float last = g.memory[0];
    int n = 0;
    for (; n + 2 <= length; n += 2) {
        float y0, y1;
        core.two(v[n], v[n + 1], y0, y1);
        last = y0 + d * last;
        v[n] = last;
        last = y1 + d * last;
        v[n + 1] = last;
    }
    if (n < length) {
        last = core.one(v[n]) + d * last;
        v[n] = last;
    }
    core.store(f);
    g.memory[0] = last;
}

typedef double Double4v __attribute__((vector_size(32)));

// out[j] = {p[j], q[j], r[j], s[j]}.
inline void transpose4(Float4 p, Float4 q, Float4 r, Float4 s, Float4 out[4]) {
    const Float4 pq01 = __builtin_shufflevector(p, q, 0, 4, 1, 5);
    const Float4 pq23 = __builtin_shufflevector(p, q, 2, 6, 3, 7);
    const Float4 rs01 = __builtin_shufflevector(r, s, 0, 4, 1, 5);
    const Float4 rs23 = __builtin_shufflevector(r, s, 2, 6, 3, 7);
    out[0] = __builtin_shufflevector(pq01, rs01, 0, 1, 4, 5);
    out[1] = __builtin_shufflevector(pq01, rs01, 2, 3, 6, 7);
    out[2] = __builtin_shufflevector(pq23, rs23, 0, 1, 4, 5);
    out[3] = __builtin_shufflevector(pq23, rs23, 2, 3, 6, 7);
}

// Order 10, four samples per step. Every output of a step is formed
// straight from the outputs before the step (the filter unrolled over four
// samples), so the recursion's delay is paid once per step instead of once
// per sample; the terms of the newest outputs are summed last.
struct BlockPoles10 {
    static constexpr int N = 10;
    Float4 g[N];  // lane l of g[k]: weight of y[n-1-k] in y[n+l]
    Float4 h[4];  // lane l of h[i]: weight of x[n+i] in y[n+l]
    Float4 m[N];  // y[n-1-k] in every lane

    BlockPoles10(const FilterState& f) {
        // Impulse response r; then y[n+l] = sum over i <= l of r[l-i] times
        // (x[n+i] plus the remembered outputs' direct share a[k+i] m[k]).
        // The weights are formed in double so that each is rounded once.
        double a[16] = {};  // zero past the order, for the last delays' shares
        for (int k = 0; k < N; ++k) a[k] = f.coeffs[k];
        const double r1 = a[0];
        const double r2 = a[0] * r1 + a[1];
        const double r3 = a[0] * r2 + a[1] * r1 + a[2];
        h[0] = Float4{1.0f, float(r1), float(r2), float(r3)};
        h[1] = Float4{0.0f, 1.0f, float(r1), float(r2)};
        h[2] = Float4{0.0f, 0.0f, 1.0f, float(r1)};
        h[3] = Float4{0.0f, 0.0f, 0.0f, 1.0f};
        // Four delays at a time, lane j for delay k+j, then turned so that
        // g[k] holds the four outputs' weights of one delay.
        for (int k = 0; k < N; k += 4) {
            Double4v a0, a1, a2, a3;
            std::memcpy(&a0, a + k, sizeof a0);
            std::memcpy(&a1, a + k + 1, sizeof a1);
            std::memcpy(&a2, a + k + 2, sizeof a2);
            std::memcpy(&a3, a + k + 3, sizeof a3);
            const Double4v w1 = a1 + r1 * a0;
            const Double4v w2 = a2 + r1 * a1 + r2 * a0;
            const Double4v w3 = a3 + r1 * a2 + r2 * a1 + r3 * a0;
            Float4 byDelay[4];
            transpose4(__builtin_convertvector(a0, Float4), __builtin_convertvector(w1, Float4),
                       __builtin_convertvector(w2, Float4), __builtin_convertvector(w3, Float4), byDelay);
            for (int j = 0; j < 4 && k + j < N; ++j) g[k + j] = byDelay[j];
        }
        for (int k = 0; k < N; ++k) m[k] = splat4(f.memory[k]);
    }
    Float4 step(const float* x) {
        return advance(splat4(x[0]) * h[0] + splat4(x[1]) * h[1] +
                       (splat4(x[2]) * h[2] + splat4(x[3]) * h[3]));
    }
    // The step from the inputs' share `in` of its four outputs.
    Float4 advance(Float4 in) {
        const Float4 older = in + ((g[9] * m[9] + g[8] * m[8]) + (g[7] * m[7] + g[6] * m[6])) + (g[5] * m[5] + g[4] * m[4]);
        const Float4 y = older + ((g[3] * m[3] + g[2] * m[2]) + (g[1] * m[1] + g[0] * m[0]));
        for (int k = N - 1; k >= 4; --k) m[k] = m[k - 4];
        m[3] = broadcastLane<0>(y);
        m[2] = broadcastLane<1>(y);
        m[1] = broadcastLane<2>(y);
        m[0] = broadcastLane<3>(y);
        return y;
    }
    void store(FilterState& f) const {
        for (int k = 0; k < N; ++k) f.memory[k] = m[k][0];
    }
};

// Order 2 four samples per step, as BlockPoles10 (the encoder's high-pass).
struct BlockPoles2 {
    Float4 g[2];
    Float4 h[4];
    Float4 m[2];

    BlockPoles2(const FilterState& f) {
        const double a0 = f.coeffs[0], a1 = f.coeffs[1];
        const double r1 = a0, r2 = a0 * r1 + a1, r3 = a0 * r2 + a1 * r1;
        h[0] = Float4{1.0f, float(r1), float(r2), float(r3)};
        h[1] = Float4{0.0f, 1.0f, float(r1), float(r2)};
        h[2] = Float4{0.0f, 0.0f, 1.0f, float(r1)};
        h[3] = Float4{0.0f, 0.0f, 0.0f, 1.0f};
        // The weights of y[n-1] and y[n-2] in y[n+l]: r(l+1) and a1 r(l).
        g[0] = Float4{float(r1), float(r2), float(r3), float(a0 * r3 + a1 * r2)};
        g[1] = Float4{float(a1), float(a1 * r1), float(a1 * r2), float(a1 * r3)};
        m[0] = splat4(f.memory[0]);
        m[1] = splat4(f.memory[1]);
    }
    Float4 step(const float* x) {
        const Float4 in = splat4(x[0]) * h[0] + splat4(x[1]) * h[1] + (splat4(x[2]) * h[2] + splat4(x[3]) * h[3]);
        const Float4 y = in + (g[1] * m[1] + g[0] * m[0]);
        m[1] = broadcastLane<2>(y);
        m[0] = broadcastLane<3>(y);
        return y;
    }
    void store(FilterState& f) const {
        f.memory[0] = m[0][0];
        f.memory[1] = m[1][0];
    }
};

SONX_QCELP_KERNEL void allPoleBlocks2(const float* in, float* out, int blocks, FilterState& filter) {
    BlockPoles2 poles(filter);
    for (int n = 0; n < blocks; n += 4) store4(out + n, poles.step(in + n));
    poles.store(filter);
}

// A first-order all-pole filter four samples per step: lane l of the result
// is sum over i <= l of d^(l-i) p[i] plus d^(l+1) times the last output.
struct BlockTilt {
    Float4 e[4];
    Float4 carry;
    Float4 last;
    BlockTilt(float d, float memory) {
        const float d2 = d * d, d3 = d2 * d;
        e[0] = Float4{1.0f, d, d2, d3};
        e[1] = Float4{0.0f, 1.0f, d, d2};
        e[2] = Float4{0.0f, 0.0f, 1.0f, d};
        e[3] = Float4{0.0f, 0.0f, 0.0f, 1.0f};
        carry = Float4{d, d2, d3, d3 * d};
        last = splat4(memory);
    }
    Float4 step(Float4 p) {
        const Float4 t = (broadcastLane<0>(p) * e[0] + broadcastLane<1>(p) * e[1]) +
                         (broadcastLane<2>(p) * e[2] + broadcastLane<3>(p) * e[3]) + carry * last;
        last = broadcastLane<3>(t);
        return t;
    }
};

// Any other order: the same arithmetic with run-time loop bounds.
void allPoleAny(const float* in, float* out, int length, FilterState& f, bool update) {
    const int order = f.order;
    float m[kMaxFilterTaps];
    std::copy(f.memory, f.memory + order, m);
    for (int n = 0; n < length; ++n) {
        float acc = in[n];
        for (int k = order - 1; k >= 0; --k) acc += f.coeffs[k] * m[k];
        for (int k = order - 1; k > 0; --k) m[k] = m[k - 1];
        if (order > 0) m[0] = acc;
        out[n] = acc;
    }
    if (update) std::copy(m, m + order, f.memory);
}

void allZeroAny(const float* in, float* out, int length, FilterState& f, bool update) {
    const int order = f.order;
    float m[kMaxFilterTaps];
    std::copy(f.memory, f.memory + order, m);
    for (int n = 0; n < length; ++n) {
        const float x = in[n];
        float acc = x;
        for (int k = order - 1; k >= 0; --k) acc += f.coeffs[k] * m[k];
        for (int k = order - 1; k > 0; --k) m[k] = m[k - 1];
        if (order > 0) m[0] = x;
        out[n] = acc;
    }
    if (update) std::copy(m, m + order, f.memory);
}

void firAny(const float* in, float* out, int length, FilterState& f, bool update) {
    const int taps = f.order;
    const int kept = taps > 0 ? taps - 1 : 0;
    float m[kMaxFilterTaps];
    std::copy(f.memory, f.memory + kept, m);
    for (int n = 0; n < length; ++n) {
        const float x = in[n];
        float acc = 0.0f;
        for (int k = taps - 1; k >= 1; --k) acc += f.coeffs[k] * m[k - 1];
        if (taps > 0) acc += f.coeffs[0] * x;
        for (int k = kept - 1; k > 0; --k) m[k] = m[k - 1];
        if (kept > 0) m[0] = x;
        out[n] = acc;
    }
    if (update) std::copy(m, m + kept, f.memory);
}

SONX_QCELP_KERNEL void allPoleBlocks10(const float* in, float* out, int blocks, FilterState& filter) {
    BlockPoles10 poles(filter);
    int n = 0;
    // Two steps per turn, so that the remembered outputs stay in place in registers.
    for (; n + 8 <= blocks; n += 8) {
        store4(out + n, poles.step(in + n));
        store4(out + n + 4, poles.step(in + n + 4));
    }
    if (n < blocks) store4(out + n, poles.step(in + n));
    poles.store(filter);
}

SONX_QCELP_KERNEL void allPoleCascadeBlocks10x1(float* v, int blocks, FilterState& first, FilterState& second) {
    BlockPoles10 poles(first);
    BlockTilt tilt(second.coeffs[0], second.memory[0]);
    int n = 0;
    for (; n + 8 <= blocks; n += 8) {
        store4(v + n, tilt.step(poles.step(v + n)));
        store4(v + n + 4, tilt.step(poles.step(v + n + 4)));
    }
    if (n < blocks) store4(v + n, tilt.step(poles.step(v + n)));
    poles.store(first);
    second.memory[0] = tilt.last[0];
}

// The order-10 filters in both compiled forms.
struct Order10Kernels {
    void (*allPole)(const float*, float*, int, FilterState&, bool);
    void (*allZero)(const float*, float*, int, FilterState&, bool);
    void (*allPoleBlocks)(const float*, float*, int, FilterState&);
    void (*cascadeBlocks)(float*, int, FilterState&, FilterState&);
    void (*besideCascadeBlocks)(const float*, float*, FilterState&, float*, int, FilterState&, FilterState&);
    void (*allZeroAfter)(const float*, float*, int, const float*);
};

constexpr Order10Kernels kNarrow = {
    [](const float* in, float* out, int length, FilterState& f, bool update) {
        allPoleFixed<10>(in, out, length, f, update);
    },
    [](const float* in, float* out, int length, FilterState& f, bool update) {
        allZero10(in, out, length, f, update);
    },
    [](const float* in, float* out, int blocks, FilterState& f) { allPoleBlocks10(in, out, blocks, f); },
    [](float* v, int blocks, FilterState& first, FilterState& second) {
        allPoleCascadeBlocks10x1(v, blocks, first, second);
    },
    // Sixteen registers hold one recursion's memory, not two: one after the other.
    [](const float* in, float* out, FilterState& filter, float* v, int blocks, FilterState& first,
       FilterState& second) {
        allPoleBlocks10(in, out, blocks, filter);
        allPoleCascadeBlocks10x1(v, blocks, first, second);
    },
    [](const float* x, float* out, int length, const float* coeffs) {
        allZeroAfterAny10(x, out, length, coeffs);
    },
};

#if defined(SONX_QCELP_AVX2)
SONX_QCELP_WIDE void allPoleWide(const float* in, float* out, int length, FilterState& f, bool update) {
    allPoleFixed<10>(in, out, length, f, update);
}
SONX_QCELP_WIDE void allZeroWide(const float* in, float* out, int length, FilterState& f, bool update) {
    allZero10(in, out, length, f, update);
}
// The inputs' shares of two steps in one eight-lane vector, lanes 0-3 for
// the first step and 4-7 for the second, each formed as BlockPoles10::step
// forms it.
struct PairedShares {
    __m256 h[4];
    SONX_QCELP_WIDE explicit PairedShares(const BlockPoles10& poles) {
        for (int i = 0; i < 4; ++i) h[i] = _mm256_set_m128(poles.h[i], poles.h[i]);
    }
    [[gnu::always_inline]] SONX_QCELP_WIDE inline void of(const float* x, Float4& first,
                                                          Float4& second) const {
        const __m256 v = _mm256_loadu_ps(x);
        const __m256 s01 = _mm256_add_ps(_mm256_mul_ps(_mm256_permute_ps(v, 0x00), h[0]),
                                         _mm256_mul_ps(_mm256_permute_ps(v, 0x55), h[1]));
        const __m256 s23 = _mm256_add_ps(_mm256_mul_ps(_mm256_permute_ps(v, 0xAA), h[2]),
                                         _mm256_mul_ps(_mm256_permute_ps(v, 0xFF), h[3]));
        const __m256 in = _mm256_add_ps(s01, s23);
        first = _mm256_castps256_ps128(in);
        second = _mm256_extractf128_ps(in, 1);
    }
};

SONX_QCELP_WIDE void allPoleBlocksWide(const float* in, float* out, int blocks, FilterState& f) {
    BlockPoles10 poles(f);
    const PairedShares shares(poles);
    int n = 0;
    for (; n + 8 <= blocks; n += 8) {
        Float4 first, second;
        shares.of(in + n, first, second);
        store4(out + n, poles.advance(first));
        store4(out + n + 4, poles.advance(second));
    }
    if (n < blocks) store4(out + n, poles.step(in + n));
    poles.store(f);
}

SONX_QCELP_WIDE void cascadeBlocksWide(float* v, int blocks, FilterState& first, FilterState& second) {
    BlockPoles10 poles(first);
    const PairedShares shares(poles);
    BlockTilt tilt(second.coeffs[0], second.memory[0]);
    int n = 0;
    for (; n + 8 <= blocks; n += 8) {
        Float4 a, b;
        shares.of(v + n, a, b);
        store4(v + n, tilt.step(poles.advance(a)));
        store4(v + n + 4, tilt.step(poles.advance(b)));
    }
    if (n < blocks) store4(v + n, tilt.step(poles.step(v + n)));
    poles.store(first);
    second.memory[0] = tilt.last[0];
}

typedef float Float8 __attribute__((vector_size(32)));

// Two BlockPoles10 in one eight-lane vector, lanes 0-3 for the first filter
// and 4-7 for the second: each half is formed exactly as BlockPoles10 forms
// its step, and the two recursions share every instruction.
struct PairedPoles10 {
    static constexpr int N = BlockPoles10::N;
    Float8 g[N];
    Float8 h[4];
    Float8 m[N];

    SONX_QCELP_WIDE PairedPoles10(const BlockPoles10& first, const BlockPoles10& second) {
        for (int k = 0; k < N; ++k) {
            g[k] = Float8(_mm256_set_m128(second.g[k], first.g[k]));
            m[k] = Float8(_mm256_set_m128(second.m[k], first.m[k]));
        }
        for (int i = 0; i < 4; ++i) h[i] = Float8(_mm256_set_m128(second.h[i], first.h[i]));
    }
    template <int Lane>
    [[gnu::always_inline]] SONX_QCELP_WIDE static inline Float8 broadcastHalves(Float8 v) {
        return Float8(_mm256_permute_ps(__m256(v), Lane * 0x55));
    }
    // Four inputs of each filter in, four outputs of each out.
    [[gnu::always_inline]] SONX_QCELP_WIDE inline Float8 step(const float* first, const float* second) {
        const Float8 x = Float8(_mm256_loadu2_m128(second, first));
        const Float8 in = broadcastHalves<0>(x) * h[0] + broadcastHalves<1>(x) * h[1] +
                          (broadcastHalves<2>(x) * h[2] + broadcastHalves<3>(x) * h[3]);
        const Float8 older =
            in + ((g[9] * m[9] + g[8] * m[8]) + (g[7] * m[7] + g[6] * m[6])) + (g[5] * m[5] + g[4] * m[4]);
        const Float8 y = older + ((g[3] * m[3] + g[2] * m[2]) + (g[1] * m[1] + g[0] * m[0]));
        for (int k = N - 1; k >= 4; --k) m[k] = m[k - 4];
        m[3] = broadcastHalves<0>(y);
        m[2] = broadcastHalves<1>(y);
        m[1] = broadcastHalves<2>(y);
        m[0] = broadcastHalves<3>(y);
        return y;
    }
    SONX_QCELP_WIDE void store(FilterState& first, FilterState& second) const {
        for (int k = 0; k < N; ++k) {
            first.memory[k] = m[k][0];
            second.memory[k] = m[k][4];
        }
    }
};

SONX_QCELP_WIDE void besideCascadeWide(const float* in, float* out, FilterState& filter, float* v, int blocks,
                                       FilterState& first, FilterState& second) {
    PairedPoles10 poles{BlockPoles10(filter), BlockPoles10(first)};
    BlockTilt tilt(second.coeffs[0], second.memory[0]);
    for (int n = 0; n < blocks; n += 4) {
        const __m256 y = __m256(poles.step(in + n, v + n));
        store4(out + n, _mm256_castps256_ps128(y));
        store4(v + n, tilt.step(_mm256_extractf128_ps(y, 1)));
    }
    poles.store(filter, first);
    second.memory[0] = tilt.last[0];
}

SONX_QCELP_WIDE void allZeroAfterWide(const float* x, float* out, int length, const float* coeffs) {
    allZeroAfterAny10(x, out, length, coeffs);
}

constexpr Order10Kernels kWide = {allPoleWide,       allZeroWide,       allPoleBlocksWide,
                                  cascadeBlocksWide, besideCascadeWide, allZeroAfterWide};
#endif

const Order10Kernels& chooseOrder10() {
#if defined(SONX_QCELP_AVX2)
    return cpuHasAvx2() ? kWide : kNarrow;
#else
    return kNarrow;
#endif
}

// Chosen once, when the library is loaded, so that a call reads one
// pointer; a call from another file's static initialiser, before this one
// has run, finds it still null and chooses for itself.
const Order10Kernels* const kOrder10 = &chooseOrder10();

inline const Order10Kernels& order10() {
    return kOrder10 ? *kOrder10 : chooseOrder10();
}

}  // namespace

void initFilter(FilterState& filter, int order, const float* coeffs) {
    filter.order = std::clamp(order, 0, kMaxFilterTaps);
    std::fill(std::begin(filter.memory), std::end(filter.memory), 0.0f);
    std::fill(std::begin(filter.coeffs), std::end(filter.coeffs), 0.0f);
    if (coeffs) std::copy(coeffs, coeffs + filter.order, filter.coeffs);
}

void allPoleFilter(const float* in, float* out, int length, FilterState& filter, bool update) {
    switch (filter.order) {
        case 1:
            return allPoleFixed<1>(in, out, length, filter, update);
        case 2:
            return allPoleFixed<2>(in, out, length, filter, update);
        case 10:
            return order10().allPole(in, out, length, filter, update);
        default:
            return allPoleAny(in, out, length, filter, update);
    }
}

void allPoleCascade(float* v, int length, FilterState& first, FilterState& second) {
    if (first.order == 10 && second.order == 1) return allPoleCascade10x1(v, length, first, second);
    allPoleFilter(v, v, length, first, true);
    allPoleFilter(v, v, length, second, true);
}

void allPoleFilterBlocks(const float* in, float* out, int length, FilterState& filter) {
    if (filter.order != BlockPoles10::N && filter.order != 2) return allPoleFilter(in, out, length, filter, true);
    const int blocks = length / 4 * 4;
    if (blocks > 0) {
        if (filter.order == 2)
            allPoleBlocks2(in, out, blocks, filter);
        else
            order10().allPoleBlocks(in, out, blocks, filter);
    }
    if (blocks < length) allPoleFilter(in + blocks, out + blocks, length - blocks, filter, true);
}

void allPoleCascadeBlocks(float* v, int length, FilterState& first, FilterState& second) {
    if (first.order != BlockPoles10::N || second.order != 1) return allPoleCascade(v, length, first, second);
    const int blocks = length / 4 * 4;
    if (blocks > 0) order10().cascadeBlocks(v, blocks, first, second);
    if (blocks < length) allPoleCascade(v + blocks, length - blocks, first, second);
}

void allPoleBesideCascade(const float* in, float* out, FilterState& filter, float* v, int length,
                          FilterState& first, FilterState& second) {
    const bool blocksFit = length % 4 == 0 && filter.order == BlockPoles10::N &&
                           first.order == BlockPoles10::N && second.order == 1;
    if (!blocksFit) {
        allPoleFilterBlocks(in, out, length, filter);
        allPoleCascadeBlocks(v, length, first, second);
        return;
    }
    if (length > 0) order10().besideCascadeBlocks(in, out, filter, v, length, first, second);
}

void allZeroFilterAfter(const float* x, float* out, int length, const float* coeffs) {
    if (length > 0) order10().allZeroAfter(x, out, length, coeffs);
}

void allZeroFilter(const float* in, float* out, int length, FilterState& filter, bool update) {
    switch (filter.order) {
        case 2:
            return allZeroFixed<2>(in, out, length, filter, update);
        case 10:
            return order10().allZero(in, out, length, filter, update);
        default:
            return allZeroAny(in, out, length, filter, update);
    }
}

void firFilter(const float* in, float* out, int length, FilterState& filter, bool update) {
    switch (filter.order) {
        case 17:
            return firFixed<17>(in, out, length, filter, update);
        case 21:
            return firFixed<21>(in, out, length, filter, update);
        default:
            return firAny(in, out, length, filter, update);
    }
}

int32_t roundToInt(float x) {
    if (!(x == x)) return 0;
    if (x >= 2147483520.0f) return INT32_MAX;
    if (x <= -2147483520.0f) return INT32_MIN + 128;
    const int32_t t = static_cast<int32_t>(x);
    return x > 0.0f && x - static_cast<float>(t) >= 0.5f ? t + 1 : t;
}

}  // namespace sonx
