#include "driver/DriverState.h"

#include <orbdiapi.h>
#include <orbutil.h>
#include <vesdd32.h>
#include <winport/error.h>
#include <winport/handle.h>
#include <winport/message.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/Registry.h"
#include "core/TraceLog.h"
#include "diag/Diagnostics.h"
#include "diag/TestTable.h"
#include "driver/TrellisConfig.h"
#include "driver/UsbInterface.h"
#include "driver/VESDDInterface.h"

namespace {

// Adapter TestStatus codes of the detailed driver test.
constexpr DWORD kUsbNotAnswering = 110;
constexpr DWORD kUsbAnswered = 111;
constexpr DWORD kNdisCheckFailed = 113;
constexpr DWORD kNdisCheckPassed = 114;
constexpr DWORD kTrellisNotAnswering = 115;

// CheckHeartBeat results.
constexpr DWORD kHeartBeatAlive = 0;
constexpr DWORD kHeartBeatZero = 2;
constexpr DWORD kVesddNotLoaded = 4;

// Adapter types.
constexpr DWORD kAdapterPci = 2;
constexpr DWORD kAdapterUsb = 3;

// The detailed driver test runs once per outage, whichever object sees it.
bool s_bDetailedTestPerformed = false;

// Timers belong to the thread that set them and fire only on it, so the tuning object they
// serve is the one whose thread this is.
thread_local CDriverState* t_pTimerOwner = nullptr;

void TimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  LogInfoF("CDriverState::TimerProc() - Timer fired");
  if (t_pTimerOwner != nullptr) t_pTimerOwner->OnTimer(id);
}

// Reads "ReportToUser" of a diagnostics subkey: 0 only when it was read and is 0.
BOOL ReadReportFlag(const char* subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    LogErrorF("CDriverState::UIConfigUpdate - could not open %s, the problems are reported",
              subKey);
    return TRUE;
  }
  DWORD value = 1;
  bool read = RegReadDword(key, "ReportToUser", &value);
  RegCloseKey(key);
  if (!read) {
    LogInfoF("CDriverState::UIConfigUpdate - no ReportToUser in %s, the problems are reported",
             subKey);
    return TRUE;
  }
  return value == 0 ? FALSE : TRUE;
}

}  // namespace

CDriverState::CDriverState(CDiagnostics* diagnostics)
    : m_pUsbIntf(nullptr),
      m_pVesdd(nullptr),
      m_pDiagnostics(diagnostics),
      m_VesddTest(diagnostics),
      m_dwAcqTimeout(0),
      m_uAcqTimerId(0),
      m_uPriTimerId(0),
      m_dwPriTimerTick(kDefaultPriTimerTick),
      m_dwErrorTimerTick(kDefaultErrorTimerTick),
      m_dwChannel(0),
      m_hUpdateEvent(nullptr),
      m_bSignalReport(TRUE),
      m_bDriverReport(TRUE) {
  m_hUpdateEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (m_hUpdateEvent == nullptr) {
    LogErrorF("ERROR : CDriverState - Error Creating the Update event error code = %d",
              static_cast<int>(GetLastError()));
  }
}

CDriverState::~CDriverState() {
  // The thread calls into this object until it ends.
  StopAndJoin();
  if (m_hUpdateEvent != nullptr) {
    if (CloseHandle(m_hUpdateEvent)) {
      LogInfoF("~CDriverState - Update Event handle closed successfully for %s", GetClassName());
    } else {
      LogInfoF("Error:~CDriverState -  error closing Update event handle in %s, code = %d",
               GetClassName(), static_cast<int>(GetLastError()));
    }
    m_hUpdateEvent = nullptr;
  }
  delete m_pUsbIntf;
  m_pUsbIntf = nullptr;
}

void CDriverState::Init() {
  LogInfoF("CDriverState::Init");
  InitFromRegistry();
  m_TuneAdapter.Init(this);
  m_VesddTest.Initialize();
  if (m_pUsbIntf == nullptr) m_pUsbIntf = new (std::nothrow) CUsbInterface();
}

void CDriverState::InitVesdd(CVESDDInterface* vesdd, DWORD channel) {
  if (vesdd == nullptr) {
    LogErrorF("Fatal , CDriverState::InitVesdd - Vesdd pointer passed is NUll.");
    return;
  }
  m_pVesdd = vesdd;
  m_dwChannel = channel;
  m_TuneAdapter.SetVesdd(vesdd, channel);
  m_VesddTest.InitVesdd(vesdd, channel);
}

void CDriverState::InitFromRegistry() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    LogErrorF("CDriverState::InitFromRegistry() - could not open the HealthReport key");
    m_dwPriTimerTick = kDefaultPriTimerTick;
    m_dwErrorTimerTick = kDefaultErrorTimerTick;
  } else {
    DWORD value = 0;
    if (!RegReadDword(key, "DriverPriTimerTick", &value) || value == 0) {
      LogInfoF("CDriverState::InitFromRegistry() - Using primary timer key default");
      value = kDefaultPriTimerTick;
    }
    m_dwPriTimerTick = value;
    value = 0;
    if (!RegReadDword(key, "DriverErrorTimerTick", &value) || value == 0) {
      LogInfoF("CDriverState::InitFromRegistry() - Using primary timer key default");
      value = kDefaultErrorTimerTick;
    }
    m_dwErrorTimerTick = value;
    RegCloseKey(key);
  }
  LogInfoF("CDriverState::InitFromRegistry() - primary timer tick = %lu, error timer tick = %lu",
           static_cast<unsigned long>(m_dwPriTimerTick),
           static_cast<unsigned long>(m_dwErrorTimerTick));
  UIConfigUpdate();
}

void CDriverState::UIConfigUpdate() {
  m_bSignalReport = ReadReportFlag(kSignalStrengthKey);
  m_bDriverReport = ReadReportFlag(kDrvtKey);
  LogInfoF("CDriverState::UIConfigUpdate - signal report = %d, driver report = %d",
           static_cast<int>(m_bSignalReport.load()), static_cast<int>(m_bDriverReport.load()));
}

void CDriverState::UpdateConfig() {
  if (m_hUpdateEvent == nullptr) {
    LogErrorF("CDriverState::UpdateConfig - the update event does not exist");
    return;
  }
  if (SetEvent(m_hUpdateEvent)) {
    LogInfoF("CDriverState::UpdateConfig - event set to indicate update required");
  } else {
    LogErrorF("CDriverState::UpdateConfig - could not set the update event, error code = %d",
              static_cast<int>(GetLastError()));
  }
}

void CDriverState::SignalTestFailure(BOOL failed) {
  LaunchDiagApp(failed, m_bSignalReport);
}

void CDriverState::LaunchDiagApp(BOOL failed, BOOL report) {
  if (!report) {
    LogInfoF("CDriverState::LaunchDiagApp - Do Not report a problem to the user.");
    return;
  }
  LogInfoF("CDriverState::LaunchDiagApp - reporting to the user, failed = %d",
           static_cast<int>(failed));
  if (m_pDiagnostics != nullptr) m_pDiagnostics->LaunchDiagApp(failed);
}

HANDLE CDriverState::OnShutDown() {
  LogInfoF("CDriverState::OnShutDown");
  return CThread::OnShutDown();
}

BOOL CDriverState::SetATimer(UINT_PTR* slot, DWORD tick) {
  if (tick == 0) {
    LogErrorF("FATAL- the timer tick passed is <= - not setting the timer. value = &ld");
    return FALSE;
  }
  // A fresh id every time: an id asked for by number would replace this thread's other timer
  // whenever that one happened to get the number.
  UINT_PTR id = SetTimer(nullptr, 0, tick, &TimerProc);
  *slot = id;
  if (id == 0) {
    LogErrorF("CDriverState::SetATimer() -- Unable to create Timer - SetTimer() Failed");
    return FALSE;
  }
  TimerDue& due = slot == &m_uAcqTimerId ? m_AcqDue : m_PriDue;
  due.period = tick;
  due.due = SteadyClock::now() + std::chrono::milliseconds(tick);
  return TRUE;
}

void CDriverState::KillATimer(UINT_PTR* slot) {
  if (*slot != 0) KillTimer(nullptr, *slot);
  *slot = 0;
}

BOOL CDriverState::Run() {
  LogInfoF("CDriverState::Run - Thread entered");
  m_bInitOK = TRUE;
  t_pTimerOwner = this;
  try {
    if (SetATimer(&m_uPriTimerId, m_dwPriTimerTick)) {
      LogInfoF("CDriverState::Run - primary timer created");
      if (!SetEvent(m_hInitEvent)) {
        LogErrorF("CDriverState::Run -- SetEvent  failed");
        m_bInitOK = FALSE;
      }
    } else {
      LogInfoF("CDriverState::Run - primary timer could not be created");
      m_bInitOK = FALSE;
    }
  } catch (...) {
    LogInfoF("Unhandled exception in CDriverState::Run ");
  }
  if (!m_bInitOK) {
    LogInfoF("CDriverState::Thread initialization failed");
    KillATimer(&m_uPriTimerId);
    t_pTimerOwner = nullptr;
    return FALSE;
  }

  CheckAdapterState();

  LogInfoF("CDriverState::Run() - Entering Message Loop");
  while (WaitForShutDown(0)) {
    if (!DispatchOneMessage()) {
      LogInfoF("Waiting For ShutDown ");
      WaitIdle();
    }
    CheckUpdateEvent();
  }

  // The timers and a pass over the parameter sets belong to this thread; neither outlives it.
  KillATimer(&m_uAcqTimerId);
  KillATimer(&m_uPriTimerId);
  m_TuneAdapter.EndPass();
  t_pTimerOwner = nullptr;
  return TRUE;
}

bool CDriverState::DispatchOneMessage() {
  MSG msg;
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
  if (msg.message == WM_TIMER) {
    // The timer's next period starts as it is taken.
    auto now = SteadyClock::now();
    if (msg.wParam == m_uPriTimerId && m_uPriTimerId != 0)
      m_PriDue.due = now + std::chrono::milliseconds(m_PriDue.period);
    else if (msg.wParam == m_uAcqTimerId && m_uAcqTimerId != 0)
      m_AcqDue.due = now + std::chrono::milliseconds(m_AcqDue.period);
  }
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
  return true;
}

void CDriverState::WaitIdle() {
  auto now = SteadyClock::now();
  auto until = now + std::chrono::milliseconds(kIdleWaitMs);
  if (m_uPriTimerId != 0) until = std::min(until, m_PriDue.due);
  if (m_uAcqTimerId != 0) until = std::min(until, m_AcqDue.due);
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  DWORD wait = static_cast<DWORD>(std::clamp<long long>(ms, 1, kIdleWaitMs));
  if (m_hUpdateEvent == nullptr || m_hShutdownEvent == nullptr) {
    WaitForShutDown(wait);
    return;
  }
  // An update is worked on as soon as it is asked for; it stays signalled until then.
  HANDLE handles[2] = {m_hShutdownEvent, m_hUpdateEvent};
  WaitForMultipleObjects(2, handles, FALSE, wait);
}

void CDriverState::CheckUpdateEvent() {
  if (m_hUpdateEvent == nullptr) return;
  DWORD rc = WaitForSingleObject(m_hUpdateEvent, 0);
  if (rc == WAIT_OBJECT_0) {
    LogInfoF("CDriverState::Run - Update event is signalled - its time to do some updating ");
    PerformConfigUpdate();
  } else if (rc == WAIT_TIMEOUT) {
    LogInfoF(
        "CDriverState::Run - wait timed out - its not a update case so continue with the normal "
        "loop");
  } else if (rc == WAIT_FAILED) {
    LogErrorF("FATAL CDriverState::Run( ) - Error in WaitForSingleObject");
  } else {
    LogErrorF("FATAL - CDriverState::Run - unkown time out value - should never occur");
  }
}

void CDriverState::PerformConfigUpdate() {
  m_TuneAdapter.Init(nullptr);
  m_VesddTest.Initialize();
  if (m_hUpdateEvent == nullptr) {
    LogErrorF("CDriverState::Run - the update event does not exist");
  } else if (!ResetEvent(m_hUpdateEvent)) {
    LogErrorF("CDriverState::Run - could not reset the update event, error code = %d",
              static_cast<int>(GetLastError()));
  }
  if (m_uAcqTimerId != 0) {
    KillATimer(&m_uAcqTimerId);
    LogInfoF(" Killed the timer");
  } else {
    LogInfoF("CDriverState::Run - The Acqulisition timer is not set");
  }
}

void CDriverState::OnTimer(UINT_PTR id) {
  LogInfoF("CDriverState::OnTimer - timer id  = %ld", static_cast<long>(id));
  if (id == 0) return;
  if (id == m_uPriTimerId) {
    LogInfoF("CDriverState::OnTimer - Primary timer fired");
    if (CheckAdapterState()) {
      LogInfoF("CDriverState::OnTimer - the Driver state is OK.");
      if (m_VesddTest.PerformStatsCheck())
        LogInfoF("CDriverState::OnTimer - Vesdd Test successful");
      else
        LogInfoF("CDriverState::OnTimer - Vesdd test failed");
      LaunchDiagApp(FALSE, m_bDriverReport);
    } else {
      LogInfoF(
          "CDriverState::OnTimer - the Driver state Not OK- Vesdd test shall not be performed");
      m_VesddTest.ResetVesddState();
      KillATimer(&m_uPriTimerId);
      if (SetATimer(&m_uPriTimerId, m_dwErrorTimerTick)) {
        LogInfoF("CDriverState::OnTimer - The Error timer set to %ul",
                 static_cast<unsigned>(m_dwErrorTimerTick));
      } else {
        LogErrorF("CDriverState::OnTimer - could not set the error timer");
      }
    }
  } else if (id == m_uAcqTimerId) {
    LogInfoF("CDriverState::OnTimer - acquisition timer fired");
    KillATimer(&m_uAcqTimerId);
    if (m_TuneAdapter.IsAdapterTuned()) {
      LogInfoF("CDriverState::OnTimer - Adapter is successfully tuned now.");
    } else {
      LogInfoF("CDriverState::OnTimer - acquisition timer expired. Adapter is not tuned");
      TryTuning();
    }
  }
}

BOOL CDriverState::CheckAdapterState() {
  if (m_pDiagnostics == nullptr) return FALSE;
  if (m_pDiagnostics->m_bAdapterDisable) {
    LaunchDiagApp(TRUE, TRUE);
    return FALSE;
  }
  switch (m_pDiagnostics->CheckHeartBeat()) {
    case kHeartBeatAlive:
      // Zero heartbeats under the limit also count as alive; only a beating one ends the
      // outage, so that its detailed test is not repeated within it.
      if (IsHeartBeating()) s_bDetailedTestPerformed = false;
      if (m_TuneAdapter.IsAdapterTuned()) {
        LogInfoF("CDriverState::CheckAdapterState - Adapter is tuned properly");
        return TRUE;
      }
      if (m_uAcqTimerId == 0) {
        LogInfoF("CDriverState::CheckAdapterState - Adapter not tuned - will attempt tuning now.");
        TryTuning();
      } else {
        LogInfoF("CDriverState::CheckAdapterState - Adapter being tuned");
      }
      return FALSE;
    case kHeartBeatZero:
      LogInfoF("CDriverState::CheckAdapterState - Heart Beat Zero");
      if (!s_bDetailedTestPerformed) {
        s_bDetailedTestPerformed = true;
        PerformDetailedDriverTest();
      } else {
        LogInfoF("CDriverState::CheckAdapterState - Detailed check already performed");
      }
      LaunchDiagApp(TRUE, m_bDriverReport);
      return FALSE;
    case kVesddNotLoaded:
      LogErrorF("CDriverState::CheckAdapterState - should never occur");
      return FALSE;
    default:
      LogErrorF("CDriverState::CheckAdapterState - should never be here");
      return FALSE;
  }
}

bool CDriverState::IsHeartBeating() {
  if (m_pVesdd == nullptr || !m_pVesdd->m_bLoaded) return false;
  BYTE block[MIPS_STATS_SIZE] = {};
  if (!m_pVesdd->GetMipsStats(m_dwChannel, block, sizeof block)) return false;
  DWORD heartbeat = 0;
  std::memcpy(&heartbeat, block + MIPS_HEARTBEAT, sizeof heartbeat);
  return heartbeat != 0;
}

void CDriverState::PerformDetailedDriverTest() {
  LogInfoF("CDriverState::PerformDetailedDriverTest()");
  DWORD type = ORBDI_GetAdapterType(0);
  LogInfoF("CDriverState::PerformDetailedDriverTest - The adapter is = %d", static_cast<int>(type));
  if (type == kAdapterUsb) {
    if (m_pUsbIntf == nullptr) {
      LogErrorF("FATAL - The m_pUsbIntf ptr is NULL");
      return;
    }
    if (m_pUsbIntf->IsUsbResponding()) {
      LogInfoF("CDriverState::PerformDetailedDriverTest -USB stats  obtained successfully");
      CDiagnostics::SetTestStatus(DIAGTEST_ADAPTER, kUsbAnswered);
    } else {
      LogInfoF("CDriverState::PerformDetailedDriverTest -USB stats cound not be obtained ");
      CDiagnostics::SetTestStatus(DIAGTEST_ADAPTER, kUsbNotAnswering);
    }
  } else if (type == kAdapterPci) {
    if (Util_IsWinNT()) {
      LogInfoF("CDriverState::PerformDetailedDriverTest - The Os is WinNT 0 doing the Vesdd test ");
      if (m_pDiagnostics->VESNDISCheck()) {
        LogInfoF("CDriverState::PerformDetailedDriverTest - VESndis check successful");
        CDiagnostics::SetTestStatus(DIAGTEST_ADAPTER, kNdisCheckPassed);
      } else {
        LogInfoF("CDriverState::PerformDetailedDriverTest - Vesndis check unsuccessful");
        CDiagnostics::SetTestStatus(DIAGTEST_ADAPTER, kNdisCheckFailed);
      }
    } else {
      LogInfoF(
          "CDriverState::PerformDetailedDriverTest - The Os is Not WinNT - doing the Trellis test");
      CTrellisConfig trellis;
      if (trellis.IsTrellisResponding()) {
        LogInfoF("CDriverState::PerformDetailedDriverTest - Trellis Operating successfully");
      } else {
        LogInfoF(
            "CDriverState::PerformDetailedDriverTest - Trellis could not responding properly.");
        CDiagnostics::SetTestStatus(DIAGTEST_ADAPTER, kTrellisNotAnswering);
      }
    }
  } else {
    LogErrorF("CDriverState::PerformDetailedDriverTest - Fatal error , unknown adapter type");
  }
}

void CDriverState::TryTuning() {
  LogInfoF("CDriverState::TryTuning");
  m_uAcqTimerId = 0;
  m_TuneAdapter.TuneAdapter();
  m_dwAcqTimeout = m_TuneAdapter.GetAcqTimeoutValue();
  if (SetATimer(&m_uAcqTimerId, m_dwAcqTimeout)) {
    LogInfoF("CDriverState::TryTuning - acquisition timer created for %ld",
             static_cast<long>(m_dwAcqTimeout));
  } else {
    LogInfoF("CDriverState::TryTuning - could not create acquisition timer");
  }
}
