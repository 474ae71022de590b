#include "SimState.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Several processes changing the state at once, as the stand-ins, the simulation tool and the
// module's processes do: every read-modify-write change is kept.
TEST(SimState, ChangesFromSeveralProcessesAtOnceAreAllKept) {
  ASSERT_TRUE(receiver_sim::ResetState(nullptr));
  constexpr int kProcesses = 4, kChanges = 40;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      for (int i = 0; i < kChanges; ++i) {
        ok = receiver_sim::UpdateValues(
                 [](auto& values) {
                   values["count"] = std::to_string(
                       std::stoll(values["count"].empty() ? "0" : values["count"]) + 1);
                 },
                 nullptr) &&
             ok;
        ok = receiver_sim::SetValue("p" + std::to_string(p) + "_" + std::to_string(i), "1",
                                    nullptr) &&
             ok;
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto state = receiver_sim::SimState::Load();
  EXPECT_EQ(state.GetInt("count"), kProcesses * kChanges);
  for (int p = 0; p < kProcesses; ++p)
    for (int i = 0; i < kChanges; ++i)
      EXPECT_EQ(state.Get("p" + std::to_string(p) + "_" + std::to_string(i)), "1") << p << " " << i;
}

}  // namespace
