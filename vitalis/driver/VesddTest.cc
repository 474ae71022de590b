#include "driver/VesddTest.h"

#include <orbdiapi.h>
#include <strings.h>
#include <vesdd32.h>
#include <winport/clock.h>
#include <winport/registry.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/RecordBytes.h"
#include "core/TimeText.h"
#include "core/TraceLog.h"
#include "diag/Diagnostics.h"
#include "diag/TestTable.h"
#include "driver/VESDDInterface.h"
#include "stats/ReportStore.h"

namespace {

constexpr DWORD kValueBufferLen = 260;
constexpr DWORD kTestStrLen = 500;
constexpr DWORD kDrvtCrcFailure = 300;

// Set up when the module loads; only the statistics test reads or writes it.
VESDD_STAT g_DefaultStats[VESDD_STAT_COUNT] = {
    {"LOWONBUFFERS", 30, 10, 0, 0, 0, VESDD_ANY_TYPE, VESDD_ANY_TYPE, 0, 1, 0, 0, 0},
    {"RESET", 60, 2, 0, 0, 0, VESDD_ANY_TYPE, VESDD_ANY_TYPE, 0, 1, 0, 0, 0},
    {"CRCERROR", 15, 50, 0, 0, 0, VESDD_ANY_TYPE, VESDD_ANY_TYPE, 0, 1, 0, 0, 0},
};

// The counters a stat watches: the driver block and offset it is read from, the line traced
// when that block cannot be had, and whether a failure fails the whole test.
constexpr VesddCounter kCounters[] = {
    {"LOWONBUFFERS", true, MIPS_LOW_ON_BUFFERS,
     "CVesddTest::LowOnBuffersCheck() - MIPS stats could not be obtained ", false},
    {"RESET", false, VESNDIS_RESET_COUNT,
     "CVesddTest::ResetCheck() - VESNDIS_STATS  stats could not be obtained ", false},
    {"CRCERROR", false, VESNDIS_CRC_ERRORS,
     "CVesddTest::CRCCheck() - VESNDIS_STATS  stats could not be obtained ", true},
};

// A record as the default entry `d` starts it: never checked, passed.
void InitRecord(VESDD_STAT* stat, const VESDD_STAT& d) {
  std::memset(stat, 0, sizeof *stat);
  std::memcpy(stat->szName, d.szName, sizeof stat->szName);
  stat->dwPeriod = d.dwPeriod;
  stat->dwThreshold = d.dwThreshold;
  stat->bDependency = d.bDependency;
  stat->bEnabled = d.bEnabled;
  stat->dwPlatform = VESDD_ANY_TYPE;
  stat->dwAdapter = VESDD_ANY_TYPE;
  stat->bLastResult = TRUE;
}

// The magnitude of the difference of two 32-bit counter readings taken as a signed 32-bit
// number. Done in unsigned arithmetic, so that a difference of -2^31 gives 2^31 rather than
// overflowing.
DWORD Magnitude(DWORD now, DWORD before) {
  DWORD diff = now - before;
  return (diff & 0x80000000u) != 0 ? 0u - diff : diff;
}

}  // namespace

VESDD_STAT* GetDefaultVesddStats() {
  return g_DefaultStats;
}

CVesddTest::CVesddTest(CDiagnostics* diagnostics)
    : m_pStats(nullptr),
      m_dwStatCount(0),
      m_dwChannel(0),
      m_pVesdd(nullptr),
      m_pDiagnostics(diagnostics),
      m_dwPlatformType(VESDD_ANY_TYPE),
      m_dwAdapterType(VESDD_ANY_TYPE) {}

CVesddTest::~CVesddTest() {
  FreeStats();
}

void CVesddTest::FreeStats() {
  delete[] m_pStats;
  m_pStats = nullptr;
}

void CVesddTest::Initialize() {
  LogInfoF("CVesddTest::Initialize");
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrvtKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, "TestStr");
    RegCloseKey(key);
  } else {
    LogInfoF("CVesddTest::Initialize - The DRVT key doesnot exist");
  }
  m_dwPlatformType = ORBDI_GetPlatformType(0);
  m_dwAdapterType = ORBDI_GetAdapterType(0);
  LogInfoF("CVesddTest::Initialize - platform type = %lu, adapter type = %lu",
           static_cast<unsigned long>(m_dwPlatformType),
           static_cast<unsigned long>(m_dwAdapterType));
  InitFromRegistry();
}

void CVesddTest::InitVesdd(CVESDDInterface* vesdd, DWORD channel) {
  if (vesdd == nullptr) {
    LogErrorF("Fatal , CVesddTest::InitVesdd - Vesdd pointer passed is NUll.");
    return;
  }
  m_pVesdd = vesdd;
  m_dwChannel = channel;
}

void CVesddTest::InitFromRegistry() {
  for (VESDD_STAT& d : g_DefaultStats) d.bFound = FALSE;
  FreeStats();
  m_dwStatCount = 0;
  m_pStats = new (std::nothrow) VESDD_STAT[VESDD_STAT_COUNT];
  if (m_pStats == nullptr) {
    LogErrorF("Mem allocation error");
    return;
  }
  for (DWORD i = 0; i < VESDD_STAT_COUNT; ++i) InitRecord(&m_pStats[i], g_DefaultStats[i]);

  HKEY key = nullptr;
  DWORD valueCount = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrvtKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    LogErrorF("CVesddTest::InitFromRegistry - could not open the DRVT key");
    key = nullptr;
  } else if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              &valueCount, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    LogErrorF("CVesddTest::InitFromRegistry - could not query the number of values");
    valueCount = 0;
  }
  if (key != nullptr) ReadStatKeysFromRegistry(key, valueCount);
  CopyDefaultTest();
  if (key != nullptr) RegCloseKey(key);

  if (m_dwStatCount == 0) {
    FreeStats();
    LogInfoF("There are no Vesdd Stats to be monitored.");
  } else {
    LogInfoF("CVesddTest::InitFromRegistry - There are %d Vesdd stats to be monitored",
             static_cast<int>(m_dwStatCount));
  }
}

void CVesddTest::ReadStatKeysFromRegistry(HKEY key, DWORD valueCount) {
  for (DWORD index = 0; index < valueCount && m_dwStatCount < VESDD_STAT_COUNT; ++index) {
    char name[kValueBufferLen] = {};
    // One byte beyond what the registry may fill, so that a text stored without its zero
    // still ends inside the buffer.
    char data[kValueBufferLen + 1] = {};
    DWORD nameLen = kValueBufferLen;
    DWORD dataLen = kValueBufferLen;
    DWORD type = 0;
    LONG rc = RegEnumValueA(key, index, name, &nameLen, nullptr, &type,
                            reinterpret_cast<BYTE*>(data), &dataLen);
    if (rc == ERROR_MORE_DATA) {
      // A value too long for the buffer is no stat setting; the others are still read.
      LogErrorF("CVesddTest::ReadStatKeysFromReg - value %d is too long, skipped",
                static_cast<int>(index));
      continue;
    }
    if (rc != ERROR_SUCCESS) {
      LogErrorF("CVesddTest::ReadStatKeysFromReg - RegEnumValue returned error");
      break;
    }
    if (type != REG_SZ) continue;
    name[kValueBufferLen - 1] = '\0';
    data[dataLen < kValueBufferLen ? dataLen : kValueBufferLen] = '\0';
    int defaultIndex = IsNameInDefault(name);
    if (defaultIndex < 0) continue;
    if (PopulateStatDetails(defaultIndex, data, &m_pStats[m_dwStatCount])) ++m_dwStatCount;
  }
}

int CVesddTest::IsNameInDefault(const char* name) {
  for (DWORD i = 0; i < VESDD_STAT_COUNT; ++i)
    if (strcasecmp(name, g_DefaultStats[i].szName) == 0) return static_cast<int>(i);
  return -1;
}

long CVesddTest::GetNum(const char* token) {
  const char* eq = std::strchr(token, '=');
  if (eq == nullptr || eq[1] == '\0') {
    LogErrorF("Invalid string = %s", token);
    return -1;
  }
  const char* text = eq + 1;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < -0x7FFFFFFFL || value > 0x7FFFFFFFL) return -1;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return -1;
  return value;
}

BOOL CVesddTest::PopulateStatDetails(int index, const char* text, VESDD_STAT* stat) {
  VESDD_STAT& d = g_DefaultStats[index];
  InitRecord(stat, d);

  std::string copy(text);
  char* save = nullptr;
  for (char* token = strtok_r(copy.data(), ",", &save); token != nullptr;
       token = strtok_r(nullptr, ",", &save)) {
    long number = -1;
    if (std::strstr(token, "Enabled=") != nullptr) {
      number = GetNum(token);
      if (number != -1) stat->bEnabled = number == 1;
    } else if (std::strstr(token, "Time=") != nullptr) {
      // A negative period or threshold is no setting; the default stays.
      number = GetNum(token);
      if (number >= 0) stat->dwPeriod = static_cast<DWORD>(number);
    } else if (std::strstr(token, "Thresh=") != nullptr) {
      number = GetNum(token);
      if (number >= 0) stat->dwThreshold = static_cast<DWORD>(number);
    } else if (std::strstr(token, "Dep=") != nullptr) {
      number = GetNum(token);
      if (number != -1) stat->bDependency = number == 1;
    } else {
      LogInfoF("CVesddTest::PopulateStatDetails - The string token is not valid ");
      LogInfoF("As the token is not valid , the stat is invalid , not adding");
      return FALSE;
    }
  }

  if (!stat->bEnabled) {
    d.bFound = TRUE;
    LogInfoF("CVesddTest::PopulateStatDetails - %s is disabled, not adding", d.szName);
    return FALSE;
  }
  if ((d.dwPlatform != VESDD_ANY_TYPE && d.dwPlatform != m_dwPlatformType) ||
      (d.dwAdapter != VESDD_ANY_TYPE && d.dwAdapter != m_dwAdapterType)) {
    d.bFound = TRUE;
    LogInfoF("CVesddTest::PopulateStatDetails - %s does not apply to this platform or adapter",
             d.szName);
    return FALSE;
  }
  return TRUE;
}

void CVesddTest::CopyDefaultTest() {
  for (const VESDD_STAT& d : g_DefaultStats) {
    if (m_dwStatCount >= VESDD_STAT_COUNT) break;
    bool present = false;
    for (DWORD i = 0; i < m_dwStatCount; ++i)
      if (std::strcmp(m_pStats[i].szName, d.szName) == 0) present = true;
    if (present || !d.bEnabled || d.bFound) continue;
    if (d.dwPlatform != VESDD_ANY_TYPE && d.dwPlatform != m_dwPlatformType) continue;
    if (d.dwAdapter != VESDD_ANY_TYPE && d.dwAdapter != m_dwAdapterType) continue;
    InitRecord(&m_pStats[m_dwStatCount++], d);
  }
}

BOOL CVesddTest::IsTime(DWORD i) {
  double elapsed = std::difftime(winport::Now(), m_pStats[i].tLastCheck);
  double allowed = static_cast<double>(m_pStats[i].dwPeriod) * 60.0;
  if (elapsed > allowed) {
    LogInfoF(
        "CVesddTest::IsTime , tDiffSeconds = %f, tDiffAllowed = %f - we need to perform the test",
        elapsed, allowed);
    return TRUE;
  }
  LogInfoF("CVesddtest::IsTime - not performing the test now.");
  return FALSE;
}

BOOL CVesddTest::PerformStatsCheck() {
  if (m_pVesdd == nullptr) {
    LogErrorF("m_pVesdd is NUll - should never happen");
    return FALSE;
  }
  if (!m_pVesdd->m_bLoaded) {
    LogErrorF("Vesdd is Not Loaded - error");
    return FALSE;
  }
  if (m_dwStatCount == 0 || m_pStats == nullptr) {
    LogInfoF("CVesddTest::PerformStatsCheck - no stats being monitored");
    return TRUE;
  }

  DWORD bytes = 0;
  BYTE block[VESNDIS_STATS_SIZE] = {};
  if (m_pVesdd->GetStats(m_dwChannel, block, sizeof block)) {
    bytes = GetU32(block + VESNDIS_BYTES_RECEIVED);
  } else {
    LogErrorF("CVesddtest::PerformStatsCheck() - VESNDIS_STATS stats could not be obtained ");
  }

  BOOL result = TRUE;
  bool someFailed = false;
  for (DWORD i = 0; i < m_dwStatCount; ++i) {
    if (!IsTime(i)) continue;
    for (const VesddCounter& counter : kCounters) {
      if (std::strcmp(m_pStats[i].szName, counter.name) != 0) continue;
      if (!CounterCheck(bytes, i, counter)) {
        someFailed = true;
        if (counter.failsTest) result = FALSE;
      }
      break;
    }
  }

  if (someFailed) {
    if (!result) {
      LogInfoF("CVesddTest::PerformStatCheck - as some displable test has failed - set reg value");
      CDiagnostics::SetTestStatus(DIAGTEST_DRVT, kDrvtCrcFailure);
    }
    MakeTestString();
    for (DWORD i = 0; i < m_dwStatCount; ++i) m_pStats[i].bChecked = FALSE;
  }
  return result;
}

BOOL CVesddTest::CounterCheck(DWORD bytes, DWORD i, const VesddCounter& counter) {
  m_pStats[i].bChecked = TRUE;
  BYTE block[VESNDIS_STATS_SIZE > MIPS_STATS_SIZE ? VESNDIS_STATS_SIZE : MIPS_STATS_SIZE] = {};
  BOOL read = counter.mipsBlock ? m_pVesdd->GetMipsStats(m_dwChannel, block, MIPS_STATS_SIZE)
                                : m_pVesdd->GetStats(m_dwChannel, block, VESNDIS_STATS_SIZE);
  if (!read) {
    LogErrorF("%s", counter.unreadable);
    m_pStats[i].bLastResult = TRUE;
    return TRUE;
  }
  DWORD value = GetU32(block + counter.offset);
  BOOL passed = CheckStat(value, i, bytes);
  m_pStats[i].tLastCheck = winport::Now();
  m_pStats[i].dwLastBytes = bytes;
  m_pStats[i].dwLastValue = value;
  return passed;
}

BOOL CVesddTest::CheckStat(DWORD value, DWORD i, DWORD bytes) {
  VESDD_STAT& stat = m_pStats[i];
  DWORD diff = Magnitude(value, stat.dwLastValue);
  DWORD bytesDiff = Magnitude(bytes, stat.dwLastBytes);
  LogInfoF("Diff = %ul", static_cast<unsigned>(diff));
  LogInfoF("Bytes Diff = %ul", static_cast<unsigned>(bytesDiff));

  BOOL passed = TRUE;
  if (!stat.bDependency) {
    passed = diff <= stat.dwThreshold;
  } else if (stat.dwThreshold != 0) {
    if (bytesDiff == 0) {
      LogInfoF("The bytes diff is 0");
    } else {
      passed = diff / bytesDiff <= stat.dwThreshold;
    }
  }
  if (passed)
    LogInfoF("%s under control", stat.szName);
  else
    LogInfoF("%s crossed threshold", stat.szName);
  stat.bLastResult = passed;
  return passed;
}

void CVesddTest::MakeTestString() {
  char registryText[kTestStrLen] = {};
  std::string reportText;
  if (m_dwStatCount == 0 || m_pStats == nullptr) {
    LogInfoF("CVesddTest::MakeTestString - No Tests are monitored.");
  } else {
    for (DWORD i = 0; i < m_dwStatCount; ++i) {
      const VESDD_STAT& stat = m_pStats[i];
      if (stat.bLastResult || !stat.bChecked) continue;
      if (std::strcmp(stat.szName, "LOWONBUFFERS") == 0) {
        reportText += "DTS_LOWONBUFFERS,";
        LogInfoF(
            "CVesddtest:MakeTestString - for Low on Buffers we don't write the test name to the "
            "string");
      } else if (std::strcmp(stat.szName, "RESET") == 0) {
        reportText += "DTS_RESET,";
        LogInfoF("CVesddtest:MakeTestString - for RESETwe don't write the test name to the string");
      } else if (std::strcmp(stat.szName, "CRCERROR") == 0) {
        reportText += "DTS_CRCERROR,";
        std::size_t used = std::strlen(registryText);
        std::snprintf(registryText + used, sizeof registryText - used, "%s", "DTS_CRCERROR,");
      }
    }
  }
  if (!reportText.empty()) WriteResults_INI(reportText.c_str());

  LogInfoF("CVesddTest::MakeTestString - string = %s", registryText);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrvtKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
    LogErrorF("CVesddTest::Initialize - The DRVT key doesnot exist");
    return;
  }
  // The whole buffer goes in, zero padding included, as the readers expect.
  if (RegSetValueExA(key, "TestStr", 0, REG_SZ, reinterpret_cast<const BYTE*>(registryText),
                     sizeof registryText) == ERROR_SUCCESS) {
    LogInfoF("String written success fully in the registry");
  } else {
    LogInfoF("Couldnot write the String successfully in the registry");
  }
  RegCloseKey(key);
}

void CVesddTest::WriteResults_INI(const char* failedTests) {
  CReportStore* store = m_pDiagnostics != nullptr ? m_pDiagnostics->GetReportStore() : nullptr;
  if (store == nullptr) {
    LogInfoF("CVesddtest RStore object returned is NULL.");
    return;
  }
  std::string now = OrbAsctime(winport::UtcTime(winport::Now()));
  if (!now.empty() && now.back() == '\n') now.pop_back();
  store->WriteDiagResultToINIFile("DRVT_TEST", "time", now.c_str());
  store->WriteDiagResultToINIFile("DRVT_TEST", "FailedTest", failedTests);
  LogInfoF("CVesddtest result written to the ini file");
}

void CVesddTest::ResetVesddState() {
  if (m_dwStatCount == 0 || m_pStats == nullptr) {
    LogInfoF("No Vesdd stats to monitor");
    return;
  }
  for (DWORD i = 0; i < m_dwStatCount; ++i) {
    m_pStats[i].tLastCheck = 0;
    m_pStats[i].bLastResult = TRUE;
    m_pStats[i].dwLastBytes = 0;
    m_pStats[i].dwLastValue = 0;
    m_pStats[i].bChecked = FALSE;
  }
}
