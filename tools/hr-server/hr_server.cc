// hr-server: a health-reporting server for the report upload protocol. Serves up to
// --max-connections connections at once, each on a thread of its own. A connection carries one
// PUT request whose body is a BODY line with the site identifier and one report file followed
// by CR LF. Every accepted file is stored whole (written under a temporary name, then renamed)
// as STORE/<site id>/<receive time>-<n>.ini, the request is answered with one status line, and
// one line per upload is logged on stdout.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: hr-server [--port N] [--bind ADDR] [--store DIR]\n"
    "                 [--reply CODE|garbage|none|close|slow:SECONDS|long] [--script FILE]\n"
    "                 [--idle SECONDS] [--max-connections N]\n"
    "  --port N      TCP port (default 8021; 0 picks a free one)\n"
    "  --bind ADDR   address to listen on (default 127.0.0.1)\n"
    "  --store DIR   where accepted reports go, as DIR/<site id>/<time>-<n>.ini (default\n"
    "                ./hr-store)\n"
    "  --reply R     the answer to every well-formed upload (default 202):\n"
    "                CODE          the status line \"HTTP/1.0 CODE <text>\"\n"
    "                garbage       a line that is not a status line\n"
    "                none          no answer; the connection stays open until the client closes\n"
    "                close         the connection is closed without an answer\n"
    "                slow:SECONDS  202, after SECONDS (fractions allowed)\n"
    "                long          a 10 KiB line\n"
    "  --script FILE one reply (as for --reply) per line, used by the uploads in the order\n"
    "                they arrive; once the script is used up, --reply answers\n"
    "  --idle S      a client that sends nothing for S seconds in the middle of a request\n"
    "                gets 400 (default 10)\n"
    "  --max-connections N  connections served at once (default 256); one more is answered\n"
    "                \"HTTP/1.0 503 Service Unavailable\" at once and closed\n"
    "Only a 2xx answer stores the file. A malformed request (no blank line after the header,\n"
    "no PUT line, a missing, wrong or huge Content-Length, no BODY line, a body that does not\n"
    "match its length) gets 400 and nothing is stored. Prints \"listening on ADDRESS:PORT\"\n"
    "once ready; SIGINT or SIGTERM stop it.\n";

constexpr std::size_t kMaxHeader = 8192;
constexpr long long kMaxBody = 64ll * 1024 * 1024;
constexpr int kLingerAfterReplyMs = 60000;

struct Reply {
  enum Kind { kStatus, kGarbage, kNone, kClose, kSlow, kLong } kind = kStatus;
  int code = 202;
  double seconds = 0;
};

std::optional<Reply> ParseReply(const std::string& text) {
  Reply r;
  if (text == "garbage") {
    r.kind = Reply::kGarbage;
  } else if (text == "none") {
    r.kind = Reply::kNone;
  } else if (text == "close") {
    r.kind = Reply::kClose;
  } else if (text == "long") {
    r.kind = Reply::kLong;
  } else if (text.rfind("slow:", 0) == 0) {
    char* end = nullptr;
    r.kind = Reply::kSlow;
    r.seconds = std::strtod(text.c_str() + 5, &end);
    if (end == text.c_str() + 5 || *end != '\0' || r.seconds < 0 || r.seconds > 3600)
      return std::nullopt;
  } else {
    char* end = nullptr;
    long code = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || code < 100 || code > 999) return std::nullopt;
    r.code = static_cast<int>(code);
  }
  return r;
}

const char* StatusText(int code) {
  switch (code) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 400:
      return "Bad Request";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

struct Settings {
  fs::path store = "hr-store";
  Reply reply;
  std::vector<Reply> script;
  int idleMs = 10000;
  int maxConnections = 256;  // well above the 64 uploads one module keeps open at once
};

Settings g_settings;
std::atomic<unsigned long> g_uploads{0};  // numbers the stored files
std::atomic<std::size_t> g_scriptNext{0};
std::atomic<int> g_open{0};  // connections being served
std::mutex g_logLock;
int g_stopPipe[2] = {-1, -1};

void Log(const std::string& line) {
  std::lock_guard<std::mutex> hold(g_logLock);
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

// Waits until the socket is readable; false when `ms` passed first.
bool WaitReadable(int fd, int ms) {
  pollfd one{fd, POLLIN, 0};
  int n;
  do {
    n = ::poll(&one, 1, ms);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

// Appends what the client sends to `data` until `done` says it is enough. False when the
// client closed, failed or stalled for the idle time first.
template <typename Done>
bool ReadUntil(int fd, std::string& data, Done done) {
  char buffer[16384];
  while (!done()) {
    if (!WaitReadable(fd, g_settings.idleMs)) return false;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

void SendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

// The site identifier as a directory name: nothing that could leave the store.
std::string SafeName(const std::string& site) {
  std::string name;
  for (char c : site)
    name +=
        (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') ? c : '_';
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return name;
}

std::string ReceiveTime() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

// A whole, well-formed request: the site identifier and the file's bytes.
struct Upload {
  std::string site;
  std::string file;
};

// Reads and checks one request. On failure `why` says what was wrong.
bool ReadRequest(int fd, Upload* upload, std::size_t* received, std::string* why) {
  std::string data;
  std::size_t headerEnd = std::string::npos;
  bool whole = ReadUntil(fd, data, [&] {
    headerEnd = data.find("\r\n\r\n");
    return headerEnd != std::string::npos || data.size() > kMaxHeader;
  });
  *received = data.size();
  if (headerEnd == std::string::npos || headerEnd > kMaxHeader) {
    *why = whole ? "header too long" : "no end of header";
    return false;
  }
  const std::string header = data.substr(0, headerEnd + 2);
  std::size_t lineEnd = header.find("\r\n");
  const std::string requestLine = header.substr(0, lineEnd);
  if (requestLine.rfind("PUT ", 0) != 0 || requestLine.find(" HTTP/1.", 4) == std::string::npos) {
    *why = "not a PUT request line";
    return false;
  }
  long long length = -1;
  for (std::size_t at = lineEnd + 2; at < header.size();) {
    std::size_t end = header.find("\r\n", at);
    std::string line = header.substr(at, end - at);
    at = end + 2;
    if (line.size() >= 15 && strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
      std::size_t p = 15;
      while (p < line.size() && line[p] == ' ') ++p;
      if (p == line.size() || line.size() - p > 12) {
        *why = "bad Content-Length";
        return false;
      }
      length = 0;
      for (; p < line.size(); ++p) {
        if (line[p] < '0' || line[p] > '9') {
          *why = "bad Content-Length";
          return false;
        }
        length = length * 10 + (line[p] - '0');
      }
    }
  }
  if (length < 0) {
    *why = "no Content-Length";
    return false;
  }
  if (length > kMaxBody) {
    *why = "Content-Length too large";
    return false;
  }
  const std::size_t bodyStart = headerEnd + 4;
  const std::size_t total = bodyStart + static_cast<std::size_t>(length);
  whole = ReadUntil(fd, data, [&] { return data.size() >= total; });
  *received = data.size();
  if (!whole) {
    *why = "body shorter than Content-Length";
    return false;
  }
  // Anything already sent past the announced length means the length was wrong.
  char extra;
  if (data.size() > total || ::recv(fd, &extra, 1, MSG_DONTWAIT | MSG_PEEK) > 0) {
    *why = "body longer than Content-Length";
    return false;
  }
  std::string body = data.substr(bodyStart);
  // "BODY nn <site id> " CR, then the file, then CR LF.
  std::size_t cr = body.find('\r');
  if (body.compare(0, 5, "BODY ") != 0 || cr == std::string::npos || cr < 9 ||
      !std::isdigit(static_cast<unsigned char>(body[5])) ||
      !std::isdigit(static_cast<unsigned char>(body[6])) || body[7] != ' ' || body[cr - 1] != ' ') {
    *why = "no BODY line";
    return false;
  }
  if (body.size() < cr + 1 + 2 || body.compare(body.size() - 2, 2, "\r\n") != 0) {
    *why = "body does not end with CR LF";
    return false;
  }
  upload->site = body.substr(8, cr - 1 - 8);
  upload->file = body.substr(cr + 1, body.size() - 2 - (cr + 1));
  return true;
}

// Writes the file whole under a temporary name and renames it into the store.
bool Store(const Upload& upload, fs::path* stored) {
  std::error_code ec;
  const fs::path dir = g_settings.store / SafeName(upload.site);
  const fs::path incoming = g_settings.store / ".incoming";
  fs::create_directories(dir, ec);
  fs::create_directories(incoming, ec);
  const unsigned long n = ++g_uploads;
  const std::string name = ReceiveTime() + "-" + std::to_string(n) + ".ini";
  const fs::path temp = incoming / name;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(upload.file.data(), static_cast<std::streamsize>(upload.file.size()));
    out.flush();
    if (!out) {
      fs::remove(temp, ec);
      return false;
    }
  }
  *stored = dir / name;
  fs::rename(temp, *stored, ec);
  if (ec) {
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

Reply NextReply() {
  std::size_t k = g_scriptNext++;
  if (k < g_settings.script.size()) return g_settings.script[k];
  return g_settings.reply;
}

// One request and its answer. The caller closes the connection.
void Converse(int fd, const std::string& peer) {
  Upload upload;
  std::size_t received = 0;
  std::string why;
  if (!ReadRequest(fd, &upload, &received, &why)) {
    SendAll(fd, "HTTP/1.0 400 Bad Request\r\n");
    Log("upload from " + peer + " site=- bytes=" + std::to_string(received) + " status=400 (" +
        why + ")");
    return;
  }
  Reply reply = NextReply();
  if (reply.kind == Reply::kSlow) {
    std::this_thread::sleep_for(std::chrono::duration<double>(reply.seconds));
    reply = Reply{};
  }
  std::string status;
  std::string answer;
  fs::path stored;
  switch (reply.kind) {
    case Reply::kStatus:
      if (reply.code >= 200 && reply.code < 300 && !Store(upload, &stored)) reply.code = 500;
      answer = "HTTP/1.0 " + std::to_string(reply.code) + " " + StatusText(reply.code) + "\r\n";
      status = std::to_string(reply.code);
      break;
    case Reply::kGarbage:
      answer = std::string("\x01\x02garbage-without-status\x7f\r\n");
      status = "garbage";
      break;
    case Reply::kNone:
      status = "none";
      break;
    case Reply::kClose:
      status = "close";
      break;
    case Reply::kLong:
      answer = "HTTP/1.0 202 " + std::string(10240, 'x') + "\r\n";
      status = "long";
      break;
    case Reply::kSlow:
      break;
  }
  std::string line = "upload from " + peer + " site=" + upload.site +
                     " bytes=" + std::to_string(upload.file.size()) + " status=" + status;
  if (!stored.empty()) line += " stored=" + stored.string();
  Log(line);
  if (reply.kind == Reply::kClose) return;
  SendAll(fd, answer);
  // The client reads its one line and closes the connection itself; wait for that.
  char sink[4096];
  while (WaitReadable(fd, kLingerAfterReplyMs)) {
    ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
}

void Serve(int fd, std::string peer) {
  Converse(fd, peer);
  // The place is free before the client sees the connection end, so that a client that waited
  // for that end can be served at once.
  --g_open;
  ::close(fd);
}

// A connection past the limit gets its answer from the accepting thread, at once, and no
// thread of its own. (A request it already sent is not read: the client may see the
// connection reset instead of the answer.)
void Refuse(int fd, const std::string& peer) {
  static const char kBusy[] = "HTTP/1.0 503 Service Unavailable\r\n";
  [[maybe_unused]] ssize_t n = ::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  Log("upload from " + peer + " site=- bytes=0 status=503 (" +
      std::to_string(g_settings.maxConnections) + " connections open)");
}

void OnSignal(int) {
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_stopPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  int port = 8021;
  std::string bind = "127.0.0.1";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "hr-server: %s needs a value\n%s", arg.c_str(), kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    // A whole number from `low` to `high`; anything else ends the program.
    auto number = [&](long low, long high, const char* what) {
      std::string v = value();
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < low || n > high) {
        std::fprintf(stderr, "hr-server: bad %s %s\n", what, v.c_str());
        std::exit(2);
      }
      return static_cast<int>(n);
    };
    if (arg == "--port") {
      port = number(0, 65535, "port");
    } else if (arg == "--bind") {
      bind = value();
    } else if (arg == "--store") {
      g_settings.store = value();
    } else if (arg == "--reply") {
      std::string v = value();
      auto reply = ParseReply(v);
      if (!reply) {
        std::fprintf(stderr, "hr-server: bad reply %s\n%s", v.c_str(), kUsage);
        return 2;
      }
      g_settings.reply = *reply;
    } else if (arg == "--script") {
      std::string v = value();
      std::ifstream in(v);
      if (!in) {
        std::fprintf(stderr, "hr-server: cannot read script %s\n", v.c_str());
        return 2;
      }
      std::string line;
      while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        auto reply = ParseReply(line);
        if (!reply) {
          std::fprintf(stderr, "hr-server: bad reply in script: %s\n", line.c_str());
          return 2;
        }
        g_settings.script.push_back(*reply);
      }
    } else if (arg == "--idle") {
      std::string v = value();
      char* end = nullptr;
      double s = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || s <= 0 || s > 3600) {
        std::fprintf(stderr, "hr-server: bad idle time %s\n", v.c_str());
        return 2;
      }
      g_settings.idleMs = static_cast<int>(s * 1000);
    } else if (arg == "--max-connections") {
      g_settings.maxConnections = number(1, 10000, "connection limit");
    } else if (arg == "--help" || arg == "-h") {
      std::printf("%s", kUsage);
      return 0;
    } else {
      std::fprintf(stderr, "hr-server: unknown argument %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }

  std::error_code ec;
  fs::create_directories(g_settings.store, ec);
  if (ec) {
    std::fprintf(stderr, "hr-server: cannot create %s: %s\n", g_settings.store.c_str(),
                 ec.message().c_str());
    return 1;
  }
  // Pieces left by an earlier run that was stopped in the middle of a write.
  fs::remove_all(g_settings.store / ".incoming", ec);

  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, bind.c_str(), &address.sin_addr) != 1) {
    std::fprintf(stderr, "hr-server: bad address %s\n", bind.c_str());
    return 2;
  }
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::listen(listener, 128) != 0) {
    std::fprintf(stderr, "hr-server: cannot listen on %s:%d: %s\n", bind.c_str(), port,
                 std::strerror(errno));
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

  if (::pipe2(g_stopPipe, O_CLOEXEC) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("listening on %s:%d\n", bind.c_str(), ntohs(address.sin_port));
  std::fflush(stdout);

  for (;;) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {g_stopPipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents == 0) continue;
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    if (fd < 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    std::string name = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    // Only this thread adds to the count, so it can only be lower by the time the check is
    // acted on.
    if (g_open >= g_settings.maxConnections) {
      Refuse(fd, name);
      continue;
    }
    ++g_open;
    std::thread(Serve, fd, std::move(name)).detach();
  }
  std::printf("hr-server: stopped\n");
  std::fflush(stdout);
  // Connections still being served run on detached threads that read the settings: end without
  // running the static destructors under them.
  std::quick_exit(0);
}
