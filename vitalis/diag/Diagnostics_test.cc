// The test table, its settings in the registry, the scheduling of runs and the texts exchanged
// with the control, on the real registry, profile files and worker thread, with a moved clock.
#include "diag/Diagnostics.h"

#include <gtest/gtest.h>
#include <winport/clock.h>
#include <winport/handle.h>
#include <winport/profile.h>
#include <winport/sync.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "DiagFixture_testing.h"
#include "driver/SimControl_testing.h"
#include "driver/VESDDInterface.h"

namespace {

using namespace diag_testing;
using winport::testing::ReadFile;

class Diagnostics : public CDiagnostics {
 public:
  Diagnostics() : CDiagnostics(nullptr) {}
  using CDiagnostics::m_bDoOnIntConnUp;
  using CDiagnostics::m_dwDNSThreshold;
  using CDiagnostics::m_dwMaxAdapterError;
  using CDiagnostics::m_dwRunCounter;
  using CDiagnostics::m_Tests;
  std::vector<DWORD> Order() const {
    std::vector<DWORD> ids;
    for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i) ids.push_back(m_Tests[i].dwId);
    return ids;
  }
  // Starts nothing: records whether the IRQ test ran, and fails it on request.
  BOOL IRQTest() override {
    ++irqRuns;
    return irqPasses;
  }
  // Waits for a run started by OnTimer or PerformStartupTest to end.
  bool WaitForRun() {
    HANDLE thread = GetThreadHandle();
    return thread == nullptr || WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0;
  }
  int irqRuns = 0;
  BOOL irqPasses = TRUE;
};

class DiagnosticsTest : public DiagTest {
 protected:
  void TearDown() override {
    winport::SetNow(std::time(nullptr));
    DiagTest::TearDown();
  }
  SimControl sim;
};

// Without settings the table holds the defaults, in id order; settings of the right shape
// override them, others keep the defaults; the DNS and DRVT values have defaults of their own.
TEST_F(DiagnosticsTest, TableDefaultsAndRegistrySettings) {
  {
    Diagnostics diag;
    diag.ReadTestParams(0);
    EXPECT_EQ(diag.Order(), (std::vector<DWORD>{1, 2, 3, 4, 5, 6, 7, 8}));
    const char* names[] = {"ADP", "DNS", "DRVT", "IRQ", "PCI", "PXY", "SIG", "TCP"};
    const BOOL startUp[] = {0, 0, 0, 1, 1, 0, 0, 0};
    const BOOL proceed[] = {1, 0, 0, 1, 1, 0, 0, 0};
    for (DWORD id = 1; id <= 8; ++id) {
      DIAG_TEST_ENTRY e{};
      ASSERT_TRUE(diag.GetEntry(id, &e));
      EXPECT_STREQ(e.szTestName, names[id - 1]);
      EXPECT_EQ(e.bStartUp, startUp[id - 1]) << id;
      EXPECT_EQ(e.bProceedOnError, proceed[id - 1]) << id;
      EXPECT_EQ(e.lPriority, 0);
      EXPECT_EQ(e.lPeriodicity, 0);
      // The subkey exists now, so a missing IncludeInINIFile reads as "not included".
      EXPECT_EQ(e.bIncludeInINIFile, 0) << id;
    }
    EXPECT_EQ(diag.m_dwDNSThreshold, 8u);
    EXPECT_EQ(diag.m_bDoOnIntConnUp, 1);
    EXPECT_EQ(diag.m_dwMaxAdapterError, 3u);
    EXPECT_TRUE(Traced("Defaulting to 8 s"));
    EXPECT_TRUE(Traced("ReadDrvtErrThreshold(), unable to read value, will use default"));
  }

  SetDword(TestKey("TCPIP_Check"), "StartUp", 7);
  SetDword(TestKey("TCPIP_Check"), "Periodicity", 12);
  SetDword(TestKey("TCPIP_Check"), "ProceedOnError", 1);
  SetDword(TestKey("TCPIP_Check"), "IncludeInINIFile", 1);
  SetText(TestKey("TCPIP_Check"), "TestName", "Network");
  SetText(TestKey("Adapter_Check"), "StartUp", "1");                               // wrong type
  SetValue(TestKey("Adapter_Check"), "Periodicity", REG_BINARY, "\1\0\0\0\0", 5);  // wrong size
  SetText(TestKey("Adapter_Check"), "TestName", std::string(600, 'x'));            // too long
  SetDword(TestKey("DNSCheck"), "Periodicity", 1);  // the DNS test has none
  SetDword(TestKey("DNSCheck"), "DNSThreshHoldTime", 20);
  SetDword(TestKey("DNSCheck"), "DoOnIntConnUp", 0);
  SetDword(TestKey("DRVT"), "MaxAdapterError", 5);
  SetDword(TestKey("IRQTest"), "TestStatus", 400);
  Diagnostics diag;
  diag.ReadTestParams(0);
  DIAG_TEST_ENTRY e{};
  ASSERT_TRUE(diag.GetEntry(8, &e));
  EXPECT_EQ(e.bStartUp, 1);
  EXPECT_EQ(e.lPeriodicity, 12);
  EXPECT_EQ(e.bProceedOnError, 1);
  EXPECT_EQ(e.bIncludeInINIFile, 1);
  EXPECT_STREQ(e.szTestName, "Network");
  ASSERT_TRUE(diag.GetEntry(1, &e));
  EXPECT_EQ(e.bStartUp, 0);
  EXPECT_EQ(e.lPeriodicity, 0);
  EXPECT_STREQ(e.szTestName, "ADP");
  ASSERT_TRUE(diag.GetEntry(2, &e));
  EXPECT_EQ(e.lPeriodicity, 0);
  ASSERT_TRUE(diag.GetEntry(4, &e));
  EXPECT_EQ(e.dwTestStatus, 400u);
  EXPECT_EQ(diag.m_dwDNSThreshold, 20u);
  EXPECT_EQ(diag.m_bDoOnIntConnUp, 0);
  EXPECT_EQ(diag.m_dwMaxAdapterError, 5u);

  // Mode 2 re-reads only what the property page sets; mode 1 only the statuses.
  SetDword(TestKey("ProxyServer_Check"), "Periodicity", 3);
  SetDword(TestKey("TCPIP_Check"), "Periodicity", 1);
  SetDword(TestKey("DNSCheck"), "DoOnIntConnUp", 1);
  diag.ReadParamsOfAllTests(2);
  ASSERT_TRUE(diag.GetEntry(6, &e));
  EXPECT_EQ(e.lPeriodicity, 3);
  ASSERT_TRUE(diag.GetEntry(8, &e));
  EXPECT_EQ(e.lPeriodicity, 12);
  EXPECT_EQ(diag.m_bDoOnIntConnUp, 1);
  diag.ReadParamsOfAllTests(0);
  ASSERT_TRUE(diag.GetEntry(8, &e));
  EXPECT_EQ(e.lPeriodicity, 1);
  CDiagnostics::SetTestStatus(8, 805);
  diag.ReadTestParams(1);
  ASSERT_TRUE(diag.GetEntry(8, &e));
  EXPECT_EQ(e.dwTestStatus, 805u);
}

// Higher priorities first; equal priorities by name, where an equal name moves forward.
TEST_F(DiagnosticsTest, PrioritySortAndItsTieRule) {
  SetDword(TestKey("TCPIP_Check"), "Priority", 5);
  SetDword(TestKey("Adapter_Check"), "Priority", 5);
  SetDword(TestKey("ProxyServer_Check"), "Priority", static_cast<DWORD>(-1));
  SetText(TestKey("Multiple_RegKey_Test"), "TestName", "AAA");
  Diagnostics diag;
  diag.ReadTestParams(0);
  EXPECT_EQ(diag.Order(), (std::vector<DWORD>{1, 8, 5, 2, 3, 4, 7, 6}));
  EXPECT_EQ(diag.GetEntryPosition(8), 2);
  EXPECT_EQ(diag.GetEntryPosition(6), 8);
  EXPECT_EQ(diag.GetEntryPosition(9), 0);

  // Two tests of the same name and priority: the later one moves ahead.
  SetText(TestKey("TCPIP_Check"), "TestName", "ADP");
  diag.ReadTestParams(0);
  EXPECT_EQ(diag.Order(), (std::vector<DWORD>{8, 1, 5, 2, 3, 4, 7, 6}));
}

// A periodic test is due once more than its period has passed since it last ran, never at
// exactly the period; without a working adapter nothing is scheduled.
TEST_F(DiagnosticsTest, PeriodicTestsAreDueStrictlyAfterTheirPeriod) {
  SetDword(TestKey("TCPIP_Check"), "Periodicity", 2);
  SetDword(TestKey("DNSCheck"), "Periodicity", 1);  // ignored
  for (const char* key : {"IRQTest", "Multiple_RegKey_Test"}) SetDword(TestKey(key), "StartUp", 0);
  CVESDDInterface vesdd;
  ASSERT_TRUE(vesdd.Load());
  Diagnostics diag;
  diag.InitVesdd(&vesdd);
  diag.ReadTestParams(0);
  const std::time_t ten = 1796032800;  // 10:00:00 UTC
  winport::SetNow(ten);
  diag.OnTimer();
  EXPECT_FALSE(diag.IsStarted());

  sim.Set("adapters", "2:8");
  diag.ValidateAdapterTest(2);
  ASSERT_TRUE(diag.IsAdapterFound());
  diag.OnTimer();
  ASSERT_TRUE(diag.WaitForRun());
  DIAG_TEST_ENTRY e{};
  ASSERT_TRUE(diag.GetEntry(8, &e));
  // The clock runs on from where it was set.
  EXPECT_GE(e.dwLastRun, static_cast<DWORD>(ten));
  EXPECT_LE(e.dwLastRun, static_cast<DWORD>(winport::Now()));
  DIAG_TEST_ENTRY dns{};
  ASSERT_TRUE(diag.GetEntry(2, &dns));
  EXPECT_EQ(dns.dwLastRun, 0u);

  // Exactly the period after the last run: not due. The check counts only when the clock did
  // not pass a second while it ran.
  bool checked = false;
  for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
    ASSERT_TRUE(diag.GetEntry(8, &e));
    const std::time_t at = static_cast<std::time_t>(e.dwLastRun) + 2 * 3600;
    winport::SetNow(at);
    diag.OnTimer();
    checked = winport::Now() == at;
    if (checked) {
      EXPECT_FALSE(diag.IsStarted());
    }
    ASSERT_TRUE(diag.WaitForRun());
  }
  ASSERT_TRUE(checked);
  const DWORD last = e.dwLastRun;
  winport::SetNow(static_cast<std::time_t>(last) + 2 * 3600 + 1);
  diag.OnTimer();
  ASSERT_TRUE(diag.WaitForRun());
  ASSERT_TRUE(diag.GetEntry(8, &e));
  EXPECT_GE(e.dwLastRun, last + 2 * 3600 + 1);
}

// Tests run in table order; a failure of a test with ProceedOnError ends the run and the later
// due tests wait for the next one; the IRQ test never counts as a failure.
TEST_F(DiagnosticsTest, AFailureWithProceedOnErrorEndsTheRun) {
  SetDword(TestKey("Adapter_Check"), "StartUp", 1);
  SetDword(TestKey("Adapter_Check"), "ProceedOnError", 1);
  SetDword(TestKey("TCPIP_Check"), "StartUp", 1);
  CVESDDInterface vesdd;
  ASSERT_TRUE(vesdd.Load());
  Diagnostics diag;
  diag.InitVesdd(&vesdd);
  diag.ReadTestParams(0);
  diag.Initialize();  // the platform: Windows 2000, so the registry scan passes
  sim.Set("adapters", "2:8");
  ASSERT_EQ(diag.ValidateAdapterTest(2), 117u);
  // The adapter disappears before the run: the adapter test (first) fails.
  sim.Set("adapters", "");
  diag.irqPasses = FALSE;
  ASSERT_TRUE(diag.PerformStartupTest());
  ASSERT_TRUE(diag.WaitForRun());
  EXPECT_EQ(diag.irqRuns, 0);
  DIAG_TEST_ENTRY e{};
  ASSERT_TRUE(diag.GetEntry(8, &e));
  EXPECT_TRUE(e.bRunNow);
  EXPECT_EQ(e.dwLastRun, 0u);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 101);
  // Nothing to start: the application is not installed; the launch was tried and traced.
  EXPECT_TRUE(Traced("LaunchDiagApp, CreateProcess for DiagApp failed"));

  // Without ProceedOnError the run goes on; a failing IRQ test does not count.
  SetDword(TestKey("Adapter_Check"), "ProceedOnError", 0);
  diag.ReadParamsOfAllTests(0);
  sim.Set("adapters", "2:8");
  EXPECT_FALSE(diag.PerformStartupTest());  // the failed adapter test cleared "adapter found"
  ASSERT_EQ(diag.ValidateAdapterTest(2), 117u);
  ASSERT_TRUE(diag.PerformStartupTest());
  ASSERT_TRUE(diag.WaitForRun());
  EXPECT_EQ(diag.irqRuns, 1);
  ASSERT_TRUE(diag.GetEntry(8, &e));
  EXPECT_NE(e.dwLastRun, 0u);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 0);  // the DVB adapter is working
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 0);
}

// Each run adds "time%04d" to the local history; each test its result with the same number.
// The previous start's history becomes the backup at Initialize.
TEST_F(DiagnosticsTest, LocalHistoryKeysAndItsBackup) {
  std::filesystem::create_directories(DriveC("Orbilink/Vitalis"));
  std::ofstream(DriveC("Orbilink/Vitalis/orbidiag.bak")) << "old backup";
  std::ofstream(DriveC("Orbilink/Vitalis/orbidiag.ini")) << "[Diagnostics]\r\ntime0001=x\r\n";
  CVESDDInterface vesdd;
  ASSERT_TRUE(vesdd.Load());
  Diagnostics diag;
  diag.InitVesdd(&vesdd);
  diag.ReadTestParams(0);
  diag.Initialize();
  EXPECT_EQ(ReadFile(DriveC("Orbilink/Vitalis/orbidiag.bak")), "[Diagnostics]\r\ntime0001=x\r\n");
  EXPECT_FALSE(std::filesystem::exists(DriveC("Orbilink/Vitalis/orbidiag.ini")));
  EXPECT_EQ(StoredStatus("Adapter_Check"), 0);

  winport::SetNow(1796032800);                      // Mon Nov 30 10:00:00 2026
  ASSERT_EQ(diag.PerformConfigurationTests(), 0u);  // the simulation's default installation
  std::string ini = ReadFile(DriveC("Orbilink/Vitalis/orbidiag.ini"));
  // The clock runs on from where it was set: the seconds may have moved on a little.
  const std::string head = "[Diagnostics]\r\ntime0001=Mon Nov 30 10:00:";
  ASSERT_GT(ini.size(), head.size() + 2) << ini;
  EXPECT_EQ(ini.substr(0, head.size()), head);
  EXPECT_EQ(ini.substr(head.size() + 2),
            " 2026\r\nInstalled Adapter0001=PCIDVB\r\nNetwork Configuration0001=DTS_SUCCESS\r\n");
  // A later result of the same run replaces the earlier one.
  sim.Set("driver_error", 4);
  EXPECT_FALSE(diag.ValidateTcpIPSettings(1));
  ini = ReadFile(DriveC("Orbilink/Vitalis/orbidiag.ini"));
  EXPECT_NE(ini.find("Network Configuration0001=DTS_BINDTOPORT\r\n"), std::string::npos) << ini;
}

// The failed-test text: one "id,code;" item per failed test in table order, the DRVT tokens
// as items of their own, the DNS failure once; it never outgrows its 100 bytes.
TEST_F(DiagnosticsTest, FailedTestText) {
  Diagnostics diag;
  CDiagnostics::SetAllTestStatus(0);
  CDiagnostics::SetTestStatus(1, 117);
  CDiagnostics::SetTestStatus(2, 200);
  CDiagnostics::SetTestStatus(3, 300);
  CDiagnostics::SetTestStatus(4, 400);
  CDiagnostics::SetTestStatus(5, 1);
  CDiagnostics::SetTestStatus(7, 3);
  CDiagnostics::SetTestStatus(8, 807);
  SetText(TestKey("DRVT"), "TestStr", "DTS_LOWONBUFFERS,DTS_RESET");
  diag.ReadTestParams(1);
  char text[CDiagnostics::kFailedTextSize] = {};
  diag.GetFailedTestIDInStr(text);
  EXPECT_STREQ(text, "2,200;3,0;3,0;5,500;7,700;8,807;");
  EXPECT_EQ(StoredStatus("DNSCheck"), 0);
  EXPECT_FALSE(diag.m_bAdapterDisable);

  CDiagnostics::SetTestStatus(1, 120);
  SetText(TestKey("DRVT"), "TestStr", "301,302x,");
  diag.ReadTestParams(1);
  std::memset(text, 0, sizeof text);
  diag.GetFailedTestIDInStr(text);
  EXPECT_STREQ(text, "1,120;3,301;3,302;5,500;7,700;8,807;");
  EXPECT_TRUE(diag.m_bAdapterDisable);

  // A long token list: whole items only, up to 99 characters.
  std::string many;
  for (int i = 0; i < 40; ++i) many += "DTS_CRCERROR,";
  SetText(TestKey("DRVT"), "TestStr", many);
  std::memset(text, 0, sizeof text);
  diag.GetFailedTestIDInStr(text);
  std::string got = text;
  EXPECT_LE(got.size(), 99u);
  EXPECT_EQ(got.rfind("1,120;3,0;3,0;", 0), 0u) << got;
  EXPECT_EQ(got.back(), ';');
  EXPECT_TRUE(Traced("failed items did not fit and are left out"));
}

TEST_F(DiagnosticsTest, ParseTestKeepsKnownIdsInOrder) {
  Diagnostics diag;
  DWORD ids[16];
  EXPECT_TRUE(diag.ParseTest("4,12;7,700;x;9,1;", ids, 16));
  EXPECT_EQ(ids[0], 4u);
  EXPECT_EQ(ids[1], 7u);
  EXPECT_EQ(ids[2], 0u);
  EXPECT_TRUE(Traced("CDiagnostics::ParseTest....Invalid Test encountered == 9,1"));
  EXPECT_TRUE(Traced("GetIDFromString in valid test = x"));

  EXPECT_FALSE(diag.ParseTest("", ids, 16));
  EXPECT_EQ(ids[0], 0u);

  // Longer than 1000 bytes: only the first 1000 are read; never more ids than there is room.
  std::string text;
  while (text.size() < 3000) text += "8,807;";
  DWORD few[4];
  EXPECT_TRUE(diag.ParseTest(text.c_str(), few, 4));
  EXPECT_EQ(few[0], 8u);
  EXPECT_EQ(few[2], 8u);
  EXPECT_EQ(few[3], 0u);
  std::vector<DWORD> room(1000, 99);
  EXPECT_TRUE(diag.ParseTest(text.c_str(), room.data(), 1000));
  EXPECT_EQ(room[166], 8u);  // 1000 / 6 whole items, and a cut one ("8,8") still names 8
  EXPECT_EQ(room[167], 0u);
}

TEST_F(DiagnosticsTest, ConnectionStates) {
  Diagnostics diag;
  auto send = [&](DWORD state) {
    BYTE message[8] = {};
    std::memcpy(message + 4, &state, 4);
    diag.ChangeConnectionState(message);
  };
  send(2);
  EXPECT_EQ(diag.GetConnectionState(), 2u);
  send(7);
  EXPECT_EQ(diag.GetConnectionState(), 2u);
  EXPECT_TRUE(Traced("CDiagnostics::ChangeConnectionState: Invalid State"));
  send(1);
  EXPECT_EQ(diag.GetConnectionState(), 1u);
}

}  // namespace
