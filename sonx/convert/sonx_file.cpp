#include "sonx/convert/sonx_file.h"
#include "sonx/component/status.h"
#include "sonx/convert/file_facts.h"

#include <algorithm>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>

namespace sonx {

namespace {

// Plain PCM is cut into one-sample blocks of its own width, whatever the
// caller filled in.
void normalisePcm(AudioFormat& f) {
    if (f.codec != CODEC_PCM) return;
    f.dataFormat = DATA_FORMAT_SAMPLES;
    f.packetBytes = f.sampleBits / 8;
    f.blockSamples = 1;
}

// A QCP file decodes to 8000 Hz or, resampled, to a rate up to 48000.
void checkDecodeRate(const AudioFormat& input, const AudioFormat& output) {
    if (input.fileType != FILE_TYPE_QCP || output.codec != CODEC_PCM || isDecodeRate(output.sampleRate)) return;
    failWith(SONX_ERR_INVALID, "Decoded sample rate of " + std::to_string(output.sampleRate) + " Hz is outside " +
                                   std::to_string(DECODE_RATE_MIN) + " to " + std::to_string(DECODE_RATE_MAX) + " Hz");
}

}  // namespace

ISonxUnknown* newSonxFile() {
    try {
        return static_cast<ISonxFile*>(new SonxFile());
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (OutOfMemory*) {
        return nullptr;
    }
}

SonxFile::SonxFile() : life_(std::make_shared<Lifetime>()) {}

SonxFile::~SonxFile() {
    // Waits for a conversion thread that is still finishing; on the
    // conversion thread itself (its last reference given back) it detaches.
    stopThread();
    closeFile(single_.file, true);
    closeConversionFiles();
}

int32_t SonxFile::AddRef() {
    return addRef();
}

int32_t SonxFile::Release() {
    const std::shared_ptr<Lifetime> life = life_;  // may outlive *this
    std::unique_lock<std::mutex> lock(life->mutex);
    if (life->threadHoldsRef) {
        // The conversion's own reference keeps the count above zero here.
        const int32_t count = release();
        if (count == 1 && life->worker != std::this_thread::get_id()) {
            // That was the client's last reference: destroying the object
            // waits for the conversion, which then destroys it on its thread.
            life->changed.wait(lock, [&] { return !life->threadHoldsRef && !life->releasing; });
            return 0;
        }
        return count;
    }
    lock.unlock();
    return release();
}

void* SonxFile::QueryInterface(const Guid& iid) {
    addRef();
    if (iid == IID_ISonxFile) return static_cast<ISonxFile*>(this);
    if (iid == IID_ISonxConvertFile) return static_cast<ISonxConvertFile*>(this);
    if (iid == IID_ISonxQcpChunks) return static_cast<ISonxQcpChunks*>(this);
    if (iid == IID_ISonxSalvage) return static_cast<ISonxSalvage*>(this);
    if (iid == IID_ISonxFileFacts) return static_cast<ISonxFileFacts*>(this);
    if (iid == IID_ISonxRequest) return static_cast<ISonxRequest*>(this);
    if (iid == IID_ISonxError) return static_cast<ISonxError*>(this);
    if (iid == IID_ISonxUnknown) return static_cast<ISonxUnknown*>(static_cast<ISonxFile*>(this));
    Release();
    return nullptr;
}

int32_t SonxFile::describe(const FileHandle* file, FileFactsCore* facts, FileFactTexts* texts) {
    if (!file || !facts || !texts) return SONX_ERR_INVALID;
    return describeFileInto(*file, *facts, *texts);
}

uint8_t SonxFile::hasError() {
    std::lock_guard<std::mutex> lock(errorLock_);
    return shownRecord().empty() ? 0 : 1;
}

const char* SonxFile::errorText() {
    std::lock_guard<std::mutex> lock(errorLock_);
    return shownRecord().text.c_str();
}

int32_t SonxFile::errorCode() {
    std::lock_guard<std::mutex> lock(errorLock_);
    const Failure& shown = shownRecord();
    return shown.empty() ? SONX_OK : shown.status;
}

void SonxFile::clearErr() {
    std::lock_guard<std::mutex> lock(errorLock_);
    callRecord_ = Failure{};
    showsConversion_ = false;
}

void SonxFile::setErr(Failure failure) {
    std::lock_guard<std::mutex> lock(errorLock_);
    callRecord_ = std::move(failure);
    showsConversion_ = false;
}

void SonxFile::recordConversion(Failure result) {
    std::lock_guard<std::mutex> lock(errorLock_);
    conversionRecord_ = std::move(result);
    showsConversion_ = true;
}

bool SonxFile::onConversionThread() {
    std::lock_guard<std::mutex> lock(life_->mutex);
    return life_->threadHoldsRef && life_->worker == std::this_thread::get_id();
}

void SonxFile::waitForConversionEnd() {
    if (!finishedPending_) return;
    // Exactly one finished signal per thread; nobody else waits for this one.
    finishedEvent().wait();
    finishedPending_ = false;
}

void SonxFile::closeConversionFiles() {
    closeFile(input_, true);
    closeFile(output_, true);
    conversionOutput_.reset();  // an output not committed leaves nothing behind
}

// The writers only know that a write into a spool came up short; the
// output knows the system's reason.
void SonxFile::explainOutputFailure(const std::unique_ptr<SafeOutput>& output, Failure& failure) {
    if (!output || failure.empty() || failure.status == SONX_ERR_CANCELLED) return;
    const Failure reason = failureOf([&] { output->explainFailure(); });
    if (!reason.empty()) failure = reason;
}

void SonxFile::commitOutput(std::unique_ptr<SafeOutput>& output) {
    if (!output) return;
    output->commit();
    output.reset();
}

// ---- ISonxConvertFile -------------------------------------------------------

uint8_t SonxFile::convert(const FileHandle* input, const AudioFormat* inputFormat, const FileHandle* output,
                          const AudioFormat* outputFormat, ConvertCallback callback, uint32_t userData) {
    return startConversion(input, inputFormat, output, outputFormat, SALVAGE_REFUSE,
                           Notifier{callback, nullptr, userData});
}

uint8_t SonxFile::convertWithProgress(const FileHandle* input, const AudioFormat* inputFormat,
                                      const FileHandle* output, const AudioFormat* outputFormat,
                                      ConvertProgressCallback callback, uintptr_t userData) {
    return startConversion(input, inputFormat, output, outputFormat, SALVAGE_REFUSE,
                           Notifier{nullptr, callback, userData});
}

// ---- ISonxRequest -------------------------------------------------------------

uint8_t SonxFile::convertRequest(const FileHandle* input, const FileHandle* output, const ConversionRequest* request,
                                 ConvertProgressCallback callback, uintptr_t userData) {
    return startConversion(input, request ? &request->input : nullptr, output, request ? &request->output : nullptr,
                           request ? request->salvage : SALVAGE_REFUSE, Notifier{nullptr, callback, userData});
}

uint8_t SonxFile::openRequest(const FileHandle* file, const ConversionRequest* request) {
    return openSingle(file, 0, request ? &request->input : nullptr, request ? &request->output : nullptr,
                      request ? request->salvage : SALVAGE_REFUSE);
}

void SonxFile::cancel() {
    cancelRequested_ = true;
}

bool SonxFile::Notifier::send(uint32_t event, uint32_t value) const {
    if (legacy) legacy(event, value, static_cast<uint32_t>(userData));
    if (withResult) return withResult(event, value, userData) != 0;
    return false;
}

uint8_t SonxFile::startConversion(const FileHandle* input, const AudioFormat* inputFormat, const FileHandle* output,
                                  const AudioFormat* outputFormat, int32_t salvage, Notifier notifier) {
    const bool callback = notifier.any();
    if (onConversionThread()) {
        // The running conversion still owns the records this would reset.
        setErr({"A conversion cannot be started from the callback of a running one", SONX_ERR_INVALID});
        return 0;
    }
    // A previous conversion with a callback may still be closing up.
    waitForConversionEnd();
    clearErr();
    notifier_ = notifier;
    cancelRequested_ = false;
    input_.salvage = SalvageReport{};

    bool needsCounting = false;
    uint32_t dataBegin = 0, dataEnd = 0;
    Failure failure = failureOf([&] {
        if (single_.isOpen()) {
            single_.forgetCarried();
            closeFile(single_.file, false);
            commitOutput(singleOutput_);
        }
        singleOutput_.reset();
        closeConversionFiles();
        input_ = AudioFile{};
        output_ = AudioFile{};
        carried_ = 0;
        buffers_.converter.reset();
        blocksDone_ = 0;
        totalBlocks_ = 0;
        completed_ = false;
        if (!input || !inputFormat || !output || !outputFormat)
            failWith(SONX_ERR_INVALID, "No file handle or audio format given");
        input_.handle = *input;
        input_.fileFormat = *inputFormat;
        input_.salvageRequested = salvage == SALVAGE_READ;
        output_.handle = *output;
        output_.fileFormat = *outputFormat;
        setupConversion(needsCounting, dataBegin, dataEnd);
    });
    salvage_ = input_.salvage;
    if (!failure.empty() && salvage_.lengthDamaged && !salvage_.salvaged) failure.status = SONX_ERR_DAMAGED;

    if (failure.empty()) {
        // The thread holds a reference of its own until its very end.
        addRef();
        {
            std::lock_guard<std::mutex> lock(life_->mutex);
            life_->threadHoldsRef = true;
            life_->worker = std::thread::id();
        }
        recordConversion(Failure{});
        if (!callback) {
            // The caller waits for the end anyway, so the conversion runs on
            // its thread; cancel and progress still reach it from others.
            run();
            return 1;
        }
        finishedPending_ = true;
        failure = failureOf([&] { start(); });
        if (failure.empty()) return 1;
        finishedPending_ = false;
        {
            std::lock_guard<std::mutex> lock(life_->mutex);
            life_->threadHoldsRef = false;
        }
        release();  // the caller's reference remains
        failure.text = "Unable to start the conversion thread: " + failure.text;
    }

    explainOutputFailure(conversionOutput_, failure);
    closeConversionFiles();
    setErr(failure);
    // The client may give up its last reference from the callback: nothing
    // of the object is touched after it.
    if (callback) notifier.send(CONVERT_EVENT_FAILURE, 100);
    return 0;
}

// The output is created (or truncated) only once the input has been read and
// both codecs have accepted the formats: a conversion that cannot run leaves
// an existing output as it was.
void SonxFile::setupConversion(bool& needsCounting, uint32_t& dataBegin, uint32_t& dataEnd) {
    openFile(input_, false, false);
    checkHandle(output_.handle);
    checkQcpRateSet(output_);
    needsCounting = parseInputFile(input_, dataBegin, dataEnd);
    checkDecodeRate(input_.fileFormat, output_.fileFormat);

    // Input side.
    if (input_.fileFormat.codec == CODEC_PCM) {
        AudioFormat& f = input_.fileFormat;
        // A WAV states its block alignment; it must be one mono sample.
        if (f.fileType == FILE_TYPE_WAV) checkPcmFormat(f, "input");
        normalisePcm(f);
        input_.decoderFormat = f;
    } else {
        attachDecoder(input_, input_.fileFormat);
    }

    // Output side.
    AudioFormat& out = output_.fileFormat;
    if (out.codec == CODEC_PCM) {
        normalisePcm(out);
        output_.encoderFormat = out;
    } else if (!(out.codec == input_.fileFormat.codec)) {
        attachEncoder(output_, out);
    } else {
        // Same codec: blocks are copied unchanged through one shared codec
        // object. The output keeps its own container (file type and size);
        // it is opened, and its RIFF access bound, for that one.
        const Guid fileType = out.fileType;
        const uint32_t size = out.size;
        out = input_.fileFormat;
        out.fileType = fileType;
        out.size = size;
        output_.encoder = input_.decoder;
        output_.encoder->AddRef();
        output_.encoderFormat = input_.decoderFormat;
        checkQcpRateSet(output_);
    }

    sizeBuffers(output_.fileFormat, input_.fileFormat, input_.decoderFormat, output_.encoderFormat, buffers_);
    checkOutputHeader(output_);

    // Input block count.
    if (needsCounting && input_.decoder)
        countPackets(input_, input_.decoder, dataBegin, dataEnd);
    else if (input_.fileFormat.fileType == FILE_TYPE_RAW)
        input_.blockCount =
            input_.fileFormat.size / input_.fileFormat.packetBytes;  // packetBytes checked above

    blocksDone_ = 0;
    totalBlocks_ = totalOutputBlocks(input_, output_);
    // An output of fixed-size blocks that cannot hold them all is refused
    // now, not after gigabytes of them have been written.
    const AudioFormat& written = output_.fileFormat;
    if (isFixedBlockFormat(written.dataFormat) &&
        (totalBlocks_ == UINT32_MAX ||
         uint64_t{outputHeaderBytes(written)} + uint64_t{totalBlocks_} * written.packetBytes > UINT32_MAX))
        failWith(SONX_ERR_TOO_LARGE, "Audio data would grow beyond 4 GB");

    if (output_.handle.type == FILE_HANDLE_NAME) {
        SafeOutputRequest request;
        if (input_.handle.type == FILE_HANDLE_NAME) request.input = input_.handle.fileName;
        conversionOutput_ = SafeOutput::begin(output_.handle.fileName ? output_.handle.fileName : "", request);
        output_.handle = conversionOutput_->handle();
    }
    openFile(output_, true, true);
    writeOutputHeader(output_);
}

void SonxFile::run() {
    const std::shared_ptr<Lifetime> life = life_;
    {
        std::lock_guard<std::mutex> lock(life->mutex);
        life->worker = std::this_thread::get_id();
    }
    const Notifier notifier = notifier_;
    const FileHandle output = output_.handle;  // closing forgets it
    const bool namedOutput = conversionOutput_ != nullptr;
    std::string committedName;  // a named output in place before the final event

    Failure failure = failureOf([&] {
        const uint32_t total = totalBlocks_;
        uint32_t last = 0;
        while (blocksDone_ < total) {
            if (cancelRequested_) failWith(SONX_ERR_CANCELLED, "The conversion was cancelled");
            const uint32_t readBefore = input_.blocksDone;
            const uint32_t written = convertPass(input_, output_, buffers_, carried_);
            if (written == 0 && input_.blocksDone == readBefore)
                failWith(SONX_ERR_READ,
                         "Conversion stopped: the input ended before the output was complete");
            const uint64_t done = uint64_t{blocksDone_} + written;
            blocksDone_ = static_cast<uint32_t>(std::min<uint64_t>(done, UINT32_MAX));
            if (blocksDone_ >= total) {
                // Done: close before the final event, after which the client
                // may reuse or release the object.
                closeFile(input_, true);
                closeFile(output_, false);
                if (namedOutput && conversionOutput_->isNewFile()) committedName = conversionOutput_->finalName();
                commitOutput(conversionOutput_);
                completed_ = true;
                recordConversion(Failure{});
            }
            const uint32_t percent = progress();
            if (percent != last || (notifier.withResult && !completed_)) {
                last = percent;
                if (notifier.send(CONVERT_EVENT_PROGRESS, percent)) stopAtProgress();
            }
        }
        if (total == 0) {
            // Nothing to convert: the final event still tells the client it ended.
            closeFile(input_, true);
            closeFile(output_, false);
            if (namedOutput && conversionOutput_->isNewFile()) committedName = conversionOutput_->finalName();
            commitOutput(conversionOutput_);
            completed_ = true;
            recordConversion(Failure{});
            if (notifier.send(CONVERT_EVENT_PROGRESS, 100)) stopAtProgress();
        }
    });
    if (!failure.empty()) {
        explainOutputFailure(conversionOutput_, failure);
        closeConversionFiles();
        if (failure.status == SONX_ERR_CANCELLED && !namedOutput) discardOutput(output);
        // A stop at the final progress comes after the output took its name:
        // a new file goes again, one that replaced a file (or a device) stays,
        // as removing it would cost the caller the file it had.
        std::error_code ignored;
        if (failure.status == SONX_ERR_CANCELLED && !committedName.empty())
            std::filesystem::remove(committedName, ignored);
        if (input_.salvage.lengthDamaged && !input_.salvage.salvaged) failure.status = SONX_ERR_DAMAGED;
        // The text is in place before the client hears of the failure.
        recordConversion(failure);
        notifier.send(CONVERT_EVENT_FAILURE, 100);
    }

    {
        std::lock_guard<std::mutex> lock(life->mutex);
        life->threadHoldsRef = false;
        life->releasing = true;
    }
    release();  // may destroy *this: only `life` is used from here on
    {
        std::lock_guard<std::mutex> lock(life->mutex);
        life->releasing = false;
    }
    life->changed.notify_all();
}

// A stop asked at the final progress still counts: the finished output goes.
void SonxFile::stopAtProgress() {
    if (!completed_) {
        cancelRequested_ = true;
        return;
    }
    completed_ = false;
    failWith(SONX_ERR_CANCELLED, "The conversion was cancelled");
}

// A stopped conversion leaves nothing a reader could take for a whole file:
// a client's output is emptied (a named one is left as it was).
void SonxFile::discardOutput(const FileHandle& handle) {
    if (handle.type == FILE_HANDLE_CLIENT && handle.callback)
        handle.callback(CLIENT_FILE_TRUNCATE, nullptr, 0, 0, handle.clientData);
}

uint32_t SonxFile::progress() {
    const uint32_t total = totalBlocks_;
    if (total == 0) return completed_ ? 100 : 0;
    return static_cast<uint32_t>(std::min<uint64_t>(100, uint64_t{blocksDone_} * 100 / total));
}

void SonxFile::salvageReport(SalvageReport* report) {
    if (report) *report = salvage_;
}

// ---- ISonxFile ----------------------------------------------------------------

uint8_t SonxFile::open(const FileHandle* handle, uint8_t write, const AudioFormat* fileFormat,
                       const AudioFormat* clientFormat) {
    return openSingle(handle, write, fileFormat, clientFormat, SALVAGE_REFUSE);
}

uint8_t SonxFile::openSingle(const FileHandle* handle, uint8_t write, const AudioFormat* fileFormat,
                             const AudioFormat* clientFormat, int32_t salvage) {
    clearErr();
    salvage_ = SalvageReport{};
    Failure failure = failureOf([&] {
        single_.forgetCarried();
        closeFile(single_.file, false);
        commitOutput(singleOutput_);
    });
    singleOutput_.reset();
    if (!failure.empty()) {
        setErr(failure);
        return 0;
    }
    if (!handle || !fileFormat || !clientFormat) {
        setErr({"No file handle or audio format given", SONX_ERR_INVALID});
        return 0;
    }
    AudioFile& f = single_.file;
    f = AudioFile{};
    f.handle = *handle;
    f.fileFormat = *fileFormat;
    f.clientFormat = *clientFormat;
    f.salvageRequested = salvage == SALVAGE_READ;
    normalisePcm(f.fileFormat);
    normalisePcm(f.clientFormat);

    if (write) {
        // Codecs and formats are settled before the file is created or
        // truncated, so a refused format leaves an existing file as it was.
        failure = failureOf([&] {
            checkHandle(f.handle);
            prepareWriting(f);
            sizeBuffers(f.fileFormat, f.clientFormat, f.decoderFormat, f.encoderFormat, single_.buffers);
            checkOutputHeader(f);
            if (f.handle.type == FILE_HANDLE_NAME) {
                singleOutput_ = SafeOutput::begin(f.handle.fileName ? f.handle.fileName : "");
                f.handle = singleOutput_->handle();
            }
            openFile(f, true, true);
            writeOutputHeader(f);
        });
    } else {
        failure = failureOf([&] {
            openFile(f, false, false);
            const InputDataRange range = prepareReading(f);
            sizeBuffers(f.clientFormat, f.fileFormat, f.decoderFormat, f.encoderFormat, single_.buffers);
            finishReading(f, range);
        });
    }
    salvage_ = f.salvage;
    if (!failure.empty() && salvage_.lengthDamaged && !salvage_.salvaged) failure.status = SONX_ERR_DAMAGED;
    // Also gives back codecs attached before a failed open.
    if (!failure.empty()) closeFile(f, true);
    if (!failure.empty()) {
        singleOutput_.reset();
        setErr(failure);
        return 0;
    }
    return 1;
}

uint8_t SonxFile::close(uint8_t flush) {
    clearErr();
    AudioFile& f = single_.file;
    Failure failure = failureOf([&] {
        if (flush && single_.isOpen() && f.openedForWriting) flushSingle(single_);
    });
    Failure closeFailure = failureOf([&] { closeFile(f, false); });
    single_.forgetCarried();
    if (failure.empty()) failure = closeFailure;
    if (failure.empty()) failure = failureOf([&] { commitOutput(singleOutput_); });
    explainOutputFailure(singleOutput_, failure);
    singleOutput_.reset();
    if (!failure.empty()) {
        setErr(failure);
        return 0;
    }
    return 1;
}

uint32_t SonxFile::read(uint32_t count, uint8_t* buffer, uint32_t* bytesOut) {
    clearErr();
    if (!single_.isOpen() || single_.file.openedForWriting) {
        setErr({"Error: file not open for reading", SONX_ERR_INVALID});
        return 0;
    }
    uint32_t delivered = 0, result = 0;
    const Failure failure =
        failureOf([&] { result = readSingle(single_, count, buffer, bytesOut, delivered); });
    if (failure.empty()) return result;  // a size query delivers nothing but answers
    single_.forgetCarried();
    setErr(failure);
    return delivered;
}

uint32_t SonxFile::write(uint32_t count, const uint8_t* data, uint32_t* bytesOut) {
    clearErr();
    if (!single_.isOpen() || !single_.file.openedForWriting) {
        setErr({"Error: file not open for writing", SONX_ERR_INVALID});
        return 0;
    }
    uint32_t written = 0;
    const Failure failure = failureOf([&] { writeSingle(single_, count, data, bytesOut, written); });
    if (!failure.empty()) {
        single_.forgetCarried();
        setErr(failure);
    }
    return written;
}

uint32_t SonxFile::seek(uint32_t block) {
    clearErr();
    if (!single_.isOpen() || single_.file.openedForWriting) {
        setErr({"Error: file not open for reading", SONX_ERR_INVALID});
        return 0;
    }
    uint32_t reached = 0;
    const Failure failure = failureOf([&] { seekSingle(single_, block, reached); });
    if (!failure.empty()) setErr(failure);
    return reached;
}

uint32_t SonxFile::blocksDone() {
    return single_.file.blocksDone;
}

uint32_t SonxFile::blockCount() {
    // A file being written holds the blocks written so far.
    return single_.file.openedForWriting ? single_.file.blocksDone : single_.file.blockCount;
}

void SonxFile::fileFormat(AudioFormat* format) {
    if (format) *format = single_.file.fileFormat;
}

}  // namespace sonx
