// Line spectral pairs of the predictor by a table-driven root search.
#include <algorithm>
#include <cmath>

#include "sonx/qcelp/lpc_analysis.h"
#include "sonx/qcelp/tables.h"

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

// A root of C in [lo, hi], where C is fLo and fHi: two bisections, then
// linear interpolation. A root at hi is left to the interval that starts
// there.
bool rootIn(const float (&c)[kHalfOrder + 1], float lo, float hi, float fLo, float fHi, float& root) {
    if (fLo == 0.0f) {
        root = lo;
        return true;
    }
    // Signs rather than a product, which could underflow to zero.
    if (fHi == 0.0f || !((fLo < 0.0f && fHi > 0.0f) || (fLo > 0.0f && fHi < 0.0f))) return false;
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
    float grid[kScanIntervals + 1], atGrid[kScanIntervals + 1];
    for (int i = 0; i <= kScanIntervals; ++i) {
        grid[i] = static_cast<float>(i) / kScanIntervals;
        atGrid[i] = evaluate(p, grid[i]);
    }
    float sumRoots[kHalfOrder + 1];
    int found = 0;
    for (int i = 0; i < kScanIntervals; ++i) {
        float root;
        if (!rootIn(p, grid[i], grid[i + 1], atGrid[i], atGrid[i + 1], root)) continue;
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
