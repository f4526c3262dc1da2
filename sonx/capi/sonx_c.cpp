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

#include "sonx/capi/last_error.h"
#include "sonx/convert/file_facts.h"
#include "sonx/fileio/safe_output.h"
#include "sonx/fileio/sample_convert.h"
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

// Takes the outcome of the object's last operation.
int rememberObject(LastError& slot, ISonxError* error) {
    if (!error->hasError()) return remember(slot, SONX_OK, "");
    return remember(slot, error->errorCode(), error->errorText());
}

// The rates the header promises; anything else is a caller's mistake.
int checkSampleRate(uint32_t rate) {
    if (rate >= 1 && rate <= kMaxSampleRate) return SONX_OK;
    return remember(SONX_ERR_INVALID, "Sample rate " + std::to_string(rate) + " is outside 1 to " +
                                          std::to_string(kMaxSampleRate) + " samples per second");
}

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

// A blocking conversion with progress: the progress function runs on the
// conversion thread, and the caller waits here until the last event.
struct Waiter {
    sonx_progress_fn progress = nullptr;
    void* user = nullptr;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;

    static int32_t notify(uint32_t event, uint32_t value, uintptr_t data) {
        auto* waiter = reinterpret_cast<Waiter*>(data);
        int32_t stop = 0;
        if (event == CONVERT_EVENT_PROGRESS && waiter->progress) stop = waiter->progress(value, waiter->user) != 0;
        // A stop at 100 makes a failure event the last one.
        const bool last =
            event == CONVERT_EVENT_FAILURE || (event == CONVERT_EVENT_PROGRESS && value == 100 && !stop);
        if (last) {
            std::lock_guard<std::mutex> lock(waiter->mutex);
            waiter->done = true;
            waiter->ended.notify_all();
        }
        return stop;
    }
};

// Runs one conversion to its end on a new SonxFile.
int runConversion(const FileHandle& input, const FileHandle& output, const ConversionRequest& request,
                  sonx_progress_fn progress, void* user, sonx_report* report) {
    if (report) *report = sonx_report{};
    Ref<ISonxRequest> converter(createInstance<ISonxRequest>(CLSID_SonxFile));
    if (!converter.get()) return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    Ref<ISonxError> error(queryInterface<ISonxError>(converter.get()));
    if (progress) {
        Waiter waiter;
        waiter.progress = progress;
        waiter.user = user;
        converter->convertRequest(&input, &output, &request, &Waiter::notify, reinterpret_cast<uintptr_t>(&waiter));
        std::unique_lock<std::mutex> lock(waiter.mutex);
        waiter.ended.wait(lock, [&] { return waiter.done; });
    } else {
        // Nobody to tell meanwhile: the conversion runs on this thread.
        converter->convertRequest(&input, &output, &request, nullptr, 0);
    }
    fillReport(converter.get(), report);
    return rememberObject(threadLastError(), error.get());
}

// The kind of an input the C calls convert: a QCP or WAV file (RF64 too).
int kindOfInput(const FileHandle& file, int& kind) {
    FileKindInfo info;
    std::string message;
    if (const int status = fileKind(file, info, message); status != SONX_OK) return remember(status, message);
    kind = info.kind;
    if (kind == FILE_KIND_QCP || kind == FILE_KIND_WAV || kind == FILE_KIND_RF64) return SONX_OK;
    return remember(SONX_ERR_NOT_AUDIO, info.kind == FILE_KIND_OTHER_RIFF
                                            ? "The file is a RIFF file, but neither a QCP nor a WAV file"
                                            : "File is not a RIFF file (no 'RIFF' header tag)");
}

// 16-bit mono samples of a raw file in memory.
AudioFormat rawPcm(uint32_t sampleRate) {
    AudioFormat format;
    format.fileType = FILE_TYPE_RAW;
    format.codec = CODEC_PCM;
    format.sampleRate = sampleRate;
    format.sampleBits = 16;
    return format;
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
    // The rest of a block read for a buffer smaller than one block.
    std::vector<int16_t> carried;
    size_t carriedHead = 0;
};

namespace {

// Gives back a handle's objects without touching any last-error slot.
void destroyHandle(sonx_file* file) {
    if (file->error) file->error->Release();
    if (file->file) file->file->Release();
    delete file;
}

}  // namespace

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
    const LastError& slot = file ? file->last : threadLastError();
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
        if (const int status = kindOfInput(in, kind); status != SONX_OK) return status;
        int outputType = chosen.output_type;
        if (outputType == SONX_TYPE_AUTO) outputType = kind == FILE_KIND_QCP ? SONX_TYPE_WAV : SONX_TYPE_QCP;
        Guid rateSet;
        if (!rateSetId(chosen.rate_set, rateSet) || (outputType != SONX_TYPE_QCP && outputType != SONX_TYPE_WAV))
            return remember(SONX_ERR_INVALID, "Unknown output type or rate set");
        const uint32_t decodeRate = chosen.sample_rate ? chosen.sample_rate : DECODE_RATE_DEFAULT;
        if (outputType == SONX_TYPE_QCP && decodeRate != DECODE_RATE_DEFAULT)
            return remember(SONX_ERR_INVALID, "A QCP file is always 8000 Hz");
        // The input is read as what it is; the output is the type asked for.
        ConversionRequest request;
        requestFor(kind, rateSet, request);
        request.output =
            outputType == SONX_TYPE_QCP ? wavToQcpRequest(rateSet).output : qcpToWavRequest(decodeRate).output;
        request.salvage = chosen.salvage ? SALVAGE_READ : SALVAGE_REFUSE;
        // The label and the date are the output's own steps before it takes
        // its name, so the output is made here and the conversion writes into it.
        SafeOutputRequest made;
        made.input = input;
        made.keepInputTimes = chosen.keep_date != 0;
        const std::unique_ptr<SafeOutput> out = SafeOutput::begin(output, made);
        int status = runConversion(in, out->handle(), request, progress, user, report);
        std::string message;
        if (status == SONX_OK) status = remember(copyTags(in, out->handle(), message), message);
        if (status != SONX_OK) {
            if (status != SONX_ERR_CANCELLED) out->explainFailure();
            return status;
        }
        out->commit();
        return SONX_OK;
    } catch (const StatusError&) {
        return rememberCurrentFailure();
    } catch (const std::bad_alloc&) {
        return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    }
}

int sonx_decode(const void* qcp, size_t qcp_bytes, int salvage, int16_t** pcm, size_t* samples, sonx_report* report) {
    return sonx_decode_rate(qcp, qcp_bytes, salvage, DECODE_RATE_DEFAULT, pcm, samples, report);
}

int sonx_decode_rate(const void* qcp, size_t qcp_bytes, int salvage, uint32_t sample_rate, int16_t** pcm,
                     size_t* samples, sonx_report* report) {
    if (pcm) *pcm = nullptr;
    if (samples) *samples = 0;
    if (report) *report = sonx_report{};
    if (!qcp || !pcm || !samples) return remember(SONX_ERR_INVALID, "No data or result given");
    if (qcp_bytes > kMemoryLimit) return remember(SONX_ERR_TOO_LARGE, "More than 2 GiB of input");
    try {
        MemoryFile in(qcp, qcp_bytes), out;
        ConversionRequest request = qcpToWavRequest();
        request.output = rawPcm(sample_rate);
        request.salvage = salvage ? SALVAGE_READ : SALVAGE_REFUSE;
        const int status = runConversion(in.handle(), out.handle(), request, nullptr, nullptr, report);
        if (status != SONX_OK) return status;
        const size_t count = out.size() / 2;
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
    Guid rateSet;
    if (!rateSetId(rate_set, rateSet)) return remember(SONX_ERR_INVALID, "Unknown rate set");
    if (const int status = checkSampleRate(sample_rate); status != SONX_OK) return status;
    if (samples > kMemoryLimit / 2) return remember(SONX_ERR_TOO_LARGE, "More than 2 GiB of input");
    try {
        std::vector<uint8_t> bytes(samples * 2);
        for (size_t i = 0; i < samples; ++i) {
            const auto value = static_cast<uint16_t>(pcm[i]);
            bytes[2 * i] = static_cast<uint8_t>(value);
            bytes[2 * i + 1] = static_cast<uint8_t>(value >> 8);
        }
        MemoryFile in(bytes.data(), bytes.size()), out;
        ConversionRequest request = wavToQcpRequest(rateSet);
        request.input = rawPcm(sample_rate);
        const int status = runConversion(in.handle(), out.handle(), request, nullptr, nullptr, nullptr);
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

// Opens to write (request: the file's format as input, the client's as
// output, as ISonxFile::open takes them) or, with `write` false, to read.
int openFile(const char* path, bool write, const ConversionRequest& request, uint32_t samplesPerBlock,
             sonx_file** file) {
    sonx_file* handle = new (std::nothrow) sonx_file;
    if (!handle) return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    handle->file = createInstance<ISonxFile>(CLSID_SonxFile);
    handle->error = handle->file ? queryInterface<ISonxError>(handle->file) : nullptr;
    if (!handle->error) {
        destroyHandle(handle);
        return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    }
    const FileHandle named = FileHandle::named(path);
    if (write) {
        handle->file->open(&named, 1, &request.input, &request.output);
    } else if (Ref<ISonxRequest> reader(queryInterface<ISonxRequest>(handle->file)); reader) {
        reader->openRequest(&named, &request);
    }
    const int status = rememberObject(threadLastError(), handle->error);
    if (status != SONX_OK) {
        destroyHandle(handle);  // the open's failure stays the thread's last error
        return status;
    }
    handle->writing = write;
    handle->sampleRate = request.output.sampleRate;
    handle->samplesPerBlock = samplesPerBlock;
    *file = handle;
    return SONX_OK;
}

}  // namespace

int sonx_open_read(const char* path, int salvage, sonx_file** file) {
    if (file) *file = nullptr;
    if (!path || !file) return remember(SONX_ERR_INVALID, "No path or handle given");
    int kind = FILE_KIND_UNKNOWN;
    if (const int status = kindOfInput(FileHandle::named(path), kind); status != SONX_OK) return status;
    uint32_t rate = 8000;
    if (kind != FILE_KIND_QCP) {
        sonx_info info;
        if (const int status = sonx_get_info(path, &info); status != SONX_OK) return status;
        rate = info.sample_rate;
    }
    ConversionRequest request;
    requestFor(kind, RATE_SET_VFR, request);
    request.output = rawPcm(rate);
    request.salvage = salvage ? SALVAGE_READ : SALVAGE_REFUSE;
    // A QCP packet is 160 samples; a WAV block one sample frame.
    return openFile(path, false, request, kind == FILE_KIND_QCP ? 160 : 1, file);
}

int sonx_open_write(const char* path, const sonx_options* options, uint32_t sample_rate, sonx_file** file) {
    if (file) *file = nullptr;
    if (!path || !file) return remember(SONX_ERR_INVALID, "No path or handle given");
    const sonx_options chosen = options ? *options : sonx_options{};
    Guid rateSet;
    if (!rateSetId(chosen.rate_set, rateSet)) return remember(SONX_ERR_INVALID, "Unknown rate set");
    if (const int status = checkSampleRate(sample_rate); status != SONX_OK) return status;
    AudioFormat fileFormat = wavToQcpRequest(rateSet).output;
    if (chosen.output_type == SONX_TYPE_WAV) {
        fileFormat = rawPcm(sample_rate);
        fileFormat.fileType = FILE_TYPE_WAV;
    }
    return openFile(path, true, ConversionRequest{fileFormat, rawPcm(sample_rate), SALVAGE_REFUSE}, 1, file);
}

uint32_t sonx_file_sample_rate(const sonx_file* file) {
    return file ? file->sampleRate : 0;
}

int sonx_read_pcm(sonx_file* file, int16_t* pcm, size_t max_samples, size_t* got) {
    if (got) *got = 0;
    if (!file || !got || (!pcm && max_samples)) return remember(SONX_ERR_INVALID, "No handle or buffer given");
    if (file->writing) return remember(file->last, SONX_ERR_INVALID, "The file is open for writing");
    // What a smaller buffer left of the last block comes first, and alone:
    // the next read then starts at a block boundary again.
    if (file->carriedHead < file->carried.size()) {
        const size_t given = std::min(max_samples, file->carried.size() - file->carriedHead);
        if (given) std::memcpy(pcm, file->carried.data() + file->carriedHead, given * sizeof(int16_t));
        file->carriedHead += given;
        *got = given;
        return remember(file->last, SONX_OK, "");
    }
    if (max_samples == 0) return remember(file->last, SONX_OK, "");
    const size_t blocks = std::min<size_t>(max_samples / file->samplesPerBlock, 1u << 20);
    uint32_t bytes = 0;
    if (blocks > 0) {
        file->file->read(static_cast<uint32_t>(blocks), reinterpret_cast<uint8_t*>(pcm), &bytes);
        *got = bytes / 2;
        return rememberObject(file->last, file->error);
    }
    // A buffer under one block: one block is read aside and handed out in parts.
    try {
        file->carried.resize(file->samplesPerBlock);
    } catch (const std::bad_alloc&) {
        return remember(file->last, SONX_ERR_NO_MEMORY, "Out of memory");
    }
    file->file->read(1, reinterpret_cast<uint8_t*>(file->carried.data()), &bytes);
    file->carried.resize(bytes / 2);
    file->carriedHead = std::min(max_samples, file->carried.size());
    if (file->carriedHead) std::memcpy(pcm, file->carried.data(), file->carriedHead * sizeof(int16_t));
    *got = file->carriedHead;
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
    file->file->close(file->writing ? 1 : 0);
    const int status = rememberObject(threadLastError(), file->error);
    destroyHandle(file);
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
        if (room) std::memcpy(buffer, label, std::min<size_t>(room, full));
    } else if (which == 1) {
        full = chunks->getTextChunk(&file, nullptr, 0);
        if (!error->hasError() && room) chunks->getTextChunk(&file, static_cast<uint8_t*>(buffer), room);
    } else {
        uint16_t value = 0;
        full = 2;
        if (chunks->getCnfgChunk(&file, &value)) {
            const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
            if (room) std::memcpy(buffer, bytes, std::min<size_t>(room, full));
        }
    }
    const int status = rememberObject(threadLastError(), error.get());
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
    return rememberObject(threadLastError(), error.get());
}

int sonx_get_info(const char* path, sonx_info* info) {
    if (!path) return remember(SONX_ERR_INVALID, "No path given");
    return describe(FileHandle::named(path), info);
}

int sonx_get_info_memory(const void* data, size_t length, sonx_info* info) {
    if (!data || length > kMemoryLimit) return remember(SONX_ERR_INVALID, "No data given, or more than 2 GiB");
    MemoryFile file(data, length);
    return describe(file.handle(), info);
}

int sonx_kind_of_file(const char* path, sonx_kind_info* info) {
    if (!path || !info) return remember(SONX_ERR_INVALID, "No path or result given");
    FileKindInfo found;
    std::string message;
    if (const int status = fileKind(FileHandle::named(path), found, message); status != SONX_OK)
        return remember(status, message);
    *info = sonx_kind_info{};
    info->kind = found.kind;
    info->size = found.size;
    info->codec_known = found.codecKnown;
    std::memcpy(info->codec, found.codec.bytes, sizeof info->codec);
    return remember(SONX_OK, "");
}

int sonx_copy_tags(const char* from, const char* to) {
    if (!from || !to) return remember(SONX_ERR_INVALID, "No path given");
    try {
        std::string message;
        return remember(copyTags(FileHandle::named(from), FileHandle::named(to), message), message);
    } catch (const std::bad_alloc&) {
        return remember(SONX_ERR_NO_MEMORY, "Out of memory");
    }
}

}  // extern "C"
