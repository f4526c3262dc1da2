// Helpers shared by the tests: scratch folders, whole-file access and the
// test speech.
#ifndef SONX_TESTS_TEST_SUPPORT_H
#define SONX_TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace sonx::test {

// A fresh folder under the system temporary folder, removed with its
// contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::string testDataPath(const std::string& name);  // a file of the test speech in tests/data

}  // namespace sonx::test

#endif  // SONX_TESTS_TEST_SUPPORT_H
