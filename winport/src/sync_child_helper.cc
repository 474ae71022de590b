// A second process for the event, mutex and process tests: does one thing its arguments ask
// and reports through its exit code, a file or a named event.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "sync_internal.h"
#include "winport/error.h"
#include "winport/handle.h"
#include "winport/message.h"
#include "winport/process.h"
#include "winport/sync.h"

using namespace winport;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: sync_child exit N | args OUT ... | env OUT NAME | cwd OUT | block |\n"
               "       wait-event NAME | set-event NAME | create-event NAME |\n"
               "       create-event-in PREFIX NAME | hold-mutex NAME READY |\n"
               "       hold-event NAME READY | die-in-table NAME |\n"
               "       idle-wait NAME | message-wait NAME\n");
  return 64;
}

[[noreturn]] void BlockForever() {
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  WaitForSingleObject(never, INFINITE);
  std::exit(70);
}

int SignalReady(const char* name) {
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (!ready || !SetEvent(ready)) return 100 + static_cast<int>(GetLastError());
  CloseHandle(ready);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  if (command == "exit" && argc == 3) return std::atoi(argv[2]);
  if (command == "block") BlockForever();
  if (command == "args" && argc >= 3) {
    std::ofstream out(argv[2], std::ios::binary);
    for (int i = 3; i < argc; ++i) out << argv[i] << '\0';
    return out ? 0 : 1;
  }
  if (command == "env" && argc == 4) {
    const char* value = std::getenv(argv[3]);
    std::ofstream(argv[2], std::ios::binary) << (value ? value : "(unset)");
    return 0;
  }
  if (command == "cwd" && argc == 3) {
    std::ofstream(argv[2], std::ios::binary) << std::filesystem::current_path().string();
    return 0;
  }
  if (command == "wait-event" && argc == 3) {
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (!event) return 100 + static_cast<int>(GetLastError());
    return WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0 ? 0 : 99;
  }
  if ((command == "idle-wait" || command == "message-wait") && argc == 3) {
    // Ready for input (explicitly, or by waiting for messages), then ends when NAME is set.
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (!event) return 100 + static_cast<int>(GetLastError());
    if (command == "idle-wait") {
      if (!ReportInputIdle()) return 97;
      if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return 99;
      return ReportInputIdle() ? 0 : 96;  // later calls change nothing
    }
    MSG msg{};
    UINT_PTR timer = SetTimer(nullptr, 0, 10, nullptr);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
      if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0) break;
    KillTimer(nullptr, timer);
    return 0;
  }
  if (command == "set-event" && argc == 3) {
    return SignalReady(argv[2]);
  }
  if (command == "create-event-in" && argc == 4) {
    setenv("WINPORT_PREFIX", argv[2], 1);
    argv[2] = argv[3];
    command = "create-event";
    argc = 3;
  }
  if (command == "create-event" && argc == 3) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
    if (!event) return 100 + static_cast<int>(GetLastError());
    return GetLastError() == ERROR_ALREADY_EXISTS ? 1 : 0;
  }
  if (command == "hold-mutex" && argc == 4) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, argv[2]);
    if (!mutex) return 100 + static_cast<int>(GetLastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS && WaitForSingleObject(mutex, INFINITE) > 0x80)
      return 98;
    if (int rc = SignalReady(argv[3])) return rc;
    BlockForever();
  }
  if (command == "die-in-table" && argc == 3) {
    // Ends abruptly in the middle of an update of the shared table, holding a name.
    if (!CreateEventA(nullptr, TRUE, FALSE, argv[2])) return 100 + static_cast<int>(GetLastError());
    winport::detail::TableLock lock;
    std::_Exit(lock.ok() ? 0 : 97);
  }
  if (command == "hold-event" && argc == 4) {
    if (!CreateEventA(nullptr, TRUE, FALSE, argv[2])) return 100 + static_cast<int>(GetLastError());
    if (int rc = SignalReady(argv[3])) return rc;
    BlockForever();
  }
  return Usage();
}
