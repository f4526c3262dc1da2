#include "sonx/velconv/file_targets.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <random>
#include <stdexcept>

namespace sonx::velconv {

namespace {

[[noreturn]] void failWithErrno(const std::string& text, int error) {
    throw SystemCallError(text + std::strerror(error), error);
}

// Client positions and lengths are 32-bit signed; a spool stays below 2 GiB.
constexpr uint64_t kSpoolLimit = INT32_MAX;

// ---- Removal of the temporary output on a terminating signal --------------

// Read by the signal handler, so a plain buffer and a flag; changed only with
// the signals blocked.
char g_cleanupPath[PATH_MAX + 64];
volatile sig_atomic_t g_cleanupSet = 0;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onTerminatingSignal(int sig) {
    if (g_cleanupSet) unlink(g_cleanupPath);
    // The handler was reset to the default: the signal, pending until this
    // returns, then ends the process as it would have without velconv's help.
    raise(sig);
}

// Blocks the cleanup signals for as long as it lives.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kCleanupSignals) sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t old_;
};

void setCleanupPath(const std::string& path) {
    if (path.size() >= sizeof g_cleanupPath) return;  // such a name cannot be created anyway
    std::memcpy(g_cleanupPath, path.c_str(), path.size() + 1);
    g_cleanupSet = 1;
}

// ---- Plain descriptor transfers --------------------------------------------

void writeAll(int fd, const uint8_t* buffer, size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd, buffer, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) failWithErrno("Error writing to file: ", put < 0 ? errno : ENOSPC);
        buffer += put;
        n -= static_cast<size_t>(put);
    }
}

size_t readSome(int fd, uint8_t* buffer, size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, n);
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) failWithErrno("Error reading from file: ", errno);
    }
}

// The library's client file protocol over the spool's descriptor.
int32_t spoolCallback(int32_t operation, uint8_t* buffer, int32_t position, int32_t length,
                      uintptr_t clientData) {
    const int fd = static_cast<int>(clientData);
    const size_t n = length < 0 ? 0 : static_cast<size_t>(length);
    switch (operation) {
        case CLIENT_FILE_READ: {
            size_t done = 0;
            while (done < n) {
                const ssize_t got = ::read(fd, buffer + done, n - done);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                done += static_cast<size_t>(got);
            }
            return static_cast<int32_t>(done);
        }
        case CLIENT_FILE_WRITE: {
            size_t done = 0;
            while (done < n) {
                const ssize_t put = ::write(fd, buffer + done, n - done);
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) break;
                done += static_cast<size_t>(put);
            }
            return static_cast<int32_t>(done);
        }
        case CLIENT_FILE_SEEK:
            return ::lseek(fd, static_cast<off_t>(position), SEEK_SET) == position ? position : -1;
        case CLIENT_FILE_SIZE: {
            struct stat st {};
            if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) > kSpoolLimit) return -1;
            return static_cast<int32_t>(st.st_size);
        }
        case CLIENT_FILE_TRUNCATE:
            return ::ftruncate(fd, static_cast<off_t>(n));
        default:
            return -1;
    }
}

uint32_t le32(const uint8_t* b) {
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

void putLe32At(Spool& spool, uint64_t offset, uint32_t value) {
    const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    spool.writeAt(offset, b, 4);
}

// A writer that cannot seek back leaves 0, 0xFFFFFFFF or a placeholder past
// the end of what it wrote (sox writes 0x7FFFF000).
bool isStreamingLength(uint32_t length, uint64_t available) {
    return length == 0 || length == 0xFFFFFFFFu || length > available;
}

// ---- Temporary output files -------------------------------------------------

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "talk.qcp" gets "talk.qcp.velconv-" and six random characters beside it.
std::string temporaryNameFor(const std::string& output, std::mt19937& random) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string base = baseOf(output);
    const std::string folder = folderOf(output);
    if (base.size() + 15 > NAME_MAX) base.clear();  // keep the name within the limit
    std::string name = (folder == "/" ? "" : folder) + "/" + base + (base.empty() ? "" : ".") + "velconv-";
    for (int i = 0; i < 6; ++i) name += kChars[random() % (sizeof kChars - 1)];
    return name;
}

// Creates the temporary file (never an existing one) and registers it for
// removal on a signal in one step, so no signal can leave it unregistered.
// Returns its name, or "" with `error` set when the folder refuses it.
std::string createTemporary(const std::string& output, mode_t keepMode, bool replacing, int& error) {
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryNameFor(output, random);
        SignalsBlocked blocked;
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error = errno;
            return "";
        }
        setCleanupPath(name);
        // The new file takes the place of the old: it keeps its permissions
        // (and, where allowed, its owner and group), as writing into it did.
        if (replacing) fchmod(fd, keepMode & 0777);
        ::close(fd);
        return name;
    }
    error = EEXIST;
    return "";
}

void removeTemporary(const std::string& name) {
    SignalsBlocked blocked;
    ::unlink(name.c_str());
    g_cleanupSet = 0;
}

}  // namespace

// ---- Spool ---------------------------------------------------------------------

Spool::Spool() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velconv-spool-XXXXXX";
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) failWithErrno("Unable to create a temporary file: ", errno);
    ::unlink(pattern.c_str());
}

Spool::~Spool() {
    if (fd_ >= 0) ::close(fd_);
}

FileHandle Spool::handle() {
    ::lseek(fd_, 0, SEEK_SET);
    return FileHandle::client(spoolCallback, static_cast<uintptr_t>(fd_));
}

uint64_t Spool::size() const {
    struct stat st {};
    if (fstat(fd_, &st) != 0) failWithErrno("Error getting file pointer position: ", errno);
    return static_cast<uint64_t>(st.st_size);
}

size_t Spool::readAt(uint64_t offset, uint8_t* buffer, size_t n) const {
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd_, buffer + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failWithErrno("Error reading from file: ", errno);
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

void Spool::writeAt(uint64_t offset, const uint8_t* buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t put = ::pwrite(fd_, buffer + done, n - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) failWithErrno("Error writing to file: ", put < 0 ? errno : ENOSPC);
        done += static_cast<size_t>(put);
    }
}

void Spool::fillFrom(int fd, const char* what) {
    uint8_t buffer[65536];
    uint64_t total = size();
    ::lseek(fd_, 0, SEEK_END);
    try {
        for (size_t got; (got = readSome(fd, buffer, sizeof buffer)) > 0;) {
            total += got;
            if (total > kSpoolLimit)
                throw std::runtime_error("More than 2 GiB on " + std::string(what) + ", more than velconv can take");
            writeAll(fd_, buffer, got);
        }
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        // Say which side failed: the pipe, or the temporary file behind it.
        if (text.rfind("Error reading from file: ", 0) == 0)
            throw std::runtime_error("Error reading " + std::string(what) + ": " + text.substr(25));
        throw;
    }
}

void Spool::copyTo(int fd) const {
    uint8_t buffer[65536];
    uint64_t offset = 0;
    for (size_t got; (got = readAt(offset, buffer, sizeof buffer)) > 0; offset += got) writeAll(fd, buffer, got);
}

void settleStreamingWavLengths(Spool& input) {
    const uint64_t end = input.size();
    uint8_t head[12];
    if (end < 12 || end > UINT32_MAX || input.readAt(0, head, 12) != 12) return;
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return;
    if (isStreamingLength(le32(head + 4), end - 8)) putLe32At(input, 4, static_cast<uint32_t>(end - 8));
    // The 'data' chunk is the last one a streaming writer can put out.
    for (uint64_t at = 12; at + 8 <= end;) {
        uint8_t chunk[8];
        input.readAt(at, chunk, 8);
        const uint32_t length = le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            const uint64_t available = end - at - 8;
            if (isStreamingLength(length, available)) putLe32At(input, at + 4, static_cast<uint32_t>(available));
            return;
        }
        at += 8 + uint64_t{length} + (length & 1u);
    }
}

// ---- OutputTarget -----------------------------------------------------------------

OutputTarget::OutputTarget(const std::string& name) : finalName_(name) {
    // An empty name names no file; the temporary beside it could be made,
    // but nothing could be renamed to it.
    if (name.empty()) throw std::runtime_error(std::string("Error opening file: ") + std::strerror(ENOENT));
    if (name == kStdioName) {
        spool_ = std::make_unique<Spool>();
        destination_ = STDOUT_FILENO;
        return;
    }
    struct stat st {};
    const bool exists = ::stat(name.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices, FIFOs and terminals cannot be renamed over; they get the
        // finished file in one sequential write.
        spool_ = std::make_unique<Spool>();
        destination_ = ::open(name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (destination_ < 0) failWithErrno("Error opening file: ", errno);
        ownsDestination_ = true;
        return;
    }
    // A symbolic link stays a link: the file it points to is replaced.
    struct stat link {};
    if (exists && ::lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(name.c_str(), resolved)) finalName_ = resolved;
    }
    // A file its owner made read-only stays refused, as writing into it was.
    if (exists && ::access(finalName_.c_str(), W_OK) != 0) failWithErrno("Error opening file: ", errno);
    int error = 0;
    temporaryName_ = createTemporary(finalName_, st.st_mode, exists, error);
    if (temporaryName_.empty()) {
        const bool folderRefuses = error == EACCES || error == EPERM || error == EROFS;
        if (!exists || !folderRefuses) failWithErrno("Error opening file: ", error);
        // A writable file in a folder that takes no new files: it is
        // rewritten in place, but only once the whole conversion is done.
        spool_ = std::make_unique<Spool>();
        destination_ = ::open(finalName_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (destination_ < 0) failWithErrno("Error opening file: ", errno);
        ownsDestination_ = true;
        truncateDestination_ = true;
        return;
    }
    if (exists && (st.st_uid != geteuid() || st.st_gid != getegid()))
        if (::chown(temporaryName_.c_str(), st.st_uid, st.st_gid) != 0) {
            // Not allowed to give it away: the file becomes the user's own.
        }
}

OutputTarget::~OutputTarget() {
    if (!temporaryName_.empty()) removeTemporary(temporaryName_);
    if (ownsDestination_) ::close(destination_);
}

FileHandle OutputTarget::handle() {
    return spool_ ? spool_->handle() : FileHandle::named(temporaryName_.c_str());
}

void OutputTarget::commit() {
    if (spool_) {
        if (truncateDestination_ && ::ftruncate(destination_, 0) != 0)
            failWithErrno("Error truncating file: ", errno);
        spool_->copyTo(destination_);
        return;
    }
    // On disk before it takes the output's name, so a crash cannot leave an
    // empty file where the old one was.
    const int fd = ::open(temporaryName_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    SignalsBlocked blocked;
    if (::rename(temporaryName_.c_str(), finalName_.c_str()) != 0)
        failWithErrno("Error replacing the output file: ", errno);
    g_cleanupSet = 0;
    temporaryName_.clear();
}

SignalCleanup::SignalCleanup() {
    struct sigaction action {};
    action.sa_handler = onTerminatingSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kCleanupSignals) sigaddset(&action.sa_mask, sig);
    action.sa_flags = SA_RESETHAND;
    for (size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (sigaction(kCleanupSignals[i], nullptr, &saved_[i]) != 0 || saved_[i].sa_handler == SIG_IGN) continue;
        installed_[i] = sigaction(kCleanupSignals[i], &action, nullptr) == 0;
    }
}

SignalCleanup::~SignalCleanup() {
    for (size_t i = 0; i < std::size(kCleanupSignals); ++i)
        if (installed_[i]) sigaction(kCleanupSignals[i], &saved_[i], nullptr);
}

}  // namespace sonx::velconv
