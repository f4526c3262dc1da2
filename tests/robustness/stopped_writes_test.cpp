// A conversion into a client file whose writes stop at the Nth one (a full
// disk, a killed writer), for every N: what was written never claims more
// than it holds, and once its header is complete velconv converts it.
#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "robustness/robustness_support.h"
#include "sonx/codec/rate_sets.h"
#include "sonx/sonx.h"
#include "support/memory_file.h"
#include "support/process.h"
#include "support/test_support.h"

namespace sonx::robustness {
namespace {

AudioFormat pcm() {
    AudioFormat f;
    f.fileType = FILE_TYPE_WAV;
    f.codec = CODEC_PCM;
    f.sampleRate = 8000;
    f.sampleBits = 16;
    return f;
}

AudioFormat qcp() {
    AudioFormat f;
    f.fileType = FILE_TYPE_QCP;
    f.codec = CODEC_QCELP13K;
    f.dataFormat = RATE_SET_VFR;
    return f;
}

// What the RIFF size claims of a file (checkOutputFile made sure it is there).
Bytes riffPart(const Bytes& file) {
    if (file.size() < 12) return {};
    return Bytes(file.begin(), file.begin() + long(std::min<size_t>(file.size(), le32At(file, 4) + size_t{8})));
}

// Blocks in a written file's 'data' chunk: packets of a QCP, samples of a
// WAV; for a length not yet filled in (0), the whole ones behind it.
uint32_t blocksIn(const Bytes& file) {
    const Bytes riff = riffPart(file);
    const auto chunks = chunkMap(riff);
    const ChunkPlace* data = findChunk(chunks, "data");
    if (!data) return 0;
    const size_t begin = data->pos + 8;
    const size_t end = data->length == 0 ? riff.size() : begin + data->length;
    if (std::memcmp(file.data() + 8, "WAVE", 4) == 0) return uint32_t((end - begin) / 2);
    uint32_t packets = 0;
    for (size_t p = begin; p < end && p + 1 + size_t(qcelpPayloadBytes(file[p])) <= end; ++packets)
        p += 1 + size_t(qcelpPayloadBytes(file[p]));
    return packets;
}

TEST(StoppedWrites, EveryPrefixIsConsistentAndConvertsOnceItsHeaderIsWhole) {
    test::TempDir dir;
    const std::string wav = dir.file("in.wav"), coded = dir.file("in.qcp");
    Bytes speech = test::readFileBytes(test::testDataPath("speech_8k.wav"));
    speech.resize(44 + 5 * 16000);  // 5 s: three passes of the pump
    putLe32At(speech, 4, static_cast<uint32_t>(speech.size() - 8));
    putLe32At(speech, 40, 5 * 16000);
    test::writeFileBytes(wav, speech);
    ASSERT_EQ(test::runVelconv({wav, coded}).exitStatus, 0);

    const struct {
        const char* what;
        std::string input;
        AudioFormat inFormat, outFormat;
    } directions[] = {{"encoding", wav, pcm(), qcp()}, {"decoding", coded, qcp(), pcm()}};
    for (const auto& d : directions) {
        int whole = 0;  // prefixes with a complete header
        bool finished = false;
        for (int n = 1; !finished; ++n) {
            SCOPED_TRACE(std::string(d.what) + ", writes stop at " + std::to_string(n));
            test::TestMemoryFile out;
            out.stopWritesAt = n;
            ISonxConvertFile* converter = createInstance<ISonxConvertFile>(CLSID_SonxFile);
            const FileHandle in = FileHandle::named(d.input.c_str());
            const FileHandle client = out.handle();
            converter->convert(&in, &d.inFormat, &client, &d.outFormat, nullptr, 0);
            converter->Release();
            finished = out.writeCalls < n;

            const std::string written = dir.file("written.bin"), back = dir.file("back.bin");
            test::writeFileBytes(written, out.bytes);
            ASSERT_EQ(checkOutputFile(written, true), "") << out.bytes.size() << " bytes";
            if (!findChunk(chunkMap(riffPart(out.bytes)), "data")) continue;
            ++whole;
            std::remove(back.c_str());  // the other direction's result is no file to replace
            // A writer stopped before it filled in the 'data' length left 0
            // there with data behind it: a damaged length, which -s reads.
            const auto chunks = chunkMap(riffPart(out.bytes));
            const ChunkPlace* data = findChunk(chunks, "data");
            const bool unfilled = data->length == 0 && data->pos + 8 < riffPart(out.bytes).size();
            test::RunResult r = test::runVelconv({written, back});
            if (unfilled) {
                EXPECT_EQ(r.exitStatus, 255);
                EXPECT_NE(r.errorOutput.find("looks cut short"), std::string::npos) << r.errorOutput;
                r = test::runVelconv({"-s", written, back});
            }
            ASSERT_EQ(r.exitStatus, 0) << r.errorOutput;
            // Every packet there decodes to 160 samples; samples are encoded
            // into packets of 160, the last one completed with silence.
            const uint32_t blocks = blocksIn(out.bytes), converted = blocksIn(test::readFileBytes(back));
            EXPECT_EQ(converted, d.outFormat.fileType == FILE_TYPE_WAV ? (blocks + 159) / 160 : blocks * 160);
        }
        EXPECT_GT(whole, 8) << d.what << ": too few prefixes held a whole header";
    }
}

}  // namespace
}  // namespace sonx::robustness
