// The library's safe output seen from inside the process that writes it.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

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

}  // namespace
}  // namespace sonx::test
