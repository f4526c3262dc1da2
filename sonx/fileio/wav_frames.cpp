#include "sonx/fileio/wav_frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sonx/codec/mulaw_codec.h"
#include "sonx/fileio/endian.h"

namespace sonx {

namespace {

// Each reader gives one channel's sample on the 16-bit scale, exactly.
double readU8(const uint8_t* p) {
    return (static_cast<int>(p[0]) - 128) * 256.0;
}
double readS16(const uint8_t* p) {
    return static_cast<int16_t>(getLe16(p));
}
double readS24(const uint8_t* p) {
    const uint32_t u = uint32_t{p[0]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 24;
    return static_cast<int32_t>(u) / 65536.0;
}
double readS32(const uint8_t* p) {
    return static_cast<int32_t>(getLe32(p)) / 65536.0;
}
double readF32(const uint8_t* p) {
    const uint32_t u = getLe32(p);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f * 32768.0;
}
double readF64(const uint8_t* p) {
    const uint64_t u = getLe64(p);
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d * 32768.0;
}
double readALaw(const uint8_t* p) {
    return aLawDecode(p[0]);
}
double readMuLaw(const uint8_t* p) {
    return muLawDecode(p[0]);
}

int16_t toSample16(double v) {
    if (std::isnan(v)) return 0;
    return static_cast<int16_t>(std::lrint(std::clamp(v, -32768.0, 32767.0)));
}

template <double (*read)(const uint8_t*)>
void mixDown(const WavFrames& frames, const uint8_t* source, uint32_t count, uint8_t* dest) {
    const uint32_t step = frames.sampleBytes;
    const double channels = frames.channels;
    for (uint32_t i = 0; i < count; ++i) {
        double sum = 0;
        for (uint16_t c = 0; c < frames.channels; ++c, source += step) sum += read(source);
        const auto s = static_cast<uint16_t>(toSample16(sum / channels));
        dest[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(s & 0xff);
        dest[2 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(s >> 8);
    }
}

}  // namespace

void framesToMono16(const WavFrames& frames, const uint8_t* source, uint32_t count, uint8_t* dest) {
    switch (frames.encoding) {
        case FrameEncoding::Integer:
            switch (frames.sampleBytes) {
                case 1:
                    return mixDown<readU8>(frames, source, count, dest);
                case 2:
                    return mixDown<readS16>(frames, source, count, dest);
                case 3:
                    return mixDown<readS24>(frames, source, count, dest);
                default:
                    return mixDown<readS32>(frames, source, count, dest);
            }
        case FrameEncoding::Float:
            if (frames.sampleBytes == 4) return mixDown<readF32>(frames, source, count, dest);
            return mixDown<readF64>(frames, source, count, dest);
        case FrameEncoding::ALaw:
            return mixDown<readALaw>(frames, source, count, dest);
        case FrameEncoding::MuLaw:
            return mixDown<readMuLaw>(frames, source, count, dest);
        case FrameEncoding::None:
            break;
    }
}

std::string waveFormatName(uint16_t tag) {
    static const struct {
        uint16_t tag;
        const char* name;
    } kNames[] = {
        {0x0001, "PCM"},
        {0x0002, "Microsoft ADPCM"},
        {0x0003, "IEEE float"},
        {0x0006, "A-law"},
        {0x0007, "mu-law"},
        {0x0011, "IMA ADPCM"},
        {0x0022, "TrueSpeech"},
        {0x0031, "GSM 6.10"},
        {0x0040, "G.721 ADPCM"},
        {0x0050, "MPEG audio"},
        {0x0055, "MPEG layer 3"},
        {0x0064, "G.726 ADPCM"},
        {0x0065, "G.722 ADPCM"},
        {0x00FF, "AAC"},
        {0x0161, "Windows Media Audio"},
        {0x0162, "Windows Media Audio Professional"},
        {0x0163, "Windows Media Audio Lossless"},
        {0x2000, "Dolby AC-3"},
        {0xF1AC, "FLAC"},
    };
    for (const auto& entry : kNames)
        if (entry.tag == tag) return entry.name;
    return "unknown";
}

}  // namespace sonx
