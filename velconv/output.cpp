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
    return explainingWriteFailures(name_, [&] {
        const std::string finalName = output_.finalName();
        int unsyncedError = 0;
        SystemFailure failure;
        const int32_t status = output_.commit(unsyncedError, failure);
        // Only the old bytes of a file rewritten in place can be too many to keep aside.
        if (status == SONX_ERR_TOO_LARGE) throw std::runtime_error(failure.message + ", more than velconv can take");
        if (status != SONX_OK) throwFailure(failure);
        std::string warning = warning_;
        if (unsyncedError)
            warning += std::string(warning.empty() ? "" : "\n") + "velconv: WARNING: '" + finalName +
                       "' is written, but its folder could not be synced to disk: " + systemErrorText(unsyncedError);
        return warning;
    });
}

}  // namespace sonx::velconv
