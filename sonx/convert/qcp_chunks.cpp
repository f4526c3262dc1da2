// The optional 'cnfg', 'text' and 'labl' chunks of a QCP file. Every call
// opens the file in a record of its own, so neither the single file nor a
// running conversion is touched.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "sonx/component/status.h"
#include "sonx/convert/sonx_file.h"
#include "sonx/fileio/safe_output.h"

namespace sonx {

namespace {

constexpr uint32_t kRiffHeaderBytes = 12;
constexpr uint32_t kLabelBytes = 48;

// A private record that is closed (quietly) on every way out.
class ChunkFile {
public:
    ChunkFile() = default;
    ChunkFile(const ChunkFile&) = delete;
    ChunkFile& operator=(const ChunkFile&) = delete;
    ~ChunkFile() { closeFile(file_, true); }

    void open(const FileHandle* handle, bool update) {
        if (!handle) failWith(SONX_ERR_INVALID, "No file handle given");
        file_.handle = *handle;
        if (update && handle->type == FILE_HANDLE_NAME) {
            // A named file is edited as a copy that takes its name when done,
            // so a failure half-way cannot leave it damaged.
            edited_ = SafeOutput::begin(handle->fileName ? handle->fileName : "");
            file_.handle = edited_->handle();
            explained([&] { copyFile(*handle, file_.handle); });
        }
        file_.fileFormat.fileType = FILE_TYPE_QCP;
        openFile(file_, false, update);
        checkQcpHeader();
    }

    // Searches the whole file after the RIFF header.
    bool find(const char* id, uint32_t& position, uint32_t& length) {
        position = kRiffHeaderBytes;
        length = regionLength();
        if (length == 0) return false;
        return findRiffChunk(file_.riff, id, position, length);
    }

    void read(uint32_t position, uint8_t* buffer, uint32_t count) {
        seekFile(file_, position);
        if (count) readFile(file_, buffer, count);
    }

    void set(const char* id, const char* afterId, const uint8_t* data, uint32_t length) {
        explained([&] { setRiffChunk(file_.riff, id, afterId, data, length, kRiffHeaderBytes, regionLength()); });
    }

    // A close that fails after an update is worth reporting.
    void finish(bool update) {
        explained([&] { closeFile(file_, !update); });
        if (edited_) edited_->commit();
    }

private:
    uint32_t regionLength() const {
        return file_.riff.size > kRiffHeaderBytes ? file_.riff.size - kRiffHeaderBytes : 0;
    }

    // Chunks belong to QCP files; updating rewrites the RIFF size and moves
    // bytes, so anything else is refused before it is touched.
    void checkQcpHeader() {
        uint8_t form[4] = {};
        try {
            readRiffHeader(file_.riff, form);
        } catch (const std::runtime_error& e) {
            failWith(currentStatus(), std::string("File is not a valid QCP file: ") + e.what());
        }
        if (std::memcmp(form, "QLCM", 4) != 0)
            failWith(SONX_ERR_NOT_AUDIO, "File does not appear to be a QCP file (RIFF type tag is not 'QLCM')");
    }

    // The writers only know that a write into a spool came up short; the
    // edited copy knows the system's reason.
    template <class Body>
    void explained(Body&& body) {
        try {
            body();
        } catch (const std::exception&) {
            if (edited_) edited_->explainFailure();
            throw;
        }
    }

    static void copyFile(const FileHandle& from, const FileHandle& to) {
        AudioFile source, target;
        source.handle = from;
        target.handle = to;
        openFile(source, false, false);
        try {
            openFile(target, true, true);
            uint8_t buffer[65536];
            for (uint32_t left = source.fileFormat.size; left > 0;) {
                const uint32_t count = std::min<uint32_t>(left, sizeof buffer);
                readFile(source, buffer, count);
                writeFile(target, buffer, count);
                left -= count;
            }
            closeFile(target, false);
        } catch (...) {
            closeFile(source, true);
            closeFile(target, true);
            throw;
        }
        closeFile(source, true);
    }

    std::unique_ptr<SafeOutput> edited_;  // a named file being updated
    AudioFile file_;
};

}  // namespace

uint8_t SonxFile::getCnfgChunk(const FileHandle* file, uint16_t* value) {
    clearErr();
    Failure failure = failureOf([&] {
        ChunkFile chunks;
        chunks.open(file, false);
        uint32_t position = 0, length = 0;
        if (!chunks.find("cnfg", position, length))
            failWith(SONX_ERR_NO_CHUNK, "unable to find 'cnfg' chunk in QCP file");
        if (length != 2) failWith(SONX_ERR_DAMAGED, "'cnfg' chunk in QCP file has inproper size");
        if (!value) failWith(SONX_ERR_INVALID, "No value given to fill");
        uint8_t bytes[2];
        chunks.read(position, bytes, 2);
        *value = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
        chunks.finish(false);
    });
    if (failure.empty()) return 1;
    failure.text = "Error in getCnfgChunk: " + failure.text;
    setErr(failure);
    return 0;
}

uint8_t SonxFile::setCnfgChunk(const FileHandle* file, uint16_t value) {
    clearErr();
    Failure failure = failureOf([&] {
        ChunkFile chunks;
        chunks.open(file, true);
        const uint8_t bytes[2] = {static_cast<uint8_t>(value & 0xff), static_cast<uint8_t>(value >> 8)};
        chunks.set("cnfg", "data", bytes, 2);
        chunks.finish(true);
    });
    if (failure.empty()) return 1;
    failure.text = "Error in setCnfgChunk: " + failure.text;
    setErr(failure);
    return 0;
}

uint32_t SonxFile::getTextChunk(const FileHandle* file, uint8_t* buffer, uint32_t length) {
    clearErr();
    uint32_t result = 0;
    Failure failure = failureOf([&] {
        ChunkFile chunks;
        chunks.open(file, false);
        uint32_t position = 0, stored = 0;
        if (!chunks.find("text", position, stored))
            failWith(SONX_ERR_NO_CHUNK, "unable to find 'text' chunk in QCP file");
        if (length == 0) {
            result = stored;  // the size a caller needs
        } else {
            if (!buffer) failWith(SONX_ERR_INVALID, "No buffer given to fill");
            result = std::min(stored, length);
            chunks.read(position, buffer, result);
        }
        chunks.finish(false);
    });
    if (failure.empty()) return result;
    failure.text = "Error in getTextChunk: " + failure.text;
    setErr(failure);
    return 0;
}

uint8_t SonxFile::setTextChunk(const FileHandle* file, const uint8_t* text, uint32_t length) {
    clearErr();
    Failure failure = failureOf([&] {
        if (length > 0 && !text) failWith(SONX_ERR_INVALID, "No text given");
        ChunkFile chunks;
        chunks.open(file, true);
        uint32_t position = 0, stored = 0;
        const bool haveCnfg = chunks.find("cnfg", position, stored);
        chunks.set("text", haveCnfg ? "cnfg" : "data", text, length);
        chunks.finish(true);
    });
    if (failure.empty()) return 1;
    failure.text = "Error in setTextChunk: " + failure.text;
    setErr(failure);
    return 0;
}

uint8_t SonxFile::getLablChunk(const FileHandle* file, uint8_t* buffer, uint32_t length) {
    clearErr();
    Failure failure = failureOf([&] {
        ChunkFile chunks;
        chunks.open(file, false);
        uint32_t position = 0, stored = 0;
        if (!chunks.find("labl", position, stored))
            failWith(SONX_ERR_NO_CHUNK, "unable to find 'labl' chunk in QCP file");
        if (stored != kLabelBytes) failWith(SONX_ERR_DAMAGED, "'labl' chunk in QCP file has inproper size");
        const uint32_t count = std::min(length, kLabelBytes);
        if (count > 0 && !buffer) failWith(SONX_ERR_INVALID, "No buffer given to fill");
        chunks.read(position, buffer, count);
        chunks.finish(false);
    });
    if (failure.empty()) return 1;
    failure.text = "Error in getLablChunk: " + failure.text;
    setErr(failure);
    return 0;
}

uint8_t SonxFile::setLablChunk(const FileHandle* file, const uint8_t* label, uint32_t length) {
    clearErr();
    Failure failure = failureOf([&] {
        const uint32_t count = std::min(length, kLabelBytes);
        if (count > 0 && !label) failWith(SONX_ERR_INVALID, "No label given");
        uint8_t bytes[kLabelBytes] = {};
        if (count) std::memcpy(bytes, label, count);
        ChunkFile chunks;
        chunks.open(file, true);
        chunks.set("labl", "vrat", bytes, kLabelBytes);
        chunks.finish(true);
    });
    if (failure.empty()) return 1;
    failure.text = "Error in setLablChunk: " + failure.text;
    setErr(failure);
    return 0;
}

}  // namespace sonx
