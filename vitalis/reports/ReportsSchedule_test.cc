// The reporting schedule with a moved clock: settings, the three transmission modes, the
// navigator's connection announcements and the requests posted to its window.
#include <set>

#include "reports/Reports.h"
#include "reports/ReportsFixture_testing.h"

namespace {

namespace fs = std::filesystem;
using vitalis_testing::Count;
using vitalis_testing::Has;

class ScheduleTest : public ReportsTest {
 protected:
  void SetUp() override {
    ReportsTest::SetUp();
    // 03:00 local time on a day when every report file made now is more than a month old.
    m_tHourStart = (std::time(nullptr) + 40 * 86400) / 86400 * 86400 + 3 * 3600;
    SetHealthReport("ReportingHour", 3);
    m_file = MakeReport("HR2026010101.ini", "[Report 1]\r\nA=1\r\n");
  }
  void Configure(DWORD mode) {
    SetHealthReport("TxMode", mode);
    ReportsTest::Configure();
  }
  // One tick of the module timer (15 s) at `t`.
  void TickAt(std::time_t t) {
    winport::SetNow(t);
    reports.OnTimer();
  }
  void Announce(DWORD state) {
    BYTE message[8] = {4, 0, 0, 0};
    std::memcpy(message + 4, &state, 4);
    reports.ConnectionMessage(message);
  }
  std::time_t m_tHourStart = 0;
  std::string m_file;
};

TEST_F(ScheduleTest, SettingsOutOfRangeFallBackToTheirDefaults) {
  SetHealthReport("ReportingHour", 24);
  SetText("HRServerIPAddress", "10.0.0");
  SetHealthReport("HRServerPort", 8021);
  SetHealthReport("MaxTxUnit", 0);
  SetHealthReport("ReportsTracing", 1);
  SetText("ReportsBkupDir", "sent");
  Configure(7);

  EXPECT_TRUE((std::set<UINT>{23, 0, 1, 2, 3, 4, 5}).count(reports.m_uReportingHour));
  EXPECT_STREQ(reports.m_szServerAddress, "");
  EXPECT_EQ(reports.m_dwServerPort, 8021u);
  EXPECT_EQ(reports.m_dwMaxTxUnit, 10240u);  // 0 would never get through a file
  EXPECT_EQ(reports.m_uTxMode, 0u);
  EXPECT_STREQ(reports.m_szBackupDir, "c:\\Orbilink\\Vitalis\\sent");
}

TEST_F(ScheduleTest, NormalModeAsksOnceAtTheReportingMinuteAndUploadsWhenConnected) {
  HrServer server({});
  UseServer(server.Port());
  Configure(0);
  TickAt(m_tHourStart - 15);
  EXPECT_EQ(navigator.DrainRequests(), 0);

  std::time_t askedAt = 0;
  for (std::time_t t = m_tHourStart; t < m_tHourStart + 3600 && askedAt == 0; t += 15) {
    TickAt(t);
    int requests = navigator.DrainRequests();
    ASSERT_LE(requests, 1);
    if (requests == 1) askedAt = t;
  }
  ASSERT_NE(askedAt, 0);
  EXPECT_LE(std::llabs(static_cast<long long>(askedAt - reports.m_tReportingTime)), 60);
  EXPECT_EQ(reports.m_tReportingTime % 60, 0);

  Announce(CONN_CONNECTING);
  Announce(CONN_CONNECTED);
  EXPECT_EQ(navigator.WaitForSent(), 0);
  WaitForRun();
  EXPECT_FALSE(fs::exists(m_file));
}

TEST_F(ScheduleTest, ThreeFailedConnectionsEndTheHour) {
  Configure(0);
  int requests = 0;
  for (std::time_t t = m_tHourStart; t < m_tHourStart + 3600; t += 15) {
    TickAt(t);
    if (navigator.DrainRequests() > 0) {
      ++requests;
      Announce(CONN_CONNECTING);
      Announce(CONN_IDLE);
    }
  }
  EXPECT_EQ(requests, 3);
  EXPECT_TRUE(reports.m_bHourDone);
  // Past the hour the count starts again.
  TickAt(m_tHourStart + 3600);
  EXPECT_FALSE(reports.m_bHourDone);
  EXPECT_EQ(reports.m_nConnAttempts, 0);
}

TEST_F(ScheduleTest, LocalNetworkModeUploadsOnceAnHourWithoutAsking) {
  HrServer server({});
  UseServer(server.Port());
  Configure(2);
  std::string later;
  for (std::time_t t = m_tHourStart; t < m_tHourStart + 3600; t += 15) {
    TickAt(t);
    EXPECT_EQ(navigator.DrainRequests(), 0);
    if (later.empty() && reports.m_bHourDone) {
      EXPECT_EQ(navigator.WaitForSent(), 0);
      WaitForRun();
      later = MakeReport("HR2026010102.ini", "[Report 1]\r\nB=1\r\n");
    }
  }
  ASSERT_FALSE(later.empty());
  navigator.DrainRequests();
  EXPECT_TRUE(navigator.m_Codes.empty());  // no second run in the hour
  EXPECT_FALSE(fs::exists(m_file));
  EXPECT_TRUE(fs::exists(later));
  EXPECT_EQ(server.Stored().size(), 1u);
}

TEST_F(ScheduleTest, NoScheduleModeNeverAsksButAnswersAnnouncedConnections) {
  HrServer server({});
  UseServer(server.Port());
  Configure(1);
  for (std::time_t t = m_tHourStart; t < m_tHourStart + 3600; t += 15) TickAt(t);
  EXPECT_EQ(navigator.DrainRequests(), 0);
  EXPECT_TRUE(navigator.m_Codes.empty());

  Announce(CONN_CONNECTED);
  EXPECT_EQ(navigator.WaitForSent(), 0);
  WaitForRun();
  EXPECT_FALSE(fs::exists(m_file));
  Announce(CONN_IDLE);

  // Nothing left that is old enough: the navigator is told at once.
  Announce(CONN_CONNECTED);
  EXPECT_EQ(navigator.WaitForSent(), static_cast<int>(NO_REPORT_TO_SEND));
  EXPECT_FALSE(reports.IsStarted());
  EXPECT_TRUE(Has(Trace(), "CReports::OnConnected we didn't initiate a connection"));
}

TEST_F(ScheduleTest, ConnectingAfterConnectedStopsARunningUpload) {
  HrServer server({"--reply", "none"});
  UseServer(server.Port());
  Configure(1);
  Announce(CONN_CONNECTED);
  ASSERT_FALSE(server.WaitForLine("status=none").empty());
  Announce(CONN_CONNECTING);
  EXPECT_EQ(navigator.WaitForSent(), static_cast<int>(HR_SENT_ABORTED));
  WaitForRun();
  EXPECT_TRUE(fs::exists(m_file));
}

TEST_F(ScheduleTest, UnknownStateIsKeptAndMatchesNoTransition) {
  HrServer server({});
  UseServer(server.Port());
  Configure(1);
  Announce(7);
  EXPECT_EQ(reports.m_dwConnState, 7u);
  Announce(CONN_CONNECTED);
  EXPECT_FALSE(reports.IsStarted());
  EXPECT_EQ(navigator.DrainRequests(), 0);
  EXPECT_TRUE(navigator.m_Codes.empty());
  EXPECT_TRUE(fs::exists(m_file));
  EXPECT_TRUE(Has(Trace(), "CReports::ConnectionMessage - invalid message"));
}

}  // namespace
