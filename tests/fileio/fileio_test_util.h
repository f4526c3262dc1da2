// Test helpers of the file layer: one interface over named and client
// files, byte patterns, and the text of a failure.
#ifndef SONX_TESTS_FILEIO_TEST_UTIL_H
#define SONX_TESTS_FILEIO_TEST_UTIL_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sonx/fileio/audio_file.h"
#include "sonx/sonx.h"
#include "support/memory_file.h"
#include "support/riff_image.h"
#include "support/test_support.h"

namespace sonx::test {

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
    TestMemoryFile mem;

private:
    bool named_;
    std::string path_;
};

inline uint8_t patternByte(size_t i, unsigned seed) {
    return static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
}

inline std::vector<uint8_t> pattern(size_t n, unsigned seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = patternByte(i, seed);
    return v;
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
