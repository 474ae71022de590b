// NOT DONE YET: stand-in diagnostics worker (see Diagnostics.h).
#include "diag/Diagnostics.h"

#include <winport/error.h>
#include <winport/handle.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/Registry.h"
#include "core/TraceLog.h"
#include "diag/TestTable.h"

CDiagnostics::CDiagnostics(CReportStore* store)
    : m_pReportStore(store),
      m_dwConnectionState(0),
      m_hDiagShutEvent(nullptr),
      m_szInstallDir{},
      m_szLocalINIPath{},
      m_szLocalINIBackupPath{} {
  m_hDiagShutEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (m_hDiagShutEvent == nullptr)
    LogErrorF("CDiagnostics::Initialize() - CreateEvent for ShutDown returns err, %d",
              static_cast<int>(GetLastError()));
}

CDiagnostics::~CDiagnostics() {
  StopAndJoin();
  if (m_hDiagShutEvent != nullptr) CloseHandle(m_hDiagShutEvent);
}

HANDLE CDiagnostics::OnShutDown() {
  LogInfoF("CDiagnostics::OnShutDown");
  if (m_hDiagShutEvent != nullptr) {
    if (SetEvent(m_hDiagShutEvent))
      LogInfoF("CDiagnostics::OnShutDown -- event set for shut event");
    else
      LogErrorF("CDiagnostics::OnShutdown -- SetEvent  failed for shut event");
  }
  return CThread::OnShutDown();
}

void CDiagnostics::InitVesdd(CVESDDInterface*) {}
void CDiagnostics::SetChannelHandle(DWORD) {}
void CDiagnostics::ReadTestParams(int mode) {
  if (mode != 1) GetInstallPath();
}
void CDiagnostics::ReadParamsOfAllTests(int) {}
void CDiagnostics::Initialize() {
  LogInfoF("CDiagnostics::Initialize");
  SetAllTestStatus(0);
}
DWORD CDiagnostics::PerformConfigurationTests() {
  return 0;
}
void CDiagnostics::PerformStartupTest() {}
void CDiagnostics::OnTimer() {}
void CDiagnostics::ChangeConnectionState(const BYTE* message) {
  // The second 32-bit word is the new state.
  std::memcpy(&m_dwConnectionState, message + 4, sizeof m_dwConnectionState);
}
DWORD CDiagnostics::CheckAdapterState() {
  return 0;
}

void CDiagnostics::GetInstallPath() {
  std::string dir;
  if (!RegReadText(HKEY_LOCAL_MACHINE, kProductKey, "MainDirectory", &dir) ||
      dir.size() >= sizeof m_szInstallDir) {
    LogErrorF("CDiagnostics::GetInstallPath - MainDirectory could not be read");
    return;
  }
  std::snprintf(m_szInstallDir, sizeof m_szInstallDir, "%s", dir.c_str());
  std::snprintf(m_szLocalINIPath, sizeof m_szLocalINIPath, "%s\\Vitalis\\orbidiag.ini",
                dir.c_str());
  std::snprintf(m_szLocalINIBackupPath, sizeof m_szLocalINIBackupPath, "%s\\Vitalis\\orbidiag.bak",
                dir.c_str());
}

bool CDiagnostics::IsShuttingDown() {
  if (m_hDiagShutEvent != nullptr && WaitForSingleObject(m_hDiagShutEvent, 0) == WAIT_OBJECT_0)
    return true;
  return m_bStarted && !WaitForShutDown(0);
}
