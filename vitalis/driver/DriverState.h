// The tuning thread. On its primary timer it checks that the adapter is present, enabled,
// alive and tuned; a healthy adapter gets the driver statistics test, an untuned one a tuning
// attempt with an acquisition timer. Problems become diagnostics test statuses and, where the
// user is to be told, go to the diagnostics application.
#pragma once

#include <atomic>
#include <chrono>

#include "core/Thread.h"
#include "core/Win.h"
#include "driver/TuneAdapter.h"
#include "driver/VesddTest.h"

class CDiagnostics;
class CUsbInterface;
class CVESDDInterface;

inline constexpr const char kSignalStrengthKey[] =
    "SOFTWARE\\Tessaline\\Orbilink\\Diagnostics\\Signal_Strength_Check";

class CDriverState : public CThread {
 public:
  static constexpr DWORD kDefaultPriTimerTick = 60000;
  static constexpr DWORD kDefaultErrorTimerTick = 120000;
  // The message loop looks for a shutdown, an update or a due timer at least this often.
  static constexpr DWORD kIdleWaitMs = 10000;

  explicit CDriverState(CDiagnostics* diagnostics);
  ~CDriverState() override;

  BOOL Run() override;
  HANDLE OnShutDown() override;
  const char* GetClassName() override { return "CDriverState (Tuning Thread)"; }

  // Called by the primary thread before Start.
  void Init();
  void InitVesdd(CVESDDInterface* vesdd, DWORD channel);
  // The configuration changed: the tuning thread restarts the parameter sets and re-reads the
  // statistics test's settings.
  void UpdateConfig();
  // Re-reads whether signal and driver problems are announced to the user.
  void UIConfigUpdate();

  void SignalTestFailure(BOOL failed);
  void LaunchDiagApp(BOOL failed, BOOL report);

  // A timer of this thread fired.
  void OnTimer(UINT_PTR id);

  DWORD GetPriTimerTick() const { return m_dwPriTimerTick; }
  DWORD GetErrorTimerTick() const { return m_dwErrorTimerTick; }
  BOOL GetSignalReport() const { return m_bSignalReport; }
  BOOL GetDriverReport() const { return m_bDriverReport; }
  // The period the primary timer runs at now (the primary tick, later the error tick).
  DWORD GetPriTimerPeriod() const { return m_uPriTimerId != 0 ? m_PriDue.period : 0; }
  UINT_PTR GetPriTimerId() const { return m_uPriTimerId; }
  UINT_PTR GetAcqTimerId() const { return m_uAcqTimerId; }
  DWORD GetAcqTimeout() const { return m_dwAcqTimeout; }
  CTuneAdapter& GetTuneAdapter() { return m_TuneAdapter; }
  CVesddTest& GetVesddTest() { return m_VesddTest; }

 protected:
  BOOL SetATimer(UINT_PTR* slot, DWORD tick);
  void KillATimer(UINT_PTR* slot);
  void InitFromRegistry();
  BOOL CheckAdapterState();
  void PerformDetailedDriverTest();
  // Whether the adapter's heartbeat count is non-zero right now.
  bool IsHeartBeating();
  void TryTuning();
  // Tests the update event without waiting and performs the configuration update when set.
  void CheckUpdateEvent();
  void PerformConfigUpdate();
  // Takes one message of this thread and dispatches it; false when none was waiting.
  bool DispatchOneMessage();
  // Until the next timer is due (at most kIdleWaitMs), or a shutdown or update comes.
  void WaitIdle();

  CUsbInterface* m_pUsbIntf;
  CVESDDInterface* m_pVesdd;
  CDiagnostics* m_pDiagnostics;
  CVesddTest m_VesddTest;
  CTuneAdapter m_TuneAdapter;
  DWORD m_dwAcqTimeout;
  UINT_PTR m_uAcqTimerId;
  UINT_PTR m_uPriTimerId;
  DWORD m_dwPriTimerTick;
  DWORD m_dwErrorTimerTick;
  DWORD m_dwChannel;
  HANDLE m_hUpdateEvent;
  // Written by the primary thread, read here.
  std::atomic<BOOL> m_bSignalReport;
  std::atomic<BOOL> m_bDriverReport;

  // When this thread's timers are next due, to wake the loop for them.
  using SteadyClock = std::chrono::steady_clock;
  struct TimerDue {
    DWORD period = 0;
    SteadyClock::time_point due{};
  };
  TimerDue m_PriDue;
  TimerDue m_AcqDue;
};
