#include "support/test_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace sonx::test {

TempDir::TempDir() {
    namespace fs = std::filesystem;
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = fs::temp_directory_path() / ("sonx-test-" + std::to_string(random()));
        if (fs::create_directory(candidate)) {
            // Private, as mkdtemp makes it.
            fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace);
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot make a scratch folder");
}

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

}  // namespace sonx::test
