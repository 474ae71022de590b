// Test support for the report store: its state in reach, the module's registry settings and a
// data directory in the test's prefix.
#pragma once

#include <gtest/gtest.h>
#include <winport/clock.h>
#include <winport/file.h>
#include <winport/path.h>
#include <winport/registry.h>

#include <filesystem>
#include <string>

#include "core/Win.h"
#include "stats/ReportStore.h"
#include "testing.h"
#include "testing/Registry_testing.h"

class CTestStore : public CReportStore {
 public:
  using CReportStore::m_bCountsChanged;
  using CReportStore::m_csLock;
  using CReportStore::m_dwDiagGroupCounter;
  using CReportStore::m_dwFailureCounter;
  using CReportStore::m_dwMaxAge;
  using CReportStore::m_dwMaxFileSize;
  using CReportStore::m_dwMinAge;
  using CReportStore::m_dwPeriodicity;
  using CReportStore::m_dwPeriodStart;
  using CReportStore::m_dwPrevRunStart;
  using CReportStore::m_dwPrevRunStop;
  using CReportStore::m_dwReportCounter;
  using CReportStore::m_dwRunningMinutes;
  using CReportStore::m_dwRunStart;
  using CReportStore::m_dwRunStop;
  using CReportStore::m_Newscast;
  using CReportStore::m_PD;
  using CReportStore::m_Sqf;
  using CReportStore::m_szCurrentName;
  using CReportStore::m_szCurrentPath;
  using CReportStore::m_VesddBase;
  using CReportStore::m_VesddDelta;
  using CReportStore::m_VesddLatest;
  using CReportStore::m_ZnList;
  using CReportStore::m_ZnSlots;
};

class StoreTest : public ::testing::Test {
 protected:
  // A fixed moment: Sun Dec  6 04:22:00 2026 UTC.
  static constexpr std::time_t kNow = 1796530920;

  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    winport::SetNow(kNow);
    // Tests of one process share a prefix: start each from the same state.
    std::filesystem::remove_all(winport::HostPath("c:\\Orbilink"));
    std::filesystem::remove_all(winport::HostPath("c:\\Broken"));
    std::filesystem::remove_all(winport::testing::Prefix() / "receiver-sim");
    SetHealthReport("MaxFileSize", 50);
    SetHealthReport("MaxAge", 10);
    SetHealthReport("MinAge", 1);
    SetHealthReport("Periodicity", 24);
    SetMainDirectory("c:\\Orbilink");
    ASSERT_TRUE(CreateDirectoryA("c:\\Orbilink", nullptr));
    ASSERT_TRUE(CreateDirectoryA("c:\\Orbilink\\Vitalis", nullptr));
  }

  static void SetMainDirectory(const char* path) {
    vitalis_testing::SetText(vitalis_testing::kOrbilink, "MainDirectory", path);
  }
  static void SetHealthReport(const char* name, DWORD value) {
    vitalis_testing::SetDword(vitalis_testing::kHR, name, value);
  }

  // A store as the module sets it up, health reporting enabled.
  static void Prepare(CTestStore& store, BOOL siteId = FALSE, BOOL service = FALSE) {
    store.InitFromRegistry();
    store.SetEnableType(siteId, service, TRUE);
  }

  static std::string Host(const std::string& winPath) { return winport::HostPath(winPath); }
  static std::string ReportDir() { return Host("c:\\Orbilink\\Vitalis"); }
  static std::string Read(const std::string& winPath) {
    return winport::testing::ReadFile(Host(winPath));
  }
};
