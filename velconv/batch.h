// Converting many files in one run (-d DIR, -b): each input into its own
// output, never one over another, with one outcome line per file that is
// not simply converted and a summary at the end.
#ifndef SONX_VELCONV_BATCH_H
#define SONX_VELCONV_BATCH_H

#include <string>
#include <vector>

#include "velconv/conversion.h"

namespace sonx::velconv {

struct BatchSettings {
    ConversionSettings conversion;
    std::string outputDir;  // empty: each output beside its input
    bool force = false;     // replace outputs that exist instead of skipping them
    bool quiet = false;     // print errors only
};

// Returns the exit status: 0 when no input failed, else 255.
int runBatch(const std::vector<std::string>& inputs, const BatchSettings& settings);

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_BATCH_H
