#include <gtest/gtest.h>

#include "sonx/sonx.h"

namespace sonx {
namespace {

TEST(Guid, RegistryFormRoundTripsAndStoresFieldsLittleEndian) {
    const Guid g = CODEC_QCELP13K;
    // Wire order: 32-bit, 16-bit, 16-bit fields little-endian, then 8 bytes.
    const uint8_t wire[16] = {0x41, 0x6D, 0x7F, 0x5E, 0x15, 0xB1, 0xD0, 0x11,
                              0xBA, 0x91, 0x00, 0x80, 0x5F, 0xB4, 0xB9, 0x7E};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(g.bytes[i], wire[i]) << i;
    EXPECT_EQ(g.toString(), "{5E7F6D41-B115-11D0-BA91-00805FB4B97E}");

    Guid parsed;
    ASSERT_TRUE(Guid::parse("5e7f6d41-b115-11d0-ba91-00805fb4b97e", parsed));
    EXPECT_EQ(parsed, g);
}

TEST(Guid, MalformedTextIsRefusedAndLeavesTargetAlone) {
    Guid target = RATE_SET_VFR;
    for (const char* bad : {"", "{5E7F6D41-B115-11D0-BA91-00805FB4B97E", "5E7F6D41B11511D0BA9100805FB4B97E0000",
                            "{5E7F6D41-B115-11D0-BA91-00805FB4B97G}", "{5E7F6D41_B115-11D0-BA91-00805FB4B97E}"}) {
        EXPECT_FALSE(Guid::parse(bad, target)) << bad;
        EXPECT_EQ(target, RATE_SET_VFR);
    }
}

TEST(Guid, IdentitiesDifferFromEachOther) {
    const Guid all[] = {IID_ISonxUnknown, IID_ISonxError, IID_ISonxFile, IID_ISonxConvertFile,
                        IID_ISonxQcpChunks, IID_ISonxCodec, IID_ISonxPacketCodec, CLSID_SonxFile,
                        CODEC_PCM, CODEC_G711_ULAW, CODEC_QCELP13K, CODEC_QCELP13K_ALT,
                        FILE_TYPE_QCP, FILE_TYPE_WAV, FILE_TYPE_RAW, DATA_FORMAT_SAMPLES,
                        RATE_SET_VFR, RATE_SET_VHR, RATE_SET_FFR, RATE_SET_FHR, RATE_SET_VFR_SLOTTED,
                        RATE_SET_VHR_SLOTTED, RATE_SET_FHR_BARE, DATA_FORMAT_FIXED_1, DATA_FORMAT_FIXED_2};
    const size_t n = sizeof all / sizeof all[0];
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) EXPECT_FALSE(all[i] == all[j]) << i << " " << j;
}

}  // namespace
}  // namespace sonx
