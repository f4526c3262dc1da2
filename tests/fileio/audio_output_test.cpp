#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fileio/fileio_test_util.h"
#include "support/fake_codec.h"
#include "sonx/codec/rate_sets.h"
#include "sonx/fileio/audio_file.h"

namespace sonx {
namespace {

using test::riff;
using test::errorOf;

// A codec reporting what QCELP-13K reports for a rate set.
test::FakeCodec* qcelpLike(const RateSetInfo& rs) {
    test::FakeCodec* codec = new test::FakeCodec;
    for (int r = 0; r < 256; ++r) codec->sizes[r] = qcelpPayloadBytes(static_cast<uint8_t>(r));
    codec->name = "Qcelp 13K";
    codec->version = 2;
    codec->bitRate = rs.bitRate;
    return codec;
}

// The 150 'fmt ' bytes written out field by field.
std::vector<uint8_t> expectedQcpFmt(uint8_t major, const Guid& codec, const char* name, uint16_t version,
                                    uint16_t bitRate, uint16_t packetBytes,
                                    const std::vector<std::pair<uint8_t, uint8_t>>& map) {
    test::QcpFmtSpec spec;
    spec.major = major;
    spec.codec = codec;
    spec.version = version;
    spec.name = name;
    spec.averageBitRate = bitRate;
    spec.packetBytes = packetBytes;
    spec.blockSamples = 160;
    spec.sampleRate = 8000;
    spec.sampleBits = 16;
    spec.rates = map;
    return test::qcpFmt(spec);
}

class QcpHeader : public ::testing::TestWithParam<bool> {
protected:
    void openForWriting(const Guid& codecId, const Guid& rateSet, uint32_t packetBytes) {
        file.fileFormat.codec = codecId;
        file.fileFormat.dataFormat = rateSet;
        file.fileFormat.packetBytes = packetBytes;
        file.fileFormat.blockSamples = 160;
        file.fileFormat.sampleRate = 8000;
        file.fileFormat.sampleBits = 16;
        tf.open(file, FILE_TYPE_QCP, true, true);
    }
    void TearDown() override { closeFile(file, true); }
    test::TempDir dir;
    test::TestFile tf{GetParam(), dir, "out.qcp"};
    AudioFile file;
};

TEST_P(QcpHeader, ExactBytesForTheFourRateSets) {
    const std::vector<std::pair<uint8_t, uint8_t>> map = {{3, 1}, {7, 2}, {16, 3}, {34, 4}};
    for (const Guid* rs : {&RATE_SET_VFR, &RATE_SET_VHR, &RATE_SET_FFR, &RATE_SET_FHR}) {
        const RateSetInfo& info = *findRateSet(*rs);
        SCOPED_TRACE(info.token);
        openForWriting(CODEC_QCELP13K, *rs, info.maxPacketBytes);
        file.encoder = qcelpLike(info);
        checkQcpRateSet(file);
        writeOutputHeader(file);
        const uint8_t variable = info.token[0] == 'v' ? 1 : 0;
        const auto want = riff(
            "QLCM",
            {{"fmt ", expectedQcpFmt(1, CODEC_QCELP13K, "Qcelp 13K", 2, static_cast<uint16_t>(info.bitRate),
                                     static_cast<uint16_t>(info.maxPacketBytes), map)},
             {"vrat", {variable, 0, 0, 0, 0, 0, 0, 0}},
             {"data", {}}});
        EXPECT_EQ(tf.bytes(), want);
        EXPECT_EQ(file.dataStart, 194u);
        EXPECT_EQ(file.dataPosition, 194u);
        EXPECT_EQ(file.rateChunkPos, 178u);
        EXPECT_EQ(file.blocksDone, 0u);
        EXPECT_EQ(file.riff.size, 194u);
        closeFile(file, false);
    }
}

TEST_P(QcpHeader, SecondFormAndRateMapLimits) {
    openForWriting(CODEC_QCELP13K_ALT, RATE_SET_FFR, 35);
    test::FakeCodec* codec = new test::FakeCodec;
    codec->sizes.fill(-1);
    file.encoder = codec;
    codec->name = std::string(100, 'n');  // cut to keep a terminating zero
    codec->version = 0x1234;
    codec->bitRate = 64000;
    codec->sizes[9] = 255;
    codec->sizes[2] = 1;
    codec->sizes[0] = 0;  // left out
    writeOutputHeader(file);
    auto bytes = tf.bytes();
    ASSERT_EQ(bytes.size(), 194u);
    const std::vector<uint8_t> fmt(bytes.begin() + 20, bytes.begin() + 170);
    EXPECT_EQ(fmt, expectedQcpFmt(2, CODEC_QCELP13K_ALT, std::string(79, 'n').c_str(), 0x1234, 64000, 35,
                                  {{1, 2}, {255, 9}}));
    closeFile(file, false);

    openForWriting(CODEC_QCELP13K, RATE_SET_VFR, 35);
    codec = new test::FakeCodec;
    codec->sizes.fill(-1);
    file.encoder = codec;
    for (int r = 10; r < 18; ++r) codec->sizes[r] = r;
    writeOutputHeader(file);  // exactly eight rates
    EXPECT_EQ(tf.bytes()[20 + 110], 8);
    closeFile(file, false);

    openForWriting(CODEC_QCELP13K, RATE_SET_VFR, 35);
    codec = new test::FakeCodec;
    codec->sizes.fill(-1);
    file.encoder = codec;
    for (int r = 10; r < 19; ++r) codec->sizes[r] = r;
    EXPECT_EQ(errorOf([&] { writeOutputHeader(file); }),
              "Cannot use codec with QCP - codec has more than the maximum of 8 rates");
    closeFile(file, false);

    openForWriting(CODEC_QCELP13K, RATE_SET_VFR, 35);
    codec = new test::FakeCodec;
    codec->sizes.fill(-1);
    file.encoder = codec;
    codec->sizes[4] = 256;
    EXPECT_EQ(errorOf([&] { writeOutputHeader(file); }),
              "Cannot use codec with QCP - rate 0x04 has size 256, which is greater than maximum of 255 "
              "required by QCP");
}

TEST_P(QcpHeader, RejectedFormatsWriteNothing) {
    openForWriting(CODEC_PCM, RATE_SET_VFR, 2);
    EXPECT_EQ(errorOf([&] { writeOutputHeader(file); }),
              "PCM samples cannot be stored in a QCP file - an audio codec is needed");
    EXPECT_TRUE(tf.bytes().empty());
    file.fileFormat.codec = CODEC_QCELP13K;
    EXPECT_EQ(errorOf([&] { writeOutputHeader(file); }), "No audio encoder attached for the QCP file");
    EXPECT_TRUE(tf.bytes().empty());

    for (const Guid* bad : {&DATA_FORMAT_SAMPLES, &RATE_SET_VFR_SLOTTED, &RATE_SET_FHR_BARE}) {
        file.fileFormat.dataFormat = *bad;
        EXPECT_EQ(errorOf([&] { checkQcpRateSet(file); }), "Rate set not valid for QCP file");
        EXPECT_EQ(errorOf([&] { prepareWriting(file); }), "Rate set not valid for QCP file");
    }
    file.fileFormat.fileType = FILE_TYPE_WAV;
    checkQcpRateSet(file);  // other file types pass
    file.fileFormat.fileType = CODEC_PCM;
    EXPECT_EQ(errorOf([&] { writeOutputHeader(file); }), "Given file format is unsupported");
}

INSTANTIATE_TEST_SUITE_P(NamedAndClient, QcpHeader, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Named" : "Client"; });

// With the real QCELP-13K codec available, the header carries its own values.
TEST(QcpHeaderWithCodec, QcelpEncoderFillsTheHeader) {
    auto* probe = createInstance<ISonxCodec>(CODEC_QCELP13K);
    if (!probe) GTEST_SKIP() << "QCELP-13K codec not built yet";
    probe->Release();
    test::TestMemoryFile mem;
    AudioFile file;
    file.handle = mem.handle();
    file.fileFormat.fileType = FILE_TYPE_QCP;
    file.fileFormat.codec = CODEC_QCELP13K;
    file.fileFormat.dataFormat = RATE_SET_VHR;
    file.clientFormat.codec = CODEC_PCM;
    openFile(file, true, true);
    prepareWriting(file);
    writeOutputHeader(file);
    ASSERT_EQ(mem.bytes.size(), 194u);
    const uint8_t* fmt = mem.bytes.data() + 20;
    EXPECT_EQ(fmt[0], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fmt + 20)), "Qcelp 13K");
    EXPECT_EQ(fmt[18], 2);
    EXPECT_EQ(fmt[100] | (fmt[101] << 8), 7199);
    EXPECT_EQ(fmt[102], 17);
    EXPECT_EQ(fmt[104], 160);
    EXPECT_EQ(fmt[110], 4);
    EXPECT_EQ(mem.bytes[178], 1);  // variable rate
    EXPECT_EQ(file.encoderFormat.codec, CODEC_PCM);
    EXPECT_EQ(file.decoderFormat.codec, CODEC_PCM);
    closeFile(file, false);

    // The reader takes the header back and attaches the decoder it names.
    file.handle = mem.handle();
    openFile(file, false, false);
    const InputDataRange range = prepareReading(file);
    EXPECT_TRUE(range.needsCounting);
    EXPECT_EQ(range.begin, 194u);
    EXPECT_EQ(range.end, 194u);
    ASSERT_NE(file.decoder, nullptr);
    EXPECT_EQ(file.decoderFormat.sampleBits, 16u);
    finishReading(file, range);
    EXPECT_EQ(file.blockCount, 0u);
    closeFile(file, false);
}

TEST(WavHeader, MuLawAndPcmLayouts) {
    for (bool mulaw : {true, false}) {
        test::TestMemoryFile mem;
        AudioFile file;
        file.handle = mem.handle();
        file.fileFormat.fileType = FILE_TYPE_WAV;
        file.fileFormat.codec = mulaw ? CODEC_G711_ULAW : CODEC_PCM;
        file.fileFormat.dataFormat = DATA_FORMAT_SAMPLES;
        file.clientFormat.codec = CODEC_PCM;
        file.clientFormat.sampleRate = 8000;
        file.clientFormat.sampleBits = 16;
        if (!mulaw) {
            file.fileFormat.packetBytes = 2;
            file.fileFormat.sampleRate = 16000;
            file.fileFormat.sampleBits = 16;
        }
        openFile(file, true, true);
        prepareWriting(file);
        writeOutputHeader(file);
        const std::vector<uint8_t> fmt =
            mulaw ? std::vector<uint8_t>{7, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0}
                  : std::vector<uint8_t>{1, 0, 1, 0, 0x80, 0x3E, 0, 0, 0x00, 0x7D, 0, 0, 2, 0, 16, 0};
        EXPECT_EQ(mem.bytes, riff("WAVE", {{"fmt ", fmt}, {"data", {}}}));
        EXPECT_EQ(file.dataStart, 44u);
        EXPECT_EQ(file.dataPosition, 44u);
        EXPECT_EQ(file.fileFormat.size, 44u);
        EXPECT_EQ(file.encoder != nullptr, mulaw);
        EXPECT_EQ(file.decoder, nullptr);
        EXPECT_EQ(file.decoderFormat.sampleRate, 8000u);  // the client's samples
        if (mulaw) {
            EXPECT_EQ(file.encoderFormat.codec, CODEC_PCM);
        }
        closeFile(file, false);
    }
}

TEST(WavHeader, UnsupportedCodecAndRawFiles) {
    test::TestMemoryFile mem;
    AudioFile file;
    file.handle = mem.handle();
    file.fileFormat.fileType = FILE_TYPE_WAV;
    file.fileFormat.codec = CODEC_QCELP13K;
    openFile(file, true, true);
    EXPECT_EQ(errorOf([&] { writeOutputHeader(file); }), "Given codec is not supported with WAV files");
    EXPECT_TRUE(mem.bytes.empty());
    file.fileFormat.codec = CODEC_G711_ULAW;
    file.fileFormat.dataFormat = RATE_SET_VFR;
    EXPECT_EQ(errorOf([&] { prepareWriting(file); }),
              "Unable to allocate necessary audio encoder: Unsupported rate set selected for mu-law codec");
    closeFile(file, false);

    file.handle = mem.handle();
    file.fileFormat.fileType = FILE_TYPE_RAW;
    openFile(file, true, true);
    file.dataPosition = file.dataStart = file.blocksDone = 5;
    writeOutputHeader(file);
    EXPECT_TRUE(mem.bytes.empty());
    EXPECT_EQ(file.dataStart, 0u);
    EXPECT_EQ(file.dataPosition, 0u);
    EXPECT_EQ(file.blocksDone, 0u);
    closeFile(file, false);
}

}  // namespace
}  // namespace sonx
