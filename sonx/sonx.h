// sonx: speech file conversion library.
//
// Everything an embedding program needs: the class factory, the identities,
// the interfaces, and the records exchanged with the library. Objects are
// reference counted; every pointer obtained from createInstance or
// QueryInterface holds one reference that the caller gives back with Release.
// Use an object from one thread at a time; a conversion started with a
// callback runs on a thread of the library meanwhile (see ISonxConvertFile).
// Operations report failure by their result; where a result is ambiguous,
// ISonxError tells. Nothing of the C++ standard library crosses the library's
// boundary: the library exports the functions marked SONX_API here
// (createInstance, fileKind, copyTags; plain types only) and the C functions
// of sonx_c.h, and what takes or gives std::string here is inline over them
// and the interfaces.
#ifndef SONX_SONX_H
#define SONX_SONX_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "sonx/sonx_c.h"

// Marks what the shared library exports; everything else in it stays hidden.
#if defined(_WIN32) && defined(SONX_EXPORTS)
#define SONX_API __declspec(dllexport)
#elif defined(__GNUC__) && !defined(_WIN32)
#define SONX_API __attribute__((visibility("default")))
#else
#define SONX_API
#endif

namespace sonx {

// 16-byte identity. Stored in its wire order: a 32-bit, a 16-bit and a 16-bit
// little-endian field followed by 8 bytes as written.
struct Guid {
    uint8_t bytes[16] = {};

    // Parses the registry form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    // (braces optional, hex digits in either case). Returns false on any
    // other text and leaves `out` untouched.
    static constexpr bool parse(std::string_view text, Guid& out);
    // Like parse, for constants: in a constant expression a malformed literal
    // fails to compile; at run time it throws.
    static constexpr Guid of(const char* text);
    // The registry form, upper-case hex, with braces.
    std::string toString() const;

    friend constexpr bool operator==(const Guid& a, const Guid& b) {
        for (int i = 0; i < 16; ++i)
            if (a.bytes[i] != b.bytes[i]) return false;
        return true;
    }
    friend constexpr bool operator!=(const Guid& a, const Guid& b) { return !(a == b); }
};

// Writes the registry form and a NUL into `text`.
inline void formatGuid(const Guid& guid, char text[39]) {
    // The first three fields are stored little-endian.
    static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    static constexpr char hex[] = "0123456789ABCDEF";
    char* p = text;
    *p++ = '{';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
        *p++ = hex[guid.bytes[order[i]] >> 4];
        *p++ = hex[guid.bytes[order[i]] & 15];
    }
    *p++ = '}';
    *p = '\0';
}

inline std::string Guid::toString() const {
    char text[39];
    formatGuid(*this, text);
    return std::string(text);
}

namespace detail {
// Not constexpr: reaching it in a constant expression fails the compilation.
inline void malformedGuidLiteral() {
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
    throw "malformed identity literal";
#else
    __builtin_trap();
#endif
}

constexpr int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace detail

constexpr bool Guid::parse(std::string_view text, Guid& out) {
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') return false;
        text = text.substr(1, 36);
    }
    if (text.size() != 36) return false;
    // Text digit pairs in order; fields 1-3 are stored byte-reversed.
    constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    uint8_t value[16] = {};
    int pair = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return false;
            ++i;
            continue;
        }
        const int hi = detail::hexValue(text[i]);
        const int lo = detail::hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        value[order[pair++]] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
    }
    for (int i = 0; i < 16; ++i) out.bytes[i] = value[i];
    return true;
}

constexpr Guid Guid::of(const char* text) {
    Guid g;
    if (!parse(text, g)) detail::malformedGuidLiteral();
    return g;
}

// Interfaces.
inline constexpr Guid IID_ISonxUnknown = Guid::of("{85001034-6B8D-D34C-8305-ED5692543C9C}");
inline constexpr Guid IID_ISonxError = Guid::of("{446E9052-DC65-AA4D-A380-40C4798DB060}");
inline constexpr Guid IID_ISonxFile = Guid::of("{AA1A5CDE-F3CB-7648-AD7D-CBCCE3E78392}");
inline constexpr Guid IID_ISonxConvertFile = Guid::of("{8501FD70-FD3A-1B44-8065-028814EBB34A}");
inline constexpr Guid IID_ISonxQcpChunks = Guid::of("{D1AACE80-72C4-2D4E-8FEA-7EE12B14415C}");
inline constexpr Guid IID_ISonxCodec = Guid::of("{3D51E9E6-C346-2842-B266-B8E798665FEC}");
inline constexpr Guid IID_ISonxPacketCodec = Guid::of("{31E65ADB-D5FA-4C91-A555-374C9845028A}");
inline constexpr Guid IID_ISonxSalvage = Guid::of("{7C1E4B2A-93D5-4F60-8A17-5B2E0C9D4E31}");
inline constexpr Guid IID_ISonxFileFacts = Guid::of("{13921C49-05C5-4532-B8B2-A474E12C499A}");
inline constexpr Guid IID_ISonxRequest = Guid::of("{D1027110-11D2-460C-8044-25D1E7EA3CBE}");

// Classes.
inline constexpr Guid CLSID_SonxFile = Guid::of("{63366044-C7B4-8248-B354-418DB8810CF5}");

// Codecs (the G.711 and QCELP-13K identities are also their class identities).
inline constexpr Guid CODEC_PCM = Guid::of("{18F9DD19-E0AC-0543-98EF-2C6CA6C8B614}");
inline constexpr Guid CODEC_G711_ULAW = Guid::of("{421CB995-141F-4042-97A1-045BDB0884F8}");
inline constexpr Guid CODEC_QCELP13K = Guid::of("{5E7F6D41-B115-11D0-BA91-00805FB4B97E}");
inline constexpr Guid CODEC_QCELP13K_ALT = Guid::of("{5E7F6D42-B115-11D0-BA91-00805FB4B97E}");

// File types.
inline constexpr Guid FILE_TYPE_QCP = Guid::of("{B942A5D8-A4CE-194B-8314-2A08C5D3EB7B}");
inline constexpr Guid FILE_TYPE_WAV = Guid::of("{176365AA-45F8-1C41-BE87-654F54E9F457}");
inline constexpr Guid FILE_TYPE_RAW = Guid::of("{E472A6D8-B890-074C-8C68-C4E0C282D8AB}");

// Data formats: plain samples and the QCELP-13K rate sets.
inline constexpr Guid DATA_FORMAT_SAMPLES = Guid::of("{C8281DC0-6D9E-9C43-A41F-6B71B1155558}");
inline constexpr Guid RATE_SET_VFR = Guid::of("{4EF94E9F-D4A3-094D-BEFF-165AAF6FEF47}");
inline constexpr Guid RATE_SET_VHR = Guid::of("{C563AC6C-3FD8-6D40-9698-DC69FA7B78BA}");
inline constexpr Guid RATE_SET_FFR = Guid::of("{FBA4719E-9CE1-3348-826C-5C584F784DF0}");
inline constexpr Guid RATE_SET_FHR = Guid::of("{86B74354-DD4D-BE4A-8A3C-E5525CCC0CB4}");
inline constexpr Guid RATE_SET_VFR_SLOTTED = Guid::of("{B42BFEAC-E3F1-7043-9BC5-D33239BA4F3F}");
inline constexpr Guid RATE_SET_VHR_SLOTTED = Guid::of("{66F04A99-4D66-3041-A28F-3622DC3312B6}");
inline constexpr Guid RATE_SET_FHR_BARE = Guid::of("{C9197904-076E-E141-A110-C126DB334272}");
inline constexpr Guid DATA_FORMAT_FIXED_1 = Guid::of("{26FFE26A-BD8F-094F-84F9-3F4E8B9B9E0B}");
inline constexpr Guid DATA_FORMAT_FIXED_2 = Guid::of("{1DA226DA-3A70-4901-B42A-C0B9F30D3A4D}");

// The format of a file or of one side of a codec. What a caller fills in:
// - A file to read (convert's input; ISonxFile::open with write = 0): the
//   fileType. QCP and WAV files supply the rest from their headers. A raw
//   file has none: give its codec, and for PCM sampleRate and sampleBits,
//   for a codec the dataFormat (the codec then fills in the block layout).
// - A file to write (convert's output; ISonxFile::open with write = 1):
//   fileType, codec, and for PCM sampleRate and sampleBits, for a codec the
//   dataFormat. A QCP file takes only RATE_SET_VFR, _VHR, _FFR or _FHR; a
//   WAV file holds PCM or mu-law only. A coded output in the input's own
//   codec gets the input's packets copied unchanged.
// - The client side of ISonxFile::open: codec, and for PCM sampleRate and
//   sampleBits, for a codec the dataFormat.
// For PCM the library derives dataFormat, packetBytes and blockSamples
// itself (a block is one sample). Samples are converted between rates and
// widths wherever the two sides differ.
struct AudioFormat {
    Guid fileType;          // FILE_TYPE_*
    Guid codec;             // CODEC_*
    Guid dataFormat;        // QCELP-13K: a RATE_SET_*; PCM and mu-law: DATA_FORMAT_SAMPLES
    uint32_t size = 0;      // file length in bytes, kept by the library: ignored on input
    uint32_t packetBytes = 0;   // bytes of a block (the largest packet of a variable stream)
    uint32_t blockSamples = 0;  // samples a block decodes to
    uint32_t sampleRate = 0;    // samples per second: PCM up to 384000
    uint32_t sampleBits = 0;    // PCM: 8 (unsigned) or 16 (signed)
    int32_t option = 0;     // handed to the codec's SetRateSet less FORMAT_OPTION_SALVAGE; the built-in codecs ignore it
};

// Output sample rates a QCP file decodes to (a conversion from a QCP input
// to PCM): its own 8000 by default, or any rate up to 48000, resampled. A
// conversion asking for another fails with SONX_ERR_INVALID.
inline constexpr uint32_t DECODE_RATE_DEFAULT = 8000;
inline constexpr uint32_t DECODE_RATE_MIN = 8000;
inline constexpr uint32_t DECODE_RATE_MAX = 48000;
inline constexpr bool isDecodeRate(uint32_t sampleRate) {
    return sampleRate >= DECODE_RATE_MIN && sampleRate <= DECODE_RATE_MAX;
}

// How an input whose lengths are damaged is read (the damage is the one
// FORMAT_OPTION_SALVAGE describes).
enum SalvagePolicy : int32_t {
    SALVAGE_REFUSE = 0,  // the conversion or open fails
    SALVAGE_READ = 1,    // what the file still holds is read; ISonxSalvage tells how much
};

// One conversion, or one file opened to read: the two sides' formats (see
// AudioFormat; to read a file, `input` is the file's and `output` the
// client's) and how the input is read. ISonxRequest takes it.
struct ConversionRequest {
    AudioFormat input;
    AudioFormat output;
    int32_t salvage = SALVAGE_REFUSE;  // a SalvagePolicy
};

// A QCP file to a 16-bit mono WAV file at `sampleRate` (DECODE_RATE_MIN
// to DECODE_RATE_MAX).
inline ConversionRequest qcpToWavRequest(uint32_t sampleRate = DECODE_RATE_DEFAULT) {
    ConversionRequest request;
    request.input.fileType = FILE_TYPE_QCP;
    request.output.fileType = FILE_TYPE_WAV;
    request.output.codec = CODEC_PCM;
    request.output.sampleRate = sampleRate;
    request.output.sampleBits = 16;
    return request;
}

// A WAV file of any form the library reads to a QCP file in `rateSet`
// (RATE_SET_VFR, _VHR, _FFR or _FHR).
inline ConversionRequest wavToQcpRequest(const Guid& rateSet) {
    ConversionRequest request;
    request.input.fileType = FILE_TYPE_WAV;
    request.input.codec = CODEC_PCM;
    request.input.sampleRate = 8000;
    request.input.sampleBits = 16;
    request.output.fileType = FILE_TYPE_QCP;
    request.output.codec = CODEC_QCELP13K;
    request.output.dataFormat = rateSet;
    return request;
}

// A bit of an input file's AudioFormat::option, the same as a request's
// SALVAGE_READ (which new callers give instead): read a damaged QCP or WAV
// file for what it still holds. When the 'data' length runs past the end of
// the file or is 0 or 0xFFFFFFFF, or the RIFF size is 0, the data is taken to
// run to the end of the file: a QCP file gives every complete packet up to
// the end or up to the first byte that is no rate octet of the stream, a WAV
// file every complete sample. Without it such a file fails as before. The bit
// is taken off the option before the option reaches a codec; ISonxSalvage
// tells what was recovered.
inline constexpr int32_t FORMAT_OPTION_SALVAGE = 0x40000000;

// Client file callback operation codes. Arguments an operation does not use
// are 0 or null. A read or write that returns anything but `length`, or a
// seek that returns anything but `position`, fails the library's operation.
// A file opened to write (convert's output, ISonxFile::open with write = 1)
// is emptied first: truncate to 0, then size, then seek to 0. Truncate's
// answer is not checked; the size is: a file that still holds bytes fails
// the open ("Client handle truncate failed"), since writing over it would
// leave its old bytes behind the new file. A client without truncate must
// therefore hand over an empty file. Truncate is also called by the
// ISonxQcpChunks setters when a chunk shrinks, with the file's new length.
enum ClientFileOp : int32_t {
    CLIENT_FILE_READ = 1,      // buffer, length -> bytes delivered
    CLIENT_FILE_WRITE = 2,     // buffer, length -> bytes accepted
    CLIENT_FILE_SEEK = 3,      // position (absolute) -> new position; a size call precedes it
    CLIENT_FILE_SIZE = 4,      // -> current file length
    CLIENT_FILE_TRUNCATE = 5,  // length -> ignored (see above)
};

// Serves the bytes of a FILE_HANDLE_CLIENT file; `clientData` is the
// handle's. It runs inside the library's calls on the caller's thread and,
// during a conversion started with a callback, on the conversion thread. It
// and its client data must stay valid as long as the file is open: for a
// conversion until it has ended (convert returned without a callback, or
// the last event came), for ISonxFile from open to close (or the next open
// or conversion, or the object's end), for the ISonxQcpChunks calls during
// the call.
using ClientFileCallback = int32_t (*)(int32_t operation, uint8_t* buffer, int32_t position,
                                       int32_t length, uintptr_t clientData);

enum FileHandleType : int32_t {
    FILE_HANDLE_CLOSED = 0,
    FILE_HANDLE_NAME = 1,
    FILE_HANDLE_CLIENT = 2,
};

// How a client names a file: a path, or a callback that serves the bytes.
// The library copies the handle; the path is read only while the call that
// opens the file runs (convert, ISonxFile::open, the ISonxQcpChunks calls).
struct FileHandle {
    int32_t type = FILE_HANDLE_CLOSED;
    union {
        const char* fileName;
        ClientFileCallback callback;
    };
    uintptr_t clientData = 0;

    FileHandle() : fileName(nullptr) {}
    static FileHandle named(const char* path) {
        FileHandle h;
        h.type = FILE_HANDLE_NAME;
        h.fileName = path;
        return h;
    }
    static FileHandle client(ClientFileCallback cb, uintptr_t data) {
        FileHandle h;
        h.type = FILE_HANDLE_CLIENT;
        h.callback = cb;
        h.clientData = data;
        return h;
    }
};

// A file held in memory, served to the library through a FILE_HANDLE_CLIENT
// handle. Ownership: a file made from bytes borrows them (no copy); they
// must stay alive and unchanged while its handle is in use, and the library
// can never change them (a write fails, truncate leaves them, so opening it
// to write fails). A file made empty owns what the library writes into it
// (`written`, grown as needed and cut by truncate). Either way the handle
// points at this object, which must outlive its use and not move; positions
// are 32-bit, so a file holds at most INT32_MAX bytes.
class MemoryFile {
public:
    MemoryFile() = default;
    MemoryFile(const void* bytes, size_t length) : source_(static_cast<const uint8_t*>(bytes)), sourceLength_(length) {}
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    FileHandle handle() { return FileHandle::client(&MemoryFile::serve, reinterpret_cast<uintptr_t>(this)); }
    bool borrowed() const { return source_ != nullptr; }
    const uint8_t* data() const { return source_ ? source_ : written.data(); }
    size_t size() const { return source_ ? sourceLength_ : written.size(); }

    std::vector<uint8_t> written;

private:
    static constexpr size_t kLimit = 0x7FFFFFFF;

    int32_t transfer(int32_t operation, uint8_t* buffer, int32_t position, int32_t length) {
        const size_t size = this->size();
        switch (operation) {
        case CLIENT_FILE_READ: {
            if (length < 0) return -1;
            const size_t left = position_ < size ? size - position_ : 0;
            const size_t count = left < static_cast<size_t>(length) ? left : static_cast<size_t>(length);
            if (count) std::memcpy(buffer, data() + position_, count);
            position_ += count;
            return static_cast<int32_t>(count);
        }
        case CLIENT_FILE_WRITE: {
            const size_t end = position_ + static_cast<size_t>(length);
            if (source_ || length < 0 || end > kLimit) return -1;
            if (end > written.size()) written.resize(end);
            if (length) std::memcpy(written.data() + position_, buffer, static_cast<size_t>(length));
            position_ = end;
            return length;
        }
        case CLIENT_FILE_SEEK:
            if (position < 0) return -1;
            position_ = static_cast<size_t>(position);
            return position;
        case CLIENT_FILE_SIZE:
            return static_cast<int32_t>(size < kLimit ? size : kLimit);
        case CLIENT_FILE_TRUNCATE:
            if (source_ || length < 0) return -1;
            written.resize(static_cast<size_t>(length));
            return length;
        default:
            return -1;
        }
    }

    static int32_t serve(int32_t operation, uint8_t* buffer, int32_t position, int32_t length, uintptr_t data) {
        auto* file = reinterpret_cast<MemoryFile*>(data);
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
        try {
            return file->transfer(operation, buffer, position, length);
        } catch (...) {
            return -1;  // out of memory: the write fails
        }
#else
        return file->transfer(operation, buffer, position, length);
#endif
    }

    const uint8_t* source_ = nullptr;
    size_t sourceLength_ = 0;
    size_t position_ = 0;
};

// Copies the label and comment of one QCP or WAV file into another that
// is finished (see sonx_copy_tags). Returns a sonx_status; on failure its
// message is in `message` (cut to `capacity` bytes with a NUL; null and 0
// leave it out).
SONX_API int32_t copyTags(const FileHandle& from, const FileHandle& to, char* message, size_t capacity);

inline int32_t copyTags(const FileHandle& from, const FileHandle& to, std::string& message) {
    char text[512];
    const int32_t status = copyTags(from, to, text, sizeof text);
    message = status == SONX_OK ? std::string() : std::string(text);
    return status;
}

// ---- Safe outputs and spools (sonx_c.h's sonx_output and sonx_spool) ----

// The C voice's handle as the interfaces take it.
inline FileHandle fileHandleOf(const sonx_file_handle& handle) {
    if (handle.name) return FileHandle::named(handle.name);
    return handle.serve ? FileHandle::client(handle.serve, handle.client_data) : FileHandle();
}

// A failure of the calls below: the library's status and message, the
// system's error number (0 when no system call failed; systemErrorText
// gives its text) and the folder it happened in when that is not the
// file's own (the temporary folder behind a spool), else empty.
struct SystemFailure {
    int32_t status = SONX_OK;
    std::string message;
    int systemError = 0;
    std::string folder;
};

inline const char* systemErrorText(int error) { return sonx_system_error_text(error); }

// The calling thread's last failure (sonx_last_error, sonx_last_system_error).
inline SystemFailure lastSystemFailure() {
    SystemFailure failure;
    char message[1024], folder[1024];
    failure.status = sonx_last_error(nullptr, message, sizeof message);
    sonx_last_system_error(&failure.systemError, folder, sizeof folder);
    failure.message = message;
    failure.folder = folder;
    return failure;
}

namespace detail {
inline int32_t told(int32_t status, SystemFailure& failure) {
    if (status != SONX_OK) failure = lastSystemFailure();
    return status;
}
}  // namespace detail

// Where an output is made from and what it keeps of it (sonx_output_request).
struct OutputRequest {
    const char* input = nullptr;  // refused as the output; null: no input file
    bool keepInputTimes = false;
};

// What committing an output together with others told of it
// (sonx_output_outcome).
struct CommitOutcome {
    int32_t status = SONX_OK;
    int unsyncedError = 0;  // as SafeOutputFile::commit gives it
    SystemFailure failure;  // when status is not SONX_OK
};

class SafeOutputFile;
inline std::vector<CommitOutcome> commitTogether(const std::vector<SafeOutputFile*>& outputs);

// One output in the making (sonx_output): begun, written through handle(),
// then committed; one that goes without commit is discarded and leaves the
// old file as it was. Each call returns a sonx_status, its failure in
// `failure`.
class SafeOutputFile {
public:
    SafeOutputFile() = default;
    ~SafeOutputFile() { discard(); }
    SafeOutputFile(SafeOutputFile&& other) noexcept : output_(other.output_) { other.output_ = nullptr; }
    SafeOutputFile& operator=(SafeOutputFile&& other) noexcept {
        if (this != &other) {
            discard();
            output_ = other.output_;
            other.output_ = nullptr;
        }
        return *this;
    }
    SafeOutputFile(const SafeOutputFile&) = delete;
    SafeOutputFile& operator=(const SafeOutputFile&) = delete;

    // An output still in the making here is discarded first.
    int32_t begin(const char* path, const OutputRequest& request, SystemFailure& failure) {
        discard();
        const sonx_output_request made = {request.input, request.keepInputTimes ? 1 : 0};
        return detail::told(sonx_output_begin(path, &made, &output_), failure);
    }
    int32_t beginStandardOutput(SystemFailure& failure) {
        discard();
        return detail::told(sonx_output_begin_standard(&output_), failure);
    }
    bool begun() const { return output_ != nullptr; }
    FileHandle handle() const {
        sonx_file_handle handle;
        sonx_output_handle(output_, &handle);
        return fileHandleOf(handle);
    }
    const char* finalName() const { return sonx_output_name(output_); }
    int32_t writeFailure(SystemFailure& failure) const {
        return detail::told(sonx_output_write_failure(output_), failure);
    }
    // Not begun any more afterwards, whatever the outcome.
    int32_t commit(int& unsyncedError, SystemFailure& failure) {
        sonx_output* output = output_;
        output_ = nullptr;
        return detail::told(sonx_output_commit(output, &unsyncedError), failure);
    }
    void discard() {
        sonx_output_discard(output_);
        output_ = nullptr;
    }

private:
    friend std::vector<CommitOutcome> commitTogether(const std::vector<SafeOutputFile*>& outputs);
    sonx_output* output_ = nullptr;
};

// Puts the outputs in place together (sonx_output_commit_group): each as
// its own commit would, sharing the syncs. None is begun afterwards,
// whatever the outcome; outcomes come in the order of the outputs.
inline std::vector<CommitOutcome> commitTogether(const std::vector<SafeOutputFile*>& outputs) {
    std::vector<sonx_output*> handles;
    for (SafeOutputFile* output : outputs) {
        handles.push_back(output->output_);
        output->output_ = nullptr;
    }
    std::vector<sonx_output_outcome> told(handles.size());
    sonx_output_commit_group(handles.data(), handles.size(), told.data());
    std::vector<CommitOutcome> outcomes(told.size());
    for (std::size_t n = 0; n < told.size(); ++n) {
        outcomes[n].status = told[n].status;
        outcomes[n].unsyncedError = told[n].unsynced_error;
        if (told[n].status != SONX_OK)
            outcomes[n].failure = {told[n].status, told[n].message, told[n].system_error, told[n].folder};
    }
    return outcomes;
}

// An unlinked temporary file for an input that can be read only once
// (sonx_spool). Each call returns a sonx_status, its failure in `failure`.
class SpoolFile {
public:
    SpoolFile() = default;
    ~SpoolFile() { sonx_spool_free(spool_); }
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // A spool still held here is freed first.
    int32_t create(SystemFailure& failure) {
        sonx_spool_free(spool_);
        return detail::told(sonx_spool_new(&spool_), failure);
    }
    int32_t fill(int descriptor, const char* what, SystemFailure& failure) {
        return detail::told(sonx_spool_fill(spool_, descriptor, what), failure);
    }
    int32_t size(uint64_t& bytes, SystemFailure& failure) const {
        return detail::told(sonx_spool_size(spool_, &bytes), failure);
    }
    int32_t readAt(uint64_t offset, void* buffer, size_t length, size_t& got, SystemFailure& failure) const {
        return detail::told(sonx_spool_read_at(spool_, offset, buffer, length, &got), failure);
    }
    int32_t writeAt(uint64_t offset, const void* data, size_t length, SystemFailure& failure) {
        return detail::told(sonx_spool_write_at(spool_, offset, data, length), failure);
    }
    // From the spool's start.
    FileHandle handle() {
        sonx_file_handle handle;
        sonx_spool_handle(spool_, &handle);
        return fileHandleOf(handle);
    }

private:
    sonx_spool* spool_ = nullptr;
};

#ifdef _WIN32
// Windows names as the library makes them (sonx_utf8_from_wide,
// sonx_system_name, sonx_is_reserved_name).
inline std::string utf8FromWide(const wchar_t* text) {
    std::string utf8(sonx_utf8_from_wide(text, nullptr, 0) + 1, '\0');
    utf8.resize(sonx_utf8_from_wide(text, &utf8[0], utf8.size()));
    return utf8;
}
inline std::wstring systemFileName(const std::string& name) {
    std::wstring wide(sonx_system_name(name.c_str(), nullptr, 0) + 1, L'\0');
    wide.resize(sonx_system_name(name.c_str(), &wide[0], wide.size()));
    return wide;
}
inline bool isReservedFileName(const std::string& name) { return sonx_is_reserved_name(name.c_str()) != 0; }
#endif

// Conversion callback events.
enum ConvertEvent : uint32_t {
    // value: the percentage of output blocks written, whenever it changes.
    // The last is 100, sent once both files are closed; an input without
    // blocks sends that one event alone.
    CONVERT_EVENT_PROGRESS = 1,
    // value: 100. The error text is in place before the event is sent.
    CONVERT_EVENT_FAILURE = 2,
};

// Receives the events of a conversion started with it, on the library's
// conversion thread; a failure found before that thread starts comes on the
// caller's thread, before convert returns 0. Nothing follows a progress of
// 100 or a failure, and from then on the callback may use or Release the
// object (even its last reference), but not start another conversion.
// `userData` is convert's argument, passed back unchanged.
using ConvertCallback = void (*)(uint32_t event, uint32_t value, uint32_t userData);

// Like ConvertCallback, with pointer-sized user data, and called after every
// stretch of about two seconds of audio (value: the percentage so far, which
// may repeat) besides the events above. A non-zero result stops the
// conversion as ISonxConvertFile::cancel does; given to the progress of 100,
// it removes the finished output if it is a new file (a named output that
// replaced a file, or a device, keeps the conversion: the old file is gone
// by then), and a failure event (SONX_ERR_CANCELLED) follows as the last.
// sonx_convert_file asks before its output takes its name, so there a stop
// at 100 always leaves the old file.
using ConvertProgressCallback = int32_t (*)(uint32_t event, uint32_t value, uintptr_t userData);

// Base of every interface. QueryInterface returns the interface asked for
// (cast the result to that interface type) with one more reference, or null.
class ISonxUnknown {
public:
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;
    virtual void* QueryInterface(const Guid& iid) = 0;

protected:
    ~ISonxUnknown() = default;
};

// The outcome of the object's last operation: every operation that can fail
// clears it first. A conversion running on its thread keeps a record of its
// own: from its start, and again from its end (success or failure, before
// the callback hears of it), this tells the conversion's result, until the
// caller's next call on the object; a call made while the conversion runs
// (chunks, the single file) tells its own result and leaves the conversion's
// alone. Ask it where a result is ambiguous: convert without a callback,
// read or seek returning 0, getTextChunk returning 0.
class ISonxError : public ISonxUnknown {
public:
    // Nonzero when the outcome told (see above) is a failure.
    virtual uint8_t hasError() = 0;
    // What failed, empty when nothing did. Valid until the next call that
    // records the same kind of outcome: the caller's next call, or the next
    // conversion's start or end.
    virtual const char* errorText() = 0;
    // The sonx_status of the failure (sonx/sonx_c.h), SONX_OK when nothing
    // failed; sonx_strerror gives its fixed text.
    virtual int32_t errorCode() = 0;

protected:
    ~ISonxError() = default;
};

// One-call file-to-file conversion: started with a callback it runs on a
// thread of the library, without one on the caller's thread. Giving back the
// last reference while a conversion runs waits for it to end (unless it is
// given back from the callback).
class ISonxConvertFile : public ISonxUnknown {
public:
    // Converts input to output (formats: see AudioFormat). Returns 0 when the
    // conversion cannot be set up. Without a callback it returns 1 after the
    // conversion has run, whether or not it succeeded: check hasError. With
    // one it returns 1 once the conversion thread has started, and the
    // callback reports the end. A conversion still running from an earlier
    // call is waited for first; the object's single file (ISonxFile) is
    // closed, its pending samples dropped.
    virtual uint8_t convert(const FileHandle* input, const AudioFormat* inputFormat,
                            const FileHandle* output, const AudioFormat* outputFormat,
                            ConvertCallback callback, uint32_t userData) = 0;
    // Percentage of output blocks written (0 to 100); may be asked from any
    // thread while the conversion runs.
    virtual uint32_t progress() = 0;
    // convert with a ConvertProgressCallback.
    virtual uint8_t convertWithProgress(const FileHandle* input, const AudioFormat* inputFormat,
                                        const FileHandle* output, const AudioFormat* outputFormat,
                                        ConvertProgressCallback callback, uintptr_t userData) = 0;
    // Stops the running conversion within one stretch of about two seconds
    // of audio; may be called from any thread. The conversion then fails
    // with SONX_ERR_CANCELLED: an output named by path is left as it was
    // (see sonx_c.h on named outputs), a client output is truncated to 0
    // bytes. Without a running conversion it does
    // nothing.
    virtual void cancel() = 0;

protected:
    ~ISonxConvertFile() = default;
};

// Block-by-block access to one file: its blocks on one side, the client's
// format on the other, decoded, encoded and converted as needed.
class ISonxFile : public ISonxUnknown {
public:
    // Opens a file to read (write = 0) or starts one to write (formats: see
    // AudioFormat); a file named by path takes its name at close (see
    // sonx_c.h on named outputs), and an object given back without close
    // leaves the old file. A file still open is closed first, without flush.
    virtual uint8_t open(const FileHandle* handle, uint8_t write, const AudioFormat* fileFormat,
                         const AudioFormat* clientFormat) = 0;
    // With flush, samples short of a whole block are completed with silence
    // and written as the last block; without, they are dropped.
    virtual uint8_t close(uint8_t flush) = 0;
    // count in file blocks (at most those left); returns the client blocks
    // delivered, their bytes through bytesOut. 0 may mean the end of the
    // data, too few samples yet for a client block, or a failure: a failure
    // returns the blocks delivered before it and sets hasError. A null buffer
    // asks how many client blocks (and at most how many bytes) that many file
    // blocks would give: size the buffer by it.
    virtual uint32_t read(uint32_t count, uint8_t* buffer, uint32_t* bytesOut) = 0;
    // count in client blocks; returns file blocks written, the client bytes
    // taken through bytesOut. Samples short of a whole file block wait for
    // the next write or close. A failure returns the blocks written before it
    // and sets hasError.
    virtual uint32_t write(uint32_t count, const uint8_t* data, uint32_t* bytesOut) = 0;
    // A file being read: moves to file block `block` (at most the block count)
    // and returns the block reached. 0 is also what a failure before any
    // block returns: hasError tells.
    virtual uint32_t seek(uint32_t block) = 0;
    // File blocks read or written so far.
    virtual uint32_t blocksDone() = 0;
    // The file's blocks; while writing, those written so far.
    virtual uint32_t blockCount() = 0;
    // The open file's format, as read from its header or as written.
    virtual void fileFormat(AudioFormat* format) = 0;

protected:
    ~ISonxFile() = default;
};

// The optional 'cnfg', 'text' and 'labl' chunks of a QCP file, edited in
// place. Each call opens the file for itself and closes it again, leaving the
// object's single file and conversion alone; do not edit a file that is open
// for writing. Every call refuses any file that is not a QCP file (RIFF form
// 'QLCM', SONX_ERR_NOT_AUDIO). A setter replaces the chunk or adds it, moving
// the bytes after it.
class ISonxQcpChunks : public ISonxUnknown {
public:
    // The value of a 2-byte 'cnfg' chunk.
    virtual uint8_t getCnfgChunk(const FileHandle* file, uint16_t* value) = 0;
    virtual uint8_t setCnfgChunk(const FileHandle* file, uint16_t value) = 0;
    // A buffer length of 0 returns the stored text length; else copies at most
    // `length` bytes, with no NUL added, and returns how many. 0 for an empty
    // text and on failure alike: hasError tells.
    virtual uint32_t getTextChunk(const FileHandle* file, uint8_t* buffer, uint32_t length) = 0;
    // Stores the `length` bytes as they are.
    virtual uint8_t setTextChunk(const FileHandle* file, const uint8_t* text, uint32_t length) = 0;
    // The label is 48 bytes: the getter copies at most that many, the setter
    // pads a shorter one with zeros and cuts a longer one.
    virtual uint8_t getLablChunk(const FileHandle* file, uint8_t* buffer, uint32_t length) = 0;
    virtual uint8_t setLablChunk(const FileHandle* file, const uint8_t* label, uint32_t length) = 0;

protected:
    ~ISonxQcpChunks() = default;
};

// What the last convert or ISonxFile open found of its input's lengths.
struct SalvageReport {
    // The RIFF size or the 'data' length was damaged (see
    // FORMAT_OPTION_SALVAGE); set when the bit was not given too, whether or
    // not the input failed because of it.
    uint8_t lengthDamaged = 0;
    // The input was read for what it holds, in spite of the damage.
    uint8_t salvaged = 0;
    // blocksPromised holds what the header states: for QCP the 'vrat' packet
    // count, for WAV the 'data' length in samples.
    uint8_t promiseKnown = 0;
    uint32_t blocksRead = 0;      // input blocks found: packets or samples
    uint32_t blocksPromised = 0;  // input blocks the header promises
};

class ISonxSalvage : public ISonxUnknown {
public:
    // Empty (all zero) before any convert or open, and after one that failed
    // before the input's header was read.
    virtual void salvageReport(SalvageReport* report) = 0;

protected:
    ~ISonxSalvage() = default;
};

// A speech codec: PCM samples on one side, coded blocks on the other. Use a
// codec object from one thread at a time.
class ISonxCodec : public ISonxUnknown {
public:
    // Chooses the coded form (QCELP-13K: a RATE_SET_*; mu-law:
    // DATA_FORMAT_SAMPLES) and starts coding afresh; needed before Process.
    virtual uint8_t SetRateSet(const Guid& rateSet, int32_t option) = 0;
    // Fills the formats of both sides (either may be null).
    virtual void GetFormats(AudioFormat* pcmSide, AudioFormat* codedSide) = 0;
    // Payload bytes after a rate octet, -1 for a byte that is no rate octet.
    virtual int32_t PacketSize(uint8_t rateOctet) = 0;
    virtual const char* Name() = 0;
    virtual uint16_t Version() = 0;
    virtual uint32_t AverageBitRate() = 0;
    // encode: `count` 16-bit samples in (QCELP-13K codes whole 160-sample
    // frames only), packets out, returns packets.
    // decode: `count` packets in, 16-bit samples out, returns samples.
    // `coded` receives the bytes written (encode) or consumed (decode).
    virtual uint32_t Process(uint8_t* out, const uint8_t* in, uint32_t count, uint8_t encode,
                             uint32_t* coded) = 0;

protected:
    ~ISonxCodec() = default;
};

class ISonxPacketCodec : public ISonxCodec {
public:
    // Whole packets at the start of `data` (at most `limit` when nonzero);
    // `rest` receives the bytes that follow them.
    virtual uint32_t CountPackets(const uint8_t* data, uint32_t length, uint32_t* rest,
                                  uint32_t limit) = 0;

protected:
    ~ISonxPacketCodec() = default;
};

// Codecs of other CDMA speech coders as QCP files name them: recognised,
// not decoded.
inline constexpr Guid CODEC_EVRC = Guid::of("{E689D48D-9076-46B5-91EF-736A5100CEB4}");
inline constexpr Guid CODEC_SMV = Guid::of("{8D7C2B75-A797-ED49-985E-D53C8CC75F84}");
inline constexpr Guid CODEC_EVRC_B = Guid::of("{3CFD29CA-F653-4EF5-90E9-F4236D599B61}");

// The name of a codec identity ("QCELP-13K", "EVRC", "PCM", ...), or null
// for an identity the library does not know.
inline const char* codecName(const Guid& codec) { return sonx_codec_name(codec.bytes); }

// What a file is (sonx_file_kind): FileFactsCore::kind is QCP or WAV (an
// RF64 or BW64 file is described as WAV); fileKind tells them all.
enum FileKind : int32_t {
    FILE_KIND_UNKNOWN = SONX_KIND_NOT_AUDIO,  // not a RIFF file of a form the library reads
    FILE_KIND_QCP = SONX_KIND_QCP,
    FILE_KIND_WAV = SONX_KIND_WAV,
    FILE_KIND_RF64 = SONX_KIND_RF64,  // RF64 or BW64 'WAVE'
    FILE_KIND_OTHER_RIFF = SONX_KIND_OTHER_RIFF,
};

struct FileKindInfo {
    int32_t kind = FILE_KIND_UNKNOWN;  // a FileKind
    uint64_t size = 0;                 // the file's length in bytes
    bool codecKnown = false;           // QCP: its 'fmt ' chunk was found
    Guid codec;                        // the codec it names
};

// The kind of a file from its first bytes (see sonx_kind_of_memory).
inline FileKindInfo fileKind(const void* bytes, size_t length, uint64_t fileSize) {
    sonx_kind_info found;
    FileKindInfo info;
    if (sonx_kind_of_memory(bytes, length, fileSize, &found) != SONX_OK) return info;
    info.kind = found.kind;
    info.size = found.size;
    info.codecKnown = found.codec_known != 0;
    for (int i = 0; i < 16; ++i) info.codec.bytes[i] = found.codec[i];
    return info;
}

// The kind of the file behind a handle, from its first
// SONX_KIND_PROBE_BYTES. Returns SONX_OK (a file that is no audio is told
// by its kind), or why the file cannot be read (SONX_ERR_OPEN, _READ,
// _TOO_LARGE past 4 GiB, _INVALID for an unusable handle) with the message
// in `message` (cut to `capacity` bytes with a NUL; either may be null and 0).
SONX_API int32_t fileKind(const FileHandle& file, FileKindInfo& info, char* message, size_t capacity);

inline int32_t fileKind(const FileHandle& file, FileKindInfo& info, std::string& message) {
    char text[512];
    const int32_t status = fileKind(file, info, text, sizeof text);
    message = status == SONX_OK ? std::string() : std::string(text);
    return status;
}

// The request that converts a file of `kind` to the other form (a QCP
// file's decode to `decodeRate`, any WAV form's encode in `rateSet`); false
// for a kind that does not convert.
inline bool requestFor(int32_t kind, const Guid& rateSet, uint32_t decodeRate, ConversionRequest& request) {
    if (kind == FILE_KIND_QCP) request = qcpToWavRequest(decodeRate);
    else if (kind == FILE_KIND_WAV || kind == FILE_KIND_RF64) request = wavToQcpRequest(rateSet);
    else return false;
    return true;
}

inline bool requestFor(int32_t kind, const Guid& rateSet, ConversionRequest& request) {
    return requestFor(kind, rateSet, DECODE_RATE_DEFAULT, request);
}

// The QCELP-13K rate sets a QCP file is written in, by name ("vfr"), by
// identity and by sonx_rate_set (see sonx_rate_set_name).
inline int32_t rateSetIndex(const Guid& id) { return sonx_rate_set_of_identity(id.bytes); }
inline bool rateSetId(int32_t rateSet, Guid& id) { return sonx_rate_set_identity(rateSet, id.bytes) == SONX_OK; }
inline bool rateSetByName(const char* name, Guid& id) { return rateSetId(sonx_rate_set_by_name(name), id); }
// Null for an identity that is none of the four.
inline const char* rateSetName(const Guid& id) { return sonx_rate_set_name(rateSetIndex(id)); }
inline const char* rateSetWords(const Guid& id) { return sonx_rate_set_words(rateSetIndex(id)); }

// Packet counts of a QCP stream, indexed by these (sonx_packet_rate;
// packetRateName names them).
enum PacketRateIndex : int32_t {
    PACKETS_FULL = SONX_PACKETS_FULL,
    PACKETS_HALF = SONX_PACKETS_HALF,
    PACKETS_QUARTER = SONX_PACKETS_QUARTER,
    PACKETS_EIGHTH = SONX_PACKETS_EIGHTH,
    PACKETS_BLANK = SONX_PACKETS_BLANK,
    PACKETS_ERASURE = SONX_PACKETS_ERASURE,
    PACKET_RATE_COUNT = SONX_PACKET_RATES,
};

inline const char* packetRateName(int32_t rate) { return sonx_packet_rate_name(rate); }

// What a file holds, found without converting it (describeFile).
struct FileFactsCore {
    int32_t kind = FILE_KIND_UNKNOWN;
    Guid codec;                       // as the file states it (WAV: CODEC_PCM, CODEC_G711_ULAW or zero)
    const char* codecName = nullptr;  // codecName(codec); null when unknown
    uint8_t decodable = 0;            // this library can convert the file
    uint32_t sampleRate = 0;
    uint32_t sampleBits = 0;
    uint32_t channels = 0;            // WAV
    uint32_t formatTag = 0;           // WAV 'fmt ' tag
    // The samples present (per channel) and, when the header states a
    // length, the samples it promises.
    uint64_t samples = 0;
    uint64_t samplesPromised = 0;
    uint8_t promiseKnown = 0;
    // QCP: the rate set the stream fits (RATE_SET_VFR, _VHR, _FFR, _FHR, or
    // zero), the whole packets present by rate, those the 'vrat' chunk
    // promises, bytes that are no rate octet, and the average bit rate of
    // the packets present.
    Guid rateSet;
    uint32_t packetsByRate[PACKET_RATE_COUNT] = {};
    uint32_t packets = 0;
    uint32_t packetsPromised = 0;
    uint32_t strayBytes = 0;
    uint32_t averageBitRate = 0;
    // The header says the data runs past the end of the file, or claims no
    // length: reading with FORMAT_OPTION_SALVAGE recovers `samples`.
    uint8_t cutShort = 0;
    // QCP: the 'fmt ' states a packet length or sample rate other than its
    // codec's; the facts give the codec's, as decoding uses them.
    uint8_t formatDamaged = 0;
};

struct FileFacts : FileFactsCore {
    // QCP 'labl' and 'text', WAV LIST/INFO INAM and ICMT; empty when absent.
    std::string label;
    std::string text;
};

// Texts of ISonxFileFacts::describe: each buffer gets at most its capacity less one
// bytes and a NUL; each length the text's full length, so a caller can ask
// again with room enough.
struct FileFactTexts {
    char* label = nullptr;
    size_t labelCapacity = 0;
    size_t labelLength = 0;
    char* text = nullptr;
    size_t textCapacity = 0;
    size_t textLength = 0;
    char* error = nullptr;
    size_t errorCapacity = 0;
    size_t errorLength = 0;
};

// What a file holds, without converting it (CLSID_SonxFile answers it).
// It leaves the object's own file and conversion alone, so any thread may
// use it at any time.
class ISonxFileFacts : public ISonxUnknown {
public:
    // Reads the header and data layout of a QCP or WAV file. Returns
    // SONX_OK, or the status of why the file cannot be read or is no RIFF
    // file of a known form, with its message in texts->error; a file that
    // opens but is damaged is described, with what is wrong in the facts.
    virtual int32_t describe(const FileHandle* file, FileFactsCore* facts, FileFactTexts* texts) = 0;

protected:
    ~ISonxFileFacts() = default;
};

// Conversions and reads as a ConversionRequest asks for them, on the same
// object as ISonxConvertFile and ISonxFile: progress, cancel, the salvage
// report and errors are those interfaces' as for their own calls.
class ISonxRequest : public ISonxUnknown {
public:
    // ISonxConvertFile::convertWithProgress of request->input into
    // request->output; a null callback blocks until the end.
    virtual uint8_t convertRequest(const FileHandle* input, const FileHandle* output, const ConversionRequest* request,
                                   ConvertProgressCallback callback, uintptr_t userData) = 0;
    // ISonxFile::open to read: request->input is the file's format,
    // request->output the client's.
    virtual uint8_t openRequest(const FileHandle* file, const ConversionRequest* request) = 0;

protected:
    ~ISonxRequest() = default;
};

// The class factory: an interface of a new object holding one reference, or
// null for an unknown class or an interface the class does not answer. It
// answers exactly what the new object's QueryInterface answers:
// CLSID_SonxFile ISonxConvertFile, ISonxFile, ISonxQcpChunks, ISonxSalvage,
// ISonxFileFacts, ISonxRequest and ISonxError; CODEC_QCELP13K and CODEC_QCELP13K_ALT ISonxCodec,
// ISonxPacketCodec and ISonxError; CODEC_G711_ULAW ISonxCodec and
// ISonxError. All answer ISonxUnknown.
SONX_API void* createInstance(const Guid& clsid, const Guid& iid);

// Typed convenience over createInstance and QueryInterface.
template <class I> struct InterfaceId;
template <> struct InterfaceId<ISonxUnknown> { static constexpr const Guid& value = IID_ISonxUnknown; };
template <> struct InterfaceId<ISonxError> { static constexpr const Guid& value = IID_ISonxError; };
template <> struct InterfaceId<ISonxFile> { static constexpr const Guid& value = IID_ISonxFile; };
template <> struct InterfaceId<ISonxConvertFile> { static constexpr const Guid& value = IID_ISonxConvertFile; };
template <> struct InterfaceId<ISonxQcpChunks> { static constexpr const Guid& value = IID_ISonxQcpChunks; };
template <> struct InterfaceId<ISonxCodec> { static constexpr const Guid& value = IID_ISonxCodec; };
template <> struct InterfaceId<ISonxPacketCodec> { static constexpr const Guid& value = IID_ISonxPacketCodec; };
template <> struct InterfaceId<ISonxSalvage> { static constexpr const Guid& value = IID_ISonxSalvage; };
template <> struct InterfaceId<ISonxFileFacts> { static constexpr const Guid& value = IID_ISonxFileFacts; };
template <> struct InterfaceId<ISonxRequest> { static constexpr const Guid& value = IID_ISonxRequest; };

template <class I> I* createInstance(const Guid& clsid) {
    return static_cast<I*>(createInstance(clsid, InterfaceId<I>::value));
}

template <class I> I* queryInterface(ISonxUnknown* object) {
    return object ? static_cast<I*>(object->QueryInterface(InterfaceId<I>::value)) : nullptr;
}

// Holds one reference to an interface and gives it back when it goes:
// Ref<ISonxFile> file(createInstance<ISonxFile>(CLSID_SonxFile)).
template <class I> class Ref {
public:
    explicit Ref(I* p = nullptr) : p_(p) {}
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    I* operator->() const { return p_; }
    I* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    // Hands the reference over to the caller.
    I* release() {
        I* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    I* p_;
};

// Reads what a file holds (ISonxFileFacts) into facts; false with the
// message in `error` when it cannot be read.
inline bool describeFile(const FileHandle& file, FileFacts& facts, std::string& error) {
    facts = FileFacts{};
    char label[256], text[1024], message[512];
    FileFactTexts texts;
    texts.label = label;
    texts.labelCapacity = sizeof label;
    texts.text = text;
    texts.textCapacity = sizeof text;
    texts.error = message;
    texts.errorCapacity = sizeof message;
    Ref<ISonxFileFacts> reader(createInstance<ISonxFileFacts>(CLSID_SonxFile));
    if (!reader) {
        error = "Out of memory";
        return false;
    }
    int32_t status = reader->describe(&file, &facts, &texts);
    if (texts.labelLength >= sizeof label || texts.textLength >= sizeof text || texts.errorLength >= sizeof message) {
        facts.label.resize(texts.labelLength + 1);
        facts.text.resize(texts.textLength + 1);
        error.resize(texts.errorLength + 1);
        texts.label = &facts.label[0];
        texts.labelCapacity = facts.label.size();
        texts.text = &facts.text[0];
        texts.textCapacity = facts.text.size();
        texts.error = &error[0];
        texts.errorCapacity = error.size();
        status = reader->describe(&file, &facts, &texts);
        facts.label.resize(texts.labelLength);
        facts.text.resize(texts.textLength);
        error.resize(texts.errorLength);
    } else {
        facts.label.assign(label, texts.labelLength);
        facts.text.assign(text, texts.textLength);
        error.assign(message, texts.errorLength);
    }
    return status == SONX_OK;
}

}  // namespace sonx

#endif  // SONX_SONX_H
