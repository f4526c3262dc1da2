#include "velconv/velconv.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "velconv/batch.h"
#include "velconv/command_line.h"
#include "velconv/conversion.h"
#include "velconv/file_system.h"
#include "velconv/info.h"
#include "velconv/option_parser.h"

namespace sonx::velconv {

namespace {

int run(int argc, char** argv) {
    const CommandLine line = parseCommandLine(argc, argv);
    if (line.help) {
        printUsage();
        return 0;
    }
    if (line.version) {
        printLine(versionText());
        return 0;
    }

    if (line.info) return runInfo(line.names, line.json ? InfoFormat::Json : InfoFormat::Text);
    if (line.outputDir || line.batch) {
        BatchSettings batch;
        batch.conversion = line.conversion;
        batch.outputDir = line.outputDir ? line.outputDir : "";
        batch.force = line.force;
        batch.report = line.quiet ? BatchReport::Quiet : line.verbose ? BatchReport::Verbose : BatchReport::Normal;
        batch.jobs = line.jobs;
        if (line.names.empty()) throw UsageError{};
        return runBatch(line.names, batch);
    }

    if (line.names.empty()) throw UsageError{};
    // A shell glob (velconv *.wav) must not turn the second file into the output.
    if (line.names.size() > 2)
        throw std::runtime_error("Unexpected argument '" + line.names[2] +
                                 "' -- give one input name and at most one output name");
    const std::string& inputName = line.names[0];
    const bool outputGiven = line.names.size() == 2;
    if (inputName == kStdioName && !outputGiven)
        throw std::runtime_error(
            "An output name is needed when the input is standard input (- writes standard output)");

    Input input(inputName);
    const std::string outputName = outputGiven ? line.names[1] : deriveOutputName(inputName, input.kind());
    checkStreamsAreNotTheOtherFile(inputName, outputName);
    if (!input.isStream() && outputName != kStdioName) checkNames(inputName, outputName);
    if (!line.force) {
        if (outputGiven)
            checkGivenOutputIsNoInput(input, outputName);
        else
            checkDerivedOutputIsFree(outputName);
    }

    const std::string warning = convertOne(input, outputName, line.conversion);
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
