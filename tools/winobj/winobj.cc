// winobj: drives named kernel objects from outside the processes that use them.
//
//   winobj set|reset|pulse NAME   on a named event (created, manual reset, when missing)
//   winobj wait NAME [MS]         waits on an existing named event or mutex (default: forever);
//                                 exit 0 signalled (a mutex is released again), 1 timed out
//   winobj exists NAME            exit 0 when a named event or mutex of that name exists, else 1
//
// Exit 2 on a usage error or a failed call.
#include <winport/error.h>
#include <winport/handle.h>
#include <winport/sync.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace winport;

int Usage() {
  std::fputs(
      "usage: winobj set|reset|pulse NAME\n"
      "       winobj wait NAME [MS]\n"
      "       winobj exists NAME\n",
      stderr);
  return 2;
}

int Fail(const char* what, const char* name) {
  std::fprintf(stderr, "winobj: %s %s failed (error %u)\n", what, name, GetLastError());
  return 2;
}

// An existing named event or mutex; `isMutex` tells which.
HANDLE OpenExisting(const char* name, bool* isMutex) {
  if (HANDLE h = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name)) {
    *isMutex = false;
    return h;
  }
  if (HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, name)) {
    *isMutex = true;
    return h;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string verb = argv[1];
  const char* name = argv[2];

  if (verb == "set" || verb == "reset" || verb == "pulse") {
    if (argc != 3) return Usage();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name);
    if (event == nullptr) return Fail("create event", name);
    BOOL ok = verb == "set"     ? SetEvent(event)
              : verb == "reset" ? ResetEvent(event)
                                : PulseEvent(event);
    if (!ok) return Fail(verb.c_str(), name);
    CloseHandle(event);
    return 0;
  }
  if (verb == "wait") {
    if (argc > 4) return Usage();
    DWORD ms = INFINITE;
    if (argc == 4) {
      char* end = nullptr;
      errno = 0;
      unsigned long v = std::strtoul(argv[3], &end, 10);
      if (*argv[3] == '\0' || *end != '\0' || errno != 0 || v >= INFINITE) return Usage();
      ms = static_cast<DWORD>(v);
    }
    bool isMutex = false;
    HANDLE h = OpenExisting(name, &isMutex);
    if (h == nullptr) return Fail("open", name);
    DWORD rc = WaitForSingleObject(h, ms);
    int result = 2;
    if (rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED_0) {
      if (isMutex) ReleaseMutex(h);
      result = 0;
    } else if (rc == WAIT_TIMEOUT) {
      result = 1;
    } else {
      Fail("wait", name);
    }
    CloseHandle(h);
    return result;
  }
  if (verb == "exists") {
    if (argc != 3) return Usage();
    bool isMutex = false;
    HANDLE h = OpenExisting(name, &isMutex);
    if (h == nullptr) return 1;
    CloseHandle(h);
    return 0;
  }
  return Usage();
}
