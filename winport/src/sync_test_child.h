// Starting the helper process of the event, mutex and process tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "testing.h"
#include "winport/error.h"
#include "winport/handle.h"
#include "winport/process.h"
#include "winport/sync.h"

namespace winport::test {

inline std::string ChildProgram() {
  return (winport::testing::ExecutableDir() / "winport_sync_child_helper").string();
}

// Starts the helper with `arguments`; the process handle, or null (with a test failure).
inline HANDLE StartChild(const std::string& arguments) {
  std::string line = "\"" + ChildProgram() + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    ADD_FAILURE() << "cannot start " << line << ": error " << GetLastError();
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

// Waits for a process to end and closes it; its exit code, or 9999 when it did not end.
inline DWORD Finish(HANDLE process, DWORD milliseconds = 20000) {
  DWORD code = 9999;
  if (!process) return code;
  if (WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0)
    GetExitCodeProcess(process, &code);
  else
    TerminateProcess(process, 9999);
  CloseHandle(process);
  return code;
}

inline DWORD RunChild(const std::string& arguments) {
  return Finish(StartChild(arguments));
}

// A name no other test of this process uses.
inline std::string UniqueName(const std::string& stem) {
  static int counter = 0;
  return "wp-" + stem + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(++counter);
}

}  // namespace winport::test
