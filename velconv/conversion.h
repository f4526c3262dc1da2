// One file's conversion as velconv does it, shared by single-file and batch
// runs: naming the output, refusing names that would cost the user a file,
// and converting into a safely made output that keeps the input's label,
// comment and date.
#ifndef SONX_VELCONV_CONVERSION_H
#define SONX_VELCONV_CONVERSION_H

#include <string>

#include "sonx/sonx.h"
#include "velconv/failures.h"
#include "velconv/input.h"
#include "velconv/output.h"

namespace sonx::velconv {

struct ConversionSettings {
    Guid rateSet = RATE_SET_VFR;
    uint32_t mode = 0;
    bool salvage = false;
    uint32_t decodeRate = 0;  // sample rate of a decoded WAV; 0: not asked, the QCP's own 8000
};

// Refuses standard input that is the output file, and standard output that
// is the input file.
void checkStreamsAreNotTheOtherFile(const std::string& input, const std::string& output);

// The input's name with the other format's extension.
std::string deriveOutputName(const std::string& input, InputKind kind);

// Refuses an output that is the input under another spelling.
void checkNames(const std::string& input, const std::string& output);

// An output name velconv made up must be free; throws when it is taken.
void checkDerivedOutputIsFree(const std::string& output);

// Refuses to replace, unless forced, an output named by the user that looks
// like a second input rather than an output.
void checkGivenOutputIsNoInput(const Input& input, const std::string& outputName);

// Converts into `outputName` ("-": standard output), up to putting the
// output in place. It carries the input's label and comment and, when both
// are files, the input's modification time. Throws std::runtime_error,
// CutShortError or ExplainedError.
PendingOutput convertPending(Input& input, const std::string& outputName, const ConversionSettings& settings);

// convertPending, then commit.
std::string convertOne(Input& input, const std::string& outputName, const ConversionSettings& settings);

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_CONVERSION_H
