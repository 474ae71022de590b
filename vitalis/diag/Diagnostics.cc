// The diagnostics worker: test table, settings from the registry, scheduling and test runs.
#include "diag/Diagnostics.h"

#include <orbdiapi.h>
#include <orbutil.h>
#include <winport/clock.h>
#include <winport/error.h>
#include <winport/file.h>
#include <winport/handle.h>
#include <winport/profile.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/Registry.h"
#include "core/TimeText.h"
#include "core/TraceLog.h"
#include "diag/DiagLock.h"
#include "diag/OrbStartParam.h"
#include "stats/ReportStore.h"

namespace {

// The order in which the table is loaded from the registry.
constexpr DWORD kLoadOrder[] = {DIAGTEST_PROXY,  DIAGTEST_DNS,  DIAGTEST_REGISTRY,
                                DIAGTEST_SIGNAL, DIAGTEST_DRVT, DIAGTEST_ADAPTER,
                                DIAGTEST_TCPIP,  DIAGTEST_IRQ};

// Connection states of DAK_CONNSTATE.
constexpr DWORD kConnIdle = 0;
constexpr DWORD kConnConnecting = 1;
constexpr DWORD kConnConnected = 2;

constexpr DWORD kDefaultDNSThreshold = 8;
constexpr DWORD kDefaultMaxAdapterError = 3;

std::string SubKeyPath(DWORD id) {
  const DiagTestDefaults* row = FindTestDefaults(id);
  return std::string(kDiagnosticsKey) + "\\" + (row ? row->subKey : "");
}

// A REG_SZ of at most `size` bytes with its terminator; false (buffer untouched) otherwise.
bool ReadName(HKEY key, const char* name, char* buffer, DWORD size) {
  DWORD type = 0;
  DWORD length = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &length) != ERROR_SUCCESS ||
      type != REG_SZ || length == 0 || length > size)
    return false;
  std::string value(length, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &length) !=
      ERROR_SUCCESS)
    return false;
  std::snprintf(buffer, size, "%s", value.c_str());
  return true;
}

}  // namespace

std::atomic<DWORD> CDiagnostics::s_dwHeartBeatFailures{0};

CDiagnostics::CDiagnostics(CReportStore* store)
    : m_bAdapterDisable(FALSE),
      m_pReportStore(store),
      m_pVesdd(nullptr),
      m_Tests{},
      m_dwTestCount(0),
      m_dwChannel(0),
      m_dwDNSThreshold(kDefaultDNSThreshold),
      m_dwRunCounter(0),
      m_bAdapterFound(FALSE),
      m_hDiagShutEvent(nullptr),
      m_szLocalINIPath{},
      m_szLocalINIBackupPath{},
      m_szInstallDir{},
      m_dwPlatformType(0),
      m_dwAdapterType(0),
      m_dwConnectionState(kConnIdle),
      m_bDoOnIntConnUp(TRUE),
      m_dwMaxAdapterError(kDefaultMaxAdapterError) {
  for (auto& entry : m_Tests) {
    entry.bStartUp = TRUE;
    entry.lPriority = -1;
    entry.dwTestStatus = 1;
  }
  InitializeCriticalSection(&m_csLock);
  m_hDiagShutEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (m_hDiagShutEvent == nullptr)
    LogErrorF("CDiagnostics::Initialize() - CreateEvent for ShutDown returns err, %d",
              static_cast<int>(GetLastError()));
}

CDiagnostics::~CDiagnostics() {
  StopAndJoin();
  DeleteCriticalSection(&m_csLock);
  if (m_hDiagShutEvent != nullptr) CloseHandle(m_hDiagShutEvent);
}

HANDLE CDiagnostics::OnShutDown() {
  LogInfoF("CDiagnostics::OnShutDown");
  if (m_hDiagShutEvent != nullptr) {
    if (SetEvent(m_hDiagShutEvent))
      LogInfoF("CDiagnostics::OnShutDown -- event set for shut event");
    else
      LogErrorF("CDiagnostics::OnShutdown -- SetEvent  failed for shut event");
  }
  return CThread::OnShutDown();
}

void CDiagnostics::InitVesdd(CVESDDInterface* driver) {
  m_pVesdd = driver;
  if (driver == nullptr)
    LogInfoF(
        "CDiagnostics::InitVesdd - there was an error loading vesdd dll-no vesdd tests will not "
        "be done");
}

void CDiagnostics::SetChannelHandle(DWORD channel) {
  if (m_pVesdd != nullptr) m_dwChannel = channel;
}

// ---- Settings -------------------------------------------------------------------------------

DIAG_TEST_ENTRY* CDiagnostics::Entry(DWORD id) {
  for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i)
    if (m_Tests[i].dwId == id) return &m_Tests[i];
  return nullptr;
}

bool CDiagnostics::GetEntry(DWORD id, DIAG_TEST_ENTRY* entry) {
  CDiagLock hold(&m_csLock);
  const DIAG_TEST_ENTRY* found = Entry(id);
  if (found == nullptr) return false;
  *entry = *found;
  return true;
}

int CDiagnostics::GetEntryPosition(DWORD id) {
  CDiagLock hold(&m_csLock);
  for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i)
    if (m_Tests[i].dwId == id) return static_cast<int>(i);
  return 0;
}

void CDiagnostics::CheckIfDiagKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDiagnosticsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
    return;
  }
  LogInfoF("CDiagnostics:CheckIfDiagKeyExists - > Creating Diagnostics key");
  DWORD disposition = 0;
  if (Util_RegCreateKeyEx(HKEY_LOCAL_MACHINE, kDiagnosticsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, &key, &disposition) != ERROR_SUCCESS) {
    LogErrorF("CDiagnostics:CheckIfDiagKeyExists - > Error in creating diag key");
    return;
  }
  RegCloseKey(key);
}

void CDiagnostics::PutDefaultValues(DWORD id) {
  const DiagTestDefaults* row = FindTestDefaults(id);
  if (row == nullptr) return;
  std::string path = SubKeyPath(id);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    DWORD disposition = 0;
    if (Util_RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, &disposition) != ERROR_SUCCESS) {
      LogErrorF("CDiagnostics::PutDefaultValues - could not create %s", path.c_str());
      key = nullptr;
    }
  }
  if (key != nullptr) RegCloseKey(key);

  DIAG_TEST_ENTRY& entry = m_Tests[id];
  entry = DIAG_TEST_ENTRY{};
  entry.dwId = id;
  std::snprintf(entry.szTestName, sizeof entry.szTestName, "%s", row->testName);
  entry.bStartUp = row->startUp;
  entry.bProceedOnError = row->proceedOnError;
  entry.bIncludeInINIFile = row->includeInINIFile;
}

void CDiagnostics::ReadParamsOfTest(DWORD id, int mode) {
  DIAG_TEST_ENTRY* entry = Entry(id);
  if (entry == nullptr) return;
  DWORD status = 0;
  if (GetTestStatus(id, &status)) entry->dwTestStatus = status;
  if (mode == 1) return;

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SubKeyPath(id).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return;
  DWORD value = 0;
  if (id != DIAGTEST_DNS && id != DIAGTEST_DRVT && id != DIAGTEST_IRQ && id != DIAGTEST_SIGNAL) {
    if (RegReadDword(key, "StartUp", &value)) entry->bStartUp = value != 0;
    if (RegReadDword(key, "Priority", &value)) entry->lPriority = static_cast<LONG>(value);
    if (RegReadDword(key, "Periodicity", &value)) entry->lPeriodicity = static_cast<LONG>(value);
  }
  if (RegReadDword(key, "ProceedOnError", &value)) entry->bProceedOnError = value != 0;
  ReadName(key, "TestName", entry->szTestName, sizeof entry->szTestName);
  // Unlike the other settings, a missing value here means "not included".
  entry->bIncludeInINIFile = RegReadDword(key, "IncludeInINIFile", &value) && value != 0;
  if (id == DIAGTEST_DNS) {
    if (RegReadDword(key, "DNSThreshHoldTime", &value)) {
      m_dwDNSThreshold = value;
    } else {
      m_dwDNSThreshold = kDefaultDNSThreshold;
      LogInfoF(
          "CDiagnostics:GetDNSParams- No value in registryfor DNSThreshHoldTime. Defaulting to "
          "%lu s",
          static_cast<unsigned long>(m_dwDNSThreshold));
    }
    m_bDoOnIntConnUp = RegReadDword(key, "DoOnIntConnUp", &value) ? value : TRUE;
  }
  if (id == DIAGTEST_DRVT) {
    if (RegReadDword(key, "MaxAdapterError", &value)) {
      m_dwMaxAdapterError = value;
    } else {
      m_dwMaxAdapterError = kDefaultMaxAdapterError;
      LogInfoF("ReadDrvtErrThreshold(), unable to read value, will use default");
    }
  }
  RegCloseKey(key);
}

void CDiagnostics::PrioritizeTests() {
  for (DWORD i = 1; i < DIAGTEST_LAST_TEST - 1; ++i) {
    for (DWORD j = i + 1; j < DIAGTEST_LAST_TEST; ++j) {
      const DIAG_TEST_ENTRY& a = m_Tests[i];
      const DIAG_TEST_ENTRY& b = m_Tests[j];
      if (b.lPriority > a.lPriority ||
          (b.lPriority == a.lPriority && std::strcmp(b.szTestName, a.szTestName) <= 0))
        std::swap(m_Tests[i], m_Tests[j]);
    }
  }
}

void CDiagnostics::ReadTestParams(int mode) {
  CheckIfDiagKeyExists();
  {
    CDiagLock hold(&m_csLock);
    // A reload keeps when each test last ran and whether it is due.
    DWORD lastRun[DIAGTEST_LAST_TEST] = {};
    BOOL runNow[DIAGTEST_LAST_TEST] = {};
    for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i) {
      DWORD id = m_Tests[i].dwId;
      if (id >= 1 && id < DIAGTEST_LAST_TEST) {
        lastRun[id] = m_Tests[i].dwLastRun;
        runNow[id] = m_Tests[i].bRunNow;
      }
    }
    // The entries go back to their own positions first, so that each id is found once.
    for (DWORD id : kLoadOrder) PutDefaultValues(id);
    for (DWORD id : kLoadOrder) {
      m_Tests[id].dwLastRun = lastRun[id];
      m_Tests[id].bRunNow = runNow[id];
      ReadParamsOfTest(id, mode);
    }
    m_dwTestCount = DIAGTEST_LAST_TEST;
    LogInfoF("CDiagnostics:ReadParamsOfTest - > Entering PrioritizeTests");
    PrioritizeTests();
  }
  if (mode != 1) GetInstallPath();
}

void CDiagnostics::ReadParamsOfAllTests(int mode) {
  CDiagLock hold(&m_csLock);
  for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i) {
    DWORD id = m_Tests[i].dwId;
    if (id < 1 || id >= DIAGTEST_LAST_TEST) continue;
    if (mode != 2) {
      ReadParamsOfTest(id, mode);
      continue;
    }
    // What the property page changes (UpdateFromPropPage).
    if (id != DIAGTEST_PROXY && id != DIAGTEST_DNS) continue;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SubKeyPath(id).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
      continue;
    DWORD value = 0;
    if (id == DIAGTEST_PROXY) {
      if (RegReadDword(key, "StartUp", &value)) m_Tests[i].bStartUp = value != 0;
      if (RegReadDword(key, "Periodicity", &value))
        m_Tests[i].lPeriodicity = static_cast<LONG>(value);
    } else if (RegReadDword(key, "DoOnIntConnUp", &value)) {
      m_bDoOnIntConnUp = value;
    }
    RegCloseKey(key);
  }
}

void CDiagnostics::GetInstallPath() {
  std::string dir;
  if (!RegReadText(HKEY_LOCAL_MACHINE, kOrbilinkKey, "MainDirectory", &dir) ||
      dir.size() >= sizeof m_szInstallDir) {
    LogErrorF("CDiagnostics::GetInstallPath - MainDirectory could not be read");
    return;
  }
  std::snprintf(m_szInstallDir, sizeof m_szInstallDir, "%s", dir.c_str());
  std::snprintf(m_szLocalINIPath, sizeof m_szLocalINIPath, "%s\\Vitalis\\orbidiag.ini",
                dir.c_str());
  std::snprintf(m_szLocalINIBackupPath, sizeof m_szLocalINIBackupPath, "%s\\Vitalis\\orbidiag.bak",
                dir.c_str());
}

void CDiagnostics::Initialize() {
  LogInfoF("CDiagnostics::Initialize");
  SetAllTestStatus(0);
  m_dwPlatformType = ORBDI_GetPlatformType(0);
  m_dwAdapterType = ORBDI_GetAdapterType(0);
  // The history of the previous start becomes the backup.
  if (m_szLocalINIPath[0] != '\0') {
    DeleteFileA(m_szLocalINIBackupPath);
    MoveFileA(m_szLocalINIPath, m_szLocalINIBackupPath);
  }
}

// ---- Results --------------------------------------------------------------------------------

std::string CDiagnostics::TimeText(std::time_t now) {
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::string text = OrbAsctime(utc);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void CDiagnostics::DiagResultWriting(BOOL writing) {
  if (m_pReportStore != nullptr) m_pReportStore->SetDiagResultWriting(writing);
}

void CDiagnostics::WriteLocalINI(const char* key, const char* value) {
  if (m_szLocalINIPath[0] == '\0') return;
  char numbered[600];
  std::snprintf(numbered, sizeof numbered, "%s%04lu", key,
                static_cast<unsigned long>(m_dwRunCounter));
  if (!WritePrivateProfileStringA("Diagnostics", numbered, value, m_szLocalINIPath))
    LogErrorF("CDiagnostics - could not write %s to %s, err %d", numbered, m_szLocalINIPath,
              static_cast<int>(GetLastError()));
}

void CDiagnostics::WriteResult(DWORD id, const char* reportKey, const char* localKey,
                               const char* value) {
  BOOL include = FALSE;
  {
    CDiagLock hold(&m_csLock);
    if (const DIAG_TEST_ENTRY* entry = Entry(id)) include = entry->bIncludeInINIFile;
  }
  if (include && m_pReportStore != nullptr)
    m_pReportStore->WriteDiagResultToINIFile("Diagnostics", reportKey, value);
  WriteLocalINI(localKey, value);
}

void CDiagnostics::SendTimeToINIFile() {
  CDiagLock hold(&m_csLock);
  ++m_dwRunCounter;
  std::string text = TimeText(winport::Now());
  bool include = false;
  for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i)
    include |= m_Tests[i].bRunNow && m_Tests[i].bIncludeInINIFile;
  if (include && m_pReportStore != nullptr)
    m_pReportStore->WriteDiagResultToINIFile("Diagnostics", "time", text.c_str());
  WriteLocalINI("time", text.c_str());
}

// ---- Scheduling -----------------------------------------------------------------------------

bool CDiagnostics::MarkStartupTestsDue() {
  CDiagLock hold(&m_csLock);
  bool any = false;
  for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i) {
    if (m_Tests[i].bStartUp == TRUE) {
      m_Tests[i].bRunNow = TRUE;
      any = true;
    }
  }
  return any;
}

void CDiagnostics::OnTimer() {
  if (!m_bAdapterFound) {
    LogInfoF("CDiagnostics::OnTimer finished");
    return;
  }
  const std::time_t now = winport::Now();
  LogInfoF("CDiagnostics::OnTimer Entered");
  LogInfoF("CDiagnostics:OnTimer - >  Adapter check is ok, diagnostics shall be performed");
  bool due = false;
  {
    // Waits here while a run is in progress: the run holds the lock throughout.
    CDiagLock hold(&m_csLock);
    for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i) {
      DIAG_TEST_ENTRY& entry = m_Tests[i];
      if (entry.lPeriodicity == 0) continue;
      double hours = static_cast<double>(now - static_cast<std::time_t>(entry.dwLastRun)) / 3600.0;
      if (hours > static_cast<double>(entry.lPeriodicity)) {
        entry.bRunNow = TRUE;
        due = true;
      }
    }
  }
  if (!due) return;
  if (IsStarted()) {
    LogInfoF(
        "CDiagnostics::OnTimer-> Thread was notstarted as earlier diagnostics test has not "
        "finished");
    return;
  }
  DiagResultWriting(TRUE);
  SendTimeToINIFile();
  LogInfoF("CDiagnostics:OnTimer - > Threadcreated for diagnostics");
  if (!Start())
    LogErrorF("CDiagnostics::Start : Thread fordiagnostics could not be created successfully");
}

BOOL CDiagnostics::PerformStartupTest() {
  if (!m_bAdapterFound) return FALSE;
  if (!MarkStartupTestsDue()) return FALSE;
  LogInfoF(
      "CDiagnostics:PerformStartupTest - > There aretest which is to performed on startup so "
      "create a thread");
  if (!Start()) {
    LogErrorF("CDiagnostics::Start : Thread for diagnostics could not be created successfully");
    return FALSE;
  }
  return TRUE;
}

BOOL CDiagnostics::Run() {
  m_bInitOK = TRUE;
  CDiagLock hold(&m_csLock);
  LogInfoF("CDiagnostics::Run Entered");
  const std::time_t now = winport::Now();
  BOOL result = TRUE;
  bool failed = false;
  if (!SetEvent(m_hInitEvent)) {
    LogErrorF("CDiagnostics::Run -- SetEvent  failed");
    m_bInitOK = FALSE;
    result = FALSE;
  } else {
    try {
      for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i) {
        DIAG_TEST_ENTRY& entry = m_Tests[i];
        if (!entry.bRunNow) continue;
        entry.bRunNow = FALSE;
        entry.dwLastRun = static_cast<DWORD>(now);
        const DWORD id = entry.dwId;
        const BOOL proceedOnError = entry.bProceedOnError;
        BOOL passed = PerformTest(static_cast<int>(i));
        if (!WaitForShutDown(0)) {
          result = FALSE;
          break;
        }
        if (!passed && id != DIAGTEST_IRQ) {
          failed = true;
          // The remaining due tests keep their flags for the next run.
          if (proceedOnError == TRUE) break;
        }
      }
      LogInfoF("CDiagnostics::Run exited");
    } catch (...) {
      LogInfoF("CDiagnbostics::Run - > exception error occurred");
    }
  }
  DiagResultWriting(FALSE);
  LaunchDiagApp(failed ? TRUE : FALSE);
  return result;
}

BOOL CDiagnostics::PerformTest(int position) {
  if (position < 1 || position >= static_cast<int>(DIAGTEST_LAST_TEST)) return TRUE;
  switch (m_Tests[position].dwId) {
    case DIAGTEST_ADAPTER: {
      LogInfoF("CDiagnostics::PerformTest - performingDIAG_ADAPTER test");
      DWORD code = ValidateAdapterTest(2);
      // Every working adapter passes, the DVB models included.
      return code == ADAPTER_PCI || code == ADAPTER_USB || code == ADAPTER_PCIDVB ||
             code == ADAPTER_USBDVB;
    }
    case DIAGTEST_DNS:
      return DNSCheck(position, 0);
    case DIAGTEST_DRVT:
      LogErrorF("CDiagnostics::PerformTest - DRVT tell will not be performed in this fashion");
      return TRUE;
    case DIAGTEST_IRQ:
      return IRQTest();
    case DIAGTEST_REGISTRY:
      return MultipleRegKey_Check();
    case DIAGTEST_PROXY:
      if (!IsPSTToPerform()) {
        LogInfoF("CDiagnostics::PerformTest - PST shall not be performed");
        return TRUE;
      }
      return ProxyServerCheck();
    case DIAGTEST_SIGNAL:
      LogErrorF(
          "CDiagnostics::PerformTest - Signal test willno longer be performed in this fashion");
      return TRUE;
    case DIAGTEST_TCPIP:
      return ValidateTcpIPSettings(2);
    default:
      return TRUE;
  }
}

BOOL CDiagnostics::IsPSTToPerform() {
  DWORD suspend = Util_SuspendOnLoad(2);
  LogInfoF("Util_SuspendOnLoad returned : %d", static_cast<int>(suspend));
  if (suspend == 0) return FALSE;
  COrbStartParam startParam;
  if (startParam.IfOrbKeyExists()) {
    LogInfoF(
        "CDiagnostics::IsPSTToPerform - SHOWPROPS key exists hence PST shall not be performed");
    return FALSE;
  }
  return TRUE;
}

void CDiagnostics::ChangeConnectionState(const BYTE* message) {
  DWORD state = 0;
  std::memcpy(&state, message + 4, sizeof state);  // the second 32-bit word
  switch (state) {
    case kConnIdle:
      m_dwConnectionState = kConnIdle;
      LogInfoF("CDiagnostics::ChangeConnectionState: State changed to - CONN_IDLE");
      break;
    case kConnConnecting:
      m_dwConnectionState = kConnConnecting;
      LogInfoF("CDiagnostics::ChangeConnectionState: State changed to - CONN_CONNECTING");
      break;
    case kConnConnected:
      m_dwConnectionState = kConnConnected;
      LogInfoF("CDiagnostics::ChangeConnectionState: State changed to - CONN_CONNECTED");
      DNSCheckOnConnect();
      break;
    default:
      LogInfoF("CDiagnostics::ChangeConnectionState: Invalid State");
      break;
  }
}

bool CDiagnostics::IsShuttingDown() {
  if (m_hDiagShutEvent != nullptr && WaitForSingleObject(m_hDiagShutEvent, 0) == WAIT_OBJECT_0)
    return true;
  return m_bStarted && !WaitForShutDown(0);
}
