#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sonx/component/status.h"
#include "sonx/fileio/audio_file.h"
#include "sonx/fileio/endian.h"
#include "sonx/fileio/native_io.h"
#include "sonx/fileio/posix_io.h"
#include "sonx/fileio/safe_output.h"

namespace sonx {

namespace {

[[noreturn]] void failWithErrno(const char* text, int error, int32_t status) {
    failWith(status, std::string(text) + native_io::errorText(error));
}

void checkUsable(const AudioFile& file) {
    checkHandle(file.handle);
}

int32_t callClient(const AudioFile& file, int32_t op, uint8_t* buffer, int32_t position, int32_t length) {
    return file.handle.callback(op, buffer, position, length, file.handle.clientData);
}

// Sizes the client reports below zero are meaningless; treat them as empty.
uint32_t clientSize(const AudioFile& file) {
    const int32_t size = callClient(file, CLIENT_FILE_SIZE, nullptr, 0, 0);
    return size < 0 ? 0 : static_cast<uint32_t>(size);
}

// A borrowed descriptor stays open for its temporary's owner.
int letGoOfDescriptor(AudioFile& file) {
    const int closed = file.temporary ? 0 : native_io::close(file.descriptor);
    file.temporary.reset();
    file.descriptor = -1;
    return closed;
}

void closeDescriptorQuietly(AudioFile& file) {
    letGoOfDescriptor(file);
    file.handle.type = FILE_HANDLE_CLOSED;
}

void riffSeek(uint32_t position, void* context) {
    seekFile(*static_cast<AudioFile*>(context), position);
}
void riffRead(uint8_t* buffer, uint32_t count, void* context) {
    readFile(*static_cast<AudioFile*>(context), buffer, count);
}
void riffWrite(const uint8_t* buffer, uint32_t count, void* context) {
    writeFile(*static_cast<AudioFile*>(context), buffer, count);
}
int32_t riffTruncate(uint32_t length, void* context) {
    return truncateFile(*static_cast<AudioFile*>(context), length);
}

// The descriptor of a temporary output in the making, used as it is: a
// temporary is never opened by name again, as a signal may have removed it
// and opening could make it anew. Creating starts it empty.
bool borrowTemporary(AudioFile& file, const char* name, bool create) {
    file.temporary = openTemporaryInTheMaking(name);
    if (!file.temporary) return false;
    file.descriptor = file.temporary->descriptor();
    if (create && !file.temporary->takeFresh() && native_io::truncate(file.descriptor, 0) != 0) {
        const int error = errno;
        letGoOfDescriptor(file);
        file.handle.type = FILE_HANDLE_CLOSED;
        failWithErrno("Error opening file: ", error, SONX_ERR_OPEN);
    }
    return true;
}

void openNamed(AudioFile& file, bool create, bool readWrite) {
    using native_io::OpenFor;
    const char* name = file.handle.fileName ? file.handle.fileName : "";
    const bool borrowed = borrowTemporary(file, name, create);
    if (!borrowed) {
        // Where the temporary is opened by name, it is still never made anew.
        const OpenFor created =
            isTemporaryInTheMaking(name) ? OpenFor::EmptyingExisting : OpenFor::CreatingEmpty;
        const OpenFor purpose = create ? created : readWrite ? OpenFor::ReadingAndWriting : OpenFor::Reading;
        const int fd = native_io::openNamed(name, purpose);
        if (fd < 0) {
            const int error = errno;
            file.handle.type = FILE_HANDLE_CLOSED;
            failWithErrno("Error opening file: ", error, SONX_ERR_OPEN);
        }
        file.descriptor = fd;
    }
    file.position = 0;
    // A borrowed descriptor's offset is wherever its last user left it.
    file.descriptorOffset = borrowed ? kOffsetUnknown : 0;
    file.ahead.clear();
    file.aheadStart = 0;
    file.lengthsAtClose = create && borrowed;
    if (create) {
        file.fileFormat.size = 0;
        return;
    }
    const int64_t end = native_io::openedLength(file.descriptor);
    if (end < 0) {
        const int error = errno;
        closeDescriptorQuietly(file);
        // A folder opens for reading, but holds no bytes to read.
        if (error == EISDIR) failWithErrno("Error opening file: ", EISDIR, SONX_ERR_OPEN);
        failWithErrno("Error seeking in file: ", error, SONX_ERR_READ);
    }
    // Positions are 32-bit throughout the layer; a longer file cannot be addressed.
    if (static_cast<uint64_t>(end) > UINT32_MAX) {
        closeDescriptorQuietly(file);
        failWithErrno("Error getting file pointer position: ", EOVERFLOW, SONX_ERR_TOO_LARGE);
    }
    file.fileFormat.size = static_cast<uint32_t>(end);
    file.openedLength = static_cast<uint32_t>(end);
}

// Where a named file's transfer at file.position starts: there, in the one
// call where the system has one, else at the descriptor's offset, moved
// there first when it is elsewhere.
int64_t transferOffset(AudioFile& file) {
    if (native_io::kTransferAtOffsetIsOneCall) return file.position;
    if (file.descriptorOffset != file.position) {
        if (native_io::seek(file.descriptor, file.position, SEEK_SET) < 0)
            failWithErrno("Error seeking in file: ", errno, SONX_ERR_READ);
        file.descriptorOffset = file.position;
    }
    return posix_io::kCurrent;
}

// The descriptor's offset after `done` of `count` bytes moved from file.position.
void noteDescriptorOffset(AudioFile& file, size_t done, uint32_t count) {
    file.descriptorOffset = done == count ? int64_t{file.position} + int64_t(done) : kOffsetUnknown;
}

void transferred(AudioFile& file, size_t done, uint32_t count) {
    noteDescriptorOffset(file, done, count);
    file.position += static_cast<uint32_t>(done);
}

// Reads shorter than this, of a file opened only to read (a header's
// fields, a chunk walk), are served from one block read ahead. A file no
// longer than kHeldFileBytes that is read past that block is read whole,
// once, and every later read is served from it: a conversion reads its
// packets twice (to count them, then to decode them). One no longer than
// kWholeAtFirstBytes is read whole at its first small read.
constexpr uint32_t kSmallRead = 512;
constexpr uint32_t kReadAheadBytes = 4096;
constexpr uint32_t kHeldFileBytes = 1u << 20;
constexpr uint32_t kWholeAtFirstBytes = 64u << 10;

bool isReadAhead(const AudioFile& file, uint32_t count) {
    return file.position >= file.aheadStart && file.position - file.aheadStart <= file.ahead.size() &&
           file.ahead.size() - (file.position - file.aheadStart) >= count;
}

bool holdsWholeFile(const AudioFile& file) {
    return file.aheadStart == 0 && file.ahead.size() == file.openedLength;
}

// Reads `length` bytes from `start` into the read-ahead buffer.
void fillAhead(AudioFile& file, uint32_t start, uint32_t length) {
    file.ahead.resize(length);
    const uint32_t position = file.position;
    file.position = start;
    const int64_t offset = transferOffset(file);
    const size_t got = posix_io::readFull(file.descriptor, file.ahead.data(), length, offset);
    noteDescriptorOffset(file, got, length);
    file.position = position;
    file.ahead.resize(errno == 0 ? got : 0);
    file.aheadStart = start;
}

// False when the bytes are not all there to be read ahead, or the read is
// a large first one: the plain read then makes it, or tells what went wrong.
bool readFromAhead(AudioFile& file, uint8_t* buffer, uint32_t count) {
    if (file.openedForWriting) return false;
    if (!isReadAhead(file, count)) {
        // Past the end of a file held whole: the plain read tells.
        if (holdsWholeFile(file)) return false;
        const bool small = count < kSmallRead;
        const bool readBefore = !file.ahead.empty();
        const uint32_t wholeLimit = readBefore ? kHeldFileBytes : small ? kWholeAtFirstBytes : 0;
        if (file.openedLength <= wholeLimit)
            fillAhead(file, 0, file.openedLength);
        else if (small)
            fillAhead(file, file.position, kReadAheadBytes);
        else
            return false;
        if (!isReadAhead(file, count)) return false;
    }
    if (count) std::memcpy(buffer, file.ahead.data() + (file.position - file.aheadStart), count);
    file.position += count;
    return true;
}

// A created output starts empty, as a named one does with O_TRUNC. The
// size the client then reports is what counts, not truncate's answer: a
// client without truncate whose file is already empty is fine, and one that
// still holds bytes would end up with the old bytes behind the new file.
void emptyClientFile(AudioFile& file) {
    callClient(file, CLIENT_FILE_TRUNCATE, nullptr, 0, 0);
    const int32_t left = callClient(file, CLIENT_FILE_SIZE, nullptr, 0, 0);
    if (left != 0) {
        file.handle.type = FILE_HANDLE_CLOSED;
        failWith(SONX_ERR_OPEN, "Client handle truncate failed (desired = 0, actual = " + std::to_string(left) +
                                 ")");
    }
    const int32_t start = callClient(file, CLIENT_FILE_SEEK, nullptr, 0, 0);
    if (start != 0) {
        file.handle.type = FILE_HANDLE_CLOSED;
        failWith(SONX_ERR_OPEN, "Client handle seek failed (pos = 0, actual = " + std::to_string(start) + ")");
    }
}

}  // namespace

void checkHandle(const FileHandle& handle) {
    if (handle.type == FILE_HANDLE_CLIENT) {
        if (!handle.callback) failWith(SONX_ERR_INVALID, "No client callback given in client handle");
    } else if (handle.type != FILE_HANDLE_NAME) {
        failWith(SONX_ERR_INVALID, "Invalid file handle type given");
    }
}

void openFile(AudioFile& file, bool create, bool readWrite) {
    file.openedForWriting = readWrite ? 1 : 0;
    file.riff = RiffIo{};
    if (file.handle.type == FILE_HANDLE_NAME) {
        openNamed(file, create, readWrite);
    } else if (file.handle.type == FILE_HANDLE_CLIENT) {
        file.descriptor = -1;
        if (!file.handle.callback) {
            file.handle.type = FILE_HANDLE_CLOSED;
            failWith(SONX_ERR_INVALID, "No client callback given in client handle");
        }
        if (create) emptyClientFile(file);
        file.fileFormat.size = create ? 0 : clientSize(file);
    } else {
        file.handle.type = FILE_HANDLE_CLOSED;
        failWith(SONX_ERR_INVALID, "Invalid file handle type given");
    }
    if (file.fileFormat.fileType == FILE_TYPE_QCP || file.fileFormat.fileType == FILE_TYPE_WAV) {
        file.riff.size = file.fileFormat.size;
        file.riff.seek = riffSeek;
        file.riff.read = riffRead;
        file.riff.write = riffWrite;
        file.riff.truncate = riffTruncate;
        file.riff.context = &file;
    }
}

void seekFile(AudioFile& file, uint32_t position) {
    checkUsable(file);
    if (file.handle.type == FILE_HANDLE_NAME) {
        file.position = position;
        return;
    }
    file.fileFormat.size = clientSize(file);
    const int32_t wanted = static_cast<int32_t>(position);
    const int32_t actual = callClient(file, CLIENT_FILE_SEEK, nullptr, wanted, 0);
    if (actual != wanted)
        failWith(SONX_ERR_READ, "Client handle seek failed (pos = " + std::to_string(position) +
                                 ", actual = " + std::to_string(actual) + ")");
}

uint32_t readFile(AudioFile& file, uint8_t* buffer, uint32_t count) {
    checkUsable(file);
    if (file.handle.type == FILE_HANDLE_NAME) {
        if (readFromAhead(file, buffer, count)) return count;
        const size_t done = posix_io::readFull(file.descriptor, buffer, count, transferOffset(file));
        transferred(file, done, count);
        if (done != count) {
            if (errno != 0) failWithErrno("Error reading from file: ", errno, SONX_ERR_READ);
            failWith(SONX_ERR_READ, "Error reading from file: Unexpected end of file");
        }
        return count;
    }
    const int32_t actual = callClient(file, CLIENT_FILE_READ, buffer, 0, static_cast<int32_t>(count));
    if (actual != static_cast<int32_t>(count))
        failWith(SONX_ERR_READ, "Client handle read failed (desired = " + std::to_string(count) +
                                 ", actual = " + std::to_string(actual) + ")");
    return count;
}

uint32_t writeFile(AudioFile& file, const uint8_t* buffer, uint32_t count) {
    checkUsable(file);
    if (file.handle.type == FILE_HANDLE_NAME) {
        const size_t done = posix_io::writeFull(file.descriptor, buffer, count, transferOffset(file));
        transferred(file, done, count);
        if (done != count) failWithErrno("Error writing to file: ", errno, SONX_ERR_WRITE);
        return count;
    }
    // The callback's buffer is not const, but writing never changes it.
    const int32_t actual =
        callClient(file, CLIENT_FILE_WRITE, const_cast<uint8_t*>(buffer), 0, static_cast<int32_t>(count));
    if (actual != static_cast<int32_t>(count))
        failWith(SONX_ERR_WRITE, "Client handle write failed (desired = " + std::to_string(count) +
                                 ", actual = " + std::to_string(actual) + ")");
    return count;
}

int32_t truncateFile(AudioFile& file, uint32_t length) {
    checkUsable(file);
    if (file.handle.type == FILE_HANDLE_NAME) {
        if (native_io::truncate(file.descriptor, length) != 0)
            failWithErrno("Error truncating file: ", errno, SONX_ERR_WRITE);
        return 0;
    }
    return callClient(file, CLIENT_FILE_TRUNCATE, nullptr, 0, static_cast<int32_t>(length));
}

void writeHeaderLengths(AudioFile& file) {
    const auto putAt = [&](uint32_t position, uint32_t value) {
        uint8_t bytes[4];
        putLe32(bytes, value);
        seekFile(file, position);
        writeFile(file, bytes, 4);
    };
    putAt(4, file.riff.size - 8);
    putAt(file.dataStart - 4, file.dataPosition - file.dataStart);
    if (file.fileFormat.fileType == FILE_TYPE_QCP) putAt(file.rateChunkPos + 4, file.blocksDone);
}

void closeFile(AudioFile& file, bool quiet) {
    std::string failure;
    int32_t status = SONX_ERR_WRITE;
    const bool riffFile =
        file.fileFormat.fileType == FILE_TYPE_QCP || file.fileFormat.fileType == FILE_TYPE_WAV;
    const bool open = file.handle.type == FILE_HANDLE_NAME ||
                      (file.handle.type == FILE_HANDLE_CLIENT && file.handle.callback);
    // The RIFF size already counts the pad byte of an odd-length 'data' chunk.
    if (open && file.openedForWriting && riffFile) {
        try {
            if (file.dataPosition & 1u) {
                static const uint8_t zero = 0;
                seekFile(file, file.dataPosition);
                writeFile(file, &zero, 1);
            }
            if (file.lengthsAtClose && file.blocksDone > 0) writeHeaderLengths(file);
        } catch (const std::exception& e) {
            failure = e.what();
            status = currentStatus();
        }
    }
    file.lengthsAtClose = false;
    if (file.handle.type == FILE_HANDLE_NAME) {
        if (letGoOfDescriptor(file) != 0 && failure.empty())
            failure = std::string("Error closing file: ") + native_io::errorText(errno);
    }
    // The descriptor is gone even when close reports an error, so the record
    // is closed and its codecs given back on every path.
    file.handle.type = FILE_HANDLE_CLOSED;
    file.riff = RiffIo{};
    auto drop = [](auto*& p) {
        if (p) p->Release();
        p = nullptr;
    };
    drop(file.decoder);
    drop(file.decoderError);
    drop(file.encoder);
    drop(file.encoderError);
    if (!failure.empty() && !quiet) failWith(status, failure);
}

}  // namespace sonx
