#include "sonx/qcelp/filters.h"

#include <algorithm>
#include <iterator>

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
void allPoleFixed(const float* in, float* out, int length, FilterState& f, bool update) {
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
void allZeroFixed(const float* in, float* out, int length, FilterState& f, bool update) {
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
            return allPoleFixed<10>(in, out, length, filter, update);
        default:
            return allPoleAny(in, out, length, filter, update);
    }
}

void allPoleCascade(float* v, int length, FilterState& first, FilterState& second) {
    if (first.order == 10 && second.order == 1) return allPoleCascade10x1(v, length, first, second);
    allPoleFilter(v, v, length, first, true);
    allPoleFilter(v, v, length, second, true);
}

void allZeroFilter(const float* in, float* out, int length, FilterState& filter, bool update) {
    switch (filter.order) {
        case 2:
            return allZeroFixed<2>(in, out, length, filter, update);
        case 10:
            return allZeroFixed<10>(in, out, length, filter, update);
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
