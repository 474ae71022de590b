#include "core/Registry.h"

#include <winport/registry.h>

#include <vector>

bool RegReadDword(HKEY key, const char* name, DWORD* value) {
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof data;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_DWORD || size != sizeof data) return false;
  *value = data;
  return true;
}

bool RegReadText(HKEY root, const char* subKey, const char* name, std::string* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  bool ok = false;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::vector<BYTE> buffer(static_cast<std::size_t>(size) + 1, 0);
    if (RegQueryValueExA(key, name, nullptr, &type, buffer.data(), &size) == ERROR_SUCCESS) {
      value->assign(reinterpret_cast<const char*>(buffer.data()));
      ok = true;
    }
  }
  RegCloseKey(key);
  return ok;
}

bool RegSubKeyCount(HKEY key, DWORD* count) {
  return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, count, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}
