#include "winport/netdb.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "winport/error.h"

namespace winport {

std::vector<std::string> GetHostByName(const char* name) {
  std::vector<std::string> addresses;
  if (name == nullptr || *name == '\0') {
    SetLastError(WSAHOST_NOT_FOUND);
    return addresses;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    SetLastError(rc == EAI_AGAIN  ? WSATRY_AGAIN
                 : rc == EAI_FAIL ? WSANO_RECOVERY
                                  : WSAHOST_NOT_FOUND);
    return addresses;
  }
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr)
      addresses.emplace_back(text);
  }
  ::freeaddrinfo(found);
  if (addresses.empty()) SetLastError(WSAHOST_NOT_FOUND);
  return addresses;
}

}  // namespace winport
