// The control the diagnostics application hosts: it holds the application's named objects,
// turns the module's "SHUT_EVENT" and "DIAG_EVENT" into the events Shutdown and
// StatusAvailable on a thread of its own, and carries the application's requests (repairs,
// the IRQ test's outcome) to the diagnostics.
#pragma once

#include <winport/sync.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "core/Win.h"

class CDiagnostics;
class CVESDDInterface;

class CVitalisCtrl {
 public:
  CVitalisCtrl();
  virtual ~CVitalisCtrl();
  CVitalisCtrl(const CVitalisCtrl&) = delete;
  CVitalisCtrl& operator=(const CVitalisCtrl&) = delete;

  // Dispatch methods, ids 1 to 4.
  BOOL Init();
  BOOL Stop();
  short FixProblem(const char* pszTestID);
  std::string ShowIRQResult();

  // Closes the named objects; true when every close succeeded.
  BOOL closeHandles(const char* from);

  // The host's event handlers; called on the control's event thread.
  using ShutdownHandler = std::function<void()>;
  using StatusHandler = std::function<void(const char* text)>;
  void SetEventSink(ShutdownHandler onShutdown, StatusHandler onStatus);

  // How long Stop waits for the event thread before terminating it.
  static constexpr DWORD kStopWaitMs = 2000;

 protected:
  // Body of the event thread.
  unsigned Run();
  virtual void FireShutdown();
  virtual void FireStatusAvailable(const char* text);
  // Reloads the tests' statuses and writes the failed-test text into `text`, of `size` bytes.
  virtual void ReadFailedTests(char* text, std::size_t size);

  HANDLE m_hThread = nullptr;
  HANDLE m_hAppMutex = nullptr;      // "DIAG_APP_EXISTS"
  HANDLE m_hRefreshEvent = nullptr;  // "DIAG_EVENT"
  HANDLE m_hShutEvent = nullptr;     // "SHUT_EVENT"
  // Set by Stop or by the thread when it fires Shutdown; read by both threads.
  std::atomic<BOOL> m_bShutApp{FALSE};
  CDiagnostics* m_DiagObj = nullptr;
  CVESDDInterface* m_pVesdd = nullptr;
  DWORD m_dwChannel = 0;
  BOOL m_bChannelOpen = FALSE;
  CRITICAL_SECTION m_csLock;
  std::atomic<BOOL> m_bRebootRequired{FALSE};

 private:
  static unsigned ThreadProc(void* self);
  // Lets the thread's waits end without the shared "SHUT_EVENT" (which other processes may
  // reset), so that Stop does not have to terminate it.
  void RequestThreadStop();
  // Waits (bounded) until the thread's routine has really returned; a terminated thread is
  // only abandoned and may still be running.
  bool WaitForThreadExit(DWORD ms);

  HANDLE m_hStopEvent = nullptr;  // unnamed, manual reset
  std::atomic<bool> m_bStopRequested{false};
  // Times this object holds "DIAG_APP_EXISTS" (creation with ownership, then the wait).
  int m_nMutexOwned = 0;

  std::mutex m_sinkLock;
  ShutdownHandler m_onShutdown;
  StatusHandler m_onStatus;

  std::mutex m_exitLock;
  std::condition_variable m_exitCond;
  bool m_bThreadRunning = false;
};
