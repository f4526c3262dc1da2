// velconv's entry on Windows: the command line arrives as UTF-16 and goes on
// as UTF-8, which is also what the console is set to show. Started by
// dropping files onto velconv.exe, it converts each beside itself and keeps
// its window open after a failure until Enter is pressed.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sonx/sonx.h"
#include "velconv/velconv.h"

namespace {

// A console no other program shares (no command prompt started velconv) and
// that the user can type into: velconv was started from Explorer.
bool startedFromExplorer() {
    DWORD processes[2];
    DWORD mode;
    return GetConsoleProcessList(processes, 2) == 1 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
}

void waitForEnter() {
    std::fputs("\nPress Enter to close this window.\n", stderr);
    std::fflush(stderr);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(input);
    wchar_t line[16];
    DWORD read = 0;
    ReadConsoleW(input, line, 16, &read, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** wideArgv) {
    SetConsoleOutputCP(CP_UTF8);
    // The batch progress line is redrawn with terminal sequences.
    DWORD mode;
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (GetConsoleMode(error, &mode)) SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);

    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(sonx::utf8FromWide(wideArgv[i]));
    const bool dropped = argc > 1 && startedFromExplorer();
    // Several files dropped at once are a batch, each converted beside itself.
    if (dropped && argc > 2) arguments.insert(arguments.begin() + 1, "-b");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const int status = sonx::velconv::runVelconv(static_cast<int>(arguments.size()), argv.data());
    if (status != 0 && (dropped || (argc == 1 && startedFromExplorer()))) waitForEnter();
    return status;
}
