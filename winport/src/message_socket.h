// Unix datagram sockets under run/, the transport of mailslots and message windows.
#pragma once

#include <string>

#include "winport/types.h"
#include "winport/unique_fd.h"

namespace winport::detail {

// Binds a Unix socket of `type` (SOCK_DGRAM, SOCK_SEQPACKET) at `path` with mode 0660 (the
// owner's user and group may write); a SOCK_SEQPACKET one also listens. The socket appears
// under its name only once bound and restricted, so a peer never sees it half made; a stale
// socket file of that name is replaced. None (errno set) on failure.
UniqueFd BindSocket(const std::string& path, int type);

// A socket of `type` connected to the socket at `path`; none with errno on failure (ENOENT: no
// such socket, ECONNREFUSED: nobody is bound there any more). The send buffer and time-out are
// set before connecting, as a full server makes connect wait too.
UniqueFd ConnectSocket(const std::string& path, int type, int sendBuffer = 0,
                       int sendTimeoutSeconds = 0);

// An event file descriptor that wakes a poll(); none on failure.
UniqueFd MakeWakeFd();
void Wake(int wakeFd);

// Bytes that are safe in a file name under run/; others become %XX. Lower-cased when asked,
// for names that compare without regard to case.
std::string EncodeName(const std::string& name, bool lowerCase);

}  // namespace winport::detail
