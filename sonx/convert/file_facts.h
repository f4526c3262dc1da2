// What a speech file holds, read without converting it (ISonxFileFacts).
#ifndef SONX_CONVERT_FILE_FACTS_H
#define SONX_CONVERT_FILE_FACTS_H

#include "sonx/sonx.h"

namespace sonx {

int32_t describeFileInto(const FileHandle& file, FileFactsCore& facts, FileFactTexts& texts);

}  // namespace sonx

#endif  // SONX_CONVERT_FILE_FACTS_H
