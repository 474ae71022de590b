#include "config/WebcastSetup.h"

#include <orbdiapi.h>
#include <orbutil.h>

#include "core/TraceLog.h"

namespace {
constexpr DWORD kWebcastService = 2;  // the service Util_SuspendOnLoad is asked about
constexpr std::uint32_t kStartProxyService = 1;
}  // namespace

CWebcastSetup::CWebcastSetup()
    : CLoadableModule("wcsetup.ocx"), m_bSuspended(FALSE), m_pfnAcSetupService(nullptr) {
  ReadWebcastStatus();
}

CWebcastSetup::~CWebcastSetup() = default;

BOOL CWebcastSetup::Load() {
  if (!LoadLibraryFile()) return FALSE;
  m_pfnAcSetupService = reinterpret_cast<PFN_acSetupService>(GetEntryPoint("acSetupService"));
  m_bEntryPointsBound = m_pfnAcSetupService != nullptr;
  return m_bEntryPointsBound;
}

void CWebcastSetup::ReadWebcastStatus() {
  DWORD result = Util_SuspendOnLoad(kWebcastService);
  LogInfoF("ReadWebcastStatus returned : %d", static_cast<int>(result));
  if (result != 0) {
    LogInfoF("ReadWebcastStatus - > Webcast is not suspended");
    m_bSuspended = FALSE;
  } else {
    LogInfoF("ReadWebcastStatus - > Webcast is suspended");
    m_bSuspended = TRUE;
  }
}

void CWebcastSetup::UpdateWebcastStatus() {
  if (!m_bSuspended) {
    LogInfoF("UpdateWebcastStatus- > Webcast is not suspended");
    return;
  }
  LogInfoF("UpdateWebcastStatus- > Check if webcast status has got changed");
  ReadWebcastStatus();
  if (m_bSuspended) {
    LogInfoF("UpdateWebcastStatus - >webcast status has not changed ");
    return;
  }
  LogInfoF("UpdateWebcastStatus- > Webcast has got enabled");
  LogInfoF("UpdateWebcastStatus - > Configuring Webcast...");
  if (ConfigureWebcast()) {
    LogInfoF("UpdateWebcastStatus - > ConfigureWebcast successful");
  } else {
    LogErrorF("UpdateWebcastStatus - > ConfigureWebcast failed");
  }
}

BOOL CWebcastSetup::ConfigureWebcast() {
  try {
    LogInfoF("ConfigureWebcast-> Loading wcsetup.ocx");
    if (!Load()) {
      LogErrorF("ConfigureWebcast - > Error in Load for wcsetup.ocx ");
      return FALSE;
    }
    LogInfoF("ConfigureWebcast-> LoadLibrary is successful");
    LogInfoF("ConfigureWebcast-> Calling function acSetupService()");
    std::int32_t setup = m_pfnAcSetupService(0);
    if (setup != 0) {
      LogErrorF("ConfigureWebcast - >   acSetupService returned : %d", static_cast<int>(setup));
      return FALSE;
    }
    LogInfoF("ConfigureWebcast - > acSetupService successful");
    LogInfoF("ConfigureWebcast-> Starting service... ");
    std::uint32_t proxy = ORBDI_ControlProxyService(kStartProxyService);
    if (proxy != 0) {
      LogErrorF("ConfigureWebcast - >  ORBDI_ControlProxyService returned : %d",
                static_cast<int>(proxy));
      return FALSE;
    }
    LogInfoF("ConfigureWebcast - > ORBDI_ControlProxyService is successful");
    return TRUE;
  } catch (...) {
    LogInfoF("ConfigureWebcast - > Exceptional error occurred");
    return FALSE;
  }
}
