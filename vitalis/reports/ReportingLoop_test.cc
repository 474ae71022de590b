// The whole reporting loop with real processes: the module in vitalis-host, navigator-sim
// dialling on request and hr-server receiving, the module's clock moved by WINPORT_TIME_OFFSET
// to the reporting minute of a day whose report is due.
#include <winport/registry.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "reports/ReportsFixture_testing.h"

namespace {

namespace fs = std::filesystem;
using vitalis_testing::kHR;
using vitalis_testing::SetDword;
using winport::testing::Process;

std::string Offset(std::time_t moment) {
  return "WINPORT_TIME_OFFSET=" + std::to_string(moment - std::time(nullptr));
}

TEST(ReportingLoop, ReportIsWrittenAskedForUploadedStoredAndDeleted) {
  setenv("TZ", "UTC", 1);
  tzset();
  HrServer server({});
  ASSERT_NE(server.Port(), 0);
  // Minute 59 of an hour eleven days on: report files made now are older than MaxAge then.
  const std::time_t target = std::time(nullptr) / 3600 * 3600 + 11 * 86400 + 59 * 60;
  SetDword(kHR, "HREnabled", 1);
  SetDword(kHR, "HRSiteIDEnabled", 1);
  SetDword(kHR, "HRServEnabled", 1);
  SetDword(kHR, "ConfigTestEnable", 0);
  SetDword(kHR, "TimerTick", 500);
  SetDword(kHR, "TxMode", 0);
  vitalis_testing::SetText(kHR, "HRServerIPAddress", "127.0.0.1");
  SetDword(kHR, "HRServerPort", static_cast<DWORD>(server.Port()));
  SetDword(kHR, "ReportingHour", static_cast<DWORD>(winport::UtcTime(target).tm_hour));

  {
    // A first run a day and an hour earlier begins the statistics period.
    Process first({"vitalis-host"}, {"TZ=UTC", Offset(target - 25 * 3600)});
    ASSERT_EQ(first.WaitForLine("started"), "started");
    EXPECT_EQ(first.Kill(SIGTERM), 0);
  }
  const fs::path reports = winport::HostPath("c:\\Vitalis");
  for (auto& e : fs::directory_iterator(reports))
    if (e.path().filename().string().rfind("HR", 0) == 0) fs::remove(e.path());

  Process navigator({"navigator-sim", "--connect", "--dial-ms", "50"});
  ASSERT_FALSE(navigator.WaitForLine("ready").empty());
  Process host({"vitalis-host"}, {"TZ=UTC", Offset(target)});
  ASSERT_EQ(host.WaitForLine("started"), "started");

  EXPECT_EQ(navigator.WaitForLine("WM_CanSendHealthReport"), "WM_CanSendHealthReport");
  std::string upload = server.WaitForLine("status=");
  EXPECT_NE(upload.find("status=202"), std::string::npos) << upload;
  EXPECT_EQ(navigator.WaitForLine("WM_HealthReportSent"), "WM_HealthReportSent code=0");
  EXPECT_EQ(navigator.WaitForLine("CONN_IDLE"), "sent DAK_CONNSTATE CONN_IDLE");
  EXPECT_EQ(host.Kill(SIGTERM), 0);

  auto stored = server.Stored();
  ASSERT_EQ(stored.size(), 1u);
  std::string report = winport::testing::ReadFile(stored[0]);
  EXPECT_EQ(report.rfind("[Header]\r\n", 0), 0u) << report.substr(0, 40);
  EXPECT_NE(report.find("[001General]"), std::string::npos);
  for (auto& e : fs::directory_iterator(reports))
    EXPECT_NE(e.path().filename().string().rfind("HR", 0), 0u) << e.path();
}

}  // namespace
