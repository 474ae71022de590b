// Test support shared by the module's tests: the product's registry keys under HKLM (in the test's
// own prefix), small helpers to set, read and remove values and keys, and the module's trace in a
// file the test can read.
#pragma once

#include <gtest/gtest.h>
#include <winport/registry.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "core/Exports.h"
#include "core/TraceLog.h"
#include "core/Win.h"
#include "testing.h"

namespace vitalis_testing {

inline const std::string kOrbilink = "SOFTWARE\\Tessaline\\Orbilink";
inline const std::string kHR = kOrbilink + "\\HealthReport";
inline const std::string kDiag = kOrbilink + "\\Diagnostics";

// Removes a key with all its subkeys; a missing key is no error.
inline void DeleteTree(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  char name[256];
  DWORD size = sizeof name;
  while (RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    DeleteTree(root, path + "\\" + name);
    size = sizeof name;
  }
  RegCloseKey(key);
  RegDeleteKeyA(root, path.c_str());
}
inline void DeleteTree(const std::string& path) {
  DeleteTree(HKEY_LOCAL_MACHINE, path);
}

inline void CreateKey(const std::string& path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  RegCloseKey(key);
}

inline void SetValue(const std::string& path, const char* name, DWORD type, const void* data,
                     DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
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

inline void DeleteValue(const std::string& path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, name);
    RegCloseKey(key);
  }
}

inline bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// A value's type and raw bytes; "(no key)" or "(none)" when it is not there.
inline std::string RawValue(const std::string& path, const char* name, DWORD* type) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return "(no key)";
  std::string data(1000, '\0');
  DWORD size = static_cast<DWORD>(data.size());
  LONG rc = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data.data()), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return "(none)";
  data.resize(size);
  return data;
}

// A REG_DWORD value, or -1 when there is none of that type.
inline long long ReadDword(const std::string& path, const char* name) {
  DWORD type = 0;
  std::string raw = RawValue(path, name, &type);
  if (type != REG_DWORD || raw.size() != 4) return -1;
  DWORD value = 0;
  std::memcpy(&value, raw.data(), 4);
  return value;
}

// A REG_SZ value up to its terminator, "<no key>" or "<none>" when it is not there.
inline std::string ReadText(const std::string& path, const char* name) {
  DWORD type = 0;
  std::string raw = RawValue(path, name, &type);
  if (raw == "(no key)") return "<no key>";
  if (raw == "(none)" || type != REG_SZ) return "<none>";
  return raw.substr(0, raw.find('\0'));
}

inline std::set<std::string> SubKeys(const std::string& path) {
  std::set<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return names;
  char name[260];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.insert(name);
  }
  RegCloseKey(key);
  return names;
}

// A clean product key and the module's trace set to every line, in c:\hrdll.log, never wrapped
// (how many lines a test writes depends on how its threads ran).
inline void ResetProductKeyAndTrace() {
  DeleteTree(kOrbilink);
  SetDword(kHR, "TraceLevel", 8);
  SetDword(kHR, "TraceFileLen", 100000000);
  SetText(kHR, "DllTraceFileName", "c:\\hrdll.log");
  ResetModuleTrace();
}

// The trace into `file` at `level`, never wrapped, from a fresh start.
inline void TraceTo(const std::filesystem::path& file, int level = 8) {
  CTraceLog::Close();
  CTraceLog::Init(false);
  ASSERT_EQ(CTraceLog::SetTraceFileName(file.c_str()), 1) << file;
  CTraceLog::SetTraceFileLen(100000000);
  CTraceLog::SetTraceLevel(level);
}
// Closes the trace, so that all of it is in the file, and reads it.
inline std::string ReadTrace(const std::filesystem::path& file) {
  CTraceLog::Close();
  return winport::testing::ReadFile(file);
}

inline std::string ModuleTrace() {
  return winport::testing::ReadFile(winport::testing::Prefix() / "drive_c" / "hrdll.log");
}

inline bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace vitalis_testing
