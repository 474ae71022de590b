// Host-name look-up, as the Windows Sockets gethostbyname gives it: the system resolver's IPv4
// addresses of a name.
#pragma once

#include <string>
#include <vector>

#include "winport/types.h"

namespace winport {

constexpr DWORD WSAHOST_NOT_FOUND = 11001;
constexpr DWORD WSATRY_AGAIN = 11002;
constexpr DWORD WSANO_RECOVERY = 11003;

// The IPv4 addresses of `name` as dotted texts, in the resolver's order; an empty list, with
// the last error set to one of the codes above, when the name does not resolve (an empty or
// null name included).
std::vector<std::string> GetHostByName(const char* name);

}  // namespace winport
