// The report store: state file, report records, roll-over, diagnostics numbering, failure
// records and the age rules.
#include <gtest/gtest.h>
#include <winport/clock.h>
#include <winport/file.h>
#include <winport/handle.h>
#include <winport/profile.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "stats/StoreFixture_testing.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// The original platform's asctime text: the day of the month with a leading zero.
std::string AscText(const std::tm& tm) {
  char text[64];
  std::strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y", &tm);
  return text;
}

std::string AscUtc(std::time_t t) {
  return AscText(winport::UtcTime(t));
}

std::string AscLocal(std::time_t t) {
  return AscText(winport::LocalTime(t));
}

const char kBin[] = "c:\\Orbilink\\Vitalis\\vitalis.bin";

// The [<nnn>SQF] section with its losses and the one bucket holding a sample (-1: none).
std::string SqfSection(const std::string& nnn, int bucket) {
  static const char* const kKeys[] = {"0_49",    "50_59",   "60_69",   "70_79",   "80_89", "90_99",
                                      "100_109", "110_119", "120_129", "130_139", "140_"};
  std::string text = "\r\n[" + nnn + "SQF]\r\nNumber  of Acquisition Loss =0\r\n";
  for (int i = 0; i < 11; ++i) text += "SQF"s + kKeys[i] + "=" + (i == bucket ? "1" : "0") + "\r\n";
  return text;
}

void FillPeriod(CTestStore& store) {
  store.m_dwRunStart = 1000;
  store.m_dwRunStop = 5000;
  store.m_dwPeriodStart = 1796500000;
  std::strcpy(store.m_szCurrentName, "HR2026120603.ini");
  store.m_dwReportCounter = 4;
  store.m_dwDiagGroupCounter[0] = 5;
  store.m_dwDiagGroupCounter[1] = 6;
  store.m_dwDiagGroupCounter[2] = 7;
  store.m_VesddBase.dwCRCErrors = 11;
  store.m_VesddBase.dwMegaBytesReceived = 12;
  store.m_VesddBase.dwHeartBeat = 13;
  store.m_VesddBase.dwDriverOpMode = 2;
  std::strcpy(store.m_VesddBase.szSiteID, "SITE9");
  std::strcpy(store.m_VesddBase.szSerialNumber, "SN1");
  std::strcpy(store.m_VesddBase.szDriverVersion, "4.0");
  std::strcpy(store.m_VesddBase.szAddressStats, "x\ny\nz\n");
  store.UpdateNewscastStats(0x100000001ull, 2, 3, 4, 5);
  store.UpdateSqfCounters(95);
  store.UpdateSqfCounters(0);
  store.UpdateAcquisitionLoss();
  store.UpdatePDCounters(7, TRUE);
  store.UpdatePDCounters(0, FALSE);
  store.m_dwFailureCounter = 3;
  const char* numbers[] = {"111", "222", "333", "444"};
  DWORD busy[] = {1, 9, 4, 6};
  for (int i = 0; i < 4; ++i) {
    ZN_NODE node;
    node.SetPhoneNumber(numbers[i]);
    node.dwBusy = busy[i];
    node.dwAttempts = 1;
    store.UpdateTiStats(node);
  }
}

TEST_F(StoreTest, StateFileRoundTrip) {
  {
    CTestStore store;
    Prepare(store);
    FillPeriod(store);
    store.WriteBinData();
  }
  std::string bytes = Read(kBin);
  ASSERT_EQ(bytes.size(), 4424u);
  EXPECT_EQ(bytes.substr(12, 17), std::string("HR2026120603.ini\0", 17));
  EXPECT_EQ(bytes.substr(4308, 4), "222\0"s);                // busiest number first
  EXPECT_EQ(static_cast<unsigned char>(bytes[4420]), 3);     // failure record counter
  EXPECT_EQ(static_cast<unsigned char>(bytes[48 + 44]), 2);  // base operation mode
  EXPECT_EQ(bytes.substr(48 + 175, 6), "SITE9\0"s);
  EXPECT_FALSE(fs::exists(Host(kBin) + ".tmp"));

  CTestStore back;
  Prepare(back);
  back.ReadBinData();
  EXPECT_EQ(back.m_dwPrevRunStart, 1000u);
  EXPECT_EQ(back.m_dwPrevRunStop, 5000u);
  EXPECT_NEAR(back.m_dwRunStart, kNow, 5);
  EXPECT_STREQ(back.m_szCurrentPath, "c:\\Orbilink\\Vitalis\\HR2026120603.ini");
  EXPECT_EQ(back.m_ZnList.Count(), 3u);
  // Every other field came back as it was: written again, the file is the same to the byte.
  back.m_dwRunStart = 1000;
  back.m_dwRunStop = 5000;
  back.WriteBinData();
  const std::string again = Read(kBin);
  ASSERT_EQ(again.size(), bytes.size());
  const auto differ = std::mismatch(again.begin(), again.end(), bytes.begin()).first;
  EXPECT_TRUE(differ == again.end()) << "differs from byte " << differ - again.begin();
}

TEST_F(StoreTest, RepeatedNumberInStateFileMerges) {
  {
    CTestStore store;
    Prepare(store);
    FillPeriod(store);
    store.WriteBinData();
  }
  std::string bytes = Read(kBin);
  bytes.replace(4308 + 32, 32, bytes.substr(4308, 32));  // second record = first record
  std::ofstream(Host(kBin), std::ios::binary | std::ios::trunc) << bytes;
  CTestStore back;
  Prepare(back);
  back.ReadBinData();
  ASSERT_EQ(back.m_ZnList.Count(), 2u);
  ZN_NODE first = back.m_ZnList.PopFront();
  ZN_NODE second = back.m_ZnList.PopFront();
  const ZN_NODE& merged = std::strcmp(first.szPhoneNumber, "222") == 0 ? first : second;
  EXPECT_STREQ(merged.szPhoneNumber, "222");
  EXPECT_EQ(merged.dwBusy, 18u);
  EXPECT_EQ(merged.dwAttempts, 2u);
}

TEST_F(StoreTest, MissingShortOrGarbageStateFile) {
  {
    CTestStore store;
    Prepare(store);
    store.ReadBinData();  // no file
    EXPECT_NEAR(store.m_dwPeriodStart, kNow, 5);
    EXPECT_STREQ(store.m_szCurrentName, "HR2026120604.ini");
    EXPECT_EQ(store.m_dwReportCounter, 1u);
    EXPECT_EQ(store.m_PD.dwAttempts, 0u);
  }
  {
    // Ten bytes: the two run times are whole, the period start is not.
    std::string bytes("\x01\x02\x00\x00\x03\x04\x00\x00\x05\x06", 10);
    std::ofstream(Host(kBin), std::ios::binary | std::ios::trunc) << bytes;
    CTestStore store;
    Prepare(store);
    store.ReadBinData();
    EXPECT_EQ(store.m_dwPrevRunStart, 0x201u);
    EXPECT_EQ(store.m_dwPrevRunStop, 0x403u);
    EXPECT_NEAR(store.m_dwPeriodStart, kNow, 5);
    EXPECT_STREQ(store.m_VesddBase.szSiteID, "N.A.");
    EXPECT_STREQ(store.m_szCurrentName, "HR2026120604.ini");
  }
  for (std::size_t size : {4423u, 4424u, 9000u}) {
    // Every byte 0xFF: no text field is terminated in the file.
    std::ofstream(Host(kBin), std::ios::binary | std::ios::trunc) << std::string(size, '\xff');
    CTestStore store;
    Prepare(store);
    store.ReadBinData();
    EXPECT_STREQ(store.m_szCurrentName, "HR2026120604.ini");  // not a name of ours
    EXPECT_EQ(std::strlen(store.m_VesddBase.szAddressStats), 4002u);
    EXPECT_LE(store.m_ZnList.Count(), 3u);
    store.SetEnableType(TRUE, TRUE, TRUE);
    store.m_VesddDelta = store.m_VesddBase;
    store.CreateTiStats();
    EXPECT_TRUE(store.WriteHRRecordToINI());  // hostile texts are still written safely
    EXPECT_TRUE(fs::remove(Host(store.m_szCurrentPath)));
  }
}

TEST_F(StoreTest, CheckpointKeepsTheRunningValuesAndReplacesTheFile) {
  CTestStore store;
  Prepare(store);
  store.ReadBinData();
  FillPeriod(store);
  store.m_dwRunStop = 0;
  store.Checkpoint();
  std::string bytes = Read(kBin);
  ASSERT_EQ(bytes.size(), 4424u);
  DWORD stop;
  std::memcpy(&stop, bytes.data() + 4, 4);
  EXPECT_NEAR(stop, kNow, 5);             // the checkpoint time
  EXPECT_EQ(store.m_dwRunStop, 0u);       // the run goes on
  EXPECT_EQ(store.m_ZnList.Count(), 4u);  // the list keeps every number
  EXPECT_EQ(bytes.substr(4308, 4), "222\0"s);
  EXPECT_FALSE(fs::exists(Host(kBin) + ".tmp"));

  // Changed counts are saved by the timer at the latest every ten minutes.
  store.UpdatePDCounters(1, TRUE);
  winport::AdvanceClock(590);
  store.OnTimer();
  EXPECT_EQ(Read(kBin), bytes);
  winport::AdvanceClock(10);
  store.OnTimer();
  std::string saved = Read(kBin);
  EXPECT_NE(saved, bytes);
  EXPECT_EQ(static_cast<unsigned char>(saved[4404]), 3);  // attempts
  // Unchanged counts are not written again.
  winport::AdvanceClock(3600);
  fs::remove(Host(kBin));
  store.OnTimer();
  EXPECT_FALSE(fs::exists(Host(kBin)));
}

TEST_F(StoreTest, RegistrySettingsAndCorrections) {
  SetHealthReport("MaxAge", 1);
  SetHealthReport("MinAge", 1);
  SetHealthReport("Periodicity", 0);
  CTestStore store;
  store.InitFromRegistry();
  EXPECT_EQ(store.m_dwMaxAge, 10u);
  EXPECT_EQ(store.m_dwMinAge, 1u);
  EXPECT_EQ(store.m_dwPeriodicity, 1u);
  EXPECT_STREQ(store.GetBaseDirectory(), "c:\\Orbilink");
  SetHealthReport("MaxAge", 20);
  SetHealthReport("MinAge", 2);
  store.InitFromRegistry();
  EXPECT_EQ(store.m_dwMaxAge, 20u);
  EXPECT_EQ(store.m_dwMinAge, 2u);
}

TEST_F(StoreTest, RecordWithBothFlagsClear) {
  CTestStore store;
  Prepare(store, FALSE, FALSE);
  store.ReadBinData();
  store.m_dwRunningMinutes = 75;
  store.UpdateSqfCounters(55);
  store.UpdatePDCounters(3, TRUE);
  EXPECT_TRUE(store.WriteHRRecordToINI());
  EXPECT_EQ(Read("c:\\Orbilink\\Vitalis\\HR2026120604.ini"),
            "[Header]\r\n"s + "HRTime001=" + AscUtc(store.m_dwPeriodStart) +
                ",,.\r\n"
                "\r\n[001General]\r\n"
                "SiteID=N.A.\r\n"
                "ORBNav Running Minutes=75\r\n"
                "Serial No=N.A.\r\n" +
                SqfSection("001", 1) +
                "\r\n[001VesddStatistics]\r\n"
                "VesddStats0001=HeartBeat,0\r\n"
                "VesddStats0002=MegaBytes Received,0\r\n"
                "VesddStats0003=Low on Buffers,0\r\n"
                "VesddStats0004=Data Limit Errors,0\r\n");
  EXPECT_EQ(store.m_dwReportCounter, 2u);
  EXPECT_NEAR(store.m_dwPeriodStart, kNow, 5);  // the clock runs on from kNow
}

TEST_F(StoreTest, RecordWithEveryFlag) {
  CTestStore store;
  Prepare(store, TRUE, TRUE);
  store.ReadBinData();
  store.m_dwReportCounter = 12;
  VESDD_STATS& d = store.m_VesddDelta;
  d.dwHeartBeat = 1;
  d.dwMegaBytesReceived = 2;
  d.dwLowOnBuffers = 3;
  d.dwDataLimitErrors = 4;
  d.dwFramesProcessed = 5;
  d.dwFramesAccepted = 6;
  d.dwFramesRejected = 7;
  d.dwFErrors = 8;
  d.dwRawSignalQuality = 9;
  d.dwCRCErrors = 10;
  d.dwMulticastAdds = 11;
  d.dwDriverOpMode = 1;
  std::strcpy(d.szDriverVersion, "4.10");
  std::strcpy(d.szSerialNumber, "A1");
  std::strcpy(d.szSiteID, "S7");
  std::strcpy(d.szAddressStats, "a1\na2\na3 long line\nb1\nb2\nb3\nc1\nc2");
  for (const char* number : {"555-1", "555-2", "555-3"}) {
    ZN_NODE node;
    node.SetPhoneNumber(number);
    node.dwBusy = number[4] - '0';
    node.dwAttempts = 10;
    store.UpdateTiStats(node);
  }
  store.CreateTiStats();
  store.UpdatePDCounters(2048, TRUE);
  store.UpdatePDCounters(0, FALSE);
  store.UpdateNewscastStats(5000000000ull, 1, 2, 3, 4);
  EXPECT_TRUE(store.WriteHRRecordToINI());
  EXPECT_EQ(Read("c:\\Orbilink\\Vitalis\\HR2026120604.ini"),
            "[Header]\r\n"s + "HRTime012=" + AscUtc(store.m_dwPeriodStart) +
                ",SiteID,ServiceSpecific.\r\n"
                "\r\n[012General]\r\n"
                "SiteID=S7\r\n"
                "ORBNav Running Minutes=0\r\n"
                "Serial No=A1\r\n" +
                SqfSection("012", -1) +
                "\r\n[012VesddStatistics]\r\n"
                "VesddStats0001=HeartBeat,1\r\n"
                "VesddStats0002=MegaBytes Received,2\r\n"
                "VesddStats0003=Low on Buffers,3\r\n"
                "VesddStats0004=Data Limit Errors,4\r\n"
                "VesddStats0005=Frames Processed,5\r\n"
                "VesddStats0006=Frames Accepted,6\r\n"
                "VesddStats0007=Frames Rejected,7\r\n"
                "VesddStats0008=F Errors,8\r\n"
                "VesddStats0009=Raw Signal Quality,9\r\n"
                "VesddStats0010=CRC Errors,10\r\n"
                "VesddStats0011=Multicast Adds,11\r\n"
                "VesddStats0012=Driver Version,4.10\r\n"
                "VesddStats0013=Serial Number,A1\r\n"
                "DriverOpMode=DVB\r\n"
                "Address0001=a3 long line\n\r\n"
                "Address0002=b3\n\r\n"
                "\r\n[012Zn Statistics]\r\n"
                "00Phone=555-3\r\n"
                "00Total Dialouts=10\r\n"
                "00Busy Dialouts=3\r\n"
                "01Phone=555-2\r\n"
                "01Total Dialouts=10\r\n"
                "01Busy Dialouts=2\r\n"
                "02Phone=555-1\r\n"
                "02Total Dialouts=10\r\n"
                "02Busy Dialouts=1\r\n"
                "\r\n[012PD Statistics]\r\n"
                "Attempts=2\r\n"
                "Failures=1\r\n"
                "Success=1\r\n"
                "Kilobytes=2048\r\n"
                "\r\n[012Newscast Statistics]\r\n"
                "Incomplete LMP Count=1\r\n"
                "Complete LMP Count=2\r\n"
                "Num Headers Read=3\r\n"
                "Num Articles Read=4\r\n"
                "Pkg Mbytes Read=5000000000\r\n");
}

TEST_F(StoreTest, RecordIntoSectionsAlreadyInTheFileKeepsTheirKeys) {
  CTestStore store;
  Prepare(store);
  store.ReadBinData();
  std::ofstream(Host(store.m_szCurrentPath), std::ios::binary)
      << "[001general]\r\nOther=1\r\nSerial No=old\r\n";
  EXPECT_TRUE(store.WriteHRRecordToINI());
  std::string text = Read(store.m_szCurrentPath);
  EXPECT_EQ(text.substr(0, text.find("[Header]")),
            "[001general]\r\nOther=1\r\nSerial No=N.A.\r\nSiteID=N.A.\r\n"
            "ORBNav Running Minutes=0\r\n\r\n");
}

TEST_F(StoreTest, NothingIsWrittenWhileDisabled) {
  CTestStore store;
  store.InitFromRegistry();
  store.SetEnableType(TRUE, TRUE, FALSE);
  store.ReadBinData();
  store.WriteHRRecordToINI();
  store.WriteDiagResultToINIFile("DIAGNOSTICS", "time", "now");
  EXPECT_TRUE(fs::is_empty(ReportDir()));
}

TEST_F(StoreTest, SizeRollOverAtExactlyTheLimit) {
  SetHealthReport("MaxFileSize", 1);
  CTestStore store;
  Prepare(store);
  store.ReadBinData();
  std::string first = store.m_szCurrentPath;
  std::ofstream(Host(first), std::ios::binary) << std::string(1023, 'x');
  EXPECT_TRUE(store.SynchronizeINIFile());
  EXPECT_EQ(store.m_szCurrentPath, first);
  std::ofstream(Host(first), std::ios::binary | std::ios::app) << "x";
  store.m_dwReportCounter = 9;
  EXPECT_TRUE(store.SynchronizeINIFile());
  EXPECT_NE(store.m_szCurrentPath, first);
  EXPECT_EQ(store.m_dwReportCounter, 1u);
  // The same hour's name is taken already: the next free one is used.
  EXPECT_STREQ(store.m_szCurrentName, "HR2026120605.ini");

  // While a diagnostics result is written the check waits for its end.
  std::string second = store.m_szCurrentPath;
  std::ofstream(Host(second), std::ios::binary) << std::string(2000, 'x');
  store.SetDiagResultWriting(TRUE);
  EXPECT_TRUE(store.SynchronizeINIFile());
  EXPECT_EQ(store.m_szCurrentPath, second);
  store.SetDiagResultWriting(FALSE);
  EXPECT_NE(store.m_szCurrentPath, second);
}

TEST_F(StoreTest, DiagnosticsGroupsAndTheirRestartInANewFile) {
  CTestStore store;
  Prepare(store);
  store.ReadBinData();
  std::string first = store.m_szCurrentPath;
  store.WriteDiagResultToINIFile("DIAGNOSTICS", "time", "t1");
  store.WriteDiagResultToINIFile("DIAGNOSTICS", "TestStatus", "0");
  store.WriteDiagResultToINIFile("DIAGNOSTICS", "time", "t2");
  store.WriteDiagResultToINIFile("DiagCorrection", "time", "t3");
  store.WriteDiagResultToINIFile("Other", "time", "t4");
  store.WriteDiagResultToINIFile("Other", "x", "y");
  EXPECT_EQ(Read(first),
            "[DIAGNOSTICS]\r\n0001time=t1\r\n0001TestStatus=0\r\n0002time=t2\r\n\r\n"
            "[DiagCorrection]\r\n0001time=t3\r\n\r\n"
            "[Other]\r\n0001time=t4\r\n0001x=y\r\n");
  store.GetNewININame();
  store.WriteDiagResultToINIFile("DIAGNOSTICS", "time", "t5");
  EXPECT_EQ(Read(store.m_szCurrentPath), "[DIAGNOSTICS]\r\n0001time=t5\r\n");
}

TEST_F(StoreTest, FailureRecordKeysAndTimes) {
  CTestStore store;
  Prepare(store, TRUE, FALSE);
  store.ReadBinData();
  BYTE record[CReportStore::PD_RECORD_SIZE] = {};
  auto put32 = [&](int offset, DWORD value) { std::memcpy(record + offset, &value, 4); };
  put32(0, 0x80000000u);  // FSD time beyond what the C library shows
  put32(4, 86400);        // FRD time
  put32(8, 7);
  record[12] = 2;
  put32(16, 3);
  std::strcpy(reinterpret_cast<char*>(record + 20), "client");
  std::strcpy(reinterpret_cast<char*>(record + 31), "provider");
  std::strcpy(reinterpret_cast<char*>(record + 42), "a package");
  std::memset(record + 554, 'T', 14);  // unterminated topic
  put32(568, 0xBEEF);
  record[572] = static_cast<BYTE>(-2);
  put32(576, 123456);
  std::time_t before = winport::Now();
  store.WritePDFailureRecord(record);
  record[12] = 9;
  put32(8, 42);
  store.WritePDFailureRecord(record);
  std::time_t after = winport::Now();
  std::string text = Read(store.m_szCurrentPath);
  // Each record's own time is the moment it was written.
  for (const char* key : {"001-Time =", "002-Time ="}) {
    std::size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos) << text;
    at += std::strlen(key);
    std::size_t end = text.find('\n', at);
    std::string written = text.substr(at, end - at);
    // Under load the two writes may take seconds: any second between the two readings will do.
    bool within = false;
    for (std::time_t t = before; t <= after && !within; ++t) within = written == AscLocal(t);
    EXPECT_TRUE(within) << written;
    text.replace(at, end - at, "<now>");
  }
  // Time values keep ctime's line feed, and the writer's CR LF follows it.
  auto expected = [](const std::string& n, const char* reason, const char* state) {
    return n + "-Time =<now>\n\r\n" + n + "-Package Description =a package\r\n" + n +
           "-Topic=TTTTTTTTTTTTTT\r\n" + n + "-Package Provider =provider\r\n" + n +
           "-Client Name =client\r\n" + n + "-Delivery Status =-2\r\n" + n +
           "-Request Reason=" + reason + "\r\n" + n + "-Current State=" + state + "\r\n" + n +
           "-File Mask =0000beef\r\n" + n + "-Number Of Loads =3\r\n" + n +
           "-FRD Time=Fri Jan 02 00:00:00 1970\n\r\n" + n + "-FSD Time=Time Not Set\n\r\n" + n +
           "-Client File Size =123456\r\n";
  };
  EXPECT_EQ(text, "[PD_FAILURE_STATISTICS]\r\n" +
                      expected("001", "SFX_BAD_CHECKSUM", "SFXFDB_FILE_LOAD_FAILED") +
                      expected("002", "Undefined", "Undefined"));
  EXPECT_EQ(store.m_dwFailureCounter, 3u);
}

void SetWriteTime(const std::string& winPath, std::time_t t) {
  HANDLE file = CreateFileA(winPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME ft = winport::TimeToFileTime(t);
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &ft));
  CloseHandle(file);
}

TEST_F(StoreTest, AgeRules) {
  CTestStore store;
  Prepare(store);
  EXPECT_EQ(store.IsAnyReportOldEnough(0), 0u);  // nothing there
  std::time_t now = winport::Now();
  SetWriteTime("c:\\Orbilink\\Vitalis\\HR2026110604.ini", now - 2592000);
  SetWriteTime("c:\\Orbilink\\Vitalis\\HR2026110605.ini", now - 2591990);
  SetWriteTime("c:\\Orbilink\\Vitalis\\other.ini", now - 9999999);
  EXPECT_EQ(store.IsAnyReportOldEnough(1), 1u);
  EXPECT_EQ(store.IsAnyReportOldEnough(7), 0u);
  EXPECT_EQ(store.IsAnyReportOldEnough(2), 0u);
  EXPECT_FALSE(fs::exists(ReportDir() + "/HR2026110604.ini"));
  EXPECT_TRUE(fs::exists(ReportDir() + "/HR2026110605.ini"));
  EXPECT_TRUE(fs::exists(ReportDir() + "/other.ini"));

  // Maximum age: exactly ten days is old enough.
  fs::remove(ReportDir() + "/HR2026110605.ini");
  SetWriteTime("c:\\Orbilink\\Vitalis\\HR2026112604.ini", now - 10 * 86400 + 10);
  EXPECT_EQ(store.IsAnyReportOldEnough(0), 0u);
  winport::AdvanceClock(10);
  EXPECT_EQ(store.IsAnyReportOldEnough(0), 1u);
}

TEST_F(StoreTest, MidnightCleanUpRunsOncePerNight) {
  CTestStore store;
  Prepare(store);
  winport::SetNow(1796601600);  // Mon Dec  7 00:00:00 2026
  std::string old = "c:\\Orbilink\\Vitalis\\HR2026110700.ini";
  SetWriteTime(old, 1796601600 - 2592000);
  store.OnTimer();
  EXPECT_FALSE(fs::exists(Host(old)));
  SetWriteTime(old, 1796601600 - 2592000);
  store.OnTimer();  // same night: no second run
  EXPECT_TRUE(fs::exists(Host(old)));
  winport::SetNow(1796601600 + 3600);
  store.OnTimer();
  winport::SetNow(1796601600 + 86400);
  store.OnTimer();
  EXPECT_FALSE(fs::exists(Host(old)));
}

TEST_F(StoreTest, FileReadyForTxAfterMinimumAge) {
  CTestStore store;
  Prepare(store);
  std::string path = "c:\\Orbilink\\Vitalis\\HR2026120604.ini";
  EXPECT_FALSE(store.FileReadyForTx(path.c_str()));  // no file
  std::ofstream(Host(path)) << "x";
  winport::SetClockOffset(0);
  EXPECT_FALSE(store.FileReadyForTx(path.c_str()));
  winport::AdvanceClock(86400 + 5);
  EXPECT_TRUE(store.FileReadyForTx(path.c_str()));
}

TEST_F(StoreTest, FailedRecordKeepsItsNumberThePeriodAndTheCounts) {
  SetMainDirectory("c:\\Broken");
  ASSERT_TRUE(CreateDirectoryA("c:\\Broken", nullptr));
  std::ofstream(Host("c:\\Broken") + "/Vitalis") << "not a directory";
  CTestStore store;
  Prepare(store, FALSE, TRUE);
  store.ReadBinData();
  store.UpdatePDCounters(3, TRUE);
  const DWORD periodStart = store.m_dwPeriodStart - 86400;
  store.m_dwPeriodStart = periodStart;
  EXPECT_FALSE(store.WriteHRRecordToINI());
  EXPECT_EQ(store.m_PD.dwAttempts, 1u);
  EXPECT_EQ(store.m_dwReportCounter, 1u);
  EXPECT_EQ(store.m_dwPeriodStart, periodStart);
  EXPECT_TRUE(store.HasNewPeriodStarted());
  store.OnShutDown();  // traced, no crash

  // Once the directory can be written, the same record goes in under its own number.
  fs::remove(Host("c:\\Broken") + "/Vitalis");
  ASSERT_TRUE(CreateDirectoryA("c:\\Broken\\Vitalis", nullptr));
  EXPECT_TRUE(store.WriteHRRecordToINI());
  EXPECT_EQ(store.m_dwReportCounter, 2u);
  EXPECT_FALSE(store.HasNewPeriodStarted());
  std::string text = Read(store.m_szCurrentPath);
  EXPECT_NE(text.find("HRTime001="), std::string::npos) << text;
  EXPECT_NE(text.find("[001PD Statistics]"), std::string::npos);
}

TEST_F(StoreTest, RetriedRecordReplacesWhatPartOfItGotIn) {
  CTestStore store;
  Prepare(store, FALSE, TRUE);
  store.ReadBinData();
  store.UpdatePDCounters(5, TRUE);
  // What an earlier attempt left behind before its writes began to fail.
  std::ofstream(Host(store.m_szCurrentPath), std::ios::binary)
      << "[Header]\r\nHRTime001=Sun Dec 06 03:00:00 2026,,.\r\n\r\n"
         "[001General]\r\nSiteID=N.A.\r\nORBNav Running Minutes=0\r\n";
  EXPECT_TRUE(store.WriteHRRecordToINI());
  std::string text = Read(store.m_szCurrentPath);
  EXPECT_EQ(text.find("HRTime001="), text.rfind("HRTime001=")) << text;
  EXPECT_EQ(text.find("HRTime002"), std::string::npos);
  EXPECT_EQ(text.find("[001General]"), text.rfind("[001General]"));
  EXPECT_NE(text.find("[001PD Statistics]\r\nAttempts=1\r\nSuccess=1\r\nKilobytes=5\r\n"),
            std::string::npos)
      << text;
}

TEST_F(StoreTest, StoredReportNameMustBeOneTheStoreMakes) {
  struct Case {
    const char* name;
    const char* expected;
  } cases[] = {
      {"HR2026120100.ini", "HR2026120100.ini"},
      {"HR2026120125.ini", "HR2026120125.ini"},  // moved on by a roll-over
      {"..\\..\\evil.ini", "HR2026120604.ini"},
      {"HR/../../x.ini", "HR2026120604.ini"},
      {"report.txt", "HR2026120604.ini"},
      {"HR.ini", "HR2026120604.ini"},
      {"HR2026120100.ini.x", "HR2026120604.ini"},
      {"hr2026120100.INI", "HR2026120604.ini"},
  };
  for (const Case& c : cases) {
    std::string bytes(4424, '\0');
    std::memcpy(bytes.data() + 12, c.name, std::strlen(c.name));
    std::ofstream(Host(kBin), std::ios::binary | std::ios::trunc) << bytes;
    CTestStore store;
    Prepare(store);
    store.ReadBinData();
    EXPECT_STREQ(store.m_szCurrentName, c.expected) << c.name;
    EXPECT_EQ(std::string(store.m_szCurrentPath), "c:\\Orbilink\\Vitalis\\"s + c.expected);
    store.WriteINI("s", "k", "v");
    EXPECT_TRUE(fs::exists(ReportDir() + "/" + c.expected)) << c.name;
    fs::remove(ReportDir() + "/" + c.expected);
  }
  EXPECT_FALSE(fs::exists(Host("c:\\evil.ini")));
  EXPECT_FALSE(fs::exists(Host("c:\\Orbilink\\evil.ini")));
}

std::vector<BYTE> GenericMessage(const std::string& section, const std::string& key,
                                 const std::string& value) {
  std::vector<BYTE> message = {5, 0, 0, 0};
  for (const std::string& text : {section, key, value}) {
    message.push_back(static_cast<BYTE>(text.size() + 1));
    message.insert(message.end(), {0, 0, 0});
    message.insert(message.end(), text.begin(), text.end());
    message.push_back(0);
  }
  return message;
}

std::vector<std::string> SectionNames(const std::string& path) {
  std::vector<char> names(4096, '\0');
  DWORD got =
      GetPrivateProfileSectionNamesA(names.data(), static_cast<DWORD>(names.size()), path.c_str());
  std::vector<std::string> result;
  for (DWORD i = 0; i < got && names[i] != '\0';
       i += static_cast<DWORD>(std::strlen(&names[i])) + 1)
    result.emplace_back(&names[i]);
  return result;
}

TEST_F(StoreTest, TextsFromMailslotRecordsStayOnTheirLine) {
  CTestStore store;
  Prepare(store, TRUE, TRUE);
  store.ReadBinData();
  std::string path = store.m_szCurrentPath;

  store.WriteGeneralData(
      GenericMessage("Diag\r\n[Header]", "Key\n[Header]", "v\r\nHRTime999=forged").data());
  store.WriteGeneralData(GenericMessage("Diag", "[Header]", "HRTime998=forged").data());
  store.WriteGeneralData(GenericMessage("Header]x", "k", "v").data());
  EXPECT_EQ(Read(path),
            "[Diag  [Header ]\r\nKey [Header]=v  HRTime999=forged\r\n\r\n"
            "[Diag]\r\n Header]=HRTime998=forged\r\n\r\n"
            "[Header x]\r\nk=v\r\n");

  BYTE record[CReportStore::PD_RECORD_SIZE] = {};
  std::strcpy(reinterpret_cast<char*>(record + 42), "line1\r\n[Header]\r\nHRTime997=forged");
  std::strcpy(reinterpret_cast<char*>(record + 554), "t\n[x]");
  std::strcpy(reinterpret_cast<char*>(record + 31), "p\r");
  std::strcpy(reinterpret_cast<char*>(record + 20), "c\n");
  store.WritePDFailureRecord(record);
  std::string text = Read(path);
  EXPECT_NE(text.find("001-Package Description =line1  [Header]  HRTime997=forged\r\n"
                      "001-Topic=t [x]\r\n001-Package Provider =p \r\n001-Client Name =c \r\n"),
            std::string::npos)
      << text;

  ZN_NODE node;
  node.SetPhoneNumber("555\r\n[Header]");
  node.dwBusy = 1;
  store.UpdateTiStats(node);
  store.CreateTiStats();
  EXPECT_TRUE(store.WriteHRRecordToINI());
  text = Read(path);
  EXPECT_NE(text.find("00Phone=555  [Header]\r\n"), std::string::npos) << text;

  // The store's own header is the only one, with the one entry the record made.
  char header[256];
  DWORD got = GetPrivateProfileSectionA("Header", header, sizeof header, path.c_str());
  ASSERT_GT(got, 10u);
  EXPECT_EQ(std::string(header, 10), "HRTime001=");
  EXPECT_EQ(std::strlen(header), got - 1);  // one entry
  std::vector<std::string> names = SectionNames(path);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Header"), 1);
  EXPECT_EQ(text.find("\nHRTime99"), std::string::npos);
}

TEST_F(StoreTest, FailedCheckpointLeavesTheStoredFileWhole) {
  CTestStore store;
  Prepare(store);
  store.ReadBinData();
  FillPeriod(store);
  store.Checkpoint();
  const std::string stored = Read(kBin);
  ASSERT_EQ(stored.size(), 4424u);
  const std::string temp = Host(kBin) + ".tmp";

  // The temporary file cannot be created.
  store.UpdatePDCounters(1, TRUE);
  fs::create_directory(temp);
  winport::AdvanceClock(CReportStore::CHECKPOINT_INTERVAL);
  store.OnTimer();
  EXPECT_EQ(Read(kBin), stored);
  EXPECT_TRUE(store.m_bCountsChanged);
  fs::remove(temp);

  // The disk is full: the temporary file takes no bytes.
  fs::create_symlink("/dev/full", temp);
  store.OnTimer();
  EXPECT_EQ(Read(kBin), stored);
  EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
  EXPECT_TRUE(store.m_bCountsChanged);

  // The temporary file cannot take the stored file's place.
  fs::rename(Host(kBin), Host(kBin) + ".kept");
  fs::create_directory(Host(kBin));
  std::ofstream(Host(kBin) + "/inside") << "x";
  store.OnTimer();
  EXPECT_TRUE(fs::is_directory(Host(kBin)));
  EXPECT_EQ(winport::testing::ReadFile(Host(kBin) + "/inside"), "x");
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_TRUE(store.m_bCountsChanged);
  fs::remove_all(Host(kBin));
  fs::rename(Host(kBin) + ".kept", Host(kBin));

  // With the way clear the next tick saves the counts.
  store.OnTimer();
  std::string saved = Read(kBin);
  ASSERT_EQ(saved.size(), 4424u);
  EXPECT_NE(saved, stored);
  EXPECT_EQ(static_cast<unsigned char>(saved[4404]), 3);  // attempts
  EXPECT_FALSE(store.m_bCountsChanged);
}

}  // namespace
