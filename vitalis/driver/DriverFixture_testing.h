// Test support for the driver statistics test, the tuner and the tuning thread: a report store
// on a fixed clock, the simulated receiver behind a loaded driver interface, and the registry
// values these parts read.
#pragma once

#include <gtest/gtest.h>
#include <winport/registry.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/Registry.h"
#include "core/Win.h"
#include "diag/Diagnostics.h"
#include "driver/SimControl_testing.h"
#include "driver/VESDDInterface.h"
#include "stats/StoreFixture_testing.h"

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

  static HKEY CreateKey(const std::string& path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition),
              0);
    return key;
  }
  static void SetDword(const std::string& path, const char* name, DWORD value) {
    HKEY key = CreateKey(path);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
  }
  // Raw bytes, so that a test can store text without its zero or of any length.
  static void SetRaw(const std::string& path, const char* name, DWORD type, const void* data,
                     DWORD size) {
    HKEY key = CreateKey(path);
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
  }
  static void SetText(const std::string& path, const char* name, const std::string& text) {
    SetRaw(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
  }
  static bool GetText(const std::string& path, const char* name, std::string* text) {
    return RegReadText(HKEY_LOCAL_MACHINE, path.c_str(), name, text);
  }
  static bool ValueExists(const std::string& path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != 0) return false;
    DWORD size = 0;
    bool found = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) == 0;
    RegCloseKey(key);
    return found;
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
    SetDword(path, "VESDD_RX_FREQ", freq);
    SetDword(path, "FramingMode", 1);
    SetDword(path, "ModulationType", 2);
    SetDword(path, "ReceiveSymbolRate", 20000 + index);
    SetDword(path, "ScramblerMode", 3);
    SetDword(path, "LNBControl", 4);
    SetDword(path, "ViterbiMode", 5);
    SetDword(path, "BERTune", 6);
    SetDword(path, "Timeout", timeout);
    SetDword(path, "FilterRolloff", 7);
  }
  static void SetNumParms(DWORD count) { SetDword(kAcqKey, "NumParms", count); }

  CVESDDInterface m_Vesdd;
  DWORD m_dwChannel = 0;
  std::unique_ptr<SimControl> m_pSim;
};
