// File-to-file conversion through the library interface, as an embedding
// program uses it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "convert/convert_test_util.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

// Conversion events, collected from the conversion thread. The callback's
// user data is 32 bits wide, so it carries an index into this table.
struct Events {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<uint32_t, uint32_t>> list;
    bool ended = false;
    std::function<void(uint32_t, uint32_t)> hook;  // runs on the conversion thread

    void waitForEnd() {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return ended; }));
    }
    std::vector<std::pair<uint32_t, uint32_t>> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return list;
    }
};

Events* eventTable[4];

void onEvent(uint32_t event, uint32_t value, uint32_t user) {
    Events& e = *eventTable[user];
    if (e.hook) e.hook(event, value);
    std::lock_guard<std::mutex> lock(e.mutex);
    e.list.emplace_back(event, value);
    if (event == CONVERT_EVENT_FAILURE || value == 100) e.ended = true;
    e.changed.notify_all();
}

class Converter {
public:
    Converter()
        : convert_(createInstance<ISonxConvertFile>(CLSID_SonxFile)),
          error_(queryInterface<ISonxError>(convert_.get())) {}

    // Runs to the end without a callback; true when it worked.
    bool run(const FileHandle& in, const AudioFormat& inFormat, const FileHandle& out,
             const AudioFormat& outFormat) {
        return convert_->convert(&in, &inFormat, &out, &outFormat, nullptr, 0) && !error_->hasError();
    }
    uint8_t start(const FileHandle& in, const AudioFormat& inFormat, const FileHandle& out,
                  const AudioFormat& outFormat, Events& events) {
        eventTable[0] = &events;
        return convert_->convert(&in, &inFormat, &out, &outFormat, onEvent, 0);
    }
    std::string error() { return error_->errorText(); }
    ISonxConvertFile* get() { return convert_.get(); }
    void releaseAll() {
        error_.reset();
        convert_.reset();
    }

private:
    Ref<ISonxConvertFile> convert_;
    Ref<ISonxError> error_;
};

double snrDb(const std::vector<double>& x, const std::vector<double>& ref) {
    double signal = 0, noise = 0;
    for (size_t i = 0; i < std::min(x.size(), ref.size()); ++i) {
        signal += ref[i] * ref[i];
        noise += (x[i] - ref[i]) * (x[i] - ref[i]);
    }
    return 10 * std::log10(signal / std::max(noise, 1.0));
}

// Waits a while for the process to be down to `count` threads again.
bool threadsBackTo(int count) {
    for (int i = 0; i < 500 && runningThreads() != count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return runningThreads() == count;
}

const uint32_t kSpeechSamples = 125005;  // every test speech file is this long at 8 kHz

TEST(Convert, PcmWavToMuLawWavAndBack) {
    TempDir dir;
    const std::string mu = dir.file("mu.wav"), back = dir.file("back.wav");
    const std::string original = testDataPath("speech_8k.wav");
    Converter c;
    ASSERT_TRUE(c.run(FileHandle::named(original.c_str()), pcmFormat(FILE_TYPE_WAV),
                      FileHandle::named(mu.c_str()), muLawFormat(FILE_TYPE_WAV)))
        << c.error();
    const Wav coded = parseWav(readFileBytes(mu));
    ASSERT_TRUE(coded.ok);
    EXPECT_EQ(coded.tag, 7);
    EXPECT_EQ(coded.bits, 8);
    EXPECT_EQ(coded.blockAlign, 1);
    EXPECT_EQ(coded.data.size(), kSpeechSamples);
    // The odd data length is padded, and the RIFF size counts the pad.
    EXPECT_EQ(coded.riffSize + 8, readFileBytes(mu).size());

    ASSERT_TRUE(c.run(FileHandle::named(mu.c_str()), muLawFormat(FILE_TYPE_WAV),
                      FileHandle::named(back.c_str()), pcmFormat(FILE_TYPE_WAV)))
        << c.error();
    const Wav decoded = parseWav(readFileBytes(back));
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.tag, 1);
    EXPECT_EQ(decoded.bits, 16);
    ASSERT_EQ(decoded.data.size(), 2 * kSpeechSamples);
    const auto ref = samplesOf(parseWav(readFileBytes(original)).data, 16);
    EXPECT_GT(snrDb(samplesOf(decoded.data, 16), ref), 30.0);  // mu-law's quantisation, nothing worse
}

TEST(Convert, TestSpeechFilesBecome8kHz16BitPcm) {
    const auto ref = samplesOf(parseWav(readFileBytes(testDataPath("speech_8k.wav"))).data, 16);
    // Each source loses what its own format loses, and no more.
    const struct {
        const char* name;
        double minSnr;
    } sources[] = {{"speech_16k.wav", 40}, {"speech_8k_u8.wav", 20}, {"speech_8k_mulaw.wav", 30}};
    TempDir dir;
    for (const auto& source : sources) {
        SCOPED_TRACE(source.name);
        const std::string in = testDataPath(source.name), out = dir.file("out.wav");
        AudioFormat inFormat = pcmFormat(FILE_TYPE_WAV);  // the header decides codec, rate and width
        Converter c;
        ASSERT_TRUE(c.run(FileHandle::named(in.c_str()), inFormat, FileHandle::named(out.c_str()),
                          pcmFormat(FILE_TYPE_WAV)))
            << c.error();
        const Wav w = parseWav(readFileBytes(out));
        ASSERT_TRUE(w.ok);
        EXPECT_EQ(w.rate, 8000u);
        EXPECT_EQ(w.bits, 16);
        EXPECT_EQ(w.blockAlign, 2);
        EXPECT_EQ(w.data.size(), 2 * kSpeechSamples);
        EXPECT_GT(snrDb(samplesOf(w.data, 16), ref), source.minSnr);
    }
}

TEST(Convert, ToneKeepsFrequencyAndLevel) {
    TempDir dir;
    const double amplitude = 12000, freq = 1000;
    struct Source {
        const char* what;
        std::vector<uint8_t> wav;
        uint32_t expectedSamples;
    };
    std::vector<Source> sources;
    sources.push_back(
        {"16 kHz 16-bit", wavFile({1, 16000, 16}, tone(16000, 48000, freq, amplitude, 16)), 24000});
    sources.push_back({"8 kHz 8-bit", wavFile({1, 8000, 8}, tone(8000, 24000, freq, amplitude, 8)), 24000});
    sources.push_back(
        {"11025 Hz 16-bit", wavFile({1, 11025, 16}, tone(11025, 33075, freq, amplitude, 16)), 24000});
    {
        // A mu-law tone, coded by the library itself.
        const std::string pcm = dir.file("tone.wav"), mu = dir.file("tone_mu.wav");
        writeFileBytes(pcm, wavFile({1, 8000, 16}, tone(8000, 24000, freq, amplitude, 16)));
        Converter c;
        ASSERT_TRUE(c.run(FileHandle::named(pcm.c_str()), pcmFormat(FILE_TYPE_WAV),
                          FileHandle::named(mu.c_str()), muLawFormat(FILE_TYPE_WAV)))
            << c.error();
        sources.push_back({"8 kHz mu-law", readFileBytes(mu), 24000});
    }
    for (const Source& s : sources) {
        SCOPED_TRACE(s.what);
        const std::string in = dir.file("in.wav"), out = dir.file("out.wav");
        writeFileBytes(in, s.wav);
        Converter c;
        ASSERT_TRUE(c.run(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV),
                          FileHandle::named(out.c_str()), pcmFormat(FILE_TYPE_WAV)))
            << c.error();
        const Wav w = parseWav(readFileBytes(out));
        ASSERT_TRUE(w.ok);
        ASSERT_EQ(w.data.size(), 2 * s.expectedSamples);
        const auto x = samplesOf(w.data, 16);
        const double level = amplitudeAt(x, 400, x.size() - 400, freq, 8000);
        EXPECT_LT(std::fabs(20 * std::log10(level / amplitude)), 0.5);
        EXPECT_NEAR(zeroCrossingFrequency(x, 400, x.size() - 400, 8000), freq, freq * 0.002);
    }
}

TEST(Convert, RawFilesInAndOut) {
    TempDir dir;
    const std::string in = dir.file("in.raw"), out = dir.file("out.raw"), mu = dir.file("mu.raw");
    writeFileBytes(in, tone(16000, 16001, 440, 8000, 16));
    Converter c;
    ASSERT_TRUE(c.run(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_RAW, 16000),
                      FileHandle::named(out.c_str()), pcmFormat(FILE_TYPE_RAW, 8000)))
        << c.error();
    // 16001 samples at half the rate: 8000.5, rounded to 8001 samples, no header.
    EXPECT_EQ(readFileBytes(out).size(), 2u * 8001);

    // Raw PCM to raw mu-law and back to raw PCM keeps the count.
    ASSERT_TRUE(c.run(FileHandle::named(out.c_str()), pcmFormat(FILE_TYPE_RAW), FileHandle::named(mu.c_str()),
                      muLawFormat(FILE_TYPE_RAW)))
        << c.error();
    EXPECT_EQ(readFileBytes(mu).size(), 8001u);
    ASSERT_TRUE(c.run(FileHandle::named(mu.c_str()), muLawFormat(FILE_TYPE_RAW),
                      FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_RAW)))
        << c.error();
    EXPECT_GT(snrDb(samplesOf(readFileBytes(in), 16), samplesOf(readFileBytes(out), 16)), 30.0);
}

// A named output takes its name only once complete, and gets its header's
// lengths when it is closed; a client file gets them after every block.
// Both end up with the same bytes, over many blocks and odd 'data' lengths.
TEST(Convert, ClientCallbackFilesGiveTheSameBytesAsNamedFiles) {
    TempDir dir;
    AudioFormat qcp;
    qcp.fileType = FILE_TYPE_QCP;
    qcp.codec = CODEC_QCELP13K;
    qcp.dataFormat = RATE_SET_VFR;
    const std::string speech = testDataPath("speech_16k.wav"), coded = dir.file("coded.qcp");
    struct Case {
        std::string in;
        AudioFormat inFormat;
        std::string named;
        AudioFormat outFormat;
    };
    // The QCP file the second makes is the third's input.
    const Case cases[] = {{speech, pcmFormat(FILE_TYPE_WAV), dir.file("mu.wav"), muLawFormat(FILE_TYPE_WAV)},
                          {speech, pcmFormat(FILE_TYPE_WAV), coded, qcp},
                          {coded, qcp, dir.file("decoded.wav"), pcmFormat(FILE_TYPE_WAV)}};
    Converter c;
    for (const Case& one : cases) {
        const std::string& named = one.named;
        ASSERT_TRUE(c.run(FileHandle::named(one.in.c_str()), one.inFormat, FileHandle::named(named.c_str()),
                          one.outFormat))
            << c.error();
        TestMemoryFile input, output;
        input.bytes = readFileBytes(one.in);
        output.bytes.assign(1000000, 0xAA);  // an output is emptied before it is written
        output.seekTo(1000000);
        ASSERT_TRUE(c.run(input.handle(), one.inFormat, output.handle(), one.outFormat)) << c.error();
        // A client file gets the pad byte of an odd 'data' chunk too.
        EXPECT_EQ(output.bytes, readFileBytes(named)) << named;
    }
}

TEST(Convert, CallbackReportsStrictlyIncreasingProgressEndingAt100) {
    TempDir dir;
    const std::string in = testDataPath("speech_16k.wav"), out = dir.file("out.wav");
    Converter c;
    EXPECT_EQ(c.get()->progress(), 0u);
    Events events;
    ASSERT_TRUE(c.start(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV),
                        FileHandle::named(out.c_str()), pcmFormat(FILE_TYPE_WAV), events));
    events.waitForEnd();
    const auto list = events.snapshot();
    ASSERT_GE(list.size(), 2u);
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].first, CONVERT_EVENT_PROGRESS);
        if (i > 0) {
            EXPECT_GT(list[i].second, list[i - 1].second);
        }
    }
    EXPECT_EQ(list.back().second, 100u);
    EXPECT_EQ(c.get()->progress(), 100u);
    EXPECT_EQ(c.error(), "");
    // The output is complete once the final event has arrived.
    EXPECT_EQ(parseWav(readFileBytes(out)).data.size(), 2 * kSpeechSamples);
}

TEST(Convert, EmptyInputCompletesAndSaysSo) {
    TempDir dir;
    const std::string in = dir.file("empty.wav"), out = dir.file("out.wav");
    writeFileBytes(in, wavFile({1, 8000, 16}, {}));
    Converter c;
    ASSERT_TRUE(c.run(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV), FileHandle::named(out.c_str()),
                      muLawFormat(FILE_TYPE_WAV)))
        << c.error();
    const Wav w = parseWav(readFileBytes(out));
    ASSERT_TRUE(w.ok);
    EXPECT_TRUE(w.data.empty());

    // With a callback the client still hears that it ended.
    Events events;
    ASSERT_TRUE(c.start(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV),
                        FileHandle::named(out.c_str()), muLawFormat(FILE_TYPE_WAV), events));
    events.waitForEnd();
    EXPECT_EQ(events.snapshot(), (std::vector<std::pair<uint32_t, uint32_t>>{{CONVERT_EVENT_PROGRESS, 100}}));
    EXPECT_EQ(c.get()->progress(), 100u);
}

TEST(Convert, UntrustedFormatFieldsAreRefusedBeforeUse) {
    TempDir dir;
    const std::string in = dir.file("bad.wav"), out = dir.file("out.wav");
    const std::vector<uint8_t> data(64, 0x10);
    const struct {
        const char* what;
        std::vector<uint8_t> wav;
    } cases[] = {
        {"rate 0", wavFile({1, 0, 16}, data)},
        {"12-bit samples", wavFile({1, 8000, 12, 1, 2}, data)},
        {"block alignment 4 for 16-bit mono", wavFile({1, 8000, 16, 1, 4}, data)},
        {"block alignment 1 for 16-bit mono", wavFile({1, 8000, 16, 1, 1}, data)},
        {"rate 4 GHz", wavFile({1, 4000000000u, 16}, data)},
    };
    const int descriptors = openDescriptors();
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.what);
        writeFileBytes(in, bad.wav);
        Converter c;
        Events events;
        EXPECT_FALSE(c.start(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV),
                             FileHandle::named(out.c_str()), pcmFormat(FILE_TYPE_WAV), events));
        EXPECT_EQ(c.error().rfind("Unsupported audio format: ", 0), 0u) << c.error();
        EXPECT_EQ(events.snapshot(),
                  (std::vector<std::pair<uint32_t, uint32_t>>{{CONVERT_EVENT_FAILURE, 100}}));
    }
    // Caller-given raw formats are untrusted too.
    AudioFormat raw = pcmFormat(FILE_TYPE_RAW, 0);
    writeFileBytes(in, data);
    Converter c;
    EXPECT_FALSE(
        c.run(FileHandle::named(in.c_str()), raw, FileHandle::named(out.c_str()), pcmFormat(FILE_TYPE_RAW)));
    EXPECT_EQ(c.error(), "Unsupported audio format: input sample rate of 0 samples per second");
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST(Convert, OutputThatCannotBeOpenedFailsSetupAndReportsIt) {
    TempDir dir;
    const std::string in = testDataPath("speech_8k.wav"), out = dir.file("missing/out.wav");
    Converter c;
    Events events;
    EXPECT_FALSE(c.start(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV),
                         FileHandle::named(out.c_str()), pcmFormat(FILE_TYPE_WAV), events));
    EXPECT_EQ(c.error(), "Error opening file: No such file or directory");
    EXPECT_EQ(events.snapshot(), (std::vector<std::pair<uint32_t, uint32_t>>{{CONVERT_EVENT_FAILURE, 100}}));
}

TEST(Convert, FailingClientCallbackAtEveryStageEndsCleanly) {
    // A short 16 kHz input becomes an 8 kHz mu-law WAV, both in memory.
    const std::vector<uint8_t> source = wavFile({1, 16000, 16}, tone(16000, 40000, 300, 6000, 16));
    const auto attempt = [&](int failInputAt, int failOutputAt, int& inputCalls, int& outputCalls) {
        TestMemoryFile input, output;
        input.bytes = source;
        input.failAt = failInputAt;
        output.failAt = failOutputAt;
        Converter c;
        Events events;
        const uint8_t started = c.start(input.handle(), pcmFormat(FILE_TYPE_WAV), output.handle(),
                                        muLawFormat(FILE_TYPE_WAV), events);
        events.waitForEnd();
        const auto list = events.snapshot();
        const bool failed = list.back().first == CONVERT_EVENT_FAILURE;
        // Exactly one final event, and the error text is there when it says failure.
        EXPECT_EQ(
            std::count_if(list.begin(), list.end(), [](auto& e) { return e.first == CONVERT_EVENT_FAILURE; }),
            failed ? 1 : 0);
        EXPECT_EQ(failed, c.error() != "") << c.error();
        if (!started) {
            EXPECT_TRUE(failed);
        }
        c.releaseAll();  // waits for the thread if it still closes up
        inputCalls = input.calls;
        outputCalls = output.calls;
        return failed;
    };
    // Counted before any conversion: a thread still winding down from the
    // first attempt must not become part of the baseline.
    const int threads = runningThreads();
    int inputCalls = 0, outputCalls = 0, unused = 0;
    ASSERT_FALSE(attempt(0, 0, inputCalls, outputCalls));
    ASSERT_GT(inputCalls, 5);
    ASSERT_GT(outputCalls, 5);
    const int descriptors = openDescriptors();
    int failures = 0;
    for (int k = 1; k <= inputCalls; ++k) failures += attempt(k, 0, unused, unused);
    for (int k = 1; k <= outputCalls; ++k) failures += attempt(0, k, unused, unused);
    EXPECT_EQ(failures, inputCalls + outputCalls);
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_TRUE(threadsBackTo(threads));
}

TEST(Convert, ReleasingTheLastReferenceWaitsForTheConversion) {
    TempDir dir;
    const std::string in = testDataPath("speech_16k.wav"), out = dir.file("out.wav");
    Converter c;
    Events events;
    events.hook = [](uint32_t, uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
    ASSERT_TRUE(c.start(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV),
                        FileHandle::named(out.c_str()), pcmFormat(FILE_TYPE_WAV), events));
    c.releaseAll();
    // Release came back only after the last event: the client's callback and
    // files are no longer in use.
    std::lock_guard<std::mutex> lock(events.mutex);
    EXPECT_TRUE(events.ended);
    EXPECT_EQ(events.list.back(), std::make_pair(uint32_t{CONVERT_EVENT_PROGRESS}, uint32_t{100}));
}

TEST(Convert, ReleasingTheLastReferenceFromTheCallbackFinishesTheConversion) {
    TempDir dir;
    const std::string in = testDataPath("speech_16k.wav"), out = dir.file("out.wav");
    const int threads = runningThreads();
    auto c = std::make_unique<Converter>();
    Events events;
    events.hook = [&](uint32_t, uint32_t) {
        if (c) c->releaseAll();  // on the conversion thread, at the first event
    };
    ASSERT_TRUE(c->start(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV),
                         FileHandle::named(out.c_str()), pcmFormat(FILE_TYPE_WAV), events));
    events.waitForEnd();
    EXPECT_EQ(events.snapshot().back().second, 100u);
    EXPECT_EQ(parseWav(readFileBytes(out)).data.size(), 2 * kSpeechSamples);
    // The object destroys itself on its own thread, which then ends.
    EXPECT_TRUE(threadsBackTo(threads));
}

TEST(Convert, SameCodecCopiesBlocksUnchanged) {
    TempDir dir;
    const std::string in = testDataPath("speech_8k_mulaw.wav"), raw = dir.file("out.raw"),
                      wav = dir.file("out.wav");
    const Wav source = parseWav(readFileBytes(in));
    Converter c;
    ASSERT_TRUE(c.run(FileHandle::named(in.c_str()), muLawFormat(FILE_TYPE_WAV),
                      FileHandle::named(raw.c_str()), muLawFormat(FILE_TYPE_RAW)))
        << c.error();
    EXPECT_EQ(readFileBytes(raw), source.data);
    ASSERT_TRUE(c.run(FileHandle::named(raw.c_str()), muLawFormat(FILE_TYPE_RAW),
                      FileHandle::named(wav.c_str()), muLawFormat(FILE_TYPE_WAV)))
        << c.error();
    const Wav copy = parseWav(readFileBytes(wav));
    EXPECT_EQ(copy.tag, 7);
    EXPECT_EQ(copy.data, source.data);
}

TEST(Convert, OneObjectRunsConversionsOneAfterAnother) {
    TempDir dir;
    const std::string in = testDataPath("speech_8k.wav"), a = dir.file("a.wav"), b = dir.file("b.wav");
    Converter c;
    Events first;
    ASSERT_TRUE(c.start(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV), FileHandle::named(a.c_str()),
                        muLawFormat(FILE_TYPE_WAV), first));
    first.waitForEnd();
    // Straight after the final event, without waiting for the thread.
    ASSERT_TRUE(c.run(FileHandle::named(in.c_str()), pcmFormat(FILE_TYPE_WAV), FileHandle::named(b.c_str()),
                      muLawFormat(FILE_TYPE_WAV)))
        << c.error();
    EXPECT_EQ(readFileBytes(a), readFileBytes(b));
}

}  // namespace
}  // namespace sonx::test
