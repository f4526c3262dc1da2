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
    TestMemoryFile input, output;
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
    output.seekTo(0);
    input.seekTo(0);
    EXPECT_EQ(convert->convert(&in, &inFormat, &out, &outFormat, nullptr, 0), 1);
    EXPECT_EQ(error->errorCode(), SONX_OK) << error->errorText();
    EXPECT_GT(output.bytes.size(), 1000u);
}

// The caller who waits for the end runs the conversion itself; a callback
// means the conversion runs on while the caller goes on.
TEST(Threads, OnlyAConversionWithACallbackRunsOnAThreadOfItsOwn) {
    TestMemoryFile input, output;
    input.bytes = speechWav(2);
    Ref<ISonxConvertFile> convert(createInstance<ISonxConvertFile>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(convert.get()));
    const FileHandle in = input.handle(), out = output.handle();
    const AudioFormat inFormat = pcmFormat(FILE_TYPE_WAV), outFormat = qcpOutput();
    EXPECT_EQ(convert->convert(&in, &inFormat, &out, &outFormat, nullptr, 0), 1);
    EXPECT_EQ(error->errorCode(), SONX_OK) << error->errorText();
    EXPECT_EQ(output.writer, std::this_thread::get_id());
    EXPECT_EQ(convert->progress(), 100u);
    const std::vector<uint8_t> blocking = output.bytes;

    output.bytes.clear();
    output.seekTo(0);
    input.seekTo(0);
    Events events;
    const auto endAt100 = [](uint32_t event, uint32_t value, uintptr_t data) -> int32_t {
        auto* seen = reinterpret_cast<Events*>(data);
        if (event == CONVERT_EVENT_FAILURE) ++seen->failures;
        if (event == CONVERT_EVENT_FAILURE || value == 100) seen->ended = true;
        return 0;
    };
    EXPECT_EQ(convert->convertWithProgress(&in, &inFormat, &out, &outFormat, endAt100,
                                           reinterpret_cast<uintptr_t>(&events)),
              1);
    waitForEnd(events);
    ASSERT_TRUE(events.ended);
    EXPECT_EQ(events.failures, 0);
    EXPECT_NE(output.writer, std::this_thread::get_id());
    EXPECT_EQ(output.bytes, blocking);
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
    std::vector<uint8_t> shortFmt(wav.begin(), wav.begin() + 20);  // a 'fmt ' of 8 bytes
    shortFmt[16] = 8;
    shortFmt.insert(shortFmt.end(), wav.begin() + 20, wav.begin() + 28);
    shortFmt.insert(shortFmt.end(), wav.begin() + 36, wav.end());
    std::vector<uint8_t> noAlignment = wav;
    noAlignment[32] = noAlignment[33] = 0;
    writeFileBytes(dir.file("in.wav"), wav);
    std::string error;
    ASSERT_TRUE(convertFile(dir.file("in.wav"), pcmFormat(FILE_TYPE_WAV), dir.file("in.qcp"), qcpOutput(), error))
        << error;
    std::vector<uint8_t> evrc = readFileBytes(dir.file("in.qcp"));
    const uint8_t evrcId[16] = {0x8d, 0xd4, 0x89, 0xe6, 0x76, 0x90, 0xb5, 0x46,
                                0x91, 0xef, 0x73, 0x6a, 0x51, 0x00, 0xce, 0xb4};
    std::copy(std::begin(evrcId), std::end(evrcId), evrc.begin() + 12 + 8 + 2);  // the codec of 'fmt '
    AudioFormat qcpInput;
    qcpInput.fileType = FILE_TYPE_QCP;
    AudioFormat noRateSet = qcpOutput();
    noRateSet.dataFormat = CODEC_PCM;

    const struct {
        const char* name;
        std::vector<uint8_t> bytes;  // none: the file is not there
        AudioFormat inFormat, outFormat;
        int32_t status;
    } cases[] = {
        {"missing.wav", {}, pcmFormat(FILE_TYPE_WAV), qcpOutput(), SONX_ERR_OPEN},
        {"text.wav", std::vector<uint8_t>(100, 'x'), pcmFormat(FILE_TYPE_WAV), qcpOutput(), SONX_ERR_NOT_AUDIO},
        {"nodata.wav", noData, pcmFormat(FILE_TYPE_WAV), qcpOutput(), SONX_ERR_DAMAGED},
        {"shortfmt.wav", shortFmt, pcmFormat(FILE_TYPE_WAV), qcpOutput(), SONX_ERR_DAMAGED},
        {"noalign.wav", noAlignment, pcmFormat(FILE_TYPE_WAV), qcpOutput(), SONX_ERR_DAMAGED},
        {"adpcm.wav", wavFile({0x11, 8000, 4}, std::vector<uint8_t>(256)), pcmFormat(FILE_TYPE_WAV), qcpOutput(),
         SONX_ERR_UNSUPPORTED},
        {"evrc.qcp", evrc, qcpInput, pcmFormat(FILE_TYPE_WAV), SONX_ERR_UNSUPPORTED},
        {"ratesets.wav", wav, pcmFormat(FILE_TYPE_WAV), noRateSet, SONX_ERR_INVALID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        if (!c.bytes.empty()) writeFileBytes(path, c.bytes);
        Ref<ISonxConvertFile> convert(createInstance<ISonxConvertFile>(CLSID_SonxFile));
        Ref<ISonxError> errors(queryInterface<ISonxError>(convert.get()));
        const FileHandle in = FileHandle::named(path.c_str());
        const std::string outName = dir.file("out");
        const FileHandle out = FileHandle::named(outName.c_str());
        convert->convert(&in, &c.inFormat, &out, &c.outFormat, nullptr, 0);
        EXPECT_EQ(errors->errorCode(), c.status) << errors->errorText();
        EXPECT_STRNE(sonx_strerror(errors->errorCode()), "Unknown status");
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

// A call made while a conversion runs tells its own outcome, and the
// conversion's outcome is what the object tells once it has ended.
struct Gate {
    std::atomic<bool> paused{false}, callMade{false}, ended{false};
    bool cancel = false;
};

int32_t pauseOnce(uint32_t event, uint32_t value, uintptr_t data) {
    auto* gate = reinterpret_cast<Gate*>(data);
    if (event == CONVERT_EVENT_FAILURE || value == 100) {
        gate->ended = true;
        return 0;
    }
    if (gate->paused.exchange(true)) return 0;
    while (!gate->callMade) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return gate->cancel ? 1 : 0;
}

TEST(Status, ACallDuringAConversionKeepsItsOwnOutcome) {
    TempDir dir;
    writeFileBytes(dir.file("in.wav"), speechWav(30));
    const std::string inName = dir.file("in.wav"), outName = dir.file("out.qcp"), missing = dir.file("none.qcp");
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "converted");
        Ref<ISonxConvertFile> convert(createInstance<ISonxConvertFile>(CLSID_SonxFile));
        Ref<ISonxError> error(queryInterface<ISonxError>(convert.get()));
        Ref<ISonxQcpChunks> chunks(queryInterface<ISonxQcpChunks>(convert.get()));
        const FileHandle in = FileHandle::named(inName.c_str()), out = FileHandle::named(outName.c_str());
        const FileHandle none = FileHandle::named(missing.c_str());
        const AudioFormat inFormat = pcmFormat(FILE_TYPE_WAV), outFormat = qcpOutput();
        Gate gate;
        gate.cancel = cancel;
        ASSERT_EQ(convert->convertWithProgress(&in, &inFormat, &out, &outFormat, pauseOnce,
                                               reinterpret_cast<uintptr_t>(&gate)),
                  1);
        while (!gate.paused) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        uint16_t value = 0;
        EXPECT_EQ(chunks->getCnfgChunk(&none, &value), 0);
        EXPECT_EQ(error->errorCode(), SONX_ERR_OPEN) << error->errorText();
        gate.callMade = true;
        for (int i = 0; i < 4000 && !gate.ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(gate.ended);
        EXPECT_EQ(error->errorCode(), cancel ? SONX_ERR_CANCELLED : SONX_OK) << error->errorText();
        EXPECT_EQ(chunks->getCnfgChunk(&none, &value), 0);
        EXPECT_EQ(error->errorCode(), SONX_ERR_OPEN);
    }
}

}  // namespace
}  // namespace sonx::test
