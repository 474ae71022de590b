#include "message_socket.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>

#include "winport/text.h"

namespace winport::detail {
namespace {

// Runs `call` with an address for `path`. A path too long for sun_path is reached through the
// directory's descriptor (/proc/self/fd/N/name), so deep prefixes still work.
int WithAddress(const std::string& path,
                const std::function<int(const sockaddr*, socklen_t)>& call) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() < sizeof(addr.sun_path)) {
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return call(reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  }
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd dirFd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) return -1;
  std::string viaFd = "/proc/self/fd/" + std::to_string(dirFd.get()) + path.substr(slash);
  int rc;
  if (viaFd.size() >= sizeof(addr.sun_path)) {
    errno = ENAMETOOLONG;
    rc = -1;
  } else {
    std::memcpy(addr.sun_path, viaFd.c_str(), viaFd.size() + 1);
    rc = call(reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  }
  int saved = errno;
  dirFd.reset();
  errno = saved;
  return rc;
}

}  // namespace

UniqueFd BindSocket(const std::string& path, int type) {
  static std::atomic<unsigned> serial{0};
  UniqueFd socket(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
  if (!socket) return socket;
  const int fd = socket.get();
  // Bound under a private name first: bind() honours the umask, and peers must not reach the
  // socket before it has its final mode.
  std::string temp =
      path + "." + std::to_string(::getpid()) + "." + std::to_string(serial++) + ".new";
  ::unlink(temp.c_str());
  if (WithAddress(temp, [fd](const sockaddr* a, socklen_t n) { return ::bind(fd, a, n); }) != 0 ||
      ::chmod(temp.c_str(), 0660) != 0 ||
      (type == SOCK_SEQPACKET && ::listen(fd, SOMAXCONN) != 0) ||
      ::rename(temp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(temp.c_str());
    socket.reset();
    errno = saved;
  }
  return socket;
}

UniqueFd ConnectSocket(const std::string& path, int type, int sendBuffer, int sendTimeoutSeconds) {
  UniqueFd socket(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
  if (!socket) return socket;
  const int fd = socket.get();
  if (sendBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
  if (sendTimeoutSeconds > 0) {
    timeval timeout{sendTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  }
  if (WithAddress(path, [fd](const sockaddr* a, socklen_t n) { return ::connect(fd, a, n); }) !=
      0) {
    int saved = errno;
    socket.reset();
    errno = saved;
  }
  return socket;
}

UniqueFd MakeWakeFd() {
  return UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

void Wake(int wakeFd) {
  std::uint64_t one = 1;
  while (::write(wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

std::string EncodeName(const std::string& name, bool lowerCase) {
  std::string out;
  for (unsigned char c : name) {
    if (lowerCase) c = static_cast<unsigned char>(AsciiLower(static_cast<char>(c)));
    if (std::isalnum(c) || c == '_' || c == '-' || (c == '.' && !out.empty())) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace winport::detail
