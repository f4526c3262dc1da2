// Windows' half of file_targets.h: the same promises in Windows terms. The
// output is made under a temporary name beside it, flushed, and put in
// place by ReplaceFileW (which keeps the old file's attributes and
// permissions) or MoveFileExW; spools are files the system deletes when
// their handle closes, however the process ends.
#include "velconv/file_targets.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "sonx/fileio/file_names_windows.h"
#include "sonx/fileio/native_io.h"
#include "sonx/fileio/posix_io.h"

namespace sonx::velconv {

using file_names::systemName;
using file_names::utf8FromWide;
using posix_io::readFull;
using posix_io::writeFull;

namespace {

[[noreturn]] void failWithErrno(const std::string& text, int error, const std::string& place = "") {
    throw SystemCallError(text + native_io::errorText(error), error, place);
}

[[noreturn]] void failWithSystemError(const std::string& text, DWORD code, const std::string& place = "") {
    failWithErrno(text, file_names::errnoFromSystemError(code), place);
}

// Client positions and lengths are 32-bit signed; a spool stays below 2 GiB.
constexpr uint64_t kSpoolLimit = INT32_MAX;

bool g_standardClosed[3] = {};

// ---- Removal of the temporary output on Ctrl-C, Ctrl-Break or a closed window

// The console handler runs on a thread of its own; the lock keeps it from
// removing a temporary file that is just taking the output's name.
std::mutex g_cleanupLock;
std::wstring g_cleanupName;

BOOL WINAPI onConsoleEvent(DWORD) {
    std::lock_guard<std::mutex> lock(g_cleanupLock);
    // Files open here were opened to allow this; the name goes at once and
    // the file when the process ends.
    if (!g_cleanupName.empty()) DeleteFileW(g_cleanupName.c_str());
    // Not handled: the process then ends as it would have.
    return FALSE;
}

void setCleanupName(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(g_cleanupLock);
    g_cleanupName = name;
}

// "talk.qcp" gets "talk.qcp.velconv-" and six random characters beside it.
std::string temporaryNameFor(const std::string& output, std::mt19937& random) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = output + ".velconv-";
    for (int i = 0; i < 6; ++i) name += kChars[random() % (sizeof kChars - 1)];
    return name;
}

// Creates a file under a new name made by `nameFor` (never an existing one)
// and returns its handle; `name` is the name it got.
template <class NameFor>
HANDLE createNew(NameFor nameFor, DWORD flags, std::string& name, DWORD& error) {
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = nameFor(random);
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

// Whether another program holds the file open in a way that keeps it from
// being written or replaced: the reason (errno) when it does, else 0.
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
        failWithErrno("Error writing to file: ", errno, place);
}

}  // namespace

// ---- Standard descriptors ------------------------------------------------------

void reserveStandardDescriptors() {
    for (int fd = 0; fd < 3; ++fd) {
        if (_get_osfhandle(fd) >= 0) continue;
        const int null = _wopen(L"NUL", _O_RDWR | _O_BINARY);
        if (null < 0) continue;
        g_standardClosed[fd] = true;
        if (null != fd) {
            _dup2(null, fd);
            _close(null);
        }
    }
    // The library and the spool move bytes, never text.
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
}

bool standardDescriptorWasClosed(int fd) { return fd >= 0 && fd < 3 && g_standardClosed[fd]; }

// ---- Spool ---------------------------------------------------------------------

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
            if (native_io::seek(spool.fd_, position, SEEK_SET) == position) return position;
            spool.transferError_ = errno;
            return -1;
        case CLIENT_FILE_SIZE: {
            const int64_t size = native_io::sizeOf(spool.fd_);
            if (size < 0 || static_cast<uint64_t>(size) > kSpoolLimit) return -1;
            return static_cast<int32_t>(size);
        }
        case CLIENT_FILE_TRUNCATE:
            if (native_io::truncate(spool.fd_, n) == 0) return 0;
            spool.transferError_ = errno;
            return -1;
        default:
            return -1;
    }
    if (done < n && errno != 0) spool.transferError_ = errno;
    return static_cast<int32_t>(done);
}

std::string spoolFolder() {
    if (const wchar_t* tmp = _wgetenv(L"TMPDIR"); tmp && *tmp) return utf8FromWide(tmp);
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return ".";
    std::wstring name(folder, length);
    if (name.size() > 3 && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
    return utf8FromWide(name);
}

Spool::Spool() {
    const std::string folder = spoolFolder();
    std::string name;
    DWORD error = 0;
    HANDLE handle = createNew(
        [&](std::mt19937& random) { return temporaryNameFor(folder + "\\velconv-spool", random); },
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, name, error);
    if (handle == INVALID_HANDLE_VALUE) failWithSystemError("Unable to create a temporary file: ", error, folder);
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd_ < 0) {
        CloseHandle(handle);
        failWithErrno("Unable to create a temporary file: ", EMFILE, folder);
    }
}

Spool::~Spool() {
    if (fd_ >= 0) native_io::close(fd_);
}

FileHandle Spool::handle() {
    native_io::seek(fd_, 0, SEEK_SET);
    transferError_ = 0;
    return FileHandle::client(spoolCallback, reinterpret_cast<uintptr_t>(this));
}

uint64_t Spool::size() const {
    const int64_t size = native_io::sizeOf(fd_);
    if (size < 0) failWithErrno("Error getting file pointer position: ", errno);
    return static_cast<uint64_t>(size);
}

size_t Spool::readAt(uint64_t offset, uint8_t* buffer, size_t n) const {
    const size_t done = readFull(fd_, buffer, n, static_cast<int64_t>(offset));
    if (done < n && errno != 0) failWithErrno("Error reading from file: ", errno);
    return done;
}

void Spool::writeAt(uint64_t offset, const uint8_t* buffer, size_t n) { writeAll(fd_, buffer, n, offset, spoolFolder()); }

void Spool::fillFrom(int fd, const char* what) {
    uint8_t buffer[65536];
    uint64_t total = size();
    for (;;) {
        const size_t got = readFull(fd, buffer, sizeof buffer);
        if (got < sizeof buffer && errno != 0) failWithErrno("Error reading " + std::string(what) + ": ", errno);
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

// ---- OutputTarget -----------------------------------------------------------------

OutputTarget::OutputTarget(const std::string& name) : finalName_(name) {
    if (name.empty()) failWithErrno("Error opening file: ", ENOENT);
    if (name == kStdioName) {
        if (standardDescriptorWasClosed(1)) failWithErrno("Error opening file: ", EBADF);
        way_ = Way::Stream;
        spool_ = std::make_unique<Spool>();
        destination_ = 1;
        finalName_.clear();
        return;
    }
    const DWORD attributes = GetFileAttributesW(systemName(name).c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) failWithErrno("Error opening file: ", EISDIR);
    // A read-only file stays refused, as writing into it was; one another
    // program holds open is refused before anything is converted.
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) failWithErrno("Error opening file: ", EACCES);
    if (const int blocked = exists ? replaceBlocked(name) : 0) failWithErrno("Error opening file: ", blocked);
    DWORD error = 0;
    HANDLE handle = createNew([&](std::mt19937& random) { return temporaryNameFor(name, random); },
                              FILE_ATTRIBUTE_NORMAL, temporaryName_, error);
    if (handle == INVALID_HANDLE_VALUE) {
        temporaryName_.clear();
        failWithSystemError("Error opening file: ", error);
    }
    setCleanupName(systemName(temporaryName_));
    CloseHandle(handle);
}

void OutputTarget::prepareInPlace() {}
void OutputTarget::commitInPlace() {}

OutputTarget::~OutputTarget() {
    if (!temporaryName_.empty()) {
        setCleanupName(L"");
        native_io::removeNamed(temporaryName_.c_str());
    }
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
    // On disk before it takes the output's name, so a crash cannot leave an
    // empty or partial file where the old one was.
    const int fd = native_io::openNamed(temporaryName_.c_str(), native_io::OpenFor::ReadingAndWriting);
    if (fd < 0) failWithErrno("Error writing to file: ", errno);
    const int synced = native_io::sync(fd);
    const int error = errno;
    native_io::close(fd);
    if (synced != 0) failWithErrno("Error writing to file: ", error);

    const std::wstring from = systemName(temporaryName_), to = systemName(finalName_);
    std::lock_guard<std::mutex> lock(g_cleanupLock);
    // ReplaceFileW keeps the replaced file's attributes and permissions.
    const bool exists = GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES;
    const bool replaced = exists ? ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                                nullptr, nullptr) != 0
                                 : MoveFileExW(from.c_str(), to.c_str(),
                                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!replaced) {
        const DWORD code = GetLastError();
        const int blocked = replaceBlocked(finalName_);
        failWithErrno("Error replacing the output file: ",
                      blocked ? blocked : file_names::errnoFromSystemError(code));
    }
    g_cleanupName.clear();
    temporaryName_.clear();
    return "";
}

struct SignalCleanup::Saved {
    bool installed = false;
};

SignalCleanup::SignalCleanup() : saved_(std::make_unique<Saved>()) {
    saved_->installed = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

SignalCleanup::~SignalCleanup() {
    if (saved_->installed) SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

}  // namespace sonx::velconv
