// NOT DONE YET: stand-in statistics generator (see HealthReport.h).
#include "stats/HealthReport.h"

CHealthReport::CHealthReport(CReportStore* store) : m_pReportStore(store) {}
CHealthReport::~CHealthReport() = default;
BOOL CHealthReport::Run() {
  return TRUE;
}
void CHealthReport::InitVesdd(CVESDDInterface*, DWORD) {}
void CHealthReport::OnTimer() {}
BOOL CHealthReport::RunMinutes(const BYTE*) {
  return TRUE;
}
BOOL CHealthReport::ZNDialout(const BYTE*) {
  return TRUE;
}
void CHealthReport::PD(const BYTE*) {}
void CHealthReport::Newscast(const BYTE*) {}
