// Arbitrary bytes as a QCP or WAV input file, served from memory through the
// client callback, converted through the library interface: every input to
// 16-bit PCM WAV; a WAV input also to QCP (rate set from the input length)
// and to G.711 WAV; a QCP input also to QCP (same codec, blocks copied);
// every input once more to PCM WAV with FORMAT_OPTION_SALVAGE.
// Each output must be a file that claims no more than it holds, a failure
// must leave an error text, the input is never written, and the salvage
// report must agree with itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mem_file.h"
#include "sonx/sonx.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_convert: %s: %s\n", what, detail.c_str());
    std::abort();
}

sonx::AudioFormat pcmWav() {
    sonx::AudioFormat f;
    f.fileType = sonx::FILE_TYPE_WAV;
    f.codec = sonx::CODEC_PCM;
    f.sampleRate = 8000;
    f.sampleBits = 16;
    return f;
}

void convertOnce(sonx::ISonxConvertFile* converter, sonx::ISonxError* error, const uint8_t* data, size_t size,
                 const sonx::AudioFormat& inputFormat, const sonx::AudioFormat& outputFormat,
                 size_t outputLimit, const char* what) {
    fuzz::MemFile input;
    input.bytes.assign(data, data + size);
    fuzz::MemFile output;
    output.writable = true;
    output.limit = outputLimit;
    const sonx::FileHandle in = input.handle(), out = output.handle();

    const bool started = converter->convert(&in, &inputFormat, &out, &outputFormat, nullptr, 0);
    const bool failed = !started || error->hasError();
    if (failed && std::strlen(error->errorText()) == 0) fail(what, "failure without an error text");
    if (input.bytes.size() != size || (size && std::memcmp(input.bytes.data(), data, size) != 0))
        fail(what, "input was modified");
    if (!failed) {
        const bool qcp = outputFormat.fileType == sonx::FILE_TYPE_QCP;
        const std::string why = fuzz::checkRiffOutput(output.bytes, qcp);
        if (!why.empty()) fail(what, why);
    }
    auto* salvage = sonx::queryInterface<sonx::ISonxSalvage>(converter);
    if (!salvage) fail(what, "no ISonxSalvage");
    sonx::SalvageReport report;
    salvage->salvageReport(&report);
    salvage->Release();
    const bool asked = (inputFormat.option & sonx::FORMAT_OPTION_SALVAGE) != 0;
    if (report.salvaged && (!asked || !report.lengthDamaged)) fail(what, "salvaged without the option or damage");
    if (report.promiseKnown && report.blocksPromised < report.blocksRead)
        fail(what, "more blocks read than the header promises");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Larger inputs only make each run slower: a QCP 'data' chunk of blank
    // packets decodes 160 samples per byte.
    if (size > 8192) return 0;
    auto* converter = sonx::createInstance<sonx::ISonxConvertFile>(sonx::CLSID_SonxFile);
    if (!converter) fail("setup", "no SonxFile");
    auto* error = sonx::queryInterface<sonx::ISonxError>(converter);
    if (!error) fail("setup", "no ISonxError");

    const bool wav = size >= 12 && std::memcmp(data + 8, "WAVE", 4) == 0;
    sonx::AudioFormat inputFormat;
    if (wav) {
        inputFormat = pcmWav();
    } else {
        inputFormat.fileType = sonx::FILE_TYPE_QCP;
        inputFormat.option = static_cast<int32_t>(size % 8);
    }

    // 1 MiB of PCM is about 400 decoded frames; enough to pass every pass
    // boundary while keeping a run short.
    convertOnce(converter, error, data, size, inputFormat, pcmWav(), 1 << 20, "to PCM WAV");
    sonx::AudioFormat salvaging = inputFormat;
    salvaging.option |= sonx::FORMAT_OPTION_SALVAGE;
    convertOnce(converter, error, data, size, salvaging, pcmWav(), 1 << 20, "salvaged to PCM WAV");

    if (wav) {
        static const sonx::Guid* const kRateSets[] = {&sonx::RATE_SET_VFR, &sonx::RATE_SET_VHR,
                                                      &sonx::RATE_SET_FFR, &sonx::RATE_SET_FHR};
        sonx::AudioFormat qcp;
        qcp.fileType = sonx::FILE_TYPE_QCP;
        qcp.codec = sonx::CODEC_QCELP13K;
        qcp.dataFormat = *kRateSets[size % 4];
        convertOnce(converter, error, data, size, inputFormat, qcp, 16 << 10, "to QCP");

        sonx::AudioFormat mulaw;
        mulaw.fileType = sonx::FILE_TYPE_WAV;
        mulaw.codec = sonx::CODEC_G711_ULAW;
        mulaw.dataFormat = sonx::DATA_FORMAT_SAMPLES;
        mulaw.sampleRate = 8000;
        mulaw.sampleBits = 8;
        convertOnce(converter, error, data, size, inputFormat, mulaw, 256 << 10, "to G.711 WAV");
    } else {
        sonx::AudioFormat qcp;
        qcp.fileType = sonx::FILE_TYPE_QCP;
        qcp.codec = sonx::CODEC_QCELP13K;
        qcp.dataFormat = sonx::RATE_SET_VFR;
        convertOnce(converter, error, data, size, inputFormat, qcp, 64 << 10, "QCP to QCP");
    }

    error->Release();
    converter->Release();
    return 0;
}
