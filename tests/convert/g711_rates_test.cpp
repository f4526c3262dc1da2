// G.711 WAVs at every common rate, mono and stereo, through the program, the
// C interface's conversion and its streaming reader: each keeps the speech's
// length and sounds like the same speech sent as 16-bit PCM.
#include <gtest/gtest.h>

#include <cstdio>

#include "convert/convert_test_util.h"
#include "sonx/fileio/sample_convert.h"
#include "sonx/sonx_c.h"
#include "support/g711.h"
#include "support/process.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

enum class Law { A, Mu };

std::vector<uint8_t> bytesOf(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out;
    for (int16_t s : samples) appendLe(out, static_cast<uint16_t>(s), 2);
    return out;
}

// Two seconds of the test speech at `rate`, through the library's converter.
std::vector<int16_t> speechAt(uint32_t rate) {
    auto speech = parseWav(readFileBytes(testDataPath("speech_8k.wav"))).data;
    speech.resize(2 * 16000);
    if (rate != 8000) {
        const auto n = static_cast<uint32_t>(speech.size() / 2);
        std::vector<uint8_t> resampled(2 * convertedSampleCount(n, 8000, rate));
        SampleConverter converter;
        converter.convert(speech.data(), n, {8000, 16}, StreamEnd::Ends, resampled.data(),
                          static_cast<uint32_t>(resampled.size() / 2), {rate, 16});
        speech = resampled;
    }
    std::vector<int16_t> samples;
    for (double v : samplesOf(speech, 16)) samples.push_back(static_cast<int16_t>(v));
    return samples;
}

// Every sample from the streaming reader, `chunk` samples at a time.
std::vector<double> readStreaming(const std::string& path, size_t chunk) {
    sonx_file* file = nullptr;
    std::vector<double> all;
    EXPECT_EQ(sonx_open_read(path.c_str(), 0, &file), SONX_OK);
    if (!file) return all;
    std::vector<int16_t> buffer(chunk);
    for (;;) {
        size_t got = 0;
        const int status = sonx_read_pcm(file, buffer.data(), chunk, &got);
        EXPECT_EQ(status, SONX_OK);
        EXPECT_LE(got, chunk);
        if (status != SONX_OK || got == 0) break;
        all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    }
    EXPECT_EQ(sonx_close(file), SONX_OK);
    return all;
}

int convert(const std::string& in, const std::string& out, int outputType) {
    sonx_options options{};
    options.output_type = outputType;
    return sonx_convert_file(in.c_str(), out.c_str(), &options, nullptr, nullptr, nullptr);
}

std::vector<double> wavSamples(const std::string& path) {
    return samplesOf(parseWav(readFileBytes(path)).data, 16);
}

TEST(G711Rates, EveryRateAndLayoutKeepsTheSpeechsLengthAndSound) {
    // Every size up to 64, then a spread across packet and buffer sizes.
    std::vector<size_t> chunks;
    for (size_t c = 1; c <= 64; ++c) chunks.push_back(c);
    for (size_t c : {100, 159, 160, 161, 255, 256, 1000, 1024, 2047, 4095, 4096}) chunks.push_back(c);

    TempDir dir;
    const std::string pcm = dir.file("pcm.wav"), g711 = dir.file("g711.wav");
    for (uint32_t rate : {8000u, 11025u, 16000u, 22050u, 44100u, 48000u}) {
        const auto speech = speechAt(rate);
        writeFileBytes(pcm, wavFile({1, rate, 16}, bytesOf(speech)));
        ASSERT_EQ(convert(pcm, dir.file("pcm.qcp"), SONX_TYPE_QCP), SONX_OK);
        ASSERT_EQ(convert(pcm, dir.file("pcm8k.wav"), SONX_TYPE_WAV), SONX_OK);
        const auto pcm8k = wavSamples(dir.file("pcm8k.wav"));
        const auto pcmRead = readStreaming(pcm, 4096);
        ASSERT_EQ(pcmRead.size(), speech.size());

        for (Law law : {Law::A, Law::Mu}) {
            for (uint16_t channels : {1, 2}) {
                SCOPED_TRACE(std::string(law == Law::A ? "A-law " : "mu-law ") + std::to_string(channels) +
                             " channel(s) at " + std::to_string(rate) + " Hz");
                std::vector<uint8_t> data;
                for (int16_t s : speech)
                    for (uint16_t c = 0; c < channels; ++c) data.push_back(law == Law::A ? g711ALaw(s) : g711MuLaw(s));
                writeFileBytes(g711, wavFile({uint16_t(law == Law::A ? 6 : 7), rate, 8, channels}, data));

                // The program and the C interface write the same QCP, as
                // long as the PCM speech's.
                const std::string qcp = dir.file("g711.qcp"), viaProgram = dir.file("program.qcp");
                ASSERT_EQ(convert(g711, qcp, SONX_TYPE_QCP), SONX_OK);
                std::remove(viaProgram.c_str());
                ASSERT_EQ(runVelconv({g711, viaProgram}).exitStatus, 0);
                EXPECT_EQ(readFileBytes(viaProgram), readFileBytes(qcp));
                sonx_info info{}, pcmInfo{};
                ASSERT_EQ(sonx_get_info(qcp.c_str(), &info), SONX_OK);
                ASSERT_EQ(sonx_get_info(dir.file("pcm.qcp").c_str(), &pcmInfo), SONX_OK);
                EXPECT_EQ(info.packets, pcmInfo.packets);

                // Resampled to 8 kHz, the same length and sound.
                ASSERT_EQ(convert(g711, dir.file("g711_8k.wav"), SONX_TYPE_WAV), SONX_OK);
                const auto g711At8k = wavSamples(dir.file("g711_8k.wav"));
                EXPECT_EQ(g711At8k.size(), pcm8k.size());
                EXPECT_GE(correlation(g711At8k, pcm8k), 0.99);

                // Read in any size of buffer, the same samples at the file's rate.
                const auto whole = readStreaming(g711, 4096);
                ASSERT_EQ(whole.size(), speech.size());
                EXPECT_GE(correlation(whole, pcmRead), 0.99);
                for (size_t chunk : chunks) {
                    if (readStreaming(g711, chunk) != whole) ADD_FAILURE() << "reading " << chunk << " at a time";
                }
            }
        }
    }
}

}  // namespace
}  // namespace sonx::test
