// Statistics generator. On the primary thread it samples the signal on every module tick and
// turns usage messages into counts in the report store; at the end of a period its own thread
// reads the driver statistics, writes the report record and starts the next period.
#pragma once

#include "core/Thread.h"
#include "core/Win.h"
#include "stats/StatsRecords.h"

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
  BOOL GeneratePeriodicStatistics();

  // Mailslot records (whole messages, identifier first), already checked by the caller to be
  // as long as their layout.
  BOOL RunMinutes(const BYTE* message);
  BOOL ZNDialout(const BYTE* message);
  void PD(const BYTE* message);
  void Newscast(const BYTE* message);
  void Msg_PD_Success(DWORD fileSize);
  // `record`: the package delivery record (the DAK_PD message after its identifier).
  void Msg_PD_Failure(const BYTE* record);

  void GenerateVESDDStats();
  void UpdateVESDDStats(VESDD_STATS reading);
  void UpdateAcquisitionLoss();

 protected:
  CReportStore* m_pReportStore;
  CVESDDInterface* m_pVesdd;
  DWORD m_dwChannel;
};
