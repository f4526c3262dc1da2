#include "words/facts.h"

#include <cstdio>

namespace sonx::words {

namespace {

std::string formatName(uint32_t tag) {
    switch (tag) {
        case 0x0001: return "PCM";
        case 0x0003: return "IEEE float";
        case 0x0006: return "A-law";
        case 0x0007: return "mu-law";
        case 0xFFFE: return "extensible";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "format tag 0x%04x", tag);
            return text;
        }
    }
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

double seconds(uint64_t samples, uint32_t sampleRate) {
    return sampleRate ? static_cast<double>(samples) / sampleRate : 0.0;
}

std::string codecWords(const FileFacts& facts) {
    return facts.codecName ? std::string(facts.codecName) : "unknown " + facts.codec.toString();
}

// Empty for an undamaged file.
std::string damage(const FileFacts& facts) {
    std::string text;
    if (facts.cutShort) {
        const std::string recovers = "-s recovers " + fixed(seconds(facts.samples, facts.sampleRate), 2) + " s";
        const bool qcp = facts.kind == FILE_KIND_QCP;
        const uint64_t promised = qcp ? facts.packetsPromised : facts.samplesPromised;
        const uint64_t present = qcp ? facts.packets : facts.samples;
        if (facts.promiseKnown && promised > present)
            text = "cut short: header promises " + std::to_string(promised) + (qcp ? " packets, " : " samples, ") +
                   std::to_string(present) + " present; " + recovers;
        else
            text = "cut short: header gives no usable length; " + recovers;
    }
    if (facts.formatDamaged)
        text += (text.empty() ? "" : "; ") + std::string("'fmt ' states a packet length or rate the codec does not use");
    if (facts.strayBytes)
        text += (text.empty() ? "" : "; ") + std::to_string(facts.strayBytes) + " stray bytes between packets";
    return text;
}

}  // namespace

std::string factsText(const std::string& name, const FileFacts& facts) {
    std::string out = name + ":\n";
    auto line = [&out](const char* field, const std::string& value) { out += "  " + std::string(field) + value + "\n"; };
    const double duration = seconds(facts.samples, facts.sampleRate);
    if (facts.kind == FILE_KIND_QCP) {
        line("container:   ", "QCP");
        line("codec:       ", codecWords(facts) + (facts.decodable ? "" : " (velconv cannot decode it)"));
        if (const char* rateSet = rateSetName(facts.rateSet))
            line("rate set:    ", std::string(rateSet) + " (" + rateSetWords(facts.rateSet) + ")");
        line("sample rate: ", std::to_string(facts.sampleRate) + " Hz");
        line("duration:    ", fixed(duration, 2) + " s");
        std::string packets = std::to_string(facts.packets) + " (";
        for (int rate = 0; rate < PACKET_RATE_COUNT; ++rate)
            packets += std::string(rate ? ", " : "") + packetRateName(rate) + " " + std::to_string(facts.packetsByRate[rate]);
        line("packets:     ", packets + ")");
        line("bit rate:    ", fixed(facts.averageBitRate / 1000.0, 2) + " kbit/s average");
    } else {
        line("container:   ", "WAV");
        line("format:      ", formatName(facts.formatTag) + ", " + std::to_string(facts.channels) +
                                  (facts.channels == 1 ? " channel, " : " channels, ") +
                                  std::to_string(facts.sampleRate) + " Hz, " + std::to_string(facts.sampleBits) +
                                  "-bit" + (facts.decodable ? "" : " (velconv cannot read it)"));
        line("duration:    ", fixed(duration, 2) + " s");
    }
    if (!facts.label.empty()) line("label:       ", facts.label);
    if (!facts.text.empty()) line("text:        ", facts.text);
    const std::string damaged = damage(facts);
    line("damage:      ", damaged.empty() ? "none" : damaged);
    return out;
}

std::string factsJson(const std::string& name, const FileFacts& facts) {
    std::string out = "{\"file\":" + jsonString(name);
    auto field = [&out](const char* key, const std::string& value) { out += ",\"" + std::string(key) + "\":" + value; };
    const bool qcp = facts.kind == FILE_KIND_QCP;
    field("container", qcp ? "\"qcp\"" : "\"wav\"");
    if (qcp) {
        field("codec", facts.codecName ? jsonString(facts.codecName) : "null");
        field("codecId", jsonString(facts.codec.toString()));
        field("decodable", facts.decodable ? "true" : "false");
        const char* rateSet = rateSetName(facts.rateSet);
        field("rateSet", rateSet ? jsonString(rateSet) : "null");
    } else {
        field("format", jsonString(formatName(facts.formatTag)));
        field("formatTag", std::to_string(facts.formatTag));
        field("channels", std::to_string(facts.channels));
        field("sampleBits", std::to_string(facts.sampleBits));
        field("decodable", facts.decodable ? "true" : "false");
    }
    field("sampleRate", std::to_string(facts.sampleRate));
    field("samples", std::to_string(facts.samples));
    field("duration", fixed(seconds(facts.samples, facts.sampleRate), 3));
    if (qcp) {
        std::string packets = "{";
        for (int rate = 0; rate < PACKET_RATE_COUNT; ++rate)
            packets += std::string(rate ? "," : "") + "\"" + packetRateName(rate) + "\":" +
                       std::to_string(facts.packetsByRate[rate]);
        field("packets", std::to_string(facts.packets));
        field("packetsByRate", packets + "}");
        field("packetsPromised", facts.promiseKnown ? std::to_string(facts.packetsPromised) : "null");
        field("averageBitRate", std::to_string(facts.averageBitRate));
    }
    field("label", jsonString(facts.label));
    field("text", jsonString(facts.text));
    field("cutShort", facts.cutShort ? "true" : "false");
    const std::string damaged = damage(facts);
    field("damage", damaged.empty() ? "null" : jsonString(damaged));
    return out + "}";
}


std::string jsonString(const std::string& value) {
    std::string out = "\"";
    for (std::size_t at = 0; at < value.size();) {
        const auto byte = static_cast<unsigned char>(value[at]);
        std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && at + length <= value.size();
        for (std::size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(value[at + k]) & 0xC0) == 0x80;
        if (!valid) {
            out += "\\ufffd";
            ++at;
            continue;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out.append(value, at, length);
        }
        at += length;
    }
    return out + "\"";
}


std::string errorJson(const std::string& name, const std::string& error) {
    return "{\"file\":" + jsonString(name) + ",\"error\":" + jsonString(error) + "}";
}

}  // namespace sonx::words
