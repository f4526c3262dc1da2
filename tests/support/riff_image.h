// RIFF images for the tests: little-endian fields, chunks, WAV and QCP
// files, and the damage tests do to them. Written apart from the library's
// writers (only its endian.h is shared) so a fault there cannot hide here.
#ifndef SONX_TESTS_SUPPORT_RIFF_IMAGE_H
#define SONX_TESTS_SUPPORT_RIFF_IMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sonx/fileio/endian.h"
#include "sonx/sonx.h"

namespace sonx::test {

using Bytes = std::vector<uint8_t>;

// ---- Little-endian fields --------------------------------------------------

void appendLe(Bytes& out, uint64_t value, int bytes);  // `bytes` low bytes of `value`, low first
inline void appendLe16(Bytes& out, uint32_t value) { appendLe(out, value, 2); }
inline void appendLe32(Bytes& out, uint32_t value) { appendLe(out, value, 4); }
inline void putLe16At(Bytes& out, size_t at, uint32_t value) { putLe16(&out[at], value); }
inline void putLe32At(Bytes& out, size_t at, uint32_t value) { putLe32(&out[at], value); }
inline uint32_t le32At(const Bytes& in, size_t at) { return getLe32(&in[at]); }

// ---- Chunks ------------------------------------------------------------------

struct Chunk {
    std::string id;  // four characters
    Bytes data;
};

// The chunk's header, its data and the pad byte of an odd length.
void appendChunk(Bytes& out, const std::string& id, const Bytes& data);

// A well-formed RIFF image of `form` ("WAVE", "QLCM"): RIFF size = length - 8.
Bytes riff(const std::string& form, const std::vector<Chunk>& chunks);

// A top-level chunk as stored: where its header is, its id and length.
struct ChunkPlace {
    size_t pos;
    std::string id;
    uint32_t length;
};
// The chunks after the 12-byte header, walked as their lengths say (a walk
// may end past the image when a length claims more than it holds).
std::vector<ChunkPlace> chunkMap(const Bytes& file);
const ChunkPlace* findChunk(const std::vector<ChunkPlace>& chunks, const char* id);
// Where the header of the first chunk `id` is, or npos.
size_t chunkAt(const Bytes& file, const char* id);

// The data of the first whole top-level chunk `id`, or nullopt.
std::optional<Bytes> riffChunk(const Bytes& file, const char* id);

// The image with one more top-level chunk at its end (RIFF size updated).
Bytes withChunk(Bytes file, const char* id, const Bytes& data);

// ---- WAV -----------------------------------------------------------------------

// A WAV image as read back: its format fields, RIFF size and data.
struct Wav {
    bool ok = false;  // 'fmt ' and 'data' were there, and no chunk ran past the end
    uint16_t tag = 0, channels = 0, bits = 0, blockAlign = 0;
    uint32_t rate = 0;
    uint32_t riffSize = 0;
    Bytes data;
};
Wav parseWav(const Bytes& bytes);

// The 'data' chunk of a RIFF WAVE image as 16-bit samples (throws without one).
std::vector<int16_t> wavSamples(const Bytes& wav);

struct WavSpec {
    uint16_t tag = 1;  // PCM
    uint32_t rate = 8000;
    uint16_t bits = 16;
    uint16_t channels = 1;
    uint16_t blockAlign = 0;  // 0: channels * bits / 8
};

// The 16 bytes of a plain 'fmt ' chunk (byte rate = rate * block alignment).
Bytes wavFmt(const WavSpec& spec);
// 'fmt ' and 'data' in a WAVE image.
Bytes wavFile(const WavSpec& spec, const Bytes& data);

// A LIST/INFO chunk's data: INAM = label, ICMT = text (each left out when
// empty), every value with its terminator.
Bytes infoList(const std::string& label, const std::string& text);

// The WAV image as an RF64 file ("RF64", or "BW64" as `headerId`): a first
// chunk 'ds64' holds the RIFF size, the 'data' length and the sample count
// in 64 bits, and the 32-bit RIFF size and 'data' length hold 0xFFFFFFFF.
Bytes asRf64(const Bytes& wav, const char* headerId = "RF64");

// ---- QCP -----------------------------------------------------------------------

// The fields of a QCP 'fmt ' chunk; what is left at 0 stays 0.
struct QcpFmtSpec {
    uint8_t major = 0;
    Guid codec;
    uint16_t version = 0;
    std::string name;  // up to 80 bytes
    uint16_t averageBitRate = 0;
    uint16_t packetBytes = 0;
    uint16_t blockSamples = 0;
    uint16_t sampleRate = 0;
    uint16_t sampleBits = 0;
    std::vector<std::pair<uint8_t, uint8_t>> rates;  // (payload bytes, rate octet), up to 8
};
// The 150 bytes of a QCP 'fmt ' chunk.
Bytes qcpFmt(const QcpFmtSpec& spec);
// QCELP-13K's fields as a writer of variable-rate files sets them.
QcpFmtSpec qcelpFmtSpec();

// A 'vrat' chunk's data: the variable-rate flag and the packet count.
Bytes vrat(uint32_t variableRate, uint32_t packets);

// ---- Damage ----------------------------------------------------------------------

inline Bytes cutAt(const Bytes& file, size_t length) { return Bytes(file.begin(), file.begin() + long(length)); }
inline Bytes withLe32At(Bytes file, size_t at, uint32_t value) {
    putLe32At(file, at, value);
    return file;
}

}  // namespace sonx::test

#endif  // SONX_TESTS_SUPPORT_RIFF_IMAGE_H
