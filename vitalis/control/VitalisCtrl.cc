#include "control/VitalisCtrl.h"

#include <orbutil.h>
#include <winport/clock.h>
#include <winport/error.h>
#include <winport/handle.h>
#include <winport/registry.h>
#include <winport/thread.h>
#include <winport/window.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "core/TraceLog.h"
#include "diag/Diagnostics.h"
#include "diag/TestTable.h"
#include "driver/VESDDInterface.h"

namespace {

// Test statuses the control acts on.
constexpr DWORD kIrqFailed = 400;
constexpr DWORD kComponentNotFound = 401;
constexpr DWORD kProfileNotExist = 606;
constexpr DWORD kDefBrowserNotInstalled = 607;
constexpr DWORD kUnexpectedErr = 10000;

// The failed-test text of StatusAvailable is built in a buffer of this size.
constexpr DWORD kStatusTextSize = CDiagnostics::kFailedTextSize;

// The most test ids a FixProblem text can name, with the ending 0 entry.
constexpr DWORD kMaxFixIds = 64;

// A thread that did not end after Stop's own wait, given this long more before the object
// goes away regardless.
constexpr DWORD kDestroyWaitMs = 10000;

constexpr char kIrqKey[] = "SOFTWARE\\Tessaline\\Orbilink\\Diagnostics\\IRQTest";

}  // namespace

CVitalisCtrl::CVitalisCtrl() {
  InitializeCriticalSection(&m_csLock);
}

CVitalisCtrl::~CVitalisCtrl() {
  // A host that never called Stop (or whose Stop had to give up on the thread) must not have
  // the thread run on in an object that is going away.
  if (m_hThread != nullptr) {
    RequestThreadStop();
    if (!WaitForThreadExit(kDestroyWaitMs))
      LogErrorF("CVitalisCtrl::~CVitalisCtrl - the event thread did not end");
  }
  closeHandles("~CVitalisCtrl");
  LogInfoF("CVitalisCtrl::~CVitalisCtrl");
  delete m_DiagObj;
  m_DiagObj = nullptr;
  if (m_pVesdd != nullptr) {
    if (m_bChannelOpen) m_pVesdd->CloseChannel(m_dwChannel);
    if (m_pVesdd->m_bLoaded && !m_pVesdd->Unload())
      LogErrorF("CVitalisCtrl error unloading VESDD dll");
    delete m_pVesdd;
    m_pVesdd = nullptr;
  }
  if (m_hThread != nullptr) CloseHandle(m_hThread);
  if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
  DeleteCriticalSection(&m_csLock);
}

void CVitalisCtrl::SetEventSink(ShutdownHandler onShutdown, StatusHandler onStatus) {
  std::lock_guard hold(m_sinkLock);
  m_onShutdown = std::move(onShutdown);
  m_onStatus = std::move(onStatus);
}

void CVitalisCtrl::FireShutdown() {
  ShutdownHandler handler;
  {
    std::lock_guard hold(m_sinkLock);
    handler = m_onShutdown;
  }
  if (handler) handler();
}

void CVitalisCtrl::FireStatusAvailable(const char* text) {
  StatusHandler handler;
  {
    std::lock_guard hold(m_sinkLock);
    handler = m_onStatus;
  }
  if (handler) handler(text);
}

BOOL CVitalisCtrl::Init() {
  InitModuleTrace(false);
  BOOL result = TRUE;
  if (m_hThread != nullptr || m_hAppMutex != nullptr) {
    LogErrorF("CVitalisCtrl::Init() - already initialised");
    return FALSE;
  }

  m_hAppMutex = CreateMutexA(nullptr, TRUE, "DIAG_APP_EXISTS");
  if (m_hAppMutex != nullptr) {
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      LogInfoF("Init() - mutex already exists");
      result = FALSE;
    } else {
      ++m_nMutexOwned;
    }
    LogInfoF("Init() - DIAG_APP_EXISTS mutex created");
    DWORD rc = WaitForSingleObject(m_hAppMutex, INFINITE);
    if (rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED) ++m_nMutexOwned;
    LogInfoF("Init() - DIAG_APP_EXISTS mutex acquired");
  } else {
    LogInfoF("Init() - error creating mutex");
    result = FALSE;
  }

  m_hRefreshEvent = CreateEventA(nullptr, FALSE, FALSE, "DIAG_EVENT");
  if (m_hRefreshEvent != nullptr) {
    LogInfoF("Init() -  Event created DIAG_APP_READ_NEW_DATA");
  } else {
    LogErrorF("Init() - Error in Creating Event DIAG_APP_READ_NEW_DATA");
    result = FALSE;
  }
  m_hShutEvent = CreateEventA(nullptr, TRUE, FALSE, "SHUT_EVENT");
  if (m_hShutEvent != nullptr) {
    LogInfoF("Init() -  Event created DIAG_APP_SHUTDOWN");
  } else {
    LogErrorF("Init() - Error Creating Event DIAG_APP_SHUTDOWN");
    result = FALSE;
  }

  if (m_pVesdd == nullptr) m_pVesdd = new (std::nothrow) CVESDDInterface();
  if (m_DiagObj == nullptr) m_DiagObj = new (std::nothrow) CDiagnostics(nullptr);
  if (m_pVesdd == nullptr || m_DiagObj == nullptr) {
    LogErrorF(
        "Init() could not allocate mem for m_DiagObj or m_pVesdd - the VEsdd dll wn't be "
        "loaded. ");
    result = FALSE;
  } else {
    LogInfoF("Init() - Attempting to load Vesdd32.dll");
    if (m_pVesdd->Load()) {
      LogErrorF("Init: Vesdd32 loaded successfully.");
      m_bChannelOpen = m_pVesdd->OpenChannel(1, &m_dwChannel);
      m_DiagObj->InitVesdd(m_pVesdd);
      m_DiagObj->SetChannelHandle(m_dwChannel);
    } else {
      LogErrorF("Init: Failed to Load Vesdd Dll ");
    }
  }

  if (result) {
    m_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_hStopEvent != nullptr) {
      std::lock_guard hold(m_exitLock);
      m_bThreadRunning = true;
      unsigned threadId = 0;
      m_hThread = reinterpret_cast<HANDLE>(
          _beginthreadex(nullptr, 0, &CVitalisCtrl::ThreadProc, this, 0, &threadId));
      if (m_hThread == nullptr) m_bThreadRunning = false;
    }
    if (m_hThread == nullptr) {
      LogErrorF("CVitalisCtrl::Init() -- _beginthreadex failed.");
      result = FALSE;
    } else {
      LogInfoF("CVitalisCtrl::Init() _beginthreadex success - thread created ");
      return TRUE;
    }
  }
  closeHandles("Init()");
  return FALSE;
}

unsigned CVitalisCtrl::ThreadProc(void* self) {
  auto* ctrl = static_cast<CVitalisCtrl*>(self);
  unsigned code = ctrl->Run();
  std::lock_guard hold(ctrl->m_exitLock);
  ctrl->m_bThreadRunning = false;
  ctrl->m_exitCond.notify_all();
  return code;
}

void CVitalisCtrl::ReadFailedTests(char* text, std::size_t size) {
  m_DiagObj->ReadTestParams(1);
  m_DiagObj->GetFailedTestIDInStr(text, size);
}

unsigned CVitalisCtrl::Run() {
  LogInfoF("CVitalisCtrl::Run- thread started- inside thread");
  // The shutdown event comes first, so that it wins when both are set.
  HANDLE waits[3] = {m_hShutEvent, m_hRefreshEvent, m_hStopEvent};
  bool running = !m_bShutApp;
  while (running) {
    DWORD rc = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
    if (rc == WAIT_OBJECT_0) {
      LogInfoF("Run----- Shutdown incountered");
      if (!m_bShutApp) {
        m_bShutApp = TRUE;
        ResetEvent(m_hShutEvent);
        EnterCriticalSection(&m_csLock);
        Sleep(1);
        FireShutdown();
        LeaveCriticalSection(&m_csLock);
        LogInfoF("Shutdown Event fired");
        break;
      }
      ResetEvent(m_hShutEvent);
      LogInfoF(
          "Run ----- the vb application called for shutdown in this case just exit the thread- "
          "but reset the event before exiting");
      break;
    } else if (rc == WAIT_OBJECT_0 + 1) {
      LogInfoF("Run ----- Update incountered");
      char text[kStatusTextSize] = {};
      ReadFailedTests(text, sizeof text);
      text[kStatusTextSize - 1] = '\0';
      if (WaitForSingleObject(m_hShutEvent, 0) != WAIT_OBJECT_0) {
        LogInfoF("Wait timed out firing the status available event");
        FireStatusAvailable(text);
      } else {
        LogInfoF("Test Fail data available, but ocx being shut down, not firing ole event");
        // The shutdown came during the refresh and is still signalled: the next wait takes it,
        // so that one the module asked for still reaches the application as Shutdown (ending
        // here would leave the application open for good), and one Stop asked for just ends
        // the thread.
        continue;
      }
    } else if (rc == WAIT_OBJECT_0 + 2) {
      LogInfoF("CVitalisCtrl::Run - stop requested by the control");
      break;
    } else {
      LogInfoF("CVitalisCtrl::Stop() - wait failed");
      // Once stopped (or abandoned by Stop) every wait fails: leave instead of spinning.
      if (m_bStopRequested) break;
      WaitForSingleObject(m_hStopEvent, 100);
    }
    running = !m_bShutApp && !m_bStopRequested;
  }
  LogInfoF("CVitalisCtrl::Run - OCX Thread shutting down");
  return 0;
}

void CVitalisCtrl::RequestThreadStop() {
  m_bStopRequested = true;
  if (m_hStopEvent != nullptr) SetEvent(m_hStopEvent);
}

bool CVitalisCtrl::WaitForThreadExit(DWORD ms) {
  std::unique_lock hold(m_exitLock);
  return m_exitCond.wait_for(hold, std::chrono::milliseconds(ms),
                             [this] { return !m_bThreadRunning; });
}

BOOL CVitalisCtrl::Stop() {
  LogInfoF("CVitalisCtrl::stop()");
  BOOL result = TRUE;

  BOOL adapterDisable = m_DiagObj != nullptr ? m_DiagObj->m_bAdapterDisable.load() : FALSE;
  LogInfoF("CVitalisCtrl::stop - > Adapter Disable : %d", adapterDisable);
  if (adapterDisable == 1) {
    HWND navigator = FindWindowA("Orbilink Navigator", nullptr);
    LogInfoF("CVitalisCtrl::stop - > Status for Adapters is Disabled : %d", 0);
    if (navigator != nullptr) {
      LogInfoF("CVitalisCtrl::stop - > Adapters is Disabled So navigator is closed ");
      PostMessageA(navigator, WM_CLOSE, 0, 0);
    }
  }

  LogInfoF("CVitalisCtrl::stop - > Getting TestStatus from registry");
  DWORD proxyStatus = 0;
  CDiagnostics::GetTestStatus(DIAGTEST_PROXY, &proxyStatus);
  LogInfoF("CVitalisCtrl::stop - > TestStatus for PST : %d", static_cast<int>(proxyStatus));
  if (proxyStatus == kProfileNotExist || proxyStatus == kDefBrowserNotInstalled) {
    LogInfoF("CVitalisCtrl::stop - > Setting TestStatus to passed state in registry");
    CDiagnostics::SetTestStatus(DIAGTEST_PROXY, 0);
  }

  LogInfoF("m_bShutApp = %d", m_bShutApp.load());
  bool terminate = false;
  bool waitThread = true;
  if (!m_bShutApp) {
    LogInfoF("stop :: The shutting down is initiated from the diag app exit button");
    m_bShutApp = TRUE;
    if (m_hShutEvent != nullptr && SetEvent(m_hShutEvent)) {
      LogInfoF("CVitalisCtrl::stop() - shutdown event fired successfully");
    } else {
      LogErrorF("CVitalisCtrl::Stop() -- SetEvent  failed");
      terminate = true;
      waitThread = false;
    }
  } else {
    LogInfoF("stop :: The diag app shutdown is inited from some other place than the exit button");
  }

  if (m_hThread == nullptr) {
    // Stop before (or after a failed) Init: there is no thread to wait for.
    LogErrorF("CVitalisCtrl::Stop - no event thread to stop");
    terminate = false;
  } else {
    RequestThreadStop();
    if (waitThread) {
      LogInfoF("Stop :----- Entering wait on the thread for 2 seconds");
      DWORD rc = WaitForSingleObject(m_hThread, kStopWaitMs);
      LogInfoF("CVitalisCtrl::Stop - out of wait");
      if (rc == WAIT_OBJECT_0) {
        LogInfoF("CVitalisCtrl::Stop()- thread termination graceful");
      } else if (rc == WAIT_FAILED) {
        LogInfoF("Stop:::::The wait on the thread failed - so terminate the thread forcefully.");
        terminate = true;
      } else if (rc == WAIT_TIMEOUT) {
        LogInfoF("CVitalisCtrl::Stop -  the wait timed out");
        terminate = true;
      } else {
        LogInfoF("Unknown thing happened in wait");
      }
    }
  }
  if (terminate) {
    LogInfoF("CvitalisCtrl::Stop - The wait failed so termination the thread forcefully");
    if (TerminateThread(m_hThread, 1)) {
      LogInfoF("Stop ----- The thread terminated forcefully");
    } else {
      LogErrorF("CVitalisCtrl::Stop()- Call to terminate thread failed while closing thread");
      result = FALSE;
    }
  }

  // The restart is asked for once, however often the host calls Stop.
  if (m_bRebootRequired.exchange(FALSE)) {
    LogInfoF("CVitalisCtrl::Stop - rebooting the PC - before Util_ExitWindows()");
    Util_ExitWindows();
    LogInfoF("CVitalisCtrl::Stop - rebooting the PC - after Util_ExitWindows()");
  }
  return result;
}

std::string CVitalisCtrl::ShowIRQResult() {
  std::string text;
  LogInfoF(" CVitalisCtrl::ShowIRQResult -> Entering critical section ");
  EnterCriticalSection(&m_csLock);
  LogInfoF("CVitalisCtrl::ShowIRQResult() -> Fetching TestStatus");
  DWORD status = 0;
  if (!CDiagnostics::GetTestStatus(DIAGTEST_IRQ, &status)) {
    LogErrorF("CVitalisCtrl::ShowIRQResult() - > Error in getting the TestStatus from registry");
    status = kUnexpectedErr;
  }
  if (status == 0) {
    LogErrorF("CVitalisCtrl::ShowIRQResult() - > no IRQ conflict");
    text = "0";
  } else if (status == kComponentNotFound) {
    LogErrorF("CVitalisCtrl::ShowIRQResult() - > component not found for IRQ test");
    text = "2";
  } else if (status == kIrqFailed) {
    LogErrorF(
        "CVitalisCtrl::ShowIRQResult() - > Getting List of conflicting devices  from registry");
    text = "1";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kIrqKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
      DWORD type = 0;
      DWORD size = 0;
      bool read = false;
      if (RegQueryValueExA(key, "ListOfDevice", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
          (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::vector<char> data(static_cast<std::size_t>(size) + 1, '\0');
        if (RegQueryValueExA(key, "ListOfDevice", nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS) {
          LogErrorF("CVitalisCtrl::ShowIRQResult() - > Setting the string to list of devices");
          text.assign(data.data());  // up to its terminator, however the value was stored
          read = true;
        }
      }
      if (!read)
        LogErrorF(
            "CVitalisCtrl::ShowIRQResult() - > Error in getting the List od devices  from "
            "registry");
      RegCloseKey(key);
    } else {
      LogErrorF("CVitalisCtrl::ShowIRQResult() - >Error in openning registry key for IRQ");
    }
  } else if (status == kUnexpectedErr) {
    LogErrorF("CVitalisCtrl::ShowIRQResult() - > unexpected error in irq check");
    text = "1";
  } else {
    LogErrorF(
        "CVitalisCtrl::ShowIRQResult() - >teststatus does not match with any of the defined "
        "value");
    text = "1";
  }
  LeaveCriticalSection(&m_csLock);
  LogInfoF(" CVitalisCtrl::ShowIRQResult -> Leaving critical section ");
  return text;
}

BOOL CVitalisCtrl::closeHandles(const char* from) {
  LogErrorF("Into closeHandles from %s", from);
  BOOL result = TRUE;
  if (m_hAppMutex != nullptr) {
    // Let go of the application's mutex before closing it, so that the module (or a next
    // application) does not find it held by a closed handle.
    for (; m_nMutexOwned > 0; --m_nMutexOwned) ReleaseMutex(m_hAppMutex);
    if (CloseHandle(m_hAppMutex)) {
      LogErrorF("%s - diag mutex closed", from);
    } else {
      LogErrorF("%s - couldnot close the handle of the mutex diag", from);
      result = FALSE;
    }
    m_hAppMutex = nullptr;
  }
  for (HANDLE* event : {&m_hRefreshEvent, &m_hShutEvent}) {
    if (*event == nullptr) continue;
    if (CloseHandle(*event)) {
      LogErrorF("%s - successfully closed the handle events", from);
    } else {
      LogErrorF("%s - couldnot close the handle events", from);
      result = FALSE;
    }
    *event = nullptr;
  }
  return result;
}

short CVitalisCtrl::FixProblem(const char* pszTestID) {
  LogInfoF("CVitalisCtrl::FixProblem");
  if (m_DiagObj == nullptr) {
    LogErrorF("CVitalisCtrl::FixProblem - the control is not initialised");
    return 0;
  }
  if (pszTestID == nullptr || *pszTestID == '\0') {
    LogErrorF("CVitalisCtrl::FixProblem - no tests given");
    return 0;
  }
  DWORD ids[kMaxFixIds] = {};
  m_DiagObj->ParseTest(pszTestID, ids, kMaxFixIds);
  if (ids[0] == 0) {
    LogErrorF("CVitalisCtrl::FixProblem - no valid test in the text");
    return 0;
  }
  BOOL reboot = FALSE;
  BOOL retVal = m_DiagObj->TakeCorrectiveAction(ids, &reboot);
  short nRet = retVal > 0 ? 1 : 0;
  if (reboot) {
    m_bRebootRequired = TRUE;
    LogInfoF("CVitalisCtrl::FixProblem - reboot required , signalling the shutdown event");
    if (m_hShutEvent != nullptr) {
      m_bShutApp = FALSE;
      if (SetEvent(m_hShutEvent))
        LogInfoF(
            "CVitalisCtrl::FixProblem - shutdown inited coz reboot is required after corrective "
            "action");
      else
        LogErrorF("FATAL CVitalisCtrl::FixProblem() -- SetEvent  failed");
    } else {
      LogErrorF("FATAL CVitalisCtrl::FixProblem - shut down event handle is NULL.");
    }
  } else {
    LogInfoF("CVitalisCtrl::FixProblem - reboot not required");
  }
  LogInfoF(" CVitalisCtrl::FixProblem  - retVal = %d, nRet = %d", static_cast<int>(retVal), nRet);
  return nRet;
}
