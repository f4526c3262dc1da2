/* Stands in for a user pressing Ctrl-C while velconv writes: gives itself a
 * console of its own, starts the command line that follows on it, waits
 * until a file whose name starts with PREFIX appears in FOLDER, presses
 * Ctrl-C on the console, and prints the program's exit code once it ends.
 * Exits with 3 when no such file appeared or the program did not end.
 *
 *   press_ctrl_c.exe PREFIX FOLDER velconv.exe in.wav out.qcp
 *
 * Wine delivers only CTRL_C_EVENT, and only to the whole console; Ctrl-Break
 * and a closed window reach velconv's handler the same way. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static int fileStartingWith(const wchar_t* folder, const wchar_t* prefix) {
    wchar_t pattern[MAX_PATH];
    swprintf(pattern, MAX_PATH, L"%ls\\%ls*", folder, prefix);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    FindClose(search);
    return 1;
}

static int giveUp(PROCESS_INFORMATION* process, const char* why) {
    fprintf(stderr, "press_ctrl_c: %s\n", why);
    TerminateProcess(process->hProcess, 3);
    return 3;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    FreeConsole();
    if (!AllocConsole()) return 2;
    static wchar_t command[32768];
    for (int i = 3; i < argc; ++i) {
        wcscat(command, L"\"");
        wcscat(command, argv[i]);
        wcscat(command, L"\" ");
    }
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    if (!CreateProcessW(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 2;
    /* Only now: a child inherits a parent's ignoring of Ctrl-C. */
    SetConsoleCtrlHandler(NULL, TRUE);
    int seen = 0;
    for (int waited = 0; waited < 3000 && !seen; ++waited) {
        if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) break;
        seen = fileStartingWith(argv[2], argv[1]);
    }
    if (!seen) return giveUp(&process, "no file appeared");
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return giveUp(&process, "cannot press Ctrl-C");
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) return giveUp(&process, "the program did not end");
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    printf("%lu\n", code);
    return 0;
}
