// The failures velconv reports beyond a plain message, and the lines that
// follow their ERROR line to explain them.
#ifndef SONX_VELCONV_FAILURES_H
#define SONX_VELCONV_FAILURES_H

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "sonx/sonx.h"
#include "words/words.h"

namespace sonx::velconv {

// A failed system call: the text as printed, the library's status, the
// system's error number, and the folder it happened in when not the file's
// own (the temporary folder behind a pipe).
struct SystemCallError : std::runtime_error {
    SystemCallError(int32_t code, const std::string& text, int errorNumber, std::string where = "")
        : std::runtime_error(text), status(code), error(errorNumber), place(std::move(where)) {}
    int32_t status;
    int error;
    std::string place;
};

// Throws the library's failure: a SystemCallError when a system call
// failed, else std::runtime_error with its message.
[[noreturn]] void throwFailure(const SystemFailure& failure);

// A conversion that failed on an input whose lengths say it was cut short.
struct CutShortError : std::runtime_error {
    CutShortError(const std::string& text, words::Direction conversion)
        : std::runtime_error(text), direction(conversion) {}
    words::Direction direction;
};

// A failure whose ERROR line is followed by one line that explains it: the
// codec a file is coded with, or which file could not be opened and why.
struct ExplainedError : std::runtime_error {
    ExplainedError(const std::string& text, std::string noteLine)
        : std::runtime_error(text), note(std::move(noteLine)) {}
    std::string note;
};

// The lines that follow a failure's ERROR line to explain it (none for most).
std::vector<std::string> failureNotes(const std::exception& failure);

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_FAILURES_H
