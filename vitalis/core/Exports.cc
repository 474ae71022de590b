// The module's three exported entry points and the once-per-process trace set-up.
#include "core/Exports.h"

#include <winport/error.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <cstring>

#include "core/DAKDllMain.h"
#include "core/Registry.h"
#include "core/TraceLog.h"

namespace {

bool s_bTraceInitted = false;
CDAKDllMain* s_pInstance = nullptr;

constexpr DWORD kDefaultTraceLevel = 1;
constexpr DWORD kDefaultTraceLines = 1000;
constexpr DWORD kMinTraceLines = 10;
constexpr DWORD kNameBufferSize = 50;

// A REG_SZ name that fits the 50-byte buffer with its zero; anything else keeps the default.
bool ReadTraceName(HKEY key, const char* valueName, char* name) {
  char buffer[kNameBufferSize + 1] = {};
  DWORD type = 0;
  DWORD size = kNameBufferSize;
  if (RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_SZ || size == 0) return false;
  if (std::memchr(buffer, '\0', size) == nullptr) return false;  // no room for its zero
  if (buffer[0] == '\0') return false;
  std::memcpy(name, buffer, kNameBufferSize);
  return true;
}

}  // namespace

CDAKDllMain* GetCurrentInstance() {
  return s_pInstance;
}

void ResetModuleTrace() {
  s_bTraceInitted = false;
}

void InitModuleTrace(bool forDll) {
  if (s_bTraceInitted) return;
  s_bTraceInitted = true;

  DWORD level = kDefaultTraceLevel;
  DWORD lines = kDefaultTraceLines;
  const char* valueName = forDll ? "DllTraceFileName" : "OcxTraceFileName";
  char name[kNameBufferSize + 1] = {};
  std::strcpy(name, forDll ? "HRDLL.log" : "HROCX.log");

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_QUERY_VALUE, &key) ==
      ERROR_SUCCESS) {
    if (!RegReadDword(key, "TraceLevel", &level)) level = kDefaultTraceLevel;
    if (!RegReadDword(key, "TraceFileLen", &lines)) lines = kDefaultTraceLines;
    if (lines < kMinTraceLines) lines = kDefaultTraceLines;
    ReadTraceName(key, valueName, name);
    RegCloseKey(key);
  }

  CTraceLog::Init(false);
  CTraceLog::SetTraceFileName(name);
  CTraceLog::SetTraceFileLen(lines);
  CTraceLog::SetTraceLevel(static_cast<int>(level));
}

extern "C" {

VITALIS_EXPORT DWORD StartVitalisDLL() {
  try {
    InitModuleTrace(true);
    LogInfoF("StartVitalisDLL() entered");

    // A refused make leaves the running instance in place, so that a stop still reaches it.
    CDAKDllMain* instance = CDAKDllMain::MakeObject();
    if (instance == nullptr) return 1;
    s_pInstance = instance;

    SetLastError(0);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "HEALTH_REPORT_MUTEX");
    s_pInstance->SetInstanceMutex(mutex);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      LogInfoF("StartVitalisDLL -  the dll instance already exists - cannot  start dll");
      CDAKDllMain::ReleaseObject(s_pInstance);
      s_pInstance = nullptr;
      return 1;
    }
    LogInfoF("StartVitalisDLL -  the dll instance does not exist -starting dll");
    DWORD result = s_pInstance->Init();
    LogInfoF("StartVitalisDLL - DAKUsabMain.Init() returned %d", static_cast<int>(result));
    return result;
  } catch (...) {
    // Nothing may escape into the host.
    LogErrorF("StartVitalisDLL - unexpected failure");
    return 3;
  }
}

VITALIS_EXPORT DWORD StopVitalisDLL() {
  HANDLE result = nullptr;
  try {
    InitModuleTrace(true);
    LogInfoF("StopVitalisDLL called");
    if (s_pInstance != nullptr) {
      result = s_pInstance->OnShutDown();
      CDAKDllMain::ReleaseObject(s_pInstance);
      s_pInstance = nullptr;
    }
    LogInfoF("StopVitalisDLL - Closing trace log operation");
    CTraceLog::Close();
  } catch (...) {
    LogErrorF("StopVitalisDLL - unexpected failure");
  }
  return result != nullptr ? 1 : 0;
}

VITALIS_EXPORT DWORD SetReportingMode(LONG mode) {
  try {
    InitModuleTrace(true);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS) {
      key = nullptr;
      LogErrorF("SetReportingMode -> Error in openning %s key", kHealthReportKey);
      HKEY parent = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kOrbilinkKey, 0, KEY_CREATE_SUB_KEY, &parent) !=
          ERROR_SUCCESS) {
        LogErrorF("SetReportingMode -> Unable to open key %s, will not set Reporting Mode",
                  kOrbilinkKey);
      } else {
        LogInfoF("SetReportingMode -> creating healthreport key under Orbilink");
        DWORD disposition = 0;
        if (RegCreateKeyExA(parent, "HealthReport", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition) != ERROR_SUCCESS) {
          key = nullptr;
          LogErrorF("SetReportingMode -> key %s not created, will not set Reporting Mode",
                    "HealthReport");
        }
        RegCloseKey(parent);
      }
    }
    if (key == nullptr) {
      LogErrorF("SetReportingMode -> key %s not available, TxMode not set", kHealthReportKey);
      return 0;
    }
    LogInfoF("SetReportingMode -> setting TxMode to %d", static_cast<int>(mode));
    DWORD value = static_cast<DWORD>(mode);
    DWORD result = 1;
    if (RegSetValueExA(key, "TxMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value) != ERROR_SUCCESS) {
      LogErrorF("SetReportingMode -> Error in setting TxMode to %d ", static_cast<int>(mode));
      result = 0;
    }
    RegCloseKey(key);
    return result;
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
