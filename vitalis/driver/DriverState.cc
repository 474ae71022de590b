// NOT DONE YET: stand-in tuning worker (see DriverState.h).
#include "driver/DriverState.h"

CDriverState::CDriverState(CDiagnostics* diagnostics) : m_pDiagnostics(diagnostics) {}
CDriverState::~CDriverState() {
  StopAndJoin();
}
void CDriverState::Init() {}
void CDriverState::InitVesdd(CVESDDInterface*, DWORD) {}
void CDriverState::UpdateConfig() {}
void CDriverState::UIConfigUpdate() {}
