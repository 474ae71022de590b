// Mailslots on Unix sequenced-packet sockets: each client end is a connection to the server's
// socket run/mailslot.<name>, and each message one packet. The server end holds an exclusive lock
// on run/mailslot.<name>.lock for its whole life: the lock says the name is taken, and it goes
// away by itself when the server process dies, so a stale name is simply reclaimed by the next
// server. A reader thread takes the packets off the connections into the server's own queue as
// they come, so writers do not wait for the application to read; a connection's send buffer
// holds a burst until the reader thread gets to it.
#include "winport/mailslot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "handles.h"
#include "mailslot_internal.h"
#include "message_socket.h"
#include "winport/error.h"
#include "winport/prefix.h"
#include "winport/text.h"
#include "winport/unique_fd.h"

namespace winport {
namespace detail {
namespace {

constexpr std::string_view kMailslotPrefix = "\\\\.\\mailslot\\";
// The largest message any mailslot takes.
constexpr DWORD kSystemMaxMessage = 64 * 1024;
// What the server holds in memory before writers are made to wait (and in the end fail).
// Packets taken off a connection per call.
constexpr std::size_t kBatch = 32;
constexpr std::size_t kQueueByteLimit = 64 * 1024 * 1024;
// How long a writer waits for room before its write fails.
constexpr int kWriteTimeoutSeconds = 10;
constexpr int kSendBuffer = 4 * 1024 * 1024;
// Every packet starts with this byte, so that an empty message is a packet of one byte and
// a read of nothing only ever means the writer has gone.
constexpr char kPacketMark = 'M';

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
      {
        std::lock_guard guard(lock_);
        stopping_ = true;
      }
      Wake(wakeFd_.get());
      roomFreed_.notify_all();
      reader_.join();
    }
    // The socket goes while the name is still ours, then the lock frees the name.
    if (listenFd_) {
      ::unlink(socketPath_.c_str());
      listenFd_.reset();
    }
    writers_.clear();
    wakeFd_.reset();
    lockFd_.reset();
  }

  bool Open(const std::string& base, DWORD* error) {
    std::string lockPath = base + ".lock";
    lockFd_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660));
    if (!lockFd_) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    if (::flock(lockFd_.get(), LOCK_EX | LOCK_NB) != 0) {
      *error = errno == EWOULDBLOCK ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno);
      return false;
    }
    // Clients read the size limit from here before they can reach the socket.
    std::string limit = std::to_string(maxMessage_) + "\n";
    if (::ftruncate(lockFd_.get(), 0) != 0 || ::pwrite(lockFd_.get(), limit.data(), limit.size(),
                                                       0) != static_cast<ssize_t>(limit.size())) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    socketPath_ = base;
    listenFd_ = BindSocket(socketPath_, SOCK_SEQPACKET);
    if (!listenFd_) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    ::fcntl(listenFd_.get(), F_SETFL, ::fcntl(listenFd_.get(), F_GETFL) | O_NONBLOCK);
    wakeFd_ = MakeWakeFd();
    if (!wakeFd_) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    // Each slot: the mark, the message, one byte more to see a packet is too long.
    slotSize_ = maxMessage_ + 2;
    buffer_.resize(slotSize_ * kBatch);
    // Drain tells the reader thread by its id, and the thread itself drains as soon as it runs:
    // the lock keeps it from looking before reader_ holds it.
    std::lock_guard guard(lock_);
    reader_ = std::thread([this] { ReaderLoop(); });
    return true;
  }

  bool Read(void* buffer, DWORD size, DWORD* read) override {
    if (read) *read = 0;
    std::unique_lock guard(lock_);
    // What the queue holds is older than anything still in the sockets.
    if (queue_.empty()) Drain();
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
    bool wasFull = queuedBytes_ >= kQueueByteLimit;
    queuedBytes_ -= next.size();
    queue_.pop_front();
    guard.unlock();
    if (wasFull) roomFreed_.notify_one();
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
  // One client end's connection. Each writer's messages keep their order on it; a writer that
  // has closed (done) is read to its end and then dropped by the reader thread.
  struct Writer {
    UniqueFd fd;
    bool done;
  };

  // Moves whatever the writers have sent into the queue. Called with lock_ held, by the reader
  // thread and by the application's calls alike, so that the count is exact the moment a
  // writer's WriteFile has returned. New connections are taken first and all are read in the
  // order they came, so one process's messages through successive client ends stay in order.
  void Drain() {
    bool accepted = false;
    for (;;) {
      int fd = ::accept4(listenFd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) break;
      writers_.push_back({UniqueFd(fd), false});
      accepted = true;
    }
    // The reader thread must watch the new connections too, or a writer that fills its buffer
    // would wait for the application.
    if (accepted && std::this_thread::get_id() != reader_.get_id()) Wake(wakeFd_.get());
    for (Writer& w : writers_) {
      while (!w.done && queuedBytes_ < kQueueByteLimit) {
        // Many packets per call: the calls, not the copying, are what a message costs.
        mmsghdr packets[kBatch] = {};
        iovec parts[kBatch];
        for (std::size_t i = 0; i < kBatch; ++i) {
          parts[i] = {buffer_.data() + i * slotSize_, slotSize_};
          packets[i].msg_hdr.msg_iov = &parts[i];
          packets[i].msg_hdr.msg_iovlen = 1;
        }
        int n = ::recvmmsg(w.fd.get(), packets, kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
          w.done = true;  // the connection broke
          break;
        }
        for (int i = 0; i < n; ++i) {
          const char* packet = buffer_.data() + i * slotSize_;
          std::size_t length = packets[i].msg_len;
          if (length == 0) {
            w.done = true;  // the writer closed its end; every message is marked, so never empty
            break;
          }
          // Writers check the limit before sending; a packet over it or without the mark comes
          // from elsewhere and is not a message.
          if (length - 1 > maxMessage_ || (packets[i].msg_hdr.msg_flags & MSG_TRUNC) ||
              packet[0] != kPacketMark)
            continue;
          queue_.emplace_back(packet + 1, packet + length);
          queuedBytes_ += length - 1;
        }
        if (n < static_cast<int>(kBatch)) break;
      }
    }
  }

  void ReaderLoop() {
    std::vector<pollfd> fds;
    std::unique_lock guard(lock_);
    while (!stopping_) {
      // Only this thread closes connections, so the descriptors it polls stay valid.
      std::erase_if(writers_, [](const Writer& w) { return w.done; });
      fds.assign({{wakeFd_.get(), POLLIN, 0}, {listenFd_.get(), POLLIN, 0}});
      for (const Writer& w : writers_) fds.push_back({w.fd.get(), POLLIN, 0});
      guard.unlock();
      int ready = ::poll(fds.data(), fds.size(), -1);
      if (ready > 0 && (fds[0].revents & POLLIN)) {
        std::uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(wakeFd_.get(), &count, sizeof(count));
      }
      guard.lock();
      if (ready < 0 && errno != EINTR) return;
      if (stopping_) return;
      bool wasEmpty = queue_.empty();
      Drain();
      if (wasEmpty && !queue_.empty()) arrived_.notify_all();
      // Full: what is left stays with the writers (who then wait) until the reader makes room.
      roomFreed_.wait(guard, [this] { return stopping_ || queuedBytes_ < kQueueByteLimit; });
    }
  }

  const DWORD maxMessage_;
  DWORD readTimeout_;
  std::string socketPath_;
  UniqueFd lockFd_;
  UniqueFd listenFd_;
  UniqueFd wakeFd_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::condition_variable roomFreed_;
  std::vector<Writer> writers_;
  std::deque<std::vector<char>> queue_;
  std::size_t queuedBytes_ = 0;
  std::vector<char> buffer_;
  std::size_t slotSize_ = 0;
  bool stopping_ = false;
  std::thread reader_;
};

class MailslotClient : public KernelObject {
 public:
  MailslotClient(UniqueFd fd, DWORD maxMessage) : fd_(std::move(fd)), maxMessage_(maxMessage) {}

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
      iovec parts[2] = {{const_cast<char*>(&kPacketMark), 1}, {const_cast<void*>(buffer), size}};
      msghdr packet{};
      packet.msg_iov = parts;
      packet.msg_iovlen = size ? 2 : 1;
      ssize_t n = ::sendmsg(fd_.get(), &packet, MSG_NOSIGNAL);
      if (n >= 0) break;
      switch (errno) {
        case EINTR:
          continue;
        case EAGAIN:  // the server has not made room within the write time-out
          SetLastError(ERROR_TIMEOUT);
          return false;
        case EPIPE:
        case ECONNRESET:
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
  UniqueFd fd_;
  DWORD maxMessage_;
};

}  // namespace

bool IsMailslotPath(std::string_view path) {
  return StartsWithNoCase(path, kMailslotPrefix);
}

std::shared_ptr<KernelObject> OpenMailslotClient(std::string_view path, DWORD* error) {
  DWORD dummy;
  if (!error) error = &dummy;
  std::string base;
  if (!MailslotBasePath(path, &base, error)) return nullptr;
  // Room for a burst of messages before the writer has to wait for the server; a server that
  // makes no room for the write time-out makes the write fail.
  UniqueFd fd = ConnectSocket(base, SOCK_SEQPACKET, kSendBuffer, kWriteTimeoutSeconds);
  if (!fd) {
    *error =
        (errno == ENOENT || errno == ECONNREFUSED) ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
    return nullptr;
  }
  DWORD maxMessage = kSystemMaxMessage;
  UniqueFd lockFd(::open((base + ".lock").c_str(), O_RDONLY | O_CLOEXEC));
  if (lockFd) {
    char text[32] = {};
    ssize_t n = ::pread(lockFd.get(), text, sizeof(text) - 1, 0);
    if (n > 0) {
      unsigned long value = std::strtoul(text, nullptr, 10);
      if (value > 0 && value < maxMessage) maxMessage = static_cast<DWORD>(value);
    }
  }
  *error = ERROR_SUCCESS;
  return std::make_shared<MailslotClient>(std::move(fd), maxMessage);
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
