// The state file ("vitalis.bin"): the running period, kept across restarts of the module.
#include <winport/clock.h>
#include <winport/error.h>
#include <winport/file.h>
#include <winport/handle.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/TraceLog.h"
#include "stats/ReportStore.h"
#include "stats/ReportText.h"

void CReportStore::WriteBinData() {
  WriteStateFile(false);
}

void CReportStore::Checkpoint() {
  WriteStateFile(true);
}

// The state file is written to a temporary file that then replaces the old one, so a crash
// or a failed write leaves the previous file whole.
void CReportStore::WriteStateFile(bool checkpoint) {
  LogInfo("CReportStore::WriteBinData", 0);
  char path[MAX_PATH];
  BuildReportPath(path, sizeof path, m_szBinFileName);
  std::string temp = std::string(path) + ".tmp";
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    LogError("CReportStore::WriteBinData() - error opening the file for writing ",
             winport::GetLastError());
    return;
  }
  std::time_t now = Now();
  bool allWritten = true;
  auto put = [&](const void* data, DWORD size) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr) || written != size) {
      DWORD error = winport::GetLastError();
      LogError("CReportStore::WriteBinData -", error != 0 ? error : ERROR_WRITE_FAULT);
      allWritten = false;
    }
  };
  DWORD runStart = m_dwRunStart;
  DWORD runStop = m_dwRunStop;
  if (checkpoint && runStop == 0) runStop = static_cast<DWORD>(now);
  DWORD periodStart = m_dwPeriodStart;
  put(&runStart, 4);
  put(&runStop, 4);
  put(&periodStart, 4);
  ZN_NODE top[3];
  {
    CStoreLock hold(&m_csLock);
    // Only the name and zeros: whatever the buffer held past its end stays out of the file.
    char name[sizeof m_szCurrentName] = {};
    std::memcpy(name, m_szCurrentName, strnlen(m_szCurrentName, sizeof name - 1));
    put(name, sizeof name);
    put(&m_dwReportCounter, 4);
    put(&m_dwDiagGroupCounter[0], 4);
    put(&m_dwDiagGroupCounter[1], 4);
    put(&m_dwDiagGroupCounter[2], 4);
    if (checkpoint) {
      m_ZnList.PeekTop(top, 3);  // the run goes on with every number in the list
    } else {
      CreateTiStats();
      for (int i = 0; i < 3; ++i) top[i] = m_ZnSlots[i];
    }
  }
  put(&m_VesddBase, sizeof m_VesddBase);
  put(&m_Newscast, sizeof m_Newscast);
  put(&m_Sqf, sizeof m_Sqf);
  for (auto& node : top) {
    node.dwLink = 0;
    put(&node, sizeof node);
  }
  put(&m_PD, sizeof m_PD);
  put(&m_dwFailureCounter, 4);
  if (!CloseHandle(file) && allWritten) {
    LogError("CReportStore::WriteBinData -", winport::GetLastError());
    allWritten = false;
  }
  if (!allWritten) {
    DeleteFileA(temp.c_str());
    return;
  }
  if (!MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING)) {
    LogError("CReportStore::WriteBinData -", winport::GetLastError());
    DeleteFileA(temp.c_str());
    return;
  }
  // Counts that could not be saved stay marked, so the next tick tries again.
  m_tLastCheckpoint = now;
  m_bCountsChanged = false;
}

void CReportStore::ReadBinData() {
  LogInfo("CReportStore::ReadBinData", 0);
  char path[MAX_PATH];
  BuildReportPath(path, sizeof path, m_szBinFileName);
  HANDLE file =
      CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    LogError("CReportStore::ReadBinData() - error opening the file for reading ",
             winport::GetLastError());
  } else {
    // A field that cannot be read whole keeps its value.
    auto get = [&](void* data, DWORD size) {
      std::string buffer(size, '\0');
      DWORD got = 0;
      if (!ReadFile(file, buffer.data(), size, &got, nullptr) || got != size) {
        DWORD error = winport::GetLastError();
        LogError("CReportStore::ReadBinData -", error != 0 ? error : ERROR_HANDLE_EOF);
        return false;
      }
      std::memcpy(data, buffer.data(), size);
      return true;
    };
    get(&m_dwPrevRunStart, 4);
    get(&m_dwPrevRunStop, 4);
    get(&m_dwPeriodStart, 4);
    {
      CStoreLock hold(&m_csLock);
      get(m_szCurrentName, sizeof m_szCurrentName);
      m_szCurrentName[sizeof m_szCurrentName - 1] = '\0';
      get(&m_dwReportCounter, 4);
      get(&m_dwDiagGroupCounter[0], 4);
      get(&m_dwDiagGroupCounter[1], 4);
      get(&m_dwDiagGroupCounter[2], 4);
    }
    get(&m_VesddBase, sizeof m_VesddBase);
    m_VesddBase.szDriverVersion[sizeof m_VesddBase.szDriverVersion - 1] = '\0';
    m_VesddBase.szSerialNumber[sizeof m_VesddBase.szSerialNumber - 1] = '\0';
    m_VesddBase.szSiteID[sizeof m_VesddBase.szSiteID - 1] = '\0';
    m_VesddBase.szAddressStats[sizeof m_VesddBase.szAddressStats - 1] = '\0';
    get(&m_Newscast, sizeof m_Newscast);
    get(&m_Sqf, sizeof m_Sqf);
    for (auto& slot : m_ZnSlots) {
      get(&slot, sizeof slot);
      slot.szPhoneNumber[ZN_NODE::kPhoneSize - 1] = '\0';
      slot.dwLink = 0;
    }
    get(&m_PD, sizeof m_PD);
    get(&m_dwFailureCounter, 4);
    {
      CStoreLock hold(&m_csLock);
      for (const auto& slot : m_ZnSlots)
        if (slot.szPhoneNumber[0] != '\0') m_ZnList.Add(slot);
    }
    CloseHandle(file);
  }
  bool needName;
  {
    CStoreLock hold(&m_csLock);
    // Only a name of the store's own form is taken: anything else could point outside the
    // report directory, or name a file that is never sent nor cleaned up.
    if (m_szCurrentName[0] != '\0' && !CReportText::IsReportFileName(m_szCurrentName)) {
      LogErrorF("CReportStore::ReadBinData - the report file name %s is not one of ours",
                CReportText::Value(m_szCurrentName).c_str());
      m_szCurrentName[0] = '\0';
    }
    needName = m_szCurrentName[0] == '\0';
  }
  if (needName) GetNewININame();
  {
    CStoreLock hold(&m_csLock);
    BuildReportPath(m_szCurrentPath, sizeof m_szCurrentPath, m_szCurrentName);
  }
  std::time_t now = Now();
  if (m_dwRunStart == 0) m_dwRunStart = static_cast<DWORD>(now);
  if (m_dwPeriodStart == 0) m_dwPeriodStart = static_cast<DWORD>(now);
  m_tLastCheckpoint = now;
}
