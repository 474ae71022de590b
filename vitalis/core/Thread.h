// Base of every long-running worker: one thread per object, a start handshake that reports
// whether the worker's own initialisation succeeded, and a manual-reset shutdown event that
// the worker's loop polls through WaitForShutDown.
//
// A subclass's Run() sets m_bInitOK, does its initialisation (clearing m_bInitOK on failure),
// signals m_hInitEvent within 20 s, then loops while WaitForShutDown(sleep) returns 1.
#pragma once

#include <winport/types.h>

class CThread {
 public:
  CThread();
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // The thread body (non-zero = orderly end).
  virtual winport::BOOL Run() = 0;
  // Asks the thread to stop; returns its handle while it may still run, else null.
  virtual winport::HANDLE OnShutDown();
  // 1: the time ran out without a shutdown request; 0: shutdown requested (or no event).
  virtual winport::BOOL WaitForShutDown(winport::DWORD milliseconds);
  virtual const char* GetClassName();

  // Starts the thread and waits (at most 20 s) for its initialisation.
  winport::BOOL Start();

  winport::HANDLE GetThreadHandle() const { return m_hThread; }
  winport::BOOL IsStarted() const { return m_bStarted; }

  static unsigned ThreadEntry(void* object);

 protected:
  winport::HANDLE m_hThread;
  winport::HANDLE m_hInitEvent;
  volatile winport::BOOL m_bInitOK;
  winport::HANDLE m_hShutdownEvent;
  volatile winport::BOOL m_bStarted;

 private:
  // Set by the thread as the last thing it does with this object; the destructor waits for it,
  // since a thread given up on (terminated) may still be running its last lines.
  winport::HANDLE m_hExitedEvent = nullptr;
};
