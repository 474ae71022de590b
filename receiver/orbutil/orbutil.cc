// Stand-in for the utility library.
#include <orbutil.h>
#include <winport/registry.h>

#include "SimState.h"

using receiver_sim::SimState;
using namespace winport;

LONG Util_RegCreateKeyEx(HKEY root, const char* subKey, DWORD reserved, char* className,
                         DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result,
                         DWORD* disposition) {
  if (SimState::Load().Fails("Util_RegCreateKeyEx")) return static_cast<LONG>(ERROR_ACCESS_DENIED);
  return RegCreateKeyExA(root, subKey, reserved, className, options, access, security, result,
                         disposition);
}

BOOL Util_IsWinNT() {
  return SimState::Load().GetInt("is_winnt") != 0;
}

DWORD Util_SuspendOnLoad(DWORD) {
  return static_cast<DWORD>(SimState::Load().GetInt("suspend_on_load"));
}

BOOL Util_GetTotalDiskSpace(const char*, ULONGLONG* size) {
  if (size == nullptr) return FALSE;
  *size = static_cast<ULONGLONG>(SimState::Load().GetInt("disk_total"));
  return TRUE;
}

BOOL Util_GetFreeDiskSpace(const char*, ULONGLONG* size) {
  if (size == nullptr) return FALSE;
  *size = static_cast<ULONGLONG>(SimState::Load().GetInt("disk_free"));
  return TRUE;
}

// The simulated PC is not restarted; the call is counted so that tests and demos can see it.
BOOL Util_ExitWindows() {
  SimState s = SimState::Load();
  return receiver_sim::SetValue("exit_windows_count",
                                std::to_string(s.GetInt("exit_windows_count") + 1), nullptr);
}
