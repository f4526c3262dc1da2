// Inputs found by the fuzz targets, reduced to what each one exercises.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "robustness/robustness_support.h"
#include "sonx/sonx.h"
#include "support/test_support.h"

namespace sonx::robustness {
namespace {

// A QCP file of 'fmt ', 'vrat' and a 'data' chunk of 5 bytes (one eighth-rate
// packet and a blank one) as its last chunk, with its pad byte.
Bytes smallQcp() {
    const Bytes base = baseQcp();
    const auto chunks = chunkMap(base);
    const ChunkPlace* data = findChunk(chunks, "data");
    Bytes file(base.begin(), base.begin() + long(data->pos));
    const uint8_t tail[] = {'d', 'a', 't', 'a', 5, 0, 0, 0, 1, 0x12, 0x34, 0x56, 0, 0};
    file.insert(file.end(), tail, tail + sizeof tail);
    putLe32At(file, 4, static_cast<uint32_t>(file.size() - 8));
    return file;
}

struct ChunkCalls {
    ISonxQcpChunks* chunks = createInstance<ISonxQcpChunks>(CLSID_SonxFile);
    ISonxError* error = queryInterface<ISonxError>(chunks);
    ~ChunkCalls() {
        error->Release();
        chunks->Release();
    }
};

// Chunks stay reachable by a walk from the header after every insertion.
void expectWalkReaches(const Bytes& file, const char* id) {
    const auto chunks = chunkMap(file);
    ASSERT_NE(findChunk(chunks, id), nullptr) << id;
    EXPECT_EQ(chunks.back().pos + 8 + chunks.back().length + (chunks.back().length & 1), file.size());
    EXPECT_EQ(le32At(file, 4) + 8u, file.size());
}

// A file whose odd-length last chunk lacks its pad byte (the RIFF size
// counts it): the new chunk goes behind the pad byte, which is written,
// rather than into the place the pad byte belongs to.
TEST(FuzzRegression, ChunkInsertedBehindMissingPadByte) {
    test::TempDir dir;
    const std::string path = dir.file("nopad.qcp");
    Bytes file = smallQcp();
    file.pop_back();
    test::writeFileBytes(path, file);
    const FileHandle h = FileHandle::named(path.c_str());
    ChunkCalls calls;
    ASSERT_TRUE(calls.chunks->setCnfgChunk(&h, 0xBEEF)) << calls.error->errorText();
    const Bytes after = test::readFileBytes(path);
    expectWalkReaches(after, "cnfg");
    EXPECT_EQ(after.size(), file.size() + 1 + 10);
    uint16_t value = 0;
    ASSERT_TRUE(calls.chunks->getCnfgChunk(&h, &value)) << calls.error->errorText();
    EXPECT_EQ(value, 0xBEEF);
}

// A last chunk that claims more than a pad byte past the end of the file: a
// setter refuses rather than putting the new chunk inside it, and leaves the
// file as it was.
TEST(FuzzRegression, ChunkNotInsertedInsideCutLastChunk) {
    test::TempDir dir;
    const std::string path = dir.file("cut.qcp");
    Bytes file = smallQcp();
    const size_t dataPos = findChunk(chunkMap(file), "data")->pos;
    putLe32At(file, dataPos + 4, 9);  // 4 bytes past the end, within the walk's tolerance
    test::writeFileBytes(path, file);
    const FileHandle h = FileHandle::named(path.c_str());
    ChunkCalls calls;
    EXPECT_FALSE(calls.chunks->setTextChunk(&h, reinterpret_cast<const uint8_t*>("abc"), 3));
    EXPECT_EQ(std::string(calls.error->errorText()),
              "Error in setTextChunk: Bad length for 'data' chunk (9) at pos = " + std::to_string(dataPos) +
                  " in RIFF file");
    EXPECT_EQ(test::readFileBytes(path), file);
}

// The same through the after-chunk: 'labl' goes behind 'vrat', here the
// last chunk and cut by more than its pad byte.
TEST(FuzzRegression, ChunkNotInsertedInsideCutAfterChunk) {
    test::TempDir dir;
    const std::string path = dir.file("vrat.qcp");
    Bytes file = smallQcp();
    const size_t vratPos = findChunk(chunkMap(file), "vrat")->pos;
    file.resize(vratPos + 8 + 5);
    putLe32At(file, 4, static_cast<uint32_t>(file.size() - 8));
    test::writeFileBytes(path, file);
    const FileHandle h = FileHandle::named(path.c_str());
    ChunkCalls calls;
    EXPECT_FALSE(calls.chunks->setLablChunk(&h, reinterpret_cast<const uint8_t*>("label"), 5));
    EXPECT_NE(std::string(calls.error->errorText()).find("Bad length for 'vrat' chunk (8)"),
              std::string::npos)
        << calls.error->errorText();
    EXPECT_EQ(test::readFileBytes(path), file);
}

// Chunk ids of damaged files in messages: bytes that are not printable
// appear as \xNN, so a NUL cannot cut the message short.
TEST(FuzzRegression, UnprintableChunkIdInMessage) {
    test::TempDir dir;
    const std::string path = dir.file("junk.qcp");
    Bytes file = smallQcp();
    const size_t dataPos = findChunk(chunkMap(file), "data")->pos;
    const uint8_t junk[] = {0x00, 'a', 0x1B, 0xFF};
    std::memcpy(&file[dataPos], junk, 4);
    putLe32At(file, dataPos + 4, 0x7FFFFFFF);
    test::writeFileBytes(path, file);
    const FileHandle h = FileHandle::named(path.c_str());
    ChunkCalls calls;
    uint8_t buffer[8];
    EXPECT_EQ(calls.chunks->getTextChunk(&h, buffer, sizeof buffer), 0u);
    EXPECT_EQ(std::string(calls.error->errorText()),
              "Error in getTextChunk: Bad length for '\\x00a\\x1b\\xff' chunk (2147483647) at pos = " +
                  std::to_string(dataPos) + " in RIFF file");
}

}  // namespace
}  // namespace sonx::robustness

namespace sonx::robustness {
namespace {

// Packets counted as a byte-wise walk of the rate octets counts them:
// stray bytes skipped, a packet running past the data end not counted.
uint32_t walkCount(const Bytes& data) {
    static const int kPayload[15] = {0, 3, 7, 16, 34, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0};
    uint32_t count = 0;
    for (size_t a = 0; a < data.size();) {
        const int s = data[a] < 15 ? kPayload[data[a]] : -1;
        if (s < 0) {
            ++a;
            continue;
        }
        if (a + 1 + size_t(s) > data.size()) break;
        a += 1 + size_t(s);
        ++count;
    }
    return count;
}

uint32_t blockCountOf(const std::string& path, std::string& error) {
    ISonxFile* file = createInstance<ISonxFile>(CLSID_SonxFile);
    ISonxError* err = queryInterface<ISonxError>(file);
    const FileHandle h = FileHandle::named(path.c_str());
    AudioFormat format, client;
    format.fileType = FILE_TYPE_QCP;
    client.codec = CODEC_PCM;
    client.sampleRate = 8000;
    client.sampleBits = 16;
    client.packetBytes = 2;
    client.blockSamples = 1;
    const bool opened = file->open(&h, 0, &format, &client);
    const uint32_t count = opened ? file->blockCount() : 0;
    error = opened ? "" : err->errorText();
    if (opened) file->close(0);
    err->Release();
    file->Release();
    return count;
}

// Packet counting reads the octets in blocks; packets and stray bytes that
// straddle the block edges, and files cut short anywhere, give the
// byte-wise result.
TEST(FuzzRegression, PacketCountAcrossReadBlocks) {
    Bytes data;
    uint32_t seed = 99;
    while (data.size() < 9000) {
        seed = seed * 1103515245u + 12345u;
        const uint8_t pick = uint8_t(seed >> 24);
        const uint8_t octet = pick < 150   ? 4
                              : pick < 190 ? 3
                              : pick < 220 ? 1
                              : pick < 235 ? 0
                              : pick < 245 ? 7
                                           : 14;
        data.push_back(octet);
        const int payload = octet == 4 ? 34 : octet == 3 ? 16 : octet == 1 ? 3 : 0;
        for (int k = 0; k < payload; ++k) data.push_back(uint8_t(seed >> (k % 24)) & 0xF0);
    }
    // A QCP file whose 'data' holds the first `length` bytes of the stream
    // and claims `claimed` bytes.
    auto qcpWith = [&](size_t length, size_t claimed) {
        Bytes file = smallQcp();
        const size_t dataPos = findChunk(chunkMap(file), "data")->pos;
        file.resize(dataPos + 8);
        putLe32At(file, dataPos + 4, static_cast<uint32_t>(claimed));
        file.insert(file.end(), data.begin(), data.begin() + long(length));
        putLe32At(file, 4, static_cast<uint32_t>(file.size() - 8));
        return file;
    };
    test::TempDir dir;
    std::string error;
    for (size_t length : {size_t{1}, size_t{2001}, size_t{3846}, size_t{4096}, size_t{6007}, data.size()}) {
        test::writeFileBytes(dir.file("a.qcp"), qcpWith(length, length));
        const uint32_t expected = walkCount(Bytes(data.begin(), data.begin() + long(length)));
        EXPECT_EQ(blockCountOf(dir.file("a.qcp"), error), expected) << length << " " << error;
        // Claiming even a few bytes more is a file cut short.
        test::writeFileBytes(dir.file("b.qcp"), qcpWith(length, length + 7));
        EXPECT_EQ(blockCountOf(dir.file("b.qcp"), error), 0u) << length << "+7";
        EXPECT_NE(error.find("Bad length for 'data' chunk"), std::string::npos) << length << "+7 " << error;
    }
}

}  // namespace
}  // namespace sonx::robustness

namespace sonx::robustness {
namespace {

// A QCP file of 16 MiB of blank packets decodes to 16.7 million frames, over
// 5 GB of WAV: refused before any of it is decoded, rather than after 4 GB
// have been written (found by the robustness suite's huge sparse input).
TEST(FuzzRegression, OutputBeyondWavLimitRefusedUpFront) {
    test::TempDir dir;
    const std::string in = dir.file("blank.qcp"), out = dir.file("out.wav");
    Bytes head = smallQcp();
    const size_t dataPos = findChunk(chunkMap(head), "data")->pos;
    head.resize(dataPos + 8);
    const uint32_t length = 16u << 20;
    putLe32At(head, 4, length - 8);
    putLe32At(head, dataPos + 4, length - static_cast<uint32_t>(dataPos) - 8);
    test::writeFileBytes(in, head);
    ASSERT_EQ(truncate(in.c_str(), length), 0);

    ISonxConvertFile* converter = createInstance<ISonxConvertFile>(CLSID_SonxFile);
    ISonxError* error = queryInterface<ISonxError>(converter);
    const FileHandle input = FileHandle::named(in.c_str()), output = FileHandle::named(out.c_str());
    AudioFormat inFormat, outFormat;
    inFormat.fileType = FILE_TYPE_QCP;
    outFormat.fileType = FILE_TYPE_WAV;
    outFormat.codec = CODEC_PCM;
    outFormat.sampleRate = 8000;
    outFormat.sampleBits = 16;
    EXPECT_FALSE(converter->convert(&input, &inFormat, &output, &outFormat, nullptr, 0));
    EXPECT_STREQ(error->errorText(), "Audio data would grow beyond 4 GB");
    EXPECT_FALSE(std::filesystem::exists(out)) << "refused before the output is created";
    error->Release();
    converter->Release();
}

}  // namespace
}  // namespace sonx::robustness
