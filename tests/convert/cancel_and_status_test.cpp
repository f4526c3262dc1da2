// Stopping a running conversion, and the status numbers behind error texts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "convert/convert_test_util.h"

namespace sonx::test {
namespace {

AudioFormat qcpOutput() {
    AudioFormat f;
    f.fileType = FILE_TYPE_QCP;
    f.codec = CODEC_QCELP13K;
    f.dataFormat = RATE_SET_VFR;
    return f;
}

struct Events {
    std::atomic<int> failures{0};
    std::atomic<int> progress{0};
    std::atomic<bool> ended{false};
};

// Stops by its result once it has seen two progress events.
int32_t stopAfterTwo(uint32_t event, uint32_t, uintptr_t data) {
    auto* events = reinterpret_cast<Events*>(data);
    if (event == CONVERT_EVENT_FAILURE) {
        ++events->failures;
        events->ended = true;
        return 0;
    }
    return ++events->progress >= 2 ? 1 : 0;
}

void waitForEnd(const Events& events) {
    for (int i = 0; i < 2000 && !events.ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(Cancel, StopsAClientOutputAndLeavesItEmpty) {
    MemoryFile input, output;
    input.bytes = speechWav(120);
    Ref<ISonxConvertFile> convert(createInstance<ISonxConvertFile>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(convert.get()));
    const FileHandle in = input.handle(), out = output.handle();
    const AudioFormat inFormat = pcmFormat(FILE_TYPE_WAV), outFormat = qcpOutput();
    // Cancel from another thread while a blocking conversion runs.
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        convert->cancel();
    });
    EXPECT_EQ(convert->convert(&in, &inFormat, &out, &outFormat, nullptr, 0), 1);
    canceller.join();
    EXPECT_EQ(error->errorCode(), SONX_ERR_CANCELLED) << error->errorText();
    EXPECT_TRUE(output.bytes.empty());

    // The same object converts in full afterwards: a cancel does not linger.
    output.bytes.clear();
    output.position = 0;
    input.position = 0;
    EXPECT_EQ(convert->convert(&in, &inFormat, &out, &outFormat, nullptr, 0), 1);
    EXPECT_EQ(error->errorCode(), SONX_OK) << error->errorText();
    EXPECT_GT(output.bytes.size(), 1000u);
}

TEST(Cancel, ProgressResultStopsANamedOutputAndRemovesIt) {
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), speechWav(120));
    Ref<ISonxConvertFile> convert(createInstance<ISonxConvertFile>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(convert.get()));
    const std::string inName = dir.file("in.wav"), outName = dir.file("out.qcp");
    const FileHandle in = FileHandle::named(inName.c_str()), out = FileHandle::named(outName.c_str());
    const AudioFormat inFormat = pcmFormat(FILE_TYPE_WAV), outFormat = qcpOutput();
    Events events;  // reached through a full pointer
    ASSERT_EQ(convert->convertWithProgress(&in, &inFormat, &out, &outFormat, stopAfterTwo,
                                           reinterpret_cast<uintptr_t>(&events)),
              1)
        << error->errorText();
    waitForEnd(events);
    EXPECT_EQ(events.failures, 1);
    EXPECT_EQ(events.progress, 2);
    EXPECT_EQ(error->errorCode(), SONX_ERR_CANCELLED);
    EXPECT_NE(::access(outName.c_str(), F_OK), 0);
}

TEST(Status, EachFailureHasItsNumber) {
    TempDir dir;
    const std::vector<uint8_t> wav = speechWav(1);
    std::vector<uint8_t> noData(wav.begin(), wav.begin() + 36);  // RIFF and 'fmt ' only
    noData[4] = 28;
    noData[5] = noData[6] = noData[7] = 0;
    writeFileBytes(dir.file("nodata.wav"), noData);
    writeFileBytes(dir.file("text.wav"), std::vector<uint8_t>(100, 'x'));
    const struct {
        const char* name;
        int32_t status;
    } cases[] = {
        {"missing.wav", SONX_ERR_OPEN},
        {"text.wav", SONX_ERR_NOT_AUDIO},
        {"nodata.wav", SONX_ERR_DAMAGED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        Ref<ISonxConvertFile> convert(createInstance<ISonxConvertFile>(CLSID_SonxFile));
        Ref<ISonxError> error(queryInterface<ISonxError>(convert.get()));
        const FileHandle in = FileHandle::named(path.c_str());
        const std::string outName = dir.file("out.qcp");
        const FileHandle out = FileHandle::named(outName.c_str());
        const AudioFormat inFormat = pcmFormat(FILE_TYPE_WAV), outFormat = qcpOutput();
        convert->convert(&in, &inFormat, &out, &outFormat, nullptr, 0);
        EXPECT_EQ(error->errorCode(), c.status) << error->errorText();
        EXPECT_STRNE(sonx_strerror(error->errorCode()), "Unknown status");
    }
}

TEST(Status, DescribeFileCarriesLongTextsWhole) {
    TempDir dir;
    const std::string label(300, 'L'), text(5000, 't');
    writeFileBytes(dir.file("tagged.wav"), withChunk(speechWav(1), "LIST", infoList(label, text)));
    FileFacts facts;
    std::string error;
    const std::string tagged = dir.file("tagged.wav"), none = dir.file("none.wav");
    ASSERT_TRUE(describeFile(FileHandle::named(tagged.c_str()), facts, error)) << error;
    EXPECT_EQ(facts.label, label);
    EXPECT_EQ(facts.text, text);
    EXPECT_FALSE(describeFile(FileHandle::named(none.c_str()), facts, error));
    EXPECT_NE(error.find("Error opening file"), std::string::npos);
}

}  // namespace
}  // namespace sonx::test
