// The C interface of safe outputs and spools: thin calls onto SafeOutput
// and Spool, their failures kept as the calling thread's.
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "sonx/capi/last_error.h"
#include "sonx/fileio/native_io.h"
#include "sonx/fileio/safe_output.h"
#include "sonx/sonx_c.h"

struct sonx_output {
    std::unique_ptr<sonx::SafeOutput> output;
};

struct sonx_spool {
    sonx::Spool spool;
};

namespace sonx {
namespace {

sonx_file_handle handleOf(const FileHandle& file) {
    sonx_file_handle handle{};
    if (file.type == FILE_HANDLE_NAME) handle.name = file.fileName;
    if (file.type == FILE_HANDLE_CLIENT) {
        handle.serve = file.callback;
        handle.client_data = file.clientData;
    }
    return handle;
}

int noHandle() { return remember(SONX_ERR_INVALID, "No output, spool or result given"); }

// Runs `step`, keeping its failure as the thread's; SONX_OK clears it.
template <typename Step>
int recorded(Step step) {
    try {
        step();
        return remember(SONX_OK, "");
    } catch (...) {
        return rememberCurrentFailure();
    }
}

}  // namespace
}  // namespace sonx

using namespace sonx;

int sonx_output_begin(const char* path, const sonx_output_request* request, sonx_output** output) {
    if (!output) return noHandle();
    *output = nullptr;
    if (!path) return remember(SONX_ERR_INVALID, "No output path given");
    return recorded([&] {
        SafeOutputRequest made;
        if (request) {
            made.input = request->input;
            made.keepInputTimes = request->keep_input_times != 0;
        }
        auto begun = std::make_unique<sonx_output>();
        begun->output = SafeOutput::begin(path, made);
        *output = begun.release();
    });
}

int sonx_output_begin_standard(sonx_output** output) {
    if (!output) return noHandle();
    *output = nullptr;
    return recorded([&] {
        auto begun = std::make_unique<sonx_output>();
        begun->output = SafeOutput::toStandardOutput();
        *output = begun.release();
    });
}

int sonx_output_handle(const sonx_output* output, sonx_file_handle* handle) {
    if (handle) *handle = sonx_file_handle{};
    if (!output || !handle) return noHandle();
    *handle = handleOf(output->output->handle());
    return SONX_OK;
}

const char* sonx_output_name(const sonx_output* output) {
    return output ? output->output->finalName().c_str() : "";
}

int sonx_output_write_failure(const sonx_output* output) {
    if (!output) return noHandle();
    return recorded([&] { output->output->explainFailure(); });
}

int sonx_output_commit(sonx_output* output, int* unsynced_error) {
    if (unsynced_error) *unsynced_error = 0;
    if (!output) return noHandle();
    const std::unique_ptr<sonx_output> owned(output);
    return recorded([&] {
        const int unsynced = owned->output->commit();
        if (unsynced_error) *unsynced_error = unsynced;
    });
}

void sonx_output_discard(sonx_output* output) { delete output; }

int sonx_output_commit_group(sonx_output* const* outputs, size_t count, sonx_output_outcome* outcomes) {
    if (count && (!outputs || !outcomes)) return noHandle();
    std::vector<std::unique_ptr<sonx_output>> owned(outputs, outputs + count);
    std::vector<SafeOutput*> group;
    for (const auto& output : owned)
        if (output) group.push_back(output->output.get());
    std::vector<SafeOutput::Outcome> results;
    try {
        results = SafeOutput::commitTogether(group);
    } catch (...) {
        // Only memory can fail here: no output has been touched yet.
        return rememberCurrentFailure();
    }
    LastError first;
    for (std::size_t n = 0, next = 0; n < count; ++n) {
        sonx_output_outcome& outcome = outcomes[n];
        outcome = sonx_output_outcome{};
        LastError told;
        if (!owned[n]) {
            told.status = SONX_ERR_INVALID;
            told.text = "No output given";
        } else if (const SafeOutput::Outcome& result = results[next++]; result.failure) {
            try {
                std::rethrow_exception(result.failure);
            } catch (...) {
                rememberCurrentFailure();
                told = threadLastError();
            }
        } else {
            outcome.unsynced_error = result.unsyncedError;
        }
        outcome.status = told.status;
        outcome.system_error = told.systemError;
        copyText(told.text, outcome.message, sizeof outcome.message);
        copyText(told.folder, outcome.folder, sizeof outcome.folder);
        if (first.status == SONX_OK) first = told;
    }
    return rememberSystem(first.status, first.text, first.systemError, first.folder);
}

int sonx_spool_new(sonx_spool** spool) {
    if (!spool) return noHandle();
    *spool = nullptr;
    return recorded([&] { *spool = new sonx_spool(); });
}

void sonx_spool_free(sonx_spool* spool) { delete spool; }

int sonx_spool_fill(sonx_spool* spool, int descriptor, const char* what) {
    if (!spool) return noHandle();
    return recorded([&] { spool->spool.fillFrom(descriptor, what ? what : "the descriptor"); });
}

int sonx_spool_size(const sonx_spool* spool, uint64_t* size) {
    if (size) *size = 0;
    if (!spool || !size) return noHandle();
    return recorded([&] { *size = spool->spool.size(); });
}

int sonx_spool_read_at(const sonx_spool* spool, uint64_t offset, void* buffer, size_t length, size_t* got) {
    if (got) *got = 0;
    if (!spool || !got || (!buffer && length)) return noHandle();
    return recorded([&] { *got = spool->spool.readAt(offset, static_cast<uint8_t*>(buffer), length); });
}

int sonx_spool_write_at(sonx_spool* spool, uint64_t offset, const void* data, size_t length) {
    if (!spool || (!data && length)) return noHandle();
    return recorded([&] { spool->spool.writeAt(offset, static_cast<const uint8_t*>(data), length); });
}

int sonx_spool_handle(sonx_spool* spool, sonx_file_handle* handle) {
    if (handle) *handle = sonx_file_handle{};
    if (!spool || !handle) return noHandle();
    *handle = handleOf(spool->spool.handle());
    return SONX_OK;
}

int sonx_open_descriptor(const char* path, int* descriptor) {
    if (!descriptor) return noHandle();
    *descriptor = -1;
    if (!path) return remember(SONX_ERR_INVALID, "No path given");
    const int opened = native_io::openNamed(path, native_io::OpenFor::Reading);
    if (opened < 0) {
        const int error = errno;
        return rememberSystem(SONX_ERR_OPEN, std::string("Error opening file: ") + native_io::errorText(error), error);
    }
    *descriptor = opened;
    return remember(SONX_OK, "");
}

int sonx_close_descriptor(int descriptor) {
    if (native_io::close(descriptor) == 0) return remember(SONX_OK, "");
    const int error = errno;
    return rememberSystem(SONX_ERR_FAILED, std::string("Error closing file: ") + native_io::errorText(error), error);
}

int sonx_last_system_error(int* error_number, char* folder, size_t length) {
    const LastError& slot = threadLastError();
    if (error_number) *error_number = slot.systemError;
    copyText(slot.folder, folder, length);
    return slot.status;
}

const char* sonx_system_error_text(int error_number) { return native_io::errorText(error_number); }
