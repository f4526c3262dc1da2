// velconv's command line: its options, the usage text, and the parse of
// argv into what the run is asked to do.
#ifndef SONX_VELCONV_COMMAND_LINE_H
#define SONX_VELCONV_COMMAND_LINE_H

#include <cstddef>
#include <string>
#include <vector>

#include "velconv/conversion.h"

namespace sonx::velconv {

// A command-line mistake: its message (if any) and the usage text are printed.
struct UsageError {
    std::string message;
};

struct CommandLine {
    bool help = false;
    bool version = false;
    bool force = false;
    bool batch = false;
    bool quiet = false;
    bool verbose = false;
    bool info = false;
    bool json = false;
    ConversionSettings conversion;
    const char* outputDir = nullptr;  // -d DIR
    std::size_t jobs = 0;             // -j N; 0: not given
    std::vector<std::string> names;   // the arguments that are no options, in order
};

// Throws UsageError, UnknownOptionEx or MutexOptionEx. With -h or -v only
// those are filled in.
CommandLine parseCommandLine(int argc, char** argv);

// The version as -v prints it.
const char* versionText();

// Everything goes to standard error, a whole line at a time, so that output
// interleaves sensibly with anything else writing there.
void printLine(const std::string& line);

void printUsage();

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_COMMAND_LINE_H
