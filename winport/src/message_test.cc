#include "winport/message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "winport/clock.h"
#include "winport/error.h"
#include "winport/thread.h"

namespace winport {
namespace {

// What the timer procedures saw, per test.
std::mutex g_lock;
std::vector<std::pair<UINT_PTR, DWORD>> g_fired;  // (timer id, thread id)

void RecordTimer(HWND, UINT message, UINT_PTR id, DWORD) {
  EXPECT_EQ(message, WM_TIMER);
  std::lock_guard guard(g_lock);
  g_fired.emplace_back(id, GetCurrentThreadId());
}

int FiredCount(UINT_PTR id) {
  std::lock_guard guard(g_lock);
  int n = 0;
  for (auto& [t, thread] : g_fired) n += t == id;
  return n;
}

// Runs the thread's message loop until `done` says so.
template <class Done>
void PumpUntil(Done done) {
  MSG msg;
  while (!done()) {
    ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

TEST(MessageTest, TimersFireOnlyOnTheirOwnThread) {
  g_fired.clear();
  UINT_PTR ids[2] = {};
  DWORD threads[2] = {};
  auto run = [&](int i) {
    threads[i] = GetCurrentThreadId();
    ids[i] = SetTimer(nullptr, 0, 10, RecordTimer);
    ASSERT_NE(ids[i], 0u);
    PumpUntil([&] { return FiredCount(ids[i]) >= 3; });
    EXPECT_TRUE(KillTimer(nullptr, ids[i]));
  };
  std::thread a(run, 0), b(run, 1);
  a.join();
  b.join();
  ASSERT_NE(ids[0], ids[1]);
  std::lock_guard guard(g_lock);
  for (auto& [id, thread] : g_fired) EXPECT_EQ(thread, id == ids[0] ? threads[0] : threads[1]);
}

TEST(MessageTest, KillTimerStopsItAndSetTimerReplaces) {
  g_fired.clear();
  UINT_PTR first = SetTimer(nullptr, 0, 10, RecordTimer);
  ASSERT_NE(first, 0u);
  PumpUntil([&] { return FiredCount(first) == 1; });
  EXPECT_TRUE(KillTimer(nullptr, first));
  EXPECT_FALSE(KillTimer(nullptr, first));

  // Setting an existing thread timer's id again changes that timer instead of adding one.
  UINT_PTR second = SetTimer(nullptr, 0, 1000000, RecordTimer);
  EXPECT_EQ(SetTimer(nullptr, second, 20, RecordTimer), second);
  PumpUntil([&] { return FiredCount(second) == 3; });
  EXPECT_EQ(FiredCount(first), 1);
  KillTimer(nullptr, second);

  // An unknown id without a window is not taken over: a fresh id comes back.
  UINT_PTR third = SetTimer(nullptr, 424242, 10, RecordTimer);
  EXPECT_NE(third, 424242u);
  // Stopping a thread timer from another thread of the process, as a shutdown does.
  std::thread([&] { EXPECT_TRUE(KillTimer(nullptr, third)); }).join();
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(MessageTest, OneWmTimerPendingHoweverLateTheThreadLooks) {
  UINT_PTR id = SetTimer(nullptr, 0, 10, RecordTimer);
  Sleep(60);  // several periods pass without the thread looking
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_TIMER);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, id);
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  KillTimer(nullptr, id);
}

TEST(MessageTest, ForgedTimerMessagesCallNothing) {
  g_fired.clear();
  UINT_PTR id = SetTimer(nullptr, 0, 1000000, RecordTimer);
  // Anyone can post WM_TIMER; only the procedure the timer was set with may be called.
  MSG forged{nullptr, WM_TIMER, id, 0x1234, 0, {0, 0}};
  EXPECT_EQ(DispatchMessageA(&forged), 0);
  forged.wParam = id + 1;
  forged.lParam = reinterpret_cast<LPARAM>(&RecordTimer);
  DispatchMessageA(&forged);
  EXPECT_EQ(FiredCount(id) + FiredCount(id + 1), 0);
  forged.wParam = id;
  DispatchMessageA(&forged);
  EXPECT_EQ(FiredCount(id), 1);
  EXPECT_EQ(DispatchMessageA(nullptr), 0);
  KillTimer(nullptr, id);
}

TEST(MessageTest, ThreadMessagesInOrderAndQuit) {
  std::mutex lock;
  std::condition_variable cv;
  DWORD target = 0;
  std::vector<std::pair<UINT, WPARAM>> got;
  int exitCode = -1;
  std::thread receiver([&] {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
    {
      std::lock_guard guard(lock);
      target = GetCurrentThreadId();
    }
    cv.notify_one();
    BOOL r;
    while ((r = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
      got.emplace_back(msg.message, msg.wParam);
      if (msg.message == WM_USER + 1) PostQuitMessage(7);
    }
    EXPECT_EQ(r, FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    exitCode = static_cast<int>(msg.wParam);
  });
  {
    std::unique_lock guard(lock);
    cv.wait(guard, [&] { return target != 0; });
  }
  for (WPARAM i = 0; i < 500; ++i) ASSERT_TRUE(PostThreadMessageA(target, WM_USER, i, 0));
  ASSERT_TRUE(PostThreadMessageA(target, WM_USER + 1, 0, 0));
  receiver.join();
  ASSERT_EQ(got.size(), 501u);
  for (WPARAM i = 0; i < 500; ++i) EXPECT_EQ(got[i], std::make_pair(WM_USER, i));
  EXPECT_EQ(exitCode, 7);

  // The thread is gone, and with it its queue.
  EXPECT_FALSE(PostThreadMessageA(target, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(MessageTest, FiltersAndAFullQueue) {
  DWORD self = GetCurrentThreadId();
  ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 5, 1, 0));
  ASSERT_TRUE(PostThreadMessageA(self, WM_APP, 2, 0));
  MSG msg;
  // A range skips what is outside it and leaves it waiting.
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_FALSE(PeekMessageA(nullptr, nullptr, 0, 0, PM_REMOVE));

  // A queue that nobody empties fills up; posting then fails instead of growing for ever.
  int posted = 0;
  while (PostThreadMessageA(self, WM_USER, 0, 0) && posted < 20000) ++posted;
  EXPECT_EQ(posted, 10000);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  EXPECT_TRUE(PostThreadMessageA(self, WM_USER, 0, 0));
}

}  // namespace
}  // namespace winport
