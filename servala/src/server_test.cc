// The control with real sockets: clients on loopback against a server on a free port.
#include "servala/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <winport/clock.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "paths.h"
#include "property_file.h"
#include "servala/status.h"
#include "servala_testing.h"
#include "testing.h"

namespace servala {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testing::WriteFile;

// A blocking loopback client.
class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~Client() { ::close(fd_); }
  void Shutdown() { ::shutdown(fd_, SHUT_RDWR); }
  bool connected() const { return connected_; }
  void Send(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      data.remove_prefix(static_cast<size_t>(n));
    }
  }
  // Everything up to the server's close (or a reset, or the safety timeout).
  std::string ReadAll() {
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fd_, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  // At least `count` bytes.
  std::string ReadAtLeast(size_t count) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while (out.size() < count && (n = ::recv(fd_, buf, sizeof buf, 0)) > 0)
      out.append(buf, static_cast<size_t>(n));
    return out;
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::string Body(const std::string& reply) {
  const auto p = reply.find("\r\n\r\n");
  return p == std::string::npos ? "" : reply.substr(p + 4);
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = winport::testing::MakeTempDir("www") / "html";
    fs::create_directories(root_);
    controlDir_ = winport::testing::MakeTempDir("control");
    SetControlDirectoryForTesting(controlDir_.string());
  }
  void TearDown() override {
    server_.reset();
    SetControlDirectoryForTesting("");
  }

  void Start(bool restored = false, bool ssi = false) {
    server_ = std::make_unique<ServalaLiteServer>(io_);
    if (restored) {
      PropertyFile empty;
      server_->ReadProperties(empty);
    } else {
      server_->InitProperties();
    }
    server_->ServerPort("0");
    server_->VirtualPath(root_.string());
    server_->SSIEnable(ssi);
    ASSERT_TRUE(server_->StartServer());
    port_ = server_->ListeningPort();
    ASSERT_GT(port_, 0);
  }

  // Runs the server's loop until `done` holds (or a generous safety limit passes).
  template <class Pred>
  bool RunUntil(Pred done) {
    return testing::RunUntil(io_, std::move(done));
  }

  // Runs `work` on a client thread while the server's loop runs here.
  template <class F>
  auto Drive(F work) {
    return testing::Drive(io_, std::move(work));
  }

  // A slot that took a whole request and will send nothing for it.
  bool Unanswered() const {
    for (int i = 1; i <= server_->MaxConnections; ++i)
      if (server_->sckWS().State(i) == sckConnected && server_->Slot(i).RequestReady &&
          !server_->Slot(i).Replied)
        return true;
    return false;
  }

  // Sends `request` and returns all the server sends back; a request the server leaves
  // unanswered gives "" (the client then hangs up).
  std::string Exchange(const std::string& request) {
    // An earlier client that hung up on an unanswered request must have been seen to go.
    EXPECT_TRUE(RunUntil([&] { return !Unanswered(); }));
    auto client = std::make_shared<Client>(port_);
    auto f = std::async(std::launch::async, [client, request] {
      client->Send(request);
      return client->ReadAll();
    });
    auto ready = [&] { return f.wait_for(0s) == std::future_status::ready; };
    RunUntil([&] { return ready() || Unanswered(); });
    if (!ready()) client->Shutdown();
    RunUntil(ready);
    return f.get();
  }
  std::string Get(const std::string& target) {
    return Exchange("GET " + target + " HTTP/1.0\r\nUser-Agent: test\r\n\r\n");
  }

  int CountState(int state) const {
    int n = 0;
    for (int i = 1; i <= server_->MaxConnections; ++i)
      if (server_->sckWS().Exists(i) && server_->sckWS().State(i) == state) ++n;
    return n;
  }

  // Opens `n` clients and waits until the server has accepted all of them.
  std::vector<std::unique_ptr<Client>> OpenIdle(int n) {
    std::vector<std::unique_ptr<Client>> clients;
    const int before = CountState(sckConnected);
    for (int i = 0; i < n; ++i) clients.push_back(std::make_unique<Client>(port_));
    EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == before + n; }));
    return clients;
  }

  asio::io_context io_;
  std::unique_ptr<ServalaLiteServer> server_;
  fs::path root_, controlDir_;
  int port_ = 0;
};

TEST_F(ServerTest, DefaultDocumentsAbsoluteTargetsAndCaseInsensitiveNames) {
  WriteFile(root_ / "index.html", "ROOT");
  WriteFile(root_ / "Sub" / "default.htm", "SUB");
  WriteFile(root_ / "both" / "index.html", "FIRST");
  WriteFile(root_ / "both" / "default.htm", "SECOND");
  WriteFile(root_ / "a.html", "page a");
  Start();
  const std::string root = Get("/");
  EXPECT_EQ(root.substr(0, 17), "HTTP/1.0 200 OK\r\n");
  EXPECT_NE(root.find("Content-Length: 4\r\nContent-Type: text/html\r\n\r\n"), std::string::npos);
  EXPECT_EQ(Body(root), "ROOT\r\n");
  EXPECT_EQ(Body(Get("/sub")), "SUB\r\n");
  EXPECT_EQ(Body(Get("/SUB/")), "SUB\r\n");
  EXPECT_EQ(Body(Get("/both/")), "FIRST\r\n");
  EXPECT_EQ(Body(Get("http://example.com/a.html")), "page a\r\n");
  EXPECT_EQ(Body(Get("/A.HTML")), "page a\r\n");
  EXPECT_EQ(Body(Get("/a.html?x=1")), "page a\r\n");
  EXPECT_EQ(Body(Get("/a%2Ehtml")), "page a\r\n");
}

TEST_F(ServerTest, DirectoryWithoutDefaultDocumentGetsEmptyReply) {
  fs::create_directories(root_ / "empty");
  Start();
  EXPECT_EQ(Get("/empty"), "\r\n");
  EXPECT_EQ(Get("/empty/"), "\r\n");
}

TEST_F(ServerTest, ErrorRepliesOnNewAndRestoredInstancesAndFromFiles) {
  Start();
  const std::string page = cls_ErrorFiles().GetErrorPage("404");
  const std::string fresh = Get("/missing.html");
  EXPECT_EQ(fresh.substr(0, 17), "HTTP/1.0 200 OK\r\n");
  EXPECT_NE(fresh.find("Content-Length: " + std::to_string(page.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(Body(fresh), page + "\r\n");

  // Error files beside the control, the code's own file first, then the 404 file.
  server_->UseErrorFiles = true;
  EXPECT_EQ(Get("/missing.html"), "\r\n");
  WriteFile(controlDir_ / "html" / "errors" / "http404.html", "<p>gone</p>");
  EXPECT_EQ(Body(Get("/missing.html")), "<p>gone</p>\r\n");
  EXPECT_EQ(Body(Exchange("PUT /x HTTP/1.0\r\n\r\n")), "<p>gone</p>\r\n");
  WriteFile(controlDir_ / "html" / "errors" / "http501.html", "no such method");
  EXPECT_EQ(Body(Exchange("PUT /x HTTP/1.0\r\n\r\n")), "no such method\r\n");

  server_->StopServer();
  Start(/*restored=*/true);
  const std::string restored = Get("/missing.html");
  EXPECT_EQ(restored.substr(0, 24), "HTTP/1.0 404 Not Found\r\n");
  EXPECT_NE(restored.find("Content-Type: text/html\r\n"), std::string::npos);
  EXPECT_EQ(restored.find("Content-Length"), std::string::npos);
  EXPECT_EQ(Body(restored), "\r\n");
}

TEST_F(ServerTest, PathsThatLeaveTheRootGetNotFound) {
  WriteFile(root_.parent_path() / "secret.txt", "SECRET");
  WriteFile(root_ / "sub" / "x.txt", "x");
  Start();
  for (const char* target :
       {"/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E/secret.txt", "/..\\secret.txt",
        "/sub/../../secret.txt", "/sub/%2e%2e%5c%2e%2e%5csecret.txt", "/sub/..%2F..%2Fsecret.txt",
        "http://h/../secret.txt", "/x.txt%00.html"}) {
    SCOPED_TRACE(target);
    const std::string reply = Get(target);
    EXPECT_EQ(reply.find("SECRET"), std::string::npos);
    EXPECT_NE(reply.find("HTTP 404: File Not Found"), std::string::npos);
  }
  EXPECT_NE(Get("/" + std::string(5000, 'a')).find("HTTP 404"), std::string::npos);
  // A target without any "/" names no path at all and gets no reply.
  EXPECT_EQ(Get("\\..\\secret.txt"), "");
}

TEST_F(ServerTest, RequestInSeveralPiecesIsOneRequest) {
  WriteFile(root_ / "a.html", "page a");
  Start();
  std::promise<void> firstSeen;
  auto reply = std::async(std::launch::async, [&] {
    Client c(port_);
    c.Send("GET /a.ht");
    firstSeen.get_future().wait();
    c.Send("ml HTTP/1.0\r\nUser-Agent: x\r\n");
    c.Send("\r\n");
    return c.ReadAll();
  });
  ASSERT_TRUE(RunUntil([&] {
    for (int i = 1; i <= server_->MaxConnections; ++i)
      if (!server_->Slot(i).Pending.empty()) return true;
    return false;
  }));
  firstSeen.set_value();
  RunUntil([&] { return reply.wait_for(0s) == std::future_status::ready; });
  EXPECT_EQ(Body(reply.get()), "page a\r\n");
}

TEST_F(ServerTest, HeadGetsTheHeaderAndOtherMethodsNotImplemented) {
  WriteFile(root_ / "a.html", "page a");
  Start();
  const std::string head = Exchange("HEAD /a.html HTTP/1.0\r\n\r\n");
  EXPECT_EQ(head.substr(0, 17), "HTTP/1.0 200 OK\r\n");
  EXPECT_NE(head.find("Content-Length: 6\r\n"), std::string::npos);
  EXPECT_EQ(Body(head), "");
  const std::string post = Exchange("POST /a.html HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
  EXPECT_NE(post.find("HTPP 501: Not Implemented"), std::string::npos);
  // Empty lines before the request line are skipped; a target without a path gets no reply.
  EXPECT_EQ(Body(Exchange("\r\n\n\r\nGET /a.html HTTP/1.0\r\n\r\n")), "page a\r\n");
  EXPECT_EQ(Exchange("GET http://example.com HTTP/1.0\r\n\r\n"), "");
  EXPECT_EQ(Body(Exchange("GET /a.html HTTP/1.0\r\n\r\n")), "page a\r\n");
}

TEST_F(ServerTest, RequestHeadersReachThePage) {
  WriteFile(root_ / "vars.html",
            "<%=HTTP_ACCEPT%>|<%=QUERY_STRING%>|<%=DOCUMENT_URI%>|<%=HTTP_REFERER%>|"
            "<%=HTTP_USER_AGENT%>|<%=REQUEST_METHOD%>|<%=REMOTE_ADDR%>|<%=SCRIPT_NAME%>");
  Start(false, /*ssi=*/true);
  const std::string reply = Exchange(
      "GET /vars.html?a=<b> HTTP/1.0\r\nAccept: text/html\r\nreferer: http://r/\r\n"
      "user-agent: UA\r\nACCEPT: */*\r\n\r\n");
  EXPECT_EQ(Body(reply),
            "text/html, */*|a=&lt;b&gt;|/vars.html?a=&lt;b&gt;|http://r/|UA|GET|127.0.0.1|"
            "vars.html\r\n");
}

// `n` clients that each ask for `target` and do not read: their slots stay busy sending.
std::vector<std::unique_ptr<Client>> OpenStuck(int n, int port, const std::string& target) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < n; ++i) {
    clients.push_back(std::make_unique<Client>(port));
    clients.back()->Send("GET " + target + " HTTP/1.0\r\n\r\n");
  }
  return clients;
}

std::string BigFile(std::size_t size, unsigned seed) {
  std::string big(size, '\0');
  std::mt19937 rng(seed);
  for (char& c : big) c = static_cast<char>(rng());
  return big;
}

TEST_F(ServerTest, ReservedSlotOnlyEverSaysTooBusy) {
  WriteFile(root_ / "big.bin", BigFile(8u << 20, 5));
  WriteFile(root_ / "a.txt", "A");
  Start();
  auto stuck = OpenStuck(9, port_, "/big.bin");
  ASSERT_TRUE(RunUntil([&] {
    int sending = 0;
    for (int i = 1; i < server_->MaxConnections; ++i) sending += server_->sckWS().Sending(i);
    return sending == 9;
  }));
  // Every ordinary slot is busy with a reply: the next client gets the too-busy page, and only
  // that, though it asked for a file, and then the connection closes.
  const std::string page = cls_HTTP().BuildTooBusyPage();
  for (int round = 0; round < 2; ++round) {
    const std::string reply = Drive([&] {
      Client c(port_);
      c.Send("GET /a.txt HTTP/1.0\r\n\r\n");
      return c.ReadAll();
    });
    EXPECT_EQ(reply.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_NE(reply.find("Content-Length: " + std::to_string(page.size()) + "\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(reply.substr(0, reply.find("\r\n\r\n")).find("Content-Type"), std::string::npos);
    EXPECT_EQ(Body(reply), page + "\r\n");
    EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == 9; }));
  }
  // An ordinary slot whose client has gone serves the next client as usual.
  stuck.pop_back();
  EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == 8; }));
  EXPECT_EQ(Body(Get("/a.txt")), "A\r\n");
}

TEST_F(ServerTest, SlotsAreRecycledAfterEachReply) {
  WriteFile(root_ / "a.txt", "A");
  fs::create_directories(root_ / "dir");
  Start();
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(Body(Get(i % 5 == 0 ? "/dir" : i % 3 ? "/a.txt" : "/nope")).empty(), i % 5 == 0) << i;
    EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == 0; }));
  }
}

TEST_F(ServerTest, ABurstOfClientsIsAnsweredWholeAndEverySlotComesBack) {
  // More clients at once than one turn of the loop takes: replies finish while connections are
  // still being taken, and each finished reply must free its slot for the next.
  WriteFile(root_ / "a.txt", "A");
  Start();
  const std::string busy = cls_HTTP().BuildTooBusyPage() + "\r\n";
  const auto replies = Drive([&] {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 64; ++i) clients.push_back(std::make_unique<Client>(port_));
    for (auto& c : clients) c->Send("GET /a.txt HTTP/1.0\r\n\r\n");
    std::vector<std::string> out;
    for (auto& c : clients) out.push_back(c->ReadAll());
    return out;
  });
  int served = 0;
  for (std::size_t i = 0; i < replies.size(); ++i) {
    const std::string body = Body(replies[i]);
    EXPECT_TRUE(body == "A\r\n" || body == busy) << i << ": " << replies[i];
    served += body == "A\r\n";
  }
  EXPECT_GT(served, 0);
  EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == 0; }));
  EXPECT_EQ(Body(Get("/a.txt")), "A\r\n");
}

TEST_F(ServerTest, IdleAndTricklingClientsAreRecycled) {
  WriteFile(root_ / "a.txt", "A");
  Start();
  auto idle = OpenIdle(8);
  auto trickle = std::make_unique<Client>(port_);
  trickle->Send("GET /a");
  EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == 9; }));
  winport::AdvanceClock(20);
  server_->tmrCheckConn_Timer();
  EXPECT_EQ(CountState(sckConnected), 9);
  winport::AdvanceClock(11);
  server_->tmrCheckConn_Timer();
  EXPECT_EQ(CountState(sckConnected), 0);
  EXPECT_EQ(Drive([&] { return trickle->ReadAll(); }), "");
  EXPECT_EQ(Body(Get("/a.txt")), "A\r\n");
}

TEST_F(ServerTest, OverlongHeaderIsAnsweredBadRequest) {
  WriteFile(root_ / "a.txt", "A");
  for (bool restored : {false, true}) {
    SCOPED_TRACE(restored);
    Start(restored);
    // With pages, every error reply has status 200 and a page (here the one for codes the
    // built-in set has none of); without, the status line says what went wrong.
    const std::string expected = restored ? "HTTP/1.0 400 Bad Request\r\n" : "HTTP/1.0 200 OK\r\n";
    for (const std::string& request :
         {std::string(20000, 'A'),
          "GET /a.txt HTTP/1.0\r\nX: " + std::string(20000, 'b') + "\r\n\r\n"}) {
      const std::string reply = Exchange(request);
      EXPECT_EQ(reply.substr(0, expected.size()), expected);
      if (!restored) {
        EXPECT_NE(reply.find("HTPP 501"), std::string::npos);
      }
    }
    EXPECT_EQ(Body(Get("/a.txt")), "A\r\n");
    server_->StopServer();
  }
}

TEST_F(ServerTest, SocketErrorsOnASlot) {
  Start();
  auto idle = OpenIdle(1);
  int slot = 0;
  for (int i = 1; i <= server_->MaxConnections; ++i)
    if (server_->sckWS().State(i) == sckConnected) slot = i;
  ASSERT_GT(slot, 0);
  server_->sckWS_Error(slot, kErrWouldBlock, "would block");
  server_->sckWS_Error(slot, kErrAddressInUse, "in use");
  EXPECT_EQ(server_->sckWS().State(slot), sckConnected);
  server_->sckWS_Error(slot, 10054, "reset");
  EXPECT_EQ(server_->sckWS().State(slot), sckClosed);
  EXPECT_TRUE(server_->sckWS().Exists(slot));
  server_->sckWS_Error(0, 10054, "reset");
  EXPECT_EQ(server_->ListeningPort(), port_);
}

TEST_F(ServerTest, SecondStartAndPortInUse) {
  Start();
  EXPECT_FALSE(server_->StartServer());
  EXPECT_EQ(server_->ListeningPort(), port_);

  ServalaLiteServer other(io_);
  other.InitProperties();
  other.ServerPort(std::to_string(port_));
  other.VirtualPath(root_.string());
  try {
    other.StartServer();
    ADD_FAILURE() << "started on a port in use";
  } catch (const ServalaError& e) {
    EXPECT_EQ(e.Number, 10048);
    EXPECT_EQ(e.Source, "Servala");
    EXPECT_EQ(e.Description, "Address in use");
    EXPECT_EQ(e.HelpFile, "Servala.HLP");
    EXPECT_EQ(e.HelpContext, 37);
  }
  EXPECT_TRUE(other.ServerRunning());
  EXPECT_TRUE(other.Halted);
  EXPECT_FALSE(other.StartServer());
  other.StopServer();
  EXPECT_FALSE(other.ServerRunning());
}

TEST_F(ServerTest, EmptyVirtualPathServesTheControlsDirectory) {
  WriteFile(controlDir_ / "here.txt", "control dir");
  server_ = std::make_unique<ServalaLiteServer>(io_);
  server_->InitProperties();
  std::vector<std::string> changed;
  server_->PropertyChanged = [&](const std::string& name) { changed.push_back(name); };
  server_->ServerPort("0");
  ASSERT_TRUE(server_->StartServer());
  port_ = server_->ListeningPort();
  EXPECT_EQ(server_->VirtualPath(), controlDir_.string());
  EXPECT_EQ(server_->CGIDirectory, controlDir_.string() + "\\scripts");
  EXPECT_EQ(changed, (std::vector<std::string>{"ServerPort", "VirtualPath", "CGIDirectory"}));
  EXPECT_EQ(Body(Get("/HERE.TXT")), "control dir\r\n");
}

TEST_F(ServerTest, SweepRecyclesClosingSlotsOnlyOnNewInstances) {
  for (bool restored : {false, true}) {
    SCOPED_TRACE(restored);
    Start(restored);
    { auto gone = OpenIdle(1); }
    ASSERT_TRUE(RunUntil([&] { return CountState(sckClosing) == 1; }));
    for (int tick = 1; tick <= 12; ++tick) server_->tmrCheckConn_Timer();
    EXPECT_EQ(CountState(sckClosing), 1);
    server_->tmrCheckConn_Timer();
    EXPECT_EQ(CountState(sckClosing), restored ? 1 : 0);
    server_->StopServer();
  }
}

TEST_F(ServerTest, CurlReceivesEveryByte) {
  std::string big;
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) big += static_cast<char>(rng());
  WriteFile(root_ / "big.bin", big);
  WriteFile(root_ / "page.html", "<p><%=SERVER_PORT%></p>");
  Start(false, true);
  const fs::path out = winport::testing::MakeTempDir("curl") / "out";
  const std::string base = "curl -sS --max-time 10 http://127.0.0.1:" + std::to_string(port_);
  EXPECT_EQ(Drive([&] { return std::system((base + "/big.bin -o " + out.string()).c_str()); }), 0);
  EXPECT_EQ(winport::testing::ReadFile(out), big);
  EXPECT_EQ(Drive([&] { return std::system((base + "/PAGE.html -o " + out.string()).c_str()); }),
            0);
  EXPECT_EQ(winport::testing::ReadFile(out), "<p>" + std::to_string(port_) + "</p>");
}

TEST_F(ServerTest, ASlowReaderGetsTheWholeReplyAndTheSlotComesBack) {
  // More than the socket buffers hold: the reply waits for the client to read.
  std::string big(8u << 20, '\0');
  std::mt19937 rng(3);
  for (char& c : big) c = static_cast<char>(rng());
  WriteFile(root_ / "big.bin", big);
  Start();
  auto client = std::make_shared<Client>(port_);
  client->Send("GET /big.bin HTTP/1.0\r\n\r\n");
  auto sending = [&] {
    for (int i = 1; i <= server_->MaxConnections; ++i)
      if (server_->sckWS().Sending(i)) return i;
    return 0;
  };
  ASSERT_TRUE(RunUntil([&] { return sending() != 0; }));
  const int slot = sending();
  // Waits on the client.
  EXPECT_TRUE(RunUntil([&] { return server_->sckWS().SendWaiting(slot); }));
  const std::string reply = Drive([client] { return client->ReadAll(); });
  EXPECT_NE(reply.find("Content-Length: 8388608\r\n"), std::string::npos);
  EXPECT_EQ(Body(reply), big + "\r\n");
  EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == 0; }));
  EXPECT_EQ(Body(Get("/big.bin")).size(), big.size() + 2);

  // A client that never reads holds its slot only while the clock shows the reply moving.
  Client stuck(port_);
  stuck.Send("GET /big.bin HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(RunUntil([&] { return sending() != 0; }));
  const int held = sending();
  ASSERT_TRUE(RunUntil([&] { return server_->sckWS().SendWaiting(held); }));
  // Counted from the reply's last progress; the clock also moves on its own meanwhile, by a
  // second at most.
  const std::time_t moved = server_->sckWS().SendProgressAt(held);
  winport::SetNow(moved + ServalaLiteServer::kIdleSeconds - 2);
  server_->tmrCheckConn_Timer();
  EXPECT_TRUE(server_->sckWS().Sending(held));
  winport::SetNow(moved + ServalaLiteServer::kIdleSeconds);
  server_->tmrCheckConn_Timer();
  EXPECT_EQ(server_->sckWS().State(held), sckClosed);
  EXPECT_EQ(Body(Get("/big.bin")).size(), big.size() + 2);
}

TEST_F(ServerTest, RandomRequestsNeverCrashOrLeakSlots) {
  WriteFile(root_.parent_path() / "secret.txt", "SECRET");
  WriteFile(root_ / "index.html", "<!--#include virtual=\"../secret.txt\" --><%=QUERY_STRING%>");
  WriteFile(root_ / "d" / "f.txt", "F");
  Start(false, true);
  std::mt19937 rng(12345);
  const std::vector<std::string> pieces = {
      "GET ", "HEAD ",    "POST ",     "/",          "..",
      "%2e",  "%00",      "\\",        "d",          "f.txt",
      "?",    "<script>", " HTTP/1.0", "\r\n",       "Accept: x\r\n",
      "\n",   "http://",  "%",         "secret.txt", std::string(1, '\0'),
      " "};
  for (int i = 0; i < 150; ++i) {
    std::string req;
    const int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) {
      if (rng() % 4 == 0)
        req += static_cast<char>(rng());
      else
        req += pieces[rng() % pieces.size()];
    }
    // Only empty lines would be skipped while the request is awaited.
    if (req.find_first_not_of("\r\n") == std::string::npos) req += "x";
    req += "\r\n\r\n";
    const std::string reply = Exchange(req);
    ASSERT_EQ(reply.find("SECRET"), std::string::npos) << req;
    ASSERT_EQ(reply.find("<script>"), std::string::npos) << req;
  }
  EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == 0; }));
  EXPECT_EQ(Body(Get("/d/f.txt")), "F\r\n");
}

TEST_F(ServerTest, ManyConnectionsOpenedAndDropped) {
  WriteFile(root_ / "a.txt", "A");
  Start();
  Drive([&] {
    for (int i = 0; i < 1000; ++i) {
      Client c(port_);
      if (i % 2) c.Send("GET /a.txt");
    }
    return true;
  });
  EXPECT_EQ(Body(Get("/a.txt")), "A\r\n");
}

// How many descriptors of this process have `path` open.
int OpenCount(const fs::path& path) {
  int n = 0;
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
    std::error_code lec;
    if (fs::read_symlink(fd.path(), lec) == path) ++n;
  }
  return n;
}

TEST_F(ServerTest, LargeFilesGoOutInPiecesWhileOthersAreServed) {
  const std::string big = BigFile(24u << 20, 9);
  const fs::path bigPath = root_ / "big.bin";
  WriteFile(bigPath, big);
  WriteFile(root_ / "a.txt", "A");
  WriteFile(root_ / "empty.txt", "");
  Start();
  // One client that does not read yet and one that will go away mid-reply.
  auto reader = OpenStuck(1, port_, "/big.bin");
  auto gone = OpenStuck(1, port_, "/big.bin");
  ASSERT_TRUE(RunUntil([&] { return OpenCount(bigPath) == 2; }));
  // Meanwhile everyone else is served as usual.
  EXPECT_EQ(Body(Get("/a.txt")), "A\r\n");
  const std::string head = Exchange("HEAD /big.bin HTTP/1.0\r\n\r\n");
  EXPECT_NE(head.find("Content-Length: 25165824\r\n"), std::string::npos);
  EXPECT_EQ(Body(head), "");
  const std::string empty = Get("/empty.txt");
  EXPECT_NE(empty.find("Content-Length: 0\r\n"), std::string::npos);
  EXPECT_EQ(Body(empty), "\r\n");
  // The file of a client that has gone is let go, and its slot comes back.
  gone.clear();
  EXPECT_TRUE(RunUntil([&] { return OpenCount(bigPath) == 1 && CountState(sckConnected) == 1; }));
  // The reader gets every byte, and the file is closed once it has gone out.
  const std::string reply = Drive([&] { return reader[0]->ReadAll(); });
  EXPECT_NE(reply.find("Content-Length: 25165824\r\n"), std::string::npos);
  EXPECT_TRUE(Body(reply) == big + "\r\n");
  EXPECT_TRUE(RunUntil([&] { return OpenCount(bigPath) == 0; }));
}

TEST_F(ServerTest, StoppedOrGoneWhileLargeFilesGoOut) {
  const std::string big = BigFile(8u << 20, 13);
  const fs::path bigPath = root_ / "big.bin";
  WriteFile(bigPath, big);
  Start();
  auto waiting = [&] {
    int n = 0;
    for (int i = 1; i <= server_->MaxConnections; ++i) n += server_->sckWS().SendWaiting(i);
    return n;
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto stuck = OpenStuck(3, port_, "/big.bin");
    ASSERT_TRUE(RunUntil([&] { return waiting() == 3; }));
    // Stopped, or destroyed, with three replies waiting on their readers: the files are let go
    // of at once, and each reader gets the start of its reply and then the end of it.
    if (round == 0)
      server_->StopServer();
    else
      server_.reset();
    EXPECT_EQ(OpenCount(bigPath), 0);
    for (auto& c : stuck) {
      const std::string reply = c->ReadAll();
      EXPECT_LT(Body(reply).size(), big.size());
      EXPECT_EQ(Body(reply), big.substr(0, Body(reply).size()));
    }
    if (round == 0) {
      ASSERT_TRUE(server_->StartServer());
      port_ = server_->ListeningPort();
      EXPECT_TRUE(Body(Get("/big.bin")) == big + "\r\n");
    }
  }
}

TEST_F(ServerTest, ReplyArrivesWholeThoughTheClientSentMoreThanItsRequest) {
  // Closing with input unread makes the system reset the connection and drop what is still
  // on its way; the server shuts down its side and reads on instead.
  const std::string big = BigFile(16u << 20, 11);
  WriteFile(root_ / "big.bin", big);
  Start();
  for (int run = 0; run < 3; ++run) {
    const std::string reply = Drive([&] {
      Client c(port_);
      c.Send("GET /big.bin HTTP/1.0\r\nContent-Length: 40000\r\n\r\n" + std::string(40000, 'b') +
             "GET /big.bin HTTP/1.0\r\n\r\n");
      return c.ReadAll();
    });
    ASSERT_EQ(Body(reply).size(), big.size() + 2) << run;
    EXPECT_TRUE(Body(reply) == big + "\r\n");
  }
}

TEST_F(ServerTest, SlowClientsCannotKeepOthersOut) {
  WriteFile(root_ / "a.txt", "A");
  Start();
  // 50 connections that trickle a header they never finish, each opened again at once when
  // the server drops it.
  std::atomic<bool> stop{false};
  std::atomic<int> dropped{0};
  const int port = port_;
  std::thread slow([&] {
    std::vector<pollfd> fds(50, pollfd{-1, POLLIN, 0});
    while (!stop) {
      for (auto& p : fds) {
        if (p.fd >= 0) continue;
        p.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(p.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
      }
      ::poll(fds.data(), fds.size(), 10);
      for (auto& p : fds) {
        char buf[256];
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && ::recv(p.fd, buf, sizeof buf, 0) <= 0) {
          ::close(p.fd);
          p.fd = -1;
          ++dropped;
          continue;
        }
        ::send(p.fd, "G", 1, MSG_NOSIGNAL);
      }
    }
    for (auto& p : fds)
      if (p.fd >= 0) ::close(p.fd);
  });
  // Every ordinary slot is held by them, and they are being dropped and coming back.
  EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == 9 && dropped > 50; }));
  const auto asked = std::chrono::steady_clock::now();
  const std::string reply = Get("/a.txt");
  const auto waited = std::chrono::steady_clock::now() - asked;
  stop = true;
  slow.join();
  EXPECT_EQ(Body(reply), "A\r\n");
  EXPECT_LT(waited, 2s);
}

TEST_F(ServerTest, LinksAndIncludesStayInTheRoot) {
  const fs::path outside = winport::testing::MakeTempDir("outside");
  WriteFile(outside / "hostname", "OUTSIDE");
  WriteFile(root_.parent_path() / "above.txt", "ABOVE");
  WriteFile(root_ / "sub" / "x.txt", "X");
  fs::create_directory_symlink(outside, root_ / "etclink");
  fs::create_symlink(outside / "hostname", root_ / "host.txt");
  fs::create_directory_symlink(root_ / "sub", root_ / "inlink");
  const std::string up2 = "../../" + outside.filename().string() + "/hostname";
  WriteFile(root_ / "p.html", "<!--#include file=\"../above.txt\" -->|<!--#include file=\"" + up2 +
                                  "\" -->|<!--#include virtual=\"etclink/hostname\" -->|"
                                  "<!--#include file=\"inlink/x.txt\" -->");
  Start(false, /*ssi=*/true);
  for (const char* target : {"/etclink/hostname", "/ETCLINK/HOSTNAME", "/host.txt", "/etclink/"}) {
    SCOPED_TRACE(target);
    const std::string reply = Get(target);
    EXPECT_EQ(reply.find("OUTSIDE"), std::string::npos);
    EXPECT_NE(reply.find("HTTP 404: File Not Found"), std::string::npos);
  }
  // A link that stays in the root keeps working.
  EXPECT_EQ(Body(Get("/inlink/x.txt")), "X\r\n");
  EXPECT_EQ(Body(Get("/p.html")),
            "ABOVE|<!--#includefile=" + up2 + "-->|<!--#includevirtual=etclink/hostname-->|X\r\n");
}

TEST_F(ServerTest, ChangesOnDiskAreSeenByTheNextRequest) {
  // The clock well past the files' times, so that the server keeps what it serves.
  const std::int64_t offset = winport::ClockOffset();
  winport::AdvanceClock(60);
  WriteFile(root_ / "a.txt", "one");
  WriteFile(root_ / "real1" / "p.html", "<!--#include virtual=\"/a.txt\" -->1");
  WriteFile(root_ / "real2" / "p.html", "<!--#include virtual=\"/a.txt\" -->2");
  fs::create_directory_symlink("real1", root_ / "link");
  Start(false, /*ssi=*/true);
  EXPECT_EQ(Body(Get("/link/p.html")), "one1\r\n");
  EXPECT_EQ(Body(Get("/link/p.html")), "one1\r\n");
  {
    std::fstream f(root_ / "a.txt", std::ios::in | std::ios::out | std::ios::binary);
    f << "two";
  }
  fs::create_directory_symlink("real2", root_ / "link.new");
  fs::rename(root_ / "link.new", root_ / "link");
  EXPECT_EQ(Body(Get("/link/p.html")), "two2\r\n");
  winport::SetClockOffset(offset);
}

TEST_F(ServerTest, MaxConnectionsTakesEffectAtTheNextStart) {
  WriteFile(root_ / "big.bin", BigFile(8u << 20, 13));
  WriteFile(root_ / "a.txt", "A");
  Start();
  server_->MaxConnections = 20;
  auto idle = OpenIdle(9);
  EXPECT_EQ(Body(Get("/a.txt")), "A\r\n");
  EXPECT_EQ(CountState(sckConnected), 8);
  idle.clear();
  server_->StopServer();
  ASSERT_TRUE(server_->StartServer());
  port_ = server_->ListeningPort();
  auto stuck = OpenStuck(19, port_, "/big.bin");
  EXPECT_TRUE(RunUntil([&] { return CountState(sckConnected) == 19; }));
}

TEST(PropertyTest, NewRestoredAndSavedInstances) {
  asio::io_context io;
  const fs::path file = winport::testing::MakeTempDir("props") / "servala.properties";
  {
    ServalaLiteServer fresh(io);
    fresh.InitProperties();
    EXPECT_EQ(fresh.ServerPort(), "80");
    EXPECT_FALSE(fresh.SSIEnable());
    EXPECT_EQ(fresh.VirtualPath(), "");
    EXPECT_EQ(fresh.CGITimeout, 30);
    EXPECT_EQ(fresh.CheckInterval, 10);
    EXPECT_TRUE(fresh.ShowErrorPages);
    EXPECT_EQ(fresh.ServerSoftware, "Marrowind Servala Lite/1.0");
    fresh.ServerPort("8081x");
    fresh.SSIEnable(true);
    fresh.VirtualPath("C:\\MyWeb\\html");
    PropertyFile bag;
    fresh.WriteProperties(bag);
    ASSERT_TRUE(bag.Save(file.string()));
  }
  EXPECT_EQ(winport::testing::ReadFile(file),
            "SSIEnable=True\nServerPort=8081\nVirtualPath=C:\\MyWeb\\html\n");
  ServalaLiteServer restored(io);
  PropertyFile bag;
  ASSERT_TRUE(bag.Load(file.string()));
  restored.ReadProperties(bag);
  EXPECT_EQ(restored.ServerPort(), "8081");
  EXPECT_TRUE(restored.SSIEnable());
  EXPECT_EQ(restored.VirtualPath(), "C:\\MyWeb\\html");
  EXPECT_EQ(restored.CGITimeout, 0);
  EXPECT_EQ(restored.CheckInterval, 0);
  EXPECT_FALSE(restored.ShowErrorPages);
  EXPECT_FALSE(restored.UseErrorFiles);
  EXPECT_EQ(restored.ServerSoftware, "Marrowind Servala3Server/1.0");
  EXPECT_EQ(restored.MaxConnections, 0);
}

}  // namespace
}  // namespace servala
