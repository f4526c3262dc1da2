// The Windows half of the process runner.
#include "support/process.h"

#include <windows.h>

#include <stdexcept>
#include <thread>

#include "sonx/fileio/file_names_windows.h"

namespace sonx::test {

namespace {

// One argument as the C runtime's command-line parser reads it back.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::string drain(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
    using file_names::wideFromUtf8;
    std::wstring commandLine = quoted(wideFromUtf8(program));
    for (const std::string& argument : args) commandLine += L" " + quoted(wideFromUtf8(argument));

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE errRead, errWrite, outRead, outWrite;
    if (!CreatePipe(&errRead, &errWrite, &inherit, 0) || !CreatePipe(&outRead, &outWrite, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process{};
    const std::wstring folder = wideFromUtf8(options.workDir);
    const auto start = std::chrono::steady_clock::now();
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        options.workDir.empty() ? nullptr : folder.c_str(), &startup, &process);
    CloseHandle(errWrite);
    CloseHandle(outWrite);
    CloseHandle(startup.hStdInput);
    if (!started) {
        CloseHandle(errRead);
        CloseHandle(outRead);
        throw std::runtime_error("CreateProcessW failed");
    }
    RunResult result;
    // Both pipes are read at once, so a chatty child cannot block.
    std::thread errors([&] { result.errorOutput = drain(errRead); });
    std::thread output([&] { result.standardOutput = drain(outRead); });
    const DWORD limit = options.timeLimit.count() > 0 ? static_cast<DWORD>(options.timeLimit.count()) : INFINITE;
    if (WaitForSingleObject(process.hProcess, limit) == WAIT_TIMEOUT) {
        result.timedOut = true;
        TerminateProcess(process.hProcess, 255);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    errors.join();
    output.join();
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Messages end their lines as the console does here (CRLF); tests compare
    // them with the POSIX text.
    std::string& messages = result.errorOutput;
    for (std::size_t at = messages.find("\r\n"); at != std::string::npos; at = messages.find("\r\n", at))
        messages.erase(at, 1);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    result.exitStatus = static_cast<int>(status & 0xFF);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(errRead);
    CloseHandle(outRead);
    return result;
}

int startProgram(const std::string&, const std::vector<std::string>&, const std::string&) {
    throw std::runtime_error("startProgram stops children by signals; tests that use it are POSIX-only");
}

RunResult runShell(const std::string&, const std::string&) {
    throw std::runtime_error("runShell needs bash; tests that use it are POSIX-only");
}

}  // namespace sonx::test
