// velconv run as a user runs it: shell globs, failing inputs over existing
// outputs, signals half-way, derived names, the umask and pipes. Whatever
// happens, no byte of a file the user already had may change unless they
// named it as the output (or gave -f), and no temporary file may stay behind
// (except after SIGKILL, which nothing can catch).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "convert/convert_test_util.h"
#include "support/process.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Snapshot = std::map<std::string, Bytes>;

constexpr int kFailure = 255;
const Bytes kPrecious = {'p', 'r', 'e', 'c', 'i', 'o', 'u', 's', '\n'};

// Every file under `dir`, by its path relative to it.
Snapshot snapshot(const std::string& dir) {
    Snapshot all;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) all[fs::relative(e.path(), dir).string()] = readFileBytes(e.path().string());
    return all;
}

std::vector<std::string> temporaryFiles(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.path().filename().string().find("velconv-") != std::string::npos) found.push_back(e.path().string());
    return found;
}

// Files of `before` that changed or went, apart from `mayChange`.
std::vector<std::string> damaged(const Snapshot& before, const Snapshot& after,
                                 const std::set<std::string>& mayChange) {
    std::vector<std::string> list;
    for (const auto& [name, bytes] : before) {
        auto found = after.find(name);
        if (!mayChange.count(name) && (found == after.end() || found->second != bytes)) list.push_back(name);
    }
    return list;
}

std::string modeOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "missing";
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return text;
}

// The programs that must keep these promises: velconv, and
// sonx_convert_file behind a driver that takes the same two names.
constexpr const char* kPrograms[] = {VELCONV_PATH, CONVERT_DRIVER_PATH};

int waitFor(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

struct SafetyCase {
    const char* what;
    std::vector<std::pair<std::string, Bytes>> files;  // made before the run
    std::vector<std::string> args;
    int exitStatus;
    std::string message;                // standard error, exactly
    std::set<std::string> mayChange;    // files the run is asked to replace
    std::set<std::string> created;      // files the run must make
};

TEST(FileSafety, NoRunChangesAFileItWasNotAskedToReplace) {
    const Bytes talk = speechWav(0.5);
    const Bytes adpcm = wavFile({0x0011, 8000, 4}, Bytes(800, 0x11));
    const Bytes notQcp = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'Q', 'L', 'C', 'M'};
    const std::string glob = "ERROR: Unexpected argument 'c.wav' -- give one input name and at most one output name\n";
    const std::string exists = "ERROR: Output file 'talk.wav' exists -- give an output name or use -f to overwrite\n";
    const SafetyCase cases[] = {
        {"a shell glob", {{"a.wav", talk}, {"b.wav", talk}, {"c.wav", talk}}, {"a.wav", "b.wav", "c.wav"},
         kFailure, glob, {}, {}},
        {"an unsupported input over an existing output", {{"adpcm.wav", adpcm}, {"keep.qcp", kPrecious}},
         {"adpcm.wav", "keep.qcp"}, kFailure, "", {}, {}},
        {"a damaged QCP over an existing output", {{"bad.qcp", notQcp}, {"keep.wav", kPrecious}},
         {"bad.qcp", "keep.wav"}, kFailure, "", {}, {}},
        {"a derived name that exists", {{"talk.wav", talk}, {"talk.qcp", kPrecious}}, {"talk.wav"}, kFailure,
         "ERROR: Output file 'talk.qcp' exists -- give an output name or use -f to overwrite\n", {}, {}},
        {"a derived name that is a dangling link", {{"talk.wav", talk}}, {"talk.wav"}, kFailure,
         "ERROR: Output file 'talk.qcp' exists -- give an output name or use -f to overwrite\n", {}, {}},
        {"-f replaces a derived name", {{"talk.wav", talk}, {"talk.qcp", kPrecious}}, {"-f", "talk.wav"}, 0, "",
         {"talk.qcp"}, {}},
        {"an output name given is replaced", {{"talk.wav", talk}, {"out.qcp", kPrecious}},
         {"talk.wav", "out.qcp"}, 0, "", {"out.qcp"}, {}},
        {"-- lets a name begin with a dash", {{"-talk.wav", talk}}, {"--", "-talk.wav"}, 0, "", {}, {"-talk.qcp"}},
        {"an empty output name, even for a salvaged input", {{"cut.wav", Bytes(talk.begin(), talk.begin() + 400)}},
         {"-s", "cut.wav", ""}, kFailure, "ERROR: Error opening file: No such file or directory\n", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        for (const auto& [name, bytes] : c.files) writeFileBytes(dir.file(name), bytes);
        if (std::string(c.what).find("dangling") != std::string::npos)
            fs::create_symlink("nowhere.qcp", dir.file("talk.qcp"));
        const Snapshot before = snapshot(dir.path());
        const RunResult r = runVelconv(c.args, dir.path());
        EXPECT_EQ(r.exitStatus, c.exitStatus) << r.errorOutput;
        if (!c.message.empty()) {
            EXPECT_EQ(r.errorOutput, c.message);
        }
        if (c.exitStatus != 0) {
            EXPECT_EQ(r.errorOutput.rfind("ERROR: ", 0), 0u) << r.errorOutput;
        }
        const Snapshot after = snapshot(dir.path());
        EXPECT_EQ(damaged(before, after, c.mayChange), std::vector<std::string>{});
        for (const auto& name : c.mayChange) EXPECT_NE(after.at(name), kPrecious) << name << " was not replaced";
        for (const auto& name : c.created) EXPECT_TRUE(after.count(name)) << name;
        if (c.exitStatus != 0) {
            EXPECT_EQ(after.size(), before.size()) << "a failed run created a file";
        }
        EXPECT_EQ(temporaryFiles(dir.path()), std::vector<std::string>{});
    }
    // The round trip: the decode of talk.qcp may not replace the original talk.wav.
    TempDir dir;
    writeFileBytes(dir.file("talk.wav"), talk);
    ASSERT_EQ(runVelconv({"talk.wav"}, dir.path()).exitStatus, 0);
    const RunResult back = runVelconv({"talk.qcp"}, dir.path());
    EXPECT_EQ(back.exitStatus, kFailure);
    EXPECT_EQ(back.errorOutput, exists);
    EXPECT_EQ(readFileBytes(dir.file("talk.wav")), talk);
}

// Sets the umask for as long as it lives.
class Umask {
public:
    explicit Umask(mode_t mask) : old_(umask(mask)) {}
    ~Umask() { umask(old_); }

private:
    mode_t old_;
};

TEST(FileSafety, NewFilesFollowTheUmaskAndReplacedFilesKeepTheirMode) {
    const Bytes talk = speechWav(0.2);
    for (const auto& [mask, mode] : {std::pair<mode_t, const char*>{022, "0644"}, {077, "0600"}, {027, "0640"}}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        writeFileBytes(dir.file("talk.wav"), talk);
        writeFileBytes(dir.file("old.qcp"), kPrecious);
        ASSERT_EQ(chmod(dir.file("old.qcp").c_str(), 0604), 0);
        Umask umask(mask);
        EXPECT_EQ(runVelconv({"talk.wav"}, dir.path()).exitStatus, 0);
        EXPECT_EQ(modeOf(dir.file("talk.qcp")), mode);
        EXPECT_EQ(runVelconv({"talk.wav", "old.qcp"}, dir.path()).exitStatus, 0);
        EXPECT_EQ(modeOf(dir.file("old.qcp")), "0604") << "a replaced file keeps its mode";
        EXPECT_NE(readFileBytes(dir.file("old.qcp")), kPrecious);
    }
}

// Waits until a temporary output has grown past `bytes`; returns its name.
std::string waitForTemporary(const std::string& dir, uintmax_t bytes, pid_t pid) {
    for (int i = 0; i < 20000; ++i) {
        for (const auto& name : temporaryFiles(dir)) {
            std::error_code ec;
            if (fs::file_size(name, ec) > bytes && !ec) return name;
        }
        if (waitpid(pid, nullptr, WNOHANG) != 0) return "";
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return "";
}

TEST(FileSafety, SignalHalfWayRemovesTheTemporaryFileAndKeepsTheOutput) {
    TempDir dir;
    writeFileBytes(dir.file("long.wav"), speechWav(120));
    for (const char* program : kPrograms)
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(std::string(program) + ", " + strsignal(sig));
        writeFileBytes(dir.file("out.qcp"), kPrecious);
        const pid_t pid = startProgram(program, {"long.wav", "out.qcp"}, dir.path());
        // Two minutes of speech make about 180 kB of QCP: 40 kB is well under way.
        const std::string temporary = waitForTemporary(dir.path(), 40000, pid);
        EXPECT_NE(temporary, "") << "the conversion ended before it could be interrupted";
        EXPECT_EQ(temporary.rfind(dir.file("out.qcp.velconv-"), 0), 0u) << temporary;
        kill(pid, sig);
        const int status = waitFor(pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
        EXPECT_EQ(readFileBytes(dir.file("out.qcp")), kPrecious);
        EXPECT_EQ(temporaryFiles(dir.path()), std::vector<std::string>{});
    }
}

// Conversions on several threads at once: one signal removes every
// temporary file in the making, and the old outputs stay.
TEST(FileSafety, SignalWhileThreadsWriteRemovesEveryTemporaryFile) {
    TempDir dir;
    // Long enough that the first conversion is still under way when the
    // last one starts, on a loaded machine with a fast coder.
    writeFileBytes(dir.file("long.wav"), speechWav(240));
    constexpr int kThreads = 4;
    for (int n = 1; n <= kThreads; ++n) writeFileBytes(dir.file("out.qcp." + std::to_string(n)), kPrecious);
    const pid_t pid = startProgram(CONVERT_DRIVER_PATH, {"-t", std::to_string(kThreads), "long.wav", "out.qcp"}, dir.path());
    std::size_t inTheMaking = 0;
    for (int i = 0; i < 20000 && inTheMaking < kThreads && waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        inTheMaking = 0;
        for (const auto& name : temporaryFiles(dir.path())) {
            std::error_code ec;
            inTheMaking += fs::file_size(name, ec) > 10000 && !ec;
        }
    }
    EXPECT_EQ(inTheMaking, std::size_t{kThreads}) << "the conversions were not all under way at once";
    kill(pid, SIGTERM);
    const int status = waitFor(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    for (int n = 1; n <= kThreads; ++n) EXPECT_EQ(readFileBytes(dir.file("out.qcp." + std::to_string(n))), kPrecious);
    EXPECT_EQ(temporaryFiles(dir.path()), std::vector<std::string>{});
}

TEST(FileSafety, KilledAtRandomPointsNeverLeavesATruncatedOutput) {
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), speechWav(20));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(runVelconv({"in.wav", "reference.qcp"}, dir.path()).exitStatus, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Bytes reference = readFileBytes(dir.file("reference.qcp"));

    std::mt19937 random(12);
    std::uniform_real_distribution<double> when(0, 1.2 * seconds);
    const int kSignals[] = {SIGKILL, SIGTERM, SIGKILL, SIGINT, SIGKILL, SIGHUP};
    int interrupted = 0;
    for (int run = 0; run < 40; ++run) {
        const int sig = kSignals[run % std::size(kSignals)];
        const char* program = kPrograms[(run / std::size(kSignals)) % 2];
        SCOPED_TRACE("run " + std::to_string(run) + ", " + program + ", " + strsignal(sig));
        writeFileBytes(dir.file("out.qcp"), kPrecious);
        const pid_t pid = startProgram(program, {"in.wav", "out.qcp"}, dir.path());
        std::this_thread::sleep_for(std::chrono::duration<double>(when(random)));
        kill(pid, sig);
        const int status = waitFor(pid);
        interrupted += WIFSIGNALED(status);
        const Bytes out = readFileBytes(dir.file("out.qcp"));
        EXPECT_TRUE(out == kPrecious || out == reference) << "out.qcp holds " << out.size() << " other bytes";
        for (const auto& left : temporaryFiles(dir.path())) {
            EXPECT_EQ(sig, SIGKILL) << "left behind: " << left;
            EXPECT_EQ(fs::path(left).filename().string().rfind("out.qcp.velconv-", 0), 0u) << left;
            fs::remove(left);
        }
    }
    EXPECT_GT(interrupted, 10) << "too few runs were stopped half-way to tell anything";
}

TEST(Pipes, StandardInputAndOutputGiveTheBytesOfTheFileForms) {
    TempDir dir;
    const Bytes talk = speechWav(3);
    writeFileBytes(dir.file("talk.wav"), talk);
    // The streaming forms of a WAV written to a pipe: lengths of 0, 0xFFFFFFFF
    // or a placeholder past the end (sox's).
    for (const auto& [name, riff, data] : {std::tuple<const char*, uint32_t, uint32_t>{"s1.wav", 0xFFFFFFFF, 0xFFFFFFFF},
                                           {"s2.wav", 0, 0},
                                           {"s3.wav", 0xFFFFFFFF, 0},
                                           {"s4.wav", 0x7FFFF024, 0x7FFFF000}}) {
        Bytes b = talk;
        for (int i = 0; i < 4; ++i) {
            b[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
            b[40 + i] = static_cast<uint8_t>(data >> (8 * i));
        }
        writeFileBytes(dir.file(name), b);
    }
    ASSERT_EQ(runVelconv({"talk.wav", "file.qcp"}, dir.path()).exitStatus, 0);
    ASSERT_EQ(runVelconv({"file.qcp", "file.wav"}, dir.path()).exitStatus, 0);

    const struct {
        const char* command;
        const char* made;
        const char* sameAs;
    } cases[] = {
        {"cat talk.wav | $V - piped.qcp", "piped.qcp", "file.qcp"},
        {"$V - redirected.qcp < talk.wav", "redirected.qcp", "file.qcp"},
        {"$V file.qcp - | cat > piped.wav", "piped.wav", "file.wav"},
        {"cat talk.wav | $V - - | $V - - | cat > both.wav", "both.wav", "file.wav"},
        {"cat s1.wav | $V - s1.qcp", "s1.qcp", "file.qcp"},
        {"cat s2.wav | $V - s2.qcp", "s2.qcp", "file.qcp"},
        {"cat s3.wav | $V - s3.qcp", "s3.qcp", "file.qcp"},
        {"cat s4.wav | $V - s4.qcp", "s4.qcp", "file.qcp"},
        {"mkfifo fifo && { cat fifo > fromfifo.qcp & $V talk.wav fifo; s=$?; wait; (exit $s); }",
         "fromfifo.qcp", "file.qcp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const RunResult r = runShell(c.command, dir.path());
        EXPECT_EQ(r.exitStatus, 0) << r.errorOutput;
        EXPECT_EQ(r.errorOutput, "");
        EXPECT_EQ(readFileBytes(dir.file(c.made)), readFileBytes(dir.file(c.sameAs)));
    }
    EXPECT_EQ(runShell("$V talk.wav /dev/null", dir.path()).exitStatus, 0);

    // Failures on a pipe: one error line, nothing written to standard output.
    const struct {
        const char* command;
        const char* message;
    } failures[] = {
        {"cat talk.wav | $V -",
         "ERROR: An output name is needed when the input is standard input (- writes standard output)\n"},
        {"printf 'this is not a sound file' | $V - x.qcp", "ERROR: Input file is not a valid wav, or qcp file\n"},
        {"$V - x.qcp < /dev/null", "ERROR: Input file is too small to be a valid qcp, or wav file\n"},
        {"$V file.qcp - > /dev/full",
         "ERROR: Error writing to file: No space left on device\n"
         "velconv: cannot write standard output: No space left on device\n"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.command);
        const RunResult r = runShell(f.command, dir.path());
        EXPECT_EQ(r.exitStatus, kFailure);
        EXPECT_EQ(r.errorOutput, f.message);
    }
    EXPECT_FALSE(fs::exists(dir.file("x.qcp")));
}

}  // namespace
}  // namespace sonx::test
