// Stand-in for the product's diagnostics application ("%s\bin\diagview.exe" under the install
// directory), which the health module starts when a configuration test fails. It holds the
// named objects the real application's control holds ("DIAG_APP_EXISTS" owned for its whole
// life, "DIAG_EVENT" to be told to refresh), reports itself ready for input, prints one line
// per refresh with the stored test statuses (also appended to the file DIAGVIEW_LOG names), and
// ends when "SHUT_EVENT" is set (killed, it leaves the mutex abandoned, which frees it just the
// same).
#include <winport/error.h>
#include <winport/handle.h>
#include <winport/process.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

using namespace winport;

namespace {

constexpr const char* kTestKeys[] = {"Adapter_Check",
                                     "DNSCheck",
                                     "DRVT",
                                     "IRQTest",
                                     "Multiple_RegKey_Test",
                                     "ProxyServer_Check",
                                     "Signal_Strength_Check",
                                     "TCPIP_Check"};

// "1=0 2=0 ... 8=807": each test's stored status ("-" when it cannot be read).
std::string StatusLine() {
  std::string line;
  for (int id = 1; id <= 8; ++id) {
    std::string path =
        std::string("SOFTWARE\\Tessaline\\Orbilink\\Diagnostics\\") + kTestKeys[id - 1];
    std::string value = "-";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
      DWORD type = 0, data = 0, size = sizeof data;
      if (RegQueryValueExA(key, "TestStatus", nullptr, &type, reinterpret_cast<BYTE*>(&data),
                           &size) == ERROR_SUCCESS &&
          type == REG_DWORD && size == sizeof data)
        value = std::to_string(data);
      RegCloseKey(key);
    }
    if (!line.empty()) line += ' ';
    line += std::to_string(id) + "=" + value;
  }
  return line;
}

void Say(const std::string& line) {
  std::printf("diagview: %s\n", line.c_str());
  std::fflush(stdout);
  if (const char* log = std::getenv("DIAGVIEW_LOG"); log != nullptr && *log != '\0')
    std::ofstream(log, std::ios::app) << line << '\n';
}

int Usage() {
  std::fprintf(stderr,
               "usage: diagview [--no-idle] [--exit N]\n"
               "  --no-idle  never report ready for input (the module's wait runs out)\n"
               "  --exit N   end at once with code N, as an application that fails to start\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  bool reportIdle = true;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--no-idle")) {
      reportIdle = false;
    } else if (!std::strcmp(argv[i], "--exit") && i + 1 < argc) {
      return std::atoi(argv[i + 1]);
    } else {
      return Usage();
    }
  }

  HANDLE exists = CreateMutexA(nullptr, TRUE, "DIAG_APP_EXISTS");
  if (exists == nullptr) {
    std::fprintf(stderr, "diagview: cannot create DIAG_APP_EXISTS (error %u)\n", GetLastError());
    return 1;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    std::fprintf(stderr, "diagview: already running\n");
    return 1;
  }
  HANDLE refresh = CreateEventA(nullptr, FALSE, FALSE, "DIAG_EVENT");
  HANDLE shut = CreateEventA(nullptr, TRUE, FALSE, "SHUT_EVENT");
  if (refresh == nullptr || shut == nullptr) {
    std::fprintf(stderr, "diagview: cannot create its events (error %u)\n", GetLastError());
    return 1;
  }
  Say("running");
  if (reportIdle) ReportInputIdle();

  unsigned refreshes = 0;
  // A refresh asked for just before the shutdown is still shown.
  HANDLE waits[2] = {refresh, shut};
  for (;;) {
    DWORD rc = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (rc == WAIT_OBJECT_0 + 1) break;
    if (rc == WAIT_OBJECT_0) {
      Say("refresh " + std::to_string(++refreshes) + ": " + StatusLine());
    } else if (rc == WAIT_FAILED) {
      std::fprintf(stderr, "diagview: wait failed (error %u)\n", GetLastError());
      break;
    }
  }
  Say("closing");
  CloseHandle(shut);
  CloseHandle(refresh);
  ReleaseMutex(exists);
  CloseHandle(exists);
  return 0;
}
