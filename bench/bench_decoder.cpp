// Decoding speed: decodeFrame per rate, a mixed-rate stream through the
// codec object, and a QCP file converted to WAV by SonxFile. The
// "realtime" counter is seconds of speech decoded per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sonx/qcelp/decoder.h"
#include "sonx/qcelp/packet_layout.h"
#include "sonx/sonx.h"

namespace {

using namespace sonx;

constexpr double kFrameSeconds = 0.02;

// Packs parameters with the shared bit tables.
std::vector<uint8_t> pack(int rate, QcelpParams params) {
    std::vector<uint8_t> payload(kPayloadBytes, 0);
    const PacketBitTable table = packetBitTable(rate);
    for (int i = 0; i < table.count; ++i) {
        const PacketBit& e = table.bits[i];
        const uint32_t* slot = paramSlot(params, e.kind, e.slot);
        if (slot && ((*slot >> e.bit) & 1u)) payload[i >> 3] |= static_cast<uint8_t>(0x80u >> (i & 7));
    }
    return payload;
}

QcelpParams speechParams(int rate, std::mt19937& rng) {
    QcelpParams p{};
    if (rate == 1) {
        for (int i = 0; i < 10; ++i) p.lsp[i] = rng() & 1;
        p.cbGain[0] = rng() & 3;
        return p;
    }
    const uint32_t lsp[5] = {3, 5, 6, 1, 48};  // passes the plausibility checks
    for (int i = 0; i < 5; ++i) p.lsp[i] = lsp[i];
    for (int s = 0; s < 4; ++s) {
        p.pitchLag[s] = 20 + rng() % 80;
        p.pitchFrac[s] = rng() & 1;
        p.pitchGain[s] = rng() % 4;
    }
    for (int k = 0; k < 16; ++k) {
        p.cbIndex[k] = rng() % 128;
        p.cbSign[k] = rng() & 1;
        p.cbGain[k] = rate == 2 ? 6 + rng() % 3 : (rate == 4 && k % 4 == 3) ? rng() % 8 : 4 + rng() % 8;
    }
    return p;
}

void BM_DecodeFrame(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    std::mt19937 rng(1);
    std::vector<QcelpPacket> packets(64);
    for (QcelpPacket& p : packets) {
        p.rateOctet = static_cast<uint8_t>(rate);
        if (rate >= 1 && rate <= 4) {
            const std::vector<uint8_t> payload = pack(rate, speechParams(rate, rng));
            std::memcpy(p.payload, payload.data(), kPayloadBytes);
        }
    }
    QcelpConfig config;
    QcelpDecoderState decoder;
    initDecoderState(decoder);
    float out[kFrameSamples];
    size_t i = 0;
    for (auto _ : state) {
        decodeFrame(out, packets[i++ & 63], config, decoder);
        benchmark::DoNotOptimize(out);
    }
    state.counters["realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrameSeconds,
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeFrame)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Arg(4)->Arg(14);

// One minute of variable-rate packets, mostly full rate as in speech.
std::vector<uint8_t> mixedStream(uint32_t frames) {
    std::mt19937 rng(7);
    static const int kSizes[5] = {0, 3, 7, 16, 34};
    std::vector<uint8_t> stream;
    for (uint32_t f = 0; f < frames; ++f) {
        const uint32_t pick = rng() % 20;
        const int rate = pick < 12 ? 4 : pick < 15 ? 3 : pick < 16 ? 2 : pick < 19 ? 1 : 14;
        stream.push_back(static_cast<uint8_t>(rate));
        if (rate <= 4) {
            const std::vector<uint8_t> payload = pack(rate, speechParams(rate, rng));
            stream.insert(stream.end(), payload.begin(), payload.begin() + kSizes[rate]);
        }
    }
    return stream;
}

constexpr uint32_t kMinuteFrames = 3000;

void BM_DecodeStream(benchmark::State& state) {
    const std::vector<uint8_t> stream = mixedStream(kMinuteFrames);
    std::vector<uint8_t> pcm(size_t{kMinuteFrames} * 320);
    auto* codec = createInstance<ISonxPacketCodec>(CODEC_QCELP13K);
    for (auto _ : state) {
        codec->SetRateSet(RATE_SET_VFR, 0);
        codec->Process(pcm.data(), stream.data(), kMinuteFrames, 0, nullptr);
        benchmark::DoNotOptimize(pcm.data());
    }
    codec->Release();
    state.counters["realtime"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kMinuteFrames * kFrameSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeStream)->Unit(benchmark::kMillisecond);

void putLe32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void addChunk(std::vector<uint8_t>& file, const char* id, const std::vector<uint8_t>& data) {
    file.insert(file.end(), id, id + 4);
    putLe32(file, static_cast<uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
    if (data.size() & 1) file.push_back(0);
}

// The whole file path: QCP parsing, packet pump, decoder and WAV writing.
void BM_DecodeQcpFile(benchmark::State& state) {
    const std::vector<uint8_t> stream = mixedStream(kMinuteFrames);
    std::vector<uint8_t> fmt(150, 0), vrat, body = {'Q', 'L', 'C', 'M'}, file = {'R', 'I', 'F', 'F'};
    fmt[0] = 1;
    std::memcpy(fmt.data() + 2, CODEC_QCELP13K.bytes, 16);
    putLe32(vrat, 1);
    putLe32(vrat, kMinuteFrames);
    addChunk(body, "fmt ", fmt);
    addChunk(body, "vrat", vrat);
    addChunk(body, "data", stream);
    putLe32(file, static_cast<uint32_t>(body.size()));
    file.insert(file.end(), body.begin(), body.end());

    char dir[] = "/tmp/bench_decoder_XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string in = std::string(dir) + "/in.qcp", out = std::string(dir) + "/out.wav";
    if (FILE* f = std::fopen(in.c_str(), "wb")) {
        std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
    }
    FileHandle input = FileHandle::named(in.c_str()), output = FileHandle::named(out.c_str());
    for (auto _ : state) {
        auto* job = createInstance<ISonxConvertFile>(CLSID_SonxFile);
        if (!job) {
            state.SkipWithError("SonxFile is not available");
            break;
        }
        AudioFormat inFormat, outFormat;
        inFormat.fileType = FILE_TYPE_QCP;
        outFormat.fileType = FILE_TYPE_WAV;
        outFormat.codec = CODEC_PCM;
        outFormat.sampleRate = 8000;
        outFormat.sampleBits = 16;
        const bool ok = job->convert(&input, &inFormat, &output, &outFormat, nullptr, 0);
        job->Release();
        if (!ok) {
            state.SkipWithError("conversion failed");
            break;
        }
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
    std::remove(dir);
    state.counters["realtime"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kMinuteFrames * kFrameSeconds, benchmark::Counter::kIsRate);
}
// The conversion runs on its own thread: wall time is the measure.
BENCHMARK(BM_DecodeQcpFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
