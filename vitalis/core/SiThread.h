// Service-information receiver: a thread that waits on "SI_NotificationEvent" and hands each
// notification to SiRx_Run; CSiThread makes the primary object re-read its configuration.
#pragma once

#include "core/Win.h"

class CDAKDllMain;

class CSiRx {
 public:
  CSiRx();
  virtual ~CSiRx();
  CSiRx(const CSiRx&) = delete;
  CSiRx& operator=(const CSiRx&) = delete;

  // The notification handler (runs on the receiver's thread).
  virtual void SiRx_Run() = 0;

  BOOL Create(BOOL secure);
  BOOL StartThread();
  void Stop();

  HANDLE GetThreadHandle() const { return m_hThread; }

 protected:
  static unsigned ThreadProc(void* object);

  HANDLE m_hNotifyEvent;
  HANDLE m_hStopEvent;
  HANDLE m_hThread;
  BOOL m_bCreated;
};

class CSiThread : public CSiRx {
 public:
  CSiThread();
  ~CSiThread() override;

  void SetObject(CDAKDllMain* object);
  void SiRx_Run() override;

 private:
  CDAKDllMain* m_pDAKDllMain;
};
