// The velconv front end: parses the command line, checks the input and
// hands one conversion request to the library.
#ifndef SONX_VELCONV_VELCONV_H
#define SONX_VELCONV_VELCONV_H

namespace sonx::velconv {

// Returns the process exit status (0, or -1 on failure).
int runVelconv(int argc, char** argv);

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_VELCONV_H
