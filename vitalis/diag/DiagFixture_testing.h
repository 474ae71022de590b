// Shared set-up of the diagnostics tests: a clean product key in the test's own prefix, the
// module's trace in a file the test can read, and small registry helpers.
#pragma once

#include <gtest/gtest.h>
#include <winport/registry.h>

#include <filesystem>
#include <string>

#include "testing/Registry_testing.h"

namespace diag_testing {

using namespace vitalis_testing;

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

inline std::string TestKey(const char* subKey) {
  return kDiag + "\\" + subKey;
}

// The product's folders, empty, for the tests that start the receiver's programs.
class DiagProgramsTest : public DiagTest {
 protected:
  void SetUp() override {
    DiagTest::SetUp();
    std::filesystem::remove_all(DriveC("Orbilink"));
    for (const char* dir : {"Orbilink/Vitalis", "Orbilink/webpkg", "Orbilink/bin"})
      std::filesystem::create_directories(DriveC(dir));
  }
  static void Install(const char* standIn, const char* where) {
    std::filesystem::copy_file(winport::testing::BinDir() / standIn, DriveC(where),
                               std::filesystem::copy_options::overwrite_existing);
  }
  static void InstallWebcastProgram() { Install("castview", "Orbilink/webpkg/castview.exe"); }
};

}  // namespace diag_testing
