// NOT DONE YET: stand-in report store (see ReportStore.h).
#include "stats/ReportStore.h"

CReportStore::CReportStore() {
  m_szBaseDir[0] = '\0';
}
CReportStore::~CReportStore() = default;
BOOL CReportStore::InitFromRegistry() {
  return TRUE;
}
void CReportStore::SetEnableType(BOOL, BOOL, BOOL) {}
void CReportStore::InitVesdd(CVESDDInterface*, DWORD) {}
BOOL CReportStore::Initialize() {
  return TRUE;
}
void CReportStore::OnTimer() {}
BOOL CReportStore::OnShutDown() {
  return TRUE;
}
BOOL CReportStore::WriteGeneralData(const BYTE*) {
  return TRUE;
}
