#include "driver/TuneAdapter.h"

#include <vesdd32.h>
#include <winport/registry.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/Registry.h"
#include "core/TraceLog.h"
#include "diag/Diagnostics.h"
#include "diag/TestTable.h"
#include "driver/DriverState.h"
#include "driver/VESDDInterface.h"

namespace {

constexpr DWORD kDefaultTimeoutSeconds = 15;
// The longest period a thread timer takes, in whole seconds.
constexpr DWORD kMaxTimeoutSeconds = 0x7FFFFFFF / 1000;
// "VESDD_RX_FREQ" is read back into a buffer of this size.
constexpr DWORD kFreqBufferLen = 18;

// The acquisition state's name in the tuning trace lines; the tuned check has spellings of
// its own for two of them.
const char* StateName(DWORD state, const char* reacqLost = "REACQLOST",
                      const char* unknown = "UnKnown") {
  switch (state) {
    case START:
      return "START";
    case GOOD:
      return "GOOD";
    case ACQLOST:
      return "ACQLOST";
    case REACQLOST:
      return reacqLost;
    default:
      return unknown;
  }
}
const char* CheckStateName(DWORD state) {
  return StateName(state, "ACQRELOST", "Unknown");
}

// A parameter set's values in the order they are read from its Param key and written to the
// Winvesdd key; "Timeout" is never handed to the driver.
struct WinvesddField {
  const char* name;
  DWORD ACQ_PARMS::*field;
};
constexpr WinvesddField kParamFields[] = {
    {"VESDD_RX_FREQ", &ACQ_PARMS::dwRxFreq},
    {"FramingMode", &ACQ_PARMS::dwFramingMode},
    {"ModulationType", &ACQ_PARMS::dwModulationType},
    {"ReceiveSymbolRate", &ACQ_PARMS::dwReceiveSymbolRate},
    {"ScramblerMode", &ACQ_PARMS::dwScramblerMode},
    {"LNBControl", &ACQ_PARMS::dwLNBControl},
    {"ViterbiMode", &ACQ_PARMS::dwViterbiMode},
    {"BERTune", &ACQ_PARMS::dwBERTune},
    {"Timeout", &ACQ_PARMS::dwTimeout},
    {"FilterRolloff", &ACQ_PARMS::dwFilterRolloff},
};

// Holds the tuner's lock for one scope.
class CTunerLock {
 public:
  explicit CTunerLock(CRITICAL_SECTION* section) : m_pSection(section) {
    EnterCriticalSection(m_pSection);
  }
  ~CTunerLock() { LeaveCriticalSection(m_pSection); }
  CTunerLock(const CTunerLock&) = delete;
  CTunerLock& operator=(const CTunerLock&) = delete;

 private:
  CRITICAL_SECTION* m_pSection;
};

}  // namespace

CTuneAdapter::CTuneAdapter()
    : m_pVesdd(nullptr),
      m_pOwner(nullptr),
      m_Bag(10),
      m_dwNumParms(0),
      m_dwNextIndex(1),
      m_CurrentParms{},
      m_AcqState(START),
      m_dwChannel(0),
      m_bTuned(FALSE),
      m_bFirstTime(TRUE),
      m_dwFrequency(0),
      m_nBagPosition(0),
      m_bInPass(false) {
  InitializeCriticalSection(&m_csLock);
  InitializeAcqParams();
}

CTuneAdapter::~CTuneAdapter() {
  SetSignalTestFailure(0);
  DeleteCriticalSection(&m_csLock);
  CleanOutBag();
}

void CTuneAdapter::InitializeAcqParams() {
  std::memset(&m_CurrentParms, 0xFF, sizeof m_CurrentParms);
}

void CTuneAdapter::Init(CDriverState* owner) {
  LogInfoF("CTuneAdapter::Init");
  InitializeAcqParams();
  if (owner != nullptr) {
    m_pOwner = owner;
  } else {
    m_dwNextIndex = 1;
    m_dwNumParms = 0;
    m_bFirstTime = TRUE;
  }
  InitFromRegistry();
}

void CTuneAdapter::InitFromRegistry() {
  if (!ReadNumParms()) {
    LogInfoF(
        "CTuneAdapter::InitFromRegistry - could not read number of parameters key , using default "
        "= %ld",
        static_cast<long>(m_dwNumParms));
    return;
  }
  int count = ReadNextSetInBag();
  if (count > 0) {
    LogInfoF("CTuneAdapter::InitFromRegistry - %d sets were put in the bag", count);
  } else {
    LogInfoF("CTuneAdapter::InitFromRegistry - no more sets are available for reading");
  }
}

BOOL CTuneAdapter::ReadNumParms() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAcquisitionKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return FALSE;
  DWORD value = 0;
  bool read = RegReadDword(key, "NumParms", &value);
  RegCloseKey(key);
  if (!read) return FALSE;
  m_dwNumParms = value;
  LogInfoF("CTuneAdapter::ReadNumParms - NumParms = %lu", static_cast<unsigned long>(value));
  return TRUE;
}

void CTuneAdapter::BeginPass() {
  EndPass();
  m_Bag.BeginIteration();
  m_bInPass = true;
  m_nBagPosition = 0;
}

void CTuneAdapter::EndPass() {
  if (!m_bInPass) return;
  m_Bag.EndIteration();
  m_bInPass = false;
}

void CTuneAdapter::CleanOutBag() {
  // A pass still open is ended here: its iteration is the one this empties.
  EndPass();
  m_Bag.BeginIteration();
  while (void* item = m_Bag.Get()) delete static_cast<ACQ_PARMS*>(item);
  m_Bag.EndIteration();
  m_nBagPosition = 0;
}

int CTuneAdapter::ReadNextSetInBag() {
  CleanOutBag();
  m_bFirstTime = TRUE;
  if (m_dwNumParms <= m_dwNextIndex) {
    LogInfoF(
        " CTuneAdapter::ReadNextSetInBag - all parameters have already been read. - no more "
        "parameters");
    return 0;
  }
  int count = 0;
  DWORD last = m_dwNextIndex + (MAX_COUNT_IN_BAG - 1);
  if (last > m_dwNumParms) last = m_dwNumParms;
  while (m_dwNextIndex <= last) {
    char keyName[300];
    std::snprintf(keyName, sizeof keyName, "%s\\%s\\%s%03lu", kServiceInformationKey, "Acquisition",
                  "Param", static_cast<unsigned long>(m_dwNextIndex));
    ACQ_PARMS set;
    if (ReadParms(&set, keyName)) {
      auto* item = new (std::nothrow) ACQ_PARMS(set);
      if (item == nullptr) {
        LogInfoF("FATAL ERROR -\tMemeory allocation error while putting %s", keyName);
        break;
      }
      m_Bag.Put(item);
      ++count;
      ++m_dwNextIndex;
    } else {
      LogErrorF(
          "ERROR: CTuneAdapter::ReadNextSetInBag: Could not read parms from the registry for %s",
          keyName);
      // The set is skipped; when the registry holds more, the batch takes one more in its place.
      if (m_dwNumParms >= last + 1) ++last;
      ++m_dwNextIndex;
    }
  }
  LogInfoF(
      "CTuneAdapter::ReadNextSetInBag - %d sets put in the bag, next index = %lu, number of sets "
      "= %lu",
      count, static_cast<unsigned long>(m_dwNextIndex), static_cast<unsigned long>(m_dwNumParms));
  return count;
}

BOOL CTuneAdapter::ReadParms(ACQ_PARMS* set, const char* keyName) {
  if (keyName == nullptr) {
    LogErrorF("CDriverState::ReadParms : KeyName is NULL ");
    return FALSE;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    LogInfoF("CDriverState::ReadParms : could not open %s", keyName);
    return FALSE;
  }
  ACQ_PARMS read;
  std::memset(&read, 0xFF, sizeof read);
  bool all = true;
  for (const WinvesddField& f : kParamFields) {
    if (!RegReadDword(key, f.name, &(read.*f.field))) {
      LogInfoF("CDriverState::ReadParms : could not read %s of %s", f.name, keyName);
      all = false;
      break;
    }
  }
  RegCloseKey(key);
  if (!all) return FALSE;
  *set = read;
  LogInfoF("CDriverState::ReadParms : read next set successfully");
  return TRUE;
}

BOOL CTuneAdapter::GetAcqParms(ACQ_PARMS* set) {
  for (;;) {
    if (m_dwNumParms == 0) {
      LogInfoF("CTuneAdapter::GetAcqParms- no parameters in the registry");
      return FALSE;
    }
    if (m_bFirstTime) {
      BeginPass();
      m_bFirstTime = FALSE;
    }
    int count = m_Bag.GetCount();
    if (count > m_nBagPosition) {
      void* item = m_Bag.Next();
      if (item == nullptr) {
        LogErrorF(" bag is empty - fatal error");
        return FALSE;
      }
      ++m_nBagPosition;
      std::memset(set, 0xFF, sizeof *set);
      std::memcpy(set, item, sizeof *set);
      return TRUE;
    }
    if (count < MAX_COUNT_IN_BAG) {
      if (count != m_nBagPosition) {
        LogErrorF(" currIndex cannot be greater than count - FATAL");
      } else {
        LogInfoF(
            "we have no more elements , the bag is all checked and the registry is all read.- "
            "retunr FALSE to indicate no more");
      }
      return FALSE;
    }
    if (count > MAX_COUNT_IN_BAG) {
      LogErrorF("FATAL - count cannot be greater than MAX_COUNT_IN_BAG");
      return FALSE;
    }
    if (count != m_nBagPosition) {
      LogErrorF(" currIndex cannot be greater than count - FATAL");
      return FALSE;
    }
    LogInfoF("we need to populate the bag again");
    EndPass();
    if (ReadNextSetInBag() <= 0) {
      LogInfoF("CTuneAdapter::GetAcqParms - no more sets are available for reading");
      return FALSE;
    }
  }
}

BOOL CTuneAdapter::GetNextAcqParamSet() {
  InitializeAcqParams();
  BOOL found = GetAcqParms(&m_CurrentParms);
  if (found) {
    LogInfoF("CTuneAdapter::GetNextAcqParamSet - next set found, freq = %lu",
             static_cast<unsigned long>(m_CurrentParms.dwRxFreq));
  } else {
    LogInfoF("CTuneAdapter::GetNextAcqParamSet - no more parameter sets");
  }
  return found;
}

void CTuneAdapter::TuneAdapter() {
  LogInfoF("CTuneAdapter::TuneAdapter");
  m_bTuned = FALSE;
  LogInfoF(" CTuneAdapter::TuneAdapter - value of AcqState = %s", StateName(m_AcqState));
  switch (m_AcqState) {
    case START:
      TuneAdapterWithAcqParm(TRUE);
      break;
    case GOOD:
      m_AcqState = ACQLOST;
      TuneAdapterWithAcqParm(FALSE);
      break;
    case ACQLOST:
      TuneAdapterWithAcqParm(FALSE);
      break;
    case REACQLOST:
      if (GetNextAcqParamSet()) {
        TuneAdapterWithAcqParm(FALSE);
      } else {
        Init(nullptr);
        TuneAdapterWithAcqParm(TRUE);
        SetSignalTestFailure(SIGNAL_TEST_FAILED);
        if (m_pOwner != nullptr) m_pOwner->SignalTestFailure(TRUE);
      }
      break;
    default:
      LogErrorF("CTuneAdapter::TuneAdapter - unknown acq state");
      break;
  }
}

void CTuneAdapter::TuneAdapterWithAcqParm(BOOL retune) {
  if (!retune) {
    LogInfoF("Writing Acquisiton parms to the regsitry bRetune == FALSE");
    WriteWinVesddValues();
  } else {
    LogInfoF("Not writing Acquisiton parms to the regsitry bRetune == TRUE");
  }
  SetAcqTimerTimeout();
  if (!ReadFreq()) {
    LogInfoF("CTuneAdapter::TuneAdapterWithAcqParm - GetSatelliteFreq FAILED");
    return;
  }
  LogInfoF("CTuneAdapter::TuneAdapterWithAcqParm -  Calling SetReceiveFrequency with sat_freq = %d",
           static_cast<int>(m_dwFrequency));
  if (m_pVesdd == nullptr) {
    LogInfoF("CTuneAdapter::TuneAdapterWithAcqParm - m_pVesdd == NULL");
    return;
  }
  if (m_pVesdd->SetReceiveFreq(m_dwChannel, m_dwFrequency)) {
    LogInfoF("CTuneAdapter::TuneAdapterWithAcqParm - SetReceiveFreq returned TRUE");
  } else {
    LogInfoF("CTuneAdapter::TuneAdapterWithAcqParm - SetReceiveFreq returned FALSE");
  }
}

void CTuneAdapter::SetAcqTimerTimeout() {
  if (m_CurrentParms.dwTimeout == 0 || m_CurrentParms.dwTimeout == ACQ_PARM_NOT_SET)
    m_CurrentParms.dwTimeout = kDefaultTimeoutSeconds;
}

BOOL CTuneAdapter::WriteWinVesddValues() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinvesddKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
    LogErrorF("CTuneAdapter::WriteWinVesddValues - could not open %s", kWinvesddKey);
    return FALSE;
  }
  BOOL all = TRUE;
  for (const WinvesddField& f : kParamFields) {
    DWORD value = m_CurrentParms.*f.field;
    if (value == ACQ_PARM_NOT_SET || f.field == &ACQ_PARMS::dwTimeout) continue;
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
    if (RegSetValueExA(key, f.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(n + 1)) != ERROR_SUCCESS) {
      LogErrorF("CTuneAdapter::WriteWinVesddValues - could not write %s", f.name);
      all = FALSE;
    }
  }
  RegCloseKey(key);
  return all;
}

BOOL CTuneAdapter::ReadFreq() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinvesddKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    LogInfoF("CTuneAdapter::ReadParms - Unable to read %s registry value", "VESDD_RX_FREQ");
    return FALSE;
  }
  // One byte more than the registry may fill: a value that fills the buffer without its zero
  // still ends inside it.
  char buffer[kFreqBufferLen + 1] = {};
  DWORD size = kFreqBufferLen;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(key, "VESDD_RX_FREQ", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                             &size);
  RegCloseKey(key);
  if (rc == ERROR_MORE_DATA) {
    LogInfoF("CTuneAdapter::ReadParms - Unable to read %s registry value. required more data space",
             "VESDD_RX_FREQ");
    return FALSE;
  }
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    LogInfoF("CTuneAdapter::ReadParms - Unable to read %s registry value", "VESDD_RX_FREQ");
    return FALSE;
  }
  buffer[kFreqBufferLen] = '\0';
  m_dwFrequency = static_cast<DWORD>(std::atol(buffer));
  LogInfoF("CTuneAdapter::ReadParms - freq read = %lu ", static_cast<unsigned long>(m_dwFrequency));
  return TRUE;
}

DWORD CTuneAdapter::GetAcqTimeoutValue() {
  DWORD seconds = m_CurrentParms.dwTimeout;
  if (seconds == 0 || seconds == ACQ_PARM_NOT_SET) {
    LogInfoF(
        "CTuneAdapter::GetAcqTimeoutValue -Thetimeout value for the current set is 0 - assuming "
        "default");
    seconds = kDefaultTimeoutSeconds;
  } else if (seconds > kMaxTimeoutSeconds) {
    // Longer than any timer runs: the longest one is taken rather than a wrapped product.
    seconds = kMaxTimeoutSeconds;
  }
  return seconds * 1000;
}

DWORD CTuneAdapter::GetSatelliteStatus() {
  DWORD level = SS_BAD;
  bool haveStrength = false;
  WORD strength = 0, low = 0, high = 0;
  if (m_pVesdd == nullptr) {
    LogInfoF("CTuneAdapter::GetSatelliteStatus - VESDD == NULL");
  } else {
    BYTE status[SATELLITE_STATUS_SIZE] = {};
    if (m_pVesdd->GetSatelliteStatus(status, m_dwChannel)) {
      std::memcpy(&low, status + SATSTAT_LOW_THRESHOLD, sizeof low);
      std::memcpy(&high, status + SATSTAT_HIGH_THRESHOLD, sizeof high);
      std::memcpy(&strength, status + SATSTAT_SIGNAL, sizeof strength);
      haveStrength = true;
    } else {
      LogInfoF("CTuneAdapter::GetSatelliteStatus - Could Not get satellite status");
    }
  }
  if (haveStrength && strength != 0) {
    if (strength >= high)
      level = SS_GOOD;
    else if (strength >= low)
      level = SS_MARGINAL;
  }
  LogInfoF("CTundeAdapter::GetSatelliteStatus - the status is %s",
           level == SS_GOOD ? "SS_GOOD" : (level == SS_MARGINAL ? "SS_MARGINAL" : "SS_BAD"));
  return level;
}

BOOL CTuneAdapter::IsAdapterTuned() {
  CTunerLock hold(&m_csLock);
  DWORD level = GetSatelliteStatus();
  LogInfoF("CTuneAdapter::IsAdapterTuned - AcqState = %s", CheckStateName(m_AcqState));
  BOOL tuned = level != SS_BAD;
  if (tuned) {
    m_AcqState = GOOD;
    if (!m_bTuned) {
      m_bTuned = TRUE;
      LogInfoF(
          "CTuneAdapter::IsAdapterTuned - previously not tuned , but now tuned - refreshing "
          "Diagapp.");
      SetSignalTestFailure(0);
      if (m_pOwner != nullptr) m_pOwner->SignalTestFailure(FALSE);
    }
  } else {
    switch (m_AcqState) {
      case START:
      case GOOD:
        m_AcqState = ACQLOST;
        break;
      case ACQLOST:
        m_AcqState = REACQLOST;
        break;
      default:
        LogErrorF(
            "CTuneAdapter:IsAdapterTuned - invalid acquisition state or no change (REACQLOST)");
        break;
    }
  }
  LogInfoF("CTuneAdapter::IsAdapterTuned - AcqState is now %s", CheckStateName(m_AcqState));
  return tuned;
}

void CTuneAdapter::SetSignalTestFailure(DWORD code) {
  BOOL result = CDiagnostics::SetTestStatus(DIAGTEST_SIGNAL, code);
  LogInfoF("CTuneAdapter::SetSignalTestFailure(%d) result = %d", static_cast<int>(code),
           static_cast<int>(result));
}
