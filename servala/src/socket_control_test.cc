// The socket array on its own, with a loopback client, for how replies leave and connections
// close.
#include "servala/socket_control.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <string>

#include "servala_testing.h"
#include "testing.h"

namespace servala {
namespace {

using namespace std::chrono_literals;

// Takes each connection on the first closed element and hands its events to the test.
class Sink : public SocketEvents {
 public:
  explicit Sink(asio::io_context& io) : sockets(io, *this) {
    sockets.Load(0);
    sockets.SetLocalIP(0, "127.0.0.1");
    sockets.SetLocalPort(0, 0);
    sockets.Listen(0);
  }
  void sckWS_ConnectionRequest(int, long requestID) override {
    int i = 1;
    while (sockets.Exists(i) && sockets.State(i) != sckClosed) ++i;
    if (!sockets.Exists(i)) sockets.Load(i);
    sockets.Accept(i, requestID);
    received[i].clear();
  }
  void sckWS_DataArrival(int index, long) override {
    received[index] += sockets.GetData(index);
    if (onData) onData(index);
  }
  void sckWS_SendComplete(int index) override {
    ++completions;
    if (onSent) onSent(index);
  }
  void sckWS_Close(int) override {}
  void sckWS_Error(int index, int number, const std::string&) override {
    ++errors;
    lastError = number;
    sockets.Close(index);
  }

  SocketArray sockets;
  std::map<int, std::string> received;
  int completions = 0;
  int errors = 0;
  int lastError = 0;
  std::function<void(int)> onData, onSent;
};

// A blocking loopback client; `receiveBuffer` (if not 0) keeps its window small.
int Connect(int port, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (receiveBuffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
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

// Reads until `count` bytes are in, the peer closes (`closed` set) or the read fails (`err`),
// `piece` bytes at a time at most.
std::string Receive(int fd, std::size_t count, bool* closed, int* err, std::size_t piece = 65536) {
  std::string out;
  char buf[65536];
  while (out.size() < count) {
    const ssize_t n = ::recv(fd, buf, std::min(piece, sizeof buf), 0);
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

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  std::mt19937 rng(seed);
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

// How many descriptors of this process have `path` open.
int OpenCount(const std::filesystem::path& path) {
  int n = 0;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code lec;
    if (std::filesystem::read_symlink(fd.path(), lec) == path) ++n;
  }
  return n;
}

class SocketArrayTest : public ::testing::Test {
 protected:
  // Runs the loop until `done` holds (false after a generous safety limit).
  template <class Pred>
  bool RunUntil(Pred done) {
    return testing::RunUntil(io_, std::move(done));
  }

  // Runs `work` on a client thread while the loop runs here.
  template <class F>
  auto Drive(F work) {
    return testing::Drive(io_, std::move(work));
  }

  // A file of `size` random bytes, and a way to open it as the host does.
  std::string MakeFile(std::size_t size, unsigned seed) {
    path_ = winport::testing::MakeTempDir("files") / "big.bin";
    std::string bytes = RandomBytes(size, seed);
    std::ofstream(path_, std::ios::binary) << bytes;
    return bytes;
  }
  // A client that asked for the file and reads nothing, once the file waits for it to take
  // more; -1 when it never came to wait.
  int ClientLeftWaiting() {
    sink_.onData = [this](int i) { SendTheFile(i); };
    const int client = Connect(sink_.sockets.LocalPort(0));
    SendAll(client, "request");
    return RunUntil([&] { return sink_.sockets.SendWaiting(1); }) ? client : -1;
  }
  void SendTheFile(int index, const std::string& head = "", const std::string& trailer = "") {
    winport::UniqueFd file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(file);
    const off_t size = static_cast<off_t>(std::filesystem::file_size(path_));
    sink_.sockets.SendFile(index, head, std::move(file), size, trailer);
  }

  asio::io_context io_;
  Sink sink_{io_};
  std::filesystem::path path_;
};

TEST_F(SocketArrayTest, InputAfterAReplySentAtOnceDoesNotResetIt) {
  // The reply goes out in one call, then the peer sends more before the connection is closed:
  // closed with that input unread, the system would reset the connection and drop the reply.
  const std::string reply(4096, 'r');
  int client = -1;
  sink_.onData = [&](int i) {
    if (sink_.completions > 0) return;
    SendAll(client, "late input");
    sink_.sockets.SendData(i, reply);
  };
  sink_.onSent = [&](int i) { sink_.sockets.Close(i); };
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

TEST_F(SocketArrayTest, ASlowReaderGetsAWholeFileAndThenOneSendComplete) {
  const std::string body = MakeFile(6u << 20, 21);
  sink_.onData = [&](int i) {
    SendTheFile(i, "head|", "|trailer");
    sink_.sockets.SendData(i, "|more");  // queued while the file goes: goes after it
  };
  // Closing at once, as the server does, cuts off whatever is not out yet.
  sink_.onSent = [&](int i) { sink_.sockets.Close(i); };
  const int client = Connect(sink_.sockets.LocalPort(0), 4096);
  bool closed = false;
  int err = 0;
  const std::string got = Drive([&] {
    SendAll(client, "request");
    return Receive(client, body.size() + 100, &closed, &err, 1024);
  });
  ::close(client);
  EXPECT_TRUE(closed);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(got.size(), body.size() + 18);
  EXPECT_TRUE(got == "head|" + body + "|trailer|more");
  EXPECT_EQ(sink_.completions, 1);
  EXPECT_EQ(sink_.errors, 0);
  EXPECT_EQ(OpenCount(path_), 0);
}

TEST_F(SocketArrayTest, ClosedWhileTheFileGoesItStopsAndTheElementServesAgain) {
  const std::string body = MakeFile(8u << 20, 22);
  const int port = sink_.sockets.LocalPort(0);
  // The client reads nothing: the reply waits for room.
  const int stuck = ClientLeftWaiting();
  ASSERT_GE(stuck, 0);
  EXPECT_EQ(OpenCount(path_), 1);
  sink_.sockets.Close(1);
  // Let go of at once, and nothing more goes out: the client gets what was on its way, then
  // the end of the connection.
  EXPECT_EQ(OpenCount(path_), 0);
  bool closed = false;
  int err = 0;
  const std::string got = Receive(stuck, body.size(), &closed, &err);
  ::close(stuck);
  EXPECT_TRUE(closed);
  EXPECT_EQ(err, 0);
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), body.size());
  EXPECT_TRUE(body.compare(0, got.size(), got) == 0);

  // The same element takes the next connection and replies as usual.
  sink_.onData = [&](int i) { sink_.sockets.SendData(i, "again"); };
  sink_.onSent = [&](int i) { sink_.sockets.Close(i); };
  const int next = Connect(port);
  closed = false;
  const std::string again = Drive([&] {
    SendAll(next, "request");
    return Receive(next, 100, &closed, &err);
  });
  ::close(next);
  EXPECT_EQ(again, "again");
  EXPECT_TRUE(closed);
  EXPECT_EQ(sink_.completions, 1);
  EXPECT_EQ(sink_.errors, 0);
}

TEST_F(SocketArrayTest, AReaderThatGoesAwayMidFileIsOneError) {
  const std::string body = MakeFile(8u << 20, 23);
  const int client = ClientLeftWaiting();
  ASSERT_GE(client, 0);
  // It says it is done, then resets the connection: the next send finds a broken pipe, which
  // must not raise SIGPIPE in the host (its default would end this test process).
  ::shutdown(client, SHUT_WR);
  const linger reset{1, 0};
  ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(client);
  ASSERT_TRUE(RunUntil([&] { return sink_.errors > 0; }));
  EXPECT_TRUE(RunUntil([&] { return OpenCount(path_) == 0; }));
  io_.poll();
  EXPECT_EQ(sink_.errors, 1);
  EXPECT_EQ(sink_.completions, 0);
  EXPECT_EQ(sink_.sockets.State(1), sckClosed);
}

TEST_F(SocketArrayTest, AFileCutShortWhileItGoesEndsInAnError) {
  const std::string body = MakeFile(8u << 20, 25);
  const int client = ClientLeftWaiting();
  ASSERT_GE(client, 0);
  std::filesystem::resize_file(path_, 4u << 20);
  // The reader gets what the file still has, and then the connection ends: the reply cannot
  // be what its length said.
  bool closed = false;
  const std::string got = Drive([&] { return Receive(client, body.size(), &closed, nullptr); });
  ::close(client);
  EXPECT_TRUE(closed);
  EXPECT_EQ(got.size(), 4u << 20);
  EXPECT_TRUE(body.compare(0, got.size(), got) == 0);
  EXPECT_EQ(sink_.errors, 1);
  EXPECT_EQ(sink_.lastError, 10000 + EIO);
  EXPECT_EQ(sink_.completions, 0);
}

TEST_F(SocketArrayTest, FilesGoToSeveralReadersWhileOneReadsNothing) {
  const std::string body = MakeFile(4u << 20, 24);
  // "file" asks for the file, anything else for a short reply.
  sink_.onData = [&](int i) {
    if (sink_.received[i] == "file")
      SendTheFile(i);
    else
      sink_.sockets.SendData(i, "short");
  };
  sink_.onSent = [&](int i) { sink_.sockets.Close(i); };
  const int port = sink_.sockets.LocalPort(0);
  const int stuck = Connect(port);
  SendAll(stuck, "file");
  ASSERT_TRUE(RunUntil([&] { return sink_.sockets.SendWaiting(1); }));
  // Two readers of the file at once, and a short reply, while the first reads nothing.
  auto fetch = [port](const char* request, std::size_t count) {
    const int fd = Connect(port);
    SendAll(fd, request);
    bool closed = false;
    std::string got = Receive(fd, count + 1, &closed, nullptr);
    ::close(fd);
    return closed ? got : "not closed";
  };
  auto a = std::async(std::launch::async, fetch, "file", body.size());
  auto b = std::async(std::launch::async, fetch, "file", body.size());
  EXPECT_EQ(Drive([&] { return fetch("x", 5); }), "short");
  ASSERT_TRUE(RunUntil([&] {
    return a.wait_for(0s) == std::future_status::ready &&
           b.wait_for(0s) == std::future_status::ready;
  }));
  EXPECT_TRUE(a.get() == body);
  EXPECT_TRUE(b.get() == body);
  EXPECT_EQ(sink_.completions, 3);
  EXPECT_TRUE(sink_.sockets.Sending(1));
  // The one that read nothing gets it all once it reads.
  bool closed = false;
  const std::string got = Drive([&] { return Receive(stuck, body.size() + 1, &closed, nullptr); });
  ::close(stuck);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(got == body);
  EXPECT_EQ(sink_.completions, 4);
  EXPECT_EQ(sink_.errors, 0);
}

}  // namespace
}  // namespace servala
