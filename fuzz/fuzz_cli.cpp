// The command line. The first input byte chooses between two targets:
//
// - Even: the velconv front end itself (runVelconv) with the NUL-separated
//   rest of the input as its arguments. To keep it away from the machine's
//   files, every "/" in an argument becomes "_", so every name is a plain
//   name, and the run happens inside a private temporary folder (entered
//   with chdir for the call, left afterwards) that holds only a small WAV
//   and a small QCP file and copies of both cut in half (for -s), restored
//   before every run, and is emptied after it. Because the working folder changes during a run, pass absolute
//   paths for the corpus and -artifact_prefix (scripts/fuzz.sh does).
//   Checked: the exit status is 0 or -1, every message line is complete,
//   a failure prints something and at most one "ERROR: " line, a success
//   at most one "WARNING: " line (with -d, -b or -i: at most one of each per
//   file named) (line breaks in arguments become spaces,
//   as messages quote arguments as given).
// - Odd: the option parser on its own with an option table built from the
//   input (names, bits, mutex, dependency, flag-only and attached-value
//   masks), parsed twice to check that a parse, thrown or not, leaves the
//   parser reusable and gives the same result again.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "sonx/sonx.h"
#include "velconv/option_parser.h"
#include "velconv/velconv.h"

namespace {

[[noreturn]] void fail(const std::string& detail) {
    std::fprintf(stderr, "fuzz_cli: %s\n", detail.c_str());
    std::abort();
}

// NUL-separated tokens; empty ones in the middle count (an empty argument is
// an argument), a final NUL ends the last one.
std::vector<std::string> splitArguments(const uint8_t* data, size_t size, size_t maxCount) {
    std::vector<std::string> out;
    std::string current;
    for (size_t i = 0; i < size && out.size() < maxCount; ++i) {
        if (data[i] == 0) {
            out.push_back(current);
            current.clear();
        } else if (current.size() < 64) {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty() && out.size() < maxCount) out.push_back(current);
    return out;
}

void put16(std::vector<uint8_t>& b, unsigned v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
void putId(std::vector<uint8_t>& b, const char* id) {
    b.insert(b.end(), id, id + 4);
}

std::vector<uint8_t> fixtureWav() {
    const unsigned samples = 800;
    std::vector<uint8_t> b;
    putId(b, "RIFF");
    put32(b, 36 + samples * 2);
    putId(b, "WAVE");
    putId(b, "fmt ");
    put32(b, 16);
    put16(b, 1);
    put16(b, 1);
    put32(b, 8000);
    put32(b, 16000);
    put16(b, 2);
    put16(b, 16);
    putId(b, "data");
    put32(b, samples * 2);
    for (unsigned n = 0; n < samples; ++n)
        put16(b, static_cast<uint16_t>(static_cast<int16_t>(6000 * std::sin(n * 0.3454))));
    return b;
}

// A QCP file of one packet of each kind, with arbitrary payload bits.
std::vector<uint8_t> fixtureQcp() {
    std::vector<uint8_t> packets;
    uint32_t seed = 12345;
    const uint8_t rates[] = {4, 1, 0, 14, 2, 3, 4, 4};
    const int payload[] = {34, 3, 0, 0, 7, 16, 34, 34};
    for (size_t i = 0; i < sizeof rates; ++i) {
        packets.push_back(rates[i]);
        for (int k = 0; k < payload[i]; ++k)
            packets.push_back(uint8_t((seed = seed * 1103515245 + 12345) >> 16));
    }
    std::vector<uint8_t> fmt(150, 0);
    fmt[0] = 1;
    std::memcpy(&fmt[2], sonx::CODEC_QCELP13K.bytes, 16);
    fmt[18] = 2;
    std::memcpy(&fmt[20], "Qcelp 13K", 9);
    const uint8_t sizes[] = {
        14399 & 0xFF, 14399 >> 8, 35, 0, 160, 0, 8000 & 0xFF, 8000 >> 8, 16, 0, 4, 0, 0, 0, 3, 1, 7, 2,
        16,           3,          34, 4};
    std::memcpy(&fmt[100], sizes, sizeof sizes);

    std::vector<uint8_t> b;
    putId(b, "RIFF");
    put32(b, 0);
    putId(b, "QLCM");
    putId(b, "fmt ");
    put32(b, 150);
    b.insert(b.end(), fmt.begin(), fmt.end());
    putId(b, "vrat");
    put32(b, 8);
    put32(b, 1);
    put32(b, sizeof rates);
    putId(b, "data");
    put32(b, static_cast<uint32_t>(packets.size()));
    b.insert(b.end(), packets.begin(), packets.end());
    if (packets.size() & 1) b.push_back(0);
    const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
    std::memcpy(&b[4], &riff, 4);
    return b;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write fixture " + path);
}

class Sandbox {
public:
    // libFuzzer ends without running destructors, so a folder is named after
    // its process and the folders of processes that are gone are removed.
    Sandbox() {
        const auto temp = std::filesystem::temp_directory_path();
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(temp, ec)) {
            const std::string name = entry.path().filename().string();
            long pid = 0;
            if (std::sscanf(name.c_str(), "fuzz-cli-%ld-", &pid) == 1 && pid > 0 &&
                kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                std::filesystem::remove_all(entry.path(), ec);
        }
        std::string pattern = (temp / ("fuzz-cli-" + std::to_string(getpid()) + "-XXXXXX")).string();
        if (!mkdtemp(pattern.data())) fail("mkdtemp failed");
        path_ = pattern;
        wav_ = fixtureWav();
        qcp_ = fixtureQcp();
    }
    ~Sandbox() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }

    // Runs velconv inside the folder; returns the exit status and what it
    // printed.
    int run(std::vector<std::string> args, std::string& printed) {
        clear();
        writeFile(path_ + "/in.wav", wav_);
        writeFile(path_ + "/in.qcp", qcp_);
        writeFile(path_ + "/cut.wav", std::vector<uint8_t>(wav_.begin(), wav_.begin() + long(wav_.size() / 2)));
        writeFile(path_ + "/cut.qcp", std::vector<uint8_t>(qcp_.begin(), qcp_.begin() + long(qcp_.size() / 2)));
        writeFile(path_ + "/tiny", {'R', 'I', 'F', 'F', 0});

        std::vector<char*> argv;
        std::string program = "velconv";
        argv.push_back(program.data());
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        const int home = open(".", O_RDONLY | O_DIRECTORY);
        if (home < 0 || chdir(path_.c_str()) != 0) fail("cannot enter the sandbox");
        std::ostringstream captured;
        std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
        const int status = sonx::velconv::runVelconv(static_cast<int>(args.size() + 1), argv.data());
        std::cerr.rdbuf(saved);
        if (fchdir(home) != 0) fail("cannot leave the sandbox");
        close(home);
        clear();
        printed = captured.str();
        return status;
    }

private:
    void clear() {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(path_, ec))
            std::filesystem::remove_all(entry.path(), ec);
    }

    std::string path_;
    std::vector<uint8_t> wav_, qcp_;
};

// Whether the command line may ask for a run over many files: an option
// cluster holding d, b or i, or their long names, shortened or not (a value that looks so only
// makes the check looser).
bool manyFiles(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") return false;
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            // Long names may be shortened, and the parser takes a long name
            // with text run on as that name.
            const std::string name = arg.substr(2, arg.find('=') == std::string::npos ? std::string::npos : arg.find('=') - 2);
            for (const char* full : {"dir", "batch", "info"})
                if (std::string(full).rfind(name, 0) == 0 || name.rfind(full, 0) == 0) return true;
        }
        if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-' && arg.find_first_of("dbi") != std::string::npos)
            return true;
    }
    return false;
}

void fuzzFrontEnd(const uint8_t* data, size_t size) {
    static Sandbox sandbox;
    std::vector<std::string> args = splitArguments(data, size, 12);
    // Line breaks go too: messages quote arguments as given, so an argument
    // holding "\nERROR: " would look like a second message line.
    for (auto& a : args)
        for (char& c : a)
            if (c == '/')
                c = '_';
            else if (c == '\n' || c == '\r')
                c = ' ';
    // "-" names standard input or output, which belong to the fuzzer.
    for (auto& a : args)
        if (a == "-") a = "_";
    std::string printed;
    const int status = sandbox.run(args, printed);
    if (status != 0 && status != -1) fail("exit status " + std::to_string(status));
    if (!printed.empty() && printed.back() != '\n') fail("unfinished message line");
    if (status == -1 && printed.empty()) fail("failure without any message");
    size_t errors = 0, warnings = 0;
    for (size_t pos = 0; pos < printed.size();) {
        if (printed.compare(pos, 7, "ERROR: ") == 0) ++errors;
        if (printed.compare(pos, 9, "WARNING: ") == 0) ++warnings;
        const size_t nl = printed.find('\n', pos);
        pos = nl == std::string::npos ? printed.size() : nl + 1;
    }
    if (errors > 0 && status != -1) fail("ERROR line with exit status 0");
    // -d, -b and -i take many files and report each: one line per file.
    if (manyFiles(args)) {
        if (errors > args.size() || warnings > args.size()) fail("more message lines than files:\n" + printed);
        return;
    }
    if (errors > 1) fail("more than one ERROR line:\n" + printed);
    if (warnings > (status == 0 ? 1u : 0u)) fail("WARNING lines on failure or more than one:\n" + printed);
}

struct Outcome {
    std::string exception;  // type name and text, or empty
    uint32_t bits = 0;
    std::vector<std::string> groups;  // bit and plain arguments, per option taken
};

Outcome parseOnce(sonx::velconv::OptionParser& parser, const std::vector<std::string>& args, bool wholeToken,
                  bool ignoreUnknown) {
    std::vector<const char*> argv{"prog"};
    for (const auto& a : args) argv.push_back(a.c_str());
    Outcome out;
    try {
        sonx::velconv::ParseResult r =
            parser.parse(static_cast<int>(argv.size()), argv.data(), wholeToken, ignoreUnknown);
        out.bits = r.accumulatedBits;
        // Every option taken stands for at least one character of the command line.
        size_t characters = 0;
        for (const auto& a : args) characters += a.size();
        for (size_t taken = 0;; ++taken) {
            if (taken > characters) fail("nextOption does not end");
            std::string group;
            while (const char* a = r.nextArgument()) group += std::string(a) + '\x01';
            out.groups.push_back(group);
            const uint32_t bit = r.nextOption();
            if (bit == 0) break;
            if (!(out.bits & bit)) fail("option taken that is not among the accumulated bits");
            out.groups.push_back(std::to_string(bit) + '=' + (r.currentValue ? r.currentValue : "(null)"));
        }
        if (r.nextOption() != 0 || r.nextArgument() != nullptr) fail("parse result not exhausted");
    } catch (const std::runtime_error& e) {
        out.exception = std::string(typeid(e).name()) + ':' + e.what();
    }
    return out;
}

void fuzzParser(const uint8_t* data, size_t size) {
    if (size < 4) return;
    const bool wholeToken = data[0] & 2, ignoreUnknown = data[0] & 4;
    const size_t rows = 1 + data[1] % 6;
    const uint32_t flagOnly = data[2], attached = data[3];
    size_t pos = 4;
    if (size < pos + rows * 4) return;
    const uint8_t* rowBytes = data + pos;
    pos += rows * 4;
    std::vector<std::string> tokens = splitArguments(data + pos, size - pos, 2 * rows + 12);
    if (tokens.size() < 2 * rows) return;

    std::vector<sonx::velconv::OptionSpec> table(rows);
    for (size_t r = 0; r < rows; ++r) {
        const uint8_t* b = rowBytes + 4 * r;
        // Bits 1..128 so that masks taken from single bytes meet them.
        table[r].bit = (b[0] & 8) ? 0u : 1u << (b[0] & 7);
        table[r].mutexMask = b[1];
        table[r].dependMask = b[2];
        table[r].shortName = (b[3] & 1) ? tokens[2 * r].c_str() : nullptr;
        table[r].longName = (b[3] & 2) ? tokens[2 * r + 1].c_str() : nullptr;
        table[r].reserved = nullptr;
    }
    const std::vector<std::string> args(tokens.begin() + static_cast<long>(2 * rows), tokens.end());

    try {
        sonx::velconv::OptionParser parser(table.data(), rows, flagOnly, attached);
        const Outcome first = parseOnce(parser, args, wholeToken, ignoreUnknown);
        const Outcome second = parseOnce(parser, args, wholeToken, ignoreUnknown);
        if (first.exception != second.exception || first.bits != second.bits || first.groups != second.groups)
            fail("the same command line parsed twice gave different results");
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        if (text != "invalid option/mask specified" &&
            text != "option cannot share the same mutex and dependency option(s)" &&
            text != "atleast one of the options must be valid")
            fail("unexpected table error: " + text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 1024) return 0;
    if (data[0] & 1)
        fuzzParser(data, size);
    else
        fuzzFrontEnd(data + 1, size - 1);
    return 0;
}
