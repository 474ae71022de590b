#include "core/SiThread.h"

#include <winport/handle.h>
#include <winport/sync.h>
#include <winport/thread.h>

#include "core/DAKDllMain.h"
#include "core/TraceLog.h"

namespace {
// A notification being handled is let finish: a thread given up on would go on with its
// reload on an object about to be destroyed. The same wait as for the module's other workers.
constexpr DWORD kStopWaitMs = 10000;
}  // namespace

CSiRx::CSiRx()
    : m_hNotifyEvent(nullptr), m_hStopEvent(nullptr), m_hThread(nullptr), m_bCreated(FALSE) {}

CSiRx::~CSiRx() {
  Stop();
  if (m_hNotifyEvent != nullptr) CloseHandle(m_hNotifyEvent);
  if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
  m_hNotifyEvent = m_hStopEvent = nullptr;
}

BOOL CSiRx::Create(BOOL /*secure*/) {
  // The open access list of the secure form only matters on systems with object security;
  // named objects here are already limited to the prefix's owner.
  if (m_bCreated) return TRUE;
  m_hNotifyEvent = CreateEventA(nullptr, TRUE, FALSE, "SI_NotificationEvent");
  if (m_hNotifyEvent == nullptr) return FALSE;
  m_hStopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (m_hStopEvent == nullptr) return FALSE;
  m_bCreated = TRUE;
  return TRUE;
}

BOOL CSiRx::StartThread() {
  if (!m_bCreated) return FALSE;
  if (m_hThread == nullptr) {
    unsigned id = 0;
    m_hThread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CSiRx::ThreadProc, this, 0, &id));
  }
  return m_hThread != nullptr ? TRUE : FALSE;
}

unsigned CSiRx::ThreadProc(void* object) {
  auto* self = static_cast<CSiRx*>(object);
  HANDLE events[2] = {self->m_hNotifyEvent, self->m_hStopEvent};
  for (;;) {
    DWORD rc = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (rc != WAIT_OBJECT_0) break;  // the stop event, or a failed wait
    self->SiRx_Run();
  }
  return 0;
}

void CSiRx::Stop() {
  if (!m_bCreated || m_hThread == nullptr) return;
  SetEvent(m_hStopEvent);
  if (WaitForSingleObject(m_hThread, kStopWaitMs) != WAIT_OBJECT_0) TerminateThread(m_hThread, 0);
  CloseHandle(m_hThread);
  m_hThread = nullptr;
}

CSiThread::CSiThread() : m_pDAKDllMain(nullptr) {
  LogInfo("CSiThread::CSiThread ", 0);
}

CSiThread::~CSiThread() {
  LogInfo("CSiThread::~CSiThread", 0);
  Stop();
}

void CSiThread::SetObject(CDAKDllMain* object) {
  m_pDAKDllMain = object;
  LogInfo("CSiThread::SetObject(CDAKDllMain *pObj)", 0);
}

void CSiThread::SiRx_Run() {
  LogInfo("CSiThread::SiRx_Run ", 0);
  if (m_pDAKDllMain != nullptr) m_pDAKDllMain->UpdateConfig();
}
