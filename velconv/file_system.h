// What velconv asks the file system about names: the only such questions
// whose answers come from different calls on POSIX and on Windows
// (file_system_posix.cpp, file_system_windows.cpp). Names are UTF-8.
#ifndef SONX_VELCONV_FILE_SYSTEM_H
#define SONX_VELCONV_FILE_SYSTEM_H

#include <cstddef>
#include <filesystem>
#include <string>

namespace sonx::velconv {

// The name that stands for standard input or standard output.
inline constexpr const char* kStdioName = "-";

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Descriptors 0, 1 and 2 that are closed when velconv starts are given the
// null device, so no file velconv opens can take their place (a spool given
// descriptor 1 would be copied into itself); standard input and output
// carry bytes, never text. standardDescriptorWasClosed reports whether one
// was closed.
void reserveStandardDescriptors();
bool standardDescriptorWasClosed(int descriptor);

// What a name leads to, symbolic links followed.
enum class PathKind { Missing, File, Folder, Stream /* FIFO or socket */, Device };
PathKind pathKind(const std::string& name);

// Whether anything has the name, a symbolic link to nothing included.
bool nameExists(const std::string& name);

// Whether two names, or a descriptor and a name, reach one regular file.
bool sameFile(const std::string& first, const std::string& second);
bool descriptorIsFile(int descriptor, const std::string& name);

// Refuses a name the system keeps for something other than a file (on
// Windows CON, NUL, COM1 and the like, in any folder): throws
// std::runtime_error saying so.
void checkIsFileName(const std::string& name);

bool isTerminal(int descriptor);

// Where the file's own name begins: after the last folder separator (and,
// on Windows, after a drive letter's colon).
std::size_t fileNameStart(const std::string& path);

// UTF-8 names to and from std::filesystem paths, whatever the system's
// narrow character set.
inline std::filesystem::path pathOf(const std::string& name) {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}
inline std::string nameOf(const std::filesystem::path& path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_FILE_SYSTEM_H
