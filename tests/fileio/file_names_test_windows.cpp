// Windows names: device names refused in any folder and with any extension,
// and names past the old limit given the \\?\ form the wide calls need.
#include <gtest/gtest.h>

#include "sonx/fileio/file_names_windows.h"

namespace sonx::test {
namespace {

TEST(FileNamesWindows, DeviceNamesAreReservedInAnyFolderAndCase) {
    const struct {
        const char* name;
        bool reserved;
    } kCases[] = {
        {"NUL", true},          {"nul.qcp", true},         {"C:\\memos\\con.wav", true}, {"memos/Com1.wav", true},
        {"LPT9", true},         {"aux .wav", true},        {"COM0", false},              {"COM10.wav", false},
        {"console.wav", false}, {"memos/nul/a.wav", false}, {"nully.qcp", false},          {"C:prn", true},
    };
    for (const auto& c : kCases) EXPECT_EQ(file_names::isReservedName(c.name), c.reserved) << c.name;
}

TEST(FileNamesWindows, LongNamesTakeTheExtendedFormAndRoundTrip) {
    const std::string korean = "\xED\x9A\x8C\xEC\x9D\x98 \xEB\xA9\x94\xEB\xAA\xA8.wav";  // 회의 메모.wav
    EXPECT_EQ(file_names::utf8FromWide(file_names::wideFromUtf8(korean)), korean);
    EXPECT_EQ(file_names::wideFromUtf8(korean).size(), 9u);
    EXPECT_EQ(file_names::systemName("C:/memos/a.wav"), L"C:\\memos\\a.wav");

    const std::string deep = "C:/" + std::string(300, 'm') + "/a.wav";
    const std::wstring name = file_names::systemName(deep);
    EXPECT_EQ(name.rfind(L"\\\\?\\C:\\", 0), 0u);
    EXPECT_EQ(name.find(L'/'), std::wstring::npos);
    EXPECT_EQ(file_names::systemName("\\\\server\\share\\" + std::string(300, 'm')).rfind(L"\\\\?\\UNC\\server\\", 0),
              0u);
}

}  // namespace
}  // namespace sonx::test
