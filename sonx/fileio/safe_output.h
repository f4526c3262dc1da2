// Outputs that never cost the caller a file: every named file the library
// writes is made under a temporary name beside it and takes the final name
// only when complete, so a failure, a cancel or a signal leaves the old file
// (or no file) in its place. The platform's half is safe_output_<os>.cpp;
// nothing here names a platform type.
#ifndef SONX_FILEIO_SAFE_OUTPUT_H
#define SONX_FILEIO_SAFE_OUTPUT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "sonx/component/status.h"
#include "sonx/fileio/native_io.h"
#include "sonx/sonx.h"

namespace sonx {

// A failed system call: the library's status and text, the system's error
// number, and the folder it happened in when that is not the file's own
// (the temporary folder behind a stream), else "".
struct SystemError : StatusError {
    SystemError(int32_t status, const std::string& text, int errorNumber, std::string where = "")
        : StatusError(status, text), error(errorNumber), place(std::move(where)) {}
    int error;
    std::string place;
};

// The folder spools are made in: $TMPDIR, else the system's.
std::string spoolFolder();

// An unlinked temporary file: nothing of it outlives the process, however
// the process ends. The library reaches it through a client-callback handle,
// so its positions stay below 2 GiB.
class Spool {
public:
    Spool();  // throws SystemError
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    FileHandle handle();
    uint64_t size() const;
    // Reads up to n bytes at `offset`; returns the count read.
    size_t readAt(uint64_t offset, uint8_t* buffer, size_t n) const;
    void writeAt(uint64_t offset, const uint8_t* buffer, size_t n);
    // Appends everything the descriptor delivers until its end; `what` names
    // it in a failure ("standard input", "'name'"). More than 2 GiB fails
    // with SONX_ERR_TOO_LARGE.
    void fillFrom(int descriptor, const std::string& what);
    // The system error of the last transfer through handle() that failed, or 0.
    int transferError() const { return transferError_; }

private:
    friend struct SpoolAccess;
    std::intptr_t native_ = -1;
    int transferError_ = 0;
};

// Whether `name` is the temporary file of an output in the making in this
// process. Writers open such a file without creating it: a signal that has
// removed it must not see another thread make it anew before the process ends.
bool isTemporaryInTheMaking(const std::string& name);

// The descriptor a temporary file in the making was created with, open until
// its output is committed or discarded and the last writer that borrowed it
// lets go: writers use it rather than open the name again.
class OpenTemporary {
public:
    explicit OpenTemporary(int descriptor) : descriptor_(descriptor) {}
    ~OpenTemporary() { native_io::close(descriptor_); }
    OpenTemporary(const OpenTemporary&) = delete;
    OpenTemporary& operator=(const OpenTemporary&) = delete;

    int descriptor() const { return descriptor_; }
    // True once, to the first writer that creates the output: the file is
    // still empty for it. Any later one must empty it first.
    bool takeFresh() { return !written_.exchange(true); }

private:
    int descriptor_;
    std::atomic<bool> written_{false};
};

// The open temporary file named `name`, or null where it is none, or where
// this system's writers open it by name.
std::shared_ptr<OpenTemporary> openTemporaryInTheMaking(const std::string& name);

// Where the output is made from and what it keeps of it.
struct SafeOutputRequest {
    // The named file the output is converted from, or null. An output that
    // is this file under another name (a link, ./name) is refused with
    // SONX_ERR_INVALID: replacing it would destroy the input.
    const char* input = nullptr;
    // The output takes the input's access and modification times (a memo's
    // file date is its recording date), set before it takes its name.
    bool keepInputTimes = false;
};

// One output in the making. begin() decides how it is made, from what has
// the final name now:
// - nothing, or a regular file whose identity a new file can carry: a
//   temporary file beside it ("name.velconv-XXXXXX", beside the file a
//   symbolic link points to), with the mode, owner, group, ACL and extended
//   attributes of the file it replaces (for a new file 0666 less the
//   umask), synced and renamed over it by commit();
// - a regular file whose identity a new file cannot carry (other hard
//   links, another owner, a sticky folder, a folder that takes no new
//   files): a spool, rewritten into the file by commit() with the old bytes
//   kept aside and put back if the rewrite fails;
// - a device, FIFO or terminal: a spool, written to it in one pass;
// - a temporary name of an output already in the making in this process (a
//   caller that adds steps of its own before commit): written as it is,
//   committed by its owner.
// An output neither committed nor kept by its owner leaves nothing behind.
// While any output is in the making, every catchable terminating signal
// still at its default removes the temporary files and then ends the
// process as it would have, and SIGXFSZ at its default is ignored so that
// a file-size limit fails the write ("File too large"). Any number of
// outputs may be in the making at once, on any threads.
class SafeOutput {
public:
    // Throws SystemError (SONX_ERR_OPEN, "Error opening file: " + the
    // system's text) or StatusError (SONX_ERR_INVALID, the input's name).
    static std::unique_ptr<SafeOutput> begin(const std::string& name, const SafeOutputRequest& request = {});
    // The final name of a standard output stream: written in one pass on commit.
    static std::unique_ptr<SafeOutput> toStandardOutput();
    ~SafeOutput();
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    // What the writers write the output into; valid while this lives.
    FileHandle handle();
    // Puts the complete, closed output in place. Returns 0, or the system
    // error of a folder sync that failed after the output took its name (it
    // is in place, but may not survive a power cut). Throws SystemError
    // (SONX_ERR_WRITE) and leaves the old file as it was.
    int commit();
    // What commitTogether tells of one output: what its commit() would have
    // returned, or the failure it would have thrown.
    struct Outcome {
        int unsyncedError = 0;
        std::exception_ptr failure;
    };
    // Puts several complete, closed outputs in place as commit() puts each,
    // sharing the syncs: the data of all of them goes to disk first (one
    // flush for all that share a file system, where the system allows it),
    // then each takes its name in order, then each folder is synced once.
    // An output that cannot share them (a rewrite in place, a stream) is
    // committed on its own. One that fails leaves its old file as it was;
    // the others go on.
    static std::vector<Outcome> commitTogether(const std::vector<SafeOutput*>& outputs);
    // After a failed write: throws the system's reason when writing the
    // spool failed (the writers only know a client write came up short).
    void explainFailure() const;
    // The file the output ends up in ("" for standard output).
    const std::string& finalName() const;
    // Whether the output, once committed, is a file nothing else had: a
    // new file, or a temporary name of its owner's. Only such a file may be
    // removed again after commit without losing anything.
    bool isNewFile() const;

    struct State;

private:
    explicit SafeOutput(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace sonx

#endif  // SONX_FILEIO_SAFE_OUTPUT_H
