#include "support/fake_codec.h"

#include <cstring>

#include "sonx/fileio/endian.h"

namespace sonx::test {

FakeCodec::FakeCodec() {
    sizes.fill(-1);
    sizes[0] = 0;   // blank
    sizes[1] = 3;   // eighth
    sizes[2] = 7;   // quarter
    sizes[3] = 16;  // half
    sizes[4] = 34;  // full
    sizes[14] = 0;  // erasure
    addRef();
}

void* FakeCodec::QueryInterface(const Guid& iid) {
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

void FakeCodec::GetFormats(AudioFormat* pcm, AudioFormat* coded) {
    pcm->codec = CODEC_PCM;
    pcm->dataFormat = DATA_FORMAT_SAMPLES;
    pcm->packetBytes = 2;
    pcm->blockSamples = 1;
    pcm->sampleRate = 8000;
    pcm->sampleBits = 16;
    coded->codec = CODEC_FAKE;
    coded->dataFormat = RATE_SET_VFR;
    coded->packetBytes = kPacketBytes;
    coded->blockSamples = kBlock;
    coded->sampleRate = 8000;
    coded->sampleBits = 16;
}

uint32_t FakeCodec::Process(uint8_t* out, const uint8_t* in, uint32_t count, uint8_t encode, uint32_t* coded) {
    uint32_t bytes = 0;
    if (encode) {
        const uint32_t blocks = count / kBlock;
        for (uint32_t block = 0; block < blocks; ++block) {
            const uint8_t* samples = in + 2 * kBlock * block;
            const auto sample = [&](uint32_t i) { return static_cast<int16_t>(getLe16(samples + 2 * i)); };
            int32_t sum = 0;
            for (uint32_t i = 0; i < kBlock; ++i) sum += sample(i);
            uint8_t* packet = out + bytes;
            std::memset(packet, 0, kPacketBytes);
            packet[0] = 4;
            putLe16(packet + 1, static_cast<uint16_t>(sample(0)));
            putLe16(packet + 3, static_cast<uint16_t>(sample(kBlock - 1)));
            putLe32(packet + 5, static_cast<uint32_t>(sum));
            putLe32(packet + 9, encoded_++);
            bytes += kPacketBytes;
        }
        if (coded) *coded = bytes;
        return blocks;
    }
    for (uint32_t block = 0; block < count; ++block) {
        int32_t size = PacketSize(in[bytes]);
        while (size < 0) size = PacketSize(in[++bytes]);  // stray bytes
        const uint8_t octet = in[bytes];
        for (uint32_t i = 0; i < kBlock; ++i) putLe16(out + 2 * (kBlock * block + i), octet);
        bytes += 1 + static_cast<uint32_t>(size);
    }
    if (coded) *coded = bytes;
    if (shortDecode) {
        setError("test decoder came up short");
        return count * kBlock - 1;
    }
    return count * kBlock;
}

FakePacket readFakePacket(const uint8_t* packet) {
    return {static_cast<int16_t>(getLe16(packet + 1)), static_cast<int16_t>(getLe16(packet + 3)),
            static_cast<int32_t>(getLe32(packet + 5)), getLe32(packet + 9)};
}

}  // namespace sonx::test
