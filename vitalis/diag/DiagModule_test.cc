// The diagnostics inside the running module: the start-up configuration tests decide the start
// result, and a failure starts the diagnostics application.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <winport/handle.h>
#include <winport/sync.h>

#include <filesystem>
#include <string>

#include "DiagFixture_testing.h"
#include "DiagView_testing.h"
#include "core/Exports.h"
#include "driver/SimControl_testing.h"

namespace {

namespace fs = std::filesystem;
using namespace diag_testing;
using winport::testing::BinDir;
using winport::testing::ReadFile;

class DiagModuleTest : public DiagTest {
 protected:
  void SetUp() override {
    StopVitalisDLL();
    DiagTest::SetUp();
    AdoptOrphans();
    m_log = winport::testing::MakeTempDir("diagview") / "diagview.log";
    setenv("DIAGVIEW_LOG", m_log.c_str(), 1);
    ASSERT_TRUE(RegisterControlForDiagView());
    fs::path app = DriveC("Orbilink/bin/diagview.exe");
    fs::create_directories(app.parent_path());
    fs::copy_file(BinDir() / "diagview", app, fs::copy_options::overwrite_existing);
  }
  void TearDown() override {
    StopVitalisDLL();
    EXPECT_TRUE(CloseDiagApp());
    EXPECT_EQ(EndLeftoverProcesses(), 0) << "processes left running";
    unsetenv("DIAGVIEW_LOG");
    DiagTest::TearDown();
  }
  static bool AppRunning() {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "DIAG_APP_EXISTS");
    if (mutex == nullptr) return false;
    CloseHandle(mutex);
    return true;
  }
  SimControl sim;
  fs::path m_log;
};

TEST_F(DiagModuleTest, AFailedStartUpTestStartsTheApplicationAndIsTheStartResult) {
  // The receiver's driver is bound to its fallback address: not set up.
  sim.Set("ip_address", "10.0.0.2");
  EXPECT_EQ(StartVitalisDLL(), 6u);
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 807);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 0);
  ASSERT_TRUE(AppRunning());
  EXPECT_TRUE(WaitForDiagViewLine(m_log, "refresh 1: "));
  // The host stops the module that failed to start; its shutdown tells the application to close.
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "DIAG_APP_EXISTS");
  ASSERT_NE(mutex, nullptr);
  StopVitalisDLL();
  DWORD rc = WaitForSingleObject(mutex, 20000);
  EXPECT_TRUE(rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED) << rc;
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  std::string log = ReadFile(m_log);
  EXPECT_NE(log.find("refresh 1: 1=0 2=0 3=0 4=0 5=0 6=0 7=0 8=807\n"), std::string::npos) << log;
  EXPECT_NE(log.find("closing\n"), std::string::npos) << log;

  // On the healthy installation the module starts and nothing else is started.
  sim.Set("ip_address", "172.16.42.2");
  fs::remove(m_log);
  EXPECT_EQ(StartVitalisDLL(), 0u);
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 0);
  EXPECT_FALSE(AppRunning());
  EXPECT_EQ(StopVitalisDLL(), 1u);
  EXPECT_FALSE(fs::exists(m_log));
}

}  // namespace
