// Test helper: writes into the registry from another process, racing the test and its siblings.
//   winport_registry_writer_helper KEY TAG COUNT
// Under HKLM\KEY it sets COUNT values "TAG-i" = i and, each time, "Last" = TAG and a subkey
// "Shared\i%8" (created by whoever comes first). Exits 0 when every call succeeded.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "winport/registry.h"

using namespace winport;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s KEY TAG COUNT\n", argv[0]);
    return 2;
  }
  const std::string key = argv[1], tag = argv[2];
  const int count = std::atoi(argv[3]);
  for (int i = 0; i < count; ++i) {
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) {
      std::fprintf(stderr, "create %s: %d\n", key.c_str(), rc);
      return 1;
    }
    const std::string name = tag + "-" + std::to_string(i);
    DWORD v = static_cast<DWORD>(i);
    rc = RegSetValueExA(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    if (rc == ERROR_SUCCESS)
      rc = RegSetValueExA(h, "Last", 0, REG_SZ, reinterpret_cast<const BYTE*>(tag.c_str()),
                          static_cast<DWORD>(tag.size() + 1));
    HKEY sub = nullptr;
    const std::string shared = "Shared\\" + std::to_string(i % 8);
    if (rc == ERROR_SUCCESS)
      rc = RegCreateKeyExA(h, shared.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, &sub, nullptr);
    if (sub) RegCloseKey(sub);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) {
      std::fprintf(stderr, "write %s: %d\n", name.c_str(), rc);
      return 1;
    }
  }
  return 0;
}
