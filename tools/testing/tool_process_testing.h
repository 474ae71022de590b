// Test support for the tools: a tool from build/bin run as a process of its own, its standard
// output on a pipe and read line by line.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing.h"

class ToolProcess {
 public:
  // Starts build/bin/`tool` with `args`.
  ToolProcess(const std::string& tool, std::vector<std::string> args) {
    int out[2];
    if (::pipe(out) != 0) return;
    args.insert(args.begin(), (winport::testing::BinDir() / tool).string());
    m_pid = ::fork();
    if (m_pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    m_out = ::fdopen(out[0], "r");
  }
  ~ToolProcess() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out != nullptr) std::fclose(m_out);
    std::free(m_line);
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // The next line of its output without the line feed (waited for); "" once the output ended.
  std::string Line() {
    if (m_out == nullptr) return "";
    ssize_t n = ::getline(&m_line, &m_lineSize, m_out);
    if (n <= 0) return "";
    std::string text(m_line, static_cast<std::size_t>(n));
    if (text.back() == '\n') text.pop_back();
    return text;
  }
  void Signal(int signal) { ::kill(m_pid, signal); }
  // The exit status once it ended (-1 when a signal ended it).
  int Wait() {
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Stop(int signal) {
    Signal(signal);
    return Wait();
  }

 private:
  pid_t m_pid = -1;
  FILE* m_out = nullptr;
  char* m_line = nullptr;
  std::size_t m_lineSize = 0;
};
