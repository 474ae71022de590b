#include "regfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winport/registry.h"

namespace winport {
namespace {

HKEY Create(const char* path) {
  HKEY h = nullptr;
  EXPECT_EQ(
      RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
      ERROR_SUCCESS);
  return h;
}

void Set(HKEY h, const char* name, DWORD type, const std::string& data) {
  ASSERT_EQ(RegSetValueExA(h, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
}

struct Value {
  std::string name;
  DWORD type;
  std::string data;
  bool operator==(const Value&) const = default;
};

std::vector<Value> Values(HKEY h) {
  std::vector<Value> out;
  for (DWORD i = 0;; ++i) {
    char name[256];
    std::string data(4096, '\0');
    DWORD cch = sizeof name, type = 0, cb = static_cast<DWORD>(data.size());
    LONG rc =
        RegEnumValueA(h, i, name, &cch, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &cb);
    if (rc != ERROR_SUCCESS) break;
    data.resize(cb);
    out.push_back({name, type, data});
  }
  return out;
}

std::string Sz(const std::string& s) {
  return std::string(s.c_str(), s.size() + 1);
}

TEST(RegFile, ExportWritesTheEditorsFormat) {
  HKEY h = Create("Software\\RegFile\\Exact");
  Set(h, "", REG_SZ, Sz("dflt"));
  Set(h, "Count", REG_DWORD, std::string("\x0a\0\0\0", 4));
  Set(h, "Odd \"q\" \\ Grüße", REG_SZ, Sz("C:\\dir \"x\""));
  Set(h, "Exp", REG_EXPAND_SZ, Sz("%A%\\é"));
  Set(h, "Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5));
  std::string bin;
  for (int i = 0; i < 30; ++i) bin.push_back(static_cast<char>(i * 9));
  Set(h, "Bin", REG_BINARY, bin);
  HKEY sub = Create("Software\\RegFile\\Exact\\Sub");
  RegCloseKey(sub);

  std::string text;
  ASSERT_EQ(regfile::Export("HKCU\\Software\\RegFile\\Exact", &text), ERROR_SUCCESS);
  EXPECT_EQ(
      text,
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\RegFile\\Exact]\r\n"
      "@=\"dflt\"\r\n"
      "\"Bin\"=hex:00,09,12,1b,24,2d,36,3f,48,51,5a,63,6c,75,7e,87,90,99,a2,ab,b4,bd,c6,\\\r\n"
      "  cf,d8,e1,ea,f3,fc,05\r\n"
      "\"Count\"=dword:0000000a\r\n"
      "\"Exp\"=hex(2):25,00,41,00,25,00,5c,00,e9,00,00,00\r\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"Odd \\\"q\\\" \\\\ Grüße\"=\"C:\\\\dir \\\"x\\\"\"\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\RegFile\\Exact\\Sub]\r\n"
      "\r\n");
  RegCloseKey(h);
  EXPECT_EQ(regfile::Export("HKCU\\Software\\RegFile\\Missing", &text), ERROR_FILE_NOT_FOUND);
}

TEST(RegFile, RoundTripKeepsEveryByte) {
  HKEY h = Create("Software\\RegFile\\Trip\\Odd\"Key ñ");
  Set(h, "back\\slash", REG_SZ, Sz("a\\b"));
  Set(h, "quote\"d", REG_SZ, Sz("say \"hi\""));
  Set(h, "unicode ☃ 𝄞", REG_SZ, Sz("snow ☃ clef 𝄞"));
  Set(h, "bare", REG_SZ, "no terminator");
  Set(h, "lines", REG_SZ, Sz("one\r\ntwo"));
  Set(h, "embedded", REG_SZ, std::string("a\0b\0", 4));
  Set(h, "@", REG_SZ, Sz("a value named @"));
  Set(h, "none", REG_NONE, "");
  Set(h, "qword", 11, std::string("\1\2\3\4\5\6\7\x08", 8));
  Set(h, "shortdword", REG_DWORD, "\1\2");
  std::string big(300, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i);
  Set(h, "big", REG_BINARY, big);
  Set(h, "multi", REG_MULTI_SZ, std::string("één\0twee\0\0", 11));
  const std::vector<Value> before = Values(h);
  RegCloseKey(h);

  std::string text;
  ASSERT_EQ(regfile::Export("HKEY_CURRENT_USER\\Software\\RegFile\\Trip", &text), ERROR_SUCCESS);
  ASSERT_EQ(regfile::DeleteTree(HKEY_CURRENT_USER, "Software\\RegFile\\Trip"), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\RegFile\\Trip", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);

  regfile::Document doc;
  std::string error;
  ASSERT_TRUE(regfile::Parse(text, &doc, &error)) << error;
  ASSERT_EQ(regfile::Import(doc, &error), ERROR_SUCCESS) << error;
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\RegFile\\Trip\\Odd\"Key ñ", 0, KEY_READ, &h),
      ERROR_SUCCESS);
  EXPECT_EQ(Values(h), before);
  RegCloseKey(h);
  std::string again;
  ASSERT_EQ(regfile::Export("HKEY_CURRENT_USER\\Software\\RegFile\\Trip", &again), ERROR_SUCCESS);
  EXPECT_EQ(again, text);
}

TEST(RegFile, ReadsWhatTheEditorWrites) {
  // UTF-16LE with a byte-order mark, CR LF, comments, continued hex, deletions.
  std::string utf8 =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\RegFile\\Read]\r\n"
      "\"Path\"=hex(2):25,00,57,00,49,00,4e,00,25,00,\\\r\n"
      "  5c,00,78,00,00,00\r\n"
      "\"Gone\"=\"x\"\r\n"
      "\"Gone\"=-\r\n"
      "@=\"Ünï\"\r\n"
      "\"Empty\"=hex:\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\RegFile\\Read\\Doomed\\Deeper]\r\n"
      "[-HKEY_CURRENT_USER\\Software\\RegFile\\Read\\Doomed]\r\n";
  std::string file = "\xFF\xFE" + regfile::Utf8ToUtf16le(utf8);
  regfile::Document doc;
  std::string error;
  ASSERT_TRUE(regfile::Parse(file, &doc, &error)) << error;
  ASSERT_EQ(regfile::Import(doc, &error), ERROR_SUCCESS) << error;
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\RegFile\\Read", 0, KEY_READ, &h),
            ERROR_SUCCESS);
  EXPECT_EQ(Values(h), (std::vector<Value>{{"", REG_SZ, Sz("Ünï")},
                                           {"Empty", REG_BINARY, ""},
                                           {"Path", REG_EXPAND_SZ, Sz("%WIN%\\x")}}));
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExA(h, "Doomed", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
  RegCloseKey(h);

  // The older ANSI header: hex(2) holds the bytes themselves.
  ASSERT_TRUE(regfile::Parse("REGEDIT4\n\n[HKCU\\Software\\RegFile\\Read]\n\"A\"=hex(2):41,00\n",
                             &doc, &error))
      << error;
  ASSERT_EQ(doc.sections.size(), 1u);
  EXPECT_EQ(doc.sections[0].entries.at(0).data, std::string("A\0", 2));
}

TEST(RegFile, BadFilesNameTheLineAndImportNothing) {
  struct Case {
    std::string text;
    std::string error;
  };
  const std::string head = "Windows Registry Editor Version 5.00\n\n";
  for (const Case& c : std::vector<Case>{
           {"REGEDIT5\n", "line 1: "},
           {head + "[HKEY_NOWHERE\\X]\n", "line 3: unknown root key"},
           {head + "\"early\"=\"x\"\n", "line 3: a value outside of a key"},
           {head + "[HKCU\\X]\n\"v\"=hex:01,zz\n", "line 4: malformed hex data"},
           {head + "[HKCU\\X]\n\"v\"=dword:123456789\n", "line 4: malformed dword"},
           {head + "[HKCU\\X]\n\"v\"=\"open\n", "line 4: malformed string"},
           {head + "[HKCU\\X]\n\"v\"=hex:01,\\\n", "line 4: the file ends inside"},
           {head + "[HKCU\\X\n", "line 3: a key line must end"},
           {head + "[HKCU\\X]\n\"v\"=hex(7:00\n", "line 4: malformed hex(type)"},
           {head + "[HKCU\\X]\n\"v\" dword:1\n", "line 4: '=' expected"},
           {head + "[HKCU\\X]\n@=qword:1\n", "line 4: unrecognised value data"},
           {"\xFF\xFE" + regfile::Utf8ToUtf16le(head) + "x", "line 1: the file ends in the middle"},
       }) {
    regfile::Document doc;
    std::string error;
    EXPECT_FALSE(regfile::Parse(c.text, &doc, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }

  // Well-formed, but the third section cannot be written: nothing of the file stays.
  regfile::Document doc;
  std::string error;
  ASSERT_TRUE(regfile::Parse(head + "[HKCU\\Software\\RegFile\\Atomic]\n"
                                    "\"v\"=dword:00000001\n"
                                    "[HKLM\\HARDWARE\\Mine]\n",
                             &doc, &error));
  EXPECT_EQ(regfile::Import(doc, &error), ERROR_ACCESS_DENIED);
  EXPECT_EQ(error.rfind("line 5: ", 0), 0u) << error;
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\RegFile\\Atomic", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
  // ... and the registry is usable afterwards.
  HKEY k = Create("Software\\RegFile\\After");
  EXPECT_NE(k, nullptr);
  RegCloseKey(k);
}

}  // namespace
}  // namespace winport
