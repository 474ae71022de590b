#include "registry_util.h"

#include <gtest/gtest.h>

#include <cstring>

namespace trailmark {
namespace {

using namespace winport;

void SetValue(HKEY root, const char* key, const char* name, DWORD type, const void* data,
              DWORD size) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            static_cast<LONG>(ERROR_SUCCESS));
  ASSERT_EQ(RegSetValueExA(h, name, 0, type, static_cast<const BYTE*>(data), size),
            static_cast<LONG>(ERROR_SUCCESS));
  RegCloseKey(h);
}

TEST(TrailmarkRegistryUtilTest, SetIEHomePageWritesTextWithoutTerminator) {
  EXPECT_EQ(SetIEHomePage("http://www.example.com/"), kVbTrue);
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main", 0,
                          KEY_READ, &h),
            static_cast<LONG>(ERROR_SUCCESS));
  BYTE data[64] = {};
  DWORD size = sizeof(data), type = 0;
  ASSERT_EQ(RegQueryValueExA(h, "Start Page", nullptr, &type, data, &size),
            static_cast<LONG>(ERROR_SUCCESS));
  RegCloseKey(h);
  EXPECT_EQ(type, REG_SZ);
  // The store may add a terminator of its own; the text itself is whole.
  ASSERT_GE(size, std::strlen("http://www.example.com/"));
  EXPECT_EQ(std::memcmp(data, "http://www.example.com/", std::strlen("http://www.example.com/")),
            0);

  // Read back whole, although no terminator was stored.
  QString value;
  EXPECT_TRUE(GetKeyValue(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Explorer\\Main",
                          "Start Page", value));
  EXPECT_EQ(value, "http://www.example.com/");

  EXPECT_EQ(WriteRegistryString(reinterpret_cast<HKEY>(0x1234), "x", "y", "z"), kVbFalse);
}

TEST(TrailmarkRegistryUtilTest, GetKeyValueTextAndNumbers) {
  const char* key = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
  SetValue(HKEY_LOCAL_MACHINE, key, "PATH", REG_SZ, "c:\\msinfo\\msinfo32.exe",
           sizeof("c:\\msinfo\\msinfo32.exe"));
  QString value = "stale";
  EXPECT_TRUE(GetKeyValue(HKEY_LOCAL_MACHINE, key, "PATH", value));
  EXPECT_EQ(value, "c:\\msinfo\\msinfo32.exe");

  // Every byte counts with two digits: 0x00000100 is 256, not 16.
  const struct {
    DWORD number;
    const char* text;
  } numbers[] = {
      {0, "0"}, {1, "1"}, {0x100, "256"}, {0x12345678, "305419896"}, {0xFFFFFFFF, "4294967295"}};
  for (const auto& n : numbers) {
    SetValue(HKEY_LOCAL_MACHINE, key, "N", REG_DWORD, &n.number, sizeof(n.number));
    EXPECT_TRUE(GetKeyValue(HKEY_LOCAL_MACHINE, key, "N", value));
    EXPECT_EQ(value, n.text);
  }

  EXPECT_FALSE(GetKeyValue(HKEY_LOCAL_MACHINE, key, "missing", value));
  EXPECT_EQ(value, "");
  value = "stale";
  EXPECT_FALSE(GetKeyValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", "PATH", value));
  EXPECT_EQ(value, "");
  // Longer than the 1024-byte buffer.
  const std::string longText(2000, 'x');
  SetValue(HKEY_LOCAL_MACHINE, key, "Long", REG_SZ, longText.c_str(), 2001);
  EXPECT_FALSE(GetKeyValue(HKEY_LOCAL_MACHINE, key, "Long", value));
}

}  // namespace
}  // namespace trailmark
