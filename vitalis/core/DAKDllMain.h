// The module's root object and its primary thread: builds the workers, runs the module timer
// and the message loop, serves the usability mailslot and decides whether health reporting is
// enabled.
#pragma once

#include <winport/sync.h>

#include <atomic>
#include <memory>

#include "core/Progress.h"
#include "core/Thread.h"
#include "core/Win.h"

class CHealthReport;
class CDiagnostics;
class CReports;
class CReportStore;
class CSiThread;
class CDriverState;
class CWebcastSetup;
class CVESDDInterface;
class CConfigRec;

// Usability mailslot message identifiers.
enum : DWORD {
  DAK_RUNNINGTIME = 0,
  DAK_ZNSTATUS = 1,
  DAK_PD = 2,
  DAK_NEWSCAST = 3,
  DAK_CONNSTATE = 4,
  DAK_GENERIC = 5,
  DAK_DEL_WCPROPSORBSTARTKEY = 7,
  ADAPTER_STATE_CHANGED = 8,
};

// Record sizes in bytes.
constexpr DWORD DAK_RUNNINGTIME_SIZE = 12;
constexpr DWORD DAK_ZNSTATUS_SIZE = 264;
constexpr DWORD DAK_PD_SIZE = 584;
constexpr DWORD DAK_NEWSCAST_SIZE = 32;
constexpr DWORD DAK_CONNSTATE_SIZE = 8;

extern const char* const kUsabilitySlotName;

class CDAKDllMain : public CThread {
 public:
  CDAKDllMain();
  ~CDAKDllMain() override;

  static CDAKDllMain* MakeObject();
  static void ReleaseObject(CDAKDllMain* instance);
  static DWORD GetInstanceCount();

  DWORD Init();
  void InitFromRegistry();
  void GetHREnableMode();
  void UIUpdateConfig();
  void UpdateConfig();
  BOOL IsConfigRecReqd();
  void OnTimer();
  void KillTheTimer();

  BOOL Run() override;
  HANDLE OnShutDown() override;
  const char* GetClassName() override { return "CDAKDllMain (Primary Thread)"; }

  BOOL StartMailslotServer();
  void MessageProcessor();
  // `length` is the size of the message read from the mailslot; records shorter than their
  // layout are refused before any handler sees them.
  BOOL HandleMessage(const BYTE* message, DWORD length);

  // The single-instance mutex, owned by this object.
  void SetInstanceMutex(HANDLE mutex) { m_hInstanceMutex = mutex; }

  BOOL IsHREnabled() const { return m_bHREnabled; }
  DWORD GetTimerPeriod() const { return m_dwTimerPeriod; }
  CReportStore* GetReportStore() const { return m_pReportStore.get(); }
  CDiagnostics* GetDiagnostics() const { return m_pDiagnostics.get(); }

  // What the primary thread has handled so far: messages taken from the mailslot, module
  // timer ticks, configuration reloads (service information) and user-interface updates.
  CProgress& MessagesHandled() { return m_MessagesHandled; }
  CProgress& TimerTicks() { return m_TimerTicks; }
  CProgress& ConfigUpdates() { return m_ConfigUpdates; }
  CProgress& UIUpdates() { return m_UIUpdates; }

 protected:
  // Called on the primary thread once its start handshake succeeded, just before it starts
  // the tuning and configuration-record workers. Does nothing here.
  virtual void OnStartHandshakeDone() {}

 private:
  // Init's steps, in order.
  BOOL CreateWorkers();
  void CreateShutEvent();
  BOOL BindDriver();
  DWORD RunStartupTests();
  DWORD StartServiceInformation();

  // HandleMessage's cases that do more than pass the record on.
  BOOL HandleConnState(const BYTE* message, DWORD length);
  BOOL HandleGeneric(const BYTE* message, DWORD length);
  BOOL HandleAdapterStateChanged();

  // Owned workers; the destructor releases them in the order the module's shutdown needs,
  // not in the order they are declared.
  CRITICAL_SECTION m_csConfig;
  std::unique_ptr<CHealthReport> m_pHealthReport;
  std::unique_ptr<CDiagnostics> m_pDiagnostics;
  std::unique_ptr<CReports> m_pReports;
  std::unique_ptr<CReportStore> m_pReportStore;
  std::unique_ptr<CSiThread> m_pSiThread;
  std::unique_ptr<CDriverState> m_pDriverState;
  std::unique_ptr<CWebcastSetup> m_pWebcast;
  // Written by the service-information thread's reload, read by the primary thread.
  std::atomic<DWORD> m_dwTimerPeriod;
  const char* m_pszMailslotName;
  HANDLE m_hMailslot;
  HANDLE m_hUIUpdateEvent;
  std::unique_ptr<CVESDDInterface> m_pVesdd;
  std::unique_ptr<CConfigRec> m_pConfigRec;
  DWORD m_dwChannel;
  BOOL m_bChannelOpen = FALSE;  // the channel above was opened and is closed on destruction
  std::atomic<BOOL> m_bSiteIDEnabled;
  std::atomic<BOOL> m_bServEnabled;
  std::atomic<BOOL> m_bConfigEnabled;
  std::atomic<BOOL> m_bConfigTestEnabled;
  std::atomic<BOOL> m_bHREnabled;
  std::atomic<DWORD> m_dwEnableThrough;
  HANDLE m_hShutEvent;
  HANDLE m_hInstanceMutex;

  CProgress m_MessagesHandled;
  CProgress m_TimerTicks;
  CProgress m_ConfigUpdates;
  CProgress m_UIUpdates;
};
