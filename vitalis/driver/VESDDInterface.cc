#include "driver/VESDDInterface.h"

#include "core/TraceLog.h"

using namespace winport;

namespace {

// Holds the interface lock for one library call.
class CLockHolder {
 public:
  explicit CLockHolder(CRITICAL_SECTION* lock) : m_pLock(lock) { EnterCriticalSection(m_pLock); }
  ~CLockHolder() { LeaveCriticalSection(m_pLock); }
  CLockHolder(const CLockHolder&) = delete;
  CLockHolder& operator=(const CLockHolder&) = delete;

 private:
  CRITICAL_SECTION* m_pLock;
};

template <typename T>
bool Bind(CLoadableModule& module, const char* name, T* slot) {
  *slot = reinterpret_cast<T>(module.GetEntryPoint(name));
  return *slot != nullptr;
}

}  // namespace

CVESDDInterface::CVESDDInterface() : CLoadableModule("VESDD32.DLL"), m_bLoaded(FALSE) {
  InitializeCriticalSection(&m_csLock);
  ClearEntryPoints();
}

CVESDDInterface::~CVESDDInterface() {
  DeleteCriticalSection(&m_csLock);
}

void CVESDDInterface::ClearEntryPoints() {
  m_pfnOpenChannel = nullptr;
  m_pfnCloseChannel = nullptr;
  m_pfnGetSatelliteStatus = nullptr;
  m_pfnGetStats = nullptr;
  m_pfnGetDriverOperationMode = nullptr;
  m_pfnGetLastError = nullptr;
  m_pfnGetSiteID = nullptr;
  m_pfnGetMipsStats = nullptr;
  m_pfnClearMipsStats = nullptr;
  m_pfnGetSN = nullptr;
  m_pfnGetDrvVersion = nullptr;
  m_pfnGetStatsDump = nullptr;
  m_pfnICSSetRange = nullptr;
  m_pfnICSGetConfiguration = nullptr;
  m_pfnSetReceiveFreq = nullptr;
  m_pfnGetBoundIPAddress = nullptr;
  m_pfnGetAddrStatsEx = nullptr;
  m_pfnClearAddrStats = nullptr;
}

BOOL CVESDDInterface::Load() {
  BOOL loaded = LoadLibraryFile();
  // Bound in the library's documented order, stopping at the first missing name.
  // "VesddGetStats" is looked up twice into the same slot, as the original binding did.
  m_bEntryPointsBound = loaded && Bind(*this, "VesddOpenChannel", &m_pfnOpenChannel) &&
                        Bind(*this, "VesddCloseChannel", &m_pfnCloseChannel) &&
                        Bind(*this, "VesddGetSatelliteStatus", &m_pfnGetSatelliteStatus) &&
                        Bind(*this, "VesddGetStats", &m_pfnGetStats) &&
                        Bind(*this, "VesddGetDriverOperationMode", &m_pfnGetDriverOperationMode) &&
                        Bind(*this, "VesddGetLastError", &m_pfnGetLastError) &&
                        Bind(*this, "VesddGetSiteID", &m_pfnGetSiteID) &&
                        Bind(*this, "VesddGetStats", &m_pfnGetStats) &&
                        Bind(*this, "VesddGetMipsStats", &m_pfnGetMipsStats) &&
                        Bind(*this, "VesddClearMipsStats", &m_pfnClearMipsStats) &&
                        Bind(*this, "VesddGetSN", &m_pfnGetSN) &&
                        Bind(*this, "VesddGetDrvVersion", &m_pfnGetDrvVersion) &&
                        Bind(*this, "VesddGetStatsDump", &m_pfnGetStatsDump) &&
                        Bind(*this, "VesddICSSetRange", &m_pfnICSSetRange) &&
                        Bind(*this, "VesddICSGetConfiguration", &m_pfnICSGetConfiguration) &&
                        Bind(*this, "VesddSetReceiveFreq", &m_pfnSetReceiveFreq) &&
                        Bind(*this, "VesddGetBoundIPAddress", &m_pfnGetBoundIPAddress) &&
                        Bind(*this, "VesddGetAddrStatsEx", &m_pfnGetAddrStatsEx) &&
                        Bind(*this, "VesddClearAddrStats", &m_pfnClearAddrStats);
  m_bLoaded = loaded && m_bEntryPointsBound;
  return m_bLoaded;
}

BOOL CVESDDInterface::Unload() {
  CLockHolder hold(&m_csLock);
  BOOL freed = FreeLibraryFile();
  m_bLoaded = FALSE;
  m_bEntryPointsBound = FALSE;
  ClearEntryPoints();
  return freed;
}

BOOL CVESDDInterface::OpenChannel(DWORD mode, DWORD* handle) {
  if (m_pfnOpenChannel == nullptr) return FALSE;
  std::int32_t result = m_pfnOpenChannel(mode);
  if (result < 0) return FALSE;
  if (handle != nullptr) *handle = static_cast<DWORD>(result);
  return TRUE;
}

BOOL CVESDDInterface::CloseChannel(DWORD handle) {
  if (m_pfnCloseChannel == nullptr) return FALSE;
  return m_pfnCloseChannel(handle) >= 0;
}

DWORD CVESDDInterface::GetLastError() {
  if (m_pfnGetLastError == nullptr) return static_cast<DWORD>(-1);
  return m_pfnGetLastError();
}

DWORD CVESDDInterface::GetSatelliteStatus(void* status, DWORD handle) {
  CLockHolder hold(&m_csLock);
  if (m_pfnGetSatelliteStatus == nullptr) return 0;
  return m_pfnGetSatelliteStatus(status, handle);
}

BOOL CVESDDInterface::GetDriverOperationMode(WORD* mode) {
  CLockHolder hold(&m_csLock);
  if (m_pfnGetDriverOperationMode == nullptr) return FALSE;
  DWORD result = m_pfnGetDriverOperationMode();
  if (mode != nullptr) *mode = static_cast<WORD>(result & 0xFFFF);
  return TRUE;
}

BOOL CVESDDInterface::GetSiteID(char* buffer) {
  CLockHolder hold(&m_csLock);
  if (m_pfnGetSiteID == nullptr) return FALSE;
  return m_pfnGetSiteID(buffer) == 0;
}

BOOL CVESDDInterface::GetStats(DWORD handle, void* buffer, DWORD size) {
  CLockHolder hold(&m_csLock);
  if (m_pfnGetStats == nullptr) return FALSE;
  return m_pfnGetStats(handle, buffer, size) == 0;
}

BOOL CVESDDInterface::GetMipsStats(DWORD handle, void* buffer, DWORD size) {
  CLockHolder hold(&m_csLock);
  if (m_pfnGetMipsStats == nullptr) return FALSE;
  return m_pfnGetMipsStats(handle, buffer, size) == 0;
}

BOOL CVESDDInterface::GetSN(DWORD handle, char* buffer) {
  CLockHolder hold(&m_csLock);
  if (m_pfnGetSN == nullptr) return FALSE;
  return m_pfnGetSN(handle, buffer) == 0;
}

BOOL CVESDDInterface::GetDrvVersion(DWORD handle, char* buffer) {
  CLockHolder hold(&m_csLock);
  if (m_pfnGetDrvVersion == nullptr) return FALSE;
  return m_pfnGetDrvVersion(handle, buffer) == 0;
}

DWORD CVESDDInterface::GetStatsDump(DWORD handle, char* buffer, DWORD size) {
  CLockHolder hold(&m_csLock);
  if (m_pfnGetStatsDump == nullptr) return 0;
  // The dump type comes first and the channel last in this entry point.
  return m_pfnGetStatsDump(5, buffer, size, handle);
}

DWORD CVESDDInterface::ICSSetRange() {
  CLockHolder hold(&m_csLock);
  if (m_pfnICSSetRange == nullptr) return 0;
  return m_pfnICSSetRange();
}

DWORD CVESDDInterface::ICSGetConfiguration(VESDD_ICS_CONFIG* config) {
  CLockHolder hold(&m_csLock);
  if (m_pfnICSGetConfiguration == nullptr) return 0;
  return m_pfnICSGetConfiguration(config);
}

BOOL CVESDDInterface::SetReceiveFreq(DWORD channel, DWORD freq) {
  CLockHolder hold(&m_csLock);
  if (m_pfnSetReceiveFreq == nullptr) return FALSE;
  DWORD result = m_pfnSetReceiveFreq(channel, freq);
  LogInfoF("Vesdd returned = %lu", static_cast<unsigned long>(result));
  BOOL ok = result == 0;
  LogInfoF("CVESDDInterface::SetReceiveFreq -  channel = %lu, freq = %lu, return value = %s",
           static_cast<unsigned long>(channel), static_cast<unsigned long>(freq),
           ok ? "TRUE" : "FALSE");
  return ok;
}

BOOL CVESDDInterface::GetBoundIPAddress(char* buffer, DWORD size) {
  CLockHolder hold(&m_csLock);
  if (m_pfnGetBoundIPAddress == nullptr) return FALSE;
  DWORD result = m_pfnGetBoundIPAddress(buffer, size);
  BOOL ok = result == 1;
  if (buffer != nullptr && size > 0) buffer[size - 1] = '\0';
  LogInfoF("Vesdd returned bReturn = %s, ip addr = %s", ok ? "TRUE" : "FALSE",
           buffer != nullptr ? buffer : "");
  return ok;
}
