// Child processes for the tests: the built velconv (or another program) run
// with its standard output and error caught, or started to be stopped by a
// signal. One runner; its POSIX and Windows halves are process_*.cpp.
#ifndef SONX_TESTS_SUPPORT_PROCESS_H
#define SONX_TESTS_SUPPORT_PROCESS_H

#include <chrono>
#include <string>
#include <vector>

namespace sonx::test {

struct RunResult {
    int exitStatus = -1;      // 0..255, or -1 when killed by a signal
    int signal = 0;           // the signal that ended it (not the time limit's)
    bool timedOut = false;    // killed at the time limit
    double seconds = 0;       // from start to end
    std::string errorOutput;  // everything written to standard error
    std::string standardOutput;
};

struct RunOptions {
    std::string workDir;                       // empty: this process's
    std::chrono::milliseconds timeLimit{0};    // 0: none; past it the child is killed
};

// Runs `program` with the given arguments (argv[0] is supplied); its
// standard input is this process's (POSIX) or empty (Windows).
RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});

inline RunResult runVelconv(const std::vector<std::string>& args, const std::string& workDir = "") {
    return runProgram(VELCONV_PATH, args, {workDir});
}

// Starts `program` in `workDir` with default signal handling and its output
// thrown away, without waiting; the caller reaps it with waitpid (POSIX
// only). Returns its process id.
int startProgram(const std::string& program, const std::vector<std::string>& args, const std::string& workDir);

inline int startVelconv(const std::vector<std::string>& args, const std::string& workDir) {
    return startProgram(VELCONV_PATH, args, workDir);
}

// Runs a bash command line in `workDir` with $V naming velconv and $SHIM the
// fault-injection library; both streams are caught in errorOutput. A
// command killed by a signal ends with status 128 + the signal's number.
// POSIX only.
RunResult runShell(const std::string& command, const std::string& workDir);

}  // namespace sonx::test

#endif  // SONX_TESTS_SUPPORT_PROCESS_H
