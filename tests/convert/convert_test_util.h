// Helpers for the conversion tests: the test speech as a WAV, tones and their measurement, formats, and conversion by file name.
#ifndef SONX_TESTS_CONVERT_CONVERT_TEST_UTIL_H
#define SONX_TESTS_CONVERT_CONVERT_TEST_UTIL_H

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sonx/sonx.h"
#include "support/memory_file.h"
#include "support/riff_image.h"
#include "support/test_support.h"

namespace sonx::test {

// `seconds` of the test speech as a 16-bit 8 kHz WAV, repeated as often as needed.
inline std::vector<uint8_t> speechWav(double seconds) {
    const std::vector<uint8_t> file = readFileBytes(testDataPath("speech_8k.wav"));
    const std::vector<uint8_t> speech(file.begin() + 44, file.end() - (file.size() - 44) % 2);
    std::vector<uint8_t> data;
    const size_t want = static_cast<size_t>(seconds * 8000) * 2;
    while (data.size() < want) data.insert(data.end(), speech.begin(), speech.end());
    data.resize(want);
    return wavFile({}, data);
}

inline std::vector<double> samplesOf(const std::vector<uint8_t>& data, int bits) {
    std::vector<double> out;
    if (bits == 8) {
        for (uint8_t b : data) out.push_back((b - 128) * 256.0);
    } else {
        for (size_t i = 0; i + 1 < data.size(); i += 2)
            out.push_back(static_cast<int16_t>(static_cast<uint16_t>(data[i] | (data[i + 1] << 8))));
    }
    return out;
}

// Correlation coefficient of two signals over their common length.
inline double correlation(const std::vector<double>& a, const std::vector<double>& b) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        ab += a[i] * b[i], aa += a[i] * a[i], bb += b[i] * b[i];
    return ab / std::sqrt(aa * bb);
}

// A sine tone as PCM bytes (8-bit unsigned or 16-bit little-endian).
inline std::vector<uint8_t> tone(uint32_t rate, uint32_t count, double freq, double amplitude, int bits) {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < count; ++i) {
        const double v = amplitude * std::sin(2 * M_PI * freq * i / rate);
        if (bits == 8)
            out.push_back(static_cast<uint8_t>(128 + std::lrint(v / 256.0)));
        else
            appendLe(out, static_cast<uint16_t>(static_cast<int16_t>(std::lrint(v))), 2);
    }
    return out;
}

// Amplitude of one frequency over [from, to) by correlation.
inline double amplitudeAt(const std::vector<double>& s, size_t from, size_t to, double freq, double rate) {
    double re = 0, im = 0;
    for (size_t i = from; i < to; ++i) {
        re += s[i] * std::cos(2 * M_PI * freq * i / rate);
        im += s[i] * std::sin(2 * M_PI * freq * i / rate);
    }
    return 2 * std::hypot(re, im) / static_cast<double>(to - from);
}

// Frequency from the rising zero crossings over [from, to).
inline double zeroCrossingFrequency(const std::vector<double>& s, size_t from, size_t to, double rate) {
    size_t first = 0, last = 0, count = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            if (count == 0) first = i;
            last = i;
            ++count;
        }
    }
    return count < 2 ? 0 : (count - 1) * rate / static_cast<double>(last - first);
}

inline AudioFormat pcmFormat(const Guid& fileType, uint32_t rate = 8000, uint32_t bits = 16) {
    AudioFormat f;
    f.fileType = fileType;
    f.codec = CODEC_PCM;
    f.dataFormat = DATA_FORMAT_SAMPLES;
    f.sampleRate = rate;
    f.sampleBits = bits;
    f.packetBytes = bits / 8;
    f.blockSamples = 1;
    return f;
}

inline AudioFormat muLawFormat(const Guid& fileType) {
    AudioFormat f;
    f.fileType = fileType;
    f.codec = CODEC_G711_ULAW;
    f.dataFormat = DATA_FORMAT_SAMPLES;
    f.sampleRate = 8000;
    f.sampleBits = 8;
    f.packetBytes = 1;
    f.blockSamples = 1;
    return f;
}

// Converts one named file into another without a callback; false (with the
// library's text in `error`) when it failed.
inline bool convertFile(const std::string& in, const AudioFormat& inFormat, const std::string& out,
                        const AudioFormat& outFormat, std::string& error) {
    Ref<ISonxConvertFile> convert(createInstance<ISonxConvertFile>(CLSID_SonxFile));
    Ref<ISonxError> errors(queryInterface<ISonxError>(convert.get()));
    const FileHandle a = FileHandle::named(in.c_str()), b = FileHandle::named(out.c_str());
    const bool ok = convert->convert(&a, &inFormat, &b, &outFormat, nullptr, 0) && !errors->hasError();
    error = errors->errorText();
    return ok;
}

// Threads of this process, to see conversion threads end.
inline int runningThreads() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

// Open file descriptors of this process, to catch leaks. Under Windows (and
// Wine) /proc lists the emulator's own descriptors, which come and go with
// its threads, so the count is POSIX's only.
inline int openDescriptors() {
#ifdef _WIN32
    return 0;
#endif
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

}  // namespace sonx::test

#endif  // SONX_TESTS_CONVERT_CONVERT_TEST_UTIL_H
