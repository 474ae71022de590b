// The DNS, proxy server and IRQ tests on the real registry, profile files and processes: the
// webcast program and the IRQ checker are the receiver stand-ins, driven by the simulation.
#include <gtest/gtest.h>
#include <winport/clock.h>
#include <winport/profile.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "DiagFixture_testing.h"
#include "diag/Diagnostics.h"
#include "driver/SimControl_testing.h"

namespace {

using namespace diag_testing;
namespace fs = std::filesystem;

class Diag : public CDiagnostics {
 public:
  Diag() : CDiagnostics(nullptr) { ReadTestParams(0); }
  using CDiagnostics::m_dwConnectionState;
  using CDiagnostics::m_dwOutsideProgramWaitMs;
  using CDiagnostics::m_dwPlatformType;
  using CDiagnostics::m_fnResolveHost;
};

class OutsideTestsTest : public DiagProgramsTest {
 protected:
  void SetUp() override {
    DiagProgramsTest::SetUp();
    m_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    SetCheckerOnPath(true);
  }
  void TearDown() override {
    // Stand-ins left waiting end now.
    sim.Set("castview_hang", "0");
    sim.Set("irq_hang", "0");
    setenv("PATH", m_path.c_str(), 1);
    winport::SetNow(std::time(nullptr));
    DiagProgramsTest::TearDown();
  }

  void SetCheckerOnPath(bool on) {
    std::string path = m_path;
    if (on) path = (BinDir().parent_path() / "receiver-path").string() + ":" + path;
    setenv("PATH", path.c_str(), 1);
  }
  static fs::path BinDir() { return winport::testing::BinDir(); }
  static std::string LocalIni(const std::string& key) {
    char value[1000] = {};
    GetPrivateProfileStringA("Diagnostics", key.c_str(), "(none)", value, sizeof value,
                             "c:\\Orbilink\\Vitalis\\orbidiag.ini");
    return value;
  }

  SimControl sim;
  std::string m_path;
};

// ---- DNS ------------------------------------------------------------------------------------

// A resolver that takes `seconds` of the module's clock.
auto Taking(long seconds, int* calls) {
  return [seconds, calls](const char*) {
    ++*calls;
    winport::AdvanceClock(seconds);
    return true;
  };
}

TEST_F(OutsideTestsTest, DnsPassesAtTheThresholdAndFailsJustOverIt) {
  SetText(TestKey("DNSCheck"), "DNSLookupName", "portal.example");
  Diag diag;
  int calls = 0;
  diag.m_fnResolveHost = Taking(9, &calls);
  // Idle: the look-up is made, yet the test passes and records nothing.
  ASSERT_TRUE(CDiagnostics::SetTestStatus(DIAGTEST_DNS, 5));
  EXPECT_TRUE(diag.DNSCheck(2, FALSE));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(StoredStatus("DNSCheck"), 5);
  EXPECT_EQ(LocalIni("DNS0000"), "(none)");

  diag.m_dwConnectionState = 2;
  diag.m_fnResolveHost = Taking(8, &calls);
  EXPECT_TRUE(diag.DNSCheck(2, FALSE));
  EXPECT_EQ(StoredStatus("DNSCheck"), 0);
  EXPECT_EQ(LocalIni("DNS0000"),
            "Resolved, Time of Resolution : 8 seconds, szHostName : portal.example");

  diag.m_fnResolveHost = Taking(9, &calls);
  EXPECT_FALSE(diag.DNSCheck(2, FALSE));
  EXPECT_EQ(StoredStatus("DNSCheck"), 202);
  EXPECT_TRUE(Traced("DNS Thresholdexceeded. Threshold is 8 s but it took 9 s"));
  DIAG_TEST_ENTRY entry{};
  ASSERT_TRUE(diag.GetEntry(DIAGTEST_DNS, &entry));
  EXPECT_EQ(entry.dwTestStatus, 202u);

  // The threshold comes from the registry.
  SetDword(TestKey("DNSCheck"), "DNSThreshHoldTime", 9);
  diag.ReadParamsOfAllTests(0);
  EXPECT_TRUE(diag.DNSCheck(2, FALSE));
}

// Through the system resolver: a name that resolves and one that never does; the test on
// connection numbers its own entries, and DoOnIntConnUp 0 turns it off.
TEST_F(OutsideTestsTest, DnsOnConnectionThroughTheSystemResolver) {
  SetText(TestKey("DNSCheck"), "DNSLookupName", "localhost");
  Diag diag;
  const BYTE connected[8] = {4, 0, 0, 0, 2, 0, 0, 0};
  diag.ChangeConnectionState(connected);
  EXPECT_EQ(StoredStatus("DNSCheck"), 0);
  EXPECT_NE(LocalIni("time0001"), "(none)");
  EXPECT_EQ(LocalIni("DNS0001").rfind("Resolved, Time of Resolution : ", 0), 0u);

  SetText(TestKey("DNSCheck"), "DNSLookupName", "no-such-host.invalid");
  diag.ChangeConnectionState(connected);
  EXPECT_EQ(StoredStatus("DNSCheck"), 201);
  EXPECT_EQ(LocalIni("DNS0002"), "Error,szHostName : no-such-host.invalid");
  // A failure on connection calls the diagnostics application (not installed here).
  EXPECT_TRUE(Traced("LaunchDiagApp, CreateProcess for DiagApp failed"));

  SetDword(TestKey("DNSCheck"), "DoOnIntConnUp", 0);
  diag.ReadParamsOfAllTests(2);
  diag.ChangeConnectionState(connected);
  EXPECT_EQ(LocalIni("DNS0003"), "(none)");
  EXPECT_TRUE(Traced("DNS test will not be performed as reg configuration for DoOnIntConnUp is 0"));
}

// ---- Proxy server ---------------------------------------------------------------------------

TEST_F(OutsideTestsTest, ProxyResultsOfTheWebcastProgramsFindings) {
  InstallWebcastProgram();
  struct Row {
    const char *load, *proxy, *installed, *config, *profile, *defbrowser;
    DWORD expected;
    BOOL running;
  } rows[] = {
      {"TRUE", "Running", "installed", "proxysettinigOK", "EXISTS", "EXISTS", 0, 1},
      {"TRUE", "Running", "installed", "proxysettinigNotOK", "EXISTS", "EXISTS", 601, 1},
      {"TRUE", "Running", "notinstalled", "proxysettinigOK", "EXISTS", "EXISTS", 602, 1},
      {"TRUE", "Stopped", "installed", "proxysettinigOK", "EXISTS", "EXISTS", 603, 0},
      {"FALSE", "Running", "installed", "proxysettinigOK", "EXISTS", "EXISTS", 604, 1},
      {"FALSE", "Stopped", "installed", "proxysettinigNotOK", "EXISTS", "EXISTS", 605, 0},
      {"FALSE", "Stopped", "installed", "proxysettinigOK", "EXISTS", "EXISTS", 0, 0},
      {"TRUE", "Running", "installed", "proxysettinigOK", "NOTEXISTS", "EXISTS", 606, 1},
      {"TRUE", "Stopped", "installed", "proxysettinigOK", "NOTEXISTS", "NOTEXISTS", 607, 0},
      // Unexpected values and missing keys.
      {"yes", "Running", "installed", "proxysettinigOK", "EXISTS", "EXISTS", 10000, 0},
      {"", "Running", "installed", "proxysettinigOK", "EXISTS", "EXISTS", 10000, 0},
      {"TRUE", "", "installed", "proxysettinigOK", "EXISTS", "EXISTS", 10000, 0},
      {"TRUE", "Running", "maybe", "proxysettinigOK", "EXISTS", "EXISTS", 10000, 1},
      {"TRUE", "Running", "installed", "", "EXISTS", "EXISTS", 10000, 1},
  };
  Diag diag;
  for (const Row& r : rows) {
    fs::remove(DriveC("Orbilink/webpkg/ProxyTest.ini"));
    sim.Set("proxy_load_on_startup", r.load);
    sim.Set("proxy_running", r.proxy);
    sim.Set("browsers_installed", r.installed);
    sim.Set("browsers_config", r.config);
    sim.Set("proxy_profile", r.profile);
    sim.Set("default_browser", r.defbrowser);
    const long runs = sim.Number("castview_test_count");
    BOOL running = 2;
    EXPECT_EQ(diag.ProxyServerTest(&running), r.expected)
        << r.load << " " << r.proxy << " " << r.installed << " " << r.config;
    EXPECT_EQ(running, r.running) << r.expected;
    EXPECT_EQ(sim.Number("castview_test_count"), runs + 1);
  }

  // The test records its result and its meaning.
  EXPECT_FALSE(diag.ProxyServer(diag.GetEntryPosition(DIAGTEST_PROXY)));
  EXPECT_EQ(StoredStatus("ProxyServer_Check"), 10000);
  EXPECT_EQ(LocalIni("Proxy Server0000"), "Error");
  sim.Set("browsers_config", "proxysettinigNotOK");
  EXPECT_FALSE(diag.ProxyServer(6));
  EXPECT_EQ(StoredStatus("ProxyServer_Check"), 601);
}

// Without the webcast program the previous file is read as it is, or, when there is none,
// the result is 10000; a file of any content never gives more than 10000.
TEST_F(OutsideTestsTest, ProxyFileMissingLeftOverOrDamaged) {
  Diag diag;
  BOOL running = 0;
  EXPECT_EQ(diag.ProxyServerTest(&running), 10000u);
  EXPECT_TRUE(Traced("LaunchAppForPST -> createprocess failed"));

  const fs::path file = DriveC("Orbilink/webpkg/ProxyTest.ini");
  std::ofstream(file) << "[ProxyTest]\r\nLoadOnStartUp=FALSE\r\nProxyServer=Stopped\r\n"
                         "BrowsersConfig=proxysettinigOK\r\n";
  EXPECT_EQ(diag.ProxyServerTest(&running), 0u);

  std::string binary(70000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 31 + 7);
  for (const std::string& content :
       {binary, "[ProxyTest]\r\nLoadOnStartUp=" + std::string(200000, 'T') + "\r\n",
        std::string("[ProxyTest]\r\nLoadOnStartUp=TRUE\r\nProxyServer\r\n"), std::string()}) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    EXPECT_EQ(diag.ProxyServerTest(&running), 10000u);
  }
}

// A webcast program that does not end is given up after the bound, or at once at shutdown,
// and left running; the test records 10000.
TEST_F(OutsideTestsTest, AWebcastProgramThatDoesNotEndIsGivenUp) {
  InstallWebcastProgram();
  sim.Set("castview_hang", "1");
  Diag diag;
  diag.m_dwOutsideProgramWaitMs = 300;
  BOOL running = 0;
  EXPECT_EQ(diag.ProxyServerTest(&running), 10000u);
  EXPECT_TRUE(Traced("has not ended within 300 ms; it is left running"));

  diag.m_dwOutsideProgramWaitMs = CDiagnostics::kOutsideProgramWaitMs;
  diag.OnShutDown();
  EXPECT_FALSE(diag.ProxyServer(6));
  EXPECT_EQ(StoredStatus("ProxyServer_Check"), 10000);
  EXPECT_TRUE(Traced("LaunchAppForPST -> shutdown while"));
}

// ---- IRQ ------------------------------------------------------------------------------------

TEST_F(OutsideTestsTest, IrqConflictsAndTheirDeviceNames) {
  Diag diag;
  diag.m_dwPlatformType = 2;
  SetText(TestKey("IRQTest"), "ListOfDevice", "stale");

  EXPECT_TRUE(diag.IRQTest());
  EXPECT_EQ(StoredStatus("IRQTest"), 0);
  EXPECT_EQ(LocalIni("IRQ Test0000"), "No IRQ Conflict");
  EXPECT_EQ(ReadText(TestKey("IRQTest"), "ListOfDevice"), "<none>");

  sim.Set("irq_devices", "1234:5678:11:Sound Card;1111:2222:5:Modem;4321:8765:11:Network Card");
  EXPECT_FALSE(diag.IRQTest());
  EXPECT_EQ(StoredStatus("IRQTest"), 400);
  EXPECT_EQ(ReadText(TestKey("IRQTest"), "ListOfDevice"), "Sound Card, Network Card");
  EXPECT_EQ(LocalIni("IRQ Test0000"), "Conflict occurred in the devices Sound Card, Network Card");
  EXPECT_TRUE(Traced("IRQ Test -> devices 5678,8765 of vendors 1234,4321 share IRQ 11"));

  sim.Set("irq_devices", "9999:3333:11");
  EXPECT_FALSE(diag.IRQTest());
  EXPECT_EQ(LocalIni("IRQ Test0000"),
            "Error in getting the device names which are conflicting with Orbilink device in IRQ");
  EXPECT_EQ(ReadText(TestKey("IRQTest"), "ListOfDevice"), "<none>");

  sim.Set("irq_adapter_irq", "");
  EXPECT_TRUE(diag.IRQTest());
  EXPECT_TRUE(Traced("IRQ Test -> Orbilink IRQ could not be found"));
  EXPECT_EQ(LocalIni("IRQ Test0000"), "No IRQ Conflict");
}

TEST_F(OutsideTestsTest, IrqCheckerResultsMissingCheckerAndPlatforms) {
  Diag diag;
  diag.m_dwPlatformType = 1;
  for (const char* result : {"1", "7", ""}) {
    sim.Set("irq_result", result);
    EXPECT_FALSE(diag.IRQTest()) << result;
    EXPECT_EQ(StoredStatus("IRQTest"), 400) << result;
    EXPECT_EQ(LocalIni("IRQ Test0000"), "Unexpected error occurred- DTS_IRQ_FAILED");
  }
  EXPECT_TRUE(Traced("Fatal Error in irq test"));
  EXPECT_TRUE(Traced("Result code of the IRQ test is -1"));
  sim.Set("irq_result", "0");

  SetCheckerOnPath(false);
  EXPECT_FALSE(diag.IRQTest());
  EXPECT_EQ(StoredStatus("IRQTest"), 401);
  EXPECT_EQ(LocalIni("IRQ Test0000"), "component required for IRQ diagnostics not found");
  SetCheckerOnPath(true);

  // Platforms without the test: nothing is run.
  const long checks = sim.Number("irq_count");
  for (DWORD platform : {0u, 3u, 4u}) {
    diag.m_dwPlatformType = platform;
    ASSERT_TRUE(CDiagnostics::SetTestStatus(DIAGTEST_IRQ, 9));
    EXPECT_TRUE(diag.IRQTest());
    EXPECT_EQ(StoredStatus("IRQTest"), 0);
  }
  EXPECT_EQ(sim.Number("irq_count"), checks);
  diag.m_dwPlatformType = 7;
  EXPECT_FALSE(diag.IRQTest());
  EXPECT_EQ(StoredStatus("IRQTest"), 400);
  EXPECT_TRUE(Traced("IRQ Test ->Unknown case for platform type "));

  // Without its key the test cannot clear the device list and fails.
  diag.m_dwPlatformType = 2;
  DeleteTree(HKEY_LOCAL_MACHINE, TestKey("IRQTest"));
  EXPECT_FALSE(diag.IRQTest());
  EXPECT_EQ(LocalIni("IRQ Test0000"),
            "Unexpected error occurred; Error in opening the key IRQTest key - DTS_IRQ_FAILED");
}

// A checker that never ends, or that ends without a log, is given up after the bound.
TEST_F(OutsideTestsTest, IrqCheckerThatHangsOrLeavesNoLog) {
  Diag diag;
  diag.m_dwPlatformType = 2;
  diag.m_dwOutsideProgramWaitMs = 300;
  sim.Set("irq_hang", "1");
  EXPECT_FALSE(diag.IRQTest());
  EXPECT_EQ(StoredStatus("IRQTest"), 401);
  EXPECT_TRUE(Traced("IRQ Test -> RUNDLL32.EXE IRQASSIST.DLL,DOIRQCheck has not ended within"));
  sim.Set("irq_hang", "0");

  sim.Set("irq_log", "0");
  EXPECT_FALSE(diag.IRQTest());
  EXPECT_EQ(StoredStatus("IRQTest"), 400);
  EXPECT_TRUE(Traced("IRQ Test -> no log from the IRQ checker, no longer waited for"));

  // At shutdown the test ends at once and records nothing.
  sim.Set("irq_log", "1");
  ASSERT_TRUE(CDiagnostics::SetTestStatus(DIAGTEST_IRQ, 9));
  diag.m_dwOutsideProgramWaitMs = CDiagnostics::kOutsideProgramWaitMs;
  sim.Set("irq_hang", "1");
  diag.OnShutDown();
  diag.IRQTest();
  EXPECT_EQ(StoredStatus("IRQTest"), 9);
}

}  // namespace
