// The C interface: thin calls onto SonxFile and describeFileInto.
#include "sonx/sonx_c.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "sonx/convert/file_facts.h"
#include "sonx/fileio/safe_output.h"
#include "sonx/sonx.h"

namespace sonx {
namespace {

struct StatusText {
    int status;
    const char* text;
};

constexpr StatusText kStatusTexts[] = {
    {SONX_OK, "Success"},
    {SONX_ERR_INVALID, "Invalid argument"},
    {SONX_ERR_OPEN, "Cannot open the file"},
    {SONX_ERR_READ, "Cannot read the file"},
    {SONX_ERR_WRITE, "Cannot write the file"},
    {SONX_ERR_NOT_AUDIO, "Not a QCP or WAV file"},
    {SONX_ERR_UNSUPPORTED, "Unsupported format"},
    {SONX_ERR_DAMAGED, "Damaged file"},
    {SONX_ERR_NO_CHUNK, "No such chunk"},
    {SONX_ERR_NO_MEMORY, "Out of memory"},
    {SONX_ERR_CANCELLED, "Cancelled"},
    {SONX_ERR_TOO_LARGE, "Too large"},
    {SONX_ERR_FAILED, "Failed"},
};

struct LastError {
    int status = SONX_OK;
    std::string text;
};

thread_local LastError threadError;

int remember(LastError& slot, int status, const std::string& text) {
    slot.status = status;
    slot.text = status == SONX_OK ? std::string() : text;
    return status;
}

int remember(int status, const std::string& text) {
    return remember(threadError, status, text);
}

// Takes the outcome of the object's last operation.
int rememberObject(LastError& slot, ISonxError* error) {
    if (!error->hasError()) return remember(slot, SONX_OK, "");
    return remember(slot, error->errorCode(), error->errorText());
}

const Guid* const kRateSets[] = {&RATE_SET_VFR, &RATE_SET_VHR, &RATE_SET_FFR, &RATE_SET_FHR};

const Guid* rateSetOf(int rateSet) {
    return rateSet >= SONX_RATE_VFR && rateSet <= SONX_RATE_FHR ? kRateSets[rateSet] : nullptr;
}

// A file held in memory, served through a client callback.
struct MemoryFile {
    const uint8_t* source = nullptr;  // read-only bytes of an input
    size_t sourceLength = 0;
    std::vector<uint8_t> written;     // an output's bytes
    size_t position = 0;

    size_t size() const { return source ? sourceLength : written.size(); }

    static int32_t serve(int32_t operation, uint8_t* buffer, int32_t position, int32_t length, uintptr_t data) {
        auto* file = reinterpret_cast<MemoryFile*>(data);
        try {
            switch (operation) {
            case CLIENT_FILE_READ: {
                const size_t left = file->size() - std::min(file->size(), file->position);
                const size_t count = std::min<size_t>(left, static_cast<size_t>(std::max(length, 0)));
                const uint8_t* from = file->source ? file->source : file->written.data();
                if (count) std::memcpy(buffer, from + file->position, count);
                file->position += count;
                return static_cast<int32_t>(count);
            }
            case CLIENT_FILE_WRITE: {
                if (file->source || length < 0) return -1;
                const size_t end = file->position + static_cast<size_t>(length);
                if (end > file->written.size()) file->written.resize(end);
                if (length) std::memcpy(file->written.data() + file->position, buffer, static_cast<size_t>(length));
                file->position = end;
                return length;
            }
            case CLIENT_FILE_SEEK:
                if (position < 0) return -1;
                file->position = static_cast<size_t>(position);
                return position;
            case CLIENT_FILE_SIZE:
                return static_cast<int32_t>(file->size());
            case CLIENT_FILE_TRUNCATE:
                if (!file->source && length >= 0) file->written.resize(static_cast<size_t>(length));
                return length;
            }
        } catch (const std::bad_alloc&) {
        }
        return -1;
    }

    FileHandle handle() { return FileHandle::client(&MemoryFile::serve, reinterpret_cast<uintptr_t>(this)); }
};

constexpr size_t kMemoryLimit = INT32_MAX;  // what a client callback's positions reach

void fillReport(ISonxUnknown* object, sonx_report* report) {
    if (!report) return;
    *report = sonx_report{};
    Ref<ISonxSalvage> salvage(queryInterface<ISonxSalvage>(object));
    if (!salvage.get()) return;
    SalvageReport found;
    salvage->salvageReport(&found);
    report->length_damaged = found.lengthDamaged;
    report->salvaged = found.salvaged;
    report->promise_known = found.promiseKnown;
    report->blocks_read = found.blocksRead;
    report->blocks_promised = found.blocksPromised;
}

// A blocking conversion: the progress function runs on the conversion thread,
// and the caller waits here until the last event.
struct Waiter {
    sonx_progress_fn progress = nullptr;
    void* user = nullptr;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;

    static int32_t notify(uint32_t event, uint32_t value, uintptr_t data) {
        auto* waiter = reinterpret_cast<Waiter*>(data);
        const bool last = event == CONVERT_EVENT_FAILURE || (event == CONVERT_EVENT_PROGRESS && value == 100);
        int32_t stop = 0;
        if (event == CONVERT_EVENT_PROGRESS && waiter->progress) stop = waiter->progress(value, waiter->user) != 0;
        if (last) {
            std::lock_guard<std::mutex> lock(waiter->mutex);
            waiter->done = true;
            waiter->ended.notify_all();
        }
        return stop;
    }
};

// Runs one conversion to its end on a new SonxFile.
int runConversion(const FileHandle& input, const AudioFormat& inputFormat, const FileHandle& output,
                  const AudioFormat& outputFormat, sonx_progress_fn progress, void* user, sonx_report* report) {
    if (report) *report = sonx_report{};
    Ref<ISonxConvertFile> converter(createInstance<ISonxConvertFile>(CLSID_SonxFile));
    if (!converter.get()) return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    Ref<ISonxError> error(queryInterface<ISonxError>(converter.get()));
    Waiter waiter;
    waiter.progress = progress;
    waiter.user = user;
    converter->convertWithProgress(&input, &inputFormat, &output, &outputFormat, &Waiter::notify,
                                   reinterpret_cast<uintptr_t>(&waiter));
    {
        std::unique_lock<std::mutex> lock(waiter.mutex);
        waiter.ended.wait(lock, [&] { return waiter.done; });
    }
    fillReport(converter.get(), report);
    return rememberObject(threadError, error.get());
}

int kindOfFile(const FileHandle& file, int& kind) {
    FileFactsCore facts;
    char message[512];
    FileFactTexts texts;
    texts.error = message;
    texts.errorCapacity = sizeof message;
    const int32_t status = describeFileInto(file, facts, texts);
    if (status != SONX_OK) return remember(status, message);
    kind = facts.kind;
    return SONX_OK;
}

AudioFormat pcmFormat(const Guid& fileType, uint32_t sampleRate) {
    AudioFormat format;
    format.fileType = fileType;
    format.codec = CODEC_PCM;
    format.sampleRate = sampleRate;
    format.sampleBits = 16;
    return format;
}

AudioFormat qcpFormat(const Guid& rateSet) {
    AudioFormat format;
    format.fileType = FILE_TYPE_QCP;
    format.codec = CODEC_QCELP13K;
    format.dataFormat = rateSet;
    return format;
}

int rateSetIndex(const Guid& rateSet) {
    for (int i = SONX_RATE_VFR; i <= SONX_RATE_FHR; ++i)
        if (*kRateSets[i] == rateSet) return i;
    return SONX_RATE_NONE;
}

int describe(const FileHandle& file, sonx_info* info) {
    if (!info) return remember(SONX_ERR_INVALID, "No information record given");
    *info = sonx_info{};
    FileFactsCore facts;
    char message[512];
    FileFactTexts texts;
    texts.label = info->label;
    texts.labelCapacity = sizeof info->label;
    texts.text = info->text;
    texts.textCapacity = sizeof info->text;
    texts.error = message;
    texts.errorCapacity = sizeof message;
    const int32_t status = describeFileInto(file, facts, texts);
    if (status != SONX_OK) return remember(status, message);
    info->kind = facts.kind == FILE_KIND_QCP ? SONX_TYPE_QCP : SONX_TYPE_WAV;
    if (facts.codecName)
        std::snprintf(info->codec, sizeof info->codec, "%s", facts.codecName);
    else
        formatGuid(facts.codec, info->codec);
    info->decodable = facts.decodable;
    info->sample_rate = facts.sampleRate;
    info->sample_bits = facts.sampleBits;
    info->channels = facts.channels;
    info->samples = facts.samples;
    info->samples_promised = facts.samplesPromised;
    info->promise_known = facts.promiseKnown;
    info->duration = facts.sampleRate ? static_cast<double>(facts.samples) / facts.sampleRate : 0;
    info->rate_set = rateSetIndex(facts.rateSet);
    for (int i = 0; i < PACKET_RATE_COUNT; ++i) info->packets_by_rate[i] = facts.packetsByRate[i];
    info->packets = facts.packets;
    info->packets_promised = facts.packetsPromised;
    info->stray_bytes = facts.strayBytes;
    info->average_bit_rate = facts.averageBitRate;
    info->cut_short = facts.cutShort;
    return remember(SONX_OK, "");
}

// The chunk calls of ISonxQcpChunks by id.
const char* const kChunkIds[] = {"labl", "text", "cnfg"};

int chunkIndex(const char* id) {
    if (!id) return -1;
    for (int i = 0; i < 3; ++i)
        if (std::strncmp(id, kChunkIds[i], 5) == 0) return i;
    return -1;
}

}  // namespace
}  // namespace sonx

using namespace sonx;

struct sonx_file {
    ISonxFile* file = nullptr;
    ISonxError* error = nullptr;
    uint32_t sampleRate = 0;
    uint32_t samplesPerBlock = 1;  // client samples one file block gives
    bool writing = false;
    LastError last;
};

extern "C" {

const char* sonx_strerror(int status) {
    for (const StatusText& row : kStatusTexts)
        if (row.status == status) return row.text;
    return "Unknown status";
}

const char* sonx_version_string(void) {
    return SONX_VERSION_STRING;
}

int sonx_last_error(const sonx_file* file, char* buffer, size_t length) {
    const LastError& slot = file ? file->last : threadError;
    if (buffer && length) {
        const size_t kept = std::min(slot.text.size(), length - 1);
        std::memcpy(buffer, slot.text.data(), kept);
        buffer[kept] = '\0';
    }
    return slot.status;
}

void sonx_free(void* memory) {
    std::free(memory);
}

int sonx_convert_file(const char* input, const char* output, const sonx_options* options, sonx_progress_fn progress,
                      void* user, sonx_report* report) {
    try {
        if (report) *report = sonx_report{};
        if (!input || !output) return remember(SONX_ERR_INVALID, "No input or output path given");
        const sonx_options chosen = options ? *options : sonx_options{};
        const FileHandle in = FileHandle::named(input);
        int kind = FILE_KIND_UNKNOWN;
        if (const int status = kindOfFile(in, kind); status != SONX_OK) return status;
        int outputType = chosen.output_type;
        if (outputType == SONX_TYPE_AUTO) outputType = kind == FILE_KIND_QCP ? SONX_TYPE_WAV : SONX_TYPE_QCP;
        const Guid* rateSet = rateSetOf(chosen.rate_set);
        if (!rateSet || (outputType != SONX_TYPE_QCP && outputType != SONX_TYPE_WAV))
            return remember(SONX_ERR_INVALID, "Unknown output type or rate set");
        AudioFormat inputFormat;
        inputFormat.fileType = kind == FILE_KIND_QCP ? FILE_TYPE_QCP : FILE_TYPE_WAV;
        if (chosen.salvage) inputFormat.option |= FORMAT_OPTION_SALVAGE;
        const AudioFormat outputFormat =
            outputType == SONX_TYPE_QCP ? qcpFormat(*rateSet) : pcmFormat(FILE_TYPE_WAV, 8000);
        if (!chosen.keep_date)
            return runConversion(in, inputFormat, FileHandle::named(output), outputFormat, progress, user, report);
        // The date is the output's own step before it takes its name, so the
        // output is made here and the conversion writes into it.
        SafeOutputRequest request;
        request.input = input;
        request.keepInputTimes = true;
        const std::unique_ptr<SafeOutput> dated = SafeOutput::begin(output, request);
        const int status = runConversion(in, inputFormat, dated->handle(), outputFormat, progress, user, report);
        if (status != SONX_OK) {
            if (status != SONX_ERR_CANCELLED) dated->explainFailure();
            return status;
        }
        dated->commit();
        return SONX_OK;
    } catch (const StatusError& e) {
        return remember(e.status, e.what());
    } catch (const std::bad_alloc&) {
        return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    }
}

int sonx_decode(const void* qcp, size_t qcp_bytes, int salvage, int16_t** pcm, size_t* samples, sonx_report* report) {
    if (pcm) *pcm = nullptr;
    if (samples) *samples = 0;
    if (report) *report = sonx_report{};
    if (!qcp || !pcm || !samples) return remember(SONX_ERR_INVALID, "No data or result given");
    if (qcp_bytes > kMemoryLimit) return remember(SONX_ERR_TOO_LARGE, "More than 2 GiB of input");
    try {
        MemoryFile in, out;
        in.source = static_cast<const uint8_t*>(qcp);
        in.sourceLength = qcp_bytes;
        AudioFormat inputFormat;
        inputFormat.fileType = FILE_TYPE_QCP;
        if (salvage) inputFormat.option |= FORMAT_OPTION_SALVAGE;
        const int status = runConversion(in.handle(), inputFormat, out.handle(), pcmFormat(FILE_TYPE_RAW, 8000),
                                         nullptr, nullptr, report);
        if (status != SONX_OK) return status;
        const size_t count = out.written.size() / 2;
        if (count == 0) return SONX_OK;
        auto* result = static_cast<int16_t*>(std::malloc(count * sizeof(int16_t)));
        if (!result) return remember(SONX_ERR_NO_MEMORY, "Out of memory");
        // Raw output is little-endian 16-bit.
        for (size_t i = 0; i < count; ++i)
            result[i] = static_cast<int16_t>(out.written[2 * i] | (out.written[2 * i + 1] << 8));
        *pcm = result;
        *samples = count;
        return SONX_OK;
    } catch (const std::bad_alloc&) {
        return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    }
}

int sonx_encode(const int16_t* pcm, size_t samples, uint32_t sample_rate, int rate_set, void** qcp,
                size_t* qcp_bytes) {
    if (qcp) *qcp = nullptr;
    if (qcp_bytes) *qcp_bytes = 0;
    if ((!pcm && samples) || !qcp || !qcp_bytes) return remember(SONX_ERR_INVALID, "No samples or result given");
    const Guid* rateSet = rateSetOf(rate_set);
    if (!rateSet) return remember(SONX_ERR_INVALID, "Unknown rate set");
    if (samples > kMemoryLimit / 2) return remember(SONX_ERR_TOO_LARGE, "More than 2 GiB of input");
    try {
        std::vector<uint8_t> bytes(samples * 2);
        for (size_t i = 0; i < samples; ++i) {
            const auto value = static_cast<uint16_t>(pcm[i]);
            bytes[2 * i] = static_cast<uint8_t>(value);
            bytes[2 * i + 1] = static_cast<uint8_t>(value >> 8);
        }
        MemoryFile in, out;
        in.source = bytes.data();
        in.sourceLength = bytes.size();
        const int status = runConversion(in.handle(), pcmFormat(FILE_TYPE_RAW, sample_rate), out.handle(),
                                         qcpFormat(*rateSet), nullptr, nullptr, nullptr);
        if (status != SONX_OK) return status;
        void* result = std::malloc(std::max<size_t>(out.written.size(), 1));
        if (!result) return remember(SONX_ERR_NO_MEMORY, "Out of memory");
        std::memcpy(result, out.written.data(), out.written.size());
        *qcp = result;
        *qcp_bytes = out.written.size();
        return SONX_OK;
    } catch (const std::bad_alloc&) {
        return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    }
}

namespace {

int openFile(const char* path, bool write, const AudioFormat& fileFormat, const AudioFormat& clientFormat,
             uint32_t samplesPerBlock, sonx_file** file) {
    sonx_file* handle = new (std::nothrow) sonx_file;
    if (!handle) return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    handle->file = createInstance<ISonxFile>(CLSID_SonxFile);
    handle->error = handle->file ? queryInterface<ISonxError>(handle->file) : nullptr;
    if (!handle->error) {
        sonx_close(handle);
        return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    }
    const FileHandle named = FileHandle::named(path);
    handle->file->open(&named, write ? 1 : 0, &fileFormat, &clientFormat);
    const int status = rememberObject(threadError, handle->error);
    if (status != SONX_OK) {
        sonx_close(handle);
        return status;
    }
    handle->writing = write;
    handle->sampleRate = clientFormat.sampleRate;
    handle->samplesPerBlock = samplesPerBlock;
    *file = handle;
    return SONX_OK;
}

}  // namespace

int sonx_open_read(const char* path, int salvage, sonx_file** file) {
    if (file) *file = nullptr;
    if (!path || !file) return remember(SONX_ERR_INVALID, "No path or handle given");
    int kind = FILE_KIND_UNKNOWN;
    if (const int status = kindOfFile(FileHandle::named(path), kind); status != SONX_OK) return status;
    AudioFormat fileFormat;
    fileFormat.fileType = kind == FILE_KIND_QCP ? FILE_TYPE_QCP : FILE_TYPE_WAV;
    if (salvage) fileFormat.option |= FORMAT_OPTION_SALVAGE;
    uint32_t rate = 8000;
    if (kind == FILE_KIND_WAV) {
        sonx_info info;
        if (const int status = sonx_get_info(path, &info); status != SONX_OK) return status;
        rate = info.sample_rate;
    }
    // A QCP packet is 160 samples; a WAV block one sample frame.
    return openFile(path, false, fileFormat, pcmFormat(FILE_TYPE_RAW, rate), kind == FILE_KIND_QCP ? 160 : 1, file);
}

int sonx_open_write(const char* path, const sonx_options* options, uint32_t sample_rate, sonx_file** file) {
    if (file) *file = nullptr;
    if (!path || !file) return remember(SONX_ERR_INVALID, "No path or handle given");
    const sonx_options chosen = options ? *options : sonx_options{};
    const Guid* rateSet = rateSetOf(chosen.rate_set);
    if (!rateSet) return remember(SONX_ERR_INVALID, "Unknown rate set");
    if (chosen.output_type == SONX_TYPE_WAV)
        return openFile(path, true, pcmFormat(FILE_TYPE_WAV, sample_rate), pcmFormat(FILE_TYPE_RAW, sample_rate), 1,
                        file);
    return openFile(path, true, qcpFormat(*rateSet), pcmFormat(FILE_TYPE_RAW, sample_rate), 1, file);
}

uint32_t sonx_file_sample_rate(const sonx_file* file) {
    return file ? file->sampleRate : 0;
}

int sonx_read_pcm(sonx_file* file, int16_t* pcm, size_t max_samples, size_t* got) {
    if (got) *got = 0;
    if (!file || !got || (!pcm && max_samples)) return remember(SONX_ERR_INVALID, "No handle or buffer given");
    if (file->writing) return remember(file->last, SONX_ERR_INVALID, "The file is open for writing");
    const size_t blocks = std::min<size_t>(max_samples / file->samplesPerBlock, 1u << 20);
    if (blocks == 0 && max_samples > 0) return remember(file->last, SONX_ERR_INVALID, "The buffer holds less than one packet");
    uint32_t bytes = 0;
    file->file->read(static_cast<uint32_t>(blocks), reinterpret_cast<uint8_t*>(pcm), &bytes);
    *got = bytes / 2;
    return rememberObject(file->last, file->error);
}

int sonx_write_pcm(sonx_file* file, const int16_t* pcm, size_t samples) {
    if (!file || (!pcm && samples)) return remember(SONX_ERR_INVALID, "No handle or samples given");
    if (!file->writing) return remember(file->last, SONX_ERR_INVALID, "The file is open for reading");
    size_t done = 0;
    while (done < samples) {
        const auto count = static_cast<uint32_t>(std::min<size_t>(samples - done, 1u << 20));
        uint32_t bytes = 0;
        file->file->write(count, reinterpret_cast<const uint8_t*>(pcm + done), &bytes);
        if (const int status = rememberObject(file->last, file->error); status != SONX_OK) return status;
        done += count;
    }
    return SONX_OK;
}

int sonx_close(sonx_file* file) {
    if (!file) return SONX_OK;
    int status = SONX_OK;
    if (file->file) {
        file->file->close(file->writing ? 1 : 0);
        status = rememberObject(threadError, file->error);
    }
    if (file->error) file->error->Release();
    if (file->file) file->file->Release();
    delete file;
    return status;
}

int sonx_get_chunk(const char* path, const char* id, void* buffer, size_t length, size_t* stored) {
    if (stored) *stored = 0;
    const int which = chunkIndex(id);
    if (!path || which < 0 || (!buffer && length)) return remember(SONX_ERR_INVALID, "No path, or an unknown chunk id");
    Ref<ISonxQcpChunks> chunks(createInstance<ISonxQcpChunks>(CLSID_SonxFile));
    if (!chunks.get()) return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    Ref<ISonxError> error(queryInterface<ISonxError>(chunks.get()));
    const FileHandle file = FileHandle::named(path);
    const auto room = static_cast<uint32_t>(std::min<size_t>(length, UINT32_MAX));
    size_t full = 0;
    if (which == 0) {
        uint8_t label[48] = {};
        chunks->getLablChunk(&file, label, sizeof label);
        full = sizeof label;
        std::memcpy(buffer, label, std::min<size_t>(room, full));
    } else if (which == 1) {
        full = chunks->getTextChunk(&file, nullptr, 0);
        if (!error->hasError() && room) chunks->getTextChunk(&file, static_cast<uint8_t*>(buffer), room);
    } else {
        uint16_t value = 0;
        full = 2;
        if (chunks->getCnfgChunk(&file, &value)) {
            const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
            std::memcpy(buffer, bytes, std::min<size_t>(room, full));
        }
    }
    const int status = rememberObject(threadError, error.get());
    if (status == SONX_OK && stored) *stored = full;
    return status;
}

int sonx_set_chunk(const char* path, const char* id, const void* data, size_t length) {
    const int which = chunkIndex(id);
    if (!path || which < 0 || (!data && length)) return remember(SONX_ERR_INVALID, "No path, or an unknown chunk id");
    if (length > UINT32_MAX || (which == 2 && length != 2))
        return remember(SONX_ERR_INVALID, "A 'cnfg' chunk holds 2 bytes");
    Ref<ISonxQcpChunks> chunks(createInstance<ISonxQcpChunks>(CLSID_SonxFile));
    if (!chunks.get()) return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    Ref<ISonxError> error(queryInterface<ISonxError>(chunks.get()));
    const FileHandle file = FileHandle::named(path);
    const auto* bytes = static_cast<const uint8_t*>(data);
    const auto count = static_cast<uint32_t>(length);
    if (which == 0)
        chunks->setLablChunk(&file, bytes, count);
    else if (which == 1)
        chunks->setTextChunk(&file, bytes, count);
    else
        chunks->setCnfgChunk(&file, static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
    return rememberObject(threadError, error.get());
}

int sonx_get_info(const char* path, sonx_info* info) {
    if (!path) return remember(SONX_ERR_INVALID, "No path given");
    return describe(FileHandle::named(path), info);
}

int sonx_get_info_memory(const void* data, size_t length, sonx_info* info) {
    if (!data || length > kMemoryLimit) return remember(SONX_ERR_INVALID, "No data given, or more than 2 GiB");
    MemoryFile file;
    file.source = static_cast<const uint8_t*>(data);
    file.sourceLength = length;
    return describe(file.handle(), info);
}

}  // extern "C"
