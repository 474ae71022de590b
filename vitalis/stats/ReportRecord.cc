// The report record: one numbered set of sections written into the current report file at the
// end of each period.
#include <winport/clock.h>
#include <winport/error.h>
#include <winport/profile.h>
#include <winport/text.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/TimeText.h"
#include "core/TraceLog.h"
#include "stats/ReportStore.h"
#include "stats/ReportText.h"

BOOL CReportStore::WriteHRRecordToINI() {
  LogInfo("CReportStore::WriteHRRecordToINI", 0);
  BOOL written = FALSE;
  {
    CStoreLock hold(&m_csLock);
    std::string nnn = CReportText::Format("%03lu", static_cast<unsigned long>(m_dwReportCounter));
    std::time_t now = Now();
    RecordEntries entries;
    AddHeader(entries, nnn.c_str(), now);
    AddGeneral(entries, nnn.c_str());
    AddSignalQuality(entries, nnn.c_str());
    AddDriverStatistics(entries, nnn.c_str());
    AddDialouts(entries, nnn.c_str());
    AddDeliveries(entries, nnn.c_str());
    AddNewscast(entries, nnn.c_str());
    AddConnectionSharing(entries, nnn.c_str());
    written = FlushRecordEntries(entries) ? TRUE : FALSE;
    // A record that did not reach the file whole keeps its number and the period: the next
    // attempt writes the same sections again, over whatever part of them got in, instead of
    // repeating the counts under a new number.
    if (written) {
      m_dwPeriodStart = static_cast<DWORD>(now);
      ++m_dwReportCounter;
    }
    SynchronizeINIFile();
  }
  LogInfo("CReportStore::WriteHRRecordToINI  - finished writing records", 0);
  return written;
}

void CReportStore::AddRecordEntry(RecordEntries& entries, const char* section, const char* key,
                                  const char* value) {
  if (!m_bHREnabled) {
    LogInfo("CReportStore::WriteINI- health reporting is disabled , not writing record", 0);
    return;
  }
  if (std::strlen(section) + std::strlen(key) + std::strlen(value) < 400) {
    LogInfo("CReportStore::WriteINI(LPSTR SectionName, LPSTR KeyName, LPSTR Value)", 0);
    LogInfoF("%s - %s - %s", section, key, value);
  } else {
    LogInfo("CReportStore::WriteINI - string too big to be put in tracelog file", 0);
  }
  entries.push_back({section, key, value});
}

// 1. [Header] HRTime<NNN>: the time in UTC, then which statistics the record carries.
void CReportStore::AddHeader(RecordEntries& entries, const char* nnn, std::time_t now) {
  std::string header = OrbAsctime(UtcTime(now));
  header.pop_back();  // the line feed
  header += m_bSiteIdEnabled ? ",SiteID" : ",";
  header += m_bServiceEnabled ? ",ServiceSpecific" : ",";
  header += ".";
  AddRecordEntry(entries, "Header", CReportText::Format("HRTime%s", nnn).c_str(), header.c_str());
}

// 2. [<NNN>General]
void CReportStore::AddGeneral(RecordEntries& entries, const char* nnn) {
  std::string section = CReportText::Format("%sGeneral", nnn);
  AddRecordEntry(
      entries, section.c_str(), "SiteID",
      CReportText::Value(CReportText::Field(m_VesddDelta.szSiteID, sizeof m_VesddDelta.szSiteID))
          .c_str());
  AddRecordEntry(entries, section.c_str(), "ORBNav Running Minutes",
                 CReportText::Format("%ld", static_cast<long>(m_dwRunningMinutes)).c_str());
  AddRecordEntry(entries, section.c_str(), "Serial No",
                 CReportText::Value(CReportText::Field(m_VesddDelta.szSerialNumber,
                                                       sizeof m_VesddDelta.szSerialNumber))
                     .c_str());
}

// 3. [<NNN>SQF]: acquisition losses and the signal-quality buckets.
void CReportStore::AddSignalQuality(RecordEntries& entries, const char* nnn) {
  static const char* const kSqfKeys[] = {"SQF0_49",    "SQF50_59",   "SQF60_69",   "SQF70_79",
                                         "SQF80_89",   "SQF90_99",   "SQF100_109", "SQF110_119",
                                         "SQF120_129", "SQF130_139", "SQF140_"};
  std::string section = CReportText::Format("%sSQF", nnn);
  AddRecordEntry(entries, section.c_str(), "Number  of Acquisition Loss ",
                 CReportText::Format("%d", static_cast<int>(m_Sqf.dwAcquisitionLoss)).c_str());
  for (int i = 0; i < 11; ++i)
    AddRecordEntry(entries, section.c_str(), kSqfKeys[i],
                   CReportText::Format("%d", static_cast<int>(m_Sqf.dwBucket[i])).c_str());
}

// 4. [<NNN>VesddStatistics]: the driver's counts of the period; the full set, the operation
// mode and the address lines only with site-ID statistics.
void CReportStore::AddDriverStatistics(RecordEntries& entries, const char* nnn) {
  std::string section = CReportText::Format("%sVesddStatistics", nnn);
  int index = 0;
  auto add = [&](const std::string& text) {
    AddRecordEntry(entries, section.c_str(), CReportText::Format("VesddStats%04d", ++index).c_str(),
                   text.c_str());
  };
  const VESDD_STATS& d = m_VesddDelta;
  add(CReportText::Format("HeartBeat,%u", d.dwHeartBeat));
  add(CReportText::Format("MegaBytes Received,%lu",
                          static_cast<unsigned long>(d.dwMegaBytesReceived)));
  add(CReportText::Format("Low on Buffers,%u", d.dwLowOnBuffers));
  add(CReportText::Format("Data Limit Errors,%u", d.dwDataLimitErrors));
  if (!m_bSiteIdEnabled) return;
  add(CReportText::Format("Frames Processed,%u", d.dwFramesProcessed));
  add(CReportText::Format("Frames Accepted,%u", d.dwFramesAccepted));
  add(CReportText::Format("Frames Rejected,%u", d.dwFramesRejected));
  add(CReportText::Format("F Errors,%u", d.dwFErrors));
  add(CReportText::Format("Raw Signal Quality,%u", d.dwRawSignalQuality));
  add(CReportText::Format("CRC Errors,%lu", static_cast<unsigned long>(d.dwCRCErrors)));
  add(CReportText::Format("Multicast Adds,%lu", static_cast<unsigned long>(d.dwMulticastAdds)));
  add("Driver Version," +
      CReportText::Value(CReportText::Field(d.szDriverVersion, sizeof d.szDriverVersion)));
  add("Serial Number," +
      CReportText::Value(CReportText::Field(d.szSerialNumber, sizeof d.szSerialNumber)));
  AddRecordEntry(entries, section.c_str(), "DriverOpMode",
                 d.dwDriverOpMode == 1 ? "DVB" : (d.dwDriverOpMode == 2 ? "Classic" : "Unknown"));
  AddAddressLines(entries, section.c_str());
}

// Address lines: every third line of the address text, line feed included, copied over one
// 150-byte buffer.
void CReportStore::AddAddressLines(RecordEntries& entries, const char* section) {
  std::string stats =
      CReportText::Field(m_VesddDelta.szAddressStats, sizeof m_VesddDelta.szAddressStats);
  char buffer[150];
  std::memset(buffer, 0, sizeof buffer);
  std::size_t pos = 0;
  int address = 0;
  while (pos < stats.size()) {
    std::string third;
    bool complete = true;
    for (int i = 0; i < 3; ++i) {
      if (pos >= stats.size()) {
        complete = false;
        break;
      }
      std::size_t lf = stats.find('\n', pos);
      std::size_t end = lf == std::string::npos ? stats.size() : lf + 1;
      if (i == 2) third = stats.substr(pos, end - pos);
      pos = end;
    }
    if (!complete) break;
    std::size_t n = third.size() < sizeof buffer - 1 ? third.size() : sizeof buffer - 1;
    std::memcpy(buffer, third.data(), n);
    buffer[n] = '\0';
    AddRecordEntry(entries, section, CReportText::Format("Address%04d", ++address).c_str(), buffer);
  }
}

// 5. [<NNN>Zn Statistics]: the three busiest dial-out numbers (service-specific statistics).
void CReportStore::AddDialouts(RecordEntries& entries, const char* nnn) {
  if (!m_bServiceEnabled) return;
  std::string section = CReportText::Format("%sZn Statistics", nnn);
  for (int i = 0; i < 3; ++i) {
    const ZN_NODE& node = m_ZnSlots[i];
    if (node.szPhoneNumber[0] == '\0') {
      LogInfo("WriteHRRecordtoINI - No ZN Record", 0);
      continue;
    }
    // The numbers come from other programs' mailslot records.
    AddRecordEntry(
        entries, section.c_str(), CReportText::Format("%02dPhone", i).c_str(),
        CReportText::Value(CReportText::Field(node.szPhoneNumber, ZN_NODE::kPhoneSize)).c_str());
    AddRecordEntry(entries, section.c_str(), CReportText::Format("%02dTotal Dialouts", i).c_str(),
                   CReportText::Format("%u", node.dwAttempts).c_str());
    AddRecordEntry(entries, section.c_str(), CReportText::Format("%02dBusy Dialouts", i).c_str(),
                   CReportText::Format("%u", node.dwBusy).c_str());
  }
}

// 6. [<NNN>PD Statistics]: package deliveries; which keys depends on the statistics enabled.
void CReportStore::AddDeliveries(RecordEntries& entries, const char* nnn) {
  std::string section = CReportText::Format("%sPD Statistics", nnn);
  if (m_bServiceEnabled)
    AddRecordEntry(entries, section.c_str(), "Attempts",
                   CReportText::Format("%u", m_PD.dwAttempts).c_str());
  if (m_bSiteIdEnabled)
    AddRecordEntry(entries, section.c_str(), "Failures",
                   CReportText::Format("%u", m_PD.dwAttempts - m_PD.dwSuccess).c_str());
  if (m_bSiteIdEnabled || m_bServiceEnabled)
    AddRecordEntry(entries, section.c_str(), "Success",
                   CReportText::Format("%u", m_PD.dwSuccess).c_str());
  if (m_bServiceEnabled)
    AddRecordEntry(entries, section.c_str(), "Kilobytes",
                   CReportText::Format("%lld", static_cast<long long>(m_PD.ullKilobytes)).c_str());
}

// 7. [<NNN>Newscast Statistics] (service-specific statistics).
void CReportStore::AddNewscast(RecordEntries& entries, const char* nnn) {
  if (!m_bServiceEnabled) return;
  std::string section = CReportText::Format("%sNewscast Statistics", nnn);
  AddRecordEntry(entries, section.c_str(), "Incomplete LMP Count",
                 CReportText::Format(
                     "%ld", static_cast<long>(static_cast<LONG>(m_Newscast.dwIncompleteLMPCount)))
                     .c_str());
  AddRecordEntry(entries, section.c_str(), "Complete LMP Count",
                 CReportText::Format(
                     "%ld", static_cast<long>(static_cast<LONG>(m_Newscast.dwCompleteLMPCount)))
                     .c_str());
  AddRecordEntry(
      entries, section.c_str(), "Num Headers Read",
      CReportText::Format("%lu", static_cast<unsigned long>(m_Newscast.dwHeadersRead)).c_str());
  AddRecordEntry(
      entries, section.c_str(), "Num Articles Read",
      CReportText::Format("%lu", static_cast<unsigned long>(m_Newscast.dwArticlesRead)).c_str());
  AddRecordEntry(
      entries, section.c_str(), "Pkg Mbytes Read",
      CReportText::Format("%lld", static_cast<long long>(m_Newscast.ullPkgMbytesRead)).c_str());
}

// 8. [<NNN>ICSInfo], only when the connection-sharing set-up changed since the last record.
void CReportStore::AddConnectionSharing(RecordEntries& entries, const char* nnn) {
  DWORD ics = 0;
  if (!IsICSConfigurationChanged(&ics)) return;
  std::string section = CReportText::Format("%sICSInfo", nnn);
  AddRecordEntry(entries, section.c_str(), "ICSInstalled", (ics & 0x1) ? "Yes" : "No");
  AddRecordEntry(entries, section.c_str(), "ICS Shared With ORB", (ics & 0x2) ? "Yes" : "No");
  AddRecordEntry(entries, section.c_str(), "ICS Bound With ORB", (ics & 0x4) ? "Yes" : "No");
  AddRecordEntry(entries, section.c_str(), "ICS Mapping Configured With ORB",
                 (ics & 0x8) ? "Yes" : "No");
}

bool CReportStore::FlushRecordEntries(const RecordEntries& entries) {
  // Section names already in the file, upper-cased (names match without regard to case).
  std::vector<std::string> known;
  std::string names(64 * 1024, '\0');
  DWORD got = 0;
  for (;;) {
    got = GetPrivateProfileSectionNamesA(names.data(), static_cast<DWORD>(names.size()),
                                         m_szCurrentPath);
    if (got + 2 < names.size() || names.size() >= (1u << 26)) break;
    names.assign(names.size() * 2, '\0');  // the list was cut: read it again whole
  }
  for (std::size_t i = 0; i < got && names[i] != '\0'; i += std::strlen(&names[i]) + 1)
    known.push_back(winport::AsciiUpper(&names[i]));
  auto isKnown = [&](const std::string& section) {
    std::string upper = winport::AsciiUpper(section);
    for (const auto& name : known)
      if (name == upper) return true;
    return false;
  };

  bool ok = true;
  auto failed = [&]() {
    ok = false;
    LogError("CReportStore::WriteINI - failed to write", winport::GetLastError());
  };
  for (std::size_t first = 0; first < entries.size();) {
    std::size_t last = first + 1;
    while (last < entries.size() && entries[last].section == entries[first].section) ++last;
    const std::string& section = entries[first].section;
    if (last - first > 1 && !isKnown(section)) {
      std::string lines;
      for (std::size_t i = first; i < last; ++i)
        lines += entries[i].key + "=" + entries[i].value + '\0';
      lines += '\0';
      if (!WritePrivateProfileSectionA(section.c_str(), lines.c_str(), m_szCurrentPath)) failed();
    } else {
      for (std::size_t i = first; i < last; ++i)
        if (!WritePrivateProfileStringA(section.c_str(), entries[i].key.c_str(),
                                        entries[i].value.c_str(), m_szCurrentPath))
          failed();
    }
    known.push_back(winport::AsciiUpper(section));
    first = last;
  }
  return ok;
}
