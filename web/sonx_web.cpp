// The page's and Node's way into the library: an input in memory or read
// piece by piece from the host (the page's File), a whole file in memory out. Everything goes through the public interface
// (createInstance, ISonxConvertFile, ISonxFile, ISonxQcpChunks, ISonxSalvage)
// with client callback file handles over byte vectors, so the web build
// converts exactly as velconv does.
//
// Results stay in this module until the next call; JavaScript copies them
// out through the pointer and length getters.
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sonx/convert/file_tags.h"
#include "sonx/convert/messages.h"
#include "sonx/sonx.h"

using namespace sonx;

namespace {

// ---- Files in memory ----------------------------------------------------------

struct MemoryFile {
    std::vector<uint8_t> bytes;
    uint32_t position = 0;
};

// Serves a MemoryFile to the library. Reads past the end deliver what there
// is, which the library reports as a short read; writes past the end grow it.
int32_t memoryFileCallback(int32_t operation, uint8_t* buffer, int32_t position, int32_t length,
                           uintptr_t clientData) {
    MemoryFile& file = *reinterpret_cast<MemoryFile*>(clientData);
    const size_t size = file.bytes.size();
    switch (operation) {
    case CLIENT_FILE_READ: {
        if (length < 0) return -1;
        const size_t available = file.position < size ? size - file.position : 0;
        const size_t n = std::min<size_t>(available, static_cast<size_t>(length));
        if (n) std::memcpy(buffer, file.bytes.data() + file.position, n);
        file.position += static_cast<uint32_t>(n);
        return static_cast<int32_t>(n);
    }
    case CLIENT_FILE_WRITE: {
        if (length < 0) return -1;
        const size_t end = size_t{file.position} + static_cast<size_t>(length);
        if (end > INT32_MAX) return 0;
        if (end > size) file.bytes.resize(end);
        if (length) std::memcpy(file.bytes.data() + file.position, buffer, static_cast<size_t>(length));
        file.position = static_cast<uint32_t>(end);
        return length;
    }
    case CLIENT_FILE_SEEK:
        if (position < 0) return -1;
        file.position = static_cast<uint32_t>(position);
        return position;
    case CLIENT_FILE_SIZE:
        return static_cast<int32_t>(std::min<size_t>(size, INT32_MAX));
    case CLIENT_FILE_TRUNCATE:
        if (length < 0) return -1;
        file.bytes.resize(static_cast<size_t>(length));
        return 0;
    default:
        return -1;
    }
}

FileHandle handleOf(MemoryFile& file) {
    return FileHandle::client(memoryFileCallback, reinterpret_cast<uintptr_t>(&file));
}

// The host's input (the page's File): Module.inputSize bytes, read through
// Module.readInput(position, length), which returns the bytes as a typed
// array or as a string of one character per byte.
EM_JS(double, hostInputSize, (), { return Module["inputSize"]; });
EM_JS(int32_t, readHostInput, (double position, uint8_t* buffer, int32_t length), {
    const bytes = Module["readInput"](position, length);
    if (typeof bytes === "string") {
        for (let i = 0; i < bytes.length; i++) HEAPU8[buffer + i] = bytes.charCodeAt(i);
    } else {
        HEAPU8.set(bytes, buffer);
    }
    return bytes.length;
});

// The host's input, held a window at a time: a conversion keeps a bounded
// part of its input in memory, whatever the file's size.
struct StreamedFile {
    uint32_t size = 0;
    uint32_t position = 0;
    uint32_t windowStart = 0;
    std::vector<uint8_t> window;
};
constexpr uint32_t kWindowBytes = 1u << 16;

int32_t streamedFileCallback(int32_t operation, uint8_t* buffer, int32_t position, int32_t length,
                             uintptr_t clientData) {
    StreamedFile& file = *reinterpret_cast<StreamedFile*>(clientData);
    switch (operation) {
    case CLIENT_FILE_READ: {
        if (length < 0) return -1;
        uint32_t done = 0;
        while (done < static_cast<uint32_t>(length) && file.position < file.size) {
            const bool inWindow =
                file.position >= file.windowStart && file.position - file.windowStart < file.window.size();
            if (!inWindow) {
                file.window.resize(std::min(kWindowBytes, file.size - file.position));
                file.window.resize(static_cast<size_t>(std::max(
                    0, readHostInput(file.position, file.window.data(), static_cast<int32_t>(file.window.size())))));
                file.windowStart = file.position;
                if (file.window.empty()) break;
            }
            const uint32_t offset = file.position - file.windowStart;
            const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(file.window.size()) - offset,
                                                  static_cast<uint32_t>(length) - done);
            std::memcpy(buffer + done, file.window.data() + offset, n);
            done += n;
            file.position += n;
        }
        return static_cast<int32_t>(done);
    }
    case CLIENT_FILE_SEEK:
        if (position < 0) return -1;
        file.position = static_cast<uint32_t>(position);
        return position;
    case CLIENT_FILE_SIZE:
        return static_cast<int32_t>(file.size);
    default:
        return -1;  // read only
    }
}

FileHandle handleOf(StreamedFile& file) {
    return FileHandle::client(streamedFileCallback, reinterpret_cast<uintptr_t>(&file));
}

// ---- State handed back to JavaScript ------------------------------------------

std::vector<uint8_t> g_output;
size_t g_outputReserve = 0;
std::string g_error;
int32_t g_errorCode = SONX_OK;

// The last failure: its text and its sonx_status.
void failWith(int32_t code, const std::string& text) {
    g_errorCode = code;
    g_error = text;
}
void failWith(ISonxError* error) { failWith(error->errorCode(), error->errorText()); }
std::string g_info;
// What the last describe or convert found of its input's lengths, and
// which way that conversion went (the warning's verb depends on it).
SalvageReport g_salvage;
// The facts of the last input that failed because its codec is not one this
// library decodes; kind is FILE_KIND_UNKNOWN otherwise.
FileFacts g_undecodable;
Direction g_salvageDirection = Direction::Decoding;
double g_salvageBlockSeconds = 0;
std::string g_salvageJson;

// The input is copied once: the library's callbacks read it through a
// MemoryFile, and JavaScript may free its buffer as soon as a call returns.
MemoryFile inputFile(const uint8_t* data, uint32_t length) {
    MemoryFile file;
    file.bytes.assign(data, data + length);
    return file;
}

enum class Kind { Wav, Qcp };

// The direction follows from the RIFF form type alone, with velconv's words.
bool kindOf(const FileHandle& file, Kind& kind) {
    uint8_t b[12];
    const bool whole = file.callback(CLIENT_FILE_SEEK, nullptr, 0, 0, file.clientData) == 0 &&
                       file.callback(CLIENT_FILE_READ, b, 0, 12, file.clientData) == 12;
    if (!whole || std::memcmp(b, "RIFF", 4) != 0) {
        failWith(SONX_ERR_NOT_AUDIO, "Input file is not a valid wav, or qcp file");
        return false;
    }
    if (std::memcmp(b + 8, "WAVE", 4) == 0) {
        kind = Kind::Wav;
        return true;
    }
    if (std::memcmp(b + 8, "QLCM", 4) == 0) {
        kind = Kind::Qcp;
        return true;
    }
    failWith(SONX_ERR_NOT_AUDIO, "Input file appears to be a RIFF file, but it is neither a wav or qcp file");
    return false;
}

const Guid* rateSetOf(int32_t index) {
    static const Guid* const sets[] = {&RATE_SET_VFR, &RATE_SET_VHR, &RATE_SET_FFR, &RATE_SET_FHR};
    return index >= 0 && index < 4 ? sets[index] : nullptr;
}

EM_JS(void, reportProgress, (uint32_t percent), {
    if (typeof Module["onProgress"] === "function") Module["onProgress"](percent);
});

void onConvertEvent(uint32_t event, uint32_t value, uint32_t) {
    if (event == CONVERT_EVENT_PROGRESS) reportProgress(value);
}

// ---- Describing a file ----------------------------------------------------------

void appendJsonString(std::string& out, const uint8_t* text, size_t length) {
    // Bytes, not characters: every byte above 0x7f becomes \u00XX, so the
    // page can rebuild the exact bytes and decode them as it sees fit.
    out += '"';
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = text[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void appendField(std::string& out, const char* name, uint64_t value) {
    out += ",\"";
    out += name;
    out += "\":";
    out += std::to_string(value);
}

// Packets per rate octet, read one packet at a time through the library,
// which skips stray bytes between packets as a conversion would.
bool countRates(ISonxFile* file, uint32_t blocks, uint64_t counts[256], uint64_t& payloadBytes) {
    uint8_t packet[64];
    for (uint32_t i = 0; i < blocks; ++i) {
        uint32_t bytes = 0;
        if (file->read(1, packet, &bytes) != 1 || bytes == 0) return false;
        ++counts[packet[0]];
        payloadBytes += bytes - 1;
    }
    return true;
}

// 'labl' and 'text' where present; a missing chunk is no error.
void appendChunks(std::string& out, const FileHandle& handle, ISonxQcpChunks* chunks) {
    uint8_t label[48];
    if (chunks->getLablChunk(&handle, label, sizeof label)) {
        const size_t length = std::find(label, label + sizeof label, 0) - label;
        out += ",\"labl\":";
        appendJsonString(out, label, length);
    }
    const uint32_t textLength = chunks->getTextChunk(&handle, nullptr, 0);
    if (textLength > 0) {
        std::vector<uint8_t> text(textLength);
        const uint32_t got = chunks->getTextChunk(&handle, text.data(), textLength);
        const size_t length = std::find(text.begin(), text.begin() + got, 0) - text.begin();
        out += ",\"text\":";
        appendJsonString(out, text.data(), length);
    }
}

// Keeps what the object found of its input's lengths for sonx_web_salvage(),
// with the length of one of the input's blocks for the warning's seconds.
void keepSalvageReport(ISonxUnknown* object, Kind kind, const FileHandle& input) {
    g_salvage = SalvageReport{};
    g_salvageDirection = kind == Kind::Qcp ? Direction::Decoding : Direction::Encoding;
    g_salvageBlockSeconds = 0;
    if (Ref<ISonxSalvage> salvage(queryInterface<ISonxSalvage>(object)); salvage.get())
        salvage->salvageReport(&g_salvage);
    FileFacts facts;
    std::string unreadable;
    if (g_salvage.salvaged && describeFile(input, facts, unreadable)) g_salvageBlockSeconds = inputBlockSeconds(facts);
}

// After a failure: keeps the facts of a QCP input coded with a codec that
// cannot be decoded, for sonx_web_failure_note().
void keepUndecodable(Kind kind, const FileHandle& input) {
    FileFacts facts;
    std::string unreadable;
    if (kind == Kind::Qcp && describeFile(input, facts, unreadable) && !facts.decodable) g_undecodable = facts;
}

bool describe(const FileHandle& handle, Kind kind, bool salvage, std::string& out) {
    Ref<ISonxFile> file(createInstance<ISonxFile>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(file.get()));
    Ref<ISonxQcpChunks> chunks(queryInterface<ISonxQcpChunks>(file.get()));
    if (!file.get() || !error.get() || !chunks.get()) {
        failWith(SONX_ERR_FAILED, "Unable to allocate ISonxFile instance!");
        return false;
    }
    AudioFormat format;
    format.fileType = kind == Kind::Qcp ? FILE_TYPE_QCP : FILE_TYPE_WAV;
    if (kind == Kind::Wav) format.codec = CODEC_PCM;
    if (salvage) format.option |= FORMAT_OPTION_SALVAGE;
    // Reading packets as packets (QCP) or samples as they are (WAV) leaves
    // the data untouched and the codecs idle.
    AudioFormat client = format;
    if (kind == Kind::Qcp) {
        client.codec = CODEC_QCELP13K;
        client.dataFormat = RATE_SET_VFR;
    } else {
        client.sampleRate = 8000;
        client.sampleBits = 16;
    }
    const bool opened = file->open(&handle, 0, &format, &client);
    keepSalvageReport(file.get(), kind, handle);
    if (!opened) {
        failWith(error.get());
        return false;
    }
    AudioFormat actual;
    file->fileFormat(&actual);
    if (kind == Kind::Qcp && !(actual.codec == client.codec)) {
        // The second form of the QCELP-13K identity: ask for that one, or
        // the library would decode and encode again instead of copying.
        client.codec = actual.codec;
        if (!file->open(&handle, 0, &format, &client)) {
            failWith(error.get());
            return false;
        }
    }
    const uint32_t blocks = file->blockCount();

    out = kind == Kind::Qcp ? "{\"kind\":\"qcp\"" : "{\"kind\":\"wav\"";
    out += ",\"codec\":";
    std::string codec = actual.codec == CODEC_PCM           ? "PCM"
                        : actual.codec == CODEC_G711_ULAW   ? "G.711 mu-law"
                        : actual.codec == CODEC_QCELP13K ||
                                  actual.codec == CODEC_QCELP13K_ALT
                            ? "QCELP-13K"
                            : actual.codec.toString();
    appendJsonString(out, reinterpret_cast<const uint8_t*>(codec.data()), codec.size());
    appendField(out, "sampleRate", actual.sampleRate);
    appendField(out, "sampleBits", actual.sampleBits);
    appendField(out, "blocks", blocks);
    appendField(out, "blockSamples", actual.blockSamples);
    if (kind == Kind::Wav) {
        // What the file itself holds, before any conversion to 8 kHz mono.
        FileFacts facts;
        std::string unreadable;
        if (describeFile(handle, facts, unreadable)) {
            appendField(out, "channels", facts.channels);
            appendField(out, "formatTag", facts.formatTag);
            appendField(out, "fileBits", facts.sampleBits);
        }
    }
    if (kind == Kind::Qcp) {
        uint64_t counts[256] = {};
        uint64_t payloadBytes = 0;
        if (!countRates(file.get(), blocks, counts, payloadBytes)) {
            if (error->hasError()) failWith(error.get()); else failWith(SONX_ERR_READ, "Unable to read the packets");
            return false;
        }
        out += ",\"rates\":{";
        out += "\"blank\":" + std::to_string(counts[0]) + ",\"eighth\":" + std::to_string(counts[1]) +
               ",\"quarter\":" + std::to_string(counts[2]) + ",\"half\":" + std::to_string(counts[3]) +
               ",\"full\":" + std::to_string(counts[4]) + ",\"erasure\":" + std::to_string(counts[14]) + "}";
        appendField(out, "payloadBytes", payloadBytes);
    }
    file->close(0);
    if (kind == Kind::Qcp) appendChunks(out, handle, chunks.get());
    out += "}";
    return true;
}

// Lowest and highest sample of each of `columns` equal stretches of a WAV
// file's samples, read through the library as 16-bit PCM.
bool waveform(MemoryFile& memory, uint32_t columns, std::vector<int16_t>& peaks) {
    Ref<ISonxFile> file(createInstance<ISonxFile>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(file.get()));
    if (!file.get() || !error.get()) {
        failWith(SONX_ERR_FAILED, "Unable to allocate ISonxFile instance!");
        return false;
    }
    AudioFormat format;
    format.fileType = FILE_TYPE_WAV;
    format.codec = CODEC_PCM;
    AudioFormat client = format;
    client.sampleRate = 8000;
    client.sampleBits = 16;
    const FileHandle handle = handleOf(memory);
    if (!file->open(&handle, 0, &format, &client)) {
        failWith(error.get());
        return false;
    }
    const uint64_t samples = file->blockCount();
    peaks.assign(size_t{columns} * 2, 0);
    std::vector<int16_t> buffer(8000);
    uint64_t done = 0;
    while (done < samples) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), samples - done));
        const uint32_t got = file->read(want, reinterpret_cast<uint8_t*>(buffer.data()), nullptr);
        if (got == 0) break;
        for (uint32_t i = 0; i < got; ++i) {
            const size_t column = static_cast<size_t>((done + i) * columns / samples);
            int16_t& low = peaks[column * 2];
            int16_t& high = peaks[column * 2 + 1];
            low = std::min(low, buffer[i]);
            high = std::max(high, buffer[i]);
        }
        done += got;
    }
    file->close(0);
    if (done < samples && error->hasError()) {
        failWith(error.get());
        return false;
    }
    return true;
}

// Option bits of sonx_web_convert and sonx_web_describe.
enum : uint32_t {
    // Read a damaged input (a length past the end of the file, 0 or
    // 0xFFFFFFFF) for what it holds, as velconv -s does.
    SONX_WEB_SALVAGE = 1,
    SONX_WEB_KNOWN_FLAGS = SONX_WEB_SALVAGE,
};

int32_t convertFrom(const FileHandle& in, int32_t rateSet, uint32_t flags, uint32_t sampleRate) {
    g_output.clear();
    g_output.shrink_to_fit();
    failWith(SONX_OK, "");
    g_salvage = SalvageReport{};
    g_undecodable = FileFacts{};
    if (flags & ~SONX_WEB_KNOWN_FLAGS) {
        failWith(SONX_ERR_INVALID, "Unknown conversion option");
        return 0;
    }
    const Guid* rateSetId = rateSetOf(rateSet);
    if (!rateSetId) {
        failWith(SONX_ERR_INVALID, "Unknown rate set");
        return 0;
    }
    Kind kind;
    if (!kindOf(in, kind)) return 0;
    const uint32_t decodeRate = sampleRate ? sampleRate : DECODE_RATE_DEFAULT;
    if (kind == Kind::Wav && decodeRate != DECODE_RATE_DEFAULT) {
        failWith(SONX_ERR_INVALID, "A QCP file is always 8000 Hz");
        return 0;
    }

    Ref<ISonxConvertFile> converter(createInstance<ISonxConvertFile>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(converter.get()));
    if (!converter.get() || !error.get()) {
        failWith(SONX_ERR_FAILED, "Unable to allocate ISonxConvertFile instance!");
        return 0;
    }
    // The same request velconv makes for the same input.
    AudioFormat inputFormat, outputFormat;
    if (kind == Kind::Wav) {
        inputFormat.fileType = FILE_TYPE_WAV;
        inputFormat.codec = CODEC_PCM;
        inputFormat.sampleRate = 8000;
        inputFormat.sampleBits = 16;
        outputFormat.fileType = FILE_TYPE_QCP;
        outputFormat.codec = CODEC_QCELP13K;
        outputFormat.dataFormat = *rateSetId;
    } else {
        inputFormat.fileType = FILE_TYPE_QCP;
        outputFormat.fileType = FILE_TYPE_WAV;
        outputFormat.codec = CODEC_PCM;
        outputFormat.sampleRate = decodeRate;
        outputFormat.sampleBits = 16;
    }
    if (flags & SONX_WEB_SALVAGE) inputFormat.option |= FORMAT_OPTION_SALVAGE;
    MemoryFile output;
    // Grown once to the expected size rather than by doubling, which would
    // hold the old and the new buffer at once.
    output.bytes.reserve(g_outputReserve);
    g_outputReserve = 0;
    const FileHandle out = handleOf(output);
    // Without threads the conversion has run to its end when convert returns.
    const bool started = converter->convert(&in, &inputFormat, &out, &outputFormat, onConvertEvent, 0);
    keepSalvageReport(converter.get(), kind, in);
    if (!started || error->hasError()) {
        keepUndecodable(kind, in);
        failWith(error.get());
        return 0;
    }
    // The label and comment travel with the speech, as velconv carries them.
    FileTags tags;
    try {
        tags = readFileTags(in);
    } catch (const std::exception&) {
        // Tags of an input that converted are a bonus; an unreadable one is left out.
    }
    try {
        writeFileTags(out, tags);
    } catch (const std::exception& e) {
        failWith(SONX_ERR_FAILED, e.what());
        return 0;
    }
    g_output = std::move(output.bytes);
    return 1;
}

int32_t describeFrom(const FileHandle& in, uint32_t flags) {
    failWith(SONX_OK, "");
    g_info.clear();
    g_salvage = SalvageReport{};
    g_undecodable = FileFacts{};
    Kind kind;
    if (!kindOf(in, kind)) return 0;
    if (!describe(in, kind, (flags & SONX_WEB_SALVAGE) != 0, g_info)) {
        keepUndecodable(kind, in);
        return 0;
    }
    return 1;
}

// The host's input, or null with the reason in g_error.
bool openHostInput(StreamedFile& file) {
    const double size = hostInputSize();
    if (!(size >= 0) || size > INT32_MAX) {
        failWith(SONX_ERR_TOO_LARGE, "The file is larger than 2 GB, more than the browser converter reads");
        return false;
    }
    file.size = static_cast<uint32_t>(size);
    return true;
}

}  // namespace

// ---- Exported functions -------------------------------------------------------

extern "C" {

// Converts a WAV file into a QCP file with rate set `rateSet` (0 vfr,
// 1 vhr, 2 ffr, 3 fhr), or a QCP file into a WAV file at `sampleRate`
// (8000 to 48000; 0 is 8000; the rate set is then ignored), as velconv
// does. Returns 1 on success; the result is then at sonx_web_output().
// Progress arrives as Module.onProgress(percent).
EMSCRIPTEN_KEEPALIVE int32_t sonx_web_convert(const uint8_t* data, uint32_t length, int32_t rateSet,
                                              uint32_t flags, uint32_t sampleRate) {
    MemoryFile input = inputFile(data, length);
    return convertFrom(handleOf(input), rateSet, flags, sampleRate);
}

// sonx_web_convert of the host's input (Module.inputSize and
// Module.readInput), read a window at a time.
EMSCRIPTEN_KEEPALIVE int32_t sonx_web_convert_input(int32_t rateSet, uint32_t flags, uint32_t sampleRate) {
    StreamedFile input;
    g_output.clear();
    g_output.shrink_to_fit();
    return openHostInput(input) ? convertFrom(handleOf(input), rateSet, flags, sampleRate) : 0;
}

EMSCRIPTEN_KEEPALIVE const uint8_t* sonx_web_output() { return g_output.data(); }
EMSCRIPTEN_KEEPALIVE uint32_t sonx_web_output_length() { return static_cast<uint32_t>(g_output.size()); }
EMSCRIPTEN_KEEPALIVE void sonx_web_free_output() {
    g_output.clear();
    g_output.shrink_to_fit();
}
EMSCRIPTEN_KEEPALIVE const char* sonx_web_error() { return g_error.c_str(); }
// The sonx_status of the last failure (sonx/sonx_c.h): SONX_ERR_DAMAGED,
// SONX_ERR_NOT_AUDIO, ...; SONX_ERR_FAILED for one without its own number.
EMSCRIPTEN_KEEPALIVE int32_t sonx_web_error_code() { return g_error.empty() ? SONX_OK : g_errorCode ? g_errorCode : SONX_ERR_FAILED; }

// The size the next conversion's result is expected to reach (a hint).
EMSCRIPTEN_KEEPALIVE void sonx_web_reserve_output(uint32_t bytes) { g_outputReserve = bytes; }

// The line velconv prints after the last failure's error for an input named
// `name`, when the input is a QCP file of a codec this library cannot decode
// ("velconv: 'memo.qcp' is coded with EVRC, which velconv cannot decode");
// "" otherwise.
EMSCRIPTEN_KEEPALIVE const char* sonx_web_failure_note(const char* name) {
    static std::string note;
    note = g_undecodable.kind == FILE_KIND_QCP ? undecodableCodecNote(name, g_undecodable) : "";
    return note.c_str();
}

// Describes a WAV or QCP file as JSON: kind, codec, sample rate and bits,
// blocks and samples per block; for QCP also packets per rate, payload
// bytes, and the 'labl' and 'text' chunks where present. Null on failure,
// with the library's text at sonx_web_error(). `flags` as for
// sonx_web_convert; other bits are ignored.
EMSCRIPTEN_KEEPALIVE const char* sonx_web_describe(const uint8_t* data, uint32_t length, uint32_t flags) {
    MemoryFile input = inputFile(data, length);
    return describeFrom(handleOf(input), flags) ? g_info.c_str() : nullptr;
}

// sonx_web_describe of the host's input.
EMSCRIPTEN_KEEPALIVE const char* sonx_web_describe_input(uint32_t flags) {
    StreamedFile input;
    failWith(SONX_OK, "");
    return openHostInput(input) && describeFrom(handleOf(input), flags) ? g_info.c_str() : nullptr;
}

// What the last sonx_web_convert or sonx_web_describe found of its input's
// lengths, as JSON: lengthDamaged (whether or not it failed because of
// that), salvaged, blocksRead, blocksPromised, promiseKnown, and for a
// salvaged input `recovered`, the end of velconv's warning ("decoded 215 of
// the 702 packets its header promises"). All zero when the call failed
// before the input's header was read.
EMSCRIPTEN_KEEPALIVE const char* sonx_web_salvage() {
    const SalvageReport& r = g_salvage;
    g_salvageJson = "{\"lengthDamaged\":" + std::string(r.lengthDamaged ? "true" : "false") +
                    ",\"salvaged\":" + (r.salvaged ? "true" : "false") +
                    ",\"promiseKnown\":" + (r.promiseKnown ? "true" : "false");
    appendField(g_salvageJson, "blocksRead", r.blocksRead);
    appendField(g_salvageJson, "blocksPromised", r.blocksPromised);
    if (r.salvaged) {
        const std::string text = recoveredText(r, g_salvageDirection, g_salvageBlockSeconds);
        g_salvageJson += ",\"recovered\":";
        appendJsonString(g_salvageJson, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    g_salvageJson += "}";
    return g_salvageJson.c_str();
}

std::vector<int16_t> g_peaks;

// Waveform outline of a WAV file for drawing: `columns` pairs of the lowest
// and highest 16-bit sample. Null on failure.
EMSCRIPTEN_KEEPALIVE const int16_t* sonx_web_waveform(const uint8_t* data, uint32_t length, uint32_t columns) {
    failWith(SONX_OK, "");
    g_peaks.clear();
    if (columns == 0 || columns > 100000) {
        failWith(SONX_ERR_INVALID, "Waveform width out of range");
        return nullptr;
    }
    MemoryFile input = inputFile(data, length);
    if (!waveform(input, columns, g_peaks)) return nullptr;
    return g_peaks.data();
}

// The waveform of the last result (a WAV file) where it lies, without a copy.
EMSCRIPTEN_KEEPALIVE const int16_t* sonx_web_output_waveform(uint32_t columns) {
    failWith(SONX_OK, "");
    g_peaks.clear();
    if (columns == 0 || columns > 100000) {
        failWith(SONX_ERR_INVALID, "Waveform width out of range");
        return nullptr;
    }
    MemoryFile output;
    output.bytes.swap(g_output);
    const bool drawn = waveform(output, columns, g_peaks);
    output.bytes.swap(g_output);
    return drawn ? g_peaks.data() : nullptr;
}

}  // extern "C"
