// Rate conversion as one continuous stream across the two-second passes of
// a conversion and across the pieces a client reads or writes.
#include <gtest/gtest.h>

#include <cmath>

#include "convert/convert_test_util.h"
#include "sonx/fileio/sample_convert.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

constexpr uint32_t kPiece = 777;

// A WAV file read through ISonxFile as 8 kHz PCM, kPiece file blocks at a
// time, each read into a buffer of the size the library asks for.
std::vector<uint8_t> readInPieces(const std::string& path) {
    Ref<ISonxFile> file(createInstance<ISonxFile>(CLSID_SonxFile));
    const FileHandle h = FileHandle::named(path.c_str());
    const AudioFormat wav = pcmFormat(FILE_TYPE_WAV), client = pcmFormat(FILE_TYPE_RAW);
    std::vector<uint8_t> all;
    if (!file->open(&h, 0, &wav, &client)) return all;
    for (uint32_t bytes = 0; file->blocksDone() < file->blockCount();) {
        file->read(kPiece, nullptr, &bytes);
        std::vector<uint8_t> buffer(bytes);
        file->read(kPiece, buffer.data(), &bytes);
        all.insert(all.end(), buffer.begin(), buffer.begin() + bytes);
    }
    return all;
}

// 16-bit samples at `rate` written through ISonxFile into an 8 kHz WAV,
// kPiece at a time, and closed with a flush.
std::vector<uint8_t> writeInPieces(const std::string& path, const std::vector<uint8_t>& pcm, uint32_t rate) {
    Ref<ISonxFile> file(createInstance<ISonxFile>(CLSID_SonxFile));
    const FileHandle h = FileHandle::named(path.c_str());
    const AudioFormat wav = pcmFormat(FILE_TYPE_WAV), client = pcmFormat(FILE_TYPE_RAW, rate);
    EXPECT_TRUE(file->open(&h, 1, &wav, &client));
    const auto n = static_cast<uint32_t>(pcm.size() / 2);
    for (uint32_t at = 0; at < n; at += kPiece)
        file->write(std::min(kPiece, n - at), pcm.data() + 2 * at, nullptr);
    EXPECT_TRUE(file->close(1));
    return parseWav(readFileBytes(path)).data;
}

TEST(ContinuousRate, SineIsCleanAcrossEveryPassAndPieceBoundary) {
    constexpr double kFreq = 440, kAmplitude = 16384;
    TempDir dir;
    const std::string in = dir.file("in.wav"), out = dir.file("out.wav"), written = dir.file("written.wav"),
                      qcp = dir.file("out.qcp");
    AudioFormat coded{};
    coded.fileType = FILE_TYPE_QCP;
    coded.codec = CODEC_QCELP13K;
    coded.dataFormat = RATE_SET_FFR;
    for (const uint32_t rate : {48000u, 44100u, 22050u, 16000u, 11025u}) {
        SCOPED_TRACE(rate);
        const uint32_t n = rate * 5 + 7;  // two whole passes and part of a third
        const auto pcm = tone(rate, n, kFreq, kAmplitude, 16);
        writeFileBytes(in, wavFile({1, rate, 16}, pcm));
        const uint64_t expected = convertedSampleCount(n, rate, 8000);

        std::string error;
        ASSERT_TRUE(convertFile(in, pcmFormat(FILE_TYPE_WAV), out, pcmFormat(FILE_TYPE_WAV), error)) << error;
        const Wav w = parseWav(readFileBytes(out));
        ASSERT_EQ(w.data.size(), 2 * expected);
        const auto x = samplesOf(w.data, 16);
        // Against the ideal sine: only the abrupt start and end of the tone
        // stir the filter; everywhere else, pass boundaries (every 16000
        // output samples) included, the error stays at the rounding floor.
        double worst = 0;
        size_t worstAt = 0;
        for (size_t j = 100; j + 100 < x.size(); ++j) {
            const double err = std::fabs(x[j] - kAmplitude * std::sin(2 * M_PI * kFreq * j / 8000.0));
            if (err > worst) worst = err, worstAt = j;
        }
        EXPECT_LT(worst, 3.0) << "at output sample " << worstAt;

        // Clients reading or writing odd pieces get exactly the same samples.
        EXPECT_TRUE(readInPieces(in) == w.data);
        EXPECT_TRUE(writeInPieces(written, pcm, rate) == w.data);

        // The packet count promised before encoding is the one written ('vrat').
        ASSERT_TRUE(convertFile(in, pcmFormat(FILE_TYPE_WAV), qcp, coded, error)) << error;
        EXPECT_EQ(getLe32(readFileBytes(qcp).data() + 182), (expected + 159) / 160);
    }
}

}  // namespace
}  // namespace sonx::test
