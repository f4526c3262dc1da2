#include "sonx/convert/file_tags.h"
#include "sonx/component/status.h"
#include "sonx/component/threads.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "sonx/fileio/riff.h"

namespace sonx {

namespace {

constexpr uint32_t kRiffHeaderBytes = 12;
constexpr uint32_t kLabelBytes = 48;

uint32_t regionLength(const RiffIo& riff) {
    return riff.size > kRiffHeaderBytes ? riff.size - kRiffHeaderBytes : 0;
}

// Stored texts may carry a terminator and padding; neither is part of them.
std::string trimmedText(const uint8_t* bytes, uint32_t length) {
    if (length == 0) return {};  // an empty chunk may come without storage
    const void* nul = std::memchr(bytes, 0, length);
    const uint32_t end = nul ? static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - bytes) : length;
    return std::string(reinterpret_cast<const char*>(bytes), end);
}

// The chunk's data, or nothing when it is absent or runs past the file.
bool readChunk(AudioFile& file, const char* id, std::vector<uint8_t>& data) {
    uint32_t position = kRiffHeaderBytes, length = regionLength(file.riff);
    if (length == 0) return false;
    try {
        if (!findRiffChunk(file.riff, id, position, length)) return false;
    } catch (const std::runtime_error&) {
        return false;  // a damaged chunk walk: the tags are simply unknown
    }
    data.resize(length);
    seekFile(file, position);
    if (length) readFile(file, data.data(), length);
    return true;
}

// Cuts at most `limit` bytes without splitting a UTF-8 sequence.
std::string cutAtCharacter(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

void appendInfoEntry(std::vector<uint8_t>& list, const char* id, const std::string& value) {
    if (value.empty()) return;
    const uint32_t length = static_cast<uint32_t>(value.size() + 1);  // with its terminator
    const std::size_t at = list.size();
    list.resize(at + 8 + length + (length & 1), 0);
    std::memcpy(&list[at], id, 4);
    putLe32(&list[at + 4], length);
    std::memcpy(&list[at + 8], value.data(), value.size());
}

}  // namespace

FileTags readQcpTags(AudioFile& file) {
    FileTags tags;
    std::vector<uint8_t> data;
    if (readChunk(file, "labl", data)) tags.label = trimmedText(data.data(), static_cast<uint32_t>(data.size()));
    if (readChunk(file, "text", data)) tags.text = trimmedText(data.data(), static_cast<uint32_t>(data.size()));
    return tags;
}

FileTags readWavTags(AudioFile& file) {
    FileTags tags;
    std::vector<uint8_t> list;
    if (!readChunk(file, "LIST", list) || list.size() < 4 || !sameId(list.data(), "INFO")) return tags;
    for (std::size_t at = 4; at + 8 <= list.size();) {
        const uint32_t length = getLe32(&list[at + 4]);
        if (length > list.size() - at - 8) break;
        const std::string value = trimmedText(&list[at + 8], length);
        if (sameId(&list[at], "INAM")) tags.label = value;
        if (sameId(&list[at], "ICMT")) tags.text = value;
        at += 8 + length + (length & 1);
    }
    return tags;
}

FileTags readFileTags(const FileHandle& handle) {
    AudioFile file;
    file.handle = handle;
    file.fileFormat.fileType = FILE_TYPE_WAV;  // binds the RIFF context; the form decides below
    openFile(file, false, false);
    FileTags tags;
    try {
        uint8_t form[4];
        readRiffHeader(file.riff, form);
        if (sameId(form, "QLCM")) tags = readQcpTags(file);
        if (sameId(form, "WAVE")) tags = readWavTags(file);
    } catch (...) {
        closeFile(file, true);
        throw;
    }
    closeFile(file, true);
    return tags;
}

void writeFileTags(const FileHandle& handle, const FileTags& tags) {
    if (tags.empty()) return;
    AudioFile file;
    file.handle = handle;
    file.fileFormat.fileType = FILE_TYPE_WAV;
    openFile(file, false, true);
    try {
        uint8_t form[4];
        readRiffHeader(file.riff, form);
        if (sameId(form, "QLCM")) {
            if (!tags.label.empty()) {
                uint8_t label[kLabelBytes] = {};
                const std::string cut = cutAtCharacter(tags.label, kLabelBytes);
                std::memcpy(label, cut.data(), cut.size());
                setRiffChunk(file.riff, "labl", "vrat", label, kLabelBytes, kRiffHeaderBytes, regionLength(file.riff));
            }
            if (!tags.text.empty())
                setRiffChunk(file.riff, "text", "data", reinterpret_cast<const uint8_t*>(tags.text.data()),
                             static_cast<uint32_t>(tags.text.size()), kRiffHeaderBytes, regionLength(file.riff));
        } else if (sameId(form, "WAVE")) {
            std::vector<uint8_t> list = {'I', 'N', 'F', 'O'};
            appendInfoEntry(list, "INAM", tags.label);
            appendInfoEntry(list, "ICMT", tags.text);
            setRiffChunk(file.riff, "LIST", "data", list.data(), static_cast<uint32_t>(list.size()),
                         kRiffHeaderBytes, regionLength(file.riff));
        } else {
            failWith(SONX_ERR_UNSUPPORTED, "Tags can be written to QCP and WAV files only");
        }
    } catch (...) {
        closeFile(file, true);
        throw;
    }
    closeFile(file, false);
}

int32_t copyTags(const FileHandle& from, const FileHandle& to, char* message, size_t capacity) {
    FileTags tags;
    try {
        tags = readFileTags(from);
    } catch (const std::exception&) {
        // Tags are a bonus to the speech: unreadable ones are left out.
    }
    const Failure failure = failureOf([&] { writeFileTags(to, tags); });
    copyText(failure.text, message, capacity);
    return failure.status;
}

}  // namespace sonx
