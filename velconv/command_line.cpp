#include "velconv/command_line.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <sstream>

#include "velconv/batch.h"
#include "velconv/option_parser.h"

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

}  // namespace

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

namespace {

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

}  // namespace

const char* versionText() { return kVersion; }

CommandLine parseCommandLine(int argc, char** argv) {
    refuseValueInsideCluster(argc, argv);
    OptionParser parser(kOptions, std::size(kOptions),
                        kHelp | kVersionBit | kForce | kSalvage | kBatch | kQuiet | kInfo | kJson | kVerbose, kJobs);
    ParseResult options = parser.parse(argc, argv, true, false, true);
    const uint32_t flags = options.accumulatedBits;
    CommandLine line;
    line.help = (flags & kHelp) != 0;
    line.version = (flags & kVersionBit) != 0;
    if (line.help || line.version) return line;

    line.force = (flags & kForce) != 0;
    line.batch = (flags & kBatch) != 0;
    line.quiet = (flags & kQuiet) != 0;
    line.verbose = (flags & kVerbose) != 0;
    line.info = (flags & kInfo) != 0;
    line.json = (flags & kJson) != 0;
    line.conversion.salvage = (flags & kSalvage) != 0;
    for (uint32_t bit; (bit = options.nextOption()) != 0;) {
        if (bit == kMode) line.conversion.mode = parseMode(optionValue(options));
        if (bit == kRate) parseRate(optionValue(options), line.conversion);
        if (bit == kDir && !(line.outputDir = optionValue(options))) throw UsageError{"Output folder expected!"};
        if (bit == kJobs) {
            // -j4 as well as -j 4, as make takes it.
            const char* attached = options.currentValue;
            line.jobs = parseJobs(attached && *attached ? attached : options.nextArgument());
        }
    }
    while (const char* name = options.nextArgument()) line.names.emplace_back(name);
    return line;
}

}  // namespace sonx::velconv
