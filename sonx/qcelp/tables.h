// Constant tables of the QCELP-13K speech core, shared by decoder and encoder.
#ifndef SONX_QCELP_TABLES_H
#define SONX_QCELP_TABLES_H

#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

inline constexpr int kCosineTableSize = 512;
inline constexpr int kCodebookSize = 128;
inline constexpr int kQuarterRateNoiseTaps = 21;
inline constexpr int kHalfSampleTaps = 8;
inline constexpr int kLspVectors = 5;
inline constexpr int kGainTableSize = 67;

extern const float cosineTable[kCosineTableSize];  // cos(2 pi k / 512)
extern const float halfRateCodebook[kCodebookSize];
extern const float fullRateCodebook[kCodebookSize];
extern const float quarterRateNoiseTaps[kQuarterRateNoiseTaps];
extern const float halfSampleTaps[kHalfSampleTaps];
extern const float bandwidthFactors[kLpcOrder];       // 0.9883^k
extern const float postFilterZeroFactors[kLpcOrder];  // -0.625^k
extern const float postFilterPoleFactors[kLpcOrder];  // 0.775^k

// Split vector quantiser of the LSPs: table k holds the increments of LSPs
// 2k and 2k+1 over the LSP before them.
struct LspPair {
    float d0;
    float d1;
};
extern const LspPair lspTable0[64];
extern const LspPair lspTable1[128];
extern const LspPair lspTable2[128];
extern const LspPair lspTable3[64];
extern const LspPair lspTable4[64];
extern const LspPair* const lspTables[kLspVectors];
extern const int lspTableSizes[kLspVectors];

// Codebook gains by index (dB steps); eighth-rate offsets by 2-bit code.
extern const float gainTable[kGainTableSize];
extern const int eighthRateGainOffset[4];

// Long-term mean of LSP i (0-based): (i + 1) / 11.
inline constexpr float lspMean(int i) {
    return static_cast<float>(i + 1) / 11.0f;
}

}  // namespace sonx

#endif  // SONX_QCELP_TABLES_H
