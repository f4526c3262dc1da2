#include "velconv/file_targets.h"

#include <cerrno>
#include <cstring>

#include "velconv/file_system.h"

namespace sonx::velconv {

namespace {

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

}  // namespace

void throwFailure(const SystemFailure& failure) {
    if (failure.systemError) throw SystemCallError(failure.status, failure.message, failure.systemError, failure.folder);
    throw std::runtime_error(failure.message);
}

// ---- Spooled inputs ------------------------------------------------------------

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

// ---- Outputs -------------------------------------------------------------------

SafeOutputFile openOutput(const std::string& name, const std::string& inputName, bool inputIsStream) {
    SafeOutputFile output;
    SystemFailure failure;
    if (name == kStdioName) {
        if (standardDescriptorWasClosed(kStandardOutput))
            throw SystemCallError(SONX_ERR_OPEN, std::string("Error opening file: ") + systemErrorText(EBADF), EBADF);
        if (output.beginStandardOutput(failure) != SONX_OK) throwFailure(failure);
        return output;
    }
    OutputRequest request;
    if (!inputIsStream) {
        request.input = inputName.c_str();
        request.keepInputTimes = true;
    }
    if (output.begin(name.c_str(), request, failure) != SONX_OK) throwFailure(failure);
    return output;
}

}  // namespace sonx::velconv
