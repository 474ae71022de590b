// The driver's TCP/IP binding check and the adapter's IP address check.
#include <arpa/inet.h>
#include <orbdiapi.h>
#include <winport/clock.h>
#include <winport/registry.h>

#include <cstring>

#include "core/TraceLog.h"
#include "diag/DiagLock.h"
#include "diag/Diagnostics.h"
#include "driver/VESDDInterface.h"

namespace {

constexpr const char kZephyrKey[] = "SOFTWARE\\Tessaline\\Orbilink\\Zephyr";
constexpr const char kFallbackAddress[] = "10.0.0.2";

}  // namespace

const char* TcpIpCodeText(DWORD code) {
  switch (code) {
    case DTS_SUCCESS:
      return "DTS_SUCCESS";
    case DTS_UDP_FAILURE:
      return "DTS_UDP_FAILURE";
    case DTS_BINDTOPORT:
      return "DTS_BINDTOPORT";
    case DTS_ICSPROTOCOLNOTBOUND:
      return "DTS_ICSPROTOCOLNOTBOUND";
    case DTS_ICSNOTPORTMAPPED:
      return "DTS_ICSNOTPORTMAPPED";
    case DTS_BOUNDIP:
      return "DTS_BOUNDIP";
    case DTS_NEED_AUTOSETUP:
      return "DTS_NEED_AUTOSETUP";
    case DTS_TCP_UNKNOWNERR:
      return "DTS_TCP_UNKNOWNERR";
    default:
      return "Undefined";
  }
}

DWORD TcpIP_Config_Check(CVESDDInterface* driver, int mode) {
  if (driver == nullptr || !driver->m_bLoaded) {
    LogErrorF("TcpIP_Config_Check - the VESDD pointer passed is NULL");
    return DTS_TCP_UNKNOWNERR;
  }
  // A channel of its own: the error that opening one leaves behind is what tells.
  DWORD channel = 0;
  const BOOL opened = driver->OpenChannel(1, &channel);
  if (!opened) LogInfoF("Could not open channel");
  const DWORD error = driver->GetLastError();
  if (opened) driver->CloseChannel(channel);

  DWORD code = DTS_TCP_UNKNOWNERR;
  switch (error) {
    case VESERR_SUCCESS:
      if (mode == 0) return DTS_SUCCESS;
      if (ORBDI_TestTCPStack() == 1) {
        code = DTS_SUCCESS;
      } else {
        LogInfoF("TcpIP_Config_Check - CHECKUDP_FAILURE");
        code = DTS_UDP_FAILURE;
      }
      break;
    case VESERR_BINDTOPORT:
      code = DTS_BINDTOPORT;
      break;
    case VESERR_ICSNOTPORTMAPPED:
      code = DTS_ICSNOTPORTMAPPED;
      break;
    case VESERR_ICSPROTOCOLNOTBOUND:
      code = DTS_ICSPROTOCOLNOTBOUND;
      break;
    default:
      LogInfoF("TcpIP_Config_Check - VESDD err code = %d", static_cast<int>(error));
      code = DTS_TCP_UNKNOWNERR;
      break;
  }
  if (mode != 0) return code;
  // At start-up only the connection-sharing set-up counts.
  return error == VESERR_ICSNOTPORTMAPPED || error == VESERR_ICSPROTOCOLNOTBOUND ? code
                                                                                 : DTS_SUCCESS;
}

BOOL CDiagnostics::ValidateTcpIPSettings(int mode) {
  if (mode == 1) DiagResultWriting(TRUE);
  DWORD code = TcpIP_Config_Check(m_pVesdd, mode);
  TCPIP_Check(code);
  const BOOL passed = code == DTS_SUCCESS;
  bool marked = passed && MarkStartupTestsDue();
  if (!marked) DiagResultWriting(FALSE);
  return passed;
}

void CDiagnostics::TCPIP_Check(DWORD code) {
  {
    CDiagLock hold(&m_csLock);
    if (DIAG_TEST_ENTRY* entry = Entry(DIAGTEST_TCPIP))
      entry->dwLastRun = static_cast<DWORD>(winport::Now());
  }
  WriteResult(DIAGTEST_TCPIP, "Network Configuration", "Network Configuration",
              TcpIpCodeText(code));
  SetTestStatus(DIAGTEST_TCPIP, code);
  CDiagLock hold(&m_csLock);
  if (DIAG_TEST_ENTRY* entry = Entry(DIAGTEST_TCPIP)) entry->dwTestStatus = code;
}

BOOL CDiagnostics::IpAddrCheck() {
  char address[80] = {};
  if (m_pVesdd == nullptr || !m_pVesdd->GetBoundIPAddress(address, sizeof address)) {
    LogInfoF("cound not perform VesddGetBoundIpAddress");
    SetTestStatus(DIAGTEST_TCPIP, DTS_BOUNDIP);
    SetStartPreferences();
    return FALSE;
  }
  address[sizeof address - 1] = '\0';
  in_addr parsed{};
  // As the sockets library's inet_addr: no address, the broadcast address (its "none") or 0.
  if (inet_pton(AF_INET, address, &parsed) != 1 || parsed.s_addr == 0 ||
      parsed.s_addr == INADDR_NONE) {
    LogErrorF("Invalid Local address - error");
    SetTestStatus(DIAGTEST_TCPIP, DTS_BOUNDIP);
    SetStartPreferences();
    return FALSE;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kZephyrKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    RegSetValueExA(key, "AdapterIPAddress", 0, REG_SZ, reinterpret_cast<const BYTE*>(address),
                   static_cast<DWORD>(std::strlen(address) + 1));
    RegCloseKey(key);
  }
  if (std::strcmp(address, kFallbackAddress) == 0) {
    LogInfoF("Ip address is 10.0.0.2");
    SetTestStatus(DIAGTEST_TCPIP, DTS_NEED_AUTOSETUP);
    SetStartPreferences();
    return FALSE;
  }
  LogInfoF("The Ip address configuration is correct");
  return TRUE;
}
