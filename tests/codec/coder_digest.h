// Digests of what the QCELP-13K codec makes of fixed inputs, through its
// public interface only, so that a build of any commit can compute them.
#pragma once

#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

#include "sonx/sonx.h"

namespace sonx::test {

inline uint64_t fnv1a(const uint8_t* bytes, std::size_t length, uint64_t hash = 14695981039346656037ull) {
    for (std::size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

// A variable-rate stream of `frames` packets from `seed`: every rate,
// blanks and erasures, payloads random or all ones, and runs of eighth
// rate as silence makes them.
inline std::vector<uint8_t> randomQcelpStream(uint32_t seed, int frames) {
    static const uint8_t kRates[] = {0, 1, 2, 3, 4, 4, 4, 14};
    static const int kPayload[] = {0, 3, 7, 16, 34};
    std::mt19937 random(seed);
    std::vector<uint8_t> stream;
    for (int frame = 0; frame < frames;) {
        const uint8_t rate = kRates[random() % std::size(kRates)];
        const int run = rate == 1 ? 1 + int(random() % 30) : 1;
        const bool ones = random() % 8 == 0;
        for (int k = 0; k < run && frame < frames; ++k, ++frame) {
            stream.push_back(rate);
            for (int b = 0; b < (rate <= 4 ? kPayload[rate] : 0); ++b)
                stream.push_back(ones ? 0xFF : static_cast<uint8_t>(random()));
        }
    }
    return stream;
}

// The digest of a coder's whole output: `encode` 16-bit samples into
// packets in `rateSet`, or decode a variable-rate stream into samples.
inline uint64_t codedDigest(const std::vector<uint8_t>& input, bool encode, const Guid& rateSet) {
    ISonxPacketCodec* codec = createInstance<ISonxPacketCodec>(CODEC_QCELP13K);
    if (!codec) return 0;
    uint64_t hash = fnv1a(nullptr, 0);
    if (codec->SetRateSet(rateSet, 0)) {
        uint32_t rest = 0, used = 0;
        const uint32_t count = encode ? static_cast<uint32_t>(input.size() / 320 * 160)
                                      : codec->CountPackets(input.data(), static_cast<uint32_t>(input.size()), &rest, 0);
        std::vector<uint8_t> out(encode ? count / 160 * 35 : std::size_t(count) * 320);
        const uint32_t made = codec->Process(out.data(), input.data(), count, encode ? 1 : 0, &used);
        hash = fnv1a(out.data(), encode ? used : std::size_t(made) * 2, fnv1a(reinterpret_cast<const uint8_t*>(&made), 4));
    }
    codec->Release();
    return hash;
}

}  // namespace sonx::test
