// The page's and Node's way into the library: an input in memory or read
// piece by piece from the host (the page's File), a whole file in memory
// out. Everything goes through the public interface (the file's kind, the
// ready requests, ISonxRequest, the file facts, the label copy, MemoryFile)
// and the words module, so the web build converts, describes and words its
// failures exactly as velconv does.
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

#include "sonx/sonx.h"
#include "words/facts.h"
#include "words/words.h"

using namespace sonx;
using words::Direction;

namespace {

// ---- The host's input ----------------------------------------------------------

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

// A WAV, RF64 or QCP file, which a conversion turns into the other form; the
// reason in velconv's words for any other.
bool kindOf(const FileHandle& file, int32_t& kind) {
    FileKindInfo found;
    std::string unreadable;
    if (const int32_t status = fileKind(file, found, unreadable); status != SONX_OK) {
        failWith(status == SONX_ERR_TOO_LARGE ? status : SONX_ERR_NOT_AUDIO,
                 words::unreadableInputText(status, unreadable));
        return false;
    }
    kind = found.kind;
    if (kind == FILE_KIND_QCP || kind == FILE_KIND_WAV || kind == FILE_KIND_RF64) return true;
    failWith(SONX_ERR_NOT_AUDIO, words::notAudioText(found));
    return false;
}

EM_JS(void, reportProgress, (uint32_t percent), {
    if (typeof Module["onProgress"] === "function") Module["onProgress"](percent);
});

int32_t onConvertEvent(uint32_t event, uint32_t value, uintptr_t) {
    if (event == CONVERT_EVENT_PROGRESS) reportProgress(value);
    return 0;
}

// ---- Describing a file ----------------------------------------------------------

void appendField(std::string& out, const char* name, uint64_t value) {
    out += ",\"";
    out += name;
    out += "\":";
    out += std::to_string(value);
}

// Keeps what the object found of its input's lengths for sonx_web_salvage(),
// with the length of one of the input's blocks for the warning's seconds.
void keepSalvageReport(ISonxUnknown* object, int32_t kind, const FileHandle& input) {
    g_salvage = SalvageReport{};
    g_salvageDirection = words::directionOf(kind);
    g_salvageBlockSeconds = 0;
    if (Ref<ISonxSalvage> salvage(queryInterface<ISonxSalvage>(object)); salvage.get())
        salvage->salvageReport(&g_salvage);
    FileFacts facts;
    std::string unreadable;
    if (g_salvage.salvaged && describeFile(input, facts, unreadable))
        g_salvageBlockSeconds = words::inputBlockSeconds(facts);
}

// After a failure: keeps the facts of a QCP input coded with a codec that
// cannot be decoded, for sonx_web_failure_note().
void keepUndecodable(int32_t kind, const FileHandle& input) {
    FileFacts facts;
    std::string unreadable;
    if (kind == FILE_KIND_QCP && describeFile(input, facts, unreadable) && !facts.decodable) g_undecodable = facts;
}

// The facts of the file `name` as JSON, once the file opens as a conversion
// would open it: a damaged one fails here as it would there, unless salvaged.
bool describe(const FileHandle& handle, int32_t kind, const std::string& name, bool salvage, std::string& out) {
    Ref<ISonxRequest> file(createInstance<ISonxRequest>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(file.get()));
    if (!file.get() || !error.get()) {
        failWith(SONX_ERR_FAILED, "Unable to allocate ISonxFile instance!");
        return false;
    }
    ConversionRequest request;
    requestFor(kind, RATE_SET_VFR, request);
    request.salvage = salvage ? SALVAGE_READ : SALVAGE_REFUSE;
    // Read as its packets (QCP) or its samples as they are (WAV), the file
    // stays untouched and the codecs idle.
    FileKindInfo found;
    std::string unreadable;
    if (kind == FILE_KIND_QCP) {
        request.output = request.input;
        request.output.codec = fileKind(handle, found, unreadable) == SONX_OK && found.codecKnown ? found.codec
                                                                                                 : CODEC_QCELP13K;
        request.output.dataFormat = RATE_SET_VFR;
    }
    const bool opened = file->openRequest(&handle, &request);
    keepSalvageReport(file.get(), kind, handle);
    // A codec or WAV form the library cannot convert is still described, as
    // velconv -i describes it; the conversion then fails and names it.
    if (!opened && error->errorCode() != SONX_ERR_UNSUPPORTED) {
        failWith(error.get());
        return false;
    }
    if (Ref<ISonxFile> single(queryInterface<ISonxFile>(file.get())); opened && single) single->close(0);
    FileFacts facts;
    std::string why;
    if (!describeFile(handle, facts, why)) {
        failWith(SONX_ERR_READ, why);
        return false;
    }
    out = words::factsJson(name, facts);
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
    // The WAV's samples as an encode reads them: 16-bit, 8 kHz, mono.
    const AudioFormat samples8k = wavToQcpRequest(RATE_SET_VFR).input;
    const FileHandle handle = memory.handle();
    if (!file->open(&handle, 0, &samples8k, &samples8k)) {
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
    Guid chosenRateSet;
    if (!rateSetId(rateSet, chosenRateSet)) {
        failWith(SONX_ERR_INVALID, "Unknown rate set");
        return 0;
    }
    int32_t kind = FILE_KIND_UNKNOWN;
    if (!kindOf(in, kind)) return 0;
    const uint32_t decodeRate = sampleRate ? sampleRate : DECODE_RATE_DEFAULT;
    if (kind != FILE_KIND_QCP && decodeRate != DECODE_RATE_DEFAULT) {
        failWith(SONX_ERR_INVALID, "A QCP file is always 8000 Hz");
        return 0;
    }

    Ref<ISonxRequest> converter(createInstance<ISonxRequest>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(converter.get()));
    if (!converter.get() || !error.get()) {
        failWith(SONX_ERR_FAILED, "Unable to allocate ISonxConvertFile instance!");
        return 0;
    }
    // The same request velconv makes for the same input.
    ConversionRequest request;
    requestFor(kind, chosenRateSet, decodeRate, request);
    request.salvage = flags & SONX_WEB_SALVAGE ? SALVAGE_READ : SALVAGE_REFUSE;
    MemoryFile output;
    // Grown once to the expected size rather than by doubling, which would
    // hold the old and the new buffer at once.
    output.written.reserve(g_outputReserve);
    g_outputReserve = 0;
    const FileHandle out = output.handle();
    // Without threads the conversion has run to its end when it returns.
    const bool started = converter->convertRequest(&in, &out, &request, onConvertEvent, 0);
    keepSalvageReport(converter.get(), kind, in);
    if (!started || error->hasError()) {
        keepUndecodable(kind, in);
        failWith(error.get());
        return 0;
    }
    // The label and comment travel with the speech, as velconv carries them.
    std::string tagFailure;
    if (const int32_t status = copyTags(in, out, tagFailure); status != SONX_OK) {
        failWith(status, tagFailure);
        return 0;
    }
    g_output = std::move(output.written);
    return 1;
}

int32_t describeFrom(const FileHandle& in, const char* name, uint32_t flags) {
    failWith(SONX_OK, "");
    g_info.clear();
    g_salvage = SalvageReport{};
    g_undecodable = FileFacts{};
    int32_t kind = FILE_KIND_UNKNOWN;
    if (!kindOf(in, kind)) return 0;
    if (!describe(in, kind, name ? name : "", (flags & SONX_WEB_SALVAGE) != 0, g_info)) {
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
    MemoryFile input(data, length);
    return convertFrom(input.handle(), rateSet, flags, sampleRate);
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
    note = g_undecodable.kind == FILE_KIND_QCP ? words::undecodableCodecNote(name, g_undecodable) : "";
    return note.c_str();
}

// A sentence in plain words before the failure's own text, by its status
// (sonx_web_error_code()); "" when the text says it plainly enough.
EMSCRIPTEN_KEEPALIVE const char* sonx_web_plain_words(int32_t status) {
    static std::string text;
    text = words::plainWords(status);
    return text.c_str();
}

// The facts of a WAV or QCP file named `name` as the JSON object velconv
// -i --json prints (its man page lists the fields). Null on failure, with
// the library's text at sonx_web_error(); a damaged file fails as its
// conversion would, unless `flags` (as for sonx_web_convert) salvage it; one
// of a codec or form the library cannot convert is described (decodable
// false), as velconv -i describes it.
EMSCRIPTEN_KEEPALIVE const char* sonx_web_describe(const uint8_t* data, uint32_t length, const char* name,
                                                   uint32_t flags) {
    MemoryFile input(data, length);
    return describeFrom(input.handle(), name, flags) ? g_info.c_str() : nullptr;
}

// sonx_web_describe of the host's input.
EMSCRIPTEN_KEEPALIVE const char* sonx_web_describe_input(const char* name, uint32_t flags) {
    StreamedFile input;
    failWith(SONX_OK, "");
    return openHostInput(input) && describeFrom(handleOf(input), name, flags) ? g_info.c_str() : nullptr;
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
        g_salvageJson += ",\"recovered\":" +
                         words::jsonString(words::recoveredText(r, g_salvageDirection, g_salvageBlockSeconds));
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
    MemoryFile input(data, length);
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
    output.written.swap(g_output);
    const bool drawn = waveform(output, columns, g_peaks);
    output.written.swap(g_output);
    return drawn ? g_peaks.data() : nullptr;
}

}  // extern "C"
