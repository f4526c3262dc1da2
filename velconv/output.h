// Where one conversion goes: the library's safe output for a name or for
// standard output, and the converted output until it takes its place.
#ifndef SONX_VELCONV_OUTPUT_H
#define SONX_VELCONV_OUTPUT_H

#include <exception>
#include <string>
#include <vector>

#include "sonx/sonx.h"
#include "velconv/failures.h"
#include "velconv/file_system.h"

namespace sonx::velconv {

// The library's safe output for `name`, or for standard output when it is
// "-". A named input (not a stream) is what the output may not be, and
// gives the output its dates.
SafeOutputFile openOutput(const std::string& name, const std::string& inputName, bool inputIsStream);

// Runs `step`; a failed write it throws names the output and the reason,
// unless it happened in the temporary folder behind a stream, which names
// itself.
template <typename Step>
auto explainingWriteFailures(const std::string& outputName, Step step) {
    try {
        return step();
    } catch (const SystemCallError& e) {
        if (!e.place.empty()) throw;
        const std::string target = outputName == kStdioName ? "standard output" : "'" + outputName + "'";
        throw ExplainedError(e.what(), "velconv: cannot write " + target + ": " + systemErrorText(e.error));
    }
}

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

    // What putting one output in place with others told: what its commit()
    // would have returned, or the failure it would have thrown.
    struct Placed {
        std::string warning;
        std::exception_ptr failure;
    };
    // Puts the outputs in place together, sharing their syncs to disk.
    static std::vector<Placed> commitTogether(const std::vector<PendingOutput*>& outputs);

private:
    // The warnings after the output's commit told `outcome`; throws its failure.
    std::string warningsAfter(const CommitOutcome& outcome, const std::string& finalName) const;

    SafeOutputFile output_;
    std::string name_;
    std::string warning_;
};

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_OUTPUT_H
