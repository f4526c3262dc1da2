#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qcelp/qcelp_test_util.h"
#include "sonx/sonx.h"
#include "support/process.h"
#include "support/riff_image.h"
#include "support/test_support.h"

namespace sonx {
namespace {

using test::buildPayload;
using test::streamPacket;

std::vector<uint8_t> qcpFile(const std::vector<uint8_t>& packets, uint32_t packetCount) {
    test::QcpFmtSpec fmt;
    fmt.major = 1;
    fmt.codec = CODEC_QCELP13K;
    return test::riff("QLCM", {{"fmt ", test::qcpFmt(fmt)}, {"vrat", test::vrat(1, packetCount)}, {"data", packets}});
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
    const std::vector<int16_t> samples = test::wavSamples(wav);
    ASSERT_EQ(samples.size(), size_t{count} * 160);
    int peak = 0;
    for (int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    EXPECT_LE(peak, 32764);
    EXPECT_GT(peak, 1000) << "speech should be audible";
}

}  // namespace
}  // namespace sonx
