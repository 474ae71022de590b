// hr-server as a process: what it stores and answers for good uploads, scripted replies, bad
// input (no blank line, wrong or huge Content-Length, garbage, a stalled client) and connections
// past its limit.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "process_testing.h"
#include "testing.h"

namespace {

namespace fs = std::filesystem;

class Server {
 public:
  explicit Server(std::vector<std::string> options)
      : m_process(WithStore(std::move(options), m_store)) {
    std::string ready = Line();
    if (ready.rfind("listening on 127.0.0.1:", 0) == 0) m_nPort = std::stoi(ready.substr(23));
  }
  std::string Line() { return m_process.NextLine(); }
  int Stop(int signal) { return m_process.Kill(signal); }
  // Every file in the store (the temporary folder included), by name.
  std::vector<fs::path> Files() const {
    std::vector<fs::path> files;
    for (auto& e : fs::recursive_directory_iterator(m_store))
      if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
  }

  // Sends `bytes` on a new connection (closing its sending side when `half` is set), and
  // returns what came back until the server closed or `reply` bytes came.
  std::string Exchange(const std::string& bytes, bool half = false) {
    int s = Connect();
    ::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (half) ::shutdown(s, SHUT_WR);
    std::string answer = ReadLine(s);
    ::close(s);
    return answer;
  }
  int Connect() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return s;
  }
  // One answer line (through its LF), or what came before the server closed.
  static std::string ReadLine(int s) {
    std::string answer;
    char c;
    while (::recv(s, &c, 1, 0) == 1) {
      answer += c;
      if (c == '\n') break;
    }
    return answer;
  }

  fs::path m_store = winport::testing::MakeTempDir("store");
  int m_nPort = 0;

 private:
  static std::vector<std::string> WithStore(std::vector<std::string> options,
                                            const fs::path& store) {
    options.insert(options.begin(), {"hr-server", "--port", "0", "--store", store.string()});
    return options;
  }

  winport::testing::Process m_process;
};

std::string Request(const std::string& site, const std::string& file, long delta = 0) {
  std::string body = "BODY 03 " + site + " \r" + file + "\r\n";
  return "PUT Request-URI HTTP/1.0\r\nContent-Length:" +
         std::to_string(static_cast<long>(body.size()) + delta) + "\r\n\r\n" + body;
}

TEST(HrServer, StoresEachAcceptedFileWholeUnderItsSite) {
  Server server({});
  ASSERT_NE(server.m_nPort, 0);
  std::string file(50000, 'r');
  file += "[Report 1]\r\n";
  EXPECT_EQ(server.Exchange(Request("SITE0042", file)), "HTTP/1.0 202 Accepted\r\n");
  std::string line = server.Line();
  EXPECT_NE(line.find("site=SITE0042 bytes=" + std::to_string(file.size()) + " status=202"),
            std::string::npos)
      << line;
  auto files = server.Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].parent_path().filename(), "SITE0042");
  EXPECT_EQ(winport::testing::ReadFile(files[0]), file);

  // Many at once, each on its own connection.
  std::vector<std::thread> clients;
  for (int i = 0; i < 16; ++i)
    clients.emplace_back([&server, i] {
      EXPECT_EQ(server.Exchange(Request("S" + std::to_string(i % 4), std::to_string(i))),
                "HTTP/1.0 202 Accepted\r\n");
    });
  for (auto& c : clients) c.join();
  for (int i = 0; i < 16; ++i) EXPECT_NE(server.Line().find("status=202"), std::string::npos);
  EXPECT_EQ(server.Files().size(), 17u);
  // A site identifier cannot lead out of the store.
  EXPECT_EQ(server.Exchange(Request("../x", "y")), "HTTP/1.0 202 Accepted\r\n");
  server.Line();
  for (auto& f : server.Files()) EXPECT_EQ(f.string().rfind(server.m_store.string(), 0), 0u) << f;
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

TEST(HrServer, ScriptedRepliesComeInOrderThenTheDefault) {
  fs::path script = winport::testing::MakeTempDir("script") / "replies";
  std::ofstream(script) << "400\n# a comment\n500\ngarbage\nlong\nclose\n";
  Server server({"--script", script.string(), "--reply", "503"});
  EXPECT_EQ(server.Exchange(Request("A", "1")), "HTTP/1.0 400 Bad Request\r\n");
  EXPECT_EQ(server.Exchange(Request("A", "2")), "HTTP/1.0 500 Internal Server Error\r\n");
  std::string garbage = server.Exchange(Request("A", "3"));
  EXPECT_EQ(garbage.find(' '), std::string::npos);
  EXPECT_EQ(server.Exchange(Request("A", "4")).size(), 13u + 10240 + 2);
  EXPECT_EQ(server.Exchange(Request("A", "5")), "");
  EXPECT_EQ(server.Exchange(Request("A", "6")), "HTTP/1.0 503 Service Unavailable\r\n");
  EXPECT_TRUE(server.Files().empty());  // only a 2xx stores
}

TEST(HrServer, BadRequestsGet400AndStoreNothing) {
  Server server({"--idle", "0.3"});
  const std::string good = Request("SITE", "[R]\r\n");
  // No blank line before the client stops sending.
  EXPECT_EQ(server.Exchange("PUT Request-URI HTTP/1.0\r\nContent-Length:5\r\n", true),
            "HTTP/1.0 400 Bad Request\r\n");
  // Content-Length longer than the body, shorter than it, huge, missing, not a number.
  EXPECT_EQ(server.Exchange(Request("SITE", "[R]\r\n", 10), true), "HTTP/1.0 400 Bad Request\r\n");
  EXPECT_EQ(server.Exchange(Request("SITE", "[R]\r\n", -3)), "HTTP/1.0 400 Bad Request\r\n");
  EXPECT_EQ(server.Exchange("PUT x HTTP/1.0\r\nContent-Length:99999999999\r\n\r\n"),
            "HTTP/1.0 400 Bad Request\r\n");
  EXPECT_EQ(server.Exchange("PUT x HTTP/1.0\r\nHost: y\r\n\r\nBODY 03 S \rx\r\n"),
            "HTTP/1.0 400 Bad Request\r\n");
  EXPECT_EQ(server.Exchange("PUT x HTTP/1.0\r\nContent-Length:1x\r\n\r\n"),
            "HTTP/1.0 400 Bad Request\r\n");
  // Not a PUT, no BODY line, binary garbage, a header that never ends.
  EXPECT_EQ(server.Exchange("GET / HTTP/1.0\r\nContent-Length:0\r\n\r\n"),
            "HTTP/1.0 400 Bad Request\r\n");
  EXPECT_EQ(server.Exchange("PUT x HTTP/1.0\r\nContent-Length:7\r\n\r\nHELLO\r\n"),
            "HTTP/1.0 400 Bad Request\r\n");
  EXPECT_EQ(server.Exchange(std::string("\x00\xff\x01\r\n\r\n\x02", 8)),
            "HTTP/1.0 400 Bad Request\r\n");
  EXPECT_EQ(server.Exchange(std::string(9000, 'h')), "HTTP/1.0 400 Bad Request\r\n");
  // A client that stalls in the middle of its body.
  EXPECT_EQ(server.Exchange(good.substr(0, good.size() - 3)), "HTTP/1.0 400 Bad Request\r\n");
  for (int i = 0; i < 11; ++i) EXPECT_NE(server.Line().find("status=400"), std::string::npos);
  for (auto& f : server.Files()) ADD_FAILURE() << "stored: " << f;
  // Still serving.
  EXPECT_EQ(server.Exchange(good), "HTTP/1.0 202 Accepted\r\n");
}

TEST(HrServer, ConnectionsPastTheLimitAreRefusedAndTheirPlaceComesBack) {
  Server server({"--max-connections", "1", "--idle", "60"});
  ASSERT_NE(server.m_nPort, 0);
  // The first connection holds the only place while it has sent nothing; the next is accepted
  // after it and refused at once.
  int first = server.Connect();
  int second = server.Connect();
  EXPECT_EQ(Server::ReadLine(second), "HTTP/1.0 503 Service Unavailable\r\n");
  EXPECT_EQ(Server::ReadLine(second), "");  // and closed
  ::close(second);
  EXPECT_NE(server.Line().find("site=- bytes=0 status=503"), std::string::npos);

  // The held connection is served as usual.
  const std::string request = Request("SITE", "[R]\r\n");
  ::send(first, request.data(), request.size(), MSG_NOSIGNAL);
  EXPECT_EQ(Server::ReadLine(first), "HTTP/1.0 202 Accepted\r\n");
  ::shutdown(first, SHUT_WR);
  EXPECT_EQ(Server::ReadLine(first), "");  // the server ended it, its place is free
  ::close(first);
  EXPECT_NE(server.Line().find("site=SITE bytes=5 status=202"), std::string::npos);
  EXPECT_EQ(server.Exchange(request), "HTTP/1.0 202 Accepted\r\n");
  EXPECT_EQ(server.Files().size(), 2u);
}

}  // namespace
