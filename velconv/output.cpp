#include "velconv/output.h"

#include <cerrno>

#include "velconv/file_system.h"

namespace sonx::velconv {

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

PendingOutput::PendingOutput(SafeOutputFile output, std::string name, std::string warning)
    : output_(std::move(output)), name_(std::move(name)), warning_(std::move(warning)) {}
PendingOutput::PendingOutput(PendingOutput&&) noexcept = default;
PendingOutput& PendingOutput::operator=(PendingOutput&&) noexcept = default;
PendingOutput::~PendingOutput() = default;

std::string PendingOutput::commit() {
    Placed placed = std::move(commitTogether({this}).front());
    if (placed.failure) std::rethrow_exception(placed.failure);
    return placed.warning;
}

std::vector<PendingOutput::Placed> PendingOutput::commitTogether(const std::vector<PendingOutput*>& outputs) {
    std::vector<std::string> finalNames;
    std::vector<SafeOutputFile*> files;
    for (PendingOutput* output : outputs) {
        finalNames.push_back(output->output_.finalName());
        files.push_back(&output->output_);
    }
    const std::vector<CommitOutcome> outcomes = sonx::commitTogether(files);
    std::vector<Placed> placed(outputs.size());
    for (std::size_t n = 0; n < outputs.size(); ++n) {
        try {
            placed[n].warning = outputs[n]->warningsAfter(outcomes[n], finalNames[n]);
        } catch (...) {
            placed[n].failure = std::current_exception();
        }
    }
    return placed;
}

std::string PendingOutput::warningsAfter(const CommitOutcome& outcome, const std::string& finalName) const {
    return explainingWriteFailures(name_, [&] {
        // Only the old bytes of a file rewritten in place can be too many to keep aside.
        if (outcome.status == SONX_ERR_TOO_LARGE)
            throw std::runtime_error(outcome.failure.message + ", more than velconv can take");
        if (outcome.status != SONX_OK) throwFailure(outcome.failure);
        std::string warning = warning_;
        if (outcome.unsyncedError)
            warning += std::string(warning.empty() ? "" : "\n") + "velconv: WARNING: '" + finalName +
                       "' is written, but its folder could not be synced to disk: " +
                       systemErrorText(outcome.unsyncedError);
        return warning;
    });
}

}  // namespace sonx::velconv
