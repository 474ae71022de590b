// NOT DONE YET: stand-in diagnostics worker (see Diagnostics.h).
#include "diag/Diagnostics.h"

#include <cstring>

CDiagnostics::CDiagnostics(CReportStore* store) : m_pReportStore(store), m_dwConnectionState(0) {}
CDiagnostics::~CDiagnostics() {
  StopAndJoin();
}
void CDiagnostics::InitVesdd(CVESDDInterface*) {}
void CDiagnostics::SetChannelHandle(DWORD) {}
void CDiagnostics::ReadTestParams(int) {}
void CDiagnostics::ReadParamsOfAllTests(int) {}
void CDiagnostics::Initialize() {}
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
