#include "diag/OrbStartParam.h"

#include <orbutil.h>
#include <winport/registry.h>

#include <cstdio>
#include <string>

#include "core/Registry.h"
#include "core/TraceLog.h"

BOOL COrbStartParam::DeleteKey() {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink\\ORBStart", 0,
                          KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS) {
    LogErrorF("COrbStartParam::DeleteKey - could not open ORBStart key, error = %ld",
              static_cast<long>(rc));
    return FALSE;
  }
  rc = RegDeleteKeyA(key, "SHOWPROPS");
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    LogErrorF("COrbStartParam::DeleteKey - SHOWPROPS key not deleted, error = %ld",
              static_cast<long>(rc));
    return FALSE;
  }
  LogInfoF("COrbStartParam::DeleteKey - SHOWPROPS key deleted");
  return TRUE;
}

BOOL COrbStartParam::IfOrbKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink\\ORBStart\\SHOWPROPS", 0,
                    KEY_READ, &key) != ERROR_SUCCESS)
    return FALSE;
  RegCloseKey(key);
  return TRUE;
}

namespace {

constexpr char kOrbStartKey[] = "SOFTWARE\\Tessaline\\Orbilink\\ORBStart";

}  // namespace

BOOL COrbStartParam::GetInstallPath(char* path, DWORD size) {
  if (path == nullptr || size == 0) return FALSE;
  path[0] = '\0';
  std::string dir;
  if (!RegReadText(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink", "MainDirectory", &dir) ||
      dir.size() >= size) {
    LogErrorF("COrbStartParam::GetInstallPath - MainDirectory could not be read");
    return FALSE;
  }
  std::snprintf(path, size, "%s", dir.c_str());
  return TRUE;
}

BOOL COrbStartParam::CreateKeyValues(HKEY key) {
  char installDir[500] = {};
  GetInstallPath(installDir, sizeof installDir);
  std::snprintf(ExePath, sizeof ExePath, "%s\\bin\\orbnav.exe", installDir);
  std::snprintf(StartPref, sizeof StartPref, "1");
  std::snprintf(CmdLine, sizeof CmdLine, "/SHOWWCPROPS");
  std::snprintf(MUTEX, sizeof MUTEX, "MUTEX_NONE");
  std::snprintf(StartDelay, sizeof StartDelay, "0005");
  const struct {
    const char* name;
    const char* field;
  } values[] = {{"ExePath", ExePath},
                {"StartPref", StartPref},
                {"CmdLine", CmdLine},
                {"MUTEX", MUTEX},
                {"StartDelay", StartDelay}};
  BOOL ok = TRUE;
  for (const auto& v : values) {
    // The whole field, padding included, as the navigator reads it.
    if (RegSetValueExA(key, v.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.field),
                       kFieldSize) != ERROR_SUCCESS) {
      LogErrorF("COrbStartParam::CreateKeyValues - could not write %s", v.name);
      ok = FALSE;
    }
  }
  return ok;
}

BOOL COrbStartParam::CreateKey() {
  HKEY orbStart = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kOrbStartKey, 0, KEY_CREATE_SUB_KEY, &orbStart);
  if (rc != ERROR_SUCCESS) {
    LogErrorF("COrbStartParam::CreateKey - could not open ORBStart key, error = %ld",
              static_cast<long>(rc));
    return FALSE;
  }
  HKEY showProps = nullptr;
  DWORD disposition = 0;
  rc = Util_RegCreateKeyEx(orbStart, "SHOWPROPS", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           &showProps, &disposition);
  RegCloseKey(orbStart);
  if (rc != ERROR_SUCCESS) {
    LogErrorF("COrbStartParam::CreateKey - could not create SHOWPROPS key, error = %ld",
              static_cast<long>(rc));
    return FALSE;
  }
  BOOL ok = CreateKeyValues(showProps);
  RegCloseKey(showProps);
  LogInfoF("COrbStartParam::CreateKey - SHOWPROPS key created");
  return ok;
}
