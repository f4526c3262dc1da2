// Helpers shared by the tests: scratch folders, whole-file access, and
// running the velconv program as a child process.
#ifndef SONX_TESTS_TEST_SUPPORT_H
#define SONX_TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <optional>
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

// The data of the first top-level chunk `id` of a RIFF image, or nullopt.
std::optional<std::vector<uint8_t>> riffChunk(const std::vector<uint8_t>& file, const char* id);

// The RIFF image with one more top-level chunk at its end (RIFF size updated).
std::vector<uint8_t> withChunk(std::vector<uint8_t> file, const char* id, const std::vector<uint8_t>& data);

// A LIST/INFO chunk's data: INAM = label, ICMT = text (each left out when
// empty), every value with its terminator.
std::vector<uint8_t> infoList(const std::string& label, const std::string& text);

// The WAV image as an RF64 file ("RF64", or "BW64" as `headerId`): a first
// chunk 'ds64' holds the RIFF size, the 'data' length and the sample count
// in 64 bits, and the 32-bit RIFF size and 'data' length hold 0xFFFFFFFF.
std::vector<uint8_t> asRf64(const std::vector<uint8_t>& wav, const char* headerId = "RF64");

struct RunResult {
    int exitStatus = -1;     // 0..255, or -1 when killed by a signal
    int signal = 0;
    std::string errorOutput; // everything written to standard error
    std::string standardOutput;
};

// Runs the built velconv with the given arguments (argv[0] is supplied).
RunResult runVelconv(const std::vector<std::string>& args, const std::string& workDir = "");

// Starts the built velconv in `workDir` without waiting for it, its output
// thrown away; the caller reaps it with waitpid (POSIX only). Returns its
// process id.
int startVelconv(const std::vector<std::string>& args, const std::string& workDir);

// Runs a bash command line in `workDir` with $V naming velconv and $SHIM the
// fault-injection library; both streams are caught in errorOutput. A
// command killed by a signal ends with status 128 + the signal's number.
RunResult runShell(const std::string& command, const std::string& workDir);

}  // namespace sonx::test

#endif  // SONX_TESTS_TEST_SUPPORT_H
