// The module and the diagnostics application as separate processes: a failing adapter test at
// the module's start starts diagview, whose control reports the failure, and the application
// closes when told to shut down.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <winport/handle.h>
#include <winport/process.h>
#include <winport/sync.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "diag/DiagFixture_testing.h"
#include "diag/DiagView_testing.h"
#include "diag/Diagnostics.h"
#include "driver/SimControl_testing.h"

namespace {

namespace fs = std::filesystem;
using namespace diag_testing;
using winport::testing::BinDir;
using winport::testing::ReadFile;
using winport::testing::RunAndWait;

class DiagViewTest : public DiagTest {
 protected:
  void SetUp() override {
    DiagTest::SetUp();
    AdoptOrphans();
    m_log = winport::testing::MakeTempDir("diagview") / "diagview.log";
    setenv("DIAGVIEW_LOG", m_log.c_str(), 1);
    setenv("DIAGVIEW_SIGNAL", "diagviewtest.line", 1);
    setenv("DIAGVIEW_HEADLESS", "1", 1);
    m_line = CreateEventA(nullptr, FALSE, FALSE, "diagviewtest.line");
  }
  void TearDown() override {
    EXPECT_TRUE(CloseDiagApp());
    EXPECT_EQ(EndLeftoverProcesses(), 0) << "processes left running";
    CloseHandle(m_line);
    unsetenv("DIAGVIEW_HEADLESS");
    unsetenv("DIAGVIEW_SIGNAL");
    unsetenv("DIAGVIEW_LOG");
    DiagTest::TearDown();
  }
  static DWORD Run(const std::string& command, PROCESS_INFORMATION* process) {
    STARTUPINFOA startup{};
    std::string line = command;
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, process);
  }
  // Waits line by line until the application's log holds `text`.
  bool WaitForLine(const std::string& text) {
    for (;;) {
      if (ReadFile(m_log).find(text) != std::string::npos) return true;
      if (WaitForSingleObject(m_line, 30000) != WAIT_OBJECT_0) return false;
    }
  }

  fs::path m_log;
  HANDLE m_line = nullptr;
};

TEST_F(DiagViewTest, AFailingAdapterTestStartsTheApplicationWhichShowsIt) {
  SimControl sim;
  sim.Set("adapters", "");  // no adapter at all
  ASSERT_EQ(RunAndWait((BinDir() / "vitalis-host").string() + " --register"), 0u);
  fs::path app = DriveC("Orbilink/bin/diagview.exe");
  fs::create_directories(app.parent_path());
  fs::copy_file(BinDir() / "diagview", app, fs::copy_options::overwrite_existing);

  PROCESS_INFORMATION module{};
  ASSERT_TRUE(Run((BinDir() / "vitalis-host").string() + " --keep-failed", &module));
  ASSERT_TRUE(WaitForLine("refresh 1: 1=101")) << ReadFile(m_log);
  EXPECT_NE(ReadFile(m_log).find("status 1,101;\n"), std::string::npos) << ReadFile(m_log);

  // The module goes away; the application is then told to close, as at the module's end.
  TerminateProcess(module.hProcess, 1);
  WaitForSingleObject(module.hProcess, 20000);
  CloseHandle(module.hProcess);
  CloseHandle(module.hThread);
  HANDLE shut = OpenEventA(EVENT_MODIFY_STATE, FALSE, "SHUT_EVENT");
  ASSERT_NE(shut, nullptr);
  SetEvent(shut);
  ASSERT_TRUE(WaitForLine("closing")) << ReadFile(m_log);
  EXPECT_NE(ReadFile(m_log).find("shutdown\n"), std::string::npos);
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "DIAG_APP_EXISTS");
  if (mutex != nullptr) {  // the application may still be on its way out
    DWORD rc = WaitForSingleObject(mutex, 20000);
    EXPECT_TRUE(rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED) << rc;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
  CloseHandle(shut);
}

// The user's repair needs a restart: the control closes the application through Shutdown, and
// the application's Stop asks the utility library for the restart, which the simulation
// records (and traces) instead of restarting this machine.
TEST_F(DiagViewTest, ARepairNeedingARestartClosesTheApplicationWhichAsksForTheRestart) {
  SimControl sim;
  ASSERT_EQ(RunAndWait((BinDir() / "vitalis-host").string() + " --register"), 0u);
  CDiagnostics::SetTestStatus(DIAGTEST_TCPIP, DTS_ICSNOTPORTMAPPED);
  CDiagnostics::SetTestStatus(DIAGTEST_IRQ, 401);  // the IRQ checker is missing
  // The user's commands, one line each, as a script would give them.
  auto user = [&](const std::string& commands) {
    fs::path script = winport::testing::MakeTempDir("user") / "user.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '" << commands << "' | '"
                          << (BinDir() / "diagview").string() << "' --headless\n";
    fs::permissions(script, fs::perms::owner_all);
    fs::remove(m_log);
    EXPECT_EQ(RunAndWait(script.string()), 0u);
    return ReadFile(m_log);
  };

  // Leaving without a repair asks for no restart.
  std::string log = user("irq\\nrestart\\nstop\\n");
  EXPECT_EQ(log, "running\nirq 2\nunknown command: restart\nclosing\n");
  EXPECT_EQ(sim.Get("exit_windows_count"), "");

  log = user("fix 8,805;\\n");
  EXPECT_EQ(log, "running\nfix 1\nshutdown\nrestart required\nclosing\n");
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 0);
  EXPECT_EQ(sim.Get("exit_windows_count"), "1");
  std::string trace = ReadFile(winport::testing::Prefix() / "receiver-sim" / "trace.log");
  EXPECT_NE(
      trace.find(" Util_ExitWindows: restart 1 requested; the simulated PC is not restarted\n"),
      std::string::npos)
      << trace;
}

// Without the control's registration, or with its library gone, the application says so and
// ends with a failure instead of running without a control.
TEST_F(DiagViewTest, AMissingRegistrationOrLibraryIsReported) {
  EXPECT_EQ(RunAndWait((BinDir() / "diagview").string() + " --headless"), 1u);
  ASSERT_EQ(RunAndWait((BinDir() / "vitalis-host").string() + " --register"), 0u);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT,
                          "CLSID\\{1AC65FCB-1533-11D3-9404-0000C04F0ADC}\\InprocServer32", 0,
                          KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  const char missing[] = "/nonexistent/libvitalis.so";
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(missing), sizeof missing);
  RegCloseKey(key);
  EXPECT_EQ(RunAndWait((BinDir() / "diagview").string() + " --headless"), 1u);
  EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "DIAG_APP_EXISTS"), nullptr);
}

}  // namespace
