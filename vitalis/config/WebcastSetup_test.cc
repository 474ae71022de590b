// The webcast set-up against the stand-in utility, diagnostics-interface and setup libraries,
// whose answers and call counts live in the simulated receiver's state.
#include "config/WebcastSetup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/TraceLog.h"
#include "driver/SimControl_testing.h"
#include "testing.h"
#include "testing/Registry_testing.h"

namespace {

namespace fs = std::filesystem;

// A setting as the stand-ins left it in the state file (they count their calls there).
class WebcastTest : public ::testing::Test {
 protected:
  void SetUp() override { vitalis_testing::TraceTo(m_trace); }
  void TearDown() override { CTraceLog::Close(); }

  std::string Trace() { return winport::testing::ReadFile(m_trace); }
  bool Traced(const std::string& line) { return Trace().find(line) != std::string::npos; }

  SimControl m_sim;
  fs::path m_trace = winport::testing::MakeTempDir("trace") / "webcast.log";
};

TEST_F(WebcastTest, NotSuspendedAtStartOrStillSuspendedAtAChangeNothingIsLoaded) {
  m_sim.Set("suspend_on_load", 1);
  CWebcastSetup running;
  EXPECT_FALSE(running.IsSuspended());
  running.UpdateWebcastStatus();
  EXPECT_EQ(running.GetModuleHandle(), nullptr);
  EXPECT_TRUE(Traced("UpdateWebcastStatus- > Webcast is not suspended"));

  m_sim.Set("suspend_on_load", 0);
  CWebcastSetup suspended;
  EXPECT_TRUE(suspended.IsSuspended());
  suspended.UpdateWebcastStatus();
  suspended.UpdateWebcastStatus();
  EXPECT_TRUE(suspended.IsSuspended());
  EXPECT_EQ(suspended.GetModuleHandle(), nullptr);
  EXPECT_EQ(m_sim.Number("wcsetup_count"), 0);
  EXPECT_TRUE(Traced("UpdateWebcastStatus - >webcast status has not changed "));
}

TEST_F(WebcastTest, EnabledServiceIsSetUpOnceOnly) {
  m_sim.Set("suspend_on_load", 0);
  CWebcastSetup webcast;
  ASSERT_TRUE(webcast.IsSuspended());
  m_sim.Set("suspend_on_load", 1);
  webcast.UpdateWebcastStatus();
  EXPECT_NE(webcast.GetModuleHandle(), nullptr);  // kept loaded for the object's life
  EXPECT_TRUE(webcast.AreEntryPointsBound());
  EXPECT_EQ(m_sim.Number("wcsetup_count"), 1);
  EXPECT_EQ(m_sim.Number("proxy_service_count"), 1);
  EXPECT_TRUE(Traced("UpdateWebcastStatus - > ConfigureWebcast successful"));

  webcast.UpdateWebcastStatus();
  webcast.UpdateWebcastStatus();
  EXPECT_EQ(m_sim.Number("wcsetup_count"), 1);
  EXPECT_EQ(m_sim.Number("proxy_service_count"), 1);
}

TEST_F(WebcastTest, FailedSetUpIsNotRetried) {
  // The setup entry point refuses: the proxy service is not started.
  m_sim.Set("suspend_on_load", 0);
  m_sim.Set("wcsetup_result", 5);
  {
    CWebcastSetup webcast;
    m_sim.Set("suspend_on_load", 7);
    webcast.UpdateWebcastStatus();
    webcast.UpdateWebcastStatus();
    EXPECT_FALSE(webcast.IsSuspended());
    EXPECT_EQ(m_sim.Number("wcsetup_count"), 1);
    EXPECT_EQ(m_sim.Number("proxy_service_count"), 0);
    EXPECT_TRUE(Traced("UpdateWebcastStatus - > ConfigureWebcast failed"));
  }
  // The proxy service does not start.
  m_sim.Set("suspend_on_load", 0);
  m_sim.Set("wcsetup_result", 0);
  m_sim.Set("proxy_service", 4);
  CWebcastSetup webcast;
  m_sim.Set("suspend_on_load", 1);
  EXPECT_FALSE(webcast.ConfigureWebcast());
  EXPECT_TRUE(Traced("ConfigureWebcast - >  ORBDI_ControlProxyService returned : 4"));
}

// Last in this file: a library loaded with an entry point hidden stays so while loaded.
TEST_F(WebcastTest, EnabledWithoutAcSetupServiceFailsTheLoadOnce) {
  m_sim.Set("suspend_on_load", 0);
  m_sim.Set("missing", "acSetupService");
  CWebcastSetup webcast;
  m_sim.Set("suspend_on_load", 1);
  webcast.UpdateWebcastStatus();
  EXPECT_FALSE(webcast.AreEntryPointsBound());
  EXPECT_TRUE(Traced("ConfigureWebcast - > Error in Load for wcsetup.ocx "));
  EXPECT_EQ(m_sim.Number("wcsetup_count"), 0);
  EXPECT_EQ(m_sim.Number("proxy_service_count"), 0);

  webcast.UpdateWebcastStatus();
  std::string trace = Trace();
  EXPECT_EQ(trace.find("Error in Load"), trace.rfind("Error in Load"));  // not tried again
}

}  // namespace
