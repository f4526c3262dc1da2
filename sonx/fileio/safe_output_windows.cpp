// Safe outputs in Windows terms: the temporary file beside the output is
// flushed (FlushFileBuffers), dated, and put in place by ReplaceFileW, which
// keeps the replaced file's attributes, permissions and creation time, or by
// MoveFileExW for a new file. An output another program holds open is
// refused before anything is written. Ctrl-C, Ctrl-Break and a closed
// console window remove the temporary files. Spools are files the system
// deletes when their handle closes, however the process ends.
#include "sonx/fileio/safe_output.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>

#include "sonx/fileio/file_names_windows.h"
#include "sonx/fileio/native_io.h"
#include "sonx/fileio/posix_io.h"

namespace sonx {

using file_names::systemName;
using posix_io::readFull;
using posix_io::writeFull;

namespace {

[[noreturn]] void failWithErrno(int32_t status, const std::string& text, int error, const std::string& place = "") {
    throw SystemError(status, text + native_io::errorText(error), error, place);
}

[[noreturn]] void failWithSystemError(int32_t status, const std::string& text, DWORD code,
                                      const std::string& place = "") {
    failWithErrno(status, text, file_names::errnoFromSystemError(code), place);
}

// Client positions and lengths are 32-bit signed; a spool stays below 2 GiB.
constexpr uint64_t kSpoolLimit = INT32_MAX;

// ---- Removal of temporary outputs on Ctrl-C, Ctrl-Break or a closed window ----

// The console handler runs on a thread of its own; the lock keeps it from
// removing a temporary file that is just taking its output's name.
std::mutex g_lock;
std::set<std::wstring> g_temporaries;  // as the wide calls take them
std::set<std::string> g_names;         // as begin() was given them, for a nested output
int g_outputs = 0;                     // the handler is in place while any output is in the making

BOOL WINAPI onConsoleEvent(DWORD) {
    std::lock_guard<std::mutex> lock(g_lock);
    // The files were opened to allow this: each name goes at once, the
    // file when the process ends.
    for (const std::wstring& name : g_temporaries) DeleteFileW(name.c_str());
    // Not handled here: the process then ends as it would have.
    return FALSE;
}

void enterOutputs() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_outputs++ == 0) SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void leaveOutputs() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (--g_outputs == 0) SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

// "talk.qcp" gets "talk.qcp.velconv-" and six random characters beside it.
std::string temporaryNameFor(const std::string& output, std::mt19937& random) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = output + ".velconv-";
    for (int i = 0; i < 6; ++i) name += kChars[random() % (sizeof kChars - 1)];
    return name;
}

// Creates a file under a new name beside `base` (never an existing one);
// `name` is the name it got. Returns its handle, or INVALID_HANDLE_VALUE
// with the system's error in `error`.
HANDLE createNew(const std::string& base, DWORD flags, std::string& name, DWORD& error) {
    // Seeded once a thread: opening a random device costs more than
    // converting a short file.
    thread_local std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = temporaryNameFor(base, random);
        HANDLE handle = CreateFileW(systemName(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    flags, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return handle;
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
    }
    error = ERROR_FILE_EXISTS;
    return INVALID_HANDLE_VALUE;
}

// A handle for reading or setting a file's attributes only; folders included.
class AttributeHandle {
public:
    AttributeHandle(const std::string& name, DWORD access)
        : handle_(CreateFileW(systemName(name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
    ~AttributeHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    AttributeHandle(const AttributeHandle&) = delete;
    AttributeHandle& operator=(const AttributeHandle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

bool sameFile(const std::string& first, const std::string& second) {
    const AttributeHandle a(first, FILE_READ_ATTRIBUTES), b(second, FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION infoA, infoB;
    return a.get() != INVALID_HANDLE_VALUE && b.get() != INVALID_HANDLE_VALUE &&
           GetFileInformationByHandle(a.get(), &infoA) && GetFileInformationByHandle(b.get(), &infoB) &&
           infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber && infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
}

// The errno of what keeps another program's open file from being written
// or replaced (EBUSY: it is in use), or 0 when nothing does.
int replaceBlocked(const std::string& name) {
    HANDLE probe = CreateFileW(systemName(name).c_str(), GENERIC_WRITE | DELETE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        return 0;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : file_names::errnoFromSystemError(error);
}

void writeAll(int fd, const uint8_t* buffer, size_t n, uint64_t offset, const std::string& place = "") {
    if (writeFull(fd, buffer, n, static_cast<int64_t>(offset)) != n)
        failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", errno, place);
}

}  // namespace

bool isTemporaryInTheMaking(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_names.count(name) != 0;
}

// The writers open the temporary by name here: no handle of it is kept.
std::shared_ptr<OpenTemporary> openTemporaryInTheMaking(const std::string&) { return nullptr; }

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
                if (native_io::seek(descriptor, position, SEEK_SET) == position) return position;
                spool.transferError_ = errno;
                return -1;
            case CLIENT_FILE_SIZE: {
                const int64_t size = native_io::sizeOf(descriptor);
                if (size < 0 || static_cast<uint64_t>(size) > kSpoolLimit) return -1;
                return static_cast<int32_t>(size);
            }
            case CLIENT_FILE_TRUNCATE:
                if (native_io::truncate(descriptor, n) == 0) return 0;
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
};

std::string spoolFolder() {
    if (const wchar_t* tmp = _wgetenv(L"TMPDIR"); tmp && *tmp) return file_names::utf8FromWide(tmp);
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return ".";
    std::wstring name(folder, length);
    if (name.size() > 3 && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
    return file_names::utf8FromWide(name);
}

Spool::Spool() {
    const std::string folder = spoolFolder();
    std::string name;
    DWORD error = 0;
    HANDLE handle =
        createNew(folder + "\\velconv-spool", FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, name, error);
    if (handle == INVALID_HANDLE_VALUE)
        failWithSystemError(SONX_ERR_OPEN, "Unable to create a temporary file: ", error, folder);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        failWithErrno(SONX_ERR_OPEN, "Unable to create a temporary file: ", EMFILE, folder);
    }
    native_ = fd;
}

Spool::~Spool() {
    if (native_ >= 0) native_io::close(SpoolAccess::fd(*this));
}

FileHandle Spool::handle() {
    native_io::seek(SpoolAccess::fd(*this), 0, SEEK_SET);
    transferError_ = 0;
    return FileHandle::client(&SpoolAccess::serve, reinterpret_cast<uintptr_t>(this));
}

uint64_t Spool::size() const {
    const int64_t size = native_io::sizeOf(SpoolAccess::fd(*this));
    if (size < 0) failWithErrno(SONX_ERR_READ, "Error getting file pointer position: ", errno);
    return static_cast<uint64_t>(size);
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
    enum class Way { Replace, Stream, Nested };

    Way way = Way::Replace;
    std::string temporaryName;  // Replace
    std::wstring temporarySystemName;
    std::string finalName;
    SafeOutputRequest request;
    std::string input;          // request.input, kept
    int destination = -1;       // Stream: where the spool goes
    bool ownsDestination = false;
    bool replacesFile = false;  // Replace: a file had the name before
    bool counted = false;       // holds the console handler in place
    std::unique_ptr<Spool> spool;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (!temporaryName.empty()) {
            forget();
            native_io::removeNamed(temporaryName.c_str());
        }
        if (ownsDestination) native_io::close(destination);
        spool.reset();
        if (counted) leaveOutputs();
    }

    void enterSignals() {
        enterOutputs();
        counted = true;
    }

    void remember() {
        std::lock_guard<std::mutex> lock(g_lock);
        g_temporaries.insert(temporarySystemName);
        g_names.insert(temporaryName);
    }
    // With g_lock held.
    void forgetLocked() {
        g_temporaries.erase(temporarySystemName);
        g_names.erase(temporaryName);
    }
    void forget() {
        std::lock_guard<std::mutex> lock(g_lock);
        forgetLocked();
    }

    // The input's access and modification times, given to the temporary file.
    void takeInputTimes() {
        if (!request.keepInputTimes || !request.input) return;
        const AttributeHandle in(request.input, FILE_READ_ATTRIBUTES), out(temporaryName, FILE_WRITE_ATTRIBUTES);
        FILETIME accessed, written;
        if (in.get() != INVALID_HANDLE_VALUE && out.get() != INVALID_HANDLE_VALUE &&
            GetFileTime(in.get(), nullptr, &accessed, &written))
            SetFileTime(out.get(), nullptr, &accessed, &written);
    }

    void commitReplace() {
        // On disk before it takes the output's name, so a crash cannot leave
        // an empty or partial file where the old one was.
        const int fd = native_io::openNamed(temporaryName.c_str(), native_io::OpenFor::ReadingAndWriting);
        if (fd < 0) failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", errno);
        const int synced = native_io::sync(fd);
        const int error = errno;
        native_io::close(fd);
        if (synced != 0) failWithErrno(SONX_ERR_WRITE, "Error writing to file: ", error);
        // Dated before it takes the name: a file in place always has its date.
        takeInputTimes();

        const std::wstring to = systemName(finalName);
        std::lock_guard<std::mutex> lock(g_lock);
        const bool exists = GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES;
        const bool replaced =
            exists ? ReplaceFileW(to.c_str(), temporarySystemName.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                  nullptr, nullptr) != 0
                   : MoveFileExW(temporarySystemName.c_str(), to.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        if (!replaced) {
            const DWORD code = GetLastError();
            const int blocked = replaceBlocked(finalName);
            failWithErrno(SONX_ERR_WRITE, "Error replacing the output file: ",
                          blocked ? blocked : file_names::errnoFromSystemError(code));
        }
        forgetLocked();
        temporaryName.clear();
    }
};

SafeOutput::SafeOutput(std::unique_ptr<State> state) : state_(std::move(state)) {}

SafeOutput::~SafeOutput() = default;

std::unique_ptr<SafeOutput> SafeOutput::toStandardOutput() {
    auto state = std::make_unique<State>();
    state->enterSignals();
    state->way = State::Way::Stream;
    state->spool = std::make_unique<Spool>();
    state->destination = 1;
    return std::unique_ptr<SafeOutput>(new SafeOutput(std::move(state)));
}

std::unique_ptr<SafeOutput> SafeOutput::begin(const std::string& name, const SafeOutputRequest& request) {
    // An empty name names no file; the temporary beside it could be made,
    // but nothing could be renamed to it.
    if (name.empty()) failWith(SONX_ERR_OPEN, std::string("Error opening file: ") + native_io::errorText(ENOENT));
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
    const DWORD attributes = GetFileAttributesW(systemName(name).c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (request.input && (name == request.input || (exists && sameFile(name, request.input))))
        failWith(SONX_ERR_INVALID, "The output '" + name + "' is the input '" + request.input +
                                       "' under another name: it would destroy the input");
    s.enterSignals();
    if (file_names::isReservedName(name)) {
        // A device cannot be renamed over; it gets the finished file in one write.
        s.way = State::Way::Stream;
        s.spool = std::make_unique<Spool>();
        s.destination = native_io::openNamed(name.c_str(), native_io::OpenFor::ReadingAndWriting);
        if (s.destination < 0) failWithErrno(SONX_ERR_OPEN, "Error opening file: ", errno);
        s.ownsDestination = true;
        return std::unique_ptr<SafeOutput>(new SafeOutput(std::move(state)));
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) failWithErrno(SONX_ERR_OPEN, "Error opening file: ", EISDIR);
    s.replacesFile = exists;
    // A read-only file stays refused, as writing into it was; one another
    // program holds open is refused before anything is converted.
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) failWithErrno(SONX_ERR_OPEN, "Error opening file: ", EACCES);
    if (const int blocked = exists ? replaceBlocked(name) : 0)
        failWithErrno(SONX_ERR_OPEN, "Error opening file: ", blocked);
    DWORD error = 0;
    HANDLE handle = createNew(name, FILE_ATTRIBUTE_NORMAL, s.temporaryName, error);
    if (handle == INVALID_HANDLE_VALUE) {
        s.temporaryName.clear();
        failWithSystemError(SONX_ERR_OPEN, "Error opening file: ", error);
    }
    s.temporarySystemName = systemName(s.temporaryName);
    s.remember();
    CloseHandle(handle);
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

// Each file is flushed on its own: the system has no flush of many files
// cheaper than their flushes, and a rename needs no folder sync.
std::vector<SafeOutput::Outcome> SafeOutput::commitTogether(const std::vector<SafeOutput*>& outputs) {
    std::vector<Outcome> outcomes(outputs.size());
    for (std::size_t n = 0; n < outputs.size(); ++n) {
        try {
            outcomes[n].unsyncedError = outputs[n]->commit();
        } catch (...) {
            outcomes[n].failure = std::current_exception();
        }
    }
    return outcomes;
}

int SafeOutput::commit() {
    State& s = *state_;
    switch (s.way) {
        case State::Way::Nested:
            return 0;
        case State::Way::Stream:
            SpoolAccess::copyTo(*s.spool, s.destination);
            return 0;
        case State::Way::Replace:
            s.commitReplace();
            return 0;
    }
    return 0;
}

}  // namespace sonx
