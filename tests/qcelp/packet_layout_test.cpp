#include "sonx/qcelp/packet_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "qcelp/qcelp_test_util.h"

namespace sonx {
namespace {

using test::buildPayload;
using test::fieldLayout;
using test::FieldLayout;
using test::fieldWidth;
using test::paramRef;

QcelpPacket packetOf(int octet, const std::vector<uint8_t>& payload) {
    QcelpPacket p;
    p.rateOctet = static_cast<uint8_t>(octet);
    std::memcpy(p.payload, payload.data(), kPayloadBytes);
    return p;
}

TEST(PacketLayout, TablesHaveTheRateSizes) {
    EXPECT_EQ(packetBitTable(1).count, 20);
    EXPECT_EQ(packetBitTable(2).count, 54);
    EXPECT_EQ(packetBitTable(3).count, 124);
    EXPECT_EQ(packetBitTable(4).count, 266);
    EXPECT_EQ(packetBitTable(0).count, 0);
    EXPECT_EQ(packetBitTable(14).count, 0);
}

TEST(PacketLayout, EighthRateTableReadsInPayloadOrder) {
    // seed 15, LSP 0..2, seed 11, LSP 3..5, seed 7, LSP 6..8, seed 3, LSP 9, gain bits 1 and 0, reserved.
    const PacketBitTable t = packetBitTable(1);
    const PacketBit expected[20] = {
        {PARAM_SEED, 0, 15},    {PARAM_LSP_EIGHTH, 0, 0}, {PARAM_LSP_EIGHTH, 1, 0}, {PARAM_LSP_EIGHTH, 2, 0},
        {PARAM_SEED, 0, 11},    {PARAM_LSP_EIGHTH, 3, 0}, {PARAM_LSP_EIGHTH, 4, 0}, {PARAM_LSP_EIGHTH, 5, 0},
        {PARAM_SEED, 0, 7},     {PARAM_LSP_EIGHTH, 6, 0}, {PARAM_LSP_EIGHTH, 7, 0}, {PARAM_LSP_EIGHTH, 8, 0},
        {PARAM_SEED, 0, 3},     {PARAM_LSP_EIGHTH, 9, 0}, {PARAM_CB_GAIN, 0, 1},    {PARAM_CB_GAIN, 0, 0},
        {PARAM_RESERVED, 0, 0}, {PARAM_RESERVED, 0, 0},   {PARAM_RESERVED, 0, 0},   {PARAM_RESERVED, 0, 0},
    };
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(t.bits[i].kind, expected[i].kind) << i;
        if (expected[i].kind != PARAM_RESERVED) {
            EXPECT_EQ(t.bits[i].slot, expected[i].slot) << i;
            EXPECT_EQ(t.bits[i].bit, expected[i].bit) << i;
        }
    }
}

// Random field values written with the layout notation unpack to the same values.
TEST(PacketLayout, EveryFieldOfEveryRateUnpacksToItsValue) {
    std::mt19937 rng(5);
    for (int rate = 1; rate <= 4; ++rate) {
        for (int round = 0; round < 50; ++round) {
            QcelpParams values{};
            for (const FieldLayout& f : fieldLayout(rate))
                paramRef(values, f.field, f.slot) = rng() & ((1u << fieldWidth(f)) - 1u);
            QcelpPacket p = packetOf(rate, buildPayload(rate, values));
            std::memset(&p.params, 0xAB, sizeof p.params);  // must be cleared by unpacking
            unpackPacket(p);
            ASSERT_EQ(p.rate, rate);
            for (const FieldLayout& f : fieldLayout(rate))
                ASSERT_EQ(paramRef(p.params, f.field, f.slot), paramRef(values, f.field, f.slot))
                    << "rate " << rate << " " << f.field << "[" << f.slot << "]";
            if (rate == 1)
                EXPECT_EQ(p.params.seed, (uint32_t(p.payload[0]) << 8) | p.payload[1]);
            else
                EXPECT_EQ(p.params.seed, 0u);
        }
    }
}

TEST(PacketLayout, FullRateThreeBitGainCodesAndHalfRateSplitFields) {
    QcelpParams v{};
    v.cbGain[3] = 7;
    v.cbGain[7] = 5;
    v.cbGain[11] = 3;
    v.cbGain[15] = 6;
    QcelpPacket full = packetOf(4, buildPayload(4, v));
    EXPECT_EQ(full.payload[11] & 0x03, 0x03);  // B11[1..0], then B8[7]
    EXPECT_EQ(full.payload[8] & 0x80, 0x80);
    EXPECT_EQ(full.payload[30] >> 5, 6);  // B30[7..5]
    unpackPacket(full);
    EXPECT_EQ(full.params.cbGain[3], 7u);
    EXPECT_EQ(full.params.cbGain[7], 5u);
    EXPECT_EQ(full.params.cbGain[11], 3u);
    EXPECT_EQ(full.params.cbGain[15], 6u);

    // Half-rate subframe 2: PLAG B11[7..1]; PGAIN B11[0] then B8[7..6]; CBINDEX B13[4..0] then B10[7..6].
    QcelpPacket half = packetOf(3, std::vector<uint8_t>(kPayloadBytes, 0));
    half.payload[11] = 0x55 << 1 | 1;  // lag 0x55, gain msb 1
    half.payload[8] = 0x80;            // gain bits 1..0 = 10
    half.payload[13] = 0x13;           // index bits 6..2 = 10011
    half.payload[10] = 0x40;           // index bits 1..0 = 01
    unpackPacket(half);
    EXPECT_EQ(half.params.pitchLag[2], 0x55u);
    EXPECT_EQ(half.params.pitchGain[2], 0x6u);
    EXPECT_EQ(half.params.cbIndex[2], 0x4Du);
}

TEST(PacketLayout, QuarterRateSeedComesFromTheLspBits) {
    std::vector<uint8_t> payload(kPayloadBytes, 0);
    payload[2] = 0x0A;  // B2[3..0] = 1010
    payload[3] = 0xC4;  // B3[7..2] = 110001
    payload[0] = 0x01;  // B0[0] = 1
    payload[1] = 0x98;  // B1[7..3] = 10011
    EXPECT_EQ(quarterRateSeed(payload.data()), 0xAC73);
    payload[2] = 0xF0;  // upper bits of B2 do not take part
    payload[3] = 0x03;
    payload[0] = 0xFE;
    payload[1] = 0x07;
    EXPECT_EQ(quarterRateSeed(payload.data()), 0);
}

TEST(PacketLayout, ReservedBitsTurnPacketsIntoErasures) {
    std::vector<uint8_t> payload(kPayloadBytes, 0);
    payload[2] = 0x10;
    QcelpPacket p = packetOf(1, payload);
    unpackPacket(p);
    EXPECT_EQ(p.rate, kRateErasure);
    payload[2] = 0x0F;  // low four bits of B2 are ignored
    p = packetOf(1, payload);
    unpackPacket(p);
    EXPECT_EQ(p.rate, kRateEighth);

    payload.assign(kPayloadBytes, 0);
    for (uint8_t b : {0x80, 0x40}) {
        payload[6] = b;
        p = packetOf(2, payload);
        unpackPacket(p);
        EXPECT_EQ(p.rate, kRateErasure);
    }
    payload[6] = 0x03;
    p = packetOf(2, payload);
    unpackPacket(p);
    EXPECT_EQ(p.rate, kRateQuarter);

    payload.assign(kPayloadBytes, 0);
    payload[32] = 0x40;
    p = packetOf(4, payload);
    unpackPacket(p);
    EXPECT_EQ(p.rate, kRateErasure);
    payload[32] = 0x00;
    payload[33] = 0x3F;  // ignored
    p = packetOf(4, payload);
    unpackPacket(p);
    EXPECT_EQ(p.rate, kRateFull);
}

TEST(PacketLayout, HalfRateIgnoresTheLowBitsOfItsLastByte) {
    std::mt19937 rng(9);
    std::vector<uint8_t> payload(kPayloadBytes);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    QcelpPacket a = packetOf(3, payload);
    payload[15] ^= 0x0F;
    QcelpPacket b = packetOf(3, payload);
    unpackPacket(a);
    unpackPacket(b);
    EXPECT_EQ(a.rate, kRateHalf);
    EXPECT_EQ(std::memcmp(&a.params, &b.params, sizeof a.params), 0);
}

TEST(PacketLayout, RateOctetsOutsideTheTableAreErasures) {
    for (int octet : {5, 13, 14, 255}) {
        QcelpPacket p = packetOf(octet, std::vector<uint8_t>(kPayloadBytes, 0));
        p.params.cbGain[0] = 9;
        unpackPacket(p);
        EXPECT_EQ(p.rate, kRateErasure) << octet;
        EXPECT_EQ(p.params.cbGain[0], 9u) << "parameters are left alone";
    }
    QcelpPacket blank = packetOf(0, std::vector<uint8_t>(kPayloadBytes, 0xFF));
    blank.params.cbGain[0] = 9;
    unpackPacket(blank);
    EXPECT_EQ(blank.rate, kRateBlank);
    EXPECT_EQ(blank.params.cbGain[0], 0u);
}

}  // namespace
}  // namespace sonx
