// The public memory file: borrowed bytes are never written, owned bytes
// grow and shrink with what the library writes.
#include <gtest/gtest.h>

#include "convert/convert_test_util.h"
#include "sonx/sonx.h"
#include "support/test_support.h"

namespace sonx::test {
namespace {

TEST(MemoryFileHandle, BorrowedBytesStayAsTheyAreAndOwnedBytesFollowTheFile) {
    const std::vector<uint8_t> wav = speechWav(0.2);
    Ref<ISonxFile> file(createInstance<ISonxFile>(CLSID_SonxFile));
    Ref<ISonxError> error(queryInterface<ISonxError>(file.get()));
    ASSERT_TRUE(file && error);

    std::vector<uint8_t> lent = wav;
    sonx::MemoryFile borrowed(lent.data(), lent.size());
    const FileHandle lentHandle = borrowed.handle();
    const ConversionRequest encode = wavToQcpRequest(RATE_SET_VFR);
    EXPECT_FALSE(file->open(&lentHandle, 1, &encode.output, &encode.input));
    EXPECT_EQ(lent, wav);

    sonx::MemoryFile owned;
    const FileHandle ownedHandle = owned.handle();
    ASSERT_TRUE(file->open(&ownedHandle, 1, &encode.output, &encode.input)) << error->errorText();
    uint32_t taken = 0;
    file->write(1600, wav.data() + 44, &taken);
    ASSERT_TRUE(file->close(1)) << error->errorText();
    const size_t coded = owned.size();
    EXPECT_GT(coded, 0u);

    Ref<ISonxQcpChunks> chunks(queryInterface<ISonxQcpChunks>(file.get()));
    const std::string longText(300, 'x');
    ASSERT_TRUE(chunks->setTextChunk(&ownedHandle, reinterpret_cast<const uint8_t*>(longText.data()), 300));
    ASSERT_TRUE(chunks->setTextChunk(&ownedHandle, reinterpret_cast<const uint8_t*>("short"), 5))
        << error->errorText();
    EXPECT_EQ(owned.size(), coded + 8 + 6);  // the chunk and its pad byte
    EXPECT_EQ(chunks->getTextChunk(&ownedHandle, nullptr, 0), 5u);
}

}  // namespace
}  // namespace sonx::test
