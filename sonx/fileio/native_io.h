// The operating system's side of named files and descriptors: the only
// calls that differ between POSIX and Windows (native_io_posix.cpp,
// native_io_windows.cpp; CMake builds the one for the target). Names are
// UTF-8 on every system. Failures return -1 and leave the reason in errno.
#ifndef SONX_FILEIO_NATIVE_IO_H
#define SONX_FILEIO_NATIVE_IO_H

#include <cstddef>
#include <cstdint>

namespace sonx::native_io {

// EmptyingExisting truncates a file that must exist, never making one.
enum class OpenFor { Reading, ReadingAndWriting, CreatingEmpty, EmptyingExisting };

// A descriptor for the named file. A created file is readable and writable
// by all, as the umask allows. Other programs may read, write and remove a
// file while it is open here.
int openNamed(const char* name, OpenFor purpose);

// Where a transfer starts: kCurrent uses and moves the descriptor's offset;
// an offset given leaves the descriptor's own offset where it was.
inline constexpr int64_t kCurrent = -1;

// One read or write of at most `count` bytes: the count moved (0 at the end
// of data), or -1.
int64_t readSome(int fd, void* buffer, std::size_t count, int64_t offset);
int64_t writeSome(int fd, const void* buffer, std::size_t count, int64_t offset);

// Whether a transfer at an offset is one call of the system (pread and
// pwrite), rather than seeks around a transfer at the descriptor's offset.
#if defined(_WIN32)
inline constexpr bool kTransferAtOffsetIsOneCall = false;
#else
inline constexpr bool kTransferAtOffsetIsOneCall = true;
#endif

// lseek's whence values (SEEK_SET, SEEK_CUR, SEEK_END); returns the new offset.
int64_t seek(int fd, int64_t offset, int whence);
int64_t sizeOf(int fd);
// The length of a file just opened, its descriptor's offset left at 0; -1
// with EISDIR for a folder (it opens for reading, but holds no bytes to
// read), or with the system's errno.
int64_t openedLength(int fd);
int truncate(int fd, uint64_t length);
// Puts the file's bytes on disk; a file that cannot be synced (a pipe, a
// read-only file system) counts as synced.
int sync(int fd);
int close(int fd);
int removeNamed(const char* name);

// The text for an errno this layer left, as strerror gives it, except that
// a file another program holds open reads "in use by another program".
const char* errorText(int error);

}  // namespace sonx::native_io

#endif  // SONX_FILEIO_NATIVE_IO_H
