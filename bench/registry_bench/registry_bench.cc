// Warm registry reads and writes, in a throw-away prefix (WINPORT_PREFIX is set to a fresh
// temporary directory unless the caller set one).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "winport/registry.h"

using namespace winport;

namespace {

const char* kKey = "SOFTWARE\\Tessaline\\Orbilink\\HealthReport";

HKEY OpenBenchKey() {
  HKEY h = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
  DWORD v = 42;
  RegSetValueExA(h, "ReportPeriod", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
  const char text[] = "c:\\Orbilink\\Vitalis\\HR2026120604.ini";
  RegSetValueExA(h, "LastReportFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
  return h;
}

void BM_WarmReadDword(benchmark::State& state) {
  HKEY h = OpenBenchKey();
  for (auto _ : state) {
    DWORD v = 0, cb = sizeof v, type = 0;
    if (RegQueryValueExA(h, "ReportPeriod", nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb) !=
        ERROR_SUCCESS)
      state.SkipWithError("query failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
  RegCloseKey(h);
}
BENCHMARK(BM_WarmReadDword);

void BM_WarmReadString(benchmark::State& state) {
  HKEY h = OpenBenchKey();
  char buf[260];
  for (auto _ : state) {
    DWORD cb = sizeof buf;
    if (RegQueryValueExA(h, "LastReportFile", nullptr, nullptr, reinterpret_cast<BYTE*>(buf),
                         &cb) != ERROR_SUCCESS)
      state.SkipWithError("query failed");
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
  RegCloseKey(h);
}
BENCHMARK(BM_WarmReadString);

// The usual pattern of the system's code: open by path, read one value, close.
void BM_OpenReadClose(benchmark::State& state) {
  RegCloseKey(OpenBenchKey());
  for (auto _ : state) {
    HKEY h = nullptr;
    DWORD v = 0, cb = sizeof v;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &h) != ERROR_SUCCESS ||
        RegQueryValueExA(h, "ReportPeriod", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb) !=
            ERROR_SUCCESS)
      state.SkipWithError("open or query failed");
    RegCloseKey(h);
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenReadClose);

void BM_WarmWriteDword(benchmark::State& state) {
  HKEY h = OpenBenchKey();
  DWORD v = 0;
  for (auto _ : state) {
    ++v;
    if (RegSetValueExA(h, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v) !=
        ERROR_SUCCESS)
      state.SkipWithError("set failed");
  }
  state.SetItemsProcessed(state.iterations());
  RegCloseKey(h);
}
BENCHMARK(BM_WarmWriteDword);

}  // namespace

int main(int argc, char** argv) {
  std::string tmp;
  if (!getenv("WINPORT_PREFIX")) {
    char tmpl[] = "/tmp/registry-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    tmp = tmpl;
    setenv("WINPORT_PREFIX", tmp.c_str(), 1);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!tmp.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tmp, ec);
  }
  return 0;
}
