#include "velconv/conversion.h"

#include <cctype>
#include <memory>
#include <stdexcept>

#include "velconv/file_system.h"
#include "words/words.h"

namespace sonx::velconv {

// The extension is the last "." of the file's own name, never of a folder:
// v1.2/speech becomes v1.2/speech.qcp and ./memo ./memo.qcp.
std::string deriveOutputName(const std::string& input, InputKind kind) {
    const std::size_t nameStart = fileNameStart(input);
    const std::size_t dot = input.rfind('.');
    const std::size_t end = dot != std::string::npos && dot >= nameStart ? dot : input.size();
    return input.substr(0, end) + (kind == InputKind::Wav ? ".qcp" : ".wav");
}

// A name velconv made up must not cost the user a file they already have
// (velconv talk.wav, then velconv talk.qcp, would replace the original).
void checkDerivedOutputIsFree(const std::string& output) {
    if (nameExists(output))
        throw std::runtime_error("Output file '" + output + "' exists -- give an output name or use -f to overwrite");
}

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

// After a failed decode: a QCP input coded with another codec is named as
// such, so the user learns what the file is rather than only what failed.
void explainUndecodableCodec(Input& input, const std::string& errorText) {
    FileFacts facts;
    std::string unreadable;
    if (!describeFile(input.handle(), facts, unreadable) || facts.kind != FILE_KIND_QCP || facts.decodable) return;
    throw ExplainedError(errorText, words::undecodableCodecNote(input.name(), facts));
}

}  // namespace

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

}  // namespace sonx::velconv
