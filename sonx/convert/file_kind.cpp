// What a file is, told from its first bytes: the one check every front end
// makes before it chooses a conversion.
#include <algorithm>
#include <cstring>
#include <string>

#include "sonx/component/status.h"
#include "sonx/component/threads.h"
#include "sonx/fileio/audio_file.h"
#include "sonx/sonx.h"

namespace {

constexpr size_t kHeaderBytes = SONX_KIND_HEADER_BYTES;
constexpr size_t kChunkHeadBytes = 8;
// A QCP 'fmt ' chunk: major and minor version, then the codec identity.
constexpr size_t kCodecOffset = 2;

bool sameId(const uint8_t* bytes, const char* id) {
    return std::memcmp(bytes, id, 4) == 0;
}

uint32_t le32(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
}

// The codec a QCP file's 'fmt ' chunk names, if it lies within the bytes.
void findQcpCodec(const uint8_t* bytes, size_t length, sonx_kind_info& info) {
    for (size_t at = kHeaderBytes; at + kChunkHeadBytes <= length;) {
        const uint32_t chunkLength = le32(bytes + at + 4);
        const size_t body = at + kChunkHeadBytes;
        if (sameId(bytes + at, "fmt ")) {
            if (chunkLength < kCodecOffset + 16 || body + kCodecOffset + 16 > length) return;
            std::memcpy(info.codec, bytes + body + kCodecOffset, 16);
            info.codec_known = 1;
            return;
        }
        if (chunkLength > length - body) return;
        at = body + chunkLength + (chunkLength & 1);
    }
}

}  // namespace

extern "C" int sonx_kind_of_memory(const void* data, size_t length, uint64_t file_size, sonx_kind_info* info) {
    if (!info || (!data && length)) return SONX_ERR_INVALID;
    *info = sonx_kind_info{};
    info->kind = SONX_KIND_NOT_AUDIO;
    info->size = std::max<uint64_t>(file_size, length);
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (length < kHeaderBytes) return SONX_OK;
    // RF64 and BW64 are WAV files whose lengths may be in a 'ds64' chunk;
    // they hold nothing else.
    const bool wide = sameId(bytes, "RF64") || sameId(bytes, "BW64");
    const bool wave = sameId(bytes + 8, "WAVE");
    if (wide)
        info->kind = wave ? SONX_KIND_RF64 : SONX_KIND_NOT_AUDIO;
    else if (!sameId(bytes, "RIFF"))
        info->kind = SONX_KIND_NOT_AUDIO;
    else if (wave)
        info->kind = SONX_KIND_WAV;
    else if (sameId(bytes + 8, "QLCM"))
        info->kind = SONX_KIND_QCP;
    else
        info->kind = SONX_KIND_OTHER_RIFF;
    if (info->kind == SONX_KIND_QCP) findQcpCodec(bytes, length, *info);
    return SONX_OK;
}

namespace sonx {

int32_t fileKind(const FileHandle& handle, FileKindInfo& info, char* message, size_t capacity) {
    info = FileKindInfo{};
    AudioFile file;
    file.handle = handle;
    const Failure failure = failureOf([&] {
        openFile(file, false, false);
        uint8_t head[SONX_KIND_PROBE_BYTES];
        const uint32_t count = std::min<uint32_t>(file.fileFormat.size, sizeof head);
        seekFile(file, 0);
        if (count) readFile(file, head, count);
        info = sonx::fileKind(head, count, file.fileFormat.size);
    });
    closeFile(file, true);
    copyText(failure.text, message, capacity);
    return failure.status;
}

}  // namespace sonx
