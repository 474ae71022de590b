// Test support for the reports worker: the health-reporting server as a process of its own, a
// navigator window in the test's thread, report files with distinct creation times, and the
// worker's state in reach.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winport/clock.h>
#include <winport/file.h>
#include <winport/message.h>
#include <winport/path.h>
#include <winport/registry.h>
#include <winport/window.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/TraceLog.h"
#include "process_testing.h"
#include "reports/Reports.h"
#include "stats/StoreFixture_testing.h"
#include "testing.h"
#include "testing/Files_testing.h"

class CTestReports : public CReports {
 public:
  using CReports::CReports;
  using CReports::m_bHourDone;
  using CReports::m_bReportingTimeSet;
  using CReports::m_bTracing;
  using CReports::m_bWeRequested;
  using CReports::m_dwConnState;
  using CReports::m_dwMaxTxUnit;
  using CReports::m_dwServerPort;
  using CReports::m_nConnAttempts;
  using CReports::m_szBackupDir;
  using CReports::m_szServerAddress;
  using CReports::m_tReportingTime;
  using CReports::m_uReportingHour;
  using CReports::m_uTxMode;
  using CReports::parseResponseForStatus;
};

// hr-server on a free port with a store of its own.
class HrServer : public winport::testing::Process {
 public:
  explicit HrServer(const std::vector<std::string>& options,
                    std::filesystem::path store = winport::testing::MakeTempDir("hrstore"))
      : Process(Arguments(options, store)), m_store(std::move(store)) {
    std::string ready = WaitForLine("listening on ");
    std::size_t colon = ready.rfind(':');
    if (colon != std::string::npos) m_nPort = std::stoi(ready.substr(colon + 1));
  }

  int Port() const { return m_nPort; }

  // The stored files, in the order received.
  std::vector<std::filesystem::path> Stored() const {
    std::vector<std::pair<long, std::filesystem::path>> found;
    if (!std::filesystem::exists(m_store)) return {};
    for (auto& entry : std::filesystem::recursive_directory_iterator(m_store)) {
      if (!entry.is_regular_file() || entry.path().parent_path().filename() == ".incoming")
        continue;
      std::string name = entry.path().stem();
      found.emplace_back(std::stol(name.substr(name.rfind('-') + 1)), entry.path());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::filesystem::path> paths;
    for (auto& f : found) paths.push_back(f.second);
    return paths;
  }

 private:
  static std::vector<std::string> Arguments(const std::vector<std::string>& options,
                                            const std::filesystem::path& store) {
    std::vector<std::string> args = {"hr-server", "--port", "0", "--store", store.string()};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  }

  std::filesystem::path m_store;
  int m_nPort = 0;
};

// The navigator's window, in the test's thread.
class NavigatorWindow {
 public:
  NavigatorWindow()
      : m_hWnd(winport::CreateMessageWindow("Orbilink Navigator")),
        m_uCanSend(winport::RegisterWindowMessageA("WM_CanSendHealthReport")),
        m_uSent(winport::RegisterWindowMessageA("WM_HealthReportSent")) {}
  ~NavigatorWindow() { winport::DestroyWindow(m_hWnd); }

  // Messages already queued, without waiting: the WM_CanSendHealthReport count.
  int DrainRequests() {
    int requests = 0;
    winport::MSG msg;
    while (winport::PeekMessageA(&msg, m_hWnd, 0, 0, winport::PM_REMOVE)) {
      if (msg.message == m_uCanSend) ++requests;
      if (msg.message == m_uSent) m_Codes.push_back(static_cast<int>(msg.wParam));
    }
    return requests;
  }
  // Waits (up to `ms`) for the next WM_HealthReportSent; its code, or -1.
  int WaitForSent(UINT ms = 60000) {
    if (!m_Codes.empty()) {
      int code = m_Codes.front();
      m_Codes.erase(m_Codes.begin());
      return code;
    }
    UINT_PTR timer = winport::SetTimer(nullptr, 0, ms, nullptr);
    int code = -1;
    winport::MSG msg;
    while (winport::GetMessageA(&msg, nullptr, 0, 0) > 0) {
      if (msg.message == winport::WM_TIMER && msg.wParam == timer) break;
      if (msg.message == m_uSent) {
        code = static_cast<int>(msg.wParam);
        break;
      }
    }
    winport::KillTimer(nullptr, timer);
    return code;
  }

  // Moves the clock past the answer time-out until the run reports its end (the run may not
  // have sent its last packet yet when the clock is first moved); its code, or -1.
  int WaitForSentMovingClock(std::int64_t seconds) {
    for (int i = 0; i < 30; ++i) {
      winport::AdvanceClock(seconds);
      int code = WaitForSent(2000);
      if (code != -1) return code;
    }
    return -1;
  }

  winport::HWND m_hWnd;
  UINT m_uCanSend;
  UINT m_uSent;
  std::vector<int> m_Codes;
};

class ReportsTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    vitalis_testing::TraceTo(m_trace);
    // Every file made during the test is a month old by the module's clock.
    winport::SetNow(std::time(nullptr) + 40 * 86400);
    for (const char* name : {"HRServerIPAddress", "HRServerPort", "TxMode"})
      vitalis_testing::DeleteValue(vitalis_testing::kHR, name);
    Prepare(store);
    store.GetNewININame();
  }
  void TearDown() override { CTraceLog::Close(); }

  void UseServer(int port) {
    SetText("HRServerIPAddress", "127.0.0.1");
    SetHealthReport("HRServerPort", static_cast<DWORD>(port));
  }

  // A report file in the report directory, created strictly after the one before.
  std::string MakeReport(const std::string& name, const std::string& content) {
    return vitalis_testing::MakeFileAfter(ReportDir(), name, content, &m_LastCreated);
  }

  std::string Trace() { return vitalis_testing::ReadTrace(m_trace); }
  static void SetText(const char* name, const std::string& value) {
    vitalis_testing::SetText(vitalis_testing::kHR, name, value);
  }
  void Configure() {
    reports.InitVesdd(nullptr, 0);
    reports.InitFromRegistry();
  }
  // Waits for the run's thread to end.
  void WaitForRun() {
    if (reports.GetThreadHandle() != nullptr) {
      EXPECT_EQ(WaitForSingleObject(reports.GetThreadHandle(), 60000), WAIT_OBJECT_0);
    }
  }

  CTestStore store;
  NavigatorWindow navigator;
  CTestReports reports{&store};
  std::filesystem::path m_trace = winport::testing::MakeTempDir("trace") / "hrdll.log";
  FILETIME m_LastCreated{};
};
