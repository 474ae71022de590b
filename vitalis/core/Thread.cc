// Worker thread base: start handshake, shutdown event, traced at every step.
#include "core/Thread.h"

#include <winport/error.h>
#include <winport/handle.h>
#include <winport/sync.h>
#include <winport/thread.h>

#include "core/TraceLog.h"
#include "core/Win.h"

namespace {
constexpr DWORD kInitWaitMs = 20000;
constexpr DWORD kFailedExitWaitMs = 2000;  // for a worker whose initialisation failed
constexpr DWORD kExitWaitMs = 10000;       // for the thread's last lines, when joining
}  // namespace

CThread::CThread()
    : m_hThread(nullptr),
      m_hInitEvent(nullptr),
      m_bInitOK(FALSE),
      m_hShutdownEvent(nullptr),
      m_bStarted(FALSE) {
  m_hShutdownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (m_hShutdownEvent != nullptr) {
    LogInfoF("CThread - ShutDown event created for %s", CThread::GetClassName());
  } else {
    LogInfoF("ERROR : CThread - Error Creating the shutdown Event for %s. - error code = %d",
             CThread::GetClassName(), static_cast<int>(GetLastError()));
  }
}

CThread::~CThread() {
  // Too late to be safe (the derived part is already gone), but better than freeing the
  // object under a running thread: say so, and wait.
  if (m_hExitedEvent != nullptr && WaitForSingleObject(m_hExitedEvent, 0) != WAIT_OBJECT_0) {
    LogErrorF("Error:CThread::~CThread - the thread of %s was not stopped by its owner",
              CThread::GetClassName());
    StopAndJoin();
  }
  if (m_hExitedEvent != nullptr) {
    CloseHandle(m_hExitedEvent);
    m_hExitedEvent = nullptr;
  }
  if (m_hShutdownEvent != nullptr) {
    if (CloseHandle(m_hShutdownEvent)) {
      LogInfoF("CThread::~CThread - ShutDown event handle closed successfully for %s",
               CThread::GetClassName());
    } else {
      LogInfoF("Error:CThread::~CThread -  error closing ShutDown event handle in %s, code = %d",
               CThread::GetClassName(), static_cast<int>(GetLastError()));
    }
    m_hShutdownEvent = nullptr;
  }
  if (m_hInitEvent != nullptr) {
    CloseHandle(m_hInitEvent);
    m_hInitEvent = nullptr;
  }
  // The thread has ended (or was given up) by now; its handle is no longer needed.
  if (m_hThread != nullptr) {
    CloseHandle(m_hThread);
    m_hThread = nullptr;
  }
}

void CThread::StopAndJoin() {
  if (m_hExitedEvent == nullptr) return;  // never started
  if (WaitForSingleObject(m_hExitedEvent, 0) == WAIT_OBJECT_0) return;
  if (m_hShutdownEvent != nullptr) SetEvent(m_hShutdownEvent);
  LogInfoF("CThread::StopAndJoin - waiting for %s to end", GetClassName());
  if (WaitForSingleObject(m_hExitedEvent, kExitWaitMs) != WAIT_OBJECT_0) {
    LogErrorF("Error:CThread::StopAndJoin - %s did not end in time", GetClassName());
    return;
  }
  // The thread reset the event on its way out, possibly before the request above; leave the
  // object as a finished thread leaves it, so that it could be started again.
  if (m_hShutdownEvent != nullptr) ResetEvent(m_hShutdownEvent);
}

const char* CThread::GetClassName() {
  return "Unknown Class";
}

BOOL CThread::Start() {
  BOOL result = FALSE;
  try {
    LogInfoF("CThread::Start() entered for %s", GetClassName());
    m_bStarted = TRUE;
    m_bInitOK = FALSE;

    m_hInitEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_hInitEvent == nullptr) {
      LogInfoF("Error: CThread::Start() - Error Creating Event for %s. err code = %d",
               GetClassName(), static_cast<int>(GetLastError()));
      m_bStarted = FALSE;
      return FALSE;
    }
    LogInfoF("CThread::Run() - Inside thread - Event created for %s.", GetClassName());

    // A handle left from an earlier run of this object is replaced.
    if (m_hThread != nullptr) {
      CloseHandle(m_hThread);
      m_hThread = nullptr;
    }
    if (m_hExitedEvent == nullptr)
      m_hExitedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    else
      ResetEvent(m_hExitedEvent);
    unsigned threadId = 0;
    m_hThread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &CThread::ThreadEntry, this, 0, &threadId));
    if (m_hThread == nullptr) {
      LogInfoF("Error: CThread::Start( ) -- _beginthreadex failed for %s. Err Code = %d",
               GetClassName(), static_cast<int>(GetLastError()));
      CloseHandle(m_hInitEvent);
      m_hInitEvent = nullptr;
      if (m_hExitedEvent != nullptr) SetEvent(m_hExitedEvent);  // no thread to wait for
      m_bStarted = FALSE;
      return FALSE;
    }
    LogInfoF("CThread::Start() _beginthreadex success - thread created %s", GetClassName());
    LogInfoF("CThread::Start() - entering WaitForSingleObject( )   in %s", GetClassName());
    WaitForSingleObject(m_hInitEvent, kInitWaitMs);
    LogInfoF("CThread::Start() - out of WaitForSingleObject( )  in %s ", GetClassName());

    if (m_bInitOK) {
      result = TRUE;
      LogInfoF("CThread::Start()- closing the event handle for %s", GetClassName());
      if (CloseHandle(m_hInitEvent)) {
        LogInfoF("CThread::Start() - event handle closed successfully for %s", GetClassName());
      } else {
        LogInfoF("Error:CThread::Start() -  error closing event handle for %s, code = %d",
                 GetClassName(), static_cast<int>(GetLastError()));
      }
      m_hInitEvent = nullptr;
    } else {
      LogInfoF("Error::CThread::Start( ) - Thread initialization failed - terminating thread %s",
               GetClassName());
      // A worker whose initialisation failed is normally already on its way out. Let it finish
      // first: a terminated thread here is only abandoned, and it would go on to touch this
      // object after the caller has destroyed it.
      if (WaitForSingleObject(m_hThread, kFailedExitWaitMs) != WAIT_OBJECT_0 &&
          !TerminateThread(m_hThread, 1)) {
        LogInfoF(
            "Error : CThread::Start()- Call to TerminateThread handle failed while closing "
            "thread %s, error code = %d",
            GetClassName(), static_cast<int>(GetLastError()));
      }
      // The worker may still touch the init event on its way out; it stays open until the
      // object goes away rather than risk a closed handle being reused under it.
      m_bStarted = FALSE;
      return FALSE;
    }
  } catch (...) {
    LogInfoF("Error::CThread::Start - unhandled exception occured in %s", GetClassName());
  }
  return result;
}

unsigned CThread::ThreadEntry(void* object) {
  auto* self = static_cast<CThread*>(object);
  DWORD exitCode = 1;
  BOOL ok = FALSE;
  try {
    ok = self->Run();
  } catch (...) {
    ok = FALSE;
  }
  if (ok) {
    LogInfoF("CThread::ThreadEntery() - Thread exiting - successful operation for %s",
             self->GetClassName());
    exitCode = 0;
  } else {
    LogInfoF("CThread::ThreadEntry() - Thread exited due to error for %s", self->GetClassName());
    exitCode = 1;
  }
  self->m_bStarted = FALSE;
  if (self->m_hShutdownEvent != nullptr) {
    if (ResetEvent(self->m_hShutdownEvent)) {
      LogInfoF("CThread::ThreadEntry - event reset for %s", self->GetClassName());
    } else {
      LogInfoF("Error::CThread::ThreadEntry -- ResetEvent  failed for %s", self->GetClassName());
    }
  } else {
    LogInfoF("The shutdown event handle is NULL for %s", self->GetClassName());
  }
  const HANDLE exited = self->m_hExitedEvent;
  LogInfo("CThread::ThreadEntry - Thread exited", 0);
  if (exited != nullptr) SetEvent(exited);  // from here on the object may be gone
  return exitCode;
}

HANDLE CThread::OnShutDown() {
  LogInfoF("OnShutDown entered for %s", GetClassName());
  if (m_hShutdownEvent == nullptr || !m_bStarted) {
    LogErrorF(
        "CThread::OnShutDown - the event handle is NULL for %s or the thread is not started , "
        "thread started =%d",
        GetClassName(), static_cast<int>(m_bStarted.load()));
    return nullptr;
  }
  if (!SetEvent(m_hShutdownEvent)) {
    LogErrorF("Error::CThread::OnShutDown -- SetEvent  failed for %s", GetClassName());
  } else {
    LogInfoF("CThread::OnShutDown - event set for %s", GetClassName());
  }
  if (m_hThread == nullptr || WaitForSingleObject(m_hThread, 0) == WAIT_OBJECT_0) {
    LogInfoF("CThread::OnShutDown - the thread is not running %s", GetClassName());
    return nullptr;
  }
  LogInfoF("CThread::OnShutDown - the thread may be running, or is not created only. %s",
           GetClassName());
  return m_hThread;
}

BOOL CThread::WaitForShutDown(DWORD milliseconds) {
  if (m_hShutdownEvent == nullptr) {
    LogErrorF("CThread::WaitForShutDown the event handle is NULL - closing down %s",
              GetClassName());
    return FALSE;
  }
  if (WaitForSingleObject(m_hShutdownEvent, milliseconds) == WAIT_TIMEOUT) return TRUE;
  LogInfoF("CThread::WaitForShutDown - encountered for %s", GetClassName());
  return FALSE;
}
