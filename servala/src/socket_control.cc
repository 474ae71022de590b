#include "servala/socket_control.h"

#include <cerrno>

namespace servala {

using asio::ip::tcp;

struct SocketArray::Element {
  explicit Element(asio::io_context& io, int i) : index(i), socket(io) {}
  int index;
  tcp::socket socket;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<asio::steady_timer> retry;
  int state = sckClosed;
  int localPort = 0;
  bool sending = false;
  std::string received;
  std::string peer;
  std::array<char, 16384> buffer;
};

namespace {

// Windows Sockets numbers for the errors the control tells apart.
int WsaNumber(const std::error_code& ec) {
  switch (ec.value()) {
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
      return 10000 + ec.value();
  }
}

}  // namespace

SocketArray::SocketArray(asio::io_context& io, SocketEvents& events) : io_(io), events_(events) {}

SocketArray::~SocketArray() {
  for (int i = 0; i <= UBound(); ++i) Unload(i);
  pending_.clear();
}

std::shared_ptr<SocketArray::Element> SocketArray::Get(int index) const {
  if (index < 0 || index > UBound()) return nullptr;
  return elements_[index];
}

bool SocketArray::Current(const std::shared_ptr<Element>& e) const {
  return e && Get(e->index) == e;
}

void SocketArray::Load(int index) {
  if (index < 0) throw SocketError(340, "Control array element does not exist");
  if (Exists(index)) throw SocketError(kErrAlreadyLoaded, "Object already loaded");
  if (index > UBound()) elements_.resize(index + 1);
  elements_[index] = std::make_shared<Element>(io_, index);
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

void SocketArray::Close(int index) {
  auto e = Get(index);
  if (!e) return;
  std::error_code ec;
  if (e->acceptor) {
    e->acceptor->close(ec);
    e->acceptor.reset();
  }
  if (e->retry) e->retry->cancel();
  e->socket.close(ec);
  e->state = sckClosed;
  e->sending = false;
  e->received.clear();
}

void SocketArray::SetLocalPort(int index, int port) {
  auto e = Get(index);
  if (!e) throw SocketError(340, "Control array element does not exist");
  e->localPort = port;
}

int SocketArray::LocalPort(int index) const {
  auto e = Get(index);
  if (!e) return 0;
  std::error_code ec;
  if (e->acceptor) {
    auto ep = e->acceptor->local_endpoint(ec);
    if (!ec) return ep.port();
  }
  if (e->socket.is_open()) {
    auto ep = e->socket.local_endpoint(ec);
    if (!ec) return ep.port();
  }
  return e->localPort;
}

void SocketArray::Listen(int index) {
  auto e = Get(index);
  if (!e) throw SocketError(340, "Control array element does not exist");
  if (e->localPort < 0 || e->localPort > 65535) throw SocketError(10049, "Address not available");
  auto acceptor = std::make_unique<tcp::acceptor>(io_);
  std::error_code ec;
  acceptor->open(tcp::v4(), ec);
  // Lets a stopped server listen again at once while its old connections linger.
  if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor->bind(tcp::endpoint(tcp::v4(), static_cast<unsigned short>(e->localPort)), ec);
  if (!ec) acceptor->listen(tcp::socket::max_listen_connections, ec);
  if (ec) {
    if (ec.value() == EADDRINUSE) throw SocketError(kErrAddressInUse, "Address in use");
    throw SocketError(WsaNumber(ec), ec.message());
  }
  e->acceptor = std::move(acceptor);
  e->state = sckListening;
  StartAccept(e);
}

void SocketArray::StartAccept(const std::shared_ptr<Element>& e) {
  if (!e->acceptor) return;
  e->acceptor->async_accept(
      [this, e, alive = std::weak_ptr<int>(alive_)](std::error_code ec, tcp::socket peer) {
        if (alive.expired() || !Current(e) || !e->acceptor) return;
        if (ec) {
          if (ec == asio::error::operation_aborted) return;
          events_.sckWS_Error(e->index, WsaNumber(ec), ec.message());
          if (!Current(e) || !e->acceptor) return;
          // Out of descriptors and the like: try again shortly rather than spin.
          if (!e->retry) e->retry = std::make_unique<asio::steady_timer>(io_);
          e->retry->expires_after(std::chrono::milliseconds(50));
          e->retry->async_wait([this, e, alive](std::error_code wec) {
            if (!wec && !alive.expired() && Current(e)) StartAccept(e);
          });
          return;
        }
        const long id = ++nextRequestID_;
        pending_.emplace(id, std::move(peer));
        events_.sckWS_ConnectionRequest(e->index, id);
        // A request nobody accepted is turned away.
        pending_.erase(id);
        if (Current(e)) StartAccept(e);
      });
}

void SocketArray::Accept(int index, long requestID) {
  auto e = Get(index);
  if (!e) throw SocketError(340, "Control array element does not exist");
  auto it = pending_.find(requestID);
  if (it == pending_.end()) throw SocketError(10022, "Invalid argument");
  std::error_code ec;
  e->socket.close(ec);
  e->socket = std::move(it->second);
  pending_.erase(it);
  e->state = sckConnected;
  e->sending = false;
  e->received.clear();
  auto remote = e->socket.remote_endpoint(ec);
  e->peer = ec ? std::string() : remote.address().to_string();
  StartRead(e);
}

void SocketArray::StartRead(const std::shared_ptr<Element>& e) {
  auto done = [this, e, alive = std::weak_ptr<int>(alive_)](std::error_code ec, std::size_t n) {
    if (alive.expired() || !Current(e) || e->state != sckConnected) return;
    if (ec == asio::error::eof) {
      e->state = sckClosing;
      events_.sckWS_Close(e->index);
      return;
    }
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      e->state = sckError;
      events_.sckWS_Error(e->index, WsaNumber(ec), ec.message());
      return;
    }
    e->received.append(e->buffer.data(), n);
    events_.sckWS_DataArrival(e->index, static_cast<long>(n));
    if (!alive.expired() && Current(e) && e->state == sckConnected) StartRead(e);
  };
  e->socket.async_read_some(asio::buffer(e->buffer), std::move(done));
}

void SocketArray::SendData(int index, std::string data) {
  auto e = Get(index);
  if (!e || e->state != sckConnected)
    throw SocketError(40006, "Wrong protocol or connection state");
  auto text = std::make_shared<std::string>(std::move(data));
  e->sending = true;
  asio::async_write(
      e->socket, asio::buffer(*text),
      [this, e, text, alive = std::weak_ptr<int>(alive_)](std::error_code ec, std::size_t) {
        if (alive.expired() || !Current(e)) return;
        e->sending = false;
        if (ec) {
          if (ec == asio::error::operation_aborted) return;
          e->state = sckError;
          events_.sckWS_Error(e->index, WsaNumber(ec), ec.message());
          return;
        }
        events_.sckWS_SendComplete(e->index);
      });
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
