// The proxy server test (id 6): the webcast program checks its proxy and the browsers and
// leaves its findings in "ProxyTest.ini"; here they become a proxy result.
#include <winport/handle.h>
#include <winport/process.h>
#include <winport/profile.h>
#include <winport/sync.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/TraceLog.h"
#include "diag/DiagLock.h"
#include "diag/Diagnostics.h"
#include "diag/OrbStartParam.h"

namespace {

constexpr DWORD kProxyUnexpected = 10000;

const char* ProxyResultMeaning(DWORD code) {
  switch (code) {
    case 0:
      return "Proxy server test is OK";
    case 601:
      return "Load On Startu is true, proxy server is running but browsers are not proxied";
    case 602:
      return "Load on startup is true, proxy is running but no browsers are installed";
    case 603:
      return "Load on startup is true but proxy is not running";
    case 604:
      return "Load on startup is false and proxy server is running";
    case 605:
      return "Load on startup isfalse, proxy is not running but browsers are configured";
    case 606:
      return "Profile does not exist";
    case 607:
      return "default browser doesn't exist";
    case kProxyUnexpected:
      return "some unexpected error has occured";
    default:
      return nullptr;
  }
}

// 1 for `yes`, 0 for `no`, -1 for anything else.
int Classify(const char* value, const char* yes, const char* no) {
  if (std::strcmp(value, yes) == 0) return 1;
  if (std::strcmp(value, no) == 0) return 0;
  return -1;
}

}  // namespace

CDiagnostics::ProgramRun CDiagnostics::RunOutsideProgram(const char* applicationName,
                                                         const char* commandLine, const char* who) {
  std::string line(commandLine);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(applicationName, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &info))
    return ProgramRun::kNotStarted;
  // The caller may hold the test-table lock that the primary thread's timer also takes: the
  // wait is bounded and ends at shutdown; a program still running then is left to itself.
  HANDLE handles[2] = {info.hProcess, m_hDiagShutEvent};
  const DWORD count = m_hDiagShutEvent != nullptr ? 2 : 1;
  const DWORD rc = WaitForMultipleObjects(count, handles, FALSE, m_dwOutsideProgramWaitMs);
  ProgramRun result = ProgramRun::kEnded;
  if (rc == WAIT_OBJECT_0 + 1) {
    LogErrorF("%s -> shutdown while %s runs; it is left running", who, commandLine);
    result = ProgramRun::kShutdown;
  } else if (rc != WAIT_OBJECT_0) {
    LogErrorF("%s -> %s has not ended within %lu ms; it is left running", who, commandLine,
              static_cast<unsigned long>(m_dwOutsideProgramWaitMs));
    result = ProgramRun::kTimedOut;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return result;
}

BOOL CDiagnostics::LaunchAppForPST(int mode, const char* caller, ProgramRun* run) {
  if (run != nullptr) *run = ProgramRun::kNotStarted;
  try {
    char installDir[500] = {};
    COrbStartParam startParam;
    startParam.GetInstallPath(installDir, sizeof installDir);
    char program[600];
    char commandLine[700];
    bool isTest = false;
    if (mode == 1) {
      std::snprintf(program, sizeof program, "%s\\bin\\orbnav.exe", installDir);
      std::snprintf(commandLine, sizeof commandLine, "%s /SHOWWCPROPS", program);
      LogInfoF("LaunchAppForPST -> Application to start is orbnav");
    } else if (mode == 2) {
      std::snprintf(program, sizeof program, "%s\\webpkg\\castview.exe", installDir);
      if (caller == nullptr || caller[0] == '\0') {
        std::snprintf(commandLine, sizeof commandLine, "%s /PROXYTESTCORRECTIVEACTION", program);
      } else if (std::strcmp(caller, "ProxyServerTest") == 0) {
        std::snprintf(commandLine, sizeof commandLine, "%s /PROXYSERVERTEST", program);
        isTest = true;
      } else {
        LogErrorF("LaunchAppForPST -> unknown caller %s", caller);
        return FALSE;
      }
    } else {
      LogErrorF("LaunchAppForPST -> unknown mode %d", mode);
      return FALSE;
    }
    const ProgramRun outcome = RunOutsideProgram(program, commandLine, "LaunchAppForPST");
    if (run != nullptr) *run = outcome;
    switch (outcome) {
      case ProgramRun::kNotStarted:
        LogErrorF("LaunchAppForPST -> createprocess failed");
        return FALSE;
      case ProgramRun::kEnded:
        return TRUE;
      case ProgramRun::kTimedOut:
        // Started; only the test needs the program to have finished its result file.
        return isTest ? FALSE : TRUE;
      case ProgramRun::kShutdown:
        return FALSE;
    }
  } catch (...) {
    LogErrorF("LaunchAppForPST -> exception error occurred");
  }
  return FALSE;
}

DWORD CDiagnostics::ProxyServerTest(BOOL* running) {
  DWORD result = kProxyUnexpected;
  if (running != nullptr) *running = FALSE;
  try {
    ProgramRun run = ProgramRun::kNotStarted;
    LaunchAppForPST(2, "ProxyServerTest", &run);
    // A program that is still running (or cut short by shutdown) may be half-way through its
    // result file; one that could not be started leaves the previous file, read as it is.
    if (run == ProgramRun::kTimedOut || run == ProgramRun::kShutdown) return kProxyUnexpected;

    char installDir[500] = {};
    COrbStartParam startParam;
    startParam.GetInstallPath(installDir, sizeof installDir);
    char path[600];
    std::snprintf(path, sizeof path, "%s\\webpkg\\ProxyTest.ini", installDir);
    auto read = [&path](const char* key, char* value) {
      GetPrivateProfileStringA("ProxyTest", key, "notfound", value, 500, path);
    };
    char loadOnStartUp[500], proxyServer[500], browsersInstalled[500], browsersConfig[500],
        profile[500], defBrowser[500];
    read("LoadOnStartUp", loadOnStartUp);
    read("ProxyServer", proxyServer);
    read("BrowsersInstalled", browsersInstalled);
    read("BrowsersConfig", browsersConfig);
    read("Profile", profile);
    read("Defbrowser", defBrowser);

    const int load = Classify(loadOnStartUp, "TRUE", "FALSE");
    if (load < 0 || std::strcmp(proxyServer, "notfound") == 0) return kProxyUnexpected;
    const bool isRunning = std::strcmp(proxyServer, "Running") == 0;
    if (running != nullptr) *running = isRunning ? TRUE : FALSE;
    const int installed = Classify(browsersInstalled, "installed", "notinstalled");
    const int configured = Classify(browsersConfig, "proxysettinigOK", "proxysettinigNotOK");
    const int hasProfile = Classify(profile, "EXISTS", "NOTEXISTS");
    const int hasDefBrowser = Classify(defBrowser, "EXISTS", "NOTEXISTS");

    if (load == 1) {
      if (hasDefBrowser == 0)
        result = 607;
      else if (hasProfile == 0)
        result = 606;
      else if (!isRunning)
        result = 603;
      else if (installed == 1)
        result = configured == 1 ? 0 : configured == 0 ? 601 : kProxyUnexpected;
      else if (installed == 0)
        result = 602;
      else
        result = kProxyUnexpected;
    } else {
      result = isRunning ? 604 : configured == 1 ? 0 : 605;
    }
  } catch (...) {
    LogErrorF("ProxyServerCheck - > exception error occurred");
    result = kProxyUnexpected;
  }
  return result;
}

BOOL CDiagnostics::ProxyServerCheck() {
  return ProxyServer(GetEntryPosition(DIAGTEST_PROXY));
}

BOOL CDiagnostics::ProxyServer(int /*position*/) {
  BOOL running = FALSE;
  const DWORD code = ProxyServerTest(&running);
  if (const char* meaning = ProxyResultMeaning(code))
    LogInfoF("CDiagnostics:: ProxyServer -> %s", meaning);
  else
    LogInfoF("CDiagnostics:: ProxyServer -> an unhandled proxy server error has occured : %d",
             static_cast<int>(code));
  const char* text = code == 0 ? "Successful" : "Error";
  WriteResult(DIAGTEST_PROXY, "Proxy Server", "Proxy Server", text);
  SetTestStatus(DIAGTEST_PROXY, code);
  CDiagLock hold(&m_csLock);
  if (DIAG_TEST_ENTRY* entry = Entry(DIAGTEST_PROXY)) entry->dwTestStatus = code;
  return code == 0;
}
