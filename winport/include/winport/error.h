// Per-thread last error and the message texts of error codes.
#pragma once

#include <string>

#include "winport/types.h"

namespace winport {

DWORD GetLastError();
void SetLastError(DWORD code);

// The system's message text for a code (without a trailing line end), or false for a code
// winport does not know, so that callers can fall back to their own wording.
bool ErrorMessageText(DWORD code, std::string* text);

// FormatMessageA for FORMAT_MESSAGE_FROM_SYSTEM (with or without IGNORE_INSERTS) into a
// caller's buffer: returns the characters written (the text ends in "\r\n" as on Windows),
// 0 for an unknown code or a buffer too small.
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     char* buffer, DWORD size, void* arguments);

// Maps a POSIX errno to the nearest Windows error code.
DWORD ErrorFromErrno(int err);

}  // namespace winport
