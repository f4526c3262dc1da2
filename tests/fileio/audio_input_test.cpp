#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fileio/fileio_test_util.h"
#include "support/fake_codec.h"
#include "sonx/codec/rate_sets.h"
#include "sonx/fileio/audio_file.h"

namespace sonx {
namespace {

using test::riff;
using test::Chunk;
using test::errorOf;
using test::pattern;

struct WavCase {
    const char* name;
    Guid codec;
    uint32_t packetBytes, sampleRate, sampleBits, blockCount, dataStart;
};

TEST(ParseInput, SharedTestWavs) {
    const WavCase cases[] = {
        {"speech_8k.wav", CODEC_PCM, 2, 8000, 16, 125005, 44},
        {"speech_16k.wav", CODEC_PCM, 2, 16000, 16, 250010, 44},
        {"speech_8k_u8.wav", CODEC_PCM, 1, 8000, 8, 125005, 44},
        // 18-byte 'fmt ' and a 'fact' chunk before 'data'
        {"speech_8k_mulaw.wav", CODEC_G711_ULAW, 1, 8000, 8, 125005, 58},
    };
    for (const WavCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = test::testDataPath(c.name);
        AudioFile file;
        file.handle = FileHandle::named(path.c_str());
        file.fileFormat.fileType = FILE_TYPE_WAV;
        file.fileFormat.dataFormat = DATA_FORMAT_SAMPLES;
        openFile(file, false, false);
        uint32_t begin = 7, end = 7;
        EXPECT_FALSE(parseInputFile(file, begin, end));
        EXPECT_EQ(file.fileFormat.codec, c.codec);
        EXPECT_EQ(file.fileFormat.dataFormat, DATA_FORMAT_SAMPLES);  // left as given
        EXPECT_EQ(file.fileFormat.packetBytes, c.packetBytes);
        EXPECT_EQ(file.fileFormat.blockSamples, 1u);
        EXPECT_EQ(file.fileFormat.sampleRate, c.sampleRate);
        EXPECT_EQ(file.fileFormat.sampleBits, c.sampleBits);
        EXPECT_EQ(file.blockCount, c.blockCount);
        EXPECT_EQ(file.dataStart, c.dataStart);
        EXPECT_EQ(file.dataPosition, c.dataStart);
        closeFile(file, false);
    }
}

TEST(ReadingSteps, MuLawWavThroughClientHandleForPcmClient) {
    test::TestMemoryFile mem;
    mem.bytes = test::readFileBytes(test::testDataPath("speech_8k_mulaw.wav"));
    AudioFile file;
    file.handle = mem.handle();
    file.fileFormat.fileType = FILE_TYPE_WAV;
    file.fileFormat.dataFormat = DATA_FORMAT_SAMPLES;
    file.clientFormat.codec = CODEC_PCM;
    file.clientFormat.sampleRate = 16000;
    file.clientFormat.sampleBits = 16;
    openFile(file, false, false);
    const InputDataRange range = prepareReading(file);
    EXPECT_FALSE(range.needsCounting);
    ASSERT_NE(file.decoder, nullptr);
    ASSERT_NE(file.decoderError, nullptr);
    EXPECT_EQ(file.encoder, nullptr);
    EXPECT_EQ(file.decoderFormat.codec, CODEC_PCM);
    EXPECT_EQ(file.decoderFormat.sampleBits, 16u);
    EXPECT_EQ(file.decoderFormat.packetBytes, 2u);
    EXPECT_EQ(file.encoderFormat.sampleRate, 16000u);  // the client's format
    finishReading(file, range);
    EXPECT_EQ(file.blockCount, 125005u);
    closeFile(file, false);
    EXPECT_EQ(file.decoder, nullptr);
}

// A WAV 'fmt ' chunk, and a whole image around it.
std::vector<uint8_t> wavFmt(uint16_t tag, uint16_t channels, uint16_t align, uint32_t fmtBytes = 16) {
    std::vector<uint8_t> fmt(std::max<uint32_t>(fmtBytes, 16), 0);
    const auto put16 = [&](size_t at, uint16_t v) { test::putLe16At(fmt, at, v); };
    put16(0, tag);
    put16(2, channels);
    put16(4, 8000);
    put16(12, align);
    put16(14, 16);
    fmt.resize(fmtBytes);
    return fmt;
}

std::vector<uint8_t> wav(uint16_t tag, uint16_t channels, uint16_t align, uint32_t dataBytes,
                         uint32_t fmtBytes = 16) {
    return riff("WAVE",
                     {{"fmt ", wavFmt(tag, channels, align, fmtBytes)}, {"data", pattern(dataBytes, 1)}});
}

std::string parseError(const std::vector<uint8_t>& image, const Guid& type) {
    test::TestMemoryFile mem;
    mem.bytes = image;
    AudioFile file;
    file.handle = mem.handle();
    file.fileFormat.fileType = type;
    openFile(file, false, false);
    uint32_t b = 0, e = 0;
    const std::string text = errorOf([&] { parseInputFile(file, b, e); });
    closeFile(file, true);
    return text;
}

TEST(ParseInput, MalformedWavMessages) {
    const Guid& W = FILE_TYPE_WAV;
    EXPECT_EQ(parseError(wav(1, 9, 18, 8), W),
              "WAV file has 9 channels - only files of 1 to 8 channels are supported");
    EXPECT_EQ(parseError(wav(1, 2, 5, 8), W),
              "WAV file has a block alignment of 5 bytes - 2 channels of 16-bit samples take 4");
    EXPECT_EQ(parseError(wav(3, 1, 2, 8), W),
              "WAV file has 16-bit IEEE float samples - that width is not supported");
    EXPECT_EQ(parseError(wav(0x11, 1, 2, 8), W),
              "WAV file uses an unsupported wave format (IMA ADPCM, tag = 0x0011)");
    EXPECT_EQ(parseError(wav(0x1234, 1, 2, 8), W),
              "WAV file uses an unsupported wave format (unknown, tag = 0x1234)");
    EXPECT_EQ(parseError(wav(0xFFFE, 1, 2, 8), W), "'fmt ' chunk in WAV file truncated");
    // Extensible: the sub-format names the format, by the standard frame around a tag.
    auto extensible = [&](uint16_t code, bool standard) {
        auto fmt = wavFmt(0xFFFE, 1, 2, 40);
        const uint8_t tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        fmt[24] = static_cast<uint8_t>(code), fmt[25] = static_cast<uint8_t>(code >> 8);
        if (standard) std::copy(tail, tail + 14, fmt.begin() + 26);
        return riff("WAVE", {{"fmt ", fmt}, {"data", pattern(8, 1)}});
    };
    EXPECT_EQ(
        parseError(extensible(0x11, true), W),
        "WAV file uses an unsupported wave format (IMA ADPCM as extensible sub-format 0x0011, tag = 0xfffe)");
    EXPECT_EQ(
        parseError(extensible(1, false), W),
        "WAV file uses an unsupported wave format (extensible with an unknown sub-format, tag = 0xfffe)");
    EXPECT_EQ(parseError(extensible(1, true), W), "(no error)");
    EXPECT_EQ(parseError(wav(1, 1, 2, 8, 14), W), "'fmt ' chunk in WAV file truncated");
    EXPECT_EQ(parseError(wav(1, 1, 0, 8), W), "WAV file has a block alignment of 0");
    EXPECT_EQ(parseError(riff("WAVE", {{"junk", wavFmt(1, 1, 2)}, {"data", pattern(4, 1)}}), W),
              "Unable to find 'fmt ' chunk in WAV file");
    EXPECT_EQ(parseError(riff("WAVE", {{"fmt ", wavFmt(1, 1, 2)}}), W),
              "Unable to find 'data' chunk in WAV file");
    EXPECT_EQ(parseError({'R', 'I', 'F', 'F'}, W),
              "File is not a valid WAV file: File is not big enough to be a RIFF file");
    auto notRiff = wav(1, 1, 2, 8);
    notRiff[0] = 'X';
    EXPECT_EQ(parseError(notRiff, W),
              "File is not a valid WAV file: File is not a RIFF file (no 'RIFF' header tag)");
    auto qcpForm = wav(1, 1, 2, 8);
    std::copy_n("QLCM", 4, qcpForm.begin() + 8);
    EXPECT_EQ(parseError(qcpForm, W), "File does not appear to be a WAV file (RIFF type tag is not 'WAVE')");
    auto hugeFmt = wav(1, 1, 2, 8);
    hugeFmt[16] = 0xF8, hugeFmt[17] = hugeFmt[18] = hugeFmt[19] = 0xFF;
    EXPECT_EQ(parseError(hugeFmt, W), "Bad length for 'fmt ' chunk (4294967288) at pos = 12 in RIFF file");
    EXPECT_EQ(parseError(wav(1, 1, 2, 8), FILE_TYPE_QCP),
              "File does not appear to be a QCP file (RIFF type tag is not 'QLCM')");
    EXPECT_EQ(parseError(wav(1, 1, 2, 8), CODEC_PCM), "Given file format is unsupported");
}

TEST(ParseInput, WavBlockCountRoundsDownAndExtendedFmtIsAccepted) {
    test::TestMemoryFile mem;
    mem.bytes = wav(1, 1, 4, 4 * 25 + 3, 18);
    AudioFile file;
    file.handle = mem.handle();
    file.fileFormat.fileType = FILE_TYPE_WAV;
    openFile(file, false, false);
    uint32_t b = 0, e = 0;
    EXPECT_FALSE(parseInputFile(file, b, e));
    EXPECT_EQ(file.blockCount, 25u);
    EXPECT_EQ(file.fileFormat.packetBytes, 4u);
    closeFile(file, false);
}

std::vector<uint8_t> qcpFmt(uint32_t bytes, const Guid& codec) {
    std::vector<uint8_t> fmt = pattern(bytes, 3);
    std::copy(codec.bytes, codec.bytes + 16, fmt.begin() + 2);
    return fmt;
}

TEST(ParseInput, QcpCodecAndDataRange) {
    for (uint32_t fmtBytes : {150u, 151u, 200u}) {
        const auto data = pattern(77, 4);
        test::TestMemoryFile mem;
        mem.bytes = riff(
            "QLCM",
            {{"fmt ", qcpFmt(fmtBytes, CODEC_QCELP13K_ALT)}, {"vrat", pattern(8, 1)}, {"data", data}});
        AudioFile file;
        file.handle = mem.handle();
        file.fileFormat.fileType = FILE_TYPE_QCP;
        file.fileFormat.dataFormat = RATE_SET_FFR;
        openFile(file, false, false);
        uint32_t b = 0, e = 0;
        EXPECT_TRUE(parseInputFile(file, b, e));
        EXPECT_EQ(file.fileFormat.codec, CODEC_QCELP13K_ALT);
        EXPECT_EQ(file.fileFormat.dataFormat, RATE_SET_VFR);
        const uint32_t dataAt = 12 + 8 + (fmtBytes + 1) / 2 * 2 + 16 + 8;
        EXPECT_EQ(b, dataAt);
        EXPECT_EQ(e, dataAt + 77);
        EXPECT_EQ(file.dataStart, dataAt);
        EXPECT_EQ(file.dataPosition, dataAt);
        closeFile(file, false);
    }
}

TEST(ParseInput, MalformedQcpMessages) {
    const Guid& Q = FILE_TYPE_QCP;
    const auto data = pattern(10, 1);
    EXPECT_EQ(parseError(riff("QLCM", {{"fmt ", qcpFmt(149, CODEC_QCELP13K)}, {"data", data}}), Q),
              "'fmt ' chunk in QCP file truncated");
    EXPECT_EQ(parseError(riff("QLCM", {{"data", data}}), Q),
              "Error locating 'fmt ' RIFF chunk: Unable to find 'fmt ' chunk in QCP file");
    EXPECT_EQ(parseError(riff("QLCM", {{"fmt ", qcpFmt(150, CODEC_QCELP13K)}}), Q),
              "Error locating 'data' RIFF chunk: Unable to find 'data' chunk in QCP file");
    auto bad = riff("QLCM", {{"vrat", pattern(8, 1)}, {"fmt ", qcpFmt(150, CODEC_QCELP13K)}});
    bad[16] = 0xFF, bad[17] = 0xFF, bad[18] = 0xFF, bad[19] = 0xFF;
    EXPECT_EQ(parseError(bad, Q),
              "Error locating 'fmt ' RIFF chunk: Bad length for 'vrat' chunk (4294967295) at pos = 12 in "
              "RIFF file");
    EXPECT_EQ(parseError({}, Q), "File is not a valid QCP file: File is not big enough to be a RIFF file");
}

// Packets by the QCELP-13K sizes: stray octets are skipped, a cut packet ends the count.
TEST(CountPackets, WalksRateOctets) {
    test::FakeCodec* codec = new test::FakeCodec;
    for (int r = 0; r < 256; ++r) codec->sizes[r] = qcelpPayloadBytes(static_cast<uint8_t>(r));
    std::vector<uint8_t> data = {4};
    data.resize(35, 0x11);
    for (uint8_t b : {0, 7, 14, 1, 9, 9, 9, 0xFF, 3}) data.push_back(b);
    data.resize(data.size() + 15, 0x22);  // half rate needs 16
    test::TestMemoryFile mem;
    mem.bytes = pattern(5, 1);
    mem.bytes.insert(mem.bytes.end(), data.begin(), data.end());
    AudioFile file;
    file.handle = mem.handle();
    file.fileFormat.fileType = FILE_TYPE_RAW;
    openFile(file, false, false);
    countPackets(file, codec, 5, 5 + static_cast<uint32_t>(data.size()));
    EXPECT_EQ(file.blockCount, 4u);
    countPackets(file, codec, 5,
                 5 + static_cast<uint32_t>(data.size()) + 1);  // now the half-rate packet fits
    EXPECT_EQ(file.blockCount, 5u);
    countPackets(file, codec, 5, 5 + 34);  // first packet cut short
    EXPECT_EQ(file.blockCount, 0u);
    EXPECT_EQ(errorOf([&] { countPackets(file, nullptr, 0, 1); }), "No decoder to count packets with");
    closeFile(file, false);
    codec->Release();
}

TEST(AttachDecoder, FailuresAndOwnership) {
    AudioFile file;
    AudioFormat format;
    format.codec = CODEC_PCM;
    EXPECT_EQ(
        errorOf([&] { attachDecoder(file, format); }),
        "Unable to create audio decoder instance - the codec type might not be supported by this library");
    EXPECT_EQ(
        errorOf([&] { attachEncoder(file, format); }),
        "Unable to create audio encoder instance - the codec type might not be supported by this library");
    format.codec = CODEC_G711_ULAW;
    format.dataFormat = RATE_SET_VFR;
    EXPECT_EQ(errorOf([&] { attachDecoder(file, format); }),
              "Error configuring audio decoder: Unsupported rate set selected for mu-law codec");
    EXPECT_EQ(errorOf([&] { attachEncoder(file, format); }),
              "Unable to allocate necessary audio encoder: Unsupported rate set selected for mu-law codec");
    EXPECT_NE(file.decoder, nullptr);  // kept for closeFile to release
    format.dataFormat = DATA_FORMAT_SAMPLES;
    format.fileType = FILE_TYPE_WAV;
    format.size = 99;
    attachDecoder(file, format);
    EXPECT_EQ(format.codec, CODEC_G711_ULAW);
    EXPECT_EQ(format.sampleBits, 8u);
    EXPECT_EQ(format.fileType, FILE_TYPE_WAV);
    EXPECT_EQ(format.size, 99u);
    EXPECT_EQ(file.decoderFormat.codec, CODEC_PCM);
    EXPECT_EQ(file.decoderFormat.sampleBits, 16u);
    closeFile(file, false);
    EXPECT_EQ(file.decoder, nullptr);
    EXPECT_EQ(file.encoder, nullptr);
}

TEST(ReadingSteps, RawFiles) {
    test::TestMemoryFile mem;
    mem.bytes = pattern(1001, 2);
    AudioFile file;
    file.handle = mem.handle();
    file.fileFormat.fileType = FILE_TYPE_RAW;
    file.fileFormat.codec = CODEC_PCM;
    file.fileFormat.dataFormat = DATA_FORMAT_SAMPLES;
    file.fileFormat.packetBytes = 2;
    file.clientFormat.codec = CODEC_PCM;
    openFile(file, false, false);
    InputDataRange range = prepareReading(file);
    EXPECT_FALSE(range.needsCounting);
    finishReading(file, range);
    EXPECT_EQ(file.blockCount, 500u);
    file.fileFormat.packetBytes = 0;
    EXPECT_EQ(errorOf([&] { finishReading(file, range); }), "Packet size of 0 given for raw file");

    file.fileFormat.dataFormat = RATE_SET_VHR;
    uint32_t b = 9, e = 9;
    EXPECT_TRUE(parseInputFile(file, b, e));
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(e, 1001u);
    closeFile(file, false);
}

}  // namespace
}  // namespace sonx

namespace sonx {
namespace {

// Damaged headers and lengths end in a runtime error or a consistent parse,
// never in a crash, an overlong read or a wrapped bound (run under ASan).
TEST(ParseInput, DamagedFilesFailCleanly) {
    std::vector<uint8_t> qcpData = {4};
    qcpData.resize(35, 1);
    qcpData.insert(qcpData.end(), {1, 2, 3, 4, 14, 0, 3});
    const std::vector<std::pair<Guid, std::vector<uint8_t>>> bases = {
        {FILE_TYPE_QCP, test::riff("QLCM", {{"fmt ", qcpFmt(150, CODEC_QCELP13K)},
                                                 {"vrat", pattern(8, 1)},
                                                 {"labl", pattern(48, 2)},
                                                 {"data", qcpData},
                                                 {"cnfg", {1, 0}}})},
        {FILE_TYPE_WAV,
         test::riff("WAVE",
                         {{"fmt ", wavFmt(7, 1, 1, 18)}, {"fact", pattern(4, 3)}, {"data", pattern(33, 4)}})},
    };
    test::FakeCodec* codec = new test::FakeCodec;
    for (int r = 0; r < 256; ++r) codec->sizes[r] = qcelpPayloadBytes(static_cast<uint8_t>(r));
    std::mt19937 rng(1234);
    int parsed = 0, failed = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        const auto& [type, base] = bases[iteration % 2];
        std::vector<uint8_t> image = base;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rng() % image.size();
            image[at] = rng() % 3 == 0 ? 0xFF : static_cast<uint8_t>(rng());
        }
        if (rng() % 4 == 0) image.resize(rng() % image.size());
        test::TestMemoryFile mem;
        mem.bytes = image;
        AudioFile file;
        file.handle = mem.handle();
        file.fileFormat.fileType = type;
        file.fileFormat.dataFormat = DATA_FORMAT_SAMPLES;
        try {
            openFile(file, false, false);
            uint32_t begin = 0, end = 0;
            if (parseInputFile(file, begin, end)) {
                ASSERT_LE(begin, end);
                ASSERT_LE(end, image.size());
                countPackets(file, codec, begin, end);
                ASSERT_LE(file.blockCount, end - begin);
            } else {
                ASSERT_LE(uint64_t{file.dataStart} + uint64_t{file.blockCount} * file.fileFormat.packetBytes,
                          image.size());
            }
            ++parsed;
        } catch (const std::runtime_error&) {
            ++failed;
        }
        closeFile(file, true);
    }
    EXPECT_GT(parsed, 100);
    EXPECT_GT(failed, 100);
    codec->Release();
}

}  // namespace
}  // namespace sonx
