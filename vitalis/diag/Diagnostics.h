// Diagnostics worker: the configuration test table, its runs and the start-up tests.
// NOT DONE YET: this is a stand-in carrying only what the module core calls; every operation
// does nothing and returns the neutral result (tests pass).
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

 protected:
  CReportStore* m_pReportStore;
  DWORD m_dwConnectionState;
};
