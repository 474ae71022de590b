// The test status store and the start and refresh of the diagnostics application, with real
// registry values, named objects and processes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <winport/handle.h>
#include <winport/path.h>
#include <winport/sync.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "DiagFixture_testing.h"
#include "DiagView_testing.h"
#include "diag/Diagnostics.h"

namespace {

namespace fs = std::filesystem;
using namespace diag_testing;
using winport::testing::BinDir;
using winport::testing::ReadFile;

class TestStatusStore : public DiagTest {};

// Every status write lands in the test's own subkey; the update event fires only on a change.
TEST_F(TestStatusStore, WritesEachTestsValueAndSignalsChangesOnly) {
  HANDLE update = CreateEventA(nullptr, FALSE, FALSE, "DIAGSTATUS_UPDATE_EVENT");
  ASSERT_NE(update, nullptr);

  EXPECT_TRUE(CDiagnostics::SetTestStatus(8, 807));
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 807);
  EXPECT_EQ(WaitForSingleObject(update, 0), WAIT_OBJECT_0);  // first write: no old value
  EXPECT_TRUE(CDiagnostics::SetTestStatus(8, 807));
  EXPECT_EQ(WaitForSingleObject(update, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CDiagnostics::SetTestStatus(8, 0));
  EXPECT_EQ(WaitForSingleObject(update, 0), WAIT_OBJECT_0);

  DWORD status = 1234;
  EXPECT_TRUE(CDiagnostics::GetTestStatus(8, &status));
  EXPECT_EQ(status, 0u);

  CDiagnostics::SetAllTestStatus(5);
  const char* keys[] = {"Adapter_Check",
                        "DNSCheck",
                        "DRVT",
                        "IRQTest",
                        "Multiple_RegKey_Test",
                        "ProxyServer_Check",
                        "Signal_Strength_Check",
                        "TCPIP_Check"};
  for (const char* key : keys) EXPECT_EQ(StoredStatus(key), 5) << key;
  EXPECT_TRUE(Traced("CDiagnostics::SetTestStatus( 3, 5) result = 1"));

  // Unknown ids touch nothing.
  EXPECT_FALSE(CDiagnostics::SetTestStatus(0, 1));
  EXPECT_FALSE(CDiagnostics::SetTestStatus(9, 1));
  EXPECT_FALSE(CDiagnostics::GetTestStatus(9, &status));
  EXPECT_EQ(WaitForSingleObject(update, 0), WAIT_OBJECT_0);  // from SetAllTestStatus only
  EXPECT_EQ(WaitForSingleObject(update, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(update);
}

// A value of the wrong type or size is no status: the read fails and the caller's stays.
TEST_F(TestStatusStore, ValuesOfTheWrongShapeAreNotRead) {
  DWORD status = 77;
  EXPECT_FALSE(CDiagnostics::GetTestStatus(1, &status));  // no key at all
  SetText(std::string(kDiag) + "\\Adapter_Check", "TestStatus", "0");
  EXPECT_FALSE(CDiagnostics::GetTestStatus(1, &status));
  const unsigned char eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  SetValue(std::string(kDiag) + "\\Adapter_Check", "TestStatus", REG_BINARY, eight, 8);
  EXPECT_FALSE(CDiagnostics::GetTestStatus(1, &status));
  EXPECT_EQ(status, 77u);
  // A write replaces it with a proper DWORD and counts as a change.
  HANDLE update = CreateEventA(nullptr, FALSE, FALSE, "DIAGSTATUS_UPDATE_EVENT");
  EXPECT_TRUE(CDiagnostics::SetTestStatus(1, 112));
  EXPECT_EQ(WaitForSingleObject(update, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CDiagnostics::GetTestStatus(1, &status));
  EXPECT_EQ(status, 112u);
  CloseHandle(update);
}

class LaunchDiagAppTest : public DiagTest {
 protected:
  // Lets the tests shorten the wait for an application that never becomes ready.
  class Diagnostics : public CDiagnostics {
   public:
    Diagnostics() : CDiagnostics(nullptr) { ReadTestParams(0); }
    void SetIdleWait(DWORD ms) { m_dwDiagAppIdleWaitMs = ms; }
  };

  void SetUp() override {
    DiagTest::SetUp();
    AdoptOrphans();
    // Each test installs the application it needs, or none.
    fs::remove_all(DriveC("Orbilink"));
    m_log = winport::testing::MakeTempDir("diagview") / "diagview.log";
    setenv("DIAGVIEW_LOG", m_log.c_str(), 1);
  }
  void TearDown() override {
    EXPECT_TRUE(CloseDiagApp()) << "an application did not close";
    EXPECT_EQ(EndLeftoverProcesses(), 0) << "processes left running";
    unsetenv("DIAGVIEW_LOG");
    DiagTest::TearDown();
  }

  // The program the module starts: "c:\Orbilink\bin\diagview.exe".
  static fs::path AppPath() { return DriveC("Orbilink/bin/diagview.exe"); }
  static void InstallStandIn() {
    ASSERT_TRUE(RegisterControlForDiagView());
    fs::create_directories(AppPath().parent_path());
    fs::copy_file(BinDir() / "diagview", AppPath(), fs::copy_options::overwrite_existing);
  }
  static void InstallScript(const std::string& body) {
    fs::create_directories(AppPath().parent_path());
    std::ofstream(AppPath()) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(AppPath(), fs::perms::owner_all);
  }
  static bool AppRunning() {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "DIAG_APP_EXISTS");
    if (mutex == nullptr) return false;
    CloseHandle(mutex);
    return true;
  }
  fs::path m_log;
};

// A failed test starts the application, which is ready when the call returns; later calls
// make the running application refresh, whether or not a test failed.
TEST_F(LaunchDiagAppTest, StartsTheApplicationThenRefreshesIt) {
  InstallStandIn();
  Diagnostics diag;
  CDiagnostics::SetTestStatus(8, 807);
  diag.LaunchDiagApp(TRUE);
  EXPECT_TRUE(AppRunning());
  diag.LaunchDiagApp(FALSE);
  EXPECT_TRUE(AppRunning());
  // A refresh that meets the close is dropped: let the one checked below show first.
  EXPECT_TRUE(WaitForDiagViewLine(m_log, "refresh 1: "));
  ASSERT_TRUE(CloseDiagApp());
  std::string log = ReadFile(m_log);
  EXPECT_EQ(log.find("running\n"), 0u) << log;
  // The control reports a DNS failure once, so it stores the DNS test as passed on each refresh.
  EXPECT_NE(log.find("refresh 1: 1=- 2=0 3=- 4=- 5=- 6=- 7=- 8=807\n"), std::string::npos) << log;
  EXPECT_NE(log.find("closing\n"), std::string::npos) << log;
  EXPECT_TRUE(Traced("CDiagnostics:: LaunchDiagApp, Event succesfully created"));
}

// With the application's objects held here (as its control holds them), a refresh only sets
// "DIAG_EVENT"; with nothing running and nothing failed nothing happens at all.
TEST_F(LaunchDiagAppTest, RefreshesARunningApplicationAndLeavesAnAbsentOneAlone) {
  InstallStandIn();
  Diagnostics diag;
  HANDLE refresh = CreateEventA(nullptr, FALSE, FALSE, "DIAG_EVENT");
  diag.LaunchDiagApp(FALSE);
  EXPECT_EQ(WaitForSingleObject(refresh, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(AppRunning());
  EXPECT_FALSE(fs::exists(m_log));

  HANDLE exists = CreateMutexA(nullptr, TRUE, "DIAG_APP_EXISTS");
  diag.LaunchDiagApp(FALSE);
  EXPECT_EQ(WaitForSingleObject(refresh, 0), WAIT_OBJECT_0);
  diag.LaunchDiagApp(TRUE);  // running: refreshed, not started again
  EXPECT_EQ(WaitForSingleObject(refresh, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(fs::exists(m_log));
  CloseHandle(exists);
  CloseHandle(refresh);

  // Running but without its event: traced, nothing else.
  exists = CreateMutexA(nullptr, TRUE, "DIAG_APP_EXISTS");
  diag.LaunchDiagApp(FALSE);
  EXPECT_TRUE(Traced("CDiagnostics:: LaunchDiagApp, Event does not exists"));
  CloseHandle(exists);
}

// A missing application and one that dies at start are traced, and the module goes on.
TEST_F(LaunchDiagAppTest, ApplicationsThatCannotStartAreTraced) {
  Diagnostics diag;
  diag.LaunchDiagApp(TRUE);
  EXPECT_TRUE(Traced("LaunchDiagApp, CreateProcess for DiagApp failed, err code = 2"));

  InstallScript("exit 3");
  diag.LaunchDiagApp(TRUE);
  EXPECT_TRUE(Traced("LaunchDiagApp, DiagApp ended at start, exit code = 3"));
  EXPECT_FALSE(AppRunning());
}

// An application that never becomes ready holds the caller up for the bounded time only, and
// not at all once the module shuts down. The script tells the test through named events when
// the application starts and when it has ended.
TEST_F(LaunchDiagAppTest, TheWaitForAnApplicationThatNeverGetsReadyIsBounded) {
  const std::string winobj = "'" + (BinDir() / "winobj").string() + "'";
  ASSERT_TRUE(RegisterControlForDiagView());
  InstallScript(winobj + " set diagtest.started\n'" + (BinDir() / "diagview").string() +
                "' --no-idle\n" + winobj + " set diagtest.ended");
  HANDLE started = CreateEventA(nullptr, TRUE, FALSE, "diagtest.started");
  HANDLE ended = CreateEventA(nullptr, TRUE, FALSE, "diagtest.ended");
  HANDLE shut = CreateEventA(nullptr, TRUE, FALSE, "SHUT_EVENT");
  {
    Diagnostics diag;
    diag.SetIdleWait(300);
    diag.LaunchDiagApp(TRUE);
    EXPECT_TRUE(Traced("LaunchDiagApp, DiagApp not ready for input, no longer waited for"));
    EXPECT_EQ(WaitForSingleObject(started, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ended, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(shut);
    ASSERT_EQ(WaitForSingleObject(ended, 20000), WAIT_OBJECT_0);
  }
  ResetEvent(started);
  ResetEvent(ended);
  ResetEvent(shut);

  // The full bound, ended by the shutdown.
  Diagnostics diag;
  auto launch = std::async(std::launch::async, [&] { diag.LaunchDiagApp(TRUE); });
  ASSERT_EQ(WaitForSingleObject(started, 20000), WAIT_OBJECT_0);
  diag.OnShutDown();
  ASSERT_EQ(launch.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(WaitForSingleObject(ended, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(shut);
  ASSERT_EQ(WaitForSingleObject(ended, 20000), WAIT_OBJECT_0);

  // After a shutdown nothing new is started.
  ResetEvent(started);
  diag.LaunchDiagApp(TRUE);
  EXPECT_TRUE(Traced("CDiagnostics::launchDiagApp - shutdown occured"));
  EXPECT_EQ(WaitForSingleObject(started, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(shut);
  CloseHandle(ended);
  CloseHandle(started);
}

}  // namespace
