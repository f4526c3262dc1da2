// One file's conversion as velconv does it, shared by single-file and batch
// runs: recognising the input, naming the output, and converting into a
// safely made output that keeps the input's label, comment and date.
#ifndef SONX_VELCONV_CONVERSION_H
#define SONX_VELCONV_CONVERSION_H

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sonx/sonx.h"
#include "velconv/file_targets.h"
#include "words/words.h"

namespace sonx::velconv {

enum class InputKind { Wav, Qcp };

using words::Direction;

inline Direction directionOf(InputKind kind) {
    return kind == InputKind::Qcp ? Direction::Decoding : Direction::Encoding;
}

struct ConversionSettings {
    Guid rateSet = RATE_SET_VFR;
    uint32_t mode = 0;
    bool salvage = false;
    uint32_t decodeRate = 0;  // sample rate of a decoded WAV; 0: not asked, the QCP's own 8000
};

// A conversion that failed on an input whose lengths say it was cut short.
struct CutShortError : std::runtime_error {
    CutShortError(const std::string& text, Direction conversion) : std::runtime_error(text), direction(conversion) {}
    Direction direction;
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

// Throws the messages of an input that is no WAV or QCP file; one that
// cannot be opened, or is a folder, gets a line naming it and the reason.
InputKind sniffInput(const std::string& name);

// The input of one conversion: a named file, or standard input, a FIFO or a
// socket read completely into a spool first (a pipe can be read only once,
// the library seeks).
class Input {
public:
    explicit Input(const std::string& name);
    bool isStream() const { return spool_ != nullptr; }
    // A streamed WAV whose 'data' length promises more than arrived.
    bool isCutShortStream() const { return cutShort_; }
    InputKind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    FileHandle handle() { return spool_ ? spool_->handle() : FileHandle::named(name_.c_str()); }

private:
    std::string name_;
    std::unique_ptr<SpoolFile> spool_;
    InputKind kind_ = InputKind::Wav;
    bool cutShort_ = false;
};

// Refuses standard input that is the output file, and standard output that
// is the input file.
void checkStreamsAreNotTheOtherFile(const std::string& input, const std::string& output);

// The input's name with the other format's extension.
std::string deriveOutputName(const std::string& input, InputKind kind);

// Refuses an output that is the input under another spelling.
void checkNames(const std::string& input, const std::string& output);

// A converted output, complete but not yet in place.
class PendingOutput {
public:
    // `name`: the output as the user named it.
    PendingOutput(SafeOutputFile output, std::string name, std::string warning);
    PendingOutput(PendingOutput&&) noexcept;
    PendingOutput& operator=(PendingOutput&&) noexcept;
    ~PendingOutput();  // an output never put in place leaves no trace

    // Puts the output in place, on any thread. Returns the warnings (the
    // salvage's, a folder that could not be synced), "" when there are none.
    // Throws std::runtime_error or ExplainedError.
    std::string commit();

private:
    SafeOutputFile output_;
    std::string name_;
    std::string warning_;
};

// Converts into `outputName` ("-": standard output), up to putting the
// output in place. It carries the input's label and comment and, when both
// are files, the input's modification time. Throws std::runtime_error,
// CutShortError or ExplainedError.
PendingOutput convertPending(Input& input, const std::string& outputName, const ConversionSettings& settings);

// convertPending, then commit.
std::string convertOne(Input& input, const std::string& outputName, const ConversionSettings& settings);

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_CONVERSION_H
