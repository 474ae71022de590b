// Shared by the mailslot and window tests and their helper process.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace winport::testing {

// Message `seq` of writer `writer`: writer, sequence and size, then bytes that depend on all
// three, so a message cut, merged or out of order is caught. Sizes run from 12 bytes to 64 KiB.
inline std::vector<unsigned char> MessageFor(std::uint32_t writer, std::uint32_t seq) {
  std::size_t size = seq % 500 == 7 ? 64 * 1024 : 12 + (seq * 37 + writer * 101) % 3000;
  std::vector<unsigned char> m(size);
  std::uint32_t size32 = static_cast<std::uint32_t>(size);
  std::memcpy(m.data(), &writer, 4);
  std::memcpy(m.data() + 4, &seq, 4);
  std::memcpy(m.data() + 8, &size32, 4);
  for (std::size_t i = 12; i < size; ++i)
    m[i] = static_cast<unsigned char>(writer * 31 + seq * 7 + i);
  return m;
}

// A helper process with its standard input and output on pipes.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Child() {
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
    if (pid_ > 0) {
      Kill();
      Wait();
    }
  }

  pid_t pid() const { return pid_; }

  // The next line of its output without the line feed; "" at its end.
  std::string ReadLine() {
    std::string line;
    char c;
    while (::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  void CloseInput() {
    ::close(stdin_);
    stdin_ = -1;
  }
  void Kill() { ::kill(pid_, SIGKILL); }
  // The exit status (-1 when it did not exit normally).
  int Wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

}  // namespace winport::testing
