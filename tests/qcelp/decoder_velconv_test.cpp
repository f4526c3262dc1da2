#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qcelp/qcelp_test_util.h"
#include "sonx/sonx.h"
#include "support/test_support.h"

namespace sonx {
namespace {

using test::buildPayload;
using test::streamPacket;

void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void chunk(std::vector<uint8_t>& file, const char* id, const std::vector<uint8_t>& data) {
    file.insert(file.end(), id, id + 4);
    put32(file, static_cast<uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
    if (data.size() & 1) file.push_back(0);
}

std::vector<uint8_t> qcpFile(const std::vector<uint8_t>& packets, uint32_t packetCount) {
    std::vector<uint8_t> fmt(150, 0);
    fmt[0] = 1;
    std::memcpy(fmt.data() + 2, CODEC_QCELP13K.bytes, 16);
    std::vector<uint8_t> vrat;
    put32(vrat, 1);
    put32(vrat, packetCount);
    std::vector<uint8_t> body = {'Q', 'L', 'C', 'M'};
    chunk(body, "fmt ", fmt);
    chunk(body, "vrat", vrat);
    chunk(body, "data", packets);
    std::vector<uint8_t> file = {'R', 'I', 'F', 'F'};
    put32(file, static_cast<uint32_t>(body.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// The 'data' chunk of a WAV file as 16-bit samples.
std::vector<int16_t> wavSamples(const std::vector<uint8_t>& wav) {
    size_t pos = 12;
    while (pos + 8 <= wav.size()) {
        uint32_t len = 0;
        std::memcpy(&len, wav.data() + pos + 4, 4);
        if (std::memcmp(wav.data() + pos, "data", 4) == 0) {
            std::vector<int16_t> s(len / 2);
            std::memcpy(s.data(), wav.data() + pos + 8, s.size() * 2);
            return s;
        }
        pos += 8 + len + (len & 1);
    }
    ADD_FAILURE() << "no data chunk";
    return {};
}

// Speech, erasures, noise and a stray byte through the command-line program.
TEST(DecoderEndToEnd, QcpPacketsBecomeA16BitWav) {
    std::vector<uint8_t> stream;
    uint32_t count = 0;
    auto add = [&](int rate, const QcelpParams& p) {
        const std::vector<uint8_t> packet = streamPacket(rate, buildPayload(rate, p));
        stream.insert(stream.end(), packet.begin(), packet.end());
        ++count;
    };
    QcelpParams loud = test::voicedFullRate();
    for (auto& g : loud.pitchGain) g = 7;  // pitch gain 2.0 drives the output to the clip limits
    for (int i = 0; i < 25; ++i) add(4, i < 15 ? test::voicedFullRate() : loud);
    for (int i = 0; i < 5; ++i) add(14, {});
    stream.push_back(0x07);  // not a rate octet: skipped
    QcelpParams quarter = test::plausibleLspCodes();
    for (int i = 0; i < 5; ++i) quarter.cbGain[i] = 8;
    add(2, quarter);
    for (int i = 0; i < 12; ++i) {
        QcelpParams eighth{};
        eighth.cbGain[0] = i % 4;
        eighth.lsp[i % 10] = 1;
        add(1, eighth);
    }
    add(0, {});

    test::TempDir dir;
    const std::string in = dir.file("speech.qcp");
    const std::string out = dir.file("speech.wav");
    test::writeFileBytes(in, qcpFile(stream, count));
    const test::RunResult run = test::runVelconv({in, out});
    ASSERT_EQ(run.exitStatus, 0) << run.errorOutput;

    const std::vector<uint8_t> wav = test::readFileBytes(out);
    ASSERT_GE(wav.size(), 12u);
    EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 12), "WAVE");
    const std::vector<int16_t> samples = wavSamples(wav);
    ASSERT_EQ(samples.size(), size_t{count} * 160);
    int peak = 0;
    for (int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    EXPECT_LE(peak, 32764);
    EXPECT_GT(peak, 1000) << "speech should be audible";
}

}  // namespace
}  // namespace sonx
