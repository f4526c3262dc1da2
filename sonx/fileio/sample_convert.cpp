#include "sonx/fileio/sample_convert.h"

#include <soxr.h>

#include <cmath>
#include <cstring>
#include <memory>
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

struct SoxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
};
using SoxrHandle = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

}  // namespace

bool isConvertibleFormat(uint32_t sampleRate, uint32_t sampleBits) {
    return (sampleBits == 8 || sampleBits == 16) && sampleRate >= 1 && sampleRate <= kMaxSampleRate;
}

uint64_t convertedSampleCount(uint64_t count, uint32_t sourceRate, uint32_t destRate) {
    if (sourceRate == 0) return 0;
    if (sourceRate == destRate) return count;
    return count * destRate / sourceRate;
}

uint32_t convertSamples(uint32_t destRate, uint32_t sourceBits, uint8_t* dest, const uint8_t* source,
                        uint32_t count, uint32_t destBits, uint32_t sourceRate, uint32_t destCapacity) {
    if (count == 0) return 0;
    if (!isConvertibleFormat(sourceRate, sourceBits) || !isConvertibleFormat(destRate, destBits) || !dest ||
        !source)
        throw std::runtime_error(kOpenFailed);

    const uint64_t wanted = convertedSampleCount(count, sourceRate, destRate);
    if (wanted > destCapacity) throw std::runtime_error(kSizeFailed);
    const auto outCount = static_cast<uint32_t>(wanted);

    if (sourceRate == destRate) {
        if (sourceBits == destBits) {
            std::memmove(dest, source, static_cast<size_t>(count) * (sourceBits / 8));
        } else {
            for (uint32_t i = 0; i < count; ++i)
                putSample(dest, destBits, i, sampleAt(source, sourceBits, i));
        }
        return count;
    }

    // Rate change: through single-precision floats, one complete stream per call.
    std::vector<float> in;
    std::vector<float> out;
    try {
        in.resize(count);
        out.resize(outCount);
    } catch (const std::bad_alloc&) {
        throw std::runtime_error(kPrepareFailed);
    }
    for (uint32_t i = 0; i < count; ++i)
        in[i] = static_cast<float>(sampleAt(source, sourceBits, i)) / 32768.0f;

    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    SoxrHandle resampler(soxr_create(sourceRate, destRate, 1, &error, &io, &quality, nullptr));
    if (error || !resampler) throw std::runtime_error(kOpenFailed);

    size_t consumed = 0;
    size_t produced = 0;
    while (!error && produced < outCount) {
        size_t used = 0;
        size_t done = 0;
        // Once all input is in, a null input marks the end of the stream and
        // drains the filter tail.
        const bool feeding = consumed < count;
        error = soxr_process(resampler.get(), feeding ? in.data() + consumed : nullptr,
                             feeding ? count - consumed : 0, feeding ? &used : nullptr, out.data() + produced,
                             outCount - produced, &done);
        consumed += used;
        produced += done;
        if (!feeding && done == 0) break;
        if (feeding && used == 0 && done == 0) consumed = count;  // no progress: end the stream
    }
    if (error) throw std::runtime_error(kConvertFailed);

    for (size_t i = 0; i < produced; ++i)
        putSample(dest, destBits, static_cast<uint32_t>(i), fromFloat(out[i]));
    return static_cast<uint32_t>(produced);
}

}  // namespace sonx
