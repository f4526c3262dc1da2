#include "velconv/file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonx::velconv {

namespace {
bool g_standardClosed[3] = {};
}  // namespace

void reserveStandardDescriptors() {
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0) continue;
        g_standardClosed[fd] = true;
        if (null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

bool standardDescriptorWasClosed(int descriptor) {
    return descriptor >= 0 && descriptor < 3 && g_standardClosed[descriptor];
}

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

bool isTerminal(int descriptor) { return ::isatty(descriptor) == 1; }

std::size_t fileNameStart(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace sonx::velconv
