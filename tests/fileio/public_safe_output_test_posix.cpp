// Safe output and spools through the public interface, in both voices: what
// a front end that writes its own files relies on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "sonx/sonx.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

const std::vector<uint8_t> kOld = {'o', 'l', 'd'};
const std::vector<uint8_t> kNew = {'n', 'e', 'w', ' ', 'b', 'y', 't', 'e', 's'};

// Writes the bytes into a handle as the library's writers reach it.
void writeInto(const FileHandle& file, const std::vector<uint8_t>& bytes) {
    if (file.type == FILE_HANDLE_NAME) return writeFileBytes(file.fileName, bytes);
    ASSERT_EQ(file.type, FILE_HANDLE_CLIENT);
    std::vector<uint8_t> copy = bytes;
    ASSERT_EQ(file.callback(CLIENT_FILE_WRITE, copy.data(), 0, static_cast<int32_t>(copy.size()), file.clientData),
              static_cast<int32_t>(copy.size()));
}

enum class Voice { C, Cxx };
enum class Ending { Commit, Discard };

struct OutputCase {
    Voice voice;
    Ending ending;
    bool hardLinked;  // a second name: the old file is rewritten in place
    std::vector<uint8_t> expected;
};

// Begins an output on `name`, writes kNew and ends it; returns the status of
// the commit (SONX_OK for a discard).
int32_t makeOutput(const OutputCase& test, const std::string& name) {
    if (test.voice == Voice::C) {
        sonx_output* output = nullptr;
        EXPECT_EQ(sonx_output_begin(name.c_str(), nullptr, &output), SONX_OK);
        sonx_file_handle handle;
        EXPECT_EQ(sonx_output_handle(output, &handle), SONX_OK);
        writeInto(fileHandleOf(handle), kNew);
        if (test.ending == Ending::Discard) {
            sonx_output_discard(output);
            return SONX_OK;
        }
        int unsynced = -1;
        const int status = sonx_output_commit(output, &unsynced);
        EXPECT_EQ(unsynced, 0);
        return status;
    }
    SafeOutputFile output;
    SystemFailure failure;
    EXPECT_EQ(output.begin(name.c_str(), OutputRequest{}, failure), SONX_OK) << failure.message;
    writeInto(output.handle(), kNew);
    if (test.ending == Ending::Discard) return SONX_OK;  // the destructor discards
    int unsynced = -1;
    const int32_t status = output.commit(unsynced, failure);
    EXPECT_FALSE(output.begun());
    return status;
}

TEST(PublicSafeOutput, CommitReplacesAndDiscardLeavesTheOldFile) {
    const OutputCase cases[] = {
        {Voice::C, Ending::Commit, false, kNew},     {Voice::C, Ending::Discard, false, kOld},
        {Voice::Cxx, Ending::Commit, false, kNew},   {Voice::Cxx, Ending::Discard, false, kOld},
        {Voice::C, Ending::Commit, true, kNew},      {Voice::Cxx, Ending::Discard, true, kOld},
    };
    for (const OutputCase& test : cases) {
        SCOPED_TRACE(testing::Message() << "voice " << static_cast<int>(test.voice) << ", ending "
                                        << static_cast<int>(test.ending) << ", linked " << test.hardLinked);
        TempDir dir;
        const std::string name = dir.file("out.qcp");
        writeFileBytes(name, kOld);
        if (test.hardLinked) {
            ASSERT_EQ(::link(name.c_str(), dir.file("other").c_str()), 0);
        }
        EXPECT_EQ(makeOutput(test, name), SONX_OK);
        EXPECT_EQ(readFileBytes(name), test.expected);
        if (test.hardLinked) {
            EXPECT_EQ(readFileBytes(dir.file("other")), test.expected);
        }
        // Nothing but the files the test made: no temporary is left.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), test.hardLinked ? 2 : 1);
    }
}

// Outputs committed as one group: new files and replaced ones, one
// rewritten in place (a second name), one on another file system when a
// tmpfs is at hand, and one whose temporary file vanished before the commit.
// Only that one fails, with its old file as it was; every other takes its
// name with its bytes, and no temporary file is left.
TEST(PublicSafeOutput, AGroupCommitPutsEachInPlaceAndAFailureStaysItsOwn) {
    TempDir dir;
    std::vector<std::string> names = {dir.file("new.wav"), dir.file("old.wav"), dir.file("linked.wav"),
                                      dir.file("lost.wav")};
    writeFileBytes(names[1], kOld);
    writeFileBytes(names[2], kOld);
    writeFileBytes(names[3], kOld);
    ASSERT_EQ(::link(names[2].c_str(), dir.file("second name").c_str()), 0);
    const std::string elsewhere = "/dev/shm/sonx-group-" + std::to_string(::getpid());
    const bool tmpfs = std::filesystem::create_directory(elsewhere);
    if (tmpfs) names.push_back(elsewhere + "/other.wav");
    constexpr std::size_t kLost = 3;

    for (const Voice voice : {Voice::C, Voice::Cxx}) {
        SCOPED_TRACE(voice == Voice::C ? "C" : "C++");
        std::vector<CommitOutcome> outcomes;
        if (voice == Voice::Cxx) {
            std::vector<SafeOutputFile> outputs(names.size());
            std::vector<SafeOutputFile*> group;
            for (std::size_t n = 0; n < names.size(); ++n) {
                SystemFailure failure;
                ASSERT_EQ(outputs[n].begin(names[n].c_str(), OutputRequest{}, failure), SONX_OK) << failure.message;
                writeInto(outputs[n].handle(), kNew);
                if (n == kLost) {
                    ASSERT_EQ(::unlink(outputs[n].handle().fileName), 0);
                }
                group.push_back(&outputs[n]);
            }
            outcomes = commitTogether(group);
            for (const SafeOutputFile& output : outputs) EXPECT_FALSE(output.begun());
        } else {
            std::vector<sonx_output*> handles(names.size());
            for (std::size_t n = 0; n < names.size(); ++n) {
                ASSERT_EQ(sonx_output_begin(names[n].c_str(), nullptr, &handles[n]), SONX_OK);
                sonx_file_handle handle;
                ASSERT_EQ(sonx_output_handle(handles[n], &handle), SONX_OK);
                writeInto(fileHandleOf(handle), kNew);
                if (n == kLost) {
                    ASSERT_EQ(::unlink(handle.name), 0);
                }
            }
            std::vector<sonx_output_outcome> told(handles.size());
            EXPECT_EQ(sonx_output_commit_group(handles.data(), handles.size(), told.data()), SONX_ERR_WRITE);
            EXPECT_EQ(sonx_last_error(nullptr, nullptr, 0), SONX_ERR_WRITE);
            for (const sonx_output_outcome& one : told)
                outcomes.push_back({one.status, one.unsynced_error, {one.status, one.message, one.system_error, ""}});
        }
        ASSERT_EQ(outcomes.size(), names.size());
        for (std::size_t n = 0; n < names.size(); ++n) {
            SCOPED_TRACE(names[n]);
            EXPECT_EQ(outcomes[n].unsyncedError, 0);
            if (n == kLost) {
                EXPECT_EQ(outcomes[n].status, SONX_ERR_WRITE);
                EXPECT_EQ(outcomes[n].failure.systemError, ENOENT);
                EXPECT_EQ(outcomes[n].failure.message, std::string("Error writing to file: ") + systemErrorText(ENOENT));
                EXPECT_EQ(readFileBytes(names[n]), kOld);
            } else {
                EXPECT_EQ(outcomes[n].status, SONX_OK) << outcomes[n].failure.message;
                EXPECT_EQ(readFileBytes(names[n]), kNew);
            }
        }
        EXPECT_EQ(readFileBytes(dir.file("second name")), kNew);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 5);
        for (std::size_t n = 0; n < names.size(); ++n)
            if (n != kLost) writeFileBytes(names[n], kOld);
    }
    if (tmpfs) {
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(elsewhere), {}), 1);
        std::filesystem::remove_all(elsewhere);
    }
    EXPECT_EQ(sonx_output_commit_group(nullptr, 1, nullptr), SONX_ERR_INVALID);
}

// An output that is its own input under another name, and an output in a
// folder that does not exist: refused at begin, with the system's side told.
TEST(PublicSafeOutput, RefusalsCarryTheStatusAndTheSystemError) {
    TempDir dir;
    const std::string input = dir.file("in.wav");
    writeFileBytes(input, kOld);
    ASSERT_EQ(::symlink(input.c_str(), dir.file("link.wav").c_str()), 0);
    OutputRequest request;
    request.input = input.c_str();

    SafeOutputFile output;
    SystemFailure failure;
    EXPECT_EQ(output.begin(dir.file("link.wav").c_str(), request, failure), SONX_ERR_INVALID);
    EXPECT_EQ(failure.status, SONX_ERR_INVALID);
    EXPECT_NE(failure.message.find("would destroy the input"), std::string::npos) << failure.message;
    EXPECT_EQ(failure.systemError, 0);
    EXPECT_FALSE(output.begun());
    EXPECT_EQ(readFileBytes(input), kOld);

    sonx_output* c = nullptr;
    const sonx_output_request same = {input.c_str(), 1};
    EXPECT_EQ(sonx_output_begin(input.c_str(), &same, &c), SONX_ERR_INVALID);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(readFileBytes(input), kOld);

    EXPECT_EQ(output.begin(dir.file("missing/out.qcp").c_str(), OutputRequest{}, failure), SONX_ERR_OPEN);
    EXPECT_EQ(failure.systemError, ENOENT);
    EXPECT_EQ(failure.message, std::string("Error opening file: ") + systemErrorText(ENOENT));
    int number = 0;
    EXPECT_EQ(sonx_last_system_error(&number, nullptr, 0), SONX_ERR_OPEN);
    EXPECT_EQ(number, ENOENT);
}

// A spool takes a pipe's bytes and serves them back, through its calls and
// through its handle.
TEST(PublicSafeOutput, ASpoolHoldsWhatADescriptorDelivered) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ASSERT_EQ(::write(pipeEnds[1], kNew.data(), kNew.size()), static_cast<ssize_t>(kNew.size()));
    ::close(pipeEnds[1]);
    SpoolFile spool;
    SystemFailure failure;
    ASSERT_EQ(spool.create(failure), SONX_OK) << failure.message;
    ASSERT_EQ(spool.fill(pipeEnds[0], "the pipe", failure), SONX_OK) << failure.message;
    ::close(pipeEnds[0]);
    uint64_t size = 0;
    ASSERT_EQ(spool.size(size, failure), SONX_OK);
    EXPECT_EQ(size, kNew.size());
    ASSERT_EQ(spool.writeAt(0, "N", 1, failure), SONX_OK);
    const FileHandle handle = spool.handle();
    ASSERT_EQ(handle.type, FILE_HANDLE_CLIENT);
    std::vector<uint8_t> back(16);
    EXPECT_EQ(handle.callback(CLIENT_FILE_READ, back.data(), 0, 16, handle.clientData), 9);
    EXPECT_EQ(std::string(back.begin(), back.begin() + 9), "New bytes");
    size_t got = 0;
    EXPECT_EQ(spool.readAt(8, back.data(), 16, got, failure), SONX_OK);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(sonx_spool_fill(nullptr, 0, "x"), SONX_ERR_INVALID);
}

}  // namespace
}  // namespace sonx::test
