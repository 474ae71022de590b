// Diagnostics worker: the table of configuration tests with their registry settings and
// statuses, the scheduling of test runs (each run on a short-lived worker thread), the start-up
// configuration tests, and the texts the control exchanges with the diagnostics application.
//
// The operations are spread over several files: Diagnostics.cc (table and runs),
// FailedTests.cc (texts for the control), AdapterTests.cc and NetworkTests.cc (the tests),
// TestStatus.cc (the status store) and LaunchDiagApp.cc.
#pragma once

#include <winport/sync.h>

#include <atomic>
#include <cstddef>
#include <ctime>
#include <functional>
#include <string>

#include "core/Thread.h"
#include "core/Win.h"
#include "diag/TestTable.h"

class CReportStore;
class CVESDDInterface;

// One row of the test table (see TestTable.h for the ids and their defaults).
struct DIAG_TEST_ENTRY {
  DWORD dwId;
  char szTestName[500];
  BOOL bStartUp;
  LONG lPriority;
  BOOL bProceedOnError;
  LONG lPeriodicity;  // hours; 0 = never run by the timer
  DWORD dwLastRun;    // seconds since 1970, set when the test starts
  BOOL bRunNow;       // due in the next run
  BOOL bIncludeInINIFile;
  DWORD dwTestStatus;
};

// Adapter codes of the adapter check (test id 1).
enum : DWORD {
  ADAPTER_NONE = 101,
  ADAPTER_PCI = 102,
  ADAPTER_USB = 103,
  ADAPTER_PCI_PARTIAL = 104,
  ADAPTER_USB_PARTIAL = 105,
  ADAPTER_USB_PCI = 106,
  ADAPTER_ISA_USB = 107,
  ADAPTER_ISA_PCI = 108,
  ADAPTER_ISA_PCI_USB = 109,
  ADAPTER_ERROR_USB = 110,
  ADAPTER_ERROR_NO_HEARTBEAT = 112,
  ADAPTER_ERROR_NOT_RESPONDING = 113,
  ADAPTER_ERROR_TRELLIS = 115,
  ADAPTER_ISA = 116,
  ADAPTER_PCIDVB = 117,
  ADAPTER_USBDVB = 118,
  ADAPTER_PCI_DISABLE = 119,
  ADAPTER_USB_DISABLE = 120,
  ADAPTER_MULTI_USB_ALL_ENABLE = 122,
  ADAPTER_MULTI_USB_ALL_DISABLE = 123,
  ADAPTER_MULTI_USB_ATLEAST_ONE_ENABLE = 124,
  ADAPTER_MULTI_PCI_ALL_ENABLE = 125,
  ADAPTER_MULTI_PCI_ALL_DISABLE = 126,
  ADAPTER_MULTI_PCI_ATLEAST_ONE_ENABLE = 127,
  ADAPTER_USB_USBNDIS_DISABLE = 128,
  ADAPTER_USBNDIS_DISABLE = 129,
};

// TCP/IP codes (test id 8).
enum : DWORD {
  DTS_SUCCESS = 0,
  DTS_UDP_FAILURE = 802,
  DTS_BINDTOPORT = 803,
  DTS_ICSPROTOCOLNOTBOUND = 804,
  DTS_ICSNOTPORTMAPPED = 805,
  DTS_BOUNDIP = 806,
  DTS_NEED_AUTOSETUP = 807,
  DTS_TCP_UNKNOWNERR = 808,
};

// The text of an adapter code ("" for the detailed codes 110 to 115 and codes out of range).
const char* AdapterCodeText(DWORD code);
// The text of a TCP/IP code ("Undefined" for unknown codes).
const char* TcpIpCodeText(DWORD code);

// The host name the DNS test resolves when "DNSLookupName" is not set: the product's web host.
inline constexpr const char kDefaultDNSLookupName[] = "www.orbilink.com";

// Resolves the DNS test's host name ("DNSLookupName" of the DNSCheck subkey, else the default)
// into `host` (cut to `hostSize`); `seconds` is how long the look-up took, in whole seconds of
// the module's clock. `resolve` replaces the system resolver when given.
BOOL DNSLookupName(DWORD* seconds, char* host, DWORD hostSize,
                   const std::function<bool(const char*)>& resolve = {});

// Checks the driver's TCP/IP binding through a channel of its own; a TCP/IP code. Mode 0 (at
// start-up) reports only the connection-sharing errors.
DWORD TcpIP_Config_Check(CVESDDInterface* driver, int mode);

class CDiagnostics : public CThread {
 public:
  explicit CDiagnostics(CReportStore* store);
  ~CDiagnostics() override;
  BOOL Run() override;
  HANDLE OnShutDown() override;
  const char* GetClassName() override { return "CDiagnostics (Diag Thread)"; }

  // Settings.
  void InitVesdd(CVESDDInterface* driver);
  void SetChannelHandle(DWORD channel);
  // Mode 0: the full table from the registry; mode 1: each test's status only.
  void ReadTestParams(int mode);
  // Mode 2: only what the property page changes; other modes: each test's settings again.
  void ReadParamsOfAllTests(int mode);
  void Initialize();

  // Scheduling.
  void OnTimer();
  BOOL PerformStartupTest();
  // A DAK_CONNSTATE record, already checked by the caller to be as long as its layout.
  void ChangeConnectionState(const BYTE* message);
  BOOL PerformTest(int position);
  BOOL IsPSTToPerform();
  void SendTimeToINIFile();

  // The failed tests as "id,code;" items added to the text in `text`, whole items only, at most
  // `size` bytes with the terminator (the control's buffer holds kFailedTextSize).
  static constexpr DWORD kFailedTextSize = 100;
  void GetFailedTestIDInStr(char* text, std::size_t size = kFailedTextSize);
  // Ids 1 to 8 from such a text, in order, ended by a 0 entry; at most capacity - 1 ids.
  BOOL ParseTest(const char* text, DWORD* ids, DWORD capacity);
  // Position 1 to 8 of a test id, 0 when absent.
  int GetEntryPosition(DWORD id);

  // Adapter and driver tests.
  DWORD CheckAdaptor(char* text);
  DWORD AdaptCheck(int mode);
  DWORD ValidateAdapterTest(int mode);
  // 0 passed, else 2 adapter, 4 driver library, 6 TCP/IP; the start result of the module.
  DWORD PerformConfigurationTests();
  DWORD CheckAdapterState();
  DWORD CheckPCIConfig();
  DWORD CheckUSBConfig();
  // 0 alive, 2 not responding, 4 driver library not loaded.
  DWORD CheckHeartBeat();
  BOOL VESNDISCheck();
  BOOL MultipleRegKey_Check();

  // Network tests.
  BOOL ValidateTcpIPSettings(int mode);
  void TCPIP_Check(DWORD code);
  BOOL IpAddrCheck();
  // Puts the product's start preferences back after an address problem: "StartPref" "0"
  // under each known subkey of "ORBStart".
  virtual void SetStartPreferences();

  // DNS test (id 2): 0 passed, 201 the name did not resolve, 202 resolved too slowly.
  // `onConnect` is set for the test run when the connection comes up.
  virtual BOOL DNSCheck(int position, int onConnect);
  void DNSCheckOnConnect();

  // Proxy server test (id 6): the webcast program writes "ProxyTest.ini", classified here.
  BOOL ProxyServer(int position);
  DWORD ProxyServerTest(BOOL* running);
  // How an outside program run ended: it ended, could not be started, outlived the wait, or
  // the module shut down while it ran.
  enum class ProgramRun { kEnded, kNotStarted, kTimedOut, kShutdown };
  // Mode 1: the navigator showing the webcast properties; mode 2: the webcast program, for the
  // test (caller "ProxyServerTest") or for the repair (no caller). TRUE when it was started and
  // ended, or, except for the test, still runs when the wait gives it up. `run` tells which.
  BOOL LaunchAppForPST(int mode, const char* caller, ProgramRun* run = nullptr);

  // IRQ test (id 4), through the outside IRQ checker.
  virtual BOOL IRQTest();

  // Repairs asked for by the diagnostics application: `ids` ends with a 0 entry. Each outcome
  // goes to the report as a "DiagCorrections" message through the mailslot.
  BOOL TakeCorrectiveAction(const DWORD* ids, BOOL* reboot);
  BOOL AdapterCorrAction();
  BOOL AdapterCheckCorrectiveAction(DWORD code);
  BOOL MultipleRegCorrAction();
  BOOL TCPIPCorrAction(BOOL* reboot);
  BOOL ProxyServerCorrAction(DWORD proxyResult, BOOL* reboot);
  BOOL CorrActionForPST(DWORD proxyResult, BOOL* reboot);
  // Deletes every subkey of HKLM `enumKey` ("Enum\PCI", "Enum\USB") whose name contains
  // `pattern` (case-sensitive); FALSE when the key cannot be opened or a deletion fails.
  static BOOL RemoveDeviceEntries(const char* enumKey, const char* pattern);

  // How long the proxy and IRQ tests wait for an outside program before giving it up.
  static constexpr DWORD kOutsideProgramWaitMs = 5 * 60 * 1000;

  // Test status store, shared by every thread and object of the module: the "TestStatus" value
  // of each test's subkey. SetTestStatus signals "DIAGSTATUS_UPDATE_EVENT" when the stored value
  // changed; both return whether the registry write or read succeeded (0 for an unknown id).
  static BOOL SetTestStatus(DWORD id, DWORD status);
  static BOOL GetTestStatus(DWORD id, DWORD* status);
  static void SetAllTestStatus(DWORD status);

  // Starts the diagnostics application when `failed` is set and it is not running, and makes
  // a running one refresh ("DIAG_EVENT"). Callable from any thread.
  void LaunchDiagApp(BOOL failed);

  // How long LaunchDiagApp waits for a started application to become ready for input.
  static constexpr DWORD kDiagAppIdleWaitMs = 30000;

  DWORD GetConnectionState() const { return m_dwConnectionState; }
  BOOL IsAdapterFound() const { return m_bAdapterFound; }
  // The report store the diagnostics write their results through (also the driver test's).
  CReportStore* GetReportStore() const { return m_pReportStore; }
  // A copy of the entry of a test id (under the lock); false when absent.
  bool GetEntry(DWORD id, DIAG_TEST_ENTRY* entry);

  std::atomic<BOOL> m_bAdapterDisable;

 protected:
  // The test entry of an id (call with the lock held), or null.
  DIAG_TEST_ENTRY* Entry(DWORD id);
  void CheckIfDiagKeyExists();
  void PutDefaultValues(DWORD id);
  void ReadParamsOfTest(DWORD id, int mode);
  void PrioritizeTests();
  void GetInstallPath();
  // Marks every StartUp test due; true when any was.
  bool MarkStartupTestsDue();
  void ReadDRVTTestString(char* text, DWORD size);
  // Test id 6 of PerformTest, once IsPSTToPerform allows it.
  virtual BOOL ProxyServerCheck();
  // Runs an outside program and waits for it to end, for the diagnostics' shutdown or for
  // m_dwOutsideProgramWaitMs, whichever comes first; a program still running then is left
  // running. `applicationName` may be null (the command line's first word names the program).
  ProgramRun RunOutsideProgram(const char* applicationName, const char* commandLine,
                               const char* who);
  // The IRQ test's outcome and its text, before they are recorded.
  DWORD RunIRQCheck(std::string* text, bool* shutdown);
  // Writes a test result: to the report file when the test includes it, and always to the local
  // history file with the run number appended to the key ("key%04d").
  void WriteResult(DWORD id, const char* reportKey, const char* localKey, const char* value);
  void WriteLocalINI(const char* key, const char* value);
  // The diagnostics' time text: asctime of the current UTC time without its line feed.
  static std::string TimeText(std::time_t now);
  // Tells the report store that diagnostics results begin (TRUE) or end (FALSE).
  void DiagResultWriting(BOOL writing);
  // Shutdown of the module asked for (the diagnostics' own event or the worker thread's).
  bool IsShuttingDown();

  CReportStore* m_pReportStore;
  CVESDDInterface* m_pVesdd;
  DIAG_TEST_ENTRY m_Tests[DIAGTEST_LAST_TEST];
  DWORD m_dwTestCount;
  DWORD m_dwChannel;
  // Settings re-read on the primary thread while the tuning and worker threads use them.
  std::atomic<DWORD> m_dwDNSThreshold;
  DWORD m_dwRunCounter;
  std::atomic<BOOL> m_bAdapterFound;
  HANDLE m_hDiagShutEvent;
  CRITICAL_SECTION m_csLock;
  char m_szLocalINIPath[500];
  char m_szLocalINIBackupPath[500];
  char m_szInstallDir[500];
  DWORD m_dwPlatformType;
  DWORD m_dwAdapterType;
  std::atomic<DWORD> m_dwConnectionState;  // 0 idle, 1 connecting, 2 connected
  std::atomic<BOOL> m_bDoOnIntConnUp;
  std::atomic<DWORD> m_dwMaxAdapterError;
  DWORD m_dwDiagAppIdleWaitMs = kDiagAppIdleWaitMs;
  DWORD m_dwOutsideProgramWaitMs = kOutsideProgramWaitMs;
  // Resolves a host name for the DNS test; empty: the system resolver.
  std::function<bool(const char*)> m_fnResolveHost;

  // Consecutive failed heartbeat checks, module-wide (the primary and tuning threads share it).
  static std::atomic<DWORD> s_dwHeartBeatFailures;
};
