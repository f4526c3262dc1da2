#include "velconv/velconv.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "sonx/sonx.h"
#include "velconv/batch.h"
#include "velconv/conversion.h"
#include "velconv/file_system.h"
#include "velconv/file_targets.h"
#include "velconv/info.h"
#include "velconv/option_parser.h"
#include "words/words.h"

namespace sonx::velconv {

namespace {

constexpr const char* kVersion = SONX_VERSION_STRING;

constexpr uint32_t kHelp = 1;
constexpr uint32_t kVersionBit = 2;
constexpr uint32_t kMode = 8;
constexpr uint32_t kRate = 128;
constexpr uint32_t kForce = 32;
constexpr uint32_t kSalvage = 256;
constexpr uint32_t kDir = 512;
constexpr uint32_t kBatch = 1024;
constexpr uint32_t kQuiet = 2048;
constexpr uint32_t kInfo = 4096;
constexpr uint32_t kJson = 8192;
constexpr uint32_t kJobs = 16384;
constexpr uint32_t kVerbose = 32768;

constexpr OptionSpec kOptions[] = {
    {"h", kHelp, 0, "help", nullptr, 0},
    {"v", kVersionBit, 0, "version", nullptr, 0},
    {"f", kForce, 0, "force", nullptr, 0},
    {"m", kMode, 0, "mode", nullptr, 0},
    {"r", kRate, 0, "rate", nullptr, 0},
    {"s", kSalvage, 0, "salvage", nullptr, 0},
    {"d", kDir, 0, "dir", nullptr, 0},
    {"b", kBatch, 0, "batch", nullptr, 0},
    {"q", kQuiet, 0, "quiet", nullptr, 0},
    {"i", kInfo, 0, "info", nullptr, 0},
    {nullptr, kJson, 0, "json", nullptr, 0},
    {"j", kJobs, 0, nullptr, nullptr, 0},
    {nullptr, kVerbose, 0, "verbose", nullptr, 0},
};

// Everything goes to standard error, a whole line at a time, so that output
// interleaves sensibly with anything else writing there.
void printLine(const std::string& line) {
    std::cerr << line + '\n';
    std::cerr.flush();
}

void printUsage() {
    static const char* const kLines[] = {
        "",
        nullptr,  // the title line, which carries the version
        "Veltrane qcp file, and vice-versa.",
        "",
        "This program is provided as is, without warranty of any kind.",
        "",
        "Usage : velconv [-h] [-v] [-r <rateset>]",
        "               infile [outfile]",
        "",
        "       -r      : Select rate set:",
        "                   vfr = variable rate, full rate max (default)",
        "                   vhr = variable rate, half rate max",
        "                   ffr = fixed full rate",
        "                   fhr = fixed half rate",
        "       -r HZ   : Decode to HZ samples per second, 8000 (default) to 48000",
        "       -s      : Salvage a damaged file: convert what it still holds",
        "       -h      : Display this help (usage) information",
        "       -v      : Display program version information",
        "       -f      : Overwrite an existing file under a derived output name",
        "       -d DIR  : Convert every file named, each into DIR (made if missing)",
        "       -b      : Convert every file named, each beside itself",
        "       -q      : With -d or -b: print only errors",
        "       -j N    : With -d or -b: convert N files at once (default: one per core)",
        "       --verbose : With -d or -b: also name each file skipped",
        "       -i      : Describe every file named instead of converting it",
        "       --json  : With -i: one JSON object per file, one per line",
        "       --      : End of options (for file names that begin with -)",
        "",
        "       infile  : wav or qcp file to convert",
        "       outfile : qcp or wav file",
        "       -       : as infile: standard input; as outfile: standard output",
        "",
        "",
        "For documentation and updates see the velconv project page,",
        "listed in the README.md file that comes with the sources.",
        "",
    };
    for (const char* line : kLines)
        printLine(line ? line
                       : std::string("velconv v") + kVersion +
                             ": converts PCM (mono, 8 kHz, 16-bit) wav file to");
}

// A command-line mistake: its message (if any) and the usage text are printed.
struct UsageError {
    std::string message;
};

const char* optionValue(ParseResult& options) {
    return options.currentValue ? options.currentValue : options.nextArgument();
}

uint32_t parseMode(const char* value) {
    if (!value) throw UsageError{"Mode number expected!"};
    std::istringstream in(value);
    unsigned long mode = 0;
    if (!(in >> mode) || mode > 7) throw UsageError{std::string("Bad mode number '") + value + "' given!"};
    return static_cast<uint32_t>(mode);
}

std::size_t parseJobs(const char* value) {
    if (!value) throw UsageError{"Job count expected!"};
    std::istringstream in(value);
    unsigned long jobs = 0;
    if (!(in >> jobs) || !in.eof() || jobs < 1 || jobs > kMaxJobs)
        throw UsageError{std::string("Bad job count '") + value + "' given (1 to " + std::to_string(kMaxJobs) +
                         ")!"};
    return jobs;
}

Guid parseRateSet(const char* value) {
    Guid rateSet;
    if (!rateSetByName(value, rateSet)) throw UsageError{"Unrecognized rate set given!"};
    return rateSet;
}

// -r takes a rate set for an encode or, in digits, a decode's sample rate.
void parseRate(const char* value, ConversionSettings& settings) {
    if (!value) throw UsageError{"Rate set identifier expected!"};
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (*value && std::all_of(value, value + std::strlen(value), isDigit)) {
        // Too many digits for any rate: the library refuses the saturated value.
        settings.decodeRate =
            static_cast<uint32_t>(std::min<unsigned long long>(std::strtoull(value, nullptr, 10), UINT32_MAX));
        return;
    }
    settings.rateSet = parseRateSet(value);
}

}  // namespace

namespace {

using words::kNotWavOrQcp;

// The direction follows from the file's kind; an input of another kind, or
// one whose first bytes cannot be read, is refused in velconv's words.
InputKind inputKindOf(const FileHandle& file) {
    FileKindInfo kind;
    std::string unreadable;
    if (const int32_t status = fileKind(file, kind, unreadable); status != SONX_OK)
        throw std::runtime_error(words::unreadableInputText(status, unreadable));
    if (kind.kind == FILE_KIND_QCP) return InputKind::Qcp;
    if (kind.kind == FILE_KIND_WAV || kind.kind == FILE_KIND_RF64) return InputKind::Wav;
    throw std::runtime_error(words::notAudioText(kind));
}

}  // namespace

namespace {

// A descriptor for reading the named file, or -1 with the system's error
// number in `error`.
int openForReading(const std::string& name, int& error) {
    int descriptor = -1;
    if (sonx_open_descriptor(name.c_str(), &descriptor) != SONX_OK) error = lastSystemFailure().systemError;
    return descriptor;
}

}  // namespace

InputKind sniffInput(const std::string& name) {
    checkIsFileName(name);
    if (pathKind(name) == PathKind::Folder)
        throw ExplainedError(kNotWavOrQcp, "velconv: '" + name + "' is a folder");
    int error = 0;
    const int descriptor = openForReading(name, error);
    if (descriptor < 0)
        throw ExplainedError(kNotWavOrQcp, "velconv: cannot open '" + name + "': " + systemErrorText(error));
    sonx_close_descriptor(descriptor);
    return inputKindOf(FileHandle::named(name.c_str()));
}

namespace {

// A FIFO or socket (a process substitution's /dev/fd/63) can be read only
// once, as standard input can.
bool isStreamName(const std::string& name) { return pathKind(name) == PathKind::Stream; }

}  // namespace

Input::Input(const std::string& name) : name_(name) {
    const bool standardInput = name == kStdioName;
    if (!standardInput && !isStreamName(name)) {
        kind_ = sniffInput(name);
        return;
    }
    if (standardInput && standardDescriptorWasClosed(kStandardInput))
        throw SystemCallError(SONX_ERR_READ, std::string("Error reading standard input: ") + std::strerror(EBADF),
                              EBADF);
    int error = 0;
    const int descriptor = standardInput ? kStandardInput : openForReading(name, error);
    if (descriptor < 0)
        throw ExplainedError(kNotWavOrQcp, "velconv: cannot open '" + name + "': " + systemErrorText(error));
    const std::string what = standardInput ? "standard input" : "'" + name + "'";
    spool_ = std::make_unique<SpoolFile>();
    SystemFailure failure;
    int32_t status = spool_->create(failure);
    if (status == SONX_OK) status = spool_->fill(descriptor, what.c_str(), failure);
    if (!standardInput) sonx_close_descriptor(descriptor);
    if (status == SONX_ERR_TOO_LARGE)
        throw std::runtime_error("More than 2 GiB on " + what + ", more than velconv can take");
    if (status != SONX_OK) throwFailure(failure);
    cutShort_ = settleStreamingWavLengths(*spool_);
    kind_ = inputKindOf(spool_->handle());
}

// The extension is the last "." of the file's own name, never of a folder:
// v1.2/speech becomes v1.2/speech.qcp and ./memo ./memo.qcp.
std::string deriveOutputName(const std::string& input, InputKind kind) {
    const std::size_t nameStart = fileNameStart(input);
    const std::size_t dot = input.rfind('.');
    const std::size_t end = dot != std::string::npos && dot >= nameStart ? dot : input.size();
    return input.substr(0, end) + (kind == InputKind::Wav ? ".qcp" : ".wav");
}

namespace {

// A name velconv made up must not cost the user a file they already have
// (velconv talk.wav, then velconv talk.qcp, would replace the original).
void checkDerivedOutputIsFree(const std::string& output) {
    if (nameExists(output))
        throw std::runtime_error("Output file '" + output + "' exists -- give an output name or use -f to overwrite");
}

}  // namespace

// The output replaces whatever has its name, so an output that is the input
// under another spelling (./in.wav, a hard or symbolic link) would replace
// the input with its own conversion.
void checkNames(const std::string& input, const std::string& output) {
    if (input == output || sameFile(input, output))
        throw std::runtime_error(
            "Input and output file names match -- please choose a different name for the output file and try "
            "again");
}

// Standard input read from the output file, or standard output written into
// the input file, would replace the input with its own conversion.
void checkStreamsAreNotTheOtherFile(const std::string& input, const std::string& output) {
    if ((input == kStdioName && output != kStdioName && descriptorIsFile(kStandardInput, output)) ||
        (output == kStdioName && input != kStdioName && descriptorIsFile(kStandardOutput, input)))
        throw std::runtime_error(
            "Input and output file names match -- please choose a different name for the output file and try "
            "again");
}

namespace {

// After a conversion: a failure caused by a damaged length becomes
// CutShortError, so its message is followed by the hint to use -s; a
// salvaged input gives the warning that says how much of it was there (empty
// when there is nothing to warn of), printed once the output is in place.
std::string reportDamage(ISonxUnknown* converter, const FileHandle& input, const std::string& inputName,
                         InputKind kind, bool failed, const std::string& errorText) {
    SalvageReport report;
    if (Ref<ISonxSalvage> salvage(queryInterface<ISonxSalvage>(converter)); salvage.get())
        salvage->salvageReport(&report);
    if (failed) {
        if (report.lengthDamaged && !report.salvaged) throw CutShortError(errorText, directionOf(kind));
        throw std::runtime_error(errorText);
    }
    if (!report.salvaged) return "";
    FileFacts facts;
    std::string unreadable;
    const double blockSeconds = describeFile(input, facts, unreadable) ? words::inputBlockSeconds(facts) : 0;
    return words::salvageWarning(inputName, report, directionOf(kind), blockSeconds);
}

// Returns the salvage warning, if any.
std::string convertFile(const FileHandle& input, const FileHandle& output, const std::string& inputName,
                        InputKind kind, const ConversionSettings& settings, bool salvage) {
    Ref<ISonxRequest> converter(createInstance<ISonxRequest>(CLSID_SonxFile));
    if (!converter.get()) throw std::runtime_error("Unable to allocate ISonxConvertFile instance!");
    // Declared second so it is released first.
    Ref<ISonxError> error(queryInterface<ISonxError>(converter.get()));
    if (!error.get()) throw std::runtime_error("Unable to get ISonxError interface from SonxFile object!");

    const uint32_t decodeRate = settings.decodeRate ? settings.decodeRate : DECODE_RATE_DEFAULT;
    ConversionRequest request =
        kind == InputKind::Wav ? wavToQcpRequest(settings.rateSet) : qcpToWavRequest(decodeRate);
    // -m is the decoder's option word.
    if (kind == InputKind::Qcp) request.input.option = static_cast<int32_t>(settings.mode);
    request.salvage = salvage ? SALVAGE_READ : SALVAGE_REFUSE;
    const bool failed = !converter->convertRequest(&input, &output, &request, nullptr, 0) || error->hasError();
    return reportDamage(converter.get(), input, inputName, kind, failed, error->errorText());
}

}  // namespace

std::vector<std::string> failureNotes(const std::exception& failure) {
    if (const auto* system = dynamic_cast<const SystemCallError*>(&failure); system && !system->place.empty())
        return {"velconv: cannot write a temporary file in '" + system->place + "' (TMPDIR names another): " +
                systemErrorText(system->error)};
    if (const auto* cut = dynamic_cast<const CutShortError*>(&failure)) return {words::cutShortHint(cut->direction)};
    if (const auto* explained = dynamic_cast<const ExplainedError*>(&failure)) return {explained->note};
    return {};
}

namespace {

// After a failed decode: a QCP input coded with another codec is named as
// such, so the user learns what the file is rather than only what failed.
void explainUndecodableCodec(Input& input, const std::string& errorText) {
    FileFacts facts;
    std::string unreadable;
    if (!describeFile(input.handle(), facts, unreadable) || facts.kind != FILE_KIND_QCP || facts.decodable) return;
    throw ExplainedError(errorText, words::undecodableCodecNote(input.name(), facts));
}

// A failed write names the output and the reason, unless it happened in
// the temporary folder behind a stream, which names itself.
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

}  // namespace

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

PendingOutput convertPending(Input& input, const std::string& outputName, const ConversionSettings& settings) {
    return explainingWriteFailures(outputName, [&] {
        if (input.kind() == InputKind::Wav && settings.decodeRate)
            throw std::runtime_error("A sample rate (-r " + std::to_string(settings.decodeRate) +
                                     ") is for decoding a qcp file: a qcp file is always 8000 Hz");
        if (outputName != kStdioName) checkIsFileName(outputName);
        // The output is dated like its input, as for memos the file date is
        // the recording date.
        SafeOutputFile output = openOutput(outputName, input.name(), input.isStream());
        std::string warning;
        // A cut stream cannot be asked for again: what arrived is converted.
        const bool salvage = settings.salvage || input.isCutShortStream();
        try {
            warning = convertFile(input.handle(), output.handle(), input.name(), input.kind(), settings, salvage);
        } catch (const CutShortError&) {
            throw;
        } catch (const std::runtime_error& e) {
            SystemFailure failure;
            if (output.writeFailure(failure) != SONX_OK) throwFailure(failure);
            if (input.kind() == InputKind::Qcp) explainUndecodableCodec(input, e.what());
            throw;
        }
        std::string tagFailure;
        if (copyTags(input.handle(), output.handle(), tagFailure) != SONX_OK) throw std::runtime_error(tagFailure);
        return PendingOutput(std::move(output), outputName, warning);
    });
}

std::string convertOne(Input& input, const std::string& outputName, const ConversionSettings& settings) {
    return convertPending(input, outputName, settings).commit();
}

namespace {

// Two names where the second is an existing file of the input's own kind,
// or one whose name says so (and not the output's), are far more likely two
// inputs than an input and its output: nothing is replaced unless -f says so.
void checkGivenOutputIsNoInput(const Input& input, const std::string& outputName) {
    if (outputName == kStdioName || pathKind(outputName) != PathKind::File) return;
    const char* inputForm = input.kind() == InputKind::Wav ? "wav" : "qcp";
    const char* outputForm = input.kind() == InputKind::Wav ? "qcp" : "wav";
    const std::size_t dot = outputName.rfind('.');
    std::string extension = dot == std::string::npos ? "" : outputName.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == outputForm) return;
    std::string reason;
    try {
        if (sniffInput(outputName) == input.kind()) reason = std::string("is a ") + inputForm + " file";
    } catch (const std::runtime_error&) {
        // Not a wav or qcp file: only its name can tell.
    }
    if (reason.empty() && extension == inputForm) reason = std::string("has a .") + inputForm + " name";
    if (reason.empty()) return;
    throw std::runtime_error("Output file '" + outputName + "' exists and " + reason + ", but would be replaced by " +
                             outputForm + " data -- to convert both files use -d DIR (or -b), to replace it use -f");
}

std::vector<std::string> remainingArguments(ParseResult& options) {
    std::vector<std::string> names;
    while (const char* name = options.nextArgument()) names.emplace_back(name);
    return names;
}

// A cluster such as -rvhr reads as -r -v -h -r, so the run would print the
// usage and end with success without converting. A value-taking option with
// more known option letters behind it in one argument is refused instead;
// clusters that already fail (-m3) keep their message.
void refuseValueInsideCluster(int argc, char** argv) {
    const auto isOption = [](char letter) {
        for (const OptionSpec& row : kOptions)
            if (row.shortName && row.shortName[0] == letter && row.shortName[1] == '\0') return true;
        return false;
    };
    const uint32_t takesValue = kMode | kRate | kDir | kJobs;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--") return;
        if (argument.size() < 3 || argument[0] != '-' || argument[1] == '-') continue;
        for (std::size_t at = 1; at < argument.size() && isOption(argument[at]); ++at) {
            const OptionSpec* row = nullptr;
            for (const OptionSpec& candidate : kOptions)
                if (candidate.shortName && candidate.shortName[0] == argument[at]) row = &candidate;
            if (!(row->bit & takesValue) || at + 1 == argument.size() || argument[at + 1] == '=') continue;
            const std::string rest = argument.substr(at + 1);
            if (!std::all_of(rest.begin(), rest.end(), isOption)) break;
            const std::string option = std::string("-") + argument[at];
            throw UsageError{"ERROR: Option " + option + " in '" + argument + "' takes the next argument as its value; write " +
                             option + " " + rest + " (or " + option + "=" + rest + ")"};
        }
    }
}

int run(int argc, char** argv) {
    refuseValueInsideCluster(argc, argv);
    OptionParser parser(kOptions, std::size(kOptions),
                        kHelp | kVersionBit | kForce | kSalvage | kBatch | kQuiet | kInfo | kJson | kVerbose, kJobs);
    ParseResult options = parser.parse(argc, argv, true, false, true);
    const uint32_t flags = options.accumulatedBits;

    if (flags & kHelp) {
        printUsage();
        return 0;
    }
    if (flags & kVersionBit) {
        printLine(kVersion);
        return 0;
    }

    ConversionSettings settings;
    settings.salvage = (flags & kSalvage) != 0;
    const char* outputDir = nullptr;
    std::size_t jobs = 0;
    for (uint32_t bit; (bit = options.nextOption()) != 0;) {
        if (bit == kMode) settings.mode = parseMode(optionValue(options));
        if (bit == kRate) parseRate(optionValue(options), settings);
        if (bit == kDir && !(outputDir = optionValue(options))) throw UsageError{"Output folder expected!"};
        if (bit == kJobs) {
            // -j4 as well as -j 4, as make takes it.
            const char* attached = options.currentValue;
            jobs = parseJobs(attached && *attached ? attached : options.nextArgument());
        }
    }

    if (flags & kInfo)
        return runInfo(remainingArguments(options), flags & kJson ? InfoFormat::Json : InfoFormat::Text);
    if (outputDir || (flags & kBatch)) {
        BatchSettings batch;
        batch.conversion = settings;
        batch.outputDir = outputDir ? outputDir : "";
        batch.force = (flags & kForce) != 0;
        batch.report = flags & kQuiet     ? BatchReport::Quiet
                       : flags & kVerbose ? BatchReport::Verbose
                                          : BatchReport::Normal;
        batch.jobs = jobs;
        const std::vector<std::string> inputs = remainingArguments(options);
        if (inputs.empty()) throw UsageError{};
        return runBatch(inputs, batch);
    }

    const char* inputArg = options.nextArgument();
    if (!inputArg) throw UsageError{};
    const char* outputArg = options.nextArgument();
    // A shell glob (velconv *.wav) must not turn the second file into the output.
    if (const char* extra = options.nextArgument())
        throw std::runtime_error(std::string("Unexpected argument '") + extra +
                                 "' -- give one input name and at most one output name");
    const std::string inputName = inputArg;
    if (inputName == kStdioName && !outputArg)
        throw std::runtime_error(
            "An output name is needed when the input is standard input (- writes standard output)");

    Input input(inputName);
    const std::string outputName = outputArg ? outputArg : deriveOutputName(inputName, input.kind());
    checkStreamsAreNotTheOtherFile(inputName, outputName);
    if (!input.isStream() && outputName != kStdioName) checkNames(inputName, outputName);
    if (!(flags & kForce)) {
        if (outputArg)
            checkGivenOutputIsNoInput(input, outputName);
        else
            checkDerivedOutputIsFree(outputName);
    }

    const std::string warning = convertOne(input, outputName, settings);
    if (!warning.empty()) printLine(warning);
    return 0;
}

}  // namespace

int runVelconv(int argc, char** argv) {
    reserveStandardDescriptors();
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        if (!e.message.empty()) printLine(e.message);
    } catch (const UnknownOptionEx& e) {
        printLine(std::string("ERROR: Unknown command line option '") + e.what() + "'");
    } catch (const MutexOptionEx& e) {
        printLine(std::string("ERROR: Command line option '") + e.what() +
                  "' conflicts with other options selected");
    } catch (const std::exception& e) {
        printLine(std::string("ERROR: ") + e.what());
        for (const std::string& note : failureNotes(e)) printLine(note);
        return kFailureStatus;
    }
    printUsage();
    return kFailureStatus;
}

}  // namespace sonx::velconv
