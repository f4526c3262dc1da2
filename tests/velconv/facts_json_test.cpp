// The one JSON shape of a file's facts, which velconv -i --json prints and
// the page reads: its fields, in order, for each container.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "sonx/sonx.h"
#include "support/test_support.h"
#include "words/facts.h"

namespace sonx::test {
namespace {

std::string keysOf(const std::string& json) {
    static const std::regex key("\"([A-Za-z]+)\":");
    std::string keys;
    for (std::sregex_iterator at(json.begin(), json.end(), key), end; at != end; ++at)
        keys += (keys.empty() ? "" : " ") + (*at)[1].str();
    return keys;
}

TEST(FactsJson, EachContainerHasTheDocumentedFields) {
    TempDir dir;
    const std::string wav = testDataPath("speech_8k.wav"), qcp = dir.file("memo.qcp");
    ASSERT_EQ(sonx_convert_file(wav.c_str(), qcp.c_str(), nullptr, nullptr, nullptr, nullptr), SONX_OK);
    ASSERT_EQ(sonx_set_chunk(qcp.c_str(), "labl", "kitchen \"memo\"", 14), SONX_OK);
    const struct {
        std::string path, keys, values;
    } cases[] = {
        {qcp,
         "file container codec codecId decodable rateSet sampleRate samples duration packets packetsByRate full half "
         "quarter eighth blank erasure packetsPromised averageBitRate label text cutShort damage",
         "\"codec\":\"QCELP-13K\",\"codecId\":\"{5E7F6D41-B115-11D0-BA91-00805FB4B97E}\",\"decodable\":true,"
         "\"rateSet\":\"vfr\",\"sampleRate\":8000"},
        {wav,
         "file container format formatTag channels sampleBits decodable sampleRate samples duration label text "
         "cutShort damage",
         "\"format\":\"PCM\",\"formatTag\":1,\"channels\":1,\"sampleBits\":16,\"decodable\":true"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.path);
        FileFacts facts;
        std::string error;
        ASSERT_TRUE(describeFile(FileHandle::named(row.path.c_str()), facts, error)) << error;
        const std::string json = words::factsJson("memo", facts);
        EXPECT_EQ(keysOf(json), row.keys) << json;
        EXPECT_NE(json.find(row.values), std::string::npos) << json;
        EXPECT_NE(json.find("\"cutShort\":false,\"damage\":null}"), std::string::npos) << json;
        EXPECT_EQ(json.find('\n'), std::string::npos);
    }
    FileFacts memo;
    std::string error;
    ASSERT_TRUE(describeFile(FileHandle::named(qcp.c_str()), memo, error));
    EXPECT_NE(words::factsJson("memo", memo).find("\"label\":\"kitchen \\\"memo\\\"\""), std::string::npos);
    EXPECT_EQ(words::errorJson("a\xff\n", "gone"), "{\"file\":\"a\\ufffd\\u000a\",\"error\":\"gone\"}");
}

}  // namespace
}  // namespace sonx::test
