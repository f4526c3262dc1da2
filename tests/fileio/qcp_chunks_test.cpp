// The optional QCP chunks, edited in place through ISonxQcpChunks.
#include <gtest/gtest.h>

#include <random>

#include "convert/convert_test_util.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

// A QCP file: 'fmt ', optionally 'vrat', 'data', then any further chunks.
std::vector<uint8_t> makeQcp(const std::vector<uint8_t>& data, bool withVrat = true, const std::vector<Chunk>& more = {}) {
    std::vector<Chunk> chunks = {{"fmt ", Bytes(150, 0)}};
    if (withVrat) chunks.push_back({"vrat", vrat(1, 9)});
    chunks.push_back({"data", data});
    chunks.insert(chunks.end(), more.begin(), more.end());
    return riff("QLCM", chunks);
}

class Chunks : public ::testing::Test {
protected:
    Chunks()
        : chunks_(createInstance<ISonxQcpChunks>(CLSID_SonxFile)),
          error_(queryInterface<ISonxError>(chunks_.get())) {}

    void write(const std::vector<uint8_t>& bytes) { writeFileBytes(path_, bytes); }
    std::vector<uint8_t> bytes() { return readFileBytes(path_); }
    std::string error() { return error_->errorText(); }
    uint32_t riffSize() { return getLe32(bytes().data() + 4); }

    TempDir dir_;
    const std::string path_ = dir_.file("file.qcp");
    const FileHandle handle_ = FileHandle::named(path_.c_str());
    Ref<ISonxQcpChunks> chunks_;
    Ref<ISonxError> error_;
};

TEST_F(Chunks, CnfgIsInsertedRightAfterDataThenReplacedInPlace) {
    // An odd 'data' chunk (with its pad byte), followed by a foreign chunk.
    write(makeQcp({1, 2, 3, 4, 5}, true, {{"zzzz", {7, 7}}}));
    const auto before = bytes();
    ASSERT_TRUE(chunks_->setCnfgChunk(&handle_, 0x1234)) << error();
    EXPECT_FALSE(error_->hasError());
    auto after = bytes();
    ASSERT_EQ(after.size(), before.size() + 10);
    EXPECT_EQ(riffSize(), after.size() - 8);
    const size_t cnfg = chunkAt(after, "data") + 8 + 6;
    EXPECT_EQ(chunkAt(after, "cnfg"), cnfg);
    EXPECT_EQ(chunkAt(after, "zzzz"), cnfg + 10);
    uint16_t value = 0;
    ASSERT_TRUE(chunks_->getCnfgChunk(&handle_, &value)) << error();
    EXPECT_EQ(value, 0x1234);

    ASSERT_TRUE(chunks_->setCnfgChunk(&handle_, 0xBEEF));
    const auto again = bytes();
    ASSERT_EQ(again.size(), after.size());
    after[cnfg + 8] = 0xEF;
    after[cnfg + 9] = 0xBE;
    EXPECT_EQ(again, after);
}

TEST_F(Chunks, TextFollowsCnfgAndGrowsOrShrinksInPlace) {
    write(makeQcp({1, 2, 3, 4}));
    // Without 'cnfg' the text goes right after 'data'.
    ASSERT_TRUE(chunks_->setTextChunk(&handle_, reinterpret_cast<const uint8_t*>("hello"), 5)) << error();
    EXPECT_EQ(chunkAt(bytes(), "text"), chunkAt(bytes(), "data") + 8 + 4);

    write(makeQcp({1, 2, 3, 4}, true, {{"cnfg", {1, 0}}}));
    const size_t base = bytes().size();
    ASSERT_TRUE(chunks_->setTextChunk(&handle_, reinterpret_cast<const uint8_t*>("hello"), 5));
    EXPECT_EQ(bytes().size(), base + 14);  // 8 + 5 + pad
    EXPECT_EQ(chunkAt(bytes(), "text"), chunkAt(bytes(), "cnfg") + 10);
    ASSERT_TRUE(chunks_->setTextChunk(&handle_, reinterpret_cast<const uint8_t*>("goodbye"), 7));
    EXPECT_EQ(bytes().size(), base + 16);
    ASSERT_TRUE(chunks_->setTextChunk(&handle_, reinterpret_cast<const uint8_t*>("abc"), 3));
    EXPECT_EQ(bytes().size(), base + 12);
    EXPECT_EQ(riffSize(), bytes().size() - 8);

    EXPECT_EQ(chunks_->getTextChunk(&handle_, nullptr, 0), 3u);
    uint8_t text[8] = {};
    EXPECT_EQ(chunks_->getTextChunk(&handle_, text, 2), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text)), "ab");
    EXPECT_EQ(chunks_->getTextChunk(&handle_, text, sizeof text), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text), 3), "abc");
}

TEST_F(Chunks, LablGoesAfterVratAndALargeDataChunkMovesIntact) {
    std::vector<uint8_t> data(3 * 1024 * 1024 + 1);
    std::mt19937 random(7);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    write(makeQcp(data, true, {{"cnfg", {5, 0}}}));
    const size_t base = bytes().size();

    std::vector<uint8_t> label(60);
    for (size_t i = 0; i < label.size(); ++i) label[i] = static_cast<uint8_t>('A' + i % 26);
    ASSERT_TRUE(chunks_->setLablChunk(&handle_, label.data(), 60)) << error();
    const auto after = bytes();
    ASSERT_EQ(after.size(), base + 56);
    EXPECT_EQ(chunkAt(after, "labl"), chunkAt(after, "vrat") + 16);
    const size_t dataAt = chunkAt(after, "data");
    ASSERT_NE(dataAt, std::string::npos);
    EXPECT_EQ(getLe32(after.data() + dataAt + 4), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), after.begin() + static_cast<long>(dataAt) + 8));
    uint16_t cnfg = 0;
    EXPECT_TRUE(chunks_->getCnfgChunk(&handle_, &cnfg));
    EXPECT_EQ(cnfg, 5);

    uint8_t stored[64] = {};
    ASSERT_TRUE(chunks_->getLablChunk(&handle_, stored, sizeof stored));
    EXPECT_TRUE(std::equal(label.begin(), label.begin() + 48, stored));
    EXPECT_EQ(stored[48], 0);  // no more than the chunk holds

    ASSERT_TRUE(chunks_->setLablChunk(&handle_, label.data(), 5));
    EXPECT_EQ(bytes().size(), base + 56);
    ASSERT_TRUE(chunks_->getLablChunk(&handle_, stored, 48));
    EXPECT_TRUE(std::equal(label.begin(), label.begin() + 5, stored));
    EXPECT_EQ(std::vector<uint8_t>(stored + 5, stored + 48), std::vector<uint8_t>(43, 0));
}

TEST_F(Chunks, LablWithoutVratGoesToTheEnd) {
    write(makeQcp({1, 2}, false, {{"text", {'x'}}}));
    const size_t end = bytes().size();
    ASSERT_TRUE(chunks_->setLablChunk(&handle_, reinterpret_cast<const uint8_t*>("x"), 1));
    EXPECT_EQ(chunkAt(bytes(), "labl"), end);
}

TEST_F(Chunks, GettersNameWhatIsMissingOrMalformed) {
    write(makeQcp({1, 2}, true, {{"cnfg", {1, 2, 3}}, {"labl", std::vector<uint8_t>(40, 'x')}}));
    uint16_t value = 0;
    uint8_t buffer[48];
    EXPECT_FALSE(chunks_->getCnfgChunk(&handle_, &value));
    EXPECT_EQ(error(), "Error in getCnfgChunk: 'cnfg' chunk in QCP file has inproper size");
    EXPECT_FALSE(chunks_->getLablChunk(&handle_, buffer, 48));
    EXPECT_EQ(error(), "Error in getLablChunk: 'labl' chunk in QCP file has inproper size");
    EXPECT_EQ(chunks_->getTextChunk(&handle_, buffer, 48), 0u);
    EXPECT_EQ(error(), "Error in getTextChunk: unable to find 'text' chunk in QCP file");

    write(makeQcp({1, 2}));
    EXPECT_FALSE(chunks_->getCnfgChunk(&handle_, &value));
    EXPECT_EQ(error(), "Error in getCnfgChunk: unable to find 'cnfg' chunk in QCP file");
    EXPECT_FALSE(chunks_->getLablChunk(&handle_, buffer, 48));
    EXPECT_EQ(error(), "Error in getLablChunk: unable to find 'labl' chunk in QCP file");
}

TEST_F(Chunks, SettersLeaveAnythingButAQcpFileUntouched) {
    const std::vector<uint8_t> wav = readFileBytes(testDataPath("speech_8k_u8.wav"));
    const std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F',
                                       'I',  'F',  0,    1,    1,    0,    0,   1};
    const struct {
        std::vector<uint8_t> bytes;
        const char* why;
    } files[] = {
        {wav, "File does not appear to be a QCP file (RIFF type tag is not 'QLCM')"},
        {jpeg, "File is not a valid QCP file: File is not a RIFF file (no 'RIFF' header tag)"},
        {{'R', 'I', 'F', 'F', 0}, "File is not a valid QCP file: File is not big enough to be a RIFF file"},
    };
    const uint8_t text[] = {'t'};
    for (const auto& file : files) {
        write(file.bytes);
        EXPECT_FALSE(chunks_->setCnfgChunk(&handle_, 1));
        EXPECT_EQ(error(), std::string("Error in setCnfgChunk: ") + file.why);
        EXPECT_FALSE(chunks_->setTextChunk(&handle_, text, 1));
        EXPECT_EQ(error(), std::string("Error in setTextChunk: ") + file.why);
        EXPECT_FALSE(chunks_->setLablChunk(&handle_, text, 1));
        EXPECT_EQ(error(), std::string("Error in setLablChunk: ") + file.why);
        EXPECT_EQ(bytes(), file.bytes);
    }
    const std::string missing = dir_.file("missing.qcp");
    const FileHandle none = FileHandle::named(missing.c_str());
    EXPECT_FALSE(chunks_->setLablChunk(&none, text, 1));
    EXPECT_EQ(error(), "Error in setLablChunk: Error opening file: No such file or directory");
}

TEST_F(Chunks, WorkOnClientCallbackFiles) {
    TestMemoryFile memory;
    memory.bytes = makeQcp({9, 9, 9});
    const FileHandle h = memory.handle();
    ASSERT_TRUE(chunks_->setTextChunk(&h, reinterpret_cast<const uint8_t*>("note"), 4)) << error();
    ASSERT_TRUE(chunks_->setCnfgChunk(&h, 42)) << error();
    // 'cnfg' goes between 'data' and the text.
    EXPECT_LT(chunkAt(memory.bytes, "cnfg"), chunkAt(memory.bytes, "text"));
    EXPECT_EQ(getLe32(memory.bytes.data() + 4), memory.bytes.size() - 8);
    uint16_t value = 0;
    EXPECT_TRUE(chunks_->getCnfgChunk(&h, &value));
    EXPECT_EQ(value, 42);
    EXPECT_EQ(chunks_->getTextChunk(&h, nullptr, 0), 4u);
}

}  // namespace
}  // namespace sonx::test
