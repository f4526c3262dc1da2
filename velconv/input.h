// The input of one conversion: a named file told WAV or QCP by its first
// bytes, or a stream (standard input, a FIFO, a socket) read completely into
// a spool first, as a stream can be read only once and the library seeks.
#ifndef SONX_VELCONV_INPUT_H
#define SONX_VELCONV_INPUT_H

#include <memory>
#include <string>

#include "sonx/sonx.h"
#include "words/words.h"

namespace sonx::velconv {

enum class InputKind { Wav, Qcp };

inline words::Direction directionOf(InputKind kind) {
    return kind == InputKind::Qcp ? words::Direction::Decoding : words::Direction::Encoding;
}

// Throws the messages of an input that is no WAV or QCP file; one that
// cannot be opened, or is a folder, gets a line naming it and the reason.
InputKind sniffInput(const std::string& name);

class Input {
public:
    explicit Input(const std::string& name);
    // A named file, no stream, already found to be of `kind`: it is not
    // looked at again before the conversion reads it.
    Input(const std::string& name, InputKind kind);
    bool isStream() const { return spool_ != nullptr; }
    // A streamed WAV whose 'data' length promises more than arrived.
    bool isCutShortStream() const { return cutShort_; }
    InputKind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    FileHandle handle() { return spool_ ? spool_->handle() : FileHandle::named(name_.c_str()); }

private:
    // Reads the stream into the spool and tells its kind.
    void spool();

    std::string name_;
    std::unique_ptr<SpoolFile> spool_;
    InputKind kind_ = InputKind::Wav;
    bool cutShort_ = false;
};

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_INPUT_H
