// The velconv front end: parses the command line, checks the input and
// hands one conversion request to the library.
#ifndef SONX_VELCONV_VELCONV_H
#define SONX_VELCONV_VELCONV_H

namespace sonx::velconv {

// The status of every failed run, single-file, batch or -i (255 as an exit
// status).
inline constexpr int kFailureStatus = -1;

// Returns the process exit status (0, or kFailureStatus).
int runVelconv(int argc, char** argv);

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_VELCONV_H
