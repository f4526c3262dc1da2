// velconv -s on files cut short or with lengths a writer never filled in:
// exactly the complete blocks the file holds are converted, with one warning
// saying how much; without -s the old error stays, followed by the hint.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "robustness/robustness_support.h"
#include "sonx/codec/rate_sets.h"
#include "support/riff_image.h"
#include "support/test_support.h"

namespace sonx::robustness {
namespace {

using namespace std::chrono_literals;

const std::string kDecodeHint = "velconv: the file looks cut short; -s decodes what it holds\n";
const std::string kEncodeHint = "velconv: the file looks cut short; -s encodes what it holds\n";

// Seconds as warnings give them: packets of 20 ms, samples at 8 kHz.
std::string packetSeconds(uint32_t packets) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", packets * 0.02);
    return text;
}
std::string sampleSeconds(uint32_t samples) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", samples / 8000.0);
    return text;
}

struct Damage {
    std::string what;
    Bytes bytes;
    std::string withoutS;  // stderr without -s ("" = converts nothing, silently)
    std::string warning;   // the tail of the WARNING line with -s ("" = fails as without)
    uint32_t blocks;       // complete packets or samples the file holds
};

std::string badLength(const char* id, uint32_t n, size_t pos) {
    return "Bad length for '" + std::string(id) + "' chunk (" + std::to_string(n) + ") at pos = " +
           std::to_string(pos) + " in RIFF file\n";
}

std::vector<size_t> packetStarts(const Bytes& qcp, const ChunkPlace& data) {
    std::vector<size_t> starts;
    for (size_t p = data.pos + 8; p < data.pos + 8 + data.length; p += 1 + qcelpPayloadBytes(qcp[p]))
        starts.push_back(p);
    return starts;
}

TEST(Salvage, DamagedLengthsWithAndWithoutS) {
    const Bytes qcp = baseQcp(), wav = baseWav();
    const auto qcpChunks = chunkMap(qcp);
    const ChunkPlace& q = *findChunk(qcpChunks, "data");
    const size_t vratCount = findChunk(qcpChunks, "vrat")->pos + 12;
    const std::vector<size_t> starts = packetStarts(qcp, q);
    const uint32_t n = uint32_t(starts.size()), half = n / 2;
    ASSERT_EQ(le32At(qcp, vratCount), n);
    const ChunkPlace w = *findChunk(chunkMap(wav), "data");
    const uint32_t samples = w.length / 2;

    const std::string qcpData = "ERROR: Error locating 'data' RIFF chunk: ";
    // "decoded k of the n packets its header promises (k s of n s)", and the other forms.
    const auto decodedOfN = [&](uint32_t k) {
        return "decoded " + std::to_string(k) + " of the " + std::to_string(n) + " packets its header promises (" +
               packetSeconds(k) + " of " + packetSeconds(n) + " s)";
    };
    const std::string allN =
        "decoded all " + std::to_string(n) + " packets its header promises (" + packetSeconds(n) + " s)";
    const std::string noLengthSamples = "encoded " + std::to_string(samples) + " samples (" +
                                        sampleSeconds(samples) + " s); its header gives no usable length";
    Bytes strayInHalf = test::withLe32At(qcp, q.pos + 4, 0xFFFFFFFF);
    strayInHalf[starts[half]] = 0x07;
    std::vector<Damage> cases = {
        {"QCP cut inside the middle packet", test::cutAt(qcp, starts[half] + 3),
         qcpData + badLength("data", q.length, q.pos) + kDecodeHint, decodedOfN(half), half},
        {"QCP cut behind a whole packet", test::cutAt(qcp, starts[half / 2]),
         qcpData + badLength("data", q.length, q.pos) + kDecodeHint, decodedOfN(half / 2), half / 2},
        {"QCP cut behind the 'data' header", test::cutAt(qcp, q.pos + 8),
         qcpData + badLength("data", q.length, q.pos) + kDecodeHint, decodedOfN(0), 0},
        {"QCP cut, 'vrat' counts nothing", test::withLe32At(test::cutAt(qcp, starts[half] + 3), vratCount, 0),
         qcpData + badLength("data", q.length, q.pos) + kDecodeHint,
         "decoded " + std::to_string(half) + " packets (" + packetSeconds(half) + " s); its header gives no usable length",
         half},
        {"QCP RIFF size 0", test::withLe32At(qcp, 4, 0),
         "ERROR: Error locating 'fmt ' RIFF chunk: Unable to find 'fmt ' chunk in QCP file\n" + kDecodeHint, allN, n},
        {"QCP 'data' length 0xFFFFFFFF", test::withLe32At(qcp, q.pos + 4, 0xFFFFFFFF),
         qcpData + badLength("data", 0xFFFFFFFF, q.pos) + kDecodeHint, allN, n},
        {"QCP 'data' length past the end", test::withLe32At(qcp, q.pos + 4, q.length + 1000),
         qcpData + badLength("data", q.length + 1000, q.pos) + kDecodeHint, allN, n},
        {"QCP 'data' length 0 with packets behind it", test::withLe32At(qcp, q.pos + 4, 0),
         qcpData + badLength("data", 0, q.pos) + kDecodeHint, allN, n},
        {"QCP rescue stops at a stray byte", strayInHalf, qcpData + badLength("data", 0xFFFFFFFF, q.pos) + kDecodeHint,
         decodedOfN(half), half},
        {"QCP 'fmt ' length damaged too", test::withLe32At(test::cutAt(qcp, starts[half]), 16, 0xFFFF),
         "ERROR: Error locating 'fmt ' RIFF chunk: " + badLength("fmt ", 0xFFFF, 12), "", 0},
        {"WAV cut inside the middle sample", test::cutAt(wav, w.pos + 8 + w.length / 2 + 1),
         "ERROR: " + badLength("data", w.length, w.pos) + kEncodeHint,
         "encoded " + std::to_string(samples / 2) + " of the " + std::to_string(samples) +
             " samples its header promises (" + sampleSeconds(samples / 2) + " of " + sampleSeconds(samples) + " s)",
         samples / 2},
        {"WAV 'data' length 0xFFFFFFFF", test::withLe32At(wav, w.pos + 4, 0xFFFFFFFF),
         "ERROR: " + badLength("data", 0xFFFFFFFF, w.pos) + kEncodeHint, noLengthSamples, samples},
        {"WAV 'data' length 0 with samples behind it", test::withLe32At(wav, w.pos + 4, 0),
         "ERROR: " + badLength("data", 0, w.pos) + kEncodeHint, noLengthSamples, samples},
        {"WAV RIFF size 0", test::withLe32At(wav, 4, 0), "ERROR: Unable to find 'fmt ' chunk in WAV file\n" + kEncodeHint,
         "encoded all " + std::to_string(samples) + " samples its header promises (" + sampleSeconds(samples) + " s)",
         samples},
    };

    // An RF64 recording cut short: the lengths 'ds64' gives are the promise.
    const Bytes rf64 = test::asRf64(wav);
    const size_t rf64Data = w.pos + 8 + 28;
    cases.push_back({"WAV as RF64 cut inside the middle sample", test::cutAt(rf64, rf64Data + 8 + w.length / 2 + 1),
                     "ERROR: " + badLength("data", w.length, rf64Data) + kEncodeHint,
                     "encoded " + std::to_string(samples / 2) + " of the " + std::to_string(samples) +
                         " samples its header promises (" + sampleSeconds(samples / 2) + " of " +
                         sampleSeconds(samples) + " s)",
                     samples / 2});

    // Files short by a few bytes, where the walk must count the chunk's header.
    const size_t qcpDataEnd = q.pos + 8 + q.length;
    for (size_t shortBy : {1, 2, 5, 8}) {
        const size_t end = qcpDataEnd - shortBy;
        uint32_t whole = 0;
        while (whole < n && (whole + 1 < n ? starts[whole + 1] : qcpDataEnd) <= end) ++whole;
        cases.push_back({"QCP short by " + std::to_string(shortBy) + " bytes", test::cutAt(qcp, end),
                         qcpData + badLength("data", q.length, q.pos) + kDecodeHint, decodedOfN(whole), whole});
        const uint32_t left = (w.length - uint32_t(shortBy)) / 2;
        cases.push_back({"WAV short by " + std::to_string(shortBy) + " bytes", test::cutAt(wav, w.pos + 8 + w.length - shortBy),
                         "ERROR: " + badLength("data", w.length, w.pos) + kEncodeHint,
                         "encoded " + std::to_string(left) + " of the " + std::to_string(samples) +
                             " samples its header promises (" + sampleSeconds(left) + " of " + sampleSeconds(samples) +
                             " s)",
                         left});
    }

    test::TempDir dir;
    // What an intact file of the first `blocks` blocks converts to.
    const auto intactOutput = [&](bool isWav, uint32_t blocks) {
        const std::string in = dir.file("intact.in"), out = dir.file("intact.out");
        const size_t start = isWav ? w.pos : q.pos;
        test::writeFileBytes(in, isWav ? test::withLe32At(test::withLe32At(test::cutAt(wav, start + 8 + blocks * 2), 4, start + blocks * 2),
                                                w.pos + 4, blocks * 2)
                                       : qcp);
        std::remove(out.c_str());  // the other direction's result is no file to replace
        const RunResult run = test::runProgram(VELCONV_PATH, {in, out}, {"", 60s});
        EXPECT_EQ(run.exitStatus, 0) << run.errorOutput;
        const Bytes whole = test::readFileBytes(out);
        // Each QCP packet decodes to 320 bytes of WAV behind its 44-byte header.
        return isWav ? whole : Bytes(whole.begin() + 44, whole.begin() + 44 + blocks * 320);
    };
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.what);
        const bool isWav = c.what.rfind("WAV", 0) == 0;
        const std::string in = dir.file(isWav ? "in.wav" : "in.qcp"), out = dir.file("out");
        test::writeFileBytes(in, c.bytes);
        std::remove(out.c_str());

        const RunResult plain = test::runProgram(VELCONV_PATH, {in, out}, {"", 60s});
        EXPECT_EQ(checkRun(plain), "");
        EXPECT_EQ(plain.errorOutput, c.withoutS);
        EXPECT_EQ(plain.exitStatus, c.withoutS.empty() ? 0 : 255);
        if (c.withoutS.empty()) {
            EXPECT_EQ(findChunk(chunkMap(test::readFileBytes(out)), "data")->length, 0u);
        }

        const RunResult salvaged = test::runProgram(VELCONV_PATH, {"-s", in, out}, {"", 60s});
        EXPECT_EQ(checkRun(salvaged, true), "");
        EXPECT_EQ(checkOutputFile(out), "");
        if (c.warning.empty()) {
            EXPECT_EQ(salvaged.errorOutput, c.withoutS);
            continue;
        }
        EXPECT_EQ(salvaged.exitStatus, 0);
        EXPECT_EQ(salvaged.errorOutput, "WARNING: '" + in + "' is damaged: " + c.warning + "\n");
        const Bytes got = test::readFileBytes(out);
        const size_t dataEnd = 44 + findChunk(chunkMap(got), "data")->length;
        EXPECT_EQ(isWav ? got : Bytes(got.begin() + 44, got.begin() + static_cast<long>(dataEnd)),
                  intactOutput(isWav, c.blocks));
    }
}

}  // namespace
}  // namespace sonx::robustness
