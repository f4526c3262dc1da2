// The C interface on an arbitrary file the fuzzer writes: described, read
// through the streaming reader in buffers of changing sizes, and its chunks
// asked for, read and set. The first input byte steers (salvage, buffer
// sizes, chunk lengths); the rest is the file.
// Checked: every failure keeps its status and a message for
// sonx_last_error; a read never reports more samples than the buffer holds
// nor writes past it; an undamaged file read without salvage delivers
// exactly the samples, at the rate, its description gives; a chunk reads
// back what its size query says and what was set.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sonx/sonx_c.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_capi: %s: %s\n", what, detail.c_str());
    std::abort();
}

const std::string& scratchPath() {
    static const std::string path = "/tmp/fuzz_capi-" + std::to_string(getpid()) + ".bin";
    return path;
}

void writeScratch(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(scratchPath().c_str(), "wb");
    if (!file) fail("setup", "cannot write the scratch file");
    if (size && std::fwrite(data, 1, size, file) != size) fail("setup", "short write of the scratch file");
    std::fclose(file);
}

// A failed call must leave its own status and a message behind.
void expectRemembered(const char* what, int status, const sonx_file* file) {
    char message[256];
    const int remembered = sonx_last_error(file, message, sizeof message);
    if (remembered != status) fail(what, "last error " + std::to_string(remembered) + " for status " +
                                             std::to_string(status));
    if (message[0] == '\0') fail(what, "failure without a message");
}

void readAll(const std::string& path, uint8_t steer, const sonx_info* undamaged) {
    sonx_file* file = nullptr;
    const int opened = sonx_open_read(path.c_str(), steer & 1, &file);
    if (opened != SONX_OK) {
        if (file) fail("sonx_open_read", "a handle on failure");
        return expectRemembered("sonx_open_read", opened, nullptr);
    }
    const uint32_t rate = sonx_file_sample_rate(file);
    constexpr size_t kGuard = 8;
    std::vector<int16_t> buffer(4096 + kGuard);
    uint64_t total = 0;
    int status = SONX_OK;
    for (uint32_t call = 0;; ++call) {
        // Sizes from 1 up, crossing the 160-sample packet both ways.
        const size_t ask = 1 + (call * 37u + steer * 11u) % (steer & 2 ? 4096 : 400);
        for (size_t i = ask; i < ask + kGuard; ++i) buffer[i] = 0x5A5A;
        size_t got = 0;
        status = sonx_read_pcm(file, buffer.data(), ask, &got);
        if (got > ask) fail("sonx_read_pcm", std::to_string(got) + " samples into a buffer of " + std::to_string(ask));
        for (size_t i = ask; i < ask + kGuard; ++i)
            if (buffer[i] != 0x5A5A) fail("sonx_read_pcm", "wrote past the buffer");
        if (status != SONX_OK) {
            expectRemembered("sonx_read_pcm", status, file);
            break;
        }
        if (got == 0) break;
        total += got;
    }
    const int closed = sonx_close(file);
    if (closed != SONX_OK) expectRemembered("sonx_close", closed, nullptr);
    if (undamaged && status == SONX_OK && !(steer & 1)) {
        if (rate != undamaged->sample_rate)
            fail("sonx_read_pcm", "read at " + std::to_string(rate) + " Hz, described at " +
                                      std::to_string(undamaged->sample_rate));
        if (total != undamaged->samples)
            fail("sonx_read_pcm", std::to_string(total) + " samples read, " +
                                      std::to_string(undamaged->samples) + " described");
    }
}

void chunkCalls(const std::string& path, uint8_t steer) {
    static const char* const kIds[] = {"labl", "text", "cnfg"};
    for (const char* id : kIds) {
        size_t full = 0;
        const int asked = sonx_get_chunk(path.c_str(), id, nullptr, 0, &full);
        if (asked != SONX_OK) {
            expectRemembered("sonx_get_chunk size", asked, nullptr);
            continue;
        }
        if (full > (1u << 20)) continue;
        std::vector<uint8_t> buffer(full + 1, 0xA5);
        size_t stored = 0;
        const int got = sonx_get_chunk(path.c_str(), id, buffer.data(), full, &stored);
        if (got != SONX_OK) fail("sonx_get_chunk", "size query worked, read did not");
        if (stored != full) fail("sonx_get_chunk", "length differs from the size query");
        if (buffer[full] != 0xA5) fail("sonx_get_chunk", "wrote past the buffer");
    }

    static const char kText[] = "a text of forty-eight bytes and some more to cut";
    const size_t length = steer % sizeof kText;
    const struct {
        const char* id;
        size_t length;
        size_t expected;
    } sets[] = {{"text", length, length}, {"labl", length, 48}, {"cnfg", 2, 2}};
    for (const auto& set : sets) {
        const int status = sonx_set_chunk(path.c_str(), set.id, kText, set.length);
        if (status != SONX_OK) {
            expectRemembered("sonx_set_chunk", status, nullptr);
            continue;
        }
        std::vector<uint8_t> back(64, 0);
        size_t stored = 0;
        if (sonx_get_chunk(path.c_str(), set.id, back.data(), back.size(), &stored) != SONX_OK)
            fail("sonx_get_chunk", std::string("'") + set.id + "' not found after setting it");
        if (stored != set.expected) fail("sonx_get_chunk", std::string("'") + set.id + "' of another length");
        if (std::memcmp(back.data(), kText, set.length < 48 ? set.length : 48) != 0)
            fail("sonx_get_chunk", std::string("'") + set.id + "' reads back other bytes");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A byte of blank QCP packets reads as 160 samples: keep runs short.
    if (size < 1 || size > 8192) return 0;
    const uint8_t steer = data[0];
    const std::string& path = scratchPath();
    writeScratch(data + 1, size - 1);

    sonx_info info{};
    const int described = sonx_get_info(path.c_str(), &info);
    if (described != SONX_OK) expectRemembered("sonx_get_info", described, nullptr);
    const bool undamaged = described == SONX_OK && info.decodable && !info.cut_short && info.stray_bytes == 0;
    readAll(path, steer, undamaged ? &info : nullptr);
    chunkCalls(path, steer);
    return 0;
}
