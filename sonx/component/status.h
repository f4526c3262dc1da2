// Failures that carry their sonx_status, so callers tell them apart by
// number rather than by their text.
#ifndef SONX_COMPONENT_STATUS_H
#define SONX_COMPONENT_STATUS_H

#include <cstdint>
#include <stdexcept>
#include <string>

#include "sonx/sonx_c.h"

namespace sonx {

class StatusError : public std::runtime_error {
public:
    StatusError(int32_t code, const std::string& text) : std::runtime_error(text), status(code) {}
    int32_t status;
};

[[noreturn]] inline void failWith(int32_t status, const std::string& text) {
    throw StatusError(status, text);
}

// Copies `text` into a caller's buffer of `capacity` bytes, cut to fit,
// with a NUL; a null buffer or no capacity takes nothing.
inline void copyText(const std::string& text, char* buffer, size_t capacity) {
    if (!buffer || capacity == 0) return;
    const size_t kept = text.size() < capacity - 1 ? text.size() : capacity - 1;
    text.copy(buffer, kept);
    buffer[kept] = '\0';
}

// The status of the exception being handled: its own, SONX_ERR_NO_MEMORY
// for an allocation failure, SONX_ERR_FAILED for anything else. Call only
// inside a catch block.
int32_t currentStatus();

// A failure's text and sonx_status; empty on success.
struct Failure {
    std::string text;
    int32_t status = SONX_OK;
    bool empty() const { return text.empty(); }
};

// Runs `body`, turning every failure into its text and status.
template <class Body>
Failure failureOf(Body&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        const int32_t status = currentStatus();
        return {status == SONX_ERR_NO_MEMORY ? "Out of memory" : e.what(), status};
    } catch (...) {
        const int32_t status = currentStatus();
        return {status == SONX_ERR_NO_MEMORY ? "Out of memory" : "Unexpected failure", status};
    }
    return {};
}

}  // namespace sonx

#endif  // SONX_COMPONENT_STATUS_H
