// Processes started from Windows-style command lines, watched through pidfds.
//
// Each child gets a reaper thread that waits for it to end, records its exit code, signals its
// handles and reaps it, so that no child is left a zombie whether or not anyone waits for it.
#include "winport/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "sync_internal.h"
#include "winport/clock.h"
#include "winport/error.h"
#include "winport/handle.h"
#include "winport/path.h"
#include "winport/prefix.h"
#include "winport/sync.h"
#include "winport/text.h"
#include "winport/thread.h"
#include "winport/unique_fd.h"

extern char** environ;

namespace winport {
namespace detail {
namespace {

struct ProcessObject : EndObject {
  pid_t pid = 0;
  // Signalled by the child when it first waits for input (see ReportInputIdle).
  std::shared_ptr<Waitable> inputIdle;
  std::mutex lock;  // guards pidfd, exited and terminateCode
  UniqueFd pidfd;
  bool exited = false;
  std::optional<DWORD> terminateCode;
};

// Called through syscall(): the C library's declarations of these lack C linkage here.
int PidfdOpen(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
int PidfdKill(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

void Reap(std::shared_ptr<ProcessObject> process) {
  siginfo_t info{};
  int rc;
  if (process->pidfd) {
    do rc = ::waitid(P_PIDFD, process->pidfd.get(), &info, WEXITED);
    while (rc != 0 && errno == EINTR);
  } else {
    do rc = ::waitid(P_PID, process->pid, &info, WEXITED);
    while (rc != 0 && errno == EINTR);
  }
  DWORD code = 0;
  {
    std::lock_guard guard(process->lock);
    process->exited = true;
    process->pidfd.reset();
    if (rc == 0 && info.si_code == CLD_EXITED) {
      code = static_cast<DWORD>(info.si_status);
    } else if (process->terminateCode) {
      code = *process->terminateCode;
    } else if (rc == 0) {
      code = 128 + static_cast<DWORD>(info.si_status);
    }
  }
  process->SignalEnd(code);
}

// Names the event a started program sets when it is first ready for input; each start gets
// its own, created by the parent before the child runs, so no signal can be missed.
constexpr char kInputIdleVariable[] = "WINPORT_INPUT_IDLE_EVENT=";
std::atomic<unsigned> g_inputIdleCounter{0};

std::shared_ptr<Waitable> CreateInputIdleEvent(std::string* name) {
  *name = "winport.InputIdle." + std::to_string(::getpid()) + "." +
          std::to_string(g_inputIdleCounter.fetch_add(1));
  bool existed = false;
  DWORD error = ERROR_SUCCESS;
  auto event = CreateNamedObject(kKindEvent, *name, true, true, false, false, &existed, &error);
  if (!event) name->clear();  // the child is still started; its wait then ends only with it
  return event;
}

bool EndsWithExe(const std::string& name) {
  return name.size() > 4 && EndsWithNoCase(name, ".exe");
}

enum class Found { kYes, kNotExecutable, kNo };

Found Probe(const std::string& hostPath) {
  struct stat st {};
  if (hostPath.empty() || ::stat(hostPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return Found::kNo;
  return ::access(hostPath.c_str(), X_OK) == 0 ? Found::kYes : Found::kNotExecutable;
}

// The host file of a program name: as given, then without ".exe"; a plain name is also
// looked for on PATH. Sets *error when nothing runnable is found.
std::string ResolveProgram(const std::string& name, bool searchPath, DWORD* error) {
  std::vector<std::string> names{name};
  if (EndsWithExe(name)) names.push_back(name.substr(0, name.size() - 4));
  bool denied = false;
  for (const std::string& n : names) {
    std::string host = HostPath(n);
    Found f = Probe(host);
    if (f == Found::kYes) return host;
    denied |= f == Found::kNotExecutable;
  }
  bool plain = name.find_first_of("\\/:") == std::string::npos;
  const char* path = std::getenv("PATH");
  if (searchPath && plain && path) {
    std::string_view dirs(path);
    while (!dirs.empty()) {
      std::size_t colon = dirs.find(':');
      std::string dir(dirs.substr(0, colon));
      dirs.remove_prefix(colon == std::string_view::npos ? dirs.size() : colon + 1);
      if (dir.empty()) continue;
      for (const std::string& n : names) {
        std::string host = dir + "/" + n;
        Found f = Probe(host);
        if (f == Found::kYes) return host;
        denied |= f == Found::kNotExecutable;
      }
    }
  }
  *error = denied ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  return {};
}

// The child's environment: ours (or the caller's block "A=1\0B=2\0\0"), with the prefix and
// the clock offset of this process.
std::vector<std::string> ChildEnvironment(const void* block, const std::string& idleEvent) {
  std::vector<std::string> env;
  auto keep = [&](std::string_view entry) {
    if (entry.starts_with("WINPORT_PREFIX=") || entry.starts_with("WINPORT_TIME_OFFSET=") ||
        entry.starts_with(kInputIdleVariable))
      return;
    env.emplace_back(entry);
  };
  if (block) {
    for (const char* p = static_cast<const char*>(block); *p; p += std::strlen(p) + 1) keep(p);
  } else {
    for (char** e = environ; e && *e; ++e) keep(*e);
  }
  std::filesystem::path prefix = PrefixPath();
  if (!prefix.empty()) env.push_back("WINPORT_PREFIX=" + prefix.string());
  env.push_back("WINPORT_TIME_OFFSET=" + std::to_string(ClockOffset()));
  if (!idleEvent.empty()) env.push_back(kInputIdleVariable + idleEvent);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace
}  // namespace detail

using namespace detail;

BOOL CreateProcessA(const char* applicationName, char* commandLine, SECURITY_ATTRIBUTES*,
                    SECURITY_ATTRIBUTES*, BOOL, DWORD, void* environment,
                    const char* currentDirectory, STARTUPINFOA*,
                    PROCESS_INFORMATION* processInformation) {
  if (!processInformation) return Fail(ERROR_INVALID_PARAMETER);
  std::string line = commandLine ? commandLine : "";
  std::vector<std::string> args = SplitCommandLine(line);
  DWORD error = ERROR_SUCCESS;
  std::string program;
  if (applicationName && *applicationName) {
    if (args.empty()) args.push_back(applicationName);
    program = ResolveProgram(applicationName, false, &error);
  } else if (!args.empty()) {
    program = ResolveProgram(args[0], true, &error);
    // An unquoted program path with blanks in it ("c:\Program Files\x.exe /a"): try ever
    // longer leading parts of the line, as Windows does.
    std::size_t start = line.find_first_not_of(" \t");
    if (program.empty() && line[start] != '"') {
      for (std::size_t blank = line.find_first_of(" \t", start);
           blank != std::string::npos && program.empty();) {
        std::size_t next = line.find_first_of(" \t", line.find_first_not_of(" \t", blank));
        std::string candidate =
            line.substr(start, next == std::string::npos ? std::string::npos : next - start);
        DWORD ignored = ERROR_SUCCESS;
        program = ResolveProgram(candidate, false, &ignored);
        if (!program.empty()) {
          std::vector<std::string> rest =
              SplitCommandLine("x " + (next == std::string::npos ? "" : line.substr(next)));
          args.assign(1, candidate);
          args.insert(args.end(), rest.begin() + 1, rest.end());
        }
        blank = next;
      }
    }
  } else {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (program.empty()) return Fail(error);

  std::string directory;
  if (currentDirectory && *currentDirectory) {
    directory = HostPath(currentDirectory);
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return Fail(ERROR_PATH_NOT_FOUND);
  }

  std::string idleName;
  std::shared_ptr<Waitable> inputIdle = CreateInputIdleEvent(&idleName);
  std::vector<std::string> env = ChildEnvironment(environment, idleName);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // nothing of ours leaks into it
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return Fail(rc == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(rc));

  auto process = std::make_shared<ProcessObject>();
  process->pid = pid;
  process->inputIdle = std::move(inputIdle);
  process->pidfd.reset(PidfdOpen(pid));
  try {
    std::thread(Reap, process).detach();
  } catch (const std::system_error&) {
    // Without a reaper nobody would see it end: undo the start.
    if (process->pidfd) {
      PidfdKill(process->pidfd.get(), SIGKILL);
      process->pidfd.reset();
    } else {
      ::kill(pid, SIGKILL);
    }
    siginfo_t info{};
    ::waitid(P_PID, pid, &info, WEXITED);
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  processInformation->hProcess = InsertHandle(process);
  processInformation->hThread = InsertHandle(process);
  processInformation->dwProcessId = static_cast<DWORD>(pid);
  processInformation->dwThreadId = static_cast<DWORD>(pid);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE handle, DWORD* exitCode) {
  auto process = LookupHandleAs<ProcessObject>(handle);
  if (!process) return Fail(ERROR_INVALID_HANDLE);
  if (!exitCode) return Fail(ERROR_INVALID_PARAMETER);
  *exitCode = process->Ended() ? process->exitCode.load() : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateProcess(HANDLE handle, UINT exitCode) {
  auto process = LookupHandleAs<ProcessObject>(handle);
  if (!process) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard guard(process->lock);
  if (process->exited) return Fail(ERROR_ACCESS_DENIED);
  if (!process->terminateCode) process->terminateCode = exitCode;
  // Through the pidfd, so that a reused process id is never hit.
  int rc =
      process->pidfd ? PidfdKill(process->pidfd.get(), SIGKILL) : ::kill(process->pid, SIGKILL);
  if (rc != 0 && errno != ESRCH) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

DWORD GetCurrentProcessId() {
  return static_cast<DWORD>(::getpid());
}

DWORD WaitForInputIdle(HANDLE handle, DWORD milliseconds) {
  auto process = LookupHandleAs<ProcessObject>(handle);
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (!process->inputIdle)
    return WaitForSingleObject(handle, milliseconds) == WAIT_TIMEOUT ? WAIT_TIMEOUT : 0;
  HANDLE idle = InsertHandle(process->inputIdle);
  if (!idle) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
  HANDLE handles[2] = {idle, handle};
  DWORD rc = WaitForMultipleObjects(2, handles, FALSE, milliseconds);
  CloseHandle(idle);
  if (rc == WAIT_TIMEOUT || rc == WAIT_FAILED) return rc;
  return 0;
}

BOOL ReportInputIdle() {
  static std::once_flag once;
  static BOOL result = FALSE;
  std::call_once(once, [] {
    const char* name = std::getenv("WINPORT_INPUT_IDLE_EVENT");
    if (name == nullptr || *name == '\0') return;
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (event == nullptr) return;  // the parent no longer waits
    result = SetEvent(event);
    CloseHandle(event);
  });
  return result;
}

UINT WinExec(const char* commandLine, UINT) {
  if (!commandLine) return 0;
  std::string line = commandLine;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? error : 0;
  }
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return 33;
}

}  // namespace winport
