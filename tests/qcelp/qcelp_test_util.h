// Test helpers: packet payloads written field by field in the notation of
// the layout tables ("B4[1..0] B5[7..3]": most significant bits first), and
// a few packets that decode as ordinary speech.
#ifndef SONX_TESTS_QCELP_TEST_UTIL_H
#define SONX_TESTS_QCELP_TEST_UTIL_H

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sonx/qcelp/qcelp_types.h"

namespace sonx::test {

struct BitPiece {
    int byte, hi, lo;
};

inline std::vector<BitPiece> parsePieces(const std::string& text) {
    std::vector<BitPiece> pieces;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        BitPiece p{};
        if (std::sscanf(word.c_str(), "B%d[%d..%d]", &p.byte, &p.hi, &p.lo) != 3) {
            if (std::sscanf(word.c_str(), "B%d[%d]", &p.byte, &p.hi) != 2) throw std::invalid_argument(word);
            p.lo = p.hi;
        }
        pieces.push_back(p);
    }
    return pieces;
}

inline int pieceWidth(const std::vector<BitPiece>& pieces) {
    int w = 0;
    for (const BitPiece& p : pieces) w += p.hi - p.lo + 1;
    return w;
}

inline void putBits(uint8_t* payload, const std::string& text, uint32_t value) {
    const std::vector<BitPiece> pieces = parsePieces(text);
    int bit = pieceWidth(pieces) - 1;
    for (const BitPiece& p : pieces)
        for (int b = p.hi; b >= p.lo; --b, --bit) {
            const uint8_t mask = static_cast<uint8_t>(1u << b);
            payload[p.byte] =
                static_cast<uint8_t>((value >> bit) & 1u ? payload[p.byte] | mask : payload[p.byte] & ~mask);
        }
}

// Parameter fields by name and slot.
inline uint32_t& paramRef(QcelpParams& p, const std::string& field, int slot) {
    if (field == "lsp") return p.lsp[slot];
    if (field == "pgain") return p.pitchGain[slot];
    if (field == "plag") return p.pitchLag[slot];
    if (field == "pfrac") return p.pitchFrac[slot];
    if (field == "cbgain") return p.cbGain[slot];
    if (field == "cbindex") return p.cbIndex[slot];
    if (field == "cbsign") return p.cbSign[slot];
    if (field == "seed") return p.seed;
    throw std::invalid_argument(field);
}

struct FieldLayout {
    const char* field;
    int slot;
    const char* pieces;
};

// clang-format off
inline const std::vector<FieldLayout>& lspVectorLayout() {
    static const std::vector<FieldLayout> v = {
        {"lsp", 0, "B1[5..0]"},          {"lsp", 1, "B0[4..0] B1[7..6]"}, {"lsp", 2, "B3[3..0] B0[7..5]"},
        {"lsp", 3, "B2[1..0] B3[7..4]"}, {"lsp", 4, "B2[7..2]"},
    };
    return v;
}

inline std::vector<FieldLayout> fieldLayout(int rate) {
    std::vector<FieldLayout> v;
    if (rate == 1) {
        const char* bits[10] = {"B0[6]", "B0[5]", "B0[4]", "B0[2]", "B0[1]",
                                "B0[0]", "B1[6]", "B1[5]", "B1[4]", "B1[2]"};
        for (int i = 0; i < 10; ++i) v.push_back({"lsp", i, bits[i]});
        v.push_back({"cbgain", 0, "B1[1..0]"});
        return v;
    }
    v = lspVectorLayout();
    if (rate == 2) {
        const std::vector<FieldLayout> q = {{"cbgain", 0, "B5[3..0]"}, {"cbgain", 1, "B5[7..4]"},
                                            {"cbgain", 2, "B4[3..0]"}, {"cbgain", 3, "B4[7..4]"},
                                            {"cbgain", 4, "B6[5..2]"}};
        v.insert(v.end(), q.begin(), q.end());
    } else if (rate == 3) {
        const std::vector<FieldLayout> h = {
            {"plag", 0, "B4[1..0] B5[7..3]"}, {"pfrac", 0, "B4[2]"},  {"pgain", 0, "B5[2..0]"},
            {"cbindex", 0, "B7[6..0]"},       {"cbgain", 0, "B4[6..3]"}, {"cbsign", 0, "B4[7]"},
            {"plag", 1, "B9[0] B6[7..2]"},    {"pfrac", 1, "B9[1]"},  {"pgain", 1, "B6[1..0] B7[7]"},
            {"cbindex", 1, "B8[5..0] B9[7]"}, {"cbgain", 1, "B9[5..2]"}, {"cbsign", 1, "B9[6]"},
            {"plag", 2, "B11[7..1]"},         {"pfrac", 2, "B10[0]"}, {"pgain", 2, "B11[0] B8[7..6]"},
            {"cbindex", 2, "B13[4..0] B10[7..6]"}, {"cbgain", 2, "B10[4..1]"}, {"cbsign", 2, "B10[5]"},
            {"plag", 3, "B12[6..0]"},         {"pfrac", 3, "B12[7]"}, {"pgain", 3, "B13[7..5]"},
            {"cbindex", 3, "B14[7..1]"},      {"cbgain", 3, "B15[7..4]"}, {"cbsign", 3, "B14[0]"},
        };
        v.insert(v.end(), h.begin(), h.end());
    } else if (rate == 4) {
        const std::vector<FieldLayout> f = {
            {"plag", 0, "B4[1..0] B5[7..3]"},  {"pfrac", 0, "B4[2]"},  {"pgain", 0, "B5[2..0]"},
            {"plag", 1, "B13[3..0] B10[7..5]"}, {"pfrac", 1, "B13[4]"}, {"pgain", 1, "B10[4..2]"},
            {"plag", 2, "B18[5..0] B19[7]"},   {"pfrac", 2, "B18[6]"}, {"pgain", 2, "B19[6..4]"},
            {"plag", 3, "B27[7..1]"},          {"pfrac", 3, "B26[0]"}, {"pgain", 3, "B27[0] B24[7..6]"},
            {"cbindex", 0, "B7[6..0]"},  {"cbgain", 0, "B4[6..3]"}, {"cbsign", 0, "B4[7]"},
            {"cbindex", 1, "B9[2..0] B6[7..4]"}, {"cbgain", 1, "B6[2..0] B7[7]"}, {"cbsign", 1, "B6[3]"},
            {"cbindex", 2, "B8[6..0]"},  {"cbgain", 2, "B9[6..3]"}, {"cbsign", 2, "B9[7]"},
            {"cbindex", 3, "B10[1..0] B11[7..3]"}, {"cbgain", 3, "B11[1..0] B8[7]"}, {"cbsign", 3, "B11[2]"},
            {"cbindex", 4, "B15[0] B12[7..2]"}, {"cbgain", 4, "B12[0] B13[7..5]"}, {"cbsign", 4, "B12[1]"},
            {"cbindex", 5, "B14[4..0] B15[7..6]"}, {"cbgain", 5, "B15[4..1]"}, {"cbsign", 5, "B15[5]"},
            {"cbindex", 6, "B16[0] B17[7..2]"}, {"cbgain", 6, "B17[0] B14[7..5]"}, {"cbsign", 6, "B17[1]"},
            {"cbindex", 7, "B19[3..0] B16[7..5]"}, {"cbgain", 7, "B16[3..1]"}, {"cbsign", 7, "B16[4]"},
            {"cbindex", 8, "B20[2..0] B21[7..4]"}, {"cbgain", 8, "B21[2..0] B18[7]"}, {"cbsign", 8, "B21[3]"},
            {"cbindex", 9, "B23[6..0]"}, {"cbgain", 9, "B20[6..3]"}, {"cbsign", 9, "B20[7]"},
            {"cbindex", 10, "B25[2..0] B22[7..4]"}, {"cbgain", 10, "B22[2..0] B23[7]"}, {"cbsign", 10, "B22[3]"},
            {"cbindex", 11, "B24[5..0] B25[7]"}, {"cbgain", 11, "B25[5..3]"}, {"cbsign", 11, "B25[6]"},
            {"cbindex", 12, "B29[4..0] B26[7..6]"}, {"cbgain", 12, "B26[4..1]"}, {"cbsign", 12, "B26[5]"},
            {"cbindex", 13, "B31[0] B28[7..2]"}, {"cbgain", 13, "B28[0] B29[7..5]"}, {"cbsign", 13, "B28[1]"},
            {"cbindex", 14, "B30[4..0] B31[7..6]"}, {"cbgain", 14, "B31[4..1]"}, {"cbsign", 14, "B31[5]"},
            {"cbindex", 15, "B32[5..0] B33[7]"}, {"cbgain", 15, "B30[7..5]"}, {"cbsign", 15, "B33[6]"},
        };
        v.insert(v.end(), f.begin(), f.end());
    }
    return v;
}

// clang-format on

inline int fieldWidth(const FieldLayout& f) {
    return pieceWidth(parsePieces(f.pieces));
}

// A payload of `rate` holding the given parameters.
inline std::vector<uint8_t> buildPayload(int rate, QcelpParams values) {
    std::vector<uint8_t> payload(kPayloadBytes, 0);
    for (const FieldLayout& f : fieldLayout(rate))
        putBits(payload.data(), f.pieces, paramRef(values, f.field, f.slot));
    return payload;
}

// LSP vector codes that pass the plausibility checks of every rate.
inline QcelpParams plausibleLspCodes() {
    QcelpParams p{};
    const uint32_t codes[5] = {3, 5, 6, 1, 48};
    for (int i = 0; i < 5; ++i) p.lsp[i] = codes[i];
    return p;
}

// A stream packet: rate octet then the rate's payload bytes.
inline std::vector<uint8_t> streamPacket(int rate, const std::vector<uint8_t>& payload) {
    static const int sizes[5] = {0, 3, 7, 16, 34};
    std::vector<uint8_t> out{static_cast<uint8_t>(rate)};
    if (rate >= 0 && rate <= 4) out.insert(out.end(), payload.begin(), payload.begin() + sizes[rate]);
    return out;
}

// A voiced full-rate frame: pitch lag 40, gain 1.0, moderate codebook gains.
inline QcelpParams voicedFullRate() {
    QcelpParams p = plausibleLspCodes();
    for (int s = 0; s < 4; ++s) {
        p.pitchLag[s] = 40 - 16;
        p.pitchGain[s] = 3;
    }
    for (int k = 0; k < 16; ++k) {
        p.cbIndex[k] = static_cast<uint32_t>(7 * k + 3) % 128;
        p.cbGain[k] = (k % 4 == 3) ? 2 : 7;
        p.cbSign[k] = k & 1;
    }
    return p;
}

}  // namespace sonx::test

#endif  // SONX_TESTS_QCELP_TEST_UTIL_H
