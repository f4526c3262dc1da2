// Safe output for WebAssembly builds, which have no file system: every
// output is a client handle over memory, so a named output never begins.
#include "sonx/fileio/safe_output.h"

namespace sonx {

struct SafeOutput::State {};

SafeOutput::SafeOutput(std::unique_ptr<State> state) : state_(std::move(state)) {}
SafeOutput::~SafeOutput() = default;

std::unique_ptr<SafeOutput> SafeOutput::begin(const std::string&, const SafeOutputRequest&) {
    failWith(SONX_ERR_OPEN, "Error opening file: this build writes no named files");
}

std::unique_ptr<SafeOutput> SafeOutput::toStandardOutput() {
    failWith(SONX_ERR_OPEN, "Error opening file: this build writes no named files");
}

FileHandle SafeOutput::handle() { return FileHandle(); }
int SafeOutput::commit() { return 0; }
std::vector<SafeOutput::Outcome> SafeOutput::commitTogether(const std::vector<SafeOutput*>& outputs) {
    return std::vector<Outcome>(outputs.size());
}
void SafeOutput::explainFailure() const {}
bool SafeOutput::isNewFile() const { return false; }

bool isTemporaryInTheMaking(const std::string&) { return false; }
std::shared_ptr<OpenTemporary> openTemporaryInTheMaking(const std::string&) { return nullptr; }

const std::string& SafeOutput::finalName() const {
    static const std::string kNone;
    return kNone;
}

}  // namespace sonx
