// Mono linear PCM sample-rate and sample-width conversion between the
// decoder side and the encoder side of a conversion chain.
#ifndef SONX_FILEIO_SAMPLE_CONVERT_H
#define SONX_FILEIO_SAMPLE_CONVERT_H

#include <cstdint>
#include <memory>
#include <vector>

namespace sonx {

// Highest sample rate the converter is asked to take; anything above would
// make the two-second work buffers larger than a few megabytes.
inline constexpr uint32_t kMaxSampleRate = 384000;

// True for a rate and width the converter handles: 8-bit (unsigned, offset
// 128) or 16-bit (signed little-endian) samples at 1..kMaxSampleRate per second.
bool isConvertibleFormat(uint32_t sampleRate, uint32_t sampleBits);

// Samples a whole stream of `count` input samples becomes: the same count
// when the rate stays, else count x destRate / sourceRate rounded to the
// nearest sample, exactly as the rate converter ends a flushed stream.
// Before the end of a stream the converter never has given out more than
// this count for the samples it has taken so far.
uint64_t convertedSampleCount(uint64_t count, uint32_t sourceRate, uint32_t destRate);

// Rate and width of a stream of mono samples.
struct SampleForm {
    uint32_t rate = 0;
    uint32_t bits = 0;
};

// Whether a stream ends after the samples of a call.
enum class StreamEnd { Continues, Ends };

// One stream of samples converted in pieces. A rate change keeps the
// filter state from piece to piece, so the output is the same as converting
// the whole stream at once, whatever the pieces; the last piece drains the
// filter tail. Width changes at the same rate are exact, sample for sample,
// and keep nothing between pieces. Rate changes go through libsoxr at high
// quality. Owned by the conversion or open file whose stream it carries.
class SampleConverter {
public:
    SampleConverter();
    ~SampleConverter();
    SampleConverter(SampleConverter&&) noexcept;
    SampleConverter& operator=(SampleConverter&&) noexcept;

    // Forgets the stream in progress (filter state and queued output); the
    // next convert starts a new one.
    void reset();

    // Takes `count` samples of the stream from `source` and writes up to
    // `destCapacity` converted samples to `dest`, returning how many. When
    // `end` says so the stream ends after these samples and the filter tail
    // follows; the stream after that starts afresh. Output that does not
    // fit stays queued and comes first in the next call (count 0 just
    // collects it). A rate change cannot happen in mid-stream: the rates
    // are those of the stream's first call. Throws std::runtime_error with
    // the converter's message on failure.
    uint32_t convert(const uint8_t* source, uint32_t count, SampleForm sourceForm, StreamEnd end,
                     uint8_t* dest, uint32_t destCapacity, SampleForm destForm);

    // Converted samples waiting for room.
    uint32_t queued() const { return static_cast<uint32_t>(staged_.size() - stagedHead_); }
    // Samples taken and samples given out since the stream began.
    uint64_t samplesIn() const { return samplesIn_; }
    uint64_t samplesOut() const { return samplesOut_; }

private:
    struct Resampler;
    void resample(const uint8_t* source, uint32_t count, uint32_t sourceBits, bool last);

    std::unique_ptr<Resampler> resampler_;  // present while a rate-changing stream runs
    uint32_t sourceRate_ = 0;
    uint32_t destRate_ = 0;
    std::vector<float> input_;
    std::vector<float> staged_;  // converted samples not yet given out
    size_t stagedHead_ = 0;
    uint64_t samplesIn_ = 0;
    uint64_t samplesOut_ = 0;
    uint64_t produced_ = 0;  // samples the resampler has made in this stream
    bool ended_ = false;
};

}  // namespace sonx

#endif  // SONX_FILEIO_SAMPLE_CONVERT_H
