// What a file holds, described for people (velconv -i) and as one JSON
// object, the shape velconv -i --json and the page both give (the man page
// lists its fields).
#ifndef SONX_WORDS_FACTS_H
#define SONX_WORDS_FACTS_H

#include <string>

#include "sonx/sonx.h"

namespace sonx::words {

// The lines velconv -i prints for the file `name`, each ending in a newline.
std::string factsText(const std::string& name, const FileFacts& facts);

// The facts of the file `name` as one JSON object on one line (no newline).
std::string factsJson(const std::string& name, const FileFacts& facts);

// The object that stands for a file that could not be described.
std::string errorJson(const std::string& name, const std::string& error);

// A JSON string of UTF-8 text, quotes included: bytes that form no
// character become U+FFFD.
std::string jsonString(const std::string& value);

}  // namespace sonx::words

#endif  // SONX_WORDS_FACTS_H
