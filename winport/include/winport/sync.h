// Events, mutexes, waits and critical sections.
//
// Named objects are machine-wide within one prefix: every process using the same prefix sees
// the same object under the same name, and no process of another prefix sees it. A named
// object lives while any process holds a handle to it; a process that ends (however it ends)
// gives up its handles, and a mutex it owned is abandoned. Unnamed events and mutexes are
// private to the process. Thread and process handles are waitable too (signalled when they end).
#pragma once

#include <mutex>

#include "winport/types.h"

namespace winport {

// Wait results.
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
// WAIT_TIMEOUT (258) comes from types.h.

constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Access rights (accepted; every handle gets full access).
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD EVENT_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3;
constexpr DWORD MUTEX_MODIFY_STATE = 0x0001;
constexpr DWORD MUTEX_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Events. A name may carry a "Global\" or "Local\" prefix (both mean the prefix-wide
// namespace); any other backslash, or a name longer than MAX_PATH, fails with
// ERROR_INVALID_NAME. Creating a named event that exists opens it, and GetLastError() is then
// ERROR_ALREADY_EXISTS (ERROR_SUCCESS when it was created).
HANDLE CreateEventA(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                    const char* name);
// Fails with ERROR_FILE_NOT_FOUND when no event of that name exists.
HANDLE OpenEventA(DWORD desiredAccess, BOOL inheritHandle, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Releases the threads waiting at this moment (all of them for a manual-reset event, one for
// an auto-reset event) and leaves the event reset.
BOOL PulseEvent(HANDLE event);

// Mutexes: owned by a thread, recursively. ReleaseMutex by a thread that does not own it fails
// with ERROR_NOT_OWNER. When the owning thread or process ends without releasing it, the next
// waiter gets it with WAIT_ABANDONED_0 (+ index).
HANDLE CreateMutexA(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, const char* name);
HANDLE OpenMutexA(DWORD desiredAccess, BOOL inheritHandle, const char* name);
BOOL ReleaseMutex(HANDLE mutex);

// Waits: WAIT_OBJECT_0 + index, WAIT_ABANDONED_0 + index, WAIT_TIMEOUT, or WAIT_FAILED with
// GetLastError() (ERROR_INVALID_HANDLE for a handle that is not open or not waitable,
// ERROR_INVALID_PARAMETER for a count of 0 or above MAXIMUM_WAIT_OBJECTS).
// `milliseconds` may be INFINITE. With waitAll, the objects are acquired all at once or not
// at all; an abandoned mutex among them gives WAIT_ABANDONED_0 + its index.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Critical sections: recursive, process-local.
struct CRITICAL_SECTION {
  std::recursive_mutex mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

}  // namespace winport
