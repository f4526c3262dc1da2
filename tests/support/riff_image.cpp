#include "support/riff_image.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sonx::test {

void appendLe(Bytes& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void appendChunk(Bytes& out, const std::string& id, const Bytes& data) {
    out.insert(out.end(), id.begin(), id.begin() + 4);
    appendLe32(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() & 1) out.push_back(0);
}

Bytes riff(const std::string& form, const std::vector<Chunk>& chunks) {
    Bytes out = {'R', 'I', 'F', 'F', 0, 0, 0, 0};
    out.insert(out.end(), form.begin(), form.begin() + 4);
    for (const Chunk& chunk : chunks) appendChunk(out, chunk.id, chunk.data);
    putLe32At(out, 4, static_cast<uint32_t>(out.size() - 8));
    return out;
}

std::vector<ChunkPlace> chunkMap(const Bytes& file) {
    std::vector<ChunkPlace> chunks;
    for (size_t pos = 12; pos + 8 <= file.size();) {
        const uint32_t length = le32At(file, pos + 4);
        chunks.push_back({pos, std::string(reinterpret_cast<const char*>(&file[pos]), 4), length});
        pos += 8 + uint64_t{length} + (length & 1);
    }
    return chunks;
}

const ChunkPlace* findChunk(const std::vector<ChunkPlace>& chunks, const char* id) {
    for (const ChunkPlace& chunk : chunks)
        if (chunk.id == id) return &chunk;
    return nullptr;
}

size_t chunkAt(const Bytes& file, const char* id) {
    const auto chunks = chunkMap(file);
    const ChunkPlace* chunk = findChunk(chunks, id);
    return chunk ? chunk->pos : std::string::npos;
}

std::optional<Bytes> riffChunk(const Bytes& file, const char* id) {
    for (size_t at = 12; at + 8 <= file.size();) {
        const uint32_t length = le32At(file, at + 4);
        if (length > file.size() - at - 8) break;
        if (std::equal(id, id + 4, file.begin() + static_cast<long>(at)))
            return Bytes(file.begin() + static_cast<long>(at + 8), file.begin() + static_cast<long>(at + 8 + length));
        at += 8 + length + (length & 1);
    }
    return std::nullopt;
}

Bytes withChunk(Bytes file, const char* id, const Bytes& data) {
    appendChunk(file, id, data);
    putLe32At(file, 4, static_cast<uint32_t>(file.size() - 8));
    return file;
}

Wav parseWav(const Bytes& bytes) {
    Wav w;
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return w;
    w.riffSize = le32At(bytes, 4);
    bool fmt = false, data = false;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const uint32_t length = le32At(bytes, at + 4);
        const uint8_t* body = bytes.data() + at + 8;
        if (at + 8 + length > bytes.size()) return w;
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && length >= 16) {
            w.tag = getLe16(body);
            w.channels = getLe16(body + 2);
            w.rate = getLe32(body + 4);
            w.blockAlign = getLe16(body + 12);
            w.bits = getLe16(body + 14);
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

std::vector<int16_t> wavSamples(const Bytes& wav) {
    if (wav.size() < 12 || std::memcmp(wav.data(), "RIFF", 4) || std::memcmp(wav.data() + 8, "WAVE", 4))
        throw std::runtime_error("not a WAV file");
    const auto chunks = chunkMap(wav);
    const ChunkPlace* data = findChunk(chunks, "data");
    if (!data) throw std::runtime_error("no data chunk");
    const size_t end = std::min<size_t>(wav.size(), data->pos + 8 + size_t{data->length});
    std::vector<int16_t> samples;
    for (size_t at = data->pos + 8; at + 1 < end; at += 2) samples.push_back(static_cast<int16_t>(getLe16(&wav[at])));
    return samples;
}

Bytes wavFmt(const WavSpec& spec) {
    const uint16_t blockAlign = spec.blockAlign ? spec.blockAlign : static_cast<uint16_t>(spec.channels * spec.bits / 8);
    Bytes fmt;
    appendLe16(fmt, spec.tag);
    appendLe16(fmt, spec.channels);
    appendLe32(fmt, spec.rate);
    appendLe32(fmt, spec.rate * blockAlign);
    appendLe16(fmt, blockAlign);
    appendLe16(fmt, spec.bits);
    return fmt;
}

Bytes wavFile(const WavSpec& spec, const Bytes& data) {
    return riff("WAVE", {{"fmt ", wavFmt(spec)}, {"data", data}});
}

Bytes infoList(const std::string& label, const std::string& text) {
    Bytes list = {'I', 'N', 'F', 'O'};
    auto entry = [&list](const char* id, const std::string& value) {
        if (value.empty()) return;
        Bytes bytes(value.begin(), value.end());
        bytes.push_back(0);
        appendChunk(list, id, bytes);
    };
    entry("INAM", label);
    entry("ICMT", text);
    return list;
}

Bytes asRf64(const Bytes& wav, const char* headerId) {
    const auto fmt = riffChunk(wav, "fmt ");
    const auto data = riffChunk(wav, "data");
    if (!fmt || fmt->size() < 16 || !data) throw std::runtime_error("asRf64: no WAV file");
    const uint32_t blockAlign = getLe16(fmt->data() + 12);
    const uint64_t dataLength = data->size(), samples = blockAlign ? dataLength / blockAlign : 0;
    Bytes ds64;
    for (uint64_t value : {uint64_t{0}, dataLength, samples}) appendLe(ds64, value, 8);
    appendLe32(ds64, 0);  // no table of other chunk lengths
    Bytes out = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    std::copy(headerId, headerId + 4, out.begin());
    appendChunk(out, "ds64", ds64);
    for (size_t at = 12; at + 8 <= wav.size();) {
        const uint32_t length = le32At(wav, at + 4);
        const size_t padded = std::min<size_t>(wav.size() - at, 8 + size_t{length} + (length & 1));
        const size_t headerAt = out.size();
        out.insert(out.end(), wav.begin() + static_cast<long>(at), wav.begin() + static_cast<long>(at + padded));
        if (std::memcmp(&out[headerAt], "data", 4) == 0) putLe32At(out, headerAt + 4, 0xFFFFFFFF);
        at += padded;
    }
    putLe32At(out, 4, 0xFFFFFFFF);
    const uint64_t riffSize = out.size() - 8;
    putLe32At(out, 20, static_cast<uint32_t>(riffSize));
    putLe32At(out, 24, static_cast<uint32_t>(riffSize >> 32));
    return out;
}

Bytes qcpFmt(const QcpFmtSpec& spec) {
    if (spec.name.size() > 80 || spec.rates.size() > 8) throw std::runtime_error("qcpFmt: field too long");
    Bytes fmt(150, 0);
    fmt[0] = spec.major;
    std::memcpy(&fmt[2], spec.codec.bytes, 16);
    putLe16At(fmt, 18, spec.version);
    std::memcpy(&fmt[20], spec.name.data(), spec.name.size());
    putLe16At(fmt, 100, spec.averageBitRate);
    putLe16At(fmt, 102, spec.packetBytes);
    putLe16At(fmt, 104, spec.blockSamples);
    putLe16At(fmt, 106, spec.sampleRate);
    putLe16At(fmt, 108, spec.sampleBits);
    putLe32At(fmt, 110, static_cast<uint32_t>(spec.rates.size()));
    for (size_t i = 0; i < spec.rates.size(); ++i) {
        fmt[114 + 2 * i] = spec.rates[i].first;
        fmt[115 + 2 * i] = spec.rates[i].second;
    }
    return fmt;
}

QcpFmtSpec qcelpFmtSpec() {
    QcpFmtSpec spec;
    spec.major = 1;
    spec.codec = CODEC_QCELP13K;
    spec.version = 2;
    spec.name = "Qcelp 13K";
    spec.averageBitRate = 14399;
    spec.packetBytes = 35;
    spec.blockSamples = 160;
    spec.sampleRate = 8000;
    spec.sampleBits = 16;
    spec.rates = {{3, 1}, {7, 2}, {16, 3}, {34, 4}};
    return spec;
}

Bytes vrat(uint32_t variableRate, uint32_t packets) {
    Bytes data;
    appendLe32(data, variableRate);
    appendLe32(data, packets);
    return data;
}

}  // namespace sonx::test
