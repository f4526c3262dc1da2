#include "sonx/fileio/safe_output.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "sonx/fileio/posix_io.h"

namespace sonx {

using posix_io::readFull;
using posix_io::writeFull;

namespace {

[[noreturn]] void failWithErrno(int32_t status, const std::string& text, int error, const std::string& place = "") {
    throw SystemError(status, text + std::strerror(error), error, place);
}

// Client positions and lengths are 32-bit signed; a spool stays below 2 GiB.
constexpr uint64_t kSpoolLimit = INT32_MAX;

// ---- Removal of temporary outputs on a terminating signal -------------------

// The signals that end a process and can be caught.
constexpr int kTerminatingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGPIPE, SIGALRM,
                                       SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};
constexpr std::size_t kSignalCount = std::size(kTerminatingSignals);

// The temporary names in the making, read by the signal handler: fixed
// slots whose state says who may touch the name. Only the thread that
// claimed a slot writes its name; the handler reads only names it has
// taken over (Set -> Removing), so no slot is read while it is written.
enum SlotState : int { kFree, kFilling, kSet, kRemoving };
// Zero-initialised, so the slots cost nothing until used: a constructor
// run at start-up would touch every page of them in every process.
struct Slot {
    std::atomic<int> state{kFree};
    char path[PATH_MAX + 64] = {};
};
constexpr std::size_t kSlotCount = 256;
Slot g_slots[kSlotCount];

// A signal that arrives while a thread holds the terminating signals back
// (a rename, a rewrite in place) removes what it can at once; the process
// ends when the last such thread lets go.
std::atomic<int> g_holding{0};
std::atomic<int> g_endingSignal{0};

// A name removed once is removed again: until the process ends, another
// thread that was writing the file may open it by name and so make it anew.
void removeTemporaries() {
    for (Slot& slot : g_slots) {
        int expected = kSet;
        if (slot.state.compare_exchange_strong(expected, kRemoving) || expected == kRemoving) ::unlink(slot.path);
    }
}

// With the default disposition back, the signal ends the process as it
// would have without the library's help, once it is no longer blocked.
void endWith(int sig) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(sig, &fallback, nullptr);
    ::kill(::getpid(), sig);
}

void onTerminatingSignal(int sig) {
    g_endingSignal.store(sig);
    removeTemporaries();
    if (g_holding.load() == 0) endWith(sig);
}

// Holds the terminating signals back, on this thread and (through the
// handler) on every other, for as long as it lives.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kTerminatingSignals) sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
        ++g_holding;
        // A signal already being handled elsewhere is ending the process:
        // nothing that must not be cut short may start now.
        if (const int sig = g_endingSignal.load()) {
            // The handler may still be on its way through the names: none
            // is left for the end.
            if (--g_holding == 0) {
                removeTemporaries();
                endWith(sig);
            }
            pthread_sigmask(SIG_SETMASK, &old_, nullptr);
            for (;;) ::pause();
        }
    }
    ~SignalsHeld() {
        if (--g_holding == 0)
            if (const int sig = g_endingSignal.load()) {
                removeTemporaries();
                endWith(sig);
            }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t old_;
};

// The handlers are in place while any output is in the making; the
// dispositions found are put back after the last, unless the host has
// changed them meanwhile.
class SignalCleanup {
public:
    void enter() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (outputs_++ > 0) return;
        struct sigaction action {};
        action.sa_handler = onTerminatingSignal;
        sigemptyset(&action.sa_mask);
        for (int sig : kTerminatingSignals) sigaddset(&action.sa_mask, sig);
        for (std::size_t i = 0; i < kSignalCount; ++i) {
            // Only a signal that would end the process is taken over: one the
            // host ignores (nohup) or handles itself (a fuzzer's timer) keeps
            // its disposition.
            installed_[i] = false;
            if (::sigaction(kTerminatingSignals[i], nullptr, &saved_[i]) != 0 || saved_[i].sa_handler != SIG_DFL)
                continue;
            installed_[i] = ::sigaction(kTerminatingSignals[i], &action, nullptr) == 0;
        }
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sizeLimitIgnored_ = ::sigaction(SIGXFSZ, nullptr, &savedSizeLimit_) == 0 &&
                            savedSizeLimit_.sa_handler == SIG_DFL && ::sigaction(SIGXFSZ, &ignore, nullptr) == 0;
    }
    void leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--outputs_ > 0) return;
        for (std::size_t i = 0; i < kSignalCount; ++i) {
            struct sigaction now {};
            if (installed_[i] && ::sigaction(kTerminatingSignals[i], nullptr, &now) == 0 &&
                now.sa_handler == onTerminatingSignal)
                ::sigaction(kTerminatingSignals[i], &saved_[i], nullptr);
        }
        struct sigaction now {};
        if (sizeLimitIgnored_ && ::sigaction(SIGXFSZ, nullptr, &now) == 0 && now.sa_handler == SIG_IGN)
            ::sigaction(SIGXFSZ, &savedSizeLimit_, nullptr);
    }

private:
    std::mutex mutex_;
    int outputs_ = 0;
    struct sigaction saved_[kSignalCount];
    bool installed_[kSignalCount] = {};
    struct sigaction savedSizeLimit_;
    bool sizeLimitIgnored_ = false;
};

SignalCleanup g_signals;

// The temporary names in the making and their open files, for begin() to
// tell a nested output and for the writers to borrow.
std::mutex g_namesLock;
std::map<std::string, std::shared_ptr<OpenTemporary>> g_names;

// A claimed slot and the name it holds; freed on reset.
class Registration {
public:
    Registration() = default;
    ~Registration() { reset(); }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    // Claims a slot for `path` before the file exists, so no signal can
    // find the file unregistered; arm() once the file is ours.
    bool claim(const std::string& path) {
        if (path.size() >= sizeof(Slot::path)) return false;
        for (Slot& candidate : g_slots) {
            int expected = kFree;
            if (!candidate.state.compare_exchange_strong(expected, kFilling)) continue;
            std::memcpy(candidate.path, path.c_str(), path.size() + 1);
            slot_ = &candidate;
            name_ = path;
            return true;
        }
        return false;
    }
    // Takes over the descriptor the file was created with.
    void arm(int descriptor) {
        slot_->state.store(kSet);
        file_ = std::make_shared<OpenTemporary>(descriptor);
        std::lock_guard<std::mutex> lock(g_namesLock);
        g_names.emplace(name_, file_);
    }
    int descriptor() const { return file_->descriptor(); }
    void reset() {
        if (!slot_) return;
        {
            std::lock_guard<std::mutex> lock(g_namesLock);
            g_names.erase(name_);
        }
        file_.reset();
        // A slot the handler has taken over stays its own.
        int expected = kSet;
        if (!slot_->state.compare_exchange_strong(expected, kFree) && expected == kFilling)
            slot_->state.store(kFree);
        slot_ = nullptr;
    }

private:
    Slot* slot_ = nullptr;
    std::string name_;
    std::shared_ptr<OpenTemporary> file_;
};


// ---- Plain descriptor transfers --------------------------------------------

void writeAll(int fd, const uint8_t* buffer, size_t n, uint64_t offset, const std::string& place = "") {
    if (writeFull(fd, buffer, n, static_cast<int64_t>(offset)) != n)
        failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", errno, place);
}

void syncFile(int fd) {
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
        failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", errno);
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
// last one does not exist yet; the name itself when it is no link. `exists`
// tells whether that file exists, and `st` then describes it.
std::string followLinks(const std::string& name, struct stat& st, bool& exists) {
    std::string path = name;
    for (int hop = 0; hop < 40; ++hop) {
        exists = ::lstat(path.c_str(), &st) == 0;
        if (!exists || !S_ISLNK(st.st_mode)) return path;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
        if (length < 0) {
            exists = ::stat(path.c_str(), &st) == 0;
            return path;
        }
        target[length] = '\0';
        path = target[0] == '/' ? std::string(target) : folderOf(path) + "/" + target;
    }
    failWithErrno(SONX_ERR_OPEN, "Error opening file: ", ELOOP);
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
    if (::fchmod(fd, oldStat.st_mode & 07777) != 0)
        failWithErrno(SONX_ERR_OPEN, "Error setting the output file's mode: ", errno);
    return copyExtendedAttributes(old, fd);
}

enum class Created { Ready, CannotCarryIdentity, Refused };

// Creates the temporary file (never an existing one), registered for
// removal on a signal before it exists and kept open until it is committed.
// A file that replaces another starts readable by its owner only, so the
// conversion is never open to others before the old file's mode is set.
Created createTemporary(const std::string& output, const struct stat* replaced, std::string& name,
                        Registration& registration, int& error) {
    // Seeded once a thread: opening a random device costs more than
    // converting a short file.
    thread_local std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = temporaryNameFor(output, random);
        SignalsHeld held;
        if (!registration.claim(name)) {
            error = name.size() >= sizeof(Slot::path) ? ENAMETOOLONG : EMFILE;
            return Created::Refused;
        }
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, replaced ? 0600 : 0666);
        if (fd < 0) {
            error = errno;
            registration.reset();
            if (error == EEXIST) continue;
            return Created::Refused;
        }
        registration.arm(fd);
        bool carried = true;
        try {
            carried = !replaced || takeIdentity(fd, output, *replaced);
        } catch (const SystemError&) {
            ::unlink(name.c_str());
            registration.reset();
            throw;
        }
        if (carried) return Created::Ready;
        ::unlink(name.c_str());
        registration.reset();
        return Created::CannotCarryIdentity;
    }
    error = EEXIST;
    return Created::Refused;
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

// The input's access and modification times, for the output to take;
// false when the input cannot tell them. Asked at commit, so the output
// carries the dates the input has when the output takes its place.
bool inputTimes(const char* input, struct timespec (&times)[2]) {
    struct stat st {};
    if (!input || ::stat(input, &st) != 0) return false;
    times[0] = st.st_atim;
    times[1] = st.st_mtim;
    return true;
}

}  // namespace

// ---- Spool ---------------------------------------------------------------------

struct SpoolAccess {
    static int fd(const Spool& spool) { return static_cast<int>(spool.native_); }

    // The library's client file protocol over a spool's descriptor.
    static int32_t serve(int32_t operation, uint8_t* buffer, int32_t position, int32_t length, uintptr_t data) {
        Spool& spool = *reinterpret_cast<Spool*>(data);
        const int descriptor = fd(spool);
        const size_t n = length < 0 ? 0 : static_cast<size_t>(length);
        size_t done = 0;
        switch (operation) {
            case CLIENT_FILE_READ:
                done = readFull(descriptor, buffer, n);
                break;
            case CLIENT_FILE_WRITE:
                done = writeFull(descriptor, buffer, n);
                break;
            case CLIENT_FILE_SEEK:
                if (::lseek(descriptor, static_cast<off_t>(position), SEEK_SET) == position) return position;
                spool.transferError_ = errno;
                return -1;
            case CLIENT_FILE_SIZE: {
                struct stat st {};
                if (fstat(descriptor, &st) != 0 || static_cast<uint64_t>(st.st_size) > kSpoolLimit) return -1;
                return static_cast<int32_t>(st.st_size);
            }
            case CLIENT_FILE_TRUNCATE:
                if (::ftruncate(descriptor, static_cast<off_t>(n)) == 0) return 0;
                spool.transferError_ = errno;
                return -1;
            default:
                return -1;
        }
        if (done < n && errno != 0) spool.transferError_ = errno;
        return static_cast<int32_t>(done);
    }

    // Writes the whole spool to `descriptor` at its current offset.
    static void copyTo(const Spool& spool, int descriptor) {
        uint8_t buffer[65536];
        uint64_t offset = 0;
        for (size_t got; (got = spool.readAt(offset, buffer, sizeof buffer)) > 0; offset += got)
            if (writeFull(descriptor, buffer, got) != got)
                failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", errno);
    }

    // Replaces the whole content of `descriptor` with the spool's, on disk
    // when it returns.
    static void rewrite(int descriptor, const Spool& content) {
        uint8_t buffer[65536];
        uint64_t offset = 0;
        for (size_t got; (got = content.readAt(offset, buffer, sizeof buffer)) > 0; offset += got)
            writeAll(descriptor, buffer, got, offset);
        if (::ftruncate(descriptor, static_cast<off_t>(offset)) != 0)
            failWithErrno(SONX_ERR_WRITE, "Error truncating file: ", errno);
        syncFile(descriptor);
    }
};

std::string spoolFolder() {
    const char* tmp = getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

Spool::Spool() {
    std::string pattern = spoolFolder() + "/velconv-spool-XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) failWithErrno(SONX_ERR_OPEN, "Unable to create a temporary file: ", errno, spoolFolder());
    ::unlink(pattern.c_str());
    native_ = fd;
}

Spool::~Spool() {
    if (native_ >= 0) ::close(static_cast<int>(native_));
}

FileHandle Spool::handle() {
    ::lseek(SpoolAccess::fd(*this), 0, SEEK_SET);
    transferError_ = 0;
    return FileHandle::client(&SpoolAccess::serve, reinterpret_cast<uintptr_t>(this));
}

uint64_t Spool::size() const {
    struct stat st {};
    if (fstat(SpoolAccess::fd(*this), &st) != 0)
        failWithErrno(SONX_ERR_READ, "Error getting file pointer position: ", errno);
    return static_cast<uint64_t>(st.st_size);
}

size_t Spool::readAt(uint64_t offset, uint8_t* buffer, size_t n) const {
    const size_t done = readFull(SpoolAccess::fd(*this), buffer, n, static_cast<int64_t>(offset));
    if (done < n && errno != 0) failWithErrno(SONX_ERR_READ, "Error reading from file: ", errno);
    return done;
}

void Spool::writeAt(uint64_t offset, const uint8_t* buffer, size_t n) {
    writeAll(SpoolAccess::fd(*this), buffer, n, offset, spoolFolder());
}

void Spool::fillFrom(int descriptor, const std::string& what) {
    uint8_t buffer[65536];
    uint64_t total = size();
    for (;;) {
        const size_t got = readFull(descriptor, buffer, sizeof buffer);
        // Say which side failed: the source, or the temporary file behind it.
        if (got < sizeof buffer && errno != 0) failWithErrno(SONX_ERR_READ, "Error reading " + what + ": ", errno);
        if (got == 0) return;
        if (total + got > kSpoolLimit) failWith(SONX_ERR_TOO_LARGE, "More than 2 GiB on " + what);
        writeAt(total, buffer, got);
        total += got;
    }
}

// ---- SafeOutput ------------------------------------------------------------------

struct SafeOutput::State {
    enum class Way { Replace, InPlace, Stream, Nested };

    Way way = Way::Replace;
    std::string temporaryName;  // Replace
    std::string finalName;
    SafeOutputRequest request;
    std::string input;          // request.input, kept
    int destination = -1;       // InPlace and Stream: where the spool goes
    bool ownsDestination = false;
    bool counted = false;       // holds the signal handlers in place
    bool replacesFile = false;  // something had the final name at begin()
    std::unique_ptr<Spool> spool;
    Registration registration;  // Replace: the temporary name and its descriptor

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (!temporaryName.empty()) {
            SignalsHeld held;
            ::unlink(temporaryName.c_str());
            registration.reset();
        }
        if (ownsDestination) ::close(destination);
        spool.reset();
        if (counted) g_signals.leave();
    }

    void enterSignals() {
        g_signals.enter();
        counted = true;
    }

    void prepareInPlace() {
        way = Way::InPlace;
        // Read as well as written: its old bytes are kept aside before the rewrite.
        destination = ::open(finalName.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (destination < 0) failWithErrno(SONX_ERR_OPEN, "Error opening file: ", errno);
        ownsDestination = true;
        spool = std::make_unique<Spool>();
    }

    // Dated before it takes the name: a file in place always has its date.
    // The caller holds the terminating signals back.
    void renameIntoPlace() {
        struct timespec times[2];
        if (request.keepInputTimes && inputTimes(request.input, times))
            ::futimens(registration.descriptor(), times);
        if (::rename(temporaryName.c_str(), finalName.c_str()) != 0) {
            // The temporary (it is beside the final name) is gone, and with
            // it what was written into it.
            if (errno == ENOENT) failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", errno);
            failWithErrno(SONX_ERR_WRITE, "Error replacing the output file: ", errno);
        }
        registration.reset();
        temporaryName.clear();
    }

    // Its data must be on disk before it takes the output's name, so a
    // crash cannot leave an empty or partial file where the old one was.
    void commitReplace() {
        const int synced = ::fsync(registration.descriptor());
        const int error = errno;
        if (synced != 0 && error != EINVAL && error != EROFS)
            failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", error);
        SignalsHeld held;
        renameIntoPlace();
    }

    // The old bytes go to a spool first; the rewrite runs with the
    // terminating signals held back, and any failure puts the old bytes back.
    void commitInPlace() {
        Spool old;
        ::lseek(destination, 0, SEEK_SET);
        old.fillFrom(destination, "'" + finalName + "'");
        SignalsHeld held;
        try {
            SpoolAccess::rewrite(destination, *spool);
        } catch (const SystemError& failure) {
            try {
                SpoolAccess::rewrite(destination, old);
            } catch (const SystemError& restoreFailure) {
                throw SystemError(failure.status,
                                  std::string(failure.what()) + "; its old content could not be put back (" +
                                      restoreFailure.what() + ")",
                                  failure.error);
            }
            throw;
        }
        struct timespec times[2];
        if (request.keepInputTimes && inputTimes(request.input, times)) ::futimens(destination, times);
    }
};

SafeOutput::SafeOutput(std::unique_ptr<State> state) : state_(std::move(state)) {}

SafeOutput::~SafeOutput() = default;

std::unique_ptr<SafeOutput> SafeOutput::toStandardOutput() {
    auto state = std::make_unique<State>();
    state->enterSignals();
    state->way = State::Way::Stream;
    state->spool = std::make_unique<Spool>();
    state->destination = STDOUT_FILENO;
    return std::unique_ptr<SafeOutput>(new SafeOutput(std::move(state)));
}

std::unique_ptr<SafeOutput> SafeOutput::begin(const std::string& name, const SafeOutputRequest& request) {
    // An empty name names no file; the temporary beside it could be made,
    // but nothing could be renamed to it.
    if (name.empty()) failWith(SONX_ERR_OPEN, std::string("Error opening file: ") + std::strerror(ENOENT));
    auto state = std::make_unique<State>();
    State& s = *state;
    s.request = request;
    if (request.input) {
        s.input = request.input;
        s.request.input = s.input.c_str();
    }
    s.finalName = name;
    if (isTemporaryInTheMaking(name)) {
        s.way = State::Way::Nested;
        return std::unique_ptr<SafeOutput>(new SafeOutput(std::move(state)));
    }
    // A symbolic link stays a link: the file it points to is written, even
    // one that does not exist yet.
    struct stat st {};
    bool exists = false;
    s.finalName = followLinks(name, st, exists);
    s.replacesFile = exists;
    if (request.input) {
        struct stat in {};
        if (name == request.input ||
            (exists && ::stat(request.input, &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino))
            failWith(SONX_ERR_INVALID, "The output '" + name + "' is the input '" + request.input +
                                           "' under another name: it would destroy the input");
    }
    s.enterSignals();
    if (exists && !S_ISREG(st.st_mode)) {
        // Devices, FIFOs and terminals cannot be renamed over; they get the
        // finished file in one sequential write.
        s.way = State::Way::Stream;
        s.spool = std::make_unique<Spool>();
        s.destination = ::open(s.finalName.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (s.destination < 0) failWithErrno(SONX_ERR_OPEN, "Error opening file: ", errno);
        s.ownsDestination = true;
        return std::unique_ptr<SafeOutput>(new SafeOutput(std::move(state)));
    }
    // A file its owner made read-only stays refused, as writing into it was.
    if (exists && ::access(s.finalName.c_str(), W_OK) != 0) failWithErrno(SONX_ERR_OPEN, "Error opening file: ", errno);
    // Other names of the file would keep the old content if it were replaced.
    if (exists && (st.st_nlink > 1 || !mayReplaceByRename(s.finalName, st))) {
        s.prepareInPlace();
        return std::unique_ptr<SafeOutput>(new SafeOutput(std::move(state)));
    }
    int error = 0;
    switch (createTemporary(s.finalName, exists ? &st : nullptr, s.temporaryName, s.registration, error)) {
        case Created::Ready:
            break;
        case Created::CannotCarryIdentity:
            s.temporaryName.clear();
            s.prepareInPlace();
            break;
        case Created::Refused:
            s.temporaryName.clear();
            // A writable file in a folder that takes no new files.
            if (exists && (error == EACCES || error == EPERM || error == EROFS)) {
                s.prepareInPlace();
                break;
            }
            failWithErrno(SONX_ERR_OPEN, "Error opening file: ", error);
    }
    return std::unique_ptr<SafeOutput>(new SafeOutput(std::move(state)));
}

FileHandle SafeOutput::handle() {
    if (state_->spool) return state_->spool->handle();
    return FileHandle::named(state_->way == State::Way::Nested ? state_->finalName.c_str()
                                                                : state_->temporaryName.c_str());
}

void SafeOutput::explainFailure() const {
    if (state_->spool && state_->spool->transferError())
        failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", state_->spool->transferError(), spoolFolder());
}

const std::string& SafeOutput::finalName() const {
    static const std::string kNone;
    return state_->way == State::Way::Stream && !state_->ownsDestination ? kNone : state_->finalName;
}

bool SafeOutput::isNewFile() const {
    return state_->way == State::Way::Nested || (state_->way == State::Way::Replace && !state_->replacesFile);
}

int SafeOutput::commit() {
    State& s = *state_;
    switch (s.way) {
        case State::Way::Nested:
            return 0;
        case State::Way::Stream:
            SpoolAccess::copyTo(*s.spool, s.destination);
            return 0;
        case State::Way::InPlace:
            s.commitInPlace();
            return 0;
        case State::Way::Replace:
            s.commitReplace();
            // The old file is gone and the new one whole: a failure now is no
            // reason to call the output failed, but the caller should know.
            return syncFolder(s.finalName);
    }
    return 0;
}

namespace {

// A temporary file of a group commit while its data waits for the flush.
struct Flushing {
    SafeOutput::State* state;
    std::size_t index;  // in the group
    int fd;             // the temporary's own, open since its creation
    bool knownDevice;
    dev_t device;
    int error = 0;  // of its sync, 0 once its data is on disk
};

// Syncs each file on its own; a file system that cannot sync (EINVAL, EROFS)
// holds nothing unsynced.
void syncEach(const std::vector<Flushing*>& files) {
    for (Flushing* file : files)
        file->error = ::fsync(file->fd) != 0 && errno != EINVAL && errno != EROFS ? errno : 0;
}

// The files of one file system take one flush together; one alone, or a
// file system that fails the flush, is synced file by file.
void flushData(std::vector<Flushing>& files) {
    std::map<dev_t, std::vector<Flushing*>> byDevice;
    for (Flushing& file : files) {
        if (file.knownDevice)
            byDevice[file.device].push_back(&file);
        else
            syncEach({&file});
    }
    for (const auto& [device, shared] : byDevice) {
#if defined(__linux__)
        if (shared.size() > 1 && ::syncfs(shared.front()->fd) == 0) continue;
#endif
        syncEach(shared);
    }
}

}  // namespace

std::vector<SafeOutput::Outcome> SafeOutput::commitTogether(const std::vector<SafeOutput*>& outputs) {
    std::vector<Outcome> outcomes(outputs.size());
    const auto failed = [&](std::size_t n) { outcomes[n].failure = std::current_exception(); };
    std::vector<Flushing> files;
    // The files of one folder are on one file system: one of them tells its device.
    std::map<std::string, std::optional<dev_t>> deviceOfFolder;
    for (std::size_t n = 0; n < outputs.size(); ++n) {
        State& s = *outputs[n]->state_;
        try {
            if (s.way != State::Way::Replace) {
                outcomes[n].unsyncedError = outputs[n]->commit();
                continue;
            }
            const int fd = s.registration.descriptor();
            auto [device, added] = deviceOfFolder.try_emplace(folderOf(s.temporaryName));
            if (struct stat st {}; added && ::fstat(fd, &st) == 0) device->second = st.st_dev;
            files.push_back({&s, n, fd, device->second.has_value(), device->second.value_or(dev_t{})});
        } catch (...) {
            failed(n);
        }
    }
    flushData(files);

    std::map<std::string, std::vector<std::size_t>> placedByFolder;
    {
        SignalsHeld held;
        for (const Flushing& file : files) {
            try {
                if (file.error) failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", file.error);
                file.state->renameIntoPlace();
                placedByFolder[folderOf(file.state->finalName)].push_back(file.index);
            } catch (...) {
                failed(file.index);
            }
        }
    }
    // Each output is in place and whole: a folder that fails to sync is no
    // reason to call them failed, but their callers should know.
    for (const auto& [folder, placed] : placedByFolder) {
        const int unsynced = syncFolder(outputs[placed.front()]->finalName());
        for (std::size_t n : placed) outcomes[n].unsyncedError = unsynced;
    }
    return outcomes;
}

bool isTemporaryInTheMaking(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_namesLock);
    return g_names.count(name) != 0;
}

std::shared_ptr<OpenTemporary> openTemporaryInTheMaking(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_namesLock);
    const auto found = g_names.find(name);
    return found == g_names.end() ? nullptr : found->second;
}

}  // namespace sonx
