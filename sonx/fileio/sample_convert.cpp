#include "sonx/fileio/sample_convert.h"
#include "sonx/component/status.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace sonx {

namespace {

// The converter's four failure texts; callers and users know them by these words.
constexpr const char* kOpenFailed = "unable to open audio conversion stream - acmStreamOpen failed!";
constexpr const char* kSizeFailed =
    "unable to query for recommended output buffer size - acmStreamSize failed!";
constexpr const char* kPrepareFailed =
    "unable to prepare conversion buffer for audio conversion - acmStreamPrepareHeader failed!";
constexpr const char* kConvertFailed = "problem during audio conversion - acmStreamConvert failed!";

int16_t load16(const uint8_t* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

void store16(uint8_t* p, int32_t v) {
    const auto u = static_cast<uint16_t>(static_cast<int16_t>(v));
    p[0] = static_cast<uint8_t>(u & 0xff);
    p[1] = static_cast<uint8_t>(u >> 8);
}

// 8-bit WAV samples are unsigned with 128 as silence.
int32_t from8(uint8_t u) {
    return (static_cast<int32_t>(u) - 128) * 256;
}

uint8_t to8(int32_t s16) {
    int32_t v = (s16 + 128) >> 8;  // round to nearest 8-bit step
    if (v > 127) v = 127;
    if (v < -128) v = -128;
    return static_cast<uint8_t>(v + 128);
}

int32_t sampleAt(const uint8_t* src, uint32_t bits, uint32_t i) {
    return bits == 8 ? from8(src[i]) : load16(src + 2 * static_cast<size_t>(i));
}

void putSample(uint8_t* dst, uint32_t bits, uint32_t i, int32_t s16) {
    if (bits == 8)
        dst[i] = to8(s16);
    else
        store16(dst + 2 * static_cast<size_t>(i), s16);
}

int32_t fromFloat(float f) {
    const long v = std::lrint(static_cast<double>(f) * 32768.0);
    if (v > 32767) return 32767;
    if (v < -32768) return -32768;
    return static_cast<int32_t>(v);
}

}  // namespace

struct SampleConverter::Resampler {
    soxr_t handle = nullptr;
    ~Resampler() { soxr_delete(handle); }
};

SampleConverter::SampleConverter() = default;
SampleConverter::~SampleConverter() = default;
SampleConverter::SampleConverter(SampleConverter&&) noexcept = default;
SampleConverter& SampleConverter::operator=(SampleConverter&&) noexcept = default;

bool isConvertibleFormat(uint32_t sampleRate, uint32_t sampleBits) {
    return (sampleBits == 8 || sampleBits == 16) && sampleRate >= 1 && sampleRate <= kMaxSampleRate;
}

uint64_t convertedSampleCount(uint64_t count, uint32_t sourceRate, uint32_t destRate) {
    if (sourceRate == 0) return 0;
    if (sourceRate == destRate) return count;
    // The converter ends a stream at this count, computed in this very way
    // (through the rate ratio in double precision, half rounded up); an
    // exact rational rounding differs from it for some lengths.
    return static_cast<uint64_t>(
        static_cast<double>(count) / (static_cast<double>(sourceRate) / static_cast<double>(destRate)) + 0.5);
}

void SampleConverter::reset() {
    resampler_.reset();
    sourceRate_ = destRate_ = 0;
    staged_.clear();
    stagedHead_ = 0;
    samplesIn_ = samplesOut_ = produced_ = 0;
    ended_ = false;
}

uint32_t SampleConverter::convert(const uint8_t* source, uint32_t count, SampleForm sourceForm, StreamEnd end,
                                  uint8_t* dest, uint32_t destCapacity, SampleForm destForm) {
    const uint32_t sourceRate = sourceForm.rate, sourceBits = sourceForm.bits;
    const uint32_t destRate = destForm.rate, destBits = destForm.bits;
    const bool last = end == StreamEnd::Ends;
    const bool streaming = resampler_ != nullptr;
    if (count == 0 && queued() == 0 && !(last && streaming && !ended_)) return 0;
    if (!isConvertibleFormat(sourceRate, sourceBits) || !isConvertibleFormat(destRate, destBits) || !dest ||
        (count > 0 && !source))
        failWith(SONX_ERR_UNSUPPORTED, kOpenFailed);

    if (sourceRate == destRate) {
        // Same rate: the exact width conversion, nothing kept between calls.
        if (count > destCapacity) failWith(SONX_ERR_INVALID, kSizeFailed);
        if (sourceBits == destBits) {
            std::memmove(dest, source, static_cast<size_t>(count) * (sourceBits / 8));
        } else {
            for (uint32_t i = 0; i < count; ++i)
                putSample(dest, destBits, i, sampleAt(source, sourceBits, i));
        }
        return count;
    }

    if (ended_ && queued() == 0) reset();  // the previous stream is out: this starts the next
    if (!resampler_) {
        reset();
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        auto resampler = std::make_unique<Resampler>();
        resampler->handle = soxr_create(sourceRate, destRate, 1, &error, &io, &quality, nullptr);
        if (error || !resampler->handle) throw std::runtime_error(kOpenFailed);
        resampler_ = std::move(resampler);
        sourceRate_ = sourceRate;
        destRate_ = destRate;
    } else if (sourceRate != sourceRate_ || destRate != destRate_ || (ended_ && count > 0)) {
        // One stream has one pair of rates, and nothing follows its end.
        failWith(SONX_ERR_INVALID, kOpenFailed);
    }

    if (!ended_ && (count > 0 || last)) {
        try {
            resample(source, count, sourceBits, last);
        } catch (const std::bad_alloc&) {
            failWith(SONX_ERR_NO_MEMORY, kPrepareFailed);
        }
    }

    const uint32_t given = std::min(queued(), destCapacity);
    for (uint32_t i = 0; i < given; ++i) putSample(dest, destBits, i, fromFloat(staged_[stagedHead_ + i]));
    stagedHead_ += given;
    samplesOut_ += given;
    return given;
}

void SampleConverter::resample(const uint8_t* source, uint32_t count, uint32_t sourceBits, bool last) {
    staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(stagedHead_));
    stagedHead_ = 0;
    input_.resize(count);
    for (uint32_t i = 0; i < count; ++i)
        input_[i] = static_cast<float>(sampleAt(source, sourceBits, i)) / 32768.0f;

    soxr_t soxr = resampler_->handle;
    const uint64_t inputEnd = samplesIn_ + count;
    // Room for all the stream can have made once these samples are in, and
    // a little more: the converter never goes beyond its flushed count.
    const auto room = [&] {
        const uint64_t bound = convertedSampleCount(inputEnd, sourceRate_, destRate_);
        return static_cast<size_t>(bound > produced_ ? bound - produced_ : 0) + 64;
    };
    size_t fed = 0;
    while (fed < count) {
        const size_t have = staged_.size();
        staged_.resize(have + room());
        size_t used = 0, done = 0;
        const soxr_error_t error = soxr_process(soxr, input_.data() + fed, count - fed, &used,
                                                staged_.data() + have, staged_.size() - have, &done);
        staged_.resize(have + done);
        if (error || (used == 0 && done == 0)) throw std::runtime_error(kConvertFailed);
        fed += used;
        produced_ += done;
    }
    samplesIn_ = inputEnd;
    if (!last) return;
    // A null input ends the stream and drains the filter tail.
    for (;;) {
        const size_t have = staged_.size();
        staged_.resize(have + room());
        size_t done = 0;
        const soxr_error_t error =
            soxr_process(soxr, nullptr, 0, nullptr, staged_.data() + have, staged_.size() - have, &done);
        staged_.resize(have + done);
        if (error) throw std::runtime_error(kConvertFailed);
        produced_ += done;
        if (done == 0) break;
    }
    ended_ = true;
}

}  // namespace sonx
