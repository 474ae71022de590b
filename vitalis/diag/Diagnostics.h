// Diagnostics worker: the configuration test table, its runs and the start-up tests.
// NOT DONE YET: the test table and the tests themselves are stand-ins that pass; the test status
// store and the launch of the diagnostics application are complete.
#pragma once

#include "core/IdleWorker.h"
#include "core/Win.h"

class CReportStore;
class CVESDDInterface;

class CDiagnostics : public CIdleWorker {
 public:
  explicit CDiagnostics(CReportStore* store);
  ~CDiagnostics() override;
  const char* GetClassName() override { return "CDiagnostics (Diag Thread)"; }
  HANDLE OnShutDown() override;

  void InitVesdd(CVESDDInterface* driver);
  void SetChannelHandle(DWORD channel);
  void ReadTestParams(int mode);
  void ReadParamsOfAllTests(int mode);
  void Initialize();
  // 0 passed, else the failure code that becomes the start result.
  DWORD PerformConfigurationTests();
  void PerformStartupTest();
  void OnTimer();
  // A DAK_CONNSTATE record, already checked by the caller to be as long as its layout.
  void ChangeConnectionState(const BYTE* message);
  DWORD CheckAdapterState();

  DWORD GetConnectionState() const { return m_dwConnectionState; }

  // Test status store, shared by every thread and object of the module: the "TestStatus" value
  // of each test's subkey. SetTestStatus signals "DIAGSTATUS_UPDATE_EVENT" when the stored value
  // changed; both return whether the registry write or read succeeded (0 for an unknown id).
  static BOOL SetTestStatus(DWORD id, DWORD status);
  static BOOL GetTestStatus(DWORD id, DWORD* status);
  static void SetAllTestStatus(DWORD status);

  // Starts the diagnostics application when `failed` is set and it is not running, and makes
  // a running one refresh ("DIAG_EVENT"). Callable from any thread.
  void LaunchDiagApp(BOOL failed);

  // How long LaunchDiagApp waits for a started application to become ready for input.
  static constexpr DWORD kDiagAppIdleWaitMs = 30000;

 protected:
  // "MainDirectory" of the product's key: forms the install directory and the local INI paths.
  void GetInstallPath();
  // Shutdown of the module asked for (the diagnostics' own event or the worker thread's).
  bool IsShuttingDown();

  CReportStore* m_pReportStore;
  DWORD m_dwConnectionState;
  DWORD m_dwDiagAppIdleWaitMs = kDiagAppIdleWaitMs;
  HANDLE m_hDiagShutEvent;
  char m_szInstallDir[500];
  char m_szLocalINIPath[500];
  char m_szLocalINIBackupPath[500];
};
