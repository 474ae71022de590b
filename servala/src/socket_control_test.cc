// The socket array on its own, with a loopback client, for how replies leave and connections
// close.
#include "servala/socket_control.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

namespace servala {
namespace {

using namespace std::chrono_literals;

// Takes every connection on element 1 and hands its events to the test.
class Sink : public SocketEvents {
 public:
  explicit Sink(asio::io_context& io) : sockets(io, *this) {
    sockets.Load(0);
    sockets.Load(1);
    sockets.SetLocalIP(0, "127.0.0.1");
    sockets.SetLocalPort(0, 0);
    sockets.Listen(0);
  }
  void sckWS_ConnectionRequest(int, long requestID) override { sockets.Accept(1, requestID); }
  void sckWS_DataArrival(int index, long) override {
    received += sockets.GetData(index);
    if (onData) onData();
  }
  void sckWS_SendComplete(int) override {
    ++completions;
    if (onSent) onSent();
  }
  void sckWS_Close(int) override {}
  void sckWS_Error(int, int, const std::string&) override {}

  SocketArray sockets;
  std::string received;
  int completions = 0;
  std::function<void()> onData, onSent;
};

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  return fd;
}

void SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads until `count` bytes are in, the peer closes (`closed` set) or the read fails (`err`).
std::string Receive(int fd, std::size_t count, bool* closed, int* err) {
  std::string out;
  char buf[65536];
  while (out.size() < count) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0 && closed) *closed = true;
    if (n < 0 && err) *err = errno;
    break;
  }
  return out;
}

class SocketArrayTest : public ::testing::Test {
 protected:
  template <class F>
  auto Drive(F work) {
    auto f = std::async(std::launch::async, std::move(work));
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (f.wait_for(0s) != std::future_status::ready &&
           std::chrono::steady_clock::now() < limit) {
      if (io_.stopped()) io_.restart();
      io_.run_for(2ms);
    }
    return f.get();
  }

  asio::io_context io_;
  Sink sink_{io_};
};

TEST_F(SocketArrayTest, InputAfterAReplySentAtOnceDoesNotResetIt) {
  // The reply goes out in one call, then the peer sends more before the connection is closed:
  // closed with that input unread, the system would reset the connection and drop the reply.
  const std::string reply(4096, 'r');
  int client = -1;
  sink_.onData = [&] {
    if (sink_.completions > 0) return;
    SendAll(client, "late input");
    sink_.sockets.SendData(1, reply);
  };
  sink_.onSent = [&] { sink_.sockets.Close(1); };
  const int port = sink_.sockets.LocalPort(0);
  client = Connect(port);
  bool closed = false;
  int err = 0;
  const std::string got = Drive([&] {
    SendAll(client, "request");
    return Receive(client, reply.size() + 1, &closed, &err);
  });
  ::close(client);
  EXPECT_EQ(err, 0);
  EXPECT_TRUE(closed);
  EXPECT_EQ(got.size(), reply.size());
  EXPECT_TRUE(got == reply);
}

}  // namespace
}  // namespace servala
