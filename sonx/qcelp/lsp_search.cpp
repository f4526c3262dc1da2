// Line spectral pairs of the predictor by a table-driven root search.
#include <algorithm>
#include <cmath>

#include "sonx/qcelp/lpc_analysis.h"
#include "sonx/qcelp/tables.h"
#include "sonx/qcelp/vector_ops.h"

namespace sonx {
namespace {

constexpr int kHalfOrder = kLpcOrder / 2;
constexpr int kScanIntervals = 64;

// C(x) = cos(5 pi x) + c1 cos(4 pi x) + ... + c4 cos(pi x) + c5 / 2, with
// every cosine read from the table without interpolation.
float evaluate(const float (&c)[kHalfOrder + 1], float x) {
    auto cosine = [x](int m) { return cosineTable[static_cast<int32_t>(256.0f * m * x) & 511]; };
    return cosine(5) + c[1] * cosine(4) + c[2] * cosine(3) + c[3] * cosine(2) + c[4] * cosine(1) +
           c[5] * 0.5f;
}

// At the grid point x = i / 64 the table index 256 m x is the integer
// 4 m i: the cosines of every grid point, cos(m pi i / 64) at [m][i], the
// rows padded to whole vectors.
constexpr int kGridLength = (kScanIntervals + 1 + 3) / 4 * 4;
struct GridCosines {
    float at[kHalfOrder + 1][kGridLength];
    GridCosines() {
        for (int m = 1; m <= kHalfOrder; ++m)
            for (int i = 0; i < kGridLength; ++i)
                at[m][i] = cosineTable[(4 * m * i) & (kCosineTableSize - 1)];
    }
};

// evaluate at the grid points x = i / 64, four to a vector.
void evaluateGrid(const float (&c)[kHalfOrder + 1], float (&value)[kGridLength]) {
    static const GridCosines grid;
    const Float4 c1 = splat4(c[1]), c2 = splat4(c[2]), c3 = splat4(c[3]), c4 = splat4(c[4]);
    const Float4 last = splat4(c[5] * 0.5f);
    for (int i = 0; i < kGridLength; i += 4) {
        const Float4 sum = load4(grid.at[5] + i) + c1 * load4(grid.at[4] + i) + c2 * load4(grid.at[3] + i) +
                           c3 * load4(grid.at[2] + i) + c4 * load4(grid.at[1] + i) + last;
        store4(value + i, sum);
    }
}

// Whether [lo, hi] may hold a root, C being fLo and fHi there: rootIn is
// false otherwise.
bool mayHoldRoot(float fLo, float fHi) {
    // Signs rather than a product, which could underflow to zero.
    return fLo == 0.0f || (fHi != 0.0f && ((fLo < 0.0f && fHi > 0.0f) || (fLo > 0.0f && fHi < 0.0f)));
}

// A root of C in [lo, hi], where C is fLo and fHi: two bisections, then
// linear interpolation. A root at hi is left to the interval that starts
// there.
bool rootIn(const float (&c)[kHalfOrder + 1], float lo, float hi, float fLo, float fHi, float& root) {
    if (!mayHoldRoot(fLo, fHi)) return false;
    if (fLo == 0.0f) {
        root = lo;
        return true;
    }
    for (int step = 0; step < 10; ++step) {
        const float mid = 0.5f * (lo + hi);
        if ((mid - lo) * 256.0f < 1.0f) break;
        const float fMid = evaluate(c, mid);
        if (fMid == 0.0f) {
            root = mid;
            return true;
        }
        if ((fLo < 0.0f) != (fMid < 0.0f)) {
            hi = mid;
            fHi = fMid;
        } else {
            lo = mid;
            fLo = fMid;
        }
    }
    root = lo + std::fabs(fLo) / std::fabs(fHi - fLo) * (hi - lo);
    return true;
}

}  // namespace

bool searchLspRoots(const float a[kLpcOrder], float lsp[kLpcOrder]) {
    for (int k = 0; k < kLpcOrder; ++k)
        if (!std::isfinite(a[k])) return false;
    float p[kHalfOrder + 1] = {1.0f}, q[kHalfOrder + 1] = {1.0f};
    for (int k = 1; k <= kHalfOrder; ++k) {
        p[k] = -a[k - 1] - a[kLpcOrder - k] - p[k - 1];
        q[k] = a[kLpcOrder - k] - a[k - 1] + q[k - 1];
    }

    // Neighbouring intervals share an end: C at each grid point once.
    float atGrid[kGridLength];
    evaluateGrid(p, atGrid);
    float sumRoots[kHalfOrder + 1];
    int found = 0;
    for (int i = 0; i < kScanIntervals; ++i) {
        if (!mayHoldRoot(atGrid[i], atGrid[i + 1])) continue;
        const float lo = static_cast<float>(i) / kScanIntervals,
                    hi = static_cast<float>(i + 1) / kScanIntervals;
        float root;
        if (!rootIn(p, lo, hi, atGrid[i], atGrid[i + 1], root)) continue;
        if (root == 0.0f) continue;
        if (found == kHalfOrder) return false;
        sumRoots[found++] = root;
    }
    if (found != kHalfOrder) return false;
    sumRoots[kHalfOrder] = 1.0f;

    float atRoots[kHalfOrder + 1];
    for (int j = 0; j <= kHalfOrder; ++j) atRoots[j] = evaluate(q, sumRoots[j]);
    float out[kLpcOrder];
    for (int j = 0; j < kHalfOrder; ++j) {
        float root;
        if (!rootIn(q, sumRoots[j], sumRoots[j + 1], atRoots[j], atRoots[j + 1], root)) return false;
        out[2 * j] = sumRoots[j];
        out[2 * j + 1] = root;
    }
    std::copy(out, out + kLpcOrder, lsp);
    return true;
}

void lpcToLsp(const float a[kLpcOrder], float lsp[kLpcOrder], LpcCarry& carry) {
    if (searchLspRoots(a, lsp)) {
        std::copy(lsp, lsp + kLpcOrder, carry.fallbackLsp);
        carry.expansionIndex = std::max(carry.expansionIndex - 1, 0);
    } else {
        std::copy(carry.fallbackLsp, carry.fallbackLsp + kLpcOrder, lsp);
        carry.expansionIndex = std::min(carry.expansionIndex + 1, 4);
    }
}

}  // namespace sonx
