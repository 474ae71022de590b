#include "winport/thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <set>
#include <vector>

#include "winport/error.h"
#include "winport/handle.h"
#include "winport/sync.h"

namespace winport {
namespace {

struct Gate {
  HANDLE open = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~Gate() { CloseHandle(open); }
};

TEST(Thread, HandleIsSignalledWithTheExitCodeWhenTheThreadEnds) {
  Gate gate;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        WaitForSingleObject(static_cast<Gate*>(p)->open, INFINITE);
        return 42;
      },
      &gate, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  SetEvent(gate.open);
  EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_FALSE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

struct Unwound {
  std::atomic<bool>* flag;
  ~Unwound() { *flag = true; }
};

TEST(Thread, BeginThreadExAndExitThreadUnwindTheStack) {
  static std::atomic<bool> unwound{false};
  unsigned id = 0;
  std::uintptr_t handle = _beginthreadex(
      nullptr, 0,
      [](void*) -> unsigned {
        Unwound guard{&unwound};
        ExitThread(7);
      },
      nullptr, CREATE_SUSPENDED, &id);
  ASSERT_NE(handle, 0u);
  HANDLE thread = reinterpret_cast<HANDLE>(handle);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(unwound);
  CloseHandle(thread);
}

TEST(Thread, IdsAreDistinctAmongLiveThreads) {
  Gate gate;
  std::vector<HANDLE> threads;
  std::set<DWORD> ids{GetCurrentThreadId()};
  for (int i = 0; i < 8; ++i) {
    DWORD id = 0;
    threads.push_back(CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD { return WaitForSingleObject(static_cast<Gate*>(p)->open, INFINITE); },
        &gate, 0, &id));
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 9u);
  SetEvent(gate.open);
  EXPECT_EQ(WaitForMultipleObjects(8, threads.data(), TRUE, 20000), WAIT_OBJECT_0);
  for (HANDLE t : threads) CloseHandle(t);
}

// What the terminated thread saw, reported when it finally gets to run on.
struct Victim {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  HANDLE owns = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::promise<DWORD> waitResult;
  std::promise<BOOL> laterAcquire;
};

TEST(Thread, TerminatedThreadEndsAtOnceAndCanBlockNobody) {
  Victim v;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        auto* v = static_cast<Victim*>(p);
        WaitForSingleObject(v->mutex, INFINITE);
        SetEvent(v->owns);
        v->waitResult.set_value(WaitForSingleObject(v->never, INFINITE));
        // Still running, yet it can take nothing any more.
        v->laterAcquire.set_value(WaitForSingleObject(v->mutex, 0) == WAIT_OBJECT_0);
        return 0;
      },
      &v, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(v.owns, 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(TerminateThread(thread, 1));
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(WaitForSingleObject(v.mutex, 20000), WAIT_ABANDONED_0);
  EXPECT_EQ(v.waitResult.get_future().get(), WAIT_FAILED);
  EXPECT_FALSE(v.laterAcquire.get_future().get());
  EXPECT_TRUE(ReleaseMutex(v.mutex));
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 1u);                      // its own return does not overwrite the code
  EXPECT_TRUE(TerminateThread(thread, 5));  // already ended: no change
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 1u);
  CloseHandle(thread);
  CloseHandle(v.mutex);
  CloseHandle(v.owns);
  CloseHandle(v.never);
}

TEST(Thread, CallsOnBadHandlesFail) {
  DWORD code = 0;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(GetExitCodeThread(event, &code));
  EXPECT_FALSE(TerminateThread(event, 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(GetCurrentThread()));
  EXPECT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(event);
}

}  // namespace
}  // namespace winport
