// Test helpers of the file layer: an in-memory client file, RIFF image
// building, and one interface over named and client files.
#ifndef SONX_TESTS_FILEIO_TEST_UTIL_H
#define SONX_TESTS_FILEIO_TEST_UTIL_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sonx/component/component.h"
#include "sonx/fileio/audio_file.h"
#include "sonx/sonx.h"
#include "support/test_support.h"

namespace sonx::test {

// A file served through the client callback protocol from memory.
struct MemFile {
    std::vector<uint8_t> bytes;
    uint32_t pos = 0;
    int sizeCalls = 0;
    int seekCalls = 0;
    int32_t readOverride = -1;   // when >= 0, what read answers
    int32_t writeOverride = -1;  // when >= 0, what write answers
    int32_t seekSkew = 0;        // added to the position seek answers
    int32_t sizeOverride = -1;   // when >= 0, what size answers
    int32_t truncateAnswer = 0;

    static int32_t callback(int32_t op, uint8_t* buffer, int32_t position, int32_t length, uintptr_t data) {
        auto& f = *reinterpret_cast<MemFile*>(data);
        switch (op) {
            case CLIENT_FILE_READ: {
                const uint32_t avail =
                    f.pos < f.bytes.size() ? static_cast<uint32_t>(f.bytes.size()) - f.pos : 0;
                const uint32_t n = std::min(avail, static_cast<uint32_t>(length));
                if (n) std::memcpy(buffer, f.bytes.data() + f.pos, n);
                f.pos += n;
                return f.readOverride >= 0 ? f.readOverride : static_cast<int32_t>(n);
            }
            case CLIENT_FILE_WRITE: {
                if (f.writeOverride >= 0) return f.writeOverride;
                if (f.pos + static_cast<uint32_t>(length) > f.bytes.size()) f.bytes.resize(f.pos + length);
                if (length) std::memcpy(f.bytes.data() + f.pos, buffer, length);
                f.pos += length;
                return length;
            }
            case CLIENT_FILE_SEEK:
                ++f.seekCalls;
                f.pos = static_cast<uint32_t>(position);
                return position + f.seekSkew;
            case CLIENT_FILE_SIZE:
                ++f.sizeCalls;
                return f.sizeOverride >= 0 ? f.sizeOverride : static_cast<int32_t>(f.bytes.size());
            case CLIENT_FILE_TRUNCATE:
                f.bytes.resize(static_cast<uint32_t>(length));
                return f.truncateAnswer;
        }
        return -1;
    }
    FileHandle handle() { return FileHandle::client(callback, reinterpret_cast<uintptr_t>(this)); }
};

// The same bytes reached either by file name or by client callback.
class TestFile {
public:
    TestFile(bool named, const TempDir& dir, const std::string& name)
        : named_(named), path_(dir.file(name)) {}
    void set(const std::vector<uint8_t>& bytes) {
        if (named_)
            writeFileBytes(path_, bytes);
        else
            mem.bytes = bytes;
    }
    std::vector<uint8_t> bytes() const { return named_ ? readFileBytes(path_) : mem.bytes; }
    FileHandle handle() { return named_ ? FileHandle::named(path_.c_str()) : mem.handle(); }
    // Opens `file` (whose formats the caller may already have set) on this file.
    void open(AudioFile& file, const Guid& fileType, bool create, bool readWrite) {
        file.handle = handle();
        file.fileFormat.fileType = fileType;
        openFile(file, create, readWrite);
    }
    MemFile mem;

private:
    bool named_;
    std::string path_;
};

// A codec whose reported values the test chooses; it codes nothing.
class FakeCodec final : public ISonxCodec, public ISonxError, public ComponentBase {
public:
    FakeCodec() {
        for (int i = 0; i < 256; ++i) sizes[i] = -1;
    }
    int32_t AddRef() override { return addRef(); }
    int32_t Release() override { return release(); }
    void* QueryInterface(const Guid& iid) override {
        AddRef();
        if (iid == IID_ISonxCodec) return static_cast<ISonxCodec*>(this);
        if (iid == IID_ISonxError) return static_cast<ISonxError*>(this);
        if (iid == IID_ISonxUnknown) return static_cast<ISonxUnknown*>(static_cast<ISonxCodec*>(this));
        Release();
        return nullptr;
    }
    uint8_t hasError() override { return errorSet(); }
    const char* errorText() override { return errorCString(); }
    int32_t errorCode() override { return errorStatus(); }
    uint8_t SetRateSet(const Guid&, int32_t) override { return 1; }
    void GetFormats(AudioFormat*, AudioFormat*) override {}
    int32_t PacketSize(uint8_t octet) override { return sizes[octet]; }
    const char* Name() override { return name.c_str(); }
    uint16_t Version() override { return version; }
    uint32_t AverageBitRate() override { return bitRate; }
    uint32_t Process(uint8_t*, const uint8_t*, uint32_t, uint8_t, uint32_t*) override { return 0; }

    int32_t sizes[256];
    std::string name = "Fake";
    uint16_t version = 1;
    uint32_t bitRate = 0;
};

// A new FakeCodec holding one reference, as createInstance would give it.
inline FakeCodec* newFakeCodec() {
    auto* codec = new FakeCodec;
    codec->AddRef();
    return codec;
}

inline uint8_t patternByte(size_t i, unsigned seed) {
    return static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
}

inline std::vector<uint8_t> pattern(size_t n, unsigned seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = patternByte(i, seed);
    return v;
}

using Chunk = std::pair<std::string, std::vector<uint8_t>>;

inline void appendLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void appendChunk(std::vector<uint8_t>& out, const std::string& id, const std::vector<uint8_t>& data) {
    out.insert(out.end(), id.begin(), id.begin() + 4);
    appendLe32(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() & 1) out.push_back(0);
}

// A well-formed RIFF image: header with size = length - 8, padded chunks.
inline std::vector<uint8_t> buildRiff(const std::string& form, const std::vector<Chunk>& chunks) {
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F', 0, 0, 0, 0};
    out.insert(out.end(), form.begin(), form.begin() + 4);
    for (const auto& c : chunks) appendChunk(out, c.first, c.second);
    const uint32_t size = static_cast<uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    return out;
}

inline std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace sonx::test

#endif  // SONX_TESTS_FILEIO_TEST_UTIL_H
