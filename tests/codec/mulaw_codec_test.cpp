#include "sonx/codec/mulaw_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sonx/sonx.h"

namespace sonx {
namespace {

// Reference encoder written from the G.711 rules with a segment-end table,
// independent of the bit walk the codec uses.
uint8_t referenceEncode(int x) {
    static const int segEnd[8] = {0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF};
    const int sign = x < 0 ? 0x80 : 0;
    int m = std::abs(x);
    if (m > 32635) m = 32635;
    m += 132;
    int seg = 0;
    while (m > segEnd[seg]) ++seg;
    const int step = (m >> (seg + 3)) & 0x0F;
    return static_cast<uint8_t>(0xFF ^ (sign | (seg << 4) | step));
}

TEST(MuLaw, WholeSixteenBitRangeFollowsTheRules) {
    int mismatches = 0;
    for (int x = -32768; x <= 32767; ++x) {
        const uint8_t code = muLawEncode(static_cast<int16_t>(x));
        if (code != referenceEncode(x) && ++mismatches < 5) ADD_FAILURE() << "sample " << x;
        // Top bit of the stored byte set means a non-negative sample.
        if (((code & 0x80) != 0) != (x >= 0) && ++mismatches < 5) ADD_FAILURE() << "sign of " << x;
        // The decoded value is the quantised input: within half a step
        // of the clipped magnitude (steps grow to 1024 in segment 7).
        const int clipped = x > 32635 ? 32635 : (x < -32635 ? -32635 : x);
        const int err = std::abs(muLawDecode(code) - clipped);
        const int seg = ((~code) >> 4) & 7;
        if (err > (8 << seg) && ++mismatches < 5) ADD_FAILURE() << "error " << err << " at " << x;
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(muLawEncode(32767), 0x80);
    EXPECT_EQ(muLawEncode(-32768), 0x00);
    EXPECT_EQ(muLawEncode(0), 0xFF);
    EXPECT_EQ(muLawEncode(-1), 0x7F);
}

TEST(MuLaw, DecodeThenEncodeAllBytes) {
    EXPECT_EQ(muLawDecode(0x80), 32124);
    EXPECT_EQ(muLawDecode(0x00), -32124);
    EXPECT_EQ(muLawDecode(0xFF), 0);
    EXPECT_EQ(muLawDecode(0x7F), 0);
    for (int u = 0; u < 256; ++u) {
        const uint8_t back = muLawEncode(muLawDecode(static_cast<uint8_t>(u)));
        EXPECT_EQ(back, u == 0x7F ? 0xFF : u) << "byte " << u;
    }
}

TEST(MuLawCodec, ComponentAnswersItsInterfacesInOrder) {
    auto* codec = createInstance<ISonxCodec>(CODEC_G711_ULAW);
    ASSERT_NE(codec, nullptr);
    auto* error = queryInterface<ISonxError>(codec);
    ASSERT_NE(error, nullptr);
    auto* unknown = static_cast<ISonxUnknown*>(codec->QueryInterface(IID_ISonxUnknown));
    EXPECT_EQ(unknown, static_cast<ISonxUnknown*>(codec));
    EXPECT_EQ(codec->QueryInterface(IID_ISonxPacketCodec), nullptr);
    EXPECT_EQ(unknown->Release(), 2);
    EXPECT_EQ(error->Release(), 1);
    EXPECT_EQ(codec->Release(), 0);
}

TEST(MuLawCodec, RateSetFormatsAndConstants) {
    auto* codec = createInstance<ISonxCodec>(CODEC_G711_ULAW);
    ASSERT_NE(codec, nullptr);
    auto* error = queryInterface<ISonxError>(codec);
    ASSERT_NE(error, nullptr);

    EXPECT_EQ(codec->SetRateSet(RATE_SET_VFR, 0), 0);
    EXPECT_TRUE(error->hasError());
    EXPECT_STREQ(error->errorText(), "Unsupported rate set selected for mu-law codec");
    EXPECT_NE(codec->SetRateSet(DATA_FORMAT_SAMPLES, 3), 0);
    EXPECT_FALSE(error->hasError());
    EXPECT_STREQ(error->errorText(), "");

    AudioFormat pcm, coded;
    pcm.fileType = FILE_TYPE_WAV;
    pcm.size = 77;
    coded.option = 5;
    codec->GetFormats(&pcm, &coded);
    EXPECT_EQ(pcm.codec, CODEC_PCM);
    EXPECT_EQ(pcm.dataFormat, DATA_FORMAT_SAMPLES);
    EXPECT_EQ(pcm.packetBytes, 2u);
    EXPECT_EQ(pcm.blockSamples, 1u);
    EXPECT_EQ(pcm.sampleRate, 8000u);
    EXPECT_EQ(pcm.sampleBits, 16u);
    EXPECT_EQ(pcm.fileType, FILE_TYPE_WAV);  // untouched
    EXPECT_EQ(pcm.size, 77u);
    EXPECT_EQ(coded.codec, CODEC_G711_ULAW);
    EXPECT_EQ(coded.dataFormat, DATA_FORMAT_SAMPLES);
    EXPECT_EQ(coded.packetBytes, 1u);
    EXPECT_EQ(coded.blockSamples, 1u);
    EXPECT_EQ(coded.sampleRate, 8000u);
    EXPECT_EQ(coded.sampleBits, 8u);
    EXPECT_EQ(coded.option, 5);
    // G.711 has no rate of its own: a stated rate stands on both sides.
    coded.sampleRate = 44100;
    codec->GetFormats(&pcm, &coded);
    EXPECT_EQ(pcm.sampleRate, 44100u);
    EXPECT_EQ(coded.sampleRate, 44100u);

    for (int r = 0; r < 256; ++r) EXPECT_EQ(codec->PacketSize(static_cast<uint8_t>(r)), 1);
    EXPECT_STREQ(codec->Name(), "G.711 mu-law");
    EXPECT_EQ(codec->Version(), 1);
    EXPECT_EQ(codec->AverageBitRate(), 64000u);
    error->Release();
    codec->Release();
}

TEST(MuLawCodec, ProcessCodesLittleEndianSamplesBothWays) {
    auto* codec = createInstance<ISonxCodec>(CODEC_G711_ULAW);
    ASSERT_NE(codec, nullptr);
    ASSERT_NE(codec->SetRateSet(DATA_FORMAT_SAMPLES, 0), 0);
    const int16_t samples[4] = {0, -1, 32767, -32768};
    uint8_t in[8];
    for (int i = 0; i < 4; ++i) {
        in[2 * i] = static_cast<uint8_t>(samples[i] & 0xFF);
        in[2 * i + 1] = static_cast<uint8_t>((samples[i] >> 8) & 0xFF);
    }
    uint8_t codes[4] = {};
    uint32_t coded = 99;
    EXPECT_EQ(codec->Process(codes, in, 4, 1, &coded), 4u);
    EXPECT_EQ(coded, 4u);
    EXPECT_EQ(std::vector<uint8_t>(codes, codes + 4), (std::vector<uint8_t>{0xFF, 0x7F, 0x80, 0x00}));

    uint8_t pcm[8] = {};
    EXPECT_EQ(codec->Process(pcm, codes, 4, 0, &coded), 4u);
    EXPECT_EQ(coded, 4u);
    EXPECT_EQ(std::vector<uint8_t>(pcm, pcm + 8),
              (std::vector<uint8_t>{0, 0, 0, 0, 0x7C, 0x7D, 0x84, 0x82}));  // 0, 0, 32124, -32124
    EXPECT_EQ(codec->Process(pcm, codes, 0, 0, &coded), 0u);
    EXPECT_EQ(coded, 0u);
    EXPECT_EQ(codec->Process(codes, in, 2, 1, nullptr), 2u);
    codec->Release();
}

}  // namespace
}  // namespace sonx
