#include "velconv/file_system.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <stdexcept>

#include "sonx/sonx.h"

namespace sonx::velconv {

namespace {

DWORD attributesOf(const std::string& name) { return GetFileAttributesW(systemFileName(name).c_str()); }

// A handle that reads attributes only; folders included.
class AttributeHandle {
public:
    AttributeHandle(const std::string& name, DWORD access)
        : handle_(CreateFileW(systemFileName(name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
    ~AttributeHandle() {
        if (ok()) CloseHandle(handle_);
    }
    AttributeHandle(const AttributeHandle&) = delete;
    AttributeHandle& operator=(const AttributeHandle&) = delete;
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

bool identityOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
}

bool sameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

bool g_standardClosed[3] = {};

}  // namespace

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
    _setmode(kStandardInput, _O_BINARY);
    _setmode(kStandardOutput, _O_BINARY);
}

bool standardDescriptorWasClosed(int descriptor) {
    return descriptor >= 0 && descriptor < 3 && g_standardClosed[descriptor];
}

PathKind pathKind(const std::string& name) {
    if (isReservedFileName(name)) return PathKind::Device;
    const DWORD attributes = attributesOf(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? PathKind::Folder : PathKind::File;
}

bool nameExists(const std::string& name) { return attributesOf(name) != INVALID_FILE_ATTRIBUTES; }

bool sameFile(const std::string& first, const std::string& second) {
    const AttributeHandle a(first, FILE_READ_ATTRIBUTES), b(second, FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION infoA, infoB;
    return identityOf(a.get(), infoA) && identityOf(b.get(), infoB) && sameIdentity(infoA, infoB);
}

bool descriptorIsFile(int descriptor, const std::string& name) {
    const auto open = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    if (open == INVALID_HANDLE_VALUE || GetFileType(open) != FILE_TYPE_DISK) return false;
    const AttributeHandle named(name, FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION infoOpen, infoNamed;
    return identityOf(open, infoOpen) && identityOf(named.get(), infoNamed) && sameIdentity(infoOpen, infoNamed);
}

void checkIsFileName(const std::string& name) {
    if (isReservedFileName(name))
        throw std::runtime_error("'" + name + "' is a name Windows keeps for a device, not a file -- choose another name");
}

bool isTerminal(int descriptor) {
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)), &mode) != 0;
}

std::size_t fileNameStart(const std::string& path) {
    const std::size_t separator = path.find_last_of("/\\");
    if (separator != std::string::npos) return separator + 1;
    // "C:memo.qcp" names memo.qcp in drive C's current folder.
    return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])) ? 2 : 0;
}

}  // namespace sonx::velconv
