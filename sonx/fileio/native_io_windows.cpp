#include "sonx/fileio/native_io.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "sonx/fileio/file_names_windows.h"

namespace sonx::native_io {

namespace {

int failWithSystemError() {
    errno = file_names::errnoFromSystemError(GetLastError());
    return -1;
}

unsigned int clampedCount(std::size_t count) { return count > INT_MAX ? INT_MAX : static_cast<unsigned int>(count); }

// Runs a transfer at `offset` and puts the descriptor's own offset back.
template <class Transfer> int64_t atOffset(int fd, int64_t offset, Transfer transfer) {
    if (offset == kCurrent) return transfer();
    const int64_t kept = _lseeki64(fd, 0, SEEK_CUR);
    if (kept < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    const int64_t moved = transfer();
    const int error = errno;
    _lseeki64(fd, kept, SEEK_SET);
    errno = error;
    return moved;
}

}  // namespace

int openNamed(const char* name, OpenFor purpose) {
    const DWORD access = purpose == OpenFor::Reading ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = purpose == OpenFor::CreatingEmpty      ? CREATE_ALWAYS
                              : purpose == OpenFor::EmptyingExisting ? TRUNCATE_EXISTING
                                                                     : OPEN_EXISTING;
    HANDLE handle = CreateFileW(file_names::systemName(name).c_str(), access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return failWithSystemError();
    // A folder opens only with backup semantics, so any handle is a file's.
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                   _O_BINARY | (purpose == OpenFor::Reading ? _O_RDONLY : 0));
    if (fd < 0) {
        CloseHandle(handle);
        errno = EMFILE;
    }
    return fd;
}

int64_t readSome(int fd, void* buffer, std::size_t count, int64_t offset) {
    return atOffset(fd, offset, [&]() -> int64_t { return _read(fd, buffer, clampedCount(count)); });
}

int64_t writeSome(int fd, const void* buffer, std::size_t count, int64_t offset) {
    return atOffset(fd, offset, [&]() -> int64_t { return _write(fd, buffer, clampedCount(count)); });
}

int64_t seek(int fd, int64_t offset, int whence) { return _lseeki64(fd, offset, whence); }

int64_t sizeOf(int fd) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &size)) return failWithSystemError();
    return size.QuadPart;
}

// CreateFileW refuses to open a folder without FILE_FLAG_BACKUP_SEMANTICS,
// so a descriptor here is never one.
int64_t openedLength(int fd) {
    const int64_t end = _lseeki64(fd, 0, SEEK_END);
    if (end < 0 || _lseeki64(fd, 0, SEEK_SET) < 0) return -1;
    return end;
}

int truncate(int fd, uint64_t length) {
    const errno_t error = _chsize_s(fd, static_cast<int64_t>(length));
    if (error == 0) return 0;
    errno = error;
    return -1;
}

int sync(int fd) {
    if (FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(fd)))) return 0;
    // Consoles and pipes hold nothing to put on disk.
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION) return 0;
    errno = file_names::errnoFromSystemError(error);
    return -1;
}

int close(int fd) { return _close(fd); }

int removeNamed(const char* name) {
    return DeleteFileW(file_names::systemName(name).c_str()) ? 0 : failWithSystemError();
}

const char* errorText(int error) { return error == EBUSY ? "in use by another program" : std::strerror(error); }

}  // namespace sonx::native_io
