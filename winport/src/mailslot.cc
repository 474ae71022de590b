// Mailslots on Unix datagram sockets. The server end binds run/mailslot.<name> and holds an
// exclusive lock on run/mailslot.<name>.lock for its whole life: the lock says the name is
// taken, and it goes away by itself when the server process dies, so a stale name is simply
// reclaimed by the next server. A reader thread drains the socket into the server's own queue
// at once, because the kernel queues only a handful of datagrams per socket and writers must not
// wait for the application to read.
#include "winport/mailslot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "handles.h"
#include "mailslot_internal.h"
#include "message_socket.h"
#include "winport/error.h"
#include "winport/prefix.h"

namespace winport {
namespace detail {
namespace {

constexpr std::string_view kMailslotPrefix = "\\\\.\\mailslot\\";
// The largest message any mailslot takes.
constexpr DWORD kSystemMaxMessage = 64 * 1024;
// What the server holds in memory before writers are made to wait (and in the end fail).
constexpr std::size_t kQueueByteLimit = 64 * 1024 * 1024;
// How long a writer waits for room before its write fails.
constexpr int kWriteTimeoutSeconds = 10;

// run/mailslot.<name>, the name lower-cased (mailslot names ignore case) and made file-safe.
// Returns false with *error set for a name that is no mailslot name.
bool MailslotBasePath(std::string_view fullName, std::string* base, DWORD* error) {
  if (!IsMailslotPath(fullName) || fullName.size() == kMailslotPrefix.size()) {
    *error = ERROR_INVALID_NAME;
    return false;
  }
  if (fullName.size() > MAX_PATH) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  std::string name(fullName.substr(kMailslotPrefix.size()));
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) {
      *error = ERROR_INVALID_NAME;
      return false;
    }
  }
  std::string encoded = EncodeName(name, true);
  if (encoded.size() > 180) {
    // Keep the file name within the host's limit; the hash tells long names apart.
    std::uint64_t hash = 1469598103934665603ull;
    for (char c : encoded) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
    encoded = encoded.substr(0, 160) + "~" + hex;
  }
  std::filesystem::path run = RunPath();
  if (run.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  *base = (run / ("mailslot." + encoded)).string();
  return true;
}

class MailslotServer : public KernelObject {
 public:
  MailslotServer(DWORD maxMessage, DWORD readTimeout)
      : maxMessage_(maxMessage), readTimeout_(readTimeout) {}

  ~MailslotServer() override {
    if (reader_.joinable()) {
      Wake(wakeFd_);
      {
        std::lock_guard guard(lock_);
        stopping_ = true;
      }
      roomFreed_.notify_all();
      reader_.join();
    }
    // The socket goes while the name is still ours, then the lock frees the name.
    if (socketFd_ >= 0) {
      ::unlink(socketPath_.c_str());
      ::close(socketFd_);
    }
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (lockFd_ >= 0) ::close(lockFd_);
  }

  bool Open(const std::string& base, DWORD* error) {
    std::string lockPath = base + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    if (lockFd_ < 0) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
      *error = errno == EWOULDBLOCK ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno);
      return false;
    }
    // Clients read the size limit from here before they can reach the socket.
    std::string limit = std::to_string(maxMessage_) + "\n";
    if (::ftruncate(lockFd_, 0) != 0 ||
        ::pwrite(lockFd_, limit.data(), limit.size(), 0) != static_cast<ssize_t>(limit.size())) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    socketPath_ = base;
    socketFd_ = BindDatagramSocket(socketPath_);
    if (socketFd_ < 0) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    int flags = ::fcntl(socketFd_, F_GETFL);
    ::fcntl(socketFd_, F_SETFL, flags | O_NONBLOCK);
    wakeFd_ = MakeWakeFd();
    if (wakeFd_ < 0) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    buffer_.resize(kSystemMaxMessage + 1);
    reader_ = std::thread([this] { ReaderLoop(); });
    return true;
  }

  bool Read(void* buffer, DWORD size, DWORD* read) override {
    if (read) *read = 0;
    std::unique_lock guard(lock_);
    Drain();
    if (queue_.empty()) {
      DWORD timeout = readTimeout_;
      auto ready = [this] { return !queue_.empty(); };
      if (timeout == MAILSLOT_WAIT_FOREVER) {
        arrived_.wait(guard, ready);
      } else if (timeout == 0 ||
                 !arrived_.wait_for(guard, std::chrono::milliseconds(timeout), ready)) {
        SetLastError(ERROR_SEM_TIMEOUT);
        return false;
      }
    }
    std::vector<char>& next = queue_.front();
    if (next.size() > size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return false;
    }
    if (!next.empty()) std::memcpy(buffer, next.data(), next.size());
    if (read) *read = static_cast<DWORD>(next.size());
    queuedBytes_ -= next.size();
    queue_.pop_front();
    guard.unlock();
    roomFreed_.notify_one();
    return true;
  }

  void Info(DWORD* maxMessage, DWORD* nextSize, DWORD* count, DWORD* readTimeout) {
    std::lock_guard guard(lock_);
    Drain();
    if (maxMessage) *maxMessage = maxMessage_;
    if (nextSize)
      *nextSize = queue_.empty() ? MAILSLOT_NO_MESSAGE : static_cast<DWORD>(queue_.front().size());
    if (count) *count = static_cast<DWORD>(queue_.size());
    if (readTimeout) *readTimeout = readTimeout_;
  }

  void SetReadTimeout(DWORD timeout) {
    std::lock_guard guard(lock_);
    readTimeout_ = timeout;
  }

 private:
  // Moves whatever the socket holds into the queue. Called with lock_ held, by the reader
  // thread and by the application's calls alike, so that messages keep their order and the
  // count is exact the moment a writer's WriteFile has returned.
  void Drain() {
    while (queuedBytes_ < kQueueByteLimit) {
      ssize_t n = ::recv(socketFd_, buffer_.data(), buffer_.size(), MSG_TRUNC | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // EAGAIN: nothing more for now
      }
      // Writers check the limit before sending; a datagram over it comes from elsewhere.
      if (static_cast<std::size_t>(n) > maxMessage_) continue;
      queue_.emplace_back(buffer_.data(), buffer_.data() + n);
      queuedBytes_ += static_cast<std::size_t>(n);
    }
  }

  void ReaderLoop() {
    for (;;) {
      pollfd fds[2] = {{socketFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      std::unique_lock guard(lock_);
      if (stopping_ || (fds[1].revents & POLLIN)) return;
      bool wasEmpty = queue_.empty();
      Drain();
      if (wasEmpty && !queue_.empty()) arrived_.notify_all();
      // Full: leave the rest in the socket (writers then wait) until the reader makes room.
      roomFreed_.wait(guard, [this] { return stopping_ || queuedBytes_ < kQueueByteLimit; });
      if (stopping_) return;
    }
  }

  const DWORD maxMessage_;
  DWORD readTimeout_;
  std::string socketPath_;
  int lockFd_ = -1;
  int socketFd_ = -1;
  int wakeFd_ = -1;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::condition_variable roomFreed_;
  std::deque<std::vector<char>> queue_;
  std::size_t queuedBytes_ = 0;
  std::vector<char> buffer_;
  bool stopping_ = false;
  std::thread reader_;
};

class MailslotClient : public KernelObject {
 public:
  MailslotClient(int fd, DWORD maxMessage) : fd_(fd), maxMessage_(maxMessage) {}
  ~MailslotClient() override { ::close(fd_); }

  bool Write(const void* buffer, DWORD size, DWORD* written) override {
    if (written) *written = 0;
    if (size > maxMessage_) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    if (size > 0 && !buffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    for (;;) {
      ssize_t n = ::send(fd_, size ? buffer : "", size, MSG_NOSIGNAL);
      if (n >= 0) break;
      switch (errno) {
        case EINTR:
          continue;
        case EAGAIN:  // the server has not made room within the write time-out
          SetLastError(ERROR_TIMEOUT);
          return false;
        case ECONNREFUSED:
        case ENOTCONN:
        case ENOENT:  // the server end is gone
          SetLastError(ERROR_BROKEN_PIPE);
          return false;
        case EMSGSIZE:
          SetLastError(ERROR_INVALID_PARAMETER);
          return false;
        default:
          SetLastError(ErrorFromErrno(errno));
          return false;
      }
    }
    if (written) *written = size;
    return true;
  }

 private:
  int fd_;
  DWORD maxMessage_;
};

}  // namespace

bool IsMailslotPath(std::string_view path) {
  if (path.size() < kMailslotPrefix.size()) return false;
  for (std::size_t i = 0; i < kMailslotPrefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(path[i])) != kMailslotPrefix[i]) return false;
  return true;
}

std::shared_ptr<KernelObject> OpenMailslotClient(std::string_view path, DWORD* error) {
  DWORD dummy;
  if (!error) error = &dummy;
  std::string base;
  if (!MailslotBasePath(path, &base, error)) return nullptr;
  int fd = ConnectDatagramSocket(base);
  if (fd < 0) {
    *error =
        (errno == ENOENT || errno == ECONNREFUSED) ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
    return nullptr;
  }
  DWORD maxMessage = kSystemMaxMessage;
  int lockFd = ::open((base + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
  if (lockFd >= 0) {
    char text[32] = {};
    ssize_t n = ::pread(lockFd, text, sizeof(text) - 1, 0);
    if (n > 0) {
      unsigned long value = std::strtoul(text, nullptr, 10);
      if (value > 0 && value < maxMessage) maxMessage = static_cast<DWORD>(value);
    }
    ::close(lockFd);
  }
  // Room for a whole burst of the largest messages; a full server makes the write wait this
  // long at most before it fails.
  int sendBuffer = 1024 * 1024;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
  timeval timeout{kWriteTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  *error = ERROR_SUCCESS;
  return std::make_shared<MailslotClient>(fd, maxMessage);
}

}  // namespace detail

HANDLE CreateMailslotA(const char* name, DWORD maxMessageSize, DWORD readTimeout,
                       SECURITY_ATTRIBUTES*) {
  DWORD error = ERROR_SUCCESS;
  std::string base;
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!detail::MailslotBasePath(name, &base, &error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (maxMessageSize == 0 || maxMessageSize > detail::kSystemMaxMessage)
    maxMessageSize = detail::kSystemMaxMessage;
  auto server = std::make_shared<detail::MailslotServer>(maxMessageSize, readTimeout);
  if (!server->Open(base, &error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return detail::InsertHandle(std::move(server));
}

BOOL GetMailslotInfo(HANDLE mailslot, DWORD* maxMessageSize, DWORD* nextSize, DWORD* messageCount,
                     DWORD* readTimeout) {
  auto server = detail::LookupHandleAs<detail::MailslotServer>(mailslot);
  if (!server) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  server->Info(maxMessageSize, nextSize, messageCount, readTimeout);
  return TRUE;
}

BOOL SetMailslotInfo(HANDLE mailslot, DWORD readTimeout) {
  auto server = detail::LookupHandleAs<detail::MailslotServer>(mailslot);
  if (!server) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  server->SetReadTimeout(readTimeout);
  return TRUE;
}

}  // namespace winport
