#include "robustness/robustness_support.h"

#include "sonx/codec/rate_sets.h"
#include "sonx/fileio/endian.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "support/test_support.h"

namespace sonx::robustness {

uint32_t le32(const Bytes& b, size_t at) {
    return getLe32(&b[at]);
}

void putLe32(Bytes& b, size_t at, uint32_t v) {
    sonx::putLe32(&b[at], v);
}

void putLe16(Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

std::vector<Chunk> chunkMap(const Bytes& file) {
    std::vector<Chunk> chunks;
    for (size_t pos = 12; pos + 8 <= file.size();) {
        const uint32_t n = le32(file, pos + 4);
        chunks.push_back({pos, std::string(reinterpret_cast<const char*>(&file[pos]), 4), n});
        pos += 8 + uint64_t(n) + (n & 1);
    }
    return chunks;
}

const Chunk* findChunk(const std::vector<Chunk>& chunks, const char* id) {
    for (const auto& c : chunks)
        if (c.id == id) return &c;
    return nullptr;
}

namespace {

void append(Bytes& b, const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    b.insert(b.end(), c, c + n);
}

void appendChunk(Bytes& file, const char* id, const Bytes& body) {
    append(file, id, 4);
    const size_t at = file.size();
    file.resize(at + 4);
    putLe32(file, at, static_cast<uint32_t>(body.size()));
    append(file, body.data(), body.size());
    if (body.size() & 1) file.push_back(0);
}

Bytes riffFile(const char* form, const std::vector<std::pair<const char*, Bytes>>& chunks) {
    Bytes file = {'R', 'I', 'F', 'F', 0, 0, 0, 0};
    append(file, form, 4);
    for (const auto& [id, body] : chunks) appendChunk(file, id, body);
    putLe32(file, 4, static_cast<uint32_t>(file.size() - 8));
    return file;
}

// Start positions of the whole packets of a QCP 'data' chunk.
std::vector<size_t> packetStarts(const Bytes& file, const Chunk& data) {
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
    const Chunk* data = findChunk(chunks, "data");
    if (!data) throw std::runtime_error("no 'data' in the test speech");
    // 0.3 s from a second into the file, where there is speech.
    const size_t from = data->pos + 8 + 16000, bytes = 4800;
    if (data->length < 16000 + bytes) throw std::runtime_error("test speech too short");
    Bytes fmt(16);
    putLe16(fmt, 0, 1);
    putLe16(fmt, 2, 1);
    putLe32(fmt, 4, 8000);
    putLe32(fmt, 8, 16000);
    putLe16(fmt, 12, 2);
    putLe16(fmt, 14, 16);
    return riffFile(
        "WAVE",
        {{"fmt ", fmt}, {"data", Bytes(speech.begin() + long(from), speech.begin() + long(from + bytes))}});
}

Bytes baseQcp() {
    static const uint8_t kCodec[16] = {0x41, 0x6D, 0x7F, 0x5E, 0x15, 0xB1, 0xD0, 0x11,
                                       0xBA, 0x91, 0x00, 0x80, 0x5F, 0xB4, 0xB9, 0x7E};
    Bytes fmt(150, 0);
    fmt[0] = 1;
    std::memcpy(&fmt[2], kCodec, 16);
    putLe16(fmt, 18, 2);
    std::memcpy(&fmt[20], "Qcelp 13K", 9);
    putLe16(fmt, 100, 14399);
    putLe16(fmt, 102, 35);
    putLe16(fmt, 104, 160);
    putLe16(fmt, 106, 8000);
    putLe16(fmt, 108, 16);
    putLe32(fmt, 110, 4);
    const uint8_t map[8] = {3, 1, 7, 2, 16, 3, 34, 4};
    std::memcpy(&fmt[114], map, 8);

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
    Bytes vrat(8);
    putLe32(vrat, 0, 1);
    putLe32(vrat, 4, count);
    Bytes label(48, 0);
    std::memcpy(label.data(), "damaged-input test", 18);
    const Bytes cnfg = {0x34, 0x12};
    const Bytes text = {'v', 'e', 'l', 'c', 'o', 'n', 'v'};
    return riffFile(
        "QLCM",
        {{"fmt ", fmt}, {"vrat", vrat}, {"labl", label}, {"data", packets}, {"cnfg", cnfg}, {"text", text}});
}

std::vector<Variant> truncations(const Bytes& base) {
    std::set<size_t> cuts = {1, 4, 8, 11, 12};
    const auto chunks = chunkMap(base);
    for (const auto& c : chunks) {
        cuts.insert({c.pos, c.pos + 4, c.pos + 8, c.pos + 8 + c.length / 2, c.pos + 8 + c.length - 1,
                     c.pos + 8 + c.length});
    }
    if (const Chunk* data = findChunk(chunks, "data")) {
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
    const Chunk* data = findChunk(chunks, "data");
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
        const uint32_t original = le32(base, at);
        for (uint32_t value : {0u, 1u, original | 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            if (value == original) continue;
            Bytes b = base;
            putLe32(b, at, value);
            out.push_back({what + " = " + std::to_string(value), b});
        }
    }
    return out;
}

std::vector<Variant> wavFormatEdits(const Bytes& base) {
    std::vector<Variant> out;
    const auto chunks = chunkMap(base);
    const Chunk* fmt = findChunk(chunks, "fmt ");
    if (!fmt || fmt->length < 16) return out;
    const size_t d = fmt->pos + 8;
    auto edit16 = [&](const char* what, size_t off, std::initializer_list<uint16_t> values) {
        for (uint16_t v : values) {
            Bytes b = base;
            putLe16(b, d + off, v);
            out.push_back({std::string(what) + " = " + std::to_string(v), b});
        }
    };
    auto edit32 = [&](const char* what, size_t off, std::initializer_list<uint32_t> values) {
        for (uint32_t v : values) {
            Bytes b = base;
            putLe32(b, d + off, v);
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

RunOutcome runWithTimeout(const std::vector<std::string>& args, std::chrono::seconds limit) {
    int errPipe[2], outPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(errPipe[1], 2);
        dup2(outPipe[1], 1);
        std::vector<std::string> copy = args;
        std::string program = VELCONV_PATH;
        std::vector<char*> argv{program.data()};
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(errPipe[1]);
    close(outPipe[1]);
    RunOutcome run;
    const auto deadline = start + limit;
    pollfd fds[2] = {{errPipe[0], POLLIN, 0}, {outPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? run.errorOutput : run.standardOutput).append(buf, size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status) && !run.timedOut) run.signal = WTERMSIG(status);
    return run;
}

std::string checkRun(const RunOutcome& run, bool salvage) {
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
    const uint64_t claimed = uint64_t(le32(b, 4)) + 8;
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
    const Chunk* data = findChunk(chunks, "data");
    if (!data) return stoppedWriter ? "" : "no 'data' chunk";
    if (!isQcp(b)) return "";
    const Chunk* vrat = findChunk(chunks, "vrat");
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
    const uint32_t counted = le32(b, vrat->pos + 12);
    if (stoppedWriter ? counted > packets : counted != packets)
        return "'vrat' counts " + std::to_string(counted) + " packets, 'data' holds " +
               std::to_string(packets);
    return "";
}

}  // namespace sonx::robustness
