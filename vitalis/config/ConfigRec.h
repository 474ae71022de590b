// Configuration record worker: a one-pass thread, started when the product version changed
// since the last report, that gathers the installation's settings (product version, receiver
// tuning, dish pointing, dial-up gateway, operating system, memory, disk and processors) and
// writes them as one "System Config" section into the current report file.
#pragma once

#include <memory>

#include "core/Thread.h"
#include "core/Win.h"
#include "reports/ProxyBag.h"

class CReportStore;

// One processor as the CentralProcessor key describes it. Owned by the processor bag's user.
struct ProcessorInfo {
  ProcessorInfo();
  DWORD m_dwMHz;  // 0 = not known
  std::unique_ptr<char[]> m_pszIdentifier;
  std::unique_ptr<char[]> m_pszVendorIdentifier;
};

class CConfigRec : public CThread {
 public:
  explicit CConfigRec(CReportStore* store);
  ~CConfigRec() override;
  BOOL Run() override;
  const char* GetClassName() override { return "CConfigRec (Config Thread)"; }

  // Records `version` as "LastReportedVersion", so that the record is not written again for it.
  void WriteVersionNo(const char* version);

  // The steps of Run, in their order.
  void PopulateOrbilinkVerInfo();
  void GetOSVersionString();
  void GetProcessorDetails();
  void PopulateMemoryParameters();
  void PopulatePointingParams();
  void PopulateSetupParams();
  void PopulateZnParams();
  void PopulateWinVesddParams();
  void WriteConfigRecord();

 protected:
  // Takes every ProcessorInfo out of the bag and frees it.
  void EmptyProcessorBag();

  CReportStore* m_pReportStore;
  ProxyBag m_ProcessorBag;

  // Texts read from the registry; null when the value was not there.
  std::unique_ptr<char[]> m_pszVesddRxFreq;
  std::unique_ptr<char[]> m_pszFramingMode;
  std::unique_ptr<char[]> m_pszModulationType;
  std::unique_ptr<char[]> m_pszReceiveSymbolRate;
  std::unique_ptr<char[]> m_pszScramblerMode;
  std::unique_ptr<char[]> m_pszViterbiMode;
  std::unique_ptr<char[]> m_pszFilterRolloff;
  std::unique_ptr<char[]> m_pszCountry;
  std::unique_ptr<char[]> m_pszSatFrequency;
  std::unique_ptr<char[]> m_pszSatLongitude;
  std::unique_ptr<char[]> m_pszSatLongitudeEW;
  std::unique_ptr<char[]> m_pszSatPolarization;
  std::unique_ptr<char[]> m_pszSatPolarizationOffset;
  std::unique_ptr<char[]> m_pszGatewayIP;
  std::unique_ptr<char[]> m_pszLanguage;
  std::unique_ptr<char[]> m_pszVersion;
  std::unique_ptr<char[]> m_pszPreviousVersion;
  std::unique_ptr<char[]> m_pszBuildNo;
  // From the setup file: buffers of SETUP_TEXT_SIZE bytes.
  std::unique_ptr<char[]> m_pszState;
  std::unique_ptr<char[]> m_pszCity;
  // From the operating system's version information.
  std::unique_ptr<char[]> m_pszOSName;
  std::unique_ptr<char[]> m_pszServiceRelease;
  // Byte counts, kept whole: machines have more than 4 GiB.
  ULONGLONG m_ullTotalPhysicalMemory;
  ULONGLONG m_ullTotalVirtualMemory;
  DWORD m_dwProcessorCount;

 public:
  static constexpr DWORD SETUP_TEXT_SIZE = 100;
  // Longest registry text taken into the record; anything longer is cut there.
  static constexpr DWORD MAX_TEXT_LENGTH = 1024;
};
