// Starting or refreshing the product's diagnostics application after a test run.
#include <winport/error.h>
#include <winport/handle.h>
#include <winport/process.h>
#include <winport/sync.h>
#include <winport/thread.h>

#include <cstdio>

#include "core/TraceLog.h"
#include "diag/Diagnostics.h"

namespace {

// The wait for a started application is cut into slices so that a shutdown ends it promptly.
constexpr DWORD kIdleSliceMs = 100;

}  // namespace

void CDiagnostics::LaunchDiagApp(BOOL failed) {
  LogInfoF(
      "CDiagnostics::LaunchDiagApp, Will refresh diagap if its already running , or will "
      "launch, if needed");
  bool signal = false;
  // The application holds this mutex for its whole life; creating it only tells whether it runs.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, "DIAG_APP_EXISTS");
  const bool running = mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  if (mutex != nullptr) CloseHandle(mutex);

  if (running) {
    signal = true;
  } else if (failed) {
    if (IsShuttingDown()) {
      LogInfoF("CDiagnostics::launchDiagApp - shutdown occured");
    } else {
      char commandLine[600];
      std::snprintf(commandLine, sizeof commandLine, "%s\\bin\\diagview.exe", m_szInstallDir);
      SECURITY_ATTRIBUTES security{};
      security.nLength = sizeof security;
      security.bInheritHandle = TRUE;
      STARTUPINFOA startup{};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION info{};
      if (CreateProcessA(nullptr, commandLine, &security, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &info)) {
        signal = true;
        // Bounded, and given up at once on shutdown: the run holds the test-table lock that the
        // primary thread's timer also takes, so an application that never becomes ready must
        // not hold up the module. The launch counts as done either way.
        DWORD waited = 0;
        DWORD rc = WAIT_TIMEOUT;
        while (waited < m_dwDiagAppIdleWaitMs && !IsShuttingDown()) {
          rc = WaitForInputIdle(info.hProcess, kIdleSliceMs);
          if (rc != WAIT_TIMEOUT) break;
          waited += kIdleSliceMs;
        }
        DWORD exitCode = STILL_ACTIVE;
        if (GetExitCodeProcess(info.hProcess, &exitCode) && exitCode != STILL_ACTIVE) {
          LogErrorF("LaunchDiagApp, DiagApp ended at start, exit code = %d",
                    static_cast<int>(exitCode));
        } else if (rc == WAIT_TIMEOUT) {
          LogErrorF("LaunchDiagApp, DiagApp not ready for input, no longer waited for");
        }
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
      } else {
        LogErrorF("LaunchDiagApp, CreateProcess for DiagApp failed, err code = %d",
                  static_cast<int>(GetLastError()));
      }
    }
  }

  if (signal) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "DIAG_EVENT");
    if (event != nullptr) {
      SetEvent(event);
      LogInfoF("CDiagnostics:: LaunchDiagApp, Event succesfully created");
      CloseHandle(event);
    } else {
      LogInfoF("CDiagnostics:: LaunchDiagApp, Event does not exists");
    }
  }
}
