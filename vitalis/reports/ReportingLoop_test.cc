// The whole reporting loop with real processes: the module in vitalis-host, navigator-sim
// dialling on request and hr-server receiving, the module's clock moved by WINPORT_TIME_OFFSET
// to the reporting minute of a day whose report is due.
#include <winport/registry.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "reports/ReportsFixture_testing.h"

namespace {

namespace fs = std::filesystem;

void Set(const char* name, DWORD value) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink\\HealthReport", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
            0);
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

void SetText(const char* name, const char* text) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink\\HealthReport", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
            0);
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(std::strlen(text) + 1));
  RegCloseKey(key);
}

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
  Set("HREnabled", DWORD{1});
  Set("HRSiteIDEnabled", DWORD{1});
  Set("HRServEnabled", DWORD{1});
  Set("ConfigTestEnable", DWORD{0});
  Set("TimerTick", DWORD{500});
  Set("TxMode", DWORD{0});
  SetText("HRServerIPAddress", "127.0.0.1");
  Set("HRServerPort", static_cast<DWORD>(server.Port()));
  Set("ReportingHour", static_cast<DWORD>(winport::UtcTime(target).tm_hour));

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
