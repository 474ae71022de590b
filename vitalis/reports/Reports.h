// Reports worker: decides when report files are sent and uploads them.
// NOT DONE YET: this is a stand-in carrying only what the module core calls; every operation
// does nothing and returns the neutral result.
#pragma once

#include "core/IdleWorker.h"
#include "core/Win.h"

class CReportStore;
class CVESDDInterface;

class CReports : public CIdleWorker {
 public:
  explicit CReports(CReportStore* store);
  ~CReports() override;
  const char* GetClassName() override { return "CReports (Reports Thread)"; }

  void InitVesdd(CVESDDInterface* driver, DWORD channel);
  BOOL InitFromRegistry();
  void GetTxMode();
  void OnTimer();
  // A DAK_CONNSTATE record, already checked by the caller to be as long as its layout.
  void ConnectionMessage(const BYTE* message);

 protected:
  CReportStore* m_pReportStore;
};
