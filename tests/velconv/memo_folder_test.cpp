// A phone's folder of voice memos, made by velconv from test speech, then
// converted in one run and described with -i: outcomes, names, dates and
// labels are compared with what the generator made.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "convert/convert_test_util.h"
#include "support/process.h"
#include "support/riff_image.h"
#include "support/test_support.h"
#include "velconv/conversion.h"

namespace sonx::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kFailure = 255;
constexpr uint32_t kSamplesPerPacket = 160;

enum class Outcome { Converted, Collides, Undecodable, CutShort };

struct Memo {
    std::string name;  // in memos/
    std::string label, text;
    uint32_t packets = 0;  // what was encoded
    Outcome outcome = Outcome::Converted;
    std::string output;  // in out/, for Converted
    timespec date{};
};

timespec modificationTime(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mtim;
}

bool operator==(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string memoPath(const Memo& memo) {
    return "memos/" + memo.name;
}

// The folder, built once: 38 memos of 0.4 to 1.6 s (some labelled, some with
// a text), one renamed x.QCP, one cut short, one patched to EVRC, and a.qcp
// beside a.QCP.
class MemoFolder : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new TempDir;
        fs::create_directories(root_->file("memos"));
        fs::create_directories(root_->file("spoken"));
        for (int i = 0; i < 38; ++i) {
            Memo memo;
            const std::string number = (i < 10 ? "0" : "") + std::to_string(i);
            memo.name = "memo" + number + ".qcp";
            memo.output = "memo" + number + ".wav";
            if (i % 3 == 0) memo.label = "Memo " + number + " \xe2\x98\x8e kitchen";
            if (i % 4 == 0) memo.text = "Recorded on the bus, take " + number;
            const double seconds = 0.4 + 0.2 * (i % 7);
            memo.packets = static_cast<uint32_t>(seconds * 8000 + 0.5) / kSamplesPerPacket;
            Bytes wav = speechWav(seconds);
            if (!memo.label.empty() || !memo.text.empty()) wav = withChunk(wav, "LIST", infoList(memo.label, memo.text));
            writeFileBytes(root_->file("spoken/" + memo.output), wav);
            const RunResult made = runVelconv({"spoken/" + memo.output, memoPath(memo)}, root_->path());
            ASSERT_EQ(made.exitStatus, 0) << made.errorOutput;
            memos_.push_back(memo);
        }
        rename(memos_[5], "x.QCP", "x.wav");
        Bytes cut = readFileBytes(root_->file(memoPath(memos_[9])));
        cut.resize(cut.size() * 6 / 10);
        writeFileBytes(root_->file(memoPath(memos_[9])), cut);
        memos_[9].outcome = Outcome::CutShort;
        Bytes evrc = readFileBytes(root_->file(memoPath(memos_[13])));
        const Bytes evrcId = {0x8d, 0xd4, 0x89, 0xe6, 0x76, 0x90, 0xb5, 0x46,
                              0x91, 0xef, 0x73, 0x6a, 0x51, 0x00, 0xce, 0xb4};
        std::copy(evrcId.begin(), evrcId.end(), evrc.begin() + 12 + 8 + 2);  // the codec of 'fmt '
        writeFileBytes(root_->file(memoPath(memos_[13])), evrc);
        memos_[13].outcome = Outcome::Undecodable;
        for (const char* name : {"a.qcp", "a.QCP"}) {
            Memo twin = memos_[memos_.size() - 2];
            fs::copy_file(root_->file(memoPath(twin)), root_->file(std::string("memos/") + name));
            twin.name = name;
            twin.outcome = Outcome::Collides;
            memos_.push_back(twin);
        }
        // Recording dates, one a day, with nanoseconds that must survive too.
        for (std::size_t n = 0; n < memos_.size(); ++n) {
            memos_[n].date = {1420070400 + static_cast<time_t>(n) * 86400, static_cast<long>(n) * 1234567};
            const timespec times[2] = {memos_[n].date, memos_[n].date};
            ASSERT_EQ(utimensat(AT_FDCWD, root_->file(memoPath(memos_[n])).c_str(), times, 0), 0);
        }
    }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
        memos_.clear();
    }

    static void rename(Memo& memo, const std::string& name, const std::string& output) {
        fs::rename(root_->file(memoPath(memo)), root_->file("memos/" + name));
        memo.name = name;
        memo.output = output;
    }

    // The shell's `memos/*`: sorted names.
    static std::vector<std::string> glob() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(root_->file("memos")))
            names.push_back("memos/" + entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static RunResult velconv(std::vector<std::string> options) {
        const std::vector<std::string> names = glob();
        options.insert(options.end(), names.begin(), names.end());
        return runVelconv(options, root_->path());
    }

    static std::map<std::string, Bytes> contents(const std::string& folder) {
        std::map<std::string, Bytes> all;
        for (const auto& entry : fs::directory_iterator(root_->file(folder)))
            all[entry.path().filename().string()] = readFileBytes(entry.path().string());
        return all;
    }

    static TempDir* root_;
    static std::vector<Memo> memos_;
};

TempDir* MemoFolder::root_ = nullptr;
std::vector<Memo> MemoFolder::memos_;

TEST_F(MemoFolder, ConvertsEveryMemoOnceAndReportsTheRestByName) {
    const auto memosBefore = contents("memos");
    const RunResult first = velconv({"-d", "out"});
    EXPECT_EQ(first.exitStatus, kFailure);
    EXPECT_NE(first.errorOutput.find("velconv: 36 converted, 0 skipped, 4 failed\n"), std::string::npos)
        << first.errorOutput;

    std::set<std::string> expectedOutputs;
    for (const Memo& memo : memos_) {
        SCOPED_TRACE(memo.name);
        const std::string error = "ERROR: '" + memoPath(memo) + "': ";
        switch (memo.outcome) {
            case Outcome::Converted: {
                expectedOutputs.insert(memo.output);
                const std::string out = root_->file("out/" + memo.output);
                const Bytes wav = readFileBytes(out);
                EXPECT_EQ(parseWav(wav).data.size(), memo.packets * kSamplesPerPacket * 2);
                EXPECT_TRUE(modificationTime(out) == memo.date);
                const auto info = riffChunk(wav, "LIST");
                if (memo.label.empty() && memo.text.empty()) {
                    EXPECT_FALSE(info.has_value());
                    EXPECT_EQ(wav.size(), 44 + memo.packets * kSamplesPerPacket * 2);  // as without tags
                } else {
                    EXPECT_EQ(info, infoList(memo.label, memo.text));
                }
                EXPECT_EQ(first.errorOutput.find(error), std::string::npos);
                break;
            }
            case Outcome::Collides:
                EXPECT_NE(first.errorOutput.find(error + "Its output 'out/a.wav' would also be the output of"),
                          std::string::npos);
                break;
            case Outcome::Undecodable:
                EXPECT_NE(first.errorOutput.find(error + "Unable to create audio decoder instance"), std::string::npos);
                EXPECT_NE(first.errorOutput.find("velconv: '" + memoPath(memo) +
                                                 "' is coded with EVRC, which velconv cannot decode\n"),
                          std::string::npos);
                break;
            case Outcome::CutShort:
                EXPECT_NE(first.errorOutput.find(error), std::string::npos);
                EXPECT_NE(first.errorOutput.find("cut short; -s decodes what it holds"), std::string::npos);
                break;
        }
    }
    const auto outputs = contents("out");
    std::set<std::string> made;
    for (const auto& [name, bytes] : outputs) made.insert(name);
    EXPECT_EQ(made, expectedOutputs);

    // Again: every finished file is skipped and none is touched; skipped
    // files are counted, and named only with --verbose.
    const RunResult again = velconv({"-d", "out"});
    EXPECT_EQ(again.exitStatus, kFailure);
    EXPECT_NE(again.errorOutput.find("velconv: 0 converted, 36 skipped, 4 failed\n"), std::string::npos);
    EXPECT_EQ(again.errorOutput.find("velconv: skipped"), std::string::npos);
    const RunResult verbose = velconv({"--verbose", "-d", "out"});
    EXPECT_NE(verbose.errorOutput.find("velconv: skipped 'out/x.wav': it exists (-f replaces it)\n"),
              std::string::npos);
    EXPECT_EQ(contents("out"), outputs);

    // Quiet keeps the errors only.
    const RunResult quiet = velconv({"-q", "-d", "out"});
    EXPECT_EQ(quiet.errorOutput.find("skipped"), std::string::npos);
    EXPECT_EQ(quiet.errorOutput.find(" skipped, "), std::string::npos);  // no summary
    EXPECT_NE(quiet.errorOutput.find("ERROR: 'memos/memo13.qcp'"), std::string::npos);

    // -f redoes them, to the same result.
    const RunResult forced = velconv({"-f", "-d", "out"});
    EXPECT_NE(forced.errorOutput.find("velconv: 36 converted, 0 skipped, 4 failed\n"), std::string::npos);
    EXPECT_EQ(contents("out"), outputs);
    EXPECT_EQ(contents("memos"), memosBefore);
}

// Packets counted independently: what -s recovers of the cut memo.
uint32_t salvagedPackets(const TempDir& root, const Memo& memo) {
    const RunResult salvaged = runVelconv({"-s", memoPath(memo), "salvaged.wav"}, root.path());
    EXPECT_EQ(salvaged.exitStatus, 0) << salvaged.errorOutput;
    return static_cast<uint32_t>(parseWav(readFileBytes(root.file("salvaged.wav"))).data.size() / 2 /
                                 kSamplesPerPacket);
}

TEST_F(MemoFolder, InfoDescribesWhatTheGeneratorMade) {
    const RunResult json = velconv({"-i", "--json", "memos/missing.qcp"});
    EXPECT_EQ(json.exitStatus, kFailure);  // the missing file
    EXPECT_NE(json.standardOutput.find("{\"file\":\"memos/missing.qcp\",\"error\":"), std::string::npos);
    const RunResult text = velconv({"-i"});
    EXPECT_EQ(text.exitStatus, 0) << text.errorOutput;

    for (const Memo& memo : memos_) {
        SCOPED_TRACE(memo.name);
        const std::size_t start = json.standardOutput.find("{\"file\":\"" + memoPath(memo) + "\"");
        ASSERT_NE(start, std::string::npos);
        const std::string object = json.standardOutput.substr(start, json.standardOutput.find('\n', start) - start);
        auto has = [&object](const std::string& part) { return object.find(part) != std::string::npos; };
        EXPECT_TRUE(has("\"label\":\"" + memo.label + "\",\"text\":\"" + memo.text + "\"")) << object;
        EXPECT_TRUE(has(memo.outcome == Outcome::Undecodable ? "\"codec\":\"EVRC\",\"codecId\":\"{E689D48D-"
                                                             : "\"codec\":\"QCELP-13K\""))
            << object;
        if (memo.outcome == Outcome::CutShort) {
            const uint32_t present = salvagedPackets(*root_, memo);
            EXPECT_TRUE(has("\"packets\":" + std::to_string(present) + ","));
            EXPECT_TRUE(has("\"packetsPromised\":" + std::to_string(memo.packets) + ","));
            EXPECT_TRUE(has("\"cutShort\":true"));
            char recovers[32];
            std::snprintf(recovers, sizeof recovers, "%.2f s", present * 0.02);
            EXPECT_NE(text.standardOutput.find("cut short: header promises " + std::to_string(memo.packets) +
                                               " packets, " + std::to_string(present) + " present; -s recovers " +
                                               recovers),
                      std::string::npos);
        } else {
            EXPECT_TRUE(has("\"packets\":" + std::to_string(memo.packets) + ","));
            EXPECT_TRUE(has("\"cutShort\":false,\"damage\":null"));
            char duration[32];
            std::snprintf(duration, sizeof duration, "\"duration\":%.3f,", memo.packets * 0.02);
            EXPECT_TRUE(has(duration));
        }
    }
}

// Two names: the second is replaced only when it cannot be a second input.
TEST(TwoNames, AnExistingFileOfTheInputsKindIsNeverReplaced) {
    struct Case {
        const char* output;
        enum { Absent, SameKindAsInput, OtherBytes } existing;
        bool force;
        bool refused;
    };
    const Case cases[] = {
        {"b.wav", Case::SameKindAsInput, false, true},  {"b.wav", Case::OtherBytes, false, true},
        {"b.out", Case::SameKindAsInput, false, true},  {"b.wav", Case::SameKindAsInput, true, false},
        {"b.wav", Case::Absent, false, false},          {"b.qcp", Case::OtherBytes, false, false},
        {"b.out", Case::OtherBytes, false, false},
    };
    const Bytes speech = speechWav(0.4);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.output) + " existing " + std::to_string(c.existing) + (c.force ? " -f" : ""));
        TempDir dir;
        writeFileBytes(dir.file("a.wav"), speech);
        const Bytes before = c.existing == Case::SameKindAsInput ? speechWav(0.2) : Bytes{'n', 'o', 't', 'e', 's'};
        if (c.existing != Case::Absent) writeFileBytes(dir.file(c.output), before);
        std::vector<std::string> args = {"a.wav", c.output};
        if (c.force) args.insert(args.begin(), "-f");
        const RunResult run = runVelconv(args, dir.path());
        if (c.refused) {
            EXPECT_EQ(run.exitStatus, kFailure);
            EXPECT_EQ(run.errorOutput.rfind(std::string("ERROR: Output file '") + c.output + "' exists", 0), 0u)
                << run.errorOutput;
            EXPECT_NE(run.errorOutput.find("-d DIR"), std::string::npos);
            EXPECT_EQ(readFileBytes(dir.file(c.output)), before);
        } else {
            EXPECT_EQ(run.exitStatus, 0) << run.errorOutput;
            EXPECT_EQ(run.errorOutput, "");
            EXPECT_EQ(readFileBytes(dir.file(c.output)).size() > 12 &&
                          readFileBytes(dir.file(c.output))[8] == 'Q',
                      true);
        }
    }
}

// Beside their inputs: an output that would replace another input refuses
// both, the rest convert, and the QCP made from a labelled WAV carries it.
TEST(Batch, BesideInputsNoOutputReplacesAnInput) {
    TempDir dir;
    writeFileBytes(dir.file("a.wav"), speechWav(0.4));
    ASSERT_EQ(runVelconv({"a.wav", "a.qcp"}, dir.path()).exitStatus, 0);
    writeFileBytes(dir.file("b.wav"), withChunk(speechWav(0.4), "LIST", infoList("Dentist", "")));
    const Bytes aWav = readFileBytes(dir.file("a.wav")), aQcp = readFileBytes(dir.file("a.qcp"));

    const RunResult run = runVelconv({"-b", "a.qcp", "a.wav", "b.wav", "./b.wav"}, dir.path());
    EXPECT_EQ(run.exitStatus, kFailure);
    EXPECT_NE(run.errorOutput.find("ERROR: 'a.qcp': Its output 'a.wav' is one of the inputs"), std::string::npos);
    EXPECT_NE(run.errorOutput.find("ERROR: 'a.wav': Its output 'a.qcp' is one of the inputs"), std::string::npos);
    EXPECT_NE(run.errorOutput.find("velconv: 1 converted, 0 skipped, 2 failed\n"), std::string::npos);
    EXPECT_EQ(readFileBytes(dir.file("a.wav")), aWav);
    EXPECT_EQ(readFileBytes(dir.file("a.qcp")), aQcp);
    Bytes label(48, 0);
    std::copy_n("Dentist", 7, label.begin());
    EXPECT_EQ(riffChunk(readFileBytes(dir.file("b.qcp")), "labl"), label);
    EXPECT_FALSE(riffChunk(readFileBytes(dir.file("b.qcp")), "text").has_value());
}

// A batch tells each input's kind once, when it plans: an input of another
// kind by the time it converts fails, and leaves nothing behind.
TEST(Batch, AnInputThatChangedKindSincePlanningFailsAndLeavesNothing) {
    TempDir dir;
    writeFileBytes(dir.file("a.wav"), speechWav(0.4));
    ASSERT_EQ(runVelconv({"a.wav", "a.qcp"}, dir.path()).exitStatus, 0);
    const std::pair<const char*, velconv::InputKind> cases[] = {{"a.wav", velconv::InputKind::Qcp},
                                                                {"a.qcp", velconv::InputKind::Wav}};
    for (const auto& [name, plannedAs] : cases) {
        velconv::Input input(dir.file(name), plannedAs);
        EXPECT_ANY_THROW(velconv::convertOne(input, dir.file("out"), velconv::ConversionSettings{})) << name;
        std::set<std::string> left;
        for (const auto& entry : fs::directory_iterator(dir.path())) left.insert(entry.path().filename().string());
        EXPECT_EQ(left, (std::set<std::string>{"a.qcp", "a.wav"})) << name;
    }
}

}  // namespace
}  // namespace sonx::test
