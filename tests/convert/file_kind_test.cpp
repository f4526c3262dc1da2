// The file-kind check every front end makes, through its C and C++ voices,
// and the C conversion of what it accepts.
#include <gtest/gtest.h>

#include <cstring>

#include "convert/convert_test_util.h"
#include "sonx/sonx.h"
#include "support/riff_image.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

// A QCP header whose 'fmt ' chunk names `codec` (the rest of the chunk is zero).
std::vector<uint8_t> qcpHeader(const Guid& codec) {
    QcpFmtSpec fmt;
    fmt.codec = codec;
    return riff("QLCM", {{"fmt ", qcpFmt(fmt)}});
}

TEST(FileKind, EveryFormTellsItsKindAndAQcpItsCodec) {
    const std::vector<uint8_t> wav = speechWav(0.1);
    std::vector<uint8_t> avi = wav;
    std::memcpy(&avi[8], "AVI ", 4);
    std::vector<uint8_t> rf64Movie = asRf64(wav);
    std::memcpy(&rf64Movie[8], "AVI ", 4);
    const std::string text = "Shopping: milk, bread\n";
    const std::vector<uint8_t> evrc = qcpHeader(CODEC_EVRC);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        int32_t kind;
        const Guid* codec;  // null: no codec told
    } cases[] = {
        {"wav", wav, FILE_KIND_WAV, nullptr},
        {"rf64", asRf64(wav), FILE_KIND_RF64, nullptr},
        {"bw64", asRf64(wav, "BW64"), FILE_KIND_RF64, nullptr},
        {"qcp", qcpHeader(CODEC_QCELP13K), FILE_KIND_QCP, &CODEC_QCELP13K},
        {"evrc qcp", evrc, FILE_KIND_QCP, &CODEC_EVRC},
        {"qcp cut inside its fmt", std::vector<uint8_t>(evrc.begin(), evrc.begin() + 30), FILE_KIND_QCP, nullptr},
        {"other riff", avi, FILE_KIND_OTHER_RIFF, nullptr},
        {"rf64 of no wave", rf64Movie, FILE_KIND_UNKNOWN, nullptr},
        {"text", std::vector<uint8_t>(text.begin(), text.end()), FILE_KIND_UNKNOWN, nullptr},
        {"riff cut at 11 bytes", std::vector<uint8_t>(wav.begin(), wav.begin() + 11), FILE_KIND_UNKNOWN, nullptr},
        {"empty", {}, FILE_KIND_UNKNOWN, nullptr},
    };
    TempDir dir;
    const std::string path = dir.file("f");
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        sonx_kind_info c;
        ASSERT_EQ(sonx_kind_of_memory(row.bytes.data(), row.bytes.size(), row.bytes.size(), &c), SONX_OK);
        EXPECT_EQ(c.kind, row.kind);
        EXPECT_EQ(c.size, row.bytes.size());
        EXPECT_EQ(c.codec_known != 0, row.codec != nullptr);
        if (row.codec) {
            EXPECT_EQ(std::memcmp(c.codec, row.codec->bytes, 16), 0);
        }

        sonx::MemoryFile memory(row.bytes.data(), row.bytes.size());
        writeFileBytes(path, row.bytes);
        for (const FileHandle& handle : {memory.handle(), FileHandle::named(path.c_str())}) {
            FileKindInfo cxx;
            std::string message;
            ASSERT_EQ(fileKind(handle, cxx, message), SONX_OK) << message;
            EXPECT_EQ(cxx.kind, row.kind);
            EXPECT_EQ(cxx.size, row.bytes.size());
            EXPECT_EQ(cxx.codecKnown, row.codec != nullptr);
            if (row.codec) {
                EXPECT_EQ(cxx.codec, *row.codec);
            }
        }
    }
    sonx_kind_info missing;
    EXPECT_EQ(sonx_kind_of_file(dir.file("missing").c_str(), &missing), SONX_ERR_OPEN);
}

// The C conversion takes RF64 and BW64 as the WAV they hold.
TEST(FileKind, CConversionEncodesRf64AsItsWav) {
    TempDir dir;
    const std::vector<uint8_t> wav = speechWav(0.5);
    writeFileBytes(dir.file("plain.wav"), wav);
    ASSERT_EQ(sonx_convert_file(dir.file("plain.wav").c_str(), dir.file("plain.qcp").c_str(), nullptr, nullptr,
                                nullptr, nullptr),
              SONX_OK);
    for (const char* form : {"RF64", "BW64"}) {
        writeFileBytes(dir.file("wide.wav"), asRf64(wav, form));
        ASSERT_EQ(sonx_convert_file(dir.file("wide.wav").c_str(), dir.file("wide.qcp").c_str(), nullptr, nullptr,
                                    nullptr, nullptr),
                  SONX_OK)
            << form;
        EXPECT_EQ(readFileBytes(dir.file("wide.qcp")), readFileBytes(dir.file("plain.qcp"))) << form;
    }
}

}  // namespace
}  // namespace sonx::test
