// A batch with several files converting at once must print and write what
// one file at a time does, and a signal at any moment must leave only
// complete outputs under final names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "convert/convert_test_util.h"
#include "support/process.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

namespace fs = std::filesystem;

// The longest file comes first, so the later ones finish before it: a cut
// QCP whose salvage warns, a file that is no audio, short WAVs.
TEST(ParallelBatch, PrintsAndWritesWhatOneFileAtATimeDoes) {
    TempDir dir;
    const std::vector<std::string> inputs = {"a.wav", "b.qcp", "c.wav", "d.wav", "e.wav", "f.wav"};
    writeFileBytes(dir.file("a.wav"), speechWav(30));
    writeFileBytes(dir.file("b.wav"), speechWav(2));
    ASSERT_EQ(runVelconv({"b.wav", "b.qcp"}, dir.path()).exitStatus, 0);
    std::vector<uint8_t> cut = readFileBytes(dir.file("b.qcp"));
    writeFileBytes(dir.file("b.qcp"), std::vector<uint8_t>(cut.begin(), cut.begin() + cut.size() / 2));
    writeFileBytes(dir.file("c.wav"), std::vector<uint8_t>(40, 'x'));
    for (const char* name : {"d.wav", "e.wav", "f.wav"}) writeFileBytes(dir.file(name), speechWav(0.6));
    const auto batch = [&](std::vector<std::string> options) {
        options.insert(options.end(), inputs.begin(), inputs.end());
        return runVelconv(options, dir.path());
    };

    const RunResult one = batch({"-s", "-j", "1", "-d", "one"});
    const std::size_t errorAt = one.errorOutput.find("ERROR: 'c.wav': ");
    ASSERT_LT(one.errorOutput.find("WARNING: 'b.qcp' is damaged"), errorAt) << one.errorOutput;
    const std::string error = one.errorOutput.substr(errorAt, one.errorOutput.find('\n', errorAt) + 1 - errorAt);
    EXPECT_EQ(one.errorOutput.substr(errorAt + error.size()), "velconv: 5 converted, 0 skipped, 1 failed\n");
    const RunResult four = batch({"-s", "-j", "4", "-d", "four"});
    EXPECT_EQ(four.exitStatus, 255);
    EXPECT_EQ(four.errorOutput, one.errorOutput);
    for (const char* output : {"a.qcp", "b.wav", "d.qcp", "e.qcp", "f.qcp"})
        EXPECT_TRUE(readFileBytes(dir.file(std::string("four/") + output)) ==
                    readFileBytes(dir.file(std::string("one/") + output)))
            << output;

    // Again: finished files are counted, and named in order only with --verbose.
    const std::string skipSummary = "velconv: 0 converted, 5 skipped, 1 failed\n";
    EXPECT_EQ(batch({"-s", "-d", "four"}).errorOutput, error + skipSummary);
    std::string named;
    for (const char* output : {"a.qcp", "b.wav", "", "d.qcp", "e.qcp", "f.qcp"})
        named += *output ? "velconv: skipped 'four/" + std::string(output) + "': it exists (-f replaces it)\n"
                         : error;
    EXPECT_EQ(batch({"--verbose", "-s", "-d", "four"}).errorOutput, named + skipSummary);
}

// A missing input is named as missing, as a single conversion names it,
// and does not stop the files after it.
TEST(ParallelBatch, MissingInputSaysWhyItCannotBeRead) {
    TempDir dir;
    writeFileBytes(dir.file("b.wav"), speechWav(0.3));
    const std::string why = "velconv: cannot open 'a.qcp': No such file or directory\n";
    EXPECT_NE(runVelconv({"a.qcp", "a.wav"}, dir.path()).errorOutput.find(why), std::string::npos);
    const RunResult batch = runVelconv({"-j", "2", "-d", "out", "a.qcp", "b.wav"}, dir.path());
    EXPECT_EQ(batch.errorOutput, "ERROR: 'a.qcp': Input file is not a valid wav, or qcp file\n" + why +
                                     "velconv: 1 converted, 0 skipped, 1 failed\n");
    EXPECT_TRUE(fs::exists(dir.file("out/b.qcp")));
}

// SIGTERM and SIGINT at random moments of a two-job batch.
TEST(ParallelBatch, SignalsLeaveOnlyCompleteOutputsAndNoTemporaryFile) {
    TempDir dir;
    std::vector<std::string> args = {"-j", "2", "-d", "reference"};
    for (int n = 0; n < 6; ++n) {
        args.push_back("m" + std::to_string(n) + ".wav");
        writeFileBytes(dir.file(args.back()), speechWav(2 + 0.5 * n));
    }
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(runVelconv(args, dir.path()).exitStatus, 0);
    const auto wholeRun =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    args[3] = "out";

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int killed = 0;
    for (int run = 0; run < 30; ++run) {
        const int sig = run % 2 ? SIGINT : SIGTERM;
        fs::remove_all(dir.file("out"));
        const int pid = startVelconv(args, dir.path());
        std::this_thread::sleep_for(std::chrono::microseconds(random() % wholeRun.count()));
        kill(pid, sig);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        killed += WIFSIGNALED(status);
        EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == sig : WEXITSTATUS(status) == 0) << status;
        std::error_code noFolder;  // a signal before it was made
        for (const auto& entry : fs::directory_iterator(dir.file("out"), noFolder)) {
            const std::string reference = dir.file("reference/" + entry.path().filename().string());
            EXPECT_TRUE(fs::exists(reference) && readFileBytes(entry.path()) == readFileBytes(reference))
                << "run " << run << ": " << entry.path();
        }
    }
    EXPECT_GT(killed, 0);
}

}  // namespace
}  // namespace sonx::test
