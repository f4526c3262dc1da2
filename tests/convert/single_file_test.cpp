// Block-by-block access to one file: through ISonxFile as an embedding
// program uses it, and the carrying of samples with a 160-sample test codec
// attached directly.
#include "sonx/convert/single_file.h"

#include <gtest/gtest.h>

#include "convert/convert_test_util.h"
#include "support/fake_codec.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

class File {
public:
    File()
        : file_(createInstance<ISonxFile>(CLSID_SonxFile)), error_(queryInterface<ISonxError>(file_.get())) {}
    ISonxFile* operator->() { return file_.get(); }
    std::string error() { return error_->errorText(); }

private:
    Ref<ISonxFile> file_;
    Ref<ISonxError> error_;
};

std::vector<uint8_t> speechData() {
    return parseWav(readFileBytes(testDataPath("speech_8k.wav"))).data;
}

TEST(SingleFile, ReadsPcmInChunksAndStopsAtTheEnd) {
    const std::string path = testDataPath("speech_8k.wav");
    const FileHandle h = FileHandle::named(path.c_str());
    const AudioFormat pcm = pcmFormat(FILE_TYPE_WAV);
    File f;
    ASSERT_TRUE(f->open(&h, 0, &pcm, &pcm)) << f.error();
    ASSERT_EQ(f->blockCount(), 125005u);
    AudioFormat format;
    f->fileFormat(&format);
    EXPECT_EQ(format.sampleRate, 8000u);
    EXPECT_EQ(format.packetBytes, 2u);

    uint32_t bytes = 0;
    EXPECT_EQ(f->read(1000, nullptr, &bytes), 1000u);
    EXPECT_EQ(bytes, 2000u);
    std::vector<uint8_t> all, chunk(2 * 40000);
    uint32_t got;
    while ((got = f->read(40000, chunk.data(), &bytes)) > 0) {
        EXPECT_EQ(bytes, 2 * got);
        all.insert(all.end(), chunk.begin(), chunk.begin() + bytes);
    }
    EXPECT_EQ(f.error(), "");
    EXPECT_EQ(all, speechData());  // the last read delivered only what remained
    EXPECT_EQ(f->blocksDone(), 125005u);

    ASSERT_EQ(f->seek(1000), 1000u);
    ASSERT_EQ(f->read(10, chunk.data(), &bytes), 10u);
    EXPECT_TRUE(std::equal(chunk.begin(), chunk.begin() + 20, speechData().begin() + 2000));
    EXPECT_EQ(f->seek(999999), 125005u);
    EXPECT_TRUE(f->close(0));
}

TEST(SingleFile, SizeQueryBoundsWhatAConvertingReadDelivers) {
    const std::string path = testDataPath("speech_16k.wav");
    const FileHandle h = FileHandle::named(path.c_str());
    const AudioFormat file = pcmFormat(FILE_TYPE_WAV), client = pcmFormat(FILE_TYPE_RAW, 8000, 16);
    File f;
    ASSERT_TRUE(f->open(&h, 0, &file, &client)) << f.error();
    uint64_t total = 0;
    for (uint32_t step : {1u, 999u, 32000u, 77777u, 500000u}) {
        uint32_t bytes = 0;
        const uint32_t asked = f->read(step, nullptr, &bytes);
        std::vector<uint8_t> buffer(bytes);
        uint32_t delivered = 0;
        const uint32_t got = f->read(step, buffer.data(), &delivered);
        EXPECT_LE(got, asked);
        // The converter holds back its filter delay until the read that ends
        // the file, for which the answer is exact.
        if (f->blocksDone() == f->blockCount()) {
            EXPECT_EQ(got, asked);
        }
        EXPECT_EQ(delivered, 2 * got);
        total += got;
    }
    EXPECT_EQ(f.error(), "");
    EXPECT_EQ(total, 125005u);
}

TEST(SingleFile, ReadsPcmAsMuLawForAClientThatWantsIt) {
    const std::string path = testDataPath("speech_8k.wav");
    const FileHandle h = FileHandle::named(path.c_str());
    const AudioFormat file = pcmFormat(FILE_TYPE_WAV), client = muLawFormat(FILE_TYPE_RAW);
    File f;
    ASSERT_TRUE(f->open(&h, 0, &file, &client)) << f.error();
    std::vector<uint8_t> coded(4000);
    uint32_t bytes = 0;
    ASSERT_EQ(f->read(4000, coded.data(), &bytes), 4000u) << f.error();
    EXPECT_EQ(bytes, 4000u);
    // Each byte is the G.711 code of the sample at its place.
    const auto pcm = samplesOf(speechData(), 16);
    for (int i = 0; i < 4000; ++i) {
        const int u = ~coded[i] & 0xff;
        const int magnitude = ((((u & 0x0f) << 3) + 0x84) << ((u >> 4) & 7)) - 0x84;
        const double decoded = (u & 0x80) ? -magnitude : magnitude;
        ASSERT_NEAR(decoded, pcm[i], std::fabs(pcm[i]) / 16 + 8) << "sample " << i;
    }
}

TEST(SingleFile, WritesMuLawWavInPiecesAndReadsItBack) {
    TempDir dir;
    const std::string path = dir.file("out.wav");
    const FileHandle h = FileHandle::named(path.c_str());
    const AudioFormat file = muLawFormat(FILE_TYPE_WAV), client = pcmFormat(FILE_TYPE_RAW);
    const auto data = speechData();
    File f;
    ASSERT_TRUE(f->open(&h, 1, &file, &client)) << f.error();
    uint32_t consumed = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f->write(100, data.data() + 200 * i, &consumed),
                  100u);  // one-sample blocks: nothing carried
        EXPECT_EQ(consumed, 200u);
    }
    EXPECT_EQ(f->blockCount(), 300u);
    ASSERT_TRUE(f->close(1)) << f.error();
    const Wav w = parseWav(readFileBytes(path));
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.tag, 7);
    EXPECT_EQ(w.data.size(), 300u);

    // And back through the same object, as 16-bit PCM.
    ASSERT_TRUE(f->open(&h, 0, &file, &client)) << f.error();
    std::vector<uint8_t> pcm(600);
    ASSERT_EQ(f->read(300, pcm.data(), nullptr), 300u);
    const auto original = samplesOf({data.begin(), data.begin() + 600}, 16), decoded = samplesOf(pcm, 16);
    for (int i = 0; i < 300; ++i) EXPECT_NEAR(decoded[i], original[i], std::fabs(original[i]) / 16 + 4);
}

TEST(SingleFile, WritesThroughAClientCallback) {
    TestMemoryFile memory;
    memory.bytes.assign(1000000, 0xAA);  // what the client held before is gone
    const FileHandle h = memory.handle();
    const AudioFormat pcm = pcmFormat(FILE_TYPE_WAV);
    const auto data = speechData();
    File f;
    ASSERT_TRUE(f->open(&h, 1, &pcm, &pcm)) << f.error();
    EXPECT_EQ(f->write(1001, data.data(), nullptr), 1001u);
    ASSERT_TRUE(f->close(1));
    const Wav w = parseWav(memory.bytes);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(memory.bytes.size(), 8u + (memory.bytes[4] | memory.bytes[5] << 8 | memory.bytes[6] << 16));
    EXPECT_EQ(w.data, std::vector<uint8_t>(data.begin(), data.begin() + 2002));
}

TEST(SingleFile, FailingClientCallbackIsReportedByTheOperationItHits) {
    // Writing a mu-law WAV from 16 kHz PCM, then reading it back as 8-bit
    // PCM at 11025 Hz, with one wrong answer from the client at every step.
    const auto pcm16k = tone(16000, 20000, 500, 5000, 16);
    const AudioFormat coded = muLawFormat(FILE_TYPE_WAV);
    const AudioFormat client16k = pcmFormat(FILE_TYPE_RAW, 16000),
                      client8bit = pcmFormat(FILE_TYPE_RAW, 11025, 8);
    std::vector<uint8_t> written;
    const auto attempt = [&](bool write, int failAt) {
        TestMemoryFile memory;
        memory.bytes = written;
        memory.failAt = failAt;
        const FileHandle h = memory.handle();
        File f;
        std::string failure;
        if (!f->open(&h, write, &coded, write ? &client16k : &client8bit)) {
            failure = f.error();
        } else if (write) {
            f->write(7000, pcm16k.data(), nullptr);
            failure = f.error();
            if (failure.empty()) {
                f->write(13000, pcm16k.data() + 14000, nullptr);
                failure = f.error();
            }
            if (!f->close(1) && failure.empty()) failure = f.error();
        } else {
            std::vector<uint8_t> out(20000);
            if (f->read(10000, out.data(), nullptr) != 13781) failure = f.error();
            if (!f->close(0) && failure.empty()) failure = f.error();
        }
        if (failAt == 0) {
            EXPECT_EQ(failure, "");
            if (write) written = memory.bytes;
        } else {
            EXPECT_NE(failure, "") << (write ? "write" : "read") << " failing at call " << failAt;
        }
        return memory.calls;
    };
    const int writeCalls = attempt(true, 0);
    ASSERT_EQ(parseWav(written).data.size(), 10000u);
    for (int k = 1; k <= writeCalls; ++k) attempt(true, k);
    const int readCalls = attempt(false, 0);
    for (int k = 1; k <= readCalls; ++k) attempt(false, k);
}

TEST(SingleFile, TransfersInTheWrongDirectionAreRefused) {
    TempDir dir;
    const std::string in = testDataPath("speech_8k.wav"), out = dir.file("out.wav");
    const FileHandle hIn = FileHandle::named(in.c_str()), hOut = FileHandle::named(out.c_str());
    const AudioFormat pcm = pcmFormat(FILE_TYPE_WAV);
    uint8_t buffer[8] = {};
    File f;
    EXPECT_EQ(f->read(1, buffer, nullptr), 0u);
    EXPECT_EQ(f.error(), "Error: file not open for reading");
    ASSERT_TRUE(f->open(&hIn, 0, &pcm, &pcm));
    EXPECT_EQ(f->write(1, buffer, nullptr), 0u);
    EXPECT_EQ(f.error(), "Error: file not open for writing");
    ASSERT_TRUE(f->open(&hOut, 1, &pcm, &pcm));  // closes the first
    EXPECT_EQ(f->read(1, buffer, nullptr), 0u);
    EXPECT_EQ(f.error(), "Error: file not open for reading");
    EXPECT_EQ(f->seek(0), 0u);
    EXPECT_EQ(f.error(), "Error: file not open for reading");
    EXPECT_TRUE(f->close(1));
    EXPECT_EQ(f.error(), "");
}

// ---- The carrying of samples, with a 160-sample codec ------------------------

// A QCP file being written through a FakeCodec, with 16-bit PCM from the client.
struct CodecFile {
    SingleFile s;
    FakeCodec* codec = new FakeCodec;

    CodecFile(const std::string& path, bool write) {
        AudioFile& f = s.file;
        f.handle = FileHandle::named(path.c_str());
        f.fileFormat.fileType = write ? FILE_TYPE_QCP : FILE_TYPE_RAW;
        f.clientFormat = pcmFormat(FILE_TYPE_RAW);
        openFile(f, write, write);
        ISonxCodec*& side = write ? f.encoder : f.decoder;
        side = codec;
        (write ? f.encoderError : f.decoderError) =
            static_cast<ISonxError*>(codec->QueryInterface(IID_ISonxError));
        codec->GetFormats(write ? &f.encoderFormat : &f.decoderFormat, &f.fileFormat);
        (write ? f.decoderFormat : f.encoderFormat) = f.clientFormat;
        if (write) {
            sizeBuffers(f.fileFormat, f.clientFormat, f.decoderFormat, f.encoderFormat, s.buffers);
            writeOutputHeader(f);
        } else {
            sizeBuffers(f.clientFormat, f.fileFormat, f.decoderFormat, f.encoderFormat, s.buffers);
        }
    }
    ~CodecFile() { closeFile(s.file, true); }
};

std::vector<FakePacket> qcpPackets(const std::vector<uint8_t>& qcp) {
    std::vector<FakePacket> out;
    const uint32_t packets = getLe32(qcp.data() + 182);  // 'vrat' size in packets
    EXPECT_EQ(getLe32(qcp.data() + 190), packets * 35);  // 'data' length
    for (uint32_t i = 0; i < packets; ++i) out.push_back(readFakePacket(qcp.data() + 194 + 35 * i));
    return out;
}

TEST(SingleFile, SamplesShortOfABlockAreCarriedAndFlushedOnlyOnRequest) {
    std::vector<uint8_t> samples;
    for (int i = 1; i <= 300; ++i) appendLe(samples, static_cast<uint32_t>(i), 2);
    TempDir dir;
    for (bool flush : {true, false}) {
        SCOPED_TRACE(flush ? "flush" : "no flush");
        const std::string path = dir.file("carry.qcp");
        {
            CodecFile cf(path, true);
            uint32_t written = 0, consumed = 0;
            const uint32_t expected[3] = {0, 1, 0}, carried[3] = {100, 40, 140};
            for (int call = 0; call < 3; ++call) {
                EXPECT_EQ(writeSingle(cf.s, 100, samples.data() + 200 * call, &consumed, written),
                          expected[call]);
                EXPECT_EQ(consumed, 200u);
                EXPECT_EQ(cf.s.pendingSamples, carried[call]);
            }
            if (flush) flushSingle(cf.s);
            closeFile(cf.s.file, false);
        }
        const auto packets = qcpPackets(readFileBytes(path));
        ASSERT_EQ(packets.size(), flush ? 2u : 1u);
        EXPECT_EQ(packets[0].first, 1);
        EXPECT_EQ(packets[0].last, 160);
        EXPECT_EQ(packets[0].sum, 160 * 161 / 2);
        if (flush) {
            // 140 carried samples, completed with 20 zero samples.
            EXPECT_EQ(packets[1].first, 161);
            EXPECT_EQ(packets[1].last, 0);
            EXPECT_EQ(packets[1].sum, (161 + 300) * 140 / 2);
        }
    }
}

TEST(SingleFile, SeekWalksVariablePacketsAndSkipsStrayBytes) {
    TempDir dir;
    const std::string path = dir.file("packets.raw");
    std::vector<uint8_t> data;
    auto packet = [&](uint8_t rate, size_t payload) {
        data.push_back(rate);
        data.insert(data.end(), payload, 0x55);
    };
    packet(4, 34);
    data.push_back(0x07);  // no rate octet
    packet(1, 3);
    packet(0, 0);
    packet(2, 7);
    writeFileBytes(path, data);
    CodecFile cf(path, false);
    cf.s.file.blockCount = 4;
    uint32_t reached = 0;
    EXPECT_EQ(seekSingle(cf.s, 2, reached), 2u);
    EXPECT_EQ(cf.s.file.dataPosition, 35u + 1 + 4);
    EXPECT_EQ(seekSingle(cf.s, 3, reached), 3u);
    EXPECT_EQ(cf.s.file.dataPosition, 35u + 1 + 4 + 1);
    EXPECT_EQ(seekSingle(cf.s, 100, reached), 4u);
    EXPECT_EQ(cf.s.file.dataPosition, data.size());
    EXPECT_EQ(cf.s.file.blocksDone, 4u);

    // Reading on from block 1: the test decoder gives each packet's rate octet as its samples.
    EXPECT_EQ(seekSingle(cf.s, 1, reached), 1u);
    std::vector<uint8_t> pcm(2 * 160 * 3);
    uint32_t delivered = 0;
    EXPECT_EQ(readSingle(cf.s, 3, pcm.data(), nullptr, delivered), 480u);
    const auto s = samplesOf(pcm, 16);
    EXPECT_EQ(s[0], 1);    // eighth rate
    EXPECT_EQ(s[160], 0);  // blank
    EXPECT_EQ(s[320], 2);  // quarter rate
}

}  // namespace
}  // namespace sonx::test
