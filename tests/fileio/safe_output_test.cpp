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

}  // namespace
}  // namespace sonx::test
