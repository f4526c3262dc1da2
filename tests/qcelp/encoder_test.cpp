#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "qcelp/encoder_test_util.h"
#include "sonx/qcelp/codebook_search.h"
#include "sonx/qcelp/decode_params.h"
#include "sonx/qcelp/decoder.h"
#include "sonx/qcelp/synthesis.h"
#include "sonx/qcelp/tables.h"

namespace sonx {
namespace {

using test::FrameEncoder;
using test::rateSetConfig;

struct NamedConfig {
    const char* name;
    QcelpConfig config;
};

std::vector<NamedConfig> allConfigs() {
    return {{"vfr", rateSetConfig("vfr")},
            {"vhr", rateSetConfig("vhr")},
            {"ffr", rateSetConfig("ffr")},
            {"fhr", rateSetConfig("fhr")},
            {"vfr mode 3", rateSetConfig("vfr", true)},
            {"vhr mode 3", rateSetConfig("vhr", true)}};
}

template <class T>
bool sameBits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

bool finite(const float* x, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

// Encodes `pcm` frame by frame and decodes every packet as a receiver would.
// Every packet must pass the decoder's checks, and the decoder must rebuild
// exactly the LSPs, pitch parameters, codebook gains and excitation the
// encoder's local decoder used. Returns the rates.
std::vector<int> encodeAndCheck(const std::vector<int16_t>& pcm, const QcelpConfig& config,
                                const std::string& what) {
    FrameEncoder enc(config);
    QcelpDecoderState decoder, shadow;
    initDecoderState(decoder);
    initDecoderState(shadow);
    std::vector<int> rates;
    const size_t frames = pcm.size() / kFrameSamples;
    for (size_t f = 0; f < frames; ++f) {
        enc.encode(pcm.data() + f * kFrameSamples);
        const int rate = enc.packet.rate;
        rates.push_back(rate);
        const std::string where = what + " frame " + std::to_string(f) + " rate " + std::to_string(rate);
        EXPECT_TRUE(rate >= config.lowestRate && rate <= config.highestRate) << where;
        EXPECT_EQ(enc.packet.rateOctet, rate) << where;

        QcelpPacket received;
        received.rateOctet = enc.packet.rateOctet;
        std::memcpy(received.payload, enc.packet.payload, kPayloadBytes);
        float out[kFrameSamples];
        decodeFrame(out, received, config, decoder);
        if (received.rate != rate) {
            ADD_FAILURE() << where << ": the decoder refused the packet";
            return rates;
        }
        const EncodedFrame& used = enc.state.last;
        const QcelpDecoderState& local = enc.state.local;
        EXPECT_TRUE(sameBits(decoder.previousLsp, used.lsp)) << where;
        EXPECT_TRUE(sameBits(decoder.lspMemory, local.lspMemory)) << where;
        EXPECT_TRUE(sameBits(decoder.gainHistory, local.gainHistory)) << where;
        EXPECT_TRUE(sameBits(decoder.gainIndex, local.gainIndex)) << where;
        EXPECT_EQ(decoder.carriedGain, local.carriedGain) << where;
        EXPECT_EQ(std::memcmp(decoder.mainPitch.history(), local.mainPitch.history(),
                              sizeof(float) * kPitchHistory),
                  0)
            << where;

        // Parameter by parameter from the packet's fields.
        const QcelpParams& p = received.params;
        if (rate == kRateEighth) {
            EXPECT_EQ(decodeEighthRateGain(p.cbGain[0], shadow), used.codebook[0].gain) << where;
            EXPECT_EQ(p.seed, used.codebook[0].seed) << where;
        } else if (rate == kRateQuarter) {
            for (int i = 0; i < 5; ++i)
                EXPECT_EQ(decodeCodebookGain(rate, i, p.cbGain[i], 0, shadow), used.codebook[i].gain)
                    << where;
        } else {
            const int perPitch = rate == kRateFull ? 4 : 1;
            for (int s = 0; s < kPitchSubframes; ++s) {
                const PitchParams pitch = decodePitch(p.pitchLag[s], p.pitchFrac[s], p.pitchGain[s]);
                EXPECT_EQ(pitch.lag, used.pitch[s].lag) << where;
                EXPECT_EQ(pitch.fraction, used.pitch[s].fraction) << where;
                EXPECT_EQ(pitch.gain, used.pitch[s].gain) << where;
                for (int j = 0; j < perPitch; ++j) {
                    const int k = s * perPitch + j;
                    EXPECT_EQ(codebookVectorIndex(p.cbIndex[k], p.cbSign[k]), used.codebook[k].index)
                        << where;
                    EXPECT_EQ(decodeCodebookGain(rate, k, p.cbGain[k], p.cbSign[k], shadow),
                              used.codebook[k].gain)
                        << where;
                }
            }
        }
        shadow = decoder;  // the shadow only replays the gain decoding

        EXPECT_TRUE(finite(enc.output, kFrameSamples)) << where;
        EXPECT_TRUE(std::isfinite(enc.state.rate.frameSnr)) << where;
        EXPECT_TRUE(std::isfinite(enc.state.rate.predictionGain)) << where;
        EXPECT_TRUE(decoderStateIsFinite(local)) << where;
        if (rate <= kRateQuarter) {
            EXPECT_EQ(enc.state.rate.frameSnr, 0.0f) << where;
        }
        if (::testing::Test::HasFailure()) return rates;
        enc.advance();
    }
    return rates;
}

TEST(Encoder, DecoderRebuildsWhatTheEncoderUsedOverTheTestSpeech) {
    const std::vector<int16_t> speech = test::testSpeech();
    ASSERT_GT(speech.size(), 100u * kFrameSamples);
    for (const NamedConfig& c : allConfigs()) {
        const std::vector<int> rates = encodeAndCheck(speech, c.config, c.name);
        std::map<int, int> histogram;
        for (int r : rates) ++histogram[r];
        // Speech with pauses uses more than one rate where the rate set allows it.
        if (c.config.lowestRate != c.config.highestRate) {
            EXPECT_GE(histogram.size(), 2u) << c.name;
        }
        if (c.config.rateReductionMode == 3) {
            EXPECT_GT(histogram[2], 0) << c.name;
        }
    }
}

TEST(Encoder, RateRulesVisibleFromOutside) {
    const std::vector<int16_t> speech = test::testSpeech();
    for (const NamedConfig& c : allConfigs()) {
        FrameEncoder enc(c.config);
        int previous = 0;
        for (size_t f = 0; f + 1 < speech.size() / kFrameSamples; ++f) {
            enc.encodeAndAdvance(speech.data() + f * kFrameSamples);
            const int rate = enc.packet.rate;
            // The first frame is full rate, bounded by the rate set (the
            // reduction rules of mode 3 may still lower it).
            if (f == 0 && c.config.rateReductionMode == 0) {
                EXPECT_EQ(rate, c.config.highestRate) << c.name;
            }
            ASSERT_LE(rate, c.config.highestRate) << c.name;
            ASSERT_GE(rate, c.config.lowestRate) << c.name;
            if (c.config.rateReductionMode == 0) {
                ASSERT_NE(rate, kRateQuarter) << c.name << " " << f;
            }
            if (previous == kRateFull) {
                ASSERT_NE(rate, kRateEighth) << c.name << " " << f;
            }
            previous = rate;
        }
    }
}

std::vector<int16_t> generate(const std::string& kind, int frames = 150) {
    std::vector<int16_t> x(static_cast<size_t>(frames) * kFrameSamples, 0);
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> full(-32768, 32767);
    for (size_t n = 0; n < x.size(); ++n) {
        if (kind == "square40") x[n] = (n / 20) % 2 ? 32767 : -32768;
        if (kind == "square17") x[n] = (n % 17) < 8 ? 32767 : -32768;
        if (kind == "square1000") x[n] = (n / 500) % 2 ? 32767 : -32768;
        if (kind == "clicks") x[n] = n % 800 == 333 ? 32767 : 0;
        if (kind == "click") x[n] = n == 4001 ? -32768 : 0;
        if (kind == "dc+") x[n] = 32767;
        if (kind == "dc-") x[n] = -32768;
        if (kind == "dc-small") x[n] = 1000;
        if (kind == "noise") x[n] = static_cast<int16_t>(full(rng));
        // Loud noise that starts in the middle of a frame after silence.
        if (kind == "onset") x[n] = (n % 4000) >= 3000 + 97 ? static_cast<int16_t>(full(rng)) : 0;
        if (kind == "alternating") x[n] = n % 2 ? 32767 : -32768;
    }
    return x;
}

TEST(Encoder, HardSignalsGiveValidPacketsAtEveryRateSet) {
    for (const char* kind : {"silence", "square40", "square17", "square1000", "clicks", "click", "dc+", "dc-",
                             "dc-small", "noise", "onset", "alternating"}) {
        const std::vector<int16_t> x = generate(kind);
        for (const NamedConfig& c : allConfigs())
            encodeAndCheck(x, c.config, std::string(kind) + " " + c.name);
    }
}

// Without care, the onset frame's five quarter-rate gain codes jump by more
// than the decoder's gain check allows, and mode 3 sends such frames at
// quarter rate because noise is unvoiced.
TEST(Encoder, NoiseOnsetInModeThreeIsNotSentAsARefusedQuarterRatePacket) {
    const std::vector<int16_t> x = generate("onset", 300);
    const QcelpConfig config = rateSetConfig("vfr", true);
    FrameEncoder enc(config);
    int refusable = 0, quarter = 0;
    for (size_t f = 0; f < x.size() / kFrameSamples; ++f) {
        enc.encode(x.data() + f * kFrameSamples);
        uint32_t codes[5];
        quarterRateGainCodes(enc.speech, enc.state.rate.predictionGain, codes);
        if (!quarterRateGainCheck(codes)) {
            ++refusable;
            EXPECT_NE(enc.packet.rate, kRateQuarter) << f;
        }
        quarter += enc.packet.rate == kRateQuarter;
        enc.advance();
    }
    EXPECT_GT(refusable, 0);  // the situation does arise
    EXPECT_GT(quarter, 0);    // and quarter rate is still used elsewhere
    encodeAndCheck(x, config, "onset");
}

TEST(Encoder, SilenceSettlesAtTheLowestEighthRateGain) {
    const std::vector<int16_t> x = generate("silence", 200);
    FrameEncoder enc(rateSetConfig("vfr"));
    for (size_t f = 0; f < 200; ++f) enc.encodeAndAdvance(x.data() + f * kFrameSamples);
    EXPECT_EQ(enc.packet.rate, kRateEighth);
    EXPECT_EQ(enc.packet.params.cbGain[0], 0u);
    EXPECT_EQ(enc.state.last.codebook[0].gain, gainTable[0]);
    EXPECT_EQ(enc.state.rate.bandNoise[0], 10.0f);
    EXPECT_EQ(enc.state.rate.bandNoise[1], 5.0f);
    EXPECT_EQ(enc.state.local.carriedGain, 1.0f);  // the ramp has reached its end
}

// The local speech is a by-product: without it the packets are the same.
TEST(Encoder, LocalSynthesisFollowsTheInputSixtySamplesLate) {
    const std::vector<int16_t> speech = test::testSpeech();
    FrameEncoder enc(rateSetConfig("vfr")), plain(rateSetConfig("vfr"));
    std::vector<float> input, synthesized;
    for (size_t f = 0; f < speech.size() / kFrameSamples; ++f) {
        enc.encode(speech.data() + f * kFrameSamples);
        plain.encode(speech.data() + f * kFrameSamples, false);
        ASSERT_EQ(enc.packet.rate, plain.packet.rate) << f;
        ASSERT_EQ(0, std::memcmp(enc.packet.payload, plain.packet.payload, kPayloadBytes)) << f;
        input.insert(input.end(), enc.speech, enc.speech + kFrameSamples);  // the coded, filtered frame
        synthesized.insert(synthesized.end(), enc.output, enc.output + kFrameSamples);
        enc.advance();
        plain.advance();
    }
    double signal = 0, noise = 0;
    for (size_t n = 0; n < input.size(); ++n) {
        signal += input[n] * input[n];
        noise += (input[n] - synthesized[n]) * (input[n] - synthesized[n]);
    }
    EXPECT_GT(10 * std::log10(signal / noise), 8.0);
}

std::vector<uint8_t> packetStream(const std::vector<int16_t>& pcm, const QcelpConfig& config) {
    FrameEncoder enc(config);
    std::vector<uint8_t> bytes;
    for (size_t f = 0; f < pcm.size() / kFrameSamples; ++f) {
        enc.encodeAndAdvance(pcm.data() + f * kFrameSamples);
        bytes.push_back(enc.packet.rateOctet);
        bytes.insert(bytes.end(), enc.packet.payload, enc.packet.payload + kPayloadBytes);
    }
    return bytes;
}

// Encoders share nothing: concurrent streams code exactly as they do alone.
// The encoder's shortcut for a subframe whose weighted synthesis it already
// has: handed the filter's own outputs, it leaves the local decoder's state
// as running the filter does, for subframes shorter than the filter's
// memory too.
TEST(Encoder, WeightedSynthesisGivenLeavesTheStateTheFilterLeaves) {
    const QcelpConfig config = rateSetConfig("vfr");
    LpcBlock block{};
    const float weighted[4] = {0.9f, -0.5f, 0.2f, 0.1f};
    std::copy(weighted, weighted + 4, block.weighted);
    std::copy(weighted, weighted + 4, block.lpc);
    PitchParams pitch;
    pitch.lag = 40;
    pitch.gain = 0.75f;
    for (int length : {4, 7, 10, 20}) {
        QcelpDecoderState viaFilter;
        initDecoderState(viaFilter, 0);
        // A history and filter memory of something.
        CodebookSubframe first;
        first.gain = 900.0f;
        first.index = 5;
        for (int s = 0; s < 4; ++s)
            synthesizeSubframe(kRateFull, viaFilter, block, pitch, &first, nullptr, 40, config, 1, 1);
        QcelpDecoderState given = viaFilter;
        CodebookSubframe record;
        record.gain = -350.0f;
        record.index = 77;
        CodebookSubframe same = record;
        float synthesized[kPitchSubframeSamples];
        synthesizeSubframe(kRateFull, viaFilter, block, pitch, &record, nullptr, length, config, 1, 1, synthesized);
        synthesizeWeightedGiven(kRateFull, given, block, pitch, same, nullptr, length, synthesized);
        EXPECT_TRUE(sameBits(viaFilter.weightedSynthesis, given.weightedSynthesis)) << length;
        EXPECT_TRUE(sameBits(viaFilter.mainPitch, given.mainPitch)) << length;
    }
}

TEST(Encoder, ConcurrentEncodersDoNotInfluenceEachOther) {
    const std::vector<int16_t> speech = test::testSpeech();
    const std::vector<int16_t> harsh = generate("onset", 600);
    const QcelpConfig config = rateSetConfig("vfr", true);
    const std::vector<uint8_t> alone = packetStream(speech, config);
    const std::vector<uint8_t> harshAlone = packetStream(harsh, config);
    std::vector<uint8_t> a, b, c;
    std::thread t1([&] { a = packetStream(speech, config); });
    std::thread t2([&] { b = packetStream(harsh, config); });
    std::thread t3([&] { c = packetStream(speech, config); });
    t1.join();
    t2.join();
    t3.join();
    EXPECT_TRUE(a == alone);
    EXPECT_TRUE(c == alone);
    EXPECT_TRUE(b == harshAlone);
    // And an encoder after another one starts from scratch.
    EXPECT_TRUE(packetStream(speech, config) == alone);
}

}  // namespace
}  // namespace sonx
