#include "support/test_support.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "sonx/fileio/endian.h"

namespace sonx::test {

TempDir::~TempDir() {
    std::error_code ec;
    // Restore write permission on anything a test made read-only.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string testDataPath(const std::string& name) { return std::string(SONX_TESTDATA_DIR) + "/" + name; }

namespace {

void appendLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void appendChunk(std::vector<uint8_t>& out, const char* id, const std::vector<uint8_t>& data) {
    out.insert(out.end(), id, id + 4);
    appendLe32(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() & 1) out.push_back(0);
}

}  // namespace

std::optional<std::vector<uint8_t>> riffChunk(const std::vector<uint8_t>& file, const char* id) {
    for (size_t at = 12; at + 8 <= file.size();) {
        const uint32_t length = getLe32(&file[at + 4]);
        if (length > file.size() - at - 8) break;
        if (std::equal(id, id + 4, file.begin() + static_cast<long>(at)))
            return std::vector<uint8_t>(file.begin() + static_cast<long>(at + 8),
                                        file.begin() + static_cast<long>(at + 8 + length));
        at += 8 + length + (length & 1);
    }
    return std::nullopt;
}

std::vector<uint8_t> withChunk(std::vector<uint8_t> file, const char* id, const std::vector<uint8_t>& data) {
    appendChunk(file, id, data);
    const uint32_t riffSize = static_cast<uint32_t>(file.size() - 8);
    for (int k = 0; k < 4; ++k) file[4 + k] = static_cast<uint8_t>(riffSize >> (8 * k));
    return file;
}

std::vector<uint8_t> asRf64(const std::vector<uint8_t>& wav, const char* headerId) {
    const auto fmt = riffChunk(wav, "fmt ");
    const auto data = riffChunk(wav, "data");
    if (!fmt || fmt->size() < 16 || !data) throw std::runtime_error("asRf64: no WAV file");
    const uint32_t blockAlign = (*fmt)[12] | (*fmt)[13] << 8;
    const uint64_t dataLength = data->size(), samples = blockAlign ? dataLength / blockAlign : 0;
    std::vector<uint8_t> ds64;
    for (uint64_t value : {uint64_t{0}, dataLength, samples}) {
        appendLe32(ds64, static_cast<uint32_t>(value));
        appendLe32(ds64, static_cast<uint32_t>(value >> 32));
    }
    appendLe32(ds64, 0);  // no table of other chunk lengths
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    std::copy(headerId, headerId + 4, out.begin());
    appendChunk(out, "ds64", ds64);
    for (size_t at = 12; at + 8 <= wav.size();) {
        const uint32_t length = getLe32(&wav[at + 4]);
        const size_t padded = std::min<size_t>(wav.size() - at, 8 + size_t{length} + (length & 1));
        const size_t headerAt = out.size();
        out.insert(out.end(), wav.begin() + static_cast<long>(at), wav.begin() + static_cast<long>(at + padded));
        if (std::equal(out.begin() + static_cast<long>(headerAt), out.begin() + static_cast<long>(headerAt + 4),
                       "data"))
            for (int k = 0; k < 4; ++k) out[headerAt + 4 + k] = 0xFF;
        at += padded;
    }
    for (int k = 0; k < 4; ++k) out[4 + k] = 0xFF;
    const uint64_t riffSize = out.size() - 8;
    for (int k = 0; k < 8; ++k) out[20 + k] = static_cast<uint8_t>(riffSize >> (8 * k));
    return out;
}

std::vector<uint8_t> infoList(const std::string& label, const std::string& text) {
    std::vector<uint8_t> list = {'I', 'N', 'F', 'O'};
    auto entry = [&list](const char* id, const std::string& value) {
        if (value.empty()) return;
        std::vector<uint8_t> bytes(value.begin(), value.end());
        bytes.push_back(0);
        appendChunk(list, id, bytes);
    };
    entry("INAM", label);
    entry("ICMT", text);
    return list;
}

}  // namespace sonx::test
