#include "velconv/batch.h"
#include "velconv/file_system.h"
#include "velconv/velconv.h"

#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>

namespace sonx::velconv {

namespace {

namespace fs = std::filesystem;

// Everything goes to standard error. On a terminal the progress display
// holds the last line; any other line first wipes it.
class BatchOutput {
public:
    BatchOutput(bool quiet, std::size_t total)
        : quiet_(quiet), total_(total), progress_(!quiet && isTerminal(kStandardError)) {}

    void error(const std::string& line) { print(line); }
    void note(const std::string& line) {
        if (!quiet_) print(line);
    }
    void progress(std::size_t index, const std::string& name) {
        if (!progress_) return;
        std::cerr << "\r\033[K[" << index + 1 << '/' << total_ << "] " << name;
        std::cerr.flush();
        showing_ = true;
    }
    void clearProgress() {
        if (!showing_) return;
        std::cerr << "\r\033[K";
        std::cerr.flush();
        showing_ = false;
    }

private:
    void print(const std::string& line) {
        clearProgress();
        std::cerr << line + '\n';
        std::cerr.flush();
    }

    bool quiet_;
    std::size_t total_;
    bool progress_;
    bool showing_ = false;
};

// File systems differ in whether case matters; names are compared as if it
// never did, so no file system can make two outputs one. The folder part is
// resolved, so ./a and a, or a link to a folder, are the same place.
std::string placeKey(const std::string& path) {
    const fs::path resolved = fs::weakly_canonical(fs::absolute(pathOf(path)));
    std::string name = nameOf(resolved.filename());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return nameOf(resolved.parent_path() / pathOf(name));
}

std::string inQuotes(const std::string& name) {
    return "'" + name + "'";
}

struct PlannedFile {
    std::string input;
    std::string output;
    std::optional<std::string> refusal;  // why it is not converted, found before any file is
};

std::string outputNameFor(const std::string& input, InputKind kind, const std::string& outputDir) {
    const std::string beside = deriveOutputName(input, kind);
    if (outputDir.empty()) return beside;
    return nameOf(pathOf(outputDir) / pathOf(beside).filename());
}

// Decides every output before anything is written: two inputs that would
// write one output are both refused, as is an input whose output would
// replace another input.
std::vector<PlannedFile> plan(const std::vector<std::string>& inputs, const std::string& outputDir) {
    std::vector<PlannedFile> files;
    std::set<std::string> seenInputs;
    for (const std::string& input : inputs) {
        // The same file named twice (a.qcp and ./a.qcp) is converted once.
        if (!seenInputs.insert(nameOf(fs::weakly_canonical(fs::absolute(pathOf(input))))).second) continue;
        PlannedFile file{input, "", std::nullopt};
        try {
            if (input == kStdioName) throw std::runtime_error("Standard input cannot be part of a batch");
            if (pathKind(input) == PathKind::Folder)
                throw std::runtime_error("It is a folder; name the files in it");
            file.output = outputNameFor(input, sniffInput(input), outputDir);
        } catch (const std::exception& e) {
            file.refusal = e.what();
        }
        files.push_back(std::move(file));
    }

    std::set<std::string> inputKeys;
    std::map<std::string, std::vector<std::size_t>> byOutput;
    for (std::size_t n = 0; n < files.size(); ++n) {
        inputKeys.insert(placeKey(files[n].input));
        if (!files[n].refusal) byOutput[placeKey(files[n].output)].push_back(n);
    }
    for (const auto& [key, users] : byOutput) {
        for (std::size_t n : users) {
            PlannedFile& file = files[n];
            if (inputKeys.count(key)) {
                file.refusal = "Its output " + inQuotes(file.output) + " is one of the inputs -- it is not converted";
            } else if (users.size() > 1) {
                std::string others;
                for (std::size_t other : users)
                    if (other != n) others += std::string(others.empty() ? "" : ", ") + inQuotes(files[other].input);
                file.refusal = "Its output " + inQuotes(file.output) + " would also be the output of " + others +
                               " -- neither is converted; rename one of them";
            }
        }
    }
    return files;
}

}  // namespace

int runBatch(const std::vector<std::string>& inputs, const BatchSettings& settings) {
    if (!settings.outputDir.empty()) {
        std::error_code failure;
        fs::create_directories(pathOf(settings.outputDir), failure);
        if (failure || !fs::is_directory(pathOf(settings.outputDir)))
            throw std::runtime_error("Cannot make the output folder " + inQuotes(settings.outputDir) + ": " +
                                     (failure ? failure.message() : "a file has that name"));
    }
    const std::vector<PlannedFile> files = plan(inputs, settings.outputDir);
    BatchOutput out(settings.quiet, files.size());
    std::size_t converted = 0, skipped = 0, failed = 0;

    for (std::size_t n = 0; n < files.size(); ++n) {
        const PlannedFile& file = files[n];
        if (file.refusal) {
            out.error("ERROR: " + inQuotes(file.input) + ": " + *file.refusal);
            ++failed;
            continue;
        }
        if (!settings.force && nameExists(file.output)) {
            out.note("velconv: skipped " + inQuotes(file.output) + ": it exists (-f replaces it)");
            ++skipped;
            continue;
        }
        out.progress(n, file.input);
        try {
            Input input(file.input);
            checkNames(file.input, file.output);
            const std::string warning = convertOne(input, file.output, settings.conversion);
            if (!warning.empty()) out.note(warning);
            ++converted;
        } catch (const std::exception& e) {
            out.error("ERROR: " + inQuotes(file.input) + ": " + e.what());
            for (const std::string& note : failureNotes(e)) out.error(note);
            ++failed;
        }
    }
    out.clearProgress();
    out.note("velconv: " + std::to_string(converted) + " converted, " + std::to_string(skipped) + " skipped, " +
             std::to_string(failed) + " failed");
    return failed == 0 ? 0 : kFailureStatus;
}

}  // namespace sonx::velconv
