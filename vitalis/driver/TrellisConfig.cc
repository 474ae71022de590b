#include "driver/TrellisConfig.h"

#include "core/TraceLog.h"

using namespace winport;

PFN_TrellisOpenChannel CTrellisConfig::s_pfnOpenChannel = nullptr;
PFN_TrellisCloseChannel CTrellisConfig::s_pfnCloseChannel = nullptr;
PFN_TrellisGetLastError CTrellisConfig::s_pfnGetLastError = nullptr;

CTrellisConfig::CTrellisConfig() : CLoadableModule("Trellis.ocx"), m_dwChannel(0) {}

// The entry points are shared by the class: they must not outlive the library.
CTrellisConfig::~CTrellisConfig() {
  if (GetModuleHandle() != nullptr) Unload();
}

BOOL CTrellisConfig::Load() {
  LogInfo("CTrellisConfig::Load ", 0);
  if (!LoadLibraryFile()) return FALSE;
  s_pfnOpenChannel = reinterpret_cast<PFN_TrellisOpenChannel>(GetEntryPoint("TrellisOpenChannel"));
  s_pfnCloseChannel =
      reinterpret_cast<PFN_TrellisCloseChannel>(GetEntryPoint("TrellisCloseChannel"));
  s_pfnGetLastError =
      reinterpret_cast<PFN_TrellisGetLastError>(GetEntryPoint("TrellisGetLastError"));
  m_bEntryPointsBound =
      s_pfnOpenChannel != nullptr && s_pfnCloseChannel != nullptr && s_pfnGetLastError != nullptr;
  return m_bEntryPointsBound;
}

BOOL CTrellisConfig::Unload() {
  s_pfnOpenChannel = nullptr;
  s_pfnCloseChannel = nullptr;
  s_pfnGetLastError = nullptr;
  m_bEntryPointsBound = FALSE;
  return FreeLibraryFile();
}

BOOL CTrellisConfig::OpenChannel() {
  if (s_pfnOpenChannel == nullptr) {
    LogInfo("CTrellisConfig::OpenChannel - ptr is NULL", 0);
    return FALSE;
  }
  BOOL result = s_pfnOpenChannel(&m_dwChannel, 0, 1);
  if (!result)
    LogErrorF("CTrellisConfig::Openchannel - TrellisGetLastError = %d",
              static_cast<int>(GetLastError()));
  return result;
}

BOOL CTrellisConfig::CloseChannel() {
  if (s_pfnCloseChannel == nullptr) return FALSE;
  BOOL result = s_pfnCloseChannel(m_dwChannel);
  if (!result)
    LogErrorF("CTrellisConfig::Openchannel - TrellisGetLastError = %d",
              static_cast<int>(GetLastError()));
  return result;
}

DWORD CTrellisConfig::GetLastError() {
  if (s_pfnGetLastError == nullptr) {
    LogInfo("CTrellisConfig::GetLastError - ptr NULL", 0);
    return 0;
  }
  return s_pfnGetLastError();
}

BOOL CTrellisConfig::IsTrellisResponding() {
  BOOL result = FALSE;
  try {
    if (!Load()) {
      LogInfo("CTrellisConfig::IsTrellisResponding - could not load Trellis", 0);
    } else if (!OpenChannel()) {
      LogInfo("CTrellisConfig::IsTrellisResponding - could not Open channel", 0);
    } else if (!CloseChannel()) {
      LogInfo("CTrellisConfig::IsTrellisResponding - could not Close channel", 0);
    } else {
      result = TRUE;
    }
  } catch (...) {
    LogInfo("CTrellisConfig::IsTrellisResponding - unexpected error occured", 0);
    result = FALSE;
  }
  if (Unload())
    LogInfo("CTrellisConfig::IsTrellisResponding  - Trellis OCX unloaded", 0);
  else
    LogInfo("CTrellisConfig::IsTrellisResponding  - error unloading the Trellis OCX", 0);
  return result;
}
