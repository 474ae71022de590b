// The primary object: worker construction, registry settings, the module timer, the message
// loop and the usability mailslot.
#include "core/DAKDllMain.h"

#include <winport/error.h>
#include <winport/file.h>
#include <winport/handle.h>
#include <winport/mailslot.h>
#include <winport/message.h>
#include <winport/registry.h>
#include <winport/thread.h>

#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "config/ConfigRec.h"
#include "config/WebcastSetup.h"
#include "core/RecordBytes.h"
#include "core/Registry.h"
#include "core/SiThread.h"
#include "core/TraceLog.h"
#include "diag/Diagnostics.h"
#include "diag/OrbStartParam.h"
#include "driver/DriverState.h"
#include "driver/VESDDInterface.h"
#include "reports/Reports.h"
#include "stats/HealthReport.h"
#include "stats/ReportStore.h"

const char* const kUsabilitySlotName = "\\\\.\\mailslot\\DAKUsabilitySlot";

namespace {

constexpr DWORD kDefaultTimerPeriod = 15000;
constexpr UINT_PTR kModuleTimerId = 1;
constexpr DWORD kIdleSleepMs = 2000;
constexpr DWORD kWorkerStopWaitMs = 10000;
constexpr DWORD kMainThreadStopWaitMs = 10000;

// The instance the module timer serves, and the timer's identifier (0: no timer).
CDAKDllMain* s_pTimerInstance = nullptr;
UINT_PTR s_uTimerId = 0;
DWORD s_dwInstanceCount = 0;

void TimerProc(HWND, UINT, UINT_PTR, DWORD) {
  LogInfoF("CDAKDllMain::TimerProc() - Timer fired");
  if (s_pTimerInstance != nullptr) s_pTimerInstance->OnTimer();
}

// A DAK_GENERIC record lies within `length` bytes: three strings, each after a 4-byte length
// slot whose low byte (signed) counts the string with its zero, each string holding its zero.
bool IsGenericRecordSound(const BYTE* message, DWORD length) {
  DWORD offset = 4;
  for (int part = 0; part < 3; ++part) {
    if (length < offset + 4) return false;
    auto count = static_cast<signed char>(message[offset]);
    if (count <= 0) return false;
    offset += 4;
    if (length - offset < static_cast<DWORD>(count)) return false;
    if (std::memchr(message + offset, '\0', static_cast<std::size_t>(count)) == nullptr)
      return false;
    offset += static_cast<DWORD>(count);
  }
  return true;
}

// `new` that gives null instead of throwing, also when the constructor throws.
template <typename T, typename... Args>
std::unique_ptr<T> MakeOrNull(Args&&... args) {
  try {
    return std::unique_ptr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

CDAKDllMain::CDAKDllMain()
    : m_dwTimerPeriod(kDefaultTimerPeriod),
      m_pszMailslotName(nullptr),
      m_hMailslot(INVALID_HANDLE_VALUE),
      m_hUIUpdateEvent(nullptr),
      m_dwChannel(0),
      m_bSiteIDEnabled(FALSE),
      m_bServEnabled(FALSE),
      m_bConfigEnabled(FALSE),
      m_bConfigTestEnabled(TRUE),
      m_bHREnabled(FALSE),
      m_dwEnableThrough(0),
      m_hShutEvent(nullptr),
      m_hInstanceMutex(nullptr) {
  LogInfoF("CDAKDllMain::CDAkDllMain( )");
  InitializeCriticalSection(&m_csConfig);
}

CDAKDllMain::~CDAKDllMain() {
  LogInfoF("CDAKDllMain::~CDAKDllMain()");
  // Every thread that may still use this object or a worker ends before anything goes: the
  // primary thread first (it starts workers), then the service-information thread (it reloads
  // the configuration here), then the workers, which share the store destroyed among them.
  StopAndJoin();
  if (m_pSiThread != nullptr) m_pSiThread->Stop();
  for (CThread* worker :
       std::initializer_list<CThread*>{m_pConfigRec.get(), m_pDriverState.get(), m_pReports.get(),
                                       m_pHealthReport.get(), m_pDiagnostics.get()}) {
    if (worker != nullptr) worker->StopAndJoin();
  }
  if (s_pTimerInstance == this) s_pTimerInstance = nullptr;
  m_pConfigRec.reset();
  m_pDriverState.reset();
  m_pReportStore.reset();
  m_pReports.reset();
  m_pHealthReport.reset();
  m_pDiagnostics.reset();
  m_pSiThread.reset();
  m_pWebcast.reset();
  if (m_pVesdd != nullptr) {
    if (m_bChannelOpen) m_pVesdd->CloseChannel(m_dwChannel);
    if (!m_pVesdd->Unload()) LogErrorF("CDAKDllMain::~CDAKDllMain - error unloading VESDD dll");
    m_pVesdd.reset();
  }
  if (m_hInstanceMutex != nullptr) CloseHandle(m_hInstanceMutex);
  if (m_hMailslot != INVALID_HANDLE_VALUE) CloseHandle(m_hMailslot);
  if (m_hShutEvent != nullptr) CloseHandle(m_hShutEvent);
  if (m_hUIUpdateEvent != nullptr) {
    if (CloseHandle(m_hUIUpdateEvent)) {
      LogInfoF("~CDAKDllMain- UI event handle closed successfully for %s", GetClassName());
    } else {
      LogErrorF("Error:~CDAKDllMain-  error closing UI event handle in %s, code = %d",
                GetClassName(), static_cast<int>(GetLastError()));
    }
  }
  DeleteCriticalSection(&m_csConfig);
}

CDAKDllMain* CDAKDllMain::MakeObject() {
  LogInfoF("CDAKDllMain::MakeObject()");
  // A refused or failed make gives its count back, so that a later start can succeed.
  if (s_dwInstanceCount++ != 0) {
    --s_dwInstanceCount;
    LogInfoF(
        "CDAKDllMain::MakeObject() - object already exists of this class , cannot create more "
        "than one objects");
    return nullptr;
  }
  CDAKDllMain* instance = new (std::nothrow) CDAKDllMain();
  if (instance == nullptr) {
    --s_dwInstanceCount;
    LogErrorF("CDAKDllMain::MakeObject() - could not allocate mem for object");
  }
  return instance;
}

void CDAKDllMain::ReleaseObject(CDAKDllMain* instance) {
  LogInfoF("CDAKDllMain::ReleaseObject( )");
  if (instance != nullptr) {
    --s_dwInstanceCount;
    delete instance;
  }
}

DWORD CDAKDllMain::GetInstanceCount() {
  return s_dwInstanceCount;
}

DWORD CDAKDllMain::Init() {
  s_pTimerInstance = this;
  LogInfoF("CDAKDllMain::Init() - entered init()");

  if (!CreateWorkers()) {
    LogErrorF("CDAkDllMain::Init - could not allocate memory");
    return 3;
  }
  CreateShutEvent();
  if (!BindDriver()) return 3;

  InitFromRegistry();
  m_pReportStore->Initialize();

  if (DWORD code = RunStartupTests(); code != 0) return code;

  if (!Start()) return 5;
  return StartServiceInformation();
}

BOOL CDAKDllMain::CreateWorkers() {
  m_pReportStore = MakeOrNull<CReportStore>();
  m_pHealthReport = MakeOrNull<CHealthReport>(m_pReportStore.get());
  m_pDiagnostics = MakeOrNull<CDiagnostics>(m_pReportStore.get());
  m_pReports = MakeOrNull<CReports>(m_pReportStore.get());
  m_pDriverState = MakeOrNull<CDriverState>(m_pDiagnostics.get());
  m_pWebcast = MakeOrNull<CWebcastSetup>();  // tolerated when missing
  return m_pReportStore != nullptr && m_pReports != nullptr && m_pHealthReport != nullptr &&
         m_pDiagnostics != nullptr && m_pDriverState != nullptr;
}

void CDAKDllMain::CreateShutEvent() {
  LogInfoF("CDAkDllMain::Init - creating the event DIAG_APP_SHUTDOWN");
  m_hShutEvent = CreateEventA(nullptr, TRUE, FALSE, "SHUT_EVENT");
  if (m_hShutEvent != nullptr) {
    LogInfoF("CDAKDllMain::Init( ) - created shutdown event for Vb app");
  } else {
    LogInfoF("CDAKDllMain::Init( ) - could not create shutdown event for Vb app");
  }
}

// Creates the driver interface (FALSE: out of memory) and binds the receive driver; a driver
// that does not load or open is only traced.
BOOL CDAKDllMain::BindDriver() {
  m_pVesdd = MakeOrNull<CVESDDInterface>();
  if (m_pVesdd == nullptr) {
    LogErrorF(
        "CDAkDllMain::Run - Could not allocate memory for Vesdd Dll intereface object -        "
        "       vesdd stats will not be generated");
    return FALSE;
  }

  LogInfoF("CDAKDllMain::Init() - Attempting to load Vesdd32.dll");
  if (!m_pVesdd->Load()) {
    LogErrorF(
        "CDAKDllMain::Init: Failed to Load Vesdd Dll - so vesdd stats shall not be generated.");
    return TRUE;
  }
  LogErrorF("CDAKDllMain::Init: Vesdd32 loaded successfully.");
  m_pDiagnostics->InitVesdd(m_pVesdd.get());
  DWORD channel = 0;
  if (!m_pVesdd->OpenChannel(1, &channel)) {
    LogErrorF("CDAKDllMain::Init: Vesdd32 openchannel fails, will be diagnosed later");
    return TRUE;
  }
  m_dwChannel = channel;
  m_bChannelOpen = TRUE;
  m_pReportStore->InitVesdd(m_pVesdd.get(), m_dwChannel);
  m_pReports->InitVesdd(m_pVesdd.get(), m_dwChannel);
  m_pHealthReport->InitVesdd(m_pVesdd.get(), m_dwChannel);
  m_pDriverState->InitVesdd(m_pVesdd.get(), m_dwChannel);
  m_pDiagnostics->SetChannelHandle(m_dwChannel);
  return TRUE;
}

// Every test marked passed, then the configuration tests (their failure code, or 0), the
// diagnostics' start-up test and the tuning worker's initialisation.
DWORD CDAKDllMain::RunStartupTests() {
  LogInfoF(
      "CDAKDllmain::Init - setting tests status of all the tests to passed state in the "
      "beginnng");
  m_pDiagnostics->Initialize();

  if (m_bConfigTestEnabled) {
    DWORD code = m_pDiagnostics->PerformConfigurationTests();
    LogInfoF("CDAKDllMain::Init - Configuration test returned %d", static_cast<int>(code));
    if (code != 0) {
      LogErrorF("CDAKDllMain::Init - configuration tests failed code = %d", static_cast<int>(code));
      return code;
    }
    LogInfoF("CDAKDllMain::Init - configuration tests successful");
  } else {
    LogInfoF("CDAKDllMain::Init - Configuration test disabled");
  }

  m_pDiagnostics->PerformStartupTest();
  m_pDriverState->Init();
  return 0;
}

DWORD CDAKDllMain::StartServiceInformation() {
  m_pSiThread = MakeOrNull<CSiThread>();
  if (m_pSiThread == nullptr) {
    LogErrorF("CDAkDllMain::Init - could not allocate mem for sirx obj");
    return 5;
  }
  m_pSiThread->SetObject(this);
  if (!m_pSiThread->Create(FALSE)) return 0;
  LogInfoF("CDAKDllmain::Init - Starting the service information thread");
  if (m_pSiThread->StartThread()) {
    LogInfoF("CDAkDllMain::Init - Service information thread started successfully");
  } else {
    LogInfoF("CDAkDllMain::Init - Service information thread could not be started");
  }
  return 0;
}

void CDAKDllMain::InitFromRegistry() {
  LogInfoF("CDAKDllMain::InitFromRegistry() - reading values from registry");
  m_dwTimerPeriod = kDefaultTimerPeriod;
  m_dwEnableThrough = 0;

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    LogErrorF(
        "CDAKDllMain::InitFromRegistry() - error reading OPENING Complete key - no values could "
        "be read - assuming all default.");
  } else {
    DWORD value = 0;
    if (!RegReadDword(key, "HRServEnabled", &value)) {
      m_bServEnabled = FALSE;
      LogInfoF(
          "CDAKDllMain::InitFromRegistry() - Serv Enabled not in reg -disabling service specific "
          "stats.");
    } else {
      m_bServEnabled = value == 1;
    }
    if (!RegReadDword(key, "HRSiteIDEnabled", &value)) {
      m_bSiteIDEnabled = FALSE;
      LogInfoF(
          "CDAKDllMain::InitFromRegistry() - SiteID Enabled not in reg -disabling site id "
          "specific stats.");
    } else {
      m_bSiteIDEnabled = value == 1;
    }
    if (!RegReadDword(key, "HRConfigEnabled", &value)) {
      m_bConfigEnabled = FALSE;
      LogInfoF(
          "CDAKDllMain::InitFromRegistry() - Config Enabled not in reg -disabling configuration "
          "records.");
    } else {
      m_bConfigEnabled = value == 1;
    }
    if (RegReadDword(key, "TimerTick", &value)) {
      m_dwTimerPeriod = value;
      LogInfoF("CDAKDllMain::InitFromRegistry() - TimerTick = %lu",
               static_cast<unsigned long>(value));
    }
    if (RegReadDword(key, "EnableThrough", &value)) {
      m_dwEnableThrough = value;
      LogInfoF("CDAKDllMain::InitFromRegistry() - EnableThrough = %lu",
               static_cast<unsigned long>(value));
    }
    if (!RegReadDword(key, "ConfigTestEnable", &value)) {
      m_bConfigTestEnabled = TRUE;
      LogInfoF("CDAKDllMain::InitFromRegistry() - ConfigTestEnable not in reg - tests enabled.");
    } else {
      m_bConfigTestEnabled = value == 1;
    }
    RegCloseKey(key);
  }

  m_pReportStore->InitFromRegistry();

  const char* base = m_pReportStore->GetBaseDirectory();
  std::string dir = (base != nullptr && base[0] != '\0') ? base : "c:";
  dir += "\\Vitalis";
  if (CreateDirectoryA(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
    LogInfoF("CDAkDllMain::InitFromRegistry - directory created = %s", dir.c_str());
  } else {
    LogErrorF("CDAkDllMain::InitFromRegistry - directory couldnot be created %d",
              static_cast<int>(GetLastError()));
  }

  m_pReports->InitFromRegistry();
  m_pDiagnostics->ReadTestParams(0);

  GetHREnableMode();
  LogInfoF("CDAKDllMain::InitFromRegistry - Final Value of HR Enabled is %d",
           static_cast<int>(m_bHREnabled));
  m_pReportStore->SetEnableType(m_bSiteIDEnabled, m_bServEnabled, m_bHREnabled);
}

void CDAKDllMain::GetHREnableMode() {
  DWORD hrEnabled = 0;
  DWORD uiEnabled = 0;
  bool uiPresent = false;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_QUERY_VALUE, &key) ==
      ERROR_SUCCESS) {
    if (!RegReadDword(key, "HREnabled", &hrEnabled)) hrEnabled = 0;
    uiPresent = RegReadDword(key, "UI_HREnabled", &uiEnabled);
    RegCloseKey(key);
  } else {
    // Without the key the user interface counts as having switched reporting off.
    uiPresent = true;
    uiEnabled = 0;
  }

  // Decided in a local, so that other threads never see a passing "disabled".
  BOOL enabled = FALSE;
  if (m_dwEnableThrough & 1) {
    LogInfoF("CDAKDllMain::GetHREnableMode - the Hr was enabled through site id ");
    if (hrEnabled != 0) {
      LogInfoF("CDAKDllMain::GetHREnableMode - enable through site id and HREnabled 1 - Enable HR");
      enabled = TRUE;
    } else {
      LogInfoF(
          "CDAKDllMain::GetHREnableMode - enable through site id and HREnabled 0 or not present - "
          "disable HR");
    }
  } else {
    LogInfoF("CDAKDllMain::GetHREnableMode - the Hr was Not Enabled through site id");
    if (!uiPresent) {
      LogInfoF("CDAKDllMain::GetHREnableMode - the UI Key is not present");
      enabled = hrEnabled == 1;
    } else {
      enabled = uiEnabled == 1;
    }
  }
  m_bHREnabled = enabled;
}

void CDAKDllMain::UIUpdateConfig() {
  LogInfoF("CDAKDLLMain::UIUpdateConfig");
  GetHREnableMode();
  LogInfoF("CDAKDLLMain::UIUpdateConfig - Final Value of HR Enabled is %d",
           static_cast<int>(m_bHREnabled));
  m_pReportStore->SetEnableType(m_bSiteIDEnabled, m_bServEnabled, m_bHREnabled);
  m_pDiagnostics->ReadParamsOfAllTests(2);
  m_pReports->GetTxMode();
  m_pDriverState->UIConfigUpdate();
  m_UIUpdates.Add();
}

void CDAKDllMain::UpdateConfig() {
  LogInfoF("CDAkDllMain::UpdateConfig - entered");
  EnterCriticalSection(&m_csConfig);
  InitFromRegistry();
  m_pDriverState->UpdateConfig();
  m_pDiagnostics->ReadParamsOfAllTests(0);
  if (m_pWebcast != nullptr) {
    LogInfoF("CDAkDllMain::UpdateConfig - Updating webcast status...");
    m_pWebcast->UpdateWebcastStatus();
  }
  LeaveCriticalSection(&m_csConfig);
  m_ConfigUpdates.Add();
}

BOOL CDAKDllMain::IsConfigRecReqd() {
  LogInfoF("CDAKDllMain::IsConfigRecReqd");
  std::string reported;
  std::string version;
  if (!RegReadText(HKEY_LOCAL_MACHINE, kHealthReportKey, "LastReportedVersion", &reported)) {
    LogInfoF("CDAKDllMain::IsConfigRecReqd -  LAST REPORTED VERSION  not found");
    return TRUE;
  }
  if (!RegReadText(HKEY_LOCAL_MACHINE, kOrbilinkKey, "Version", &version)) {
    LogInfoF("CDAKDllMain::IsConfigRecReqd -  ORBILINK VERSION  not found");
    return TRUE;
  }
  if (reported == version) {
    LogInfoF(
        "CDAKDllMain::IsConfigRecReqd - The Orbilink Version Number has not changed - will not "
        "generate configuration records");
    return FALSE;
  }
  LogInfoF(
      "CDAKDllMian::IsConfigRecReqd - The Orbilink Version Number has changed - will generate "
      "configuration records ");
  return TRUE;
}

BOOL CDAKDllMain::Run() {
  LogInfoF("CDAKDllMain::Run() - Inside thread");
  m_bInitOK = TRUE;

  LogInfoF("CDAKDllMain::Run - timer being set for time %ld", static_cast<long>(m_dwTimerPeriod));
  s_uTimerId = SetTimer(nullptr, kModuleTimerId, m_dwTimerPeriod, &TimerProc);
  if (s_uTimerId == 0) {
    LogErrorF("CDAKDllMain::Run()-Unable to create Timer - SetTimer() Failed");
    m_bInitOK = FALSE;
  } else {
    LogInfoF("CDAKDllMain:Run() - Timer created successfully");
  }

  if (!StartMailslotServer()) {
    LogInfoF("CDAKDllMain::Run - call to CDAKDllMain::StartMailslotServer() failed, abort thread");
    m_bInitOK = FALSE;
  }

  BOOL initOK = m_bInitOK;
  if (!SetEvent(m_hInitEvent)) {
    LogErrorF("CDAKDllMain::Run -- SetEvent  failed");
    return FALSE;
  }
  // A failed start ends here: the starter gives the thread up, and nothing may be started on
  // its behalf.
  if (!initOK) {
    KillTheTimer();
    return FALSE;
  }
  OnStartHandshakeDone();

  if (m_pDriverState->Start()) {
    LogInfoF("CDAkDllMain::Run()- started the tuning thread successfully");
  } else {
    LogInfoF("CDAkDllMain::Run()- failed to start the tuning thread successfully");
  }

  if (m_bConfigEnabled && m_bHREnabled) {
    if (IsConfigRecReqd()) {
      LogInfoF("CDAKDllMain::Run - starting the Configuration records thread");
      m_pConfigRec = MakeOrNull<CConfigRec>(m_pReportStore.get());
      if (m_pConfigRec != nullptr) m_pConfigRec->Start();
    } else {
      LogInfoF(
          "CDAKDllMain::Run - config records are enabled but the Orbilink version No has not "
          "changed - will not generate records");
    }
  } else {
    LogInfoF("CDAKDllMain::Run - configuration records generation is disabled");
  }

  LogInfoF("CDAKDllMain::Run() - Entering Message Loop");
  m_hUIUpdateEvent = CreateEventA(nullptr, TRUE, FALSE, "DiagUserInterfaceEvent");
  if (m_hUIUpdateEvent != nullptr) {
    LogInfoF("CDAKDllMain::Run - UI Update event created succesfully");
  } else {
    LogErrorF("CDAKDllMain::Run - Error Creating the UI Update event error code = %d",
              static_cast<int>(GetLastError()));
  }

  while (WaitForShutDown(0)) {
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }

    if (m_hUIUpdateEvent != nullptr) {
      DWORD rc = WaitForSingleObject(m_hUIUpdateEvent, 0);
      if (rc == WAIT_OBJECT_0) {
        LogInfoF(
            "CDAKDllMain::Run - UI Update event is signalled - read the values and then reset the "
            "event.");
        UIUpdateConfig();
        if (ResetEvent(m_hUIUpdateEvent)) {
          LogInfoF("CDAKDllMain::Run - event set to indicate Ui update required");
        } else {
          LogInfoF("Error::CDAKDllMian::Run -- SetEvent failed error code = %d, ",
                   static_cast<int>(GetLastError()));
        }
      } else if (rc == WAIT_TIMEOUT) {
        LogInfoF(
            "CDAKDllMain::Run - wait timed out - its not a UI update case so continue with the "
            "normal loop");
      } else {
        LogErrorF("FATAL CDAKDllMain::Run( ) - Error in WaitForSingleObject");
      }
    } else {
      LogInfoF("CDAKDllMain::Run - the UI update event handle is NULL");
    }

    MessageProcessor();
  }

  LogInfoF("CDAKDllMain::Run() - Out of message loop");
  return TRUE;
}

void CDAKDllMain::OnTimer() {
  LogInfoF("CDAKDllMain::ONTimer() - entered - handling timer messages");
  if (m_bHREnabled) {
    LogInfoF("CDAKDllMain::OnTimer- healthreporting is enabled");
    m_pReports->OnTimer();
    m_pHealthReport->OnTimer();
  } else {
    LogInfoF("CDAKDllMain::OnTimer- healthreporting is disabled");
  }
  m_pReportStore->OnTimer();
  m_pDiagnostics->OnTimer();
  m_TimerTicks.Add();
}

void CDAKDllMain::KillTheTimer() {
  LogInfoF("CDAKDllMain::KillTheTimer() - KillTimer ");
  if (s_uTimerId == 0) {
    LogInfoF("CDAKDllMain::KillTheTimer() - KillTimer  - Timer Not Active");
    return;
  }
  KillTimer(nullptr, s_uTimerId);
  s_uTimerId = 0;
  LogInfoF("CDAKDllMain::KillTheTimer() - KillTimer  - Timer Destroyed");
}

HANDLE CDAKDllMain::OnShutDown() {
  LogInfoF("CDAKDllMain::OnShutDown - > signal shutdown event for VB app.");
  if (m_hShutEvent != nullptr) {
    if (SetEvent(m_hShutEvent)) {
      LogInfoF("CDAKDllMain::OnShutDown - > Event succesfully signalled- DIAGAPP -SHUTDOWN");
    } else {
      LogInfoF("CDAKDllMain::OnShutDown - > Event could not be signalled- DIAGAPP -SHUTDOWN");
    }
  }

  if (m_pSiThread != nullptr) m_pSiThread->Stop();

  LogInfoF("CDAKDllMain::OnShutDown() - calling CReports OnShutdown");
  KillTheTimer();

  HANDLE handles[5];
  DWORD count = 0;
  auto collect = [&](CThread* worker, const char* line) {
    if (worker == nullptr) return;
    LogInfoF("%s", line);
    HANDLE handle = worker->OnShutDown();
    if (handle != nullptr) handles[count++] = handle;
  };
  collect(m_pReports.get(), "CDAKDllMain::OnShutDown() - calling CReports OnShutdown");
  collect(m_pDiagnostics.get(), "CDAKDllMain::OnShutDown() - calling CDiagnostics OnShutdown");
  collect(m_pDriverState.get(), "CDAKDllMain::OnShutDown() - calling CDriverState OnShutdown");
  collect(m_pHealthReport.get(), "CDAKDllMain::OnShutDown() - calling CHealthReport OnShutdown");
  collect(m_pConfigRec.get(), "CDAKDllMain::OnShutDown() - calling CConfigRec OnShutdown");

  if (count > 0) {
    LogInfoF("CDAKDllMain::OnShutDown - waiting on objects count = %d - entering wait",
             static_cast<int>(count));
    DWORD rc = WaitForMultipleObjects(count, handles, TRUE, kWorkerStopWaitMs);
    if (rc == WAIT_TIMEOUT) {
      LogInfoF("CDAKDllMain::OnShutDown - wait on multiple oblects timed out ");
    } else if (rc == WAIT_FAILED) {
      LogErrorF("CDAKDllMain::OnShutdown - wait failed on multiple objects");
    } else {
      LogInfoF("CDAKDllMain::OnShutdown - out of wait on multiple objects");
    }
  }

  CThread::OnShutDown();

  if (m_hThread != nullptr) {
    LogInfoF("CDAKDllMain::OnShutDown - entering wait on the main thread");
    if (WaitForSingleObject(m_hThread, kMainThreadStopWaitMs) != WAIT_OBJECT_0) {
      LogInfoF("CDAKDllmain::OnShutDown -  wait times out for the main thread terminating thread.");
      if (TerminateThread(m_hThread, 1)) {
        LogInfoF("CDAKDllMain::OnShutDown - The main thread terminated");
      } else {
        LogErrorF("CDAKDllMain::OnShutDown - The main thread could not be terminated");
      }
    }
    LogInfoF("CDAKDllMain::OnShutDown - out of wait on the main thread");
  } else {
    LogInfoF("CDAKDllMain::OnShutDown - main thread already ended ");
  }

  // The primary thread starts the tuning and configuration-record workers after its start
  // handshake: a stop that came before they ran found nothing to ask. The primary thread has
  // ended now and starts nothing more, so whichever of them runs is asked again.
  count = 0;
  for (CThread* worker :
       {static_cast<CThread*>(m_pDriverState.get()), static_cast<CThread*>(m_pConfigRec.get())}) {
    if (worker == nullptr || !worker->IsStarted()) continue;
    HANDLE handle = worker->OnShutDown();
    if (handle != nullptr) handles[count++] = handle;
  }
  if (count > 0 &&
      WaitForMultipleObjects(count, handles, TRUE, kWorkerStopWaitMs) == WAIT_TIMEOUT) {
    LogInfoF("CDAKDllMain::OnShutDown - wait on late workers timed out");
  }

  if (m_pReportStore != nullptr) m_pReportStore->OnShutDown();
  LogInfoF("CDAKDllMain::OnShutdown - shutdown  ended");
  return reinterpret_cast<HANDLE>(1);
}

BOOL CDAKDllMain::StartMailslotServer() {
  m_pszMailslotName = kUsabilitySlotName;
  m_hMailslot = CreateMailslotA(m_pszMailslotName, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  if (m_hMailslot != INVALID_HANDLE_VALUE && m_hMailslot != nullptr) {
    LogInfoF("CDAKDllMain::StartMailslotServer() - DAKUsabilitySlot mailslot created");
    return TRUE;
  }
  m_hMailslot = INVALID_HANDLE_VALUE;
  LogErrorF("CDAKDllMain::StartMailslotServer() - Error creating mailslot");
  return FALSE;
}

void CDAKDllMain::MessageProcessor() {
  if (m_hMailslot == INVALID_HANDLE_VALUE) {
    LogInfoF("CDAKDllMain::Run - error in mailslot - mailslot handle invalid ");
    WaitForShutDown(kIdleSleepMs);
    return;
  }
  DWORD nextSize = 0;
  DWORD count = 0;
  if (!GetMailslotInfo(m_hMailslot, nullptr, &nextSize, &count, nullptr)) {
    LogErrorF("CDAKDllMain::MessageProcessor-Error in GetMailslotInfo");
    WaitForShutDown(kIdleSleepMs);
    return;
  }
  if (nextSize == MAILSLOT_NO_MESSAGE || count == 0) {
    WaitForShutDown(kIdleSleepMs);
    return;
  }
  if (nextSize == 0) {
    // An empty message would otherwise block every message behind it.
    BYTE none[1];
    DWORD read = 0;
    ReadFile(m_hMailslot, none, sizeof none, &read, nullptr);
    LogErrorF("CDAKDllMain::MessageProcessor - empty message dropped");
    m_MessagesHandled.Add();
    return;
  }
  LogInfoF("CDAKDllMain::MessageProcessor - valid message encountered");
  LogInfoF("Total No of messages now : %lu, NextSize: %lu:", static_cast<unsigned long>(count),
           static_cast<unsigned long>(nextSize));

  // One zero byte behind the message, so that a text field without its zero still ends
  // inside the buffer.
  BYTE* buffer = new (std::nothrow) BYTE[static_cast<std::size_t>(nextSize) + 1];
  if (buffer == nullptr) {
    LogErrorF("CDAKDllMain::MessageProcessor - error in allocating memory for message");
    WaitForShutDown(kIdleSleepMs);
    return;
  }
  buffer[nextSize] = 0;
  BOOL handled = FALSE;
  DWORD read = 0;
  if (!ReadFile(m_hMailslot, buffer, nextSize, &read, nullptr)) {
    LogErrorF("CDAKDllMain::MessageProcessor() - error reading data from Mailslot");
  } else {
    buffer[read] = 0;
    handled = HandleMessage(buffer, read);
    if (!handled) {
      LogErrorF("CDAKDllMain::MessageProcessor() :call to CDAKDllMain::HandleMessage() failed");
    }
  }
  delete[] buffer;
  m_MessagesHandled.Add();
  if (handled) LogInfoF("CDAKDllMain::MessageProcessor() - Message Processed Succesfully");
}

namespace {

// Refuses a record shorter than its layout before any handler reads it.
bool TooShort(const char* name, DWORD length, DWORD size) {
  if (length >= size) return false;
  LogErrorF("CDAKDllMain::HandleMessage()-- %s record too short (%lu of %lu bytes) - dropped", name,
            static_cast<unsigned long>(length), static_cast<unsigned long>(size));
  return true;
}

// A statistics record: handed to `handler` while health reporting is enabled, else traced with
// `disabledLine`. A record too short is dropped first.
template <typename Handler>
BOOL PassWhileEnabled(BOOL enabled, const char* name, DWORD length, DWORD size,
                      const char* disabledLine, Handler handler) {
  if (TooShort(name, length, size)) return TRUE;
  if (enabled) {
    handler();
  } else {
    LogInfoF("%s", disabledLine);
  }
  return TRUE;
}

}  // namespace

BOOL CDAKDllMain::HandleMessage(const BYTE* message, DWORD length) {
  if (message == nullptr || length < 4) {
    LogErrorF("CDAKDllMain::HandleMessage()-- message of %lu bytes has no identifier - dropped",
              static_cast<unsigned long>(length));
    return FALSE;
  }
  const BOOL enabled = m_bHREnabled;
  switch (GetU32(message)) {
    case DAK_RUNNINGTIME:
      LogInfoF("CDAKDllMain::HandleMessage()-- DAK_RUNNINGTIME Message Received");
      return PassWhileEnabled(
          enabled, "DAK_RUNNINGTIME", length, DAK_RUNNINGTIME_SIZE,
          "CDAKDllMain::HandleMessage()-- Can't process DAK_RUNNINGTIME - HEalth reporting is "
          "disabled",
          [&] { m_pHealthReport->RunMinutes(message); });
    case DAK_ZNSTATUS:
      LogInfoF("CDAKDllMain::HandleMessage()-- DAK_ZNSTATUS Message Received");
      return PassWhileEnabled(
          enabled, "DAK_ZNSTATUS", length, DAK_ZNSTATUS_SIZE,
          "CDAKDllMain::HandleMessage()-- Can't process DAK_ZNSTATUS - HEalth reporting is "
          "disabled",
          [&] { m_pHealthReport->ZNDialout(message); });
    case DAK_PD:
      LogInfoF("CDAkDllMain::HandleMessage()-- DAK_PD Message Received");
      return PassWhileEnabled(
          enabled, "DAK_PD", length, DAK_PD_SIZE,
          "CDAKDllMain::HandleMessage()-- Can't process DAK_PD - Health reporting is disabled",
          [&] { m_pHealthReport->PD(message); });
    case DAK_NEWSCAST:
      LogInfoF("CDAkDllMain::HandleMessage()-- DAK_NEWSCAST Message Received");
      return PassWhileEnabled(
          enabled, "DAK_NEWSCAST", length, DAK_NEWSCAST_SIZE,
          "CDAKDllMain::HandleMessage()-- Can't process DAK_NEWSCAST - Health reporting is "
          "disabled",
          [&] { m_pHealthReport->Newscast(message); });
    case DAK_CONNSTATE:
      return HandleConnState(message, length);
    case DAK_GENERIC:
      return HandleGeneric(message, length);
    case DAK_DEL_WCPROPSORBSTARTKEY: {
      LogInfoF("CDAkDllMain::HandleMessage()-- DAK_DEL_WCPROPSORBSTARTKEY Message Received");
      COrbStartParam startParam;
      LogInfoF("CDAkDllMain::HandleMessage()-- Delete ORBNAV key from OrbStart");
      startParam.DeleteKey();
      return TRUE;
    }
    case ADAPTER_STATE_CHANGED:
      return HandleAdapterStateChanged();
    default:
      LogInfoF("CDAKDllMain::HandleMessage()-- Message not defined");
      return FALSE;
  }
}

BOOL CDAKDllMain::HandleConnState(const BYTE* message, DWORD length) {
  LogInfoF("CDAkDllMain::HandleMessage()-- DAK_CONNSTATE Message Received");
  if (TooShort("DAK_CONNSTATE", length, DAK_CONNSTATE_SIZE)) return TRUE;
  m_pDiagnostics->ChangeConnectionState(message);
  if (m_bHREnabled) {
    m_pReports->ConnectionMessage(message);
  } else {
    LogInfoF(
        "CDAKDllMain::HandleMessage()-- Can't process DAK_CONNSTATE - Health reporting is "
        "disabled");
  }
  return TRUE;
}

BOOL CDAKDllMain::HandleGeneric(const BYTE* message, DWORD length) {
  LogInfoF("CDAkDllMain::HandleMessage()-- DAK_GENERIC Message Received");
  if (!IsGenericRecordSound(message, length)) {
    LogErrorF(
        "CDAKDllMain::HandleMessage()-- DAK_GENERIC record malformed (%lu bytes: a length "
        "is not 1 to 127, runs past the end or misses its zero) - dropped",
        static_cast<unsigned long>(length));
    return TRUE;
  }
  if (m_bHREnabled) {
    m_pReportStore->WriteGeneralData(message);
  } else {
    LogInfoF(
        "CDAKDllMain::HandleMessage()-- Can't process DAK_GENERIC - Health reporting is "
        "disabled");
  }
  return TRUE;
}

BOOL CDAKDllMain::HandleAdapterStateChanged() {
  LogInfoF("CDAkDllMain::HandleMessage()-- ADAPTER_STATE_CHANGED Message Received");
  DWORD code = m_pDiagnostics->CheckAdapterState();
  LogInfoF("CDAKDllMain::HandleMessage()-- CheckAdapterState test returned %d",
           static_cast<int>(code));
  if (code != 0) {
    LogErrorF("CDAKDllMain:: HandleMessage() - CheckAdapterState tests failed code = %d",
              static_cast<int>(code));
  } else {
    LogInfoF("CDAKDllMain::HandleMessage() - CheckAdapterState tests successful");
  }
  LogInfoF("CDAkDllMain::HandleMessage()-- ADAPTER_STATE_CHANGED Message Handling complete");
  return TRUE;
}
