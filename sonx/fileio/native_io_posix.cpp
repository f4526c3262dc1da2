#include "sonx/fileio/native_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace sonx::native_io {

int openNamed(const char* name, OpenFor purpose) {
    int flags = O_CLOEXEC;
    switch (purpose) {
        case OpenFor::Reading: flags |= O_RDONLY; break;
        case OpenFor::ReadingAndWriting: flags |= O_RDWR; break;
        case OpenFor::CreatingEmpty: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        case OpenFor::EmptyingExisting: flags |= O_RDWR | O_TRUNC; break;
    }
    return ::open(name, flags, S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH);
}

int64_t readSome(int fd, void* buffer, std::size_t count, int64_t offset) {
    return offset == kCurrent ? ::read(fd, buffer, count) : ::pread(fd, buffer, count, offset);
}

int64_t writeSome(int fd, const void* buffer, std::size_t count, int64_t offset) {
    return offset == kCurrent ? ::write(fd, buffer, count) : ::pwrite(fd, buffer, count, offset);
}

int64_t seek(int fd, int64_t offset, int whence) { return ::lseek(fd, static_cast<off_t>(offset), whence); }

int64_t sizeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t openedLength(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (S_ISREG(st.st_mode)) return static_cast<int64_t>(st.st_size);
    // A device tells its length only by a seek to its end.
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0 || ::lseek(fd, 0, SEEK_SET) < 0) return -1;
    return static_cast<int64_t>(end);
}

int truncate(int fd, uint64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)); }

int sync(int fd) { return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : -1; }

int close(int fd) { return ::close(fd); }

int removeNamed(const char* name) { return ::unlink(name); }

const char* errorText(int error) { return std::strerror(error); }

}  // namespace sonx::native_io
