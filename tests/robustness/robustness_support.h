// Damaged-input generation and checked velconv runs for the robustness suite.
#ifndef SONX_TESTS_ROBUSTNESS_SUPPORT_H
#define SONX_TESTS_ROBUSTNESS_SUPPORT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace sonx::robustness {

using Bytes = std::vector<uint8_t>;

uint32_t le32(const Bytes& b, size_t at);
void putLe32(Bytes& b, size_t at, uint32_t v);
void putLe16(Bytes& b, size_t at, uint16_t v);

struct Chunk {
    size_t pos;  // of the 8-byte header
    std::string id;
    uint32_t length;
};
// The chunks after the 12-byte header, walked as stored.
std::vector<Chunk> chunkMap(const Bytes& file);
const Chunk* findChunk(const std::vector<Chunk>& chunks, const char* id);

// A named damaged variant of a base file.
struct Variant {
    std::string name;
    Bytes bytes;
};

// The base files: 0.3 s of the test speech as 16-bit WAV, and a QCP file
// with every optional chunk ('labl', 'cnfg', an odd-length 'text') and
// packets of every rate, built directly so it does not depend on the encoder.
Bytes baseWav();
Bytes baseQcp();

std::vector<Variant> truncations(const Bytes& base);     // at every chunk boundary and inside data
std::vector<Variant> headerBitFlips(const Bytes& base);  // RIFF header, chunk headers, format fields
std::vector<Variant> payloadDamage(const Bytes& base);   // bit flips and bad rate octets in 'data'
std::vector<Variant> lengthEdits(const Bytes& base);     // RIFF and chunk lengths: 0, odd, 2^31-1, 2^32-1
std::vector<Variant> wavFormatEdits(const Bytes& base);  // 'fmt ' fields of a WAV file

struct RunOutcome {
    int exitStatus = -1;
    int signal = 0;
    bool timedOut = false;
    double seconds = 0;
    std::string errorOutput;
    std::string standardOutput;
};

// Runs the built velconv with a deadline; a run past it is killed.
RunOutcome runWithTimeout(const std::vector<std::string>& args, std::chrono::seconds limit);

// What must hold after any run on any input: ends with 0 or 255 in time,
// without a signal, prints nothing to standard output, and on failure
// exactly one "ERROR: " line with a readable text (and nothing else but the
// hint line that -s may help); on success nothing, or with -s (salvage) one
// "WARNING: " line. Returns what is wrong, or an empty string.
std::string checkRun(const RunOutcome& run, bool salvage = false);

// An output file left behind (after success or failure) is empty or a RIFF
// file that claims no more than it holds: RIFF size, 'data' length, and for
// QCP the 'vrat' packet count against the whole packets in 'data'. Returns
// what is wrong, or an empty string. The file of a writer stopped half-way
// may lack its 'data' chunk and may count fewer packets than it holds.
std::string checkOutputFile(const std::string& path, bool stoppedWriter = false);

}  // namespace sonx::robustness

#endif  // SONX_TESTS_ROBUSTNESS_SUPPORT_H
