// The library's safe output seen from inside the process that writes it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "convert/convert_test_util.h"
#include "sonx/fileio/audio_file.h"
#include "sonx/fileio/safe_output.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

// A program that writes outputs through the library keeps the signals it
// handles (a fuzzer's timer, its own SIGALRM), during the write and after it.
volatile sig_atomic_t caughtByCaller = 0;

TEST(SafeOutput, SignalsTheCallerHandlesStayItsOwn) {
    struct sigaction own {}, before {};
    own.sa_handler = [](int) { caughtByCaller = caughtByCaller + 1; };
    sigemptyset(&own.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &own, &before), 0);
    TempDir dir;
    {
        const std::unique_ptr<SafeOutput> output = SafeOutput::begin(dir.file("out.qcp"));
        raise(SIGALRM);
        EXPECT_EQ(caughtByCaller, 1);
    }
    raise(SIGALRM);
    EXPECT_EQ(caughtByCaller, 2);
    struct sigaction now {};
    sigaction(SIGALRM, &before, &now);
    EXPECT_EQ(now.sa_handler, own.sa_handler);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "an output not committed left a file";
}

// A caller that adds steps of its own before commit (velconv's tags, the C
// interface's date) hands the library the temporary name: it is written as
// it is, and only the owner's commit gives it the final name.
TEST(SafeOutput, ATemporaryNameInTheMakingIsWrittenAsItIs) {
    TempDir dir;
    writeFileBytes(dir.file("out.qcp"), {'o', 'l', 'd'});
    const std::unique_ptr<SafeOutput> outer = SafeOutput::begin(dir.file("out.qcp"));
    const std::string temporary = outer->handle().fileName;
    {
        const std::unique_ptr<SafeOutput> inner = SafeOutput::begin(temporary);
        EXPECT_EQ(std::string(inner->handle().fileName), temporary);
        writeFileBytes(temporary, {'n', 'e', 'w'});
        EXPECT_EQ(inner->commit(), 0);
    }
    EXPECT_TRUE(std::filesystem::exists(temporary)) << "the inner output removed its owner's file";
    EXPECT_EQ(readFileBytes(dir.file("out.qcp")), (std::vector<uint8_t>{'o', 'l', 'd'}));
    outer->commit();
    EXPECT_EQ(readFileBytes(dir.file("out.qcp")), (std::vector<uint8_t>{'n', 'e', 'w'}));
    EXPECT_FALSE(std::filesystem::exists(temporary));
}

// Writers use the temporary's own descriptor. A second writer that creates
// the output finds it empty; one still writing when the output is discarded
// writes into the removed file, not into a descriptor that was closed and
// given to the next file opened; the descriptor closes with its last user.
TEST(SafeOutput, WritersBorrowTheTemporarysDescriptorForAsLongAsTheyHoldIt) {
    TempDir dir;
    const int descriptorsBefore = openDescriptors();
    std::unique_ptr<SafeOutput> output = SafeOutput::begin(dir.file("out.qcp"));
    const std::string temporary = output->handle().fileName;
    const uint8_t bytes[3] = {1, 2, 3};
    AudioFile first, second;
    for (AudioFile* writer : {&first, &second}) {
        writer->handle = output->handle();
        openFile(*writer, true, true);
        EXPECT_TRUE(readFileBytes(temporary).empty());
        writeFile(*writer, bytes, 3);
        if (writer == &first) closeFile(first, false);
    }
    output.reset();
    EXPECT_FALSE(std::filesystem::exists(temporary));
    const int next = ::open(dir.file("next").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(next, 0);
    writeFile(second, bytes, 3);
    closeFile(second, false);
    EXPECT_TRUE(readFileBytes(dir.file("next")).empty());
    ::close(next);
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"next"});
}

}  // namespace
}  // namespace sonx::test
