// The packet pump: moves blocks between files and codecs. Reads and writes
// blocks of an AudioFile (keeping QCP and WAV size fields current), sizes the
// work buffers and runs one pass of a file-to-file conversion.
//
// Every failure is thrown as std::runtime_error carrying the message.
#ifndef SONX_FILEIO_PACKET_PUMP_H
#define SONX_FILEIO_PACKET_PUMP_H

#include <cstdint>
#include <vector>

#include "sonx/codec/rate_sets.h"
#include "sonx/fileio/audio_file.h"
#include "sonx/fileio/sample_convert.h"
#include "sonx/sonx.h"

namespace sonx {

// Work space of a conversion or of an open single file. Buffers only grow.
// The converter carries the rate conversion's state from pass to pass: its
// owner resets it whenever a new stream begins (a new conversion, an open,
// a seek, a failed transfer).
struct PumpBuffers {
    std::vector<uint8_t> packet;      // input blocks as read, before decoding
    std::vector<uint8_t> conversion;  // decoded samples before sample conversion
    std::vector<uint8_t> sample;      // samples waiting for the encoder, carried remainder first
    std::vector<uint8_t> output;      // encoded output blocks
    SampleConverter converter;
};

// No limit known for a caller's buffer.
inline constexpr uint32_t kUnboundedBytes = UINT32_MAX;

// Fixed block bytes for a file: its packet bytes when its data format has
// fixed-size blocks, else 0 (packets framed by their rate octet).
uint32_t fixedBlockBytes(const AudioFormat& format);

// Reads `count` blocks at file.dataPosition into dest. With fixedBytes 0 the
// blocks are packets: each rate octet is looked up with codec->PacketSize and
// bytes it knows no size for are skipped. A file with `frames` set gives one
// 16-bit mono sample per frame, whatever fixedBytes says. Advances dataPosition and
// blocksDone; bytesOut (optional) receives the bytes stored. A packet that
// would not fit in destCapacity bytes is refused.
void readBlocks(uint32_t fixedBytes, AudioFile& file, ISonxCodec* codec, uint8_t* dest, uint32_t count,
                uint32_t* bytesOut, uint32_t destCapacity = kUnboundedBytes);

// Appends `count` blocks from source at file.dataPosition (stray bytes in a
// packet stream are dropped), then makes the header agree with the data: the
// QCP 'vrat' packet count, the 'data' length and the RIFF size (which counts
// the pad byte closeFile adds). bytesOut (optional) receives the source bytes
// consumed. A walk past sourceLength bytes is refused.
void writeBlocks(ISonxCodec* codec, const uint8_t* source, uint32_t count, uint32_t* bytesOut,
                 uint32_t fixedBytes, AudioFile& file, uint32_t sourceLength = kUnboundedBytes);

// Checks the four formats of a chain and grows the buffers to hold two
// seconds of audio on each side (plus one output block). Formats the chain
// cannot take (no sample rate, a width other than 8 or 16 bits, a PCM block
// alignment that does not match its width, blocks longer than two seconds,
// buffers beyond a few megabytes) are refused before anything is allocated;
// an allocation failure is reported as an error too.
void sizeBuffers(const AudioFormat& outputSide, const AudioFormat& inputSide,
                 const AudioFormat& decoderFormat, const AudioFormat& encoderFormat, PumpBuffers& buffers);

// Refuses a PCM side whose rate or width the converter cannot take, or whose
// block alignment does not match its width. `what` names the side in the message.
void checkPcmFormat(const AudioFormat& format, const char* what);

// True when the decoder side and the encoder side differ in rate or width.
bool needsSampleConversion(const AudioFormat& decoderFormat, const AudioFormat& encoderFormat);

// Whether a file-to-file conversion copies coded blocks unchanged: input and
// output share one codec object and nothing is transcoded.
bool isPassThrough(const AudioFile& input, const AudioFile& output, bool transcode);

// One pass of a file-to-file conversion: up to two seconds of input are read,
// decoded, converted and encoded, and the whole output blocks are written.
// `carried` holds the samples left at the front of the sample buffer between
// passes. The pass that reads the last input block ends the converter's
// stream; converted samples that did not fit come in the next passes. Once
// the input and the converter are exhausted the last output block is
// completed with silence. In the pass-through case coded blocks are copied unchanged.
// Returns the output blocks written. Throws "Error decoding audio packets: "
// / "Error encoding audio packets: " + codec text, file and conversion errors.
uint32_t convertPass(AudioFile& input, AudioFile& output, PumpBuffers& buffers, uint32_t& carried,
                     bool transcode);

// Output blocks a conversion writes: the samples the converter makes of
// input blocks x input block samples (convertedSampleCount), rounded up to
// whole output blocks; saturates at UINT32_MAX.
uint32_t totalOutputBlocks(const AudioFile& input, const AudioFile& output);

}  // namespace sonx

#endif  // SONX_FILEIO_PACKET_PUMP_H
