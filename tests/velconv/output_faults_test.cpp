// velconv's outputs under failing system calls, signals, unusual descriptors
// and files with more to them than bytes. Whatever happens, an output either
// keeps its old bytes or holds the whole conversion, a failure says why, and
// no temporary file stays behind.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "convert/convert_test_util.h"
#include "support/process.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kFailure = 255;
const Bytes kOld = {'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's', '\n'};

std::vector<std::string> leftovers(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().find("velconv-") != std::string::npos)
            found.push_back(entry.path().filename().string());
    return found;
}

// The programs the tables run: velconv, and sonx_convert_file behind a
// driver that reports as velconv does. Only velconv has standard streams.
struct Program {
    const char* name;
    const char* path;
    bool streams;
};
constexpr Program kPrograms[] = {{"velconv", VELCONV_PATH, true}, {"sonx_convert_file", CONVERT_DRIVER_PATH, false}};

// `command` with $V naming the program.
std::string withProgram(const std::string& command, const Program& program) {
    std::string out;
    for (std::size_t at = 0; at < command.size(); ++at) {
        if (command.compare(at, 2, "$V") == 0) {
            out += std::string("'") + program.path + "'";
            ++at;
        } else {
            out += command[at];
        }
    }
    return out;
}

// How many calls of each kind a clean run makes, as the shim counts them.
std::map<std::string, int> countCalls(const std::string& command, const std::string& dir) {
    const RunResult r = runShell("FAULT_COUNTS=counts LD_PRELOAD=$SHIM " + command, dir);
    EXPECT_EQ(r.exitStatus, 0) << r.errorOutput;
    std::map<std::string, int> counts;
    std::ifstream in(dir + "/counts");
    std::string kind;
    for (int n; in >> kind >> n;) counts[kind] = n;
    fs::remove(dir + "/counts");
    return counts;
}

// Up to ten call numbers from 1 to `count`, always with the first and last.
std::vector<int> callsToFail(int count) {
    std::vector<int> picks;
    const int step = count > 10 ? (count + 8) / 9 : 1;
    for (int n = 1; n < count; n += step) picks.push_back(n);
    if (count > 0) picks.push_back(count);
    return picks;
}

TEST(OutputFaults, EveryFailureKeepsTheOldBytesOrGivesTheWholeOutput) {
    const struct Way {
        const char* what;
        const char* command;
        bool replacesOldBytes;  // out.qcp holds kOld before the run
        bool secondName;        // other.qcp is a hard link to out.qcp
    } ways[] = {
        {"temporary file and rename", "$V in.wav out.qcp", true, false},
        {"in place, the file having a second name", "$V in.wav out.qcp", true, true},
        {"standard output through a spool", "$V in.wav - > out.qcp", false, false},
    };
    const struct Fault {
        const char* call;
        int error;   // errno to fail with, or 0
        int signal;  // signal raised before the call, or 0
    } faults[] = {
        {"write", EIO, 0},      {"write", ENOSPC, 0},    {"write", EINTR, 0}, {"fsync", EIO, 0},
        {"ftruncate", EIO, 0},  {"rename", EIO, 0},      {"write", 0, SIGTERM}, {"write", 0, SIGINT},
        {"write", 0, SIGHUP},   {"fsync", 0, SIGTERM},
    };
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), speechWav(1.0));
    ASSERT_EQ(runVelconv({"in.wav", "reference.qcp"}, dir.path()).exitStatus, 0);
    const Bytes reference = readFileBytes(dir.file("reference.qcp"));
    int failedRuns = 0, interruptedRuns = 0;
    for (const Program& program : kPrograms)
    for (const Way& way : ways) {
        if (!program.streams && std::strstr(way.command, " - ")) continue;
        const std::string command = withProgram(way.command, program);
        const auto prepare = [&] {
            fs::remove(dir.file("out.qcp"));
            fs::remove(dir.file("other.qcp"));
            writeFileBytes(dir.file("out.qcp"), kOld);
            if (way.secondName) fs::create_hard_link(dir.file("out.qcp"), dir.file("other.qcp"));
        };
        prepare();
        const std::map<std::string, int> counts = countCalls(command, dir.path());
        for (const Fault& fault : faults) {
            for (int at : callsToFail(counts.count(fault.call) ? counts.at(fault.call) : 0)) {
                SCOPED_TRACE(std::string(program.name) + ", " + way.what + ": " + fault.call + " #" + std::to_string(at) + " " +
                             (fault.error ? std::strerror(fault.error) : strsignal(fault.signal)));
                prepare();
                const std::string setting = fault.error ? "FAULT_ERRNO=" + std::to_string(fault.error)
                                                        : "FAULT_SIGNAL=" + std::to_string(fault.signal);
                const RunResult r = runShell("FAULT_CALL=" + std::string(fault.call) + " FAULT_AT=" +
                                                 std::to_string(at) + " " + setting + " LD_PRELOAD=$SHIM " +
                                                 command,
                                             dir.path());
                const Bytes out = readFileBytes(dir.file("out.qcp"));
                if (fault.error == EINTR) {
                    EXPECT_EQ(r.exitStatus, 0) << "an interrupted call is retried";
                }
                if (r.exitStatus == 0) {
                    EXPECT_EQ(out, reference) << "success without the whole output";
                } else if (r.exitStatus == kFailure) {
                    ++failedRuns;
                    EXPECT_EQ(r.errorOutput.rfind("ERROR: ", 0), 0u) << r.errorOutput;
                    EXPECT_NE(r.errorOutput.find(std::strerror(fault.error)), std::string::npos) << r.errorOutput;
                    if (way.replacesOldBytes) {
                        EXPECT_EQ(out, kOld) << "a failed run changed the output";
                    }
                } else {
                    ++interruptedRuns;
                    EXPECT_EQ(r.exitStatus, 128 + fault.signal) << r.errorOutput;
                    if (way.replacesOldBytes) {
                        EXPECT_TRUE(out == kOld || out == reference) << out.size() << " bytes";
                    }
                }
                if (way.secondName) {
                    EXPECT_EQ(readFileBytes(dir.file("other.qcp")), out) << "the names parted";
                }
                EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
            }
        }
    }
    EXPECT_GT(failedRuns, 80);
    EXPECT_GT(interruptedRuns, 35);
}

TEST(OutputFaults, ProcessEdgesFailWithTheirReasonOrConvert) {
    const std::string badDescriptor = "ERROR: Error opening file: Bad file descriptor\n"
                                      "velconv: cannot write standard output: Bad file descriptor\n";
    const std::string sameFile =
        "ERROR: Input and output file names match -- please choose a different name for the output file and try "
        "again\n";
    const struct {
        const char* what;
        const char* command;
        int exitStatus;
        std::string message;   // the start of what it prints
        const char* madeFile;  // must then hold the reference conversion, or null
    } cases[] = {
        {"standard output closed", "$V in.wav - >&-", kFailure, badDescriptor, nullptr},
        {"both standard streams, output closed", "$V - - < in.wav >&-", kFailure, badDescriptor, nullptr},
        {"standard input closed", "$V - x.qcp <&-", kFailure,
         "ERROR: Error reading standard input: Bad file descriptor\n", nullptr},
        {"standard error closed", "$V in.wav e.qcp 2>&-", 0, "", "e.qcp"},
        {"standard output closed, a named output", "$V in.wav o.qcp >&-", 0, "", "o.qcp"},
        {"standard input is the output", "$V -f - keep.wav < keep.wav", kFailure, sameFile, nullptr},
        {"standard output is the input", "$V keep.wav - >> keep.wav", kFailure, sameFile, nullptr},
        {"a file-size limit", "prlimit --fsize=2000 $V in.wav big.qcp", kFailure,
         "ERROR: Error writing to file: File too large", nullptr},
        {"a FIFO input", "mkfifo p && { cat in.wav > p & $V p fifo.qcp; }", 0, "", "fifo.qcp"},
        {"a process substitution", "$V <(cat in.wav) sub.qcp", 0, "", "sub.qcp"},
        // A stream is read once, when the batch plans, and converted from what was read.
        {"a FIFO in a batch", "mkfifo q && mkdir fromq && { cat in.wav > q & $V -q -d fromq keep.wav q; }", 0, "",
         "fromq/q.qcp"},
        {"a WAV cut short on a pipe", "head -c 9000 in.wav | $V - cut.qcp", 0,
         "WARNING: '-' is damaged: encoded 4478 of the 24000 samples its header promises (0.6 of 3.0 s)\n", nullptr},
        {"the temporary folder full behind standard output",
         "mkdir -p tmp && TMPDIR=tmp FAULT_CALL=write FAULT_AT=1 FAULT_ERRNO=28 LD_PRELOAD=$SHIM $V in.wav - > s.qcp",
         kFailure,
         "ERROR: Error writing to file: No space left on device\n"
         "velconv: cannot write a temporary file in 'tmp' (TMPDIR names another): No space left on device\n",
         nullptr},
    };
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), speechWav(3.0));
    writeFileBytes(dir.file("keep.wav"), speechWav(0.5));
    ASSERT_EQ(runVelconv({"in.wav", "reference.qcp"}, dir.path()).exitStatus, 0);
    const Bytes reference = readFileBytes(dir.file("reference.qcp"));
    const Bytes keep = readFileBytes(dir.file("keep.wav"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const RunResult r = runShell(c.command, dir.path());
        EXPECT_EQ(r.exitStatus, c.exitStatus) << r.errorOutput;
        EXPECT_EQ(r.errorOutput.substr(0, c.message.size()), c.message);
        if (c.madeFile) {
            EXPECT_EQ(readFileBytes(dir.file(c.madeFile)), reference);
        }
        EXPECT_EQ(readFileBytes(dir.file("keep.wav")), keep);
        EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
    }
}

std::string attribute(const std::string& path, const char* name) {
    char value[256];
    const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
    return size < 0 ? "" : std::string(value, static_cast<size_t>(size));
}

// A POSIX ACL as the kernel stores it: user::rw-, user:65534:rw-, group::r--,
// mask::rw-, other::---, so the mode's group bits (the mask) say rw while the
// owning group may only read.
std::string restrictiveAcl() {
    const uint16_t entries[][2] = {{0x01, 6}, {0x02, 6}, {0x04, 4}, {0x10, 6}, {0x20, 0}};
    const uint32_t ids[] = {0xFFFFFFFF, 65534, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    std::string acl("\x02\0\0\0", 4);
    for (size_t i = 0; i < std::size(entries); ++i) {
        acl.append(reinterpret_cast<const char*>(entries[i]), 4);
        acl.append(reinterpret_cast<const char*>(&ids[i]), 4);
    }
    return acl;
}

TEST(OutputFaults, AReplacedFileKeepsWhatMakesItThatFile) {
    const struct {
        const char* what;
        std::function<bool(const std::string& dir)> prepare;  // false: not possible here
        std::function<void(const std::string& dir)> check;
    } cases[] = {
        {"an ACL and an extended attribute",
         [](const std::string& dir) {
             const std::string out = dir + "/out.qcp";
             chmod(out.c_str(), 0660);
             const std::string acl = restrictiveAcl();
             if (setxattr(out.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
                 setxattr(out.c_str(), "user.note", "kept", 4, 0) != 0)
                 return false;
             return true;
         },
         [](const std::string& dir) {
             const std::string out = dir + "/out.qcp";
             EXPECT_EQ(attribute(out, "system.posix_acl_access"), restrictiveAcl());
             EXPECT_EQ(attribute(out, "user.note"), "kept");
             struct stat st {};
             stat(out.c_str(), &st);
             EXPECT_EQ(st.st_mode & 07777, 0660u);
         }},
        {"the setgid bit",
         [](const std::string& dir) { return chmod((dir + "/out.qcp").c_str(), 02640) == 0; },
         [](const std::string& dir) {
             struct stat st {};
             stat((dir + "/out.qcp").c_str(), &st);
             EXPECT_EQ(st.st_mode & 07777, 02640u);
         }},
        {"a second hard link",
         [](const std::string& dir) {
             fs::create_hard_link(dir + "/out.qcp", dir + "/other.qcp");
             return true;
         },
         [](const std::string& dir) {
             EXPECT_TRUE(fs::equivalent(dir + "/out.qcp", dir + "/other.qcp"));
             EXPECT_EQ(fs::hard_link_count(dir + "/out.qcp"), 2u);
         }},
        {"a symbolic link to a file not made yet",
         [](const std::string& dir) {
             fs::remove(dir + "/out.qcp");
             fs::create_symlink("made/target.qcp", dir + "/out.qcp");
             return fs::create_directory(dir + "/made");
         },
         [](const std::string& dir) {
             EXPECT_TRUE(fs::is_symlink(dir + "/out.qcp"));
             EXPECT_TRUE(fs::is_regular_file(dir + "/made/target.qcp"));
         }},
    };
    for (const Program& program : kPrograms)
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(program.name) + ": " + c.what);
        TempDir dir;
        writeFileBytes(dir.file("in.wav"), speechWav(0.5));
        ASSERT_EQ(runVelconv({"in.wav", "reference.qcp"}, dir.path()).exitStatus, 0);
        writeFileBytes(dir.file("out.qcp"), kOld);
        if (!c.prepare(dir.path())) {
            std::cerr << "not checked here: " << c.what << "\n";
            continue;
        }
        const RunResult r = runShell(withProgram("$V in.wav out.qcp", program), dir.path());
        EXPECT_EQ(r.exitStatus, 0) << r.errorOutput;
        EXPECT_EQ(readFileBytes(dir.file("out.qcp")), readFileBytes(dir.file("reference.qcp")));
        c.check(dir.path());
        EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
    }
}

// What velconv checks before it converts, the library checks for every
// caller: an output that is the input, a size limit, a cancel, the date.
TEST(OutputFaults, TheCInterfaceKeepsEveryFileItWasNotAskedToReplace) {
    const std::string sameFile = "ERROR: The output '";
    const struct {
        const char* what;
        const char* command;
        int exitStatus;
        std::string message;     // the start of what it prints
        const char* keptLink;    // a symbolic link that must stay one, or null
    } cases[] = {
        {"the same name", "$V in.wav in.wav", kFailure, sameFile, nullptr},
        {"another spelling", "$V in.wav ./in.wav", kFailure, sameFile, nullptr},
        {"a hard link to the input", "ln in.wav hard.wav && $V in.wav hard.wav", kFailure, sameFile, nullptr},
        {"a symbolic link to the input", "ln -s in.wav soft.wav && $V in.wav soft.wav", kFailure, sameFile, nullptr},
        {"a file-size limit", "prlimit --fsize=2000 $V in.wav out.qcp", kFailure,
         "ERROR: Error writing to file: File too large", nullptr},
        {"a cancel over a symbolic link", "ln -s keep.qcp link.qcp && $V -c in.wav link.qcp", kFailure,
         "ERROR: The conversion was cancelled", "link.qcp"},
        {"a folder that is not there", "$V in.wav none/out.qcp", kFailure,
         "ERROR: Error opening file: No such file or directory", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeFileBytes(dir.file("in.wav"), speechWav(3.0));
        writeFileBytes(dir.file("out.qcp"), kOld);
        writeFileBytes(dir.file("keep.qcp"), kOld);
        const Bytes input = readFileBytes(dir.file("in.wav"));
        const RunResult r = runShell(withProgram(c.command, kPrograms[1]), dir.path());
        EXPECT_EQ(r.exitStatus, c.exitStatus) << r.errorOutput;
        EXPECT_EQ(r.errorOutput.substr(0, c.message.size()), c.message);
        EXPECT_EQ(readFileBytes(dir.file("in.wav")), input);
        EXPECT_EQ(readFileBytes(dir.file("out.qcp")), kOld);
        EXPECT_EQ(readFileBytes(dir.file("keep.qcp")), kOld);
        if (c.keptLink) {
            EXPECT_TRUE(fs::is_symlink(dir.file(c.keptLink)));
        }
        EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
    }

    // -d dates the output like its input, before it takes its name.
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), speechWav(0.5));
    const struct timespec recorded[2] = {{1000000000, 0}, {1234567890, 500}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.file("in.wav").c_str(), recorded, 0), 0);
    for (const char* flag : {"-d", ""}) {
        SCOPED_TRACE(std::string("flag '") + flag + "'");
        const RunResult r = runShell(withProgram(std::string("$V ") + flag + " in.wav out.qcp", kPrograms[1]),
                                     dir.path());
        EXPECT_EQ(r.exitStatus, 0) << r.errorOutput;
        struct stat st {};
        ASSERT_EQ(stat(dir.file("out.qcp").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec == recorded[1].tv_sec && st.st_mtim.tv_nsec == recorded[1].tv_nsec, *flag != 0);
    }
}

}  // namespace
}  // namespace sonx::test
