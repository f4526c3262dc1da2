#include "velconv/batch.h"
#include "velconv/failures.h"
#include "velconv/file_system.h"
#include "velconv/velconv.h"

#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

namespace sonx::velconv {

namespace {

namespace fs = std::filesystem;

enum class Outcome { Converted, Skipped, Failed };

// What converting one file has to say, kept until every file before it has
// been printed.
struct FileReport {
    enum class Kind { Error, Note, Skip };
    struct Line {
        Kind kind;
        std::string text;
    };
    Outcome outcome = Outcome::Failed;
    std::vector<Line> lines;
};

struct Tally {
    std::size_t converted = 0, skipped = 0, failed = 0;

    void count(Outcome outcome) {
        switch (outcome) {
            case Outcome::Converted: ++converted; break;
            case Outcome::Skipped: ++skipped; break;
            case Outcome::Failed: ++failed; break;
        }
    }
};

// Everything goes to standard error. On a terminal the progress display
// holds the last line; any other line first wipes it.
class BatchOutput {
public:
    BatchOutput(BatchReport report, std::size_t total)
        : report_(report), total_(total), progress_(report != BatchReport::Quiet && isTerminal(kStandardError)) {}

    void print(const FileReport& file) {
        for (const FileReport::Line& line : file.lines)
            if (shows(line.kind)) print(line.text);
    }
    void summary(const Tally& tally) {
        if (!shows(FileReport::Kind::Note)) return;
        print("velconv: " + std::to_string(tally.converted) + " converted, " + std::to_string(tally.skipped) +
              " skipped, " + std::to_string(tally.failed) + " failed");
    }
    // `done` files of all are finished; the next to be printed is `name`.
    void progress(std::size_t done, const std::string& name) {
        if (!progress_) return;
        std::cerr << "\r\033[K[" << done << '/' << total_ << "] " << name;
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
    bool shows(FileReport::Kind kind) const {
        switch (kind) {
            case FileReport::Kind::Error:
                return true;
            case FileReport::Kind::Note:
                return report_ != BatchReport::Quiet;
            case FileReport::Kind::Skip:
                return report_ == BatchReport::Verbose;
        }
        return true;
    }
    void print(const std::string& line) {
        clearProgress();
        std::cerr << line + '\n';
        std::cerr.flush();
    }

    BatchReport report_;
    std::size_t total_;
    bool progress_;
    bool showing_ = false;
};

// Where a name leads, as fs::weakly_canonical(fs::absolute(name)) tells it,
// each folder resolved once: of the many names in one folder only whether
// each is a link is asked.
class Places {
public:
    fs::path of(const std::string& name) {
        const fs::path path = pathOf(name);
        const fs::path file = path.filename();
        std::error_code unknown;
        if (file.empty() || file == "." || file == ".." || fs::is_symlink(fs::symlink_status(path, unknown)))
            return resolved(path);
        const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        auto [place, added] = folders_.try_emplace(folder);
        if (added) place->second = resolved(folder);
        return place->second / file;
    }

private:
    // A link that leads to no name (a pipe's /dev/fd/N) stays where it is.
    static fs::path resolved(const fs::path& path) {
        std::error_code unresolvable;
        fs::path canonical = fs::weakly_canonical(fs::absolute(path), unresolvable);
        return unresolvable ? fs::absolute(path).lexically_normal() : canonical;
    }

    std::map<fs::path, fs::path> folders_;
};

// File systems differ in whether case matters; names are compared as if it
// never did, so no file system can make two outputs one. The folder part is
// resolved, so ./a and a, or a link to a folder, are the same place.
std::string placeKey(const fs::path& resolved) {
    std::string name = nameOf(resolved.filename());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return nameOf(resolved.parent_path() / pathOf(name));
}

std::string inQuotes(const std::string& name) {
    return "'" + name + "'";
}

struct PlannedFile {
    std::string input;
    fs::path inputPlace;  // where the input's name leads
    InputKind kind = InputKind::Wav;
    std::string output;
    std::optional<std::string> refusal;  // why it is not converted, found before any file is
    std::vector<std::string> refusalNotes;  // what the system said, for the lines after it
    // A stream (a pipe's /dev/fd/N, a FIFO) can be read only once: it is
    // spooled when planning, told by the spool and converted from it.
    std::shared_ptr<Input> stream;
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
    std::set<fs::path> seenInputs;
    Places places;
    for (const std::string& input : inputs) {
        PlannedFile file{input, places.of(input), InputKind::Wav, "", std::nullopt, {}, nullptr};
        // The same file named twice (a.qcp and ./a.qcp) is converted once.
        if (!seenInputs.insert(file.inputPlace).second) continue;
        try {
            if (input == kStdioName) throw std::runtime_error("Standard input cannot be part of a batch");
            const PathKind path = pathKind(input);
            if (path == PathKind::Folder) throw std::runtime_error("It is a folder; name the files in it");
            if (path == PathKind::Stream) {
                file.stream = std::make_shared<Input>(input);
                file.kind = file.stream->kind();
            } else {
                file.kind = sniffInput(input);
            }
            file.output = outputNameFor(input, file.kind, outputDir);
        } catch (const std::exception& e) {
            file.refusal = e.what();
            file.refusalNotes = failureNotes(e);
        }
        files.push_back(std::move(file));
    }

    std::set<std::string> inputKeys;
    std::map<std::string, std::vector<std::size_t>> byOutput;
    for (std::size_t n = 0; n < files.size(); ++n) {
        inputKeys.insert(placeKey(files[n].inputPlace));
        if (!files[n].refusal) byOutput[placeKey(places.of(files[n].output))].push_back(n);
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

void addFailure(FileReport& report, const PlannedFile& file, const std::exception& failure) {
    report.lines.push_back({FileReport::Kind::Error, "ERROR: " + inQuotes(file.input) + ": " + failure.what()});
    for (const std::string& note : failureNotes(failure)) report.lines.push_back({FileReport::Kind::Error, note});
}

// A file converted up to putting its output in place, or its report when
// there is nothing to put in place.
struct Converted {
    FileReport report;
    std::optional<PendingOutput> pending;
};

Converted convertPlanned(const PlannedFile& file, const BatchSettings& settings) {
    using Kind = FileReport::Kind;
    Converted converted;
    FileReport& report = converted.report;
    if (file.refusal) {
        report.lines.push_back({Kind::Error, "ERROR: " + inQuotes(file.input) + ": " + *file.refusal});
        for (const std::string& note : file.refusalNotes) report.lines.push_back({Kind::Error, note});
        return converted;
    }
    try {
        if (!settings.force && nameExists(file.output)) {
            report.outcome = Outcome::Skipped;
            report.lines.push_back(
                {Kind::Skip, "velconv: skipped " + inQuotes(file.output) + ": it exists (-f replaces it)"});
            return converted;
        }
        // The kind found when planning stands; a file that has changed since
        // fails the conversion, which reads it as that kind.
        std::optional<Input> named;
        Input& input = file.stream ? *file.stream : named.emplace(file.input, file.kind);
        // Without -f the output was just found missing, so it is no input.
        if (settings.force) checkNames(file.input, file.output);
        converted.pending = convertPending(input, file.output, settings.conversion);
    } catch (const std::exception& e) {
        addFailure(report, file, e);
    }
    return converted;
}

// A converted file waiting to be put in place: its place among the inputs
// and its output.
struct Waiting {
    std::size_t n;
    PendingOutput pending;
};

// Puts the files in place together; a failing one does not stop the others.
void commitPlanned(const std::vector<PlannedFile>& files, std::vector<Waiting>& group,
                   const std::function<void(std::size_t, FileReport)>& done) {
    std::vector<PendingOutput*> outputs;
    for (Waiting& waiting : group) outputs.push_back(&waiting.pending);
    const std::vector<PendingOutput::Placed> placed = PendingOutput::commitTogether(outputs);
    for (std::size_t k = 0; k < group.size(); ++k) {
        FileReport report;
        try {
            if (placed[k].failure) std::rethrow_exception(placed[k].failure);
            if (!placed[k].warning.empty()) report.lines.push_back({FileReport::Kind::Note, placed[k].warning});
            report.outcome = Outcome::Converted;
        } catch (const std::exception& e) {
            addFailure(report, files[group[k].n], e);
        }
        done(group[k].n, std::move(report));
    }
}

// Converted files are put in place in groups, beside the conversions: each
// group's data goes to disk in one flush where the system allows it, and a
// commit mostly waits for the disk. A group is every file waiting once the
// first of them has waited kGroupWait (so that short files, converted
// faster than a disk flushes, share their flushes), at most this many, which
// bounds the temporary files in flight: at most kMaxJobs converting,
// kGroupLimit waiting and kGroupLimit being put in place, well within the
// library's registry.
constexpr std::size_t kGroupLimit = 64;
constexpr std::chrono::milliseconds kGroupWait{20};

class CommitQueue {
public:
    // Waits while the queue is full.
    void push(Waiting waiting) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return waiting_.size() < kGroupLimit; });
        if (waiting_.empty()) firstWaiting_ = std::chrono::steady_clock::now();
        waiting_.push_back(std::move(waiting));
        changed_.notify_all();
    }
    // Every file waiting, once the group is full, its first has waited
    // kGroupWait or the queue is closed (no file is to come); nothing once
    // it is closed and empty.
    std::vector<Waiting> popAll() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return !waiting_.empty() || closed_; });
        changed_.wait_until(guard, firstWaiting_ + kGroupWait,
                            [&] { return waiting_.size() >= kGroupLimit || closed_; });
        std::vector<Waiting> group = std::move(waiting_);
        waiting_.clear();
        changed_.notify_all();
        return group;
    }
    void close() {
        const std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Waiting> waiting_;
    std::chrono::steady_clock::time_point firstWaiting_;
    bool closed_ = false;
};

// Starts up to `count` threads; fewer than asked for still do all the work.
std::vector<std::thread> startWorkers(std::size_t count, const std::function<void()>& work) {
    std::vector<std::thread> workers;
    try {
        while (workers.size() < count) workers.emplace_back(work);
    } catch (const std::system_error&) {
        if (workers.empty()) throw;
    }
    return workers;
}

// Reports that finish in any order, taken in the order of the inputs. Only
// finished reports not yet taken are held.
class ReportsInOrder {
public:
    explicit ReportsInOrder(std::size_t count) : reports_(count) {}

    void put(std::size_t n, FileReport report) {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            reports_[n] = std::move(report);
            ++done_;
        }
        finished_.notify_one();
    }

    // Waits for report n; meanwhile `showDone` is told how many files are
    // finished, each time that changes.
    FileReport take(std::size_t n, const std::function<void(std::size_t)>& showDone) {
        std::size_t shown = SIZE_MAX;
        std::unique_lock<std::mutex> guard(lock_);
        while (!reports_[n]) {
            if (done_ == shown) {
                finished_.wait(guard);
                continue;
            }
            shown = done_;
            guard.unlock();
            showDone(shown);
            guard.lock();
        }
        FileReport report = std::move(*reports_[n]);
        reports_[n].reset();
        return report;
    }

private:
    std::mutex lock_;
    std::condition_variable finished_;
    std::vector<std::optional<FileReport>> reports_;
    std::size_t done_ = 0;
};

}  // namespace

std::size_t coresAvailable() {
#if defined(__linux__)
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return static_cast<std::size_t>(CPU_COUNT(&allowed));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

int runBatch(const std::vector<std::string>& inputs, const BatchSettings& settings) {
    if (!settings.outputDir.empty()) {
        std::error_code failure;
        fs::create_directories(pathOf(settings.outputDir), failure);
        if (failure || !fs::is_directory(pathOf(settings.outputDir)))
            throw std::runtime_error("Cannot make the output folder " + inQuotes(settings.outputDir) + ": " +
                                     (failure ? failure.message() : "a file has that name"));
    }
    const std::vector<PlannedFile> files = plan(inputs, settings.outputDir);
    BatchOutput out(settings.report, files.size());

    // Fixed pools, so memory stays bounded by the conversions running at
    // once and the group being put in place: converters, each taking the
    // next file, and one committer. One job still converts one file at a time.
    const std::size_t jobs =
        std::clamp<std::size_t>(settings.jobs ? settings.jobs : std::min(coresAvailable(), kMaxJobs), 1, files.size());
    ReportsInOrder reports(files.size());
    CommitQueue commits;
    const auto commit = [&] {
        const auto done = [&](std::size_t n, FileReport report) { reports.put(n, std::move(report)); };
        for (std::vector<Waiting> group; !(group = commits.popAll()).empty();) commitPlanned(files, group, done);
    };
    std::vector<std::thread> committers = startWorkers(1, commit);
    std::atomic<std::size_t> nextFile{0}, handedOver{0};
    const auto convert = [&] {
        for (std::size_t n; (n = nextFile.fetch_add(1)) < files.size();) {
            Converted converted = convertPlanned(files[n], settings);
            if (converted.pending)
                commits.push({n, std::move(*converted.pending)});
            else
                reports.put(n, std::move(converted.report));
            // Nothing more is coming: the last group need not wait for more.
            if (++handedOver == files.size()) commits.close();
        }
    };
    std::vector<std::thread> converters;
    try {
        converters = startWorkers(jobs, convert);
    } catch (...) {
        commits.close();
        for (std::thread& worker : committers) worker.join();
        throw;
    }

    Tally tally;
    for (std::size_t n = 0; n < files.size(); ++n) {
        const FileReport report = reports.take(n, [&](std::size_t done) { out.progress(done, files[n].input); });
        out.print(report);
        tally.count(report.outcome);
    }
    for (std::thread& worker : converters) worker.join();
    commits.close();
    for (std::thread& worker : committers) worker.join();
    out.clearProgress();
    out.summary(tally);
    return tally.failed == 0 ? 0 : kFailureStatus;
}

}  // namespace sonx::velconv
