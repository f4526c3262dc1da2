#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "sonx/fileio/audio_file.h"
#include "sonx/component/status.h"
#include "sonx/fileio/riff.h"

namespace sonx {

namespace {

constexpr uint32_t kQcpFmtBytes = 150;
constexpr size_t kNameField = 80;
constexpr size_t kMaxRates = 8;

// Runs `step`, giving any failure the prefix.
template <class F>
void withPrefix(const char* prefix, F step) {
    try {
        step();
    } catch (const std::exception& e) {
        throw StatusError(currentStatus(), std::string(prefix) + e.what());
    }
}

void buildQcpFmt(AudioFile& file, uint8_t* fmt) {
    const AudioFormat& format = file.fileFormat;
    ISonxCodec* encoder = file.encoder;
    std::memset(fmt, 0, kQcpFmtBytes);
    fmt[0] = format.codec == CODEC_QCELP13K ? 1 : 2;
    fmt[1] = 0;
    std::memcpy(fmt + 2, format.codec.bytes, 16);
    putLe16(fmt + 18, encoder->Version());
    // Cut so the field keeps a terminating zero.
    if (const char* name = encoder->Name()) std::memcpy(fmt + 20, name, strnlen(name, kNameField - 1));
    putLe16(fmt + 100, encoder->AverageBitRate());
    putLe16(fmt + 102, format.packetBytes);
    putLe16(fmt + 104, format.blockSamples);
    putLe16(fmt + 106, format.sampleRate);
    putLe16(fmt + 108, format.sampleBits);

    std::map<uint8_t, uint32_t> rates;
    for (int octet = 0; octet < 256; ++octet) {
        const int32_t size = encoder->PacketSize(static_cast<uint8_t>(octet));
        if (size <= 0) continue;  // no such rate, or an empty packet
        if (size > 255) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(octet));
            failWith(SONX_ERR_UNSUPPORTED, std::string("Cannot use codec with QCP - rate 0x") + hex + " has size " +
                                     std::to_string(size) + ", which is greater than maximum of " +
                                     "255 required by QCP");
        }
        rates[static_cast<uint8_t>(octet)] = static_cast<uint32_t>(size);
        if (rates.size() > kMaxRates)
            throw std::runtime_error(
                "Cannot use codec with QCP - codec has more than the maximum of 8 rates");
    }
    putLe32(fmt + 110, static_cast<uint32_t>(rates.size()));
    uint8_t* entry = fmt + 114;
    for (const auto& [octet, size] : rates) {
        entry[0] = static_cast<uint8_t>(size);
        entry[1] = octet;
        entry += 2;
    }
}

uint16_t wavFormatTag(const AudioFormat& format) {
    if (format.codec == CODEC_PCM) return 1;
    if (format.codec == CODEC_G711_ULAW) return 7;
    failWith(SONX_ERR_UNSUPPORTED, "Given codec is not supported with WAV files");
}

struct HeaderChunk {
    const char* id;
    const uint8_t* data;
    uint32_t length;
};

// A new file's header in one write: the form and its chunks, as adding them
// one by one to the empty file would leave it.
void writeNewHeader(RiffIo& riff, const char* form, std::initializer_list<HeaderChunk> chunks) {
    std::vector<uint8_t> header(12);
    std::memcpy(header.data(), "RIFF", 4);
    std::memcpy(header.data() + 8, form, 4);
    for (const HeaderChunk& chunk : chunks) {
        const size_t at = header.size();
        header.resize(at + 8 + chunk.length + (chunk.length & 1u), 0);
        std::memcpy(header.data() + at, chunk.id, 4);
        putLe32(header.data() + at + 4, chunk.length);
        if (chunk.length) std::memcpy(header.data() + at + 8, chunk.data, chunk.length);
    }
    putLe32(header.data() + 4, static_cast<uint32_t>(header.size() - 8));
    withPrefix("Error writing the RIFF header: ", [&] {
        riff.seek(0, riff.context);
        riff.write(header.data(), static_cast<uint32_t>(header.size()), riff.context);
    });
    riff.size = static_cast<uint32_t>(header.size());
}

void writeQcpHeader(AudioFile& file) {
    uint8_t fmt[kQcpFmtBytes];
    buildQcpFmt(file, fmt);
    const Guid& rateSet = file.fileFormat.dataFormat;
    uint8_t vrat[8];
    putLe32(vrat, rateSet == RATE_SET_VFR || rateSet == RATE_SET_VHR ? 1 : 0);
    putLe32(vrat + 4, 0);
    writeNewHeader(file.riff, "QLCM", {{"fmt ", fmt, kQcpFmtBytes}, {"vrat", vrat, 8}, {"data", nullptr, 0}});
    // The 'vrat' data sits just before the empty 'data' chunk's head.
    file.rateChunkPos = file.riff.size - 8 - 8;
}

void writeWavHeader(AudioFile& file) {
    const AudioFormat& format = file.fileFormat;
    const uint16_t tag = wavFormatTag(format);
    uint8_t fmt[16];
    putLe16(fmt, tag);
    putLe16(fmt + 2, 1);
    putLe32(fmt + 4, format.sampleRate);
    putLe32(fmt + 8, format.sampleRate * format.packetBytes);
    putLe16(fmt + 12, format.packetBytes);
    putLe16(fmt + 14, format.sampleBits);
    writeNewHeader(file.riff, "WAVE", {{"fmt ", fmt, 16}, {"data", nullptr, 0}});
}

}  // namespace

void checkQcpRateSet(const AudioFile& file) {
    if (!(file.fileFormat.fileType == FILE_TYPE_QCP)) return;
    const Guid& r = file.fileFormat.dataFormat;
    if (!(r == RATE_SET_VFR || r == RATE_SET_VHR || r == RATE_SET_FFR || r == RATE_SET_FHR))
        failWith(SONX_ERR_INVALID, "Rate set not valid for QCP file");
}

uint32_t outputHeaderBytes(const AudioFormat& format) {
    if (format.fileType == FILE_TYPE_QCP) return 12 + 8 + kQcpFmtBytes + 8 + 8 + 8;
    if (format.fileType == FILE_TYPE_WAV) return 12 + 8 + 16 + 8;
    return 0;
}

void checkOutputHeader(AudioFile& file) {
    const AudioFormat& format = file.fileFormat;
    if (format.fileType == FILE_TYPE_QCP) {
        // The 'fmt ' fields come from the encoder; plain samples have none.
        if (format.codec == CODEC_PCM)
            failWith(SONX_ERR_UNSUPPORTED, "PCM samples cannot be stored in a QCP file - an audio codec is needed");
        if (!file.encoder) throw std::runtime_error("No audio encoder attached for the QCP file");
        uint8_t fmt[kQcpFmtBytes];
        buildQcpFmt(file, fmt);  // refuses rate maps QCP cannot hold
    } else if (format.fileType == FILE_TYPE_WAV) {
        wavFormatTag(format);
    } else if (!(format.fileType == FILE_TYPE_RAW)) {
        failWith(SONX_ERR_UNSUPPORTED, "Given file format is unsupported");
    }
}

void writeOutputHeader(AudioFile& file) {
    checkOutputHeader(file);
    const Guid& type = file.fileFormat.fileType;
    if (type == FILE_TYPE_QCP) {
        writeQcpHeader(file);
    } else if (type == FILE_TYPE_WAV) {
        writeWavHeader(file);
    } else if (type == FILE_TYPE_RAW) {
        file.dataStart = file.dataPosition = file.blocksDone = 0;
        return;
    } else {
        failWith(SONX_ERR_UNSUPPORTED, "Given file format is unsupported");
    }
    file.dataStart = file.dataPosition = file.riff.size;
    file.fileFormat.size = file.riff.size;
    file.blocksDone = 0;
}

void prepareWriting(AudioFile& file) {
    checkQcpRateSet(file);
    if (file.fileFormat.codec == CODEC_PCM)
        file.encoderFormat = file.fileFormat;
    else
        attachEncoder(file, file.fileFormat);
    file.decoderFormat = file.encoderFormat;
    if (file.clientFormat.codec == CODEC_PCM)
        file.decoderFormat = file.clientFormat;
    else
        attachDecoder(file, file.clientFormat);
}

}  // namespace sonx
