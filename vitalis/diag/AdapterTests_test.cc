// The adapter, driver and network configuration tests against the simulated receiver.
#include <gtest/gtest.h>
#include <orbids.h>
#include <winport/registry.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "DiagFixture_testing.h"
#include "diag/Diagnostics.h"
#include "driver/SimControl_testing.h"
#include "driver/VESDDInterface.h"

namespace {

using namespace diag_testing;

class Diagnostics : public CDiagnostics {
 public:
  Diagnostics() : CDiagnostics(nullptr) {}
  using CDiagnostics::m_dwPlatformType;
  void SetStartPreferences() override { ++startPreferenceRepairs; }
  int startPreferenceRepairs = 0;
};

class AdapterTestsTest : public DiagTest {
 protected:
  void SetUp() override {
    DiagTest::SetUp();
    ASSERT_TRUE(vesdd.Load());
    diag.InitVesdd(&vesdd);
    diag.SetChannelHandle(1);
    diag.ReadTestParams(0);
    diag.Initialize();
  }
  SimControl sim;
  CVESDDInterface vesdd;
  Diagnostics diag;
};

// The adapter code of every adapter list, with the text that goes to the history file.
TEST_F(AdapterTestsTest, AdapterCodeTable) {
  struct Case {
    const char* adapters;
    const char* adapterClass;
    DWORD code;
    const char* text;
  } cases[] = {
      {"", "0", 101, "NO ADAPTER INSTALLED"},
      {"2:8", "0", 102, "PCI"},
      {"3:8", "0", 103, "USB"},
      {"2:2", "0", 104, "PCI_PARTIALLY_INSTALLED"},
      {"3:2", "0", 105, "USB_PARTIALLY_INSTALLED"},
      {"2:8,3:8", "0", 106, "USB_PCI"},
      {"1:8,3:8", "0", 107, "ISA_USB"},
      {"1:8,2:8", "0", 108, "ISA_PCI"},
      {"3:8,1:8,2:8", "0", 109, "ISA_PCI_USB"},
      {"1:8,1:8", "0", 101, "NO ADAPTER INSTALLED"},
      {"1:8", "0", 116, "ISA"},
      {"2:8", "2", 117, "PCIDVB"},
      {"3:8", "2", 118, "USBDVB"},
      {"2:6", "2", 119, "PCI_DISABLE"},  // disabled wins over partial
      {"3:4", "2", 120, "USB_DISABLE"},
      {"3:8,3:8", "0", 122, "MULTI_USB_ALL_ENABLE"},
      {"3:4,3:16", "0", 123, "MULTI_USB_ALL_DISABLE"},
      {"3:8,3:4", "0", 124, "MULTI_USB_ATLEAST_ONE_ENABLE"},
      {"2:8,2:8,2:8", "0", 125, "MULTI_PCI_ALL_ENABLE"},
      {"2:4,2:4", "0", 126, "MULTI_PCI_ALL_DISABLE"},
      {"2:8,2:0", "0", 127, "MULTI_PCI_ATLEAST_ONE_ENABLE"},
      {"3:20", "0", 128, "USB_USBNDIS_DISABLE"},
      {"3:16", "0", 129, "USBNDIS_DISABLE"},
      {"2:0:2", "0", 117, "PCIDVB"},  // a class of the adapter's own
      {"9:8", "7", 7, ""},            // unknown bus: the class itself
  };
  for (const Case& c : cases) {
    sim.Set("adapters", c.adapters);
    sim.Set("adapter_class", c.adapterClass);
    char text[260] = "unchanged";
    EXPECT_EQ(diag.CheckAdaptor(text), c.code) << c.adapters;
    EXPECT_STREQ(text, c.text) << c.adapters;
  }
  // A library that fails, or lists what it cannot parse, leaves "no adapter".
  sim.Set("adapters", "2:8");
  sim.Set("fail", "ORBDI_EnumAdapters");
  EXPECT_EQ(diag.CheckAdaptor(nullptr), 101u);
  sim.Set("fail", "ORBDI_GetAdapterClass");
  sim.Set("adapter_class", "2");
  EXPECT_EQ(diag.CheckAdaptor(nullptr), 102u);  // the class counts as 0
  sim.Set("fail", "");
  std::string many;
  for (int i = 0; i < 5000; ++i) many += "3:8,";
  sim.Set("adapters", many);
  EXPECT_EQ(diag.CheckAdaptor(nullptr), 122u);
}

// Working and disabled adapters set the found and disabled flags and the stored status.
TEST_F(AdapterTestsTest, ValidateAdapterTestSetsFlagsAndStatus) {
  sim.Set("adapters", "2:8");
  sim.Set("adapter_class", "2");
  EXPECT_EQ(diag.ValidateAdapterTest(2), 117u);
  EXPECT_TRUE(diag.IsAdapterFound());
  EXPECT_EQ(StoredStatus("Adapter_Check"), 0);
  EXPECT_EQ(diag.CheckAdapterState(), 0u);
  // As a test of a run, a working DVB adapter passes too.
  EXPECT_TRUE(diag.PerformTest(diag.GetEntryPosition(1)));
  sim.Set("adapters", "2:2");
  EXPECT_FALSE(diag.PerformTest(diag.GetEntryPosition(1)));
  sim.Set("adapters", "2:8");

  sim.Set("adapters", "3:16");
  EXPECT_EQ(diag.ValidateAdapterTest(2), 129u);
  EXPECT_FALSE(diag.IsAdapterFound());
  EXPECT_TRUE(diag.m_bAdapterDisable);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 129);
  EXPECT_EQ(diag.CheckAdapterState(), 2u);
  // A failed check starts the diagnostics application (none is installed here).
  EXPECT_TRUE(Traced("LaunchDiagApp, CreateProcess for DiagApp failed"));

  sim.Set("adapters", "9:8");
  sim.Set("adapter_class", "0");
  EXPECT_EQ(diag.ValidateAdapterTest(2), 0u);
  EXPECT_TRUE(Traced("CDiagnostics::ValidateAdapterTest: unknown adapter dwType"));
  EXPECT_TRUE(diag.m_bAdapterDisable);  // unchanged
}

// The heartbeat counter runs across calls: only the third zero in a row fails, and a beat in
// between starts the count again.
TEST_F(AdapterTestsTest, HeartbeatCounterAcrossCalls) {
  sim.Set("heartbeat_stopped", 1);
  EXPECT_EQ(diag.CheckHeartBeat(), 0u);
  EXPECT_EQ(diag.CheckHeartBeat(), 0u);
  sim.Set("heartbeat_stopped", 0);
  EXPECT_EQ(diag.CheckHeartBeat(), 0u);
  sim.Set("heartbeat_stopped", 1);
  EXPECT_EQ(diag.CheckHeartBeat(), 0u);
  EXPECT_EQ(diag.CheckHeartBeat(), 0u);
  EXPECT_NE(StoredStatus("Adapter_Check"), 112);
  EXPECT_EQ(diag.CheckHeartBeat(), 2u);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 112);
  // The count starts again after a failure; a read that fails counts as a zero.
  sim.Set("heartbeat_stopped", 0);
  sim.Set("fail", "VesddGetMipsStats");
  EXPECT_EQ(diag.CheckHeartBeat(), 0u);
  EXPECT_EQ(diag.CheckHeartBeat(), 0u);
  EXPECT_EQ(diag.CheckHeartBeat(), 2u);

  Diagnostics unloaded;
  EXPECT_EQ(unloaded.CheckHeartBeat(), 4u);
}

// The driver error after opening a channel decides the TCP/IP code; at start-up (mode 0) only
// the connection-sharing errors count, and the stack test runs only in the later modes.
TEST_F(AdapterTestsTest, TcpIpCodesInBothModes) {
  struct Case {
    long long driverError;
    long long stack;
    DWORD mode0;
    DWORD mode1;
  } cases[] = {
      {0, 1, 0, 0},     {0, 0, 0, 802},    {4, 1, 0, 803},
      {9, 1, 805, 805}, {10, 1, 804, 804}, {3, 1, 0, 808},
  };
  for (const Case& c : cases) {
    sim.Set("driver_error", c.driverError);
    sim.Set("tcp_stack", c.stack);
    EXPECT_EQ(TcpIP_Config_Check(&vesdd, 0), c.mode0) << c.driverError;
    EXPECT_EQ(TcpIP_Config_Check(&vesdd, 1), c.mode1) << c.driverError;
    EXPECT_EQ(TcpIP_Config_Check(&vesdd, 2), c.mode1) << c.driverError;
  }
  EXPECT_EQ(TcpIP_Config_Check(nullptr, 1), 808u);

  sim.Set("driver_error", 9);
  EXPECT_FALSE(diag.ValidateTcpIPSettings(0));
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 805);
  sim.Set("driver_error", 4);
  EXPECT_TRUE(diag.ValidateTcpIPSettings(0));
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 0);
  EXPECT_STREQ(TcpIpCodeText(806), "DTS_BOUNDIP");
  EXPECT_STREQ(TcpIpCodeText(801), "Undefined");
}

// The bound address: the fallback and anything that is no address fail and repair the start
// preferences; a good one is passed on to the product's key when that key exists.
TEST_F(AdapterTestsTest, BoundAddressRules) {
  struct Case {
    const char* address;
    long long result;
    bool passed;
    long long status;
  } cases[] = {
      {"10.0.0.2", 1, false, 807},       {"0.0.0.0", 1, false, 806},
      {"not an address", 1, false, 806}, {"255.255.255.255", 1, false, 806},
      {"172.16.42.2", 0, false, 806},    {"192.168.1.20", 1, true, 0},
  };
  int repairs = 0;
  for (const Case& c : cases) {
    CDiagnostics::SetTestStatus(8, 0);
    sim.Set("ip_address", c.address);
    sim.Set("bound_ip_result", c.result);
    EXPECT_EQ(diag.IpAddrCheck(), c.passed) << c.address;
    EXPECT_EQ(StoredStatus("TCPIP_Check"), c.status) << c.address;
    if (!c.passed) ++repairs;
    EXPECT_EQ(diag.startPreferenceRepairs, repairs) << c.address;
  }
  const std::string zephyr = kOrbilink + "\\Zephyr";
  EXPECT_FALSE(KeyExists(zephyr));  // not created
  SetText(zephyr, "Other", "x");
  EXPECT_TRUE(diag.IpAddrCheck());
  DWORD type = 0;
  EXPECT_EQ(RawValue(zephyr, "AdapterIPAddress", &type), std::string("192.168.1.20\0", 13));
  EXPECT_EQ(type, REG_SZ);
}

// The simulation's default installation passes every start-up configuration test; each kind
// of fault gives its start result.
TEST_F(AdapterTestsTest, StartUpConfigurationTests) {
  EXPECT_EQ(diag.PerformConfigurationTests(), 0u);

  sim.Set("adapter_type", 3);
  EXPECT_EQ(diag.PerformConfigurationTests(), 0u);  // read at Initialize
  diag.Initialize();
  EXPECT_EQ(diag.PerformConfigurationTests(), 2u);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 113);
  sim.Set("adapter_type", 2);
  diag.Initialize();

  sim.Set("ip_address", "10.0.0.2");
  EXPECT_EQ(diag.PerformConfigurationTests(), 6u);
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 807);
  sim.Set("ip_address", "172.16.42.2");
  sim.Set("driver_error", 10);
  EXPECT_EQ(diag.PerformConfigurationTests(), 6u);
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 804);
  sim.Set("driver_error", 0);
  sim.Set("tcp_stack", 0);
  EXPECT_EQ(diag.PerformConfigurationTests(), 6u);
  EXPECT_EQ(StoredStatus("TCPIP_Check"), 802);
  sim.Set("tcp_stack", 1);

  // USB adapters: the adapter must answer.
  sim.Set("adapters", "3:8");
  EXPECT_EQ(diag.PerformConfigurationTests(), 0u);
  sim.Set("usb_present", 0);
  EXPECT_EQ(diag.PerformConfigurationTests(), 2u);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 110);
  sim.Set("usb_present", 1);

  sim.Set("adapters", "");
  EXPECT_EQ(diag.PerformConfigurationTests(), 2u);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 101);

  // Without the driver library: 4, and the application is not started for it.
  sim.Set("adapters", "2:8");
  Diagnostics unloaded;
  unloaded.ReadTestParams(0);
  unloaded.Initialize();
  EXPECT_EQ(unloaded.PerformConfigurationTests(), 4u);
}

// Windows 9x: the transport control must answer, and the device registry may hold at most one
// entry of the adapter and one described instance.
TEST_F(AdapterTestsTest, Windows9xChecksTheTransportAndDuplicateEntries) {
  sim.Set("platform_type", 1);
  diag.Initialize();
  EXPECT_FALSE(diag.MultipleRegKey_Check());  // no "Enum\PCI" at all
  EXPECT_TRUE(Traced("CDiagnostics::MultipleRegKey_Check: Error in opening the keys"));
  EXPECT_EQ(StoredStatus("Multiple_RegKey_Test"), 500);

  const std::string pci = "Enum\\PCI\\";
  const std::string first = pci + ORB_PCI_DEVICE_PATTERN "0001&SUBSYS_00000000";
  SetText(first + "\\BUS_00&DEV_0A", "DeviceDesc", ORB_PCI_DEVICE_DESC);
  SetText(pci + "VEN_8086&DEV_1234", "Other", "x");
  SetText(pci + "ven_5a7e&dev_0001", "Other", "x");  // the pattern is case-sensitive
  EXPECT_TRUE(diag.MultipleRegKey_Check());
  EXPECT_EQ(StoredStatus("Multiple_RegKey_Test"), 0);
  EXPECT_EQ(diag.PerformConfigurationTests(), 0u);
  sim.Set("trellis_present", 0);
  EXPECT_EQ(diag.PerformConfigurationTests(), 2u);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 115);
  sim.Set("trellis_present", 1);

  // Two described instances under one entry.
  SetText(first + "\\BUS_00&DEV_0B", "devicedesc", "satellite receiver pci adapter");
  EXPECT_FALSE(diag.MultipleRegKey_Check());
  EXPECT_EQ(diag.PerformConfigurationTests(), 2u);
  DeleteTree(HKEY_LOCAL_MACHINE, first + "\\BUS_00&DEV_0B");
  EXPECT_TRUE(diag.MultipleRegKey_Check());
  // Two entries of the adapter.
  SetText(pci + ORB_PCI_DEVICE_PATTERN "0001&SUBSYS_11111111", "Other", "x");
  EXPECT_FALSE(diag.MultipleRegKey_Check());

  // NT 4 and Windows 2000 do not scan.
  sim.Set("platform_type", 4);
  diag.Initialize();
  EXPECT_TRUE(diag.MultipleRegKey_Check());
}

// The simulation's own device entries carry the adapter's ids: one passes, two are duplicates.
TEST_F(AdapterTestsTest, SimulatedDeviceEntriesMeetTheDuplicateCheck) {
  sim.Set("platform_type", 1);
  diag.Initialize();
  const std::string tool = (winport::testing::BinDir() / "receiver-sim").string();
  ASSERT_EQ(std::system(("'" + tool + "' set pci_entries 1").c_str()), 0);
  EXPECT_TRUE(diag.MultipleRegKey_Check());
  ASSERT_EQ(std::system(("'" + tool + "' set pci_entries 2").c_str()), 0);
  EXPECT_FALSE(diag.MultipleRegKey_Check());
  EXPECT_EQ(StoredStatus("Multiple_RegKey_Test"), 500);
}

// On Windows NT 4 (as the system's version presents it) a PCI adapter needs its network
// driver's device to answer the frames-received query; the simulation describes the device.
TEST_F(AdapterTestsTest, NT4NeedsTheNetworkDriverToAnswer) {
  setenv("WINPORT_OS_VERSION", "4.0.1381,2,Service Pack 6", 1);
  diag.Initialize();
  const std::string tool = (winport::testing::BinDir() / "receiver-sim").string();
  auto simSet = [&](const std::string& name, const std::string& value) {
    std::string command = "'" + tool + "' set " + name + " '" + value + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  };
  simSet("vesndis", "");
  EXPECT_FALSE(diag.VESNDISCheck());
  EXPECT_TRUE(Traced("CDiagnostics::VESNDISCheck - VESNDIS is not configured"));
  EXPECT_EQ(diag.PerformConfigurationTests(), 2u);
  EXPECT_EQ(StoredStatus("Adapter_Check"), 113);

  simSet("vesndis", "VesNdis12");
  EXPECT_TRUE(diag.VESNDISCheck());
  EXPECT_TRUE(
      Traced("CDiagnostics::VESNDISCheck - VESNDIS InstanceName : VesNdis12  LinkName = "
             "\\Device\\VesNdis12"));
  EXPECT_TRUE(Traced("CDiagnostics::VESNDISCheck Frames received: 1000"));
  EXPECT_EQ(diag.PerformConfigurationTests(), 0u);

  simSet("ndis_frames_received", "");
  EXPECT_FALSE(diag.VESNDISCheck());
  EXPECT_TRUE(Traced("CDiagnostics::VESNDISCheck DeviceIoControl returned an error = 50"));
  unsetenv("WINPORT_OS_VERSION");

  Diagnostics win2000;
  win2000.Initialize();
  EXPECT_FALSE(win2000.VESNDISCheck());
  EXPECT_TRUE(Traced("CDiagnostics::VESNDISCheck - this fn should not be called under windows"));
}

}  // namespace
