// Bit layout of the four QCELP-13K packet kinds: one table per rate, read
// by unpackPacket here and written by the encoder's packing.
#ifndef SONX_QCELP_PACKET_LAYOUT_H
#define SONX_QCELP_PACKET_LAYOUT_H

#include <cstdint>

#include "sonx/qcelp/qcelp_types.h"

namespace sonx {

// What a packet bit carries, and the QcelpParams slots it addresses.
enum ParamKind : uint8_t {
    PARAM_LSP_EIGHTH = 0,  // lsp[0..9], 1 bit each
    PARAM_PITCH_GAIN = 1,  // pitchGain[0..3], 3 bits
    PARAM_PITCH_LAG = 2,   // pitchLag[0..3], 7 bits
    PARAM_LSP_VECTOR = 4,  // lsp[0..4], 6, 7, 7, 6, 6 bits
    PARAM_PITCH_FRAC = 5,  // pitchFrac[0..3], 1 bit
    PARAM_CB_GAIN = 6,     // cbGain[0..15]: 4 bits; 3 at full-rate subframes 3, 7, 11, 15; 2 at eighth rate
    PARAM_CB_INDEX = 7,    // cbIndex[0..15] as sent, 7 bits
    PARAM_CB_SIGN = 8,     // cbSign[0..15], 1 bit
    PARAM_SEED = 9,        // seed: bits 15, 11, 7 and 3 travel as their own bits
    PARAM_RESERVED = 10,   // always 0; a set bit makes the packet an erasure
};

// One packet bit: bit `bit` (0 = least significant) of slot `slot` of `kind`.
struct PacketBit {
    uint8_t kind;
    uint8_t slot;
    uint8_t bit;
};

// Entry i is payload byte i/8, bit 7 - i%8.
struct PacketBitTable {
    const PacketBit* bits;
    int count;
};

// The table of rate 1..4; an empty table for any other rate.
PacketBitTable packetBitTable(int rate);

// The QcelpParams slot a table entry addresses, or null for reserved bits.
uint32_t* paramSlot(QcelpParams& params, uint8_t kind, uint8_t slot);

// The payload of rate 1..4 as its table lays the parameters out, every
// other bit 0; all zero for any other rate.
void packPayload(int rate, const QcelpParams& params, uint8_t payload[kPayloadBytes]);

// Reads the rate octet into the decoded rate and, for rates 0..4, clears and
// fills the parameters. An unknown octet, or a reserved bit that is set,
// gives rate 14 (erasure); an erasure octet leaves the parameters alone.
void unpackPacket(QcelpPacket& packet);

// The noise seed a quarter-rate payload carries in its LSP bits:
// B2[3..0], B3[7..2], B0[0], B1[7..3].
uint16_t quarterRateSeed(const uint8_t* payload);

}  // namespace sonx

#endif  // SONX_QCELP_PACKET_LAYOUT_H
