/* Stands in for another program that has a file open: opens the file named
 * first without sharing it, creates the file named second to say so, and
 * keeps the first open until the second is removed (or a minute passes).
 *
 *   hold_open.exe out.wav held.flag */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (held == INVALID_HANDLE_VALUE) return 1;
    HANDLE flag = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    if (flag == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(flag);
    for (int waited = 0; waited < 600 && GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES; ++waited) Sleep(100);
    CloseHandle(held);
    return 0;
}
