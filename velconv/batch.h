// Converting many files in one run (-d DIR, -b): each input into its own
// output, never one over another, with one outcome line per file that is
// not simply converted and a summary at the end. Several files convert at
// once; each file's lines come out whole, in the order of the inputs.
#ifndef SONX_VELCONV_BATCH_H
#define SONX_VELCONV_BATCH_H

#include <cstddef>
#include <string>
#include <vector>

#include "velconv/conversion.h"

namespace sonx::velconv {

// How much a batch prints beside its errors and the files' warnings.
enum class BatchReport {
    Quiet,    // errors only
    Normal,   // also the files' warnings and the summary line
    Verbose,  // also each skipped file
};

struct BatchSettings {
    ConversionSettings conversion;
    std::string outputDir;  // empty: each output beside its input
    bool force = false;     // replace outputs that exist instead of skipping them
    BatchReport report = BatchReport::Normal;
    // Files converted at once, 1 to kMaxJobs; 0: one per core the process
    // may run on.
    std::size_t jobs = 0;
};

inline constexpr std::size_t kMaxJobs = 64;

// The cores this process may run on (its CPU affinity), at least 1.
std::size_t coresAvailable();

// Returns the exit status: 0 when no input failed, else 255.
int runBatch(const std::vector<std::string>& inputs, const BatchSettings& settings);

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_BATCH_H
