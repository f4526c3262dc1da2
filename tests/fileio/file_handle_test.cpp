#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fileio/fileio_test_util.h"
#include "sonx/codec/mulaw_codec.h"
#include "sonx/fileio/audio_file.h"

namespace sonx {
namespace {

using test::errorOf;
using test::TestMemoryFile;
using test::TempDir;

TEST(OpenFile, NamedFailuresCarrySystemTextAndLeaveRecordClosed) {
    TempDir dir;
    AudioFile file;
    const std::string missing = dir.file("missing.wav");
    file.handle = FileHandle::named(missing.c_str());
    EXPECT_EQ(errorOf([&] { openFile(file, false, false); }),
              "Error opening file: No such file or directory");
    EXPECT_EQ(file.handle.type, FILE_HANDLE_CLOSED);

    const std::string inDir = dir.file("nodir/x.qcp");
    file.handle = FileHandle::named(inDir.c_str());
    EXPECT_EQ(errorOf([&] { openFile(file, true, true); }), "Error opening file: No such file or directory");

    file.handle.type = 3;
    EXPECT_EQ(errorOf([&] { openFile(file, false, false); }), "Invalid file handle type given");
    EXPECT_EQ(file.handle.type, FILE_HANDLE_CLOSED);

    file.handle = FileHandle::client(nullptr, 0);
    EXPECT_EQ(errorOf([&] { openFile(file, false, false); }), "No client callback given in client handle");
    EXPECT_EQ(file.handle.type, FILE_HANDLE_CLOSED);
}

TEST(OpenFile, NamedSizesAndOperationsOnClosedRecords) {
    TempDir dir;
    const std::string empty = dir.file("empty.wav");
    test::writeFileBytes(empty, {});
    AudioFile file;
    file.handle = FileHandle::named(empty.c_str());
    file.fileFormat.fileType = FILE_TYPE_WAV;
    file.fileFormat.size = 1234;
    openFile(file, false, false);
    EXPECT_EQ(file.fileFormat.size, 0u);
    EXPECT_EQ(file.riff.size, 0u);
    uint8_t form[4];
    EXPECT_EQ(errorOf([&] { readRiffHeader(file.riff, form); }), "File is not big enough to be a RIFF file");
    uint8_t b;
    EXPECT_EQ(errorOf([&] { readFile(file, &b, 1); }), "Error reading from file: Unexpected end of file");
    closeFile(file, false);
    EXPECT_EQ(file.handle.type, FILE_HANDLE_CLOSED);
    EXPECT_EQ(errorOf([&] { readFile(file, &b, 1); }), "Invalid file handle type given");
    EXPECT_EQ(errorOf([&] { seekFile(file, 0); }), "Invalid file handle type given");
    closeFile(file, false);  // closing twice is harmless

    // Existing content: size measured, position back at 0; raw files get no RIFF context.
    const std::string some = dir.file("some.raw");
    test::writeFileBytes(some, {1, 2, 3, 4, 5});
    file.handle = FileHandle::named(some.c_str());
    file.fileFormat.fileType = FILE_TYPE_RAW;
    openFile(file, false, true);
    EXPECT_EQ(file.fileFormat.size, 5u);
    EXPECT_EQ(file.riff.read, nullptr);
    uint8_t two[2];
    readFile(file, two, 2);
    EXPECT_EQ(two[0], 1);
    EXPECT_EQ(truncateFile(file, 3), 0);
    seekFile(file, 2);
    writeFile(file, two, 2);
    closeFile(file, false);
    EXPECT_EQ(test::readFileBytes(some), (std::vector<uint8_t>{1, 2, 1, 2}));

    // Create truncates an existing file.
    file.handle = FileHandle::named(some.c_str());
    openFile(file, true, true);
    EXPECT_EQ(file.fileFormat.size, 0u);
    closeFile(file, false);
    EXPECT_TRUE(test::readFileBytes(some).empty());
}

// Small reads come from a block read ahead, larger ones straight from the
// file, and a file short enough is held whole once read past its first
// block (or at once, when shorter still); either way, at any position,
// they give the file's bytes, and a read past the end fails whole.
TEST(ReadFile, NamedReadsOfAnySizeAtAnyPositionGiveTheFilesBytes) {
    TempDir dir;
    for (const uint32_t size : {10000u, 70000u, 1200000u}) {
        std::vector<uint8_t> bytes(size);
        for (size_t n = 0; n < bytes.size(); ++n) bytes[n] = static_cast<uint8_t>(n * 7 + n / 251);
        const std::string name = dir.file("bytes.raw");
        test::writeFileBytes(name, bytes);
        AudioFile file;
        file.handle = FileHandle::named(name.c_str());
        openFile(file, false, false);
        struct Read {
            uint32_t position, count;
        };
        const Read reads[] = {{0, 4},     {4, 4},     {8, 150},        {2, 8},         {4090, 12}, {4096, 600},
                              {100, 511}, {100, 512}, {size - 10, 10}, {size - 5, 4}, {0, 0},     {4100, 3}};
        for (const Read& read : reads) {
            std::vector<uint8_t> got(read.count);
            seekFile(file, read.position);
            readFile(file, got.data(), read.count);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + read.position))
                << size << ": " << read.position << "+" << read.count;
        }
        // The next read starts where the last ended.
        std::vector<uint8_t> run(300);
        for (size_t n = 0; n < run.size(); n += 3) readFile(file, &run[n], 3);
        EXPECT_TRUE(std::equal(run.begin(), run.end(), bytes.begin() + 4103)) << size;

        uint8_t tail[4];
        seekFile(file, size - 2);
        EXPECT_EQ(errorOf([&] { readFile(file, tail, 4); }), "Error reading from file: Unexpected end of file");
        seekFile(file, size - 4);
        readFile(file, tail, 4);
        EXPECT_TRUE(std::equal(tail, tail + 4, bytes.begin() + (size - 4))) << size;
        closeFile(file, false);
    }
}

TEST(OpenFile, ClientSizeQueries) {
    TestMemoryFile mem;
    mem.bytes = {1, 2, 3, 4, 5, 6};
    AudioFile file;
    file.handle = mem.handle();
    file.fileFormat.fileType = FILE_TYPE_QCP;
    openFile(file, true, true);
    EXPECT_EQ(mem.sizeCalls, 1);  // a created file is emptied, and its size checked
    EXPECT_TRUE(mem.bytes.empty());
    EXPECT_EQ(file.fileFormat.size, 0u);
    closeFile(file, false);

    // A client that cannot empty its file is refused rather than written over.
    mem.sizeAnswer = 5;
    file.handle = mem.handle();
    EXPECT_THROW(
        {
            try {
                openFile(file, true, true);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Client handle truncate failed (desired = 0, actual = 5)");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(file.handle.type, FILE_HANDLE_CLOSED);
    mem.sizeAnswer.reset();
    mem.sizeCalls = 0;
    mem.bytes = {1, 2, 3, 4, 5, 6};

    file.handle = mem.handle();
    openFile(file, false, false);
    EXPECT_EQ(mem.sizeCalls, 1);
    EXPECT_EQ(file.fileFormat.size, 6u);
    EXPECT_EQ(file.riff.size, 6u);
    EXPECT_EQ(file.riff.context, &file);
    mem.bytes.push_back(7);
    seekFile(file, 3);
    seekFile(file, 1);
    EXPECT_EQ(mem.sizeCalls, 3);
    EXPECT_EQ(file.fileFormat.size, 7u);
    mem.truncateAnswer = -42;
    EXPECT_EQ(truncateFile(file, 2), -42);  // passed back unchecked
    EXPECT_EQ(mem.bytes.size(), 2u);
    closeFile(file, false);

    mem.sizeAnswer = 0x7FFFFFFF;  // claims far more than it holds
    mem.bytes = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'Q', 'L', 'C', 'M'};
    file.handle = mem.handle();
    openFile(file, false, false);
    uint8_t form[4];
    readRiffHeader(file.riff, form);
    EXPECT_EQ(file.riff.size, 12u);
    closeFile(file, true);
}

TEST(ClientFile, ShortCountsAndWrongPositionsFail) {
    TestMemoryFile mem;
    mem.bytes = std::vector<uint8_t>(16, 9);
    AudioFile file;
    file.handle = mem.handle();
    openFile(file, false, true);
    uint8_t buf[4];
    mem.readAnswer = 2;
    EXPECT_EQ(errorOf([&] { readFile(file, buf, 4); }),
              "Client handle read failed (desired = 4, actual = 2)");
    mem.readAnswer.reset();
    mem.writeAnswer = 0;
    EXPECT_EQ(errorOf([&] { writeFile(file, buf, 3); }),
              "Client handle write failed (desired = 3, actual = 0)");
    mem.writeAnswer.reset();
    mem.seekSkew = 5;
    EXPECT_EQ(errorOf([&] { seekFile(file, 10); }), "Client handle seek failed (pos = 10, actual = 15)");
    mem.seekSkew = 0;
    // Reading past what the client holds is a short read like any other.
    seekFile(file, 14);
    EXPECT_EQ(errorOf([&] { readFile(file, buf, 4); }),
              "Client handle read failed (desired = 4, actual = 2)");
    closeFile(file, false);

    file.handle = mem.handle();
    openFile(file, false, false);
    file.handle.callback = nullptr;
    EXPECT_EQ(errorOf([&] { readFile(file, buf, 1); }), "No client callback given in client handle");
    EXPECT_EQ(errorOf([&] { truncateFile(file, 1); }), "No client callback given in client handle");
    closeFile(file, false);
    EXPECT_EQ(file.handle.type, FILE_HANDLE_CLOSED);
}

// The 'data' chunk's pad byte is written at close when its length is odd.
TEST(CloseFile, PadByteForOddDataOnWrittenRiffFiles) {
    TempDir dir;
    for (bool named : {true, false}) {
        for (const Guid* type : {&FILE_TYPE_QCP, &FILE_TYPE_WAV, &FILE_TYPE_RAW}) {
            for (uint32_t end : {9u, 10u}) {
                test::TestFile tf(named, dir, "pad.bin");
                AudioFile file;
                tf.open(file, *type, true, true);
                const auto data = test::pattern(end, 1);
                writeFile(file, data.data(), end);
                file.dataPosition = end;
                closeFile(file, false);
                const auto bytes = tf.bytes();
                const bool padded = end == 9 && *type != FILE_TYPE_RAW;
                ASSERT_EQ(bytes.size(), padded ? 10u : end) << named << " " << type->toString();
                if (padded) {
                    EXPECT_EQ(bytes[9], 0);
                }
            }
        }
    }
    // Files opened for reading are never changed.
    const std::string path = dir.file("odd.qcp");
    test::writeFileBytes(path, {1, 2, 3});
    AudioFile file;
    file.handle = FileHandle::named(path.c_str());
    file.fileFormat.fileType = FILE_TYPE_QCP;
    openFile(file, false, false);
    file.dataPosition = 3;
    closeFile(file, false);
    EXPECT_EQ(test::readFileBytes(path).size(), 3u);
}

TEST(CloseFile, ReleasesAttachedCodecsEvenWhenClosed) {
    auto* codec = createInstance<ISonxCodec>(CODEC_G711_ULAW);
    ASSERT_NE(codec, nullptr);
    auto* object = static_cast<MuLawCodec*>(codec);
    AudioFile file;
    file.decoder = codec;
    file.encoder = codec;
    codec->AddRef();
    file.decoderError = queryInterface<ISonxError>(codec);
    codec->AddRef();  // kept by the test
    EXPECT_EQ(object->refCount(), 4);
    closeFile(file, false);
    EXPECT_EQ(object->refCount(), 1);
    EXPECT_EQ(file.decoder, nullptr);
    EXPECT_EQ(file.decoderError, nullptr);
    EXPECT_EQ(file.encoder, nullptr);
    EXPECT_EQ(codec->Release(), 0);
}

}  // namespace
}  // namespace sonx
