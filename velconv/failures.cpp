#include "velconv/failures.h"

namespace sonx::velconv {

void throwFailure(const SystemFailure& failure) {
    if (failure.systemError) throw SystemCallError(failure.status, failure.message, failure.systemError, failure.folder);
    throw std::runtime_error(failure.message);
}

std::vector<std::string> failureNotes(const std::exception& failure) {
    if (const auto* system = dynamic_cast<const SystemCallError*>(&failure); system && !system->place.empty())
        return {"velconv: cannot write a temporary file in '" + system->place + "' (TMPDIR names another): " +
                systemErrorText(system->error)};
    if (const auto* cut = dynamic_cast<const CutShortError*>(&failure)) return {words::cutShortHint(cut->direction)};
    if (const auto* explained = dynamic_cast<const ExplainedError*>(&failure)) return {explained->note};
    return {};
}

}  // namespace sonx::velconv
