// The whole module in vitalis-host on the simulated receiver: a state file whose period has
// run out gives a report record with the simulated driver's values at start-up.
#include <gtest/gtest.h>
#include <winport/clock.h>

#include <cstring>
#include <fstream>
#include <string>

#include "driver/SimControl_testing.h"
#include "process_testing.h"
#include "stats/StoreFixture_testing.h"

namespace {

using winport::testing::Process;

void PutU32(std::string& bytes, std::size_t offset, DWORD value) {
  std::memcpy(bytes.data() + offset, &value, 4);
}

TEST_F(StoreTest, HostWritesTheOverduePeriodAtStart) {
  winport::SetClockOffset(0);  // the host runs on the real clock
  for (const char* name : {"HREnabled", "HRSiteIDEnabled", "HRServEnabled"})
    SetHealthReport(name, 1);
  SetHealthReport("ConfigTestEnable", 0);
  SimControl sim;
  sim.Set("site_id", "SITE0042");
  sim.Set("serial", "A12345");
  sim.Set("heartbeat", 5000);

  // A period that ran out an hour ago, with some deliveries counted.
  std::string bytes(4424, '\0');
  PutU32(bytes, 8, static_cast<DWORD>(winport::Now() - 25 * 3600));
  std::memcpy(bytes.data() + 12, "HR2026120100.ini", 16);
  PutU32(bytes, 32, 7);
  PutU32(bytes, 4404, 5);
  PutU32(bytes, 4408, 3);
  std::ofstream(Host("c:\\Orbilink\\Vitalis\\vitalis.bin"), std::ios::binary) << bytes;

  // The host says "started" once the module's start-up, the overdue report included, is done.
  Process host({"vitalis-host"});
  EXPECT_EQ(host.WaitForLine("started"), "started");
  std::string report = Read("c:\\Orbilink\\Vitalis\\HR2026120100.ini");
  EXPECT_EQ(host.Kill(SIGTERM), 0);

  EXPECT_NE(report.find("HRTime007="), std::string::npos) << report;
  EXPECT_NE(report.find(",SiteID,ServiceSpecific."), std::string::npos);
  EXPECT_NE(report.find("[007General]\r\nSiteID=SITE0042\r\n"), std::string::npos);
  EXPECT_NE(report.find("Serial No=A12345\r\n"), std::string::npos);
  EXPECT_NE(report.find("VesddStats0001=HeartBeat,5"), std::string::npos);
  EXPECT_NE(report.find("VesddStats0012=Driver Version,4.10.2195\r\n"), std::string::npos);
  EXPECT_NE(report.find("[007PD Statistics]\r\nAttempts=5\r\nFailures=2\r\nSuccess=3\r\n"),
            std::string::npos);

  // The stop saved the new period: next record number, counts cleared, period running.
  std::string saved = Read("c:\\Orbilink\\Vitalis\\vitalis.bin");
  ASSERT_EQ(saved.size(), 4424u);
  DWORD counter, attempts, periodStart;
  std::memcpy(&counter, saved.data() + 32, 4);
  std::memcpy(&attempts, saved.data() + 4404, 4);
  std::memcpy(&periodStart, saved.data() + 8, 4);
  EXPECT_EQ(counter, 8u);
  EXPECT_EQ(attempts, 0u);
  EXPECT_NEAR(periodStart, winport::Now(), 60);
}

}  // namespace
