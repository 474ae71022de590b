// The servala host program as a user runs it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "testing.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Running {
  pid_t pid = -1;
  int out = -1;  // the program's standard output and error
};

Running Spawn(const std::vector<std::string>& args) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  std::vector<char*> argv;
  const std::string exe = (winport::testing::BinDir() / "servala").string();
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Running r;
  EXPECT_EQ(posix_spawn(&r.pid, exe.c_str(), &fa, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  r.out = fds[0];
  return r;
}

std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

int Wait(const Running& r) {
  int status = 0;
  ::waitpid(r.pid, &status, 0);
  ::close(r.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Fetch(int port, const std::string& target) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string out;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
    const std::string req = "GET " + target + " HTTP/1.0\r\n\r\n";
    (void)!::write(fd, req.data(), req.size());
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

TEST(ServalaHostTest, ServesUntilSignalledAndKeepsItsProperties) {
  const fs::path site = winport::testing::MakeTempDir("site");
  std::ofstream(site / "index.html") << "<p><%=SERVER_SOFTWARE%></p>";
  const fs::path props = winport::testing::MakeTempDir("props") / "servala.properties";

  Running r =
      Spawn({"--port", "0", "--root", site.string(), "--ssi", "--properties", props.string()});
  const std::string line = ReadLine(r.out);
  // The address it listens on: every address of the machine.
  ASSERT_EQ(line.rfind("listening on http://0.0.0.0:", 0), 0u) << line;
  const int port = std::stoi(line.substr(line.rfind(':') + 1));
  EXPECT_EQ(line.back(), '/');
  const std::string reply = Fetch(port, "/");
  EXPECT_NE(reply.find("\r\n\r\n<p>Marrowind Servala Lite/1.0</p>"), std::string::npos) << reply;
  ::kill(r.pid, SIGTERM);
  EXPECT_EQ(Wait(r), 0);
  EXPECT_EQ(winport::testing::ReadFile(props),
            "SSIEnable=True\nServerPort=0\nVirtualPath=" + site.string() + "\n");

  // Started again from the saved properties: a restored instance, with its plain error replies.
  r = Spawn({"--properties", props.string(), "--bind", "127.0.0.1"});
  const std::string again = ReadLine(r.out);
  ASSERT_EQ(again.rfind("listening on http://127.0.0.1:", 0), 0u) << again;
  const int port2 = std::stoi(again.substr(again.rfind(':') + 1));
  EXPECT_EQ(Fetch(port2, "/missing").rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u);
  EXPECT_NE(Fetch(port2, "/").find("<p>Marrowind Servala3Server/1.0</p>"), std::string::npos);
  ::kill(r.pid, SIGINT);
  EXPECT_EQ(Wait(r), 0);
}

TEST(ServalaHostTest, PortInUseExitsWithTheErrorDescription) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  Running r = Spawn({"--port", std::to_string(ntohs(sa.sin_port)), "--root",
                     winport::testing::MakeTempDir("site").string()});
  EXPECT_EQ(ReadLine(r.out), "Address in use");
  EXPECT_EQ(Wait(r), 2);
  ::close(fd);
}

TEST(ServalaHostTest, KeepsServingWavesOfSimultaneousClients) {
  // Clients that all connect at once, wave after wave, as load generators do: every one is
  // answered in full and the server is still there afterwards.
  const fs::path site = winport::testing::MakeTempDir("site");
  const std::string text(4096, 'x');
  std::ofstream(site / "f.txt") << text;
  std::ofstream(site / "inc.txt") << "included";
  std::ofstream(site / "p.html") << "<p><!--#include virtual=\"inc.txt\" --></p>";
  Running r = Spawn({"--port", "0", "--root", site.string(), "--ssi"});
  const std::string line = ReadLine(r.out);
  ASSERT_EQ(line.rfind("listening on http://", 0), 0u) << line;
  const int port = std::stoi(line.substr(line.rfind(':') + 1));

  constexpr int kClients = 8, kWaves = 150;
  std::barrier wave(kClients);
  std::vector<int> good(kClients, 0);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int w = 0; w < kWaves; ++w) {
        wave.arrive_and_wait();
        const bool page = (w + c) % 2 == 0;
        const std::string reply = Fetch(port, page ? "/p.html" : "/f.txt");
        const std::string body = page ? "<p>included</p>" : text;
        if (reply.rfind("HTTP/1.0 200 OK\r\n", 0) == 0 &&
            reply.find("\r\n\r\n" + body + "\r\n") != std::string::npos)
          ++good[c];
      }
    });
  }
  for (auto& t : clients) t.join();
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(good[c], kWaves) << "client " << c;
  EXPECT_NE(Fetch(port, "/f.txt").find(text), std::string::npos);
  ::kill(r.pid, SIGTERM);
  EXPECT_EQ(Wait(r), 0);
}

}  // namespace
