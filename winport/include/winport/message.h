// Per-thread message queues and thread timers. Each thread gets its queue on first use; a
// timer belongs to the thread that set it and only that thread's PeekMessage/GetMessage ever
// produce its WM_TIMER (at most one pending per timer, generated when it is due).
#pragma once

#include "winport/types.h"
#include "winport/window.h"

namespace winport {

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

using TIMERPROC = void (*)(HWND window, UINT message, UINT_PTR idEvent, DWORD time);

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

// A timer of the calling thread that fires every `elapse` ms. Without a window, `idEvent`
// names an existing timer of this thread to replace; otherwise a new id is chosen and returned.
// With a window (of this thread), (window, idEvent) names the timer and idEvent is returned.
// 0 on failure.
// Periods below 10 ms count as 10 ms.
UINT_PTR SetTimer(HWND window, UINT_PTR idEvent, UINT elapse, TIMERPROC proc);
// Stops a timer; a thread timer (no window) may also be stopped from another thread of the
// process, since its id is unique in the process. FALSE with ERROR_INVALID_PARAMETER when
// there is no such timer.
BOOL KillTimer(HWND window, UINT_PTR idEvent);

// Takes (PM_REMOVE) or looks at the next message of the calling thread's queue, filtered by
// window (null: any) and message range (0, 0: any). FALSE when none.
BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg);

// Waits for the next message; 0 for WM_QUIT, -1 on failure, else non-zero.
BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax);

// No keyboard input here: translation never produces a message. Returns FALSE.
BOOL TranslateMessage(const MSG* msg);

// WM_TIMER with a procedure: calls it (lParam holds the procedure, as on Windows) - but only
// when it is the procedure of that live timer of this thread, so a forged WM_TIMER calls nothing. A
// message for a window with a window procedure: calls that. Returns what was called's result, else
// 0.
LRESULT DispatchMessageA(const MSG* msg);

// Queues a message (hwnd null) for a thread of this process that has a message queue.
// FALSE with ERROR_INVALID_THREAD_ID when there is no such thread or queue.
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

void PostQuitMessage(int exitCode);

}  // namespace winport
