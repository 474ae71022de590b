// Records handled per second by the module's primary thread: health reporting enabled, trace
// level 1, records written in bursts into the real mailslot. The clock runs from the first
// record of a burst handled to the last, so the loop's idle sleep before a burst is not counted.
#include <benchmark/benchmark.h>
#include <time.h>
#include <winport/registry.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/DAKDllMain.h"
#include "core/Exports.h"
#include "core/Registry.h"
#include "core/UsabilitySlotClient.h"

namespace {

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void SetDword(const char* name, DWORD value) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                  &key, &disposition);
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  RegCloseKey(key);
}

std::vector<BYTE> Record(DWORD id, DWORD size) {
  std::vector<BYTE> bytes(size, 0);
  std::memcpy(bytes.data(), &id, 4);
  if (id == DAK_CONNSTATE) {
    DWORD state = 2;
    std::memcpy(bytes.data() + 4, &state, 4);
  } else if (id == DAK_NEWSCAST) {
    DWORD headers = 3;
    std::memcpy(bytes.data() + 24, &headers, 4);
  }
  return bytes;
}

void BM_MailslotRecordsHandled(benchmark::State& state) {
  const DWORD burst = static_cast<DWORD>(state.range(0));
  CDAKDllMain* module = GetCurrentInstance();
  if (module == nullptr) {
    state.SkipWithError("module did not start");
    return;
  }
  const std::vector<BYTE> records[2] = {Record(DAK_NEWSCAST, DAK_NEWSCAST_SIZE),
                                        Record(DAK_CONNSTATE, DAK_CONNSTATE_SIZE)};
  CUsabilitySlotClient client;
  double cpuSeconds = 0;
  for (auto _ : state) {
    DWORD base = module->MessagesHandled().Count();
    for (DWORD i = 0; i < burst; ++i) {
      const auto& r = records[i % 2];
      if (client.Write(r.data(), static_cast<DWORD>(r.size())) != 0) {
        state.SkipWithError("write failed");
        return;
      }
    }
    if (!module->MessagesHandled().WaitFor(base + 1, 10000)) {
      state.SkipWithError("no record handled");
      return;
    }
    auto first = std::chrono::steady_clock::now();
    double cpuFirst = ProcessCpuSeconds();
    if (!module->MessagesHandled().WaitFor(base + burst, 60000)) {
      state.SkipWithError("records not handled");
      return;
    }
    auto last = std::chrono::steady_clock::now();
    cpuSeconds += ProcessCpuSeconds() - cpuFirst;
    state.SetIterationTime(std::chrono::duration<double>(last - first).count());
  }
  state.SetItemsProcessed(state.iterations() * (burst - 1));
  // CPU of the whole process while the burst was handled: on a busy machine the wall-clock
  // rate says more about the neighbours than about the module.
  state.counters["records_per_cpu_second"] =
      cpuSeconds > 0 ? static_cast<double>(state.iterations()) * (burst - 1) / cpuSeconds : 0;
}
BENCHMARK(BM_MailslotRecordsHandled)
    ->Arg(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  // A prefix of our own, so that the module's registry, files and mailslot are private.
  char dir[] = "/tmp/vitalis-core-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 2;
  setenv("WINPORT_PREFIX", dir, 1);
  SetDword("HREnabled", 1);
  SetDword("TraceLevel", 1);
  SetDword("ConfigTestEnable", 0);

  benchmark::Initialize(&argc, argv);
  DWORD started = StartVitalisDLL();
  if (started != 0) std::fprintf(stderr, "StartVitalisDLL returned %u\n", started);
  benchmark::RunSpecifiedBenchmarks();
  StopVitalisDLL();
  benchmark::Shutdown();
  std::string cleanup = std::string("rm -rf ") + dir;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
