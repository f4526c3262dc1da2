// A codec for tests only: 160-sample blocks coded into packets framed by a
// rate octet with QCELP-13K's payload sizes. A packet records what it was
// made from (first and last sample, sum, block number), so tests can see
// exactly which samples reached the encoder. Decoding yields 160 samples
// equal to the packet's rate octet.
#ifndef SONX_TESTS_CONVERT_TEST_CODEC_H
#define SONX_TESTS_CONVERT_TEST_CODEC_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "sonx/component/component.h"
#include "sonx/sonx.h"

namespace sonx::test {

inline constexpr Guid CODEC_TEST = Guid::of("{7E57C0DE-0000-4000-8000-000000000160}");

class TestCodec final : public ISonxCodec, public ISonxError {
public:
    static constexpr uint32_t kBlock = 160;

    int32_t AddRef() override { return ++refs_; }
    int32_t Release() override {
        const int32_t n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    void* QueryInterface(const Guid& iid) override {
        if (iid == IID_ISonxCodec || iid == IID_ISonxUnknown) {
            AddRef();
            return static_cast<ISonxCodec*>(this);
        }
        if (iid == IID_ISonxError) {
            AddRef();
            return static_cast<ISonxError*>(this);
        }
        return nullptr;
    }
    uint8_t hasError() override { return error_.empty() ? 0 : 1; }
    const char* errorText() override { return error_.c_str(); }
    int32_t errorCode() override { return error_.empty() ? SONX_OK : SONX_ERR_FAILED; }

    uint8_t SetRateSet(const Guid&, int32_t) override { return 1; }
    void GetFormats(AudioFormat* pcm, AudioFormat* coded) override {
        pcm->codec = CODEC_PCM;
        pcm->dataFormat = DATA_FORMAT_SAMPLES;
        pcm->packetBytes = 2;
        pcm->blockSamples = 1;
        pcm->sampleRate = 8000;
        pcm->sampleBits = 16;
        coded->codec = CODEC_TEST;
        coded->dataFormat = RATE_SET_VFR;
        coded->packetBytes = 35;
        coded->blockSamples = kBlock;
        coded->sampleRate = 8000;
        coded->sampleBits = 16;
    }
    int32_t PacketSize(uint8_t octet) override {
        switch (octet) {
            case 0:
            case 14:
                return 0;
            case 1:
                return 3;
            case 2:
                return 7;
            case 3:
                return 16;
            case 4:
                return 34;
        }
        return -1;
    }
    const char* Name() override { return "Test codec"; }
    uint16_t Version() override { return 1; }
    uint32_t AverageBitRate() override { return 14000; }

    uint32_t Process(uint8_t* out, const uint8_t* in, uint32_t count, uint8_t encode,
                     uint32_t* coded) override {
        uint32_t bytes = 0;
        if (encode) {
            const uint32_t blocks = count / kBlock;
            for (uint32_t b = 0; b < blocks; ++b) {
                const uint8_t* s = in + 2 * kBlock * b;
                auto sample = [&](uint32_t i) {
                    return static_cast<int16_t>(static_cast<uint16_t>(s[2 * i] | (s[2 * i + 1] << 8)));
                };
                int32_t sum = 0;
                for (uint32_t i = 0; i < kBlock; ++i) sum += sample(i);
                uint8_t* p = out + bytes;
                std::memset(p, 0, 35);
                p[0] = 4;
                put(p + 1, static_cast<uint16_t>(sample(0)), 2);
                put(p + 3, static_cast<uint16_t>(sample(kBlock - 1)), 2);
                put(p + 5, static_cast<uint32_t>(sum), 4);
                put(p + 9, encoded_++, 4);
                bytes += 35;
            }
            if (coded) *coded = bytes;
            return blocks;
        }
        for (uint32_t b = 0; b < count; ++b) {
            int32_t size = PacketSize(in[bytes]);
            while (size < 0) size = PacketSize(in[++bytes]);  // stray bytes
            const uint8_t octet = in[bytes];
            for (uint32_t i = 0; i < kBlock; ++i) put(out + 2 * (kBlock * b + i), octet, 2);
            bytes += 1 + static_cast<uint32_t>(size);
        }
        if (coded) *coded = bytes;
        if (shortDecode) {
            error_ = "test decoder came up short";
            return count * kBlock - 1;
        }
        return count * kBlock;
    }

    bool shortDecode = false;

private:
    ~TestCodec() = default;
    static void put(uint8_t* p, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    std::atomic<int32_t> refs_{1};
    uint32_t encoded_ = 0;
    std::string error_;
};

// A test packet's record of the samples it was made from.
struct TestPacket {
    int16_t first, last;
    int32_t sum;
    uint32_t index;
};

inline TestPacket readTestPacket(const uint8_t* p) {
    auto get = [&](int at, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>(p[at + i]) << (8 * i);
        return v;
    };
    return {static_cast<int16_t>(get(1, 2)), static_cast<int16_t>(get(3, 2)), static_cast<int32_t>(get(5, 4)),
            get(9, 4)};
}

}  // namespace sonx::test

#endif  // SONX_TESTS_CONVERT_TEST_CODEC_H
