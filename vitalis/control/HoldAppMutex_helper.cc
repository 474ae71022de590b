// Holds "DIAG_APP_EXISTS" as another diagnostics application would: owns it, sets the named
// event given first, and lets the mutex go when the event given second is set.
#include <winport/handle.h>
#include <winport/sync.h>

#include <cstdio>

using namespace winport;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: HoldAppMutex_helper HELD_EVENT RELEASE_EVENT\n");
    return 2;
  }
  HANDLE mutex = CreateMutexA(nullptr, TRUE, "DIAG_APP_EXISTS");
  HANDLE held = CreateEventA(nullptr, TRUE, FALSE, argv[1]);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
  if (mutex == nullptr || held == nullptr || release == nullptr) return 1;
  SetEvent(held);
  WaitForSingleObject(release, INFINITE);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  CloseHandle(release);
  CloseHandle(held);
  return 0;
}
