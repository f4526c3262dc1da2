// Test helpers for the encoder: the test speech as samples, and a frame
// encoder that frames 16-bit PCM the way the codec object does.
#ifndef SONX_TESTS_QCELP_ENCODER_TEST_UTIL_H
#define SONX_TESTS_QCELP_ENCODER_TEST_UTIL_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "sonx/qcelp/encoder.h"
#include "support/riff_image.h"

namespace sonx::test {

inline std::vector<int16_t> readWavSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return wavSamples(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
}

inline std::vector<int16_t> testSpeech() {
    return readWavSamples(std::string(SONX_TESTDATA_DIR) + "/speech_8k.wav");
}

// Configuration of a rate set as the codec object derives it.
inline QcelpConfig rateSetConfig(const std::string& token, bool secondForm = false) {
    QcelpConfig c;
    if (token == "vfr" || token == "ffr") {
        c.lowestRate = token == "vfr" ? 1 : 4;
        c.highestRate = 4;
        c.targetRateKbps = 14.4f;
    } else {
        c.lowestRate = token == "vhr" ? 1 : 3;
        c.highestRate = 3;
        c.targetRateKbps = 7.2f;
    }
    if (secondForm) {
        c.rateReductionMode = 3;
        c.targetRateKbps = 9.0f;
    }
    return c;
}

struct FrameEncoder {
    QcelpConfig config;
    QcelpEncoderState state;
    float speech[kEncoderSpeechSamples] = {};
    QcelpPacket packet;
    float output[kFrameSamples] = {};
    int32_t frames = 0;

    explicit FrameEncoder(const QcelpConfig& c) : config(c) { initEncoderState(state, config); }

    // Codes one frame; on return speech[0..159] is the coded frame and,
    // when asked for, output the local decoder's speech.
    void encode(const int16_t* pcm, bool synthesize = true) {
        for (int n = 0; n < kFrameSamples; ++n)
            speech[kEncoderLookAhead + n] = static_cast<float>(pcm[n] / 4);
        encodeFrame(speech, packet, config, state, synthesize ? output : nullptr);
    }
    // Ready for the next frame.
    void advance() {
        std::copy(speech + kFrameSamples, speech + kEncoderSpeechSamples, speech);
        state.rate.frameCounter = ++frames;
    }
    void encodeAndAdvance(const int16_t* pcm) {
        encode(pcm);
        advance();
    }
};

}  // namespace sonx::test

#endif  // SONX_TESTS_QCELP_ENCODER_TEST_UTIL_H
