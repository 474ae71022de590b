// The test status store: each test's last result as the "TestStatus" value of its subkey.
// Readers outside the module (the diagnostics application) watch "DIAGSTATUS_UPDATE_EVENT",
// which is signalled whenever a stored status changes.
#include <orbutil.h>
#include <winport/error.h>
#include <winport/handle.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <string>

#include "core/Registry.h"
#include "core/TraceLog.h"
#include "diag/Diagnostics.h"
#include "diag/TestTable.h"

namespace {

constexpr const char kStatusEvent[] = "DIAGSTATUS_UPDATE_EVENT";

std::string StatusKeyPath(const DiagTestDefaults& row) {
  return std::string(kDiagnosticsKey) + "\\" + row.subKey;
}

bool ReadStatus(const DiagTestDefaults& row, DWORD* status) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, StatusKeyPath(row).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return false;
  bool ok = RegReadDword(key, "TestStatus", status);
  RegCloseKey(key);
  return ok;
}

void SignalStatusChange() {
  // The event is opened for each change and closed again; nothing in the module keeps it.
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, kStatusEvent);
  if (event == nullptr) {
    // A store that cannot tell its readers still keeps the status written.
    LogErrorF("CDiagnostics::SetTestStatus - could not create DIAGSTATUS_UPDATE_EVENT, err %d",
              static_cast<int>(GetLastError()));
    return;
  }
  SetEvent(event);
  CloseHandle(event);
}

}  // namespace

BOOL CDiagnostics::SetTestStatus(DWORD id, DWORD status) {
  BOOL result = FALSE;
  const DiagTestDefaults* row = FindTestDefaults(id);
  if (row != nullptr) {
    DWORD old = 0;
    bool known = ReadStatus(*row, &old);
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (Util_RegCreateKeyEx(HKEY_LOCAL_MACHINE, StatusKeyPath(*row).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, &disposition) == ERROR_SUCCESS) {
      result =
          RegSetValueExA(key, "TestStatus", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&status),
                         sizeof status) == ERROR_SUCCESS;
      RegCloseKey(key);
    }
    if (result && (!known || old != status)) SignalStatusChange();
  }
  LogInfoF("CDiagnostics::SetTestStatus( %d, %d) result = %d", static_cast<int>(id),
           static_cast<int>(status), static_cast<int>(result));
  return result;
}

BOOL CDiagnostics::GetTestStatus(DWORD id, DWORD* status) {
  BOOL result = FALSE;
  DWORD value = 0;
  const DiagTestDefaults* row = FindTestDefaults(id);
  if (row != nullptr && ReadStatus(*row, &value)) {
    result = TRUE;
    if (status != nullptr) *status = value;
  }
  LogInfoF("CDiagnostics::GetTestStatus( %d, %d) result = %d", static_cast<int>(id),
           static_cast<int>(value), static_cast<int>(result));
  return result;
}

void CDiagnostics::SetAllTestStatus(DWORD status) {
  for (DWORD id = DIAGTEST_ADAPTER; id <= DIAGTEST_TCPIP; ++id) SetTestStatus(id, status);
}
