// Helpers for the conversion tests: WAV building and parsing, tones and their
// measurement, in-memory client files, and interface holders.
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
#include "support/test_support.h"

namespace sonx::test {

inline void putLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t getLe(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

inline std::vector<uint8_t> makeWav(uint16_t tag, uint32_t rate, uint16_t bits,
                                    const std::vector<uint8_t>& data, uint16_t blockAlign = 0,
                                    uint16_t channels = 1) {
    if (blockAlign == 0) blockAlign = static_cast<uint16_t>(channels * bits / 8);
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F'};
    putLe(out, static_cast<uint32_t>(36 + data.size() + (data.size() & 1)), 4);
    for (char c : std::string("WAVEfmt ")) out.push_back(static_cast<uint8_t>(c));
    putLe(out, 16, 4);
    putLe(out, tag, 2);
    putLe(out, channels, 2);
    putLe(out, rate, 4);
    putLe(out, rate * blockAlign, 4);
    putLe(out, blockAlign, 2);
    putLe(out, bits, 2);
    for (char c : std::string("data")) out.push_back(static_cast<uint8_t>(c));
    putLe(out, static_cast<uint32_t>(data.size()), 4);
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() & 1) out.push_back(0);
    return out;
}

// `seconds` of the test speech as a 16-bit 8 kHz WAV, repeated as often as needed.
inline std::vector<uint8_t> speechWav(double seconds) {
    const std::vector<uint8_t> file = readFileBytes(testDataPath("speech_8k.wav"));
    const std::vector<uint8_t> speech(file.begin() + 44, file.end() - (file.size() - 44) % 2);
    std::vector<uint8_t> data;
    const size_t want = static_cast<size_t>(seconds * 8000) * 2;
    while (data.size() < want) data.insert(data.end(), speech.begin(), speech.end());
    data.resize(want);
    return makeWav(1, 8000, 16, data);
}

struct Wav {
    bool ok = false;
    uint16_t tag = 0, channels = 0, bits = 0, blockAlign = 0;
    uint32_t rate = 0;
    uint32_t riffSize = 0;
    std::vector<uint8_t> data;
};

// Walks the chunks of a WAV image; ok only when 'fmt ' and 'data' are there.
inline Wav parseWav(const std::vector<uint8_t>& bytes) {
    Wav w;
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return w;
    w.riffSize = getLe(bytes.data() + 4, 4);
    bool fmt = false, data = false;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const uint32_t length = getLe(bytes.data() + at + 4, 4);
        const uint8_t* body = bytes.data() + at + 8;
        if (at + 8 + length > bytes.size()) return w;
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && length >= 16) {
            w.tag = static_cast<uint16_t>(getLe(body, 2));
            w.channels = static_cast<uint16_t>(getLe(body + 2, 2));
            w.rate = getLe(body + 4, 4);
            w.blockAlign = static_cast<uint16_t>(getLe(body + 12, 2));
            w.bits = static_cast<uint16_t>(getLe(body + 14, 2));
            fmt = true;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            w.data.assign(body, body + length);
            data = true;
        }
        at += 8 + length + (length & 1);
    }
    w.ok = fmt && data;
    return w;
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
            putLe(out, static_cast<uint16_t>(static_cast<int16_t>(std::lrint(v))), 2);
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

// A file served from memory through the client callback. `failAt` makes the
// n-th read, write or seek (counting from 1) answer wrongly, to exercise
// every failure path; `calls` counts those three.
struct MemoryFile {
    std::vector<uint8_t> bytes;
    uint32_t position = 0;
    int calls = 0;
    int failAt = 0;

    static int32_t callback(int32_t op, uint8_t* buffer, int32_t position, int32_t length, uintptr_t data) {
        auto* self = reinterpret_cast<MemoryFile*>(data);
        if (op == CLIENT_FILE_SIZE) return static_cast<int32_t>(self->bytes.size());
        if (op == CLIENT_FILE_TRUNCATE) {
            self->bytes.resize(static_cast<size_t>(length));
            return 0;
        }
        ++self->calls;
        const bool fail = self->calls == self->failAt;
        switch (op) {
            case CLIENT_FILE_READ: {
                const size_t have =
                    self->bytes.size() > self->position ? self->bytes.size() - self->position : 0;
                const auto n = static_cast<uint32_t>(std::min<size_t>(have, static_cast<size_t>(length)));
                if (n) std::memcpy(buffer, self->bytes.data() + self->position, n);
                self->position += n;
                return fail ? static_cast<int32_t>(n) - 1 : static_cast<int32_t>(n);
            }
            case CLIENT_FILE_WRITE:
                if (fail) return length - 1;
                if (self->bytes.size() < self->position + static_cast<size_t>(length))
                    self->bytes.resize(self->position + static_cast<size_t>(length));
                std::memcpy(self->bytes.data() + self->position, buffer, static_cast<size_t>(length));
                self->position += static_cast<uint32_t>(length);
                return length;
            case CLIENT_FILE_SEEK:
                if (fail) return position + 1;
                self->position = static_cast<uint32_t>(position);
                return position;
        }
        return -1;
    }

    FileHandle handle() {
        return FileHandle::client(&MemoryFile::callback, reinterpret_cast<uintptr_t>(this));
    }
};

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
