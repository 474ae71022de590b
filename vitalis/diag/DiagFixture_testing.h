// Shared set-up of the diagnostics tests: a clean product key in the test's own prefix, the
// module's trace in a file the test can read, and small registry helpers.
#pragma once

#include <gtest/gtest.h>
#include <winport/registry.h>

#include <filesystem>
#include <string>

#include "core/Exports.h"
#include "core/TraceLog.h"
#include "core/Win.h"
#include "testing.h"

namespace diag_testing {

inline constexpr const char kOrbilink[] = "SOFTWARE\\Tessaline\\Orbilink";
inline constexpr const char kHR[] = "SOFTWARE\\Tessaline\\Orbilink\\HealthReport";
inline constexpr const char kDiag[] = "SOFTWARE\\Tessaline\\Orbilink\\Diagnostics";

inline void DeleteTree(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  for (;;) {
    char name[256];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    DeleteTree(root, path + "\\" + name);
  }
  RegCloseKey(key);
  std::string parent = path.substr(0, path.rfind('\\'));
  std::string leaf = path.substr(path.rfind('\\') + 1);
  HKEY parentKey = nullptr;
  if (RegOpenKeyExA(root, parent.c_str(), 0, KEY_ALL_ACCESS, &parentKey) == ERROR_SUCCESS) {
    RegDeleteKeyA(parentKey, leaf.c_str());
    RegCloseKey(parentKey);
  }
}

inline void SetValue(const std::string& path, const char* name, DWORD type, const void* data,
                     DWORD size) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(key);
}
inline void SetDword(const std::string& path, const char* name, DWORD value) {
  SetValue(path, name, REG_DWORD, &value, sizeof value);
}
inline void SetText(const std::string& path, const char* name, const std::string& value) {
  SetValue(path, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

// The stored "TestStatus" of a test subkey, or -1 when it cannot be read as a DWORD.
inline long long StoredStatus(const std::string& subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kDiag) + "\\" + subKey).c_str(), 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return -1;
  DWORD type = 0, data = 0, size = sizeof data;
  LONG rc =
      RegQueryValueExA(key, "TestStatus", nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_DWORD && size == 4 ? data : -1;
}

class DiagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteTree(HKEY_LOCAL_MACHINE, kOrbilink);
    SetDword(kHR, "TraceLevel", 8);
    SetDword(kHR, "TraceFileLen", 100000000);
    SetText(kHR, "DllTraceFileName", "c:\\hrdll.log");
    SetText(kOrbilink, "MainDirectory", "c:\\Orbilink");
    ResetModuleTrace();
    InitModuleTrace(true);
  }
  void TearDown() override { ResetModuleTrace(); }

  static std::string Trace() {
    return winport::testing::ReadFile(winport::testing::Prefix() / "drive_c" / "hrdll.log");
  }
  static bool Traced(const std::string& line) { return Trace().find(line) != std::string::npos; }
  // The host path of a file of the emulated c: drive.
  static std::filesystem::path DriveC(const std::string& relative) {
    return winport::testing::Prefix() / "drive_c" / relative;
  }
};

}  // namespace diag_testing
