// Where velconv reads from and writes to, so that no run can destroy a
// user's file: outputs are made under a temporary name and renamed over the
// output only on success; standard input and output, and outputs that are
// not regular files, go through an unlinked spool file the library reaches
// through a client callback.
#ifndef SONX_VELCONV_FILE_TARGETS_H
#define SONX_VELCONV_FILE_TARGETS_H

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

#include "sonx/sonx.h"

namespace sonx::velconv {

// The name that stands for standard input or standard output.
inline constexpr const char* kStdioName = "-";

// Descriptors 0, 1 and 2 that are closed when velconv starts are given
// /dev/null, so no file velconv opens can take their place (a spool given
// descriptor 1 would be copied into itself). Reports whether one was closed.
void reserveStandardDescriptors();
bool standardDescriptorWasClosed(int fd);

// A failed system call: the text as printed, and the errno it came from.
// `place` names a folder the failure happened in when it is not the file's
// own (the temporary folder behind a pipe), else it is empty.
struct SystemCallError : std::runtime_error {
    SystemCallError(const std::string& text, int errorNumber, std::string where = "")
        : std::runtime_error(text), error(errorNumber), place(std::move(where)) {}
    int error;
    std::string place;
};

// The folder spools are made in: $TMPDIR, else /tmp.
std::string spoolFolder();

// An unlinked temporary file: nothing of it outlives the process, however
// the process ends. The library reaches it through a client-callback handle.
class Spool {
public:
    Spool();  // throws SystemCallError
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
    // Writes the whole spool to `fd` at its current offset.
    void copyTo(int fd) const;
    // The errno of the last transfer through handle() that failed, or 0.
    int transferError() const { return transferError_; }

private:
    friend int32_t spoolCallback(int32_t, uint8_t*, int32_t, int32_t, uintptr_t);
    int fd_ = -1;
    int transferError_ = 0;
};

// A WAV written to a pipe cannot state its lengths; its RIFF and 'data'
// lengths are 0, 0xFFFFFFFF or sox's 0x7FFFF000. Such lengths are set to
// what the spooled input actually holds. Returns true when a 'data' length
// that looks real promises more than arrived: the input was cut short, and
// as it cannot be asked for again, what it holds is converted with a warning.
bool settleStreamingWavLengths(Spool& input);

// The destination of one conversion. Nothing under the output name changes
// before commit(); an output that is not committed leaves no trace.
class OutputTarget {
public:
    // "-" is standard output. A name that exists as something other than a
    // regular file (a device, a FIFO, a terminal) is opened for writing as
    // it is. Otherwise a temporary file is made beside the output (beside
    // the file a symbolic link points to, even one not made yet), with the
    // mode, owner, group, ACL and extended attributes of the file it
    // replaces or, for a new file, 0666 less the umask. An existing file the
    // user may not write is refused. One whose identity a new file cannot
    // carry (other hard links, another owner, a sticky folder, a folder
    // that takes no new files) is rewritten in place on commit, with its
    // old bytes kept aside and put back if the rewrite fails.
    // Throws SystemCallError ("Error opening file: " + system text) when
    // none of this is possible.
    explicit OutputTarget(const std::string& name);
    ~OutputTarget();
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    // What the library writes the conversion into.
    FileHandle handle();
    // After a failed conversion: the system's reason when writing the
    // spool failed (the library only knows a client write came up short).
    void explainFailure() const;
    // The conversion succeeded and its file is closed: put it in place.
    // Returns a warning when the output is in place but may not survive a
    // power cut (its folder could not be synced), else "".
    std::string commit();
    // The file the output ends up in ("" for standard output).
    const std::string& finalName() const { return finalName_; }

private:
    enum class Way { Replace, InPlace, Stream };
    void prepareInPlace();
    void commitInPlace();

    Way way_ = Way::Replace;
    std::string temporaryName_;  // Replace
    std::string finalName_;
    int destination_ = -1;       // InPlace and Stream: where the spool goes
    bool ownsDestination_ = false;
    std::unique_ptr<Spool> spool_;
};

// The signals that end a process and can be caught.
inline constexpr int kTerminatingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGPIPE, SIGALRM,
                                              SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

// How many temporary outputs may be in the making at once, on any threads.
inline constexpr std::size_t kMaxTemporariesInFlight = 256;

// While it lives, every catchable terminating signal still at its default
// removes the temporary outputs in the making (waiting for a rename or an
// in-place rewrite under way on another thread to finish) and then ends the
// process as it would have, and SIGXFSZ (if at its default) is ignored so
// that a file-size limit fails the write (EFBIG) and is reported like a full
// disk. The handlers found are put back at the end, for a caller that runs
// velconv inside its own process.
class SignalCleanup {
public:
    SignalCleanup();
    ~SignalCleanup();
    SignalCleanup(const SignalCleanup&) = delete;
    SignalCleanup& operator=(const SignalCleanup&) = delete;

private:
    static constexpr std::size_t kCount = std::size(kTerminatingSignals);
    struct sigaction saved_[kCount];
    bool installed_[kCount] = {};
    struct sigaction savedSizeLimit_;
    bool sizeLimitIgnored_ = false;
};

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_FILE_TARGETS_H
