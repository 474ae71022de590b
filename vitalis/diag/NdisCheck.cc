// The NT network driver check (Windows NT 4 only): the driver's device, "VESNDIS<n>" among the
// MS-DOS device names, answers the NDIS statistics query for the frames it received.
#include <strings.h>
#include <winport/device.h>
#include <winport/error.h>
#include <winport/file.h>
#include <winport/handle.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "core/TraceLog.h"
#include "diag/Diagnostics.h"

namespace {

constexpr DWORD kPlatformNT4 = 3;
constexpr DWORD IOCTL_NDIS_QUERY_GLOBAL_STATS = 0x00170002;
constexpr DWORD OID_GEN_RCV_OK = 0x00020102;
constexpr DWORD kNameListGrowth = 260;
constexpr DWORD kNameListLimit = 1 << 20;

// "VESNDIS" (any case) followed by decimal digits or nothing.
bool IsDriverDevice(const char* name) {
  if (strncasecmp(name, "VESNDIS", 7) != 0) return false;
  for (const char* p = name + 7; *p != '\0'; ++p)
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  return true;
}

}  // namespace

BOOL CDiagnostics::VESNDISCheck() {
  if (m_dwPlatformType != kPlatformNT4) {
    LogErrorF("CDiagnostics::VESNDISCheck - this fn should not be called under windows 95/98");
    return FALSE;
  }
  // Every device name, the buffer grown while the system finds it too small.
  std::vector<char> names(kNameListGrowth);
  DWORD length = 0;
  for (;;) {
    length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (length != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        names.size() >= kNameListLimit)
      break;
    names.resize(names.size() + kNameListGrowth);
  }
  std::string instance;
  for (DWORD at = 0; at < length && names[at] != '\0';) {
    const char* name = names.data() + at;
    const std::size_t size = strnlen(name, length - at);
    if (IsDriverDevice(std::string(name, size).c_str())) {
      instance.assign(name, size);
      break;
    }
    at += static_cast<DWORD>(size + 1);
  }
  if (instance.empty()) {
    LogInfoF("CDiagnostics::VESNDISCheck - VESNDIS is not configured");
    return FALSE;
  }
  char link[MAX_PATH] = {};
  if (QueryDosDeviceA(instance.c_str(), link, sizeof link) == 0) link[0] = '\0';
  link[sizeof link - 1] = '\0';
  LogInfoF("CDiagnostics::VESNDISCheck - VESNDIS InstanceName : %s  LinkName = %s",
           instance.c_str(), link);

  std::string path = "\\\\.\\" + instance;
  HANDLE device = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    LogInfoF("CDiagnostics::VESNDISCheck CreateFile returned an error = %d",
             static_cast<int>(GetLastError()));
    return FALSE;
  }
  const DWORD oid = OID_GEN_RCV_OK;
  unsigned char answer[64] = {};
  DWORD returned = 0;
  BOOL passed = FALSE;
  if (DeviceIoControl(device, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, sizeof oid, answer,
                      sizeof answer, &returned, nullptr)) {
    if (returned == 4) {
      DWORD frames = 0;
      std::memcpy(&frames, answer, sizeof frames);
      LogInfoF("CDiagnostics::VESNDISCheck Frames received: %u", static_cast<unsigned>(frames));
      passed = TRUE;
    } else {
      LogErrorF("CDiagnostics::VESNDISCheck DeviceIoControl returned an invalid count = %d",
                static_cast<int>(returned));
    }
  } else {
    LogErrorF("CDiagnostics::VESNDISCheck DeviceIoControl returned an error = %d",
              static_cast<int>(GetLastError()));
  }
  CloseHandle(device);
  return passed;
}
