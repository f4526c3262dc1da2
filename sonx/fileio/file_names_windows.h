// File names on Windows: UTF-8 inside the program, UTF-16 for the system's
// wide-character calls, with the \\?\ form for names past the old 260
// character limit. Used by the Windows halves of the platform layers only.
#ifndef SONX_FILEIO_FILE_NAMES_WINDOWS_H
#define SONX_FILEIO_FILE_NAMES_WINDOWS_H

#include <string>

namespace sonx::file_names {

std::wstring wideFromUtf8(const std::string& text);
std::string utf8FromWide(const std::wstring& text);

// The name as the wide calls take it: absolute (so calls that work out a
// name's folder themselves, such as ReplaceFileW, can), in the \\?\ form
// when past the old limit (which also lifts the limit on a folder's name).
std::wstring systemName(const std::string& name);

// The errno that stands for a Windows error code. A sharing or lock
// violation (the file is open in another program) becomes EBUSY.
int errnoFromSystemError(unsigned long code);

// Whether the file name (its last part) is one Windows keeps for a device
// in every folder: CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or
// without an extension.
bool isReservedName(const std::string& name);

}  // namespace sonx::file_names

#endif  // SONX_FILEIO_FILE_NAMES_WINDOWS_H
