// The tuning thread: its settings, the adapter checks on its timers, and a whole retuning run on
// its own thread with real timers.
#include "driver/DriverState.h"

#include <gtest/gtest.h>
#include <winport/handle.h>
#include <winport/sync.h>

#include <chrono>
#include <string>

#include "diag/TestTable.h"
#include "driver/DriverFixture_testing.h"

namespace {

using namespace vitalis_testing;

class CTestDriverState : public CDriverState {
 public:
  using CDriverState::CDriverState;
  using CDriverState::CheckAdapterState;
  using CDriverState::CheckUpdateEvent;
  using CDriverState::InitFromRegistry;
  using CDriverState::m_uPriTimerId;
  using CDriverState::SetATimer;
};

class DriverStateTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ResetTuning();
    // Nothing is announced to a user: no diagnostics application is started.
    SetDword(kSignalStrengthKey, "ReportToUser", 0);
    SetDword(kDrvtKey, "ReportToUser", 0);
    Sim().Set("heartbeat", 500);  // beating, on a clock that stands still
    m_Diagnostics.InitVesdd(&m_Vesdd);
    m_Diagnostics.SetChannelHandle(m_dwChannel);
  }

  // Set up as the primary thread does it.
  void Prepare(CTestDriverState& state) {
    state.Init();
    state.InitVesdd(&m_Vesdd, m_dwChannel);
  }

  CTestStore m_Store;
  CDiagnostics m_Diagnostics{&m_Store};
};

TEST_F(DriverStateTest, TimerTicksAndReportFlagsFromTheRegistry) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink\\HealthReport");
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSignalStrengthKey);
  CTestDriverState state(&m_Diagnostics);
  state.InitFromRegistry();
  EXPECT_EQ(state.GetPriTimerTick(), 60000u);
  EXPECT_EQ(state.GetErrorTimerTick(), 120000u);
  EXPECT_TRUE(state.GetSignalReport());
  EXPECT_FALSE(state.GetDriverReport());

  SetHealthReport("DriverPriTimerTick", 0);
  SetHealthReport("DriverErrorTimerTick", 5000);
  SetDword(kSignalStrengthKey, "ReportToUser", 0);
  // Not a DWORD: as if it were missing, so problems are announced.
  SetText(kDrvtKey, "ReportToUser", "0");
  state.InitFromRegistry();
  EXPECT_EQ(state.GetPriTimerTick(), 60000u);
  EXPECT_EQ(state.GetErrorTimerTick(), 5000u);
  EXPECT_FALSE(state.GetSignalReport());
  EXPECT_TRUE(state.GetDriverReport());
  SetDword(kSignalStrengthKey, "ReportToUser", 2);
  state.UIConfigUpdate();
  EXPECT_TRUE(state.GetSignalReport());
}

TEST_F(DriverStateTest, AnUnhealthyTickSwitchesToTheErrorTickForGood) {
  SetHealthReport("DriverPriTimerTick", 100000);
  SetHealthReport("DriverErrorTimerTick", 200000);
  CTestDriverState state(&m_Diagnostics);
  Prepare(state);
  ASSERT_TRUE(state.SetATimer(&state.m_uPriTimerId, state.GetPriTimerTick()));
  EXPECT_FALSE(state.SetATimer(&state.m_uPriTimerId, 0));  // refused, nothing changes
  EXPECT_EQ(state.GetPriTimerPeriod(), 100000u);

  // Tuned: the period stays.
  UINT_PTR first = state.GetPriTimerId();
  state.OnTimer(first);
  EXPECT_EQ(state.GetPriTimerId(), first);
  EXPECT_EQ(state.GetPriTimerPeriod(), 100000u);
  EXPECT_EQ(state.GetAcqTimerId(), 0u);

  // Not tuned: a tuning attempt starts, and the primary timer moves to the error tick.
  Sim().Set("signal_drop", 1);
  state.OnTimer(first);
  EXPECT_NE(state.GetAcqTimerId(), 0u);
  EXPECT_NE(state.GetPriTimerId(), 0u);
  EXPECT_NE(state.GetPriTimerId(), state.GetAcqTimerId());
  EXPECT_EQ(state.GetPriTimerPeriod(), 200000u);
  // Healthy again: it stays at the error tick.
  Sim().Set("signal_drop", 0);
  state.OnTimer(state.GetPriTimerId());
  EXPECT_EQ(state.GetPriTimerPeriod(), 200000u);
  // An id that is not one of its timers does nothing.
  UINT_PTR pri = state.GetPriTimerId();
  state.OnTimer(pri + 1000);
  EXPECT_EQ(state.GetPriTimerId(), pri);
}

TEST_F(DriverStateTest, DetailedDriverTestOncePerOutage) {
  Sim().Set("heartbeat", 0);
  Sim().Set("heartbeat_stopped", 1);
  Sim().Set("adapter_type", 3);  // USB
  CTestDriverState state(&m_Diagnostics);
  Prepare(state);
  // Zero heartbeats fewer times in a row than the limit count as alive.
  EXPECT_TRUE(state.CheckAdapterState());
  EXPECT_TRUE(state.CheckAdapterState());
  EXPECT_EQ(Status(DIAGTEST_ADAPTER), 0u);
  // The third: the detailed test asks the USB adapter, which answers.
  EXPECT_FALSE(state.CheckAdapterState());
  EXPECT_EQ(Status(DIAGTEST_ADAPTER), 111u);
  // The same outage: not again (the heartbeat check's own status stays).
  for (int i = 0; i < 3; ++i) EXPECT_EQ(state.CheckAdapterState(), i < 2);
  EXPECT_EQ(Status(DIAGTEST_ADAPTER), 112u);

  // One beating heartbeat ends the outage; the next one gets its own detailed test.
  Sim().Set("heartbeat_stopped", 0);
  Sim().Set("heartbeat", 500);
  EXPECT_TRUE(state.CheckAdapterState());
  Sim().Set("heartbeat_stopped", 1);
  Sim().Set("heartbeat", 0);
  Sim().Set("usb_present", 0);
  for (int i = 0; i < 3; ++i) state.CheckAdapterState();
  EXPECT_EQ(Status(DIAGTEST_ADAPTER), 110u);

  // A PCI adapter on a system that is not NT: the transport control is asked.
  Sim().Set("heartbeat_stopped", 0);
  Sim().Set("heartbeat", 500);
  state.CheckAdapterState();
  Sim().Set("heartbeat_stopped", 1);
  Sim().Set("heartbeat", 0);
  Sim().Set("adapter_type", 2);
  Sim().Set("is_winnt", 0);
  Sim().Set("trellis_present", 0);
  for (int i = 0; i < 3; ++i) state.CheckAdapterState();
  EXPECT_EQ(Status(DIAGTEST_ADAPTER), 115u);
}

TEST_F(DriverStateTest, UpdateKillsARunningAcquisitionTimer) {
  SetNumParms(2);
  SetParamSet(1, 12100, 3);
  SetParamSet(2, 12200, 3);
  CTestDriverState state(&m_Diagnostics);
  Prepare(state);
  EXPECT_EQ(state.GetTuneAdapter().GetNumParms(), 2u);
  Sim().Set("signal_drop", 1);
  EXPECT_FALSE(state.CheckAdapterState());
  UINT_PTR acq = state.GetAcqTimerId();
  EXPECT_NE(acq, 0u);
  // The current parameters have no time-out of their own: 15 s.
  EXPECT_EQ(state.GetAcqTimeout(), 15000u);
  // While it runs, checks do not start another attempt.
  EXPECT_FALSE(state.CheckAdapterState());
  EXPECT_EQ(state.GetAcqTimerId(), acq);

  // The update arrives from another thread and is worked on by the tuning thread.
  SetNumParms(5);
  state.UpdateConfig();
  state.CheckUpdateEvent();
  EXPECT_EQ(state.GetAcqTimerId(), 0u);
  EXPECT_EQ(state.GetTuneAdapter().GetNumParms(), 5u);
  // The next check starts tuning again, with the first set; the event was reset, so the timer
  // now stays.
  EXPECT_FALSE(state.CheckAdapterState());
  EXPECT_NE(state.GetAcqTimerId(), 0u);
  EXPECT_EQ(Sim().Get("receive_freq"), "12100");
  EXPECT_EQ(state.GetAcqTimeout(), 3000u);
  state.CheckUpdateEvent();
  EXPECT_NE(state.GetAcqTimerId(), 0u);

  // The acquisition timer expiring with the signal still lost tries the next set.
  state.OnTimer(state.GetAcqTimerId());
  EXPECT_NE(state.GetAcqTimerId(), 0u);
  EXPECT_EQ(Sim().Get("receive_freq"), "12200");
}

TEST_F(DriverStateTest, ThreadWalksTheSetsOnItsTimersUntilTheSignalIsBack) {
  SetHealthReport("DriverPriTimerTick", 100);
  SetNumParms(3);
  SetParamSet(1, 12100, 1);
  SetParamSet(2, 12200, 1);
  SetParamSet(3, 12300, 1);
  Sim().Set("good_sets", "VESDD_RX_FREQ=12300,ReceiveSymbolRate=20003");
  Sim().Set("locked", 0);
  CDiagnostics::SetTestStatus(DIAGTEST_SIGNAL, 700);
  HANDLE changed = CreateEventA(nullptr, FALSE, FALSE, "DIAGSTATUS_UPDATE_EVENT");
  ASSERT_NE(changed, nullptr);
  {
    CTestDriverState state(&m_Diagnostics);
    Prepare(state);
    ASSERT_TRUE(state.Start());
    // A retune with the current values (15 s), then one second for each set.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Status(DIAGTEST_SIGNAL) != 0 && std::chrono::steady_clock::now() < deadline)
      WaitForSingleObject(changed, 1000);
    EXPECT_EQ(Status(DIAGTEST_SIGNAL), 0u);
    EXPECT_EQ(Sim().Get("receive_freq"), "12300");
    std::string freq;
    EXPECT_TRUE(GetText(kWinvesddKey, "VESDD_RX_FREQ", &freq));
    EXPECT_EQ(freq, "12300");
    // The loop sees the stop at once, not at the end of a 10-second wait.
    auto stopAsked = std::chrono::steady_clock::now();
    HANDLE thread = state.OnShutDown();
    if (thread != nullptr) {
      EXPECT_EQ(WaitForSingleObject(thread, 15000), WAIT_OBJECT_0);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, std::chrono::seconds(5));
  }
  CloseHandle(changed);
}

}  // namespace
