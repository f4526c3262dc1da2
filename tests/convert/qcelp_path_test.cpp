// The conversion engine with the QCELP-13K codec: the counts and framing it
// owes the codec, not the codec's sound (its own tests cover that).
#include <gtest/gtest.h>

#include "convert/convert_test_util.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

AudioFormat qcpFormat() {
    AudioFormat f;
    f.fileType = FILE_TYPE_QCP;
    f.codec = CODEC_QCELP13K;
    f.dataFormat = RATE_SET_VFR;
    return f;
}

class Qcelp : public ::testing::Test {
protected:
    void SetUp() override {
        Ref<ISonxCodec> codec(createInstance<ISonxCodec>(CODEC_QCELP13K));
        if (!codec) GTEST_SKIP() << "no QCELP-13K codec in this build";
    }
    uint32_t qcpPackets(const std::string& path) { return getLe32(readFileBytes(path).data() + 182); }
    // Runs one conversion to its end; returns the error text.
    std::string convert(const std::string& in, const AudioFormat& inFormat, const std::string& out,
                        const AudioFormat& outFormat) {
        Ref<ISonxConvertFile> c(createInstance<ISonxConvertFile>(CLSID_SonxFile));
        Ref<ISonxError> e(queryInterface<ISonxError>(c.get()));
        const FileHandle hIn = FileHandle::named(in.c_str()), hOut = FileHandle::named(out.c_str());
        c->convert(&hIn, &inFormat, &hOut, &outFormat, nullptr, 0);
        return e->errorText();
    }
    TempDir dir_;
};

TEST_F(Qcelp, WavToQcpAndBackCountsWholeFrames) {
    const std::string qcp = dir_.file("speech.qcp"), wav = dir_.file("back.wav"),
                      copy = dir_.file("copy.qcp");
    ASSERT_EQ(convert(testDataPath("speech_8k.wav"), pcmFormat(FILE_TYPE_WAV), qcp, qcpFormat()), "");
    // 125005 samples: 781 whole frames and one completed with silence.
    EXPECT_EQ(qcpPackets(qcp), 782u);
    ASSERT_EQ(convert(qcp, qcpFormat(), wav, pcmFormat(FILE_TYPE_WAV)), "");
    EXPECT_EQ(parseWav(readFileBytes(wav)).data.size(), 2u * 782 * 160);

    // The same codec on both sides: the packets are copied as they are.
    ASSERT_EQ(convert(qcp, qcpFormat(), copy, qcpFormat()), "");
    const auto a = readFileBytes(qcp), b = readFileBytes(copy);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_TRUE(std::equal(a.begin() + 194, a.end(), b.begin() + 194));
}

TEST_F(Qcelp, ThreeWritesOf100SamplesCarryTheRemainder) {
    const AudioFormat file = qcpFormat(), client = pcmFormat(FILE_TYPE_RAW);
    const auto samples = tone(8000, 300, 440, 4000, 16);
    for (bool flush : {true, false}) {
        const std::string path = dir_.file(flush ? "flushed.qcp" : "unflushed.qcp");
        const FileHandle h = FileHandle::named(path.c_str());
        Ref<ISonxFile> f(createInstance<ISonxFile>(CLSID_SonxFile));
        ASSERT_TRUE(f->open(&h, 1, &file, &client));
        EXPECT_EQ(f->write(100, samples.data(), nullptr), 0u);
        EXPECT_EQ(f->write(100, samples.data() + 200, nullptr), 1u);
        EXPECT_EQ(f->write(100, samples.data() + 400, nullptr), 0u);
        ASSERT_TRUE(f->close(flush));
        EXPECT_EQ(qcpPackets(path), flush ? 2u : 1u);
    }
}

TEST_F(Qcelp, SizeQueryAnswersInClientSamples) {
    const std::string qcp = dir_.file("speech.qcp");
    ASSERT_EQ(convert(testDataPath("speech_8k.wav"), pcmFormat(FILE_TYPE_WAV), qcp, qcpFormat()), "");
    const FileHandle h = FileHandle::named(qcp.c_str());
    const AudioFormat file = qcpFormat(), client = pcmFormat(FILE_TYPE_RAW);
    Ref<ISonxFile> f(createInstance<ISonxFile>(CLSID_SonxFile));
    ASSERT_TRUE(f->open(&h, 0, &file, &client));
    EXPECT_EQ(f->blockCount(), 782u);
    uint32_t bytes = 0;
    EXPECT_EQ(f->read(3, nullptr, &bytes), 480u);
    EXPECT_EQ(bytes, 960u);
    std::vector<uint8_t> pcm(960);
    EXPECT_EQ(f->read(3, pcm.data(), &bytes), 480u);
    EXPECT_EQ(bytes, 960u);
    EXPECT_EQ(f->seek(781), 781u);
    EXPECT_EQ(f->read(5, pcm.data(), nullptr), 160u);  // only one packet remains
}

}  // namespace
}  // namespace sonx::test
