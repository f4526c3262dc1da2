// A QCP file decoded to another output rate: the 8 kHz decode resampled, at
// the rate's length, the same through the C++ and C interfaces and velconv;
// rates a decode does not offer are refused.
#include <gtest/gtest.h>

#include <fstream>

#include "convert/convert_test_util.h"
#include "sonx/fileio/sample_convert.h"
#include "sonx/sonx_c.h"
#include "support/process.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

AudioFormat qcpFormat() {
    AudioFormat format;
    format.fileType = FILE_TYPE_QCP;
    return format;
}

std::vector<double> upsampled(const std::vector<uint8_t>& speech8k, uint32_t rate) {
    const auto count = static_cast<uint32_t>(speech8k.size() / 2);
    std::vector<uint8_t> out(2 * convertedSampleCount(count, 8000, rate));
    SampleConverter converter;
    out.resize(2 * converter.convert(speech8k.data(), count, {8000, 16}, StreamEnd::Ends, out.data(),
                                     static_cast<uint32_t>(out.size() / 2), {rate, 16}));
    return samplesOf(out, 16);
}

TEST(DecodeRate, EachRateIsTheEightKilohertzDecodeResampled) {
    TempDir dir;
    const std::string wav = dir.file("in.wav"), qcp = dir.file("in.qcp"), decoded = dir.file("out.wav");
    writeFileBytes(wav, speechWav(3.3));
    AudioFormat coded;
    coded.fileType = FILE_TYPE_QCP;
    coded.codec = CODEC_QCELP13K;
    coded.dataFormat = RATE_SET_VFR;
    std::string error;
    ASSERT_TRUE(convertFile(wav, pcmFormat(FILE_TYPE_WAV), qcp, coded, error)) << error;
    ASSERT_TRUE(convertFile(qcp, qcpFormat(), decoded, pcmFormat(FILE_TYPE_WAV), error)) << error;
    const std::vector<uint8_t> speech8k = parseWav(readFileBytes(decoded)).data;
    const uint64_t count8k = speech8k.size() / 2;
    ASSERT_EQ(count8k, 165u * 160);

    for (uint32_t rate : {16000u, 22050u, 44100u, 48000u}) {
        SCOPED_TRACE(rate);
        ASSERT_TRUE(convertFile(qcp, qcpFormat(), decoded, pcmFormat(FILE_TYPE_WAV, rate), error)) << error;
        const Wav out = parseWav(readFileBytes(decoded));
        EXPECT_EQ(out.rate, rate);
        // The length of the rate, to the nearest sample: 16 kHz gives exactly twice the samples.
        EXPECT_EQ(out.data.size() / 2, (count8k * rate + 4000) / 8000);
        EXPECT_GT(correlation(samplesOf(out.data, 16), upsampled(speech8k, rate)), 0.999);
    }

    for (uint32_t rate : {0u, 7999u, 48001u, 96000u}) {
        SCOPED_TRACE(rate);
        Ref<ISonxConvertFile> convert(createInstance<ISonxConvertFile>(CLSID_SonxFile));
        Ref<ISonxError> errors(queryInterface<ISonxError>(convert.get()));
        const std::string refused = dir.file("refused.wav");
        const FileHandle in = FileHandle::named(qcp.c_str()), out = FileHandle::named(refused.c_str());
        const AudioFormat inFormat = qcpFormat(), outFormat = pcmFormat(FILE_TYPE_WAV, rate);
        EXPECT_FALSE(convert->convert(&in, &inFormat, &out, &outFormat, nullptr, 0));
        EXPECT_EQ(errors->errorCode(), SONX_ERR_INVALID) << errors->errorText();
        EXPECT_FALSE(std::ifstream(refused).good());
    }
}

TEST(DecodeRate, EveryFrontEndGivesTheSameSamplesAndRefusesTheSameRates) {
    TempDir dir;
    const std::string wav = dir.file("in.wav"), qcp = dir.file("in.qcp"), cxx = dir.file("cxx.wav"),
                      c = dir.file("c.wav"), program = dir.file("velconv.wav");
    writeFileBytes(wav, speechWav(1.5));
    sonx_options options{};
    ASSERT_EQ(sonx_convert_file(wav.c_str(), qcp.c_str(), &options, nullptr, nullptr, nullptr), SONX_OK);
    std::string error;
    ASSERT_TRUE(convertFile(qcp, qcpFormat(), cxx, pcmFormat(FILE_TYPE_WAV, 16000), error)) << error;
    const std::vector<uint8_t> wide = readFileBytes(cxx);

    options.sample_rate = 16000;
    EXPECT_EQ(sonx_convert_file(qcp.c_str(), c.c_str(), &options, nullptr, nullptr, nullptr), SONX_OK);
    EXPECT_EQ(readFileBytes(c), wide);
    const RunResult run = runVelconv({"--rate=16000", qcp, program});
    EXPECT_EQ(run.exitStatus, 0) << run.errorOutput;
    EXPECT_EQ(readFileBytes(program), wide);
    const RunResult batch = runVelconv({"-q", "-r", "16000", "-d", dir.file("batch"), qcp});
    EXPECT_EQ(batch.exitStatus, 0) << batch.errorOutput;
    EXPECT_EQ(readFileBytes(dir.file("batch") + "/in.wav"), wide);
    const std::vector<uint8_t> qcpBytes = readFileBytes(qcp);
    int16_t* pcm = nullptr;
    size_t samples = 0;
    ASSERT_EQ(sonx_decode_rate(qcpBytes.data(), qcpBytes.size(), 0, 16000, &pcm, &samples, nullptr), SONX_OK);
    EXPECT_EQ(std::vector<double>(pcm, pcm + samples), samplesOf(parseWav(wide).data, 16));
    sonx_free(pcm);

    EXPECT_EQ(sonx_decode_rate(qcpBytes.data(), qcpBytes.size(), 0, 7999, &pcm, &samples, nullptr),
              SONX_ERR_INVALID);
    EXPECT_EQ(pcm, nullptr);
    EXPECT_EQ(sonx_convert_file(wav.c_str(), dir.file("no.qcp").c_str(), &options, nullptr, nullptr, nullptr),
              SONX_ERR_INVALID);
    const struct {
        std::vector<std::string> args;
        std::string error;
    } refusals[] = {
        {{"-r", "4000", qcp, dir.file("low.wav")}, "ERROR: Decoded sample rate of 4000 Hz is outside 8000 to 48000 Hz\n"},
        {{"-r", "16000", wav, dir.file("no.qcp")},
         "ERROR: A sample rate (-r 16000) is for decoding a qcp file: a qcp file is always 8000 Hz\n"},
    };
    for (const auto& refusal : refusals) {
        const RunResult refused = runVelconv(refusal.args);
        EXPECT_EQ(refused.exitStatus, 255);
        EXPECT_EQ(refused.errorOutput, refusal.error);
        EXPECT_FALSE(std::ifstream(refusal.args.back()).good());
    }
}

}  // namespace
}  // namespace sonx::test
