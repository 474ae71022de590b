// One upload run: 200 report files of 40 KiB each sent to a local hr-server that accepts each
// at once, in a private prefix. The run polls for a shutdown for 5 ms before every packet, so it
// cannot take less than 5 ms x packets; the figure is how close it comes to that bound.
//
//   upload_bench [FILES] [KIB]      (defaults 200 and 40)
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winport/file.h>
#include <winport/handle.h>
#include <winport/path.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/Win.h"
#include "reports/ProxyBag.h"
#include "reports/Reports.h"
#include "stats/ReportStore.h"

namespace fs = std::filesystem;

namespace {

void SetValue(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink\\HealthReport", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, &disposition);
  RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 200;
  const int kib = argc > 2 ? std::atoi(argv[2]) : 40;
  if (files <= 0 || kib <= 0) {
    std::fprintf(stderr, "usage: upload_bench [FILES] [KIB]\n");
    return 2;
  }
  char prefix[] = "/tmp/upload_bench.XXXXXX";
  if (::mkdtemp(prefix) == nullptr) return 1;
  ::setenv("WINPORT_PREFIX", prefix, 1);
  const fs::path store = fs::path(prefix) / "hr-store";
  const fs::path server = fs::canonical("/proc/self/exe").parent_path() / "hr-server";

  // hr-server, its first line read through a pipe, the rest thrown away.
  int out[2];
  if (::pipe(out) != 0) return 1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(server.c_str(), server.c_str(), "--port", "0", "--store", store.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* lines = ::fdopen(out[0], "r");
  char first[128] = {};
  if (std::fgets(first, sizeof first, lines) == nullptr) {
    std::fprintf(stderr, "upload_bench: hr-server did not start (%s)\n", server.c_str());
    return 1;
  }
  const char* colon = std::strrchr(first, ':');
  const DWORD port = colon != nullptr ? static_cast<DWORD>(std::atoi(colon + 1)) : 0;
  // Keep reading its log so that it never blocks on a full pipe.
  std::thread([lines] {
    char sink[512];
    while (std::fgets(sink, sizeof sink, lines) != nullptr) {
    }
  }).detach();

  {
    HKEY key = nullptr;
    DWORD disposition = 0;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &key, &disposition);
    const char* main = "c:\\Bench";
    RegSetValueExA(key, "MainDirectory", 0, REG_SZ, reinterpret_cast<const BYTE*>(main),
                   static_cast<DWORD>(std::strlen(main) + 1));
    RegCloseKey(key);
  }
  const char* address = "127.0.0.1";
  SetValue("HRServerIPAddress", REG_SZ, address, static_cast<DWORD>(std::strlen(address) + 1));
  SetValue("HRServerPort", REG_DWORD, &port, sizeof port);
  const DWORD unit = CReports::kDefaultTxUnit;
  SetValue("MaxTxUnit", REG_DWORD, &unit, sizeof unit);

  CreateDirectoryA("c:\\Bench", nullptr);
  CreateDirectoryA("c:\\Bench\\Vitalis", nullptr);
  const fs::path dir = winport::HostPath("c:\\Bench\\Vitalis");
  std::string content;
  for (int i = 0; content.size() < static_cast<std::size_t>(kib) * 1024; ++i)
    content += "Key" + std::to_string(i) + "=" + std::to_string(i * 7) + "\r\n";
  content.resize(static_cast<std::size_t>(kib) * 1024);
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "HR2026%06d.ini", i);
    std::ofstream(dir / name, std::ios::binary) << content;
  }

  // The run's first step alone: ordering the files by creation time.
  double ordering = 0;
  {
    const auto begin = std::chrono::steady_clock::now();
    CFileTx bag(10);
    std::vector<std::string> names;
    for (int i = 0; i < files; ++i) {
      char name[MAX_PATH];
      std::snprintf(name, sizeof name, "c:\\Bench\\Vitalis\\HR2026%06d.ini", i);
      names.push_back(name);
    }
    for (auto& name : names) bag.Put(name.data());
    ordering = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    while (bag.Get() != nullptr) {
    }
  }

  CReportStore reportStore;
  reportStore.InitFromRegistry();
  reportStore.SetEnableType(FALSE, FALSE, TRUE);
  reportStore.GetNewININame();  // a current file that does not exist: only the others go
  CReports reports(&reportStore);
  reports.InitVesdd(nullptr, 0);
  reports.InitFromRegistry();

  // What one 5 ms poll for the shutdown event costs on this machine now.
  double poll = 0;
  {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) WaitForSingleObject(event, 5);
    poll = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() / 200;
    CloseHandle(event);
  }

  const auto start = std::chrono::steady_clock::now();
  if (!reports.Start()) {
    std::fprintf(stderr, "upload_bench: the run did not start\n");
    return 1;
  }
  WaitForSingleObject(reports.GetThreadHandle(), INFINITE);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  int left = 0;
  for (auto& entry : fs::directory_iterator(dir))
    if (entry.path().filename().string().rfind("HR", 0) == 0) ++left;
  int stored = 0;
  for (auto& entry : fs::recursive_directory_iterator(store))
    if (entry.is_regular_file() && entry.path().parent_path().filename() != ".incoming") ++stored;

  const long bytes = static_cast<long>(kib) * 1024;
  const long packetsPerFile = (bytes + unit - 1) / unit;
  const long packets = packetsPerFile * files;
  const double bound = packets * 0.005;
  std::printf("upload_bench: %d files of %d KiB, %ld packets of at most %u bytes\n", files, kib,
              packets, static_cast<unsigned>(unit));
  std::printf("  wall time            %.3f s\n", wall);
  std::printf("  files per second     %.1f\n", files / wall);
  std::printf("  of which ordering    %.3f s (the files by creation time, measured apart)\n",
              ordering);
  std::printf("  bound (5 ms/packet)  %.3f s  = %.1f files per second at best\n", bound,
              files / bound);
  std::printf("  share of the bound   %.1f %%  (target: at least 90 %%)\n", 100.0 * bound / wall);
  std::printf("  one 5 ms poll here   %.3f ms measured: %.1f %% of the wall time is polling\n",
              poll * 1000, 100.0 * packets * poll / wall);
  std::printf("  stored by hr-server  %d, left in the report directory %d\n", stored, left);

  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  std::error_code ec;
  fs::remove_all(prefix, ec);
  return stored == files && left == 0 ? 0 : 1;
}
