// What the C interface's header promises about stops, status numbers, empty
// chunks, damaged files and buffer sizes, held to it call by call.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <sys/stat.h>

#include "convert/convert_test_util.h"
#include "sonx/fileio/endian.h"
#include "sonx/sonx_c.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// A QCP of `seconds` of the test speech, through the C encoder.
std::vector<uint8_t> speechQcp(double seconds) {
    const auto wav = speechWav(seconds);
    std::vector<int16_t> pcm;
    for (double v : samplesOf(parseWav(wav).data, 16)) pcm.push_back(static_cast<int16_t>(v));
    void* qcp = nullptr;
    size_t bytes = 0;
    EXPECT_EQ(sonx_encode(pcm.data(), pcm.size(), 8000, SONX_RATE_VFR, &qcp, &bytes), SONX_OK);
    const auto* begin = static_cast<const uint8_t*>(qcp);
    std::vector<uint8_t> file(begin, begin + bytes);
    sonx_free(qcp);
    return file;
}

// Answers 0 until the stated percentage, then asks to stop.
int stopAt(unsigned percent, void* user) {
    return percent >= *static_cast<unsigned*>(user) ? 1 : 0;
}

TEST(CInterface, AStopAtTheLastProgressCancelsAndLeavesNoOutput) {
    TempDir dir;
    const struct {
        const char* what;
        std::vector<uint8_t> input;
        unsigned stopFrom;  // 101: never
        int status;
    } cases[] = {
        {"stop at 100", speechWav(3), 100, SONX_ERR_CANCELLED},
        {"stop at the only event of an empty input", makeWav(1, 8000, 16, {}), 100, SONX_ERR_CANCELLED},
        {"no stop", speechWav(3), 101, SONX_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = dir.file("in.wav"), out = dir.file("out.qcp");
        writeFileBytes(in, c.input);
        unsigned stopFrom = c.stopFrom;
        EXPECT_EQ(sonx_convert_file(in.c_str(), out.c_str(), nullptr, stopAt, &stopFrom, nullptr), c.status);
        EXPECT_EQ(sonx_last_error(nullptr, nullptr, 0), c.status);
        EXPECT_EQ(exists(out), c.status == SONX_OK);
        std::remove(out.c_str());
    }
    // Over a file it would replace, the stop leaves that file as it was.
    const std::string in = dir.file("in.wav"), out = dir.file("old.qcp");
    writeFileBytes(in, speechWav(3));
    writeFileBytes(out, {'o', 'l', 'd'});
    unsigned stopFrom = 100;
    EXPECT_EQ(sonx_convert_file(in.c_str(), out.c_str(), nullptr, stopAt, &stopFrom, nullptr), SONX_ERR_CANCELLED);
    EXPECT_EQ(readFileBytes(out), (std::vector<uint8_t>{'o', 'l', 'd'}));
}

TEST(CInterface, EmptyChunksAndSizeQueriesAreAnswered) {
    TempDir dir;
    const std::string qcp = dir.file("empty.qcp");
    writeFileBytes(qcp, withChunk(speechQcp(1), "labl", {}));
    ASSERT_EQ(sonx_set_chunk(qcp.c_str(), "text", "", 0), SONX_OK);
    sonx_info info{};
    ASSERT_EQ(sonx_get_info(qcp.c_str(), &info), SONX_OK);
    EXPECT_STREQ(info.label, "");
    EXPECT_STREQ(info.text, "");

    // The size query of each chunk, with no buffer.
    ASSERT_EQ(sonx_set_chunk(qcp.c_str(), "labl", "name", 4), SONX_OK);
    ASSERT_EQ(sonx_set_chunk(qcp.c_str(), "text", "words", 5), SONX_OK);
    ASSERT_EQ(sonx_set_chunk(qcp.c_str(), "cnfg", "\x01\x02", 2), SONX_OK);
    for (const auto& [id, length] : {std::pair{"labl", 48u}, {"text", 5u}, {"cnfg", 2u}}) {
        SCOPED_TRACE(id);
        size_t stored = 0;
        EXPECT_EQ(sonx_get_chunk(qcp.c_str(), id, nullptr, 0, &stored), SONX_OK);
        EXPECT_EQ(stored, length);
    }
}

TEST(CInterface, ADamagedFileSaysSoWhereverItIsOpened) {
    TempDir dir;
    auto wav = speechWav(2);
    auto qcp = speechQcp(2);
    wav.resize(wav.size() - 1000);
    qcp.resize(qcp.size() - 300);
    for (const auto& [name, bytes] : {std::pair{"cut.wav", wav}, {"cut.qcp", qcp}}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        writeFileBytes(path, bytes);
        EXPECT_EQ(sonx_convert_file(path.c_str(), dir.file("out").c_str(), nullptr, nullptr, nullptr, nullptr),
                  SONX_ERR_DAMAGED);
        sonx_file* file = nullptr;
        EXPECT_EQ(sonx_open_read(path.c_str(), 0, &file), SONX_ERR_DAMAGED);
        EXPECT_EQ(file, nullptr);
        char message[256];
        EXPECT_EQ(sonx_last_error(nullptr, message, sizeof message), SONX_ERR_DAMAGED);
        EXPECT_STRNE(message, "");
        ASSERT_EQ(sonx_open_read(path.c_str(), 1, &file), SONX_OK);
        EXPECT_EQ(sonx_close(file), SONX_OK);
    }

    // Damage decoding reads past gives the facts decoding gives: a 'fmt '
    // whose packet length or rate field is wrong (decoding takes the
    // codec's; the facts name it), and, with no 'vrat', a chunk past the
    // audio whose length runs off the file (the reader never needs it).
    const auto fmtByte = [](size_t at) {
        return [at](std::vector<uint8_t>& qcp) { qcp[at] = 0xCE; };
    };
    const auto trailerWithoutVrat = [](std::vector<uint8_t>& qcp) {
        std::copy_n("junk", 4, std::search(qcp.begin(), qcp.end(), "vrat", "vrat" + 4));
        const uint8_t trailer[] = {'z', 'z', 'z', 'z', 0xFF, 0xFF, 0xFF, 0x00};
        qcp.insert(qcp.end(), std::begin(trailer), std::end(trailer));
        sonx::putLe32(&qcp[4], static_cast<uint32_t>(qcp.size() - 8));
    };
    const struct {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        bool named;
    } readable[] = {
        {"'fmt ' byte 124", fmtByte(124), true}, {"'fmt ' byte 125", fmtByte(125), true},
        {"'fmt ' byte 126", fmtByte(126), true}, {"'fmt ' byte 127", fmtByte(127), true},
        {"trailer without 'vrat'", trailerWithoutVrat, false},
    };
    for (const auto& c : readable) {
        SCOPED_TRACE(c.what);
        auto damaged = speechQcp(1.32);
        c.damage(damaged);
        const std::string path = dir.file("damaged.qcp");
        writeFileBytes(path, damaged);
        int16_t* pcm = nullptr;
        size_t samples = 0;
        ASSERT_EQ(sonx_decode(damaged.data(), damaged.size(), 0, &pcm, &samples, nullptr), SONX_OK);
        sonx_free(pcm);
        sonx_info info{};
        ASSERT_EQ(sonx_get_info(path.c_str(), &info), SONX_OK);
        EXPECT_EQ(info.samples, samples);
        EXPECT_EQ(info.sample_rate, 8000u);
        const RunResult described = runVelconv({"-i", path});
        EXPECT_EQ(described.exitStatus, 0);
        ASSERT_NE(described.standardOutput.find("damage:"), std::string::npos) << described.standardOutput;
        EXPECT_EQ(described.standardOutput.find("damage:      none") == std::string::npos, c.named)
            << described.standardOutput;
    }
}

TEST(CInterface, StatusNumbersSayWhatWentWrong) {
    TempDir dir;
    const std::string wav = dir.file("in.wav"), qcp = dir.file("in.qcp"), out = dir.file("out.qcp");
    writeFileBytes(wav, speechWav(1));
    writeFileBytes(qcp, speechQcp(1));
    const int16_t pcm[160] = {};
    sonx_file* file = nullptr;
    void* coded = nullptr;
    size_t codedBytes = 0, stored = 0;
    char buffer[64];
    sonx_info info{};
    const struct {
        const char* what;
        int status;
        int expected;
    } cases[] = {
        {"chunk of a WAV", sonx_get_chunk(wav.c_str(), "labl", buffer, sizeof buffer, &stored), SONX_ERR_NOT_AUDIO},
        {"text of a WAV", sonx_get_chunk(wav.c_str(), "text", nullptr, 0, &stored), SONX_ERR_NOT_AUDIO},
        {"rate 0 to write", sonx_open_write(out.c_str(), nullptr, 0, &file), SONX_ERR_INVALID},
        {"rate -1 to write", sonx_open_write(out.c_str(), nullptr, 4294967295u, &file), SONX_ERR_INVALID},
        {"rate 0 to encode", sonx_encode(pcm, 160, 0, SONX_RATE_VFR, &coded, &codedBytes), SONX_ERR_INVALID},
        {"rate -1 to encode", sonx_encode(pcm, 160, 4294967295u, SONX_RATE_VFR, &coded, &codedBytes),
         SONX_ERR_INVALID},
        {"folder to read", sonx_open_read(dir.path().c_str(), 0, &file), SONX_ERR_OPEN},
        {"folder to convert", sonx_convert_file(dir.path().c_str(), out.c_str(), nullptr, nullptr, nullptr, nullptr),
         SONX_ERR_OPEN},
        {"folder to describe", sonx_get_info(dir.path().c_str(), &info), SONX_ERR_OPEN},
    };
    for (const auto& c : cases) EXPECT_EQ(c.status, c.expected) << c.what;
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(coded, nullptr);

    // A QCP read into any buffer of one sample or more gives the same samples.
    std::vector<std::vector<int16_t>> reads;
    for (size_t chunk : {4096, 1, 2, 7, 159, 160, 161, 319, 320, 1000}) {
        SCOPED_TRACE("buffer of " + std::to_string(chunk));
        ASSERT_EQ(sonx_open_read(qcp.c_str(), 0, &file), SONX_OK);
        std::vector<int16_t> samples, part(chunk);
        for (size_t got = 1; got > 0;) {
            ASSERT_EQ(sonx_read_pcm(file, part.data(), chunk, &got), SONX_OK);
            ASSERT_LE(got, chunk);
            samples.insert(samples.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(got));
        }
        EXPECT_EQ(sonx_close(file), SONX_OK);
        if (!reads.empty()) {
            EXPECT_TRUE(samples == reads.front());
        }
        reads.push_back(samples);
    }
    EXPECT_EQ(reads.front().size(), 8000u);
}

}  // namespace
}  // namespace sonx::test
