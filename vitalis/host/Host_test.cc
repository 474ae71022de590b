// vitalis-host as a supervisor sees it: a refused start ends the program at once with a
// failure, unless it is asked to hold the failed module until a signal.
#include <gtest/gtest.h>
#include <winport/handle.h>
#include <winport/sync.h>

#include <string>

#include "core/Win.h"
#include "process_testing.h"

namespace {

using winport::testing::Process;

constexpr int kWaitMs = 20000;

class HostTest : public ::testing::Test {
 protected:
  // Another instance holds the machine-wide mutex, so every start here is refused with 1.
  void SetUp() override {
    mutex_ = CreateMutexA(nullptr, TRUE, "HEALTH_REPORT_MUTEX");
    ASSERT_NE(mutex_, nullptr);
  }
  void TearDown() override { CloseHandle(mutex_); }
  HANDLE mutex_ = nullptr;
};

TEST_F(HostTest, ARefusedStartEndsTheProgramAtOnceWithAFailure) {
  Process host({"vitalis-host"});
  ASSERT_TRUE(host.Started());
  EXPECT_EQ(host.WaitForLine("start result"), "start result 1");
  ASSERT_TRUE(host.Ended(kWaitMs)) << "still waiting for a signal after a failed start";
  EXPECT_EQ(host.Wait(), 1);
}

TEST_F(HostTest, KeepFailedHoldsTheFailedStartUntilASignal) {
  Process host({"vitalis-host", "--keep-failed"});
  EXPECT_EQ(host.WaitForLine("start result"), "start result 1");
  EXPECT_FALSE(host.Ended(0));
  EXPECT_EQ(host.Kill(SIGTERM), 1);
}

TEST_F(HostTest, UnknownArgumentsAreRefusedWithUsage) {
  Process host({"vitalis-host", "--keep"});
  ASSERT_TRUE(host.Ended(kWaitMs));
  EXPECT_EQ(host.Wait(), 2);
}

}  // namespace
