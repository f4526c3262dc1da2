// Damaged-input generation and checked velconv runs for the robustness suite.
#ifndef SONX_TESTS_ROBUSTNESS_SUPPORT_H
#define SONX_TESTS_ROBUSTNESS_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/riff_image.h"

namespace sonx::robustness {

using test::Bytes;
using test::ChunkPlace;
using test::chunkMap;
using test::findChunk;
using test::le32At;
using test::putLe16At;
using test::putLe32At;
using test::RunResult;

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

// What must hold after any run on any input: ends with 0 or 255 in time,
// without a signal, prints nothing to standard output, and on failure
// exactly one "ERROR: " line with a readable text (and nothing else but the
// hint line that -s may help); on success nothing, or with -s (salvage) one
// "WARNING: " line. Returns what is wrong, or an empty string.
std::string checkRun(const RunResult& run, bool salvage = false);

// An output file left behind (after success or failure) is empty or a RIFF
// file that claims no more than it holds: RIFF size, 'data' length, and for
// QCP the 'vrat' packet count against the whole packets in 'data'. Returns
// what is wrong, or an empty string. The file of a writer stopped half-way
// may lack its 'data' chunk and may count fewer packets than it holds.
std::string checkOutputFile(const std::string& path, bool stoppedWriter = false);

}  // namespace sonx::robustness

#endif  // SONX_TESTS_ROBUSTNESS_SUPPORT_H
