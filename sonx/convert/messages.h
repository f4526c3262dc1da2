// The sentences velconv and the page say about a file, made in one place so
// both always say the same.
#ifndef SONX_CONVERT_MESSAGES_H
#define SONX_CONVERT_MESSAGES_H

#include <string>

#include "sonx/sonx.h"

namespace sonx {

enum class Direction { Encoding, Decoding };

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

}  // namespace sonx

#endif  // SONX_CONVERT_MESSAGES_H
