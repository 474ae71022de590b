// The configuration record worker on its own thread, against the real registry, the real report
// store and the machine figures of winport (the processors presented from a file).
#include "config/ConfigRec.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <winport/profile.h>
#include <winport/registry.h>
#include <winport/sync.h>
#include <winport/system.h>
#include <winport/thread.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/TraceLog.h"
#include "driver/SimControl_testing.h"
#include "stats/StoreFixture_testing.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

using namespace vitalis_testing;

// Two processors: the first rated 500 MHz, the second without a clock figure.
constexpr const char* kCpuInfo =
    "processor\t: 0\n"
    "vendor_id\t: GenuineIntel\n"
    "cpu family\t: 6\n"
    "model\t\t: 8\n"
    "stepping\t: 3\n"
    "cpu MHz\t\t: 500.000\n"
    "\n"
    "processor\t: 1\n"
    "vendor_id\t: AuthenticAMD\n"
    "cpu family\t: 6\n"
    "model\t\t: 2\n"
    "stepping\t: 1\n";

class CTestConfigRec : public CConfigRec {
 public:
  using CConfigRec::CConfigRec;
  using CConfigRec::m_ProcessorBag;
  using CConfigRec::m_pszCity;
  using CConfigRec::m_pszOSName;
  using CConfigRec::m_pszServiceRelease;
  using CConfigRec::m_pszState;
};

// Asks for a shutdown as soon as the thread first looks for one: right after the version.
class CStoppedAfterVersion : public CTestConfigRec {
 public:
  using CTestConfigRec::CTestConfigRec;
  BOOL WaitForShutDown(DWORD milliseconds) override {
    OnShutDown();
    return CTestConfigRec::WaitForShutDown(milliseconds);
  }
};

class ConfigRecTest : public StoreTest {
 protected:
  static void SetUpTestSuite() {
    // The processors are presented once per process, before anything looks at them.
    fs::path file = winport::testing::MakeTempDir("cpu") / "cpuinfo";
    std::ofstream(file) << kCpuInfo;
    setenv("WINPORT_CPUINFO", file.c_str(), 1);
  }

  void SetUp() override {
    StoreTest::SetUp();
    unsetenv("WINPORT_OS_VERSION");
    DeleteTree(kOrbilink + "\\Pointing");
    DeleteTree(kOrbilink + "\\Zephyr");
    DeleteTree(kOrbilink + "\\Winvesdd");
    for (const char* name : {"Language", "BuildNo", "PreviousVersion", "Version"})
      DeleteValue(kOrbilink, name);
    DeleteValue(kHR, "LastReportedVersion");
    fs::remove_all(Host("c:\\Orbilink\\Bin"));
    m_sim.Set("disk_total", "21474836480");
    m_sim.Set("disk_free", "10737418240");

    TraceTo(m_trace);
  }
  void TearDown() override {
    CTraceLog::Close();
    unsetenv("WINPORT_OS_VERSION");
  }

  // A report store as the module has it when the record is due.
  void PrepareStore() {
    Prepare(m_store);
    m_store.ReadBinData();
  }

  // One pass of the worker on its own thread, to its end.
  static void RunToEnd(CConfigRec& rec) {
    ASSERT_TRUE(rec.Start());
    HANDLE thread = rec.GetThreadHandle();
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
  }

  std::string Report() { return winport::testing::ReadFile(Host(m_store.m_szCurrentPath)); }
  std::string Trace() { return winport::testing::ReadFile(m_trace); }

  static void WriteSetupFile(const std::string& content) {
    fs::create_directories(Host("c:\\Orbilink\\Bin"));
    std::ofstream(Host("c:\\Orbilink\\Bin\\orbsetup.ini"), std::ios::binary) << content;
  }

  static void SetFullInstallation() {
    SetText(kOrbilink, "Language", "English");
    SetText(kOrbilink, "BuildNo", "417");
    SetText(kOrbilink, "PreviousVersion", "3.1.0");
    SetText(kOrbilink, "Version", "3.2.0");
    const std::string pointing = kOrbilink + "\\Pointing";
    SetText(pointing, "Country", "Canada");
    SetText(pointing, "SatFrequency", "11.7");
    SetText(pointing, "SatLongitude", "91");
    SetText(pointing, "SatLongitudeEW", "W");
    SetText(pointing, "SatPolarization", "H");
    SetText(pointing, "SatPolarizationOffset", "-2");
    SetText(kOrbilink + "\\Zephyr", "GatewayIP", "10.1.2.3");
    const std::string vesdd = kOrbilink + "\\Winvesdd";
    SetText(vesdd, "VESDD_RX_FREQ", "1250");
    SetText(vesdd, "FramingMode", "2");
    SetText(vesdd, "ModulationType", "QPSK");
    SetText(vesdd, "ReceiveSymbolRate", "20000");
    SetText(vesdd, "ScramblerMode", "1");
    SetText(vesdd, "ViterbiMode", "3/4");
    SetText(vesdd, "FilterRolloff", "0.35");
    WriteSetupFile("[Pointing]\r\nCity=Halifax\r\nState=NS\r\n");
  }

  static std::string Memory(bool physical) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    EXPECT_TRUE(GlobalMemoryStatusEx(&status));
    return std::to_string(physical ? status.ullTotalPhys : status.ullTotalVirtual);
  }

  CTestStore m_store;
  SimControl m_sim;
  fs::path m_trace = winport::testing::MakeTempDir("trace") / "config.log";
};

TEST_F(ConfigRecTest, FullRecordIsOneSectionInTableOrder) {
  SetFullInstallation();
  PrepareStore();
  {
    CTestConfigRec rec(&m_store);
    RunToEnd(rec);
    // The processors were handed back.
    rec.m_ProcessorBag.BeginIteration();
    EXPECT_EQ(rec.m_ProcessorBag.Next(), nullptr);
    rec.m_ProcessorBag.EndIteration();
  }
  EXPECT_EQ(Report(),
            "[System Config]\r\n"
            "Version=3.2.0\r\n"
            "PreviousVersion=3.1.0\r\n"
            "BuildNumber=417\r\n"
            "Language=English\r\n"
            "VesddRxFreq=1250\r\n"
            "FramingMode=2\r\n"
            "ModulationType=QPSK\r\n"
            "ReceiveSymbolRate=20000\r\n"
            "ScramblerMode=1\r\n"
            "ViterbiMode=3/4\r\n"
            "FilterRolloff=0.35\r\n"
            "City=Halifax\r\n"
            "State=NS\r\n"
            "Country=Canada\r\n"
            "SatFrequency=11.7\r\n"
            "SatLongitude=91\r\n"
            "SatLongitudeEW=W\r\n"
            "SatPolarization=H\r\n"
            "SatPolarizationOffset=-2\r\n"
            "GatewayIP=10.1.2.3\r\n"
            "WindowsPlatform=Microsoft Windows NT(TM) \r\n"
            "ServiceRelease=Service Pack 4\r\n"
            "TotalPhysicalMemory=" +
                Memory(true) +
                "\r\n"
                "TotalVirtualMemory=" +
                Memory(false) +
                "\r\n"
                "TotalHardDiskSpace=21474836480\r\n"
                "FreeHardDiskSpace=10737418240\r\n"
                "MHz01=500\r\n"
                "Identifier01=x86 Family 6 Model 8 Stepping 3\r\n"
                "VendorIdentifier01=GenuineIntel\r\n"
                "MHz02=Unknown\r\n"
                "Identifier02=x86 Family 6 Model 2 Stepping 1\r\n"
                "VendorIdentifier02=AuthenticAMD\r\n");
  EXPECT_EQ(ReadText(kHR, "LastReportedVersion"), "3.2.0");
}

TEST_F(ConfigRecTest, MemoryAndDiskAreTheMachinesOwnWholeByteCounts) {
  // No figures from the simulation: the drive's file system answers.
  m_sim.Set("disk_total", "");
  m_sim.Set("disk_free", "");
  SetText(kOrbilink, "Version", "3.2.0");
  PrepareStore();
  {
    CConfigRec rec(&m_store);
    RunToEnd(rec);
  }
  std::string file = Host(m_store.m_szCurrentPath);
  char text[64];
  GetPrivateProfileStringA("System Config", "TotalPhysicalMemory", "", text, sizeof text,
                           file.c_str());
  const double pages = static_cast<double>(sysconf(_SC_PHYS_PAGES));
  const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  // Not cut to 32 bits: the count is the machine's memory whatever its size.
  EXPECT_NEAR(std::strtod(text, nullptr), pages * page, pages * page * 0.05) << text;
  EXPECT_EQ(std::string(text).find_first_not_of("0123456789"), std::string::npos);
  GetPrivateProfileStringA("System Config", "TotalVirtualMemory", "", text, sizeof text,
                           file.c_str());
  EXPECT_EQ(text, Memory(false));

  ULARGE_INTEGER avail, total, free;
  ASSERT_TRUE(GetDiskFreeSpaceExA("c:\\", &avail, &total, &free));
  GetPrivateProfileStringA("System Config", "TotalHardDiskSpace", "", text, sizeof text,
                           file.c_str());
  EXPECT_EQ(text, std::to_string(total.QuadPart));
  GetPrivateProfileStringA("System Config", "FreeHardDiskSpace", "", text, sizeof text,
                           file.c_str());
  EXPECT_GT(std::strtoull(text, nullptr, 10), 0u);
  EXPECT_LE(std::strtoull(text, nullptr, 10), total.QuadPart);
}

TEST_F(ConfigRecTest, MissingKeysAndValuesGiveUnknown) {
  // Only the version; no pointing, dial-up or receiver key; no setup file.
  SetText(kOrbilink, "Version", "3.2.0");
  SetText(kOrbilink + "\\Winvesdd", "ModulationType", "QPSK");
  PrepareStore();
  {
    CConfigRec rec(&m_store);
    RunToEnd(rec);
  }
  std::string report = Report();
  for (const char* line :
       {"Version=3.2.0\r\n", "PreviousVersion=Unknown\r\n", "BuildNumber=Unknown\r\n",
        "Language=Unknown\r\n", "VesddRxFreq=Unknown\r\n", "ModulationType=QPSK\r\n",
        "FilterRolloff=Unknown\r\n", "City=Not Found\r\n", "State=Not Found\r\n",
        "Country=Unknown\r\n", "SatFrequency=Unknown\r\n", "SatLongitude=Unknown\r\n",
        "SatLongitudeEW=Unknown\r\n", "SatPolarization=Unknown\r\n",
        "SatPolarizationOffset=Unknown\r\n", "GatewayIP=Unknown\r\n"}) {
    EXPECT_NE(report.find(line), std::string::npos) << line;
  }
  // With the pointing key there but empty, each value has its own line; the misspelt one too.
  SetValue(kOrbilink + "\\Pointing", "Unrelated", REG_SZ, "x", 2);
  CConfigRec again(&m_store);
  again.PopulatePointingParams();
  EXPECT_NE(Trace().find("CConfigRec::PopulatePointingParams - SAT_LONNGITUDE_EW not found"),
            std::string::npos);
}

TEST_F(ConfigRecTest, NoVersionNoRecordOfIt) {
  SetText(kOrbilink, "Language", "English");
  PrepareStore();
  {
    CConfigRec rec(&m_store);
    RunToEnd(rec);
  }
  EXPECT_EQ(ReadText(kHR, "LastReportedVersion"), "<none>");
  EXPECT_NE(Report().find("Version=Unknown\r\n"), std::string::npos);
}

TEST_F(ConfigRecTest, CityAndStateFromTheSetupFile) {
  PrepareStore();
  struct Case {
    std::string file;
    const char* city;
    const char* state;
  };
  const std::string longCity(150, 'c');
  const Case cases[] = {
      {"[Pointing]\r\nState=Ohio\r\n", "Not Found", "Ohio"},
      {"[Other]\r\nCity=Elsewhere\r\n[Pointing]\r\ncity=  Dayton  \r\n", "Dayton", "Not Found"},
      {"[Pointing]\r\nCity=" + longCity + "\r\nState=\r\n", nullptr, ""},
      {"\x01\x02\xff\x00garbage[Pointing\r\n=\r\n\r\n"s, "Not Found", "Not Found"},
  };
  for (const Case& c : cases) {
    WriteSetupFile(c.file);
    CTestConfigRec rec(&m_store);
    rec.PopulateSetupParams();
    ASSERT_TRUE(rec.m_pszCity && rec.m_pszState);
    // A text too long for its buffer is cut to 99 characters.
    EXPECT_EQ(rec.m_pszCity.get(), c.city ? std::string(c.city) : longCity.substr(0, 99));
    EXPECT_STREQ(rec.m_pszState.get(), c.state);
  }
}

TEST_F(ConfigRecTest, EveryPlatformNameWithItsTrailingBlank) {
  const struct {
    const char* version;
    const char* name;
    const char* release;
  } cases[] = {
      {"3.10.0,0,", "Microsoft Windows 3.1(TM)", ""},
      {"4.0.950,1, B", "Microsoft Windows 95(TM) ", " B"},
      {"4.10.1998,1, A ", "Microsoft Windows 98(TM) ", " A "},
      {"4.0.1381,2,Service Pack 6", "Microsoft Windows NT(TM) ", "Service Pack 6"},
      {"6.1.7601,3,", "Unknown", ""},
  };
  for (const auto& c : cases) {
    setenv("WINPORT_OS_VERSION", c.version, 1);
    CTestConfigRec rec(&m_store);
    rec.GetOSVersionString();
    ASSERT_TRUE(rec.m_pszOSName && rec.m_pszServiceRelease);
    EXPECT_STREQ(rec.m_pszOSName.get(), c.name) << c.version;
    EXPECT_STREQ(rec.m_pszServiceRelease.get(), c.release) << c.version;
  }

  // In the record the blank is kept.
  setenv("WINPORT_OS_VERSION", "4.10.1998,1,", 1);
  PrepareStore();
  {
    CConfigRec rec(&m_store);
    RunToEnd(rec);
  }
  EXPECT_NE(Report().find("\r\nWindowsPlatform=Microsoft Windows 98(TM) \r\nServiceRelease=\r\n"),
            std::string::npos);
}

TEST_F(ConfigRecTest, ShutdownRightAfterTheVersionLeavesNoRecord) {
  SetFullInstallation();
  PrepareStore();
  {
    CStoppedAfterVersion rec(&m_store);
    RunToEnd(rec);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(rec.GetThreadHandle(), &code));
    EXPECT_EQ(code, 1u);  // ended by the request, not by a finished record
  }
  EXPECT_EQ(ReadText(kHR, "LastReportedVersion"), "3.2.0");
  EXPECT_EQ(Report(), "");
  EXPECT_EQ(Trace().find("CConfigRec::Run - Finished Getting the parameters"), std::string::npos);
}

TEST_F(ConfigRecTest, RegistryTextsOfAnyTypeAndLengthAreCutOrDefaulted) {
  SetText(kOrbilink, "Version", "3.2.0");
  // The version as a number is no version: nothing recorded, and "Unknown" in the record.
  const DWORD number = 7;
  SetValue(kOrbilink, "BuildNo", REG_DWORD, &number, sizeof number);
  const std::string pointing = kOrbilink + "\\Pointing";
  const char bytes[] = {'A', 'B', 'C', 'D'};
  SetValue(pointing, "Country", REG_BINARY, bytes, sizeof bytes);
  SetValue(pointing, "SatFrequency", REG_SZ, "11.7", 4);  // no terminator
  SetValue(pointing, "SatLongitude", REG_SZ, "", 0);
  SetText(pointing, "SatLongitudeEW", "W\r\n[Injected]\r\nKey=Value");
  SetValue(pointing, "SatPolarization", REG_EXPAND_SZ, "V\0junk", 7);
  SetText(kOrbilink + "\\Zephyr", "GatewayIP", std::string(5000, 'g'));
  PrepareStore();
  {
    CConfigRec rec(&m_store);
    RunToEnd(rec);
  }
  std::string report = Report();
  EXPECT_NE(report.find("BuildNumber=Unknown\r\n"), std::string::npos);
  EXPECT_NE(report.find("Country=Unknown\r\n"), std::string::npos);
  EXPECT_NE(report.find("SatFrequency=11.7\r\n"), std::string::npos);
  EXPECT_NE(report.find("SatLongitude=\r\n"), std::string::npos);
  EXPECT_NE(report.find("SatLongitudeEW=W\r\n"), std::string::npos);
  EXPECT_NE(report.find("SatPolarization=V\r\n"), std::string::npos);
  EXPECT_NE(report.find("GatewayIP=" + std::string(CConfigRec::MAX_TEXT_LENGTH, 'g') + "\r\n"),
            std::string::npos);
  EXPECT_EQ(report.find("Injected"), std::string::npos);
  EXPECT_EQ(report.find("[", 1), std::string::npos);  // still one section
}

}  // namespace
