// Processes started from Windows-style command lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "winport/types.h"

namespace winport {

// Creation flags (accepted; no consoles or windows exist here).
constexpr DWORD DEBUG_PROCESS = 0x00000001;
constexpr DWORD DETACHED_PROCESS = 0x00000008;
constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;
constexpr DWORD IDLE_PRIORITY_CLASS = 0x00000040;
constexpr DWORD HIGH_PRIORITY_CLASS = 0x00000080;
constexpr DWORD CREATE_NEW_PROCESS_GROUP = 0x00000200;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;

// STARTUPINFOA flags and ShowWindow values (accepted, no effect).
constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;
constexpr UINT SW_HIDE = 0;
constexpr UINT SW_SHOWNORMAL = 1;
constexpr UINT SW_NORMAL = 1;
constexpr UINT SW_SHOWMINIMIZED = 2;
constexpr UINT SW_SHOWMAXIMIZED = 3;
constexpr UINT SW_MAXIMIZE = 3;
constexpr UINT SW_SHOWNOACTIVATE = 4;
constexpr UINT SW_SHOW = 5;
constexpr UINT SW_MINIMIZE = 6;
constexpr UINT SW_SHOWMINNOACTIVE = 7;
constexpr UINT SW_SHOWNA = 8;
constexpr UINT SW_RESTORE = 9;
constexpr UINT SW_SHOWDEFAULT = 10;

struct STARTUPINFOA {
  DWORD cb;
  char* lpReserved;
  char* lpDesktop;
  char* lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

// Starts a program. `applicationName`, when given, names the program (a Windows-style or host
// path); otherwise the first word of `commandLine` does, looked up through the path mapping as
// given and then without its ".exe", and a plain name also on PATH. The arguments are split
// from `commandLine` as a Windows program's C runtime splits them. The child inherits the
// environment, the prefix and the clock offset. `currentDirectory` (Windows-style) is mapped.
// Handles, priority and console flags are accepted and ignored. Both handles returned are
// waitable and signalled when the process ends; close both. FALSE with ERROR_FILE_NOT_FOUND
// for a missing program, ERROR_ACCESS_DENIED for one that cannot be run.
BOOL CreateProcessA(const char* applicationName, char* commandLine,
                    SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void* environment,
                    const char* currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation);

// STILL_ACTIVE while the process runs; its exit status afterwards (for a process ended by a
// signal: the code given to TerminateProcess, else 128 + the signal number).
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);

// Kills the process; its exit code becomes `exitCode`.
BOOL TerminateProcess(HANDLE process, UINT exitCode);

DWORD GetCurrentProcessId();

// Waits until a process started by CreateProcessA is first ready for input: its first
// GetMessageA, or its call of ReportInputIdle. 0 once it is, or once the process has ended;
// WAIT_TIMEOUT when `milliseconds` run out; WAIT_FAILED for a handle that is not a process.
DWORD WaitForInputIdle(HANDLE process, DWORD milliseconds);

// Tells the process that started this one (and waits in WaitForInputIdle) that this program is
// ready for input. Programs with an event loop of their own call it once their window is up;
// GetMessageA calls it too. Only the first call does anything; TRUE when a waiter was told.
BOOL ReportInputIdle();

// Starts a command line without waiting. Above 31 on success; 0 (out of resources),
// ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND on failure, as the Windows call reports.
UINT WinExec(const char* commandLine, UINT showCommand);

// Splits a command line into arguments by the C runtime's rules: whitespace separates
// arguments outside double quotes; 2n backslashes before a quote give n backslashes and the
// quote delimits, 2n+1 give n backslashes and a literal quote; other backslashes are literal;
// "" inside quotes is a literal quote. The first word (the program) ends at the closing quote
// or the first whitespace and keeps its backslashes as they stand.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

}  // namespace winport
