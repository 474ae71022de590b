// The control with real named objects, registry values, threads and processes: the events it
// fires for the module's signals, its shutdown roads, the IRQ outcome and bad requests.
#include "control/VitalisCtrl.h"

#include <gtest/gtest.h>
#include <winport/handle.h>
#include <winport/message.h>
#include <winport/process.h>
#include <winport/registry.h>
#include <winport/sync.h>
#include <winport/window.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <utility>

#include "core/Exports.h"
#include "core/TraceLog.h"
#include "diag/DiagFixture_testing.h"
#include "diag/Diagnostics.h"
#include "driver/SimControl_testing.h"

namespace {

using namespace diag_testing;

// Collects the control's events as they arrive on its thread.
class EventLog {
 public:
  void Attach(CVitalisCtrl& ctrl) {
    ctrl.SetEventSink([this] { Add("Shutdown"); },
                      [this](const char* text) { Add(std::string("StatusAvailable ") + text); });
  }
  // The next event, or "" when none came within the bound.
  std::string Next(int seconds = 20) {
    std::unique_lock hold(m_lock);
    if (!m_cond.wait_for(hold, std::chrono::seconds(seconds), [&] { return !m_events.empty(); }))
      return "";
    std::string event = m_events.front();
    m_events.pop_front();
    return event;
  }
  size_t Pending() {
    std::lock_guard hold(m_lock);
    return m_events.size();
  }

 private:
  void Add(std::string event) {
    std::lock_guard hold(m_lock);
    m_events.push_back(std::move(event));
    m_cond.notify_all();
  }
  std::mutex m_lock;
  std::condition_variable m_cond;
  std::deque<std::string> m_events;
};

class ControlTest : public DiagTest {
 protected:
  void SetUp() override {
    DiagTest::SetUp();
    SetText(kHR, "OcxTraceFileName", "c:\\hrocx.log");
    // The control's trace, as in the application's process, where the control sets it up.
    ResetModuleTrace();
    InitModuleTrace(false);
  }
  static std::string OcxTrace() { return winport::testing::ReadFile(DriveC("hrocx.log")); }
  static bool OcxTraced(const std::string& line) {
    return OcxTrace().find(line) != std::string::npos;
  }
  // Signals an event of the application the way the module does.
  static void Signal(const char* name) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    ASSERT_NE(event, nullptr) << name;
    SetEvent(event);
    CloseHandle(event);
  }
  SimControl m_sim;
};

// Another application holds "DIAG_APP_EXISTS": Init waits until it lets go, then fails, and
// leaves nothing of its own behind.
TEST_F(ControlTest, InitWaitsForAnotherApplicationThenFails) {
  HANDLE held = CreateEventA(nullptr, TRUE, FALSE, "ctltest.held");
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "ctltest.release");
  std::string command =
      (winport::testing::ExecutableDir() / "vitalis_HoldAppMutex_helper").string() +
      " ctltest.held ctltest.release";
  STARTUPINFOA startup{};
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  ASSERT_EQ(WaitForSingleObject(held, 20000), WAIT_OBJECT_0);

  CVitalisCtrl ctrl;
  auto init = std::async(std::launch::async, [&] { return ctrl.Init(); });
  EXPECT_EQ(init.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  SetEvent(release);
  ASSERT_EQ(init.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(init.get());
  EXPECT_TRUE(OcxTraced("Init() - mutex already exists"));
  EXPECT_TRUE(OcxTraced("Init() - DIAG_APP_EXISTS mutex acquired"));
  EXPECT_TRUE(OcxTraced("Init() - diag mutex closed"));
  // Once the other application has gone too, the mutex is gone: the module would now start a
  // new application.
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0);
  HANDLE probe = OpenMutexA(SYNCHRONIZE, FALSE, "DIAG_APP_EXISTS");
  EXPECT_EQ(probe, nullptr);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(release);
  CloseHandle(held);
}

// Each refresh the module asks for gives one StatusAvailable with the failed tests as they
// stand at that moment; Stop then ends the thread without a Shutdown event.
TEST_F(ControlTest, RefreshesGiveTheCurrentFailedTestsAndStopEndsQuietly) {
  CVitalisCtrl ctrl;
  EventLog events;
  events.Attach(ctrl);
  ASSERT_TRUE(ctrl.Init());
  CDiagnostics module(nullptr);  // the module's side

  CDiagnostics::SetTestStatus(8, 807);
  module.LaunchDiagApp(FALSE);
  EXPECT_EQ(events.Next(), "StatusAvailable 8,807;");
  CDiagnostics::SetTestStatus(1, 112);
  module.LaunchDiagApp(FALSE);
  EXPECT_EQ(events.Next(), "StatusAvailable 1,112;8,807;");
  CDiagnostics::SetAllTestStatus(0);
  CDiagnostics::SetTestStatus(6, 603);
  Signal("DIAG_EVENT");
  EXPECT_EQ(events.Next(), "StatusAvailable 6,603;");

  EXPECT_TRUE(ctrl.Stop());
  EXPECT_TRUE(OcxTraced("stop :: The shutting down is initiated from the diag app exit button"));
  EXPECT_TRUE(OcxTraced("CVitalisCtrl::Stop()- thread termination graceful"));
  EXPECT_TRUE(OcxTraced("CVitalisCtrl::Run - OCX Thread shutting down"));
  EXPECT_FALSE(OcxTraced("Stop ----- The thread terminated forcefully"));
  EXPECT_EQ(events.Pending(), 0u);  // no Shutdown
  // A second Stop has nothing left to do and says so.
  EXPECT_TRUE(ctrl.Stop());
  EXPECT_TRUE(OcxTraced("stop :: The diag app shutdown is inited from some other place"));
  EXPECT_EQ(events.Pending(), 0u);
}

// The module's shutdown reaches the application as one Shutdown event; the application's Stop
// that follows finds the thread gone. A status text never outgrows its 100-byte buffer.
TEST_F(ControlTest, ModuleShutdownFiresShutdownAndLongTextsStayInTheirBuffer) {
  // Twenty DRVT tokens make a text far longer than the buffer.
  std::string tokens;
  for (int i = 0; i < 40; ++i) tokens += (i ? "," : "") + std::to_string(300 + i % 4);
  SetText(std::string(kDiag) + "\\DRVT", "TestStr", tokens);
  CDiagnostics::SetTestStatus(3, 1);

  CVitalisCtrl ctrl;
  EventLog events;
  events.Attach(ctrl);
  ASSERT_TRUE(ctrl.Init());
  Signal("DIAG_EVENT");
  std::string status = events.Next();
  ASSERT_EQ(status.rfind("StatusAvailable 3,300;3,301;", 0), 0u) << status;
  EXPECT_LT(status.size() - std::string("StatusAvailable ").size(), 100u);
  // The text is cut to the buffer it is given, at whole items.
  CDiagnostics module(nullptr);
  module.ReadTestParams(1);
  char small[16];
  std::memset(small, 'x', sizeof small);
  small[0] = '\0';
  module.GetFailedTestIDInStr(small, 13);
  EXPECT_STREQ(small, "3,300;3,301;");
  EXPECT_EQ(small[13], 'x');

  Signal("SHUT_EVENT");
  EXPECT_EQ(events.Next(), "Shutdown");
  EXPECT_TRUE(ctrl.Stop());
  EXPECT_TRUE(OcxTraced("Shutdown Event fired"));
  EXPECT_TRUE(OcxTraced("stop :: The diag app shutdown is inited from some other place"));
  EXPECT_EQ(events.Pending(), 0u);
}

// A control that lets the test act in the middle of a refresh: after the thread woke for
// "DIAG_EVENT", before it looks whether a shutdown is under way.
class MidRefreshCtrl : public CVitalisCtrl {
 public:
  std::function<void()> m_during;

 protected:
  void ReadFailedTests(char* text, std::size_t size) override {
    CVitalisCtrl::ReadFailedTests(text, size);
    if (m_during) std::exchange(m_during, nullptr)();
  }
};

// A shutdown that arrives during a refresh drops the refresh but is not lost: the module's
// still closes the application, and the application's own still ends the thread quietly and
// leaves "SHUT_EVENT" reset for the next application.
TEST_F(ControlTest, AShutdownDuringARefreshIsNotLost) {
  CDiagnostics::SetTestStatus(8, 807);
  {
    MidRefreshCtrl ctrl;
    EventLog events;
    events.Attach(ctrl);
    ASSERT_TRUE(ctrl.Init());
    ctrl.m_during = [] { Signal("SHUT_EVENT"); };  // the module shuts down
    Signal("DIAG_EVENT");
    EXPECT_EQ(events.Next(), "Shutdown");
    EXPECT_TRUE(OcxTraced("Test Fail data available, but ocx being shut down, not firing"));
    EXPECT_TRUE(ctrl.Stop());
    EXPECT_TRUE(OcxTraced("CVitalisCtrl::Stop()- thread termination graceful"));
    EXPECT_EQ(events.Pending(), 0u);
  }

  MidRefreshCtrl ctrl;
  EventLog events;
  events.Attach(ctrl);
  ASSERT_TRUE(ctrl.Init());
  HANDLE shut = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, "SHUT_EVENT");
  ASSERT_NE(shut, nullptr);
  HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ctrl.m_during = [&] {
    SetEvent(inside);
    WaitForSingleObject(shut, 20000);  // until Stop has signalled it
  };
  Signal("DIAG_EVENT");
  ASSERT_EQ(WaitForSingleObject(inside, 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(ctrl.Stop());  // the user leaves the application
  std::string trace = OcxTrace();
  const std::string graceful = "CVitalisCtrl::Stop()- thread termination graceful";
  EXPECT_NE(trace.find(graceful, trace.find(graceful) + 1), std::string::npos);  // both Stops
  EXPECT_TRUE(OcxTraced("Run ----- the vb application called for shutdown"));
  EXPECT_EQ(WaitForSingleObject(shut, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(events.Pending(), 0u);
  CloseHandle(inside);
  CloseHandle(shut);
}

// A host whose event handler does not return holds the event thread: Stop gives up on it after
// its bound and abandons it, and the control, destroyed, waits for the routine to return
// rather than leave it running in a freed object.
TEST_F(ControlTest, StopAbandonsAThreadStuckInTheHostsHandler) {
  std::promise<void> letGo;
  std::shared_future<void> released = letGo.get_future().share();
  HANDLE inHandler = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  {
    CVitalisCtrl ctrl;
    ctrl.SetEventSink(nullptr, [&](const char*) {
      SetEvent(inHandler);
      released.wait();  // not a winport wait: those fail at once in an abandoned thread
    });
    ASSERT_TRUE(ctrl.Init());
    Signal("DIAG_EVENT");
    ASSERT_EQ(WaitForSingleObject(inHandler, 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(ctrl.Stop());
    EXPECT_TRUE(OcxTraced("CVitalisCtrl::Stop -  the wait timed out"));
    EXPECT_TRUE(OcxTraced("Stop ----- The thread terminated forcefully"));
    EXPECT_FALSE(OcxTraced("CVitalisCtrl::Run - OCX Thread shutting down"));
    letGo.set_value();
  }
  EXPECT_TRUE(OcxTraced("CVitalisCtrl::Run - OCX Thread shutting down"));
  EXPECT_FALSE(OcxTraced("the event thread did not end"));
  CloseHandle(inHandler);
}

// Calls out of order and requests the control cannot carry out give clear results.
TEST_F(ControlTest, StopBeforeInitAndBadRepairRequestsAreRefused) {
  {
    CVitalisCtrl ctrl;
    EXPECT_TRUE(ctrl.Stop());
    EXPECT_TRUE(ctrl.Stop());
    EXPECT_EQ(ctrl.FixProblem("1,101;"), 0);
    EXPECT_TRUE(OcxTraced("CVitalisCtrl::Stop - no event thread to stop"));
    EXPECT_TRUE(OcxTraced("CVitalisCtrl::FixProblem - the control is not initialised"));
  }
  CVitalisCtrl ctrl;
  ASSERT_TRUE(ctrl.Init());
  EXPECT_FALSE(ctrl.Init());  // once only
  EXPECT_EQ(ctrl.FixProblem(nullptr), 0);
  EXPECT_EQ(ctrl.FixProblem(""), 0);
  EXPECT_EQ(ctrl.FixProblem("x;;,;9,1;-4,2"), 0);
  EXPECT_EQ(ctrl.FixProblem(std::string(5000, '7').c_str()), 0);
  EXPECT_TRUE(OcxTraced("CVitalisCtrl::FixProblem - no tests given"));
  EXPECT_TRUE(OcxTraced("CVitalisCtrl::FixProblem - no valid test in the text"));
  EXPECT_TRUE(ctrl.Stop());
}

// A repair that needs a restart closes the application through Shutdown, and the Stop that
// follows asks the utility library once for the restart.
TEST_F(ControlTest, RepairNeedingARestartShutsDownAndStopRestarts) {
  CVitalisCtrl ctrl;
  EventLog events;
  events.Attach(ctrl);
  ASSERT_TRUE(ctrl.Init());
  CDiagnostics::SetTestStatus(8, 805);
  EXPECT_EQ(ctrl.FixProblem("8,805;"), 1);
  EXPECT_EQ(events.Next(), "Shutdown");
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 0);
  EXPECT_TRUE(OcxTraced("CVitalisCtrl::FixProblem - reboot required , signalling the shutdown"));
  EXPECT_TRUE(ctrl.Stop());
  EXPECT_TRUE(OcxTraced("CVitalisCtrl::Stop - rebooting the PC - after Util_ExitWindows()"));
  EXPECT_NE(winport::testing::ReadFile(winport::testing::Prefix() / "receiver-sim" / "state.ini")
                .find("exit_windows_count=1\n"),
            std::string::npos);
  EXPECT_TRUE(ctrl.Stop());  // asked for once only
  EXPECT_NE(winport::testing::ReadFile(winport::testing::Prefix() / "receiver-sim" / "state.ini")
                .find("exit_windows_count=1\n"),
            std::string::npos);
}

// Each stored IRQ status gives its text; the device list comes back unchanged.
TEST_F(ControlTest, IrqResultForEachStatus) {
  CVitalisCtrl ctrl;
  const std::string irqKey = std::string(kDiag) + "\\IRQTest";
  EXPECT_EQ(ctrl.ShowIRQResult(), "1");  // no status stored at all
  EXPECT_TRUE(OcxTraced("Error in getting the TestStatus from registry"));
  CDiagnostics::SetTestStatus(4, 0);
  EXPECT_EQ(ctrl.ShowIRQResult(), "0");
  CDiagnostics::SetTestStatus(4, 401);
  EXPECT_EQ(ctrl.ShowIRQResult(), "2");
  CDiagnostics::SetTestStatus(4, 400);
  EXPECT_EQ(ctrl.ShowIRQResult(), "1");  // no device list
  EXPECT_TRUE(OcxTraced("Error in getting the List od devices  from registry"));
  SetText(irqKey, "ListOfDevice", "IRQ 11: Sound Blaster, Orbilink PCI receiver");
  EXPECT_EQ(ctrl.ShowIRQResult(), "IRQ 11: Sound Blaster, Orbilink PCI receiver");
  SetDword(irqKey, "ListOfDevice", 5);  // not a text
  EXPECT_EQ(ctrl.ShowIRQResult(), "1");
  CDiagnostics::SetTestStatus(4, 10000);
  EXPECT_EQ(ctrl.ShowIRQResult(), "1");
  CDiagnostics::SetTestStatus(4, 402);
  EXPECT_EQ(ctrl.ShowIRQResult(), "1");
  EXPECT_TRUE(OcxTraced("teststatus does not match with any of the defined value"));
}

// Leaving the application with a user-closed navigator: a disabled adapter closes the
// navigator, and a proxy result the user cannot repair is put back to passed.
TEST_F(ControlTest, StopClosesTheNavigatorForADisabledAdapterAndClearsProxyResults) {
  HWND navigator = CreateMessageWindow("Orbilink Navigator");
  ASSERT_NE(navigator, nullptr);
  CVitalisCtrl ctrl;
  EventLog events;
  events.Attach(ctrl);
  ASSERT_TRUE(ctrl.Init());
  CDiagnostics::SetTestStatus(1, 119);
  CDiagnostics::SetTestStatus(6, 606);
  Signal("DIAG_EVENT");
  EXPECT_EQ(events.Next(), "StatusAvailable 1,119;6,606;");
  EXPECT_TRUE(ctrl.Stop());
  EXPECT_EQ(StoredStatus("ProxyServer_Check"), 0);
  EXPECT_TRUE(OcxTraced("CVitalisCtrl::stop - > Adapters is Disabled So navigator is closed "));
  MSG message{};
  ASSERT_TRUE(PeekMessageA(&message, navigator, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, static_cast<UINT>(WM_CLOSE));
  DestroyWindow(navigator);
}

}  // namespace
