// A conversion or a single-file open that the library refuses must not cost
// the caller an existing file, nor leave a new one behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "convert/convert_test_util.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

namespace fs = std::filesystem;

const std::vector<uint8_t> kPrecious = {'k', 'e', 'e', 'p', ' ', 'm', 'e'};

AudioFormat qcpFormat(const Guid& rateSet) {
    AudioFormat f;
    f.fileType = FILE_TYPE_QCP;
    f.codec = CODEC_QCELP13K;
    f.dataFormat = rateSet;
    return f;
}

TEST(OutputSafety, RefusedConversionsLeaveTheOutputAsItWas) {
    const auto speech = tone(8000, 4000, 440, 8000, 16);
    const std::vector<uint8_t> wav = wavFile({1, 8000, 16}, speech);
    AudioFormat unknownCodec = qcpFormat(RATE_SET_VFR);
    unknownCodec.codec = Guid::of("{01020304-0506-0708-090A-0B0C0D0E0F10}");
    AudioFormat qcelpInWav = pcmFormat(FILE_TYPE_WAV);
    qcelpInWav.codec = CODEC_QCELP13K;
    const struct {
        const char* what;
        std::vector<uint8_t> input;
        AudioFormat outFormat;
        const char* error;  // the start of the expected text
    } cases[] = {
        {"input not RIFF", {'n', 'o', 'p', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, qcpFormat(RATE_SET_VFR),
         "File is not a valid WAV file"},
        {"input in a format the library cannot read", wavFile({0x11, 8000, 4}, speech), qcpFormat(RATE_SET_VFR),
         "WAV file uses"},
        {"rate set QCP cannot hold", wav, qcpFormat(DATA_FORMAT_SAMPLES), "Rate set not valid for QCP file"},
        {"codec the library does not have", wav, unknownCodec, "Unable to create audio encoder instance"},
        {"codec a WAV cannot hold", wav, qcelpInWav, "Given codec is not supported with WAV files"},
    };
    TempDir dir;
    const std::string in = dir.file("in.wav"), existing = dir.file("existing"), fresh = dir.file("fresh");
    Ref<ISonxConvertFile> converter(createInstance<ISonxConvertFile>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(converter.get()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFileBytes(in, c.input);
        writeFileBytes(existing, kPrecious);
        const AudioFormat inFormat = pcmFormat(FILE_TYPE_WAV);
        for (const std::string& out : {existing, fresh}) {
            const FileHandle hIn = FileHandle::named(in.c_str()), hOut = FileHandle::named(out.c_str());
            EXPECT_FALSE(converter->convert(&hIn, &inFormat, &hOut, &c.outFormat, nullptr, 0));
            EXPECT_EQ(std::string(error->errorText()).rfind(c.error, 0), 0u) << error->errorText();
        }
        EXPECT_EQ(readFileBytes(existing), kPrecious);
        EXPECT_FALSE(fs::exists(fresh));

        // The same refusals on the single-file interface opened for writing.
        Ref<ISonxFile> single(queryInterface<ISonxFile>(converter.get()));
        if (c.input == wav) {
            const FileHandle hOut = FileHandle::named(existing.c_str());
            const AudioFormat client = pcmFormat(FILE_TYPE_RAW);
            EXPECT_FALSE(single->open(&hOut, 1, &c.outFormat, &client));
            EXPECT_EQ(std::string(error->errorText()).rfind(c.error, 0), 0u) << error->errorText();
            EXPECT_EQ(readFileBytes(existing), kPrecious);
        }
    }
    // Where the input and the output location are both at fault, the input's
    // fault is now the one reported: nothing is created to find the other.
    writeFileBytes(in, cases[0].input);
    const std::string nowhere = dir.file("missing/out.qcp");
    const FileHandle hIn = FileHandle::named(in.c_str()), hOut = FileHandle::named(nowhere.c_str());
    const AudioFormat inFormat = pcmFormat(FILE_TYPE_WAV), outFormat = qcpFormat(RATE_SET_VFR);
    EXPECT_FALSE(converter->convert(&hIn, &inFormat, &hOut, &outFormat, nullptr, 0));
    EXPECT_EQ(std::string(error->errorText()).rfind("File is not a valid WAV file", 0), 0u) << error->errorText();
}

}  // namespace
}  // namespace sonx::test
