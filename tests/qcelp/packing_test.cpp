#include "sonx/qcelp/packing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "qcelp/qcelp_test_util.h"
#include "sonx/qcelp/codebook_search.h"
#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/packet_layout.h"

namespace sonx {
namespace {

constexpr int kPayloadSize[5] = {0, 3, 7, 16, 34};
constexpr int kPacketBits[5] = {0, 20, 54, 124, 266};

// Random values in every slot the rate carries, at their full widths.
QcelpParams randomParams(int rate, std::mt19937& rng) {
    QcelpParams p{};
    for (const test::FieldLayout& f : test::fieldLayout(rate))
        test::paramRef(p, f.field, f.slot) = rng() & ((1u << test::fieldWidth(f)) - 1);
    return p;
}

TEST(Packing, PackThenUnpackReturnsEverySlotAtEveryRate) {
    std::mt19937 rng(42);
    for (int rate = 1; rate <= 4; ++rate) {
        for (int trial = 0; trial < 500; ++trial) {
            QcelpPacket packet;
            packet.params = randomParams(rate, rng);
            if (rate == 1) packet.params.seed = rng() & 0xFFFF;
            QcelpParams sent = packet.params;
            packPacket(rate, packet);
            EXPECT_EQ(packet.rateOctet, rate);
            EXPECT_EQ(packet.rate, rate);

            // The layout written the independent way gives the same bytes.
            std::vector<uint8_t> expected = test::buildPayload(rate, sent);
            if (rate == 1) {  // the seed's own bits: 15, 11, 7, 3
                test::putBits(expected.data(), "B0[7]", (sent.seed >> 15) & 1);
                test::putBits(expected.data(), "B0[3]", (sent.seed >> 11) & 1);
                test::putBits(expected.data(), "B1[7]", (sent.seed >> 7) & 1);
                test::putBits(expected.data(), "B1[3]", (sent.seed >> 3) & 1);
            }
            ASSERT_EQ(0, std::memcmp(expected.data(), packet.payload, kPayloadBytes)) << rate << " " << trial;

            QcelpPacket received;
            received.rateOctet = packet.rateOctet;
            std::memcpy(received.payload, packet.payload, kPayloadBytes);
            unpackPacket(received);
            ASSERT_EQ(received.rate, rate);
            for (const test::FieldLayout& f : test::fieldLayout(rate))
                ASSERT_EQ(test::paramRef(received.params, f.field, f.slot),
                          test::paramRef(sent, f.field, f.slot))
                    << rate << " " << f.field << f.slot;
            if (rate == 1) {
                EXPECT_EQ(received.params.seed, packet.params.seed);
                EXPECT_EQ(packet.params.seed, (packet.payload[0] << 8u) | packet.payload[1]);
            }
        }
    }
}

TEST(Packing, UnusedBitsAndBytesStayZero) {
    for (int rate = 1; rate <= 4; ++rate) {
        QcelpPacket packet;
        std::memset(&packet.params, 0xFF, sizeof packet.params);  // every slot all ones
        std::memset(packet.payload, 0xAB, kPayloadBytes);
        packPacket(rate, packet);
        const PacketBitTable table = packetBitTable(rate);
        for (int bit = 0; bit < kPayloadBytes * 8; ++bit) {
            const bool set = (packet.payload[bit / 8] >> (7 - bit % 8)) & 1;
            const bool reserved = bit >= kPacketBits[rate] || table.bits[bit].kind == PARAM_RESERVED;
            if (reserved) {
                EXPECT_FALSE(set) << "rate " << rate << " bit " << bit;
            } else {
                EXPECT_TRUE(set) << "rate " << rate << " bit " << bit;
            }
        }
        for (int byte = kPayloadSize[rate]; byte < kPayloadBytes; ++byte) EXPECT_EQ(packet.payload[byte], 0);
        if (rate <= 2) {
            for (uint32_t index : packet.params.cbIndex) EXPECT_EQ(index, 0u);
        }
    }
    // The named reserved bits: quarter 48 and 49, full 256 and 257, eighth 16..19.
    EXPECT_EQ(packetBitTable(2).bits[48].kind, PARAM_RESERVED);
    EXPECT_EQ(packetBitTable(2).bits[49].kind, PARAM_RESERVED);
    EXPECT_EQ(packetBitTable(4).bits[256].kind, PARAM_RESERVED);
    EXPECT_EQ(packetBitTable(4).bits[257].kind, PARAM_RESERVED);
}

TEST(Packing, NegativeGainsSendAShiftedIndex) {
    EXPECT_EQ(sentCodebookIndex(50, 1), 11u);
    EXPECT_EQ(sentCodebookIndex(39, 1), 0u);
    EXPECT_EQ(sentCodebookIndex(39, 0), 39u);
    for (int32_t index = 0; index < 128; ++index) {
        EXPECT_EQ(codebookVectorIndex(sentCodebookIndex(index, 1), 1), index);
        EXPECT_EQ(codebookVectorIndex(sentCodebookIndex(index, 0), 0), index);
    }
}

TEST(Packing, EighthRatePayloadNeverStartsWithSixteenOnes) {
    // All LSP and gain bits one: only the seed bits can break the pattern.
    int repacked = 0;
    for (uint32_t start = 0; start < 65536; ++start) {
        QcelpPacket packet;
        for (int i = 0; i < 10; ++i) packet.params.lsp[i] = 1;
        packet.params.cbGain[0] = 3;
        packet.params.seed = start;
        packEighthRate(packet);
        const uint32_t advanced = (start * 521u + 259u) & 0xFFFFu;
        ASSERT_FALSE(packet.payload[0] == 0xFF && packet.payload[1] == 0xFF) << start;
        ASSERT_EQ(packet.params.seed, (packet.payload[0] << 8u) | packet.payload[1]);
        if ((advanced & 0x8888u) == 0x8888u) {
            ++repacked;
            EXPECT_EQ(packet.params.seed, 0xFFF7u);
        }
        ASSERT_EQ(packet.payload[2], 0);
    }
    EXPECT_EQ(repacked, 4096);
}

}  // namespace
}  // namespace sonx
