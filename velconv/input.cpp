#include "velconv/input.h"

#include <cerrno>
#include <cstring>

#include "velconv/failures.h"
#include "velconv/file_system.h"

namespace sonx::velconv {

namespace {

using words::kNotWavOrQcp;

// RIFF lengths are 32-bit little-endian.
uint32_t getLe32(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
}

size_t readAt(const SpoolFile& spool, uint64_t offset, uint8_t* buffer, size_t length) {
    SystemFailure failure;
    size_t got = 0;
    if (spool.readAt(offset, buffer, length, got, failure) != SONX_OK) throwFailure(failure);
    return got;
}

void putLe32At(SpoolFile& spool, uint64_t offset, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    SystemFailure failure;
    if (spool.writeAt(offset, bytes, 4, failure) != SONX_OK) throwFailure(failure);
}

// What a writer that cannot seek back puts into a length: 0, 0xFFFFFFFF
// (ffmpeg), 0x7FFFF000 (sox), 0x7FFFFFFF (arecord). No stream that long
// fits a spool, so nothing near 2 GiB is a real length.
bool isPlaceholderLength(uint32_t length) {
    return length == 0 || length >= 0x7FFF0000u;
}

// A WAV written to a pipe cannot state its lengths; its RIFF and 'data'
// lengths are 0, 0xFFFFFFFF or sox's 0x7FFFF000. Such lengths are set to
// what the spooled input actually holds. Returns true when a 'data' length
// that looks real promises more than arrived: the input was cut short, and
// as it cannot be asked for again, what it holds is converted with a warning.
bool settleStreamingWavLengths(SpoolFile& input) {
    uint64_t end = 0;
    SystemFailure failure;
    if (input.size(end, failure) != SONX_OK) throwFailure(failure);
    uint8_t head[12];
    if (end < 12 || end > UINT32_MAX || readAt(input, 0, head, 12) != 12) return false;
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return false;
    const uint32_t riffLength = getLe32(head + 4);
    // The 'data' chunk is the last one a streaming writer can put out.
    for (uint64_t at = 12; at + 8 <= end;) {
        uint8_t chunk[8];
        readAt(input, at, chunk, 8);
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

// The direction follows from the file's kind; an input of another kind is
// refused in velconv's words.
InputKind inputKindOf(const FileKindInfo& kind) {
    if (kind.kind == FILE_KIND_QCP) return InputKind::Qcp;
    if (kind.kind == FILE_KIND_WAV || kind.kind == FILE_KIND_RF64) return InputKind::Wav;
    throw std::runtime_error(words::notAudioText(kind));
}

// A descriptor for reading the named file, or -1 with the system's error
// number in `error`.
int openForReading(const std::string& name, int& error) {
    int descriptor = -1;
    if (sonx_open_descriptor(name.c_str(), &descriptor) != SONX_OK) error = lastSystemFailure().systemError;
    return descriptor;
}

// A FIFO or socket (a process substitution's /dev/fd/63) can be read only
// once, as standard input can.
bool isStreamName(const std::string& name) { return pathKind(name) == PathKind::Stream; }

}  // namespace

InputKind sniffInput(const std::string& name) {
    checkIsFileName(name);
    FileKindInfo kind;
    std::string unreadable;
    const int32_t status = fileKind(FileHandle::named(name.c_str()), kind, unreadable);
    if (status == SONX_OK) return inputKindOf(kind);
    // Only a file that cannot be told is asked why, for the line that names it.
    if (pathKind(name) == PathKind::Folder)
        throw ExplainedError(kNotWavOrQcp, "velconv: '" + name + "' is a folder");
    int error = 0;
    const int descriptor = openForReading(name, error);
    if (descriptor < 0)
        throw ExplainedError(kNotWavOrQcp, "velconv: cannot open '" + name + "': " + systemErrorText(error));
    sonx_close_descriptor(descriptor);
    throw std::runtime_error(words::unreadableInputText(status, unreadable));
}

Input::Input(const std::string& name) : name_(name) {
    if (name != kStdioName && !isStreamName(name)) {
        kind_ = sniffInput(name);
        return;
    }
    spool();
}

Input::Input(const std::string& name, InputKind kind) : name_(name), kind_(kind) {}

void Input::spool() {
    const std::string& name = name_;
    const bool standardInput = name == kStdioName;
    if (standardInput && standardDescriptorWasClosed(kStandardInput))
        throw SystemCallError(SONX_ERR_READ, std::string("Error reading standard input: ") + std::strerror(EBADF),
                              EBADF);
    int error = 0;
    const int descriptor = standardInput ? kStandardInput : openForReading(name, error);
    if (descriptor < 0)
        throw ExplainedError(kNotWavOrQcp, "velconv: cannot open '" + name + "': " + systemErrorText(error));
    const std::string what = standardInput ? "standard input" : "'" + name + "'";
    spool_ = std::make_unique<SpoolFile>();
    SystemFailure failure;
    int32_t status = spool_->create(failure);
    if (status == SONX_OK) status = spool_->fill(descriptor, what.c_str(), failure);
    if (!standardInput) sonx_close_descriptor(descriptor);
    if (status == SONX_ERR_TOO_LARGE)
        throw std::runtime_error("More than 2 GiB on " + what + ", more than velconv can take");
    if (status != SONX_OK) throwFailure(failure);
    cutShort_ = settleStreamingWavLengths(*spool_);
    // One whose first bytes cannot be read is refused in velconv's words.
    FileKindInfo kind;
    std::string unreadable;
    if (const int32_t status = fileKind(spool_->handle(), kind, unreadable); status != SONX_OK)
        throw std::runtime_error(words::unreadableInputText(status, unreadable));
    kind_ = inputKindOf(kind);
}

}  // namespace sonx::velconv
