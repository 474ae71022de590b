// The repairs of the diagnostics application: the lists of test ids, the outcomes reaching the
// report file through the mailslot, the device registry walks, the start-parameter record and
// the start preferences; real registry, processes and a running module.
#include <gtest/gtest.h>
#include <orbids.h>
#include <winport/clock.h>
#include <winport/profile.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DiagFixture_testing.h"
#include "core/DAKDllMain.h"
#include "core/UsabilitySlotClient.h"
#include "diag/Diagnostics.h"
#include "diag/OrbStartParam.h"
#include "driver/SimControl_testing.h"

namespace {

using namespace diag_testing;
namespace fs = std::filesystem;

constexpr DWORD kWaitMs = 20000;
const std::string kOrbStart = std::string(kOrbilink) + "\\ORBStart";

class Diag : public CDiagnostics {
 public:
  Diag() : CDiagnostics(nullptr) { ReadTestParams(0); }
};

class CorrectionsTest : public DiagProgramsTest {
 protected:
  void SetUp() override {
    DiagProgramsTest::SetUp();
    DeleteTree("Enum");
  }
  SimControl sim;
};

// The walk deletes every entry that holds the pattern, instances and all, including ones that
// follow each other, and leaves every other entry.
TEST_F(CorrectionsTest, EnumWalksDeleteEveryMatchingEntryAndNoOther) {
  const std::string pci = "Enum\\PCI";
  for (const char* name : {"VEN_1000&DEV_0001", "VEN_" ORB_PCI_VENDOR_ID "&DEV_0002&SUBSYS_1",
                           "VEN_" ORB_PCI_VENDOR_ID "&DEV_0002&SUBSYS_2",
                           "VEN_" ORB_PCI_VENDOR_ID "&DEV_0002&SUBSYS_3", "VEN_2000&DEV_0002",
                           "ven_5a7e&dev_0002x", "VEN_" ORB_PCI_VENDOR_ID "&DEV_0009"})
    CreateKey(pci + "\\" + name + "\\0000");
  SetText(pci + "\\VEN_" ORB_PCI_VENDOR_ID "&DEV_0002&SUBSYS_2\\0000", "DeviceDesc",
          ORB_PCI_DEVICE_DESC);
  CreateKey("Enum\\USB\\VID_" ORB_USB_VENDOR_ID "&PID_0001\\5&1");
  CreateKey("Enum\\USB\\VID_0001&PID_0001\\5&1");

  EXPECT_TRUE(CDiagnostics::RemoveDeviceEntries("Enum\\PCI", ORB_PCI_DEVICE_PATTERN));
  // The case-sensitive pattern leaves the lower-case name.
  EXPECT_EQ(SubKeys(pci), (std::set<std::string>{"VEN_1000&DEV_0001", "VEN_2000&DEV_0002",
                                                 "ven_5a7e&dev_0002x"}));
  EXPECT_EQ(SubKeys("Enum\\USB").size(), 2u);

  Diag diag;
  // Several adapters: the PCI walk, then the USB walk.
  CreateKey(pci + "\\VEN_" ORB_PCI_VENDOR_ID "&DEV_0002&SUBSYS_4\\0000");
  EXPECT_TRUE(diag.AdapterCheckCorrectiveAction(ADAPTER_MULTI_USB_ALL_ENABLE));
  EXPECT_EQ(SubKeys(pci).size(), 3u);
  EXPECT_EQ(SubKeys("Enum\\USB"), (std::set<std::string>{"VID_0001&PID_0001"}));
  // Codes without a repair do nothing.
  EXPECT_FALSE(diag.AdapterCheckCorrectiveAction(ADAPTER_NONE));
  // A key that cannot be opened fails the walk, and the repair keeps the status.
  DeleteTree(HKEY_LOCAL_MACHINE, "Enum\\PCI");
  ASSERT_TRUE(CDiagnostics::SetTestStatus(DIAGTEST_REGISTRY, 500));
  EXPECT_FALSE(diag.MultipleRegCorrAction());
  EXPECT_EQ(StoredStatus("Multiple_RegKey_Test"), 500);
  CreateKey(pci + "\\VEN_" ORB_PCI_VENDOR_ID "&DEV_0002&SUBSYS_5");
  EXPECT_TRUE(diag.MultipleRegCorrAction());
  EXPECT_EQ(StoredStatus("Multiple_RegKey_Test"), 0);
  EXPECT_TRUE(SubKeys(pci).empty());
}

// "SHOWPROPS" holds five REG_SZ values of the whole 260-byte field each.
TEST_F(CorrectionsTest, StartParameterRecordWithItsFiveValues) {
  CreateKey(kOrbStart);
  Diag diag;
  BOOL reboot = TRUE;
  EXPECT_TRUE(diag.CorrActionForPST(606, &reboot));
  const std::string showProps = kOrbStart + "\\SHOWPROPS";
  const struct {
    const char* name;
    std::string text;
  } values[] = {{"ExePath", "c:\\Orbilink\\bin\\orbnav.exe"},
                {"StartPref", "1"},
                {"CmdLine", "/SHOWWCPROPS"},
                {"MUTEX", "MUTEX_NONE"},
                {"StartDelay", "0005"}};
  for (const auto& v : values) {
    DWORD type = 0;
    std::string raw = RawValue(showProps, v.name, &type);
    EXPECT_EQ(type, REG_SZ) << v.name;
    EXPECT_EQ(raw, v.text + std::string(260 - v.text.size(), '\0')) << v.name;
  }
  COrbStartParam param;
  EXPECT_TRUE(param.IfOrbKeyExists());
  EXPECT_FALSE(diag.IsPSTToPerform());
  EXPECT_TRUE(param.DeleteKey());
  EXPECT_FALSE(param.IfOrbKeyExists());

  // Without "ORBStart" the record cannot be made.
  DeleteTree(HKEY_LOCAL_MACHINE, kOrbStart);
  EXPECT_FALSE(diag.CorrActionForPST(607, &reboot));
  EXPECT_TRUE(Traced("CorrActionForPST- > Error in creating the key SHOWPROPS under OrbStart"));

  // Without a restart pending the navigator shows the properties at once.
  reboot = FALSE;
  EXPECT_FALSE(diag.CorrActionForPST(607, &reboot));
  EXPECT_TRUE(Traced("LaunchAppForPST -> createprocess failed"));
  Install("navigator-sim", "Orbilink/bin/orbnav.exe");
  EXPECT_TRUE(diag.CorrActionForPST(607, &reboot));
  EXPECT_FALSE(reboot);
  EXPECT_FALSE(KeyExists(kOrbStart + "\\SHOWPROPS"));
}

TEST_F(CorrectionsTest, StartPreferencesOfTheKnownSubkeysOnly) {
  Diag diag;
  diag.SetStartPreferences();
  EXPECT_TRUE(Traced("Could not open the key orbstart"));

  SetText(kOrbStart + "\\ORBNav", "StartPref", "1");
  SetText(kOrbStart + "\\Other", "StartPref", "1");
  CreateKey(kOrbStart + "\\autolaunch");
  diag.SetStartPreferences();
  DWORD type = 0;
  EXPECT_EQ(RawValue(kOrbStart + "\\ORBNav", "StartPref", &type), std::string("0\0", 2));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RawValue(kOrbStart + "\\autolaunch", "StartPref", &type), std::string("0\0", 2));
  EXPECT_EQ(RawValue(kOrbStart + "\\Other", "StartPref", &type), std::string("1\0", 2));
  EXPECT_TRUE(Traced("the Key could not be recognized"));
}

// Within a running module: the repairs of a list of ids, their outcomes written into the report
// file by the primary thread, and the start-parameter record removed by its message.
class CorrectionsModuleTest : public CorrectionsTest {
 protected:
  void SetUp() override {
    CorrectionsTest::SetUp();
    StopVitalisDLL();
    SetDword(kHR, "HREnabled", 1);
    SetDword(kHR, "ConfigTestEnable", 0);
    ResetModuleTrace();
  }
  void TearDown() override {
    StopVitalisDLL();
    CorrectionsTest::TearDown();
  }
  // Each repair request sends its messages; waits until the primary thread has taken `count`
  // more than `before`.
  static bool Handled(CDAKDllMain* module, DWORD before, DWORD count) {
    return module->MessagesHandled().WaitFor(before + count, kWaitMs);
  }
  // The "DiagCorrections" entry of the report file(s), "(none)" when none holds it.
  static std::string Reported(const char* key) {
    for (const auto& entry : fs::recursive_directory_iterator(DriveC(""))) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("HR", 0) != 0 || entry.path().extension() != ".ini") continue;
      char value[200] = {};
      GetPrivateProfileStringA("DiagCorrections", key, "(none)", value, sizeof value,
                               entry.path().c_str());
      if (std::string(value) != "(none)") return value;
    }
    return "(none)";
  }
};

TEST_F(CorrectionsModuleTest, IdListsTheirOutcomesInTheReportAndTheProxyRepair) {
  InstallWebcastProgram();
  ASSERT_EQ(StartVitalisDLL(), 0u);
  CDAKDllMain* module = GetCurrentInstance();
  ASSERT_NE(module, nullptr);
  CDiagnostics* diag = module->GetDiagnostics();

  // 1, 2, 8: the adapter (working) is repaired, 2 ends the list before 8.
  ASSERT_TRUE(CDiagnostics::SetTestStatus(DIAGTEST_ADAPTER, 104));
  ASSERT_TRUE(CDiagnostics::SetTestStatus(DIAGTEST_TCPIP, 805));
  DWORD before = module->MessagesHandled().Count();
  const DWORD list1[] = {1, 2, 8, 0};
  BOOL reboot = FALSE;
  EXPECT_TRUE(diag->TakeCorrectiveAction(list1, &reboot));
  EXPECT_TRUE(reboot);
  ASSERT_TRUE(Handled(module, before, 2));
  EXPECT_EQ(StoredStatus("Adapter_Check"), 0);
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 805);
  EXPECT_NE(Reported("time"), "(none)");
  EXPECT_EQ(Reported("AdapterCorrAction"), "Successful");
  EXPECT_EQ(Reported("TCPIPCorrAction"), "(none)");

  // 8 then 6: the connection-sharing range is reset; the webcast program finds the browsers
  // unproxied (601) and repairs them.
  sim.Set("browsers_config", "proxysettinigNotOK");
  ASSERT_TRUE(CDiagnostics::SetTestStatus(DIAGTEST_PROXY, 601));
  before = module->MessagesHandled().Count();
  const DWORD list2[] = {8, 6, 0};
  reboot = FALSE;
  EXPECT_TRUE(diag->TakeCorrectiveAction(list2, &reboot));
  EXPECT_TRUE(reboot);
  ASSERT_TRUE(Handled(module, before, 3));
  EXPECT_EQ(Reported("TCPIPCorrAction"), "Successful");
  EXPECT_EQ(Reported("ProxyServerCorrAction"), "Successful");
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 0);
  EXPECT_EQ(StoredStatus("ProxyServer_Check"), 0);
  EXPECT_EQ(sim.Number("castview_repair_count"), 1);
  EXPECT_TRUE(Traced("CDiagnostics::TakeCorrectiveAction- proxy server check ret = 601"));

  // A proxy result of 10000 has no repair.
  sim.Set("proxy_load_on_startup", "yes");
  before = module->MessagesHandled().Count();
  const DWORD list3[] = {6, 0};
  EXPECT_TRUE(diag->TakeCorrectiveAction(list3, &reboot));
  ASSERT_TRUE(Handled(module, before, 1));
  EXPECT_EQ(sim.Number("castview_repair_count"), 1);
  EXPECT_EQ(sim.Number("castview_test_count"), 2);
  EXPECT_TRUE(Traced("CDiagnostics::TakeCorrectiveAction- proxy server check ret = 10000"));

  // A profile missing (606) with a restart pending: the record for the navigator's next start,
  // removed by the message the navigator sends.
  SetText(kOrbStart + "\\ORBNav", "StartPref", "1");
  sim.Set("proxy_load_on_startup", "TRUE");
  sim.Set("proxy_profile", "NOTEXISTS");
  CreateKey("Enum\\PCI\\VEN_" ORB_PCI_VENDOR_ID "&DEV_0002&SUBSYS_9\\0000");
  const DWORD list4[] = {5, 6, 0};
  before = module->MessagesHandled().Count();
  reboot = FALSE;
  EXPECT_TRUE(diag->TakeCorrectiveAction(list4, &reboot));
  ASSERT_TRUE(Handled(module, before, 3));
  EXPECT_EQ(Reported("MultipleRegCorrAction"), "Successful");
  // (The simulation writes its own adapter entry again whenever its state changes.)
  EXPECT_FALSE(KeyExists("Enum\\PCI\\VEN_" ORB_PCI_VENDOR_ID "&DEV_0002&SUBSYS_9"));
  EXPECT_TRUE(KeyExists(kOrbStart + "\\SHOWPROPS"));
  before = module->MessagesHandled().Count();
  const DWORD del[] = {DAK_DEL_WCPROPSORBSTARTKEY};
  CUsabilitySlotClient client;
  ASSERT_EQ(client.Write(del, sizeof del), 0u);
  ASSERT_TRUE(Handled(module, before, 1));
  EXPECT_FALSE(KeyExists(kOrbStart + "\\SHOWPROPS"));
  EXPECT_EQ(StopVitalisDLL(), 1u);
}

}  // namespace
