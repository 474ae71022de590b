// navigator-sim as a process: the lines it prints for the module's messages and the
// DAK_CONNSTATE records it writes into a mailslot of the test's own.
#include <gtest/gtest.h>
#include <winport/handle.h>
#include <winport/mailslot.h>
#include <winport/window.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "process_testing.h"

namespace {

using namespace winport;
using winport::testing::Process;

class NavigatorSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_hSlot = CreateMailslotA("\\\\.\\mailslot\\DAKUsabilitySlot", 0, 30000, nullptr);
    ASSERT_NE(m_hSlot, INVALID_HANDLE_VALUE);
  }
  void TearDown() override { CloseHandle(m_hSlot); }

  // The state of the next DAK_CONNSTATE record (waited for), or -1.
  int NextState() {
    std::uint8_t record[64];
    DWORD read = 0;
    if (!ReadFile(m_hSlot, record, sizeof record, &read, nullptr) || read != 8) return -1;
    EXPECT_EQ(record[0], 4);  // DAK_CONNSTATE
    return record[4] | record[5] << 8 | record[6] << 16 | record[7] << 24;
  }
  static void Post(const char* name, WPARAM code = 0) {
    HWND window = FindWindowA("Orbilink Navigator", nullptr);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageA(window, RegisterWindowMessageA(name), code, 0));
  }

  HANDLE m_hSlot = nullptr;
};

TEST_F(NavigatorSimTest, ConnectsOnRequestAndHangsUpAfterTheOutcome) {
  Process navigator({"navigator-sim", "--connect", "--dial-ms", "50"});
  EXPECT_NE(navigator.NextLine().find("ready"), std::string::npos);
  Post("WM_CanSendHealthReport");
  EXPECT_EQ(navigator.NextLine(), "WM_CanSendHealthReport");
  EXPECT_EQ(NextState(), 1);
  EXPECT_EQ(NextState(), 2);
  Post("WM_HealthReportSent", 2);
  EXPECT_EQ(navigator.NextLine(), "sent DAK_CONNSTATE CONN_CONNECTING");
  EXPECT_EQ(navigator.NextLine(), "sent DAK_CONNSTATE CONN_CONNECTED");
  EXPECT_EQ(navigator.NextLine(), "WM_HealthReportSent code=2");
  EXPECT_EQ(NextState(), 0);
  Post("WM_NotForTheNavigator");
  HWND window = FindWindowA("Orbilink Navigator", nullptr);
  ASSERT_TRUE(PostMessageA(window, WM_CLOSE, 0, 0));
  EXPECT_EQ(navigator.NextLine(), "sent DAK_CONNSTATE CONN_IDLE");
  EXPECT_EQ(navigator.NextLine(), "WM_CLOSE");
  EXPECT_EQ(navigator.Wait(), 0);
}

TEST_F(NavigatorSimTest, FailedDialGoesBackToIdleAndSigtermEndsIt) {
  Process navigator({"navigator-sim", "--fail-connect", "--dial-ms", "0"});
  EXPECT_NE(navigator.NextLine().find("ready"), std::string::npos);
  Post("WM_CanSendHealthReport");
  EXPECT_EQ(NextState(), 1);
  EXPECT_EQ(NextState(), 0);
  // Without --connect semantics left over, an outcome message changes nothing.
  Post("WM_HealthReportSent", 1);
  EXPECT_EQ(navigator.NextLine(), "WM_CanSendHealthReport");
  EXPECT_EQ(navigator.NextLine(), "sent DAK_CONNSTATE CONN_CONNECTING");
  EXPECT_EQ(navigator.NextLine(), "sent DAK_CONNSTATE CONN_IDLE");
  EXPECT_EQ(navigator.NextLine(), "WM_HealthReportSent code=1");
  EXPECT_EQ(navigator.Kill(SIGTERM), 0);
  EXPECT_EQ(navigator.NextLine(), "WM_CLOSE");
}

TEST_F(NavigatorSimTest, WithoutConnectItOnlyListens) {
  Process navigator({"navigator-sim"});
  EXPECT_NE(navigator.NextLine().find("ready"), std::string::npos);
  Post("WM_CanSendHealthReport");
  EXPECT_EQ(navigator.NextLine(), "WM_CanSendHealthReport");
  EXPECT_EQ(navigator.Kill(SIGINT), 0);
  EXPECT_EQ(navigator.NextLine(), "WM_CLOSE");
  DWORD waiting = 0;
  EXPECT_TRUE(GetMailslotInfo(m_hSlot, nullptr, nullptr, &waiting, nullptr));
  EXPECT_EQ(waiting, 0u);
}

}  // namespace
