// The QCP chunk getters and setters on an arbitrary file in memory. The first
// bytes of the input are a short program of chunk calls (one byte each, up
// to the first 0xFF), the rest is the file. After every successful setter
// the RIFF size must not claim more than the file holds (and must still
// match the length if it did before) and the matching getter must return
// what was set; every failure must carry its operation's prefix.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mem_file.h"
#include "sonx/sonx.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_chunks: %s: %s\n", what, detail.c_str());
    std::abort();
}

struct Session {
    sonx::ISonxQcpChunks* chunks;
    sonx::ISonxError* error;
    fuzz::MemFile file;

    void expectFailurePrefix(const char* what, const char* prefix) {
        if (!error->hasError()) fail(what, "failure without an error text");
        if (std::strncmp(error->errorText(), prefix, std::strlen(prefix)) != 0)
            fail(what, error->errorText());
    }

    // Bytes past what the RIFF header claims are not part of the file's
    // structure and are left alone, so the claim may stay below the length;
    // a file whose claim matched its length keeps matching.
    void expectConsistentSize(const char* what, bool matchedBefore) {
        if (file.bytes.size() < 12) fail(what, "file shorter than a RIFF header after a setter");
        const uint64_t claimed = uint64_t(fuzz::le32(file.bytes, 4)) + 8;
        if (claimed > file.bytes.size()) fail(what, "RIFF size claims more than the file holds");
        if (matchedBefore && claimed != file.bytes.size())
            fail(what, "RIFF size no longer matches the length");
    }

    bool sizeMatches() const {
        return file.bytes.size() >= 8 && uint64_t(fuzz::le32(file.bytes, 4)) + 8 == file.bytes.size();
    }

    void cnfg(uint16_t value) {
        const sonx::FileHandle h = file.handle();
        const bool matched = sizeMatches();
        if (!chunks->setCnfgChunk(&h, value))
            return expectFailurePrefix("setCnfgChunk", "Error in setCnfgChunk: ");
        expectConsistentSize("setCnfgChunk", matched);
        uint16_t back = 0;
        if (!chunks->getCnfgChunk(&h, &back) || back != value) fail("getCnfgChunk", "value not read back");
    }

    void text(const uint8_t* bytes, uint32_t length) {
        const sonx::FileHandle h = file.handle();
        const bool matched = sizeMatches();
        if (!chunks->setTextChunk(&h, bytes, length))
            return expectFailurePrefix("setTextChunk", "Error in setTextChunk: ");
        expectConsistentSize("setTextChunk", matched);
        if (chunks->getTextChunk(&h, nullptr, 0) != length) fail("getTextChunk", "length not read back");
        std::vector<uint8_t> back(length + 1, 0xA5);
        if (length && (chunks->getTextChunk(&h, back.data(), length) != length ||
                       std::memcmp(back.data(), bytes, length) != 0))
            fail("getTextChunk", "text not read back");
        if (back[length] != 0xA5) fail("getTextChunk", "wrote past the bytes asked for");
    }

    void labl(const uint8_t* bytes, uint32_t length) {
        const sonx::FileHandle h = file.handle();
        const bool matched = sizeMatches();
        if (!chunks->setLablChunk(&h, bytes, length))
            return expectFailurePrefix("setLablChunk", "Error in setLablChunk: ");
        expectConsistentSize("setLablChunk", matched);
        uint8_t back[49];
        std::memset(back, 0xA5, sizeof back);
        if (!chunks->getLablChunk(&h, back, 48)) fail("getLablChunk", "label not found after setting it");
        const uint32_t kept = std::min<uint32_t>(length, 48);
        if (std::memcmp(back, bytes, kept) != 0) fail("getLablChunk", "label bytes differ");
        for (uint32_t i = kept; i < 48; ++i)
            if (back[i] != 0) fail("getLablChunk", "label not zero-filled");
        if (back[48] != 0xA5) fail("getLablChunk", "wrote past the buffer");
    }

    // Getters on whatever the file holds: a result or a prefixed failure,
    // never more bytes than the buffer takes.
    void getters(uint32_t bufferLength) {
        const sonx::FileHandle h = file.handle();
        uint16_t value;
        if (!chunks->getCnfgChunk(&h, &value)) expectFailurePrefix("getCnfgChunk", "Error in getCnfgChunk: ");
        std::vector<uint8_t> buffer(bufferLength + 1, 0xA5);
        const uint32_t n = chunks->getTextChunk(&h, buffer.data(), bufferLength);
        if (n == 0 && error->hasError()) expectFailurePrefix("getTextChunk", "Error in getTextChunk: ");
        if (bufferLength && n > bufferLength) fail("getTextChunk", "more bytes than the buffer holds");
        if (!chunks->getLablChunk(&h, buffer.data(), bufferLength))
            expectFailurePrefix("getLablChunk", "Error in getLablChunk: ");
        if (buffer[bufferLength] != 0xA5) fail("getters", "wrote past the buffer");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    size_t ops = 0;
    while (ops < size && ops < 8 && data[ops] != 0xFF) ++ops;
    const size_t fileStart = ops < size ? ops + 1 : size;

    auto* chunks = sonx::createInstance<sonx::ISonxQcpChunks>(sonx::CLSID_SonxFile);
    if (!chunks) fail("setup", "no SonxFile");
    Session s{chunks, sonx::queryInterface<sonx::ISonxError>(chunks), {}};
    if (!s.error) fail("setup", "no ISonxError");
    s.file.bytes.assign(data + fileStart, data + size);
    s.file.writable = true;
    s.file.limit = size + 4096;

    // Text and label bytes come from the op bytes themselves.
    static const uint8_t kText[] =
        "The quick brown fox jumps over the lazy dog, twice over: the quick brown fox.";
    s.getters(ops ? data[0] % 64 : 0);
    for (size_t i = 0; i < ops; ++i) {
        const uint8_t op = data[i];
        switch (op % 4) {
            case 0:
                s.cnfg(static_cast<uint16_t>(op * 257));
                break;
            case 1:
                s.text(kText, op / 4 % sizeof kText);
                break;
            case 2:
                s.labl(kText, op / 4);
                break;
            case 3:
                s.getters(op / 4);
                break;
        }
    }
    s.error->Release();
    chunks->Release();
    return 0;
}
