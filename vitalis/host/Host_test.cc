// vitalis-host as a supervisor sees it: a refused start ends the program at once with a
// failure, unless it is asked to hold the failed module until a signal.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winport/handle.h>
#include <winport/sync.h>

#include <filesystem>
#include <string>

#include "core/Win.h"
#include "testing.h"

namespace {

namespace fs = std::filesystem;

// vitalis-host started with `argument` (or none), its standard output on a pipe.
class Host {
 public:
  explicit Host(const char* argument) {
    fs::path host = winport::testing::BinDir() / "vitalis-host";
    int out[2];
    if (!fs::exists(host) || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execl(host.c_str(), "vitalis-host", argument, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  }
  ~Host() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (pidfd_ >= 0) close(pidfd_);
  }

  bool Started() const { return pid_ > 0 && out_ >= 0 && pidfd_ >= 0; }

  std::string ReadLine() {
    std::string line;
    char c;
    while (read(out_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // True once the program has ended, waiting at most `milliseconds`.
  bool Ended(int milliseconds) {
    pollfd fd{pidfd_, POLLIN, 0};
    return poll(&fd, 1, milliseconds) == 1;
  }

  // The exit status, or -1 when it did not end normally.
  int Reap() {
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Signal(int number) { kill(pid_, number); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int pidfd_ = -1;
};

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
  Host host(nullptr);
  ASSERT_TRUE(host.Started());
  EXPECT_EQ(host.ReadLine(), "start result 1");
  ASSERT_TRUE(host.Ended(kWaitMs)) << "still waiting for a signal after a failed start";
  EXPECT_EQ(host.Reap(), 1);
}

TEST_F(HostTest, KeepFailedHoldsTheFailedStartUntilASignal) {
  Host host("--keep-failed");
  ASSERT_TRUE(host.Started());
  EXPECT_EQ(host.ReadLine(), "start result 1");
  EXPECT_FALSE(host.Ended(0));
  host.Signal(SIGTERM);
  ASSERT_TRUE(host.Ended(kWaitMs));
  EXPECT_EQ(host.Reap(), 1);
}

TEST_F(HostTest, UnknownArgumentsAreRefusedWithUsage) {
  Host host("--keep");
  ASSERT_TRUE(host.Started());
  ASSERT_TRUE(host.Ended(kWaitMs));
  EXPECT_EQ(host.Reap(), 2);
}

}  // namespace
