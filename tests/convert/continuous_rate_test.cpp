// Rate conversion as one continuous stream across the two-second passes of
// a conversion and across the pieces a client reads.
#include <gtest/gtest.h>

#include <cmath>

#include "convert/convert_test_util.h"
#include "sonx/fileio/sample_convert.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

constexpr double kFreq = 440, kAmplitude = 16384;

// All samples of a file read through ISonxFile as 8 kHz PCM, `piece` file
// blocks at a time.
std::vector<uint8_t> readAt8k(const std::string& path, uint32_t piece) {
    Ref<ISonxFile> file(createInstance<ISonxFile>(CLSID_SonxFile));
    const FileHandle h = FileHandle::named(path.c_str());
    const AudioFormat wav = pcmFormat(FILE_TYPE_WAV), client = pcmFormat(FILE_TYPE_RAW, 8000);
    std::vector<uint8_t> all;
    if (!file->open(&h, 0, &wav, &client)) return all;
    for (;;) {
        uint32_t bytes = 0;
        file->read(piece, nullptr, &bytes);
        std::vector<uint8_t> buffer(bytes);
        const uint32_t blocksBefore = file->blocksDone();
        file->read(piece, buffer.data(), &bytes);
        all.insert(all.end(), buffer.begin(), buffer.begin() + bytes);
        if (file->blocksDone() == blocksBefore) break;
    }
    file->close(0);
    return all;
}

TEST(ContinuousRate, SineIsCleanAcrossEveryPassAndPieceBoundary) {
    TempDir dir;
    for (const uint32_t rate : {48000u, 44100u, 22050u, 16000u, 11025u}) {
        SCOPED_TRACE(rate);
        const uint32_t n = rate * 5 + 7;  // two full passes and a part of one
        const std::string in = dir.file("in.wav"), out = dir.file("out.wav"), qcp = dir.file("out.qcp");
        writeFileBytes(in, makeWav(1, rate, 16, tone(rate, n, kFreq, kAmplitude, 16)));
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

        // A client reading odd pieces gets exactly the conversion's samples.
        EXPECT_TRUE(readAt8k(in, 777) == w.data) << "read in pieces of 777";
        EXPECT_TRUE(readAt8k(in, n) == w.data) << "read in one piece";

        // Encoding: the packet count promised before the conversion is the one written.
        AudioFormat coded{};
        coded.fileType = FILE_TYPE_QCP;
        coded.codec = CODEC_QCELP13K;
        coded.dataFormat = RATE_SET_FFR;
        ASSERT_TRUE(convertFile(in, pcmFormat(FILE_TYPE_WAV), qcp, coded, error)) << error;
        const auto q = readFileBytes(qcp);
        EXPECT_EQ(getLe(q.data() + 182, 4), (expected + 159) / 160);       // 'vrat' packet count
        EXPECT_EQ(getLe(q.data() + 190, 4), (expected + 159) / 160 * 35);  // 'data' length
    }
}

TEST(ContinuousRate, WritingInPiecesMatchesTheWholeAndFlushesTheTail) {
    // A 16 kHz client writing odd pieces into an 8 kHz WAV gives the samples
    // of one whole write; the filter tail comes out at the flushing close.
    TempDir dir;
    const uint32_t n = 50001;
    const auto pcm = tone(16000, n, kFreq, kAmplitude, 16);
    const AudioFormat wav = pcmFormat(FILE_TYPE_WAV), client = pcmFormat(FILE_TYPE_RAW, 16000);
    const auto writeInPieces = [&](const std::string& path, uint32_t piece) {
        Ref<ISonxFile> file(createInstance<ISonxFile>(CLSID_SonxFile));
        const FileHandle h = FileHandle::named(path.c_str());
        EXPECT_TRUE(file->open(&h, 1, &wav, &client));
        for (uint32_t at = 0; at < n; at += piece)
            file->write(std::min(piece, n - at), pcm.data() + 2 * at, nullptr);
        EXPECT_TRUE(file->close(1));
        return parseWav(readFileBytes(path)).data;
    };
    const auto whole = writeInPieces(dir.file("whole.wav"), n);
    EXPECT_EQ(whole.size(), 2 * convertedSampleCount(n, 16000, 8000));
    EXPECT_TRUE(writeInPieces(dir.file("pieces.wav"), 777) == whole);
}

}  // namespace
}  // namespace sonx::test
