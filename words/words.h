// The sentences velconv and the page say to people about a file, made in
// one place so both always say the same. Each is chosen by a number the
// library gives (a status, a file kind, a report), never by its text.
#ifndef SONX_WORDS_WORDS_H
#define SONX_WORDS_WORDS_H

#include <string>

#include "sonx/sonx.h"

namespace sonx::words {

enum class Direction { Encoding, Decoding };

// A QCP input is decoded, anything else encoded.
inline Direction directionOf(int32_t fileKind) {
    return fileKind == FILE_KIND_QCP ? Direction::Decoding : Direction::Encoding;
}

// What an input that is no QCP or WAV file is called, by its kind and
// length: "Input file is not a valid wav, or qcp file", ...
std::string notAudioText(const FileKindInfo& kind);

// The same for an input whose first bytes could not be read (or that
// cannot be opened), and what is said then: the library's `message` for a
// file too large for it (SONX_ERR_TOO_LARGE), else kNotWavOrQcp.
extern const char* const kNotWavOrQcp;
std::string unreadableInputText(int32_t status, const std::string& message);

// What a salvaged conversion recovered, in blocks and in seconds, ending the
// sentence "'name' is damaged: ": "decoded 91 of the 782 packets its header
// promises (1.8 of 15.6 s)". `blockSeconds` is the length of one input block
// (a packet, or a sample at the input's rate); 0 leaves the seconds out.
std::string recoveredText(const SalvageReport& report, Direction direction, double blockSeconds);

// The length of one block of the described input, for recoveredText.
double inputBlockSeconds(const FileFacts& facts);

// The whole warning line of a salvaged input.
std::string salvageWarning(const std::string& inputName, const SalvageReport& report, Direction direction,
                           double blockSeconds);

// The line after the error of an input whose lengths say it was cut short.
std::string cutShortHint(Direction direction);

// The line after the error of a QCP file coded with a codec this library
// cannot decode: "'memo.qcp' is coded with EVRC, which velconv cannot decode".
std::string undecodableCodecNote(const std::string& inputName, const FileFacts& facts);

// A sentence in plain words for a failure whose text is in the file
// format's terms (SONX_ERR_READ, _UNSUPPORTED, _DAMAGED); "" for others.
std::string plainWords(int32_t status);

}  // namespace sonx::words

#endif  // SONX_WORDS_WORDS_H
