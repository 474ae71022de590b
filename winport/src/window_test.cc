#include "winport/window.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdlib>
#include <string>
#include <thread>

#include "message_testing.h"
#include "testing.h"
#include "winport/error.h"
#include "winport/message.h"
#include "winport/prefix.h"

namespace winport {
namespace {

constexpr const char* kNavigator = "Orbilink Navigator";

std::string Helper() {
  return (testing::ExecutableDir() / "winport_message_helper").string();
}

HWND HwndOf(const std::string& readyLine) {
  if (readyLine.rfind("ready ", 0) != 0) return nullptr;
  return reinterpret_cast<HWND>(std::strtoull(readyLine.c_str() + 6, nullptr, 16));
}

TEST(WindowTest, RegisteredMessagesAreTheSameInEveryProcess) {
  UINT can = RegisterWindowMessageA("WM_CanSendHealthReport");
  UINT sent = RegisterWindowMessageA("WM_HealthReportSent");
  EXPECT_GE(can, 0xC000u);
  EXPECT_LE(sent, 0xFFFFu);
  EXPECT_NE(can, sent);
  EXPECT_EQ(RegisterWindowMessageA("wm_cansendhealthreport"), can);

  // Another process asks in another order and adds a name of its own.
  testing::Child other(Helper(),
                       {"register", "WM_HealthReportSent", "WM_Other", "WM_CanSendHealthReport"});
  EXPECT_EQ(other.ReadLine(), std::to_string(sent));
  std::string otherId = other.ReadLine();
  EXPECT_EQ(other.ReadLine(), std::to_string(can));
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(std::to_string(RegisterWindowMessageA("WM_Other")), otherId);
  EXPECT_NE(otherId, std::to_string(can));

  for (const char* bad : {"", "two\nlines"}) {
    EXPECT_EQ(RegisterWindowMessageA(bad), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
}

TEST(WindowTest, MessagesFromAnotherProcessArriveInOrder) {
  HWND window = CreateMessageWindow(kNavigator);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(FindWindowA("orbilink navigator", nullptr), window);
  EXPECT_TRUE(IsWindow(window));
  UINT id = RegisterWindowMessageA("WM_CanSendHealthReport");

  constexpr int kCount = 300;  // far more than the socket itself holds
  testing::Child poster(Helper(),
                        {"post", kNavigator, "WM_CanSendHealthReport", std::to_string(kCount)});
  ASSERT_EQ(poster.Wait(), 0);  // done without this thread having read anything
  MSG msg;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(msg.message, id);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(i));
    EXPECT_EQ(msg.lParam, -static_cast<LPARAM>(i));
  }
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(FindWindowA(kNavigator, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(WindowTest, PostingToAWindowOfAnotherProcess) {
  testing::Child navigator(Helper(), {"window", kNavigator});
  HWND remote = HwndOf(navigator.ReadLine());
  ASSERT_NE(remote, nullptr);
  EXPECT_EQ(FindWindowA(kNavigator, nullptr), remote);
  EXPECT_TRUE(IsWindow(remote));
  EXPECT_FALSE(DestroyWindow(remote));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  UINT id = RegisterWindowMessageA("WM_HealthReportSent");
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(PostMessageA(remote, id, i, 1000 + i));
  ASSERT_TRUE(PostMessageA(remote, WM_CLOSE, 0, 0));
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(navigator.ReadLine(),
              std::to_string(id) + " " + std::to_string(i) + " " + std::to_string(1000 + i));
  EXPECT_EQ(navigator.ReadLine(), std::to_string(WM_CLOSE) + " 0 0");
  EXPECT_EQ(navigator.Wait(), 0);
}

TEST(WindowTest, AWindowGoesWithItsThread) {
  HWND window = nullptr;
  std::thread([&] { window = CreateMessageWindow(kNavigator); }).join();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(FindWindowA(kNavigator, nullptr), nullptr);
  EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
}

TEST(WindowTest, WindowOfADeadProcessIsNotFound) {
  testing::Child navigator(Helper(), {"window", kNavigator});
  HWND remote = HwndOf(navigator.ReadLine());
  ASSERT_NE(remote, nullptr);
  ASSERT_EQ(FindWindowA(kNavigator, nullptr), remote);
  navigator.Kill();
  navigator.Wait();

  EXPECT_FALSE(IsWindow(remote));
  EXPECT_FALSE(PostMessageA(remote, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(FindWindowA(kNavigator, nullptr), nullptr);
  // Its registration was cleared away by the search.
  int left = 0;
  for (auto& e : std::filesystem::directory_iterator(RunPath()))
    left += e.path().filename().string().rfind("window.", 0) == 0;
  EXPECT_EQ(left, 0);

  // A new window takes the class over.
  HWND mine = CreateMessageWindow(kNavigator);
  EXPECT_EQ(FindWindowA(kNavigator, nullptr), mine);
  DestroyWindow(mine);
}

LRESULT g_procTotal = 0;
LRESULT CountingProc(HWND, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_USER) g_procTotal += static_cast<LRESULT>(wParam);
  return 42;
}

TEST(WindowTest, LocalWindowsProceduresTimersAndNames) {
  HWND window = CreateMessageWindow("Local Class", "Local Title", CountingProc);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(FindWindowA(nullptr, "local title"), window);
  EXPECT_EQ(FindWindowA("Local Class", "Other Title"), nullptr);

  g_procTotal = 0;
  ASSERT_TRUE(PostMessageA(window, WM_USER, 5, 0));
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, window, 0, 0, PM_REMOVE));
  EXPECT_EQ(DispatchMessageA(&msg), 42);
  EXPECT_EQ(SendMessageA(window, WM_USER, 2, 0), 42);
  EXPECT_EQ(g_procTotal, 7);

  // A window timer reports its window; only thread messages are asked for here.
  ASSERT_EQ(SetTimer(window, 9, 10, nullptr), 9u);
  ASSERT_TRUE(PostMessageA(nullptr, WM_APP, 0, 0));
  ASSERT_TRUE(PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_APP);
  ASSERT_EQ(GetMessageA(&msg, window, WM_TIMER, WM_TIMER), TRUE);
  EXPECT_EQ(msg.hwnd, window);
  EXPECT_EQ(msg.wParam, 9u);
  EXPECT_TRUE(KillTimer(window, 9));

  // Messages still waiting for a destroyed window are dropped with it.
  ASSERT_TRUE(PostMessageA(window, WM_USER, 1, 0));
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(SetTimer(window, 1, 10, nullptr), 0u);
  EXPECT_EQ(GetMessageA(&msg, window, 0, 0), -1);

  EXPECT_EQ(CreateMessageWindow(nullptr), nullptr);
  EXPECT_EQ(CreateMessageWindow(""), nullptr);
  EXPECT_EQ(CreateMessageWindow(std::string(300, 'c').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace winport
