#include "sonx/fileio/sample_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

namespace sonx {
namespace {

std::vector<uint8_t> tone16(uint32_t rate, uint32_t count, double freq, double amplitude) {
    std::vector<uint8_t> out(count * 2);
    for (uint32_t i = 0; i < count; ++i) {
        const auto v = static_cast<int16_t>(std::lrint(amplitude * std::sin(2 * M_PI * freq * i / rate)));
        out[2 * i] = static_cast<uint8_t>(v & 0xff);
        out[2 * i + 1] = static_cast<uint8_t>((static_cast<uint16_t>(v) >> 8) & 0xff);
    }
    return out;
}

std::vector<double> samples16(const std::vector<uint8_t>& bytes, size_t count) {
    std::vector<double> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    return out;
}

double rms(const std::vector<double>& s, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += s[i] * s[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

// Amplitude of one frequency by correlation (single-bin DFT).
double amplitudeAt(const std::vector<double>& s, size_t from, size_t to, double freq, double rate) {
    double re = 0, im = 0;
    for (size_t i = from; i < to; ++i) {
        re += s[i] * std::cos(2 * M_PI * freq * i / rate);
        im += s[i] * std::sin(2 * M_PI * freq * i / rate);
    }
    return 2 * std::hypot(re, im) / static_cast<double>(to - from);
}

// Converts `count` samples as one complete stream.
uint32_t convertSamples(uint32_t destRate, uint32_t sourceBits, uint8_t* dest, const uint8_t* source,
                        uint32_t count, uint32_t destBits, uint32_t sourceRate, uint32_t destCapacity) {
    SampleConverter converter;
    return converter.convert(source, count, {sourceRate, sourceBits}, StreamEnd::Ends, dest, destCapacity,
                             {destRate, destBits});
}

TEST(ConvertSamples, ZeroCountTouchesNothing) {
    // Even formats the converter refuses are not looked at for an empty chunk.
    EXPECT_EQ(convertSamples(0, 12, nullptr, nullptr, 0, 3, 0, 0), 0u);
}

TEST(ConvertSamples, WidthOnlyKeepsCountAndMapsUnsignedOffset) {
    const std::vector<uint8_t> in8 = {0, 64, 128, 192, 255};
    std::vector<uint8_t> out16(10);
    ASSERT_EQ(convertSamples(8000, 8, out16.data(), in8.data(), 5, 16, 8000, 5), 5u);
    const auto s = samples16(out16, 5);
    EXPECT_EQ(s[0], -32768);
    EXPECT_EQ(s[1], -16384);
    EXPECT_EQ(s[2], 0);
    EXPECT_EQ(s[3], 16384);
    EXPECT_EQ(s[4], 127 * 256);

    // 16 -> 8 halves the bytes, keeps the count, rounds and clips at the top.
    const std::vector<uint8_t> in16 = {0x00, 0x80, 0x00, 0x00, 0x7f, 0x00, 0x80, 0x00, 0xff, 0x7f};
    std::vector<uint8_t> out8(5, 0xAA);
    ASSERT_EQ(convertSamples(8000, 16, out8.data(), in16.data(), 5, 8, 8000, 5), 5u);
    EXPECT_EQ(out8, (std::vector<uint8_t>{0, 128, 128, 129, 255}));
}

TEST(ConvertSamples, AWholeStreamBecomesItsProportionRoundedToTheNearestSample) {
    struct Case {
        uint32_t from, to, count, expected;
    } cases[] = {{16000, 8000, 32000, 16000}, {8000, 16000, 16000, 32000}, {44100, 8000, 88200, 16000},
                 {11025, 8000, 1000, 726},    {8000, 11025, 999, 1377},    {16000, 8000, 16001, 8001},
                 {16000, 8000, 1, 1},         {8000, 44100, 1, 6},         {48000, 44100, 13840, 12715}};
    for (const Case& c : cases) {
        std::vector<uint8_t> in(c.count * 2, 0);
        std::vector<uint8_t> out(c.expected * 2 + 2);
        EXPECT_EQ(convertSamples(c.to, 16, out.data(), in.data(), c.count, 16, c.from, c.expected + 1),
                  c.expected)
            << c.from << " -> " << c.to << " of " << c.count;
        EXPECT_EQ(convertedSampleCount(c.count, c.from, c.to), c.expected);
    }
}

TEST(ConvertSamples, DownsampledToneKeepsFrequencyAndLevel) {
    const uint32_t n = 32000;  // two seconds at 16 kHz
    const auto in = tone16(16000, n, 1000.0, 10000.0);
    std::vector<uint8_t> out(n);
    ASSERT_EQ(convertSamples(8000, 16, out.data(), in.data(), n, 16, 16000, n / 2), n / 2);
    const auto s = samples16(out, n / 2);
    // Away from the chunk edges the level matches within 0.5 dB.
    const double a = amplitudeAt(s, 400, 15600, 1000.0, 8000.0);
    EXPECT_LT(std::fabs(20 * std::log10(a / 10000.0)), 0.5);
    // And the energy is at 1 kHz, not somewhere else.
    EXPECT_NEAR(rms(s, 400, 15600), a / std::sqrt(2.0), a * 0.02);
}

TEST(ConvertSamples, ContentAboveTheNewNyquistIsRemoved) {
    const uint32_t n = 16000;
    const auto in = tone16(16000, n, 6000.0, 10000.0);  // above 4 kHz
    std::vector<uint8_t> out(n);
    ASSERT_EQ(convertSamples(8000, 16, out.data(), in.data(), n, 16, 16000, n), n / 2);
    const auto s = samples16(out, n / 2);
    EXPECT_LT(rms(s, 200, 7800), 10000.0 * 0.01);  // at least 40 dB down
}

TEST(ConvertSamples, RateAndWidthTogether) {
    // 8-bit 11025 Hz tone to 16-bit 8000 Hz.
    const uint32_t n = 11025;
    std::vector<uint8_t> in(n);
    for (uint32_t i = 0; i < n; ++i)
        in[i] = static_cast<uint8_t>(128 + std::lrint(100 * std::sin(2 * M_PI * 500.0 * i / 11025.0)));
    std::vector<uint8_t> out(2 * 8000);
    ASSERT_EQ(convertSamples(8000, 8, out.data(), in.data(), n, 16, 11025, 8000), 8000u);
    const double a = amplitudeAt(samples16(out, 8000), 200, 7800, 500.0, 8000.0);
    EXPECT_LT(std::fabs(20 * std::log10(a / (100.0 * 256))), 0.5);
}

TEST(ConvertSamples, RefusedFormatsAndTooSmallDestinationFailWithTheirMessages) {
    std::vector<uint8_t> in(200), out(400);
    const auto message = [&](uint32_t dRate, uint32_t sBits, uint32_t dBits, uint32_t sRate, uint32_t cap) {
        try {
            convertSamples(dRate, sBits, out.data(), in.data(), 100, dBits, sRate, cap);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    const std::string open = "unable to open audio conversion stream - acmStreamOpen failed!";
    EXPECT_EQ(message(8000, 16, 16, 0, 200), open);
    EXPECT_EQ(message(0, 16, 16, 8000, 200), open);
    EXPECT_EQ(message(8000, 12, 16, 16000, 200), open);
    EXPECT_EQ(message(8000, 16, 24, 16000, 200), open);
    EXPECT_EQ(message(8000, 16, 16, kMaxSampleRate + 1, 200), open);
    EXPECT_EQ(message(8000, 16, 8, 8000, 99),
              "unable to query for recommended output buffer size - acmStreamSize failed!");
    EXPECT_EQ(message(8000, 16, 8, 8000, 100), "no error");
}

}  // namespace
}  // namespace sonx
