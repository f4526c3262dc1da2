// What a speech file holds, read from its header and packet stream without
// converting it: the one place that velconv -i, embedders and the page ask.
#include "sonx/convert/file_facts.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "sonx/component/status.h"
#include "sonx/codec/rate_sets.h"
#include "sonx/component/threads.h"
#include "sonx/convert/file_tags.h"
#include "sonx/fileio/riff.h"

namespace sonx {

namespace {

constexpr uint32_t kRiffHeaderBytes = 12;
constexpr uint32_t kQcpFmtBytes = 150;
constexpr uint32_t kQcpFmtRateMapBytes = 130;  // everything up to the end of the rate map
constexpr uint32_t kWavFmtBytes = 16;
constexpr uint32_t kDefaultBlockSamples = 160;
constexpr uint32_t kDefaultSampleRate = 8000;

struct CodecNameRow {
    const Guid* codec;
    const char* name;
};
constexpr CodecNameRow kCodecNames[] = {
    {&CODEC_QCELP13K, "QCELP-13K"}, {&CODEC_QCELP13K_ALT, "QCELP-13K"}, {&CODEC_PCM, "PCM"},
    {&CODEC_G711_ULAW, "G.711 mu-law"}, {&CODEC_EVRC, "EVRC"}, {&CODEC_SMV, "SMV"},
    {&CODEC_EVRC_B, "EVRC-B (4GV)"},
};

uint32_t regionLength(const RiffIo& riff) {
    return riff.size > kRiffHeaderBytes ? riff.size - kRiffHeaderBytes : 0;
}

bool findChunk(AudioFile& file, const char* id, uint32_t& position, uint32_t& length) {
    position = kRiffHeaderBytes;
    length = regionLength(file.riff);
    return length > 0 && findRiffChunkAllowingOverrun(file.riff, id, position, length);
}

// A chunk the audio does not depend on, found behind damage the walk cannot
// pass, is absent, as it is when the file is read.
bool findOptionalChunk(AudioFile& file, const char* id, uint32_t& position, uint32_t& length) {
    try {
        return findChunk(file, id, position, length);
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::vector<uint8_t> readAt(AudioFile& file, uint32_t position, uint32_t count) {
    std::vector<uint8_t> bytes(count);
    seekFile(file, position);
    if (count) readFile(file, bytes.data(), count);
    return bytes;
}

int rateIndex(uint8_t rateOctet) {
    switch (rateOctet) {
        case RATE_FULL: return PACKETS_FULL;
        case RATE_HALF: return PACKETS_HALF;
        case RATE_QUARTER: return PACKETS_QUARTER;
        case RATE_EIGHTH: return PACKETS_EIGHTH;
        case RATE_BLANK: return PACKETS_BLANK;
        case RATE_ERASURE: return PACKETS_ERASURE;
        default: return -1;
    }
}

// The 'data' chunk: where its bytes start, how many of them the file really
// holds, and whether the header promised more (or claimed no length while
// data follows, as a writer leaves that never finished).
struct DataSpan {
    uint32_t position = 0;
    uint32_t present = 0;
    uint32_t stated = 0;
    bool cutShort = false;
};

DataSpan findData(AudioFile& file, const char* kindName) {
    DataSpan span;
    uint32_t length = 0;
    if (!findChunk(file, "data", span.position, length))
        failWith(SONX_ERR_DAMAGED, std::string("Unable to find 'data' chunk in ") + kindName + " file");
    const uint32_t available = file.riff.size > span.position ? file.riff.size - span.position : 0;
    span.stated = length;
    span.present = std::min(length, available);
    const bool unfilled = length == 0 && available > 0 && !chunksFillTheRest(file.riff, span.position);
    if (length > available || unfilled || file.riff.zeroSizeClaimed) {
        span.cutShort = true;
        span.present = available;
    }
    return span;
}

void describeQcp(AudioFile& file, FileFacts& facts) {
    facts.kind = FILE_KIND_QCP;
    uint32_t position = 0, length = 0;
    if (!findChunk(file, "fmt ", position, length) || length < kQcpFmtRateMapBytes)
        failWith(SONX_ERR_DAMAGED, "The QCP file has no readable 'fmt ' chunk");
    const std::vector<uint8_t> format = readAt(file, position, std::min(length, kQcpFmtBytes));
    std::memcpy(facts.codec.bytes, &format[2], 16);
    const uint32_t statedBlock = getLe16(&format[104]), statedRate = getLe16(&format[106]);
    uint32_t blockSamples = statedBlock ? statedBlock : kDefaultBlockSamples;
    facts.sampleRate = statedRate ? statedRate : kDefaultSampleRate;
    facts.sampleBits = getLe16(&format[108]);
    facts.channels = 1;
    ISonxCodec* decoder = createInstance<ISonxCodec>(facts.codec);
    facts.decodable = decoder != nullptr;
    if (decoder) {
        // Decoding takes the codec's packet length and rate whatever the
        // 'fmt ' states, so the facts do too; a field that differs is damage.
        AudioFormat samples, packets;
        if (decoder->SetRateSet(RATE_SET_VFR, 0)) {
            decoder->GetFormats(&samples, &packets);
            facts.formatDamaged = (statedBlock && statedBlock != packets.blockSamples) ||
                                  (statedRate && statedRate != samples.sampleRate);
            blockSamples = packets.blockSamples;
            facts.sampleRate = samples.sampleRate;
            facts.sampleBits = samples.sampleBits;
        }
        decoder->Release();
    }

    // QCELP-13K sizes are known; other codecs' come from the file's rate map.
    const bool qcelp = facts.codec == CODEC_QCELP13K || facts.codec == CODEC_QCELP13K_ALT;
    int32_t payload[256];
    for (int octet = 0; octet < 256; ++octet) payload[octet] = qcelp ? qcelpPayloadBytes(static_cast<uint8_t>(octet)) : -1;
    if (!qcelp) {
        payload[RATE_BLANK] = 0;
        const uint32_t rates = std::min<uint32_t>(getLe32(&format[110]), 8);
        for (uint32_t entry = 0; entry < rates; ++entry)
            payload[format[114 + 2 * entry + 1]] = format[114 + 2 * entry];
    }

    bool variable = true;
    if (findOptionalChunk(file, "vrat", position, length) && length >= 8 && position + 8 <= file.riff.size) {
        const std::vector<uint8_t> vrat = readAt(file, position, 8);
        variable = getLe32(&vrat[0]) != 0;
        facts.packetsPromised = getLe32(&vrat[4]);
        facts.promiseKnown = 1;
    }

    const DataSpan span = findData(file, "QCP");
    facts.cutShort = span.cutShort;
    const std::vector<uint8_t> data = readAt(file, span.position, span.present);
    uint64_t packetBytes = 0;
    for (uint32_t at = 0; at < data.size();) {
        const int32_t size = payload[data[at]];
        if (size < 0) {
            ++facts.strayBytes;
            ++at;
            continue;
        }
        if (uint64_t{at} + 1 + static_cast<uint32_t>(size) > data.size()) break;
        const int index = rateIndex(data[at]);
        if (index >= 0) ++facts.packetsByRate[index];
        ++facts.packets;
        packetBytes += 1 + static_cast<uint32_t>(size);
        at += 1 + static_cast<uint32_t>(size);
    }
    facts.samples = uint64_t{facts.packets} * blockSamples;
    facts.samplesPromised = uint64_t{facts.packetsPromised} * blockSamples;
    if (facts.samples > 0) facts.averageBitRate = static_cast<uint32_t>(packetBytes * 8 * facts.sampleRate / facts.samples);
    // A cut stream whose 'vrat' still says more is cut short too.
    if (facts.promiseKnown && facts.packetsPromised > facts.packets && span.present < span.stated) facts.cutShort = 1;

    if (qcelp) {
        const bool halfMax = facts.packets > 0 && facts.packetsByRate[PACKETS_FULL] == 0;
        facts.rateSet = variable ? (halfMax ? RATE_SET_VHR : RATE_SET_VFR) : (halfMax ? RATE_SET_FHR : RATE_SET_FFR);
    }

    const FileTags tags = readQcpTags(file);
    facts.label = tags.label;
    facts.text = tags.text;
}

void describeWav(AudioFile& file, FileFacts& facts) {
    facts.kind = FILE_KIND_WAV;
    uint32_t position = 0, length = 0;
    if (!findChunk(file, "fmt ", position, length) || length < kWavFmtBytes || position + kWavFmtBytes > file.riff.size)
        failWith(SONX_ERR_DAMAGED, "The WAV file has no readable 'fmt ' chunk");
    const std::vector<uint8_t> format = readAt(file, position, kWavFmtBytes);
    facts.formatTag = getLe16(&format[0]);
    facts.channels = getLe16(&format[2]);
    facts.sampleRate = getLe32(&format[4]);
    const uint32_t blockAlign = getLe16(&format[12]);
    facts.sampleBits = getLe16(&format[14]);
    if (facts.formatTag == 1) facts.codec = CODEC_PCM;
    if (facts.formatTag == 7) facts.codec = CODEC_G711_ULAW;
    static const uint32_t kReadableTags[] = {0x0001, 0x0003, 0x0006, 0x0007, 0xFFFE};
    facts.decodable = blockAlign > 0 && facts.channels > 0 &&
                      std::find(std::begin(kReadableTags), std::end(kReadableTags), facts.formatTag) !=
                          std::end(kReadableTags);

    const DataSpan span = findData(file, "WAV");
    facts.cutShort = span.cutShort;
    if (blockAlign > 0) {
        facts.samples = span.present / blockAlign;
        facts.samplesPromised = span.stated / blockAlign;
        facts.promiseKnown = span.stated != 0 && span.stated != 0xFFFFFFFF;
    }
    const FileTags tags = readWavTags(file);
    facts.label = tags.label;
    facts.text = tags.text;
}

}  // namespace

}  // namespace sonx

extern "C" const char* sonx_codec_name(const unsigned char identity[16]) {
    if (!identity) return nullptr;
    sonx::Guid codec;
    std::memcpy(codec.bytes, identity, sizeof codec.bytes);
    for (const sonx::CodecNameRow& row : sonx::kCodecNames)
        if (*row.codec == codec) return row.name;
    return nullptr;
}

namespace sonx {

namespace {

// Copies `text` into a buffer of `capacity` bytes with a NUL, cut to fit.
void copyOut(const std::string& text, char* buffer, size_t capacity, size_t& length) {
    length = text.size();
    if (!buffer || capacity == 0) return;
    const size_t kept = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), kept);
    buffer[kept] = '\0';
}

}  // namespace

int32_t describeFileInto(const FileHandle& handle, FileFactsCore& core, FileFactTexts& texts) {
    FileFacts facts;
    AudioFile file;
    file.handle = handle;
    file.fileFormat.fileType = FILE_TYPE_WAV;  // binds the RIFF context; the form decides below
    const Failure failure = failureOf([&] {
        openFile(file, false, false);
        // A RIFF size of 0 is what an unfinished writer leaves: the data runs to the end.
        file.riff.keepSizeOnZeroClaim = true;
        uint8_t form[4];
        readRiffHeader(file.riff, form);
        if (sameId(form, "QLCM"))
            describeQcp(file, facts);
        else if (sameId(form, "WAVE"))
            describeWav(file, facts);
        else
            failWith(SONX_ERR_NOT_AUDIO, "The file is a RIFF file, but neither a QCP nor a WAV file");
        facts.codecName = codecName(facts.codec);
    });
    closeFile(file, true);
    if (failure.status != SONX_OK) facts = FileFacts{};
    core = facts;
    copyOut(facts.label, texts.label, texts.labelCapacity, texts.labelLength);
    copyOut(facts.text, texts.text, texts.textCapacity, texts.textLength);
    copyOut(failure.text, texts.error, texts.errorCapacity, texts.errorLength);
    return failure.status;
}

}  // namespace sonx
