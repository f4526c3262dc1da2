#include "velconv/file_targets.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <random>
#include <stdexcept>
#include <vector>

#include "sonx/fileio/endian.h"
#include "sonx/fileio/posix_io.h"

namespace sonx::velconv {

using posix_io::readFull;
using posix_io::writeFull;

namespace {

[[noreturn]] void failWithErrno(const std::string& text, int error, const std::string& place = "") {
    throw SystemCallError(text + std::strerror(error), error, place);
}

// Client positions and lengths are 32-bit signed; a spool stays below 2 GiB.
constexpr uint64_t kSpoolLimit = INT32_MAX;

bool g_standardClosed[3] = {};

// ---- Removal of temporary outputs on a terminating signal ------------------

// The temporary files in flight (a batch has one per file in conversion),
// read by the signal handler: plain buffers in fixed slots, each claimed and
// released through a lock-free flag.
enum SlotState : int { kSlotFree, kSlotFilling, kSlotNamed };
struct CleanupSlot {
    std::atomic<int> state{kSlotFree};
    char path[PATH_MAX + 64];
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
CleanupSlot g_cleanupSlots[kMaxTemporariesInFlight];

// Steps a signal must not cut (making and registering a temporary file, a
// rename, an in-place rewrite) run on any thread; the handler waits for
// those under way, and none starts once it runs.
std::atomic<int> g_uncutSteps{0};
std::atomic<bool> g_ending{false};

// How long the handler waits for steps under way: one could be stuck behind
// a lock the interrupted thread holds, and the process must still end.
constexpr long kStepWaitNanoseconds = 2'000'000'000;

long nanosecondsSince(const timespec& start) {
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec);
}

void onTerminatingSignal(int sig) {
    g_ending.store(true);
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (g_uncutSteps.load() != 0 && nanosecondsSince(start) < kStepWaitNanoseconds) {
    }
    for (CleanupSlot& slot : g_cleanupSlots)
        if (slot.state.load() == kSlotNamed) unlink(slot.path);
    // The handler was reset to the default: the signal, pending until this
    // returns, then ends the process as it would have without velconv's help.
    raise(sig);
}

// One step a signal must not cut: the terminating signals are held back on
// this thread, and the handler on another waits until the step is over.
class UncutStep {
public:
    UncutStep() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kTerminatingSignals) sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
        g_uncutSteps.fetch_add(1);
        if (g_ending.load()) {
            // The process is ending on another thread: nothing new may start.
            g_uncutSteps.fetch_sub(1);
            for (;;) pause();
        }
    }
    ~UncutStep() {
        g_uncutSteps.fetch_sub(1);
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    UncutStep(const UncutStep&) = delete;
    UncutStep& operator=(const UncutStep&) = delete;

private:
    sigset_t old_;
};

// Within an UncutStep, so no signal finds the file made but not registered.
void registerTemporary(const std::string& path) {
    if (path.size() >= sizeof g_cleanupSlots[0].path) return;  // such a name cannot be created anyway
    for (;; sched_yield()) {
        for (CleanupSlot& slot : g_cleanupSlots) {
            int expected = kSlotFree;
            if (!slot.state.compare_exchange_strong(expected, kSlotFilling)) continue;
            std::memcpy(slot.path, path.c_str(), path.size() + 1);
            slot.state.store(kSlotNamed);
            return;
        }
    }
}

void forgetTemporary(const std::string& path) {
    for (CleanupSlot& slot : g_cleanupSlots)
        if (slot.state.load() == kSlotNamed && path == slot.path) {
            slot.state.store(kSlotFree);
            return;
        }
}

// ---- Plain descriptor transfers --------------------------------------------

void writeAll(int fd, const uint8_t* buffer, size_t n, uint64_t offset, const std::string& place = "") {
    if (writeFull(fd, buffer, n, static_cast<int64_t>(offset)) != n)
        failWithErrno("Error writing to file: ", errno, place);
}

void syncFile(int fd) {
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) failWithErrno("Error writing to file: ", errno);
}

// Replaces the whole content of `fd` with `content`, on disk when it returns.
void rewriteWith(int fd, const Spool& content) {
    uint8_t buffer[65536];
    uint64_t offset = 0;
    for (size_t got; (got = content.readAt(offset, buffer, sizeof buffer)) > 0; offset += got)
        writeAll(fd, buffer, got, offset);
    if (::ftruncate(fd, static_cast<off_t>(offset)) != 0) failWithErrno("Error truncating file: ", errno);
    syncFile(fd);
}

void putLe32At(Spool& spool, uint64_t offset, uint32_t value) {
    uint8_t bytes[4];
    putLe32(bytes, value);
    spool.writeAt(offset, bytes, 4);
}

// What a writer that cannot seek back puts into a length: 0, 0xFFFFFFFF
// (ffmpeg), 0x7FFFF000 (sox), 0x7FFFFFFF (arecord). No stream that long
// fits a spool, so nothing near 2 GiB is a real length.
bool isPlaceholderLength(uint32_t length) {
    return length == 0 || length >= 0x7FFF0000u;
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

// The file a symbolic link leads to, followed link by link, even when the
// last one does not exist yet; the name itself when it is no link.
std::string followLinks(const std::string& name) {
    std::string path = name;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
        if (length < 0) return path;
        target[length] = '\0';
        path = target[0] == '/' ? std::string(target) : folderOf(path) + "/" + target;
    }
    failWithErrno("Error opening file: ", ELOOP);
}

// Extended attributes (ACLs among them) of `from`, given to `fd`. Returns
// false when one that matters cannot be carried over; attributes only the
// system may set (security.*, trusted.*) are left to the system.
bool copyExtendedAttributes(const std::string& from, int fd) {
    const ssize_t listSize = ::listxattr(from.c_str(), nullptr, 0);
    if (listSize <= 0) return listSize == 0 || errno == ENOTSUP;
    std::vector<char> names(static_cast<size_t>(listSize));
    const ssize_t got = ::listxattr(from.c_str(), names.data(), names.size());
    if (got < 0) return false;
    for (const char* key = names.data(); key < names.data() + got; key += std::strlen(key) + 1) {
        const bool matters = std::strncmp(key, "user.", 5) == 0 || std::strncmp(key, "system.", 7) == 0;
        const ssize_t size = ::getxattr(from.c_str(), key, nullptr, 0);
        std::vector<char> value(size > 0 ? static_cast<size_t>(size) : 0);
        if (size < 0 || ::getxattr(from.c_str(), key, value.data(), value.size()) != size ||
            ::fsetxattr(fd, key, value.data(), value.size(), 0) != 0) {
            if (matters) return false;
        }
    }
    return true;
}

// Gives a new file the identity of the one it replaces: owner and group
// first (that clears set-id bits), then the mode, then ACLs and other
// attributes. Returns false when the new file cannot carry it all.
bool takeIdentity(int fd, const std::string& old, const struct stat& oldStat) {
    if ((oldStat.st_uid != geteuid() || oldStat.st_gid != getegid()) &&
        ::fchown(fd, oldStat.st_uid, oldStat.st_gid) != 0)
        return false;
    if (::fchmod(fd, oldStat.st_mode & 07777) != 0) failWithErrno("Error setting the output file's mode: ", errno);
    return copyExtendedAttributes(old, fd);
}

enum class Created { Ready, CannotCarryIdentity, Refused };

// Creates the temporary file (never an existing one) and registers it for
// removal on a signal in one step, so no signal can leave it unregistered.
// A file that replaces another starts readable by its owner only, so the
// conversion is never open to others before the old file's mode is set.
Created createTemporary(const std::string& output, const struct stat* replaced, std::string& name, int& error) {
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = temporaryNameFor(output, random);
        UncutStep step;
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, replaced ? 0600 : 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error = errno;
            return Created::Refused;
        }
        registerTemporary(name);
        bool carried = true;
        try {
            carried = !replaced || takeIdentity(fd, output, *replaced);
        } catch (const SystemCallError&) {
            ::close(fd);
            ::unlink(name.c_str());
            forgetTemporary(name);
            throw;
        }
        ::close(fd);
        if (carried) return Created::Ready;
        ::unlink(name.c_str());
        forgetTemporary(name);
        return Created::CannotCarryIdentity;
    }
    error = EEXIST;
    return Created::Refused;
}

void removeTemporary(const std::string& name) {
    UncutStep step;
    ::unlink(name.c_str());
    forgetTemporary(name);
}

// A rename is on disk once the folder that holds the name is. Returns the
// errno of a failed sync, or 0.
int syncFolder(const std::string& file) {
    const int fd = ::open(folderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    const int result = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    return result != 0 && error != EINVAL && error != EROFS ? error : 0;
}

// Whether `file` may be renamed over by this user: in a sticky folder only
// the owner of the file or of the folder (or root) may.
bool mayReplaceByRename(const std::string& file, const struct stat& fileStat) {
    struct stat folder {};
    if (::stat(folderOf(file).c_str(), &folder) != 0) return true;  // the rename says why
    const uid_t user = geteuid();
    return !(folder.st_mode & S_ISVTX) || user == 0 || user == fileStat.st_uid || user == folder.st_uid;
}

}  // namespace

// ---- Standard descriptors ------------------------------------------------------

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

bool standardDescriptorWasClosed(int fd) { return fd >= 0 && fd < 3 && g_standardClosed[fd]; }

// ---- Spool ---------------------------------------------------------------------

// The library's client file protocol over a spool's descriptor.
int32_t spoolCallback(int32_t operation, uint8_t* buffer, int32_t position, int32_t length, uintptr_t clientData) {
    Spool& spool = *reinterpret_cast<Spool*>(clientData);
    const size_t n = length < 0 ? 0 : static_cast<size_t>(length);
    size_t done = 0;
    switch (operation) {
        case CLIENT_FILE_READ:
            done = readFull(spool.fd_, buffer, n);
            break;
        case CLIENT_FILE_WRITE:
            done = writeFull(spool.fd_, buffer, n);
            break;
        case CLIENT_FILE_SEEK:
            if (::lseek(spool.fd_, static_cast<off_t>(position), SEEK_SET) == position) return position;
            spool.transferError_ = errno;
            return -1;
        case CLIENT_FILE_SIZE: {
            struct stat st {};
            if (fstat(spool.fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) > kSpoolLimit) return -1;
            return static_cast<int32_t>(st.st_size);
        }
        case CLIENT_FILE_TRUNCATE:
            if (::ftruncate(spool.fd_, static_cast<off_t>(n)) == 0) return 0;
            spool.transferError_ = errno;
            return -1;
        default:
            return -1;
    }
    if (done < n && errno != 0) spool.transferError_ = errno;
    return static_cast<int32_t>(done);
}

std::string spoolFolder() {
    const char* tmp = getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

Spool::Spool() {
    std::string pattern = spoolFolder() + "/velconv-spool-XXXXXX";
    {
        // Named only between these two calls, so no signal may come between.
        UncutStep step;
        fd_ = mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ >= 0) ::unlink(pattern.c_str());
    }
    if (fd_ < 0) failWithErrno("Unable to create a temporary file: ", errno, spoolFolder());
}

Spool::~Spool() {
    if (fd_ >= 0) ::close(fd_);
}

FileHandle Spool::handle() {
    ::lseek(fd_, 0, SEEK_SET);
    transferError_ = 0;
    return FileHandle::client(spoolCallback, reinterpret_cast<uintptr_t>(this));
}

uint64_t Spool::size() const {
    struct stat st {};
    if (fstat(fd_, &st) != 0) failWithErrno("Error getting file pointer position: ", errno);
    return static_cast<uint64_t>(st.st_size);
}

size_t Spool::readAt(uint64_t offset, uint8_t* buffer, size_t n) const {
    const size_t done = readFull(fd_, buffer, n, static_cast<int64_t>(offset));
    if (done < n && errno != 0) failWithErrno("Error reading from file: ", errno);
    return done;
}

void Spool::writeAt(uint64_t offset, const uint8_t* buffer, size_t n) {
    writeAll(fd_, buffer, n, offset, spoolFolder());
}

void Spool::fillFrom(int fd, const char* what) {
    uint8_t buffer[65536];
    uint64_t total = size();
    for (;;) {
        const size_t got = readFull(fd, buffer, sizeof buffer);
        // Say which side failed: the pipe, or the temporary file behind it.
        if (got < sizeof buffer && errno != 0)
            failWithErrno("Error reading " + std::string(what) + ": ", errno);
        if (got == 0) return;
        if (total + got > kSpoolLimit)
            throw std::runtime_error("More than 2 GiB on " + std::string(what) + ", more than velconv can take");
        writeAt(total, buffer, got);
        total += got;
    }
}

void Spool::copyTo(int fd) const {
    uint8_t buffer[65536];
    uint64_t offset = 0;
    for (size_t got; (got = readAt(offset, buffer, sizeof buffer)) > 0; offset += got)
        if (writeFull(fd, buffer, got) != got) failWithErrno("Error writing to file: ", errno);
}

bool settleStreamingWavLengths(Spool& input) {
    const uint64_t end = input.size();
    uint8_t head[12];
    if (end < 12 || end > UINT32_MAX || input.readAt(0, head, 12) != 12) return false;
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return false;
    const uint32_t riffLength = getLe32(head + 4);
    // The 'data' chunk is the last one a streaming writer can put out.
    for (uint64_t at = 12; at + 8 <= end;) {
        uint8_t chunk[8];
        input.readAt(at, chunk, 8);
        const uint32_t length = getLe32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            const uint64_t available = end - at - 8;
            if (length != available && isPlaceholderLength(length))
                putLe32At(input, at + 4, static_cast<uint32_t>(available));
            else if (length > available)
                return true;
            break;
        }
        at += 8 + uint64_t{length} + (length & 1u);
    }
    if (riffLength > end - 8 || isPlaceholderLength(riffLength)) putLe32At(input, 4, static_cast<uint32_t>(end - 8));
    return false;
}

// ---- OutputTarget -----------------------------------------------------------------

OutputTarget::OutputTarget(const std::string& name) : finalName_(name) {
    // An empty name names no file; the temporary beside it could be made,
    // but nothing could be renamed to it.
    if (name.empty()) throw std::runtime_error(std::string("Error opening file: ") + std::strerror(ENOENT));
    if (name == kStdioName) {
        if (standardDescriptorWasClosed(STDOUT_FILENO)) failWithErrno("Error opening file: ", EBADF);
        way_ = Way::Stream;
        spool_ = std::make_unique<Spool>();
        destination_ = STDOUT_FILENO;
        finalName_.clear();
        return;
    }
    // A symbolic link stays a link: the file it points to is written, even
    // one that does not exist yet.
    finalName_ = followLinks(name);
    struct stat st {};
    const bool exists = ::stat(finalName_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices, FIFOs and terminals cannot be renamed over; they get the
        // finished file in one sequential write.
        way_ = Way::Stream;
        spool_ = std::make_unique<Spool>();
        destination_ = ::open(finalName_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (destination_ < 0) failWithErrno("Error opening file: ", errno);
        ownsDestination_ = true;
        return;
    }
    // A file its owner made read-only stays refused, as writing into it was.
    if (exists && ::access(finalName_.c_str(), W_OK) != 0) failWithErrno("Error opening file: ", errno);
    // Other names of the file would keep the old content if it were replaced.
    if (exists && (st.st_nlink > 1 || !mayReplaceByRename(finalName_, st))) {
        prepareInPlace();
        return;
    }
    int error = 0;
    switch (createTemporary(finalName_, exists ? &st : nullptr, temporaryName_, error)) {
        case Created::Ready:
            return;
        case Created::CannotCarryIdentity:
            temporaryName_.clear();
            prepareInPlace();
            return;
        case Created::Refused:
            temporaryName_.clear();
            if (exists && (error == EACCES || error == EPERM || error == EROFS)) {
                // A writable file in a folder that takes no new files.
                prepareInPlace();
                return;
            }
            failWithErrno("Error opening file: ", error);
    }
}

void OutputTarget::prepareInPlace() {
    way_ = Way::InPlace;
    // Read as well as written: its old bytes are kept aside before the rewrite.
    destination_ = ::open(finalName_.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (destination_ < 0) failWithErrno("Error opening file: ", errno);
    ownsDestination_ = true;
    spool_ = std::make_unique<Spool>();
}

OutputTarget::~OutputTarget() {
    if (!temporaryName_.empty()) removeTemporary(temporaryName_);
    if (ownsDestination_) ::close(destination_);
}

FileHandle OutputTarget::handle() {
    return spool_ ? spool_->handle() : FileHandle::named(temporaryName_.c_str());
}

void OutputTarget::explainFailure() const {
    if (spool_ && spool_->transferError())
        failWithErrno("Error writing to file: ", spool_->transferError(), spoolFolder());
}

std::string OutputTarget::commit() {
    if (way_ == Way::Stream) {
        spool_->copyTo(destination_);
        return "";
    }
    if (way_ == Way::InPlace) {
        commitInPlace();
        return "";
    }
    // On disk before it takes the output's name, so a crash cannot leave an
    // empty or partial file where the old one was.
    const int fd = ::open(temporaryName_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) failWithErrno("Error writing to file: ", errno);
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (synced != 0 && error != EINVAL && error != EROFS) failWithErrno("Error writing to file: ", error);
    {
        UncutStep step;
        if (::rename(temporaryName_.c_str(), finalName_.c_str()) != 0)
            failWithErrno("Error replacing the output file: ", errno);
        forgetTemporary(temporaryName_);
        temporaryName_.clear();
    }
    // The old file is gone and the new one whole: a failure now is no
    // reason to call the conversion failed, but the user should know.
    if (const int error = syncFolder(finalName_))
        return "velconv: WARNING: '" + finalName_ + "' is written, but its folder could not be synced to disk: " +
               std::strerror(error);
    return "";
}

// The old bytes go to a spool first; the rewrite runs with the terminating
// signals held back, and any failure puts the old bytes back.
void OutputTarget::commitInPlace() {
    Spool old;
    ::lseek(destination_, 0, SEEK_SET);
    old.fillFrom(destination_, ("'" + finalName_ + "'").c_str());
    UncutStep step;
    try {
        rewriteWith(destination_, *spool_);
    } catch (const SystemCallError& failure) {
        try {
            rewriteWith(destination_, old);
        } catch (const SystemCallError& restoreFailure) {
            throw SystemCallError(std::string(failure.what()) + "; its old content could not be put back (" +
                                      restoreFailure.what() + ")",
                                  failure.error);
        }
        throw;
    }
}

SignalCleanup::SignalCleanup() {
    struct sigaction action {};
    action.sa_handler = onTerminatingSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kTerminatingSignals) sigaddset(&action.sa_mask, sig);
    action.sa_flags = SA_RESETHAND;
    for (size_t i = 0; i < kCount; ++i) {
        // Only a signal that would end the process is taken over: one the
        // caller ignores (nohup) or handles itself (an embedding program, a
        // fuzzer's timer) keeps its disposition.
        if (sigaction(kTerminatingSignals[i], nullptr, &saved_[i]) != 0 || saved_[i].sa_handler != SIG_DFL) continue;
        installed_[i] = sigaction(kTerminatingSignals[i], &action, nullptr) == 0;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGXFSZ, nullptr, &savedSizeLimit_) == 0 && savedSizeLimit_.sa_handler == SIG_DFL)
        sizeLimitIgnored_ = sigaction(SIGXFSZ, &ignore, nullptr) == 0;
}

SignalCleanup::~SignalCleanup() {
    for (size_t i = 0; i < kCount; ++i)
        if (installed_[i]) sigaction(kTerminatingSignals[i], &saved_[i], nullptr);
    if (sizeLimitIgnored_) sigaction(SIGXFSZ, &savedSizeLimit_, nullptr);
}

}  // namespace sonx::velconv
