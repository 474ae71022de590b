// Base of every long-running worker: one thread per object, a start handshake that reports
// whether the worker's own initialisation succeeded, and a manual-reset shutdown event that
// the worker's loop polls through WaitForShutDown.
//
// A subclass's Run() sets m_bInitOK, does its initialisation (clearing m_bInitOK on failure),
// signals m_hInitEvent within 20 s, then loops while WaitForShutDown(sleep) returns 1.
//
// The thread calls virtual operations of the object (Run, GetClassName, ...), so it must have
// ended before any derived part is destroyed: every worker calls StopAndJoin() first thing in
// its own destructor. The base destructor cannot do it, since by then the derived part is gone.
#pragma once

#include <winport/types.h>

#include <atomic>

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
  // Asks the thread to stop (sets the shutdown event, as the base OnShutDown does) and waits
  // up to 10 s for it to be done with this object. Idempotent; does nothing if never started.
  void StopAndJoin();

  winport::HANDLE GetThreadHandle() const { return m_hThread; }
  winport::BOOL IsStarted() const { return m_bStarted; }

  static unsigned ThreadEntry(void* object);

 protected:
  // Written by the thread that starts this one, read by whichever thread asks it to stop.
  std::atomic<winport::HANDLE> m_hThread;
  winport::HANDLE m_hInitEvent;
  std::atomic<winport::BOOL> m_bInitOK;
  winport::HANDLE m_hShutdownEvent;
  std::atomic<winport::BOOL> m_bStarted;

 private:
  // Set by the thread as the last thing it does with this object; StopAndJoin waits for it,
  // since a thread given up on (terminated) may still be running its last lines.
  std::atomic<winport::HANDLE> m_hExitedEvent{nullptr};
};
