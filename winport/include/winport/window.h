// Message windows: a hidden window registered under a class name in one thread of one process,
// found by class name from any process of the prefix, receiving posted messages in order.
// Registered window messages have the same id in every process of the prefix.
#pragma once

#include "winport/types.h"

namespace winport {

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The stand-in for RegisterClass + CreateWindow of a hidden window: messages posted to it (from
// this or any other process) arrive in the creating thread's message queue (message.h), with
// msg.hwnd set to it. `proc`, when given, is what DispatchMessageA calls for them. Null on
// failure (ERROR_INVALID_PARAMETER for a missing, over-long or unprintable name).
HWND CreateMessageWindow(const char* className, const char* windowName = nullptr,
                         WNDPROC proc = nullptr);
// Only the process that made a window destroys it (ERROR_ACCESS_DENIED otherwise). Messages still
// waiting for it are dropped.
BOOL DestroyWindow(HWND window);

// TRUE while the window exists (in this or another live process).
BOOL IsWindow(HWND window);

// A live window of that class (and, when given, that name); null with ERROR_FILE_NOT_FOUND when
// none. Class and window names compare without regard to case.
HWND FindWindowA(const char* className, const char* windowName);

// An id in 0xC000-0xFFFF, the same for the same name (any case) in every process of the prefix;
// 0 on failure.
UINT RegisterWindowMessageA(const char* name);

// Queues a message for a window and returns without waiting for it to be handled. Messages
// from one sender arrive in the order posted. FALSE with ERROR_INVALID_WINDOW_HANDLE for a
// window that does not exist.
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Calls the window procedure of a window of the calling thread directly; for any other window
// the message is posted and 0 returned (there is no cross-thread wait for an answer).
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace winport
