#include "sonx/fileio/packet_pump.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "convert/convert_test_util.h"
#include "fileio/fileio_test_util.h"
#include "support/fake_codec.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

// An AudioFile with a FakeCodec attached as its decoder or encoder.
struct CodedFile {
    AudioFile f;
    FakeCodec* codec = new FakeCodec;

    CodedFile(const std::string& path, const Guid& fileType, bool write) {
        f.handle = FileHandle::named(path.c_str());
        f.fileFormat.fileType = fileType;
        openFile(f, write, write);
        (write ? f.encoder : f.decoder) = codec;
        (write ? f.encoderError : f.decoderError) =
            static_cast<ISonxError*>(codec->QueryInterface(IID_ISonxError));
        codec->GetFormats(write ? &f.encoderFormat : &f.decoderFormat, &f.fileFormat);
        if (write) writeOutputHeader(f);
    }
    ~CodedFile() { closeFile(f, true); }
};

std::vector<uint8_t> packet(uint8_t rate, size_t payload, uint8_t fill) {
    std::vector<uint8_t> p(1 + payload, fill);
    p[0] = rate;
    return p;
}

TEST(PacketPump, ReadBlocksSkipsStrayBytes) {
    TempDir dir;
    const std::string path = dir.file("in.raw");
    std::vector<uint8_t> data = packet(4, 34, 0x11);
    data.push_back(0x07);
    const auto second = packet(3, 16, 0x22);
    data.insert(data.end(), second.begin(), second.end());
    writeFileBytes(path, data);
    CodedFile in(path, FILE_TYPE_RAW, false);
    std::vector<uint8_t> dest(70, 0xEE);
    uint32_t bytes = 0;
    readBlocks(0, in.f, in.codec, dest.data(), 2, &bytes, 70);
    EXPECT_EQ(bytes, 35u + 17);
    EXPECT_EQ(in.f.dataPosition, data.size());
    EXPECT_EQ(in.f.blocksDone, 2u);
    EXPECT_EQ(dest[35], 3);  // the second packet follows the first directly
    EXPECT_EQ(dest[51], 0x22);
    // A destination too small for the packets is refused, not overrun.
    in.f.dataPosition = 0;
    EXPECT_EQ(errorOf([&] { readBlocks(0, in.f, in.codec, dest.data(), 2, &bytes, 40); }),
              "Audio blocks do not fit the buffer given");
}

TEST(PacketPump, WriteBlocksKeepsTheQcpHeaderInStepWithTheData) {
    TempDir dir;
    const std::string path = dir.file("out.qcp");
    CodedFile out(path, FILE_TYPE_QCP, true);
    ASSERT_EQ(out.f.dataStart, 194u);
    std::vector<uint8_t> source;
    for (const auto& p : {packet(14, 0, 0), packet(3, 16, 3), packet(4, 34, 4)})
        source.insert(source.end(), p.begin(), p.end());
    source.insert(source.begin() + 1, 0x09);  // a stray byte between the first two packets

    uint32_t consumed = 0, packets = 0;
    for (int call = 0; call < 3; ++call) {
        writeBlocks(out.codec, source.data(), 3, &consumed, 0, out.f, static_cast<uint32_t>(source.size()));
        packets += 3;
        EXPECT_EQ(consumed, source.size());
        const auto bytes = readFileBytes(path);
        const uint32_t dataLength = (1 + 17 + 35) * packets / 3;  // odd after the first and third call
        ASSERT_EQ(bytes.size(), 194 + dataLength + (dataLength & 1));  // the pad byte is there at once
        EXPECT_EQ(getLe32(bytes.data() + 182), packets);     // 'vrat' packet count
        EXPECT_EQ(getLe32(bytes.data() + 190), dataLength);  // 'data' length
        EXPECT_EQ(getLe32(bytes.data() + 4), 194 + dataLength + (dataLength & 1) - 8);  // RIFF size with pad
        EXPECT_EQ(out.f.fileFormat.size, 194 + dataLength);
    }
    EXPECT_EQ(errorOf([&] { writeBlocks(out.codec, source.data(), 4, nullptr, 0, out.f, 44); }),
              "Audio blocks run past the data given");
    // The odd data end gets its pad byte at close, which the RIFF size already counts.
    closeFile(out.f, false);
    const auto bytes = readFileBytes(path);
    EXPECT_EQ(bytes.size() % 2, 0u);
    EXPECT_EQ(getLe32(bytes.data() + 4) + 8, bytes.size());
}

TEST(PacketPump, PcmInputIsEncodedInWholeBlocksAndTheLastIsCompletedWithSilence) {
    TempDir dir;
    const std::string inPath = dir.file("in.raw"), outPath = dir.file("out.qcp");
    std::vector<uint8_t> samples;
    for (int i = 0; i < 1000; ++i) appendLe(samples, 7, 2);
    writeFileBytes(inPath, samples);

    AudioFile in;
    in.handle = FileHandle::named(inPath.c_str());
    in.fileFormat = pcmFormat(FILE_TYPE_RAW);
    openFile(in, false, false);
    in.decoderFormat = in.fileFormat;
    in.blockCount = 1000;
    CodedFile out(outPath, FILE_TYPE_QCP, true);
    PumpBuffers buffers;
    sizeBuffers(out.f.fileFormat, in.fileFormat, in.decoderFormat, out.f.encoderFormat, buffers);

    ASSERT_EQ(totalOutputBlocks(in, out.f), 7u);
    uint32_t carried = 0;
    EXPECT_EQ(convertPass(in, out.f, buffers, carried), 6u);
    EXPECT_EQ(carried, 40u);
    EXPECT_EQ(convertPass(in, out.f, buffers, carried), 1u);  // input exhausted
    EXPECT_EQ(carried, 0u);
    closeFile(in, true);
    closeFile(out.f, false);

    const auto bytes = readFileBytes(outPath);
    ASSERT_EQ(getLe32(bytes.data() + 182), 7u);
    const FakePacket last = readFakePacket(bytes.data() + 194 + 6 * 35);
    EXPECT_EQ(last.first, 7);
    EXPECT_EQ(last.last, 0);
    EXPECT_EQ(last.sum, 40 * 7);  // 40 real samples, 120 of silence
}

TEST(PacketPump, ADecoderThatComesUpShortStopsThePass) {
    TempDir dir;
    const std::string inPath = dir.file("in.raw"), outPath = dir.file("out.raw");
    writeFileBytes(inPath, packet(4, 34, 0));
    CodedFile in(inPath, FILE_TYPE_RAW, false);
    in.f.blockCount = 1;
    in.codec->shortDecode = true;
    AudioFile out;
    out.handle = FileHandle::named(outPath.c_str());
    out.fileFormat = pcmFormat(FILE_TYPE_RAW);
    openFile(out, true, true);
    out.encoderFormat = out.fileFormat;
    PumpBuffers buffers;
    sizeBuffers(out.fileFormat, in.f.fileFormat, in.f.decoderFormat, out.encoderFormat, buffers);
    uint32_t carried = 0;
    EXPECT_EQ(errorOf([&] { convertPass(in.f, out, buffers, carried); }),
              "Error decoding audio packets: test decoder came up short");
    closeFile(out, true);
}

TEST(PacketPump, TotalsFollowTheRatesAndBlockSizes) {
    AudioFile qcp, pcm;
    qcp.fileFormat.blockSamples = 160;
    qcp.decoderFormat = pcmFormat(FILE_TYPE_RAW);
    qcp.encoderFormat = pcmFormat(FILE_TYPE_RAW);
    pcm.fileFormat = pcmFormat(FILE_TYPE_RAW);
    pcm.decoderFormat = pcm.encoderFormat = pcm.fileFormat;
    qcp.blockCount = 100;
    EXPECT_EQ(totalOutputBlocks(qcp, pcm), 16000u);
    pcm.blockCount = 16000;
    EXPECT_EQ(totalOutputBlocks(pcm, qcp), 100u);
    pcm.blockCount = 16001;
    EXPECT_EQ(totalOutputBlocks(pcm, qcp), 101u);
    // No product overflow for the largest counts; no division by zero.
    pcm.blockCount = UINT32_MAX;
    pcm.encoderFormat.sampleRate = 384000;
    EXPECT_EQ(totalOutputBlocks(pcm, pcm), UINT32_MAX);
    pcm.decoderFormat.sampleRate = 0;
    EXPECT_EQ(totalOutputBlocks(pcm, pcm), 0u);
}

TEST(PacketPump, SizeBuffersRefusesUnusableFormatsAndNeverShrinks) {
    const AudioFormat pcm = pcmFormat(FILE_TYPE_RAW);
    PumpBuffers buffers;
    sizeBuffers(pcm, pcmFormat(FILE_TYPE_RAW, 48000), pcmFormat(FILE_TYPE_RAW, 48000), pcm, buffers);
    const size_t conversion = buffers.conversion.size();
    EXPECT_GE(conversion, 2u * 48000 * 2);
    EXPECT_GE(buffers.sample.size(), 2u * (1 + 2 * 8000));
    sizeBuffers(pcm, pcm, pcm, pcm, buffers);
    EXPECT_EQ(buffers.conversion.size(), conversion);

    const auto refused = [&](AudioFormat input, AudioFormat decoded) {
        PumpBuffers fresh;
        const std::string message = errorOf([&] { sizeBuffers(pcm, input, decoded, pcm, fresh); });
        EXPECT_TRUE(fresh.packet.empty() && fresh.sample.empty());
        return message;
    };
    AudioFormat f = pcm;
    f.sampleRate = 0;
    EXPECT_EQ(refused(f, f), "Unsupported audio format: input sample rate of 0 samples per second");
    f = pcmFormat(FILE_TYPE_RAW, 8000, 12);
    f.packetBytes = 2;
    EXPECT_EQ(refused(f, pcm),
              "Unsupported audio format: input samples of 12 bits (only 8 and 16 are supported)");
    f = pcm;
    f.packetBytes = 4;
    EXPECT_EQ(
        refused(f, pcm),
        "Unsupported audio format: input block alignment of 4 bytes does not match mono 16-bit samples");
    AudioFormat coded = pcm;
    coded.codec = CODEC_G711_ULAW;
    coded.blockSamples = 16001;
    EXPECT_EQ(refused(coded, pcm),
              "Unsupported audio format: input blocks of 16001 samples are longer than two seconds");
    coded.blockSamples = 160;
    coded.packetBytes = 1u << 20;
    EXPECT_EQ(refused(coded, pcm),
              "Unsupported audio format: conversion buffers of 104857600 bytes would be needed");
}

}  // namespace
}  // namespace sonx::test
