// Where velconv reads from and writes to: standard input and inputs that
// can be read only once are spooled first; outputs are the library's safe
// outputs, which no failure or signal can turn into a damaged file.
#ifndef SONX_VELCONV_FILE_TARGETS_H
#define SONX_VELCONV_FILE_TARGETS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "sonx/sonx.h"

namespace sonx::velconv {

// The name that stands for standard input or standard output.
inline constexpr const char* kStdioName = "-";

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

// A WAV written to a pipe cannot state its lengths; its RIFF and 'data'
// lengths are 0, 0xFFFFFFFF or sox's 0x7FFFF000. Such lengths are set to
// what the spooled input actually holds. Returns true when a 'data' length
// that looks real promises more than arrived: the input was cut short, and
// as it cannot be asked for again, what it holds is converted with a warning.
bool settleStreamingWavLengths(SpoolFile& input);

// Where one conversion goes: the library's safe output for `name`, or for
// standard output when it is "-". A named input (not a stream) is what the
// output may not be, and gives the output its dates.
SafeOutputFile openOutput(const std::string& name, const std::string& inputName, bool inputIsStream);

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_FILE_TARGETS_H
