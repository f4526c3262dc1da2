// The public MemoryFile as the tests use it: it owns its bytes (which a test
// may fill or read at any time), counts the calls made to it, and answers
// wrongly where a test asks, to reach the library's failure paths.
#ifndef SONX_TESTS_SUPPORT_MEMORY_FILE_H
#define SONX_TESTS_SUPPORT_MEMORY_FILE_H

#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "sonx/sonx.h"

namespace sonx::test {

class TestMemoryFile {
    sonx::MemoryFile file_;  // first, as `bytes` refers into it

public:
    TestMemoryFile() = default;
    TestMemoryFile(const TestMemoryFile&) = delete;
    TestMemoryFile& operator=(const TestMemoryFile&) = delete;

    FileHandle handle() { return FileHandle::client(&TestMemoryFile::serve, reinterpret_cast<uintptr_t>(this)); }
    // Moves the file's position, as a seek of the library would.
    void seekTo(int32_t position) { pass(CLIENT_FILE_SEEK, nullptr, position, 0); }

    std::vector<uint8_t>& bytes = file_.written;

    // The n-th read, write or seek (counting from 1 over all three) is off by
    // one: a read reads but answers one byte less, a write writes nothing and
    // answers one byte less, a seek stays and answers one past.
    int failAt = 0;
    int calls = 0;  // reads, writes and seeks so far
    int sizeCalls = 0;
    int seekCalls = 0;
    int writeCalls = 0;
    // From the n-th write on (counting from 1), writes are refused: they
    // write nothing and answer 0, as on a full disk.
    int stopWritesAt = 0;
    // Answers given instead of the true ones; a read and a truncate still
    // take place, a write does not.
    std::optional<int32_t> readAnswer, writeAnswer, sizeAnswer, truncateAnswer;
    int32_t seekSkew = 0;  // added to the position a seek answers
    std::thread::id writer;  // the thread of the last write

private:
    int32_t pass(int32_t operation, uint8_t* buffer, int32_t position, int32_t length) {
        const FileHandle inner = file_.handle();
        return inner.callback(operation, buffer, position, length, inner.clientData);
    }

    int32_t answer(int32_t operation, uint8_t* buffer, int32_t position, int32_t length) {
        if (operation == CLIENT_FILE_SIZE) {
            ++sizeCalls;
            return sizeAnswer ? *sizeAnswer : pass(operation, buffer, position, length);
        }
        if (operation == CLIENT_FILE_TRUNCATE) {
            const int32_t truncated = pass(operation, buffer, position, length);
            return truncateAnswer ? *truncateAnswer : truncated;
        }
        const bool fail = ++calls == failAt;
        switch (operation) {
        case CLIENT_FILE_READ: {
            const int32_t read = pass(operation, buffer, position, length);
            return readAnswer ? *readAnswer : fail ? read - 1 : read;
        }
        case CLIENT_FILE_WRITE:
            ++writeCalls;
            writer = std::this_thread::get_id();
            if (stopWritesAt && writeCalls >= stopWritesAt) return 0;
            if (writeAnswer) return *writeAnswer;
            return fail ? length - 1 : pass(operation, buffer, position, length);
        case CLIENT_FILE_SEEK:
            ++seekCalls;
            if (fail) return position + 1;
            return pass(operation, buffer, position, length) + seekSkew;
        default:
            return pass(operation, buffer, position, length);
        }
    }

    static int32_t serve(int32_t operation, uint8_t* buffer, int32_t position, int32_t length, uintptr_t data) {
        return reinterpret_cast<TestMemoryFile*>(data)->answer(operation, buffer, position, length);
    }
};

}  // namespace sonx::test

#endif  // SONX_TESTS_SUPPORT_MEMORY_FILE_H
