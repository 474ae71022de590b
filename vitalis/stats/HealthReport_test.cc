// The statistics generator on the simulated receiver: signal samples, usage messages and the
// generator thread's report record.
#include "stats/HealthReport.h"

#include <gtest/gtest.h>
#include <winport/clock.h>
#include <winport/sync.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "driver/SimControl_testing.h"
#include "driver/VESDDInterface.h"
#include "stats/StoreFixture_testing.h"

namespace {

namespace fs = std::filesystem;

class HealthReportTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    sim = std::make_unique<SimControl>();
    sim->Set("signal_wander", 0);
    ASSERT_TRUE(vesdd.Load());
    ASSERT_TRUE(vesdd.OpenChannel(1, &channel));
  }

  void Start(BOOL siteId, BOOL service) {
    Prepare(store, siteId, service);
    store.InitVesdd(&vesdd, channel);
    store.ReadBinData();
    generator.InitVesdd(&vesdd, channel);
  }

  static std::vector<BYTE> PDMessage(DWORD status, DWORD size) {
    std::vector<BYTE> message(584, 0);
    message[0] = 2;
    std::memcpy(&message[4 + 8], &status, 4);
    std::memcpy(&message[4 + 576], &size, 4);
    return message;
  }

  static std::vector<BYTE> ZNMessage(const std::string& number, DWORD status) {
    std::vector<BYTE> message(264, 0);
    message[0] = 1;
    std::memcpy(&message[4], number.data(), std::min<std::size_t>(number.size(), 256));
    std::memcpy(&message[260], &status, 4);
    return message;
  }

  std::unique_ptr<SimControl> sim;
  CVESDDInterface vesdd;
  DWORD channel = 0;
  CTestStore store;
  CHealthReport generator{&store};
};

TEST_F(HealthReportTest, SignalSamplesOnEveryTick) {
  Start(FALSE, FALSE);
  sim->Set("signal_drop", 1);
  generator.OnTimer();
  EXPECT_EQ(store.m_Sqf.dwAcquisitionLoss, 1u);
  EXPECT_EQ(store.m_Sqf.dwBucket[0], 1u);
  sim->Set("signal_drop", 0);
  sim->Set("signal_level", 95);
  generator.OnTimer();
  sim->Set("signal_level", 140);
  generator.OnTimer();
  EXPECT_EQ(store.m_Sqf.dwAcquisitionLoss, 1u);
  EXPECT_EQ(store.m_Sqf.dwBucket[5], 1u);
  EXPECT_EQ(store.m_Sqf.dwBucket[10], 1u);
  sim->Set("fail", "VesddGetSatelliteStatus");
  generator.OnTimer();
  EXPECT_EQ(store.m_Sqf.dwBucket[0] + store.m_Sqf.dwBucket[5] + store.m_Sqf.dwBucket[10], 3u);
  EXPECT_FALSE(generator.IsStarted());  // the period has not run out
}

TEST_F(HealthReportTest, UsageMessages) {
  Start(FALSE, TRUE);
  generator.PD(PDMessage(5, 2047).data());
  EXPECT_EQ(store.m_PD.ullKilobytes, 1u);
  EXPECT_EQ(store.m_PD.dwAttempts, 1u);
  EXPECT_EQ(store.m_PD.dwSuccess, 1u);
  // A failure with site-ID statistics off is counted but leaves no record.
  generator.PD(PDMessage(7, 5000).data());
  EXPECT_EQ(store.m_PD.dwAttempts, 2u);
  EXPECT_EQ(store.m_PD.dwSuccess, 1u);
  EXPECT_EQ(store.m_PD.ullKilobytes, 1u);
  EXPECT_TRUE(fs::is_empty(ReportDir()));
  for (DWORD status : {0u, 3u, 8u, 14u, 0xFFFFFFFFu}) generator.PD(PDMessage(status, 4096).data());
  EXPECT_EQ(store.m_PD.dwAttempts, 2u);

  EXPECT_TRUE(generator.ZNDialout(ZNMessage("5551234", 0).data()));
  EXPECT_TRUE(generator.ZNDialout(ZNMessage("5551234", 1).data()));
  EXPECT_FALSE(generator.ZNDialout(ZNMessage("5551234", 2).data()));
  // 256 bytes with no terminator: the node keeps 19 characters.
  EXPECT_TRUE(generator.ZNDialout(ZNMessage(std::string(256, '9'), 1).data()));
  ASSERT_EQ(store.m_ZnList.Count(), 2u);
  ZN_NODE longest = store.m_ZnList.PopFront();
  EXPECT_EQ(std::string(longest.szPhoneNumber), std::string(19, '9'));
  ZN_NODE node = store.m_ZnList.PopFront();
  EXPECT_STREQ(node.szPhoneNumber, "5551234");
  EXPECT_EQ(node.dwBusy, 1u);
  EXPECT_EQ(node.dwAttempts, 1u);
  // Line breaks from the sender become blanks.
  EXPECT_TRUE(generator.ZNDialout(ZNMessage("555\r\n[x]", 1).data()));
  EXPECT_STREQ(store.m_ZnList.PopFront().szPhoneNumber, "555  [x]");

  BYTE running[12] = {0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(generator.RunMinutes(running));
  EXPECT_EQ(store.m_dwRunStart, 0x10u);
  running[8] = 1;
  EXPECT_TRUE(generator.RunMinutes(running));
  EXPECT_EQ(store.m_dwRunStop, 0x10u);
  running[8] = 2;
  EXPECT_FALSE(generator.RunMinutes(running));

  BYTE news[32] = {3};
  news[8] = 7;
  news[12] = 1;  // 2^32 + 7 megabytes
  news[16] = 1;
  news[28] = 4;
  generator.Newscast(news);
  generator.Newscast(news);
  EXPECT_EQ(store.m_Newscast.ullPkgMbytesRead, 2 * 0x100000007ull);
  EXPECT_EQ(store.m_Newscast.dwIncompleteLMPCount, 2u);
  EXPECT_EQ(store.m_Newscast.dwArticlesRead, 8u);
}

TEST_F(HealthReportTest, FailureRecordWithSiteIdStatistics) {
  Start(TRUE, FALSE);
  generator.PD(PDMessage(7, 0).data());
  std::string text = Read(store.m_szCurrentPath);
  EXPECT_NE(text.find("001-Current State=SFXFDB_FILE_LOAD_FAILED"), std::string::npos);
}

TEST_F(HealthReportTest, GeneratorThreadWritesTheRecordAndStartsAPeriod) {
  // The receiver was switched on at the test's start; the clock runs on from there, so the
  // first reading is 1000 plus 10 for every second that passed before it was taken.
  sim->Set("epoch", static_cast<long long>(kNow));
  sim->Set("heartbeat", 1000);
  sim->Set("heartbeat_rate", 10);
  sim->Set("site_id", "SITE0042");
  sim->Set("serial", "A12345");
  Start(TRUE, TRUE);
  const DWORD first = store.m_VesddLatest.dwHeartBeat;  // the first reading at start
  EXPECT_GE(first, 1000u);
  EXPECT_LE(first, 1000u + 10 * static_cast<DWORD>(winport::Now() - kNow));
  EXPECT_EQ(first % 10, 0u);
  store.m_VesddBase = store.m_VesddLatest;
  generator.PD(PDMessage(5, 10240).data());

  winport::AdvanceClock(24 * 3600);
  std::string report = store.m_szCurrentPath;
  {
    // While the thread waits for the store, a second tick does not start another one.
    EnterCriticalSection(&store.m_csLock);
    generator.OnTimer();
    ASSERT_TRUE(generator.IsStarted());
    EXPECT_FALSE(generator.GeneratePeriodicStatistics());
    LeaveCriticalSection(&store.m_csLock);
  }
  ASSERT_EQ(WaitForSingleObject(generator.GetThreadHandle(), 20000), WAIT_OBJECT_0);

  std::string text = Read(report);
  EXPECT_NE(text.find("SiteID=SITE0042\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Serial No=A12345\r\n"), std::string::npos);
  // 24 hours at 10 a second on top of the base reading.
  EXPECT_NE(text.find("VesddStats0001=HeartBeat,864"), std::string::npos);
  EXPECT_NE(text.find("VesddStats0012=Driver Version,4.10.2195\r\n"), std::string::npos);
  EXPECT_NE(text.find("DriverOpMode=DVB\r\n"), std::string::npos);
  EXPECT_NE(text.find("Address0001=Bytes 1048576\n"), std::string::npos);
  EXPECT_NE(text.find("Kilobytes=10\r\n"), std::string::npos);
  // The period starts again, from the reading just reported, and is saved.
  EXPECT_EQ(store.m_PD.dwAttempts, 0u);
  EXPECT_GE(store.m_VesddBase.dwHeartBeat, first + 864000u);
  EXPECT_EQ(store.m_dwReportCounter, 2u);
  EXPECT_TRUE(fs::exists(ReportDir() + "/vitalis.bin"));
  EXPECT_FALSE(store.HasNewPeriodStarted());
}

TEST_F(HealthReportTest, UnwritableReportKeepsThePeriod) {
  Start(FALSE, TRUE);
  generator.PD(PDMessage(5, 4096).data());
  fs::remove_all(ReportDir());
  std::ofstream(ReportDir()) << "not a directory";
  winport::AdvanceClock(24 * 3600);
  generator.OnTimer();
  ASSERT_EQ(WaitForSingleObject(generator.GetThreadHandle(), 20000), WAIT_OBJECT_0);
  EXPECT_EQ(store.m_PD.dwAttempts, 1u);
  EXPECT_EQ(store.m_PD.ullKilobytes, 4u);
  EXPECT_EQ(store.m_dwReportCounter, 1u);

  // The period stays over, so the next tick writes the record once the directory is back.
  fs::remove(ReportDir());
  ASSERT_TRUE(CreateDirectoryA("c:\\Orbilink\\Vitalis", nullptr));
  generator.OnTimer();
  ASSERT_EQ(WaitForSingleObject(generator.GetThreadHandle(), 20000), WAIT_OBJECT_0);
  EXPECT_EQ(store.m_PD.dwAttempts, 0u);
  EXPECT_EQ(store.m_dwReportCounter, 2u);
}

TEST_F(HealthReportTest, ConnectionSharingReportedWhenItChanges) {
  Start(FALSE, FALSE);
  DWORD flags = 99;
  EXPECT_FALSE(store.IsICSConfigurationChanged(&flags));  // off and never reported
  EXPECT_EQ(flags, 0u);
  sim->Set("ics_flags", 0x5);
  EXPECT_TRUE(store.IsICSConfigurationChanged(&flags));
  EXPECT_EQ(flags, 0x5u);
  EXPECT_FALSE(store.IsICSConfigurationChanged(&flags));  // reported already
  store.WriteHRRecordToINI();
  sim->Set("ics_flags", 0x3);
  store.WriteHRRecordToINI();
  std::string text = Read(store.m_szCurrentPath);
  EXPECT_EQ(text.find("[001ICSInfo]"), std::string::npos);
  EXPECT_NE(text.find("[002ICSInfo]\r\nICSInstalled=Yes\r\nICS Shared With ORB=Yes\r\n"
                      "ICS Bound With ORB=No\r\nICS Mapping Configured With ORB=No\r\n"),
            std::string::npos)
      << text;
}

TEST_F(HealthReportTest, SiteIdFromTheDriver) {
  Start(FALSE, FALSE);
  char site[CReportStore::SITEID_SIZE] = {};
  store.GetSiteID(site);
  EXPECT_STREQ(site, "SITE0042");
  sim->Set("fail", "VesddGetSiteID");
  store.GetSiteID(site);
  EXPECT_STREQ(site, "N.A.");
}

TEST(HealthReportNoDriver, NoSamplesAndNoDriverCounters) {
  CTestStore store;
  store.SetEnableType(FALSE, FALSE, TRUE);
  CHealthReport generator(&store);
  generator.InitVesdd(nullptr, 0);
  store.m_dwPeriodStart = static_cast<DWORD>(winport::Now());
  generator.OnTimer();
  EXPECT_EQ(store.m_Sqf.dwBucket[0], 0u);
  EXPECT_STREQ(store.m_VesddLatest.szSiteID, "N.A.");
}

}  // namespace
