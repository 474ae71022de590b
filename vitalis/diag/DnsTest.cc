// The DNS test (id 2): whether the product's web host resolves, and fast enough, once the
// internet connection is up.
#include <winport/clock.h>
#include <winport/netdb.h>
#include <winport/registry.h>

#include <cstdio>
#include <string>

#include "core/Registry.h"
#include "core/TraceLog.h"
#include "diag/DiagLock.h"
#include "diag/Diagnostics.h"
#include "stats/ReportStore.h"

namespace {

constexpr DWORD kConnConnected = 2;
constexpr DWORD kDNSNotResolved = 201;
constexpr DWORD kDNSTooSlow = 202;

}  // namespace

BOOL DNSLookupName(DWORD* seconds, char* host, DWORD hostSize,
                   const std::function<bool(const char*)>& resolve) {
  try {
    LogInfoF("DomainNameServerCheck: Getting DNS lookup name from registry");
    std::string name;
    if (!RegReadText(HKEY_LOCAL_MACHINE, (std::string(kDiagnosticsKey) + "\\DNSCheck").c_str(),
                     "DNSLookupName", &name))
      name = kDefaultDNSLookupName;
    if (host != nullptr && hostSize > 0) std::snprintf(host, hostSize, "%s", name.c_str());

    const std::time_t before = winport::Now();
    const bool resolved =
        resolve ? resolve(name.c_str()) : !winport::GetHostByName(name.c_str()).empty();
    const std::time_t after = winport::Now();
    if (!resolved) {
      LogErrorF("DomainNameServerCheck(): Host Not Found");
      return FALSE;
    }
    // Whole seconds of the clock; a clock set back counts as no time at all.
    const DWORD took = after > before ? static_cast<DWORD>(after - before) : 0;
    if (seconds != nullptr) *seconds = took;
    LogInfoF("DomainNameServerCheck: gethostbyname succeeded, Took %lu seconds",
             static_cast<unsigned long>(took));
    return TRUE;
  } catch (...) {
    LogErrorF("DomainNameServerCheck(): exception error occurred");
    return FALSE;
  }
}

BOOL CDiagnostics::DNSCheck(int /*position*/, int onConnect) {
  const std::string timeText = TimeText(winport::Now());
  DWORD seconds = 0;
  char host[260] = {};
  const BOOL resolved = DNSLookupName(&seconds, host, sizeof host, m_fnResolveHost);

  if (m_dwConnectionState != kConnConnected) {
    LogInfoF("CDiagnostics::DNSCheck - State is NOT CONN_CONNECTED.  Returning TRUE for DNSCheck");
    return TRUE;
  }

  DWORD status = 0;
  char text[600];
  if (!resolved) {
    status = kDNSNotResolved;
    std::snprintf(text, sizeof text, "Error,szHostName : %s", host);
  } else {
    std::snprintf(text, sizeof text, "Resolved, Time of Resolution : %lu seconds, szHostName : %s",
                  static_cast<unsigned long>(seconds), host);
    DWORD threshold = 0;
    {
      CDiagLock hold(&m_csLock);
      threshold = m_dwDNSThreshold;
    }
    if (seconds > threshold) {
      LogInfoF(
          "CDiagnostics::DNSCheck - DNS Thresholdexceeded. Threshold is %lu s but it took %lu s",
          static_cast<unsigned long>(threshold), static_cast<unsigned long>(seconds));
      status = kDNSTooSlow;
    }
  }

  {
    CDiagLock hold(&m_csLock);
    const DIAG_TEST_ENTRY* entry = Entry(DIAGTEST_DNS);
    if (entry != nullptr && entry->bIncludeInINIFile && m_pReportStore != nullptr) {
      if (onConnect)
        m_pReportStore->WriteDiagResultToINIFile("Diagnostics", "time", timeText.c_str());
      m_pReportStore->WriteDiagResultToINIFile("Diagnostics", "DNS", text);
    }
    if (onConnect) {
      ++m_dwRunCounter;
      WriteLocalINI("time", timeText.c_str());
    }
    WriteLocalINI("DNS", text);
  }

  SetTestStatus(DIAGTEST_DNS, status);
  CDiagLock hold(&m_csLock);
  if (DIAG_TEST_ENTRY* entry = Entry(DIAGTEST_DNS)) entry->dwTestStatus = status;
  return status == 0;
}

void CDiagnostics::DNSCheckOnConnect() {
  int position = 0;
  {
    CDiagLock hold(&m_csLock);
    if (!m_bDoOnIntConnUp) {
      LogInfoF(
          "CDiagnostics::DNSCheck - > DNS test will not be performed as reg configuration for "
          "DoOnIntConnUp is 0");
      return;
    }
  }
  position = GetEntryPosition(DIAGTEST_DNS);
  if (position == 0) return;
  if (!DNSCheck(position, TRUE)) LaunchDiagApp(TRUE);
}
