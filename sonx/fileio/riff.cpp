#include "sonx/component/status.h"
#include "sonx/fileio/riff.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "sonx/fileio/audio_file.h"

namespace sonx {

namespace {

constexpr uint32_t kMoveBlock = 4096;

uint64_t roundEven(uint64_t n) {
    return n + (n & 1u);
}

// Every position handed to the file functions is 32-bit; sums are formed in
// 64 bits and checked here before they are narrowed.
uint32_t position32(uint64_t p) {
    if (p > UINT32_MAX) failWith(SONX_ERR_TOO_LARGE, "Cannot set RIFF chunk - file would exceed 4 GiB");
    return static_cast<uint32_t>(p);
}

void seekTo(RiffIo& riff, uint64_t p) {
    riff.seek(position32(p), riff.context);
}

void writeLe32(RiffIo& riff, uint32_t v) {
    uint8_t b[4];
    putLe32(b, v);
    riff.write(b, 4, riff.context);
}

// A chunk id as text for messages; bytes of a damaged file that are not
// printable are shown as \xNN, so the message stays one readable line.
std::string idText(const uint8_t* id) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (id[i] >= 0x20 && id[i] < 0x7F) {
            text += static_cast<char>(id[i]);
        } else {
            text += "\\x";
            text += kHex[id[i] >> 4];
            text += kHex[id[i] & 15];
        }
    }
    return text;
}

StatusError badLength(const uint8_t* id, uint32_t n, uint64_t a) {
    return StatusError(SONX_ERR_DAMAGED, "Bad length for '" + idText(id) + "' chunk (" + std::to_string(n) +
                              ") at pos = " + std::to_string(a) + " in RIFF file");
}

constexpr uint32_t kNoLength = 0xFFFFFFFF;

// A chunk's data length, from its 8-byte header or, for the 'data' chunk of
// an RF64 file, from 'ds64'. A length past 32 bits cannot be addressed and
// stays the largest one there is, which the walk finds running past the end.
uint32_t chunkLength(const RiffIo& riff, const uint8_t* head) {
    const uint32_t n = getLe32(head + 4);
    if (n != kNoLength || !riff.ds64 || !sameId(head, "data")) return n;
    return static_cast<uint32_t>(std::min<uint64_t>(riff.ds64DataLength, kNoLength));
}

// The 64-bit sizes of an RF64 file: its first chunk 'ds64' holds the RIFF
// size, the 'data' length and the sample count, 8 bytes each. Returns the
// RIFF size the header means.
uint64_t readDs64(RiffIo& riff, uint32_t claimed) {
    constexpr uint32_t kDs64Bytes = 24;
    if (claimed != kNoLength || riff.size < 12 + 8 + kDs64Bytes) return claimed;
    uint8_t head[8 + kDs64Bytes];
    riff.seek(12, riff.context);
    riff.read(head, sizeof head, riff.context);
    if (!sameId(head, "ds64") || getLe32(head + 4) < kDs64Bytes) return claimed;
    riff.ds64 = true;
    riff.ds64DataLength = getLe64(head + 16);
    return getLe64(head + 8);
}

// The last chunk of a region, as the walk steps through it.
struct LastChunk {
    uint8_t id[4] = {};
    uint32_t length = 0;
    uint64_t pos = 0;
    uint64_t paddedEnd = 0;  // where the walk stops
};

LastChunk lastChunk(RiffIo& riff, uint32_t start, uint32_t length) {
    LastChunk last;
    last.paddedEnd = start;
    const uint64_t end = uint64_t{start} + length;
    for (uint64_t a = start; a < end && a <= UINT32_MAX; a = last.paddedEnd) {
        riff.seek(static_cast<uint32_t>(a), riff.context);
        uint8_t head[8];
        riff.read(head, 8, riff.context);
        std::memcpy(last.id, head, 4);
        last.length = chunkLength(riff, head);
        last.pos = a;
        last.paddedEnd = roundEven(a + 8 + last.length);
    }
    return last;
}

}  // namespace

void readRiffHeader(RiffIo& riff, uint8_t formType[4]) {
    if (riff.size < 12) failWith(SONX_ERR_NOT_AUDIO, "File is not big enough to be a RIFF file");
    uint8_t head[8];
    riff.seek(0, riff.context);
    riff.read(head, 4, riff.context);
    const bool rf64 = sameId(head, "RF64") || sameId(head, "BW64");
    if (!sameId(head, "RIFF") && !rf64) failWith(SONX_ERR_NOT_AUDIO, "File is not a RIFF file (no 'RIFF' header tag)");
    riff.read(head + 4, 4, riff.context);
    riff.read(formType, 4, riff.context);
    riff.ds64 = false;
    riff.ds64DataLength = 0;
    const uint64_t claimed = rf64 ? readDs64(riff, getLe32(head + 4)) : getLe32(head + 4);
    riff.zeroSizeClaimed = claimed == 0;
    // Bytes beyond what the header claims do not belong to the RIFF structure.
    if (claimed < riff.size - 8 && !(riff.zeroSizeClaimed && riff.keepSizeOnZeroClaim))
        riff.size = static_cast<uint32_t>(claimed + 8);
}

void writeRiffHeader(RiffIo& riff, const char* formType) {
    if (riff.size < 12) riff.size = 12;
    uint8_t head[12];
    std::memcpy(head, "RIFF", 4);
    putLe32(head + 4, riff.size - 8);
    std::memcpy(head + 8, formType, 4);
    riff.seek(0, riff.context);
    riff.write(head, 12, riff.context);
}

namespace {

bool walkToChunk(RiffIo& riff, const char* id, uint32_t& position, uint32_t& length, bool allowOverrun) {
    const uint64_t end = static_cast<uint64_t>(position) + length;
    uint64_t a = position;
    // A walk that steps past what 32-bit positions can address has nothing
    // left to find (the bounds test below keeps every chunk inside the size).
    while (a < end && a <= UINT32_MAX) {
        riff.seek(static_cast<uint32_t>(a), riff.context);
        uint8_t head[8];
        riff.read(head, 8, riff.context);
        const uint32_t n = chunkLength(riff, head);
        const bool wanted = sameId(head, id);
        // The chunk's 8-byte header counts: a file cut by even one byte is cut.
        if (a + 8 + n > riff.size && !(wanted && allowOverrun)) throw badLength(head, n, a);
        if (wanted) {
            position = static_cast<uint32_t>(a + 8);
            length = n;
            return true;
        }
        a = roundEven(a + 8 + n);
    }
    return false;
}

}  // namespace

std::runtime_error riffBadLength(const char* id, uint32_t length, uint64_t position) {
    return badLength(reinterpret_cast<const uint8_t*>(id), length, position);
}

bool chunksFillTheRest(RiffIo& riff, uint32_t position) {
    uint64_t at = position;
    while (at + 8 <= riff.size) {
        riff.seek(static_cast<uint32_t>(at), riff.context);
        uint8_t head[8];
        riff.read(head, 8, riff.context);
        for (int i = 0; i < 4; ++i)
            if (head[i] < 0x20 || head[i] > 0x7E) return false;
        at = at + 8 + chunkLength(riff, head);
        if (at == riff.size) return true;
        at = roundEven(at);
    }
    return at == riff.size;
}

bool findRiffChunk(RiffIo& riff, const char* id, uint32_t& position, uint32_t& length) {
    return walkToChunk(riff, id, position, length, false);
}

bool findRiffChunkAllowingOverrun(RiffIo& riff, const char* id, uint32_t& position, uint32_t& length) {
    return walkToChunk(riff, id, position, length, true);
}

void setRiffChunk(RiffIo& riff, const char* id, const char* afterId, const uint8_t* data, uint32_t length,
                  uint32_t regionStart, uint32_t regionLength) {
    uint64_t fileSize = riff.size;
    if (regionStart > fileSize) failWith(SONX_ERR_INVALID, "Cannot set RIFF chunk past end of file");
    if (regionLength == 0) regionLength = static_cast<uint32_t>(fileSize - regionStart);
    const uint32_t searchLength = std::min(static_cast<uint32_t>(fileSize - regionStart), regionLength);
    const uint64_t paddedLength = roundEven(length);

    uint64_t chunkStart;  // where the chunk header goes
    uint64_t replaced;    // bytes of the old chunk it replaces
    uint32_t foundPosition = regionStart, foundLength = searchLength;
    if (findRiffChunk(riff, id, foundPosition, foundLength)) {
        chunkStart = foundPosition - 8u;
        // A last chunk of odd length may lack its pad byte.
        replaced = std::min<uint64_t>(roundEven(foundLength) + 8, fileSize - chunkStart);
    } else {
        // The new chunk goes behind the after-id chunk or behind the last
        // chunk of the region. A missing pad byte is written first; a chunk
        // cut shorter than that is refused.
        LastChunk behind;
        uint32_t afterPosition = regionStart, afterLength = searchLength;
        if (afterId && findRiffChunk(riff, afterId, afterPosition, afterLength)) {
            std::memcpy(behind.id, afterId, 4);
            behind.length = afterLength;
            behind.pos = uint64_t{afterPosition} - 8;
            behind.paddedEnd = roundEven(uint64_t{afterPosition} + afterLength);
        } else {
            behind = lastChunk(riff, regionStart, searchLength);
        }
        if (behind.paddedEnd > fileSize + 1) throw badLength(behind.id, behind.length, behind.pos);
        if (behind.paddedEnd == fileSize + 1) {
            static const uint8_t zero = 0;
            seekTo(riff, fileSize);
            riff.write(&zero, 1, riff.context);
            riff.size = static_cast<uint32_t>(++fileSize);
        }
        chunkStart = behind.paddedEnd;
        replaced = 0;
    }
    const uint64_t tailStart = chunkStart + replaced;  // first tail byte
    const int64_t growth = static_cast<int64_t>(paddedLength + 8) - static_cast<int64_t>(replaced);
    const uint64_t newSize = static_cast<uint64_t>(static_cast<int64_t>(fileSize) + growth);
    position32(newSize);

    // Tail bytes the grown chunk is about to overwrite.
    std::vector<uint8_t> saved;
    if (growth > 0 && chunkStart < fileSize) {
        saved.resize(
            static_cast<size_t>(std::min<uint64_t>(fileSize - tailStart, static_cast<uint64_t>(growth))));
        if (!saved.empty()) {
            seekTo(riff, tailStart);
            riff.read(saved.data(), static_cast<uint32_t>(saved.size()), riff.context);
        }
    }

    // The RIFF size never claims bytes that are not there yet: a shrinking
    // file gets its new size first, a growing one once everything is written.
    const auto writeSize = [&] {
        riff.seek(4, riff.context);
        writeLe32(riff, static_cast<uint32_t>(newSize - 8));
    };
    if (growth <= 0) writeSize();

    seekTo(riff, chunkStart);
    uint8_t head[8];
    std::memcpy(head, id, 4);
    putLe32(head + 4, length);
    riff.write(head, 8, riff.context);
    if (length) riff.write(data, length, riff.context);
    if (length & 1u) {
        static const uint8_t zero = 0;
        riff.write(&zero, 1, riff.context);
    }

    uint8_t block[kMoveBlock];
    if (growth < 0) {
        const uint64_t shift = static_cast<uint64_t>(-growth);
        for (uint64_t from = tailStart; from < fileSize;) {
            const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(kMoveBlock, fileSize - from));
            seekTo(riff, from);
            riff.read(block, piece, riff.context);
            seekTo(riff, from - shift);
            riff.write(block, piece, riff.context);
            from += piece;
        }
        riff.truncate(static_cast<uint32_t>(newSize), riff.context);
    } else if (growth > 0 && chunkStart < fileSize) {
        const uint64_t shift = static_cast<uint64_t>(growth);
        const uint64_t keepFrom = tailStart + saved.size();  // not overwritten by the new chunk
        for (uint64_t to = fileSize; to > keepFrom;) {
            const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(kMoveBlock, to - keepFrom));
            to -= piece;
            seekTo(riff, to);
            riff.read(block, piece, riff.context);
            seekTo(riff, to + shift);
            riff.write(block, piece, riff.context);
        }
        if (!saved.empty()) {
            seekTo(riff, tailStart + shift);
            riff.write(saved.data(), static_cast<uint32_t>(saved.size()), riff.context);
        }
    }
    if (growth > 0) writeSize();
    riff.size = static_cast<uint32_t>(newSize);
}

}  // namespace sonx
