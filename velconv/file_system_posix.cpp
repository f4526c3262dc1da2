#include "velconv/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonx::velconv {

PathKind pathKind(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) return PathKind::Missing;
    if (S_ISREG(st.st_mode)) return PathKind::File;
    if (S_ISDIR(st.st_mode)) return PathKind::Folder;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return PathKind::Stream;
    return PathKind::Device;
}

bool nameExists(const std::string& name) {
    struct stat st {};
    return ::lstat(name.c_str(), &st) == 0;
}

bool sameFile(const std::string& first, const std::string& second) {
    struct stat a {}, b{};
    return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool descriptorIsFile(int descriptor, const std::string& name) {
    struct stat open {}, named{};
    return ::fstat(descriptor, &open) == 0 && S_ISREG(open.st_mode) && ::stat(name.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void checkIsFileName(const std::string&) {}

int openForReading(const std::string& name) { return ::open(name.c_str(), O_RDONLY | O_CLOEXEC); }

void copyFileTimes(const std::string& from, const std::string& to) {
    struct stat in {}, out{};
    if (::stat(from.c_str(), &in) != 0 || ::stat(to.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return;
    const struct timespec times[2] = {in.st_atim, in.st_mtim};
    ::utimensat(AT_FDCWD, to.c_str(), times, 0);
}

bool isTerminal(int descriptor) { return ::isatty(descriptor) == 1; }

std::size_t fileNameStart(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace sonx::velconv
