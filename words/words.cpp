#include "words/words.h"

#include <cstdio>

namespace sonx::words {

namespace {

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

const char* const kNotWavOrQcp = "Input file is not a valid wav, or qcp file";

std::string notAudioText(const FileKindInfo& kind) {
    if (kind.size < 6) return "Input file is too small to be a valid qcp, or wav file";
    if (kind.size < SONX_KIND_HEADER_BYTES) return "Input file is too small to be a valid qcp or wav file";
    if (kind.kind == FILE_KIND_OTHER_RIFF)
        return "Input file appears to be a RIFF file, but it is neither a wav or qcp file";
    return kNotWavOrQcp;
}

std::string unreadableInputText(int32_t status, const std::string& message) {
    return status == SONX_ERR_TOO_LARGE ? message : kNotWavOrQcp;
}

std::string recoveredText(const SalvageReport& report, Direction direction, double blockSeconds) {
    const bool decoding = direction == Direction::Decoding;
    const std::string verb = decoding ? "decoded " : "encoded ";
    const std::string unit = decoding ? " packets" : " samples";
    const std::string read = std::to_string(report.blocksRead);
    const bool whole = report.promiseKnown && report.blocksRead == report.blocksPromised;
    std::string text;
    if (!report.promiseKnown)
        text = verb + read + unit;
    else if (whole)
        text = verb + "all " + read + unit + " its header promises";
    else
        text = verb + read + " of the " + std::to_string(report.blocksPromised) + unit + " its header promises";
    if (blockSeconds > 0) {
        text += " (" + seconds(report.blocksRead * blockSeconds);
        if (report.promiseKnown && !whole) text += " of " + seconds(report.blocksPromised * blockSeconds);
        text += " s)";
    }
    if (!report.promiseKnown) text += "; its header gives no usable length";
    return text;
}

double inputBlockSeconds(const FileFacts& facts) {
    if (facts.sampleRate == 0) return 0;
    const double blockSamples = facts.kind == FILE_KIND_QCP ? (facts.packets ? double(facts.samples) / facts.packets : 160) : 1;
    return blockSamples / facts.sampleRate;
}

std::string salvageWarning(const std::string& inputName, const SalvageReport& report, Direction direction,
                           double blockSeconds) {
    return "WARNING: '" + inputName + "' is damaged: " + recoveredText(report, direction, blockSeconds);
}

std::string cutShortHint(Direction direction) {
    return std::string("velconv: the file looks cut short; -s ") +
           (direction == Direction::Decoding ? "decodes" : "encodes") + " what it holds";
}

std::string undecodableCodecNote(const std::string& inputName, const FileFacts& facts) {
    const std::string codec = facts.codecName ? facts.codecName : "an unknown codec " + facts.codec.toString();
    return "velconv: '" + inputName + "' is coded with " + codec + ", which velconv cannot decode";
}

std::string plainWords(int32_t status) {
    switch (status) {
        case SONX_ERR_READ: return "The file ends before all of its audio.";
        case SONX_ERR_UNSUPPORTED: return "The converter cannot convert this kind of audio.";
        case SONX_ERR_DAMAGED: return "The file is damaged: its parts do not add up to what it says it holds.";
        default: return "";
    }
}

}  // namespace sonx::words
