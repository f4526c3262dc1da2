// SonxFile: the working object of the library. One-call file-to-file
// conversion, on its own thread when a callback follows it (ISonxConvertFile), block-by-block access to a
// single file (ISonxFile) and the optional chunks of QCP files
// (ISonxQcpChunks); what a damaged input held (ISonxSalvage); both kinds of
// work as a ConversionRequest asks (ISonxRequest).
#ifndef SONX_CONVERT_SONX_FILE_H
#define SONX_CONVERT_SONX_FILE_H

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sonx/component/component.h"
#include "sonx/component/threads.h"
#include "sonx/convert/single_file.h"
#include "sonx/fileio/audio_file.h"
#include "sonx/fileio/packet_pump.h"
#include "sonx/fileio/safe_output.h"
#include "sonx/sonx.h"

namespace sonx {

class SonxFile final : public ISonxFile,
                       public ISonxConvertFile,
                       public ISonxQcpChunks,
                       public ISonxSalvage,
                       public ISonxFileFacts,
                       public ISonxRequest,
                       public ISonxError,
                       public ComponentBase,
                       public ThreadedObject {
public:
    SonxFile();
    ~SonxFile() override;

    // ISonxUnknown
    int32_t AddRef() override;
    int32_t Release() override;
    void* QueryInterface(const Guid& iid) override;

    // ISonxFileFacts
    int32_t describe(const FileHandle* file, FileFactsCore* facts, FileFactTexts* texts) override;

    // ISonxError
    uint8_t hasError() override;
    const char* errorText() override;
    int32_t errorCode() override;

    // ISonxConvertFile
    uint8_t convert(const FileHandle* input, const AudioFormat* inputFormat, const FileHandle* output,
                    const AudioFormat* outputFormat, ConvertCallback callback, uint32_t userData) override;
    uint32_t progress() override;
    uint8_t convertWithProgress(const FileHandle* input, const AudioFormat* inputFormat, const FileHandle* output,
                                const AudioFormat* outputFormat, ConvertProgressCallback callback,
                                uintptr_t userData) override;
    void cancel() override;

    // ISonxRequest
    uint8_t convertRequest(const FileHandle* input, const FileHandle* output, const ConversionRequest* request,
                           ConvertProgressCallback callback, uintptr_t userData) override;
    uint8_t openRequest(const FileHandle* file, const ConversionRequest* request) override;

    // ISonxFile
    uint8_t open(const FileHandle* handle, uint8_t write, const AudioFormat* fileFormat,
                 const AudioFormat* clientFormat) override;
    uint8_t close(uint8_t flush) override;
    uint32_t read(uint32_t count, uint8_t* buffer, uint32_t* bytesOut) override;
    uint32_t write(uint32_t count, const uint8_t* data, uint32_t* bytesOut) override;
    uint32_t seek(uint32_t block) override;
    uint32_t blocksDone() override;
    uint32_t blockCount() override;
    void fileFormat(AudioFormat* format) override;

    // ISonxQcpChunks
    uint8_t getCnfgChunk(const FileHandle* file, uint16_t* value) override;
    uint8_t setCnfgChunk(const FileHandle* file, uint16_t value) override;
    uint32_t getTextChunk(const FileHandle* file, uint8_t* buffer, uint32_t length) override;
    uint8_t setTextChunk(const FileHandle* file, const uint8_t* text, uint32_t length) override;
    uint8_t getLablChunk(const FileHandle* file, uint8_t* buffer, uint32_t length) override;
    uint8_t setLablChunk(const FileHandle* file, const uint8_t* label, uint32_t length) override;

    // ISonxSalvage
    void salvageReport(SalvageReport* report) override;

protected:
    // The conversion loop: on the conversion thread, or on the caller's
    // when it has no callback and waits for the end.
    void run() override;

private:
    // How a running conversion and the client's references meet. The
    // conversion thread holds a reference of its own while it runs, so the
    // object cannot vanish under it; a client that gives up its last
    // reference meanwhile waits in Release until the conversion has ended
    // (unless it does so on the conversion thread itself, from the
    // callback: then the conversion finishes and the thread destroys the
    // object). Shared so it outlives the object for whoever still waits.
    struct Lifetime {
        std::mutex mutex;
        std::condition_variable changed;
        bool threadHoldsRef = false;  // the conversion thread owns one reference
        bool releasing = false;       // ...and is giving it back right now
        std::thread::id worker;
    };

    // Whichever of the two callback kinds a conversion was started with.
    struct Notifier {
        ConvertCallback legacy = nullptr;
        ConvertProgressCallback withResult = nullptr;
        uintptr_t userData = 0;
        bool any() const { return legacy || withResult; }
        // True when the callback asks to stop.
        bool send(uint32_t event, uint32_t value) const;
    };

    uint8_t startConversion(const FileHandle* input, const AudioFormat* inputFormat, const FileHandle* output,
                            const AudioFormat* outputFormat, int32_t salvage, Notifier notifier);
    // The callback asked to stop: a running conversion is cancelled; a
    // finished one fails as cancelled (throws), so its output is removed.
    void stopAtProgress();
    uint8_t openSingle(const FileHandle* handle, uint8_t write, const AudioFormat* fileFormat,
                       const AudioFormat* clientFormat, int32_t salvage);
    void discardOutput(const FileHandle& handle);
    // Puts the closed output in place; a failure is thrown.
    static void commitOutput(std::unique_ptr<SafeOutput>& output);
    static void explainOutputFailure(const std::unique_ptr<SafeOutput>& output, Failure& failure);
    void setupConversion(bool& needsCounting, uint32_t& dataBegin, uint32_t& dataEnd);
    // Waits until a conversion thread started earlier has ended completely.
    void waitForConversionEnd();
    bool onConversionThread();
    void closeConversionFiles();

    // Two records, so a conversion running on its thread and the caller's
    // own calls meanwhile never overwrite each other's result: the caller's
    // calls write callRecord_; the conversion writes conversionRecord_ when it
    // starts and when it ends, and from then until the next call that record
    // is the one ISonxError tells.
    void clearErr();
    void setErr(Failure failure);
    void recordConversion(Failure result);
    const Failure& shownRecord() const { return showsConversion_ ? conversionRecord_ : callRecord_; }

    const std::shared_ptr<Lifetime> life_;

    SingleFile single_;
    AudioFile input_;
    AudioFile output_;
    PumpBuffers buffers_;
    uint32_t carried_ = 0;

    std::atomic<uint32_t> blocksDone_{0};
    std::atomic<uint32_t> totalBlocks_{0};
    std::atomic<bool> completed_{false};
    bool finishedPending_ = false;  // a finished signal of a started thread not yet consumed
    std::mutex errorLock_;  // guards the records below
    Failure callRecord_;
    Failure conversionRecord_;
    bool showsConversion_ = false;
    Notifier notifier_;
    std::atomic<bool> cancelRequested_{false};
    // Named outputs in the making: the conversion's, and the single file's
    // when open for writing. Each takes its name when it is complete.
    std::unique_ptr<SafeOutput> conversionOutput_;
    std::unique_ptr<SafeOutput> singleOutput_;
    SalvageReport salvage_;  // of the last convert or open
};

}  // namespace sonx

#endif  // SONX_CONVERT_SONX_FILE_H
