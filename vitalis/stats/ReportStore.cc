#include "stats/ReportStore.h"

#include <orbutil.h>
#include <winport/clock.h>
#include <winport/error.h>
#include <winport/file.h>
#include <winport/handle.h>
#include <winport/profile.h>
#include <winport/registry.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/RecordBytes.h"
#include "core/Registry.h"
#include "core/TimeText.h"
#include "core/TraceLog.h"
#include "driver/VESDDInterface.h"
#include "stats/ReportText.h"

namespace {

// ctime text (with its line feed), or "Time Not Set" for times the original platform's C
// library cannot show (before the epoch in local time, or past 32 bits).
std::string CTimeText(DWORD t) {
  tzset();
  long long westOffset = static_cast<long long>(timezone);
  if (static_cast<long long>(t) < westOffset || t >= 0x80000000u) return "Time Not Set\n";
  return OrbCtime(static_cast<std::time_t>(t));
}

// The asctime text of a moment in local time, for trace lines (no line feed).
std::string TraceTime(std::time_t t) {
  std::string text = OrbCtime(t);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool ReadRegDword(HKEY key, const char* name, DWORD* value) {
  DWORD type = 0, data = 0, size = sizeof data;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
          static_cast<LONG>(ERROR_SUCCESS) ||
      type != REG_DWORD || size != sizeof data)
    return false;
  *value = data;
  return true;
}

bool ReadRegString(HKEY key, const char* name, char* buffer, DWORD size) {
  DWORD type = 0, got = size - 1;
  std::memset(buffer, 0, size);
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &got) !=
          static_cast<LONG>(ERROR_SUCCESS) ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    buffer[0] = '\0';
    return false;
  }
  buffer[size - 1] = '\0';
  return true;
}

const char* RequestReasonName(DWORD reason) {
  static const char* const kNames[] = {"SFX_NEW_FILE",   "SFX_MISSED_PACKETS", "SFX_BAD_CHECKSUM",
                                       "SFX_DISK_SPACE", "SFX_WRITE_FAILED",   "SFX_PKG_PREEMPT"};
  return reason < 6 ? kNames[reason] : "Undefined";
}

}  // namespace

CReportStore::CReportStore()
    : m_pszDefaultBinFileName("vitalis.bin"),
      m_dwReportCounter(0),
      m_dwDiagGroupCounter{0, 0, 0},
      m_dwFailureCounter(0),
      m_bDiagResultWriting(FALSE),
      m_bHREnabled(FALSE),
      m_dwMinAge(1),
      m_dwMaxAge(10),
      m_dwMaxFileSize(50),
      m_dwRunStart(0),
      m_dwRunStop(0),
      m_dwPrevRunStart(0),
      m_dwPrevRunStop(0),
      m_dwPeriodStart(0),
      m_dwRunningMinutes(0),
      m_dwPeriodicity(24),
      m_bSiteIdEnabled(FALSE),
      m_bServiceEnabled(FALSE),
      m_bMidnightCheckDone(FALSE),
      m_pVesdd(nullptr),
      m_dwChannel(0),
      m_bCountsChanged(false),
      m_tLastCheckpoint(0) {
  std::strcpy(m_szBinFileName, m_pszDefaultBinFileName);
  m_szCurrentPath[0] = '\0';
  m_szCurrentName[0] = '\0';
  std::strcpy(m_szBaseDir, "c:");
  InitializeCriticalSection(&m_csLock);
}

CReportStore::~CReportStore() {
  DeleteCriticalSection(&m_csLock);
}

BOOL CReportStore::InitFromRegistry() {
  LogInfo("CReportStore::InitFromRegistry() - reading values from registry", 0);
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kOrbilinkKey, 0, KEY_READ, &key);
  if (rc == static_cast<LONG>(ERROR_SUCCESS)) {
    LogInfo("CReportStore::InitFromRegistry -  orbilinkInstallpath read", 0);
    char path[MAX_PATH];
    if (ReadRegString(key, "MainDirectory", path, sizeof path) && path[0] != '\0') {
      std::strcpy(m_szBaseDir, path);
      LogInfoF("CReportStore::InitFromRegistry -  orbilink insatll path read = %s", m_szBaseDir);
    } else {
      LogError("CReportStore::InitFromRegistry() - Orbilink Install Path not found - ", 0);
    }
    RegCloseKey(key);
  } else {
    LogError(
        "CReportStore::InitFromRegistry(): Failed to find path of Orbilink in the registry\r\n- ",
        static_cast<DWORD>(rc));
  }

  m_dwPeriodicity = 24;
  std::strcpy(m_szBinFileName, m_pszDefaultBinFileName);
  m_dwMinAge = 1;
  m_dwMaxAge = 10;
  m_dwMaxFileSize = 50;

  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_READ, &key) ==
      static_cast<LONG>(ERROR_SUCCESS)) {
    DWORD value = 0;
    if (ReadRegDword(key, "Periodicity", &value)) m_dwPeriodicity = value;
    LogInfoF("CReportStore::InitFromRegistry - Periodicity = %lu",
             static_cast<unsigned long>(m_dwPeriodicity));
    char name[MAX_PATH];
    if (ReadRegString(key, "BinFileName", name, sizeof name) && name[0] != '\0')
      std::strcpy(m_szBinFileName, name);
    LogInfoF("CReportStore::InitFromRegistry - BinFileName = %s", m_szBinFileName);
    if (ReadRegDword(key, "MinAge", &value)) m_dwMinAge = value;
    LogInfoF("CReportStore::InitFromRegistry - MinAge = %lu",
             static_cast<unsigned long>(m_dwMinAge));
    if (ReadRegDword(key, "MaxAge", &value)) m_dwMaxAge = value;
    LogInfoF("CReportStore::InitFromRegistry - MaxAge = %lu",
             static_cast<unsigned long>(m_dwMaxAge));
    if (ReadRegDword(key, "MaxFileSize", &value)) m_dwMaxFileSize = value;
    LogInfoF("CReportStore::InitFromRegistry - MaxFileSize = %lu",
             static_cast<unsigned long>(m_dwMaxFileSize));
    RegCloseKey(key);
  }
  if (m_dwPeriodicity == 0) m_dwPeriodicity = 1;
  if (m_dwMaxAge <= m_dwMinAge) {
    LogInfo(
        "CReportstore::InitFromRegistry - incorrect values of min age and maxage from the "
        "registry - assuming default",
        0);
    m_dwMaxAge = 10;
    m_dwMinAge = 1;
  }
  return TRUE;
}

void CReportStore::SetEnableType(BOOL siteId, BOOL serviceSpecific, BOOL enabled) {
  LogInfo("CReportStore::SetEnableType -- setting the enable type", 0);
  m_bSiteIdEnabled = siteId;
  m_bServiceEnabled = serviceSpecific;
  m_bHREnabled = enabled;
}

void CReportStore::InitVesdd(CVESDDInterface* driver, DWORD channel) {
  m_pVesdd = driver;
  m_dwChannel = channel;
  if (driver == nullptr)
    LogInfo(
        "CReportStore::InitVesdd - there was an error loading vesdd dll-no vesdd stats shall be "
        "generated.",
        0);
}

BOOL CReportStore::Initialize() {
  LogInfo("CReportStore::Initialize entered ", 0);
  ReadBinData();
  if (HasNewPeriodStarted()) {
    ComputeRunMinutes(0);
    LogInfo("CReportStore::Initialize - new period started", 0);
    if (WriteHRRecordToINI()) {
      ResetPeriod();
      Checkpoint();
    }
  }
  m_dwRunStart = static_cast<DWORD>(Now());
  IsAnyReportOldEnough(2);
  return TRUE;
}

void CReportStore::OnTimer() {
  LogInfo("CReportStore::OnTimer called", 0);
  std::time_t now = Now();
  std::tm local = LocalTime(now);
  if (local.tm_hour == 0) {
    LogInfo("CReportStore::OnTimer - 12.00 pm reached", 0);
    if (!m_bMidnightCheckDone) {
      IsAnyReportOldEnough(2);
      m_bMidnightCheckDone = TRUE;
    }
  } else {
    m_bMidnightCheckDone = FALSE;
  }
  // A crash of the host must not lose the whole period's counts.
  if (m_bCountsChanged && now - m_tLastCheckpoint >= CHECKPOINT_INTERVAL) Checkpoint();
}

BOOL CReportStore::OnShutDown() {
  LogInfo("CReportStore::OnShutDown entered ", 0);
  if (m_dwRunStop == 0) m_dwRunStop = static_cast<DWORD>(Now());
  WriteBinData();
  return TRUE;
}

BOOL CReportStore::HasNewPeriodStarted() {
  LogInfo("CReportStore::HasNewPeriodStarted", 0);
  std::time_t now = Now();
  LogInfoF("the current time is %s", TraceTime(now).c_str());
  LogInfoF("the period start time was %s",
           TraceTime(static_cast<std::time_t>(m_dwPeriodStart)).c_str());
  long long elapsed = static_cast<long long>(now) - static_cast<long long>(m_dwPeriodStart);
  if (elapsed >= static_cast<long long>(m_dwPeriodicity) * 3600) {
    LogInfo("CReportStore::NewPeriod Started", 0);
    return TRUE;
  }
  LogInfo("CReportStore::Not a new Period ", 0);
  return FALSE;
}

void CReportStore::ComputeRunMinutes(int mode) {
  unsigned long long seconds = 0;
  if (m_dwPrevRunStart != 0 && m_dwPrevRunStop != 0)
    seconds = m_dwPrevRunStop > m_dwPrevRunStart ? m_dwPrevRunStop - m_dwPrevRunStart
                                                 : m_dwPrevRunStart - m_dwPrevRunStop;
  m_dwPrevRunStart = 0;
  m_dwPrevRunStop = 0;
  if (mode == 1 && m_dwRunStart != 0) {
    long long now = static_cast<long long>(Now());
    long long diff = now - static_cast<long long>(m_dwRunStart);
    seconds += static_cast<unsigned long long>(diff < 0 ? -diff : diff);
  }
  m_dwRunningMinutes = static_cast<DWORD>(seconds / 60);
}

void CReportStore::ResetPeriod() {
  m_VesddBase = m_VesddLatest;
  m_VesddLatest.Init();
  m_VesddDelta.Init();
  m_Newscast.Init();
  m_Sqf.Init();
  m_PD.Init();
  {
    CStoreLock hold(&m_csLock);
    for (auto& slot : m_ZnSlots) slot.Init();
    m_ZnList.Clear();
  }
  m_dwPrevRunStart = 0;
  m_dwPrevRunStop = 0;
  m_dwRunningMinutes = 0;
  m_dwPeriodStart = static_cast<DWORD>(Now());
}

void CReportStore::BuildReportPath(char* buffer, DWORD size, const char* name) const {
  CReportText::Copy(buffer, size, std::string(m_szBaseDir) + "\\Vitalis\\" + name);
}

void CReportStore::GetCurrentReportPath(char* buffer, DWORD size) {
  CStoreLock hold(&m_csLock);
  std::snprintf(buffer, size, "%s", m_szCurrentPath);
}

void CReportStore::GetNewININame() {
  CStoreLock hold(&m_csLock);
  m_dwReportCounter = 1;
  m_dwDiagGroupCounter[0] = m_dwDiagGroupCounter[1] = m_dwDiagGroupCounter[2] = 0;
  m_dwFailureCounter = 1;
  std::tm local = LocalTime(Now());
  // A name already taken by a file on disk (a roll-over within the hour, or a state file that
  // was lost) would mix two numberings in one file; the hour field moves on to a free name.
  std::string name;
  char path[MAX_PATH];
  for (int hour = local.tm_hour; hour < 100; ++hour) {
    name = CReportText::Format("HR%d%02d%02d%02d.ini", local.tm_year + 1900, local.tm_mon + 1,
                               local.tm_mday, hour);
    BuildReportPath(path, sizeof path, name.c_str());
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) break;
  }
  CReportText::Copy(m_szCurrentName, sizeof m_szCurrentName, name);
  BuildReportPath(m_szCurrentPath, sizeof m_szCurrentPath, m_szCurrentName);
  LogInfoF("CReportStore::GetNewININame new name obtained  = %s", m_szCurrentName);
}

void CReportStore::WriteINI(const char* section, const char* key, const char* value) {
  if (!m_bHREnabled) {
    LogInfo("CReportStore::WriteINI- health reporting is disabled , not writing record", 0);
    return;
  }
  section = section ? section : "";
  key = key ? key : "";
  value = value ? value : "";
  if (std::strlen(section) + std::strlen(key) + std::strlen(value) < 400) {
    LogInfo("CReportStore::WriteINI(LPSTR SectionName, LPSTR KeyName, LPSTR Value)", 0);
    LogInfoF("%s - %s - %s", section, key, value);
  } else {
    LogInfo("CReportStore::WriteINI - string too big to be put in tracelog file", 0);
  }
  CStoreLock hold(&m_csLock);
  if (!WritePrivateProfileStringA(section, key, value, m_szCurrentPath)) {
    LogError("CReportStore::WriteINI - failed to write", winport::GetLastError());
  }
}

void CReportStore::Lock() {
  EnterCriticalSection(&m_csLock);
}

void CReportStore::Unlock() {
  LeaveCriticalSection(&m_csLock);
}

BOOL CReportStore::SynchronizeINIFile() {
  LogInfo("CReportStore::SynchronizeINIFile ", 0);
  if (m_bDiagResultWriting) {
    LogInfo("CReportStore::SynchronizeINIFile - Diagresult is being written", 0);
    return TRUE;
  }
  CStoreLock hold(&m_csLock);
  BOOL result = TRUE;
  try {
    LogInfoF("CReportStore::SynchronizeINIFIle - checking file  = %s", m_szCurrentPath);
    HANDLE file = CreateFileA(m_szCurrentPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      LogInfo("CReportsStore::sync ini files - create file failed,", winport::GetLastError());
      return FALSE;
    }
    DWORD high = 0;
    DWORD size = GetFileSize(file, &high);
    if (size == INVALID_FILE_SIZE && winport::GetLastError() != ERROR_SUCCESS) {
      LogError("CReportsStore::Sync ini file - GEt file size failed.", winport::GetLastError());
      result = FALSE;
    } else {
      LogInfoF("CReportStore::SynchronizeINIFile - file size read = %d", static_cast<int>(size));
      unsigned long long total = static_cast<unsigned long long>(high) << 32 | size;
      if (total < static_cast<unsigned long long>(m_dwMaxFileSize) * 1024) {
        LogInfoF(
            "CReportsStore::Sync ini file - current ini file size  = %d does not exceeded size %d ",
            static_cast<int>(size), static_cast<int>(m_dwMaxFileSize * 1000));
      } else {
        GetNewININame();
        LogInfo("CReportsStore::Sync ini file - current ini file exceeded size - creating new", 0);
      }
    }
    CloseHandle(file);
  } catch (...) {
    LogError("Unhandled exception in CReportsStore::Sync ini file ", 0);
  }
  return result;
}

void CReportStore::SetDiagResultWriting(BOOL writing) {
  m_bDiagResultWriting = writing;
  if (!writing) SynchronizeINIFile();
}

void CReportStore::WriteDiagResultToINIFile(const char* section, const char* key,
                                            const char* value) {
  section = section ? section : "";
  key = key ? key : "";
  value = value ? value : "";
  LogInfoF("WriteDiagResultToINIFile.... sec=%s, Key = %s, val = %s", section, key, value);
  CStoreLock hold(&m_csLock);
  int group = 0;
  if (std::strcmp(section, "DiagCorrection") == 0)
    group = 1;
  else if (std::strcmp(section, "DIAGNOSTICS") == 0)
    group = 2;
  if (std::strcmp(key, "time") == 0) ++m_dwDiagGroupCounter[group];
  std::string numbered(16 + std::strlen(key), '\0');
  int n = std::snprintf(numbered.data(), numbered.size(), "%04lu%s",
                        static_cast<unsigned long>(m_dwDiagGroupCounter[group]), key);
  numbered.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  WriteINI(section, numbered.c_str(), value);
}

BOOL CReportStore::WriteGeneralData(const BYTE* message) {
  LogInfo("CReportStore::WriteGeneralData ", 0);
  if (message == nullptr) return FALSE;
  // Three strings, each after a 4-byte length whose low byte (signed) counts its zero.
  std::string texts[3];
  std::size_t offset = 4;
  for (auto& text : texts) {
    int length = static_cast<signed char>(message[offset]);
    offset += 4;
    if (length > 0) {
      text = CReportText::Field(message + offset, static_cast<std::size_t>(length));
      offset += static_cast<std::size_t>(length);
    }
  }
  WriteINI(CReportText::Section(texts[0]).c_str(), CReportText::Key(texts[1]).c_str(),
           CReportText::Value(texts[2]).c_str());
  SynchronizeINIFile();
  return TRUE;
}

void CReportStore::WritePDFailureRecord(const BYTE* record) {
  if (record == nullptr) return;
  CStoreLock hold(&m_csLock);
  char nnn[16];
  std::snprintf(nnn, sizeof nnn, "%03lu", static_cast<unsigned long>(m_dwFailureCounter));
  ++m_dwFailureCounter;
  const char* section = "PD_FAILURE_STATISTICS";
  auto put = [&](const char* format, const std::string& value) {
    char key[64];
    std::snprintf(key, sizeof key, format, nnn);
    WriteINI(section, key, value.c_str());
  };
  char number[32];
  put("%s-Time ", CTimeText(static_cast<DWORD>(Now())));
  put("%s-Package Description ", CReportText::Value(CReportText::Field(record + 42, 512)));
  put("%s-Topic", CReportText::Value(CReportText::Field(record + 554, 14)));
  put("%s-Package Provider ", CReportText::Value(CReportText::Field(record + 31, 11)));
  put("%s-Client Name ", CReportText::Value(CReportText::Field(record + 20, 11)));
  std::snprintf(number, sizeof number, "%d",
                static_cast<int>(static_cast<signed char>(record[572])));
  put("%s-Delivery Status ", number);
  put("%s-Request Reason", RequestReasonName(static_cast<DWORD>(record[12] | record[13] << 8)));
  put("%s-Current State", CReportText::DeliveryStatusName(GetU32(record + 8)));
  std::snprintf(number, sizeof number, "%08lx", static_cast<unsigned long>(GetU32(record + 568)));
  put("%s-File Mask ", number);
  std::snprintf(number, sizeof number, "%d", static_cast<int>(GetU32(record + 16)));
  put("%s-Number Of Loads ", number);
  put("%s-FRD Time", CTimeText(GetU32(record + 4)));
  put("%s-FSD Time", CTimeText(GetU32(record + 0)));
  std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(GetU32(record + 576)));
  put("%s-Client File Size ", number);
  SynchronizeINIFile();
}

BOOL CReportStore::IsICSConfigurationChanged(DWORD* flags) {
  LogInfo("CReportStore ::IsICSConfigurationChanged Entered", 0);
  BOOL changed = FALSE;
  VESDD_ICS_CONFIG config{};
  if (m_pVesdd != nullptr && m_pVesdd->m_bLoaded && m_pVesdd->ICSGetConfiguration(&config)) {
    DWORD ics = config.flags;
    if (flags != nullptr) *flags = ics;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_ALL_ACCESS, &key) ==
        static_cast<LONG>(ERROR_SUCCESS)) {
      DWORD stored = 0;
      bool present = ReadRegDword(key, "ICSConfgMask", &stored);
      if (present && stored == ics) {
        changed = FALSE;
      } else if (!present && (ics & 0x1) == 0) {
        changed = FALSE;
      } else {
        RegSetValueExA(key, "ICSConfgMask", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ics),
                       sizeof ics);
        changed = TRUE;
      }
      RegCloseKey(key);
    } else if (ics & 0x1) {
      DWORD disposition = 0;
      if (Util_RegCreateKeyEx(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition) == static_cast<LONG>(ERROR_SUCCESS)) {
        RegSetValueExA(key, "ICSConfgMask", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ics),
                       sizeof ics);
        RegCloseKey(key);
      }
      changed = TRUE;
    }
  }
  LogInfo("End<< IsICSConfigurationChanged", 0);
  return changed;
}

DWORD CReportStore::IsAnyReportOldEnough(int mode) {
  LogInfoF("CReportStore::IsAnyReportOldEnough mode = %d", mode);
  long long limit;
  if (mode == 0)
    limit = static_cast<long long>(m_dwMaxAge) * 86400;
  else if (mode == 1)
    limit = static_cast<long long>(m_dwMinAge) * 86400;
  else if (mode == 2)
    limit = 2592000;
  else
    return 0;

  char pattern[MAX_PATH];
  BuildReportPath(pattern, sizeof pattern, "HR*.ini");
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern, &data);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = winport::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) {
      LogInfo("CReportStore::IsAnyReportOldEnough not found", 0);
      return 0;
    }
    LogError("IsAnyReportOldEnough: FindFirstFile", error);
    return error;
  }
  CStoreLock hold(&m_csLock);
  DWORD result = 0;
  do {
    LogInfoF("CReportStore::IsAnyReportOldEnough MODE = %d-checking for file %s", mode,
             data.cFileName);
    long long age = static_cast<long long>(Now()) -
                    static_cast<long long>(FileTimeToTime(data.ftLastWriteTime));
    if (age < limit) {
      if (mode == 2)
        LogInfoF("CReportStore::IsAnyReportOldEnough - The file %s does not contain old records",
                 data.cFileName);
      else
        LogInfoF("CReportStore::IsAnyReportOldEnough - The file %s is not old enough",
                 data.cFileName);
      continue;
    }
    LogInfoF("CReportStore::IsAnyReportOldEnough - we have atleast one file that is old enough %s",
             data.cFileName);
    if (mode != 2) {
      result = 1;
      break;
    }
    LogInfoF("CReportStore::IsAnyReportOldEnough - deleteing file %s", data.cFileName);
    char path[MAX_PATH];
    BuildReportPath(path, sizeof path, data.cFileName);
    if (DeleteFileA(path))
      LogInfoF("IsAnyReportOldEnough::DeleteFile - deleted file %s", data.cFileName);
    else
      LogErrorF("IsAnyReportOldEnough::DeleteFile - could not delete file %s", data.cFileName);
  } while (FindNextFileA(find, &data));
  if (result == 0 && winport::GetLastError() != ERROR_NO_MORE_FILES)
    LogError("IsAnyReportOldEnough::FindNextFile", winport::GetLastError());
  if (!FindClose(find)) LogError("IsAnyReportOldEnough::FindClose", winport::GetLastError());
  return result;
}

BOOL CReportStore::FileReadyForTx(const char* path) {
  LogInfoF("CReportStore::FileReadyForTx() - checking file %s", path ? path : "");
  try {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      LogInfo("CReportStore::FileReadyForTx - could not open the file for reading date",
              winport::GetLastError());
      return FALSE;
    }
    FILETIME created{};
    BOOL got = GetFileTime(file, &created, nullptr, nullptr);
    CloseHandle(file);
    if (!got) {
      LogInfo("CReportStore::FileReadyForTx - could not get date of file that was to be checked",
              winport::GetLastError());
      return FALSE;
    }
    long long age = static_cast<long long>(Now()) - static_cast<long long>(FileTimeToTime(created));
    if (age > static_cast<long long>(m_dwMinAge) * 86400) {
      LogInfo("CReportStore::FileReadyForTx - file is minage old", 0);
      return TRUE;
    }
    LogInfo("CReportStore::FileReadyForTx - file not minage days old", 0);
    return FALSE;
  } catch (...) {
    LogError("CReportStore::FileReadyForTx  - Fatal unhandled exception", 0);
    return FALSE;
  }
}

void CReportStore::GetSiteID(char* buffer) {
  LogInfo("CReportStore::GetSiteID", 0);
  if (buffer == nullptr || m_pVesdd == nullptr || !m_pVesdd->m_bLoaded) return;
  char site[64] = {};
  if (!m_pVesdd->GetSiteID(site)) {
    std::strcpy(buffer, "N.A.");
    LogInfo("CReportStore::GetSiteID- could not get siteid", 0);
    return;
  }
  std::snprintf(buffer, SITEID_SIZE, "%s", site);
  LogInfoF("CReportStore::GetSiteID - siteid read = %s", buffer);
}

void CReportStore::UpdatePDCounters(DWORD kilobytes, BOOL success) {
  LogInfo("CReportStore::UpdatePDCounters", 0);
  ++m_PD.dwAttempts;
  m_PD.ullKilobytes += kilobytes;
  if (success) {
    LogInfo("CReportStore::UpdatePDCounters - success message", 0);
    ++m_PD.dwSuccess;
  }
  MarkChanged();
}

void CReportStore::UpdateTiStats(const ZN_NODE& node) {
  LogInfo("CReportStore::UpdateTiStats", 0);
  CStoreLock hold(&m_csLock);
  m_ZnList.Add(node);
  MarkChanged();
}

void CReportStore::UpdateNewscastStats(ULONGLONG mbytes, DWORD incomplete, DWORD complete,
                                       DWORD headers, DWORD articles) {
  LogInfo("CReportStore::UpdateNewscastStats", 0);
  m_Newscast.ullPkgMbytesRead += mbytes;
  m_Newscast.dwIncompleteLMPCount += incomplete;
  m_Newscast.dwCompleteLMPCount += complete;
  m_Newscast.dwHeadersRead += headers;
  m_Newscast.dwArticlesRead += articles;
  MarkChanged();
}

void CReportStore::SetStartTime(DWORD time) {
  LogInfo("CReportStore::SetStartTime entered", 0);
  m_dwRunStart = time;
  MarkChanged();
}

void CReportStore::SetStopTime(DWORD time) {
  LogInfo("CReportStore::SetStopTime", 0);
  m_dwRunStop = time;
  MarkChanged();
}

void CReportStore::UpdateSqfCounters(WORD quality) {
  LogInfo("CReportStore::UpdateSqfCounters updating", 0);
  m_Sqf.AddSample(quality);
  MarkChanged();
}

void CReportStore::UpdateAcquisitionLoss() {
  ++m_Sqf.dwAcquisitionLoss;
  MarkChanged();
}

void CReportStore::CreateTiStats() {
  LogInfo("CReportStore::CreateTiStats entered ", 0);
  CStoreLock hold(&m_csLock);
  m_ZnList.Sort();
  for (auto& slot : m_ZnSlots) slot = m_ZnList.PopFront();
}

void CReportStore::SetLatestVesddStats(const VESDD_STATS& reading) {
  m_VesddLatest = reading;
  m_VesddDelta = GenerateDelta(m_VesddLatest, m_VesddBase);
  MarkChanged();
}
