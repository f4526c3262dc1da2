// Converts a WAV file (PCM, float, A-law or mu-law, at any rate, up to 8
// channels) into an 8 kHz mono WAV file, 16-bit PCM or (with --mulaw) G.711
// mu-law, printing the progress the library reports.
//
//   example_convert_file [--mulaw] input.wav output.wav
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "sonx/sonx.h"

namespace {

// The conversion runs on the library's own thread; the callback hands its
// events over to the main thread.
struct Progress {
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
    bool failed = false;
};

Progress progress;

void onEvent(uint32_t event, uint32_t value, uint32_t /*userData*/) {
    std::lock_guard<std::mutex> lock(progress.mutex);
    if (event == sonx::CONVERT_EVENT_PROGRESS) {
        std::fprintf(stderr, "\r%3u%%", value);
        if (value == 100) progress.ended = true;
    } else if (event == sonx::CONVERT_EVENT_FAILURE) {
        progress.failed = progress.ended = true;
    }
    progress.changed.notify_all();
}

}  // namespace

int main(int argc, char** argv) {
    bool mulaw = false;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--mulaw") == 0) {
        mulaw = true;
        first = 2;
    }
    if (argc - first != 2) {
        std::fprintf(stderr, "usage: %s [--mulaw] input.wav output.wav\n", argv[0]);
        return 2;
    }

    auto* converter = sonx::createInstance<sonx::ISonxConvertFile>(sonx::CLSID_SonxFile);
    if (!converter) {
        std::fprintf(stderr, "cannot create the converter\n");
        return 1;
    }
    auto* errors = sonx::queryInterface<sonx::ISonxError>(converter);

    const sonx::FileHandle input = sonx::FileHandle::named(argv[first]);
    const sonx::FileHandle output = sonx::FileHandle::named(argv[first + 1]);

    // The input's header states its codec, rate and width; only the
    // container and the way its data is cut into blocks are given here.
    sonx::AudioFormat inFormat;
    inFormat.fileType = sonx::FILE_TYPE_WAV;
    inFormat.codec = sonx::CODEC_PCM;
    inFormat.dataFormat = sonx::DATA_FORMAT_SAMPLES;

    sonx::AudioFormat outFormat;
    outFormat.fileType = sonx::FILE_TYPE_WAV;
    outFormat.codec = mulaw ? sonx::CODEC_G711_ULAW : sonx::CODEC_PCM;
    outFormat.dataFormat = sonx::DATA_FORMAT_SAMPLES;
    outFormat.sampleRate = 8000;
    outFormat.sampleBits = 16;

    int status = 0;
    if (!converter->convert(&input, &inFormat, &output, &outFormat, onEvent, 0)) {
        std::fprintf(stderr, "conversion not started: %s\n", errors->errorText());
        status = 1;
    } else {
        std::unique_lock<std::mutex> lock(progress.mutex);
        progress.changed.wait(lock, [] { return progress.ended; });
        if (progress.failed) {
            lock.unlock();
            std::fprintf(stderr, "\nconversion failed: %s\n", errors->errorText());
            status = 1;
        } else {
            std::fprintf(stderr, "\ndone\n");
        }
    }
    // Giving back the last reference waits for the conversion thread to end.
    errors->Release();
    converter->Release();
    return status;
}
