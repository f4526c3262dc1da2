// Mono linear PCM sample-rate and sample-width conversion between the
// decoder side and the encoder side of a conversion chain.
#ifndef SONX_FILEIO_SAMPLE_CONVERT_H
#define SONX_FILEIO_SAMPLE_CONVERT_H

#include <cstdint>

namespace sonx {

// Highest sample rate the converter is asked to take; anything above would
// make the two-second work buffers larger than a few megabytes.
inline constexpr uint32_t kMaxSampleRate = 384000;

// True for a rate and width the converter handles: 8-bit (unsigned, offset
// 128) or 16-bit (signed little-endian) samples at 1..kMaxSampleRate per second.
bool isConvertibleFormat(uint32_t sampleRate, uint32_t sampleBits);

// Samples produced for `count` input samples: count x destRate / sourceRate
// rounded down. Rounding down keeps the sum over chunks within the count
// for the whole, so a size computed for the whole bounds what the chunks give.
uint64_t convertedSampleCount(uint64_t count, uint32_t sourceRate, uint32_t destRate);

// Converts `count` samples in `source` as one complete stream (no filter
// state carries over between calls) and returns the samples written to
// `dest`, at most convertedSampleCount(count, sourceRate, destRate). A count
// of 0 returns 0 at once. `destCapacity` is the room in `dest`, in samples;
// a chunk that would not fit is refused rather than overrun. Rate changes go
// through libsoxr at high quality; width changes are done here.
// Throws std::runtime_error with the converter's message on failure.
uint32_t convertSamples(uint32_t destRate, uint32_t sourceBits, uint8_t* dest, const uint8_t* source,
                        uint32_t count, uint32_t destBits, uint32_t sourceRate, uint32_t destCapacity);

}  // namespace sonx

#endif  // SONX_FILEIO_SAMPLE_CONVERT_H
