// The driver statistics test (the DRVT test): watches up to three counters of the receive
// driver, each on its own period, and compares their growth against a threshold, absolutely or
// per byte received. Runs only on the tuning thread.
#pragma once

#include <ctime>
#include <string>

#include "core/Win.h"

class CDiagnostics;
class CVESDDInterface;

// One driver counter a stat can watch (the table is in VesddTest.cc).
struct VesddCounter {
  const char* name;
  bool mipsBlock;  // the MIPS statistics block, else VESNDIS_STATS
  DWORD offset;
  const char* unreadable;
  bool failsTest;
};

// "SOFTWARE\Tessaline\Orbilink\Diagnostics\DRVT" of HKEY_LOCAL_MACHINE.
inline constexpr const char kDrvtKey[] = "SOFTWARE\\Tessaline\\Orbilink\\Diagnostics\\DRVT";

constexpr DWORD VESDD_STAT_COUNT = 3;
constexpr DWORD VESDD_STAT_NAME_LEN = 32;
// A platform or adapter filter that matches every type.
constexpr DWORD VESDD_ANY_TYPE = 9999;

// One entry of the built-in stat table, and one monitored stat.
struct VESDD_STAT {
  char szName[VESDD_STAT_NAME_LEN];
  DWORD dwPeriod;  // minutes
  DWORD dwThreshold;
  BOOL bDependency;  // compare the growth per byte received
  BOOL bEnabled;
  BOOL bFound;  // defaults only: the registry disabled or filtered the stat out
  DWORD dwPlatform;
  DWORD dwAdapter;
  std::time_t tLastCheck;  // 0 = never checked
  BOOL bLastResult;        // 1 passed
  DWORD dwLastBytes;
  DWORD dwLastValue;
  BOOL bChecked;  // checked in this pass
};

// The module-wide default table: "LOWONBUFFERS", "RESET", "CRCERROR", all disabled.
VESDD_STAT* GetDefaultVesddStats();

class CVesddTest {
 public:
  explicit CVesddTest(CDiagnostics* diagnostics);
  ~CVesddTest();
  CVesddTest(const CVesddTest&) = delete;
  CVesddTest& operator=(const CVesddTest&) = delete;

  // Deletes "TestStr", reads the platform and adapter types, then the stat settings.
  void Initialize();
  void InitVesdd(CVESDDInterface* vesdd, DWORD channel);
  // One pass; 0 when the driver interface is unusable or the CRC check failed.
  BOOL PerformStatsCheck();
  // The adapter is unhealthy: every stat is checked again, from zero, once it recovers.
  void ResetVesddState();

  void InitFromRegistry();

  DWORD GetStatCount() const { return m_dwStatCount; }
  const VESDD_STAT* GetStat(DWORD i) const {
    return m_pStats != nullptr && i < m_dwStatCount ? &m_pStats[i] : nullptr;
  }

  // The text after a token's first "=" as a signed decimal; -1 when it is missing or not a
  // number.
  static long GetNum(const char* token);

 protected:
  void ReadStatKeysFromRegistry(HKEY key, DWORD valueCount);
  // Fills `stat` from default `index` and the value's text; whether the stat is to be monitored.
  BOOL PopulateStatDetails(int index, const char* text, VESDD_STAT* stat);
  void CopyDefaultTest();
  // The default table index of `name` (any case), -1 when it is not a stat.
  static int IsNameInDefault(const char* name);

  BOOL IsTime(DWORD i);
  // Reads the counter of stat `i` and checks it; a block the driver cannot give counts as
  // passed.
  BOOL CounterCheck(DWORD bytes, DWORD i, const VesddCounter& counter);
  BOOL CheckStat(DWORD value, DWORD i, DWORD bytes);
  void MakeTestString();
  void WriteResults_INI(const char* failedTests);

  void FreeStats();

  VESDD_STAT* m_pStats;
  DWORD m_dwStatCount;
  DWORD m_dwChannel;
  CVESDDInterface* m_pVesdd;
  CDiagnostics* m_pDiagnostics;
  DWORD m_dwPlatformType;
  DWORD m_dwAdapterType;
};
