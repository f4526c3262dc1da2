#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fileio/fileio_test_util.h"
#include "sonx/fileio/audio_file.h"

namespace sonx {
namespace {

using test::riff;
using test::Chunk;
using test::errorOf;
using test::pattern;

// Every case runs over a named file and over an in-memory client file.
class RiffEdit : public ::testing::TestWithParam<bool> {
protected:
    void open(const std::vector<uint8_t>& image) {
        tf.set(image);
        tf.open(file, FILE_TYPE_QCP, false, true);
    }
    void TearDown() override { closeFile(file, true); }
    // The file equals the image built from `chunks`, and the context agrees.
    void expectImage(const std::vector<Chunk>& chunks, const char* what) {
        const auto want = riff("QLCM", chunks);
        const auto got = tf.bytes();
        ASSERT_EQ(got.size(), want.size()) << what;
        size_t firstDiff = 0;
        while (firstDiff < got.size() && got[firstDiff] == want[firstDiff]) ++firstDiff;
        EXPECT_EQ(firstDiff, got.size()) << what << ": first differing byte";
        EXPECT_EQ(file.riff.size, want.size()) << what;
    }

    test::TempDir dir;
    test::TestFile tf{GetParam(), dir, "edit.qcp"};
    AudioFile file;
};

TEST_P(RiffEdit, ReplaceGrowAndShrinkInTheMiddleOfALargeFile) {
    std::vector<Chunk> chunks = {{"fmt ", pattern(16, 1)},
                                 {"mid ", pattern(4, 2)},
                                 {"data", pattern(13001, 3)},
                                 {"tail", pattern(5, 4)}};
    open(riff("QLCM", chunks));
    ASSERT_GT(tf.bytes().size(), 3u * 4096);
    // Sizes chosen to cross the 4096-byte block and the saved-piece boundaries.
    const uint32_t sizes[] = {6, 4, 2, 0, 7, 5000, 4096 * 3 + 3, 1, 13002 + 40, 3};
    unsigned seed = 10;
    for (uint32_t n : sizes) {
        chunks[1].data = pattern(n, seed++);
        setRiffChunk(file.riff, "mid ", nullptr, chunks[1].data.data(), n, 12, 0);
        expectImage(chunks, ("mid of " + std::to_string(n)).c_str());
        if (HasFailure()) return;
    }
    // The last chunk, and the first one, can be replaced as well.
    chunks[3].data = pattern(9000, 40);
    setRiffChunk(file.riff, "tail", nullptr, chunks[3].data.data(), 9000, 12, 0);
    expectImage(chunks, "grown tail");
    chunks[0].data = pattern(1, 41);
    setRiffChunk(file.riff, "fmt ", nullptr, chunks[0].data.data(), 1, 12, 0);
    expectImage(chunks, "shrunk first");
}

TEST_P(RiffEdit, InsertAfterNamedChunkOrAtTheEnd) {
    std::vector<Chunk> chunks = {
        {"fmt ", pattern(150, 1)}, {"vrat", pattern(8, 2)}, {"data", pattern(9001, 3)}};
    open(riff("QLCM", chunks));
    const auto label = pattern(48, 4);
    setRiffChunk(file.riff, "labl", "vrat", label.data(), 48, 12, 0);
    chunks.insert(chunks.begin() + 2, {"labl", label});
    expectImage(chunks, "labl after vrat");

    const std::vector<uint8_t> cnfg = {7, 0};
    setRiffChunk(file.riff, "cnfg", "none", cnfg.data(), 2, 12, 0);
    chunks.push_back({"cnfg", cnfg});
    expectImage(chunks, "cnfg appended");

    const std::vector<uint8_t> text = {'a', 'b', 'c', 'd', 'e'};
    setRiffChunk(file.riff, "text", "data", text.data(), 5, 12, 0);
    chunks.insert(chunks.begin() + 4, {"text", text});
    expectImage(chunks, "odd text after data");

    // An empty chunk from a null pointer.
    setRiffChunk(file.riff, "none", nullptr, nullptr, 0, 12, 0);
    chunks.push_back({"none", {}});
    expectImage(chunks, "empty chunk");
}

TEST_P(RiffEdit, RegionStartAtAndPastTheEnd) {
    std::vector<Chunk> chunks = {{"fmt ", pattern(10, 1)}};
    open(riff("QLCM", chunks));
    const uint32_t size = file.riff.size;
    const std::vector<uint8_t> extra = {1, 2, 3};
    EXPECT_EQ(errorOf([&] { setRiffChunk(file.riff, "xtra", nullptr, extra.data(), 3, size + 1, 0); }),
              "Cannot set RIFF chunk past end of file");
    expectImage(chunks, "untouched");
    setRiffChunk(file.riff, "xtra", nullptr, extra.data(), 3, size, 0);
    chunks.push_back({"xtra", extra});
    expectImage(chunks, "appended at the end");
    // Region start 0 reads the header as one chunk and so appends too.
    setRiffChunk(file.riff, "more", nullptr, extra.data(), 2, 0, 0);
    chunks.push_back({"more", {1, 2}});
    expectImage(chunks, "appended from 0");
    // A chunk outside a limited region is not replaced: the new one goes at the region's end.
    setRiffChunk(file.riff, "more", nullptr, extra.data(), 1, 12, 18);
    chunks.insert(chunks.begin() + 1, {"more", {1}});
    expectImage(chunks, "inserted at region end");
}

TEST_P(RiffEdit, NewFileHeaderAndChunks) {
    tf.open(file, FILE_TYPE_WAV, true, true);
    writeRiffHeader(file.riff, "WAVE");
    EXPECT_EQ(file.riff.size, 12u);
    const auto fmt = pattern(16, 5);
    setRiffChunk(file.riff, "fmt ", nullptr, fmt.data(), 16, 0, 0);
    setRiffChunk(file.riff, "data", nullptr, nullptr, 0, 0, 0);
    auto want = riff("WAVE", {{"fmt ", fmt}, {"data", {}}});
    EXPECT_EQ(tf.bytes(), want);
    EXPECT_EQ(file.riff.size, 44u);
}

INSTANTIATE_TEST_SUITE_P(NamedAndClient, RiffEdit, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Named" : "Client"; });

// One sequence of edits over both kinds of handle gives identical files.
TEST(RiffEditSameBytes, NamedAndClientAgree) {
    test::TempDir dir;
    std::vector<std::vector<uint8_t>> results;
    for (bool named : {true, false}) {
        test::TestFile tf(named, dir, "same.qcp");
        AudioFile file;
        tf.open(file, FILE_TYPE_QCP, true, true);
        writeRiffHeader(file.riff, "QLCM");
        for (int i = 0; i < 6; ++i) {
            const auto data = pattern(700u * i + 3, i);
            const char* ids[] = {"aaaa", "bbbb", "cccc"};
            setRiffChunk(file.riff, ids[i % 3], i % 2 ? "aaaa" : nullptr, data.data(),
                         static_cast<uint32_t>(data.size()), 12, 0);
        }
        const auto big = pattern(6000, 9);
        setRiffChunk(file.riff, "bbbb", nullptr, big.data(), 6000, 12, 0);
        setRiffChunk(file.riff, "aaaa", nullptr, big.data(), 11, 12, 0);
        closeFile(file, false);
        results.push_back(tf.bytes());
    }
    EXPECT_GT(results[0].size(), 8000u);
    EXPECT_EQ(results[0], results[1]);
}

class RiffRead : public ::testing::Test {
protected:
    void open(const std::vector<uint8_t>& image) {
        mem.bytes = image;
        file.handle = mem.handle();
        file.fileFormat.fileType = FILE_TYPE_WAV;
        openFile(file, false, false);
    }
    void TearDown() override { closeFile(file, true); }
    test::TestMemoryFile mem;
    AudioFile file;
};

TEST_F(RiffRead, HeaderChecks) {
    uint8_t form[4];
    open({'R', 'I', 'F', 'F', 4, 0, 0, 0, 'Q', 'L', 'C', 'M'});
    readRiffHeader(file.riff, form);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(form), 4), "QLCM");
    closeFile(file, true);
    open({'R', 'I', 'F', 'F', 4, 0, 0, 0, 'Q', 'L', 'C'});
    EXPECT_EQ(errorOf([&] { readRiffHeader(file.riff, form); }), "File is not big enough to be a RIFF file");
    closeFile(file, true);
    open({'R', 'I', 'F', 'X', 4, 0, 0, 0, 'Q', 'L', 'C', 'M'});
    EXPECT_EQ(errorOf([&] { readRiffHeader(file.riff, form); }),
              "File is not a RIFF file (no 'RIFF' header tag)");
}

TEST_F(RiffRead, HeaderSizeLimitsTheWalk) {
    auto image = riff("WAVE", {{"fmt ", pattern(88, 1)}, {"late", pattern(900, 2)}});
    image[4] = 100;  // claims 100: context size 108
    image[5] = image[6] = image[7] = 0;
    open(image);
    uint8_t form[4];
    readRiffHeader(file.riff, form);
    EXPECT_EQ(file.riff.size, 108u);
    uint32_t pos = 12, len = 96;
    EXPECT_TRUE(findRiffChunk(file.riff, "fmt ", pos, len));
    EXPECT_EQ(pos, 20u);
    EXPECT_EQ(len, 88u);
    pos = 12;
    len = 96;
    EXPECT_FALSE(findRiffChunk(file.riff, "late", pos, len));
    EXPECT_EQ(pos, 12u);
    EXPECT_EQ(len, 96u);
}

TEST_F(RiffRead, OddLengthsArePaddedInTheWalk) {
    open(riff("WAVE", {{"odd ", pattern(5, 1)}, {"next", pattern(3, 2)}}));
    uint32_t pos = 12, len = file.riff.size - 12;
    ASSERT_TRUE(findRiffChunk(file.riff, "next", pos, len));
    EXPECT_EQ(pos, 12u + 8 + 6 + 8);
    EXPECT_EQ(len, 3u);
}

// A length that would wrap a 32-bit sum must not pass the bounds test.
TEST_F(RiffRead, LengthsNearFourGibAreBad) {
    for (uint32_t n : {0xFFFFFFF8u, 0xFFFFFFFFu, 0xFFFFFFF0u}) {
        auto image = riff("WAVE", {{"fmt ", pattern(16, 1)}, {"data", pattern(10, 2)}});
        for (int i = 0; i < 4; ++i) image[16 + i] = static_cast<uint8_t>(n >> (8 * i));
        open(image);
        uint32_t pos = 12, len = file.riff.size - 12;
        EXPECT_EQ(errorOf([&] { findRiffChunk(file.riff, "data", pos, len); }),
                  "Bad length for 'fmt ' chunk (" + std::to_string(n) + ") at pos = 12 in RIFF file");
        const uint8_t one = 1;
        EXPECT_EQ(errorOf([&] { setRiffChunk(file.riff, "data", nullptr, &one, 1, 12, 0); }),
                  "Bad length for 'fmt ' chunk (" + std::to_string(n) + ") at pos = 12 in RIFF file");
        closeFile(file, true);
    }
    // A chunk fits when its header and data do: one byte past the end is a cut.
    auto image = riff("WAVE", {{"data", pattern(10, 2)}});
    open(image);
    uint32_t pos = 12, len = 18;
    EXPECT_TRUE(findRiffChunk(file.riff, "data", pos, len));
    EXPECT_EQ(len, 10u);
    for (uint8_t claimed : {11, 18}) {
        image[16] = claimed;
        closeFile(file, true);
        open(image);
        pos = 12;
        len = 18;
        EXPECT_EQ(errorOf([&] { findRiffChunk(file.riff, "data", pos, len); }),
                  "Bad length for 'data' chunk (" + std::to_string(claimed) + ") at pos = 12 in RIFF file");
    }
}

// A last chunk claiming a few bytes past the end is a cut file: setting it
// is refused and the file left as it was.
TEST_F(RiffRead, ReplacingAnOverlongLastChunkIsRefused) {
    auto image = riff("QLCM", {{"fmt ", pattern(6, 1)}, {"data", pattern(10, 2)}});
    image[30] = 16;  // 'data' at 26 claims 16 but ends at 44, where it would end at 50
    mem.bytes = image;
    file.handle = mem.handle();
    file.fileFormat.fileType = FILE_TYPE_QCP;
    openFile(file, false, true);
    const auto data = pattern(4, 3);
    EXPECT_EQ(errorOf([&] { setRiffChunk(file.riff, "data", nullptr, data.data(), 4, 12, 0); }),
              "Bad length for 'data' chunk (16) at pos = 26 in RIFF file");
    EXPECT_EQ(mem.bytes, image);
}

}  // namespace
}  // namespace sonx
