// The audio file layer: open files behind a FileHandle, RIFF chunk access,
// the QCP / WAV / raw layouts on input and output, and codec attachment.
//
// Every failure is thrown as std::runtime_error carrying the complete
// message; callers add their own prefixes by catching and throwing again.
#ifndef SONX_FILEIO_AUDIO_FILE_H
#define SONX_FILEIO_AUDIO_FILE_H

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "sonx/fileio/wav_frames.h"
#include "sonx/sonx.h"

namespace sonx {

class OpenTemporary;

// RIFF access context bound to one open QCP or WAV file. The four functions
// either complete or throw; `context` is handed back to each of them.
struct RiffIo {
    uint32_t size = 0;  // bytes of the file that belong to the RIFF structure
    void (*seek)(uint32_t position, void* context) = nullptr;
    void (*read)(uint8_t* buffer, uint32_t count, void* context) = nullptr;
    void (*write)(const uint8_t* buffer, uint32_t count, void* context) = nullptr;
    int32_t (*truncate)(uint32_t length, void* context) = nullptr;
    void* context = nullptr;
    // A header claiming a RIFF size of 0 leaves `size` as it is (a damaged
    // file read for what it holds); readRiffHeader notes such a claim.
    bool keepSizeOnZeroClaim = false;
    bool zeroSizeClaimed = false;
    // An RF64 or BW64 file keeps its 'data' length in its 'ds64' chunk when
    // the 32-bit field holds 0xFFFFFFFF (see readRiffHeader).
    bool ds64 = false;
    uint64_t ds64DataLength = 0;
};

// A descriptor's offset not known after a failed transfer.
inline constexpr int64_t kOffsetUnknown = -1;

// Per-file state. A plain record: the codec pointers are owned (one reference
// each) and given back by closeFile, so close a record before clearing or
// reusing it. While open, `riff.context` points at the record itself: do not
// copy or move an open record.
struct AudioFile {
    FileHandle handle;        // copied from the client; type 0 = closed
    int32_t descriptor = -1;  // POSIX descriptor of a named file
    // The temporary output in the making whose descriptor this file uses,
    // which closing leaves open; null when the descriptor is the file's own.
    std::shared_ptr<OpenTemporary> temporary;
    // The header's lengths wait for closeFile instead of following every
    // block: the output takes its name only once complete.
    bool lengthsAtClose = false;
    // A named file's next transfer starts at `position`; the descriptor's
    // own offset, where a transfer moves it, is `descriptorOffset`.
    uint32_t position = 0;
    int64_t descriptorOffset = 0;
    // The bytes from `aheadStart` read ahead of small reads of a file opened
    // only to read; the whole file once it is read further than that and is
    // short enough to hold.
    std::vector<uint8_t> ahead;
    uint32_t aheadStart = 0;
    uint32_t openedLength = 0;  // of a named file, when it was opened

    ISonxCodec* decoder = nullptr;
    ISonxError* decoderError = nullptr;
    ISonxCodec* encoder = nullptr;
    ISonxError* encoderError = nullptr;

    AudioFormat fileFormat;     // what the file holds; size = file length
    AudioFormat clientFormat;   // what the caller gives or takes
    AudioFormat encoderFormat;  // sample side of the encoder (or a PCM copy)
    AudioFormat decoderFormat;  // sample side of the decoder (or a PCM copy)

    uint8_t openedForWriting = 0;
    uint32_t blockCount = 0;    // packets or sample blocks in the data
    uint32_t dataStart = 0;     // position of the first data byte
    uint32_t rateChunkPos = 0;  // position of the QCP 'vrat' chunk data
    uint32_t dataPosition = 0;  // next block to read/write; end of data when writing
    uint32_t blocksDone = 0;    // blocks read or written so far

    RiffIo riff;  // bound by openFile for QCP and WAV files

    // Set by parseInputFile for WAV forms read through a mix-down: readBlocks
    // then turns each frame into one 16-bit mono sample, and the file format
    // describes those samples.
    WavFrames frames;

    // Reading a damaged input: the request's SALVAGE_READ, or
    // FORMAT_OPTION_SALVAGE added by parseInputFile.
    bool salvageRequested = false;
    bool stopAtStrayByte = false;  // countPackets ends at the first byte that is no rate octet
    bool zeroDataLength = false;   // salvaging a 'data' length of 0: damage only if data follows
    SalvageReport salvage;
};

// ---- File handles ---------------------------------------------------------

// Opens the file named by file.handle. create implies readWrite. Sets
// openedForWriting, fileFormat.size (0 on create, else the current length)
// and, for QCP/WAV file types, binds file.riff. Throws "Error opening file: "
// + system text, "Error seeking in file: ...", "Error getting file pointer
// position: ...", "No client callback given in client handle", "Invalid file
// handle type given"; on failure the record is left closed.
void openFile(AudioFile& file, bool create, bool readWrite);

// Throws what openFile would for a handle it cannot use ("No client
// callback given in client handle", "Invalid file handle type given"),
// without opening anything.
void checkHandle(const FileHandle& handle);

// Read / write exactly `count` bytes at the current position; returns count.
// Throws "Error reading from file: " / "Error writing to file: " + system
// text, or "Client handle read failed (desired = n, actual = r)" / "Client
// handle write failed (desired = n, actual = r)"; a short count is a failure.
uint32_t readFile(AudioFile& file, uint8_t* buffer, uint32_t count);
uint32_t writeFile(AudioFile& file, const uint8_t* buffer, uint32_t count);

// Absolute seek. For a client handle first refreshes fileFormat.size through
// the size operation. Throws "Error seeking in file: " + system text or
// "Client handle seek failed (pos = p, actual = r)".
void seekFile(AudioFile& file, uint32_t position);

// Sets the file length. Returns 0 (named file) or the client's result
// (unchecked). Throws "Error truncating file: " + system text.
int32_t truncateFile(AudioFile& file, uint32_t length);

// Writes the RIFF size, the 'data' length and (QCP) the 'vrat' packet count
// that cover the data written so far, in that order.
void writeHeaderLengths(AudioFile& file);

// Closes the file (a named QCP file opened for writing with an odd data
// position first gets its zero pad byte, and one with lengthsAtClose its
// header's lengths), marks the record closed and
// releases attached codecs. Safe on a closed record. Throws "Error closing
// file: " + system text unless quiet; a quiet close never throws.
void closeFile(AudioFile& file, bool quiet);

// ---- RIFF chunks ----------------------------------------------------------

// Checks "RIFF" at offset 0 and returns the form type in formType. Lowers
// riff.size when the header claims less than the file holds (not for a
// claim of 0 when riff.keepSizeOnZeroClaim is set). Throws "File is
// not big enough to be a RIFF file", "File is not a RIFF file (no 'RIFF'
// header tag)". "RF64" and "BW64" are RIFF files whose 32-bit RIFF size and
// 'data' length may hold 0xFFFFFFFF, the real ones then being the 64-bit
// fields of a first chunk 'ds64'; the chunk walk takes the 'data' length
// from there. Without a 'ds64' the 0xFFFFFFFF lengths stand as written.
void readRiffHeader(RiffIo& riff, uint8_t formType[4]);

// Writes "RIFF", riff.size - 8 and the form type at offset 0 (raises
// riff.size to 12 first if smaller).
void writeRiffHeader(RiffIo& riff, const char* formType);

// Walks chunks from `position` over `length` bytes looking for `id` (4
// chars). Found: position = the chunk's data position, length = its
// unpadded data length, returns true. Not found: both unchanged, false.
// Throws "Bad length for 'xxxx' chunk (n) at pos = a in RIFF file" when a
// chunk's data would end past riff.size.
bool findRiffChunk(RiffIo& riff, const char* id, uint32_t& position, uint32_t& length);

// findRiffChunk, except that the chunk `id` itself is found even when its
// length runs past riff.size (the length is returned as stored); other
// chunks on the way fail as there.
bool findRiffChunkAllowingOverrun(RiffIo& riff, const char* id, uint32_t& position, uint32_t& length);

// "Bad length for 'id' chunk (length) at pos = position in RIFF file".
std::runtime_error riffBadLength(const char* id, uint32_t length, uint64_t position);

// Whether the bytes from `position` to the end are whole chunks with
// readable ids (a last chunk may lack its pad byte), rather than data that
// no chunk accounts for.
bool chunksFillTheRest(RiffIo& riff, uint32_t position);

// Writes chunk `id` with `length` data bytes (data may be null when length
// is 0), replacing an existing chunk of that id inside the region
// [regionStart, regionStart + regionLength) in place (regionLength 0: to the
// end), else inserting it right after chunk `afterId` (may be null), else at
// the end of the region. Moves the rest of the file through a 4096-byte
// buffer and keeps the RIFF size field and riff.size current. Throws "Cannot
// set RIFF chunk past end of file" when regionStart > riff.size.
void setRiffChunk(RiffIo& riff, const char* id, const char* afterId, const uint8_t* data, uint32_t length,
                  uint32_t regionStart, uint32_t regionLength);

// ---- Input -----------------------------------------------------------------

// Checks an input opened for reading and fills fileFormat from its header
// (QCP: codec, data format = RATE_SET_VFR; WAV: codec, packet bytes, block
// samples 1, rate, bits, blockCount; a WAV of several channels, wider or
// float samples or A-law is described as the 16-bit mono PCM its frames
// are read as, with `frames` set). Sets dataStart = dataPosition,
// blocksDone = 0. Takes FORMAT_OPTION_SALVAGE off fileFormat.option and
// fills file.salvage (for QCP its blocksRead is set by countPackets).
// Returns true when the data is a variable-size packet
// stream to be counted with countPackets over [dataBegin, dataEnd).
// Throws the QCP/WAV messages ("File is not a valid QCP file: ...",
// "Error locating 'fmt ' RIFF chunk: ...", "WAV file uses an unsupported
// wave format (IMA ADPCM, tag = 0x0011)", "WAV file has n channels - ...",
// "WAV file has a block alignment of 0", "Given file format is
// unsupported", ...).
bool parseInputFile(AudioFile& file, uint32_t& dataBegin, uint32_t& dataEnd);

// Creates the decoder for format.codec, configures it with format.dataFormat
// and format.option, and lets GetFormats fill file.decoderFormat (PCM side)
// and `format` (coded side). Replaces (releases) a decoder already attached.
// Throws "Unable to create audio decoder instance - the codec type might not
// be supported by this library", "Unable to get error interface to decoder
// object", "Error configuring audio decoder: " + codec text.
void attachDecoder(AudioFile& file, AudioFormat& format);

// Sets file.blockCount to the number of whole packets in [begin, end),
// skipping stray bytes the decoder knows no size for (or ending at the first
// one when file.stopAtStrayByte is set); a packet cut short by `end` is not
// counted. Throws file errors, or "No decoder to count packets
// with" when decoder is null.
void countPackets(AudioFile& file, ISonxCodec* decoder, uint32_t begin, uint32_t end);

// ---- Output ----------------------------------------------------------------

// For a QCP file: the data format must be one of the four QCP rate sets,
// else throws "Rate set not valid for QCP file". Other file types pass.
void checkQcpRateSet(const AudioFile& file);

// The encoder twin of attachDecoder: fills file.encoderFormat (PCM side) and
// `format` (coded side). Throws "Unable to create audio encoder instance -
// the codec type might not be supported by this library", "Unable to get
// error interface to encoder object", "Unable to allocate necessary audio
// encoder: " + codec text.
void attachEncoder(AudioFile& file, AudioFormat& format);

// Writes the header of a new output (QCP: RIFF "QLCM", 150-byte 'fmt ',
// 'vrat', empty 'data' -> data at 194; WAV: 'fmt ', empty 'data' -> data
// at 44; raw: nothing) and sets dataStart = dataPosition (and for QCP
// rateChunkPos), blocksDone = 0, fileFormat.size = header length. Throws
// "Given file format is unsupported", "Given codec is not supported with WAV
// files", "PCM samples cannot be stored in a QCP file - an audio codec is
// needed" and "No audio encoder attached for the QCP file" (both before
// anything is written), the QCP rate-map limits, and prefixed RIFF errors.
void writeOutputHeader(AudioFile& file);

// Throws what writeOutputHeader would refuse about the format and encoder,
// without writing anything.
void checkOutputHeader(AudioFile& file);

// Bytes writeOutputHeader puts before the data of a new file of this type
// (QCP 194, WAV 44, anything else 0).
uint32_t outputHeaderBytes(const AudioFormat& format);

// ---- Opener steps ------------------------------------------------------------
// The single-file opener runs, after openFile and with buffer sizing between
// the two halves:
//   reading: range = prepareReading(f); sizeBuffers(...); finishReading(f, range);
//   writing: prepareWriting(f); sizeBuffers(...); writeOutputHeader(f);
// None of these closes the file; on an exception the opener closes it quietly.

struct InputDataRange {
    bool needsCounting = false;  // parseInputFile's result
    uint32_t begin = 0;
    uint32_t end = 0;
};

// parseInputFile; decoder side (PCM: decoderFormat = fileFormat, else
// attachDecoder with fileFormat); encoder side (encoderFormat = decoderFormat,
// then clientFormat for a PCM client, else attachEncoder with clientFormat).
InputDataRange prepareReading(AudioFile& file);

// Block count: countPackets over the range with the decoder when counting is
// needed, else for a raw file fileFormat.size / fileFormat.packetBytes
// (throws "Packet size of 0 given for raw file" rather than dividing by 0);
// WAV counts stand as parsed.
void finishReading(AudioFile& file, const InputDataRange& range);

// checkQcpRateSet; encoder side (PCM file: encoderFormat = fileFormat, else
// attachEncoder with fileFormat); decoder side (decoderFormat =
// encoderFormat, then clientFormat for a PCM client, else attachDecoder with
// clientFormat).
void prepareWriting(AudioFile& file);

}  // namespace sonx

#endif  // SONX_FILEIO_AUDIO_FILE_H
