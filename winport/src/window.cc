// Message windows across the processes of one prefix. Each window is a datagram socket
// run/window.<pid>.<serial> plus run/window.<pid>.<serial>.class naming its class and window
// name; the HWND packs pid and serial, so any process can address it. The class file appears
// only after the socket is bound, so a class file whose socket refuses connections belongs to
// a dead process and is removed by whoever finds it. A reader thread per window moves arriving
// messages into the owning thread's queue, so a sender never waits for the receiver.
#include "winport/window.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "message_internal.h"
#include "message_socket.h"
#include "winport/clock.h"
#include "winport/error.h"
#include "winport/prefix.h"
#include "winport/text.h"

namespace winport {
namespace detail {
namespace {

static_assert(sizeof(HWND) == 8, "an HWND packs a process id and a serial");

constexpr std::size_t kMaxNameLength = 256;
constexpr UINT kFirstRegisteredMessage = 0xC000;
constexpr UINT kLastRegisteredMessage = 0xFFFF;
constexpr std::uint32_t kWireMagic = 0x4D505057;  // "WPPM"
constexpr int kPostTimeoutSeconds = 10;

// A posted message on the wire (host byte order: both ends are on this machine).
struct WireMessage {
  std::uint32_t magic;
  std::uint32_t message;
  std::uint64_t wParam;
  std::int64_t lParam;
};

HWND MakeHwnd(pid_t pid, std::uint32_t serial) {
  return reinterpret_cast<HWND>(
      (static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid)) << 32) | serial);
}

pid_t HwndPid(HWND window) {
  return static_cast<pid_t>(reinterpret_cast<std::uint64_t>(window) >> 32);
}
std::uint32_t HwndSerial(HWND window) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uint64_t>(window) & 0xFFFFFFFFu);
}

std::string WindowBase(pid_t pid, std::uint32_t serial) {
  return (RunPath() / ("window." + std::to_string(pid) + "." + std::to_string(serial))).string();
}

struct LocalWindow {
  HWND hwnd = nullptr;
  std::string className;
  std::string windowName;
  WNDPROC proc = nullptr;
  std::shared_ptr<MessageQueue> queue;
  std::string socketPath;
  std::string classPath;
  UniqueFd socketFd;
  UniqueFd wakeFd;
  std::atomic<bool> stopping{false};
  std::thread reader;

  void ReaderLoop() {
    WireMessage wire[64];
    for (;;) {
      pollfd fds[2] = {{socketFd.get(), POLLIN, 0}, {wakeFd.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (stopping || (fds[1].revents & POLLIN)) return;
      for (;;) {
        ssize_t n = ::recv(socketFd.get(), wire, sizeof(wire), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) break;
        // One datagram is one message; anything else is not ours and is ignored.
        if (n != sizeof(WireMessage) || wire[0].magic != kWireMagic) continue;
        MSG msg{hwnd,
                wire[0].message,
                static_cast<WPARAM>(wire[0].wParam),
                static_cast<LPARAM>(wire[0].lParam),
                GetTickCount(),
                {0, 0}};
        if (!queue->Post(msg, &stopping)) return;
      }
    }
  }

  void Stop() {
    stopping = true;
    Wake(wakeFd.get());
    queue->WakeWaiters();
    if (reader.joinable() && reader.get_id() != std::this_thread::get_id()) reader.join();
  }

  // Takes the window off the machine: no one finds it or reaches it any more.
  void Close() {
    RemoveFiles();
    Stop();
    socketFd.reset();
    wakeFd.reset();
    queue->ForgetWindow(hwnd);
  }

  void RemoveFiles() {
    ::unlink(classPath.c_str());
    ::unlink(socketPath.c_str());
  }
};

struct WindowTable {
  std::mutex lock;
  std::map<HWND, std::shared_ptr<LocalWindow>> windows;
  std::uint32_t nextSerial = 1;
};

WindowTable& windowTable() {
  static WindowTable* t = new WindowTable;  // windows may be looked up during exit
  return *t;
}

// A process that ends normally takes its windows' files with it; after a crash the next
// FindWindowA clears them.
struct RemoveFilesAtExit {
  ~RemoveFilesAtExit() {
    WindowTable& t = windowTable();
    std::lock_guard guard(t.lock);
    for (auto& [hwnd, w] : t.windows) w->RemoveFiles();
  }
} g_removeFilesAtExit;

std::shared_ptr<LocalWindow> FindLocal(HWND window) {
  WindowTable& t = windowTable();
  std::lock_guard guard(t.lock);
  auto it = t.windows.find(window);
  return it == t.windows.end() ? nullptr : it->second;
}

// Whether a window of another process still exists: its socket accepts a connection.
// A dead one's files are removed on the way.
bool RemoteAlive(HWND window, bool reclaim) {
  std::string base = WindowBase(HwndPid(window), HwndSerial(window));
  if (ConnectSocket(base, SOCK_DGRAM)) return true;
  if (reclaim && (errno == ECONNREFUSED || errno == ENOENT)) {
    ::unlink((base + ".class").c_str());
    ::unlink(base.c_str());
  }
  return false;
}

bool WindowAlive(HWND window) {
  if (!window) return false;
  if (HwndPid(window) == ::getpid()) return FindLocal(window) != nullptr;
  return RemoteAlive(window, false);
}

// Writes a file under a temporary name and renames it into place, so readers see it whole.
bool WriteWhole(const std::string& path, const std::string& content) {
  std::string temp = path + ".new";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660));
  if (!fd) return false;
  bool ok =
      ::write(fd.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size());
  ok = fd.close() == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

// The shared table of registered window messages: run/window-messages, one name per line,
// line n (from 0) being id 0xC000 + n. Appended under an exclusive lock of the file.
class MessageNames {
 public:
  UINT Register(const std::string& name, DWORD* error) {
    std::lock_guard guard(lock_);
    std::filesystem::path run = RunPath();
    if (run.empty()) {
      *error = ERROR_PATH_NOT_FOUND;
      return 0;
    }
    std::string path = (run / "window-messages").string();
    // Ids once given never change, so they are remembered (per prefix).
    if (path != cachedPath_) {
      ids_.clear();
      cachedPath_ = path;
    }
    auto key = AsciiLower(name);
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660));
    if (!fd) {
      *error = ErrorFromErrno(errno);
      return 0;
    }
    UINT id = 0;
    if (::flock(fd.get(), LOCK_EX) == 0) {
      id = LoadAndAdd(fd.get(), key, name, error);
      ::flock(fd.get(), LOCK_UN);
    } else {
      *error = ErrorFromErrno(errno);
    }
    return id;
  }

 private:
  UINT LoadAndAdd(int fd, const std::string& key, const std::string& name, DWORD* error) {
    std::string content;
    char chunk[4096];
    ssize_t n;
    off_t offset = 0;
    while ((n = ::pread(fd, chunk, sizeof(chunk), offset)) > 0) {
      content.append(chunk, static_cast<std::size_t>(n));
      offset += n;
    }
    // A line cut short by a writer that died is not a registration: cut it off.
    std::size_t whole = content.rfind('\n');
    whole = whole == std::string::npos ? 0 : whole + 1;
    if (whole != content.size()) {
      content.resize(whole);
      if (::ftruncate(fd, static_cast<off_t>(whole)) != 0) {
        *error = ErrorFromErrno(errno);
        return 0;
      }
    }
    ids_.clear();
    UINT next = kFirstRegisteredMessage;
    std::size_t start = 0;
    while (start < content.size()) {
      std::size_t end = content.find('\n', start);
      ids_.emplace(AsciiLower(content.substr(start, end - start)), next++);
      start = end + 1;
    }
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    if (next > kLastRegisteredMessage) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
      return 0;
    }
    std::string line = name + "\n";
    if (::pwrite(fd, line.data(), line.size(), static_cast<off_t>(content.size())) !=
        static_cast<ssize_t>(line.size())) {
      *error = ErrorFromErrno(errno);
      return 0;
    }
    ids_.emplace(key, next);
    return next;
  }

  std::mutex lock_;
  std::string cachedPath_;
  std::unordered_map<std::string, UINT> ids_;
};

MessageNames& messageNames() {
  static MessageNames* names = new MessageNames;
  return *names;
}

bool ValidName(const char* name, bool allowEmpty) {
  if (!name) return false;
  std::size_t n = std::strlen(name);
  if ((n == 0 && !allowEmpty) || n > kMaxNameLength) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(name[i]) < 0x20) return false;
  return true;
}

}  // namespace

void DestroyWindowsOf(const MessageQueue* queue) {
  std::vector<std::shared_ptr<LocalWindow>> doomed;
  {
    WindowTable& t = windowTable();
    std::lock_guard guard(t.lock);
    for (auto it = t.windows.begin(); it != t.windows.end();) {
      if (it->second->queue.get() == queue) {
        doomed.push_back(std::move(it->second));
        it = t.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& w : doomed) w->Close();
}

bool LocalWindowInfo(HWND window, WNDPROC* proc, DWORD* threadId) {
  auto w = FindLocal(window);
  if (!w) return false;
  if (proc) *proc = w->proc;
  if (threadId) *threadId = w->queue->threadId();
  return true;
}

}  // namespace detail

HWND CreateMessageWindow(const char* className, const char* windowName, WNDPROC proc) {
  using namespace detail;
  if (!ValidName(className, false) || (windowName && !ValidName(windowName, true))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (RunPath().empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  auto w = std::make_shared<LocalWindow>();
  WindowTable& t = windowTable();
  std::uint32_t serial;
  {
    std::lock_guard guard(t.lock);
    serial = t.nextSerial++;
  }
  w->hwnd = MakeHwnd(::getpid(), serial);
  w->className = className;
  w->windowName = windowName ? windowName : "";
  w->proc = proc;
  w->queue = CurrentQueue();
  w->socketPath = WindowBase(::getpid(), serial);
  w->classPath = w->socketPath + ".class";
  w->wakeFd = MakeWakeFd();
  if (!w->wakeFd) {
    SetLastError(ErrorFromErrno(errno));
    return nullptr;
  }
  w->socketFd = BindSocket(w->socketPath, SOCK_DGRAM);
  std::string classFile = w->className + '\0' + w->windowName + '\0';
  if (!w->socketFd || !WriteWhole(w->classPath, classFile)) {
    DWORD error = ErrorFromErrno(errno);
    w->socketFd.reset();
    w->wakeFd.reset();
    w->RemoveFiles();
    SetLastError(error);
    return nullptr;
  }
  w->reader = std::thread([raw = w.get()] { raw->ReaderLoop(); });
  {
    std::lock_guard guard(t.lock);
    t.windows[w->hwnd] = w;
  }
  SetLastError(ERROR_SUCCESS);
  return w->hwnd;
}

BOOL DestroyWindow(HWND window) {
  using namespace detail;
  std::shared_ptr<LocalWindow> w;
  {
    WindowTable& t = windowTable();
    std::lock_guard guard(t.lock);
    if (auto it = t.windows.find(window); it != t.windows.end()) {
      w = std::move(it->second);
      t.windows.erase(it);
    }
  }
  if (!w) {
    SetLastError(window && HwndPid(window) != ::getpid() && WindowAlive(window)
                     ? ERROR_ACCESS_DENIED
                     : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->proc && w->queue->threadId() == CurrentThreadId()) w->proc(window, WM_DESTROY, 0, 0);
  w->Close();
  return TRUE;
}

BOOL IsWindow(HWND window) {
  return detail::WindowAlive(window) ? TRUE : FALSE;
}

HWND FindWindowA(const char* className, const char* windowName) {
  using namespace detail;
  std::filesystem::path run = RunPath();
  struct Candidate {
    HWND hwnd;
    std::filesystem::file_time_type made;
  };
  std::vector<Candidate> found;
  std::error_code ec;
  for (auto& entry : std::filesystem::directory_iterator(run, ec)) {
    std::string file = entry.path().filename().string();
    unsigned long pid = 0, serial = 0;
    char tail[8] = {};
    if (std::sscanf(file.c_str(), "window.%lu.%lu.%7s", &pid, &serial, tail) != 3 ||
        std::strcmp(tail, "class") != 0)
      continue;
    std::string content = [&] {
      std::ifstream in(entry.path(), std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    std::size_t split = content.find('\0');
    if (split == std::string::npos || content.empty() || content.back() != '\0') continue;
    std::string cls = content.substr(0, split);
    std::string title = content.substr(split + 1, content.size() - split - 2);
    if (className && !EqualsNoCase(cls, className)) continue;
    if (windowName && !EqualsNoCase(title, windowName)) continue;
    found.push_back({MakeHwnd(static_cast<pid_t>(pid), static_cast<std::uint32_t>(serial)),
                     entry.last_write_time(ec)});
  }
  // The newest window first, as the top of the z-order would be.
  std::sort(found.begin(), found.end(),
            [](const Candidate& a, const Candidate& b) { return a.made > b.made; });
  for (const Candidate& c : found) {
    bool alive =
        HwndPid(c.hwnd) == ::getpid() ? FindLocal(c.hwnd) != nullptr : RemoteAlive(c.hwnd, true);
    if (alive) return c.hwnd;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

UINT RegisterWindowMessageA(const char* name) {
  if (!detail::ValidName(name, false) || std::strchr(name, '\n')) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD error = ERROR_SUCCESS;
  UINT id = detail::messageNames().Register(name, &error);
  if (!id) SetLastError(error);
  return id;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  using namespace detail;
  if (!window) {
    // As on Windows: a message for no window goes to the calling thread.
    return CurrentQueue()->Post(MSG{nullptr, message, wParam, lParam, GetTickCount(), {0, 0}})
               ? TRUE
               : (SetLastError(ERROR_NOT_ENOUGH_MEMORY), FALSE);
  }
  if (HwndPid(window) == ::getpid()) {
    auto w = FindLocal(window);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (!w->queue->Post(MSG{window, message, wParam, lParam, GetTickCount(), {0, 0}})) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    return TRUE;
  }
  UniqueFd fd = ConnectSocket(WindowBase(HwndPid(window), HwndSerial(window)), SOCK_DGRAM, 0,
                              kPostTimeoutSeconds);
  if (!fd) {
    SetLastError(errno == ENOENT || errno == ECONNREFUSED ? ERROR_INVALID_WINDOW_HANDLE
                                                          : ErrorFromErrno(errno));
    return FALSE;
  }
  WireMessage wire{kWireMagic, message, static_cast<std::uint64_t>(wParam),
                   static_cast<std::int64_t>(lParam)};
  ssize_t n;
  while ((n = ::send(fd.get(), &wire, sizeof(wire), MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  int err = errno;
  fd.reset();
  if (n != static_cast<ssize_t>(sizeof(wire))) {
    SetLastError(err == EAGAIN                            ? ERROR_TIMEOUT
                 : err == ECONNREFUSED || err == ENOTCONN ? ERROR_INVALID_WINDOW_HANDLE
                                                          : ErrorFromErrno(err));
    return FALSE;
  }
  return TRUE;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = nullptr;
  DWORD owner = 0;
  if (detail::LocalWindowInfo(window, &proc, &owner) && proc && owner == detail::CurrentThreadId())
    return proc(window, message, wParam, lParam);
  PostMessageA(window, message, wParam, lParam);
  return 0;
}

}  // namespace winport
