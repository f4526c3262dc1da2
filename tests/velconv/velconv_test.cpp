// The velconv program run as a child process: its messages, usage and exit
// statuses. These runs stop before or at the start of a conversion, so they
// do not depend on the codecs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "convert/convert_test_util.h"
#include "support/process.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

constexpr int kFailure = 255;  // -1 as the shell sees it
const std::string kNameMatchText =
    "Input and output file names match -- please choose a different name for the output file and try again";
const std::string kNameMatch = "ERROR: " + kNameMatchText + "\n";

// The usage text line by line; nullopt marks a line whose wording is free
// (it must still be present and non-empty).
const std::vector<std::optional<std::string>> kUsage = {
    "",
    "velconv v3.5.0: converts PCM (mono, 8 kHz, 16-bit) wav file to",
    "Veltrane qcp file, and vice-versa.",
    "",
    std::nullopt,
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
    std::nullopt,
    std::nullopt,
    "",
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start != text.size()) lines.push_back(text.substr(start));  // unterminated tail
    return lines;
}

// Checks that `text` is exactly the usage text.
void expectUsage(const std::string& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(lines.size(), kUsage.size()) << text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (kUsage[i])
            EXPECT_EQ(lines[i], *kUsage[i]) << "usage line " << i + 1;
        else
            EXPECT_FALSE(lines[i].empty()) << "usage line " << i + 1;
    }
}

RunResult run(const std::vector<std::string>& args, const std::string& workDir = "") {
    RunResult r = runVelconv(args, workDir);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.standardOutput, "") << "nothing may go to standard output";
    return r;
}

// A failure with `message` (a whole line, or nothing) followed by the usage text.
void expectUsageFailure(const std::vector<std::string>& args, const std::string& message) {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunResult r = run(args);
    EXPECT_EQ(r.exitStatus, kFailure);
    if (!message.empty()) {
        ASSERT_EQ(r.errorOutput.substr(0, message.size() + 1), message + "\n");
        r.errorOutput.erase(0, message.size() + 1);
    }
    expectUsage(r.errorOutput);
}

// A failure with one "ERROR: " line and no usage.
void expectError(const std::vector<std::string>& args, const std::string& text,
                 const std::string& workDir = "") {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunResult r = run(args, workDir);
    EXPECT_EQ(r.exitStatus, kFailure);
    // One ERROR line, and at most one line after it that names the file and the reason.
    const std::string first = "ERROR: " + text + "\n";
    EXPECT_EQ(r.errorOutput.substr(0, first.size()), first);
    const std::string rest = r.errorOutput.substr(std::min(first.size(), r.errorOutput.size()));
    EXPECT_TRUE(rest.empty() || (rest.rfind("velconv: ", 0) == 0 && rest.find('\n') == rest.size() - 1)) << rest;
}

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The smallest inputs that pass sniffing.
const std::vector<uint8_t> kWavHeader = bytes(std::string("RIFF\4\0\0\0WAVE", 12));
const std::vector<uint8_t> kQcpHeader = bytes(std::string("RIFF\4\0\0\0QLCM", 12));

TEST(Velconv, HelpVersionAndNoArguments) {
    RunResult r = run({});
    EXPECT_EQ(r.exitStatus, kFailure);
    expectUsage(r.errorOutput);

    for (auto args : {std::vector<std::string>{"-h"}, {"--help"}, {"-h", "-v"}, {"-vh"}, {"--vers", "--he"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        r = run(args);
        EXPECT_EQ(r.exitStatus, 0);
        expectUsage(r.errorOutput);
    }
    for (auto args : {std::vector<std::string>{"-v"}, {"--version"}, {"-v", "missing.wav", "-r", "bogus"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        r = run(args);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.errorOutput, "3.5.0\n");
    }
}

TEST(Velconv, HelpIsHonouredOnlyAfterACleanParse) {
    expectUsageFailure({"-h", "-x"}, "ERROR: Unknown command line option 'x'");
    expectUsageFailure({"-x", "-h"}, "ERROR: Unknown command line option 'x'");
}

TEST(Velconv, UnknownOptions) {
    expectUsageFailure({"--foo=bar", "in.wav"}, "ERROR: Unknown command line option 'foo=bar'");
    expectUsageFailure({"-m3", "in.wav"}, "ERROR: Unknown command line option '3'");
    expectUsageFailure({"-m", "-1", "in.wav"}, "ERROR: Unknown command line option '1'");
    expectUsageFailure({"---", "in.wav"}, "ERROR: Unknown command line option '-'");
    // A value-taking option inside a cluster of known letters would read as
    // -r -v -h -r and end with success without converting.
    expectUsageFailure({"-rvhr", "in.wav", "out.qcp"},
                       "ERROR: Option -r in '-rvhr' takes the next argument as its value; write -r vhr (or -r=vhr)");
    expectUsageFailure({"-fmhv", "in.qcp"},
                       "ERROR: Option -m in '-fmhv' takes the next argument as its value; write -m hv (or -m=hv)");
}

TEST(Velconv, ModeValues) {
    expectUsageFailure({"-m"}, "Mode number expected!");
    expectUsageFailure({"in.wav", "-m"}, "Mode number expected!");
    expectUsageFailure({"-m", "8", "in.wav"}, "Bad mode number '8' given!");
    expectUsageFailure({"-m", "abc", "in.wav"}, "Bad mode number 'abc' given!");
    expectUsageFailure({"-m=", "in.wav"}, "Bad mode number '' given!");
    expectUsageFailure({"--mode=-1", "in.wav"}, "Bad mode number '-1' given!");
    expectUsageFailure({"-m=99999999999999999999", "in.wav"},
                       "Bad mode number '99999999999999999999' given!");

    // Accepted modes let the run go on to the input, which is missing here.
    TempDir dir;
    const std::string missing = dir.file("missing.qcp");
    for (auto args : {std::vector<std::string>{"-m", "3", missing},
                      {"-m=3", missing},
                      {"--mode=3", missing},
                      {"-m", "3x", missing},
                      {"-m", "7", missing},
                      {"-m", " 0", missing}}) {
        expectError(args, "Input file is not a valid wav, or qcp file");
    }
}

TEST(Velconv, RateValues) {
    expectUsageFailure({"-r"}, "Rate set identifier expected!");
    expectUsageFailure({"-r", "VFR", "in.wav"}, "Unrecognized rate set given!");
    expectUsageFailure({"-r", "vfrx", "in.wav"}, "Unrecognized rate set given!");
    expectUsageFailure({"-r=", "in.wav"}, "Unrecognized rate set given!");
    // Every value is checked, even one overridden later.
    expectUsageFailure({"-r", "xyz", "-r", "vfr", "in.wav"}, "Unrecognized rate set given!");

    TempDir dir;
    const std::string missing = dir.file("missing.wav");
    for (const char* rate : {"vfr", "vhr", "ffr", "fhr"}) {
        expectError({"-r", rate, missing}, "Input file is not a valid wav, or qcp file");
        expectError({std::string("--rate=") + rate, missing}, "Input file is not a valid wav, or qcp file");
        expectError({std::string("-r=") + rate, missing}, "Input file is not a valid wav, or qcp file");
    }
}

TEST(Velconv, FileNamesBelongToTheLastGroup) {
    TempDir dir;
    const std::string missing = dir.file("in.wav");
    expectError({"-r", "vhr", missing}, "Input file is not a valid wav, or qcp file");
    expectUsageFailure({missing, "-r", "vhr"}, "");
    expectUsageFailure({"-r", "vhr"}, "");
}

TEST(Velconv, InputSniffing) {
    TempDir dir;
    auto sniff = [&](const std::string& name, const std::string& content, const std::string& message) {
        writeFileBytes(dir.file(name), bytes(content));
        expectError({dir.file(name)}, message);
    };
    expectError({dir.file("missing.wav")}, "Input file is not a valid wav, or qcp file");
    sniff("empty.wav", "", "Input file is too small to be a valid qcp, or wav file");
    sniff("five.wav", "RIFF\4", "Input file is too small to be a valid qcp, or wav file");
    sniff("six.wav", std::string("RIFF\4\0", 6), "Input file is too small to be a valid qcp or wav file");
    sniff("eleven.wav", std::string("RIFF\4\0\0\0WAV", 11),
          "Input file is too small to be a valid qcp or wav file");
    sniff("text.wav", "This is not a sound file.", "Input file is not a valid wav, or qcp file");
    sniff("rifx.wav", std::string("RIFX\4\0\0\0WAVE", 12), "Input file is not a valid wav, or qcp file");
    sniff("movie.avi",
          std::string("RIFF\xf0\0\0\0"
                      "AVI LIST",
                      16),
          "Input file appears to be a RIFF file, but it is neither a wav or qcp file");
    sniff("lower.wav", std::string("RIFF\4\0\0\0wave", 12),
          "Input file appears to be a RIFF file, but it is neither a wav or qcp file");
    expectError({dir.path()}, "Input file is not a valid wav, or qcp file");
}

TEST(Velconv, NameCheckRefusesTheInputUnderAnySpelling) {
    TempDir dir;
    const std::string in = dir.file("in.wav");
    writeFileBytes(in, kWavHeader);
    ASSERT_EQ(link(in.c_str(), dir.file("hard.qcp").c_str()), 0);
    std::filesystem::create_symlink("in.wav", dir.file("soft.qcp"));
    std::filesystem::create_directory(dir.file("sub"));

    expectError({in, in}, kNameMatchText);
    for (auto args : {std::vector<std::string>{"in.wav", "in.wav"},
                      {"in.wav", "./in.wav"},
                      {"./in.wav", "in.wav"},
                      {"in.wav", "sub/../in.wav"},
                      {"in.wav", in},
                      {"in.wav", "hard.qcp"},
                      {"in.wav", "soft.qcp"},
                      {"soft.qcp", "in.wav"},
                      {"-r", "fhr", "hard.qcp", "soft.qcp"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        RunResult r = run(args, dir.path());
        EXPECT_EQ(r.exitStatus, kFailure);
        EXPECT_EQ(r.errorOutput, kNameMatch);
    }
    // A WAV input whose own name ends in .qcp derives its own name.
    writeFileBytes(dir.file("odd.qcp"), kWavHeader);
    expectError({"odd.qcp"}, kNameMatchText, dir.path());

    EXPECT_EQ(readFileBytes(in), kWavHeader) << "the input must survive";
}

TEST(Velconv, DistinctOutputsPassTheNameCheck) {
    TempDir dir;
    const std::string in = dir.file("in.wav");
    writeFileBytes(in, kWavHeader);
    writeFileBytes(dir.file("copy.wav"), kWavHeader);  // same bytes, different file
    for (auto args : {std::vector<std::string>{"in.wav", "IN.wav"}, {"in.wav", "copy.wav"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        RunResult r = run(args, dir.path());
        EXPECT_EQ(r.errorOutput.find("file names match"), std::string::npos) << r.errorOutput;
    }
}

// The derived output name is observed through the name check: a link to the
// input placed where the derived name points makes the run refuse.
TEST(Velconv, OutputNameDerivation) {
    TempDir dir;
    auto refusedWithLinkAt = [&](const std::string& input, const std::vector<uint8_t>& content,
                                 const std::string& linkName) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(input)).parent_path());
        writeFileBytes(dir.file(input), content);
        std::filesystem::remove(dir.file(linkName));
        EXPECT_EQ(link(dir.file(input).c_str(), dir.file(linkName).c_str()), 0);
        RunResult r = run({input}, dir.path());
        std::filesystem::remove(dir.file(linkName));
        return r.errorOutput == kNameMatch;
    };
    EXPECT_TRUE(refusedWithLinkAt("talk.wav", kWavHeader, "talk.qcp"));
    EXPECT_TRUE(refusedWithLinkAt("talk2.qcp", kQcpHeader, "talk2.wav"));
    EXPECT_TRUE(refusedWithLinkAt("noext", kWavHeader, "noext.qcp"));
    EXPECT_TRUE(refusedWithLinkAt("two.dots.x", kQcpHeader, "two.dots.wav"));
    // The extension is looked for in the file's own name only.
    EXPECT_TRUE(refusedWithLinkAt("a.b/speech", kWavHeader, "a.b/speech.qcp"));
    EXPECT_FALSE(refusedWithLinkAt("c.d/speech", kWavHeader, "c.qcp"));
    EXPECT_TRUE(refusedWithLinkAt("e.f/clip", kQcpHeader, "e.f/clip.wav"));
    EXPECT_TRUE(refusedWithLinkAt("archive.tar/talk.wav", kWavHeader, "archive.tar/talk.qcp"));
    EXPECT_TRUE(refusedWithLinkAt("./memo", kWavHeader, "memo.qcp"));
}

// Failures past the name check (component creation, conversion) end with one
// "ERROR: " line and no usage, whatever the library has registered.
TEST(Velconv, LaterFailuresPrintOneErrorLine) {
    TempDir dir;
    writeFileBytes(dir.file("header.wav"), kWavHeader);
    writeFileBytes(dir.file("header.qcp"), kQcpHeader);
    for (auto args : {std::vector<std::string>{"header.wav", "out1.qcp"},
                      {"header.qcp", "out2.wav"},
                      {"-m", "5", "header.qcp", "out3.wav"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        RunResult r = run(args, dir.path());
        EXPECT_EQ(r.exitStatus, kFailure);
        ASSERT_EQ(r.errorOutput.rfind("ERROR: ", 0), 0u) << r.errorOutput;
        EXPECT_EQ(r.errorOutput.find('\n'), r.errorOutput.size() - 1) << r.errorOutput;
    }
}

// A file that cannot be opened or written gets its name and the real reason
// on the line after the ERROR; a file that opens but is no audio keeps the one line.
TEST(Velconv, FailuresNameTheFileAndTheReason) {
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), speechWav(0.1));
    writeFileBytes(dir.file("notes.wav"), bytes("This is not a sound file."));
    std::filesystem::create_directories(dir.file("memos"));
    const struct {
        std::vector<std::string> args;
        const char* errorOutput;
    } cases[] = {
        {{"nothere.wav"},
         "ERROR: Input file is not a valid wav, or qcp file\n"
         "velconv: cannot open 'nothere.wav': No such file or directory\n"},
        {{"memos"}, "ERROR: Input file is not a valid wav, or qcp file\nvelconv: 'memos' is a folder\n"},
        {{"in.wav", "nodir/out.qcp"},
         "ERROR: Error opening file: No such file or directory\n"
         "velconv: cannot write 'nodir/out.qcp': No such file or directory\n"},
        {{"notes.wav", "out.qcp"}, "ERROR: Input file is not a valid wav, or qcp file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const RunResult r = run(c.args, dir.path());
        EXPECT_EQ(r.exitStatus, kFailure);
        EXPECT_EQ(r.errorOutput, c.errorOutput);
    }
}

}  // namespace
}  // namespace sonx::test
