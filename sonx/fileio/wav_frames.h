// The WAV forms whose frames the file layer turns into 16-bit mono samples
// as it reads them: several channels, integer samples wider than 16 bits,
// IEEE floats, G.711 A-law. Such a file reads like a 16-bit mono PCM file
// of as many samples as it has frames; only the frames on disk differ.
#ifndef SONX_FILEIO_WAV_FRAMES_H
#define SONX_FILEIO_WAV_FRAMES_H

#include <cstdint>
#include <string>

namespace sonx {

enum class FrameEncoding : uint8_t {
    None,     // the file's blocks are the chain's samples already
    Integer,  // signed little-endian, 8-bit unsigned with 128 as silence
    Float,    // IEEE float, full scale at +-1
    ALaw,
    MuLaw,
};

// Layout of one frame: one sample of each channel, in channel order.
struct WavFrames {
    FrameEncoding encoding = FrameEncoding::None;
    uint16_t channels = 0;
    uint16_t sampleBytes = 0;  // bytes of one channel's sample

    bool active() const { return encoding != FrameEncoding::None; }
    uint32_t frameBytes() const { return uint32_t{channels} * sampleBytes; }
};

// Highest channel count taken.
inline constexpr uint16_t kMaxWavChannels = 8;

// Writes one 16-bit little-endian sample per frame to `dest`: the average
// of the frame's channels, rounded to the nearest step (ties to even) and
// clipped to 16 bits. Not a number counts as silence.
void framesToMono16(const WavFrames& frames, const uint8_t* source, uint32_t count, uint8_t* dest);

// The format a WAV format tag (or extensible sub-format) stands for, in words:
// "IMA ADPCM" for 0x0011; "unknown" for tags not in the table.
std::string waveFormatName(uint16_t tag);

}  // namespace sonx

#endif  // SONX_FILEIO_WAV_FRAMES_H
