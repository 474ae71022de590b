// Report store: owner of the period's statistics and of the report files
// ("HR%d%02d%02d%02d.ini" in <MainDirectory>\Vitalis\). Shared by the generator, the reports
// worker, the configuration-record worker and the diagnostics; its lock guards the current
// report file, its name and path and the numbering counters.
#pragma once

#include <winport/sync.h>

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "core/Win.h"
#include "stats/StatsRecords.h"

class CVESDDInterface;

class CReportStore {
 public:
  // Size of the buffer GetSiteID fills.
  static constexpr DWORD SITEID_SIZE = 10;
  // Size of the package delivery record inside a DAK_PD message (after its identifier).
  static constexpr DWORD PD_RECORD_SIZE = 580;
  // Longest time between two state file checkpoints while counts change.
  static constexpr std::time_t CHECKPOINT_INTERVAL = 600;

  CReportStore();
  virtual ~CReportStore();
  CReportStore(const CReportStore&) = delete;
  CReportStore& operator=(const CReportStore&) = delete;

  // Start-up and the module timer.
  BOOL InitFromRegistry();
  void SetEnableType(BOOL siteId, BOOL serviceSpecific, BOOL enabled);
  void InitVesdd(CVESDDInterface* driver, DWORD channel);
  BOOL Initialize();
  void OnTimer();
  BOOL OnShutDown();

  // Periods.
  BOOL HasNewPeriodStarted();
  // Writes one report record and, once it is in the file, moves the period start to now and
  // the record counter on. False when an entry could not be written: counter and period stay
  // as they were, so the next attempt writes the same record over what part of it got in.
  BOOL WriteHRRecordToINI();
  void ResetPeriod();
  void ComputeRunMinutes(int mode);
  void SetPeriodStart(std::time_t start) { m_dwPeriodStart = static_cast<DWORD>(start); }

  // The state file.
  void WriteBinData();
  void ReadBinData();
  // Saves the running period without ending the run (the run stop becomes the checkpoint time).
  void Checkpoint();

  // Report files.
  void GetNewININame();
  BOOL SynchronizeINIFile();
  void WriteINI(const char* section, const char* key, const char* value);
  // The store's lock, for a writer whose entries must stay together in the file (it is
  // recursive: WriteINI may be called while it is held).
  void Lock();
  void Unlock();
  void SetDiagResultWriting(BOOL writing);
  void WriteDiagResultToINIFile(const char* section, const char* key, const char* value);
  // One DAK_GENERIC record, already checked by the caller to lie within its message.
  BOOL WriteGeneralData(const BYTE* message);
  // A package delivery record (PD_RECORD_SIZE bytes, the DAK_PD message after its identifier).
  void WritePDFailureRecord(const BYTE* record);
  DWORD IsAnyReportOldEnough(int mode);
  BOOL FileReadyForTx(const char* path);
  BOOL IsICSConfigurationChanged(DWORD* flags);
  // Site ID from the driver into `buffer` (SITEID_SIZE bytes); "N.A." when it cannot be read.
  void GetSiteID(char* buffer);

  // Counts of the period, kept by the generator and the message handlers.
  void UpdatePDCounters(DWORD kilobytes, BOOL success);
  void UpdateTiStats(const ZN_NODE& node);
  void UpdateNewscastStats(ULONGLONG mbytes, DWORD incomplete, DWORD complete, DWORD headers,
                           DWORD articles);
  void SetStartTime(DWORD time);
  void SetStopTime(DWORD time);
  void UpdateSqfCounters(WORD quality);
  void UpdateAcquisitionLoss();
  void CreateTiStats();
  // The latest driver reading; the period's difference follows it.
  void SetLatestVesddStats(const VESDD_STATS& reading);

  BOOL IsSiteIdStatsEnabled() const { return m_bSiteIdEnabled; }
  BOOL IsServiceStatsEnabled() const { return m_bServiceEnabled; }
  BOOL IsHealthReportingEnabled() const { return m_bHREnabled; }
  // "MainDirectory" ("c:" when unset).
  const char* GetBaseDirectory() const { return m_szBaseDir; }
  // The current report file (a copy, taken under the lock).
  void GetCurrentReportPath(char* buffer, DWORD size);

 protected:
  // Holds the store lock (taken recursively) for a scope.
  class CStoreLock {
   public:
    explicit CStoreLock(CRITICAL_SECTION* lock) : m_pLock(lock) { EnterCriticalSection(m_pLock); }
    ~CStoreLock() { LeaveCriticalSection(m_pLock); }
    CStoreLock(const CStoreLock&) = delete;
    CStoreLock& operator=(const CStoreLock&) = delete;

   private:
    CRITICAL_SECTION* m_pLock;
  };

  // The path of `name` in the report directory.
  void BuildReportPath(char* buffer, DWORD size, const char* name) const;
  void WriteStateFile(bool checkpoint);
  void MarkChanged() { m_bCountsChanged = true; }

  // A report record is collected entry by entry, one step per part of the record, and then
  // written in one go (FlushRecordEntries). Every step runs under the store lock.
  struct RecordEntry {
    std::string section, key, value;
  };
  using RecordEntries = std::vector<RecordEntry>;
  void AddRecordEntry(RecordEntries& entries, const char* section, const char* key,
                      const char* value);
  void AddHeader(RecordEntries& entries, const char* nnn, std::time_t now);
  void AddGeneral(RecordEntries& entries, const char* nnn);
  void AddSignalQuality(RecordEntries& entries, const char* nnn);
  void AddDriverStatistics(RecordEntries& entries, const char* nnn);
  void AddAddressLines(RecordEntries& entries, const char* section);
  void AddDialouts(RecordEntries& entries, const char* nnn);
  void AddDeliveries(RecordEntries& entries, const char* nnn);
  void AddNewscast(RecordEntries& entries, const char* nnn);
  void AddConnectionSharing(RecordEntries& entries, const char* nnn);
  // Writes the entries: a section that is new to the file in one write, anything else key by
  // key; the file ends up as if each key had been written alone. False when a write failed.
  bool FlushRecordEntries(const RecordEntries& entries);

  char m_szBinFileName[MAX_PATH];
  const char* m_pszDefaultBinFileName;
  DWORD m_dwReportCounter;
  DWORD m_dwDiagGroupCounter[3];  // other sections, "DiagCorrection", "DIAGNOSTICS"
  DWORD m_dwFailureCounter;
  // Flags set by one thread (configuration, diagnostics) and read by the others.
  std::atomic<BOOL> m_bDiagResultWriting;
  std::atomic<BOOL> m_bHREnabled;
  DWORD m_dwMinAge;
  DWORD m_dwMaxAge;
  DWORD m_dwMaxFileSize;
  VESDD_STATS m_VesddBase;
  VESDD_STATS m_VesddLatest;
  VESDD_STATS m_VesddDelta;
  ZN_NODE m_ZnSlots[3];
  ZN_LIST m_ZnList;
  NEWSCAST_STATS m_Newscast;
  DWORD m_dwRunStart;
  DWORD m_dwRunStop;
  DWORD m_dwPrevRunStart;
  DWORD m_dwPrevRunStop;
  DWORD m_dwPeriodStart;
  DWORD m_dwRunningMinutes;
  SQF_STATS m_Sqf;
  PD_STATS m_PD;
  DWORD m_dwPeriodicity;
  std::atomic<BOOL> m_bSiteIdEnabled;
  std::atomic<BOOL> m_bServiceEnabled;
  BOOL m_bMidnightCheckDone;
  CVESDDInterface* m_pVesdd;
  DWORD m_dwChannel;
  char m_szCurrentPath[MAX_PATH];
  CRITICAL_SECTION m_csLock;
  char m_szCurrentName[20];
  char m_szBaseDir[MAX_PATH];

  // Checkpointing of the state file: counts change on the primary and the generator thread.
  std::atomic<bool> m_bCountsChanged;
  std::time_t m_tLastCheckpoint;
};
