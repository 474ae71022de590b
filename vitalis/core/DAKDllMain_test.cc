// The module started through its entry points, with its real threads, mailslot and registry
// (in the test's own prefix).
#include "core/DAKDllMain.h"

#include <gtest/gtest.h>
#include <winport/handle.h>
#include <winport/mailslot.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/Exports.h"
#include "core/TraceLog.h"
#include "core/UsabilitySlotClient.h"
#include "core/Win.h"
#include "diag/Diagnostics.h"
#include "process_testing.h"
#include "testing.h"
#include "testing/Registry_testing.h"

namespace {

using winport::testing::Process;

using namespace vitalis_testing;

constexpr DWORD kWaitMs = 10000;

std::vector<BYTE> U32s(std::initializer_list<DWORD> words, std::size_t size = 0) {
  std::vector<BYTE> bytes(std::max(size, words.size() * 4), 0);
  std::size_t at = 0;
  for (DWORD w : words) {
    std::memcpy(bytes.data() + at, &w, 4);
    at += 4;
  }
  return bytes;
}

// A DAK_GENERIC record with the given low length bytes.
std::vector<BYTE> Generic(const std::vector<std::string>& parts, std::vector<int> lengths = {}) {
  std::vector<BYTE> bytes = U32s({DAK_GENERIC});
  for (std::size_t i = 0; i < parts.size(); ++i) {
    DWORD length = i < lengths.size() ? static_cast<DWORD>(lengths[i])
                                      : static_cast<DWORD>(parts[i].size() + 1);
    bytes.resize(bytes.size() + 4);
    std::memcpy(bytes.data() + bytes.size() - 4, &length, 4);
    bytes.insert(bytes.end(), parts[i].begin(), parts[i].end());
    bytes.push_back(0);
  }
  return bytes;
}

class VitalisModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StopVitalisDLL();  // nothing left from an earlier test of this process
    ResetProductKeyAndTrace();
  }
  void TearDown() override { StopVitalisDLL(); }

  static std::string Trace() { return ModuleTrace(); }

  CDAKDllMain* StartModule() {
    EXPECT_EQ(StartVitalisDLL(), 0u);
    CDAKDllMain* module = GetCurrentInstance();
    EXPECT_NE(module, nullptr);
    return module;
  }

  // Writes the records and waits until the primary thread has taken them all.
  void Send(CDAKDllMain* module, const std::vector<std::vector<BYTE>>& records) {
    DWORD target = module->MessagesHandled().Count() + static_cast<DWORD>(records.size());
    CUsabilitySlotClient client;
    for (const auto& r : records) {
      ASSERT_EQ(client.Write(r.data(), static_cast<DWORD>(r.size())), 0u);
    }
    ASSERT_TRUE(module->MessagesHandled().WaitFor(target, kWaitMs));
  }
};

TEST_F(VitalisModuleTest, TraceSettingsComeFromTheRegistryWithSaneDefaults) {
  struct Case {
    DWORD lines;
    DWORD expected;
  } cases[] = {{9, 1000}, {10, 10}, {0, 1000}, {250, 250}};
  for (const Case& c : cases) {
    SetDword(kHR, "TraceFileLen", c.lines);
    ResetModuleTrace();
    InitModuleTrace(true);
    EXPECT_EQ(CTraceLog::GetTraceFileLen(), c.expected) << c.lines;
    EXPECT_EQ(CTraceLog::GetTraceLevel(), 8);
  }

  char name[MAX_PATH];
  SetText(kHR, "DllTraceFileName", std::string(49, 'n'));
  ResetModuleTrace();
  InitModuleTrace(true);
  CTraceLog::GetTraceFileName(name, sizeof name);
  EXPECT_EQ(std::string(name), std::string(49, 'n'));

  // Too long for the 50-byte buffer, or of the wrong type: the default name stays.
  SetText(kHR, "DllTraceFileName", std::string(50, 'n'));
  ResetModuleTrace();
  InitModuleTrace(true);
  CTraceLog::GetTraceFileName(name, sizeof name);
  EXPECT_STREQ(name, "HRDLL.log");

  SetDword(kHR, "OcxTraceFileName", 7);
  SetText(kHR, "TraceLevel", "8");
  SetText(kHR, "TraceFileLen", "20");
  ResetModuleTrace();
  InitModuleTrace(false);
  CTraceLog::GetTraceFileName(name, sizeof name);
  EXPECT_STREQ(name, "HROCX.log");
  EXPECT_EQ(CTraceLog::GetTraceLevel(), 1);
  EXPECT_EQ(CTraceLog::GetTraceFileLen(), 1000u);

  // Only the first call of a process counts.
  SetDword(kHR, "TraceLevel", 9);
  InitModuleTrace(true);
  EXPECT_EQ(CTraceLog::GetTraceLevel(), 1);
  CTraceLog::Close();
}

TEST_F(VitalisModuleTest, StopWithoutStartWritesItsLinesAndReturnsZero) {
  EXPECT_EQ(StopVitalisDLL(), 0u);
  std::string trace = Trace();
  EXPECT_TRUE(Has(trace, "Info->StopVitalisDLL called\n"));
  EXPECT_TRUE(Has(trace, "Info->StopVitalisDLL - Closing trace log operation\n"));
}

TEST_F(VitalisModuleTest, OneInstancePerProcessAndARefusedStartLeavesNoTrace) {
  StartModule();
  EXPECT_EQ(StartVitalisDLL(), 1u);
  EXPECT_NE(GetCurrentInstance(), nullptr);
  EXPECT_EQ(StopVitalisDLL(), 1u);
  EXPECT_EQ(CDAKDllMain::GetInstanceCount(), 0u);
  EXPECT_TRUE(Has(Trace(),
                  "CDAKDllMain::MakeObject() - object already exists of this class , cannot "
                  "create more than one objects"));

  // The refused start gave its count back: the module starts again in this process.
  StartModule();
  EXPECT_EQ(StopVitalisDLL(), 1u);
  EXPECT_EQ(StopVitalisDLL(), 0u);
}

TEST_F(VitalisModuleTest, SecondProcessIsRefusedThroughTheNamedMutex) {
  Process host({"vitalis-host"});
  ASSERT_EQ(host.WaitForLine("started"), "started");

  EXPECT_EQ(StartVitalisDLL(), 1u);
  EXPECT_EQ(GetCurrentInstance(), nullptr);
  EXPECT_EQ(CDAKDllMain::GetInstanceCount(), 0u);
  EXPECT_EQ(StopVitalisDLL(), 0u);

  EXPECT_EQ(host.Kill(SIGTERM), 0);

  // The mutex went with the other process: this one may run now.
  StartModule();
  EXPECT_EQ(StopVitalisDLL(), 1u);
}

TEST_F(VitalisModuleTest, SetReportingModeCreatesTheKeyAndStoresTheModeUnchanged) {
  DeleteTree(kHR);
  CreateKey(kOrbilink);
  EXPECT_EQ(SetReportingMode(-5), 1u);
  EXPECT_EQ(ReadDword(kHR, "TxMode"), 0xFFFFFFFB);
  EXPECT_EQ(SetReportingMode(2), 1u);
  EXPECT_EQ(ReadDword(kHR, "TxMode"), 2);

  // Without the product's key there is nothing to create it under.
  DeleteTree(kOrbilink);
  EXPECT_EQ(SetReportingMode(1), 0u);
  EXPECT_FALSE(KeyExists(kHR));
}

TEST_F(VitalisModuleTest, HealthReportingEnableDecisionTable) {
  struct Case {
    DWORD enableThrough;
    int hrEnabled;  // -1: absent
    int uiEnabled;  // -1: absent
    BOOL expected;
  } cases[] = {
      {1, 5, -1, TRUE},   {1, 0, 1, FALSE}, {1, -1, 1, FALSE}, {0, 1, -1, TRUE}, {0, 5, -1, FALSE},
      {0, -1, -1, FALSE}, {0, 0, 1, TRUE},  {0, 1, 0, FALSE},  {0, 1, 2, FALSE}, {3, 2, 0, TRUE},
  };
  for (const Case& c : cases) {
    SetDword(kHR, "EnableThrough", c.enableThrough);
    if (c.hrEnabled < 0) {
      DeleteValue(kHR, "HREnabled");
    } else {
      SetDword(kHR, "HREnabled", static_cast<DWORD>(c.hrEnabled));
    }
    if (c.uiEnabled < 0) {
      DeleteValue(kHR, "UI_HREnabled");
    } else {
      SetDword(kHR, "UI_HREnabled", static_cast<DWORD>(c.uiEnabled));
    }
    CDAKDllMain* module = StartModule();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->IsHREnabled(), c.expected)
        << "EnableThrough " << c.enableThrough << " HREnabled " << c.hrEnabled << " UI "
        << c.uiEnabled;
    EXPECT_EQ(StopVitalisDLL(), 1u);
  }
}

TEST_F(VitalisModuleTest, ConfigurationRecordIsDueOnlyWhenTheVersionChanged) {
  CDAKDllMain module;
  EXPECT_TRUE(module.IsConfigRecReqd());  // nothing reported yet
  SetText(kHR, "LastReportedVersion", "3.1");
  EXPECT_TRUE(module.IsConfigRecReqd());  // no product version
  SetText(kOrbilink, "Version", "3.1");
  EXPECT_FALSE(module.IsConfigRecReqd());
  SetText(kOrbilink, "Version", "3.1a");
  EXPECT_TRUE(module.IsConfigRecReqd());
  SetText(kHR, "LastReportedVersion", "V3");
  SetText(kOrbilink, "Version", "v3");
  EXPECT_TRUE(module.IsConfigRecReqd());
}

class MailslotRoutingTest : public VitalisModuleTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MailslotRoutingTest, EveryIdentifierReachesItsHandler) {
  const bool enabled = GetParam();
  SetDword(kHR, "HREnabled", enabled ? 1 : 0);
  CreateKey(kOrbilink + "\\ORBStart\\SHOWPROPS");
  CDAKDllMain* module = StartModule();
  ASSERT_NE(module, nullptr);
  ASSERT_EQ(module->IsHREnabled(), enabled ? TRUE : FALSE);

  std::vector<BYTE> pd = U32s({DAK_PD}, DAK_PD_SIZE);
  std::vector<BYTE> zn = U32s({DAK_ZNSTATUS}, DAK_ZNSTATUS_SIZE);
  std::memcpy(zn.data() + 4, "5551234", 8);
  Send(module, {U32s({DAK_RUNNINGTIME, 1000, 0}), zn, pd, U32s({DAK_NEWSCAST}, DAK_NEWSCAST_SIZE),
                U32s({DAK_CONNSTATE, 2}), Generic({"Sect", "Key", "Value"}), U32s({6}),
                U32s({DAK_DEL_WCPROPSORBSTARTKEY}), U32s({ADAPTER_STATE_CHANGED, 99})});

  std::string trace = Trace();
  for (const char* name :
       {"DAK_RUNNINGTIME", "DAK_ZNSTATUS", "DAK_PD", "DAK_NEWSCAST", "DAK_CONNSTATE", "DAK_GENERIC",
        "DAK_DEL_WCPROPSORBSTARTKEY", "ADAPTER_STATE_CHANGED"}) {
    EXPECT_TRUE(Has(trace, std::string("HandleMessage()-- ") + name + " Message Received")) << name;
  }
  for (const char* name :
       {"DAK_RUNNINGTIME - HEalth", "DAK_ZNSTATUS - HEalth", "DAK_PD - Health",
        "DAK_NEWSCAST - Health", "DAK_CONNSTATE - Health", "DAK_GENERIC - Health"}) {
    EXPECT_EQ(Has(trace, std::string("Can't process ") + name + " reporting is disabled"), !enabled)
        << name;
  }
  // The connection state reaches the diagnostics whether reporting is on or not.
  EXPECT_EQ(module->GetDiagnostics()->GetConnectionState(), 2u);
  // So does the start-parameter key removal.
  EXPECT_FALSE(KeyExists(kOrbilink + "\\ORBStart\\SHOWPROPS"));
  EXPECT_TRUE(Has(trace, "CDAKDllMain::HandleMessage() - CheckAdapterState tests successful"));
  EXPECT_TRUE(Has(trace, "CDAKDllMain::HandleMessage()-- Message not defined"));
  EXPECT_TRUE(Has(trace,
                  "Error->CDAKDllMain::MessageProcessor() :call to "
                  "CDAKDllMain::HandleMessage() failed"));
  EXPECT_EQ(StopVitalisDLL(), 1u);
}

INSTANTIATE_TEST_SUITE_P(HealthReporting, MailslotRoutingTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Enabled" : "Disabled"; });

// The module with its primary thread held at a point of its own until Release(). Started and
// stopped directly rather than through the exports, which make their own instance.
class CHeldModule : public CDAKDllMain {
 public:
  CHeldModule()
      : m_hHeld(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        m_hRelease(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~CHeldModule() override {
    // The thread calls back into this object: it ends before the object's parts go.
    Release();
    if (!m_bStopped) OnShutDown();
    StopAndJoin();
    CloseHandle(m_hHeld);
    CloseHandle(m_hRelease);
  }
  bool WaitUntilHeld(DWORD milliseconds) {
    return WaitForSingleObject(m_hHeld, milliseconds) == WAIT_OBJECT_0;
  }
  void Release() { SetEvent(m_hRelease); }
  void Stop() {
    m_bStopped = true;
    OnShutDown();
  }

 protected:
  HANDLE m_hHeld;
  HANDLE m_hRelease;
  std::atomic<bool> m_bStopped{false};
};

// Held at its first idle wait, the one it takes after finding the mailslot empty: messages
// written meanwhile are all waiting when it next looks, however the threads are scheduled.
class CIdleHeldModule : public CHeldModule {
 public:
  BOOL WaitForShutDown(DWORD milliseconds) override {
    if (milliseconds == 0 || WaitForSingleObject(m_hRelease, 0) == WAIT_OBJECT_0) {
      return CDAKDllMain::WaitForShutDown(milliseconds);
    }
    SetEvent(m_hHeld);
    HANDLE events[] = {m_hShutdownEvent, m_hRelease};
    WaitForMultipleObjects(2, events, FALSE, INFINITE);
    return CDAKDllMain::WaitForShutDown(0);
  }
};

TEST_F(VitalisModuleTest, WaitingMessagesAreTakenOnePerPass) {
  InitModuleTrace(true);
  CIdleHeldModule module;
  ASSERT_EQ(module.Init(), 0u);
  ASSERT_TRUE(module.WaitUntilHeld(kWaitMs));

  CUsabilitySlotClient client;
  for (const auto& r : {U32s({DAK_CONNSTATE, 1}), U32s({DAK_CONNSTATE, 2, 7})}) {
    ASSERT_EQ(client.Write(r.data(), static_cast<DWORD>(r.size())), 0u);
  }
  module.Release();
  ASSERT_TRUE(module.MessagesHandled().WaitFor(2, kWaitMs));

  // Both were waiting at the first look; the second is taken on the loop's next pass.
  std::string trace = Trace();
  std::size_t two = trace.find("Total No of messages now : 2, NextSize: 8:");
  ASSERT_NE(two, std::string::npos) << trace;
  std::size_t pass = trace.find("wait timed out - its not a UI update case", two);
  std::size_t one = trace.find("Total No of messages now : 1, NextSize: 12:", two);
  ASSERT_NE(one, std::string::npos) << trace;
  EXPECT_LT(pass, one);
  EXPECT_EQ(module.GetDiagnostics()->GetConnectionState(), 2u);
}

// Held between its start handshake and its starting the tuning and configuration-record
// workers: the start has returned to its caller, so a stop can come while the workers are not
// yet running.
class CStartHeldModule : public CHeldModule {
 public:
  void OnStartHandshakeDone() override {
    SetEvent(m_hHeld);
    WaitForSingleObject(m_hRelease, INFINITE);
  }
  // True once a stop has asked the primary thread to end.
  bool WaitUntilAskedToStop(DWORD milliseconds) {
    return WaitForSingleObject(m_hShutdownEvent, milliseconds) == WAIT_OBJECT_0;
  }
};

TEST_F(VitalisModuleTest, StopDuringTheStartAlsoEndsTheWorkersStartedAfterIt) {
  SetDword(kHR, "HREnabled", 1);
  SetDword(kHR, "HRConfigEnabled", 1);  // no version reported yet: the record thread runs too
  InitModuleTrace(true);
  std::chrono::steady_clock::time_point begin;
  {
    CStartHeldModule module;
    ASSERT_EQ(module.Init(), 0u);
    ASSERT_TRUE(module.WaitUntilHeld(kWaitMs));
    begin = std::chrono::steady_clock::now();

    // The stop asks every worker and then waits for the primary thread, which is let go only
    // once the stop has come that far: the workers it starts now were never asked to stop.
    std::thread stopper([&module] { module.Stop(); });
    bool asked = module.WaitUntilAskedToStop(kWaitMs);
    module.Release();
    stopper.join();
    ASSERT_TRUE(asked);

    // Both late workers ended within the stop.
    std::string trace = Trace();
    std::size_t ended = trace.find("CDAKDllMain::OnShutdown - shutdown  ended");
    ASSERT_NE(ended, std::string::npos) << trace;
    EXPECT_LT(trace.find("CDAkDllMain::Run()- started the tuning thread successfully"), ended);
    for (const char* worker : {"CDriverState (Tuning Thread)", "CConfigRec (Config Thread)"}) {
      // The record thread asked to stop between its steps ends without a record, as a failure.
      std::size_t done = std::min(
          trace.find(std::string("CThread::ThreadEntery() - Thread exiting - successful "
                                 "operation for ") +
                     worker),
          trace.find(std::string("CThread::ThreadEntry() - Thread exited due to error for ") +
                     worker));
      EXPECT_LT(done, ended) << worker;
    }
  }
  // Nor were the stop and the module's destruction kept waiting on a worker still running.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  EXPECT_FALSE(Has(Trace(), "wait on late workers timed out"));
}

TEST_F(VitalisModuleTest, MalformedRecordsAreDroppedWithoutReadingPastThem) {
  SetDword(kHR, "HREnabled", 1);
  CDAKDllMain* module = StartModule();
  ASSERT_NE(module, nullptr);
  std::vector<BYTE> shortPd = U32s({DAK_PD}, 100);
  Send(module, {shortPd, U32s({DAK_RUNNINGTIME, 5}), U32s({DAK_CONNSTATE}),
                Generic({"Sect", "Key", "Value"}, {200, 4, 6}),    // low byte 200: negative
                Generic({"Sect", "Key", "Value"}, {5, 4, 60}),     // runs past the end
                Generic({"Sect", "Key", "Value"}, {0x105, 4, 6}),  // low byte 5 only counts
                Generic({"Sect", "Key", "Value"}, {3, 4, 6}),      // "Se" has no zero
                std::vector<BYTE>{1, 0}, std::vector<BYTE>{}, U32s({DAK_CONNSTATE, 2})});
  std::string trace = Trace();
  EXPECT_TRUE(Has(trace, "DAK_PD record too short (100 of 584 bytes) - dropped"));
  EXPECT_TRUE(Has(trace, "DAK_RUNNINGTIME record too short (8 of 12 bytes) - dropped"));
  EXPECT_TRUE(Has(trace, "DAK_CONNSTATE record too short (4 of 8 bytes) - dropped"));
  std::size_t malformed = 0;
  for (std::size_t at = trace.find("DAK_GENERIC record malformed"); at != std::string::npos;
       at = trace.find("DAK_GENERIC record malformed", at + 1)) {
    ++malformed;
  }
  EXPECT_EQ(malformed, 3u);
  EXPECT_TRUE(Has(trace, "message of 2 bytes has no identifier - dropped"));
  // An empty message is taken out of the way instead of blocking the ones behind it.
  EXPECT_TRUE(Has(trace, "CDAKDllMain::MessageProcessor - empty message dropped"));
  // The loop went on to the good record behind them.
  EXPECT_EQ(module->GetDiagnostics()->GetConnectionState(), 2u);
}

TEST_F(VitalisModuleTest, PrimaryThreadThatCannotServeTheMailslotFailsTheStart) {
  // Someone else already serves the mailslot name.
  HANDLE taken = CreateMailslotA(kUsabilitySlotName, 0, 0, nullptr);
  ASSERT_NE(taken, INVALID_HANDLE_VALUE);
  EXPECT_EQ(StartVitalisDLL(), 5u);
  // The failed instance stays (holding the mutex) until the stop.
  EXPECT_NE(GetCurrentInstance(), nullptr);
  EXPECT_EQ(StartVitalisDLL(), 1u);
  EXPECT_EQ(StopVitalisDLL(), 1u);
  CloseHandle(taken);

  std::string trace = Trace();
  EXPECT_TRUE(Has(trace, "Error->CDAKDllMain::StartMailslotServer() - Error creating mailslot"));
  EXPECT_TRUE(Has(trace,
                  "CDAKDllMain::Run - call to CDAKDllMain::StartMailslotServer() failed, "
                  "abort thread"));
  EXPECT_TRUE(Has(trace,
                  "Thread initialization failed - terminating thread CDAKDllMain (Primary "
                  "Thread)"));
  // Nothing was started on behalf of the failed thread.
  EXPECT_FALSE(Has(trace, "CDAkDllMain::Run()- started the tuning thread successfully"));
  EXPECT_FALSE(Has(trace, "CDAKDllMain::Run() - Entering Message Loop"));
  EXPECT_FALSE(Has(trace, "CDAKDllmain::Init - Starting the service information thread"));
}

TEST_F(VitalisModuleTest, NotificationEventReloadsTheConfiguration) {
  SetDword(kHR, "HREnabled", 0);
  CDAKDllMain* module = StartModule();
  ASSERT_NE(module, nullptr);
  EXPECT_FALSE(module->IsHREnabled());

  SetDword(kHR, "HREnabled", 1);
  HANDLE notify = CreateEventA(nullptr, TRUE, FALSE, "SI_NotificationEvent");
  ASSERT_NE(notify, nullptr);
  SetEvent(notify);
  ASSERT_TRUE(module->ConfigUpdates().WaitFor(1, kWaitMs));
  ResetEvent(notify);  // the module never resets it itself
  CloseHandle(notify);
  EXPECT_TRUE(module->IsHREnabled());
  EXPECT_TRUE(Has(Trace(), "CSiThread::SiRx_Run "));
}

TEST_F(VitalisModuleTest, UserInterfaceEventReReadsTheEnableDecision) {
  SetDword(kHR, "HREnabled", 0);
  CDAKDllMain* module = StartModule();
  ASSERT_NE(module, nullptr);
  EXPECT_FALSE(module->IsHREnabled());

  SetDword(kHR, "UI_HREnabled", 1);
  HANDLE ui = CreateEventA(nullptr, TRUE, FALSE, "DiagUserInterfaceEvent");
  ASSERT_NE(ui, nullptr);
  SetEvent(ui);
  ASSERT_TRUE(module->UIUpdates().WaitFor(1, kWaitMs));
  EXPECT_TRUE(module->IsHREnabled());
  // The primary thread resets the event after reading.
  EXPECT_EQ(StopVitalisDLL(), 1u);
  EXPECT_EQ(WaitForSingleObject(ui, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(ui);
}

TEST_F(VitalisModuleTest, TimerDrivesTheWorkersByTheEnableFlag) {
  for (bool enabled : {false, true}) {
    SetDword(kHR, "HREnabled", enabled ? 1 : 0);
    SetDword(kHR, "TimerTick", 50);
    ResetModuleTrace();
    CDAKDllMain* module = StartModule();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->GetTimerPeriod(), 50u);
    ASSERT_TRUE(module->TimerTicks().WaitFor(1, kWaitMs));
    EXPECT_EQ(StopVitalisDLL(), 1u);
    std::string trace = Trace();
    EXPECT_TRUE(Has(trace, "CDAKDllMain::TimerProc() - Timer fired"));
    EXPECT_EQ(Has(trace, "CDAKDllMain::OnTimer- healthreporting is enabled"), enabled);
    EXPECT_EQ(Has(trace, "CDAKDllMain::OnTimer- healthreporting is disabled"), !enabled);
    EXPECT_EQ(Has(trace, "CHealthReport::OnTimer( ) called"), enabled);
    EXPECT_TRUE(Has(trace, "CReportStore::OnTimer called"));
  }
}

TEST_F(VitalisModuleTest, ShutdownSignalsTheDiagnosticsApplicationAndEndsTheThreads) {
  CDAKDllMain* module = StartModule();
  ASSERT_NE(module, nullptr);
  HANDLE shut = OpenEventA(SYNCHRONIZE, FALSE, "SHUT_EVENT");
  ASSERT_NE(shut, nullptr);
  EXPECT_EQ(WaitForSingleObject(shut, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(StopVitalisDLL(), 1u);
  auto spent = std::chrono::steady_clock::now() - begin;
  EXPECT_LT(spent, std::chrono::seconds(10));
  EXPECT_EQ(WaitForSingleObject(shut, 0), WAIT_OBJECT_0);
  CloseHandle(shut);

  std::string trace = Trace();
  for (const char* line :
       {"CDAKDllMain::OnShutDown - > Event succesfully signalled- DIAGAPP -SHUTDOWN",
        "CDAKDllMain::KillTheTimer() - KillTimer  - Timer Destroyed",
        "CDAKDllMain::OnShutDown() - calling CDriverState OnShutdown",
        "CDAKDllMain::Run() - Out of message loop",
        "CDAKDllMain::OnShutDown - out of wait on the main thread",
        "CDAKDllMain::OnShutdown - shutdown  ended", "CDAKDllMain::~CDAKDllMain()",
        "StopVitalisDLL - Closing trace log operation"}) {
    EXPECT_TRUE(Has(trace, line)) << line;
  }
  // The mailslot went with the instance.
  CUsabilitySlotClient client;
  EXPECT_NE(client.Open(), 0u);
}

}  // namespace
