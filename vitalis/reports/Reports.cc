// NOT DONE YET: stand-in reports worker (see Reports.h).
#include "reports/Reports.h"

CReports::CReports(CReportStore* store) : m_pReportStore(store) {}
CReports::~CReports() {
  StopAndJoin();
}
void CReports::InitVesdd(CVESDDInterface*, DWORD) {}
BOOL CReports::InitFromRegistry() {
  return TRUE;
}
void CReports::GetTxMode() {}
void CReports::OnTimer() {}
void CReports::ConnectionMessage(const BYTE*) {}
