// Arbitrary bytes as a QCP or WAV input file, served from memory through the
// client callback, converted through the library interface: every input to
// 16-bit PCM WAV; a WAV input also to QCP (rate set from the input length)
// and to G.711 WAV; a QCP input also to QCP (same codec, blocks copied);
// every input once more to PCM WAV with FORMAT_OPTION_SALVAGE.
// Each output must be a file that claims no more than it holds and lasts as
// long as the input blocks read (resampled to the output's rate, QCP packets
// of 160 samples), a failure must leave an error text, the input is never
// written, and the salvage report must agree with itself and, for an
// undamaged input, with the file's facts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mem_file.h"
#include "sonx/fileio/sample_convert.h"
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

constexpr uint32_t kPacketSamples = 160;

// The output blocks a conversion of `blocksRead` input blocks must give at
// the output's rate: as long, the last packet of a QCP filled up.
uint64_t expectedBlocks(bool qcpInput, uint32_t inputRate, uint64_t blocksRead, bool qcpOutput, uint32_t outputRate,
                        bool copiesPackets) {
    if (copiesPackets) return blocksRead;
    const uint64_t inputSamples = qcpInput ? blocksRead * kPacketSamples : blocksRead;
    const uint64_t samples = sonx::convertedSampleCount(inputSamples, inputRate, outputRate);
    if (qcpOutput) return (samples + kPacketSamples - 1) / kPacketSamples;
    return samples;
}

void convertOnce(sonx::ISonxConvertFile* converter, sonx::ISonxError* error, const uint8_t* data, size_t size,
                 const sonx::FileFactsCore& facts, const sonx::AudioFormat& inputFormat,
                 const sonx::AudioFormat& outputFormat, size_t outputLimit, const char* what) {
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
    auto* salvage = sonx::queryInterface<sonx::ISonxSalvage>(converter);
    if (!salvage) fail(what, "no ISonxSalvage");
    sonx::SalvageReport report;
    salvage->salvageReport(&report);
    salvage->Release();
    const bool asked = (inputFormat.option & sonx::FORMAT_OPTION_SALVAGE) != 0;
    if (!failed) {
        const bool qcp = outputFormat.fileType == sonx::FILE_TYPE_QCP;
        const std::string why = fuzz::checkRiffOutput(output.bytes, qcp);
        if (!why.empty()) fail(what, why);
        // A QCP decodes at 8000 Hz whatever its header says; a WAV's rate is
        // known only from its facts.
        const bool qcpInput = inputFormat.fileType == sonx::FILE_TYPE_QCP;
        const bool copies = qcp && qcpInput && facts.codec == outputFormat.codec;
        const uint32_t inputRate = qcpInput ? 8000 : facts.kind == sonx::FILE_KIND_WAV ? facts.sampleRate : 0;
        const fuzz::OutputLength written = fuzz::outputLength(output.bytes, qcp);
        const uint64_t expected = expectedBlocks(qcpInput, inputRate, report.blocksRead, qcp, written.rate, copies);
        if (inputRate && (written.blocks < 0 || uint64_t(written.blocks) != expected))
            fail(what, "output of " + std::to_string(written.blocks) + " blocks at " + std::to_string(written.rate) +
                           " Hz for " + std::to_string(report.blocksRead) + " input blocks; " +
                           std::to_string(expected) + " expected");
        const uint64_t present = facts.kind == sonx::FILE_KIND_QCP ? facts.packets : facts.samples;
        if (!facts.cutShort && !report.lengthDamaged && report.blocksRead != present)
            fail(what, std::to_string(report.blocksRead) + " blocks read of an undamaged input whose facts say " +
                           std::to_string(present));
    }
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
    sonx::FileFactsCore facts;
    {
        auto* describer = sonx::queryInterface<sonx::ISonxFileFacts>(converter);
        if (!describer) fail("setup", "no ISonxFileFacts");
        fuzz::MemFile input;
        input.bytes.assign(data, data + size);
        const sonx::FileHandle in = input.handle();
        sonx::FileFactTexts texts;
        const int32_t status = describer->describe(&in, &facts, &texts);
        describer->Release();
        // What cannot be described cannot convert either; the calls below still try.
        if (status != SONX_OK) facts = sonx::FileFactsCore{};
    }
    sonx::AudioFormat inputFormat;
    if (wav) {
        inputFormat = pcmWav();
    } else {
        inputFormat.fileType = sonx::FILE_TYPE_QCP;
        inputFormat.option = static_cast<int32_t>(size % 8);
    }

    // 1 MiB of PCM is about 400 decoded frames; enough to pass every pass
    // boundary while keeping a run short.
    convertOnce(converter, error, data, size, facts, inputFormat, pcmWav(), 1 << 20, "to PCM WAV");
    sonx::AudioFormat salvaging = inputFormat;
    salvaging.option |= sonx::FORMAT_OPTION_SALVAGE;
    convertOnce(converter, error, data, size, facts, salvaging, pcmWav(), 1 << 20, "salvaged to PCM WAV");

    if (wav) {
        static const sonx::Guid* const kRateSets[] = {&sonx::RATE_SET_VFR, &sonx::RATE_SET_VHR,
                                                      &sonx::RATE_SET_FFR, &sonx::RATE_SET_FHR};
        sonx::AudioFormat qcp;
        qcp.fileType = sonx::FILE_TYPE_QCP;
        qcp.codec = sonx::CODEC_QCELP13K;
        qcp.dataFormat = *kRateSets[size % 4];
        convertOnce(converter, error, data, size, facts, inputFormat, qcp, 16 << 10, "to QCP");

        sonx::AudioFormat mulaw;
        mulaw.fileType = sonx::FILE_TYPE_WAV;
        mulaw.codec = sonx::CODEC_G711_ULAW;
        mulaw.dataFormat = sonx::DATA_FORMAT_SAMPLES;
        mulaw.sampleRate = 8000;
        mulaw.sampleBits = 8;
        convertOnce(converter, error, data, size, facts, inputFormat, mulaw, 256 << 10, "to G.711 WAV");
    } else {
        sonx::AudioFormat qcp;
        qcp.fileType = sonx::FILE_TYPE_QCP;
        qcp.codec = sonx::CODEC_QCELP13K;
        qcp.dataFormat = sonx::RATE_SET_VFR;
        convertOnce(converter, error, data, size, facts, inputFormat, qcp, 64 << 10, "QCP to QCP");
    }

    error->Release();
    converter->Release();
    return 0;
}
