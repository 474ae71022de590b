// For tests that run the diagnostics application (diagview) as a process: its registration, a
// wait for the lines it logs, and the guard that nothing a test started outlives the test.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <winport/handle.h>
#include <winport/process.h>
#include <winport/sync.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "testing.h"

namespace diag_testing {

// Registers the module's control (through vitalis-host, as an installation does), so that the
// diagnostics application started by a test finds it; the application then runs without a
// window. True when the registration succeeded.
inline bool RegisterControlForDiagView() {
  setenv("DIAGVIEW_HEADLESS", "1", 1);
  setenv("DIAGVIEW_SIGNAL", "diagview.test.line", 1);
  return winport::testing::RunAndWait((winport::testing::BinDir() / "vitalis-host").string() +
                                      " --register") == 0;
}

// Waits, line by line, until the application's log file holds `text`; false after 30 s
// without a new line.
inline bool WaitForDiagViewLine(const std::filesystem::path& log, const std::string& text) {
  HANDLE line = CreateEventA(nullptr, FALSE, FALSE, "diagview.test.line");
  bool found = false;
  for (;;) {
    if (winport::testing::ReadFile(log).find(text) != std::string::npos) {
      found = true;
      break;
    }
    if (line == nullptr || WaitForSingleObject(line, 30000) != WAIT_OBJECT_0) break;
  }
  if (line != nullptr) CloseHandle(line);
  return found;
}

// Asks a diagnostics application that still holds "DIAG_APP_EXISTS" to close, as the module
// does, and waits until it has let the mutex go. True when none runs (any more).
inline bool CloseDiagApp() {
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "DIAG_APP_EXISTS");
  if (mutex == nullptr) return true;
  HANDLE shut = CreateEventA(nullptr, TRUE, FALSE, "SHUT_EVENT");
  if (shut != nullptr) SetEvent(shut);
  DWORD rc = WaitForSingleObject(mutex, 20000);
  if (rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED) ReleaseMutex(mutex);
  CloseHandle(mutex);
  if (shut != nullptr) {
    ResetEvent(shut);
    CloseHandle(shut);
  }
  return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
}

// Keeps the programs that this process's children start (a script's diagview) among its
// descendants when their parent ends first, so that EndLeftoverProcesses still finds them.
inline void AdoptOrphans() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
}

// The live processes (zombies excepted) that this process started, directly or not.
inline std::vector<pid_t> LiveDescendants() {
  std::multimap<pid_t, pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    // "pid (command) state ppid ...": the command may hold spaces and parentheses.
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) continue;
    char state = stat[close + 2];
    long ppid = std::atol(stat.c_str() + close + 4);
    if (state != 'Z' && state != 'X') children.emplace(static_cast<pid_t>(ppid), std::stoi(name));
  }
  std::vector<pid_t> found;
  std::vector<pid_t> todo{getpid()};
  while (!todo.empty()) {
    pid_t parent = todo.back();
    todo.pop_back();
    for (auto [it, end] = children.equal_range(parent); it != end; ++it) {
      found.push_back(it->second);
      todo.push_back(it->second);
    }
  }
  return found;
}

// Gives the processes a test started up to `ms` to end on their own (waiting on their exit,
// not polling), then kills the rest. Returns how many had to be killed: a test whose
// processes outlive it fails instead of leaving them to the next test (or holding the test
// runner's output open).
inline int EndLeftoverProcesses(int ms = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    std::vector<pid_t> pids = LiveDescendants();
    if (pids.empty()) return 0;
    std::vector<pollfd> fds;
    for (pid_t pid : pids) {
      int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
      if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    }
    if (fds.empty()) continue;  // they ended between the look and the open
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    int ended = left > 0 ? poll(fds.data(), fds.size(), static_cast<int>(left)) : 0;
    int killed = 0;
    if (ended == 0) {
      for (const pollfd& fd : fds)
        if (syscall(SYS_pidfd_send_signal, fd.fd, SIGKILL, nullptr, 0) == 0) ++killed;
    }
    for (const pollfd& fd : fds) close(fd.fd);
    if (ended == 0) return killed;
  }
}

}  // namespace diag_testing
