// The packet reader takes QCP packets from blocks read ahead: what a file
// conversion decodes must be exactly what the codec makes of the stream.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "robustness/robustness_support.h"
#include "sonx/sonx.h"
#include "support/test_support.h"

namespace sonx::robustness {
namespace {

TEST(ReadAhead, ConversionDecodesTheSamePacketsAsTheCodec) {
    // Packets of every size and stray bytes, well over one read-ahead block
    // and over several two-second passes.
    Bytes stream;
    uint32_t seed = 5, packets = 0;
    static const int kPayload[] = {0, 3, 7, 16, 34};
    while (packets < 700) {
        seed = seed * 1103515245u + 12345u;
        const uint8_t pick = uint8_t(seed >> 24);
        if (pick < 12) {
            stream.push_back(0x07);  // stray
            continue;
        }
        const uint8_t rate = pick < 140   ? 4
                             : pick < 190 ? 3
                             : pick < 215 ? 2
                             : pick < 245 ? 1
                             : pick < 250 ? 14
                                          : 0;
        stream.push_back(rate);
        for (int k = 0; k < (rate == 14 ? 0 : kPayload[rate]); ++k)
            stream.push_back(uint8_t((seed = seed * 1103515245u + 12345u) >> 20));
        ++packets;
    }

    Bytes file = baseQcp();
    const size_t dataPos = findChunk(chunkMap(file), "data")->pos;
    file.resize(dataPos + 8);
    putLe32At(file, dataPos + 4, static_cast<uint32_t>(stream.size()));
    file.insert(file.end(), stream.begin(), stream.end());
    if (stream.size() & 1) file.push_back(0);
    putLe32At(file, 4, static_cast<uint32_t>(file.size() - 8));
    test::TempDir dir;
    const std::string in = dir.file("in.qcp"), out = dir.file("out.wav");
    test::writeFileBytes(in, file);

    ISonxConvertFile* converter = createInstance<ISonxConvertFile>(CLSID_SonxFile);
    ISonxError* error = queryInterface<ISonxError>(converter);
    const FileHandle input = FileHandle::named(in.c_str()), output = FileHandle::named(out.c_str());
    AudioFormat inFormat, outFormat;
    inFormat.fileType = FILE_TYPE_QCP;
    outFormat.fileType = FILE_TYPE_WAV;
    outFormat.codec = CODEC_PCM;
    outFormat.sampleRate = 8000;
    outFormat.sampleBits = 16;
    ASSERT_TRUE(converter->convert(&input, &inFormat, &output, &outFormat, nullptr, 0));
    ASSERT_FALSE(error->hasError()) << error->errorText();
    error->Release();
    converter->Release();

    ISonxPacketCodec* codec = createInstance<ISonxPacketCodec>(CODEC_QCELP13K);
    ASSERT_TRUE(codec->SetRateSet(RATE_SET_VFR, 0));
    Bytes expected(size_t{packets} * 320);
    uint32_t consumed = 0;
    ASSERT_EQ(codec->Process(expected.data(), stream.data(), packets, 0, &consumed), packets * 160);
    codec->Release();

    const Bytes wav = test::readFileBytes(out);
    ASSERT_EQ(wav.size(), 44 + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), wav.begin() + 44));
}

}  // namespace
}  // namespace sonx::robustness
