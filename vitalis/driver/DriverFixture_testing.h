// Test support for the driver statistics test, the tuner and the tuning thread: a report store
// on a fixed clock, the simulated receiver behind a loaded driver interface, and the registry
// values these parts read.
#pragma once

#include <gtest/gtest.h>
#include <winport/registry.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/Registry.h"
#include "core/Win.h"
#include "diag/Diagnostics.h"
#include "driver/SimControl_testing.h"
#include "driver/TuneAdapter.h"
#include "driver/VESDDInterface.h"
#include "stats/StoreFixture_testing.h"
#include "testing/Registry_testing.h"

class DriverTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    // Tests of one process share a prefix: every test starts as passed.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink\\Diagnostics\\DRVT");
    CDiagnostics::SetAllTestStatus(0);
    m_pSim = std::make_unique<SimControl>();
    // Counters move only when a test moves them.
    for (const char* rate : {"crc_errors_rate", "reset_count_rate", "low_on_buffers_rate",
                             "bytes_received_rate", "signal_wander"})
      m_pSim->Set(rate, 0);
    ASSERT_TRUE(m_Vesdd.Load());
    ASSERT_TRUE(m_Vesdd.OpenChannel(1, &m_dwChannel));
  }
  void TearDown() override { m_Vesdd.Unload(); }

  SimControl& Sim() { return *m_pSim; }

  static bool GetText(const std::string& path, const char* name, std::string* text) {
    return RegReadText(HKEY_LOCAL_MACHINE, path.c_str(), name, text);
  }
  static DWORD Status(DWORD id) {
    DWORD status = 0xDEAD;
    CDiagnostics::GetTestStatus(id, &status);
    return status;
  }

  // Parameter set `index` with the frequency and time-out given; the other values derive from
  // the index so that a set written to the Winvesdd key can be recognised.
  static constexpr const char kAcqKey[] =
      "SOFTWARE\\Tessaline\\Orbilink\\ServiceInformation\\Acquisition";
  static void SetParamSet(DWORD index, DWORD freq, DWORD timeout = 1) {
    char path[200];
    std::snprintf(path, sizeof path, "%s\\Param%03lu", kAcqKey, static_cast<unsigned long>(index));
    const std::pair<const char*, DWORD> values[] = {
        {"VESDD_RX_FREQ", freq}, {"FramingMode", 1},
        {"ModulationType", 2},   {"ReceiveSymbolRate", 20000 + index},
        {"ScramblerMode", 3},    {"LNBControl", 4},
        {"ViterbiMode", 5},      {"BERTune", 6},
        {"Timeout", timeout},    {"FilterRolloff", 7}};
    for (const auto& [name, value] : values) vitalis_testing::SetDword(path, name, value);
  }
  static void SetNumParms(DWORD count) { vitalis_testing::SetDword(kAcqKey, "NumParms", count); }

  // The tuning settings every tuner test starts from: no parameter sets, the Winvesdd frequency
  // 11000 and a good signal.
  void ResetTuning() {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kServiceInformationKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kWinvesddKey);
    vitalis_testing::SetText(kWinvesddKey, "VESDD_RX_FREQ", "11000");
    Sim().Set("signal_level", 90);
  }

  CVESDDInterface m_Vesdd;
  DWORD m_dwChannel = 0;
  std::unique_ptr<SimControl> m_pSim;
};
