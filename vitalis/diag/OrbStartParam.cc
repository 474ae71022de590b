#include "diag/OrbStartParam.h"

#include <winport/registry.h>

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
