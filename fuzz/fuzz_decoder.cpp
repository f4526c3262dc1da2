// Arbitrary bytes as a QCELP-13K packet stream, in every framing the codec
// accepts, through CountPackets and Process in uneven pieces.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sonx/sonx.h"

namespace {

const sonx::Guid* const kRateSets[] = {
    &sonx::RATE_SET_VFR,        &sonx::RATE_SET_VHR,         &sonx::RATE_SET_FFR,
    &sonx::RATE_SET_FHR,        &sonx::RATE_SET_VFR_SLOTTED, &sonx::RATE_SET_VHR_SLOTTED,
    &sonx::DATA_FORMAT_SAMPLES, &sonx::RATE_SET_FHR_BARE,
};

void decodeAll(sonx::ISonxPacketCodec* codec, const uint8_t* data, uint32_t size, uint32_t piece) {
    std::vector<uint8_t> samples;
    uint32_t pos = 0;
    while (pos < size) {
        uint32_t rest = 0;
        const uint32_t n = codec->CountPackets(data + pos, size - pos, &rest, piece);
        if (n == 0) break;
        samples.assign(size_t{n} * 320, 0);
        uint32_t consumed = 0;
        if (codec->Process(samples.data(), data + pos, n, 0, &consumed) != n * 160u) abort();
        if (consumed == 0 || consumed > size - pos - rest) abort();
        for (size_t i = 0; i < samples.size(); i += 2) {
            const int16_t s = static_cast<int16_t>(samples[i] | samples[i + 1] << 8);
            if (s > 32764 || s < -32764) abort();
        }
        pos += consumed;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    // The first byte picks how many packets each Process call gets.
    const uint32_t piece = size ? 1 + data[0] % 7 : 1;
    for (const sonx::Guid* set : kRateSets) {
        auto* codec = sonx::createInstance<sonx::ISonxPacketCodec>(sonx::CODEC_QCELP13K);
        if (!codec) abort();
        if (!codec->SetRateSet(*set, 0)) abort();
        decodeAll(codec, data, static_cast<uint32_t>(size), piece);
        codec->Release();
    }
    return 0;
}
