#include "robustness/robustness_support.h"

#include "sonx/codec/rate_sets.h"


#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "support/test_support.h"

namespace sonx::robustness {

namespace {

// Start positions of the whole packets of a QCP 'data' chunk.
std::vector<size_t> packetStarts(const Bytes& file, const ChunkPlace& data) {
    std::vector<size_t> starts;
    const size_t end = std::min<size_t>(data.pos + 8 + data.length, file.size());
    for (size_t p = data.pos + 8; p < end;) {
        const int s = sonx::qcelpPayloadBytes(file[p]);
        if (s < 0) {
            ++p;
            continue;
        }
        starts.push_back(p);
        p += 1 + size_t(s);
    }
    return starts;
}

bool isQcp(const Bytes& b) {
    return b.size() >= 12 && std::memcmp(&b[8], "QLCM", 4) == 0;
}

Bytes flipped(const Bytes& base, size_t pos, int bit) {
    Bytes b = base;
    b[pos] ^= uint8_t(1u << bit);
    return b;
}

}  // namespace

Bytes baseWav() {
    const Bytes speech = test::readFileBytes(test::testDataPath("speech_8k.wav"));
    const auto chunks = chunkMap(speech);
    const ChunkPlace* data = findChunk(chunks, "data");
    if (!data) throw std::runtime_error("no 'data' in the test speech");
    // 0.3 s from a second into the file, where there is speech.
    const size_t from = data->pos + 8 + 16000, bytes = 4800;
    if (data->length < 16000 + bytes) throw std::runtime_error("test speech too short");
    return test::riff(
        "WAVE",
        {{"fmt ", test::wavFmt({})}, {"data", Bytes(speech.begin() + long(from), speech.begin() + long(from + bytes))}});
}

Bytes baseQcp() {
    Bytes packets;
    uint32_t seed = 7, count = 0;
    const uint8_t rates[] = {4, 4, 4, 3, 2, 1, 1, 0, 14, 4, 3, 3, 4, 4, 2, 4, 1, 4, 4, 3, 4, 4, 4, 1, 4};
    for (uint8_t rate : rates) {
        packets.push_back(rate);
        for (int k = 0; k < sonx::qcelpPayloadBytes(rate); ++k)
            packets.push_back(uint8_t((seed = seed * 1103515245u + 12345u) >> 16));
        ++count;
    }
    if (packets.size() % 2 == 0) {  // odd, so 'data' carries a pad byte
        packets.push_back(0);
        ++count;
    }
    Bytes label(48, 0);
    std::memcpy(label.data(), "damaged-input test", 18);
    const Bytes cnfg = {0x34, 0x12};
    const Bytes text = {'v', 'e', 'l', 'c', 'o', 'n', 'v'};
    return test::riff(
        "QLCM",
        {{"fmt ", test::qcpFmt(test::qcelpFmtSpec())}, {"vrat", test::vrat(1, count)}, {"labl", label}, {"data", packets}, {"cnfg", cnfg}, {"text", text}});
}

std::vector<Variant> truncations(const Bytes& base) {
    std::set<size_t> cuts = {1, 4, 8, 11, 12};
    const auto chunks = chunkMap(base);
    for (const auto& c : chunks) {
        cuts.insert({c.pos, c.pos + 4, c.pos + 8, c.pos + 8 + c.length / 2, c.pos + 8 + c.length - 1,
                     c.pos + 8 + c.length});
    }
    if (const ChunkPlace* data = findChunk(chunks, "data")) {
        if (isQcp(base)) {
            const auto starts = packetStarts(base, *data);
            for (size_t i = 0; i < starts.size() && i < 8; ++i) cuts.insert({starts[i] + 1, starts[i] + 9});
        } else {
            cuts.insert({data->pos + 9, data->pos + 8 + 1001, data->pos + 8 + 3201});  // mid-sample
        }
    }
    std::vector<Variant> out;
    for (size_t cut : cuts)
        if (cut < base.size())
            out.push_back({"cut at " + std::to_string(cut), Bytes(base.begin(), base.begin() + long(cut))});
    return out;
}

std::vector<Variant> headerBitFlips(const Bytes& base) {
    std::set<size_t> positions;
    for (size_t p = 0; p < 12; ++p) positions.insert(p);
    for (const auto& c : chunkMap(base)) {
        // Both ends of the id, and the length's low, middle and high bytes.
        for (size_t p : {0, 3, 4, 5, 7}) positions.insert(c.pos + p);
        // The fields that are read: the WAV format; the QCP version and the
        // codec identity (a few bytes of it: any change makes it unknown).
        if (c.id == "fmt ") {
            const size_t fields = isQcp(base) ? 6 : std::min<size_t>(c.length, 16);
            for (size_t p = 0; p < fields; ++p) positions.insert(c.pos + 8 + p);
        }
    }
    std::vector<Variant> out;
    for (size_t p : positions) {
        if (p >= base.size()) continue;
        // Vary the bit so both small and large changes of a field occur.
        const int bit = int((p * 5 + 3) % 8);
        out.push_back(
            {"bit " + std::to_string(bit) + " of byte " + std::to_string(p), flipped(base, p, bit)});
    }
    return out;
}

std::vector<Variant> payloadDamage(const Bytes& base) {
    std::vector<Variant> out;
    const auto chunks = chunkMap(base);
    const ChunkPlace* data = findChunk(chunks, "data");
    if (!data || data->length == 0) return out;
    const size_t begin = data->pos + 8, length = std::min<size_t>(data->length, base.size() - begin);
    for (int k = 0; k < 12; ++k) {
        const size_t p = begin + length * size_t(k) / 12;
        out.push_back({"payload bit at " + std::to_string(p), flipped(base, p, k % 8)});
    }
    Bytes all = base;
    std::fill(all.begin() + long(begin), all.begin() + long(begin + length), 0xFF);
    out.push_back({"payload all 0xFF", all});
    if (isQcp(base)) {
        const auto starts = packetStarts(base, *data);
        const uint8_t octets[] = {0x07, 0xFF, 14, 4, 0, 5};
        for (size_t i = 0; i < std::size(octets) && 2 + 3 * i < starts.size(); ++i) {
            Bytes b = base;
            b[starts[2 + 3 * i]] = octets[i];
            out.push_back(
                {"rate octet " + std::to_string(octets[i]) + " at " + std::to_string(starts[2 + 3 * i]), b});
        }
    }
    return out;
}

std::vector<Variant> lengthEdits(const Bytes& base) {
    std::vector<std::pair<std::string, size_t>> fields = {{"RIFF size", 4}};
    for (const auto& c : chunkMap(base)) fields.push_back({"'" + c.id + "' length", c.pos + 4});
    std::vector<Variant> out;
    for (const auto& [what, at] : fields) {
        if (at + 4 > base.size()) continue;
        const uint32_t original = le32At(base, at);
        for (uint32_t value : {0u, 1u, original | 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            if (value == original) continue;
            Bytes b = base;
            putLe32At(b, at, value);
            out.push_back({what + " = " + std::to_string(value), b});
        }
    }
    return out;
}

std::vector<Variant> wavFormatEdits(const Bytes& base) {
    std::vector<Variant> out;
    const auto chunks = chunkMap(base);
    const ChunkPlace* fmt = findChunk(chunks, "fmt ");
    if (!fmt || fmt->length < 16) return out;
    const size_t d = fmt->pos + 8;
    auto edit16 = [&](const char* what, size_t off, std::initializer_list<uint16_t> values) {
        for (uint16_t v : values) {
            Bytes b = base;
            putLe16At(b, d + off, v);
            out.push_back({std::string(what) + " = " + std::to_string(v), b});
        }
    };
    auto edit32 = [&](const char* what, size_t off, std::initializer_list<uint32_t> values) {
        for (uint32_t v : values) {
            Bytes b = base;
            putLe32At(b, d + off, v);
            out.push_back({std::string(what) + " = " + std::to_string(v), b});
        }
    };
    edit16("format tag", 0, {0, 3, 7, 0xFFFE});
    edit16("channels", 2, {0, 2, 0xFFFF});
    // Very low rates are left out: they are valid, only long (2400 samples
    // at 1 per second are 40 minutes of audio to encode).
    edit32("sample rate", 4, {0, 4000, 16000, 384000, 384001, 0x7FFFFFFF, 0xFFFFFFFF});
    edit16("block alignment", 12, {0, 1, 3, 4, 0xFFFF});
    edit16("bits per sample", 14, {0, 1, 8, 15, 24, 0xFFFF});
    return out;
}

std::string checkRun(const RunResult& run, bool salvage) {
    if (run.timedOut) return "did not end in time";
    if (run.signal) return "ended by signal " + std::to_string(run.signal);
    if (run.exitStatus != 0 && run.exitStatus != 255) return "exit status " + std::to_string(run.exitStatus);
    if (!run.standardOutput.empty()) return "wrote to standard output";
    if (run.exitStatus == 0) {
        const std::string& out = run.errorOutput;
        if (out.empty()) return "";
        const bool oneWarning = salvage && out.rfind("WARNING: ", 0) == 0 && out.find('\n') == out.size() - 1;
        return oneWarning ? "" : "printed on success: " + out;
    }
    if (run.errorOutput.empty() || run.errorOutput.back() != '\n') return "no complete message line";
    std::string line = run.errorOutput.substr(0, run.errorOutput.size() - 1);
    // One explaining line may follow the error (a hint, or what the file is).
    const size_t second = line.find("\nvelconv: ");
    if (second != std::string::npos) line.resize(second);
    if (line.find('\n') != std::string::npos) return "more than one line: " + run.errorOutput;
    if (line.rfind("ERROR: ", 0) != 0) return "message is no ERROR line: " + line;
    const std::string text = line.substr(7);
    if (text.size() < 10) return "error text too short to be clear: " + line;
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) return "unreadable character in the error text: " + line;
    return "";
}

std::string checkOutputFile(const std::string& path, bool stoppedWriter) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";  // nothing left behind
    const Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.empty()) return "";
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0) return "output is neither empty nor RIFF";
    const uint64_t claimed = uint64_t(le32At(b, 4)) + 8;
    if (claimed > b.size())
        return "RIFF size claims " + std::to_string(claimed) + " bytes, file holds " +
               std::to_string(b.size());
    const auto chunks = chunkMap(Bytes(b.begin(), b.begin() + long(claimed)));
    for (const auto& c : chunks) {
        if (c.pos + 8 + uint64_t(c.length) > claimed)
            return "chunk '" + c.id + "' claims " + std::to_string(c.length) + " bytes past the RIFF end";
        // A writer stopped before it extended the 'data' length leaves data
        // bytes behind the chunk, where no reader looks.
        if (stoppedWriter && c.id == "data") break;
    }
    const ChunkPlace* data = findChunk(chunks, "data");
    if (!data) return stoppedWriter ? "" : "no 'data' chunk";
    if (!isQcp(b)) return "";
    const ChunkPlace* vrat = findChunk(chunks, "vrat");
    if (!vrat || vrat->length < 8) return "no 'vrat' chunk";
    uint32_t packets = 0;
    const size_t end = data->pos + 8 + data->length;
    for (size_t p = data->pos + 8; p < end;) {
        const int s = sonx::qcelpPayloadBytes(b[p]);
        if (s < 0) return "stray byte at " + std::to_string(p) + " in written packets";
        if (p + 1 + size_t(s) > end) return "last packet cut short";
        p += 1 + size_t(s);
        ++packets;
    }
    const uint32_t counted = le32At(b, vrat->pos + 12);
    if (stoppedWriter ? counted > packets : counted != packets)
        return "'vrat' counts " + std::to_string(counted) + " packets, 'data' holds " +
               std::to_string(packets);
    return "";
}

}  // namespace sonx::robustness
