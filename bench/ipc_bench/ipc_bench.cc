// Cross-process figures of the IPC services, one writer (or signaller) process and one reader:
//   - set-to-wake latency of a named auto-reset event (median and 99th percentile);
//   - small mailslot messages per second.
// The other process is this program started again with a role argument. Uses a throw-away
// prefix unless WINPORT_PREFIX is set.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "winport/file.h"
#include "winport/handle.h"
#include "winport/mailslot.h"
#include "winport/prefix.h"
#include "winport/sync.h"

extern char** environ;

using namespace winport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kSlot = "\\\\.\\mailslot\\IpcBenchSlot";
constexpr const char* kPing = "IpcBenchPing";
constexpr const char* kPong = "IpcBenchPong";
constexpr int kWakeRounds = 20000;
constexpr int kMessages = 500000;
constexpr DWORD kMessageSize = 32;

// Shared with the other process: when the event was set, and how long its waiter took to wake.
struct Shared {
  std::atomic<std::int64_t> setAt;
  std::int64_t wakeNs[kWakeRounds];
};

// CPU seconds of this process and its ended children.
double CpuSeconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage u{};
    ::getrusage(who, &u);
    total +=
        u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

Shared* MapShared(const std::string& path, bool create) {
  int fd = ::open(path.c_str(), O_RDWR | (create ? O_CREAT | O_TRUNC : 0), 0600);
  if (fd < 0 || (create && ::ftruncate(fd, sizeof(Shared)) != 0)) return nullptr;
  void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<Shared*>(p);
}

pid_t Start(const char* self, std::vector<std::string> args) {
  args.insert(args.begin(), self);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  return posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

int Await(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The waiting side: wakes on ping, notes how long the wake took, answers with pong.
int Waiter(const std::string& sharedPath) {
  Shared* shared = MapShared(sharedPath, false);
  HANDLE ping = OpenEventA(EVENT_ALL_ACCESS, FALSE, kPing);
  HANDLE pong = OpenEventA(EVENT_ALL_ACCESS, FALSE, kPong);
  if (!shared || !ping || !pong) return 1;
  SetEvent(pong);  // ready
  for (int i = 0; i < kWakeRounds; ++i) {
    if (WaitForSingleObject(ping, 10000) != WAIT_OBJECT_0) return 1;
    shared->wakeNs[i] = NowNs() - shared->setAt.load();
    SetEvent(pong);
  }
  return 0;
}

int Writer() {
  HANDLE slot = CreateFileA(kSlot, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (slot == INVALID_HANDLE_VALUE) return 1;
  char message[kMessageSize] = {};
  for (int i = 0; i < kMessages; ++i) {
    std::memcpy(message, &i, sizeof(i));
    DWORD written;
    if (!WriteFile(slot, message, kMessageSize, &written, nullptr)) return 1;
  }
  CloseHandle(slot);
  return 0;
}

bool BenchWake(const char* self) {
  std::string sharedPath = (RunPath() / "ipc_bench.shm").string();
  Shared* shared = MapShared(sharedPath, true);
  HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, kPing);
  HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, kPong);
  if (!shared || !ping || !pong) return false;
  pid_t child = Start(self, {"--waiter", sharedPath});
  if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) return false;
  for (int i = 0; i < kWakeRounds; ++i) {
    shared->setAt.store(NowNs());
    SetEvent(ping);
    if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) return false;
  }
  if (Await(child) != 0) return false;
  std::vector<std::int64_t> ns(shared->wakeNs, shared->wakeNs + kWakeRounds);
  std::sort(ns.begin(), ns.end());
  std::printf(
      "event set-to-wake across processes: median %.1f us, p99 %.1f us, max %.1f us (%d wakes)\n",
      ns[ns.size() / 2] / 1000.0, ns[ns.size() * 99 / 100] / 1000.0, ns.back() / 1000.0,
      kWakeRounds);
  CloseHandle(ping);
  CloseHandle(pong);
  return true;
}

bool BenchMailslot(const char* self) {
  HANDLE slot = CreateMailslotA(kSlot, 0, 10000, nullptr);
  if (slot == INVALID_HANDLE_VALUE) return false;
  double cpu = CpuSeconds();
  pid_t child = Start(self, {"--writer"});
  char buffer[kMessageSize];
  Clock::time_point first;
  for (int i = 0; i < kMessages; ++i) {
    DWORD read = 0;
    if (!ReadFile(slot, buffer, sizeof(buffer), &read, nullptr) || read != kMessageSize)
      return false;
    int seq;
    std::memcpy(&seq, buffer, sizeof(seq));
    if (seq != i) return false;
    if (i == 0) first = Clock::now();
  }
  double seconds = std::chrono::duration<double>(Clock::now() - first).count();
  if (Await(child) != 0) return false;
  cpu = CpuSeconds() - cpu;
  std::printf(
      "mailslot, one writer process to one reader: %.0f messages/s (%d messages of %u bytes), "
      "%.2f us CPU per message (both processes)\n",
      (kMessages - 1) / seconds, kMessages, kMessageSize, cpu * 1e6 / kMessages);
  CloseHandle(slot);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool mailslotOnly = argc == 2 && std::strcmp(argv[1], "--mailslot") == 0;
  if (argc == 3 && std::strcmp(argv[1], "--waiter") == 0) return Waiter(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "--writer") == 0) return Writer();
  std::filesystem::path temp;
  if (!std::getenv("WINPORT_PREFIX")) {
    char tmpl[] = "/tmp/ipc-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return 2;
    temp = tmpl;
    ::setenv("WINPORT_PREFIX", tmpl, 1);
  }
  bool ok = BenchMailslot(argv[0]);
  if (!ok) std::fprintf(stderr, "mailslot benchmark failed\n");
  bool wake = mailslotOnly || BenchWake(argv[0]);
  if (!wake) std::fprintf(stderr, "event benchmark failed\n");
  if (!temp.empty()) std::filesystem::remove_all(temp);
  return ok && wake ? 0 : 1;
}
