// Stand-in for the utility library.
#include <orbutil.h>
#include <winport/clock.h>
#include <winport/registry.h>
#include <winport/system.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

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

namespace {

// The figures of the drive's file system ("c:" is the prefix's drive_c), unless the simulation
// states one (the setting `setting`, in bytes).
BOOL DiskSpace(const char* entryPoint, const char* drive, const char* setting, bool total,
               ULONGLONG* size) {
  if (size == nullptr) return FALSE;
  SimState s = SimState::Load();
  if (s.Fails(entryPoint)) return FALSE;
  if (!s.Get(setting).empty()) {
    *size = static_cast<ULONGLONG>(s.GetInt(setting));
    return TRUE;
  }
  std::string root = drive != nullptr && *drive != '\0' ? drive : "c:";
  if (root.back() != '\\') root += '\\';
  ULARGE_INTEGER avail{}, bytes{}, free{};
  if (!GetDiskFreeSpaceExA(root.c_str(), &avail, &bytes, &free)) return FALSE;
  *size = total ? bytes.QuadPart : free.QuadPart;
  return TRUE;
}

}  // namespace

BOOL Util_GetTotalDiskSpace(const char* drive, ULONGLONG* size) {
  return DiskSpace("Util_GetTotalDiskSpace", drive, "disk_total", true, size);
}

BOOL Util_GetFreeDiskSpace(const char* drive, ULONGLONG* size) {
  return DiskSpace("Util_GetFreeDiskSpace", drive, "disk_free", false, size);
}

// The simulated PC is never restarted: the request is counted in the simulation and written
// as one line to the simulation's trace (receiver-sim/trace.log beside its state), so that tests
// and demos can see that, and when, a restart was asked for.
BOOL Util_ExitWindows() {
  long long count = 0;
  std::string error;
  const bool recorded = receiver_sim::UpdateValues(
      [&](std::map<std::string, std::string>& values) {
        auto it = values.find("exit_windows_count");
        count = (it != values.end() ? std::strtoll(it->second.c_str(), nullptr, 0) : 0) + 1;
        values["exit_windows_count"] = std::to_string(count);
      },
      &error);
  const std::string when = AscTime(Now());
  std::ofstream trace(receiver_sim::StateFile().parent_path() / "trace.log", std::ios::app);
  trace << when << " Util_ExitWindows: restart " << count
        << (recorded ? " requested; the simulated PC is not restarted"
                     : " requested but not recorded: " + error)
        << '\n';
  return recorded ? TRUE : FALSE;
}
