// Speed of the QCELP-13K encoder: encodeFrame at each rate, and whole-file
// encoding of the test speech through the codec object per rate set.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "sonx/qcelp/encoder.h"
#include "sonx/sonx.h"

namespace {

using namespace sonx;

std::vector<int16_t> loadSpeech() {
    std::ifstream in(std::string(SONX_TESTDATA_DIR) + "/speech_8k.wav", std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    for (size_t pos = 12; pos + 8 <= bytes.size();) {
        uint32_t size;
        std::memcpy(&size, bytes.data() + pos + 4, 4);
        if (!std::memcmp(bytes.data() + pos, "data", 4)) {
            std::vector<int16_t> s(std::min<size_t>(size, bytes.size() - pos - 8) / 2);
            std::memcpy(s.data(), bytes.data() + pos + 8, s.size() * 2);
            return s;
        }
        pos += 8 + size + (size & 1);
    }
    throw std::runtime_error("no speech");
}

const std::vector<int16_t>& speech() {
    static const std::vector<int16_t> s = loadSpeech();
    return s;
}

// One frame at a fixed rate: the configuration pins lowest = highest.
void BM_EncodeFrame(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    QcelpConfig config;
    config.lowestRate = config.highestRate = rate;
    QcelpEncoderState encoder;
    initEncoderState(encoder, config);
    QcelpPacket packet;
    float buffer[kEncoderSpeechSamples] = {}, output[kFrameSamples];
    const std::vector<int16_t>& s = speech();
    const size_t frames = s.size() / kFrameSamples;
    size_t f = 0;
    for (auto _ : state) {
        for (int n = 0; n < kFrameSamples; ++n)
            buffer[kEncoderLookAhead + n] = static_cast<float>(s[f * kFrameSamples + n] / 4);
        encodeFrame(buffer, packet, config, encoder, output);
        benchmark::DoNotOptimize(packet.payload);
        std::copy(buffer + kFrameSamples, buffer + kEncoderSpeechSamples, buffer);
        encoder.rate.frameCounter = static_cast<int32_t>(++f);
        if (f == frames) f = 0;
    }
    // Real time of one frame is 20 ms.
    state.counters["xRealTime"] =
        benchmark::Counter(0.020 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodeFrame)->Arg(1)->Arg(2)->Arg(3)->Arg(4);

// The whole test speech through ISonxCodec::Process.
void BM_EncodeFile(benchmark::State& state, const Guid* rateSet) {
    const std::vector<int16_t>& s = speech();
    std::vector<uint8_t> in(s.size() * 2), out(s.size() / kFrameSamples * 35);
    std::memcpy(in.data(), s.data(), in.size());
    ISonxCodec* codec = createInstance<ISonxCodec>(CODEC_QCELP13K);
    for (auto _ : state) {
        codec->SetRateSet(*rateSet, 0);
        uint32_t written = 0;
        benchmark::DoNotOptimize(
            codec->Process(out.data(), in.data(), static_cast<uint32_t>(s.size()), 1, &written));
    }
    codec->Release();
    const double seconds = static_cast<double>(s.size()) / 8000.0;
    state.counters["xRealTime"] =
        benchmark::Counter(seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(BM_EncodeFile, vfr, &RATE_SET_VFR)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncodeFile, vhr, &RATE_SET_VHR)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncodeFile, ffr, &RATE_SET_FFR)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncodeFile, fhr, &RATE_SET_FHR)->Unit(benchmark::kMillisecond);

}  // namespace
