#include "winport/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(TextTest, CaseFoldingIsAsciiOnly) {
  EXPECT_TRUE(winport::EqualsNoCase("HKEY_Local_Machine", "hkey_local_MACHINE"));
  EXPECT_FALSE(winport::EqualsNoCase("abc", "abcd"));
  // Bytes outside ASCII (here UTF-8 of "É" and "é") are compared as they are.
  EXPECT_FALSE(winport::EqualsNoCase("\xC3\x89", "\xC3\xA9"));
  EXPECT_EQ(winport::AsciiUpper("vesdd32.dll\xC3\xA9"), "VESDD32.DLL\xC3\xA9");
  EXPECT_EQ(winport::AsciiLower("[Section] @"), "[section] @");
  EXPECT_TRUE(winport::StartsWithNoCase("\\\\.\\MailSlot\\x", "\\\\.\\mailslot\\"));
  EXPECT_FALSE(winport::StartsWithNoCase("\\\\.", "\\\\.\\mailslot\\"));
  EXPECT_TRUE(winport::EndsWithNoCase("DIAGVIEW.EXE", ".exe"));
  EXPECT_FALSE(winport::EndsWithNoCase("exe", ".exe"));
}

TEST(TextTest, TrimTakesOnlyTheGivenBlanksFromTheEnds) {
  EXPECT_EQ(winport::Trim(" \tkey = v a l \t"), "key = v a l");
  EXPECT_EQ(winport::Trim(" \t \t"), "");
  EXPECT_EQ(winport::Trim(""), "");
  EXPECT_EQ(winport::Trim("value\r\n"), "value\r\n");
  EXPECT_EQ(winport::Trim("\r\n value\r\n", winport::kWhiteSpace), "value");
}

TEST(TextTest, Utf8DecodingTakesWellFormedSequencesOnly) {
  struct Case {
    std::string bytes;
    std::size_t length;
    char32_t cp;
  };
  for (const Case& c :
       {Case{"A", 1, U'A'}, Case{"\xC2\x80", 2, 0x80}, Case{"\xDF\xBF", 2, 0x7FF},
        Case{"\xE0\xA0\x80", 3, 0x800}, Case{"\xEF\xBF\xBF", 3, 0xFFFF},
        Case{"\xF0\x90\x80\x80", 4, 0x10000}, Case{"\xF4\x8F\xBF\xBF", 4, 0x10FFFF}}) {
    char32_t cp = 0;
    EXPECT_EQ(winport::DecodeUtf8(c.bytes, 0, &cp), c.length) << c.bytes;
    EXPECT_EQ(cp, c.cp);
    std::string again;
    winport::AppendUtf8(again, cp);
    EXPECT_EQ(again, c.bytes);
  }
  // Overlong forms, surrogates, values past U+10FFFF, stray continuation bytes, cut-short
  // sequences and a read past the end.
  for (const std::string& bad : {"\xC0\x80"s, "\xC1\xBF"s, "\xE0\x9F\xBF"s, "\xF0\x8F\xBF\xBF"s,
                                 "\xED\xA0\x80"s, "\xED\xBF\xBF"s, "\xF4\x90\x80\x80"s,
                                 "\xF5\x80\x80\x80"s, "\x80"s, "\xE2\x82"s, "\xE2\x28\xA1"s, ""s}) {
    char32_t cp = 0x1234;
    EXPECT_EQ(winport::DecodeUtf8(bad, 0, &cp), 0u) << bad.size();
    EXPECT_EQ(cp, 0x1234u);
  }
  char32_t cp = 0;
  EXPECT_EQ(winport::DecodeUtf8("a\xE2\x82\xAC", 1, &cp), 3u);
  EXPECT_EQ(cp, 0x20ACu);
}

}  // namespace
