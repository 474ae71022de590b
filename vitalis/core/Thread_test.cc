#include "core/Thread.h"

#include <gtest/gtest.h>
#include <winport/handle.h>
#include <winport/sync.h>
#include <winport/thread.h>

#include <filesystem>

#include "core/TraceLog.h"
#include "core/Win.h"
#include "testing.h"
#include "testing/Registry_testing.h"

namespace {

// A worker whose initialisation succeeds or fails on demand and which, once running, stays
// until the test releases it (so that its shutdown request stays visible meanwhile).
class TestWorker : public CThread {
 public:
  explicit TestWorker(bool initOK) : initOK_(initOK) {
    release_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~TestWorker() override {
    Release();
    StopAndJoin();
    CloseHandle(release_);
  }

  BOOL Run() override {
    m_bInitOK = TRUE;
    if (!initOK_) m_bInitOK = FALSE;
    SetEvent(m_hInitEvent);
    if (!initOK_) return FALSE;
    WaitForSingleObject(release_, INFINITE);
    return TRUE;
  }
  const char* GetClassName() override { return "TestWorker (Test Thread)"; }

  void Release() { SetEvent(release_); }
  void Rearm() { ResetEvent(release_); }

 private:
  bool initOK_;
  HANDLE release_;
};

DWORD ExitCode(HANDLE thread) {
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  return code;
}

class WorkerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { vitalis_testing::TraceTo(file_, 2); }
  void TearDown() override { CTraceLog::Close(); }
  std::filesystem::path file_ = winport::testing::MakeTempDir("thread") / "t.log";
};

TEST_F(WorkerThreadTest, HandshakeShutdownRequestAndRestart) {
  TestWorker worker(true);
  for (int run = 0; run < 2; ++run) {
    worker.Rearm();
    ASSERT_TRUE(worker.Start());
    EXPECT_TRUE(worker.IsStarted());
    EXPECT_EQ(worker.WaitForShutDown(0), 1);

    // Still running: the caller gets the handle to wait on, and the request stays visible.
    HANDLE thread = worker.OnShutDown();
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(worker.WaitForShutDown(0), 0);
    EXPECT_EQ(worker.WaitForShutDown(20), 0);

    worker.Release();
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(thread), 0u);
    EXPECT_FALSE(worker.IsStarted());
    // The thread reset the shutdown event on its way out, so the object can start again.
    EXPECT_EQ(worker.WaitForShutDown(0), 1);
  }
}

TEST_F(WorkerThreadTest, AWorkerGivenUpOnOutlivesItsThreadsLastLines) {
  // A terminated thread is only abandoned and runs on through its last lines; destroying its
  // object at once must wait for them instead of pulling the object from under it.
  constexpr int kRuns = 20;
  CTraceLog::SetTraceLevel(8);
  for (int run = 0; run < kRuns; ++run) {
    auto* worker = new TestWorker(true);
    ASSERT_TRUE(worker->Start());
    ASSERT_TRUE(TerminateThread(worker->GetThreadHandle(), 1));
    delete worker;
  }
  EXPECT_EQ(vitalis_testing::Count(winport::testing::ReadFile(file_),
                                   "CThread::ThreadEntry - Thread exited"),
            kRuns);
}

// A worker like the module's own: polls the shutdown event and, on its way out, touches a
// member of its derived part.
class PollingWorker : public CThread {
 public:
  ~PollingWorker() override { StopAndJoin(); }
  BOOL Run() override {
    m_bInitOK = TRUE;
    SetEvent(m_hInitEvent);
    while (WaitForShutDown(INFINITE)) {
    }
    ++passes_;
    return TRUE;
  }
  const char* GetClassName() override { return "PollingWorker (Test Thread)"; }
  int passes_ = 0;
};

TEST_F(WorkerThreadTest, StopAndJoinEndsTheThreadBeforeReturningAndCanBeRepeated) {
  PollingWorker worker;
  worker.StopAndJoin();  // never started: nothing to do
  for (int run = 1; run <= 2; ++run) {
    ASSERT_TRUE(worker.Start());
    worker.StopAndJoin();
    // The thread's last use of the object is behind us: the count is final and the handle ended.
    EXPECT_EQ(worker.passes_, run);
    EXPECT_FALSE(worker.IsStarted());
    EXPECT_EQ(WaitForSingleObject(worker.GetThreadHandle(), 10000), WAIT_OBJECT_0);
    worker.StopAndJoin();
    EXPECT_EQ(worker.passes_, run);
    // The request does not outlive the thread: a new start runs until asked again.
    EXPECT_EQ(worker.WaitForShutDown(0), 1);
  }
}

// Without a running thread there is nothing to wait for: never started (which is traced), a
// start whose initialisation failed, or a thread that has ended.
TEST_F(WorkerThreadTest, OnShutDownWithoutARunningThreadReturnsNull) {
  {
    TestWorker worker(true);
    EXPECT_EQ(worker.OnShutDown(), nullptr);
  }
  EXPECT_TRUE(vitalis_testing::Has(
      vitalis_testing::ReadTrace(file_),
      "CThread::OnShutDown - the event handle is NULL for TestWorker (Test Thread) or the "
      "thread is not started , thread started =0"));

  TestWorker failing(false);
  EXPECT_FALSE(failing.Start());
  EXPECT_FALSE(failing.IsStarted());
  EXPECT_EQ(failing.OnShutDown(), nullptr);

  TestWorker ended(true);
  ASSERT_TRUE(ended.Start());
  ended.Release();
  ASSERT_EQ(WaitForSingleObject(ended.GetThreadHandle(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(ended.OnShutDown(), nullptr);
}

}  // namespace
