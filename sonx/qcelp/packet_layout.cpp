#include "sonx/qcelp/packet_layout.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace sonx {

namespace {

// A run of bits Bbyte[hi..lo] of one field. A field made of several pieces
// takes its most significant bits from its first piece; `top` names the bit
// number at `hi` explicitly where a field's bits are scattered singly.
struct Piece {
    uint8_t kind;
    uint8_t slot;
    uint8_t byte;
    uint8_t hi;
    uint8_t lo;
    int8_t top = -1;
};

constexpr Piece LSPV(int slot, int byte, int hi, int lo) {
    return {PARAM_LSP_VECTOR, uint8_t(slot), uint8_t(byte), uint8_t(hi), uint8_t(lo)};
}
constexpr Piece LAG(int slot, int byte, int hi, int lo) {
    return {PARAM_PITCH_LAG, uint8_t(slot), uint8_t(byte), uint8_t(hi), uint8_t(lo)};
}
constexpr Piece FRAC(int slot, int byte, int bit) {
    return {PARAM_PITCH_FRAC, uint8_t(slot), uint8_t(byte), uint8_t(bit), uint8_t(bit)};
}
constexpr Piece PGAIN(int slot, int byte, int hi, int lo) {
    return {PARAM_PITCH_GAIN, uint8_t(slot), uint8_t(byte), uint8_t(hi), uint8_t(lo)};
}
constexpr Piece INDEX(int slot, int byte, int hi, int lo) {
    return {PARAM_CB_INDEX, uint8_t(slot), uint8_t(byte), uint8_t(hi), uint8_t(lo)};
}
constexpr Piece GAIN(int slot, int byte, int hi, int lo) {
    return {PARAM_CB_GAIN, uint8_t(slot), uint8_t(byte), uint8_t(hi), uint8_t(lo)};
}
constexpr Piece SIGN(int slot, int byte, int bit) {
    return {PARAM_CB_SIGN, uint8_t(slot), uint8_t(byte), uint8_t(bit), uint8_t(bit)};
}
constexpr Piece LSP1(int slot, int byte, int bit) {
    return {PARAM_LSP_EIGHTH, uint8_t(slot), uint8_t(byte), uint8_t(bit), uint8_t(bit)};
}
constexpr Piece SEED(int seedBit, int byte, int bit) {
    return {PARAM_SEED, 0, uint8_t(byte), uint8_t(bit), uint8_t(bit), int8_t(seedBit)};
}
constexpr Piece RESERVED(int byte, int hi, int lo) {
    return {PARAM_RESERVED, 0, uint8_t(byte), uint8_t(hi), uint8_t(lo)};
}

constexpr int width(const Piece& p) {
    return p.hi - p.lo + 1;
}
constexpr bool sameField(const Piece& a, const Piece& b) {
    return a.kind == b.kind && a.slot == b.slot && a.kind != PARAM_RESERVED;
}

template <std::size_t Bits, std::size_t P>
consteval std::array<PacketBit, Bits> bitTable(const std::array<Piece, P>& pieces) {
    std::array<PacketBit, Bits> table{};
    std::array<bool, Bits> used{};
    for (std::size_t i = 0; i < P; ++i) {
        const Piece& p = pieces[i];
        if (p.hi > 7 || p.lo > p.hi) throw "bad piece";
        int top = p.top;
        if (top < 0) {
            int below = 0;
            for (std::size_t j = i + 1; j < P; ++j)
                if (sameField(pieces[j], p)) below += width(pieces[j]);
            top = p.kind == PARAM_RESERVED ? 0 : below + width(p) - 1;
        }
        for (int b = p.hi; b >= p.lo; --b) {
            const std::size_t pos = p.byte * 8u + (7u - b);
            if (pos >= Bits || used[pos]) throw "bits overlap or overrun";
            used[pos] = true;
            const int number = p.kind == PARAM_RESERVED ? 0 : top - (p.hi - b);
            table[pos] = {p.kind, p.slot, uint8_t(number)};
        }
    }
    for (bool u : used)
        if (!u) throw "gap in the layout";
    return table;
}

// Every field of the rate appears with exactly its width, each bit once.
template <std::size_t Bits>
consteval bool fieldsComplete(const std::array<PacketBit, Bits>& table, int rate) {
    struct Field {
        uint8_t kind;
        int slots;
    };
    auto widthOf = [rate](uint8_t kind, int slot) -> int {
        switch (kind) {
            case PARAM_LSP_EIGHTH:
                return 1;
            case PARAM_LSP_VECTOR:
                return (slot == 1 || slot == 2) ? 7 : 6;
            case PARAM_PITCH_GAIN:
                return 3;
            case PARAM_PITCH_LAG:
                return 7;
            case PARAM_PITCH_FRAC:
                return 1;
            case PARAM_CB_GAIN:
                return rate == 1 ? 2 : (rate == 4 && slot % 4 == 3) ? 3 : 4;
            case PARAM_CB_INDEX:
                return 7;
            case PARAM_CB_SIGN:
                return 1;
            default:
                return 0;
        }
    };
    Field fields[8] = {};
    int nFields = 0;
    if (rate == 1) {
        fields[nFields++] = {PARAM_LSP_EIGHTH, 10};
        fields[nFields++] = {PARAM_CB_GAIN, 1};
    } else {
        fields[nFields++] = {PARAM_LSP_VECTOR, 5};
        if (rate == 2) fields[nFields++] = {PARAM_CB_GAIN, 5};
        if (rate >= 3) {
            const int cb = rate == 3 ? 4 : 16;
            fields[nFields++] = {PARAM_PITCH_GAIN, 4};
            fields[nFields++] = {PARAM_PITCH_LAG, 4};
            fields[nFields++] = {PARAM_PITCH_FRAC, 4};
            fields[nFields++] = {PARAM_CB_GAIN, cb};
            fields[nFields++] = {PARAM_CB_INDEX, cb};
            fields[nFields++] = {PARAM_CB_SIGN, cb};
        }
    }
    std::size_t covered = 0;
    for (int f = 0; f < nFields; ++f) {
        for (int slot = 0; slot < fields[f].slots; ++slot) {
            const int w = widthOf(fields[f].kind, slot);
            uint32_t seen = 0;
            for (const PacketBit& e : table) {
                if (e.kind != fields[f].kind || e.slot != slot) continue;
                if (e.bit >= w || (seen >> e.bit) & 1u) return false;
                seen |= 1u << e.bit;
                ++covered;
            }
            if (seen != (1u << w) - 1u) return false;
        }
    }
    for (const PacketBit& e : table) {
        if (e.kind == PARAM_RESERVED) ++covered;
        if (e.kind == PARAM_SEED) {
            if (rate != 1 || (e.bit != 15 && e.bit != 11 && e.bit != 7 && e.bit != 3)) return false;
            ++covered;
        }
    }
    return covered == Bits;
}

// clang-format off
#define COMMON_LSP LSPV(0, 1, 5, 0), LSPV(1, 0, 4, 0), LSPV(1, 1, 7, 6), LSPV(2, 3, 3, 0), LSPV(2, 0, 7, 5), \
                   LSPV(3, 2, 1, 0), LSPV(3, 3, 7, 4), LSPV(4, 2, 7, 2)

constexpr std::array kEighthPieces{
    SEED(15, 0, 7),   LSP1(0, 0, 6), LSP1(1, 0, 5), LSP1(2, 0, 4), SEED(11, 0, 3), LSP1(3, 0, 2),
    LSP1(4, 0, 1),    LSP1(5, 0, 0), SEED(7, 1, 7), LSP1(6, 1, 6), LSP1(7, 1, 5),  LSP1(8, 1, 4),
    SEED(3, 1, 3),    LSP1(9, 1, 2), GAIN(0, 1, 1, 0), RESERVED(2, 7, 4),
};

constexpr std::array kQuarterPieces{
    COMMON_LSP,
    GAIN(0, 5, 3, 0), GAIN(1, 5, 7, 4), GAIN(2, 4, 3, 0), GAIN(3, 4, 7, 4), GAIN(4, 6, 5, 2),
    RESERVED(6, 7, 6),
};

constexpr std::array kHalfPieces{
    COMMON_LSP,
    // subframe 0
    LAG(0, 4, 1, 0), LAG(0, 5, 7, 3), FRAC(0, 4, 2), PGAIN(0, 5, 2, 0),
    INDEX(0, 7, 6, 0), GAIN(0, 4, 6, 3), SIGN(0, 4, 7),
    // subframe 1
    LAG(1, 9, 0, 0), LAG(1, 6, 7, 2), FRAC(1, 9, 1), PGAIN(1, 6, 1, 0), PGAIN(1, 7, 7, 7),
    INDEX(1, 8, 5, 0), INDEX(1, 9, 7, 7), GAIN(1, 9, 5, 2), SIGN(1, 9, 6),
    // subframe 2
    LAG(2, 11, 7, 1), FRAC(2, 10, 0), PGAIN(2, 11, 0, 0), PGAIN(2, 8, 7, 6),
    INDEX(2, 13, 4, 0), INDEX(2, 10, 7, 6), GAIN(2, 10, 4, 1), SIGN(2, 10, 5),
    // subframe 3
    LAG(3, 12, 6, 0), FRAC(3, 12, 7), PGAIN(3, 13, 7, 5),
    INDEX(3, 14, 7, 1), GAIN(3, 15, 7, 4), SIGN(3, 14, 0),
};

constexpr std::array kFullPieces{
    COMMON_LSP,
    // pitch subframes
    LAG(0, 4, 1, 0), LAG(0, 5, 7, 3), FRAC(0, 4, 2), PGAIN(0, 5, 2, 0),
    LAG(1, 13, 3, 0), LAG(1, 10, 7, 5), FRAC(1, 13, 4), PGAIN(1, 10, 4, 2),
    LAG(2, 18, 5, 0), LAG(2, 19, 7, 7), FRAC(2, 18, 6), PGAIN(2, 19, 6, 4),
    LAG(3, 27, 7, 1), FRAC(3, 26, 0), PGAIN(3, 27, 0, 0), PGAIN(3, 24, 7, 6),
    // codebook subframes
    INDEX(0, 7, 6, 0), GAIN(0, 4, 6, 3), SIGN(0, 4, 7),
    INDEX(1, 9, 2, 0), INDEX(1, 6, 7, 4), GAIN(1, 6, 2, 0), GAIN(1, 7, 7, 7), SIGN(1, 6, 3),
    INDEX(2, 8, 6, 0), GAIN(2, 9, 6, 3), SIGN(2, 9, 7),
    INDEX(3, 10, 1, 0), INDEX(3, 11, 7, 3), GAIN(3, 11, 1, 0), GAIN(3, 8, 7, 7), SIGN(3, 11, 2),
    INDEX(4, 15, 0, 0), INDEX(4, 12, 7, 2), GAIN(4, 12, 0, 0), GAIN(4, 13, 7, 5), SIGN(4, 12, 1),
    INDEX(5, 14, 4, 0), INDEX(5, 15, 7, 6), GAIN(5, 15, 4, 1), SIGN(5, 15, 5),
    INDEX(6, 16, 0, 0), INDEX(6, 17, 7, 2), GAIN(6, 17, 0, 0), GAIN(6, 14, 7, 5), SIGN(6, 17, 1),
    INDEX(7, 19, 3, 0), INDEX(7, 16, 7, 5), GAIN(7, 16, 3, 1), SIGN(7, 16, 4),
    INDEX(8, 20, 2, 0), INDEX(8, 21, 7, 4), GAIN(8, 21, 2, 0), GAIN(8, 18, 7, 7), SIGN(8, 21, 3),
    INDEX(9, 23, 6, 0), GAIN(9, 20, 6, 3), SIGN(9, 20, 7),
    INDEX(10, 25, 2, 0), INDEX(10, 22, 7, 4), GAIN(10, 22, 2, 0), GAIN(10, 23, 7, 7), SIGN(10, 22, 3),
    INDEX(11, 24, 5, 0), INDEX(11, 25, 7, 7), GAIN(11, 25, 5, 3), SIGN(11, 25, 6),
    INDEX(12, 29, 4, 0), INDEX(12, 26, 7, 6), GAIN(12, 26, 4, 1), SIGN(12, 26, 5),
    INDEX(13, 31, 0, 0), INDEX(13, 28, 7, 2), GAIN(13, 28, 0, 0), GAIN(13, 29, 7, 5), SIGN(13, 28, 1),
    INDEX(14, 30, 4, 0), INDEX(14, 31, 7, 6), GAIN(14, 31, 4, 1), SIGN(14, 31, 5),
    INDEX(15, 32, 5, 0), INDEX(15, 33, 7, 7), GAIN(15, 30, 7, 5), SIGN(15, 33, 6),
    RESERVED(32, 7, 6),
};

#undef COMMON_LSP
// clang-format on

constexpr auto kEighthBits = bitTable<20>(kEighthPieces);
constexpr auto kQuarterBits = bitTable<54>(kQuarterPieces);
constexpr auto kHalfBits = bitTable<124>(kHalfPieces);
constexpr auto kFullBits = bitTable<266>(kFullPieces);
static_assert(fieldsComplete(kEighthBits, 1));
static_assert(fieldsComplete(kQuarterBits, 2));
static_assert(fieldsComplete(kHalfBits, 3));
static_assert(fieldsComplete(kFullBits, 4));

// Unpacking works on QcelpParams as a plain array of words, reserved bits
// landing in an extra word.
constexpr int kParamWords = sizeof(QcelpParams) / sizeof(uint32_t);
constexpr int kReservedWord = kParamWords;
static_assert(std::is_standard_layout_v<QcelpParams> && sizeof(QcelpParams) == 71 * sizeof(uint32_t));

// A run of consecutive packet bits that are consecutive bits of one word,
// most significant first: extracted with one shift and mask.
struct BitRun {
    uint16_t position;  // of the run's first bit in the packet
    uint8_t length;
    uint8_t word;
    uint8_t shift;  // bit number of the run's last bit in the word
};

constexpr int wordBase(uint8_t kind) {
    switch (kind) {
        case PARAM_LSP_EIGHTH:
        case PARAM_LSP_VECTOR:
            return offsetof(QcelpParams, lsp) / 4;
        case PARAM_PITCH_GAIN:
            return offsetof(QcelpParams, pitchGain) / 4;
        case PARAM_PITCH_LAG:
            return offsetof(QcelpParams, pitchLag) / 4;
        case PARAM_PITCH_FRAC:
            return offsetof(QcelpParams, pitchFrac) / 4;
        case PARAM_CB_GAIN:
            return offsetof(QcelpParams, cbGain) / 4;
        case PARAM_CB_INDEX:
            return offsetof(QcelpParams, cbIndex) / 4;
        case PARAM_CB_SIGN:
            return offsetof(QcelpParams, cbSign) / 4;
        case PARAM_SEED:
            return offsetof(QcelpParams, seed) / 4;
        default:
            return kReservedWord;
    }
}

template <std::size_t Bits>
consteval int runCount(const std::array<PacketBit, Bits>& t) {
    int runs = 0;
    for (std::size_t i = 0; i < Bits; ++i) {
        const bool continues = i > 0 && wordBase(t[i].kind) == wordBase(t[i - 1].kind) &&
                               t[i].slot == t[i - 1].slot && t[i].bit + 1 == t[i - 1].bit;
        if (!continues) ++runs;
    }
    return runs;
}

template <int Runs, std::size_t Bits>
consteval std::array<BitRun, Runs> bitRuns(const std::array<PacketBit, Bits>& t) {
    std::array<BitRun, Runs> runs{};
    int r = -1;
    for (std::size_t i = 0; i < Bits; ++i) {
        const bool continues = i > 0 && wordBase(t[i].kind) == wordBase(t[i - 1].kind) &&
                               t[i].slot == t[i - 1].slot && t[i].bit + 1 == t[i - 1].bit;
        const int base = wordBase(t[i].kind);
        const int word = base == kReservedWord ? kReservedWord : base + t[i].slot;
        if (!continues) runs[++r] = {uint16_t(i), 0, uint8_t(word), 0};
        runs[r].length += 1;
        runs[r].shift = base == kReservedWord ? 0 : t[i].bit;
        if (runs[r].length > 16) throw "run too long";
    }
    return runs;
}

// A run as the unpacking reads it: the 32-bit big-endian window starting at
// `byte`, shifted right by `drop` and masked, lands at bit `shift` of `word`.
struct UnpackStep {
    uint32_t mask;
    uint8_t byte;
    uint8_t drop;
    uint8_t word;
    uint8_t shift;
};

template <std::size_t Runs>
consteval std::array<UnpackStep, Runs> unpackSteps(const std::array<BitRun, Runs>& runs) {
    std::array<UnpackStep, Runs> steps{};
    for (std::size_t i = 0; i < Runs; ++i) {
        const BitRun& r = runs[i];
        steps[i] = {(1u << r.length) - 1u, uint8_t(r.position >> 3), uint8_t(32 - (r.position & 7) - r.length),
                    r.word, r.shift};
    }
    return steps;
}

constexpr auto kEighthRuns = unpackSteps(bitRuns<runCount(kEighthBits)>(kEighthBits));
constexpr auto kQuarterRuns = unpackSteps(bitRuns<runCount(kQuarterBits)>(kQuarterBits));
constexpr auto kHalfRuns = unpackSteps(bitRuns<runCount(kHalfBits)>(kHalfBits));
constexpr auto kFullRuns = unpackSteps(bitRuns<runCount(kFullBits)>(kFullBits));

// One run into its word: the 32 bits from the run's first byte on, first
// byte highest, shifted and masked.
[[gnu::always_inline]] inline void unpackRun(const UnpackStep& run, const uint8_t* bytes, uint32_t* words) {
    uint32_t window;
    std::memcpy(&window, bytes + run.byte, sizeof window);
    if constexpr (std::endian::native == std::endian::little) window = __builtin_bswap32(window);
    words[run.word] |= ((window >> run.drop) & run.mask) << run.shift;
}

// Every run written out on its own, so that its offsets, shifts and masks
// are constants in the code.
template <const auto& runs, std::size_t... i>
void unpackEachRun(const uint8_t* bytes, uint32_t* words, std::index_sequence<i...>) {
    (unpackRun(runs[i], bytes, words), ...);
}

// Returns false when a reserved bit is set.
template <const auto& runs>
bool unpackRuns(const uint8_t* payload, QcelpParams& params) {
    uint8_t bytes[kPayloadBytes + 4] = {};
    std::memcpy(bytes, payload, kPayloadBytes);
    uint32_t words[kParamWords + 1] = {};
    unpackEachRun<runs>(bytes, words, std::make_index_sequence<runs.size()>());
    std::memcpy(&params, words, sizeof params);
    return words[kReservedWord] == 0;
}

// The inverse of unpackRuns: each run's bits taken from their word with
// one shift and mask and put into the 32-bit window at its first byte.
template <std::size_t Runs>
void packRuns(const std::array<UnpackStep, Runs>& runs, const QcelpParams& params, uint8_t* payload) {
    uint32_t words[kParamWords + 1] = {};
    std::memcpy(words, &params, sizeof params);
    uint8_t bytes[kPayloadBytes + 4] = {};
    for (const UnpackStep& run : runs) {
        uint32_t window;
        std::memcpy(&window, bytes + run.byte, sizeof window);
        if constexpr (std::endian::native == std::endian::little) window = __builtin_bswap32(window);
        window |= ((words[run.word] >> run.shift) & run.mask) << run.drop;
        if constexpr (std::endian::native == std::endian::little) window = __builtin_bswap32(window);
        std::memcpy(bytes + run.byte, &window, sizeof window);
    }
    std::memcpy(payload, bytes, kPayloadBytes);
}

}  // namespace

void packPayload(int rate, const QcelpParams& params, uint8_t payload[kPayloadBytes]) {
    switch (rate) {
        case kRateEighth:
            return packRuns(kEighthRuns, params, payload);
        case kRateQuarter:
            return packRuns(kQuarterRuns, params, payload);
        case kRateHalf:
            return packRuns(kHalfRuns, params, payload);
        case kRateFull:
            return packRuns(kFullRuns, params, payload);
        default:
            std::memset(payload, 0, kPayloadBytes);
    }
}

PacketBitTable packetBitTable(int rate) {
    switch (rate) {
        case kRateEighth:
            return {kEighthBits.data(), static_cast<int>(kEighthBits.size())};
        case kRateQuarter:
            return {kQuarterBits.data(), static_cast<int>(kQuarterBits.size())};
        case kRateHalf:
            return {kHalfBits.data(), static_cast<int>(kHalfBits.size())};
        case kRateFull:
            return {kFullBits.data(), static_cast<int>(kFullBits.size())};
        default:
            return {nullptr, 0};
    }
}

uint32_t* paramSlot(QcelpParams& p, uint8_t kind, uint8_t slot) {
    auto pick = [slot](uint32_t* array, std::size_t size) { return slot < size ? array + slot : nullptr; };
    switch (kind) {
        case PARAM_LSP_EIGHTH:
        case PARAM_LSP_VECTOR:
            return pick(p.lsp, std::size(p.lsp));
        case PARAM_PITCH_GAIN:
            return pick(p.pitchGain, std::size(p.pitchGain));
        case PARAM_PITCH_LAG:
            return pick(p.pitchLag, std::size(p.pitchLag));
        case PARAM_PITCH_FRAC:
            return pick(p.pitchFrac, std::size(p.pitchFrac));
        case PARAM_CB_GAIN:
            return pick(p.cbGain, std::size(p.cbGain));
        case PARAM_CB_INDEX:
            return pick(p.cbIndex, std::size(p.cbIndex));
        case PARAM_CB_SIGN:
            return pick(p.cbSign, std::size(p.cbSign));
        case PARAM_SEED:
            return &p.seed;
        default:
            return nullptr;
    }
}

void unpackPacket(QcelpPacket& packet) {
    const uint8_t octet = packet.rateOctet;
    if (octet == kRateErasure || octet > kRateFull) {
        packet.rate = kRateErasure;
        return;
    }
    packet.rate = octet;
    QcelpParams& params = packet.params;
    const uint8_t* payload = packet.payload;
    bool clean = true;
    switch (octet) {
        case kRateEighth:
            clean = unpackRuns<kEighthRuns>(payload, params);
            break;
        case kRateQuarter:
            clean = unpackRuns<kQuarterRuns>(payload, params);
            break;
        case kRateHalf:
            clean = unpackRuns<kHalfRuns>(payload, params);
            break;
        case kRateFull:
            clean = unpackRuns<kFullRuns>(payload, params);
            break;
        default:
            std::memset(&params, 0, sizeof params);
            break;
    }
    if (!clean) packet.rate = kRateErasure;
    // The seed is all of the first two bytes, LSP and gain bits included.
    if (octet == kRateEighth) params.seed = (uint32_t(payload[0]) << 8) | payload[1];
}

uint16_t quarterRateSeed(const uint8_t* payload) {
    return static_cast<uint16_t>(((payload[2] & 0x0Fu) << 12) | ((payload[3] >> 2) << 6) |
                                 ((payload[0] & 0x01u) << 5) | (payload[1] >> 3));
}

}  // namespace sonx
