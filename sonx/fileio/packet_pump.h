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
// output share one codec object.
bool isPassThrough(const AudioFile& input, const AudioFile& output);

// ---- The steps of a conversion ----------------------------------------------
// convertPass and the single-file read and write loops are each made of
// these steps. Samples are of the side's format: decoded samples in the
// decoder format, samples waiting for an encoder in the encoder format.

// Where samples go: the first free sample and how many still fit there.
struct SampleSpace {
    uint8_t* at = nullptr;
    uint64_t room = 0;
};

// The space behind the first `used` samples (of `sampleBytes` bytes) of buffer.
SampleSpace spaceBehind(std::vector<uint8_t>& buffer, uint32_t used, uint32_t sampleBytes);

// Reads `blocks` blocks of input and decodes them with its decoder into
// samples; a file without a decoder holds its samples as they are. Packets
// pass through packetSpace. Does nothing for 0 blocks.
void readSamples(AudioFile& input, uint32_t blocks, std::vector<uint8_t>& packetSpace, SampleSpace samples);

// Decodes `blocks` packets of `blockSamples` samples each at `packets` with
// coder's decoder into samples, returning the packet bytes used. Does
// nothing for 0 blocks. Throws "Error decoding audio packets: " + codec text.
uint32_t decodeBlocks(const AudioFile& coder, const uint8_t* packets, uint32_t blocks, uint32_t blockSamples,
                      SampleSpace samples);

// Copies `count` samples of `sampleBytes` bytes as they are into samples.
void copySamples(const uint8_t* source, uint32_t count, uint32_t sampleBytes, SampleSpace samples);

// Converts `count` samples from the `from` format to the `to` format through
// the converter's stream, returning the samples put into dest.
uint32_t convertSamples(const AudioFormat& from, const uint8_t* source, uint32_t count, StreamEnd end,
                        SampleConverter& converter, const AudioFormat& to, SampleSpace dest);

// How the stream of a file being read goes on: it ends with its last block.
StreamEnd streamEndOf(const AudioFile& input);

// Blocks encoded and the packet bytes they took.
struct EncodedBlocks {
    uint32_t blocks = 0;
    uint32_t bytes = 0;
};

// Encodes the whole blocks of coded.blockSamples among `count` samples with
// coder's encoder into at most packetRoom bytes at `packets`. Throws "Error
// encoding audio packets: " + codec text.
EncodedBlocks encodeWholeBlocks(const AudioFile& coder, const uint8_t* samples, uint32_t count,
                                const AudioFormat& coded, uint8_t* packets, uint64_t packetRoom);

// Drops the first `used` of the `held` samples at the front of buffer,
// moving the rest to the front; returns how many are left.
uint32_t carryRest(uint32_t held, uint32_t used, uint32_t sampleBytes, std::vector<uint8_t>& buffer);

// Completes the `held` samples at the front of buffer with silence to one
// block of `blockSamples`; returns blockSamples.
uint32_t padToBlock(uint32_t held, uint32_t blockSamples, uint32_t sampleBits, std::vector<uint8_t>& buffer);

// Encodes (with output's encoder; without one the samples are the blocks)
// and writes to output the whole blocks among the `held` samples at the
// front of buffers.sample, then carries the rest to the front. Returns the
// blocks written; `held` becomes the samples left.
uint32_t writeWholeBlocks(PumpBuffers& buffers, uint32_t& held, AudioFile& output);

// ---- One pass ------------------------------------------------------------------

// One pass of a file-to-file conversion: up to two seconds of input are read,
// decoded, converted and encoded, and the whole output blocks are written.
// `carried` holds the samples left at the front of the sample buffer between
// passes. The pass that reads the last input block ends the converter's
// stream; converted samples that did not fit come in the next passes. Once
// the input and the converter are exhausted the last output block is
// completed with silence. In the pass-through case coded blocks are copied unchanged.
// Returns the output blocks written. Throws "Error decoding audio packets: "
// / "Error encoding audio packets: " + codec text, file and conversion errors.
uint32_t convertPass(AudioFile& input, AudioFile& output, PumpBuffers& buffers, uint32_t& carried);

// Output blocks a conversion writes: the samples the converter makes of
// input blocks x input block samples (convertedSampleCount), rounded up to
// whole output blocks; saturates at UINT32_MAX.
uint32_t totalOutputBlocks(const AudioFile& input, const AudioFile& output);

}  // namespace sonx

#endif  // SONX_FILEIO_PACKET_PUMP_H
