// In-memory files served through the client file callback, and a check that
// a written RIFF file claims no more than it holds. Shared by the fuzz targets.
#ifndef SONX_FUZZ_MEM_FILE_H
#define SONX_FUZZ_MEM_FILE_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sonx/codec/rate_sets.h"
#include "sonx/fileio/endian.h"
#include "sonx/sonx.h"

namespace fuzz {

// A file in memory. Writes past `limit` bytes are refused, which bounds the
// work a conversion of a hostile input can do.
struct MemFile {
    std::vector<uint8_t> bytes;
    size_t position = 0;
    bool writable = false;
    size_t limit = 1 << 20;

    sonx::FileHandle handle() {
        return sonx::FileHandle::client(&callback, reinterpret_cast<uintptr_t>(this));
    }

    static int32_t callback(int32_t op, uint8_t* buffer, int32_t pos, int32_t length, uintptr_t data) {
        auto& f = *reinterpret_cast<MemFile*>(data);
        switch (op) {
            case sonx::CLIENT_FILE_READ: {
                if (length < 0 || !buffer) return -1;
                const size_t have = f.position < f.bytes.size() ? f.bytes.size() - f.position : 0;
                const size_t n = have < size_t(length) ? have : size_t(length);
                if (n) std::memcpy(buffer, f.bytes.data() + f.position, n);
                f.position += n;
                return static_cast<int32_t>(n);
            }
            case sonx::CLIENT_FILE_WRITE: {
                if (!f.writable || length < 0 || !buffer) return 0;
                if (f.position + size_t(length) > f.limit) return 0;
                if (f.position + size_t(length) > f.bytes.size()) f.bytes.resize(f.position + size_t(length));
                if (length) std::memcpy(f.bytes.data() + f.position, buffer, size_t(length));
                f.position += size_t(length);
                return length;
            }
            case sonx::CLIENT_FILE_SEEK:
                if (pos < 0) return -1;
                f.position = size_t(pos);
                return pos;
            case sonx::CLIENT_FILE_SIZE:
                return static_cast<int32_t>(f.bytes.size());
            case sonx::CLIENT_FILE_TRUNCATE:
                if (!f.writable || length < 0 || size_t(length) > f.limit) return -1;
                f.bytes.resize(size_t(length));
                return 0;
            default:
                return -1;
        }
    }
};

inline uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return sonx::getLe32(&b[at]);
}

// Checks a finished RIFF output: the RIFF size matches the length (a client
// file may lack the final pad byte, which the size already counts), the
// 'data' chunk lies inside the file, and for QCP the 'vrat' packet count
// equals the whole, valid packets in 'data' (an encoder writes no stray
// bytes). Returns an empty string when all holds, else what is wrong.
inline std::string checkRiffOutput(const std::vector<uint8_t>& b, bool qcp) {
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0) return "no RIFF header";
    const uint64_t end = uint64_t(le32(b, 4)) + 8;
    int64_t dataPos = -1, vratPos = -1;
    uint32_t dataLen = 0;
    for (uint64_t pos = 12; pos + 8 <= end && pos + 8 <= b.size();) {
        const uint32_t n = le32(b, size_t(pos) + 4);
        if (std::memcmp(&b[size_t(pos)], "data", 4) == 0 && dataPos < 0) {
            dataPos = int64_t(pos) + 8;
            dataLen = n;
        } else if (std::memcmp(&b[size_t(pos)], "vrat", 4) == 0 && vratPos < 0) {
            vratPos = int64_t(pos) + 8;
        }
        pos += 8 + uint64_t(n) + (n & 1);
    }
    if (dataPos < 0) return "no 'data' chunk";
    const uint64_t dataEnd = uint64_t(dataPos) + dataLen;
    if (dataEnd > b.size()) return "'data' claims more bytes than the file holds";
    const uint64_t paddedEnd = dataEnd + (dataLen & 1);
    if (end != b.size() && !(end == b.size() + 1 && paddedEnd == end))
        return "RIFF size disagrees with file length";
    if (!qcp) return {};
    if (vratPos < 0 || uint64_t(vratPos) + 8 > b.size()) return "no 'vrat' chunk";
    uint32_t packets = 0;
    for (uint64_t p = uint64_t(dataPos); p < dataEnd;) {
        const int s = sonx::qcelpPayloadBytes(b[size_t(p)]);
        if (s < 0) return "stray byte in written packet data";
        if (p + 1 + uint64_t(s) > dataEnd) return "last packet cut short";
        p += 1 + uint64_t(s);
        ++packets;
    }
    if (le32(b, size_t(vratPos) + 4) != packets) return "'vrat' packet count disagrees with 'data'";
    return {};
}

// The length of a checked RIFF output: 'vrat' packets of a QCP (at 8000
// Hz), sample frames ('data' bytes over the block alignment) of a WAV at its
// rate; blocks -1 when unknown.
struct OutputLength {
    int64_t blocks = -1;
    uint32_t rate = 8000;
};

inline OutputLength outputLength(const std::vector<uint8_t>& b, bool qcp) {
    OutputLength length;
    if (b.size() < 12) return length;
    const uint64_t end = std::min<uint64_t>(uint64_t(le32(b, 4)) + 8, b.size());
    uint32_t align = 0;
    for (uint64_t pos = 12; pos + 8 <= end;) {
        const uint32_t n = le32(b, size_t(pos) + 4);
        const char* id = reinterpret_cast<const char*>(&b[size_t(pos)]);
        if (qcp && std::memcmp(id, "vrat", 4) == 0 && pos + 16 <= end) {
            length.blocks = le32(b, size_t(pos) + 12);
            return length;
        }
        if (!qcp && std::memcmp(id, "fmt ", 4) == 0 && pos + 22 <= end) {
            length.rate = le32(b, size_t(pos) + 12);
            align = b[pos + 20] | b[pos + 21] << 8;
        }
        if (!qcp && std::memcmp(id, "data", 4) == 0) {
            if (align) length.blocks = int64_t(n / align);
            return length;
        }
        pos += 8 + uint64_t(n) + (n & 1);
    }
    return length;
}

}  // namespace fuzz

#endif  // SONX_FUZZ_MEM_FILE_H
