#include <gtest/gtest.h>

#include "platform/Platform.h"

// Pages that hold a character back for a combining mark must still give the last one.
TEST(PlatformText, CodePagesKeepTheLastCharacter) {
  for (UInt32 cp : {1255u, 1258u, 1251u, 932u, 1252u, 65001u, 0u})
    EXPECT_EQ(PlatformMultiByteToUnicode("abc", 3, cp), L"abc") << "code page " << cp;
  EXPECT_EQ(PlatformMultiByteToUnicode("caf\xE9", 4, 1258), L"caf\x00E9");
  EXPECT_EQ(PlatformMultiByteToUnicode("\xC7\xCF", 2, 1251), L"\x0417\x041F");
  EXPECT_EQ(PlatformMultiByteToUnicode("", 0, 1258), L"");
}

TEST(PlatformText, BstrCarriesItsByteLengthAndATerminator) {
  BSTR s = BstrAlloc(L"name", 4);
  EXPECT_EQ(BstrByteLength(s), 4 * sizeof(wchar_t));
  EXPECT_EQ(s[4], L'\0');
  EXPECT_EQ(UString(s), L"name");
  BstrFree(s);
  const Byte raw[3] = {1, 2, 3};
  BSTR b = BstrAllocBytes(raw, 3);
  EXPECT_EQ(BstrByteLength(b), 3u);
  EXPECT_EQ(std::memcmp(b, raw, 3), 0);
  BstrFree(b);
  BstrFree(nullptr);
  EXPECT_EQ(BstrByteLength(nullptr), 0u);
}
