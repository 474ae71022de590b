#include "config/ConfigRec.h"

#include <orbutil.h>
#include <winport/profile.h>
#include <winport/registry.h>
#include <winport/system.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/Registry.h"
#include "core/TraceLog.h"
#include "stats/ReportStore.h"

namespace {

constexpr const char* kSection = "System Config";
constexpr const char* kPointingKey = "SOFTWARE\\Tessaline\\Orbilink\\Pointing";
constexpr const char* kZephyrKey = "SOFTWARE\\Tessaline\\Orbilink\\Zephyr";
constexpr const char* kWinvesddKey = "SOFTWARE\\Tessaline\\Orbilink\\Winvesdd";
constexpr const char* kProcessorKey = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor";
constexpr int kProcessorBagSize = 10;

enum class TextRead { Read, Missing, NoMemory };

// A copy of `text` in a buffer of its own, or null when memory ran out.
std::unique_ptr<char[]> CopyText(const char* text) {
  std::size_t length = std::strlen(text);
  std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
  if (copy) std::memcpy(copy.get(), text, length + 1);
  return copy;
}

// Reads a text value, its size first and then into a buffer of that size. Only text types count
// (a number or binary data where text belongs is taken as missing); the text ends at its first
// NUL, at the end of the data when there is none, and at the first line break, so that one
// value can never become several lines of the report; it is cut at MAX_TEXT_LENGTH.
TextRead ReadText(HKEY key, const char* name, std::unique_ptr<char[]>* out) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return TextRead::Missing;
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return TextRead::Missing;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<std::size_t>(size) + 1]);
  if (!buffer) return TextRead::NoMemory;
  DWORD read = size;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.get()), &read) !=
          ERROR_SUCCESS ||
      read > size) {
    return TextRead::Missing;  // changed under us; taken as not there
  }
  buffer[read] = '\0';
  std::size_t length = std::strcspn(buffer.get(), "\r\n");
  if (length > CConfigRec::MAX_TEXT_LENGTH) length = CConfigRec::MAX_TEXT_LENGTH;
  buffer[length] = '\0';
  *out = std::move(buffer);
  return TextRead::Read;
}

// One value of a key read by a Populate step: its registry name, the name its not-found and
// allocation lines give it, and where it goes.
struct ValueSource {
  const char* name;
  const char* label;
  std::unique_ptr<char[]>* field;
};

// The pattern the Populate steps share: each value in order, traced; a missing value is skipped,
// an allocation failure ends the reading of the key. False when the key could not be opened.
bool ReadValues(const char* operation, const char* keyPath, const char* openFailure,
                const std::vector<ValueSource>& values) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    LogInfoF("%s", openFailure);
    return false;
  }
  for (const ValueSource& v : values) {
    TextRead r = ReadText(key, v.name, v.field);
    if (r == TextRead::Missing) {
      LogInfoF("CConfigRec::%s - %s not found", operation, v.label);
      continue;
    }
    if (r == TextRead::NoMemory) {
      LogInfoF("CConfigRec::%s - Couldnot allocate mem for %s", operation, v.label);
      break;
    }
    LogInfoF("CConfigRec::%s - Successfully read the %s from the registry value =%s", operation,
             v.name, v.field->get());
  }
  RegCloseKey(key);
  return true;
}

const char* OrUnknown(const std::unique_ptr<char[]>& text, const char* unknown) {
  return text ? text.get() : unknown;
}

// The report store's lock, held for a scope.
class StoreLock {
 public:
  explicit StoreLock(CReportStore* store) : m_pStore(store) { m_pStore->Lock(); }
  ~StoreLock() { m_pStore->Unlock(); }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

 private:
  CReportStore* m_pStore;
};

// A bag's iteration region, held for a scope.
class BagIteration {
 public:
  explicit BagIteration(ProxyBag* bag) : m_pBag(bag) { m_pBag->BeginIteration(); }
  ~BagIteration() { m_pBag->EndIteration(); }
  BagIteration(const BagIteration&) = delete;
  BagIteration& operator=(const BagIteration&) = delete;

 private:
  ProxyBag* m_pBag;
};

std::string Unsigned(ULONGLONG value) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

ProcessorInfo::ProcessorInfo() : m_dwMHz(0) {
  LogInfoF("ProcessorInfo - constructor");
}

CConfigRec::CConfigRec(CReportStore* store)
    : m_pReportStore(store),
      m_ProcessorBag(kProcessorBagSize),
      m_ullTotalPhysicalMemory(0),
      m_ullTotalVirtualMemory(0),
      m_dwProcessorCount(0) {
  LogInfoF("CConfigRec::CConfigRec( void )");
}

CConfigRec::~CConfigRec() {
  StopAndJoin();
  LogInfoF("CConfigRec::~CConfigRec( void )");
  // A run stopped between its steps leaves its processors in the bag.
  EmptyProcessorBag();
}

BOOL CConfigRec::Run() {
  LogInfoF("CConfigRec::Run");
  m_bInitOK = TRUE;
  if (!SetEvent(m_hInitEvent)) {
    LogErrorF("CConfigRec::Run -- SetEvent  failed");
    return FALSE;
  }

  PopulateOrbilinkVerInfo();
  if (!WaitForShutDown(0)) return FALSE;

  GetOSVersionString();
  GetProcessorDetails();
  PopulateMemoryParameters();
  if (!WaitForShutDown(0)) return FALSE;

  PopulatePointingParams();
  PopulateSetupParams();
  PopulateZnParams();
  if (!WaitForShutDown(0)) return FALSE;

  PopulateWinVesddParams();
  LogInfoF("CConfigRec::Run - Finished Getting the parameters");

  WriteConfigRecord();
  EmptyProcessorBag();
  return TRUE;
}

void CConfigRec::EmptyProcessorBag() {
  BagIteration iteration(&m_ProcessorBag);
  while (void* item = m_ProcessorBag.Get()) delete static_cast<ProcessorInfo*>(item);
}

void CConfigRec::PopulateOrbilinkVerInfo() {
  try {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kOrbilinkKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
      LogInfoF("CConfigRec::PopulateOrbilinkVerInfo - Could not open key Vesdd");
      return;
    }
    const ValueSource values[] = {
        {"Language", "LANGUAGE", &m_pszLanguage},
        {"BuildNo", "BUILD_NO", &m_pszBuildNo},
        {"PreviousVersion", "PREVIOUS_VERSION", &m_pszPreviousVersion},
        {"Version", "VERSION", &m_pszVersion},
    };
    for (const ValueSource& v : values) {
      TextRead r = ReadText(key, v.name, v.field);
      if (r == TextRead::Missing && v.field == &m_pszVersion) {
        LogInfoF("CConfigRec::PopulateOrbilinkVerInfo  - VERSION not found");
        break;
      }
      if (r == TextRead::Missing) {
        LogInfoF("CConfigRec::PopulateOrbilinkVerInfo - %s not found", v.label);
        continue;
      }
      if (r == TextRead::NoMemory) {
        LogInfoF("CConfigRec::PopulateOrbilinkVerInfo - Couldnot allocate mem for %s", v.label);
        break;
      }
      LogInfoF(
          "CConfigRec::PopulateOrbilinkVerInfo - Successfully read the %s from the registry "
          "value =%s",
          v.name, v.field->get());
      if (v.field == &m_pszVersion) WriteVersionNo(m_pszVersion.get());
    }
    RegCloseKey(key);
  } catch (...) {
    LogInfoF("CConfigRec::PopulateOrbilinkVerInfo - unhandled exception occured ");
  }
}

void CConfigRec::WriteVersionNo(const char* version) {
  if (version == nullptr) return;
  LogInfoF("CConfigRec::WriteVersionNo - writing %s", version);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHealthReportKey, 0, KEY_SET_VALUE, &key) !=
      ERROR_SUCCESS) {
    LogErrorF(
        "CConfigRec::WriteVersion - could not open the key for updating the version info in the "
        "registry");
    return;
  }
  if (RegSetValueExA(key, "LastReportedVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                     static_cast<DWORD>(std::strlen(version) + 1)) == ERROR_SUCCESS) {
    LogInfoF(
        "CConfigRec::WriteVersionNo - written the value %s for the version number in the "
        "registry",
        version);
  } else {
    LogInfoF("CConfigrec::WriteVersionNo -  Failed to update the registry with the version number");
  }
  RegCloseKey(key);
}

void CConfigRec::GetOSVersionString() {
  LogInfoF("CConfigRec::GetOSVersionString");
  try {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) {
      LogInfoF("CConfigRec::GetOsVersionString - GetVersionEx Failed");
      m_pszOSName = CopyText("Unknown");
      m_pszServiceRelease = CopyText("Unknown");
      return;
    }
    std::string release(info.szCSDVersion, strnlen(info.szCSDVersion, sizeof info.szCSDVersion));
    m_pszServiceRelease = CopyText(release.c_str());
    const char* name = "Unknown";
    switch (info.dwPlatformId) {
      case VER_PLATFORM_WIN32s:
        name = "Microsoft Windows 3.1(TM)";
        break;
      case VER_PLATFORM_WIN32_WINDOWS:
        name = info.dwMinorVersion == 0 ? "Microsoft Windows 95(TM) " : "Microsoft Windows 98(TM) ";
        break;
      case VER_PLATFORM_WIN32_NT:
        name = "Microsoft Windows NT(TM) ";
        break;
      default:
        break;
    }
    m_pszOSName = CopyText(name);
  } catch (...) {
    LogInfoF("CConfigRec::GetOSVersionString - unhandled exception occured ");
  }
}

void CConfigRec::GetProcessorDetails() {
  LogInfoF("CConfigRec::GetProcessorDetails ");
  HKEY key = nullptr;
  try {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    m_dwProcessorCount = system.dwNumberOfProcessors;
    if (m_dwProcessorCount > 1)
      LogInfoF("CConfigRec::GetProcessorDetails - multi processor system");

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProcessorKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
      LogInfoF("CConfigRec::GetProcessorDetails - could not open the hardware key");
      return;
    }
    DWORD subKeys = 0;
    if (!RegSubKeyCount(key, &subKeys)) {
      LogInfoF("CConfigRec::GetProcessorDetails - RegQueryInfoKey Failed");
      RegCloseKey(key);
      return;
    }
    for (DWORD i = 0; i < subKeys; ++i) {
      std::unique_ptr<ProcessorInfo> info(new (std::nothrow) ProcessorInfo());
      if (!info) {
        LogInfoF("CConfigRec::GetProcessorDetails - could not allocate memory");
        RegCloseKey(key);
        return;
      }
      char name[16];
      std::snprintf(name, sizeof name, "%lu", static_cast<unsigned long>(i));
      HKEY processor = nullptr;
      if (RegOpenKeyExA(key, name, 0, KEY_QUERY_VALUE, &processor) == ERROR_SUCCESS) {
        DWORD mhz = 0;
        DWORD type = 0;
        DWORD size = sizeof mhz;
        LONG rc = RegQueryValueExA(processor, "~MHz", nullptr, &type, reinterpret_cast<BYTE*>(&mhz),
                                   &size);
        if (rc == ERROR_FILE_NOT_FOUND) {
          LogInfoF("CConfigRec::GetProcessorDetails - MHZ not found - making it 0");
        } else if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof mhz) {
          LogInfoF("CConfigRec::GetProcessorDetails - Couldnot get the processor MHz- making it 0");
        } else {
          info->m_dwMHz = mhz;
        }
        const ValueSource texts[] = {
            {"Identifier", "IDENTIFIER", &info->m_pszIdentifier},
            {"VendorIdentifier", "VENDOR_IDENTIFIER", &info->m_pszVendorIdentifier},
        };
        for (const ValueSource& v : texts) {
          TextRead r = ReadText(processor, v.name, v.field);
          if (r == TextRead::Missing) {
            LogInfoF("CConfigRec::GetProcessorDetails - %s not found", v.label);
          } else if (r == TextRead::NoMemory) {
            LogInfoF("CConfigRec::GetProcessorDetails - Couldnot allocate mem for %s", v.label);
            RegCloseKey(processor);
            RegCloseKey(key);
            return;
          }
        }
        RegCloseKey(processor);
      }
      m_ProcessorBag.Put(info.release());
    }
    RegCloseKey(key);
  } catch (...) {
    LogInfoF("CConfigRec::GetProcessorDetails - unhandled exception occured ");
  }
}

void CConfigRec::PopulateMemoryParameters() {
  LogInfoF(" CConfigRec::PopulateMemoryParameters ");
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status)) {
    m_ullTotalPhysicalMemory = status.ullTotalPhys;
    m_ullTotalVirtualMemory = status.ullTotalVirtual;
  }
}

void CConfigRec::PopulatePointingParams() {
  try {
    ReadValues("PopulatePointingParams", kPointingKey,
               "CConfigRec::PopulatePointingParams - Could not open key Vesdd",
               {{"Country", "COUNTRY", &m_pszCountry},
                {"SatFrequency", "SAT_FREQUENCY", &m_pszSatFrequency},
                {"SatLongitude", "SAT_LONGITUDE", &m_pszSatLongitude},
                {"SatLongitudeEW", "SAT_LONNGITUDE_EW", &m_pszSatLongitudeEW},
                {"SatPolarization", "SAT_POLARIZATION", &m_pszSatPolarization},
                {"SatPolarizationOffset", "SAT_POLARIZATION_OFFSET", &m_pszSatPolarizationOffset}});
  } catch (...) {
    LogInfoF("CConfigRec::PopulatePointingParams - unhandled exception occured ");
  }
}

void CConfigRec::PopulateSetupParams() {
  LogInfoF("CConfigRec::PopulateSetupParams");
  try {
    std::unique_ptr<char[]> city(new (std::nothrow) char[SETUP_TEXT_SIZE]);
    std::unique_ptr<char[]> state(new (std::nothrow) char[SETUP_TEXT_SIZE]);
    if (!city || !state) return;
    std::string file =
        std::string(m_pReportStore != nullptr ? m_pReportStore->GetBaseDirectory() : "c:") +
        "\\Bin\\orbsetup.ini";
    LogInfoF("CConfigrec::PopulateSetupParams - The file of search =%s", file.c_str());

    struct {
      const char* key;
      std::unique_ptr<char[]>* buffer;
      std::unique_ptr<char[]>* field;
    } reads[] = {{"City", &city, &m_pszCity}, {"State", &state, &m_pszState}};
    for (auto& r : reads) {
      char* buffer = r.buffer->get();
      DWORD length = GetPrivateProfileStringA("Pointing", r.key, "Not Found", buffer,
                                              SETUP_TEXT_SIZE, file.c_str());
      buffer[SETUP_TEXT_SIZE - 1] = '\0';
      if (length == 0) {
        LogInfoF("CConfigrec::PopulateSetupParams - GetPrivateProfileString failed");
      } else if (length == SETUP_TEXT_SIZE - 1) {
        LogInfoF(
            "CConfigRec::PopulateSetupParams - The %s String was to big to be copied into the "
            "given buffer - string = %s",
            r.key, buffer);
      } else {
        LogInfoF("CConfigRec::PopulateSetupParams - The %s Read = %s", r.key, buffer);
      }
      *r.field = std::move(*r.buffer);
    }
  } catch (...) {
    LogInfoF("CConfigRec::PopulateSetupParams - unhandled exception occured ");
  }
}

void CConfigRec::PopulateZnParams() {
  try {
    ReadValues("PopulateZnParams", kZephyrKey,
               "CConfigRec::PopulateZnParams - Could not open key Zephyr",
               {{"GatewayIP", "GATEWAY_IP", &m_pszGatewayIP}});
  } catch (...) {
    LogInfoF("CConfigRec::PopulateZnParams - unhandled exception occured ");
  }
}

void CConfigRec::PopulateWinVesddParams() {
  try {
    ReadValues("PopulateWinVesddParams", kWinvesddKey,
               "CConfigRec::PopulateWinVesddParams - Could not open key Vesdd",
               {{"VESDD_RX_FREQ", "VESDD_RX_FREQ", &m_pszVesddRxFreq},
                {"FramingMode", "FRAMING_MODE", &m_pszFramingMode},
                {"ModulationType", "MODULATION_TYPE", &m_pszModulationType},
                {"ReceiveSymbolRate", "RECEIVE_SYMBOL_RATE", &m_pszReceiveSymbolRate},
                {"ScramblerMode", "SCRAMBLER_MODE", &m_pszScramblerMode},
                {"ViterbiMode", "VITERBI_MODE", &m_pszViterbiMode},
                {"FilterRolloff", "FILTER_ROLLOFF", &m_pszFilterRolloff}});
  } catch (...) {
    LogInfoF("CConfigRec::PopulateWinVesddParams - unhandled exception occured ");
  }
}

void CConfigRec::WriteConfigRecord() {
  LogInfoF("CConfigrec::WriteConfigRecord( )");
  if (m_pReportStore == nullptr) return;
  try {
    ULONGLONG diskTotal = 0;
    ULONGLONG diskFree = 0;
    Util_GetTotalDiskSpace("c:", &diskTotal);
    Util_GetFreeDiskSpace("c:", &diskFree);
    char total[32];
    char free[32];
    std::snprintf(total, sizeof total, "%" PRId64, static_cast<std::int64_t>(diskTotal));
    std::snprintf(free, sizeof free, "%" PRId64, static_cast<std::int64_t>(diskFree));
    const std::string physical = Unsigned(m_ullTotalPhysicalMemory);
    const std::string virtualMemory = Unsigned(m_ullTotalVirtualMemory);

    const std::pair<const char*, const char*> entries[] = {
        {"Version", OrUnknown(m_pszVersion, "Unknown")},
        {"PreviousVersion", OrUnknown(m_pszPreviousVersion, "Unknown")},
        {"BuildNumber", OrUnknown(m_pszBuildNo, "Unknown")},
        {"Language", OrUnknown(m_pszLanguage, "Unknown")},
        {"VesddRxFreq", OrUnknown(m_pszVesddRxFreq, "Unknown")},
        {"FramingMode", OrUnknown(m_pszFramingMode, "Unknown")},
        {"ModulationType", OrUnknown(m_pszModulationType, "Unknown")},
        {"ReceiveSymbolRate", OrUnknown(m_pszReceiveSymbolRate, "Unknown")},
        {"ScramblerMode", OrUnknown(m_pszScramblerMode, "Unknown")},
        {"ViterbiMode", OrUnknown(m_pszViterbiMode, "Unknown")},
        {"FilterRolloff", OrUnknown(m_pszFilterRolloff, "Unknown")},
        {"City", OrUnknown(m_pszCity, "Unknown")},
        {"State", OrUnknown(m_pszState, "Unknown")},
        {"Country", OrUnknown(m_pszCountry, "Unknown")},
        {"SatFrequency", OrUnknown(m_pszSatFrequency, "Unknown")},
        {"SatLongitude", OrUnknown(m_pszSatLongitude, "Unknown")},
        {"SatLongitudeEW", OrUnknown(m_pszSatLongitudeEW, "Unknown")},
        {"SatPolarization", OrUnknown(m_pszSatPolarization, "Unknown")},
        {"SatPolarizationOffset", OrUnknown(m_pszSatPolarizationOffset, "Unknown")},
        {"GatewayIP", OrUnknown(m_pszGatewayIP, "Unknown")},
        {"WindowsPlatform", OrUnknown(m_pszOSName, "UnKnown")},
        {"ServiceRelease", OrUnknown(m_pszServiceRelease, "UnKnown")},
        {"TotalPhysicalMemory", physical.c_str()},
        {"TotalVirtualMemory", virtualMemory.c_str()},
    };

    // One record, not interleaved with the statistics writer's.
    StoreLock hold(m_pReportStore);
    for (const auto& [key, value] : entries) m_pReportStore->WriteINI(kSection, key, value);
    m_pReportStore->WriteINI(kSection, "TotalHardDiskSpace", total);
    LogInfoF("Written Hard disk size = %s", total);
    m_pReportStore->WriteINI(kSection, "FreeHardDiskSpace", free);
    LogInfoF("Written Hard disk free space = %s", free);

    BagIteration iteration(&m_ProcessorBag);
    int number = 1;
    while (void* item = m_ProcessorBag.Next()) {
      const auto* info = static_cast<const ProcessorInfo*>(item);
      char key[40];
      char mhz[16];
      std::snprintf(mhz, sizeof mhz, "%lu", static_cast<unsigned long>(info->m_dwMHz));
      std::snprintf(key, sizeof key, "MHz%02d", number);
      m_pReportStore->WriteINI(kSection, key, info->m_dwMHz != 0 ? mhz : "Unknown");
      std::snprintf(key, sizeof key, "Identifier%02d", number);
      m_pReportStore->WriteINI(kSection, key, OrUnknown(info->m_pszIdentifier, "UnKnown"));
      std::snprintf(key, sizeof key, "VendorIdentifier%02d", number);
      m_pReportStore->WriteINI(kSection, key, OrUnknown(info->m_pszVendorIdentifier, "UnKnown"));
      ++number;
    }
  } catch (...) {
    LogInfoF("CConfigRec::WriteConfigRecord - unhandled exception occured ");
  }
}
