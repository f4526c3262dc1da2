// The POSIX half of the process runner.
#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace sonx::test {

namespace {

// In the child: runs `program` in `workDir` with its standard error and
// output on the descriptors given and the signals a test sends at their
// defaults.
[[noreturn]] void execute(const std::string& program, const std::vector<std::string>& args,
                          const std::string& workDir, int errorFd, int outputFd) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
    dup2(errorFd, 2);
    dup2(outputFd, 1);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    std::vector<std::string> copy = args;
    std::string name = program;
    std::vector<char*> argv{name.data()};
    for (auto& argument : copy) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(name.c_str(), argv.data());
    _exit(127);
}

}  // namespace

int startProgram(const std::string& program, const std::vector<std::string>& args, const std::string& workDir) {
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        execute(program, args, workDir, null, null);
    }
    return pid;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
    int errPipe[2], outPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) execute(program, args, options.workDir, errPipe[1], outPipe[1]);
    close(errPipe[1]);
    close(outPipe[1]);
    RunResult result;
    const bool limited = options.timeLimit.count() > 0;
    const auto deadline = start + options.timeLimit;
    // Read both pipes until both close, so a chatty child cannot block.
    pollfd fds[2] = {{errPipe[0], POLLIN, 0}, {outPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        int wait = -1;
        if (limited) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                result.timedOut = true;
                kill(pid, SIGKILL);
                break;
            }
            wait = static_cast<int>(left.count());
        }
        if (poll(fds, 2, wait) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.errorOutput : result.standardOutput).append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status) && !result.timedOut) result.signal = WTERMSIG(status);
    return result;
}

RunResult runShell(const std::string& command, const std::string& workDir) {
    setenv("V", VELCONV_PATH, 1);
    setenv("SHIM", FAULT_SHIM_PATH, 1);
    // A sanitized velconv accepts the shim in front of its runtime.
    const char* asan = getenv("ASAN_OPTIONS");
    if (!asan || !std::strstr(asan, "verify_asan_link_order"))
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    RunResult result = runProgram("/bin/bash", {"-c", "cd '" + workDir + "' && { " + command + "; } 2>&1"});
    result.errorOutput = std::move(result.standardOutput);
    result.standardOutput.clear();
    if (result.signal) result.exitStatus = 128 + result.signal;  // as a shell reports it
    return result;
}

}  // namespace sonx::test
