// Where velconv reads from and writes to, so that no run can destroy a
// user's file: outputs are made under a temporary name and renamed over the
// output only on success; standard input and output, and outputs that are
// not regular files, go through an unlinked spool file the library reaches
// through a client callback.
#ifndef SONX_VELCONV_FILE_TARGETS_H
#define SONX_VELCONV_FILE_TARGETS_H

#include <signal.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "sonx/sonx.h"

namespace sonx::velconv {

// The name that stands for standard input or standard output.
inline constexpr const char* kStdioName = "-";

// A failed system call: the text as printed, and the errno it came from.
struct SystemCallError : std::runtime_error {
    SystemCallError(const std::string& text, int errorNumber) : std::runtime_error(text), error(errorNumber) {}
    int error;
};

// An unlinked temporary file: nothing of it outlives the process, however
// the process ends. The library reaches it through a client-callback handle.
class Spool {
public:
    Spool();  // throws std::runtime_error
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    FileHandle handle();
    uint64_t size() const;
    // Reads up to n bytes at `offset`; returns the count read.
    size_t readAt(uint64_t offset, uint8_t* buffer, size_t n) const;
    void writeAt(uint64_t offset, const uint8_t* buffer, size_t n);
    // Appends everything `fd` delivers until its end.
    void fillFrom(int fd, const char* what);
    // Writes the whole spool to `fd`.
    void copyTo(int fd) const;

private:
    int fd_ = -1;
};

// A WAV written to a pipe cannot state its lengths; its RIFF and 'data'
// lengths are 0, 0xFFFFFFFF or a placeholder beyond the end of the input.
// Such lengths are set to what the spooled input actually holds. Anything
// else is left as it is.
void settleStreamingWavLengths(Spool& input);

// The destination of one conversion. Nothing under the output name changes
// before commit(); an output that is not committed leaves no trace.
class OutputTarget {
public:
    // "-" is standard output. A name that exists as something other than a
    // regular file (a device, a FIFO, a terminal) is opened for writing as
    // it is. Otherwise a temporary file is made beside the output (beside
    // the file a symbolic link points to), with the mode of the file it
    // replaces or, for a new file, 0666 less the umask. An existing file the
    // user may not write is refused, as it was when written in place; one in
    // a folder that takes no new files is rewritten in place on commit.
    // Throws "Error opening file: " + system text when none of this is
    // possible.
    explicit OutputTarget(const std::string& name);
    ~OutputTarget();
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    // What the library writes the conversion into.
    FileHandle handle();
    // The conversion succeeded and its file is closed: put it in place.
    void commit();

private:
    std::string temporaryName_;  // empty when writing through the spool
    std::string finalName_;
    int destination_ = -1;       // for the spool: where it is copied
    bool ownsDestination_ = false;
    bool truncateDestination_ = false;  // an existing file rewritten in place
    std::unique_ptr<Spool> spool_;
};

// While it lives, SIGINT, SIGTERM and SIGHUP remove a temporary output and
// then end the process as they would have. The handlers found are put back
// at the end, for a caller that runs velconv inside its own process.
class SignalCleanup {
public:
    SignalCleanup();
    ~SignalCleanup();
    SignalCleanup(const SignalCleanup&) = delete;
    SignalCleanup& operator=(const SignalCleanup&) = delete;

private:
    struct sigaction saved_[3];
    bool installed_[3] = {};
};

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_FILE_TARGETS_H
