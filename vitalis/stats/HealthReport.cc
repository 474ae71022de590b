#include "stats/HealthReport.h"

#include <winport/clock.h>
#include <winport/error.h>
#include <winport/sync.h>

#include <cstdio>
#include <cstring>

#include "core/RecordBytes.h"
#include "core/TraceLog.h"
#include "driver/VESDDInterface.h"
#include "stats/ReportStore.h"
#include "stats/ReportText.h"

namespace {

// Copies a text reply of the driver into a fixed field, cut to fit.
template <std::size_t N>
void CopyReply(char (&field)[N], const char* reply) {
  std::size_t n = strnlen(reply, N - 1);
  std::memcpy(field, reply, n);
  field[n] = '\0';
}

}  // namespace

CHealthReport::CHealthReport(CReportStore* store)
    : m_pReportStore(store), m_pVesdd(nullptr), m_dwChannel(0) {
  LogInfo("CHealthReport::CHealthReport", 0);
}

CHealthReport::~CHealthReport() {
  StopAndJoin();
}

void CHealthReport::InitVesdd(CVESDDInterface* driver, DWORD channel) {
  LogInfo("CHealthReport::InitVesdd", 0);
  m_pVesdd = driver;
  m_dwChannel = channel;
  if (driver == nullptr)
    LogInfo(
        "CHealthReport::InitVesdd - there was an error loading vesdd dll-no vesdd stats shall be "
        "generated.",
        0);
  GenerateVESDDStats();
}

void CHealthReport::OnTimer() {
  LogInfo("CHealthReport::OnTimer( ) called", 0);
  if (m_pReportStore == nullptr) return;
  if (m_pVesdd != nullptr && m_pVesdd->m_bLoaded) {
    LogInfo("CHealthReport::OnTimer -- getting and updating the SqfStats", 0);
    BYTE status[SATELLITE_STATUS_SIZE] = {};
    if (m_pVesdd->GetSatelliteStatus(status, m_dwChannel)) {
      WORD quality = static_cast<WORD>(status[SATSTAT_SIGNAL] | status[SATSTAT_SIGNAL + 1] << 8);
      if (quality == 0) {
        LogInfo("CHealthReport::Ontimer - updating acquisition loss", 0);
        UpdateAcquisitionLoss();
      } else {
        LogInfo("CHealthReport::OnTimer - not an acquisition loss", 0);
      }
      m_pReportStore->UpdateSqfCounters(quality);
    } else {
      LogInfo("CHealthReport::OnTimer - could not get the vesdd stats", 0);
    }
  }
  if (m_pReportStore->HasNewPeriodStarted()) {
    LogInfo("CHealthReport::OnTimer- new period started.", 0);
    GeneratePeriodicStatistics();
  } else {
    LogInfo("CHealthReport::OnTimer - not a new period", 0);
  }
}

BOOL CHealthReport::GeneratePeriodicStatistics() {
  LogInfo("CHealthReport::GeneratePeriodicStatistics entered", 0);
  if (m_bStarted) {
    LogInfo("CHealthReport::GeneratePeriodic... Thread already running ", 0);
    return FALSE;
  }
  LogInfo("CHealthReport::GeneratePeriodic... Starting HR Thread", 0);
  return Start();
}

BOOL CHealthReport::Run() {
  LogInfo("CHealthReport::Run() entered", 0);
  m_pReportStore->ComputeRunMinutes(1);
  m_bInitOK = TRUE;
  if (!SetEvent(m_hInitEvent)) {
    LogError("CDAKDllMain::Run -- SetEvent  failed", GetLastError());
    m_bInitOK = FALSE;
    return FALSE;
  }
  GenerateVESDDStats();
  m_pReportStore->CreateTiStats();
  // A record that could not be written keeps the period's counts for the next report.
  if (m_pReportStore->WriteHRRecordToINI()) {
    m_pReportStore->ResetPeriod();
    m_pReportStore->SetPeriodStart(Now());
    m_pReportStore->Checkpoint();
  }
  return TRUE;
}

void CHealthReport::GenerateVESDDStats() {
  VESDD_STATS record;
  if (m_pVesdd == nullptr || !m_pVesdd->m_bLoaded || m_pReportStore == nullptr) {
    LogInfo("CHealthReport::Run - VESDD not loaded so stats could not be generated.", 0);
    return;
  }
  char text[VESDD_STATSDUMP_LEN + 1];

  std::memset(text, 0, sizeof text);
  std::strcpy(text, record.szSiteID);
  m_pReportStore->GetSiteID(text);
  CopyReply(record.szSiteID, text);

  std::memset(text, 0, sizeof text);
  if (m_pVesdd->GetSN(m_dwChannel, text)) {
    CopyReply(record.szSerialNumber, text);
    LogInfoF("GenerateVESDDStats() - Serial no obtained = %s", record.szSerialNumber);
  } else {
    LogInfo("GenerateVESDDStats()- could not get serial number", 0);
    CopyReply(record.szSerialNumber, "N.A.");
  }

  std::memset(text, 0, sizeof text);
  if (m_pVesdd->GetDrvVersion(m_dwChannel, text)) {
    CopyReply(record.szDriverVersion, text);
    LogInfoF("GenerateVESDDStats() - dirver version = %s", record.szDriverVersion);
  } else {
    LogInfo("GenerateVESDDStats() - dirver version could not be obtained.", 0);
    CopyReply(record.szDriverVersion, "N.A.");
  }

  BYTE block[VESNDIS_STATS_SIZE] = {};
  if (m_pVesdd->GetStats(m_dwChannel, block, VESNDIS_STATS_SIZE)) {
    LogInfo("GenerateVESDDStats() - VESNDIS_STATS obtained successfully", 0);
    record.dwCRCErrors = GetU32(block + VESNDIS_CRC_ERRORS);
    record.dwMegaBytesReceived = GetU32(block + VESNDIS_MEGABYTES_RECEIVED);
    record.dwMulticastAdds = GetU32(block + VESNDIS_MULTICAST_ADDS);
  } else {
    LogInfo("GenerateVESDDStats() - VESNDIS_STATS could not be obtained.", 0);
  }

  BYTE mips[MIPS_STATS_SIZE] = {};
  if (m_pVesdd->GetMipsStats(m_dwChannel, mips, MIPS_STATS_SIZE)) {
    LogInfo("GenerateVESDDStats() - MIPS_COUNT stats obtained successfully", 0);
    record.dwHeartBeat = GetU32(mips + MIPS_HEARTBEAT);
    record.dwFramesProcessed = GetU32(mips + MIPS_FRAMES_PROCESSED);
    record.dwFramesAccepted = GetU32(mips + MIPS_FRAMES_ACCEPTED);
    record.dwFramesRejected = GetU32(mips + MIPS_FRAMES_REJECTED);
    record.dwLowOnBuffers = GetU32(mips + MIPS_LOW_ON_BUFFERS);
    record.dwDataLimitErrors = GetU32(mips + MIPS_DATA_LIMIT_ERRORS);
    record.dwRawSignalQuality = GetU32(mips + MIPS_RAW_SIGNAL_QUALITY);
    record.dwFErrors = GetU32(mips + MIPS_F_ERRORS);
  } else {
    LogInfo("GenerateVESDDStats() - MIPS_COUNT stats could not be obtained.", 0);
  }

  WORD mode = 0;
  if (m_pVesdd->GetDriverOperationMode(&mode)) {
    record.dwDriverOpMode = mode;
    LogInfoF("GenerateVESDDStats() - Driver mode obtained = %d", static_cast<int>(mode));
  } else {
    LogInfo("GenerateVESDDStats() - could  not get the driver mode", 0);
  }

  std::memset(text, 0, sizeof text);
  if (m_pVesdd->GetStatsDump(m_dwChannel, text, VESDD_STATSDUMP_LEN)) {
    text[VESDD_STATSDUMP_LEN - 1] = '\0';
    CopyReply(record.szAddressStats, text);
    LogInfoF("GenerateVESDDStats() - Address specific stats received.%s", record.szAddressStats);
  } else {
    LogInfo("GenerateVESDDStats() - could  not get the address specific statistics.", 0);
  }

  UpdateVESDDStats(record);
}

void CHealthReport::UpdateVESDDStats(VESDD_STATS reading) {
  LogInfo("CHealthReport::UpdateVESDDStats", 0);
  if (m_pReportStore != nullptr) m_pReportStore->SetLatestVesddStats(reading);
}

void CHealthReport::UpdateAcquisitionLoss() {
  LogInfo("CHealthReport::UpdateAcquisitionLoss", 0);
  if (m_pReportStore != nullptr) m_pReportStore->UpdateAcquisitionLoss();
}

BOOL CHealthReport::RunMinutes(const BYTE* message) {
  LogInfo("CHealthReport::RunMinutes - entered", 0);
  DWORD time = GetU32(message + 4);
  DWORD status = GetU32(message + 8);
  if (status == 0) {
    LogInfo("CHealthReport::RunMinutes()-  START time received.", 0);
    m_pReportStore->SetStartTime(time);
  } else if (status == 1) {
    LogInfo("CHealthReport::RunMinutes()-  STOP time received.", 0);
    m_pReportStore->SetStopTime(time);
  } else {
    LogError("CHealthReport::RunMinutes()- wrong status field- ignoring message", 0);
    return FALSE;
  }
  return TRUE;
}

BOOL CHealthReport::ZNDialout(const BYTE* message) {
  LogInfo("CHealthReport::ZNDialout - entered", 0);
  ZN_NODE node;
  // The number field holds 256 bytes; the node keeps at most 19 characters of it.
  char number[257];
  std::memcpy(number, message + 4, 256);
  number[256] = '\0';
  // The number goes into trace lines and the report file: it must stay one line.
  node.SetPhoneNumber(CReportText::Value(number).c_str());
  DWORD status = GetU32(message + 260);
  if (status == 0) {
    LogInfoF("CHealthReport::ZNDIalout phnumber =%s , dialout = BUSY", node.szPhoneNumber);
    node.dwBusy = 1;
  } else if (status == 1) {
    LogInfoF("CHealthReport::ZNDIalout phnumber =%s , dialout = ATTEMPT", node.szPhoneNumber);
    node.dwAttempts = 1;
  } else {
    LogInfo("CHealthReport::ZNDialout - invalid message status", 0);
    return FALSE;
  }
  m_pReportStore->UpdateTiStats(node);
  return TRUE;
}

void CHealthReport::PD(const BYTE* message) {
  LogInfo("CHealthReport::PD - entered", 0);
  const BYTE* record = message + 4;
  DWORD status = GetU32(record + 8);
  if (status == 0) {
    LogInfo("CHealthReport::PD -  0 - not set", 0);
  } else if (status == 5) {
    LogInfo("CHealthReport::PD - SFXFDB_FILE_LOADED", 0);
    Msg_PD_Success(GetU32(record + 576));
  } else if (status == 7) {
    LogInfo("CHealthReport::PD - SFXFDB_FILE_LOAD_FAILED", 0);
    Msg_PD_Failure(record);
  } else if (status == 8) {
    // Confirmations are not counted.
  } else if (status < 14) {
    LogInfoF("CHealthReport::PD - %s", CReportText::DeliveryStatusName(status));
  } else {
    LogInfo("CHealthReport::PD - unidentified delivery status encountered", 0);
  }
}

void CHealthReport::Msg_PD_Success(DWORD fileSize) {
  LogInfo("CHealthReport::Msg_PD_Success ", 0);
  m_pReportStore->UpdatePDCounters(fileSize / 1024, TRUE);
}

void CHealthReport::Msg_PD_Failure(const BYTE* record) {
  LogInfo("CHealthReport::Msg_PD_Failure ", 0);
  m_pReportStore->UpdatePDCounters(0, FALSE);
  if (m_pReportStore->IsSiteIdStatsEnabled()) {
    LogInfo("SiteID based record generation is enabled - storing failure record", 0);
    m_pReportStore->WritePDFailureRecord(record);
  } else {
    LogInfo("SiteID based record generation is disabled - not storing failure record", 0);
  }
}

void CHealthReport::Newscast(const BYTE* message) {
  LogInfo("CHealthReport::Newscast - entered.", 0);
  m_pReportStore->UpdateNewscastStats(GetU64(message + 8), GetU32(message + 16),
                                      GetU32(message + 20), GetU32(message + 24),
                                      GetU32(message + 28));
}
