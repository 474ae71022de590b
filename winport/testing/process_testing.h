// Test support: a program of the build started as another process, its standard output read
// line by line as it comes.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing.h"

namespace winport::testing {

// A program from build/bin (args[0]) started with extra environment settings, its standard
// output collected line by line as it comes.
class Process {
 public:
  Process(std::vector<std::string> args, std::vector<std::string> environment = {}) {
    int out[2];
    if (::pipe(out) != 0) return;
    args[0] = (BinDir() / args[0]).string();
    m_pid = ::fork();
    if (m_pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      for (auto& setting : environment) ::putenv(setting.data());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    m_reader = std::thread([this, fd = out[0]] {
      std::string pending;
      char buffer[4096];
      for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
          std::lock_guard<std::mutex> hold(m_lock);
          m_lines.push_back(pending.substr(0, end));
          pending.erase(0, end + 1);
          m_changed.notify_all();
        }
      }
      ::close(fd);
      std::lock_guard<std::mutex> hold(m_lock);
      m_ended = true;
      m_changed.notify_all();
    });
  }
  ~Process() {
    Kill(SIGTERM);
    if (m_reader.joinable()) m_reader.join();
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return m_pid > 0; }

  // Sends the signal (none: 0) and waits for the end; the exit status (-1 when killed by the
  // signal or not started).
  int Kill(int signal) {
    int status = 0;
    if (m_pid <= 0) return -1;
    if (signal != 0) ::kill(m_pid, signal);
    if (::waitpid(m_pid, &status, 0) != m_pid) status = -1;
    m_pid = -1;
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Wait() { return Kill(0); }

  // True once the program has closed its standard output (it ends), waiting at most `ms`.
  bool Ended(int ms) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::milliseconds(ms), [&] { return m_ended; });
  }

  // The `count`th line holding `text` (waited for up to 60 s); empty when none came.
  std::string WaitForLine(const std::string& text, int count = 1) {
    std::unique_lock<std::mutex> hold(m_lock);
    std::string found;
    m_changed.wait_for(hold, std::chrono::seconds(60), [&] {
      int seen = 0;
      for (auto& line : m_lines)
        if (line.find(text) != std::string::npos && ++seen == count) {
          found = line;
          return true;
        }
      return m_ended;
    });
    return found;
  }

  // The line after the one this returned last (waited for up to 60 s); empty once the output
  // ended without one.
  std::string NextLine() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait_for(hold, std::chrono::seconds(60),
                       [&] { return m_next < m_lines.size() || m_ended; });
    return m_next < m_lines.size() ? m_lines[m_next++] : std::string();
  }

 private:
  pid_t m_pid = -1;
  std::thread m_reader;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_lines;
  std::size_t m_next = 0;
  bool m_ended = false;
};

}  // namespace winport::testing
