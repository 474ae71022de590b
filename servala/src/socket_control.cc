#include "servala/socket_control.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>
#include <winport/clock.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "file_sender.h"

namespace servala {

using asio::ip::tcp;

// Connections are plain non-blocking descriptors, read and written directly from the loop's
// handlers. A descriptor that finds nothing to do waits in the array's own readiness set, entered
// once with one epoll_ctl and left by closing it; the loop watches that set as one descriptor.
// Accept, enter, read, write and close are then all the calls a request costs. Only the body of a
// file that does not go out within the turn that started it leaves the loop: a sending thread
// takes it over (see HandOver).
struct SocketArray::Element {
  explicit Element(int i) : index(i) {}
  int index;
  winport::UniqueFd fd;          // the connection, if any
  std::uint64_t generation = 0;  // new for each connection or listening socket
  bool watched = false;          // fd (or the listening socket) is in the readiness set
  bool watchedForWrite = false;  // ... also for writing
  bool wantRead = false;
  bool wantWrite = false;
  bool wantAccept = false;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<asio::steady_timer> retry;
  int state = sckClosed;
  int localPort = 0;
  std::string localIP;
  bool sending = false;
  bool readQueued = false;     // a read is posted
  bool readAfterSend = false;  // reading resumes once the reply has gone
  // The end of the reply waits in the system for more to follow (see WriteNow).
  bool heldBack = false;
  std::string outgoing;
  std::size_t sent = 0;
  winport::UniqueFd file;  // sent after `outgoing`, straight from the file
  off_t fileOffset = 0;
  off_t fileLeft = 0;
  std::string trailer;  // sent after the file
  // The rest of the head and the file's body, while the sending thread has them.
  std::shared_ptr<FileSender::Job> job;
  bool writeQueued = false;    // the write goes on on a later turn
  std::time_t progressAt = 0;  // when the send last got bytes out
  std::string received;
  std::string peer;
};

namespace {

constexpr std::size_t kReadChunk = 16384;
// Connections taken one after another in one turn of the loop, while more are waiting: each
// turn costs the loop a few calls of its own, which a busy server then shares among them.
constexpr int kAcceptsPerTurn = 8;
// One turn of the loop writes at most this much of one reply, so that a large reply leaves the
// loop to others between its pieces (a file's body goes on on the sending thread).
constexpr std::size_t kWriteTurnBytes = 128u << 10;
// The send buffer of a file streamed to a reader on this machine (the system doubles it).
constexpr int kLocalFileSendBuffer = 64 << 10;
constexpr std::uint64_t kLingerKey = SocketArray::kMaxElements;
// Readiness set keys: the element's index above, its generation below.
constexpr int kKeyShift = 48;
constexpr std::uint64_t kGenerationMask = (std::uint64_t{1} << kKeyShift) - 1;

// Windows Sockets numbers for the errors the control tells apart.
int WsaNumber(int err) {
  switch (err) {
    case EWOULDBLOCK:
      return kErrWouldBlock;
    case EADDRINUSE:
      return kErrAddressInUse;
    case EADDRNOTAVAIL:
      return 10049;
    case ECONNRESET:
      return 10054;
    case ECONNABORTED:
      return 10053;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EACCES:
      return 10013;
    case EMFILE:
      return 10024;
    case ENOTCONN:
      return 10057;
    case EPIPE:
      return 10058;
    default:
      return 10000 + err;
  }
}

std::string PeerText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET) {
    // Dotted quad by hand: inet_ntop formats through printf, which costs more than the rest of
    // taking the connection.
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    const auto* b = reinterpret_cast<const unsigned char*>(&in->sin_addr);
    char* p = text;
    for (int i = 0; i < 4; ++i) {
      if (i > 0) *p++ = '.';
      const unsigned v = b[i];
      if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
      if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
      *p++ = static_cast<char>('0' + v % 10);
    }
    *p = '\0';
  } else if (addr.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
  }
  return text;
}

// True when the peer's data waits unread on `fd`.
bool UnreadInput(int fd) {
  int waiting = 0;
  return ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
}

// True when the connection's peer is on this machine.
bool LocalPeer(int fd) {
  sockaddr_storage mine{}, theirs{};
  socklen_t mineLen = sizeof mine, theirsLen = sizeof theirs;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &mineLen) != 0 ||
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirsLen) != 0 ||
      mine.ss_family != theirs.ss_family)
    return false;
  if (theirs.ss_family == AF_INET) {
    const in_addr a = reinterpret_cast<const sockaddr_in*>(&mine)->sin_addr;
    const in_addr b = reinterpret_cast<const sockaddr_in*>(&theirs)->sin_addr;
    return a.s_addr == b.s_addr || (ntohl(b.s_addr) >> 24) == 127;
  }
  if (theirs.ss_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&mine)->sin6_addr;
    const in6_addr& b = reinterpret_cast<const sockaddr_in6*>(&theirs)->sin6_addr;
    return std::memcmp(&a, &b, sizeof a) == 0 || IN6_IS_ADDR_LOOPBACK(&b);
  }
  return false;
}

// sendfile has no MSG_NOSIGNAL: a peer that has gone would raise SIGPIPE, which a library must
// not let reach its host. The signal is held back for the call and taken if it was raised.
ssize_t SendFileNoSignal(int socket, int file, off_t* offset, std::size_t count) {
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  const ssize_t n = ::sendfile(socket, file, offset, count);
  const int err = errno;
  if (n < 0 && err == EPIPE && !sigismember(&old, SIGPIPE)) {
    const timespec none{};
    while (::sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return n;
}

}  // namespace

SocketArray::SocketArray(asio::io_context& io, SocketEvents& events)
    : io_(io), events_(events), lingerTimer_(io) {}

SocketArray::~SocketArray() {
  for (int i = 0; i <= UBound(); ++i) Unload(i);
  sender_.reset();  // every body was cancelled with its connection
  pending_.clear();
  lingering_.clear();
  lingerTimer_.cancel();
  std::error_code ec;
  if (readinessWatch_) readinessWatch_->close(ec);  // closes readiness_
}

SocketArray::ElementPtr SocketArray::Get(int index) const {
  if (index < 0 || index > UBound()) return nullptr;
  return elements_[index];
}

bool SocketArray::Current(const ElementPtr& e) const {
  return e && Get(e->index) == e;
}

bool SocketArray::Live(const ElementPtr& e, std::uint64_t generation) const {
  return Current(e) && e->generation == generation;
}

void SocketArray::Load(int index) {
  if (index < 0 || index >= kMaxElements)
    throw SocketError(340, "Control array element does not exist");
  if (Exists(index)) throw SocketError(kErrAlreadyLoaded, "Object already loaded");
  if (index > UBound()) elements_.resize(index + 1);
  elements_[index] = std::make_shared<Element>(index);
}

void SocketArray::Unload(int index) {
  auto e = Get(index);
  if (!e) return;
  Close(index);
  elements_[index].reset();
}

bool SocketArray::Exists(int index) const {
  return Get(index) != nullptr;
}

int SocketArray::State(int index) const {
  auto e = Get(index);
  return e ? e->state : sckClosed;
}

void SocketArray::CloseConnection(Element& e) {
  // A connection whose peer sent more than was read lingers (see Linger): closed at once, the
  // system would reset it and throw away the end of the reply. Input can come at any time, also
  // after a reply that went out at once, so every connection is asked. Otherwise closing is
  // enough, and also takes the descriptor out of the readiness set. A body on its way is
  // stopped first: the sending thread lets go of the connection before it is closed.
  if (e.job) {
    sender_->Cancel(*e.job);
    e.job.reset();
  }
  if (e.fd && (e.state == sckConnected || e.state == sckClosing) && UnreadInput(e.fd.get()))
    Linger(std::move(e.fd));
  e.fd.reset();
  e.file.reset();
  e.fileOffset = e.fileLeft = 0;
  e.trailer.clear();
  e.writeQueued = false;
  e.generation = ++nextGeneration_;
  e.watched = e.watchedForWrite = false;
  e.wantRead = e.wantWrite = e.wantAccept = false;
  e.readQueued = false;
  e.readAfterSend = false;
  e.heldBack = false;
  e.outgoing.clear();
  e.sent = 0;
}

void SocketArray::Close(int index) {
  auto e = Get(index);
  if (!e) return;
  std::error_code ec;
  if (e->acceptor) {
    e->acceptor->close(ec);
    e->acceptor.reset();
  }
  if (e->retry) e->retry->cancel();
  CloseConnection(*e);
  e->state = sckClosed;
  e->sending = false;
  e->received.clear();
}

void SocketArray::SetLocalPort(int index, int port) {
  auto e = Get(index);
  if (!e) throw SocketError(340, "Control array element does not exist");
  e->localPort = port;
}

void SocketArray::SetLocalIP(int index, const std::string& address) {
  auto e = Get(index);
  if (!e) throw SocketError(340, "Control array element does not exist");
  e->localIP = address;
}

std::string SocketArray::ListeningAddress(int index) const {
  auto e = Get(index);
  if (!e || !e->acceptor) return "";
  std::error_code ec;
  auto ep = e->acceptor->local_endpoint(ec);
  return ec ? "" : ep.address().to_string();
}

int SocketArray::LocalPort(int index) const {
  auto e = Get(index);
  if (!e) return 0;
  std::error_code ec;
  if (e->acceptor) {
    auto ep = e->acceptor->local_endpoint(ec);
    if (!ec) return ep.port();
  }
  if (e->fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(e->fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
      if (addr.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    }
  }
  return e->localPort;
}

void SocketArray::Listen(int index) {
  auto e = Get(index);
  if (!e) throw SocketError(340, "Control array element does not exist");
  if (e->localPort < 0 || e->localPort > 65535) throw SocketError(10049, "Address not available");
  asio::ip::address_v4 address = asio::ip::address_v4::any();
  if (!e->localIP.empty()) {
    std::error_code bad;
    address = asio::ip::make_address_v4(e->localIP, bad);
    if (bad) throw SocketError(10049, "Address not available");
  }
  auto acceptor = std::make_unique<tcp::acceptor>(io_);
  std::error_code ec;
  acceptor->open(tcp::v4(), ec);
  // Lets a stopped server listen again at once while its old connections linger.
  if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor->bind(tcp::endpoint(address, static_cast<unsigned short>(e->localPort)), ec);
  if (!ec) acceptor->listen(tcp::socket::max_listen_connections, ec);
  // Connections are taken until none is left, so taking one must never block.
  if (!ec) acceptor->native_non_blocking(true, ec);
  // A connection is offered once its first data is there (or a second has passed): its request
  // is then read at once instead of being waited for.
  if (!ec) {
    const int seconds = 1;
    ::setsockopt(acceptor->native_handle(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds,
                 sizeof seconds);
  }
  if (ec) {
    if (ec.value() == EADDRINUSE) throw SocketError(kErrAddressInUse, "Address in use");
    throw SocketError(WsaNumber(ec.value()), ec.message());
  }
  e->acceptor = std::move(acceptor);
  e->state = sckListening;
  e->generation = ++nextGeneration_;
  e->watched = false;
  StartAccept(e);
}

template <class Work>
void SocketArray::HoldingCompletions(Work&& work) {
  ++inHandler_;
  try {
    work();
  } catch (...) {
    --inHandler_;
    throw;
  }
  if (--inHandler_ == 0) RunPendingEvents();
}

void SocketArray::StartAccept(const ElementPtr& e) {
  asio::post(io_, [this, e, gen = e->generation, alive = std::weak_ptr<int>(alive_)] {
    if (!alive.expired() && Live(e, gen) && e->acceptor) AcceptNext(e);
  });
}

void SocketArray::AcceptNext(const ElementPtr& e) {
  for (int turn = 1;; ++turn) {
    if (!TakeConnection(e)) return;
    if (!Current(e) || !e->acceptor) return;
    // The listening socket is watched again before anything else runs: the host's handlers may
    // let pending events run for a long while (a large file going out to a fast reader), and
    // connections must be taken meanwhile too. It is watched level-triggered, so connections
    // still waiting after this turn are reported on the next.
    WaitFor(e, Want::Accept);
    if (turn == kAcceptsPerTurn) return;
    // What this connection set going (its reply, the slot it frees) is done before the next is
    // offered, as it would be with one event per connection.
    RunPendingEvents();
    // Taken over meanwhile by a turn run from within those events: that turn goes on instead.
    if (!Current(e) || !e->acceptor || !e->wantAccept) return;
    e->wantAccept = false;
  }
}

bool SocketArray::TakeConnection(const ElementPtr& e) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  int fd;
  do {
    fd = ::accept4(e->acceptor->native_handle(), reinterpret_cast<sockaddr*>(&addr), &len,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
    // A peer that gave up before it was taken: go on with the next.
  } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED || errno == EPROTO));
  if (fd < 0) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      WaitFor(e, Want::Accept);
      return false;
    }
    const std::uint64_t gen = e->generation;
    events_.sckWS_Error(e->index, WsaNumber(err), std::strerror(err));
    if (!Live(e, gen) || !e->acceptor) return false;
    // Out of descriptors and the like: try again shortly rather than spin.
    if (!e->retry) e->retry = std::make_unique<asio::steady_timer>(io_);
    e->retry->expires_after(std::chrono::milliseconds(50));
    e->retry->async_wait([this, e, gen, alive = std::weak_ptr<int>(alive_)](std::error_code wec) {
      if (!wec && !alive.expired() && Live(e, gen) && e->acceptor) AcceptNext(e);
    });
    return false;
  }
  const long id = ++nextRequestID_;
  pending_.emplace(id, Pending{winport::UniqueFd(fd), PeerText(addr)});
  std::vector<ElementPtr> taken;
  {
    struct Collect {  // Accept records here while the host handles the offer
      Collect(std::vector<ElementPtr>*& at, std::vector<ElementPtr>* list)
          : slot(at), outer(std::exchange(at, list)) {}
      ~Collect() { slot = outer; }
      std::vector<ElementPtr>*& slot;
      std::vector<ElementPtr>* outer;
    } collect(accepted_, &taken);
    events_.sckWS_ConnectionRequest(e->index, id);
  }
  // A request nobody accepted is turned away.
  pending_.erase(id);
  // The connection request has been handled: the request that came with the connection (it is
  // offered once its first data is there) is read now rather than on a later turn.
  for (const ElementPtr& t : taken)
    if (Current(t)) ReadQueued(t);
  return true;
}

void SocketArray::Accept(int index, long requestID) {
  auto e = Get(index);
  if (!e) throw SocketError(340, "Control array element does not exist");
  auto it = pending_.find(requestID);
  if (it == pending_.end()) throw SocketError(10022, "Invalid argument");
  CloseConnection(*e);
  e->fd = std::move(it->second.fd);
  e->peer = std::move(it->second.peer);
  pending_.erase(it);
  e->state = sckConnected;
  e->sending = false;
  e->received.clear();
  if (accepted_ != nullptr) {
    // Read once the offer has been handled (see AcceptNext).
    e->readQueued = true;
    accepted_->push_back(e);
  } else {
    StartRead(e);
  }
}

void SocketArray::StartRead(const ElementPtr& e) {
  if (e->readQueued) return;
  e->readQueued = true;
  // Data is reported from a handler of its own, never from within the call that accepted.
  asio::post(io_, [this, e, gen = e->generation, alive = std::weak_ptr<int>(alive_)] {
    if (!alive.expired() && Live(e, gen)) ReadQueued(e);
  });
}

void SocketArray::ReadQueued(const ElementPtr& e) {
  if (!e->readQueued) return;  // read already, by whoever came first
  e->readQueued = false;
  HoldingCompletions([&] { ReadNow(e); });
}

void SocketArray::ReadNow(const ElementPtr& e) {
  const std::uint64_t gen = e->generation;
  if (e->state != sckConnected || e->readQueued) return;
  if (e->sending) {
    // The reply is on its way: read on when it has gone (usually the connection closes first).
    e->readAfterSend = true;
    return;
  }
  std::array<char, kReadChunk> buffer;
  const ssize_t n = ::recv(e->fd.get(), buffer.data(), buffer.size(), 0);
  if (n > 0) {
    e->received.append(buffer.data(), static_cast<std::size_t>(n));
    events_.sckWS_DataArrival(e->index, static_cast<long>(n));
    if (!Live(e, gen) || e->state != sckConnected) return;
    if (e->sending)
      e->readAfterSend = true;  // answered at once: read on, if at all, once the reply has gone
    else
      StartRead(e);
    return;
  }
  if (n == 0) {
    e->state = sckClosing;
    events_.sckWS_Close(e->index);
    return;
  }
  const int err = errno;
  if (err == EINTR) {
    StartRead(e);
  } else if (err == EAGAIN || err == EWOULDBLOCK) {
    WaitFor(e, Want::Read);
  } else {
    e->state = sckError;
    events_.sckWS_Error(e->index, WsaNumber(err), std::strerror(err));
  }
}

bool SocketArray::EnsureReadiness() {
  if (readiness_ >= 0) return true;
  readiness_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (readiness_ < 0) return false;
  readinessWatch_ = std::make_unique<asio::posix::stream_descriptor>(io_, readiness_);
  return true;
}

void SocketArray::WaitFor(const ElementPtr& e, Want what) {
  if (!EnsureReadiness()) {
    PostError(e, errno);
    return;
  }
  const int fd = what == Want::Accept ? e->acceptor->native_handle() : e->fd.get();
  const bool forWrite = what == Want::Write;
  if (!e->watched || (forWrite && !e->watchedForWrite)) {
    // Connections edge-triggered: a wait starts only after a call found nothing to do, so no
    // edge is missed; writing is watched only once a write has had to wait, so replies going
    // out do not wake us. The listening socket level-triggered: one connection is taken per
    // report, and the set reports again while more are waiting.
    epoll_event ev{};
    ev.events = what == Want::Accept ? EPOLLIN
                                     : EPOLLIN | EPOLLRDHUP | EPOLLET |
                                           (forWrite || e->watchedForWrite ? EPOLLOUT : 0u);
    ev.data.u64 =
        (static_cast<std::uint64_t>(e->index) << kKeyShift) | (e->generation & kGenerationMask);
    if (::epoll_ctl(readiness_, e->watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) {
      if (what == Want::Accept) {
        events_.sckWS_Error(e->index, WsaNumber(errno), std::strerror(errno));
      } else {
        PostError(e, errno);
      }
      return;
    }
    e->watched = true;
    e->watchedForWrite = e->watchedForWrite || forWrite;
  }
  switch (what) {
    case Want::Read:
      e->wantRead = true;
      break;
    case Want::Write:
      e->wantWrite = true;
      break;
    case Want::Accept:
      e->wantAccept = true;
      break;
  }
  WatchReadiness();
}

void SocketArray::WatchReadiness() {
  // Each wait costs Asio an epoll_ctl (EPOLL_CTL_MOD) on the set's descriptor: it registers
  // descriptors edge-triggered, and a wait that does not first try the operation itself (only
  // reads, writes and accepts do, and a readiness set offers none of them) must re-arm the
  // registration, as the set may have become ready before the wait began and its edge been
  // spent. So it is one call per turn of the loop that ends in waiting, not one per request.
  if (readinessWatched_ || !readinessWatch_) return;
  readinessWatched_ = true;
  readinessWatch_->async_wait(asio::posix::descriptor_base::wait_read,
                              [this, alive = std::weak_ptr<int>(alive_)](std::error_code ec) {
                                if (alive.expired()) return;
                                readinessWatched_ = false;
                                if (!ec) TakeReadiness();
                              });
}

void SocketArray::TakeReadiness() {
  std::array<epoll_event, 64> ready;
  const int n = ::epoll_wait(readiness_, ready.data(), static_cast<int>(ready.size()), 0);
  HoldingCompletions([&] {
    for (int i = 0; i < n; ++i) {
      const std::uint64_t key = ready[i].data.u64;
      if ((key >> kKeyShift) == kLingerKey) {
        LingerReady(key & kGenerationMask);
        continue;
      }
      auto e = Get(static_cast<int>(key >> kKeyShift));
      if (!e || (e->generation & kGenerationMask) != (key & kGenerationMask)) continue;
      const std::uint32_t ev = ready[i].events;
      const bool failed = (ev & (EPOLLERR | EPOLLHUP)) != 0;
      if (e->wantAccept && (failed || (ev & EPOLLIN))) {
        e->wantAccept = false;
        AcceptNext(e);
        continue;
      }
      if (e->wantWrite && (failed || (ev & EPOLLOUT))) {
        e->wantWrite = false;
        WriteNow(e);
      }
      if (e->wantRead && (failed || (ev & (EPOLLIN | EPOLLRDHUP)))) {
        e->wantRead = false;
        ReadNow(e);
      }
    }
  });
  // Anything still waiting keeps the set watched (more may be ready than one call took).
  for (const auto& e : elements_) {
    if (e && (e->wantRead || e->wantWrite || e->wantAccept)) {
      WatchReadiness();
      break;
    }
  }
  if (!lingering_.empty()) WatchReadiness();
}

void SocketArray::Linger(winport::UniqueFd fd) {
  // Shutting down the sending side lets what was sent go out and then tells the peer we are
  // done; closing with unread input instead would make the system reset the connection and
  // throw away what is still on its way.
  const int raw = fd.get();
  ::shutdown(raw, SHUT_WR);
  Lingering l{std::move(fd), std::chrono::steady_clock::now() + kLingerTime, 0};
  if (DrainLingering(l) || !EnsureReadiness()) return;
  while (lingering_.size() >= kMaxLingering && !lingerOrder_.empty()) {
    lingering_.erase(lingerOrder_.front());
    lingerOrder_.pop_front();
  }
  const std::uint64_t id = ++nextLingerID_ & kGenerationMask;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = (kLingerKey << kKeyShift) | id;
  // The descriptor may be in the set already, under its element's key.
  if (::epoll_ctl(readiness_, EPOLL_CTL_MOD, raw, &ev) != 0 &&
      ::epoll_ctl(readiness_, EPOLL_CTL_ADD, raw, &ev) != 0)
    return;
  lingering_.emplace(id, std::move(l));
  lingerOrder_.push_back(id);
  ArmLingerTimer();
  WatchReadiness();
}

bool SocketArray::DrainLingering(Lingering& l) {
  std::array<char, kReadChunk> buffer;
  for (;;) {
    const ssize_t n = ::recv(l.fd.get(), buffer.data(), buffer.size(), 0);
    if (n > 0) {
      l.dropped += static_cast<std::size_t>(n);
      if (l.dropped >= kLingerBytes) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
  }
}

void SocketArray::LingerReady(std::uint64_t id) {
  auto it = lingering_.find(id);
  if (it == lingering_.end()) return;
  if (DrainLingering(it->second)) EndLingering(id);
}

void SocketArray::EndLingering(std::uint64_t id) {
  lingering_.erase(id);
  // lingerOrder_ keeps the number; the timer skips numbers no longer lingering.
}

void SocketArray::ArmLingerTimer() {
  while (!lingerOrder_.empty() && !lingering_.count(lingerOrder_.front())) lingerOrder_.pop_front();
  if (lingerTimerArmed_ || lingerOrder_.empty()) return;
  lingerTimerArmed_ = true;
  lingerTimer_.expires_at(lingering_.at(lingerOrder_.front()).until);
  lingerTimer_.async_wait([this, alive = std::weak_ptr<int>(alive_)](std::error_code ec) {
    if (alive.expired()) return;
    lingerTimerArmed_ = false;
    if (ec) return;
    const auto now = std::chrono::steady_clock::now();
    while (!lingerOrder_.empty()) {
      auto it = lingering_.find(lingerOrder_.front());
      if (it != lingering_.end()) {
        if (it->second.until > now) break;
        // Time is up: whatever is still unread is the peer's loss.
        DrainLingering(it->second);
        lingering_.erase(it);
      }
      lingerOrder_.pop_front();
    }
    ArmLingerTimer();
  });
}

void SocketArray::PostError(const ElementPtr& e, int error) {
  asio::post(io_, [this, e, error, gen = e->generation, alive = std::weak_ptr<int>(alive_)] {
    if (alive.expired() || !Live(e, gen)) return;
    e->sending = false;
    e->state = sckError;
    events_.sckWS_Error(e->index, WsaNumber(error), std::strerror(error));
  });
}

void SocketArray::SendData(int index, std::string data) {
  auto e = Get(index);
  if (!e || e->state != sckConnected)
    throw SocketError(40006, "Wrong protocol or connection state");
  const bool idle = e->outgoing.empty() && !e->file && !e->job && e->trailer.empty();
  if (idle) {
    e->outgoing = std::move(data);
    e->sent = 0;
  } else if (e->file || e->job || !e->trailer.empty()) {
    e->trailer += data;  // goes out after what is already on its way
  } else {
    e->outgoing += data;
  }
  if (!e->sending) e->progressAt = winport::Now();
  e->sending = true;
  if (idle) WriteNow(e);
}

void SocketArray::SendFile(int index, std::string head, winport::UniqueFd file, off_t length,
                           std::string trailer) {
  auto e = Get(index);
  const bool idle = e && e->outgoing.empty() && !e->file && !e->job && e->trailer.empty() &&
                    e->state == sckConnected;
  if (!idle) throw SocketError(40006, "Wrong protocol or connection state");
  e->outgoing = std::move(head);
  e->sent = 0;
  e->file = std::move(file);
  e->fileOffset = 0;
  e->fileLeft = length;
  e->trailer = std::move(trailer);
  e->progressAt = winport::Now();
  e->sending = true;
  // A reader on this machine shares our processors. With the default buffers a file runs
  // megabytes ahead of it, and once it runs it holds a processor until it has caught up, while
  // everyone else waits; a small send buffer keeps it close behind, and the sender waits for
  // room instead. Measured with the body on the sending thread, it still serves other requests
  // faster meanwhile (their 90th percentile a third of what it is without) and the file faster
  // too. Remote readers keep the system's buffer sizing.
  if (LocalPeer(e->fd.get()))
    ::setsockopt(e->fd.get(), SOL_SOCKET, SO_SNDBUF, &kLocalFileSendBuffer,
                 sizeof kLocalFileSendBuffer);
  WriteNow(e);
}

void SocketArray::WriteLater(const ElementPtr& e) {
  if (e->writeQueued) return;
  e->writeQueued = true;
  asio::post(io_, [this, e, gen = e->generation, alive = std::weak_ptr<int>(alive_)] {
    if (alive.expired() || !Live(e, gen) || !e->writeQueued) return;
    e->writeQueued = false;
    HoldingCompletions([&] { WriteNow(e); });
  });
}

void SocketArray::WriteNow(const ElementPtr& e) {
  std::size_t turn = 0;
  for (;;) {
    ssize_t n;
    if (e->sent < e->outgoing.size()) {
      // The end of a reply waits in the system for what follows it: the connection usually
      // closes next, and the end and the close then go out as one segment instead of two.
      // SendDone sends it on if the connection stays open.
      const bool last = e->fileLeft == 0 && e->trailer.empty();
      n = ::send(e->fd.get(), e->outgoing.data() + e->sent, e->outgoing.size() - e->sent,
                 MSG_NOSIGNAL | (last ? MSG_MORE : 0));
      if (n > 0) e->sent += static_cast<std::size_t>(n);
      if (n > 0 && last) e->heldBack = true;
    } else if (e->fileLeft > 0) {
      const std::size_t piece =
          static_cast<std::size_t>(std::min<off_t>(e->fileLeft, off_t{kWriteTurnBytes}));
      n = SendFileNoSignal(e->fd.get(), e->file.get(), &e->fileOffset, piece);
      if (n > 0) e->fileLeft -= n;
      // The file ended early (cut short since it was opened): the reply cannot be what its
      // header promised, so the connection is given up.
      if (n == 0) {
        n = -1;
        errno = EIO;
      }
    } else if (!e->trailer.empty()) {
      e->file.reset();
      e->outgoing.swap(e->trailer);
      e->trailer.clear();
      e->sent = 0;
      continue;
    } else {
      break;
    }
    if (n >= 0) {
      e->progressAt = winport::Now();
      turn += static_cast<std::size_t>(n);
      if (turn >= kWriteTurnBytes &&
          (e->sent < e->outgoing.size() || e->fileLeft > 0 || !e->trailer.empty())) {
        if (e->fileLeft == 0 || !HandOver(e)) WriteLater(e);
        return;
      }
      continue;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      if (e->fileLeft == 0 || !HandOver(e)) WaitFor(e, Want::Write);
      return;
    }
    SendFailed(e, err);
    return;
  }
  e->outgoing.clear();
  e->sent = 0;
  e->file.reset();
  // Completion is reported later, never from within SendData: at the end of the array's handler
  // that is running (working through ready descriptors, reading); otherwise from a handler of
  // its own.
  if (inHandler_ > 0) {
    sendsDone_.emplace_back(e, e->generation);
    return;
  }
  asio::post(io_, [this, e, gen = e->generation, alive = std::weak_ptr<int>(alive_)] {
    if (!alive.expired()) SendDone(e, gen);
  });
}

bool SocketArray::HandOver(const ElementPtr& e) {
  if (!sender_) {
    if (senderFailed_) return false;
    try {
      sender_ = std::make_unique<FileSender>();
    } catch (const std::exception&) {
      senderFailed_ = true;
      return false;
    }
  }
  // The thread sends on a descriptor of its own: whatever the loop does with the connection's,
  // the thread never writes to a number that has come to mean something else.
  winport::UniqueFd own(::fcntl(e->fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!own) return false;
  // Posted from the sending thread, and run on the loop like every other event. Until then the
  // body counts as work of the loop's, as an operation of its own would, so the loop waits for it.
  auto done = [this, index = e->index, gen = e->generation, alive = std::weak_ptr<int>(alive_),
               work = asio::make_work_guard(io_)](int error) {
    asio::post(io_, [this, index, gen, alive, error] {
      if (alive.expired()) return;
      auto e = Get(index);
      if (Live(e, gen) && e->job) BodySent(e, error);
    });
  };
  const std::string_view head = std::string_view(e->outgoing).substr(e->sent);
  e->job = sender_->Start(std::move(own), head, e->file, e->fileOffset, e->fileLeft, done);
  if (!e->job) return false;
  e->outgoing.clear();
  e->sent = 0;
  e->fileOffset = e->fileLeft = 0;
  return true;
}

void SocketArray::BodySent(const ElementPtr& e, int error) {
  e->progressAt = std::max(e->progressAt, FileSender::ProgressAt(*e->job));
  e->job.reset();
  if (error != 0) {
    SendFailed(e, error);
    return;
  }
  // The trailer, and what the host sent meanwhile, go from here as before.
  HoldingCompletions([&] { WriteNow(e); });
}

void SocketArray::SendFailed(const ElementPtr& e, int error) {
  e->outgoing.clear();
  e->sent = 0;
  e->trailer.clear();
  e->file.reset();
  e->fileLeft = 0;
  PostError(e, error);
}

void SocketArray::RunPendingEvents() {
  // One at a time off the queue: an event handler that lets pending events run (to free a slot,
  // say) finds the rest still queued and reports them itself.
  while (!sendsDone_.empty()) {
    auto [e, generation] = std::move(sendsDone_.front());
    sendsDone_.pop_front();
    SendDone(e, generation);
  }
}

void SocketArray::SendDone(const ElementPtr& e, std::uint64_t generation) {
  if (!Live(e, generation) || !e->outgoing.empty() || e->file || e->job || !e->trailer.empty())
    return;
  e->sending = false;
  events_.sckWS_SendComplete(e->index);
  if (Live(e, generation) && e->heldBack && !e->sending && e->fd) {
    // Still open after its reply: what was held back goes now.
    e->heldBack = false;
    const int on = 1;
    ::setsockopt(e->fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  if (Live(e, generation) && e->state == sckConnected && e->readAfterSend) {
    e->readAfterSend = false;
    StartRead(e);
  }
}

std::string SocketArray::GetData(int index) {
  auto e = Get(index);
  if (!e) return "";
  std::string out;
  out.swap(e->received);
  return out;
}

std::string SocketArray::RemoteHostIP(int index) const {
  auto e = Get(index);
  return e ? e->peer : "";
}

bool SocketArray::Sending(int index) const {
  auto e = Get(index);
  return e && e->sending;
}

std::time_t SocketArray::SendProgressAt(int index) const {
  auto e = Get(index);
  if (!e || !e->sending) return 0;
  return e->job ? std::max(e->progressAt, FileSender::ProgressAt(*e->job)) : e->progressAt;
}

bool SocketArray::SendWaiting(int index) const {
  auto e = Get(index);
  if (!e || !e->sending) return false;
  return e->job ? FileSender::Waiting(*e->job) : e->wantWrite;
}

std::string SocketArray::LocalHostName() const {
  std::error_code ec;
  std::string name = asio::ip::host_name(ec);
  return ec ? "localhost" : name;
}

std::string SocketArray::LocalIP() const {
  // The machine's own address, as the platform's socket control reports it.
  std::error_code ec;
  tcp::resolver resolver(io_);
  auto results = resolver.resolve(tcp::v4(), LocalHostName(), "", ec);
  std::string fallback;
  if (!ec) {
    for (const auto& r : results) {
      auto a = r.endpoint().address();
      if (!a.is_loopback()) return a.to_string();
      if (fallback.empty()) fallback = a.to_string();
    }
  }
  return fallback.empty() ? "127.0.0.1" : fallback;
}

}  // namespace servala
