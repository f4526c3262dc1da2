// A codec for tests only. It frames 160-sample blocks as packets of a rate
// octet and the payload sizes in `sizes` (QCELP-13K's unless a test changes
// them). An encoded packet is full rate and records what it was made from
// (first and last sample, sum, block number), so tests see exactly which
// samples reached the encoder; a decoded block is 160 samples equal to its
// packet's rate octet. Name, version and bit rate are the test's to choose.
#ifndef SONX_TESTS_SUPPORT_FAKE_CODEC_H
#define SONX_TESTS_SUPPORT_FAKE_CODEC_H

#include <array>
#include <cstdint>
#include <string>

#include "sonx/component/component.h"
#include "sonx/sonx.h"

namespace sonx::test {

inline constexpr Guid CODEC_FAKE = Guid::of("{7E57C0DE-0000-4000-8000-000000000160}");

class FakeCodec final : public ISonxCodec, public ISonxError, public ComponentBase {
public:
    static constexpr uint32_t kBlock = 160;
    static constexpr uint32_t kPacketBytes = 35;

    // Made holding one reference, as createInstance gives an object.
    FakeCodec();

    int32_t AddRef() override { return addRef(); }
    int32_t Release() override { return release(); }
    void* QueryInterface(const Guid& iid) override;
    uint8_t hasError() override { return errorSet(); }
    const char* errorText() override { return errorCString(); }
    int32_t errorCode() override { return errorStatus(); }

    uint8_t SetRateSet(const Guid&, int32_t) override { return 1; }
    void GetFormats(AudioFormat* pcm, AudioFormat* coded) override;
    int32_t PacketSize(uint8_t octet) override { return sizes[octet]; }
    const char* Name() override { return name.c_str(); }
    uint16_t Version() override { return version; }
    uint32_t AverageBitRate() override { return bitRate; }
    uint32_t Process(uint8_t* out, const uint8_t* in, uint32_t count, uint8_t encode, uint32_t* coded) override;

    std::array<int32_t, 256> sizes;  // payload bytes by rate octet; -1: no rate
    std::string name = "Test codec";
    uint16_t version = 1;
    uint32_t bitRate = 14000;
    bool shortDecode = false;  // a decode gives one sample less, with an error

private:
    uint32_t encoded_ = 0;
};

// A fake packet's record of the samples it was made from.
struct FakePacket {
    int16_t first, last;
    int32_t sum;
    uint32_t index;
};

FakePacket readFakePacket(const uint8_t* packet);

}  // namespace sonx::test

#endif  // SONX_TESTS_SUPPORT_FAKE_CODEC_H
