// New files the library makes get the mode every other tool gives them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "convert/convert_test_util.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

TEST(OutputSafety, NewFilesAreReadableByAllThatTheUmaskAllows) {
    TempDir dir;
    const std::string in = dir.file("in.wav");
    writeFileBytes(in, wavFile({1, 8000, 16}, tone(8000, 800, 440, 8000, 16)));
    Ref<ISonxConvertFile> converter(createInstance<ISonxConvertFile>(CLSID_SonxFile));
    Ref<ISonxFile> single(queryInterface<ISonxFile>(converter.get()));
    const mode_t old = umask(027);
    const std::string converted = dir.file("converted.qcp"), written = dir.file("written.wav");
    const FileHandle hIn = FileHandle::named(in.c_str()), hConverted = FileHandle::named(converted.c_str());
    AudioFormat qcp;
    qcp.fileType = FILE_TYPE_QCP;
    qcp.codec = CODEC_QCELP13K;
    qcp.dataFormat = RATE_SET_VFR;
    const AudioFormat pcm = pcmFormat(FILE_TYPE_WAV);
    EXPECT_TRUE(converter->convert(&hIn, &pcm, &hConverted, &qcp, nullptr, 0));
    const FileHandle hWritten = FileHandle::named(written.c_str());
    EXPECT_TRUE(single->open(&hWritten, 1, &pcm, &pcm));
    EXPECT_TRUE(single->close(1));
    umask(old);
    for (const auto& path : {converted, written}) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u) << path;
    }
}

}  // namespace
}  // namespace sonx::test
