// The receiver library wrappers against the stand-in libraries.
#include <gtest/gtest.h>
#include <winport/library.h>

#include <cstring>

#include "core/Win.h"
#include "driver/SimControl_testing.h"
#include "driver/TrellisConfig.h"
#include "driver/UsbInterface.h"
#include "driver/VESDDInterface.h"
#include "testing.h"

namespace {

class CVESDDFromFile : public CVESDDInterface {
 public:
  explicit CVESDDFromFile(const std::string& path) {
    std::snprintf(m_szFileName, sizeof m_szFileName, "%s", path.c_str());
  }
};

TEST(VESDDInterface, BindsAllEntryPointsAndAnswersFromTheSimulation) {
  SimControl sim;
  sim.Set("site_id", "SITE77");
  sim.Set("serial", "SN9999");
  sim.Set("driver_version", "5.1");
  sim.Set("heartbeat", 500);
  sim.Set("heartbeat_rate", 0);
  CVESDDInterface vesdd;
  ASSERT_TRUE(vesdd.Load());
  EXPECT_TRUE(vesdd.m_bLoaded);

  DWORD channel = 99;
  ASSERT_TRUE(vesdd.OpenChannel(1, &channel));
  EXPECT_EQ(channel, 1u);
  char text[VESDD_STATSDUMP_LEN] = {};
  ASSERT_TRUE(vesdd.GetSiteID(text));
  EXPECT_STREQ(text, "SITE77");
  ASSERT_TRUE(vesdd.GetSN(channel, text));
  EXPECT_STREQ(text, "SN9999");
  ASSERT_TRUE(vesdd.GetDrvVersion(channel, text));
  EXPECT_STREQ(text, "5.1");
  BYTE mips[MIPS_STATS_SIZE] = {};
  ASSERT_TRUE(vesdd.GetMipsStats(channel, mips, sizeof mips));
  EXPECT_EQ(mips[0] | mips[1] << 8, 500);
  // The dump takes its type first and the channel last; the stand-in refuses other types.
  EXPECT_NE(vesdd.GetStatsDump(channel, text, VESDD_STATSDUMP_LEN), 0u);
  EXPECT_NE(std::strstr(text, "Address 224.0.1.1\n"), nullptr);
  EXPECT_TRUE(vesdd.CloseChannel(channel));

  sim.Set("fail", "VesddGetStats,VesddGetSatelliteStatus");
  BYTE block[VESNDIS_STATS_SIZE];
  EXPECT_FALSE(vesdd.GetStats(channel, block, sizeof block));
  BYTE status[SATELLITE_STATUS_SIZE];
  EXPECT_EQ(vesdd.GetSatelliteStatus(status, channel), 0u);

  EXPECT_TRUE(vesdd.Unload());
  EXPECT_FALSE(vesdd.m_bLoaded);
  EXPECT_EQ(vesdd.GetModuleHandle(), nullptr);
  EXPECT_EQ(vesdd.GetLastError(), static_cast<DWORD>(-1));
  EXPECT_FALSE(vesdd.Unload());
}

TEST(VESDDInterface, LibraryLackingOneEntryPointIsNotUsable) {
  CVESDDFromFile vesdd((winport::testing::LibDir() / "libvesdd32_noclear.so").string());
  EXPECT_FALSE(vesdd.Load());
  EXPECT_FALSE(vesdd.m_bLoaded);
  EXPECT_FALSE(vesdd.AreEntryPointsBound());
  // Loaded all the same, and the first entry points were bound.
  EXPECT_NE(vesdd.GetModuleHandle(), nullptr);
  DWORD channel = 0;
  EXPECT_TRUE(vesdd.OpenChannel(1, &channel));

  CVESDDFromFile missing("libnosuchlibrary.so");
  EXPECT_FALSE(missing.Load());
  EXPECT_NE(missing.GetLastLoadError(), 0u);
}

TEST(VESDDInterface, SimulatedMissingEntryPoint) {
  SimControl sim;
  sim.Set("missing", "VesddClearAddrStats");
  {
    CVESDDInterface vesdd;
    EXPECT_FALSE(vesdd.Load());
    EXPECT_NE(vesdd.GetModuleHandle(), nullptr);
    EXPECT_EQ(vesdd.GetEntryPoint("VesddClearAddrStats"), nullptr);
    EXPECT_NE(vesdd.GetEntryPoint("VesddOpenChannel"), nullptr);
    vesdd.Unload();
  }
  sim.Set("missing", "");
  CVESDDInterface vesdd;
  EXPECT_TRUE(vesdd.Load());

  sim.Set("missing", "USBGetLastError");
  CUsbInterface usb;
  EXPECT_FALSE(usb.Load());
  EXPECT_EQ(usb.GetModuleHandle(), nullptr);  // unloaded again
  EXPECT_FALSE(usb.IsUsbResponding());
}

TEST(VESDDInterface, ResultRules) {
  SimControl sim;
  CVESDDInterface vesdd;
  ASSERT_TRUE(vesdd.Load());

  // A channel result of 0 is a valid handle; a negative one fails and keeps the old value.
  sim.Set("channel", 0);
  DWORD channel = 42;
  EXPECT_TRUE(vesdd.OpenChannel(1, &channel));
  EXPECT_EQ(channel, 0u);
  sim.Set("channel", -3);
  channel = 42;
  EXPECT_FALSE(vesdd.OpenChannel(1, &channel));
  EXPECT_EQ(channel, 42u);

  // Only the low 16 bits of the operation mode count.
  sim.Set("operation_mode", 65538);
  WORD mode = 0;
  EXPECT_TRUE(vesdd.GetDriverOperationMode(&mode));
  EXPECT_EQ(mode, 2);

  // The bound address is good only for a library result of exactly 1.
  char ip[VESDD_IPADDR_LEN] = {};
  sim.Set("bound_ip_result", 1);
  EXPECT_TRUE(vesdd.GetBoundIPAddress(ip, sizeof ip));
  EXPECT_STREQ(ip, "172.16.42.2");
  sim.Set("bound_ip_result", 2);
  EXPECT_FALSE(vesdd.GetBoundIPAddress(ip, sizeof ip));
  sim.Set("bound_ip_result", 0);
  EXPECT_FALSE(vesdd.GetBoundIPAddress(ip, sizeof ip));

  sim.Set("driver_error", 9);
  EXPECT_EQ(vesdd.GetLastError(), 9u);
  EXPECT_TRUE(vesdd.SetReceiveFreq(channel, 12000));
  sim.Set("fail", "VesddSetReceiveFreq");
  EXPECT_FALSE(vesdd.SetReceiveFreq(channel, 12000));
}

TEST(UsbInterface, ProbeAndDeviceHandle) {
  SimControl sim;
  CUsbInterface usb;
  EXPECT_TRUE(usb.IsUsbResponding());
  EXPECT_TRUE(usb.m_bLoaded);
  EXPECT_EQ(usb.GetDeviceHandle(), 0u);

  sim.Set("usb_present", 0);
  EXPECT_FALSE(usb.IsUsbResponding());

  // Closing clears the handle even when the library reports failure.
  sim.Set("usb_present", 1);
  ASSERT_TRUE(usb.OpenDevice());
  EXPECT_NE(usb.GetDeviceHandle(), 0u);
  sim.Set("fail", "USBCloseDevice");
  EXPECT_FALSE(usb.CloseDevice());
  EXPECT_EQ(usb.GetDeviceHandle(), 0u);

  sim.Set("usb_error", 31);
  EXPECT_EQ(usb.USBGetLastError(), 31u);
  EXPECT_TRUE(usb.Unload());
  EXPECT_EQ(usb.USBGetLastError(), 999u);
  EXPECT_FALSE(usb.GetAdapterStats(nullptr));
}

TEST(TrellisConfig, ProbeAlwaysUnloads) {
  SimControl sim;
  CTrellisConfig trellis;
  EXPECT_TRUE(trellis.IsTrellisResponding());
  EXPECT_EQ(trellis.GetModuleHandle(), nullptr);
  EXPECT_EQ(trellis.GetLastError(), 0u);  // slots cleared with the unload

  sim.Set("trellis_present", 0);
  EXPECT_FALSE(trellis.IsTrellisResponding());
  EXPECT_EQ(trellis.GetModuleHandle(), nullptr);

  // An object that goes without unloading takes the shared entry points with it.
  sim.Set("trellis_present", 1);
  {
    CTrellisConfig loaded;
    ASSERT_TRUE(loaded.Load());
  }
  EXPECT_FALSE(trellis.OpenChannel());
}

}  // namespace
