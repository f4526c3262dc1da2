#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qcelp/encoder_test_util.h"
#include "sonx/codec/qcelp_codec.h"
#include "sonx/codec/rate_sets.h"
#include "sonx/sonx.h"

namespace sonx {
namespace {

struct Encoder {
    ISonxPacketCodec* codec;
    explicit Encoder(const Guid& rateSet, const Guid& clsid = CODEC_QCELP13K)
        : codec(createInstance<ISonxPacketCodec>(clsid)) {
        EXPECT_EQ(codec->SetRateSet(rateSet, 0), 1);
    }
    ~Encoder() { codec->Release(); }
    // Encodes the samples; returns the bytes written.
    std::vector<uint8_t> encode(const std::vector<int16_t>& pcm, uint32_t* packets = nullptr) {
        std::vector<uint8_t> in(pcm.size() * 2);
        for (size_t i = 0; i < pcm.size(); ++i) {
            in[2 * i] = static_cast<uint8_t>(pcm[i] & 0xFF);
            in[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) >> 8);
        }
        std::vector<uint8_t> out(pcm.size() / 160 * 35 + 1, 0xEE);
        uint32_t written = 0;
        const uint32_t n =
            codec->Process(out.data(), in.data(), static_cast<uint32_t>(pcm.size()), 1, &written);
        EXPECT_EQ(n, pcm.size() / 160);
        EXPECT_EQ(out[written], 0xEE) << "wrote past the packets";
        if (packets) *packets = n;
        out.resize(written);
        return out;
    }
};

std::vector<int16_t> speechPrefix(size_t frames) {
    std::vector<int16_t> s = test::testSpeech();
    s.resize(frames * 160);
    return s;
}

TEST(QcelpEncode, PacketsMatchTheFrameEncoderWithLookAheadAndScaling) {
    const std::vector<int16_t> speech = speechPrefix(200);
    Encoder codec(RATE_SET_VFR);
    const std::vector<uint8_t> stream = codec.encode(speech);
    test::FrameEncoder frames(test::rateSetConfig("vfr"));
    size_t pos = 0;
    for (size_t f = 0; f < 200; ++f) {
        frames.encodeAndAdvance(speech.data() + 160 * f);
        const int size = qcelpPayloadBytes(frames.packet.rateOctet);
        ASSERT_LT(pos, stream.size());
        ASSERT_EQ(stream[pos], frames.packet.rateOctet) << f;
        ASSERT_EQ(0, std::memcmp(stream.data() + pos + 1, frames.packet.payload, size)) << f;
        pos += 1 + size;
    }
    EXPECT_EQ(pos, stream.size());
}

TEST(QcelpEncode, SamplesAreDividedByFourTowardZero) {
    // -1 becomes 0 and -5 becomes -1: streams that differ only so code the same.
    std::vector<int16_t> a = speechPrefix(50), b = a;
    for (size_t i = 0; i < a.size(); ++i) {
        b[i] = static_cast<int16_t>(a[i] / 4 * 4);
        if (i % 3 == 0 && b[i] <= 0) a[i] = static_cast<int16_t>(b[i] - (b[i] > -32768 ? 1 : 0));
        if (i % 3 == 1 && b[i] >= 0) a[i] = static_cast<int16_t>(b[i] + (b[i] < 32764 ? 3 : 0));
    }
    EXPECT_EQ(Encoder(RATE_SET_VFR).encode(a), Encoder(RATE_SET_VFR).encode(b));
    std::vector<int16_t> minusOne(1600, -1), minusFive(1600, -5), zero(1600, 0), minusFour(1600, -4);
    EXPECT_EQ(Encoder(RATE_SET_FFR).encode(minusOne), Encoder(RATE_SET_FFR).encode(zero));
    EXPECT_EQ(Encoder(RATE_SET_FFR).encode(minusFive), Encoder(RATE_SET_FFR).encode(minusFour));
    EXPECT_NE(Encoder(RATE_SET_FFR).encode(minusFive), Encoder(RATE_SET_FFR).encode(zero));
}

TEST(QcelpEncode, IncompleteFrameIsIgnored) {
    Encoder codec(RATE_SET_FFR);
    uint32_t packets = 0;
    EXPECT_EQ(codec.encode(std::vector<int16_t>(319, 100), &packets).size(), 35u);
    EXPECT_EQ(packets, 1u);
    EXPECT_EQ(codec.encode(std::vector<int16_t>(159, 100), &packets).size(), 0u);
    EXPECT_EQ(packets, 0u);
}

TEST(QcelpEncode, EveryRateSetWritesItsFraming) {
    const std::vector<int16_t> speech = speechPrefix(300);
    struct Case {
        const Guid* rateSet;
        int fixedBytes;  // 0: variable
        bool octet;
        int lowest, highest;
    } cases[] = {
        {&RATE_SET_VFR, 0, true, 1, 4},          {&RATE_SET_VHR, 0, true, 1, 3},
        {&RATE_SET_FFR, 35, true, 4, 4},         {&RATE_SET_FHR, 17, true, 3, 3},
        {&RATE_SET_VFR_SLOTTED, 35, true, 1, 4}, {&RATE_SET_VHR_SLOTTED, 17, true, 1, 3},
        {&DATA_FORMAT_SAMPLES, 34, false, 4, 4}, {&RATE_SET_FHR_BARE, 16, false, 3, 3},
    };
    for (const Case& c : cases) {
        Encoder codec(*c.rateSet);
        const std::vector<uint8_t> stream = codec.encode(speech);
        uint32_t rest = 99;
        EXPECT_EQ(codec.codec->CountPackets(stream.data(), static_cast<uint32_t>(stream.size()), &rest, 0),
                  300u);
        EXPECT_EQ(rest, 0u);
        if (c.fixedBytes) {
            EXPECT_EQ(stream.size(), 300u * c.fixedBytes) << c.rateSet->toString();
        }
        std::vector<int> seen(5, 0);
        for (size_t pos = 0; pos < stream.size();) {
            const int rate = c.octet ? stream[pos] : c.highest;
            ASSERT_GE(rate, c.lowest);
            ASSERT_LE(rate, c.highest);
            ++seen[rate];
            const int payload = qcelpPayloadBytes(static_cast<uint8_t>(rate));
            if (c.fixedBytes && c.octet) {  // padding after the rate's payload is zero
                for (int i = 1 + payload; i < c.fixedBytes; ++i) ASSERT_EQ(stream[pos + i], 0);
            }
            pos += c.fixedBytes ? c.fixedBytes : 1 + payload;
        }
        if (c.lowest < c.highest) {
            EXPECT_GT(seen[1], 0);  // the pauses of the speech
        }
        // The stream decodes back with the same rate set.
        std::vector<uint8_t> pcm(300 * 320);
        uint32_t consumed = 0;
        EXPECT_EQ(codec.codec->Process(pcm.data(), stream.data(), 300, 0, &consumed), 300u * 160);
        EXPECT_EQ(consumed, stream.size());
    }
}

TEST(QcelpEncode, SetRateSetStartsANewStream) {
    const std::vector<int16_t> speech = speechPrefix(120);
    Encoder codec(RATE_SET_VFR);
    const std::vector<uint8_t> first = codec.encode(speech);
    EXPECT_EQ(codec.codec->SetRateSet(RATE_SET_VFR, 0), 1);
    EXPECT_EQ(codec.encode(speech), first);
    // Split calls code like one call.
    EXPECT_EQ(codec.codec->SetRateSet(RATE_SET_VFR, 0), 1);
    std::vector<uint8_t> split =
        codec.encode(std::vector<int16_t>(speech.begin(), speech.begin() + 160 * 70));
    const std::vector<uint8_t> second =
        codec.encode(std::vector<int16_t>(speech.begin() + 160 * 70, speech.end()));
    split.insert(split.end(), second.begin(), second.end());
    EXPECT_EQ(split, first);
}

TEST(QcelpEncode, SecondFormReducesTheRate) {
    const std::vector<int16_t> speech = speechPrefix(600);
    Encoder first(RATE_SET_VFR), second(RATE_SET_VFR, CODEC_QCELP13K_ALT);
    const size_t a = first.encode(speech).size(), b = second.encode(speech).size();
    EXPECT_LT(b, a * 0.85) << a << " " << b;
}

}  // namespace
}  // namespace sonx
