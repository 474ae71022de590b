// Operations common to every kernel-object handle.
#pragma once

#include "winport/types.h"

namespace winport {

// Closes any handle winport gave out (event, mutex, thread, process, file, mailslot).
// FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
BOOL CloseHandle(HANDLE handle);

// Byte I/O on files and mailslots (overlapped I/O is not supported: pass null).
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped);

}  // namespace winport
