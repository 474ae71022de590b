// The driver statistics test against the simulated receiver, the registry and a report file.
#include "driver/VesddTest.h"

#include <gtest/gtest.h>
#include <winport/clock.h>

#include <string>

#include "diag/TestTable.h"
#include "driver/DriverFixture_testing.h"

namespace {

using namespace vitalis_testing;

class CTestVesdd : public CVesddTest {
 public:
  using CVesddTest::CheckStat;
  using CVesddTest::CVesddTest;
  using CVesddTest::m_dwAdapterType;
  using CVesddTest::m_dwPlatformType;
  using CVesddTest::m_pStats;
};

// The monitored stat of that name, or null.
VESDD_STAT* Find(CTestVesdd& test, const char* name) {
  for (DWORD i = 0; i < test.GetStatCount(); ++i)
    if (std::string(test.m_pStats[i].szName) == name) return &test.m_pStats[i];
  return nullptr;
}

class VesddTestTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    Prepare(m_Store);
    m_Store.ReadBinData();
    CreateKey(kDrvtKey);
  }

  void SetStat(const char* name, const std::string& text) { SetText(kDrvtKey, name, text); }

  // A test set up as the tuning thread sets it up.
  void Start(CTestVesdd& test) {
    test.Initialize();
    test.InitVesdd(&m_Vesdd, m_dwChannel);
  }

  std::string Report() { return Read(m_Store.m_szCurrentPath); }

  CTestStore m_Store;
  CDiagnostics m_Diagnostics{&m_Store};
};

TEST_F(VesddTestTest, StatValuesParsedOverTheDefaults) {
  // Any case names the stat; the keyword may sit anywhere in its token, in any order.
  SetStat("crcerror", "Enabled=1");
  SetStat("Reset", " xTime=5,Dep=1 ,Enabled=1,Thresh=0");
  // Not a stat, or not text: skipped.
  SetStat("ReportToUser", "Enabled=1");
  SetDword(kDrvtKey, "LOWONBUFFERS", 1);
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  ASSERT_EQ(test.GetStatCount(), 2u);
  const VESDD_STAT* crc = Find(test, "CRCERROR");
  const VESDD_STAT* reset = Find(test, "RESET");
  ASSERT_TRUE(crc != nullptr && reset != nullptr);
  EXPECT_EQ(crc->dwPeriod, 15u);
  EXPECT_EQ(crc->dwThreshold, 50u);
  EXPECT_FALSE(crc->bDependency);
  EXPECT_EQ(crc->tLastCheck, 0);
  EXPECT_TRUE(crc->bLastResult);
  EXPECT_EQ(reset->dwPeriod, 5u);
  EXPECT_EQ(reset->dwThreshold, 0u);
  EXPECT_TRUE(reset->bDependency);
  EXPECT_EQ(test.m_dwPlatformType, 4u);
  EXPECT_EQ(test.m_dwAdapterType, 2u);
}

TEST_F(VesddTestTest, BadStatValuesKeepDefaultsOrDropTheStat) {
  // An unknown keyword invalidates the whole value.
  SetStat("CRCERROR", "Enabled=1,Colour=3");
  // Numbers that are missing, not numbers or negative leave the defaults in place.
  SetStat("RESET", "Enabled=1,Time=,Thresh=abc,Dep=1x,Time=-5,Thresh=99999999999");
  // Longer than the enumeration's buffer: skipped, and the other values are still read.
  SetStat("LOWONBUFFERS", "Enabled=1,Time=" + std::string(400, '1'));
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  ASSERT_EQ(test.GetStatCount(), 1u);
  const VESDD_STAT* reset = test.GetStat(0);
  EXPECT_STREQ(reset->szName, "RESET");
  EXPECT_EQ(reset->dwPeriod, 60u);
  EXPECT_EQ(reset->dwThreshold, 2u);
  EXPECT_FALSE(reset->bDependency);
}

TEST_F(VesddTestTest, DisabledValueSetsFoundFlagSoEnabledDefaultStaysOut) {
  VESDD_STAT* defaults = GetDefaultVesddStats();
  // Were the defaults enabled, each would be monitored without a registry value...
  for (DWORD i = 0; i < VESDD_STAT_COUNT; ++i) defaults[i].bEnabled = TRUE;
  // ...except one the registry disables, and one whose filter names another platform.
  defaults[0].dwPlatform = 3;
  SetStat("RESET", "Enabled=0");
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  EXPECT_TRUE(defaults[1].bFound);
  EXPECT_FALSE(defaults[2].bFound);
  ASSERT_EQ(test.GetStatCount(), 1u);
  EXPECT_STREQ(test.GetStat(0)->szName, "CRCERROR");
  EXPECT_EQ(test.GetStat(0)->dwThreshold, 50u);

  // A stat value whose default filters it out is dropped and marks the default found.
  SetStat("LOWONBUFFERS", "Enabled=1");
  test.InitFromRegistry();
  EXPECT_TRUE(defaults[0].bFound);
  EXPECT_EQ(test.GetStatCount(), 1u);
  for (DWORD i = 0; i < VESDD_STAT_COUNT; ++i) defaults[i].bEnabled = FALSE;
  defaults[0].dwPlatform = VESDD_ANY_TYPE;
}

TEST_F(VesddTestTest, NoDrvtKeyMonitorsNothingAndPasses) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDrvtKey);
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  EXPECT_EQ(test.GetStatCount(), 0u);
  EXPECT_EQ(test.GetStat(0), nullptr);
  EXPECT_TRUE(test.PerformStatsCheck());
  test.ResetVesddState();

  // An unusable driver interface fails the pass.
  CTestVesdd unbound(&m_Diagnostics);
  unbound.InitVesdd(nullptr, 1);
  EXPECT_FALSE(unbound.PerformStatsCheck());
  m_Vesdd.Unload();
  EXPECT_FALSE(test.PerformStatsCheck());
}

TEST_F(VesddTestTest, CheckStatAbsoluteAndPerByteRules) {
  SetStat("CRCERROR", "Enabled=1,Thresh=50");
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  ASSERT_EQ(test.GetStatCount(), 1u);
  VESDD_STAT& s = test.m_pStats[0];

  // Absolute: the first check compares the whole value.
  EXPECT_TRUE(test.CheckStat(50, 0, 0));
  EXPECT_FALSE(test.CheckStat(51, 0, 0));
  EXPECT_FALSE(s.bLastResult);
  // A counter that went back (driver restarted) counts its distance: 100 -> 40 is 60.
  s.dwLastValue = 100;
  EXPECT_FALSE(test.CheckStat(40, 0, 0));
  s.dwThreshold = 60;
  EXPECT_TRUE(test.CheckStat(40, 0, 0));
  EXPECT_TRUE(s.bLastResult);

  // Per byte received, in whole units.
  s.bDependency = TRUE;
  s.dwThreshold = 1;
  s.dwLastValue = 0;
  s.dwLastBytes = 0;
  EXPECT_FALSE(test.CheckStat(1000, 0, 500));  // 2 per byte
  EXPECT_TRUE(test.CheckStat(1000, 0, 3000));  // 0 per byte
  EXPECT_TRUE(test.CheckStat(1000000, 0, 0));  // no bytes: passed
  s.dwLastBytes = 5000;
  EXPECT_FALSE(test.CheckStat(1000, 0, 4500));  // bytes went back 500
  s.dwThreshold = 0;
  EXPECT_TRUE(test.CheckStat(1000000, 0, 1));  // threshold 0 with dependency: passed
}

TEST_F(VesddTestTest, CheckStatAtTheCounterExtremes) {
  SetStat("CRCERROR", "Enabled=1");
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  VESDD_STAT& s = test.m_pStats[0];
  struct Case {
    DWORD last, value, magnitude;
  } cases[] = {
      {0x80000000u, 0, 0x80000000u},  // difference -2^31
      {0, 0x80000000u, 0x80000000u},  // difference 2^31, as a signed number -2^31
      {0x7FFFFFFFu, 0x80000000u, 1}, {0xFFFFFFFFu, 0, 1},  // wrapped forward
      {0, 0xFFFFFFFFu, 1},                                 // wrapped back
      {0x80000001u, 0, 0x7FFFFFFFu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.last << " -> " << c.value);
    s.bDependency = FALSE;
    s.dwThreshold = c.magnitude - 1;
    s.dwLastValue = c.last;
    EXPECT_FALSE(test.CheckStat(c.value, 0, 0));
    s.dwThreshold = c.magnitude;
    EXPECT_TRUE(test.CheckStat(c.value, 0, 0));
    // The bytes follow the same rule: as many errors as bytes is one per byte.
    s.bDependency = TRUE;
    s.dwThreshold = 1;
    s.dwLastValue = 0;
    s.dwLastBytes = c.last;
    EXPECT_TRUE(test.CheckStat(c.magnitude, 0, c.value));
    if (c.magnitude == 1) {
      s.dwLastValue = 0;
      EXPECT_FALSE(test.CheckStat(2, 0, c.value));
    }
  }
}

TEST_F(VesddTestTest, CrcFailureGoesToStatusRegistryAndReport) {
  SetStat("CRCERROR", "Enabled=1,Time=0");
  SetStat("RESET", "Enabled=1,Time=0,Thresh=2");
  SetText(kDrvtKey, "TestStr", "left from the last start");
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  DWORD type = 0;
  EXPECT_EQ(RawValue(kDrvtKey, "TestStr", &type), "(none)");

  // Quiet counters: nothing is written.
  EXPECT_TRUE(test.PerformStatsCheck());
  EXPECT_EQ(RawValue(kDrvtKey, "TestStr", &type), "(none)");
  EXPECT_EQ(Report().find("DRVT_TEST"), std::string::npos);

  Sim().Set("crc_errors", 51);
  Sim().Set("reset_count", 3);
  winport::AdvanceClock(1);
  EXPECT_FALSE(test.PerformStatsCheck());
  EXPECT_EQ(Status(DIAGTEST_DRVT), 300u);
  // The registry text holds only the CRC token, in a zero-padded 500-byte value.
  std::string value = RawValue(kDrvtKey, "TestStr", &type);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(value, "DTS_CRCERROR," + std::string(487, '\0'));
  // The time is the asctime text of the UTC time (the clock runs on during the test).
  const std::string head = "[DRVT_TEST]\r\n0001time=Sun Dec 06 04:2";
  std::string text = Report();
  std::size_t at = text.find(head);
  ASSERT_NE(at, std::string::npos) << text;
  // The minutes' last digit and the seconds ("2:01 "), then the year and the tokens.
  EXPECT_EQ(text.substr(at + head.size() + 5, 46),
            "2026\r\n0001FailedTest=DTS_CRCERROR,DTS_RESET,\r\n")
      << text;
}

TEST_F(VesddTestTest, ResetFailureAloneReachesOnlyTheReport) {
  SetStat("RESET", "Enabled=1,Time=0,Thresh=2");
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  Sim().Set("reset_count", 3);
  winport::AdvanceClock(1);
  EXPECT_TRUE(test.PerformStatsCheck());
  EXPECT_EQ(Status(DIAGTEST_DRVT), 0u);
  std::string text;
  ASSERT_TRUE(GetText(kDrvtKey, "TestStr", &text));
  EXPECT_EQ(text, "");
  EXPECT_NE(Report().find("0001FailedTest=DTS_RESET,\r\n"), std::string::npos) << Report();
}

TEST_F(VesddTestTest, PeriodsOnTheClockAndOnlyDueStatsGiveTokens) {
  SetStat("RESET", "Enabled=1,Time=1,Thresh=2");
  SetStat("CRCERROR", "Enabled=1,Time=0,Thresh=5");
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  auto stat = [&](const char* name) { return Find(test, name); };
  ASSERT_TRUE(stat("RESET") != nullptr && stat("CRCERROR") != nullptr);

  // First pass: both are due; the reset counter fails.
  Sim().Set("reset_count", 10);
  EXPECT_TRUE(test.PerformStatsCheck());
  std::time_t resetChecked = stat("RESET")->tLastCheck;
  EXPECT_NEAR(static_cast<double>(resetChecked), static_cast<double>(winport::Now()), 5);
  // A period of 0 waits until the second of the last check is over. (The clock runs on, so
  // the last check is put a little ahead of it.)
  stat("CRCERROR")->tLastCheck = winport::Now() + 5;
  Sim().Set("crc_errors", 100);
  EXPECT_TRUE(test.PerformStatsCheck());
  EXPECT_EQ(stat("CRCERROR")->dwLastValue, 0u);
  // Later, CRC errors are due and fail; the failed reset stat is not due and gives no token
  // to this pass.
  winport::AdvanceClock(10);
  EXPECT_FALSE(test.PerformStatsCheck());
  EXPECT_EQ(stat("CRCERROR")->dwLastValue, 100u);
  EXPECT_EQ(stat("RESET")->tLastCheck, resetChecked);
  EXPECT_NE(Report().find("0001FailedTest=DTS_RESET,\r\n"), std::string::npos) << Report();
  EXPECT_NE(Report().find("0002FailedTest=DTS_CRCERROR,\r\n"), std::string::npos) << Report();
  // A one-minute period: not due within the minute, due after it.
  stat("RESET")->tLastCheck = winport::Now() - 50;
  test.PerformStatsCheck();
  EXPECT_EQ(stat("RESET")->dwLastValue, 10u);
  Sim().Set("reset_count", 11);
  stat("RESET")->tLastCheck = winport::Now() - 70;
  test.PerformStatsCheck();
  EXPECT_EQ(stat("RESET")->dwLastValue, 11u);
}

TEST_F(VesddTestTest, UnreadableCounterPassesAndIsRetriedAndResetStartsFromZero) {
  SetStat("CRCERROR", "Enabled=1,Time=30,Thresh=5");
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  Sim().Set("crc_errors", 100);
  Sim().Set("fail", "VesddGetStats");
  EXPECT_TRUE(test.PerformStatsCheck());
  EXPECT_EQ(test.GetStat(0)->tLastCheck, 0);  // due again at the next pass
  Sim().Set("fail", "");
  EXPECT_FALSE(test.PerformStatsCheck());
  EXPECT_NE(test.GetStat(0)->tLastCheck, 0);
  EXPECT_EQ(test.GetStat(0)->dwLastValue, 100u);
  // Within the period, nothing is checked; after a reset, everything is, from zero.
  EXPECT_TRUE(test.PerformStatsCheck());
  test.ResetVesddState();
  EXPECT_EQ(test.GetStat(0)->tLastCheck, 0);
  EXPECT_TRUE(test.GetStat(0)->bLastResult);
  EXPECT_FALSE(test.PerformStatsCheck());
}

TEST_F(VesddTestTest, LowOnBuffersPerByte) {
  SetStat("LOWONBUFFERS", "Enabled=1,Time=0,Thresh=1,Dep=1");
  CTestVesdd test(&m_Diagnostics);
  Start(test);
  Sim().Set("low_on_buffers", 1000);
  Sim().Set("bytes_received", 3000);
  EXPECT_TRUE(test.PerformStatsCheck());
  winport::AdvanceClock(1);
  Sim().Set("low_on_buffers", 2000);
  Sim().Set("bytes_received", 3500);
  EXPECT_TRUE(test.PerformStatsCheck());  // not a CRC failure: the pass still succeeds
  EXPECT_NE(Report().find("0001FailedTest=DTS_LOWONBUFFERS,\r\n"), std::string::npos) << Report();
  EXPECT_EQ(Status(DIAGTEST_DRVT), 0u);
}

}  // namespace
