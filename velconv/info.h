// velconv -i: what each file holds, described without converting it.
#ifndef SONX_VELCONV_INFO_H
#define SONX_VELCONV_INFO_H

#include <string>
#include <vector>

#include "sonx/sonx.h"

namespace sonx::velconv {

enum class InfoFormat { Text, Json };

// The description of one file's facts as printed on standard output.
std::string describeFacts(const std::string& name, const FileFacts& facts, InfoFormat format);

// Describes every file on standard output; one that cannot be read gets an
// ERROR line on standard error (and a JSON object with "error"). Returns the
// exit status: 0 when every file could be read, else 255.
int runInfo(const std::vector<std::string>& names, InfoFormat format);

}  // namespace sonx::velconv

#endif  // SONX_VELCONV_INFO_H
