// WAV forms beyond 16-bit mono PCM: every one converts and decodes to the
// same speech as its 16-bit mono 8 kHz equivalent.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "convert/convert_test_util.h"
#include "sonx/fileio/sample_convert.h"
#include "support/g711.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

enum class Kind { Integer, Float, ALaw, MuLaw };

struct Form {
    const char* what;
    Kind kind;
    uint16_t bits;
    uint16_t channels;
    uint32_t rate;
    bool extensible;
    bool exact;  // the mix-down gives back the 16-bit samples bit for bit
};

uint16_t tagOf(Kind kind) {
    return kind == Kind::Integer ? 1 : kind == Kind::Float ? 3 : kind == Kind::ALaw ? 6 : 7;
}

// One channel's sample (on the 16-bit scale) in the form's coding.
void putSample(std::vector<uint8_t>& out, const Form& f, double v) {
    switch (f.kind) {
        case Kind::Integer:
            if (f.bits == 8)
                out.push_back(static_cast<uint8_t>(128 + std::clamp<long>(std::lrint(v / 256), -128, 127)));
            else
                appendLe(out, static_cast<uint32_t>(std::lrint(v * std::ldexp(1.0, f.bits - 16))), f.bits / 8);
            break;
        case Kind::Float: {
            if (f.bits == 32) {
                const float x = static_cast<float>(v / 32768);
                uint32_t u;
                std::memcpy(&u, &x, 4);
                appendLe(out, u, 4);
            } else {
                const double x = v / 32768;
                uint64_t u;
                std::memcpy(&u, &x, 8);
                appendLe(out, static_cast<uint32_t>(u), 4);
                appendLe(out, static_cast<uint32_t>(u >> 32), 4);
            }
            break;
        }
        case Kind::ALaw:
            out.push_back(g711ALaw(static_cast<int16_t>(std::clamp<long>(std::lrint(v), -32768, 32767))));
            break;
        case Kind::MuLaw:
            out.push_back(g711MuLaw(static_cast<int16_t>(std::clamp<long>(std::lrint(v), -32768, 32767))));
            break;
    }
}

std::vector<uint8_t> makeFormWav(const Form& f, const std::vector<uint8_t>& data) {
    auto wav = wavFile({tagOf(f.kind), f.rate, f.bits, f.channels}, data);
    if (!f.extensible) return wav;
    // Extension size, valid bits, channel mask, and the sub-format: the tag
    // in the standard identity frame.
    std::vector<uint8_t> extension;
    for (uint32_t v : {22u, uint32_t{f.bits}}) appendLe(extension, v, 2);
    for (uint32_t v : {0u, uint32_t{tagOf(f.kind)}, 0x00100000u, 0xAA000080u, 0x719B3800u})
        appendLe(extension, v, 4);
    wav.insert(wav.begin() + 36, extension.begin(), extension.end());
    putLe32At(wav, 4, getLe32(wav.data() + 4) + 24);  // RIFF size
    putLe32At(wav, 16, 40);                           // 'fmt ' length
    putLe16At(wav, 20, 0xFFFE);                       // format tag
    return wav;
}

// `speech` (16-bit) at another rate, through the library's own converter.
std::vector<double> resampled(const std::vector<uint8_t>& speech, uint32_t rate) {
    if (rate == 8000) return samplesOf(speech, 16);
    const auto n = static_cast<uint32_t>(speech.size() / 2);
    std::vector<uint8_t> out(2 * convertedSampleCount(n, 8000, rate));
    SampleConverter converter;
    converter.convert(speech.data(), n, {8000, 16}, StreamEnd::Ends, out.data(),
                      static_cast<uint32_t>(out.size() / 2), {rate, 16});
    return samplesOf(out, 16);
}

TEST(WavForms, EachFormBecomesTheSameSpeechAsIts16BitMonoEquivalent) {
    const Form forms[] = {
        {"16-bit mono, extensible", Kind::Integer, 16, 1, 8000, true, true},
        {"8-bit stereo", Kind::Integer, 8, 2, 8000, false, false},
        {"24-bit mono", Kind::Integer, 24, 1, 8000, false, true},
        {"32-bit stereo", Kind::Integer, 32, 2, 8000, false, true},
        {"16-bit stereo at 16 kHz", Kind::Integer, 16, 2, 16000, false, false},
        {"24-bit, 8 channels at 48 kHz, extensible", Kind::Integer, 24, 8, 48000, true, false},
        {"32-bit float mono", Kind::Float, 32, 1, 8000, false, true},
        {"32-bit float stereo at 44.1 kHz, extensible", Kind::Float, 32, 2, 44100, true, false},
        {"64-bit float, 6 channels", Kind::Float, 64, 6, 8000, false, true},
        {"A-law mono", Kind::ALaw, 8, 1, 8000, false, false},
        {"A-law stereo, extensible", Kind::ALaw, 8, 2, 8000, true, false},
        {"mu-law stereo", Kind::MuLaw, 8, 2, 8000, false, false},
    };
    TempDir dir;
    auto speech = parseWav(readFileBytes(testDataPath("speech_8k.wav"))).data;
    speech.resize(2 * 32000);  // four seconds
    // Every form carries the speech at half its level (room for the
    // disturbances below); the equivalent is that as 16-bit mono.
    std::vector<uint8_t> half;
    for (double v : samplesOf(speech, 16)) appendLe(half, static_cast<uint16_t>(std::lrint(v / 2)), 2);
    const auto reference = samplesOf(half, 16);
    const std::string in = dir.file("in.wav"), pcm = dir.file("pcm.wav"), qcp = dir.file("out.qcp"),
                      decoded = dir.file("decoded.wav");
    AudioFormat coded{};
    coded.fileType = FILE_TYPE_QCP;
    coded.codec = CODEC_QCELP13K;
    coded.dataFormat = RATE_SET_VFR;
    std::string error;

    // The reference speech through the codec.
    writeFileBytes(in, wavFile({1, 8000, 16}, half));
    ASSERT_TRUE(convertFile(in, pcmFormat(FILE_TYPE_WAV), qcp, coded, error)) << error;
    ASSERT_TRUE(convertFile(qcp, coded, decoded, pcmFormat(FILE_TYPE_WAV), error)) << error;
    const auto referenceDecoded = samplesOf(parseWav(readFileBytes(decoded)).data, 16);

    for (const Form& f : forms) {
        SCOPED_TRACE(f.what);
        // The speech in every channel, plus a disturbance per channel that
        // the average cancels.
        const auto source = resampled(speech, f.rate);
        std::vector<uint8_t> data;
        uint32_t seed = 1;
        for (double s : source) {
            double sum = 0;
            for (uint16_t c = 0; c < f.channels; ++c) {
                seed = seed * 1103515245 + 12345;
                const double d = c + 1 < f.channels ? static_cast<double>(seed >> 16 & 0x7FF) - 1024 : -sum;
                sum += d;
                putSample(data, f, s / 2 + d);
            }
        }
        writeFileBytes(in, makeFormWav(f, data));

        ASSERT_TRUE(convertFile(in, pcmFormat(FILE_TYPE_WAV), pcm, pcmFormat(FILE_TYPE_WAV), error)) << error;
        const auto converted = samplesOf(parseWav(readFileBytes(pcm)).data, 16);
        EXPECT_EQ(converted.size(), convertedSampleCount(source.size(), f.rate, 8000));
        EXPECT_GT(correlation(converted, reference), 0.99);
        if (f.exact) {
            EXPECT_TRUE(converted == reference);
        }
        if (f.rate == 8000) {
            // Read directly, a block is a frame's mix: seeking counts frames.
            Ref<ISonxFile> file(createInstance<ISonxFile>(CLSID_SonxFile));
            const FileHandle h = FileHandle::named(in.c_str());
            const AudioFormat wav = pcmFormat(FILE_TYPE_WAV), client = pcmFormat(FILE_TYPE_RAW);
            ASSERT_TRUE(file->open(&h, 0, &wav, &client));
            EXPECT_EQ(file->blockCount(), source.size());
            std::vector<uint8_t> got(20);
            ASSERT_EQ(file->seek(1000), 1000u);
            ASSERT_EQ(file->read(10, got.data(), nullptr), 10u);
            EXPECT_TRUE(
                std::equal(converted.begin() + 1000, converted.begin() + 1010, samplesOf(got, 16).begin()));
        }

        ASSERT_TRUE(convertFile(in, pcmFormat(FILE_TYPE_WAV), qcp, coded, error)) << error;
        ASSERT_TRUE(convertFile(qcp, coded, decoded, pcmFormat(FILE_TYPE_WAV), error)) << error;
        const auto z = samplesOf(parseWav(readFileBytes(decoded)).data, 16);
        ASSERT_EQ(z.size(), referenceDecoded.size());
        if (f.exact) {
            EXPECT_TRUE(z == referenceDecoded);
        }
        EXPECT_GT(correlation(z, referenceDecoded), 0.95);
    }
}

}  // namespace
}  // namespace sonx::test
