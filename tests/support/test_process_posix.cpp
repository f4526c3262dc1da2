// The POSIX half of the test kit: scratch folders and child processes.
#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace sonx::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sonx-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

namespace {

// In the child: runs velconv with its standard error and output on the
// descriptors given.
[[noreturn]] void execVelconv(const std::vector<std::string>& args, const std::string& workDir, int errorFd,
                              int outputFd) {
    dup2(errorFd, 2);
    dup2(outputFd, 1);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    std::string program = VELCONV_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace

int startVelconv(const std::vector<std::string>& args, const std::string& workDir) {
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        execVelconv(args, workDir, null, null);
    }
    return pid;
}

RunResult runVelconv(const std::vector<std::string>& args, const std::string& workDir) {
    int errPipe[2], outPipe[2];
    if (pipe(errPipe) != 0 || pipe(outPipe) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(errPipe[0]);
        close(outPipe[0]);
        execVelconv(args, workDir, errPipe[1], outPipe[1]);
    }
    close(errPipe[1]);
    close(outPipe[1]);
    RunResult result;
    // Read both pipes until both close, so a chatty child cannot block.
    pollfd fds[2] = {{errPipe[0], POLLIN, 0}, {outPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.errorOutput : result.standardOutput).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

RunResult runShell(const std::string& command, const std::string& workDir) {
    setenv("V", VELCONV_PATH, 1);
    setenv("SHIM", FAULT_SHIM_PATH, 1);
    // A sanitized velconv accepts the shim in front of its runtime.
    const char* asan = getenv("ASAN_OPTIONS");
    if (!asan || !std::strstr(asan, "verify_asan_link_order"))
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    const std::string quoted = "cd '" + workDir + "' && { " + command + "; } 2>&1";
    std::string escaped;
    for (char c : quoted) escaped += c == '\'' ? std::string("'\\''") : std::string(1, c);
    FILE* pipe = popen(("bash -c '" + escaped + "'").c_str(), "r");
    if (!pipe) throw std::runtime_error("popen failed");
    RunResult result;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.errorOutput.append(buffer, n);
    result.exitStatus = WEXITSTATUS(pclose(pipe));
    return result;
}

}  // namespace sonx::test
