// One full report record (every flag on, three dial-out slots, address lines) appended to a
// report file of 40 KiB, in a private prefix.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <winport/file.h>
#include <winport/path.h>
#include <winport/registry.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/Win.h"
#include "stats/ReportStore.h"

namespace {

class CBenchStore : public CReportStore {
 public:
  void Fill() {
    std::strcpy(m_szBaseDir, "c:\\Bench");
    std::strcpy(m_szCurrentName, "HR2026120604.ini");
    BuildReportPath(m_szCurrentPath, sizeof m_szCurrentPath, m_szCurrentName);
    m_dwReportCounter = 20;
    VESDD_STATS& d = m_VesddDelta;
    d.dwHeartBeat = 864000;
    d.dwMegaBytesReceived = 1648;
    d.dwFramesProcessed = 4320000;
    d.dwDriverOpMode = 1;
    std::strcpy(d.szSiteID, "SITE0042");
    std::strcpy(d.szSerialNumber, "A12345");
    std::strcpy(d.szDriverVersion, "4.10.2195");
    std::string address;
    for (int i = 0; i < 12; ++i)
      address += "Address 224.0.1." + std::to_string(i) + "\nPackets 100\nBytes 1048576\n";
    std::strcpy(d.szAddressStats, address.c_str());
    const char* numbers[] = {"5551001", "5551002", "5551003"};
    for (int i = 0; i < 3; ++i) {
      m_ZnSlots[i].SetPhoneNumber(numbers[i]);
      m_ZnSlots[i].dwBusy = 3 - i;
      m_ZnSlots[i].dwAttempts = 10;
    }
    m_PD.dwAttempts = 12;
    m_PD.dwSuccess = 10;
    m_PD.ullKilobytes = 40960;
    m_Newscast.dwHeadersRead = 300;
    m_Newscast.dwArticlesRead = 40;
  }
  std::string Path() const { return m_szCurrentPath; }
};

void BM_WriteFullRecordInto40KiB(benchmark::State& state) {
  CreateDirectoryA("c:\\Bench", nullptr);
  CreateDirectoryA("c:\\Bench\\Vitalis", nullptr);
  CBenchStore store;
  store.SetEnableType(TRUE, TRUE, TRUE);
  store.Fill();
  std::string host = winport::HostPath(store.Path());
  // A file of earlier records, 40 KiB long.
  std::string filler = "[Header]\r\n";
  int n = 0;
  while (filler.size() < 40 * 1024 - 40)
    filler += "HRTime" + std::to_string(100 + n++) +
              "=Sun Dec  6 04:22:00 2026,SiteID,ServiceSpecific.\r\n";
  filler.resize(40 * 1024 - 2);
  filler += "\r\n";
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(host, std::ios::binary | std::ios::trunc) << filler;
    state.ResumeTiming();
    benchmark::DoNotOptimize(store.WriteHRRecordToINI());
  }
}
BENCHMARK(BM_WriteFullRecordInto40KiB)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const char* base = std::getenv("REPORT_BENCH_DIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/report_bench.XXXXXX";
  char* dir = pattern.data();
  if (mkdtemp(dir) == nullptr) return 1;
  setenv("WINPORT_PREFIX", dir, 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
