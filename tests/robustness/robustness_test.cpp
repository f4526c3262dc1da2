// velconv on damaged inputs and unusable output locations: every run must end
// in time with status 0 or 255, without a signal, with exactly one readable
// "ERROR: " line when it fails; any output left behind must claim no more
// than it holds; the input must be left as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "robustness/robustness_support.h"
#include "support/riff_image.h"
#include "support/test_support.h"

namespace sonx::robustness {
namespace {

using namespace std::chrono_literals;

// Generous: a damaged input converts in well under a second, even under
// the sanitizers; only a hang gets near this.
constexpr auto kRunLimit = 60s;

struct Problems {
    std::vector<std::string> list;
    void add(const std::string& what, const std::string& why, const RunResult& run) {
        if (!why.empty()) list.push_back(what + ": " + why + " [stderr: " + run.errorOutput + "]");
    }
    std::string text() const {
        std::string all;
        for (const auto& p : list) all += p + "\n";
        return all;
    }
};

// Runs velconv on `input` (written to the folder) into `output`, checks the
// run, the output and that the input is unchanged.
RunResult runChecked(const test::TempDir& dir, const std::string& what, const Bytes& input,
                      const std::vector<std::string>& options, Problems& problems) {
    const std::string in = dir.file("in.bin"), out = dir.file("out.bin");
    std::filesystem::remove(out);
    test::writeFileBytes(in, input);
    std::vector<std::string> args = options;
    args.push_back(in);
    args.push_back(out);
    const RunResult run = test::runProgram(VELCONV_PATH, args, {"", kRunLimit});
    problems.add(what, checkRun(run), run);
    problems.add(what, checkOutputFile(out), run);
    if (test::readFileBytes(in) != input) problems.add(what, "input file was modified", run);
    return run;
}

class DamagedInput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        wav_ = new Bytes(baseWav());
        qcp_ = new Bytes(baseQcp());
    }
    static void TearDownTestSuite() {
        delete wav_;
        delete qcp_;
    }

    // Each WAV variant is encoded with another rate set in turn.
    void runAll(const std::vector<Variant>& variants, bool wavBase) {
        static const char* const kRates[] = {"vfr", "vhr", "ffr", "fhr"};
        size_t n = 0;
        for (const auto& v : variants) {
            std::vector<std::string> options;
            if (wavBase) options = {"-r", kRates[n++ % 4]};
            runChecked(dir_, (wavBase ? "WAV " : "QCP ") + v.name, v.bytes, options, problems_);
        }
        runs_ += variants.size();
    }

    void TearDown() override {
        EXPECT_TRUE(problems_.list.empty()) << problems_.list.size() << " of " << runs_ << " runs failed:\n"
                                            << problems_.text();
    }

    static Bytes* wav_;
    static Bytes* qcp_;
    test::TempDir dir_;
    Problems problems_;
    size_t runs_ = 0;
};

Bytes* DamagedInput::wav_ = nullptr;
Bytes* DamagedInput::qcp_ = nullptr;

// The undamaged files convert, so the damaged runs below are measured
// against a working conversion rather than one that always fails.
TEST_F(DamagedInput, BaseFilesConvert) {
    for (const char* rate : {"vfr", "vhr", "ffr", "fhr"}) {
        const RunResult run =
            runChecked(dir_, std::string("WAV base ") + rate, *wav_, {"-r", rate}, problems_);
        EXPECT_EQ(run.exitStatus, 0) << rate << ": " << run.errorOutput;
    }
    const RunResult run = runChecked(dir_, "QCP base", *qcp_, {}, problems_);
    EXPECT_EQ(run.exitStatus, 0) << run.errorOutput;
    // 160 samples for each packet.
    const uint32_t packets = le32At(*qcp_, findChunk(chunkMap(*qcp_), "vrat")->pos + 12);
    EXPECT_EQ(findChunk(chunkMap(test::readFileBytes(dir_.file("out.bin"))), "data")->length, packets * 320u);
}

TEST_F(DamagedInput, TruncatedAtChunkBoundariesAndInsidePackets) {
    runAll(truncations(*wav_), true);
    runAll(truncations(*qcp_), false);
}

TEST_F(DamagedInput, BitFlipsInHeaders) {
    runAll(headerBitFlips(*wav_), true);
    runAll(headerBitFlips(*qcp_), false);
}

TEST_F(DamagedInput, DamagedPayload) {
    runAll(payloadDamage(*wav_), true);
    runAll(payloadDamage(*qcp_), false);
}

TEST_F(DamagedInput, LengthFieldsZeroOddAndHuge) {
    runAll(lengthEdits(*wav_), true);
    runAll(lengthEdits(*qcp_), false);
}

TEST_F(DamagedInput, WavFormatFields) {
    runAll(wavFormatEdits(*wav_), true);
}

// RF64 and BW64 recordings read as the plain WAV they hold, and velconv -i
// describes them alike; damaged ones fail or are salvaged like any WAV.
TEST_F(DamagedInput, Rf64Files) {
    const Bytes rf64 = test::asRf64(*wav_);
    const RunResult plain = runChecked(dir_, "WAV base", *wav_, {}, problems_);
    ASSERT_EQ(plain.exitStatus, 0) << plain.errorOutput;
    const Bytes expected = test::readFileBytes(dir_.file("out.bin"));
    for (const char* headerId : {"RF64", "BW64"}) {
        const RunResult run = runChecked(dir_, headerId, test::asRf64(*wav_, headerId), {}, problems_);
        EXPECT_EQ(run.exitStatus, 0) << headerId << ": " << run.errorOutput;
        EXPECT_EQ(test::readFileBytes(dir_.file("out.bin")), expected) << headerId;
    }

    const auto describe = [this](const Bytes& bytes) {
        test::writeFileBytes(dir_.file("in.bin"), bytes);
        return test::runProgram(VELCONV_PATH, {"-i", "--json", dir_.file("in.bin")}, {"", kRunLimit}).standardOutput;
    };
    const std::string plainFacts = describe(*wav_);
    ASSERT_NE(plainFacts.find("\"samples\":"), std::string::npos) << plainFacts;
    EXPECT_EQ(describe(rf64), plainFacts);
    const std::string cutFacts = describe(Bytes(rf64.begin(), rf64.end() - 100));
    EXPECT_NE(cutFacts.find("\"cutShort\":true"), std::string::npos) << cutFacts;

    runAll(truncations(rf64), true);
    runAll(lengthEdits(rf64), true);
    runAll(headerBitFlips(rf64), true);
}

TEST_F(DamagedInput, ZeroByteInput) {
    const RunResult run = runChecked(dir_, "zero bytes", {}, {}, problems_);
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_NE(run.errorOutput.find("too small"), std::string::npos) << run.errorOutput;
}

// Sparse files: the blocks are never written, so they cost no disk space.
void makeSparse(const std::string& path, const Bytes& head, uint64_t length) {
    test::writeFileBytes(path, head);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(length)), 0) << std::strerror(errno);
}

struct SparseCase {
    const char* what;
    Bytes head;
    uint64_t length;
};

TEST(Robustness, HugeSparseInputs) {
    test::TempDir dir;
    const Bytes wav = baseWav();
    const auto wavChunks = chunkMap(wav);
    const size_t wavData = findChunk(wavChunks, "data")->pos;
    // A WAV header over 4 GiB and more of silence: positions are 32-bit.
    Bytes overLimit(wav.begin(), wav.begin() + long(wavData + 8));
    putLe32At(overLimit, 4, 0xFFFFFFFF);
    putLe32At(overLimit, wavData + 4, 0xFFFFFFF0);
    // The same header claiming 4 GiB of samples over a file of 1 MiB: the
    // samples that are there are converted, then the read fails.
    Bytes claimsMore = overLimit;
    // A QCP file of 512 MiB of blank packets (zero bytes): decoded it would
    // need 160 GiB of WAV, far more than a WAV file can hold.
    const Bytes qcp = baseQcp();
    const auto qcpChunks = chunkMap(qcp);
    const size_t qcpData = findChunk(qcpChunks, "data")->pos;
    Bytes blankPackets(qcp.begin(), qcp.begin() + long(qcpData + 8));
    const uint32_t blankLength = 512u << 20;
    putLe32At(blankPackets, 4, blankLength - 8);
    putLe32At(blankPackets, qcpData + 4, blankLength - static_cast<uint32_t>(qcpData) - 8);

    const SparseCase cases[] = {
        {"WAV over 4 GiB", overLimit, (uint64_t{1} << 32) + 4096},
        {"WAV claiming 4 GiB in 1 MiB", claimsMore, 1u << 20},
        {"QCP of 512 MiB blank packets", blankPackets, blankLength},
    };
    Problems problems;
    for (const auto& c : cases) {
        const std::string in = dir.file("huge.bin"), out = dir.file("out.bin");
        makeSparse(in, c.head, c.length);
        struct stat before {};
        ASSERT_EQ(stat(in.c_str(), &before), 0);
        const RunResult run = test::runProgram(VELCONV_PATH, {in, out}, {"", kRunLimit});
        problems.add(c.what, checkRun(run), run);
        problems.add(c.what, checkOutputFile(out), run);
        struct stat after {};
        ASSERT_EQ(stat(in.c_str(), &after), 0);
        if (after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
            after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
            problems.add(c.what, "input file was modified", run);
        std::filesystem::remove(in);
        std::filesystem::remove(out);
    }
    EXPECT_TRUE(problems.list.empty()) << problems.text();
}

// Runs velconv on the base WAV into `output`; it must fail with one clear
// error line naming what went wrong.
void expectOutputFailure(const std::string& output, const std::string& expected) {
    test::TempDir dir;
    const std::string in = dir.file("in.wav");
    const Bytes wav = baseWav();
    test::writeFileBytes(in, wav);
    const RunResult run = test::runProgram(VELCONV_PATH, {in, output}, {"", kRunLimit});
    EXPECT_EQ(checkRun(run), "");
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_NE(run.errorOutput.find(expected), std::string::npos) << run.errorOutput;
    EXPECT_EQ(test::readFileBytes(in), wav);
}

// Makes a folder read-only for as long as it lives. Permission bits do not
// stop root, so as root the folder is made immutable instead (ext4 and most
// Linux file systems; that stops root too).
class ReadOnlyFolder {
public:
    // `files` are put in the folder (writable) before it becomes read-only.
    explicit ReadOnlyFolder(const std::string& path, const std::vector<std::pair<std::string, Bytes>>& files = {})
        : path_(path) {
        if (mkdir(path.c_str(), 0755) != 0) return;
        for (const auto& [name, bytes] : files) test::writeFileBytes(path + "/" + name, bytes);
        if (chmod(path.c_str(), 0555) != 0) return;
        if (geteuid() != 0) {
            usable_ = access(path.c_str(), W_OK) != 0;
            return;
        }
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            immutable_ = usable_ = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) close(fd);
    }
    ~ReadOnlyFolder() {
        if (!immutable_) return;
        const int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0) close(fd);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
    bool usable() const { return usable_; }

private:
    std::string path_;
    bool usable_ = false;
    bool immutable_ = false;
};

TEST(Robustness, ReadOnlyOutputFolder) {
    test::TempDir dir;
    const std::string folder = dir.file("ro");
    ReadOnlyFolder readOnly(folder);
    if (!readOnly.usable())
        GTEST_SKIP() << (geteuid() == 0
                             ? "running as root and the file system cannot make the folder immutable"
                             : "the folder stays writable despite its mode");
    expectOutputFailure(folder + "/out.qcp", "Error opening file: ");
    EXPECT_FALSE(std::filesystem::exists(folder + "/out.qcp"));
}

// A writable file in a folder that takes no new files (so no temporary file
// beside it) is still replaced by a conversion that succeeds, and still kept
// by one that fails.
TEST(Robustness, ExistingOutputInAReadOnlyFolder) {
    test::TempDir dir;
    const Bytes precious = {'k', 'e', 'e', 'p'};
    const std::string folder = dir.file("ro"), out = folder + "/out.qcp", in = dir.file("in.wav");
    ReadOnlyFolder readOnly(folder, {{"out.qcp", precious}});
    if (!readOnly.usable()) GTEST_SKIP() << "the folder cannot be made read-only here";
    Bytes damaged = baseWav();
    putLe16At(damaged, 20, 0x11);  // a format tag velconv does not take
    test::writeFileBytes(in, damaged);
    RunResult run = test::runProgram(VELCONV_PATH, {in, out}, {"", kRunLimit});
    EXPECT_EQ(checkRun(run), "");
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_EQ(test::readFileBytes(out), precious);

    test::writeFileBytes(in, baseWav());
    run = test::runProgram(VELCONV_PATH, {in, out}, {"", kRunLimit});
    EXPECT_EQ(run.exitStatus, 0) << run.errorOutput;
    EXPECT_EQ(checkOutputFile(out), "");
    EXPECT_NE(test::readFileBytes(out), precious);
}

TEST(Robustness, OutputInMissingFolder) {
    test::TempDir dir;
    expectOutputFailure(dir.file("missing/out.qcp"), "Error opening file: No such file or directory");
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

// Works as root too: a path through a plain file cannot be created.
TEST(Robustness, OutputUnderAPlainFile) {
    test::TempDir dir;
    test::writeFileBytes(dir.file("plain"), {1, 2, 3});
    expectOutputFailure(dir.file("plain/out.qcp"), "Error opening file: Not a directory");
}

TEST(Robustness, OutputIsAFolder) {
    test::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    expectOutputFailure(dir.file("sub"), "Error opening file: Is a directory");
}

TEST(Robustness, InputIsAFolder) {
    test::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("in.wav").c_str(), 0755), 0);
    const RunResult run = test::runProgram(VELCONV_PATH, {dir.file("in.wav"), dir.file("out.qcp")}, {"", kRunLimit});
    EXPECT_EQ(checkRun(run), "");
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.qcp")));
}

}  // namespace
}  // namespace sonx::robustness
