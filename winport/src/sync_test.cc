#include "winport/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sync_test_child.h"
#include "winport/error.h"
#include "winport/handle.h"
#include "winport/process.h"

namespace winport {
namespace {

using test::Finish;
using test::RunChild;
using test::StartChild;
using test::UniqueName;

// Named objects go through the shared table, unnamed ones stay in the process: both must
// behave alike.
class BothKinds : public ::testing::TestWithParam<bool> {
 protected:
  std::string name_ = GetParam() ? UniqueName("obj") : "";
  const char* Name() const { return GetParam() ? name_.c_str() : nullptr; }
};

INSTANTIATE_TEST_SUITE_P(Sync, BothKinds, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });

TEST_P(BothKinds, EventsKeepOrConsumeTheirSignal) {
  HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, Name());
  ASSERT_NE(manual, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  CloseHandle(manual);

  std::string autoName = name_ + "-auto";
  HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, GetParam() ? autoName.c_str() : nullptr);
  ASSERT_NE(automatic, nullptr);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(automatic));
  ASSERT_TRUE(SetEvent(automatic));  // sets do not add up
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  // A pulse with nobody waiting releases nobody and leaves the event reset.
  ASSERT_TRUE(PulseEvent(automatic));
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  // Event calls refuse a mutex.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  EXPECT_FALSE(SetEvent(mutex));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReleaseMutex(automatic));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(mutex);
  CloseHandle(automatic);
}

TEST_P(BothKinds, AutoResetEventReleasesExactlyOneWaiterPerSet) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, Name());
  ASSERT_NE(event, nullptr);
  constexpr int kWaiters = 4;
  std::mutex lock;
  std::condition_variable changed;
  int released = 0;
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(WaitForSingleObject(event, 20000), WAIT_OBJECT_0);
      std::lock_guard guard(lock);
      ++released;
      changed.notify_all();
    });
  }
  // One set at a time, each after the previous one was consumed: if any set released two
  // waiters, the last set would find nobody and leave the event signalled.
  for (int set = 1; set <= kWaiters; ++set) {
    ASSERT_TRUE(SetEvent(event));
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return released >= set; });
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released, kWaiters);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST_P(BothKinds, MutexIsRecursiveAndOwnedByOneThread) {
  HANDLE mutex = CreateMutexA(nullptr, TRUE, Name());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // owned twice now

  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  }).join();

  EXPECT_TRUE(ReleaseMutex(mutex));
  std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT); }).join();
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
  }).join();
  CloseHandle(mutex);
}

TEST_P(BothKinds, MutexOfAThreadThatEndedIsAbandonedOnce) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, Name());
  ASSERT_NE(mutex, nullptr);
  HANDLE waitingFor = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread owner([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    SetEvent(waitingFor);
  });
  // This waiter is blocked (or about to be) when the owner ends.
  ASSERT_EQ(WaitForSingleObject(waitingFor, 20000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_ABANDONED_0);
  owner.join();
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));  // acquired once, however deep the dead owner went
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(waitingFor);
  CloseHandle(mutex);
}

TEST(Sync, WaitAllTakesEverythingOrNothing) {
  HANDLE first = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  std::string name = UniqueName("all");
  HANDLE second = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  HANDLE handles[] = {first, second, mutex};

  EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 0), WAIT_TIMEOUT);
  // Nothing was taken by the failed attempt.
  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
  }).join();

  std::thread setter([&] { SetEvent(second); });
  EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 20000), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(mutex));

  // An abandoned mutex among them is reported with its index.
  std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); }).join();
  SetEvent(first);
  SetEvent(second);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 20000), WAIT_ABANDONED_0 + 2);
  EXPECT_TRUE(ReleaseMutex(mutex));
  for (HANDLE h : handles) CloseHandle(h);
}

TEST(Sync, WaitAnyGivesTheFirstSignalledIndexAndHonoursTheTimeout) {
  HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE b = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE c = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE handles[] = {a, b, c};

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 60), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(a, 30), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

  SetEvent(c);
  SetEvent(b);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);  // b consumed
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);  // manual

  std::thread setter([&] { SetEvent(a); });
  ResetEvent(c);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, INFINITE), WAIT_OBJECT_0);
  setter.join();
  for (HANDLE h : handles) CloseHandle(h);
}

TEST(Sync, BadHandlesFailAtOnce) {
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  for (HANDLE bad : {closed, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(bad, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE pair[] = {event, bad};
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(bad));
    EXPECT_FALSE(ReleaseMutex(bad));
  }
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
  EXPECT_EQ(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, many.data(), TRUE, 0), WAIT_FAILED);  // twice in wait-all
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(event);
}

TEST(Sync, NamesAreCheckedAndSharedByKind) {
  std::string name = UniqueName("names");
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  std::string global = "Global\\" + name;
  HANDLE again = CreateEventA(nullptr, FALSE, TRUE, global.c_str());  // flags of the first stand
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  SetEvent(again);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // still manual reset
  HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  EXPECT_NE(opened, nullptr);

  EXPECT_EQ(CreateMutexA(nullptr, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);

  // The name lives while any handle does, then is free for a fresh object.
  CloseHandle(event);
  CloseHandle(again);
  HANDLE stillThere = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
  EXPECT_NE(stillThere, nullptr);
  CloseHandle(stillThere);
  CloseHandle(opened);
  SetLastError(0);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE fresh = CreateMutexA(nullptr, FALSE, name.c_str());
  EXPECT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(fresh);

  std::string longest(MAX_PATH, 'n');
  HANDLE ok = CreateEventA(nullptr, TRUE, FALSE, longest.c_str());
  EXPECT_NE(ok, nullptr);
  CloseHandle(ok);
  for (std::string bad :
       {longest + "n", std::string("a\\b"), std::string("Global\\a\\b"), std::string(5000, '\\')}) {
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, bad.c_str()), nullptr) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, bad.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_EQ(CreateMutexA(nullptr, TRUE, bad.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  }
}

TEST(Sync, AFullTableOfNamesFailsCleanlyAndRecovers) {
  std::vector<HANDLE> handles;
  HANDLE h;
  std::string stem = UniqueName("fill");
  while (handles.size() < 100000 &&
         (h = CreateEventA(nullptr, TRUE, FALSE, (stem + std::to_string(handles.size())).c_str())))
    handles.push_back(h);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_GE(handles.size(), 1000u);
  HANDLE unnamed = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // unnamed ones still work
  EXPECT_NE(unnamed, nullptr);
  CloseHandle(unnamed);
  CloseHandle(handles.back());
  handles.pop_back();
  HANDLE again = CreateMutexA(nullptr, TRUE, (stem + "-again").c_str());
  EXPECT_NE(again, nullptr);
  EXPECT_TRUE(ReleaseMutex(again));
  CloseHandle(again);
  for (HANDLE each : handles) CloseHandle(each);
}

// Across processes.

TEST(SyncProcesses, CreateReportsAnObjectAnotherProcessMade) {
  std::string name = UniqueName("exists");
  EXPECT_EQ(RunChild("create-event " + name), 0u);  // gone again with the child
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(RunChild("create-event " + name), 1u);
  EXPECT_EQ(RunChild("create-event Local\\" + name), 1u);
  CloseHandle(event);
}

TEST(SyncProcesses, ObjectsOfAnotherPrefixAreInvisible) {
  std::string name = UniqueName("prefix");
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(event, nullptr);
  std::string other = winport::testing::MakeTempDir("other-prefix").string();
  EXPECT_EQ(RunChild("create-event-in " + other + " " + name), 0u);
  EXPECT_EQ(RunChild("create-event " + name), 1u);
  CloseHandle(event);
}

TEST(SyncProcesses, WaitAnyOverANamedAndAnUnnamedEvent) {
  HANDLE local = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::string name = UniqueName("any");
  HANDLE named = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  HANDLE handles[] = {local, named};
  HANDLE child = StartChild("set-event " + name);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 20000), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(Finish(child), 0u);
  std::thread setter([&] { SetEvent(local); });
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 20000), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_TIMEOUT);
  CloseHandle(local);
  CloseHandle(named);
}

TEST(SyncProcesses, ASetWakesAWaiterInAnotherProcess) {
  std::string name = UniqueName("wake");
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  HANDLE child = StartChild("wait-event " + name);
  EXPECT_EQ(WaitForSingleObject(child, 0), WAIT_TIMEOUT);
  SetEvent(event);
  EXPECT_EQ(Finish(child), 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // the child took the one set
  CloseHandle(event);
}

TEST(SyncProcesses, KilledOwnerLeavesTheMutexAbandoned) {
  std::string name = UniqueName("mutex");
  std::string readyName = UniqueName("ready");
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, readyName.c_str());
  HANDLE child = StartChild("hold-mutex " + name + " " + readyName);
  ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);

  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  // The owner dies while this process is already waiting.
  std::thread killer([&] { TerminateProcess(child, 9); });
  EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_ABANDONED_0);
  killer.join();
  EXPECT_EQ(Finish(child), 9u);
  EXPECT_TRUE(ReleaseMutex(mutex));

  // The next process to come gets it plainly.
  HANDLE second = StartChild("hold-mutex " + name + " " + readyName);
  HANDLE pair[] = {ready, second};
  ASSERT_EQ(WaitForMultipleObjects(2, pair, FALSE, 20000), WAIT_OBJECT_0);
  TerminateProcess(second, 1);
  EXPECT_EQ(Finish(second), 1u);
  EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_ABANDONED_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
  CloseHandle(ready);
}

TEST(SyncProcesses, KilledHolderFreesTheName) {
  std::string name = UniqueName("held");
  std::string readyName = UniqueName("ready");
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, readyName.c_str());
  HANDLE child = StartChild("hold-event " + name + " " + readyName);
  ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
  HANDLE opened = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
  ASSERT_NE(opened, nullptr);
  CloseHandle(opened);

  TerminateProcess(child, 1);
  EXPECT_EQ(Finish(child), 1u);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  EXPECT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(fresh);
  CloseHandle(ready);
}

TEST(SyncProcesses, DeathInsideTheSharedTableBlocksNobody) {
  std::string name = UniqueName("crash");
  EXPECT_EQ(RunChild("die-in-table " + name), 0u);
  SetLastError(0);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  EXPECT_NE(event, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(SetEvent(event));
  CloseHandle(event);
}

}  // namespace
}  // namespace winport
