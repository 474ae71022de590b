// Statistics generator.
// NOT DONE YET: this is a stand-in carrying only what the module core calls; every operation
// does nothing and returns the neutral result. The statistics work replaces it.
#pragma once

#include "core/Thread.h"
#include "core/Win.h"

class CReportStore;
class CVESDDInterface;

class CHealthReport : public CThread {
 public:
  explicit CHealthReport(CReportStore* store);
  ~CHealthReport() override;

  BOOL Run() override;
  const char* GetClassName() override { return "CHealthReport (Generator Thread)"; }

  void InitVesdd(CVESDDInterface* driver, DWORD channel);
  void OnTimer();
  // Mailslot records, already checked by the caller to be as long as their layout.
  BOOL RunMinutes(const BYTE* message);
  BOOL ZNDialout(const BYTE* message);
  void PD(const BYTE* message);
  void Newscast(const BYTE* message);

 protected:
  CReportStore* m_pReportStore;
};
