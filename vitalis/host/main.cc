// vitalis-host: a daemon that loads the health module the way the product's host applications
// do (by file, binding the three exports by name), starts it and stops it on SIGINT/SIGTERM.
//
//   vitalis-host                 start, print "started" and run until SIGINT/SIGTERM; any other
//                                start result is printed ("start result N"), the module is
//                                stopped and the program ends at once with status 1, so that a
//                                supervisor can start it again later
//   vitalis-host --keep-failed   the same, but a failed start is held (the module keeps its
//                                single-instance mutex) until a signal, as a host application
//                                that does not stop a failed module would
//   vitalis-host --set-mode N    only SetReportingMode(N); prints its result
//   vitalis-host --register      registers the control server (DllRegisterServer); prints its
//   vitalis-host --unregister    result (0 on success) and removes it again (DllUnregisterServer)
//
// The library is libvitalis.so beside the program's ../lib, or VITALIS_LIBRARY when set.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using StartFn = std::uint32_t (*)();
using StopFn = std::uint32_t (*)();
using SetModeFn = std::uint32_t (*)(std::int32_t);
using RegisterFn = std::int32_t (*)();

std::string LibraryPath() {
  if (const char* path = std::getenv("VITALIS_LIBRARY"); path != nullptr && *path != '\0')
    return path;
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    exe[n] = '\0';
    std::string dir(exe);
    dir.erase(dir.rfind('/'));
    std::string candidate = dir + "/../lib/libvitalis.so";
    if (access(candidate.c_str(), R_OK) == 0) return candidate;
    candidate = dir + "/libvitalis.so";
    if (access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return "libvitalis.so";
}

void* Bind(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) std::fprintf(stderr, "vitalis-host: %s not found: %s\n", name, dlerror());
  return symbol;
}

int Usage() {
  std::fprintf(stderr,
               "usage: vitalis-host [--keep-failed | --set-mode N | --register | --unregister]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool setMode = false;
  bool keepFailed = false;
  long mode = 0;
  const char* registration = nullptr;
  if (argc == 2 && std::strcmp(argv[1], "--register") == 0) {
    registration = "DllRegisterServer";
  } else if (argc == 2 && std::strcmp(argv[1], "--unregister") == 0) {
    registration = "DllUnregisterServer";
  } else if (argc == 2 && std::strcmp(argv[1], "--keep-failed") == 0) {
    keepFailed = true;
  } else if (argc == 3 && std::strcmp(argv[1], "--set-mode") == 0) {
    char* end = nullptr;
    mode = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || mode < INT32_MIN || mode > INT32_MAX) return Usage();
    setMode = true;
  } else if (argc != 1) {
    return Usage();
  }

  // Block the stop signals before the module starts its threads, so that they inherit the
  // mask and only sigwait below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::string path = LibraryPath();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "vitalis-host: cannot load %s: %s\n", path.c_str(), dlerror());
    return 1;
  }

  if (registration != nullptr) {
    auto call = reinterpret_cast<RegisterFn>(Bind(library, registration));
    if (call == nullptr) return 1;
    std::int32_t result = call();
    std::printf("0x%08x\n", static_cast<unsigned>(result));
    return result == 0 ? 0 : 1;
  }

  if (setMode) {
    auto setReportingMode = reinterpret_cast<SetModeFn>(Bind(library, "SetReportingMode"));
    if (setReportingMode == nullptr) return 1;
    std::uint32_t result = setReportingMode(static_cast<std::int32_t>(mode));
    std::printf("%u\n", result);
    return result == 1 ? 0 : 1;
  }

  auto start = reinterpret_cast<StartFn>(Bind(library, "StartVitalisDLL"));
  auto stop = reinterpret_cast<StopFn>(Bind(library, "StopVitalisDLL"));
  if (start == nullptr || stop == nullptr) return 1;

  std::uint32_t result = start();
  if (result == 0) {
    std::printf("started\n");
  } else {
    std::printf("start result %u\n", result);
  }
  std::fflush(stdout);

  if (result == 0 || keepFailed) {
    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
  }
  stop();
  std::fflush(stdout);
  // The module's threads are gone; leave without unloading, as a host process ends.
  return result == 0 ? 0 : 1;
}
