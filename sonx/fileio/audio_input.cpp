#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "sonx/component/status.h"
#include "sonx/codec/rate_sets.h"
#include "sonx/fileio/audio_file.h"
#include "sonx/fileio/riff.h"
#include "sonx/fileio/wav_frames.h"

namespace sonx {

namespace {

constexpr uint32_t kQcpFmtBytes = 150;
constexpr uint32_t kWavFmtBytes = 16;
constexpr uint32_t kWavExtensibleFmtBytes = 40;

constexpr uint16_t kTagPcm = 0x0001, kTagFloat = 0x0003, kTagALaw = 0x0006, kTagMuLaw = 0x0007,
                   kTagExtensible = 0xFFFE;

[[noreturn]] void rethrowWithPrefix(const char* prefix, const std::exception& e) {
    const auto* carried = dynamic_cast<const StatusError*>(&e);
    failWith(carried ? carried->status : SONX_ERR_FAILED, std::string(prefix) + e.what());
}

void readHeaderOfForm(RiffIo& riff, const char* form, const char* invalidPrefix, const char* wrongForm) {
    uint8_t formType[4];
    try {
        readRiffHeader(riff, formType);
    } catch (const std::exception& e) {
        rethrowWithPrefix(invalidPrefix, e);
    }
    if (!sameId(formType, form)) failWith(SONX_ERR_NOT_AUDIO, wrongForm);
}

// The bounds test of the chunk walk lets a chunk claim up to 8 bytes past the
// RIFF size; data is only taken from inside it.
// Chunks are searched from behind the 12-byte header to the RIFF size, which
// a header claiming less than 4 bytes of content can put below 12.
uint32_t searchLength(const RiffIo& riff) {
    return riff.size > 12 ? riff.size - 12 : 0;
}

uint32_t dataEndWithinSize(const RiffIo& riff, uint32_t position, uint32_t length) {
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{position} + length, riff.size));
}

// Finds the 'data' chunk from behind the header: its data position and the
// end of the data to read. A length that runs past the end of the file, or
// a length of 0 with data behind it that no chunk accounts for (what a
// writer leaves that never got to fill it in), is damage: with salvage asked
// for, the data then runs to the end of the file; without, it fails with
// "Bad length". Returns false when there is no 'data' chunk.
bool findDataChunk(AudioFile& file, uint32_t& position, uint32_t& end, uint32_t& statedLength) {
    RiffIo& riff = file.riff;
    uint32_t pos = 12, len = searchLength(riff);
    if (!findRiffChunkAllowingOverrun(riff, "data", pos, len)) return false;
    const bool overrun = uint64_t{pos} + len > riff.size;
    const bool unfilled = len == 0 && pos < riff.size && !chunksFillTheRest(riff, pos);
    if (overrun || unfilled) {
        file.salvage.lengthDamaged = 1;
        if (!file.salvageRequested) throw riffBadLength("data", len, uint64_t{pos} - 8);
    }
    position = pos;
    statedLength = len;
    if (file.salvageRequested && (overrun || unfilled)) {
        file.zeroDataLength = len == 0;
        end = riff.size;
    } else {
        end = dataEndWithinSize(riff, pos, len);
    }
    return true;
}

// The 'vrat' packet count of a damaged QCP file: what its header promises.
// A 'vrat' chunk that cannot be read promises nothing.
void notePromisedPackets(AudioFile& file) {
    try {
        uint32_t pos = 12, len = searchLength(file.riff);
        if (!findRiffChunk(file.riff, "vrat", pos, len) || len < 8) return;
        uint8_t vrat[8];
        seekFile(file, pos);
        readFile(file, vrat, 8);
        file.salvage.blocksPromised = getLe32(vrat + 4);
        file.salvage.promiseKnown = file.salvage.blocksPromised != 0;
    } catch (const std::exception&) {
        // e.g. a 'vrat' behind the damaged 'data' chunk
    }
}

void noteZeroRiffSize(AudioFile& file) {
    if (file.riff.zeroSizeClaimed && file.fileFormat.size > 12) file.salvage.lengthDamaged = 1;
}

// Once the blocks are counted: whether salvaging found anything the header
// did not state.
void finishSalvageReport(AudioFile& file) {
    SalvageReport& report = file.salvage;
    report.blocksRead = file.blockCount;
    if (file.zeroDataLength && file.blockCount > 0) report.lengthDamaged = 1;
    report.salvaged = file.salvageRequested && report.lengthDamaged;
    // A count below what is there is no promise either.
    if (report.blocksPromised < report.blocksRead) report.promiseKnown = 0;
}

bool parseQcp(AudioFile& file, uint32_t& dataBegin, uint32_t& dataEnd) {
    RiffIo& riff = file.riff;
    readHeaderOfForm(riff, "QLCM", "File is not a valid QCP file: ",
                     "File does not appear to be a QCP file (RIFF type tag is not 'QLCM')");
    uint32_t pos = 12, len = searchLength(riff);
    try {
        if (!findRiffChunk(riff, "fmt ", pos, len))
            failWith(SONX_ERR_DAMAGED, "Unable to find 'fmt ' chunk in QCP file");
    } catch (const std::exception& e) {
        rethrowWithPrefix("Error locating 'fmt ' RIFF chunk: ", e);
    }
    if (len < kQcpFmtBytes) failWith(SONX_ERR_DAMAGED, "'fmt ' chunk in QCP file truncated");
    uint8_t fmt[kQcpFmtBytes];
    seekFile(file, pos);
    readFile(file, fmt, kQcpFmtBytes);
    std::copy(fmt + 2, fmt + 18, file.fileFormat.codec.bytes);
    // Only variable-rate packet streams are read from QCP files.
    file.fileFormat.dataFormat = RATE_SET_VFR;

    uint32_t end = 0;
    try {
        if (!findDataChunk(file, pos, end, len))
            failWith(SONX_ERR_DAMAGED, "Unable to find 'data' chunk in QCP file");
    } catch (const std::exception& e) {
        rethrowWithPrefix("Error locating 'data' RIFF chunk: ", e);
    }
    if (file.salvageRequested) {
        notePromisedPackets(file);
        // Without a length only whole packets up to the first foreign byte
        // are taken, and no more than 'vrat' counts: what follows is a pad
        // byte or another chunk, not packets.
        file.stopAtStrayByte = file.salvage.lengthDamaged || file.zeroDataLength;
    }
    file.dataStart = file.dataPosition = pos;
    file.blocksDone = 0;
    dataBegin = pos;
    dataEnd = end;
    return true;
}

[[noreturn]] void unsupportedWaveFormat(const std::string& name, uint16_t tag) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04x", static_cast<unsigned>(tag));
    failWith(SONX_ERR_UNSUPPORTED, "WAV file uses an unsupported wave format (" + name + ", tag = 0x" + digits +
                             ")");
}

// The format code an extensible 'fmt ' names through its sub-format: the
// standard sub-formats are the format tags in a fixed frame of 14 bytes.
uint16_t extensibleSubFormat(const uint8_t* fmt, uint32_t fmtBytes) {
    if (fmtBytes < kWavExtensibleFmtBytes) failWith(SONX_ERR_DAMAGED, "'fmt ' chunk in WAV file truncated");
    static constexpr uint8_t kTagGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    const uint8_t* subFormat = fmt + 24;
    if (!std::equal(kTagGuidTail, kTagGuidTail + 14, subFormat + 2))
        unsupportedWaveFormat("extensible with an unknown sub-format", kTagExtensible);
    const uint16_t code = getLe16(subFormat);
    if (code != kTagPcm && code != kTagFloat && code != kTagALaw && code != kTagMuLaw) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04x", static_cast<unsigned>(code));
        unsupportedWaveFormat(waveFormatName(code) + " as extensible sub-format 0x" + digits, kTagExtensible);
    }
    return code;
}

// Fills the file format from a WAV 'fmt ' (fmtBytes of it read, at least 16)
// and returns the block alignment, the bytes of one frame. Mono 8/16-bit PCM
// and mono mu-law are read as they always were; the other forms are turned
// into 16-bit mono samples as they are read (file.frames).
uint16_t applyWavFmt(AudioFile& file, const uint8_t* fmt, uint32_t fmtBytes) {
    const uint16_t tag = getLe16(fmt);
    const uint16_t format = tag == kTagExtensible ? extensibleSubFormat(fmt, fmtBytes) : tag;
    if (format != kTagPcm && format != kTagFloat && format != kTagALaw && format != kTagMuLaw)
        unsupportedWaveFormat(waveFormatName(tag), tag);
    const uint16_t channels = getLe16(fmt + 2);
    const uint16_t blockAlign = getLe16(fmt + 12);
    const uint16_t bits = getLe16(fmt + 14);
    AudioFormat& f = file.fileFormat;
    f.blockSamples = 1;
    f.sampleRate = getLe32(fmt + 4);
    file.frames = WavFrames{};

    const bool asBefore =
        channels == 1 && ((format == kTagPcm && bits != 24 && bits != 32) || format == kTagMuLaw);
    if (channels == 0 || channels > kMaxWavChannels)
        failWith(SONX_ERR_UNSUPPORTED, "WAV file has " + std::to_string(channels) +
                                 " channels - only files of 1 to 8 channels are supported");
    // The block count divides by it.
    if (blockAlign == 0) failWith(SONX_ERR_DAMAGED, "WAV file has a block alignment of 0");
    if (asBefore) {
        f.codec = format == kTagPcm ? CODEC_PCM : CODEC_G711_ULAW;
        f.packetBytes = blockAlign;
        f.sampleBits = bits;
        // WAV data is always plain samples. A caller that left the data format
        // unset (velconv does) would otherwise hand the mu-law decoder no rate set.
        if (f.dataFormat == Guid{}) f.dataFormat = DATA_FORMAT_SAMPLES;
        return blockAlign;
    }

    WavFrames frames;
    frames.channels = channels;
    frames.sampleBytes = static_cast<uint16_t>(bits / 8);
    bool widthKnown = false;
    switch (format) {
        case kTagPcm:
            frames.encoding = FrameEncoding::Integer;
            widthKnown = bits == 8 || bits == 16 || bits == 24 || bits == 32;
            break;
        case kTagFloat:
            frames.encoding = FrameEncoding::Float;
            widthKnown = bits == 32 || bits == 64;
            break;
        default:
            frames.encoding = format == kTagALaw ? FrameEncoding::ALaw : FrameEncoding::MuLaw;
            widthKnown = bits == 8;
            break;
    }
    if (!widthKnown)
        failWith(SONX_ERR_UNSUPPORTED, "WAV file has " + std::to_string(bits) + "-bit " + waveFormatName(format) +
                                 " samples - that width is not supported");
    if (blockAlign != frames.frameBytes())
        failWith(SONX_ERR_DAMAGED, "WAV file has a block alignment of " + std::to_string(blockAlign) +
                                 " bytes - " + std::to_string(channels) + " channels of " +
                                 std::to_string(bits) + "-bit samples take " +
                                 std::to_string(frames.frameBytes()));
    file.frames = frames;
    // Read as 16-bit mono samples, one per frame.
    f.codec = CODEC_PCM;
    f.dataFormat = DATA_FORMAT_SAMPLES;
    f.packetBytes = 2;
    f.sampleBits = 16;
    return blockAlign;
}

bool parseWav(AudioFile& file) {
    RiffIo& riff = file.riff;
    readHeaderOfForm(riff, "WAVE", "File is not a valid WAV file: ",
                     "File does not appear to be a WAV file (RIFF type tag is not 'WAVE')");
    uint32_t pos = 12, len = searchLength(riff);
    if (!findRiffChunk(riff, "fmt ", pos, len))
        failWith(SONX_ERR_DAMAGED, "Unable to find 'fmt ' chunk in WAV file");
    if (len < kWavFmtBytes) failWith(SONX_ERR_DAMAGED, "'fmt ' chunk in WAV file truncated");
    uint8_t fmt[kWavExtensibleFmtBytes] = {};
    uint32_t fmtBytes = kWavFmtBytes;
    seekFile(file, pos);
    readFile(file, fmt, fmtBytes);
    if (getLe16(fmt) == kTagExtensible && len > kWavFmtBytes) {
        // The extension names the actual format.
        const uint32_t more = std::min(len, kWavExtensibleFmtBytes) - kWavFmtBytes;
        readFile(file, fmt + kWavFmtBytes, more);
        fmtBytes += more;
    }
    const uint16_t blockAlign = applyWavFmt(file, fmt, fmtBytes);

    uint32_t end = 0;
    if (!findDataChunk(file, pos, end, len)) failWith(SONX_ERR_DAMAGED, "Unable to find 'data' chunk in WAV file");
    file.blockCount = (end - pos) / blockAlign;
    if (file.salvageRequested && len != 0 && len != 0xFFFFFFFF) {
        file.salvage.blocksPromised = len / blockAlign;
        file.salvage.promiseKnown = 1;
    }
    file.dataStart = file.dataPosition = pos;
    file.blocksDone = 0;
    return false;
}

void attachCodec(const Guid& codecId, AudioFormat& format, AudioFormat& sampleSide, ISonxCodec*& codec,
                 ISonxError*& error, const char* noObject, const char* noError, const char* configPrefix) {
    // A record reused without closing must not leak its previous codec.
    if (error) error->Release();
    if (codec) codec->Release();
    error = nullptr;
    codec = createInstance<ISonxCodec>(codecId);
    if (!codec) failWith(SONX_ERR_UNSUPPORTED, noObject);
    error = queryInterface<ISonxError>(codec);
    if (!error) failWith(SONX_ERR_UNSUPPORTED, noError);
    if (!codec->SetRateSet(format.dataFormat, format.option & ~FORMAT_OPTION_SALVAGE))
        failWith(error->errorCode() != SONX_OK ? error->errorCode() : SONX_ERR_UNSUPPORTED,
                 std::string(configPrefix) + error->errorText());
    codec->GetFormats(&sampleSide, &format);
}

}  // namespace

bool parseInputFile(AudioFile& file, uint32_t& dataBegin, uint32_t& dataEnd) {
    const Guid& type = file.fileFormat.fileType;
    // The request's policy, or the option bit of callers that still send it.
    file.salvageRequested = file.salvageRequested || (file.fileFormat.option & FORMAT_OPTION_SALVAGE) != 0;
    file.fileFormat.option &= ~FORMAT_OPTION_SALVAGE;
    file.stopAtStrayByte = file.zeroDataLength = false;
    file.salvage = SalvageReport{};
    if (type == FILE_TYPE_QCP || type == FILE_TYPE_WAV) {
        file.riff.keepSizeOnZeroClaim = file.salvageRequested;
        bool needsCounting = false;
        try {
            needsCounting = type == FILE_TYPE_QCP ? parseQcp(file, dataBegin, dataEnd) : parseWav(file);
        } catch (const std::exception&) {
            // Without salvage a RIFF size of 0 is why the parse failed: no
            // chunk lies inside it.
            noteZeroRiffSize(file);
            throw;
        }
        noteZeroRiffSize(file);
        finishSalvageReport(file);
        return needsCounting;
    }
    if (type == FILE_TYPE_RAW) {
        file.dataStart = file.dataPosition = file.blocksDone = 0;
        if (isFixedBlockFormat(file.fileFormat.dataFormat)) return false;
        dataBegin = 0;
        dataEnd = file.fileFormat.size;
        return true;
    }
    failWith(SONX_ERR_UNSUPPORTED, "Given file format is unsupported");
}

void attachDecoder(AudioFile& file, AudioFormat& format) {
    attachCodec(
        format.codec, format, file.decoderFormat, file.decoder, file.decoderError,
        "Unable to create audio decoder instance - the codec type might not be supported by this library",
        "Unable to get error interface to decoder object", "Error configuring audio decoder: ");
}

void attachEncoder(AudioFile& file, AudioFormat& format) {
    attachCodec(
        format.codec, format, file.encoderFormat, file.encoder, file.encoderError,
        "Unable to create audio encoder instance - the codec type might not be supported by this library",
        "Unable to get error interface to encoder object", "Unable to allocate necessary audio encoder: ");
}

void countPackets(AudioFile& file, ISonxCodec* decoder, uint32_t begin, uint32_t end) {
    if (!decoder) throw std::runtime_error("No decoder to count packets with");
    // The rate octets are read a block at a time: a stream of one-byte
    // packets would otherwise cost two system calls per byte. Blocks stop at
    // the end of the file, so a stream cut short fails at the same octet as
    // a byte-wise walk would.
    int32_t sizes[256];
    for (int octet = 0; octet < 256; ++octet) sizes[octet] = decoder->PacketSize(static_cast<uint8_t>(octet));
    constexpr uint64_t kBlock = 4096;
    uint8_t block[kBlock];
    uint64_t blockBegin = 0, blockEnd = 0;
    uint32_t count = 0;
    const uint32_t limit =
        file.stopAtStrayByte && file.salvage.promiseKnown ? file.salvage.blocksPromised : UINT32_MAX;
    uint64_t a = begin;
    while (a < end && count < limit) {
        if (a < blockBegin || a >= blockEnd) {
            seekFile(file, static_cast<uint32_t>(a));
            const uint64_t fileEnd = file.fileFormat.size;
            const uint64_t n = std::min({kBlock, end - a, fileEnd > a ? fileEnd - a : uint64_t{1}});
            readFile(file, block, static_cast<uint32_t>(n));
            blockBegin = a;
            blockEnd = a + n;
        }
        const int32_t size = sizes[block[a - blockBegin]];
        if (size < 0) {  // a stray byte
            if (file.stopAtStrayByte) break;
            ++a;
            continue;
        }
        const uint64_t next = a + static_cast<uint64_t>(size) + 1;
        if (next > end) break;
        ++count;
        a = next;
    }
    file.blockCount = count;
    finishSalvageReport(file);
}

InputDataRange prepareReading(AudioFile& file) {
    InputDataRange range;
    range.needsCounting = parseInputFile(file, range.begin, range.end);
    if (file.fileFormat.codec == CODEC_PCM)
        file.decoderFormat = file.fileFormat;
    else
        attachDecoder(file, file.fileFormat);
    file.encoderFormat = file.decoderFormat;
    if (file.clientFormat.codec == CODEC_PCM)
        file.encoderFormat = file.clientFormat;
    else
        attachEncoder(file, file.clientFormat);
    return range;
}

void finishReading(AudioFile& file, const InputDataRange& range) {
    if (range.needsCounting) {
        countPackets(file, file.decoder, range.begin, range.end);
    } else if (file.fileFormat.fileType == FILE_TYPE_RAW) {
        if (file.fileFormat.packetBytes == 0) failWith(SONX_ERR_INVALID, "Packet size of 0 given for raw file");
        file.blockCount = file.fileFormat.size / file.fileFormat.packetBytes;
    }
}

}  // namespace sonx
