// Reports worker: the reporting schedule on the primary thread (see ReportsUpload.cc for the
// upload run on the reports thread).
#include "reports/Reports.h"

#include <winport/clock.h>
#include <winport/error.h>
#include <winport/registry.h>
#include <winport/window.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/Registry.h"
#include "core/TimeText.h"
#include "core/TraceLog.h"
#include "stats/ReportStore.h"

namespace {

constexpr const char* kNavigatorClass = "Orbilink Navigator";
constexpr const char* kDefaultBackupSubdir = "ReportsBkupDir";
constexpr int kMaxConnAttempts = 3;

// The local-time text of a moment, without the line feed.
std::string LocalTimeText(std::time_t t) {
  std::string text = OrbCtime(t);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

bool SocketSet::Add(SOCKET s) {
  if (m_nCount >= kMax) return false;
  m_Sockets[m_nCount++] = s;
  return true;
}

bool SocketSet::Contains(SOCKET s) const {
  for (int i = 0; i < m_nCount; ++i)
    if (m_Sockets[i] == s) return true;
  return false;
}

CReports::CReports(CReportStore* store)
    : m_SList(nullptr),
      m_nSListSize(0),
      m_nRecordIndex(-1),
      m_uReportingHour(0),
      m_pReportStore(store),
      m_dwConnState(CONN_IDLE),
      m_dwPrevConnState(CONN_IDLE),
      m_nConnAttempts(0),
      m_tReportingTime(0),
      m_pVesdd(nullptr),
      m_dwChannel(0),
      m_TxBag(nullptr),
      m_dwWaitSeconds(0),
      m_dwMaxTxUnit(kDefaultTxUnit),
      m_bReportingTimeSet(FALSE),
      m_uTxMode(0),
      m_bTracing(FALSE),
      m_szServerAddress{},
      m_dwServerPort(0),
      m_szBackupDir{},
      m_bWeRequested(FALSE),
      m_bHourDone(FALSE) {
  std::snprintf(m_szBackupDir, sizeof m_szBackupDir, "%s", kDefaultBackupSubdir);
  LogInfoF("CReports::CReports() - constructor");
  // Sockets need no start-up here (WSAStartup has nothing to do on this platform).
}

CReports::~CReports() {
  // The run must be over before this object's parts go: it uses all of them.
  StopAndJoin();
  LogInfoF("CReports::~CReports -object ");
}

void CReports::InitVesdd(CVESDDInterface* driver, DWORD channel) {
  LogInfoF("CReports::InitVesdd");
  m_pVesdd = driver;
  m_dwChannel = channel;
  if (driver == nullptr)
    LogInfoF("CReports::InitVesdd - NULL vesdd ptr - user siteid maybe missing from reports tx.");
}

BOOL CReports::IsIPAddrCorrect(const char* address) {
  LogInfoF("CReports::IsIPAddrCorrect - for ip addr %s", address);
  int a = 0, b = 0, c = 0, d = 0;
  return std::sscanf(address, "%d.%d.%d.%d", &a, &b, &c, &d) == 4;
}

BOOL CReports::InitFromRegistry() {
  GetTxMode();

  std::string backup;
  const char* base = m_pReportStore != nullptr ? m_pReportStore->GetBaseDirectory() : "";
  if (base != nullptr && base[0] != '\0')
    backup = std::string(base) + "\\Vitalis\\";
  else
    backup = "c:\\Vitalis\\";
  std::string subdir = kDefaultBackupSubdir;

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    LogErrorF(
        "CReports::InitFromRegistry() - error reading values form health reporting key.- "
        "assuming default");
    m_uReportingHour = GetRandomHour();
    m_szServerAddress[0] = '\0';
    m_dwServerPort = 0;
    m_bTracing = FALSE;
  } else {
    DWORD hour = 0;
    if (!RegReadDword(key, "ReportingHour", &hour)) {
      LogInfoF("CReports::InitFromRegistry() - Reporting hour not found. assuming random");
      m_uReportingHour = GetRandomHour();
    } else {
      LogInfoF("CReports::InitFromRegistry  reporting hour read = %d", static_cast<int>(hour));
      if (hour > 23) {
        LogInfoF(
            "CReports::InitFromRegistry  reporting hour read is not valid - getting random "
            "value");
        m_uReportingHour = GetRandomHour();
      } else {
        m_uReportingHour = hour;
      }
    }

    std::string address;
    if (!RegReadText(HKEY_LOCAL_MACHINE, kHealthReportKey, "HRServerIPAddress", &address)) {
      LogInfoF("CReports::InitFromRegistry() - HR Server Ip not found .");
      m_szServerAddress[0] = '\0';
    } else if (address.size() < sizeof m_szServerAddress && IsIPAddrCorrect(address.c_str())) {
      LogInfoF("CReports::InitFromRegistry -  correct IP address found");
      std::snprintf(m_szServerAddress, sizeof m_szServerAddress, "%s", address.c_str());
      LogInfoF("CReports::InitFromRegistry - ip address = %s", m_szServerAddress);
    } else {
      // A text longer than the 15 characters of a dotted address does not fit its field.
      LogInfoF("CReports::InitFromRegistry - in correct IP address found - assuming default");
      m_szServerAddress[0] = '\0';
    }

    DWORD port = 0;
    if (RegReadDword(key, "HRServerPort", &port)) {
      m_dwServerPort = port;
      LogInfoF("CReports::InitFromRegistry() - HR Server port number found in the registry = %d",
               static_cast<int>(port));
    } else {
      LogInfoF("CReports::InitFromRegistry() - HR Server port not found .-asuming default");
      m_dwServerPort = 0;
    }

    DWORD tracing = 0;
    if (!RegReadDword(key, "ReportsTracing", &tracing)) {
      LogInfoF("CReports::InitFromRegistry- tracing disabled - key not found");
      m_bTracing = FALSE;
    } else {
      m_bTracing = tracing != 0;
      LogInfoF(
          "CReports::InitFromRegistry() - Reports Tracing key found tracing = %d - geting the "
          "sent reports directory",
          static_cast<int>(tracing));
      std::string dir;
      if (RegReadText(HKEY_LOCAL_MACHINE, kHealthReportKey, "ReportsBkupDir", &dir) &&
          dir.size() < MAX_PATH) {
        subdir = dir;
        LogInfoF(" CReports::InitFromRegistry() - Reports sent otuput dir found = %s",
                 subdir.c_str());
      } else {
        LogInfoF(
            "CReports::InitFromRegistry- tracing enabled - but output dir could not be found - "
            "assuming default = %s",
            subdir.c_str());
      }
    }

    DWORD unit = 0;
    if (RegReadDword(key, "MaxTxUnit", &unit)) {
      LogInfoF("CReports::InitFromRegistry - Tx Data Unit Size = %ld ", static_cast<long>(unit));
      if (unit == 0) {
        // A packet of no bytes would never get through a file.
        LogInfoF("CReports::InitFromRegistry - Tx Data Unit Size 0 is not usable - using %d",
                 static_cast<int>(kDefaultTxUnit));
        unit = kDefaultTxUnit;
      }
      m_dwMaxTxUnit = unit;
    } else {
      LogInfoF("CReports::InitFromRegistry- Could not get the default TX size - using default");
      m_dwMaxTxUnit = kDefaultTxUnit;
    }
    RegCloseKey(key);
  }

  std::snprintf(m_szBackupDir, sizeof m_szBackupDir, "%s", (backup + subdir).c_str());
  LogInfoF("CReports::InitFromRegistry()  - directory of old reports = %s", m_szBackupDir);
  LogInfoF("CReports::InitFrom Registry() - reporting hour =%d",
           static_cast<int>(m_uReportingHour));
  return TRUE;
}

void CReports::GetTxMode() {
  LogInfoF("GetTxMode");
  m_uTxMode = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    LogInfoF(
        "CReports::GetTxMode() - error reading values form health reporting key.- assuming "
        "default");
    return;
  }
  DWORD mode = 0;
  if (!RegReadDword(key, "TxMode", &mode)) {
    LogInfoF(
        "CReports::GetTxMode- transmission mode key not found in the registry assuming normal "
        "mode with zn dialout.");
  } else {
    LogInfoF("CReports::GetTxMode() - transmission mode read from the registry = %d ",
             static_cast<int>(mode));
    if (mode > 2) {
      LogInfoF(
          "CReports::GetTxMode() - invalid transmission mode read from the registry - assuming "
          "normal mode");
    } else {
      LogInfoF("CReports::GetTxMode() - valid Tx mode");
      m_uTxMode = mode;
    }
  }
  RegCloseKey(key);
}

UINT CReports::GetRandomHour() {
  LogInfoF("CReports::GetRandomHour( ) called");
  std::srand(static_cast<unsigned>(winport::Now()));
  return static_cast<UINT>((std::rand() % 7 + 23) % 24);
}

std::time_t CReports::GetNewReportingTime() {
  LogInfoF("CReports::GetNewReportingTime()");
  std::time_t now = winport::Now();
  std::tm local = winport::LocalTime(now);
  local.tm_sec = 0;
  std::srand(static_cast<unsigned>(now));
  local.tm_min += std::rand() % (60 - local.tm_min);
  local.tm_isdst = -1;
  std::time_t result = std::mktime(&local);
  LogErrorF("CReports::GetNewReportingTime() - new value = %s", LocalTimeText(result).c_str());
  return result;
}

BOOL CReports::IsReportingHour() {
  LogInfoF("CReports::IsReportingHour - entered");
  std::tm local = winport::LocalTime(winport::Now());
  if (static_cast<UINT>(local.tm_hour) == m_uReportingHour) {
    LogErrorF("CReports::IsReportingHour - reporting hour arrived");
    return TRUE;
  }
  LogInfoF("CReports::Not the Reporting Hour ");
  return FALSE;
}

BOOL CReports::IsReportingTime() {
  LogInfoF("CReports::IsReportingTime - performing reporting time check .");
  long long difference = static_cast<long long>(winport::Now()) - m_tReportingTime;
  return difference >= -60 && difference <= 60;
}

BOOL CReports::IsThreadRunning() {
  return IsStarted();
}

void CReports::OnTimer() {
  LogInfoF("CReports::OnTimer( ) called");
  if (m_uTxMode != 0 && m_uTxMode != 2) {
    LogInfoF("CReports::Timer - not checking for reporting hour as Tx Mode = %d",
             static_cast<int>(m_uTxMode));
    return;
  }
  LogInfoF("CReports::OnTimer HR is enabled with ZN Dialout Tx MODE = %d",
           static_cast<int>(m_uTxMode));
  if (!IsReportingHour()) {
    m_bHourDone = FALSE;
    m_nConnAttempts = 0;
    return;
  }
  LogInfoF("CReports::OnTimer -- reporting hour arrived");
  if (m_bHourDone) {
    LogInfoF(
        "CReports::ConnStateChanged - reached the max try count to establish connection- no  "
        "more attempts shall be made in this hour");
    return;
  }
  if (!m_bReportingTimeSet) {
    LogInfoF("CReports::OnTimer - initializing reporting time ");
    m_tReportingTime = GetNewReportingTime();
    m_bReportingTimeSet = TRUE;
  }
  if (!IsReportingTime()) {
    LogInfoF("CReports::OnTimer - not the reporting time either it has passed or yet to arrive");
    return;
  }
  HandleReportingTime();
}

void CReports::HandleReportingTime() {
  m_bReportingTimeSet = FALSE;
  LogInfoF("HandleReportingTime - reporting time  reached");
  if (m_pReportStore == nullptr || !m_pReportStore->IsAnyReportOldEnough(0)) {
    LogInfoF("CReports::HandleReportingTime -  no reports to transmit");
    return;
  }
  LogInfoF("HandleReportingTime( ) - there are reports max age old");

  if (m_uTxMode == 2) {
    LogInfoF("HandleReportingTime - reports Tx enabled via ethernet - so just start the thread");
    if (IsThreadRunning()) {
      LogInfoF("HandleReportingTime - reports already being transmitted via ethernet.");
      return;
    }
    Start();
    m_bHourDone = TRUE;
    return;
  }

  switch (m_dwConnState) {
    case CONN_IDLE:
      if (!RequestForConnection()) {
        LogInfoF("HandleReportingTime - connection request failed");
      } else {
        LogInfoF("HandleReportingTime - connection requested successfully");
        m_bWeRequested = TRUE;
      }
      break;
    case CONN_CONNECTING:
      LogInfoF(
          "HandleReportingTime - reporting hour -connection already in the process of being "
          "established.");
      m_bWeRequested = FALSE;
      break;
    case CONN_CONNECTED:
      LogInfoF("HandleReportingTime - reporting hour -connection already established");
      m_bWeRequested = FALSE;
      break;
    default:
      break;
  }
}

BOOL CReports::RequestForConnection() {
  LogInfoF("CReports::RequestForConnection( ) called");
  HWND navigator = FindWindowA(kNavigatorClass, nullptr);
  ++m_nConnAttempts;
  if (navigator == nullptr) {
    LogError("CReports::RequestForConnection", winport::GetLastError());
    return FALSE;
  }
  UINT message = RegisterWindowMessageA("WM_CanSendHealthReport");
  if (message == 0) {
    LogError("CReports::RequestForConnection", winport::GetLastError());
    return FALSE;
  }
  if (!PostMessageA(navigator, message, 0, 0)) {
    LogError("CReports::RequestForConnection - post message   failed", winport::GetLastError());
    return FALSE;
  }
  LogInfoF("CReports::RequestForConnection - Message sent");
  return TRUE;
}

BOOL CReports::SendHRReportSentMsg(WPARAM code) {
  HWND navigator = FindWindowA(kNavigatorClass, nullptr);
  if (navigator == nullptr) {
    LogError("CReports::SendHRreportSentMsg - error occured", winport::GetLastError());
    return FALSE;
  }
  UINT message = RegisterWindowMessageA("WM_HealthReportSent");
  if (message != 0 && PostMessageA(navigator, message, code, 0)) {
    LogInfoF("CReports::SendHRReportSentMsg -  message  sent successfully");
    return TRUE;
  }
  LogInfoF("CReports::SendHRReportSentMsg -  could not send message");
  return FALSE;
}

void CReports::ConnectionMessage(const BYTE* message) {
  DWORD state = 0;
  std::memcpy(&state, message + 4, sizeof state);
  LogInfoF("CReports::ConnectionMessage - connection message received .");
  switch (state) {
    case CONN_IDLE:
      LogInfoF("CReports::ConnectionMessage - received message - CONN_IDLE");
      break;
    case CONN_CONNECTING:
      LogInfoF("CReports::ConnectionMessage - received message - CONN_CONNECTING");
      break;
    case CONN_CONNECTED:
      LogInfoF("CReports::ConnectionMessage - received message - CONN_CONNECTED");
      break;
    default:
      LogInfoF("CReports::ConnectionMessage - invalid message");
      break;
  }
  ConnStateChange(state);
}

void CReports::ConnStateChange(DWORD newState) {
  m_dwPrevConnState = m_dwConnState;
  m_dwConnState = newState;
  if (m_dwPrevConnState == m_dwConnState) {
    LogInfoF("CReports::ConnStateChange - no change in state ");
    return;
  }
  switch (m_dwPrevConnState) {
    case CONN_IDLE:
      if (newState == CONN_CONNECTED) OnConnected();
      break;
    case CONN_CONNECTING:
      if (newState == CONN_IDLE)
        OnDisconnected();
      else if (newState == CONN_CONNECTED)
        OnConnected();
      break;
    case CONN_CONNECTED:
      if (newState == CONN_IDLE)
        OnDisconnected();
      else if (newState == CONN_CONNECTING)
        OnShutDown();
      break;
    default:
      break;
  }
}

void CReports::OnConnected() {
  if (IsThreadRunning()) {
    LogInfoF("CReports::OnConnected - Connected received - Report Thread running");
    return;
  }
  if (m_bWeRequested) {
    Start();
    LogInfoF("CReports::OnConnected - report thread started");
    LogInfoF("CReports::OnConnected we initiated the connection");
    return;
  }
  if (m_pReportStore == nullptr || !m_pReportStore->IsAnyReportOldEnough(1)) {
    SendHRReportSentMsg(NO_REPORT_TO_SEND);
    LogInfoF("CReports::OnConnected - NO_REPORT_TO_SEND msg sent to orbnav");
    return;
  }
  Start();
  LogInfoF("CReports::OnConnected - report thread started");
  LogInfoF("CReports::OnConnected we didn't initiate a connection");
}

void CReports::OnDisconnected() {
  if (m_dwPrevConnState == CONN_CONNECTED) OnShutDown();
  if (m_bWeRequested) {
    m_bWeRequested = FALSE;
    if (m_nConnAttempts >= kMaxConnAttempts) {
      LogInfoF(
          "CReports::OnDisconnected - maximum allowed attempts to estb connection done, no  "
          "more attempts shall be made in this hour");
      m_bHourDone = TRUE;
    } else {
      m_bReportingTimeSet = FALSE;
    }
  }
}
