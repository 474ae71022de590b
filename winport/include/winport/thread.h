// Threads with waitable handles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "winport/types.h"

namespace winport {

constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD CREATE_SUSPENDED = 0x00000004;

using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);

// Starts a thread running `start(parameter)`. The handle is signalled when the thread ends,
// and GetExitCodeThread then gives the routine's result (STILL_ACTIVE before). A stack size
// above the default and CREATE_SUSPENDED are honoured; security attributes are ignored.
HANDLE CreateThread(SECURITY_ATTRIBUTES* attributes, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE start, void* parameter, DWORD creationFlags,
                    DWORD* threadId);

// The C runtime's form: returns the handle as an integer, 0 on failure (GetLastError says why).
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*start)(void*),
                              void* argList, unsigned initFlag, unsigned* threadId);

// Starts a thread created with CREATE_SUSPENDED. Returns the previous suspend count (1), 0 for
// a running thread, (DWORD)-1 on a bad handle.
DWORD ResumeThread(HANDLE thread);

// Unique among the live threads of the machine.
DWORD GetCurrentThreadId();
// A pseudo handle meaning "the calling thread"; it needs no CloseHandle.
HANDLE GetCurrentThread();

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);

// Last resort. The handle becomes signalled at once with `exitCode`, and mutexes the thread
// owns are abandoned. A thread cannot be stopped safely from outside, so it is left to run on,
// detached, until it returns: from then on it owns nothing and can acquire nothing (its waits
// fail at once with WAIT_FAILED, ERROR_ACCESS_DENIED, which also ends a wait it is blocked in),
// and its own end no longer changes the exit code.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);

// Ends the calling thread (one started by CreateThread/_beginthreadex) with `exitCode`;
// destructors of its stack objects run.
[[noreturn]] void ExitThread(DWORD exitCode);

}  // namespace winport
