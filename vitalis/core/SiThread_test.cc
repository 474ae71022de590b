// The service-information receiver's thread: notifications reach the handler, and a stop lets
// a handler already running finish before the receiver (and whatever the handler uses) goes.
#include "core/SiThread.h"

#include <gtest/gtest.h>
#include <winport/handle.h>
#include <winport/sync.h>

#include <atomic>

#include "core/Win.h"

namespace {

constexpr DWORD kWaitMs = 10000;
// How long one notification's work takes: longer than a second, as a configuration reload can
// on a loaded machine.
constexpr DWORD kWorkMs = 1500;

class CSlowReceiver : public CSiRx {
 public:
  CSlowReceiver()
      : m_hEntered(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        m_hNever(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~CSlowReceiver() override {
    Stop();
    CloseHandle(m_hEntered);
    CloseHandle(m_hNever);
  }

  void SiRx_Run() override {
    ++m_runs;
    SetEvent(m_hEntered);
    // The work: a wait that nothing ends early. A thread given up on sees it fail.
    m_workResult = WaitForSingleObject(m_hNever, kWorkMs);
    m_finished = true;
  }

  bool WaitUntilEntered() { return WaitForSingleObject(m_hEntered, kWaitMs) == WAIT_OBJECT_0; }

  std::atomic<int> m_runs{0};
  std::atomic<DWORD> m_workResult{0};
  std::atomic<bool> m_finished{false};

 private:
  HANDLE m_hEntered;
  HANDLE m_hNever;
};

TEST(SiReceiverTest, StopLetsTheRunningHandlerFinish) {
  CSlowReceiver receiver;
  ASSERT_TRUE(receiver.Create(FALSE));
  ASSERT_TRUE(receiver.StartThread());
  HANDLE notify = CreateEventA(nullptr, TRUE, FALSE, "SI_NotificationEvent");
  ASSERT_NE(notify, nullptr);
  SetEvent(notify);
  ASSERT_TRUE(receiver.WaitUntilEntered());
  ResetEvent(notify);  // the receiver never resets it itself
  CloseHandle(notify);

  receiver.Stop();
  // The handler ran its whole work, uncut, before the stop returned; the thread is gone.
  EXPECT_TRUE(receiver.m_finished);
  EXPECT_EQ(receiver.m_workResult, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(receiver.m_runs, 1);
  EXPECT_EQ(receiver.GetThreadHandle(), nullptr);
  receiver.Stop();  // a second stop has nothing left to do
}

}  // namespace
