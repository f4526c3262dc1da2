// velconv encodes the test speech at every rate set and decodes it back;
// prints per rate set the rate histogram, the average bit rate and the
// segmental SNR after aligning the codec delay, against the input and
// against the input through the encoder's input high-pass filter (which
// alone costs about 7 dB of waveform SNR on this speech).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qcelp/encoder_test_util.h"
#include "sonx/codec/rate_sets.h"
#include "support/process.h"
#include "support/riff_image.h"
#include "support/test_support.h"

namespace sonx {
namespace {

struct QcpSummary {
    std::map<int, int> rates;
    uint32_t packets = 0;
    uint32_t payloadBytes = 0;
};

// Walks a QCP file, checking that its sizes agree: RIFF size, 'vrat' packet
// count and 'data' length against the packets in it.
QcpSummary readQcp(const std::vector<uint8_t>& file) {
    QcpSummary s;
    EXPECT_EQ(std::memcmp(file.data(), "RIFF", 4), 0);
    EXPECT_EQ(std::memcmp(file.data() + 8, "QLCM", 4), 0);
    EXPECT_EQ(test::le32At(file, 4) + 8 + (test::le32At(file, 4) & 1), file.size());
    uint32_t vratPackets = 0;
    bool sawData = false;
    for (size_t pos = 12; pos + 8 <= file.size();) {
        const uint32_t size = test::le32At(file, pos + 4);
        if (!std::memcmp(file.data() + pos, "vrat", 4)) vratPackets = test::le32At(file, pos + 12);
        if (!std::memcmp(file.data() + pos, "data", 4)) {
            sawData = true;
            EXPECT_LE(pos + 8 + size, file.size());
            for (size_t p = pos + 8; p < pos + 8 + size;) {
                const int32_t payload = qcelpPayloadBytes(file[p]);
                EXPECT_GE(payload, 0);
                if (payload < 0) break;
                ++s.rates[file[p]];
                ++s.packets;
                s.payloadBytes += static_cast<uint32_t>(payload);
                p += 1 + static_cast<uint32_t>(payload);
                EXPECT_LE(p, pos + 8 + size);
            }
        }
        pos += 8 + size + (size & 1);
    }
    EXPECT_TRUE(sawData);
    EXPECT_EQ(vratPackets, s.packets);
    return s;
}

// Delay of `decoded` behind `reference` by the largest cross-correlation.
int alignDelay(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded) {
    int best = 0;
    double bestValue = -1e300;
    for (int d = 0; d <= 400; ++d) {
        double c = 0;
        for (size_t n = 0; n + d < decoded.size() && n < reference.size(); ++n)
            c += static_cast<double>(reference[n]) * decoded[n + d];
        if (c > bestValue) {
            bestValue = c;
            best = d;
        }
    }
    return best;
}

// Mean of the per-frame SNRs (each bounded to -10..35 dB) over the frames
// whose energy is within 40 dB of the loudest.
double segmentalSnr(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded, int delay) {
    std::vector<double> signal, noise;
    for (size_t start = 0; start + 160 <= reference.size() && start + delay + 160 <= decoded.size();
         start += 160) {
        double s = 0, e = 0;
        for (size_t n = start; n < start + 160; ++n) {
            const double x = reference[n], y = decoded[n + delay];
            s += x * x;
            e += (x - y) * (x - y);
        }
        signal.push_back(s);
        noise.push_back(e);
    }
    const double loudest = *std::max_element(signal.begin(), signal.end());
    double sum = 0;
    int count = 0;
    for (size_t i = 0; i < signal.size(); ++i) {
        if (signal[i] < loudest * 1e-4) continue;
        sum += std::clamp(10 * std::log10((signal[i] + 1) / (noise[i] + 1)), -10.0, 35.0);
        ++count;
    }
    return count ? sum / count : 0;
}

// The encoder's input filter: (1 - 2z^-1 + z^-2) / (1 - 1.88z^-1 + 0.8836z^-2) * 0.94614536.
std::vector<int16_t> highPassed(const std::vector<int16_t>& x) {
    std::vector<int16_t> y(x.size());
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        const double v = x[n] - 2 * x1 + x2 + 1.88 * y1 - 0.8836 * y2;
        x2 = x1;
        x1 = x[n];
        y2 = y1;
        y1 = v;
        y[n] = static_cast<int16_t>(std::clamp(std::lround(v * 0.94614536), -32768L, 32767L));
    }
    return y;
}

TEST(EncoderEndToEnd, EveryTestWavAtEveryRateSet) {
    const std::vector<int16_t> reference = test::readWavSamples(test::testDataPath("speech_8k.wav"));
    const std::vector<int16_t> filtered = highPassed(reference);
    const uint32_t frames = static_cast<uint32_t>((reference.size() + 159) / 160);
    test::TempDir dir;
    struct Minimum {
        const char* rateSet;
        double segSnr, filteredSegSnr;
        int highest;
    } rateSets[] = {{"vfr", 4.5, 7.5, 4}, {"vhr", 3.0, 5.0, 3}, {"ffr", 4.5, 7.5, 4}, {"fhr", 3.0, 5.0, 3}};
    std::printf("%-16s %-4s %-24s %7s %5s %7s %9s\n", "input", "set", "rates 1/8 1/4 1/2 1", "kbit/s",
                "delay", "segSNR", "HP segSNR");
    for (const char* input : {"speech_8k.wav", "speech_16k.wav", "speech_8k_u8.wav", "speech_8k_mulaw.wav"}) {
        for (const Minimum& m : rateSets) {
            const std::string qcp = dir.file(std::string(m.rateSet) + ".qcp");
            const std::string wav = dir.file(std::string(m.rateSet) + ".wav");
            test::RunResult r = test::runVelconv({"-r", m.rateSet, test::testDataPath(input), qcp});
            ASSERT_EQ(r.exitStatus, 0) << input << " " << m.rateSet << ": " << r.errorOutput;
            r = test::runVelconv({qcp, wav});
            ASSERT_EQ(r.exitStatus, 0) << r.errorOutput;

            const QcpSummary s = readQcp(test::readFileBytes(qcp));
            const std::vector<int16_t> decoded = test::readWavSamples(wav);
            EXPECT_EQ(decoded.size(), s.packets * 160u);
            EXPECT_EQ(s.packets, frames);  // the last frame completed with zeros
            for (const auto& [rate, count] : s.rates) EXPECT_LE(rate, m.highest) << count;
            const double kbps = s.payloadBytes * 8.0 / (s.packets * 0.02) / 1000.0;
            const int delay = alignDelay(reference, decoded);
            const double snr = segmentalSnr(reference, decoded, delay);
            const double filteredSnr = segmentalSnr(filtered, decoded, delay);
            char rates[64];
            std::snprintf(rates, sizeof rates, "%5d %5d %5d %5d", s.rates.count(1) ? s.rates.at(1) : 0,
                          s.rates.count(2) ? s.rates.at(2) : 0, s.rates.count(3) ? s.rates.at(3) : 0,
                          s.rates.count(4) ? s.rates.at(4) : 0);
            std::printf("%-16s %-4s %-24s %7.2f %5d %7.2f %9.2f\n", input, m.rateSet, rates, kbps, delay, snr,
                        filteredSnr);
            EXPECT_GE(snr, m.segSnr) << input << " " << m.rateSet;
            EXPECT_GE(filteredSnr, m.filteredSegSnr) << input << " " << m.rateSet;
            if (std::string(input) == "speech_8k.wav") {
                EXPECT_EQ(delay, 60);  // the encoder's look-ahead
            }
        }
    }
}

}  // namespace
}  // namespace sonx
