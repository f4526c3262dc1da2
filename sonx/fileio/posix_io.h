// Whole transfers on a descriptor: the one loop that retries interrupted and
// partial reads and writes, so only a real end of data or a real error ends
// a transfer early.
#ifndef SONX_FILEIO_POSIX_IO_H
#define SONX_FILEIO_POSIX_IO_H

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "sonx/fileio/native_io.h"

namespace sonx::posix_io {

// Where a transfer starts: kCurrent uses and moves the descriptor's offset.
inline constexpr int64_t kCurrent = native_io::kCurrent;

// Reads up to `count` bytes; returns the count read, short only at the end
// of data or on an error (errno then says which; it is 0 at the end).
inline size_t readFull(int fd, void* buffer, size_t count, int64_t offset = kCurrent) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    errno = 0;
    while (done < count) {
        const int64_t got = native_io::readSome(fd, bytes + done, count - done,
                                                offset == kCurrent ? kCurrent : offset + static_cast<int64_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = 0;  // an earlier retry may have left EINTR
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

// Writes all `count` bytes; returns the count written, short only on an
// error (errno says which; a write that takes nothing counts as ENOSPC).
inline size_t writeFull(int fd, const void* buffer, size_t count, int64_t offset = kCurrent) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        const int64_t put = native_io::writeSome(fd, bytes + done, count - done,
                                                 offset == kCurrent ? kCurrent : offset + static_cast<int64_t>(done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(put);
    }
    return done;
}

}  // namespace sonx::posix_io

#endif  // SONX_FILEIO_POSIX_IO_H
