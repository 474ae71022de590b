// Mailslots: one server end per name that reads whole messages, any number of client ends
// (CreateFileA("\\\\.\\mailslot\\NAME", GENERIC_WRITE, ...)) that each write whole messages.
// Names are case-insensitive. A server end lives in the process that created it; when that
// process dies the name is free again.
#pragma once

#include "winport/types.h"

namespace winport {

// GetMailslotInfo's "no message waiting"; also the "wait forever" read time-out.
constexpr DWORD MAILSLOT_NO_MESSAGE = static_cast<DWORD>(-1);
constexpr DWORD MAILSLOT_WAIT_FOREVER = static_cast<DWORD>(-1);

// Creates the server end of "\\\\.\\mailslot\\NAME". maxMessageSize 0 means any size up to the
// system limit (64 KiB). readTimeout (ms) is how long ReadFile waits for a message: 0 returns at
// once, MAILSLOT_WAIT_FOREVER waits. INVALID_HANDLE_VALUE on failure: ERROR_ALREADY_EXISTS when
// a live server holds the name, ERROR_INVALID_NAME for a name outside the mailslot namespace.
HANDLE CreateMailslotA(const char* name, DWORD maxMessageSize, DWORD readTimeout,
                       SECURITY_ATTRIBUTES* securityAttributes);

// The server end's limit and time-out, the size of the next message (MAILSLOT_NO_MESSAGE when
// none waits) and the number of messages waiting. Any out-pointer may be null.
BOOL GetMailslotInfo(HANDLE mailslot, DWORD* maxMessageSize, DWORD* nextSize, DWORD* messageCount,
                     DWORD* readTimeout);

BOOL SetMailslotInfo(HANDLE mailslot, DWORD readTimeout);

// ReadFile on a server end reads exactly one message (a buffer too small fails with
// ERROR_INSUFFICIENT_BUFFER and the message stays first in line; no message within the
// time-out fails with ERROR_SEM_TIMEOUT). WriteFile on a client end writes one message and
// returns once the server holds it, without waiting for it to be read. A message over the
// server's limit fails with ERROR_INVALID_PARAMETER, a server that has gone with
// ERROR_BROKEN_PIPE, and a server that takes nothing in for 10 seconds with ERROR_TIMEOUT.
// Each client end's messages are read in the order it wrote them.

}  // namespace winport
